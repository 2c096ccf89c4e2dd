// Live channels, frame reassembly and server messages on a driver object of
// this process, with the SDK's functions replaced by recording fakes and the
// clock by a fake one.
#include "common/FakeClock.h"
#include "hostkit/DebugCapture.h"
#include "tests/server_table/InProcess.h"
#include "tm_driver/U_ZEZov_Define.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include "common/HostDir.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <thread>

namespace {
using NHostKit::THostCallbacks;

struct TFakeSdk {
  int opens = 0, closes = 0, closeFailuresLeft = 0;
  // Callbacks attached to a login and detached from one (nil).
  int callbacksAttached = 0, callbacksDetached = 0, streamsAttached = 0, streamsDetached = 0;
  TNvOpenRequest lastRequest{};
  int32_t lastLogin = 0;
  int32_t nextChannel = 500;
};
TFakeSdk *Fake = nullptr;

int32_t NV_CALL FakeOpen(int32_t login, const TNvOpenRequest *request, int32_t *channel) {
  ++Fake->opens;
  Fake->lastLogin = login;
  Fake->lastRequest = *request;
  *channel = Fake->nextChannel++;
  return 0;
}
int32_t NV_CALL FakeClose(int32_t) {
  ++Fake->closes;
  if (Fake->closeFailuresLeft > 0) {
    --Fake->closeFailuresLeft;
    return 1;
  }
  return 0;
}
int32_t NV_CALL FakeSetCallback(int32_t, TNvMessageCallback f) {
  ++(f ? Fake->callbacksAttached : Fake->callbacksDetached);
  return 0;
}
int32_t NV_CALL FakeSetStream(int32_t, TNvStreamCallback f, void *) {
  ++(f ? Fake->streamsAttached : Fake->streamsDetached);
  return 0;
}

struct TFrame {
  int32_t length;
  uint8_t type, driverType;
  std::vector<uint8_t> bytes;
  uintptr_t data;
  double time;
};

class Live : public InProcess {
protected:
  void SetUp() override {
    Fake = &fake;
    d = Make();
    d->Sdk[sfOpenChannel] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeOpen));
    d->Sdk[sfCloseChannel] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeClose));
    d->Sdk[sfSetCallback] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeSetCallback));
    d->Sdk[sfSetStreamFunc] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeSetStream));
    TDvrInfo s = Server("10.3.0.1", 3000, 4);
    s.DvrId = 31;
    s.StatusCallback = {const_cast<void *>(status.StatusMethod().code), status.StatusMethod().data};
    ASSERT_TRUE(Add(*d, s));
    status.status = [this](int32_t id, bool on, uint32_t) { reports.push_back({id, on}); };
    frames.frame = [this](const void *p) {
      TDvrFrameInfo fi;
      std::memcpy(&fi, p, sizeof fi);
      const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
      got.push_back(
          {fi.Length, fi.FrameType, fi.DriverType, std::vector<uint8_t>(b, b + fi.Length), fi.Data, fi.Time});
    };
    ip = NHostString::New("10.3.0.1");
  }
  void TearDown() override {
    NHostString::Release(ip);
    d.reset();
    Fake = nullptr;
  }
  // A login of the server as the worker makes it: a session with the SDK's
  // callbacks attached.
  void LogOn(int32_t handle) {
    session = d->BeginSession(0, handle);
    ASSERT_NE(session, nullptr);
  }
  void SetFrameCallback(int channel) {
    TMethod m[5] = {};
    m[0] = {const_cast<void *>(frames.FrameMethod().code), frames.FrameMethod().data};
    d->ORVA_Device_SetDvrCallback(ip, 3000, channel, m);
  }
  // One packet of a frame, its payload filled with a recognisable pattern.
  std::vector<uint8_t> Packet(uint8_t start, uint32_t video, uint16_t audio, uint8_t key, uint8_t fragment,
                              int32_t payload) {
    std::vector<uint8_t> p(sizeof(TNvPacketHeader) + (payload > 0 ? payload : 0));
    TNvPacketHeader h{};
    h.Start = start;
    h.PayloadBytes = payload;
    h.VideoBytes = video;
    h.AudioBytes = audio;
    h.KeyFrame = key;
    h.Fragment = fragment;
    std::memcpy(p.data(), &h, sizeof h);
    for (int32_t k = 0; k < payload; ++k) p[sizeof h + k] = static_cast<uint8_t>(fragment * 1024 + k);
    return p;
  }
  // A logged-on channel with the host's frame callback, its header already
  // announced: what a test of reassembly starts from.
  TDvrChannelInfo &Streaming(int channel) {
    SetFrameCallback(channel);
    LogOn(42);
    TDvrChannelInfo &c = (*d->Channels(0))[channel];
    c.HeaderPending = 0;
    return c;
  }
  // A packet as the SDK hands it over for the current login.
  void Send(int channel, const std::vector<uint8_t> &p) {
    ASSERT_NE(session, nullptr) << "log on first";
    TTMDvs::StreamCallback(0, channel, 0, p.data(), 0, 0, session);
  }
  // All fragments of a frame of `total` bytes.
  void SendFrame(int channel, uint32_t video, uint16_t audio, uint8_t key) {
    const int32_t total = static_cast<int32_t>(video + audio);
    for (int f = 0; f * 1024 < total; ++f)
      Send(channel, Packet(f == 0, video, audio, key, static_cast<uint8_t>(f), std::min(1024, total - f * 1024)));
  }
  static uint8_t Expected(size_t at) { return static_cast<uint8_t>((at / 1024) * 1024 + at % 1024); }

  TFakeSdk fake;
  TDriver d;
  TServerSession *session = nullptr;
  THostCallbacks status, frames;
  std::vector<std::pair<int32_t, bool>> reports;
  std::vector<TFrame> got;
  char *ip = nullptr;
};

TEST_F(Live, StartAndStopFollowTheChannelState) {
  NHostKit::TDebugCapture capture;
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), -1) << "not logged on";
  capture.Sync();
  EXPECT_EQ(capture.Matching("ZQ>>DvrIndex < Zero").size(), 1u);
  EXPECT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 1), 0);
  capture.Sync();
  EXPECT_EQ(capture.Matching("ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, RealHandle < 0").size(), 1u);

  LogOn(42);
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  EXPECT_EQ(fake.opens, 1);
  EXPECT_EQ(fake.lastLogin, 42);
  EXPECT_EQ(fake.lastRequest.Channel, 1);
  EXPECT_EQ(fake.lastRequest.Channel2, 1);
  EXPECT_EQ(fake.lastRequest.MinusOne, -1);
  EXPECT_EQ(fake.lastRequest.Zero12 | fake.lastRequest.Zero16 | fake.lastRequest.Zero24, 0);
  auto ch = d->Channels(0);
  EXPECT_EQ((*ch)[1].ChannelHandle, 500);
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0) << "already open";
  EXPECT_EQ(fake.opens, 1);
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 4), -1) << "beyond the channel records";
  EXPECT_EQ(fake.opens, 1);

  EXPECT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 1), 0);
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ((*ch)[1].ChannelHandle, -1);
}

TEST_F(Live, CloseFailuresAreRetriedFiveTimesThenTheChannelCountsAsClosed) {
  NTest::TFakeClock clock;
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 0), 0);
  fake.closeFailuresLeft = 9;
  NHostKit::TDebugCapture capture;
  EXPECT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 0), 0);
  EXPECT_EQ(fake.closes, 5);
  EXPECT_GE(clock.Slept(), 500u);
  capture.Sync();
  EXPECT_EQ(capture.Matching("ZQ>>TTMDvs.NVNET_CloseChannel Failure, DvrChannelNo:0").size(), 1u);
  EXPECT_EQ(capture.Matching("ZQ>>TTMDvs.ORVA_Device_StopDvrCapture Success").size(), 1u);
  EXPECT_EQ((*d->Channels(0))[0].ChannelHandle, -1);
}

TEST_F(Live, HeaderComesWithTheFirstStartAndKeyPacketThenFramesFollow) {
  SetFrameCallback(2);
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 2), 0);
  Send(2, Packet(0, 100, 0, 1, 0, 100)); // no start flag
  Send(2, Packet(1, 100, 0, 0, 0, 100)); // no key frame
  EXPECT_TRUE(got.empty());
  SendFrame(2, 100, 0, 1);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].type, FrameHeader);
  EXPECT_EQ(got[0].length, 1);
  EXPECT_EQ(got[0].driverType, 22);
  EXPECT_EQ(got[1].type, FrameKey);
  EXPECT_EQ(got[1].length, 100);
  SendFrame(2, 50, 0, 0);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].type, FrameVideo);
  // A new open announces itself again.
  ASSERT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 2), 0);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 2), 0);
  SendFrame(2, 50, 0, 1);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[3].type, FrameHeader);
}

TEST_F(Live, FramesAreDeliveredAfterTheirLastFragment) {
  Streaming(0);
  // 2500 bytes: fragments 0, 1, 2; delivered after fragment 2 only.
  Send(0, Packet(1, 2500, 0, 1, 0, 1024));
  Send(0, Packet(0, 2500, 0, 1, 1, 1024));
  EXPECT_TRUE(got.empty());
  Send(0, Packet(0, 2500, 0, 1, 2, 452));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].length, 2500);
  for (size_t k = 0; k < 2500; ++k) ASSERT_EQ(got[0].bytes[k], Expected(k)) << k;
  // Exactly 2048 bytes: complete with fragment 1.
  got.clear();
  Send(0, Packet(1, 2048, 0, 0, 0, 1024));
  EXPECT_TRUE(got.empty());
  Send(0, Packet(0, 2048, 0, 0, 1, 1024));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, FrameVideo);
  EXPECT_EQ(got[0].length, 2048);
  // 1000 video and 200 audio bytes: two records over one buffer.
  got.clear();
  Send(0, Packet(1, 1000, 200, 1, 0, 1024));
  Send(0, Packet(0, 1000, 200, 1, 1, 176));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].type, FrameKey);
  EXPECT_EQ(got[0].length, 1000);
  EXPECT_EQ(got[1].type, FrameAudio);
  EXPECT_EQ(got[1].length, 200);
  EXPECT_EQ(got[1].data, got[0].data + 1000);
  EXPECT_EQ(got[1].bytes[0], Expected(1000));
  // The buffer only grows, to the largest frame seen.
  EXPECT_EQ((*d->Channels(0))[0].FrameBufferSize, 2500);
}

TEST_F(Live, PacketsThatWouldOverrunTheBufferAreDropped) {
  auto &c = Streaming(0);
  Send(0, Packet(1, 1500, 0, 1, 0, 1024));
  const uint8_t *buffer = c.FrameBuffer;
  ASSERT_NE(buffer, nullptr);
  Send(0, Packet(0, 1500, 0, 1, 1, 1024)); // 1024 + 1024 > 1500
  Send(0, Packet(0, 1500, 0, 1, 5, 10));   // fragment far beyond
  Send(0, Packet(0, 1500, 0, 1, 1, -5));   // negative payload
  auto big = Packet(0, 1500, 0, 1, 1, 2000);
  Send(0, big);                            // payload larger than a fragment
  EXPECT_TRUE(got.empty());
  // A larger frame without its start packet: the buffer is released and the
  // packet finds none.
  Send(0, Packet(0, 9000, 0, 1, 1, 1024));
  EXPECT_EQ(c.FrameBuffer, nullptr);
  EXPECT_EQ(c.FrameBufferSize, 0);
  Send(0, Packet(0, 9000, 0, 1, 8, 808));
  EXPECT_TRUE(got.empty());
  // Unknown channels, no packet and no user data are ignored.
  auto p = Packet(1, 10, 0, 1, 0, 10);
  TTMDvs::StreamCallback(0, 4, 0, p.data(), 0, 0, session);
  TTMDvs::StreamCallback(0, -1, 0, p.data(), 0, 0, session);
  TTMDvs::StreamCallback(0, 0, 0, nullptr, 0, 0, session);
  TTMDvs::StreamCallback(0, 0, 0, p.data(), 0, 0, nullptr);
  EXPECT_TRUE(got.empty());
}

TEST_F(Live, AFramesVideoAndAudioShareOneStampThatFollowsTheClock) {
  NTest::TFakeClock clock;
  Streaming(0);
  const double before = NClock::ToDateTime(clock.LocalTime());
  SendFrame(0, 1000, 200, 1);
  clock.Advance(5);
  SendFrame(0, 1000, 200, 0);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].time, before);
  EXPECT_EQ(got[1].time, got[0].time) << "one stamp for the frame's video and audio";
  EXPECT_NEAR(got[2].time - got[0].time, 5 / 86400000.0, 1e-10) << "a new stamp once the tick moved on";
  EXPECT_EQ(got[3].time, got[2].time);
}

TEST_F(Live, AFrameClaimingMoreThan256FragmentsIsDroppedAndTheBufferStaysSmall) {
  auto &c = Streaming(0);
  Send(0, Packet(1, 0x7FFFFFF0, 0, 1, 0, 1024));
  Send(0, Packet(1, MaxFrameBytes, 1, 1, 0, 1024));
  EXPECT_EQ(c.FrameBuffer, nullptr);
  EXPECT_EQ(d->OversizedPackets.load(), 2u);
  // The largest frame the fragment index can carry is whole.
  for (int f = 0; f < 256; ++f) Send(0, Packet(f == 0, MaxFrameBytes, 0, 1, static_cast<uint8_t>(f), 1024));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].length, MaxFrameBytes);
  EXPECT_EQ(got[0].bytes[MaxFrameBytes - 1], Expected(MaxFrameBytes - 1));
  EXPECT_EQ(c.FrameBufferSize, MaxFrameBytes);
}

TEST_F(Live, ARegistrationReusingARemovedRecordEndsItsOldLoginFirst) {
  SetFrameCallback(0);
  LogOn(42);
  TServerSession *old = session;
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 0), 0);
  ASSERT_TRUE(d->ORVA_Device_RemoveDvr(ip, 3000));
  EXPECT_EQ(fake.streamsDetached, 0) << "a removal leaves the login";
  ASSERT_TRUE(Add(*d, Server("10.3.0.1", 3000, 4)));
  EXPECT_EQ(fake.callbacksDetached, 1);
  EXPECT_EQ(fake.streamsDetached, 1);
  EXPECT_EQ(fake.closes, 1) << "its open channel is closed";
  EXPECT_EQ(d->LiveSession(0), nullptr);
  // A packet the SDK still had on its way for the old login reaches nothing.
  SetFrameCallback(0);
  (*d->Channels(0))[0].HeaderPending = 0;
  auto p = Packet(1, 10, 0, 1, 0, 10);
  TTMDvs::StreamCallback(0, 0, 0, p.data(), 0, 0, old);
  EXPECT_TRUE(got.empty());
  // The new record gets logins of its own.
  LogOn(43);
  Send(0, p);
  EXPECT_EQ(got.size(), 1u);
}

TEST_F(Live, AHostExceptionInTheFrameCallbackEndsOnlyThatDelivery) {
  int calls = 0;
  frames.frame = [&](const void *) {
    ++calls;
    RaiseException(0xE0001234, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  };
  Streaming(0);
  SendFrame(0, 1000, 200, 1); // video and audio: both deliveries are made
  EXPECT_EQ(calls, 2);
  SendFrame(0, 10, 0, 1);
  EXPECT_EQ(calls, 3);
}

TEST_F(Live, ShutdownWithoutAWorkerClosesEveryServerAndDetachesItsLogin) {
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  ASSERT_TRUE(Add(*d, Server("10.3.0.2", 3000, 1)));
  d->ORVA_Device_CloseDvr(ip, 3000, false);
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, 42) << "closing without log-out keeps the login";
  EXPECT_EQ(fake.streamsDetached, 0);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  EXPECT_TRUE(d->ORVA_Device_Shutdown());
  EXPECT_EQ(fake.closes, 2);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ(fake.callbacksDetached, 1);
  EXPECT_EQ(fake.streamsDetached, 1);
  EXPECT_EQ((*d->Channels(0))[1].ChannelHandle, -1);
}

TEST_F(Live, ShutdownClosesTheChannelsAndLoginOfARemovedServer) {
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 2), 0);
  ASSERT_TRUE(d->ORVA_Device_RemoveDvr(ip, 3000));
  EXPECT_TRUE(d->ORVA_Device_Shutdown());
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ((*d->Channels(0))[2].ChannelHandle, -1);
  EXPECT_EQ(fake.streamsDetached, 1);
  EXPECT_EQ(d->LiveSession(0), nullptr);
}

TEST_F(Live, RemovalAndRegistrationWhileStreamingNeverTearAFrame) {
  // Per channel an SDK thread streams frames into whatever session the
  // server has (sometimes one that has just ended); the host removes and
  // registers the server again and a new login begins, over and over. Each
  // frame carries a tag in its first bytes and a pattern from it; video and
  // audio of one delivery share the tag.
  std::atomic<bool> stop{false};
  std::atomic<int> whole{0}, torn{0}, registrations{0};
  frames.frame = [&](const void *p) {
    static thread_local uint32_t videoTag = 0;
    TDvrFrameInfo fi;
    std::memcpy(&fi, p, sizeof fi);
    if (fi.FrameType == FrameHeader) return;
    const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
    uint32_t tag;
    std::memcpy(&tag, b, 4);
    bool ok = fi.FrameType != FrameAudio || tag == videoTag;
    for (int32_t k = 4; k < fi.Length && ok; ++k) ok = b[k] == static_cast<uint8_t>(tag * 7 + k);
    if (fi.FrameType != FrameAudio) videoTag = tag;
    ++(ok ? whole : torn);
  };
  d.reset();
  d = Make();
  d->Sdk[sfSetCallback] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeSetCallback));
  d->Sdk[sfSetStreamFunc] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeSetStream));
  d->Sdk[sfCloseChannel] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeClose));
  auto registerAndLogOn = [&](int32_t handle) {
    if (!Add(*d, Server("10.3.0.1", 3000, 2))) return false;
    SetFrameCallback(0);
    SetFrameCallback(1);
    return d->BeginSession(0, handle) != nullptr;
  };
  ASSERT_TRUE(registerAndLogOn(100));
  std::atomic<uint32_t> nextTag{1};
  std::vector<std::thread> sdk;
  for (int c = 0; c < 2; ++c)
    sdk.emplace_back([&, c] {
      const uint32_t video = 2500, audio = 300;
      std::vector<uint8_t> frame(video + audio), packet(sizeof(TNvPacketHeader) + 1024);
      while (!stop) {
        TServerSession *s = d->LiveSession(0);
        if (!s) continue;
        const uint32_t tag = nextTag++;
        for (uint32_t k = 0; k < video; ++k) frame[k] = static_cast<uint8_t>(tag * 7 + k);
        for (uint32_t k = 0; k < audio; ++k) frame[video + k] = static_cast<uint8_t>(tag * 7 + k);
        std::memcpy(frame.data(), &tag, 4);
        std::memcpy(frame.data() + video, &tag, 4);
        for (uint32_t f = 0; f * 1024 < video + audio; ++f) {
          const int32_t payload = static_cast<int32_t>(std::min<uint32_t>(1024, video + audio - f * 1024));
          TNvPacketHeader h{};
          h.Start = f == 0;
          h.PayloadBytes = payload;
          h.VideoBytes = video;
          h.AudioBytes = static_cast<uint16_t>(audio);
          h.KeyFrame = 1;
          h.Fragment = static_cast<uint8_t>(f);
          std::memcpy(packet.data(), &h, sizeof h);
          std::memcpy(packet.data() + sizeof h, frame.data() + f * 1024, static_cast<size_t>(payload));
          TTMDvs::StreamCallback(0, c, 0, packet.data(), 0, 0, s);
        }
      }
    });
  for (int32_t handle = 101; handle < 141; ++handle) {
    NClock::Sleep(5);
    ASSERT_TRUE(d->ORVA_Device_RemoveDvr(ip, 3000));
    ASSERT_TRUE(registerAndLogOn(handle));
    ++registrations;
  }
  stop = true;
  for (auto &t : sdk) t.join();
  EXPECT_EQ(torn.load(), 0) << "of " << whole.load() + torn.load() << " frames";
  EXPECT_GT(whole.load(), 0);
  EXPECT_EQ(fake.streamsDetached, registrations.load()) << "each registration ended one login";
  EXPECT_NE(d->LiveSession(0), nullptr);
}

// ---------------------------------------------------------------- server messages

class Messages : public Live {
protected:
  int32_t Message(int32_t handle, uint32_t code) { return TTMDvs::MessageCallback(handle, &code); }
};

TEST_F(Messages, BreakClosesTheChannelsAndReportsAtOnceWithoutDelay) {
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 3), 0);
  NHostKit::TDebugCapture capture;
  EXPECT_EQ(Message(42, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ((*d->Channels(0))[3].ChannelHandle, -1);
  EXPECT_EQ(fake.closes, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], std::make_pair(31, false));
  capture.Sync();
  const auto lines = capture.Matching("ZQ>>TTMDvs");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(capture.Matching("ZQ>>TTMDvs: NV_MSG_SERVER_BREAK Begin ---------------10.3.0.1").size(), 1u);
  EXPECT_EQ(capture.Matching("ZQ>>TTMDvs: NV_MSG_SERVER_BREAK End ---------------").size(), 1u);
  EXPECT_EQ(capture.Matching("LogOut StartTime: ").size(), 1u);
  // Reset: the same, with result 1.
  LogOn(43);
  EXPECT_EQ(Message(43, NV_MSG_RESETSERVER), 1);
  EXPECT_EQ(reports.size(), 2u);
  // Other codes, unknown handles and negative handles change nothing.
  LogOn(44);
  EXPECT_EQ(Message(44, 0x10000001), 0);
  EXPECT_EQ(Message(45, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(Message(-1, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, 44);
  EXPECT_EQ(reports.size(), 2u);
}

TEST_F(Messages, AHostExceptionInTheStatusCallbackDoesNotStopTheBreakHandling) {
  status.status = [](int32_t, bool, uint32_t) { RaiseException(0xE0001235, EXCEPTION_NONCONTINUABLE, 0, nullptr); };
  LogOn(42);
  EXPECT_EQ(Message(42, NV_MSG_RESETSERVER), 1);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ(fake.callbacksDetached, 1) << "logged out after the report";
}

TEST_F(Messages, WithADelayOnlyABreakAfterTheDelayReportsAndOnlyOnce) {
  NTest::TFakeClock clock(5000000);
  int32_t delay = 30000;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  LogOn(42);
  Message(42, NV_MSG_SERVER_BREAK);
  EXPECT_TRUE(reports.empty()) << "the first break only records the tick";
  EXPECT_EQ(GetOfflineTick(*d->DvrRecord(0)), 5000000u);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1) << "logged off whether or not it reports";
  clock.Advance(10000);
  LogOn(42);
  Message(42, NV_MSG_SERVER_BREAK);
  EXPECT_TRUE(reports.empty());
  clock.Advance(21000);
  LogOn(42);
  Message(42, NV_MSG_SERVER_BREAK);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(GetOfflineTick(*d->DvrRecord(0)), 1u);
  clock.Advance(60000);
  LogOn(42);
  Message(42, NV_MSG_SERVER_BREAK);
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Messages, TheMostNegativeDelayStaysNegativeAndNeverHoldsBack) {
  NTest::TFakeClock clock;
  int32_t delay = INT32_MIN;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  EXPECT_EQ(d->OfflineReportDelay, INT32_MIN);
  delay = -250;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  EXPECT_EQ(d->OfflineReportDelay, 250);
  delay = INT32_MIN;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  LogOn(42);
  Message(42, NV_MSG_SERVER_BREAK);
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Messages, WithoutAStatusCallbackNothingIsCalled) {
  auto e = Make();
  ASSERT_TRUE(Add(*e, Server("10.3.0.9", 3000, 1)));
  EXPECT_FALSE(e->StatusCallback.Assigned());
  e->DvrRecord(0)->LoginHandle = 7;
  uint32_t code = NV_MSG_SERVER_BREAK;
  EXPECT_EQ(TTMDvs::MessageCallback(7, &code), 0) << "the newest object gets the message";
  EXPECT_EQ(e->DvrRecord(0)->LoginHandle, -1);
  // A later registration that carries one sets it; none after that changes it.
  TDvrInfo s = Server("10.3.0.10", 3000, 1);
  THostCallbacks other;
  s.StatusCallback = {const_cast<void *>(other.StatusMethod().code), other.StatusMethod().data};
  ASSERT_TRUE(Add(*e, s));
  EXPECT_EQ(e->StatusCallback.Data, other.StatusMethod().data);
  s = Server("10.3.0.11", 3000, 1);
  s.StatusCallback = {const_cast<void *>(status.StatusMethod().code), status.StatusMethod().data};
  ASSERT_TRUE(Add(*e, s));
  EXPECT_EQ(e->StatusCallback.Data, other.StatusMethod().data);
}

TEST_F(Messages, AMessageAfterTheObjectIsGoneDoesNothing) {
  LogOn(42);
  d.reset();
  EXPECT_EQ(Message(42, NV_MSG_SERVER_BREAK), 0);
  EXPECT_TRUE(reports.empty());
}

// ---------------------------------------------------------------- texts

TEST(Texts, TheDriversChineseTextsAreSentInCodePage936) {
  // The texts as the driver's readers know them, here in UTF-8; the system's
  // own converter gives the bytes the driver must send.
  auto cp936 = [](const char8_t *utf8) {
    const char *u = reinterpret_cast<const char *>(utf8);
    wchar_t wide[256];
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, u, -1, wide, 256);
    char out[512];
    const int m = n > 0 ? WideCharToMultiByte(936, 0, wide, -1, out, sizeof out, nullptr, nullptr) : 0;
    return m > 0 ? std::string(out) : std::string("(not convertible)");
  };
  const std::pair<const char *, const char8_t *> texts[] = {
      {TextSdkFileMissing, u8"ZQ>>SDK文件不存在: "},
      {TextSdkLoadFailed, u8"ZQ>>SDK装载失败: "},
      {TextLogOutStart, u8"ZQ>>TTMDvs:调用LogOut StartTime: "},
      {TextLogOutEnd, u8"ZQ>>TTMDvs:调用LogOut EndTime: "},
      {TextOnLine, u8"zq>>TTMDvs: 在线:"},
      {TextReportOffLine, u8"ZQ>>TTMDvs 报告不在线:  "},
      {TextLogOutBegin, u8"ZQ>>TTMDvs LogOut\u3000begin"},
      {TextLogOutFinished, u8"ZQ>>TTMDvs LogOut\u3000end"},
      {TextAlreadyOpen, u8"ZQ>>TTMDvs.ORVA_Device_StartDvrCapture.ChannelHandle >= 0; 提起退出"},
      {TextStopNoServer, u8"ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, 但DvrIndex < 0"},
  };
  for (const auto &[sent, text] : texts)
    EXPECT_EQ(NHostKit::Hex(sent), NHostKit::Hex(cp936(text))) << reinterpret_cast<const char *>(text);
}

// ---------------------------------------------------------------- binding

class Bind : public InProcess {};

TEST_F(Bind, TheSdkIsLoadedFromTheHostFolderWithItsSixteenFunctions) {
  const std::string dir = NTest::MakeHostDir("bind_host");
  ASSERT_FALSE(dir.empty());
  TDriver d = MakeAt(dir);
  ASSERT_TRUE(d->BindSdk());
  ASSERT_GE(d->LoadedLibraryPaths.size(), 1u);
  EXPECT_EQ(d->LoadedLibraryPaths[0], dir + "\\\\System\\ZEZov\\\\NVSDK.dll") << "the separators stay doubled";
  EXPECT_EQ(d->LoadedLibraryHandles[0], std::to_string(reinterpret_cast<uintptr_t>(d->SdkModule)));
  for (int f = 0; f < SdkFunctionCount; ++f) EXPECT_NE(d->Sdk[f], nullptr) << SdkFunctionNames[f];
  // The PTZ library once for the whole library; its handle outlives the object.
  ASSERT_NE(NPtz::Module, nullptr);
  const HMODULE ptz = NPtz::Module;
  EXPECT_NE(NPtz::TransformToCommand, nullptr);
  d.reset();
  EXPECT_EQ(NPtz::Module, ptz);
  d = MakeAt(dir);
  ASSERT_TRUE(d->BindSdk());
  EXPECT_EQ(d->LoadedLibraryPaths.size(), 1u) << "not loaded again";
}

TEST_F(Bind, AMissingSdkFailsTheBinding) {
  const std::string dir = NTest::MakeHostDir("bind_nosdk", false, false);
  TDriver d = MakeAt(dir);
  EXPECT_FALSE(d->BindSdk());
  EXPECT_TRUE(d->LoadedLibraryPaths.empty());
  EXPECT_EQ(d->ORVA_Device_Init(), 0);
  EXPECT_TRUE(d->ORVA_Device_Shutdown()) << "returns at once: no worker";
}

} // namespace
