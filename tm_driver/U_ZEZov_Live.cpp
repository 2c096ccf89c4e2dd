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
  c.FrameCallback = callbacks[0];
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
  TLockGuard lock(*CaptureLock);
  const TChannelArrayRef channels = Channels(i);
  if (!channels || !channels->Has(channel)) return -1;
  TDvrChannelInfo &c = (*channels)[channel];
  if (c.ChannelHandle > 0) {
    DebugLine(TextAlreadyOpen);
    return 0;
  }
  TNvOpenRequest request;
  std::memset(&request, 0, sizeof request);
  request.Channel = channel;
  request.Channel2 = channel;
  request.Mode = 0;
  request.MinusOne = -1;
  int32_t handle = 0;
  auto open = SdkFunction<TNvOpenChannel>(sfOpenChannel);
  const int32_t result = open ? open(DvrRecord(i)->LoginHandle, &request, &handle) : -1;
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
  TLockGuard lock(*CaptureLock);
  const TChannelArrayRef channels = Channels(index);
  if (!channels || !channels->Has(channel) || (*channels)[channel].ChannelHandle <= 0) {
    DebugLine("ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, RealHandle < 0");
    return 0;
  }
  CloseChannelRecord((*channels)[channel], channel);
  return 0;
}

// Closes an open channel (the caller holds CaptureLock): up to five tries,
// and the channel counts as closed either way.
bool TTMDvs::CloseChannelRecord(TDvrChannelInfo &c, int32_t channel) {
  auto close = SdkFunction<TNvCloseChannel>(sfCloseChannel);
  bool closed = false;
  for (int attempt = 0; attempt < 5 && !closed; ++attempt) {
    closed = close && close(c.ChannelHandle) == 0;
    if (!closed) NClock::Sleep(100);
  }
  if (!closed) DebugLine("ZQ>>TTMDvs.NVNET_CloseChannel Failure, DvrChannelNo:" + std::to_string(channel));
  c.ChannelHandle = -1;
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
// Lifetime: a packet arriving after its session ended finds Ended set and
// does nothing. The copy into the buffer never blocks, and an ended session
// (with its channel array) is kept for SessionGraceMs after the last
// delivery left it, which no packet still on its way outlasts. A delivery
// calls the host, which may take any time: it counts itself in Busy, and the
// session is reclaimed only once Busy is 0.

void NV_CALL TTMDvs::StreamCallback(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t,
                                    uint32_t, void *userData) {
  auto *s = static_cast<TServerSession *>(userData);
  if (!s || !packet || s->Ended.load(std::memory_order_relaxed) != 0) return;
  TChannelArray *channels = s->Channels;
  if (!channels || !channels->Has(channel)) return;
  s->Driver->OnStreamPacket(*s, (*channels)[channel], static_cast<const uint8_t *>(packet));
}

namespace {

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
  TDvrFrameInfo info;
  info.Length = length;
  info.FrameType = type;
  info.DriverType = TMDriverType;
  info.Time = time;
  info.Data = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  // Under an SEH frame of ours: the host's failure stays with the host.
  NHostCall::Frame(c.FrameCallback, &info);
}

// Counts a delivery in for as long as it runs; false when the session ended
// in the meantime (nothing is delivered then).
class TDelivery {
public:
  explicit TDelivery(TServerSession &s) : s_(s) { s_.Busy.fetch_add(1); }
  ~TDelivery() { s_.Busy.fetch_sub(1); }
  bool Live() const { return s_.Ended.load() == 0; }

private:
  TServerSession &s_;
};

} // namespace

// The header frame of a newly opened channel: the packet record itself.
__attribute__((noinline)) void TTMDvs::DeliverHeader(TServerSession &s, TDvrChannelInfo &c, const uint8_t *packet) {
  if (!c.FrameCallback.Assigned()) return;
  TDelivery d(s);
  if (d.Live()) Deliver(c, 1, FrameHeader, NClock::StampByTick(), packet);
}

// A complete frame: video, then audio, with one time stamp for both.
__attribute__((noinline)) void TTMDvs::DeliverFrame(TServerSession &s, TDvrChannelInfo &c, uint32_t video,
                                                    uint32_t audio, bool key) {
  if (!c.FrameCallback.Assigned()) return;
  TDelivery d(s);
  if (!d.Live()) return;
  const double now = NClock::StampByTick();
  if (video > 0) Deliver(c, static_cast<int32_t>(video), key ? FrameKey : FrameVideo, now, c.FrameBuffer);
  if (audio > 0) Deliver(c, static_cast<int32_t>(audio), FrameAudio, now, c.FrameBuffer + video);
}

// The frame buffer for a frame of `total` bytes: a buffer smaller than the
// frame is released; a new one is allocated only by the frame's first packet.
// False when the packet finds no buffer (it is dropped).
__attribute__((noinline)) bool TTMDvs::PrepareBuffer(TDvrChannelInfo &c, uint32_t total, bool start) {
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

void TTMDvs::OnStreamPacket(TServerSession &s, TDvrChannelInfo &c, const uint8_t *packet) {
  const bool start = packet[AtStart] != 0, key = packet[AtKey] != 0;
  if (__builtin_expect(c.HeaderPending != 0, 0)) {
    if (!start || !key) return;
    DeliverHeader(s, c, packet);
    c.HeaderPending = 0;
  }
  const uint32_t video = U32At(packet, AtVideo), audio = U16At(packet, AtAudio);
  // More than 256 fragments can carry is a damaged packet; the buffer never
  // grows for it. (audio < MaxFrameBytes, so the subtraction holds.)
  if (__builtin_expect(video > MaxFrameBytes - audio, 0)) {
    OversizedPackets.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // From here every value is bounded: 32-bit arithmetic.
  const uint32_t total = video + audio;
  if (__builtin_expect(total > static_cast<uint32_t>(c.FrameBufferSize) || c.FrameBufferSize == 0, 0) &&
      !PrepareBuffer(c, total, start))
    return;
  // A payload beyond a fragment (or negative) or beyond the buffer is dropped.
  const uint32_t payload = U32At(packet, AtPayload), fragment = packet[AtFragment];
  const uint32_t offset = fragment * FragmentBytes;
  if (payload > static_cast<uint32_t>(FragmentBytes) || offset + payload > static_cast<uint32_t>(c.FrameBufferSize))
    return;
  std::memcpy(c.FrameBuffer + offset, packet + sizeof(TNvPacketHeader), payload);
  // Complete with the frame's last 1024-byte fragment (a frame of 0 bytes never is).
  if (total == 0 || fragment != (total - 1) / FragmentBytes) return;
  DeliverFrame(s, c, video, audio, key);
}
