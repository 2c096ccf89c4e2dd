// U_ZEZov_Live.cpp - live video: the host's frame callbacks, opening and
// closing live channels, and the stream callback that joins the SDK's
// packets into frames for the host.
#include "tm_driver/U_ZEZov.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "support/U_HostCall.h"
#include "support/U_HostTypes.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include <cstddef>
#include <cstdlib>
#include <cstring>

bool TTMDvs::ORVA_Device_SetDvrCallback(const char *address, int32_t port, int32_t channel,
                                        const TMethod callbacks[5]) {
  const int32_t i = FindDvr(NHostString::Text(address), port, false, true);
  if (i < 0) return false;
  const TChannelArrayRef channels = Channels(i);
  if (!channels || !channels->Has(channel)) return false;
  TDvrChannelInfo &c = (*channels)[channel];
  c.DvrIndex = i;
  // The SDK's thread may be reading it for a delivery: code and object are
  // written as one 8-byte store, so a reader sees the old pair or the new.
  NHostCall::StoreMethod(c.FrameCallback, callbacks[0]);
  c.ChannelCallback2 = callbacks[1];
  c.ChannelCallback3 = callbacks[2];
  c.ChannelCallback4 = callbacks[3];
  c.ChannelCallback5 = callbacks[4];
  return false;
}

int32_t TTMDvs::ORVA_Device_StartDvrCapture(const char *address, int32_t port, int32_t channel) {
  const int32_t i = FindDvr(NHostString::Text(address), port, true, true);
  if (i < 0) {
    DebugLine("ZQ>>DvrIndex < Zero");
    return -1;
  }
  DebugLine("ZQ>>DvrIndex >= Zero");
  const TChannelArrayRef channels = Channels(i);
  if (!channels || !channels->Has(channel)) return -1;
  TDvrChannelInfo &c = (*channels)[channel];
  const int32_t login = DvrRecord(i)->LoginHandle;
  {
    // Under CaptureLock: whether it is open (or being opened by another
    // thread); the SDK is called with no lock held, since it may call back
    // on a thread of its own and wait for it.
    TLockGuard lock(*CaptureLock);
    if (c.ChannelHandle > 0 || c.ChannelOpening != 0) {
      DebugLine(TextAlreadyOpen);
      return 0;
    }
    c.ChannelOpening = 1;
  }
  TNvOpenRequest request;
  std::memset(&request, 0, sizeof request);
  request.Channel = channel;
  request.Channel2 = channel;
  request.Mode = 0;
  request.MinusOne = -1;
  int32_t handle = 0;
  auto open = SdkFunction<TNvOpenChannel>(sfOpenChannel);
  const int32_t result = open ? open(login, &request, &handle) : -1;
  TLockGuard lock(*CaptureLock);
  c.ChannelOpening = 0;
  if (result != 0) {
    c.ChannelHandle = -1;
    return -1;
  }
  c.ChannelHandle = handle;
  c.HeaderPending = 1;
  return 0;
}

int32_t TTMDvs::ORVA_Device_StopDvrCapture(const char *address, int32_t port, int32_t channel) {
  const int32_t i = FindDvr(NHostString::View(address), port, false, true);
  if (i < 0) {
    DebugLine(TextStopNoServer);
    return -1;
  }
  return StopChannel(i, channel);
}

int32_t TTMDvs::StopChannel(int32_t index, int32_t channel) {
  const TChannelArrayRef channels = Channels(index);
  if (!channels || !channels->Has(channel)) {
    DebugLine("ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, RealHandle < 0");
    return 0;
  }
  CloseChannelRecord((*channels)[channel], channel, true);
  return 0;
}

// Closes an open channel: up to five tries, and the channel counts as closed
// either way. The handle is taken (and the record marked closed) under
// CaptureLock; the SDK is called without it.
bool TTMDvs::CloseChannelRecord(TDvrChannelInfo &c, int32_t channel, bool noteClosed) {
  int32_t handle;
  {
    TLockGuard lock(*CaptureLock);
    handle = c.ChannelHandle;
    if (handle <= 0) {
      if (noteClosed) DebugLine("ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, RealHandle < 0");
      return false;
    }
    c.ChannelHandle = -1;
  }
  auto close = SdkFunction<TNvCloseChannel>(sfCloseChannel);
  bool closed = false;
  for (int attempt = 0; attempt < 5 && !closed; ++attempt) {
    closed = close && close(handle) == 0;
    if (!closed) NClock::Sleep(100);
  }
  if (!closed) DebugLine("ZQ>>TTMDvs.NVNET_CloseChannel Failure, DvrChannelNo:" + std::to_string(channel));
  DebugLine("ZQ>>TTMDvs.ORVA_Device_StopDvrCapture Success");
  return closed;
}

bool TTMDvs::ORVA_Device_CloseDvrChannel(const char *address, int32_t port, int32_t channel, bool checkDvr) {
  try {
    ORVA_Device_StopDvrCapture(address, port, channel);
    if (checkDvr && FindDvr(NHostString::Text(address), port, false, false) < 0) return false;
    return true;
  } catch (...) {
    NClock::Sleep(1);
    return true;
  }
}

// ---------------------------------------------------------------- stream
//
// The packet path runs for every 1024-byte fragment of every channel, so it
// does only plain loads and stores: the session is the user data, the
// channel record one index away, the header read in place. Buffer growth and
// delivery, which happen once per frame or less, are kept out of it.
//
// Lifetime (see TServerSession): a packet marks its channel's Inside flag
// before it looks at Ended and clears it when it leaves; the owner ending a
// session sets Ended, detaches it, makes every processor's writes visible
// (FlushOtherWrites) and then waits for the flags it sees set, which only a
// copy in progress holds. A delivery calls the host, which may take any
// time: it takes a counted reference first and clears the flag, so the
// owner never waits for the host, and whoever drops the last reference
// frees the session.

namespace NSession {

TServerSession *Make(TTMDvs *driver, int32_t index, int32_t handle, TChannelArrayRef channels) {
  auto *s = new TServerSession;
  s->Driver = driver;
  s->DvrIndex = index;
  s->LoginHandle = handle;
  s->BeginTick = NClock::Ticks();
  s->ChannelsRef = std::move(channels);
  s->Channels = s->ChannelsRef.get();
  const size_t n = s->Channels ? static_cast<size_t>(s->Channels->Count) : 0;
  s->Use.reset(new TChannelUse[n]);
  s->Reported.reset(new TStreamCounts[n]);
  return s;
}

void Unref(TServerSession *s) {
  if (s->Refs.fetch_sub(1) == 1) delete s;
}

void Quiesce(TServerSession *s) {
  NWin::NSync::FlushOtherWrites();
  const int32_t n = s->Channels ? s->Channels->Count : 0;
  for (int32_t c = 0; c < n; ++c)
    while (s->Use[c].Inside != 0) ::SwitchToThread();
}

void Retire(TServerSession *s) {
  Quiesce(s);
  Unref(s);
}

} // namespace NSession

namespace {

inline void Barrier() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// Packet header fields, read where they lie.
inline uint32_t U32At(const uint8_t *p, size_t at) {
  uint32_t v;
  std::memcpy(&v, p + at, 4);
  return v;
}
inline uint16_t U16At(const uint8_t *p, size_t at) {
  uint16_t v;
  std::memcpy(&v, p + at, 2);
  return v;
}
constexpr size_t AtStart = 0, AtPayload = 4, AtVideo = 12, AtAudio = 20, AtKey = 22, AtFragment = 23;
static_assert(offsetof(TNvPacketHeader, PayloadBytes) == AtPayload && offsetof(TNvPacketHeader, VideoBytes) == AtVideo &&
              offsetof(TNvPacketHeader, AudioBytes) == AtAudio && offsetof(TNvPacketHeader, KeyFrame) == AtKey &&
              offsetof(TNvPacketHeader, Fragment) == AtFragment);

void Deliver(const TDvrChannelInfo &c, int32_t length, uint8_t type, double time, const void *data) {
  const TMethod callback = NHostCall::LoadMethod(c.FrameCallback);
  if (!callback.Assigned()) return;
  TDvrFrameInfo info;
  info.Length = length;
  info.FrameType = type;
  info.DriverType = TMDriverType;
  info.Time = time;
  info.Data = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  // Under an SEH frame of ours: the host's failure stays with the host.
  NHostCall::Frame(callback, &info);
}

// The header frame of a newly opened channel: the packet record itself.
// Entered and left with the channel's Inside flag set; false when the
// session ended meanwhile (the flag is then clear and the packet dropped).
__attribute__((noinline)) bool DeliverHeader(TServerSession &s, TChannelUse &u, TDvrChannelInfo &c,
                                             const uint8_t *packet) {
  s.Refs.fetch_add(1);
  u.Inside = 0;
  Deliver(c, 1, FrameHeader, NClock::StampByTick(), packet);
  u.Inside = 1;
  Barrier();
  const bool live = s.Ended.load(std::memory_order_relaxed) == 0;
  if (!live) u.Inside = 0;
  NSession::Unref(&s);
  return live;
}

// A complete frame: video, then audio, with one time stamp for both. The
// Inside flag is set on entry and clear on return.
__attribute__((noinline)) void DeliverFrame(TServerSession &s, TChannelUse &u, TDvrChannelInfo &c, uint32_t video,
                                            uint32_t audio, bool key) {
  // Counted while the Inside flag still holds the owner off, so a session's
  // end finds its counts complete. (The audio part counts as delivered: it
  // is left out only when the session ends meanwhile.)
  TStreamCounts &n = u.Counts;
  if (u.FragmentsSeen < (video + audio - 1) / FragmentBytes + 1) ++n.MissingFrames;
  u.FragmentsSeen = 0;
  n.VideoFrames += video > 0;
  n.AudioFrames += audio > 0;
  n.Bytes += video + audio;
  s.Refs.fetch_add(1);
  u.Inside = 0;
  const double now = NClock::StampByTick();
  if (video > 0) Deliver(c, static_cast<int32_t>(video), key ? FrameKey : FrameVideo, now, c.FrameBuffer);
  // A session that ended while the host held the video part delivers no
  // more: the audio part would reach a host that has let the driver go.
  if (audio > 0 && s.Ended.load() == 0) Deliver(c, static_cast<int32_t>(audio), FrameAudio, now, c.FrameBuffer + video);
  NSession::Unref(&s);
}

// The frame buffer for a frame of `total` bytes: a buffer smaller than the
// frame is released; a new one is allocated only by the frame's first packet.
// False when the packet finds no buffer (it is dropped).
__attribute__((noinline)) bool PrepareBuffer(TDvrChannelInfo &c, uint32_t total, bool start) {
  if (total > static_cast<uint32_t>(c.FrameBufferSize)) {
    std::free(c.FrameBuffer);
    c.FrameBuffer = nullptr;
    c.FrameBufferSize = 0;
  }
  if (c.FrameBufferSize == 0) {
    if (!start || total == 0) return false;
    c.FrameBuffer = static_cast<uint8_t *>(std::malloc(total));
    if (!c.FrameBuffer) return false;
    c.FrameBufferSize = static_cast<int32_t>(total);
  }
  return true;
}

// One packet for a channel of a live session; the channel's Inside flag is
// set on entry and clear on every way out.
void OnStreamPacket(TServerSession &s, TChannelUse &u, TDvrChannelInfo &c, const uint8_t *packet) {
  const bool start = packet[AtStart] != 0, key = packet[AtKey] != 0;
  if (__builtin_expect(c.HeaderPending != 0, 0)) {
    if (!start || !key) {
      ++u.Counts.NoKeyDrops;
      u.Inside = 0;
      return;
    }
    if (!DeliverHeader(s, u, c, packet)) return;
    c.HeaderPending = 0;
  }
  const uint32_t video = U32At(packet, AtVideo), audio = U16At(packet, AtAudio);
  // More than 256 fragments can carry is a damaged packet; the buffer never
  // grows for it. (audio < MaxFrameBytes, so the subtraction holds.)
  if (__builtin_expect(video > MaxFrameBytes - audio, 0)) {
    ++u.Counts.OversizedPackets;
    u.Inside = 0;
    return;
  }
  // From here every value is bounded: 32-bit arithmetic.
  const uint32_t total = video + audio;
  const uint32_t payload = U32At(packet, AtPayload), fragment = packet[AtFragment];
  const uint32_t offset = fragment * FragmentBytes;
  // A packet that finds no buffer, or whose payload lies beyond a fragment
  // (or is negative) or beyond the buffer, is dropped.
  if (__builtin_expect(total > static_cast<uint32_t>(c.FrameBufferSize) || c.FrameBufferSize == 0, 0) &&
      !PrepareBuffer(c, total, start)) {
    ++u.Counts.NoBufferDrops;
    u.Inside = 0;
    return;
  }
  if (__builtin_expect(payload > static_cast<uint32_t>(FragmentBytes) ||
                           offset + payload > static_cast<uint32_t>(c.FrameBufferSize),
                       0)) {
    ++u.Counts.OutsideDrops;
    u.Inside = 0;
    return;
  }
  std::memcpy(c.FrameBuffer + offset, packet + sizeof(TNvPacketHeader), payload);
  // Fragments of the frame being joined: a frame's first packet starts the count.
  u.FragmentsSeen = start ? 1 : static_cast<uint16_t>(u.FragmentsSeen + 1);
  // Complete with the frame's last 1024-byte fragment (a frame of 0 bytes never is).
  if (total == 0 || fragment != (total - 1) / FragmentBytes) {
    Barrier();
    u.Inside = 0;
    return;
  }
  DeliverFrame(s, u, c, video, audio, key);
}

} // namespace

void NV_CALL TTMDvs::StreamCallback(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t,
                                    uint32_t, void *userData) {
  auto *s = static_cast<TServerSession *>(userData);
  if (!s || !packet) return;
  TChannelArray *channels = s->Channels;
  if (!channels || !channels->Has(channel)) return;
  TChannelUse &u = s->Use[channel];
  u.Inside = 1;
  Barrier();
  if (s->Ended.load(std::memory_order_relaxed) != 0) {
    // Ended: the owner may be waiting for this flag.
    u.Inside = 0;
    return;
  }
  OnStreamPacket(*s, u, (*channels)[channel], static_cast<const uint8_t *>(packet));
}
