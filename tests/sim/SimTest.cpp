// The simulated NVSDK.dll through its exports, as the driver and the tests
// of the driver use it; and the PTZ.dll stand-in and the host folder helper.
#include "common/Wait.h"
#include "common/HostDir.h"
#include "common/Process.h"
#include "sim/SimControl.h"
#include "sim/SimPattern.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {
using NTest::ExeDir;

using TStreamFunc = void(__stdcall *)(uint32_t, int32_t, uint32_t, const void *, uint32_t, uint32_t, void *);
using TMessageFunc = int32_t(__stdcall *)(int32_t, const void *);

constexpr uint32_t kReset = 0x10000004, kBreak = 0x10000009;

// The exports, looked up once for the whole program.
struct TSdk {
  HMODULE module = nullptr;
  int32_t(__stdcall *LogonServer)(const char *, uint32_t, const char *, const char *, int32_t, int32_t *);
  int32_t(__stdcall *LogoffServer)(int32_t);
  int32_t(__stdcall *GetServerInfo)(int32_t, void *);
  int32_t(__stdcall *SetStreamFunc)(int32_t, void *, void *);
  int32_t(__stdcall *SetCallback)(int32_t, void *);
  int32_t(__stdcall *OpenChannel)(int32_t, const void *, int32_t *);
  int32_t(__stdcall *CloseChannel)(int32_t);
  int32_t(__stdcall *Mute)(int32_t, int32_t);
  decltype(&SIM_Reset) Reset;
  decltype(&SIM_AddServer) AddServer;
  decltype(&SIM_SetBehaviour) SetBehaviour;
  decltype(&SIM_SetLogonDelay) SetLogonDelay;
  decltype(&SIM_SetStream) SetStream;
  decltype(&SIM_FailCloseChannel) FailCloseChannel;
  decltype(&SIM_InjectMessage) InjectMessage;
  decltype(&SIM_InjectPacket) InjectPacket;
  decltype(&SIM_GetCounters) GetCounters;
  decltype(&SIM_ReadCallLog) ReadCallLog;

  template <class F> void Get(F &f, const char *name) {
    f = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (!f) ADD_FAILURE() << "missing export " << name;
  }
  bool Load() {
    module = LoadLibraryA((ExeDir() + "NVSDK.dll").c_str());
    if (!module) return false;
    Get(LogonServer, "NVNET_LogonServer");
    Get(LogoffServer, "NVNET_LogoffServer");
    Get(GetServerInfo, "NVNET_GetServerInfo");
    Get(SetStreamFunc, "NVNET_SetStreamFunc");
    Get(SetCallback, "NVNET_SetCallback");
    Get(OpenChannel, "NVNET_OpenChannel");
    Get(CloseChannel, "NVNET_CloseChannel");
    Get(Mute, "NVNET_Mute");
    Get(Reset, "SIM_Reset");
    Get(AddServer, "SIM_AddServer");
    Get(SetBehaviour, "SIM_SetBehaviour");
    Get(SetLogonDelay, "SIM_SetLogonDelay");
    Get(SetStream, "SIM_SetStream");
    Get(FailCloseChannel, "SIM_FailCloseChannel");
    Get(InjectMessage, "SIM_InjectMessage");
    Get(InjectPacket, "SIM_InjectPacket");
    Get(GetCounters, "SIM_GetCounters");
    Get(ReadCallLog, "SIM_ReadCallLog");
    return true;
  }
};
TSdk sdk;

TSimCounters Counters(int32_t server) {
  TSimCounters c{};
  EXPECT_EQ(sdk.GetCounters(server, &c), 0);
  return c;
}

std::string CallLog(bool clear = false) {
  const int32_t n = sdk.ReadCallLog(nullptr, 0, 0);
  std::string s(n + 1, '\0');
  sdk.ReadCallLog(s.data(), n + 1, clear);
  s.resize(n);
  return s;
}

using NTest::WaitFor;

struct TOpenRequest {
  uint8_t b[28] = {};
  explicit TOpenRequest(int32_t channel) {
    const int32_t minusOne = -1;
    std::memcpy(b, &channel, 4);
    std::memcpy(b + 4, &channel, 4);
    std::memcpy(b + 20, &minusOne, 4);
  }
};

// Receives stream packets, reassembles each channel's frames and checks
// every header field and every byte against the pattern.
struct TReceiver {
  uint32_t port = 0;
  int32_t keyInterval = 1, videoMin = 0, videoMax = 0, audio = 0;
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

class Sim : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_TRUE(sdk.Load()) << "NVSDK.dll not loaded"; }
  void SetUp() override {
    ASSERT_NE(sdk.module, nullptr);
    sdk.Reset();
  }
  void TearDown() override { sdk.Reset(); }

  int32_t Logon(const char *addr = "127.0.0.1", uint32_t port = 3000, const char *user = "admin",
                const char *pw = "1234") {
    int32_t h = -7;
    const int32_t rc = sdk.LogonServer(addr, port, user, pw, 0, &h);
    return rc == 0 ? h : -1000 - rc;
  }
  int32_t Open(int32_t login, int32_t channel) {
    TOpenRequest r(channel);
    int32_t h = 0;
    return sdk.OpenChannel(login, r.b, &h) == 0 ? h : -1;
  }
};

// ---- logon ----------------------------------------------------------------

TEST_F(Sim, LogonChecksAddressPortAndCredentials) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 4, sbAccept), 0);
  ASSERT_EQ(sdk.AddServer("127.0.0.2", 3000, "guest", "", 2, sbAccept), 1);
  EXPECT_EQ(sdk.AddServer("127.0.0.1", 3000, "x", "y", 1, sbAccept), -1) << "address:port taken";

  EXPECT_EQ(Logon(), 100);
  EXPECT_EQ(Logon(), 101) << "every logon gets a handle of its own";
  EXPECT_EQ(Logon("127.0.0.2", 3000, "guest", ""), 102);
  EXPECT_LT(Logon("127.0.0.1", 3000, "admin", "12345"), 0);
  EXPECT_LT(Logon("127.0.0.1", 3000, "Admin", "1234"), 0);
  EXPECT_LT(Logon("127.0.0.1", 3001), 0) << "port must match";
  EXPECT_LT(Logon("127.0.0.01", 3000), 0) << "address text must match exactly";
  EXPECT_LT(Logon("127.0.0.2", 3000, "admin", "1234"), 0) << "other server's credentials";

  int32_t h = -7;
  EXPECT_NE(sdk.LogonServer("127.0.0.1", 3000, "admin", "bad", 0, &h), 0);
  EXPECT_EQ(h, -7) << "no handle on failure";

  const TSimCounters a = Counters(0), b = Counters(1);
  EXPECT_EQ(a.LogonAttempts, 5); // 3001 and "127.0.0.01" count nowhere
  EXPECT_EQ(a.LogonsAccepted, 2);
  EXPECT_EQ(a.CurrentLogin, 101);
  EXPECT_EQ(b.LogonAttempts, 2);
  EXPECT_EQ(b.LogonsAccepted, 1);
  EXPECT_EQ(b.CurrentLogin, 102);
  const std::string log = CallLog();
  EXPECT_NE(log.find("NVNET_LogonServer 127.0.0.1 3001 admin 1234 -> "), std::string::npos) << log;
  EXPECT_NE(log.find("NVNET_LogonServer 127.0.0.1 3000 admin 1234 -> 0 h=100\n"), std::string::npos) << log;
}

TEST_F(Sim, LogonBehaviours) {
  ASSERT_EQ(sdk.AddServer("10.0.0.1", 5000, "u", "p", 4, sbRefuse), 0);
  ASSERT_EQ(sdk.AddServer("10.0.0.2", 5000, "u", "p", 4, sbInfoFails), 1);
  ASSERT_EQ(sdk.AddServer("10.0.0.3", 5000, "u", "p", 4, sbSlow), 2);
  ASSERT_EQ(sdk.SetLogonDelay(2, 300), 0);
  EXPECT_EQ(sdk.SetBehaviour(7, sbAccept), -1);
  EXPECT_EQ(sdk.SetBehaviour(0, 9), -1);

  EXPECT_LT(Logon("10.0.0.1", 5000, "u", "p"), 0) << "refuses even the right credentials";

  const int32_t h = Logon("10.0.0.2", 5000, "u", "p");
  ASSERT_GT(h, 0);
  uint8_t info[100] = {};
  info[0] = 100;
  EXPECT_NE(sdk.GetServerInfo(h, info), 0);

  const DWORD t0 = GetTickCount();
  EXPECT_GT(Logon("10.0.0.3", 5000, "u", "p"), 0);
  EXPECT_GE(GetTickCount() - t0, 250u) << "slow server answers after its delay";
  EXPECT_LT(Logon("10.0.0.3", 5000, "u", "bad"), 0) << "slow, and still checks credentials";

  ASSERT_EQ(sdk.SetBehaviour(0, sbAccept), 0);
  EXPECT_GT(Logon("10.0.0.1", 5000, "u", "p"), 0) << "behaviour changes take effect";
  EXPECT_EQ(Counters(0).LogonAttempts, 2);
  EXPECT_EQ(Counters(0).LogonsAccepted, 1);
  EXPECT_EQ(Counters(1).InfoCalls, 1);
}

TEST_F(Sim, ServerInfo) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 9, sbAccept), 0);
  const int32_t h = Logon();
  ASSERT_GT(h, 0);
  uint8_t buf[120];
  std::memset(buf, 0xCC, sizeof buf);
  int32_t size = 99;
  std::memcpy(buf, &size, 4);
  EXPECT_NE(sdk.GetServerInfo(h, buf), 0) << "size field must be 100";
  size = 100;
  std::memcpy(buf, &size, 4);
  ASSERT_EQ(sdk.GetServerInfo(h, buf), 0);
  uint16_t channels;
  std::memcpy(&channels, buf + 30, 2);
  EXPECT_EQ(channels, 9);
  for (int i = 100; i < 120; ++i) EXPECT_EQ(buf[i], 0xCC) << "wrote beyond the record at " << i;
  EXPECT_NE(sdk.GetServerInfo(h + 1, buf), 0) << "unknown login";
  EXPECT_EQ(Counters(0).InfoCalls, 2);
  EXPECT_NE(CallLog().find("NVNET_GetServerInfo 100 -> 0 channels=9\n"), std::string::npos);
}

// ---- channels and streams ---------------------------------------------------

TEST_F(Sim, OpenAndCloseChannels) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 2, sbAccept), 0);
  const int32_t h = Logon();
  ASSERT_GT(h, 0);
  EXPECT_EQ(Open(h, 2), -1) << "channel beyond the count";
  EXPECT_EQ(Open(h, -1), -1);
  EXPECT_EQ(Open(h + 5, 0), -1) << "unknown login";
  const int32_t a = Open(h, 0), b = Open(h, 1), c = Open(h, 1);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_GT(c, 0);
  EXPECT_TRUE(a != b && b != c && a != c);
  TSimCounters k = Counters(0);
  EXPECT_EQ(k.ChannelsOpened, 3);
  EXPECT_EQ(k.OpenStreams, 3);
  EXPECT_EQ(sdk.CloseChannel(b), 0);
  EXPECT_NE(sdk.CloseChannel(b), 0) << "closed twice";
  EXPECT_NE(sdk.CloseChannel(9999), 0);
  k = Counters(0);
  EXPECT_EQ(k.ChannelsClosed, 1);
  EXPECT_EQ(k.OpenStreams, 2);
  EXPECT_EQ(sdk.CloseChannel(a), 0);
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  EXPECT_EQ(Counters(0).OpenStreams, 0);
}

TEST_F(Sim, StreamReassemblesIntoPatternFrames) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 4, sbAccept), 0);
  ASSERT_EQ(sdk.SetStream(0, 0, 1500, 5000, 300, 4), 0);
  TReceiver r;
  r.port = 3000;
  r.keyInterval = 4;
  r.videoMin = 1500;
  r.videoMax = 5000;
  r.audio = 300;
  const int32_t h = Logon();
  ASSERT_EQ(sdk.SetStreamFunc(h, reinterpret_cast<void *>(&OnPacket), &r), 0);
  const int32_t a = Open(h, 1), b = Open(h, 3);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_TRUE(WaitFor([&] { return r.Frames(1) >= 40 && r.Frames(3) >= 40; }));
  EXPECT_EQ(sdk.CloseChannel(a), 0);
  EXPECT_EQ(sdk.CloseChannel(b), 0);
  const int after = r.packets;
  Sleep(50);
  EXPECT_EQ(r.packets, after) << "packets after the close returned";

  std::lock_guard<std::mutex> l(r.m);
  for (auto &e : r.errors) ADD_FAILURE() << e;
  EXPECT_GE(r.videoSizes.size(), 5u) << "video size should vary";
  EXPECT_EQ(r.threads.count(GetCurrentThreadId()), 0u) << "delivered on the caller's thread";
  EXPECT_GE(r.threads.size(), 2u) << "one thread per channel";
  const TSimCounters k = Counters(0);
  EXPECT_EQ(k.FramesSent, r.ch[1].frames + r.ch[3].frames);
  EXPECT_EQ(k.PacketsSent, after);
}

TEST_F(Sim, FrameSizesAtFragmentEdges) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  EXPECT_EQ(sdk.SetStream(0, 0, 200000, 262144, 1, 1), -1) << "more than 256 fragments";
  EXPECT_EQ(sdk.SetStream(0, 0, 262145, 262145, 0, 1), -1);
  EXPECT_EQ(sdk.SetStream(0, 0, 100, 100, 70000, 1), -1) << "audio size is 16-bit";
  EXPECT_EQ(sdk.SetStream(0, -1, 100, 100, 0, 1), -1);
  EXPECT_EQ(sdk.SetStream(0, 0, 100, 100, 0, 0), -1) << "key interval 0";
  const int32_t h = Logon();
  struct TCase {
    int32_t video, audio, maxFragment;
  } cases[] = {{2048, 0, 1}, {2047, 1, 1}, {2048, 1, 2}, {262144 - 16, 16, 255}, {16, 0, 0}};
  for (const TCase &t : cases) {
    ASSERT_EQ(sdk.SetStream(0, 0, t.video, t.video, t.audio, 3), 0);
    TReceiver r;
    r.port = 3000;
    r.keyInterval = 3;
    r.videoMin = r.videoMax = t.video;
    r.audio = t.audio;
    sdk.SetStreamFunc(h, reinterpret_cast<void *>(&OnPacket), &r);
    const int32_t c = Open(h, 0);
    EXPECT_TRUE(WaitFor([&] { return r.Frames(0) >= 4; }));
    EXPECT_EQ(sdk.CloseChannel(c), 0);
    std::lock_guard<std::mutex> l(r.m);
    for (auto &e : r.errors) ADD_FAILURE() << t.video << "+" << t.audio << ": " << e;
    EXPECT_EQ(r.maxFragment, t.maxFragment) << t.video << "+" << t.audio;
  }
}

TEST_F(Sim, FrameRateBoundsDelivery) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  ASSERT_EQ(sdk.SetStream(0, 20, 100, 100, 0, 1), 0);
  const int32_t h = Logon();
  g_counted = 0;
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&CountPacket), nullptr);
  const DWORD t0 = GetTickCount();
  const int32_t c = Open(h, 0);
  Sleep(300);
  const int n = g_counted;
  const DWORD elapsed = GetTickCount() - t0;
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  EXPECT_GE(n, 1) << "frame 0 is due at once";
  EXPECT_LE(n, static_cast<int>(elapsed * 20 / 1000) + 1) << "more frames than 20 per second";
}

TEST_F(Sim, PacketsGoToTheCurrentStreamFunction) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  ASSERT_EQ(sdk.SetStream(0, 0, 3000, 3000, 0, 1), 0);
  const int32_t h = Logon();
  const int32_t c = Open(h, 0);
  ASSERT_GT(c, 0);
  Sleep(20); // streams with nothing attached
  EXPECT_EQ(Counters(0).PacketsSent, 0);

  int userA = 0, userB = 0;
  g_counted = 0;
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&CountPacket), &userA);
  EXPECT_TRUE(WaitFor([] { return g_counted > 10; }));
  EXPECT_EQ(g_countedUser.load(), &userA);
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&CountPacket), &userB);
  const int before = g_counted;
  EXPECT_TRUE(WaitFor([&] { return g_counted > before + 10; }));
  EXPECT_EQ(g_countedUser.load(), &userB);

  ASSERT_EQ(sdk.SetStreamFunc(h, nullptr, nullptr), 0);
  const int detached = g_counted;
  Sleep(50);
  EXPECT_EQ(g_counted, detached) << "callouts after the detach returned";
  EXPECT_EQ(Counters(0).OpenStreams, 1) << "the stream runs on";
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  EXPECT_NE(CallLog().find("NVNET_SetStreamFunc 100 nil nil -> 0\n"), std::string::npos);
}

// ---- messages ---------------------------------------------------------------

struct TMessageLog {
  std::mutex m;
  std::vector<uint32_t> codes;
  std::vector<int32_t> logins;
  DWORD thread = 0;
  int32_t openStreamsSeen = -1;
  HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ~TMessageLog() { CloseHandle(arrived); }
} g_messages;

int32_t __stdcall OnMessage(int32_t login, const void *message) {
  uint32_t code;
  std::memcpy(&code, message, 4);
  TSimCounters k{};
  sdk.GetCounters(0, &k); // the simulator's lock is not held here
  {
    std::lock_guard<std::mutex> l(g_messages.m);
    g_messages.codes.push_back(code);
    g_messages.logins.push_back(login);
    g_messages.thread = GetCurrentThreadId();
    g_messages.openStreamsSeen = k.OpenStreams;
  }
  SetEvent(g_messages.arrived);
  return 77;
}

class SimMessages : public Sim {
protected:
  void SetUp() override {
    Sim::SetUp();
    std::lock_guard<std::mutex> l(g_messages.m);
    g_messages.codes.clear();
    g_messages.logins.clear();
    g_messages.thread = 0;
    ResetEvent(g_messages.arrived);
  }
};

TEST_F(SimMessages, BreakStopsStreamsThenEndsTheLogin) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 2, sbAccept), 0);
  ASSERT_EQ(sdk.SetStream(0, 0, 2000, 2000, 0, 1), 0);
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), -1) << "no login yet";
  const int32_t h = Logon();
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), -1) << "no message callback yet";
  ASSERT_EQ(sdk.SetCallback(h, reinterpret_cast<void *>(&OnMessage)), 0);
  g_counted = 0;
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&CountPacket), nullptr);
  const int32_t a = Open(h, 0), b = Open(h, 1);
  EXPECT_TRUE(WaitFor([] { return g_counted > 20; }));

  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), 77) << "waits for the callback's result";
  {
    std::lock_guard<std::mutex> l(g_messages.m);
    ASSERT_EQ(g_messages.codes.size(), 1u);
    EXPECT_EQ(g_messages.codes[0], kBreak);
    EXPECT_EQ(g_messages.logins[0], h);
    EXPECT_NE(g_messages.thread, GetCurrentThreadId());
    EXPECT_EQ(g_messages.openStreamsSeen, 0) << "streams stop before the message";
  }
  const int after = g_counted;
  Sleep(30);
  EXPECT_EQ(g_counted, after);
  uint8_t info[100] = {100};
  EXPECT_NE(sdk.GetServerInfo(h, info), 0) << "the login ended";
  EXPECT_EQ(Open(h, 0), -1);
  EXPECT_EQ(sdk.CloseChannel(a), 0) << "closing a broken stream";
  EXPECT_EQ(sdk.CloseChannel(b), 0);
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), -1) << "no live login";
  const TSimCounters k = Counters(0);
  EXPECT_EQ(k.MessagesSent, 1);
  EXPECT_EQ(k.ChannelsClosed, 2);

  const int32_t h2 = Logon();
  ASSERT_GT(h2, h);
  sdk.SetCallback(h2, reinterpret_cast<void *>(&OnMessage));
  EXPECT_EQ(sdk.InjectMessage(0, kBreak, 1), 77) << "the new login gets it";
}

TEST_F(SimMessages, OtherMessagesLeaveTheLoginAndMayNotWait) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  const int32_t h = Logon();
  sdk.SetCallback(h, reinterpret_cast<void *>(&OnMessage));
  const int32_t c = Open(h, 0);
  EXPECT_EQ(sdk.InjectMessage(0, kReset, 0), 0);
  EXPECT_EQ(WaitForSingleObject(g_messages.arrived, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(sdk.InjectMessage(0, 0x12345, 1), 77);
  {
    std::lock_guard<std::mutex> l(g_messages.m);
    EXPECT_EQ(g_messages.codes, (std::vector<uint32_t>{kReset, 0x12345}));
    EXPECT_EQ(g_messages.openStreamsSeen, 1);
  }
  uint8_t info[100] = {100};
  EXPECT_EQ(sdk.GetServerInfo(h, info), 0);
  EXPECT_EQ(Counters(0).MessagesSent, 2);
  sdk.SetCallback(h, nullptr);
  EXPECT_EQ(sdk.InjectMessage(0, kReset, 1), -1) << "callback detached";
  EXPECT_EQ(sdk.CloseChannel(c), 0);
}

// ---- close failures, crafted packets, call log, reset ---------------------

TEST_F(Sim, FailCloseChannel) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  const int32_t h = Logon();
  g_counted = 0;
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&CountPacket), nullptr);
  const int32_t c = Open(h, 0);
  ASSERT_EQ(sdk.FailCloseChannel(0, 2), 0);
  EXPECT_NE(sdk.CloseChannel(c), 0);
  EXPECT_NE(sdk.CloseChannel(c), 0);
  EXPECT_EQ(Counters(0).OpenStreams, 1) << "a failed close leaves the stream running";
  const int n = g_counted;
  EXPECT_TRUE(WaitFor([&] { return g_counted > n; }));
  EXPECT_EQ(sdk.CloseChannel(c), 0);
  const TSimCounters k = Counters(0);
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
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  const int32_t h = Logon();
  uint8_t packet[40];
  for (int i = 0; i < 40; ++i) packet[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(sdk.InjectPacket(h, 5, packet, 40), -1) << "no stream function";
  int calls = 0;
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&KeepPacket), &calls);
  ASSERT_EQ(sdk.InjectPacket(h, 5, packet, 40), 0);
  EXPECT_EQ(calls, 1) << "returns after the function did";
  ASSERT_EQ(g_injected.size(), 41u);
  EXPECT_EQ(std::memcmp(g_injected.data(), packet, 40), 0);
  EXPECT_EQ(g_injected[40], 5);
  EXPECT_NE(g_injectedThread, GetCurrentThreadId());
  EXPECT_EQ(sdk.InjectPacket(h + 1, 0, packet, 40), -1);
}

TEST_F(Sim, CallLogHasOneLinePerCall) {
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 2, sbAccept), 0);
  const int32_t h = Logon();
  const int32_t c = Open(h, 1);
  Open(h, 7);
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
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3000, "admin", "1234", 1, sbAccept), 0);
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3001, "admin", "1234", 1, sbAccept), 1);
  const int32_t h = Logon();
  g_counted = 0;
  sdk.SetStreamFunc(h, reinterpret_cast<void *>(&CountPacket), nullptr);
  Open(h, 0);
  Open(h, 0);
  EXPECT_TRUE(WaitFor([] { return g_counted > 5; }));
  sdk.Reset();
  const int after = g_counted;
  Sleep(30);
  EXPECT_EQ(g_counted, after) << "streams stopped";
  TSimCounters k;
  EXPECT_EQ(sdk.GetCounters(0, &k), -1) << "servers dropped";
  EXPECT_LT(Logon(), 0);
  EXPECT_EQ(CallLog(), "NVNET_LogonServer 127.0.0.1 3000 admin 1234 -> -1 unknown server\n");
  ASSERT_EQ(sdk.AddServer("127.0.0.1", 3001, "admin", "1234", 1, sbAccept), 0) << "ids start again";
  EXPECT_EQ(Logon("127.0.0.1", 3001), 100) << "handles start again";
  EXPECT_EQ(Counters(0).LogonAttempts, 1);
}

// ---- unload -------------------------------------------------------------------

// The child exits 0 when every step held, or a code naming the step.
std::string Unload(const char *mode) { return NTest::Describe(NTest::RunChild("sim_unload_child.exe", mode)); }

TEST(SimUnload, FreeLibraryWhileAStreamRuns) { EXPECT_EQ(Unload("stream"), "exit 0"); }
TEST(SimUnload, FreeLibraryWhileAMessageIsOnItsWay) { EXPECT_EQ(Unload("message"), "exit 0"); }
TEST(SimUnload, LoadUseUnloadCycles) { EXPECT_EQ(Unload("cycles"), "exit 0"); }

// ---- PTZ.dll and host folders ---------------------------------------------

TEST(Ptz, ExportsAnswer) {
  HMODULE m = LoadLibraryA((ExeDir() + "PTZ.dll").c_str());
  ASSERT_NE(m, nullptr);
  auto count = reinterpret_cast<int32_t(__stdcall *)()>(reinterpret_cast<void *>(GetProcAddress(m, "GetPtzProtocolCount")));
  auto info = reinterpret_cast<int32_t(__stdcall *)(int32_t, char *, int32_t)>(reinterpret_cast<void *>(GetProcAddress(m, "GetPtzInfoFromIndex")));
  auto transform = reinterpret_cast<int32_t(__stdcall *)(int32_t, int32_t, int32_t, int32_t, uint8_t *, int32_t)>(
      reinterpret_cast<void *>(GetProcAddress(m, "TransformToCommand")));
  ASSERT_TRUE(count && info && transform);
  EXPECT_EQ(count(), 3);
  char name[64];
  for (int i = 0; i < 3; ++i) {
    const int32_t len = info(i, name, sizeof name);
    EXPECT_GT(len, 0);
    EXPECT_EQ(static_cast<size_t>(len), std::strlen(name));
  }
  EXPECT_EQ(info(3, name, sizeof name), -1);
  char tiny[4];
  EXPECT_GT(info(0, tiny, sizeof tiny), 3);
  EXPECT_EQ(std::strlen(tiny), 3u);
  uint8_t cmd[8] = {};
  ASSERT_EQ(transform(1, 5, 3, 20, cmd, sizeof cmd), 7);
  const uint8_t expected[7] = {0xA1, 5, 3, 20, 0, 0, 28};
  EXPECT_EQ(std::memcmp(cmd, expected, 7), 0);
  EXPECT_EQ(transform(3, 5, 3, 20, cmd, sizeof cmd), -1);
  EXPECT_EQ(transform(0, 256, 3, 20, cmd, sizeof cmd), -1);
  EXPECT_EQ(transform(0, 1, 3, 20, cmd, 6), -1);
  FreeLibrary(m);
}

bool Exists(const std::string &p) { return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(HostDir, LaysOutTheCompanions) {
  const std::string dir = NTest::MakeHostDir("sim_hostdir");
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir, ExeDir() + "sim_hostdir");
  EXPECT_TRUE(Exists(dir + "\\System\\ZEZov\\NVSDK.dll"));
  EXPECT_TRUE(Exists(dir + "\\PTZ.dll"));
  HANDLE f = CreateFileA((dir + "\\leftover.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  CloseHandle(f);

  EXPECT_EQ(NTest::MakeHostDir("sim_hostdir", false, false), dir);
  EXPECT_FALSE(Exists(dir + "\\leftover.ini")) << "a fresh folder";
  EXPECT_TRUE(Exists(dir + "\\System\\ZEZov"));
  EXPECT_FALSE(Exists(dir + "\\System\\ZEZov\\NVSDK.dll"));
  EXPECT_FALSE(Exists(dir + "\\PTZ.dll"));
  EXPECT_TRUE(NTest::RemoveTree(dir));
  EXPECT_FALSE(Exists(dir));
}

} // namespace
