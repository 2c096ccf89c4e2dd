// Live channels, frame reassembly and server messages on a driver object of
// this process, with the SDK's functions replaced by recording fakes and the
// clock by a fake one.
#include "common/FakeClock.h"
#include "common/HostDir.h"
#include "common/Logged.h"
#include "common/InProcess.h"
#include "tm_driver/U_ZEZov_Define.h"
#include "tm_driver/U_ZEZov_Texts.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <shared_mutex>
#include <thread>

namespace {
using NHostKit::THostCallbacks;
using TReports = std::vector<std::pair<int32_t, bool>>;

struct TFakeSdk {
  int opens = 0, closes = 0, closeFailuresLeft = 0;
  // Callbacks detached from a login (set to nil).
  int callbacksDetached = 0, streamsDetached = 0;
  // The user data attached with the stream callback last, and what a test
  // wants done while a stream callback is being detached (the SDK's calls
  // still under way then).
  void *streamUser = nullptr;
  std::function<void(void *)> onDetach;
  // Held by a thread playing the SDK's stream thread while it calls the
  // stream function; attaching and detaching wait for it, as the SDK's do.
  std::shared_mutex attach;
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
  return Fake->closeFailuresLeft-- > 0 ? 1 : 0;
}
int32_t NV_CALL FakeSetCallback(int32_t, TNvMessageCallback f) {
  Fake->callbacksDetached += !f;
  return 0;
}
int32_t NV_CALL FakeSetStream(int32_t, TNvStreamCallback f, void *user) {
  std::unique_lock<std::shared_mutex> g(Fake->attach);
  Fake->streamsDetached += !f;
  if (!f && Fake->onDetach) Fake->onDetach(Fake->streamUser);
  Fake->streamUser = f ? user : nullptr;
  return 0;
}

TSdkTable FakeTable() {
  TSdkTable t;
  t.Functions[sfOpenChannel] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeOpen));
  t.Functions[sfCloseChannel] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeClose));
  t.Functions[sfSetCallback] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeSetCallback));
  t.Functions[sfSetStreamFunc] = reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeSetStream));
  return t;
}

struct TFrame {
  int32_t length;
  uint8_t type;
  bool whole; // driver type 22, and the bytes Packet() sends
  uintptr_t data;
  double time;
};

TMethod AsMethod(const NHostKit::TMethodPtr &m) { return {const_cast<void *>(m.code), m.data}; }

// One packet of a frame. Its payload is the frame's bytes from `frame`, or by
// default the pattern the checks expect: byte k of a frame is k mod 256.
std::vector<uint8_t> Packet(uint8_t start, uint32_t video, uint16_t audio, uint8_t key, uint8_t fragment,
                            int32_t payload, const uint8_t *frame = nullptr) {
  std::vector<uint8_t> p(sizeof(TNvPacketHeader) + (payload > 0 ? payload : 0));
  // Start, payload, video and audio bytes, key flag and fragment; the padding zero.
  const TNvPacketHeader h{start, {}, payload, {}, video, {}, audio, key, fragment, {}};
  std::memcpy(p.data(), &h, sizeof h);
  for (int32_t k = 0, at = fragment * 1024; k < payload; ++k, ++at) p[sizeof h + k] = frame ? frame[at] : at;
  return p;
}
// Every packet of a frame, in 1024-byte fragments.
std::vector<std::vector<uint8_t>> FramePackets(uint32_t video, uint16_t audio, uint8_t key,
                                               const uint8_t *frame = nullptr) {
  std::vector<std::vector<uint8_t>> packets;
  const int32_t total = static_cast<int32_t>(video + audio);
  for (int f = 0; f * 1024 < total; ++f)
    packets.push_back(
        Packet(f == 0, video, audio, key, static_cast<uint8_t>(f), std::min(1024, total - f * 1024), frame));
  return packets;
}

class Live : public InProcess {
protected:
  void SetUp() override {
    Fake = &fake;
    const TSdkTable sdk = FakeTable();
    d = Make(std::string(), &sdk);
    TDvrInfo s = Server("10.3.0.1", 3000, 4);
    s.StatusCallback = AsMethod(status.StatusMethod());
    Register(*d, s);
    status.status = [this](int32_t id, bool on, uint32_t) { reports.push_back({id, on}); };
    frames.frame = [this](const void *p) {
      TDvrFrameInfo fi;
      std::memcpy(&fi, p, sizeof fi);
      const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
      // Audio follows its frame's video in the buffer.
      const int32_t at = fi.FrameType == FrameAudio && !got.empty() ? got.back().length : 0;
      bool whole = fi.DriverType == 22;
      for (int32_t k = 0; k < fi.Length && fi.FrameType != FrameHeader; ++k)
        whole = whole && b[k] == uint8_t(at + k);
      got.push_back({fi.Length, fi.FrameType, whole, fi.Data, fi.Time});
    };
  }
  void TearDown() override {
    NHostString::Release(ip);
    NHostString::Release(ip2);
    d.reset();
    Fake = nullptr;
  }
  static void Register(TTMDvs &on, const TDvrInfo &s) {
    EXPECT_TRUE(Add(on, s)) << "refused beside " << on.DvrCount() << " records";
  }
  void Remove(const char *at) {
    EXPECT_TRUE(d->ORVA_Device_RemoveDvr(at, 3000)) << NHostString::View(at) << " among " << d->DvrCount();
  }
  // A login of the server as the worker makes it: a session with the SDK's
  // callbacks attached.
  void LogOn(int32_t handle) {
    ASSERT_TRUE(d->BeginSession(0, handle));
    session = fake.streamUser;
  }
  void SetFrameCallback(int channel) {
    TMethod m[5] = {AsMethod(frames.FrameMethod())};
    d->ORVA_Device_SetDvrCallback(ip, 3000, channel, m);
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
    TTMDvs::StreamCallback(0, channel, 0, p.data(), 0, 0, session);
  }
  void SendFrame(int channel, uint32_t video, uint16_t audio, uint8_t key) {
    for (const auto &p : FramePackets(video, audio, key)) Send(channel, p);
  }
  // What the host got, in order: "header:1 key:2500 audio:200", a record
  // that is not whole marked "(bad)".
  std::string Seen() const {
    static const char *const names[8] = {"?", "header", "key", "?", "video", "?", "?", "audio"};
    std::string s;
    for (const TFrame &f : got)
      s += (s.empty() ? "" : " ") + std::string(names[f.type & 7]) + ":" + std::to_string(f.length) +
           (f.whole ? "" : "(bad)");
    return s;
  }

  TFakeSdk fake;
  TDriver d;
  void *session = nullptr;
  THostCallbacks status, frames;
  TReports reports;
  std::vector<TFrame> got;
  char *ip = NHostString::New("10.3.0.1"), *ip2 = NHostString::New("10.3.0.2");
};

TEST_F(Live, WithoutALoginStartFailsAndStopOnlyLogs) {
  NHostKit::TDebugCapture capture;
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), -1);
  EXPECT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 1), 0);
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>DvrIndex < Zero"));
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>TTMDvs.ORVA_Device_StopDvrCapture, RealHandle < 0"));
}

TEST_F(Live, StartOpensAChannelOnceOnTheLoginAndStopClosesIt) {
  LogOn(42);
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0) << "already open";
  EXPECT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 4), -1) << "beyond the channel records";
  EXPECT_EQ(fake.opens, 1);
  EXPECT_EQ(fake.lastLogin, 42);
  const TNvOpenRequest &r = fake.lastRequest;
  EXPECT_EQ(r.Channel, 1);
  EXPECT_EQ(r.Channel2, 1);
  EXPECT_EQ(r.MinusOne, -1);
  EXPECT_EQ(r.Zero12 | r.Zero16 | r.Zero24, 0);
  TDvrChannelInfo &c = (*d->Channels(0))[1];
  EXPECT_EQ(c.ChannelHandle, 500);
  EXPECT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 1), 0);
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ(c.ChannelHandle, -1);
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
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>TTMDvs.NVNET_CloseChannel Failure, DvrChannelNo:0"));
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>TTMDvs.ORVA_Device_StopDvrCapture Success"));
  EXPECT_EQ((*d->Channels(0))[0].ChannelHandle, -1);
}

TEST_F(Live, EachOpenAnnouncesItselfWithAHeaderAtItsFirstStartAndKeyPacket) {
  SetFrameCallback(2);
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 2), 0);
  Send(2, Packet(0, 100, 0, 1, 0, 100)); // no start flag
  Send(2, Packet(1, 100, 0, 0, 0, 100)); // no key frame
  SendFrame(2, 100, 0, 1);
  SendFrame(2, 50, 0, 0);
  ASSERT_EQ(d->ORVA_Device_StopDvrCapture(ip, 3000, 2), 0);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 2), 0);
  SendFrame(2, 50, 0, 1);
  EXPECT_EQ(Seen(), "header:1 key:100 video:50 header:1 key:50");
}

TEST_F(Live, AFrameIsDeliveredWholeWithItsLastFragment) {
  auto &c = Streaming(0);
  // 2500 bytes: fragments 0, 1, 2.
  Send(0, Packet(1, 2500, 0, 1, 0, 1024));
  Send(0, Packet(0, 2500, 0, 1, 1, 1024));
  EXPECT_EQ(Seen(), "");
  Send(0, Packet(0, 2500, 0, 1, 2, 452));
  EXPECT_EQ(Seen(), "key:2500");
  // Exactly 2048 bytes: complete with fragment 1.
  Send(0, Packet(1, 2048, 0, 0, 0, 1024));
  EXPECT_EQ(Seen(), "key:2500");
  Send(0, Packet(0, 2048, 0, 0, 1, 1024));
  EXPECT_EQ(Seen(), "key:2500 video:2048");
  EXPECT_EQ(c.FrameBufferSize, 2500) << "the buffer only grows, to the largest frame seen";
}

TEST_F(Live, PacketsThatWouldOverrunTheBufferAreDropped) {
  Streaming(0);
  Send(0, Packet(1, 1500, 0, 1, 0, 1024));
  Send(0, Packet(0, 1500, 0, 1, 1, 1024)); // 1024 + 1024 > 1500
  Send(0, Packet(0, 1500, 0, 1, 5, 10));   // fragment far beyond
  Send(0, Packet(0, 1500, 0, 1, 1, -5));   // negative payload
  Send(0, Packet(0, 1500, 0, 1, 1, 2000)); // payload larger than a fragment
  Send(0, Packet(0, 1500, 0, 1, 1, 476));  // the right last fragment still completes the frame
  EXPECT_EQ(Seen(), "key:1500");
}

TEST_F(Live, ALargerFrameReleasesTheBufferAndFindsNoneWithoutItsStartPacket) {
  auto &c = Streaming(0);
  SendFrame(0, 1500, 0, 1);
  Send(0, Packet(0, 9000, 0, 1, 1, 1024));
  EXPECT_EQ(c.FrameBuffer, nullptr);
  EXPECT_EQ(c.FrameBufferSize, 0);
  Send(0, Packet(0, 9000, 0, 1, 8, 808));
  EXPECT_EQ(Seen(), "key:1500");
}

TEST_F(Live, PacketsForNoChannelOrWithoutDataOrSessionAreIgnored) {
  Streaming(0);
  auto p = Packet(1, 10, 0, 1, 0, 10);
  TTMDvs::StreamCallback(0, 4, 0, p.data(), 0, 0, session);
  TTMDvs::StreamCallback(0, -1, 0, p.data(), 0, 0, session);
  TTMDvs::StreamCallback(0, 0, 0, nullptr, 0, 0, session);
  TTMDvs::StreamCallback(0, 0, 0, p.data(), 0, 0, nullptr);
  Send(0, p);
  EXPECT_EQ(Seen(), "key:10") << "only the packet with channel, data and session";
}

TEST_F(Live, AFramesVideoAndAudioAreTwoRecordsOverOneBufferWithOneStamp) {
  NTest::TFakeClock clock;
  Streaming(0);
  const double before = NClock::ToDateTime(clock.LocalTime());
  SendFrame(0, 1000, 200, 1);
  clock.Advance(5);
  SendFrame(0, 1000, 200, 0);
  ASSERT_EQ(Seen(), "key:1000 audio:200 video:1000 audio:200");
  EXPECT_EQ(got[1].data, got[0].data + 1000);
  EXPECT_EQ(got[0].time, before);
  EXPECT_EQ(got[1].time, got[0].time);
  EXPECT_NEAR(got[2].time - got[0].time, 5 / 86400000.0, 1e-10) << "a new stamp once the tick moved on";
  EXPECT_EQ(got[3].time, got[2].time);
}

TEST_F(Live, AFrameClaimingMoreThan256FragmentsIsDroppedAndTheBufferStaysSmall) {
  auto &c = Streaming(0);
  Send(0, Packet(1, 0x7FFFFFF0, 0, 1, 0, 1024));
  Send(0, Packet(1, MaxFrameBytes, 1, 1, 0, 1024));
  EXPECT_EQ(c.FrameBuffer, nullptr);
  EXPECT_EQ(d->OversizedPackets(), 2u);
  // The largest frame the fragment index can carry is whole.
  SendFrame(0, MaxFrameBytes, 0, 1);
  EXPECT_EQ(Seen(), "key:" + std::to_string(MaxFrameBytes));
  EXPECT_EQ(c.FrameBufferSize, MaxFrameBytes);
}

// The worker's stream line: per open channel, what it did since the last
// line, every way of dropping a packet counted apart; a login's counts not
// yet reported survive its end and go into the next line of the server.
TEST_F(Live, TheStreamLineCountsEachChannelsFramesAndDropsSinceTheLastLine) {
  NTest::TFakeClock clock;
  NHostKit::TDebugCapture capture;
  SetFrameCallback(0);
  SetFrameCallback(1);
  LogOn(42);
  d->ReportStreams();
  EXPECT_TRUE(NTest::Logged(capture, "stream", 0)) << "no open channel, no line";
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 0), 0);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  Send(0, Packet(0, 100, 0, 1, 0, 100));        // before the first key frame: no start flag
  Send(0, Packet(1, 100, 0, 0, 0, 100));        // ... no key flag
  SendFrame(0, 1000, 200, 1);                   // header, a key frame with audio
  Send(0, Packet(1, 0x7FFFFFF0, 0, 0, 0, 1024)); // beyond 256 fragments
  Send(0, Packet(0, 1000, 0, 0, 1, 2000));      // payload beyond its fragment
  Send(0, Packet(0, 9000, 0, 0, 1, 1024));      // a larger frame without its first packet
  Send(0, Packet(1, 2500, 0, 0, 0, 1024));      // a frame whose fragment 1 was lost ...
  Send(0, Packet(0, 2500, 0, 0, 2, 452));       // ... is still delivered, and counted
  ASSERT_EQ(Seen(), "header:1 key:1000 audio:200 video:2500(bad)") << "what the lost fragment held is not there";
  clock.Advance(10000);
  d->ReportStreams();
  EXPECT_TRUE(NTest::Logged(capture,
                            "| zq>>TTMDvs stream 10.3.0.1:3000 span=10.00"
                            " | ch0 fps=0.2 kbps=3 video=2 audio=1 drop=5 nokey=2 big=1 outside=1 nobuf=1 miss=1"
                            " | ch1 NO FRAMES fps=0.0 kbps=0 video=0 audio=0 drop=0 nokey=0 big=0 outside=0 nobuf=0 miss=0"));

  // Counted since that line: one frame on the login that ends, one on the next.
  SendFrame(0, 1000, 0, 0);
  ASSERT_TRUE(d->EndSessionOf(0));
  LogOn(43);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 0), 0);
  SendFrame(0, 1000, 0, 1);
  clock.Advance(5000);
  d->ReportStreams();
  EXPECT_TRUE(NTest::Logged(capture,
                            "| zq>>TTMDvs stream 10.3.0.1:3000 span=5.00"
                            " | ch0 fps=0.4 kbps=3 video=2 audio=0 drop=0 nokey=0 big=0 outside=0 nobuf=0 miss=0"))
      << "channel 1, closed with the first login and silent since, is left out";
  EXPECT_TRUE(NTest::Logged(capture, "zq>>TTMDvs stream", 2));
}

TEST_F(Live, ARegistrationReusingARemovedRecordEndsItsOldLoginFirst) {
  Streaming(0);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 0), 0);
  Remove(ip);
  EXPECT_EQ(fake.streamsDetached, 0) << "a removal leaves the login";
  // A packet the SDK still had on its way for the old login while it was
  // being detached reaches nothing; the new record streams on a login of
  // its own.
  auto p = Packet(1, 10, 0, 1, 0, 10);
  fake.onDetach = [&](void *old) { TTMDvs::StreamCallback(0, 0, 0, p.data(), 0, 0, old); };
  Register(*d, Server("10.3.0.1", 3000, 4));
  fake.onDetach = nullptr;
  EXPECT_EQ(fake.callbacksDetached, 1);
  EXPECT_EQ(fake.streamsDetached, 1);
  EXPECT_EQ(fake.closes, 1) << "its open channel is closed";
  EXPECT_FALSE(d->HasSession(0));
  EXPECT_EQ(Seen(), "");
  Streaming(0);
  Send(0, p);
  EXPECT_EQ(Seen(), "key:10");
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

TEST_F(Live, ClosingAServerWithoutLogOutClosesItsChannelsAndKeepsTheLogin) {
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  d->ORVA_Device_CloseDvr(ip, 3000, false);
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, 42);
  EXPECT_EQ(fake.streamsDetached, 0);
}

TEST_F(Live, ShutdownWithoutAWorkerEndsTheChannelsAndLoginsOfEveryServerRemovedOrNot) {
  Register(*d, Server("10.3.0.2", 3000, 1));
  LogOn(42);
  ASSERT_TRUE(d->BeginSession(1, 43));
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 1), 0);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip2, 3000, 0), 0);
  Remove(ip2);
  d->ORVA_Device_Shutdown();
  EXPECT_EQ(fake.closes, 2);
  EXPECT_EQ((*d->Channels(0))[1].ChannelHandle, -1);
  EXPECT_EQ((*d->Channels(1))[0].ChannelHandle, -1);
  EXPECT_EQ(fake.streamsDetached, 2) << "both logins ended";
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_FALSE(d->HasSession(1));
}

TEST_F(Live, RemovalAndRegistrationWhileStreamingNeverTearAFrame) {
  // Per channel an SDK thread streams frames into whatever session is
  // attached (sometimes one that is just ending); the host removes and
  // registers the server again and a new login begins, over and over. Every
  // byte of a frame, video and audio, is the frame's tag.
  std::atomic<bool> stop{false};
  std::atomic<int> whole{0}, torn{0};
  std::atomic<uint8_t> nextTag{1};
  frames.frame = [&](const void *p) {
    static thread_local uint8_t videoTag = 0;
    TDvrFrameInfo fi;
    std::memcpy(&fi, p, sizeof fi);
    if (fi.FrameType == FrameHeader) return;
    const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
    if (fi.FrameType != FrameAudio) videoTag = b[0];
    ++(std::all_of(b, b + fi.Length, [&](uint8_t x) { return x == videoTag; }) ? whole : torn);
  };
  auto logOn = [&](int32_t handle) {
    SetFrameCallback(0);
    SetFrameCallback(1);
    LogOn(handle);
  };
  logOn(100);
  std::vector<std::thread> sdk;
  for (int c = 0; c < 2; ++c)
    sdk.emplace_back([&, c] {
      while (!stop) {
        std::shared_lock<std::shared_mutex> g(fake.attach);
        const std::vector<uint8_t> frame(2800, nextTag++);
        for (const auto &p : FramePackets(2500, 300, 1, frame.data()))
          TTMDvs::StreamCallback(0, c, 0, p.data(), 0, 0, fake.streamUser);
      }
    });
  for (int32_t handle = 101; handle <= 140; ++handle) {
    NClock::Sleep(5);
    Remove(ip);
    Register(*d, Server("10.3.0.1", 3000, 2));
    logOn(handle);
  }
  stop = true;
  for (auto &t : sdk) t.join();
  EXPECT_EQ(torn.load(), 0) << "of " << whole.load() + torn.load() << " frames";
  EXPECT_GT(whole.load(), 0);
  EXPECT_EQ(fake.streamsDetached, 40) << "each registration ended one login";
  EXPECT_TRUE(d->HasSession(0));
}

// The host's frame callback holds the delivery of one frame type until the
// host has shut the driver down and released it; then it reads the bytes it
// holds. What the host saw is returned; every heap must still validate.
class HeldDelivery : public Live {
protected:
  std::string HoldAcrossRelease(uint8_t heldType) {
    NWin::NSync::TEvent held, goOn;
    frames.frame = [&](const void *p) {
      TDvrFrameInfo fi;
      std::memcpy(&fi, p, sizeof fi);
      got.push_back({fi.Length, fi.FrameType, true, fi.Data, fi.Time});
      if (fi.FrameType != heldType) return;
      held.Set();
      goOn.Wait();
      const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
      for (int32_t k = 0; k < fi.Length && fi.FrameType != FrameHeader; ++k)
        got.back().whole = got.back().whole && b[k] == uint8_t(k);
    };
    SetFrameCallback(0);
    LogOn(42);
    std::thread sdk([&] {
      for (const auto &p : FramePackets(3000, 200, 1)) Send(0, p);
    });
    EXPECT_TRUE(held.Wait(30000));
    d->ORVA_Device_Shutdown();
    d.reset(); // the last reference: the object goes, the held delivery stays
    goOn.Set();
    sdk.join();
    HANDLE heaps[64];
    const DWORD n = ::GetProcessHeaps(64, heaps);
    for (DWORD k = 0; k < n && k < 64; ++k) EXPECT_TRUE(::HeapValidate(heaps[k], 0, nullptr)) << "heap " << k;
    return Seen();
  }
};

TEST_F(HeldDelivery, AFrameHeldAcrossShutdownAndTheLastReleaseStaysWholeAndItsAudioPartIsNotSent) {
  EXPECT_EQ(HoldAcrossRelease(FrameKey), "header:1 key:3000");
}

TEST_F(HeldDelivery, APacketHeldInItsChannelsHeaderAcrossTheOwnersEndIsNotCopied) {
  // The first packet of a newly opened channel announces it, then goes on to
  // its copy: once the session has ended it writes nothing more.
  EXPECT_EQ(HoldAcrossRelease(FrameHeader), "header:1");
}

// ---------------------------------------------------------------- server messages

class Messages : public Live {
protected:
  int32_t Message(int32_t handle, uint32_t code) { return TTMDvs::MessageCallback(handle, &code); }
};

TEST_F(Messages, ABreakClosesTheChannelsLogsOffAndReportsAtOnceWithoutDelay) {
  LogOn(42);
  ASSERT_EQ(d->ORVA_Device_StartDvrCapture(ip, 3000, 3), 0);
  NHostKit::TDebugCapture capture;
  EXPECT_EQ(Message(42, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ((*d->Channels(0))[3].ChannelHandle, -1);
  EXPECT_EQ(fake.closes, 1);
  EXPECT_EQ(reports, (TReports{{3000, false}}));
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>TTMDvs: NV_MSG_SERVER_BREAK Begin ---------------10.3.0.1"));
  EXPECT_TRUE(NTest::Logged(capture, "LogOut StartTime: "));
  EXPECT_TRUE(NTest::Logged(capture, "LogOut EndTime: "));
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>TTMDvs: NV_MSG_SERVER_BREAK End ---------------"));
}

TEST_F(Messages, AResetIsHandledAsABreakThatAnswersOne) {
  LogOn(42);
  EXPECT_EQ(Message(42, NV_MSG_RESETSERVER), 1);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ(reports, (TReports{{3000, false}}));
}

TEST_F(Messages, OtherCodesAndHandlesOfNoLoginChangeNothing) {
  LogOn(44);
  EXPECT_EQ(Message(44, 0x10000001), 0);
  EXPECT_EQ(Message(45, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(Message(-1, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, 44);
  EXPECT_EQ(reports, TReports{});
}

TEST_F(Messages, AHostExceptionInTheStatusCallbackDoesNotStopTheBreakHandling) {
  status.status = [](int32_t, bool, uint32_t) {
    RaiseException(0xE0001235, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  };
  LogOn(42);
  EXPECT_EQ(Message(42, NV_MSG_RESETSERVER), 1);
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ(fake.callbacksDetached, 1) << "logged out after the report";
}

TEST_F(Messages, WithADelayOnlyABreakAfterTheDelayReportsAndOnlyOnce) {
  NTest::TFakeClock clock(5000000);
  int32_t delay = 30000;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  auto breakAfter = [&](uint32_t ms) {
    clock.Advance(ms);
    LogOn(42);
    Message(42, NV_MSG_SERVER_BREAK);
  };
  breakAfter(0);
  EXPECT_EQ(GetOfflineTick(*d->DvrRecord(0)), 5000000u) << "the first break only records the tick";
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1) << "logged off whether or not it reports";
  breakAfter(10000);
  EXPECT_EQ(reports, TReports{});
  breakAfter(21000);
  EXPECT_EQ(reports, (TReports{{3000, false}}));
  EXPECT_EQ(GetOfflineTick(*d->DvrRecord(0)), 1u);
  breakAfter(60000);
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Messages, TheMostNegativeDelayStaysNegativeAndNeverHoldsBack) {
  NTest::TFakeClock clock;
  int32_t delay = -250;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  EXPECT_EQ(d->OfflineReportDelay, 250) << "another negative delay counts by its size";
  delay = INT32_MIN;
  d->ORVA_Device_SetOfflineReportDelay(&delay);
  EXPECT_EQ(d->OfflineReportDelay, INT32_MIN);
  LogOn(42);
  Message(42, NV_MSG_SERVER_BREAK);
  EXPECT_EQ(reports, (TReports{{3000, false}}));
}

TEST_F(Messages, EachObjectGetsItsOwnLoginsMessagesAndWithoutAStatusCallbackReportsNone) {
  const TSdkTable sdk = FakeTable();
  auto e = Make(std::string(), &sdk);
  Register(*e, Server("10.3.0.9", 3000, 1));
  EXPECT_EQ(e->StatusCallback.Code, nullptr);
  LogOn(42);
  ASSERT_TRUE(e->BeginSession(0, 7));
  EXPECT_EQ(Message(7, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(e->DvrRecord(0)->LoginHandle, -1) << "the object that owns the login";
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, 42);
  EXPECT_EQ(reports, TReports{}) << "nor another object's";
  EXPECT_EQ(Message(42, NV_MSG_SERVER_BREAK), 0) << "the older object's login";
  EXPECT_EQ(d->DvrRecord(0)->LoginHandle, -1);
  EXPECT_EQ(reports, (TReports{{3000, false}}));
  EXPECT_EQ(Message(42, NV_MSG_SERVER_BREAK), 0) << "an ended login is no one's";
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Messages, TheFirstRegistrationCarryingAStatusCallbackSetsItForGood) {
  auto e = Make();
  Register(*e, Server("10.3.0.9", 3000, 1));
  TDvrInfo s = Server("10.3.0.10", 3000, 1);
  THostCallbacks other;
  s.StatusCallback = AsMethod(other.StatusMethod());
  Register(*e, s);
  s = Server("10.3.0.11", 3000, 1);
  s.StatusCallback = AsMethod(status.StatusMethod());
  Register(*e, s);
  EXPECT_EQ(e->StatusCallback.Data, other.StatusMethod().data);
}

TEST_F(Messages, AMessageAfterTheObjectIsGoneDoesNothing) {
  LogOn(42);
  d.reset();
  EXPECT_EQ(Message(42, NV_MSG_SERVER_BREAK), 0);
  EXPECT_EQ(reports, TReports{});
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

class Bind : public InProcess {
protected:
  void SetUp() override {
    dir = NTest::MakeHostDir("bind_host");
    d = MakeAt(dir);
    ASSERT_TRUE(d->BindSdk()) << "from \"" << dir << "\"";
  }
  std::string dir;
  TDriver d;
};

TEST_F(Bind, TheSdkIsLoadedFromTheHostFolderWithItsSixteenFunctions) {
  ASSERT_GE(d->LoadedLibraryPaths.size(), 1u);
  EXPECT_EQ(d->LoadedLibraryPaths[0], dir + "\\\\System\\ZEZov\\\\NVSDK.dll")
      << "the separators stay doubled";
  EXPECT_EQ(d->LoadedLibraryHandles[0], std::to_string(reinterpret_cast<uintptr_t>(d->SdkModule)));
  for (int f = 0; f < SdkFunctionCount; ++f) EXPECT_NE(d->Sdk().Functions[f], nullptr) << SdkFunctionNames[f];
}

TEST_F(Bind, ThePtzLibraryIsLoadedOnceAndFreedOnceByTheObjectThatLoadedIt) {
  const HMODULE ptz = NPtz::Module;
  ASSERT_NE(ptz, nullptr);
  EXPECT_NE(NPtz::TransformToCommand, nullptr);
  TDriver second = MakeAt(dir);
  ASSERT_TRUE(second->BindSdk()) << "from \"" << dir << "\"";
  ASSERT_TRUE(second->BindSdk()) << "binding again";
  EXPECT_EQ(second->LoadedLibraryPaths, std::vector<std::string>{second->LoadedLibraryPaths[0]}) << "not loaded again";
  ASSERT_TRUE(d->BindSdk()) << "binding again";
  d.reset();
  EXPECT_EQ(NPtz::Module, nullptr);
  EXPECT_EQ(::GetModuleHandleA((dir + "\\PTZ.dll").c_str()), nullptr) << "freed once, and gone";
  second.reset();
  EXPECT_EQ(::GetModuleHandleA((dir + "\\System\\ZEZov\\NVSDK.dll").c_str()), nullptr)
      << "each object freed its one reference";
}

TEST_F(InProcess, WithoutTheSdkInitFailsAndListsNoLibrary) {
  TDriver d = MakeAt(NTest::MakeHostDir("bind_nosdk", false, false));
  EXPECT_EQ(d->ORVA_Device_Init(), 0);
  EXPECT_EQ(d->LoadedLibraryPaths, std::vector<std::string>());
}

} // namespace
