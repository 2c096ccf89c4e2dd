// U_ZEZov_Live.cpp - live video: the host's frame callbacks, opening and
// closing live channels, and the stream callback that joins the SDK's
// packets into frames for the host.
#include "tm_driver/U_ZEZov.h"
#include "support/Clock.h"
#include "support/U_DebugLog.h"
#include "support/U_HostCall.h"
#include "support/U_HostTypes.h"
#include "tm_driver/U_ZEZov_Texts.h"
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

void NV_CALL TTMDvs::StreamCallback(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t,
                                    uint32_t, void *userData) {
  auto *s = static_cast<TServerSession *>(userData);
  if (!s || !packet) return;
  // Counted in before Ended is read: whoever ends the session sets Ended
  // first, so from then on no callback starts to use it.
  s->Busy.fetch_add(1);
  if (s->Ended.load() == 0) {
    TChannelArray *channels = s->Channels;
    if (channels && channels->Has(channel)) {
      try {
        s->Driver->OnStreamPacket((*channels)[channel], static_cast<const uint8_t *>(packet));
      } catch (...) {
      }
    }
  }
  s->Busy.fetch_sub(1);
}

namespace {

void Deliver(const TDvrChannelInfo &c, int32_t length, uint8_t type, const void *data) {
  if (!c.FrameCallback.Assigned()) return;
  TDvrFrameInfo info;
  info.Length = length;
  info.FrameType = type;
  info.DriverType = TMDriverType;
  info.Time = NClock::Now();
  info.Data = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  try {
    NHostCall::Frame(c.FrameCallback, &info);
  } catch (...) {
    // The host's failure stays with the host.
  }
}

} // namespace

void TTMDvs::OnStreamPacket(TDvrChannelInfo &c, const uint8_t *packet) {
  TNvPacketHeader h;
  std::memcpy(&h, packet, sizeof h);
  if (c.HeaderPending) {
    if (h.Start == 0 || h.KeyFrame == 0) return;
    Deliver(c, 1, FrameHeader, packet);
    c.HeaderPending = 0;
  }
  const int64_t total = static_cast<int64_t>(h.VideoBytes) + h.AudioBytes;
  if (total > MaxFrameBytes) {
    // More than 256 fragments can carry: a damaged packet. The buffer never
    // grows for it.
    OversizedPackets.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (total > c.FrameBufferSize) {
    std::free(c.FrameBuffer);
    c.FrameBuffer = nullptr;
    c.FrameBufferSize = 0;
  }
  if (c.FrameBufferSize == 0 && h.Start != 0 && total > 0) {
    c.FrameBuffer = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(total)));
    if (!c.FrameBuffer) return;
    c.FrameBufferSize = static_cast<int32_t>(total);
  }
  // A packet that does not fit the buffer, or finds none, is dropped.
  const int64_t offset = static_cast<int64_t>(h.Fragment) * FragmentBytes;
  if (!c.FrameBuffer || h.PayloadBytes < 0 || h.PayloadBytes > FragmentBytes ||
      offset + h.PayloadBytes > c.FrameBufferSize)
    return;
  std::memcpy(c.FrameBuffer + offset, packet + sizeof h, static_cast<size_t>(h.PayloadBytes));
  // Complete when this is the frame's last 1024-byte fragment.
  const int64_t whole = total / FragmentBytes;
  const bool complete = total % FragmentBytes != 0 ? h.Fragment == whole : h.Fragment + 1 == whole;
  if (!complete) return;
  if (h.VideoBytes > 0) Deliver(c, static_cast<int32_t>(h.VideoBytes), h.KeyFrame ? FrameKey : FrameVideo, c.FrameBuffer);
  if (h.AudioBytes > 0) Deliver(c, h.AudioBytes, FrameAudio, c.FrameBuffer + h.VideoBytes);
}
