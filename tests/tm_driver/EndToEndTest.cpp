// The TM driver as a host runs it: TMDvs.dll from a host folder with the
// simulated NVSDK.dll, the worker logging servers on, live channels
// streaming, breaks and recovery, and shutdown.
#include "common/Attached.h"
#include "common/Check.h"
#include "common/HostDir.h"
#include "common/Logged.h"
#include "common/Wait.h"
#include "hostkit/HostKit.h"
#include "sim/SimClient.h"
#include "sim/SimPattern.h"
#include "support/U_Define.h"
#include "common/ServerRecord.h"
#include "tm_driver/U_ZEZov_Define.h"
#include <gtest/gtest.h>
#include <psapi.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {
using namespace NHostKit;
using NTest::WaitFor;
using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// What the host learns: status reports in order, and per channel the frames.
struct THostSide {
  std::mutex m;
  std::vector<std::pair<int32_t, bool>> reports;
  struct TChannel {
    int headers = 0, frames = 0, keys = 0, audio = 0, bad = 0;
    uint32_t lastSeq = 0;
  };
  std::map<int, TChannel> channels; // by channel number
  int Reports(int32_t id, bool on) {
    std::lock_guard<std::mutex> g(m);
    return static_cast<int>(std::count(reports.begin(), reports.end(), std::make_pair(id, on)));
  }
  TChannel Channel(int c) {
    std::lock_guard<std::mutex> g(m);
    return channels[c];
  }
  // "4100 on, 4101 off", for a failing wait.
  std::string Text() {
    std::lock_guard<std::mutex> g(m);
    std::string s;
    for (const auto &[id, on] : reports)
      s += (s.empty() ? "" : ", ") + std::to_string(id) + (on ? " on" : " off");
    return s;
  }
};

class EndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded()) << "TMDvs.dll in " << ExeDir();
    ASSERT_TRUE(NTest::Returned(lib.Create(&driver, 22, host.get())));
    cb.status = [this](int32_t id, bool on, uint32_t) {
      std::lock_guard<std::mutex> g(side.m);
      side.reports.push_back({id, on});
    };
    // Every channel's frame callback: check each byte against the pattern.
    for (int c = 0; c < 4; ++c) {
      frameCb[c].frame = [this, c](const void *p) {
        TDvrFrameInfo fi;
        std::memcpy(&fi, p, sizeof fi);
        const auto *b = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(fi.Data));
        std::lock_guard<std::mutex> g(side.m);
        auto &ch = side.channels[c];
        if (fi.FrameType == FrameHeader) {
          ++ch.headers;
        } else if (fi.FrameType == FrameAudio) {
          ++ch.audio;
          ch.bad += !SimCheckAudio(b, fi.Length, 4100, c, ch.lastSeq);
        } else {
          ch.bad += !SimCheckVideo(b, fi.Length, 4100, c, &ch.lastSeq) || fi.DriverType != 22;
          ++ch.frames;
          ch.keys += fi.FrameType == FrameKey;
        }
      };
    }
  }
  void TearDown() override {
    if (driver) Release(driver);
    if (sim.Reset) sim.Reset();
  }
  // Init (position 3), then the controls of the driver's own instance of the
  // simulator.
  AssertionResult Init() {
    const TCallResult r = CallPosition(driver, 3);
    if (r.raised || r.eax != 1)
      return AssertionFailure() << "Init " << NTest::Outcome(r) << " over " << hostDir;
    if (!sim.Bind(GetModuleHandleA("NVSDK.dll")))
      return AssertionFailure() << "no simulator in the driver's SDK";
    return AssertionSuccess();
  }
  // Registers 127.0.0.1:port (identity: the port) with the host's status callback.
  AssertionResult Add(int32_t port, int32_t video, const char *password = "1234") {
    TDvrInfo d = Server("127.0.0.1", port, video);
    d.Password.Assign(password);
    d.StatusCallback = {const_cast<void *>(cb.StatusMethod().code), cb.StatusMethod().data};
    const TCallResult r = CallPosition(driver, 37, TArgs().Ptr(&d));
    return (r.al() != 0 ? AssertionSuccess() : AssertionFailure()) << "registration " << NTest::Outcome(r);
  }
  // Delete (38) or remove (124): true when the driver found the server.
  AssertionResult Drop(int pos, int32_t port) {
    const TCallResult r = CallPosition(driver, pos, TArgs().Str(ip.get()).Int(port));
    return (r.al() != 0 ? AssertionSuccess() : AssertionFailure())
           << "position " << pos << " " << NTest::Outcome(r);
  }
  // The host's frame callback for channel c (position 41; the other four
  // callbacks nil), then StartDvrCapture (58).
  int32_t Open(int32_t port, int c) {
    TArgs args;
    args.Str(ip.get()).Int(port).Int(c).Method(frameCb[c].FrameMethod());
    for (int k = 0; k < 4; ++k) args.NilMethod();
    CallPosition(driver, 41, args);
    return CallPosition(driver, 58, TArgs().Str(ip.get()).Int(port).Int(c)).i32();
  }
  uint8_t Shutdown() { return CallPosition(driver, 110).al(); }
  // The driver's record (position 121) says the server is on line.
  AssertionResult OnLine(int32_t port) {
    TDvrInfo d{};
    const TCallResult r = CallPosition(driver, 121, TArgs().Str(ip.get()).Int(port).Ptr(&d));
    return (r.al() && d.OnLine == 1 ? AssertionSuccess() : AssertionFailure())
           << "record " << NTest::Outcome(r) << ", OnLine " << int(d.OnLine);
  }
  // A server at 4100 with `channels` channels streaming at `fps`,
  // registered before Init so that the first pass sees it; returns once it
  // is on line.
  void LogOnServer(int channels, int fps) {
    ASSERT_TRUE(Add(4100, channels));
    ASSERT_TRUE(Init());
    ASSERT_EQ(sim.AddServer("127.0.0.1", 4100, "admin", "1234", channels, sbAccept), 0);
    ASSERT_EQ(sim.SetStream(0, fps, 1500, 5000, 300, 10), 0);
    ASSERT_TRUE(WaitFor([&] { return side.Reports(4100, true) >= 1; }, 30000)) << "reports: " << side.Text();
  }

  TDriverLibrary lib;
  const std::string hostDir = NTest::MakeHostDir("e2e_host");
  const TConstString host{hostDir}, ip{"127.0.0.1"};
  void *driver = nullptr;
  TSimClient sim;
  THostCallbacks cb, frameCb[4];
  THostSide side;
};

TEST(EndToEndSdk, InitWithoutTheSdkReturnsZeroAndShutdownDoesNotWait) {
  TDriverLibrary lib;
  const TConstString host(NTest::MakeHostDir("e2e_nosdk", false, false));
  void *driver = nullptr;
  ASSERT_TRUE(NTest::Returned(lib.Create(&driver, 22, host.get())));
  TDebugCapture capture;
  EXPECT_EQ(NTest::Outcome(CallPosition(driver, 3)), "returned EAX=00000000");
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>SDK"));
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(CallPosition(driver, 110).al(), 1);
  EXPECT_LT(GetTickCount() - t0, 5000u) << "no worker was started, none is awaited";
  Release(driver);
}

TEST_F(EndToEnd, EveryPassLogsOnWhatItCanAndReportsTheRefusedButNeverTriesADeletedServer) {
  // Registered before Init, so that the first pass sees them all: a deleted
  // record first (every pass reaches it before the others), then one whose
  // password the server refuses.
  TDebugCapture capture;
  ASSERT_TRUE(Add(4102, 1));
  ASSERT_TRUE(Drop(38, 4102));
  ASSERT_TRUE(Add(4101, 1, "wrong"));
  ASSERT_TRUE(Add(4103, 1));
  LogOnServer(1, 10);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4101, "admin", "1234", 1, sbAccept), 1);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4102, "admin", "1234", 1, sbAccept), 2);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4103, "admin", "1234", 1, sbInfoFails), 3);
  EXPECT_TRUE(OnLine(4100));
  EXPECT_TRUE(WaitFor([&] { return side.Reports(4101, false) >= 1; }, 5000)) << "reports: " << side.Text();
  EXPECT_FALSE(OnLine(4101));
  EXPECT_EQ(Open(4101, 0), -1) << "not logged on";
  EXPECT_TRUE(WaitFor([&] { return side.Reports(4101, false) >= 2 && sim.Counters(3).LogonsAccepted >= 2; }, 30000))
      << "reports: " << side.Text() << "; logins of the server without information "
      << sim.Counters(3).LogonsAccepted;
  EXPECT_EQ(Shutdown(), 1);
  // Each pass logged the server without information on and dropped the
  // login: every one was logged off again, once.
  const TSimCounters info = sim.Counters(3);
  EXPECT_GE(info.LogonsAccepted, 2);
  EXPECT_EQ(info.OpenLogins, 0) << info.LogonsAccepted << " logins";
  EXPECT_EQ(info.LogoffCalls, info.LogonsAccepted);
  EXPECT_EQ(side.Reports(4100, true), 1) << "a server logged on is not reported again";
  EXPECT_EQ(sim.Counters(2).LogonAttempts, 0) << "a deleted server is never logged on";
  // The refused server is reported off line once per pass.
  EXPECT_TRUE(NTest::Logged(capture, "ZQ>>TTMDvs CheckDvrLink Run", side.Reports(4101, false))) << "one line per pass";
}

TEST_F(EndToEnd, ABreakIsReportedAtOnceAndTheNextPassLogsTheServerOnAgain) {
  LogOnServer(1, 10);
  ASSERT_EQ(Open(4100, 0), 0);
  ASSERT_EQ(sim.InjectMessage(0, NV_MSG_SERVER_BREAK, 1), 0);
  EXPECT_EQ(side.Reports(4100, false), 1);
  EXPECT_FALSE(OnLine(4100));
  EXPECT_EQ(sim.Counters(0).OpenStreams, 0);
  EXPECT_TRUE(WaitFor([&] { return side.Reports(4100, true) >= 2; }, 30000)) << "reports: " << side.Text();
  EXPECT_TRUE(OnLine(4100));
  // The broken login was logged off (by the worker, not inside the SDK's
  // message): the server holds the new one only.
  EXPECT_EQ(sim.Counters(0).OpenLogins, 1);
  EXPECT_EQ(sim.Counters(0).LogoffCalls, 1);
}

TEST_F(EndToEnd, ABreakWhileTheLoginIsBeingAttachedEndsItAndTheServerIsReportedOffLine) {
  // The simulator breaks the login from another thread while the driver
  // attaches its message callback, and waits for that call: a driver that
  // held a lock across the attaching would hang it.
  ASSERT_TRUE(Add(4100, 1));
  ASSERT_TRUE(Init());
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4100, "admin", "1234", 1, sbAccept), 0);
  ASSERT_EQ(sim.BreakOnAttach(0, 1), 0);
  ASSERT_TRUE(WaitFor([&] { return side.Reports(4100, false) >= 1; }, 30000)) << "reports: " << side.Text();
  ASSERT_EQ(sim.BreakOnAttach(0, 0), 0);
  EXPECT_TRUE(WaitFor([&] { return side.Reports(4100, false) >= 2; }, 5000)) << "reports: " << side.Text();
  EXPECT_EQ(side.Text(), "4100 off, 4100 off") << "the break's report, then the pass's";
  EXPECT_FALSE(OnLine(4100));
  EXPECT_TRUE(WaitFor([&] { return side.Reports(4100, true) >= 1; }, 30000)) << "reports: " << side.Text();
  EXPECT_TRUE(OnLine(4100)) << "the next pass";
  EXPECT_EQ(sim.Counters(0).OpenLogins, 1) << "the broken login was logged off";
}

TEST_F(EndToEnd, EachDriverObjectGetsTheMessagesOfItsOwnLogins) {
  // Two objects of one library over one SDK; the second is the newest.
  void *second = nullptr;
  ASSERT_TRUE(NTest::Returned(lib.Create(&second, 22, host.get())));
  ASSERT_TRUE(Add(4100, 1));
  TDvrInfo d = Server("127.0.0.1", 4101, 1);
  d.StatusCallback = {const_cast<void *>(cb.StatusMethod().code), cb.StatusMethod().data};
  ASSERT_EQ(CallPosition(second, 37, TArgs().Ptr(&d)).al(), 1);
  ASSERT_TRUE(Init());
  ASSERT_EQ(CallPosition(second, 3).eax, 1u);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4100, "admin", "1234", 1, sbAccept), 0);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4101, "admin", "1234", 1, sbAccept), 1);
  ASSERT_TRUE(WaitFor([&] { return side.Reports(4100, true) >= 1 && side.Reports(4101, true) >= 1; }, 30000))
      << "reports: " << side.Text();
  for (int server : {0, 1}) {
    const int32_t port = 4100 + server;
    ASSERT_EQ(sim.InjectMessage(server, NV_MSG_SERVER_BREAK, 1), 0);
    EXPECT_EQ(side.Reports(port, false), 1) << port << " reported by its own object: " << side.Text();
    EXPECT_TRUE(WaitFor([&] { return side.Reports(port, true) >= 2; }, 30000))
        << port << " logged on again: " << side.Text();
  }
  EXPECT_EQ(CallPosition(second, 110).al(), 1);
  Release(second);
  EXPECT_EQ(Shutdown(), 1);
  EXPECT_EQ(NTest::Attached(sim), NTest::NothingAttached);
}

TEST_F(EndToEnd, TwoHostThreadsSwitchingTheFrameCallbackNeverTearIt) {
  // Two methods of different code and objects: a torn pair calls one
  // object through the other's code.
  THostCallbacks a, b;
  std::atomic<int> viaA{0}, viaB{0}, torn{0};
  a.frame = [&](const void *) { ++viaA; };
  a.status = [&](int32_t, bool, uint32_t) { ++torn; };
  b.frame = [&](const void *) { ++torn; };
  b.status = [&](int32_t, bool, uint32_t) { ++viaB; };
  const TMethodPtr methods[2] = {a.FrameMethod(), b.StatusMethod()};
  LogOnServer(1, 0);
  ASSERT_EQ(Open(4100, 0), 0);
  // Until a good many frames met the switching (or a long while).
  auto setter = [&](int first) {
    for (int k = 0; k < 100000 && viaA + viaB + torn < 20000; ++k) {
      TArgs args;
      args.Str(ip.get()).Int(4100).Int(0).Method(methods[(k + first) % 2]);
      for (int n = 0; n < 4; ++n) args.NilMethod();
      CallPosition(driver, 41, args);
    }
  };
  std::thread t1(setter, 0), t2(setter, 1);
  t1.join();
  t2.join();
  EXPECT_EQ(Shutdown(), 1);
  EXPECT_EQ(torn.load(), 0) << "of " << viaA + viaB + torn << " frames";
  EXPECT_GT(viaA.load(), 0);
  EXPECT_GT(viaB.load(), 0);
}

TEST_F(EndToEnd, EveryChannelStreamsWholeFramesWithOneHeaderPerOpen) {
  LogOnServer(4, 0);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(Open(4100, c), 0) << c;
  auto fewest = [&] {
    return std::min(
        {side.Channel(0).frames, side.Channel(1).frames, side.Channel(2).frames, side.Channel(3).frames});
  };
  EXPECT_TRUE(WaitFor([&] { return fewest() >= 1000; }, 60000)) << "fewest frames on a channel: " << fewest();
  EXPECT_EQ(Shutdown(), 1);
  for (int c = 0; c < 4; ++c) {
    const auto ch = side.Channel(c);
    EXPECT_EQ(ch.bad, 0) << c;
    EXPECT_EQ(ch.headers, 1) << c;
    EXPECT_GT(ch.keys, 0) << c;
    EXPECT_EQ(ch.audio, ch.frames) << c;
  }
}

TEST_F(EndToEnd, ShutdownEndsTheOneWorkerWhileItSleeps) {
  LogOnServer(1, 10);
  EXPECT_EQ(CallPosition(driver, 3).eax, 1u) << "a second Init starts no second worker";
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(Shutdown(), 1);
  EXPECT_LT(GetTickCount() - t0, 4000u) << "the worker looks at the stop request every 100 ms";
}

TEST_F(EndToEnd, ARemovedServerLeavesNoLoginBehindWhenRegisteredAgainNorAtShutdown) {
  LogOnServer(1, 50);
  ASSERT_EQ(Open(4100, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return side.Channel(0).frames >= 20; }, 30000))
      << "frames: " << side.Channel(0).frames;

  // Removal leaves the login streaming; registering the key again ends it.
  ASSERT_TRUE(Drop(124, 4100));
  ASSERT_TRUE(Add(4100, 1));
  EXPECT_EQ(NTest::Attached(sim), NTest::NothingAttached) << "of the old login";

  // The next pass logs the new record on; it streams on a login of its own.
  ASSERT_TRUE(WaitFor([&] { return side.Reports(4100, true) >= 2; }, 30000)) << "reports: " << side.Text();
  ASSERT_EQ(Open(4100, 0), 0);
  const int before = side.Channel(0).frames;
  ASSERT_TRUE(WaitFor([&] { return side.Channel(0).frames >= before + 20; }, 30000))
      << "frames: " << side.Channel(0).frames;
  EXPECT_EQ(NTest::Attached(sim), "1 message callbacks, 1 stream functions, 1 open streams")
      << "one login per record";

  // Removed again with its channel open: the shutdown still closes it.
  ASSERT_TRUE(Drop(124, 4100));
  EXPECT_EQ(Shutdown(), 1);
  EXPECT_EQ(NTest::Attached(sim), NTest::NothingAttached);
  EXPECT_EQ(side.Channel(0).bad, 0) << "every frame whole";
}

TEST_F(EndToEnd, ShutdownFromTheStatusCallbackDoesNotWaitForItself) {
  std::atomic<int> calls{0};
  std::atomic<int> result{-1};
  cb.status = [&](int32_t, bool on, uint32_t) {
    // The report runs on the driver's worker: shut down from inside it.
    if (on && calls++ == 0) result = Shutdown();
  };
  ASSERT_TRUE(Add(4100, 1));
  ASSERT_TRUE(Init());
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4100, "admin", "1234", 1, sbAccept), 0);
  ASSERT_TRUE(WaitFor([&] { return result.load() >= 0; }, 30000)) << "reports on line: " << calls.load();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(NTest::Attached(sim), NTest::NothingAttached) << "the login made before the report is ended";
  EXPECT_EQ(sim.Counters(0).LogonAttempts, 1) << "nothing logged on after the shutdown";
  // Init from the host's thread, while the stopped worker may not have
  // ended yet: a new worker logs the server on within a pass.
  EXPECT_EQ(CallPosition(driver, 3).eax, 1u);
  EXPECT_TRUE(WaitFor([&] { return calls.load() >= 2; }, 5000)) << "reports on line: " << calls.load();
  EXPECT_TRUE(OnLine(4100));
  // The worker ends after the report; a released object awaits it.
  Release(driver);
  driver = nullptr;
}

TEST_F(EndToEnd, InitTwiceThenUnloadLeavesNeitherTheSdkNorThePtzLibraryLoaded) {
  ASSERT_TRUE(Init());
  EXPECT_EQ(Shutdown(), 1);
  ASSERT_TRUE(Init());
  EXPECT_EQ(Shutdown(), 1);
  Release(driver);
  driver = nullptr;
  sim = TSimClient();
  lib.Unload();
  EXPECT_EQ(GetModuleHandleA("NVSDK.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("PTZ.dll"), nullptr);
}

TEST_F(EndToEnd, AStormOfHostileFrameHeadersHoldsNoMemory) {
  LogOnServer(1, 1);
  ASSERT_EQ(Open(4100, 0), 0);
  const int32_t login = sim.Counters(0).CurrentLogin;
  auto committed = [] {
    PROCESS_MEMORY_COUNTERS m{};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
    return static_cast<int64_t>(m.PagefileUsage);
  };
  // Each crafted packet comes on a thread of the simulator: a first round to
  // a channel the server does not have (the driver ignores those) takes what
  // that costs the process by itself.
  std::vector<uint8_t> packet(sizeof(TNvPacketHeader) + 1024, 0x5A);
  auto inject = [&](int32_t channel, uint32_t video, uint16_t audio, uint8_t fragment) {
    const TNvPacketHeader h{1, {}, 1024, {}, video, {}, audio, 1, fragment, {}};
    std::memcpy(packet.data(), &h, sizeof h);
    return sim.InjectPacket(login, channel, packet.data(), static_cast<int32_t>(packet.size()));
  };
  for (int k = 0; k < 48; ++k) ASSERT_EQ(inject(7, 1000, 24, 0), 0);
  const int64_t before = committed();
  // Start and key flags, a fragment, and a claim from 300 KB to 2 GB.
  for (uint32_t k = 0; k < 48; ++k)
    ASSERT_EQ(inject(0, 300000u + k * 44000000u, 0xFFFF, static_cast<uint8_t>(k)), 0);
  const int64_t grown = committed() - before;
  // Before frames were capped, the storm left hundreds of megabytes held.
  EXPECT_LT(grown, 8 << 20) << "committed memory grew by " << grown << " bytes";
  EXPECT_EQ(side.Channel(0).bad, 0);
}

} // namespace
