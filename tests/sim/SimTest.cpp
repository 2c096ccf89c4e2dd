// The simulated NVSDK.dll through its exports, as the driver and the tests
// of the driver use it; and the PTZ.dll stand-in and the host folder helper.
#include "SdkApi.h"
#include "common/Check.h"
#include "common/HostDir.h"
#include "common/Wait.h"
#include "host/ResourceUse.h"
#include "sim/SimPattern.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {
using NTest::ExeDir;
using NTest::WaitFor;

constexpr uint32_t kReset = 0x10000004, kBreak = 0x10000009;

TSdk sdk;

std::string CallLog(bool clear = false) {
  const int32_t n = sdk.ReadCallLog(nullptr, 0, 0);
  std::string s(n + 1, '\0');
  sdk.ReadCallLog(s.data(), n + 1, clear);
  s.resize(n);
  return s;
}

// Receives stream packets, reassembles each channel's frames and checks
// every header field and every byte against the pattern of a stream shaped so.
struct TReceiver {
  const int32_t keyInterval, videoMin, videoMax, audio;
  const uint32_t port = 3000;
  std::mutex m;
  struct TChannel {
    std::vector<uint8_t> buf;
    int32_t nextFragment = 0, video = 0, audioBytes = 0, key = 0;
    int64_t lastSeq = -1;
    int frames = 0;
  };
  TChannel ch[8];
  std::vector<std::string> errors;
  std::set<int32_t> videoSizes;
  std::set<DWORD> threads;
  int maxFragment = -1;
  std::atomic<int> packets{0};

  TReceiver(int32_t keyInterval, int32_t videoMin, int32_t videoMax, int32_t audio)
      : keyInterval(keyInterval), videoMin(videoMin), videoMax(videoMax), audio(audio) {}
  int Frames(int c) {
    std::lock_guard<std::mutex> l(m);
    return ch[c].frames;
  }
  void Error(const std::string &e) {
    if (errors.size() < 20) errors.push_back(e);
  }
  void Packet(int32_t channel, const uint8_t *p) {
    std::lock_guard<std::mutex> l(m);
    ++packets;
    threads.insert(GetCurrentThreadId());
    if (channel < 0 || channel >= 8) return Error("channel " + std::to_string(channel));
    TChannel &c = ch[channel];
    int32_t payload, video;
    uint16_t audioBytes;
    std::memcpy(&payload, p + 4, 4);
    std::memcpy(&video, p + 12, 4);
    std::memcpy(&audioBytes, p + 20, 2);
    const int start = p[0], key = p[22], frag = p[23];
    const int32_t total = video + audioBytes;
    maxFragment = std::max(maxFragment, frag);
    if (start != (frag == 0 ? 1 : 0)) Error("start flag " + std::to_string(start) + " on fragment " + std::to_string(frag));
    if (frag != c.nextFragment) return Error("fragment " + std::to_string(frag) + ", expected " + std::to_string(c.nextFragment));
    if (frag == 0) {
      c.video = video;
      c.audioBytes = audioBytes;
      c.key = key;
      c.buf.assign(total, 0);
    } else if (video != c.video || audioBytes != c.audioBytes || key != c.key) {
      return Error("header changed within a frame");
    }
    const int32_t expect = std::min(1024, total - frag * 1024);
    if (payload != expect) return Error("payload " + std::to_string(payload) + ", expected " + std::to_string(expect));
    std::memcpy(c.buf.data() + frag * 1024, p + 28, payload);
    if ((frag + 1) * 1024 < total) {
      ++c.nextFragment;
      return;
    }
    c.nextFragment = 0;
    uint32_t seq = 0;
    if (!SimCheckVideo(c.buf.data(), video, port, channel, &seq)) return Error("video bytes");
    if (!SimCheckAudio(c.buf.data() + video, audioBytes, port, channel, seq)) return Error("audio bytes");
    if (seq != c.lastSeq + 1) Error("seq " + std::to_string(seq) + " after " + std::to_string(c.lastSeq));
    c.lastSeq = seq;
    if (key != (seq % keyInterval == 0 ? 1 : 0)) Error("key flag on seq " + std::to_string(seq));
    if (video < videoMin || video > videoMax || audioBytes != audio) Error("frame size");
    videoSizes.insert(video);
    ++c.frames;
  }
};

void __stdcall OnPacket(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t, uint32_t, void *user) {
  static_cast<TReceiver *>(user)->Packet(channel, static_cast<const uint8_t *>(packet));
}

// Counts packets only.
std::atomic<int> g_counted{0};
std::atomic<void *> g_countedUser{nullptr};
void __stdcall CountPacket(uint32_t, int32_t, uint32_t, const void *, uint32_t, uint32_t, void *user) {
  g_countedUser = user;
  ++g_counted;
}

// What the message callback saw, a line a message: "<code> to <login>, <n>
// streams open"; and the thread it ran on.
std::mutex g_messageLock;
std::string g_messages;
DWORD g_messageThread = 0;
HANDLE g_messageArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);

int32_t __stdcall OnMessage(int32_t login, const void *message) {
  uint32_t code;
  std::memcpy(&code, message, 4);
  char line[80]; // the simulator's lock is not held here: its counters can be read
  std::snprintf(line, sizeof line, "%X to %d, %d streams open\n", code, login, sdk.Counters(0).OpenStreams);
  {
    std::lock_guard<std::mutex> l(g_messageLock);
    g_messages += line;
    g_messageThread = GetCurrentThreadId();
  }
  SetEvent(g_messageArrived);
  return 77;
}

std::string Messages() {
  std::lock_guard<std::mutex> l(g_messageLock);
  return g_messages;
}

class Sim : public ::testing::Test {
protected:
  void SetUp() override {
    static const bool loaded = sdk.Load();
    ASSERT_TRUE(loaded) << "NVSDK.dll beside the test did not load, or lacks an export";
    sdk.Reset();
    g_messages.clear();
    ResetEvent(g_messageArrived);
  }

  // The usual server, 127.0.0.1:3000 taking admin/1234, logged on.
  static int32_t LoggedOn(int32_t channels) {
    EXPECT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", channels, sbAccept), 0);
    return sdk.Logon();
  }
  // The login's packets are counted in g_counted from now on.
  static void Count(int32_t login, void *user = nullptr) {
    g_counted = 0;
    EXPECT_EQ(sdk.SetStreamFunc(login, &CountPacket, user), 0);
  }
  static ::testing::AssertionResult CountPasses(int n) {
    const bool passed = WaitFor([n] { return g_counted > n; });
    return (passed ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << g_counted << " packets counted, waited for more than " << n;
  }
  // How far a packet count grows over a pause.
  static int GrowthOver(DWORD ms, const std::atomic<int> &count = g_counted) {
    const int n = count;
    Sleep(ms);
    return count - n;
  }
  static bool InfoAnswers(int32_t login) {
    uint8_t info[100] = {100};
    return sdk.GetServerInfo(login, info) == 0;
  }
};

// ---- logon ----------------------------------------------------------------

TEST_F(Sim, LogonChecksAddressPortAndCredentials) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 4, sbAccept), 0);
  ASSERT_EQ(sdk.AddServer("127.0.0.2", 3000, "guest", "", 2, sbAccept), 1);
  EXPECT_EQ(sdk.AddServer("127.0.0.1", 3000, "x", "y", 1, sbAccept), -1) << "address:port taken";

  EXPECT_EQ(sdk.Logon(), 100);
  EXPECT_EQ(sdk.Logon(), 101) << "every logon gets a handle of its own";
  EXPECT_EQ(sdk.Logon("127.0.0.2", 3000, "guest", ""), 102);
  EXPECT_LT(sdk.Logon("127.0.0.1", 3000, "admin", "12345"), 0);
  EXPECT_LT(sdk.Logon("127.0.0.1", 3000, "Admin", "1234"), 0);
  EXPECT_LT(sdk.Logon("127.0.0.1", 3001), 0) << "port must match";
  EXPECT_LT(sdk.Logon("127.0.0.01", 3000), 0) << "address text must match exactly";
  EXPECT_LT(sdk.Logon("127.0.0.2", 3000, "admin", "1234"), 0) << "other server's credentials";

  int32_t h = -7;
  EXPECT_NE(sdk.LogonServer("127.0.0.1", 3000, "admin", "bad", 0, &h), 0);
  EXPECT_EQ(h, -7) << "no handle on failure";

  const TSimCounters a = sdk.Counters(0), b = sdk.Counters(1);
  EXPECT_EQ(a.LogonAttempts, 5); // 3001 and "127.0.0.01" count nowhere
  EXPECT_EQ(a.LogonsAccepted, 2);
  EXPECT_EQ(a.CurrentLogin, 101);
  EXPECT_EQ(b.LogonAttempts, 2);
  EXPECT_EQ(b.LogonsAccepted, 1);
  EXPECT_EQ(b.CurrentLogin, 102);
}

TEST_F(Sim, ARefusingServerRefusesTheRightCredentialsUntilItsBehaviourChanges) {
  ASSERT_EQ(sdk.AddServer("10.0.0.1", 5000, "u", "p", 4, sbRefuse), 0);
  EXPECT_LT(sdk.Logon("10.0.0.1", 5000, "u", "p"), 0);
  EXPECT_EQ(sdk.SetBehaviour(7, sbAccept), -1) << "no such server";
  EXPECT_EQ(sdk.SetBehaviour(0, 9), -1) << "no such behaviour";
  ASSERT_EQ(sdk.SetBehaviour(0, sbAccept), 0);
  EXPECT_GT(sdk.Logon("10.0.0.1", 5000, "u", "p"), 0);
  EXPECT_EQ(sdk.Counters(0).LogonAttempts, 2);
  EXPECT_EQ(sdk.Counters(0).LogonsAccepted, 1);
}

TEST_F(Sim, AServerWhoseInformationFailsStillTakesTheLogon) {
  ASSERT_EQ(sdk.AddServer("10.0.0.2", 5000, "u", "p", 4, sbInfoFails), 0);
  const int32_t h = sdk.Logon("10.0.0.2", 5000, "u", "p");
  ASSERT_GT(h, 0);
  EXPECT_FALSE(InfoAnswers(h)) << "login " << h;
  EXPECT_EQ(sdk.Counters(0).InfoCalls, 1);
}

TEST_F(Sim, ASlowServerAnswersAfterItsDelayAndStillChecksCredentials) {
  ASSERT_EQ(sdk.AddServer("10.0.0.3", 5000, "u", "p", 4, sbSlow), 0);
  ASSERT_EQ(sdk.SetLogonDelay(0, 300), 0);
  const DWORD t0 = GetTickCount();
  EXPECT_GT(sdk.Logon("10.0.0.3", 5000, "u", "p"), 0);
  EXPECT_GE(GetTickCount() - t0, 250u);
  EXPECT_LT(sdk.Logon("10.0.0.3", 5000, "u", "bad"), 0);
}

TEST_F(Sim, ServerInformationNeedsItsSizeFieldAndGivesTheChannelCount) {
  const int32_t h = LoggedOn(9);
  uint8_t buf[120] = {99}; // the record's size field, wrong
  std::memset(buf + 4, 0xCC, sizeof buf - 4);
  EXPECT_NE(sdk.GetServerInfo(h, buf), 0) << "size field must be 100";
  buf[0] = 100;
  ASSERT_EQ(sdk.GetServerInfo(h, buf), 0);
  EXPECT_EQ(buf[30] | buf[31] << 8, 9) << "the channel count";
  EXPECT_EQ(std::vector<uint8_t>(buf + 100, buf + 120), std::vector<uint8_t>(20, 0xCC)) << "wrote beyond the record";
  EXPECT_NE(sdk.GetServerInfo(h + 1, buf), 0) << "unknown login";
  EXPECT_EQ(sdk.Counters(0).InfoCalls, 2);
  EXPECT_TRUE(NTest::Contains(CallLog(), "NVNET_GetServerInfo 100 -> 0 channels=9\n"));
}

// ---- channels and streams ---------------------------------------------------

TEST_F(Sim, ChannelsOpenWithinTheCountAndCloseOnce) {
  const int32_t h = LoggedOn(2);
  EXPECT_EQ(sdk.Open(h, 2), -1) << "channel beyond the count";
  EXPECT_EQ(sdk.Open(h, -1), -1);
  EXPECT_EQ(sdk.Open(h + 5, 0), -1) << "unknown login";
  const int32_t a = sdk.Open(h, 0), b = sdk.Open(h, 1), c = sdk.Open(h, 1);
  EXPECT_EQ(std::set<int32_t>({a, b, c}).size(), 3u) << "handles " << a << ", " << b << ", " << c;
  TSimCounters k = sdk.Counters(0);
  EXPECT_EQ(k.ChannelsOpened, 3);
  EXPECT_EQ(k.OpenStreams, 3);
  EXPECT_EQ(sdk.CloseChannel(b), 0);
  EXPECT_NE(sdk.CloseChannel(b), 0) << "closed twice";
  EXPECT_NE(sdk.CloseChannel(9999), 0);
  k = sdk.Counters(0);
  EXPECT_EQ(k.ChannelsClosed, 1);
  EXPECT_EQ(k.OpenStreams, 2);
  EXPECT_EQ(sdk.CloseChannel(a), 0);
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  EXPECT_EQ(sdk.Counters(0).OpenStreams, 0);
}

TEST_F(Sim, StreamReassemblesIntoPatternFrames) {
  const int32_t h = LoggedOn(4);
  ASSERT_EQ(sdk.SetStream(0, 0, 1500, 5000, 300, 4), 0);
  TReceiver r(4, 1500, 5000, 300);
  ASSERT_EQ(sdk.SetStreamFunc(h, &OnPacket, &r), 0);
  const int32_t a = sdk.Open(h, 1), b = sdk.Open(h, 3);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_TRUE(WaitFor([&] { return r.Frames(1) >= 40 && r.Frames(3) >= 40; }))
      << r.Frames(1) << " and " << r.Frames(3) << " frames";
  EXPECT_EQ(sdk.CloseChannel(a), 0);
  EXPECT_EQ(sdk.CloseChannel(b), 0);
  EXPECT_EQ(GrowthOver(50, r.packets), 0) << "packets after the close returned";

  std::lock_guard<std::mutex> l(r.m);
  for (auto &e : r.errors) ADD_FAILURE() << e;
  EXPECT_GE(r.videoSizes.size(), 5u) << "video size should vary";
  EXPECT_EQ(r.threads.count(GetCurrentThreadId()), 0u) << "delivered on the caller's thread";
  EXPECT_GE(r.threads.size(), 2u) << "one thread per channel";
  const TSimCounters k = sdk.Counters(0);
  EXPECT_EQ(k.FramesSent, r.ch[1].frames + r.ch[3].frames);
  EXPECT_EQ(k.PacketsSent, r.packets.load());
}

TEST_F(Sim, StreamShapesThePacketsCannotCarryAreRefused) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  EXPECT_EQ(sdk.SetStream(0, 0, 200000, 262144, 1, 1), -1) << "more than 256 fragments";
  EXPECT_EQ(sdk.SetStream(0, 0, 262145, 262145, 0, 1), -1);
  EXPECT_EQ(sdk.SetStream(0, 0, 100, 100, 70000, 1), -1) << "audio size is 16-bit";
  EXPECT_EQ(sdk.SetStream(0, -1, 100, 100, 0, 1), -1);
  EXPECT_EQ(sdk.SetStream(0, 0, 100, 100, 0, 0), -1) << "key interval 0";
}

TEST_F(Sim, FrameSizesAtFragmentEdges) {
  const int32_t h = LoggedOn(1);
  const struct {
    int32_t video, audio, maxFragment;
  } cases[] = {{2048, 0, 1}, {2047, 1, 1}, {2048, 1, 2}, {262144 - 16, 16, 255}, {16, 0, 0}};
  for (const auto &t : cases) {
    SCOPED_TRACE(std::to_string(t.video) + "+" + std::to_string(t.audio));
    ASSERT_EQ(sdk.SetStream(0, 0, t.video, t.video, t.audio, 3), 0);
    TReceiver r(3, t.video, t.video, t.audio);
    sdk.SetStreamFunc(h, &OnPacket, &r);
    const int32_t c = sdk.Open(h, 0);
    EXPECT_TRUE(WaitFor([&] { return r.Frames(0) >= 4; })) << r.Frames(0) << " frames";
    EXPECT_EQ(sdk.CloseChannel(c), 0);
    std::lock_guard<std::mutex> l(r.m);
    for (auto &e : r.errors) ADD_FAILURE() << e;
    EXPECT_EQ(r.maxFragment, t.maxFragment);
  }
}

TEST_F(Sim, FrameRateBoundsDelivery) {
  const int32_t h = LoggedOn(1);
  ASSERT_EQ(sdk.SetStream(0, 20, 100, 100, 0, 1), 0);
  Count(h);
  const DWORD t0 = GetTickCount();
  const int32_t c = sdk.Open(h, 0);
  Sleep(300);
  const int n = g_counted;
  const DWORD elapsed = GetTickCount() - t0;
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  EXPECT_GE(n, 1) << "frame 0 is due at once";
  EXPECT_LE(n, static_cast<int>(elapsed * 20 / 1000) + 1) << "more frames than 20 per second";
}

TEST_F(Sim, PacketsGoToTheCurrentStreamFunction) {
  const int32_t h = LoggedOn(1);
  ASSERT_EQ(sdk.SetStream(0, 0, 3000, 3000, 0, 1), 0);
  const int32_t c = sdk.Open(h, 0);
  ASSERT_GT(c, 0);
  Sleep(20); // streams with nothing attached
  EXPECT_EQ(sdk.Counters(0).PacketsSent, 0);

  int userA = 0, userB = 0;
  Count(h, &userA);
  EXPECT_TRUE(CountPasses(10));
  EXPECT_EQ(g_countedUser.load(), &userA);
  Count(h, &userB);
  EXPECT_TRUE(CountPasses(10));
  EXPECT_EQ(g_countedUser.load(), &userB);

  ASSERT_EQ(sdk.SetStreamFunc(h, nullptr, nullptr), 0);
  EXPECT_EQ(GrowthOver(50), 0) << "callouts after the detach returned";
  EXPECT_EQ(sdk.Counters(0).OpenStreams, 1) << "the stream runs on";
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  EXPECT_TRUE(NTest::Contains(CallLog(), "NVNET_SetStreamFunc 100 nil nil -> 0\n"));
}

// ---- messages ---------------------------------------------------------------

TEST_F(Sim, BreakStopsStreamsThenEndsTheLogin) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 2, sbAccept), 0);
  ASSERT_EQ(sdk.SetStream(0, 0, 2000, 2000, 0, 1), 0);
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), -1) << "no login yet";
  const int32_t h = sdk.Logon();
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), -1) << "no message callback yet";
  ASSERT_EQ(sdk.SetCallback(h, &OnMessage), 0);
  Count(h);
  const int32_t a = sdk.Open(h, 0), b = sdk.Open(h, 1);
  EXPECT_TRUE(CountPasses(20));

  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), 77) << "waits for the callback's result";
  EXPECT_EQ(Messages(), "10000009 to 100, 0 streams open\n") << "streams stop before the message";
  EXPECT_NE(g_messageThread, GetCurrentThreadId());
  EXPECT_EQ(GrowthOver(30), 0);
  EXPECT_FALSE(InfoAnswers(h)) << "the login ended";
  EXPECT_EQ(sdk.Open(h, 0), -1);
  EXPECT_EQ(sdk.CloseChannel(a), 0) << "closing a broken stream";
  EXPECT_EQ(sdk.CloseChannel(b), 0);
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), -1) << "no live login";
  const TSimCounters k = sdk.Counters(0);
  EXPECT_EQ(k.MessagesSent, 1);
  EXPECT_EQ(k.ChannelsClosed, 2);

  const int32_t h2 = sdk.Logon();
  ASSERT_GT(h2, h);
  sdk.SetCallback(h2, &OnMessage);
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), 77) << "the new login gets it";
}

TEST_F(Sim, OtherMessagesLeaveTheLoginAndMayNotWait) {
  const int32_t h = LoggedOn(1);
  sdk.SetCallback(h, &OnMessage);
  const int32_t c = sdk.Open(h, 0);
  EXPECT_EQ(sdk.InjectMessage(0, kReset, 0), 0);
  EXPECT_EQ(WaitForSingleObject(g_messageArrived, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(sdk.InjectMessage(0, 0x12345, 1), 77);
  EXPECT_EQ(Messages(), "10000004 to 100, 1 streams open\n12345 to 100, 1 streams open\n");
  EXPECT_TRUE(InfoAnswers(h)) << "login " << h;
  EXPECT_EQ(sdk.Counters(0).MessagesSent, 2);
  sdk.SetCallback(h, nullptr);
  EXPECT_EQ(sdk.InjectMessage(0, kReset, 1), -1) << "callback detached";
  EXPECT_EQ(sdk.CloseChannel(c), 0);
}

// ---- close failures, crafted packets, call log, reset ---------------------

TEST_F(Sim, AFailedCloseLeavesTheStreamRunning) {
  const int32_t h = LoggedOn(1);
  Count(h);
  const int32_t c = sdk.Open(h, 0);
  ASSERT_EQ(sdk.FailCloseChannel(0, 2), 0);
  EXPECT_NE(sdk.CloseChannel(c), 0);
  EXPECT_NE(sdk.CloseChannel(c), 0);
  EXPECT_EQ(sdk.Counters(0).OpenStreams, 1);
  EXPECT_TRUE(CountPasses(g_counted));
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  const TSimCounters k = sdk.Counters(0);
  EXPECT_EQ(k.CloseFailures, 2);
  EXPECT_EQ(k.ChannelsClosed, 1);
  EXPECT_EQ(k.OpenStreams, 0);
}

std::vector<uint8_t> g_injected;
DWORD g_injectedThread = 0;
void __stdcall KeepPacket(uint32_t, int32_t channel, uint32_t, const void *packet, uint32_t size, uint32_t,
                          void *user) {
  const auto *p = static_cast<const uint8_t *>(packet);
  g_injected.assign(p, p + size);
  g_injected.push_back(static_cast<uint8_t>(channel));
  g_injectedThread = GetCurrentThreadId();
  *static_cast<int *>(user) += 1;
}

TEST_F(Sim, InjectPacketHandsItToTheStreamFunction) {
  const int32_t h = LoggedOn(1);
  std::vector<uint8_t> packet(40);
  for (int i = 0; i < 40; ++i) packet[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(sdk.InjectPacket(h, 5, packet.data(), 40), -1) << "no stream function";
  int calls = 0;
  sdk.SetStreamFunc(h, &KeepPacket, &calls);
  ASSERT_EQ(sdk.InjectPacket(h, 5, packet.data(), 40), 0);
  EXPECT_EQ(calls, 1) << "returns after the function did";
  packet.push_back(5); // the channel, as KeepPacket appends it
  EXPECT_EQ(g_injected, packet);
  EXPECT_NE(g_injectedThread, GetCurrentThreadId());
  EXPECT_EQ(sdk.InjectPacket(h + 1, 0, packet.data(), 40), -1);
}

TEST_F(Sim, CallLogHasOneLinePerCall) {
  const int32_t h = LoggedOn(2);
  const int32_t c = sdk.Open(h, 1);
  sdk.Open(h, 7);
  sdk.CloseChannel(c);
  sdk.Mute(c, 1);
  const std::string log = CallLog();
  const std::string expected = "NVNET_LogonServer 127.0.0.1 3000 admin 1234 -> 0 h=100\n"
                               "NVNET_OpenChannel 100 ch=1 -> 0 h=" + std::to_string(c) + "\n"
                               "NVNET_OpenChannel 100 ch=7 -> -1\n"
                               "NVNET_CloseChannel " + std::to_string(c) + " -> 0\n"
                               "NVNET_Mute " + std::to_string(c) + " 1 -> 0\n";
  EXPECT_EQ(log, expected);

  char small[11];
  EXPECT_EQ(sdk.ReadCallLog(small, sizeof small, 0), static_cast<int32_t>(expected.size()));
  EXPECT_STREQ(small, "NVNET_Logo");
  EXPECT_EQ(CallLog(true), expected);
  EXPECT_EQ(CallLog(), "");
}

TEST_F(Sim, ResetDropsEverything) {
  const int32_t h = LoggedOn(1);
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3001, "admin", "1234", 1, sbAccept), 1);
  Count(h);
  sdk.Open(h, 0);
  sdk.Open(h, 0);
  EXPECT_TRUE(CountPasses(5));
  sdk.Reset();
  EXPECT_EQ(GrowthOver(30), 0) << "streams stopped";
  TSimCounters k;
  EXPECT_EQ(sdk.GetCounters(0, &k), -1) << "servers dropped";
  EXPECT_LT(sdk.Logon(), 0);
  EXPECT_EQ(CallLog(), "NVNET_LogonServer 127.0.0.1 3000 admin 1234 -> -1 unknown server\n");
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3001, "admin", "1234", 1, sbAccept), 0) << "ids start again";
  EXPECT_EQ(sdk.Logon("127.0.0.1", 3001), 100) << "handles start again";
  EXPECT_EQ(sdk.Counters(0).LogonAttempts, 1);
}

// ---- the leak switch ------------------------------------------------------------

// The process's handle count and private memory, as the demo host samples them.
int64_t Handles() { return NDemo::SampleResources(0).handles; }
int64_t PrivateBytes() { return NDemo::SampleResources(0).privateBytes; }

// What the soak judgement is tested with: the switch keeps a handle per
// accepted logon and a heap block per frame, and the process's figures show it.
TEST_F(Sim, TheLeakSwitchKeepsAHandlePerLogonAndABlockPerFrame) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  const int64_t before = Handles();
  ASSERT_GT(before, 0) << "no handle count";
  for (int i = 0; i < 3; ++i) EXPECT_GT(sdk.Logon(), 0) << "switch off";
  ASSERT_EQ(sdk.SetLeak(0, 1), 0);
  for (int i = 0; i < 5; ++i) EXPECT_GT(sdk.Logon(), 0);
  EXPECT_LT(sdk.Logon("127.0.0.1", 3000, "admin", "bad"), 0) << "a refused logon keeps nothing";
  EXPECT_EQ(Handles() - before, 5);
  EXPECT_EQ(sdk.Totals().LeakedHandles, 5);

  ASSERT_EQ(sdk.SetLeak(1, 0), 0);
  ASSERT_EQ(sdk.SetStream(0, 0, 16, 16, 0, 1), 0); // as fast as it goes, a packet a frame
  const int32_t h = sdk.Logon();
  Count(h);
  const int64_t memory = PrivateBytes();
  const int32_t c = sdk.Open(h, 0);
  EXPECT_TRUE(WaitFor([] { return sdk.Totals().LeakedBlocks >= 16384; }, 30000)) << sdk.Totals().LeakedBlocks;
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  const int32_t blocks = sdk.Totals().LeakedBlocks;
  EXPECT_EQ(blocks, sdk.Counters(0).FramesSent) << "a block per frame";
  EXPECT_GE(PrivateBytes() - memory, int64_t{blocks} * 64) << blocks << " blocks of 64 bytes";
  EXPECT_EQ(Handles() - before, 5) << "the frames kept no handle, the logon none";

  sdk.Reset();
  EXPECT_EQ(sdk.Totals().LeakedBlocks, 0);
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  EXPECT_GT(sdk.Logon(), 0);
  EXPECT_EQ(Handles() - before, 5) << "the reset stopped the switch";
}

// ---- unload -------------------------------------------------------------------

// The child exits 0 when every step held, or a code naming the step.
std::string Unload(const char *mode) { return NTest::Describe(NTest::RunChild("sim_unload_child.exe", mode)); }

TEST(SimUnload, FreeLibraryWhileAStreamRuns) { EXPECT_EQ(Unload("stream"), "exit 0"); }
TEST(SimUnload, FreeLibraryWhileAMessageIsOnItsWay) { EXPECT_EQ(Unload("message"), "exit 0"); }
TEST(SimUnload, LoadUseUnloadCycles) { EXPECT_EQ(Unload("cycles"), "exit 0"); }

// ---- PTZ.dll and host folders ---------------------------------------------

// PTZ.dll's exports; one missing fails the test before its body.
class Ptz : public ::testing::Test {
protected:
  HMODULE module = LoadLibraryA((ExeDir() + "PTZ.dll").c_str());
  template <class F> F Get(const char *name) {
    const auto f = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (!f) ADD_FAILURE() << "PTZ.dll beside the test did not load, or lacks " << name;
    return f;
  }
  int32_t(__stdcall *count)() = Get<decltype(count)>("GetPtzProtocolCount");
  int32_t(__stdcall *info)(int32_t, char *, int32_t) = Get<decltype(info)>("GetPtzInfoFromIndex");
  int32_t(__stdcall *transform)(int32_t, int32_t, int32_t, int32_t, uint8_t *, int32_t) =
      Get<decltype(transform)>("TransformToCommand");
  void SetUp() override { ASSERT_FALSE(HasFailure()) << "no PTZ.dll to test"; }
  ~Ptz() override { FreeLibrary(module); }
};

TEST_F(Ptz, ThreeProtocolsAreNamedAndANameIsCutToTheBuffer) {
  EXPECT_EQ(count(), 3);
  char name[64];
  for (int i = 0; i < 3; ++i) {
    const int32_t len = info(i, name, sizeof name);
    EXPECT_GT(len, 0) << i;
    EXPECT_EQ(static_cast<size_t>(len), std::strlen(name)) << name;
  }
  EXPECT_EQ(info(3, name, sizeof name), -1);
  char tiny[4];
  EXPECT_GT(info(0, tiny, sizeof tiny), 3) << "the whole length";
  EXPECT_EQ(std::strlen(tiny), 3u) << tiny;
}

TEST_F(Ptz, TransformToCommandBuildsTheCommandOrRefusesWhatItCannotBuild) {
  uint8_t cmd[8] = {};
  ASSERT_EQ(transform(1, 5, 3, 20, cmd, sizeof cmd), 7);
  EXPECT_EQ(std::vector<uint8_t>(cmd, cmd + 7), (std::vector<uint8_t>{0xA1, 5, 3, 20, 0, 0, 28}));
  EXPECT_EQ(transform(3, 5, 3, 20, cmd, sizeof cmd), -1) << "no protocol 3";
  EXPECT_EQ(transform(0, 256, 3, 20, cmd, sizeof cmd), -1) << "address beyond a byte";
  EXPECT_EQ(transform(0, 1, 3, 20, cmd, 6), -1) << "buffer too small";
}

::testing::AssertionResult Exists(const std::string &p) {
  const bool there = GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES;
  return (there ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << p << (there ? " exists" : " is missing");
}

TEST(HostDir, LaysOutTheCompanions) {
  const std::string dir = NTest::MakeHostDir("sim_hostdir");
  ASSERT_EQ(dir, ExeDir() + "sim_hostdir");
  EXPECT_TRUE(Exists(dir + "\\System\\ZEZov\\NVSDK.dll"));
  EXPECT_TRUE(Exists(dir + "\\PTZ.dll"));
  std::ofstream(dir + "\\leftover.ini") << "from an earlier run";
  ASSERT_TRUE(Exists(dir + "\\leftover.ini"));

  EXPECT_EQ(NTest::MakeHostDir("sim_hostdir", false, false), dir);
  EXPECT_FALSE(Exists(dir + "\\leftover.ini")) << "a fresh folder";
  EXPECT_TRUE(Exists(dir + "\\System\\ZEZov"));
  EXPECT_FALSE(Exists(dir + "\\System\\ZEZov\\NVSDK.dll"));
  EXPECT_FALSE(Exists(dir + "\\PTZ.dll"));
  EXPECT_TRUE(NTest::RemoveTree(dir)) << dir;
  EXPECT_FALSE(Exists(dir));
}

} // namespace
