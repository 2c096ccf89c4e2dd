// The TM driver as a host runs it: TMDvs.dll from a host folder with the
// simulated NVSDK.dll, the worker logging servers on, live channels
// streaming, breaks and recovery, and shutdown.
#include "common/HostDir.h"
#include "common/Wait.h"
#include "hostkit/DebugCapture.h"
#include "hostkit/HostKit.h"
#include "sim/SimClient.h"
#include "sim/SimPattern.h"
#include "support/U_Define.h"
#include <gtest/gtest.h>
#include <psapi.h>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {
using namespace NHostKit;
using NTest::WaitFor;

TDvrInfo Record(const std::string &ip, int32_t port, const char *password, int32_t video, int32_t id,
                const TMethodPtr &status) {
  TDvrInfo d;
  std::memset(&d, 0, sizeof d);
  d.DvrIP.Assign(ip);
  d.Port = port;
  d.UserName.Assign("admin");
  d.Password.Assign(password);
  d.LoginHandle = -1;
  d.VideoNum = video;
  d.DvrId = id;
  d.StatusCallback = {const_cast<void *>(status.code), status.data};
  return d;
}

// What the host learns: status reports in order, and per channel the frames.
struct THostSide {
  std::mutex m;
  std::vector<std::pair<int32_t, bool>> reports;
  struct TChannel {
    int headers = 0, frames = 0, keys = 0, audio = 0, bad = 0;
    uint32_t lastSeq = 0;
    int64_t bytes = 0;
  };
  std::map<int, TChannel> channels; // by channel number
  int Reports(int32_t id, bool on) {
    std::lock_guard<std::mutex> g(m);
    int n = 0;
    for (auto &r : reports) n += r.first == id && r.second == on;
    return n;
  }
};

class EndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded());
    hostDir = NTest::MakeHostDir("e2e_host");
    ASSERT_FALSE(hostDir.empty());
    host = std::make_unique<TConstString>(hostDir);
    auto r = lib.Create(&driver, 22, host->get());
    ASSERT_FALSE(r.raised) << r.className;
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
          return;
        }
        if (fi.FrameType == FrameAudio) {
          ch.audio++;
          if (!SimCheckAudio(b, fi.Length, 4100, c, ch.lastSeq)) ++ch.bad;
          return;
        }
        uint32_t seq = 0;
        if (!SimCheckVideo(b, fi.Length, 4100, c, &seq) || fi.DriverType != 22) ++ch.bad;
        ch.lastSeq = seq;
        ++ch.frames;
        ch.keys += fi.FrameType == FrameKey;
        ch.bytes += fi.Length;
      };
    }
  }
  void TearDown() override {
    if (driver) Release(driver);
    if (sim.Reset) sim.Reset();
  }
  bool Init() {
    auto r = CallPosition(driver, 3);
    EXPECT_FALSE(r.raised) << r.className;
    if (r.eax != 1) return false;
    // The driver's own instance of the simulator.
    return sim.Bind(GetModuleHandleA("NVSDK.dll"));
  }
  bool Add(const TDvrInfo &d) { return CallPosition(driver, 37, TArgs().Ptr(&d)).al() != 0; }
  int32_t Capture(int pos, const char *ip, int32_t port, int32_t channel) {
    TConstString a(ip);
    return CallPosition(driver, pos, TArgs().Str(a.get()).Int(port).Int(channel)).i32();
  }
  bool Remove(const char *ip, int32_t port) {
    TConstString a(ip);
    return CallPosition(driver, 124, TArgs().Str(a.get()).Int(port)).al() != 0;
  }
  void SetFrameCallback(int32_t port, int c) {
    TConstString a("127.0.0.1");
    TArgs args;
    args.Str(a.get()).Int(port).Int(c).Method(frameCb[c].FrameMethod());
    for (int k = 0; k < 4; ++k) args.NilMethod();
    CallPosition(driver, 41, args);
  }
  int Frames(int c) {
    std::lock_guard<std::mutex> g(side.m);
    return side.channels[c].frames;
  }
  int Bad(int c) {
    std::lock_guard<std::mutex> g(side.m);
    return side.channels[c].bad;
  }
  // One server at 127.0.0.1:4100 (identity 1), logged on and reported.
  void LogOnOneServer(int channels, int fps) {
    ASSERT_TRUE(Add(Record("127.0.0.1", 4100, "1234", channels, 1, cb.StatusMethod())));
    ASSERT_TRUE(Init());
    ASSERT_EQ(sim.AddServer("127.0.0.1", 4100, "admin", "1234", channels, sbAccept), 0);
    ASSERT_EQ(sim.SetStream(0, fps, 1500, 5000, 300, 10), 0);
    ASSERT_TRUE(WaitFor([&] { return side.Reports(1, true) >= 1; }, 30000)) << "on line within the first pass";
  }
  bool OnLine(const char *ip, int32_t port) {
    TConstString a(ip);
    TDvrInfo d;
    return CallPosition(driver, 121, TArgs().Str(a.get()).Int(port).Ptr(&d)).al() && d.OnLine == 1;
  }

  TDriverLibrary lib;
  std::string hostDir;
  std::unique_ptr<TConstString> host;
  void *driver = nullptr;
  TSimClient sim;
  THostCallbacks cb, frameCb[4];
  THostSide side;
};

TEST(EndToEndSdk, InitWithoutTheSdkReturnsZeroAndShutdownDoesNotWait) {
  TDriverLibrary lib;
  const std::string dir = NTest::MakeHostDir("e2e_nosdk", false, false);
  TConstString host(dir);
  void *driver = nullptr;
  ASSERT_FALSE(lib.Create(&driver, 22, host.get()).raised);
  TDebugCapture capture;
  auto r = CallPosition(driver, 3);
  ASSERT_FALSE(r.raised);
  EXPECT_EQ(r.eax, 0u);
  capture.Sync();
  EXPECT_EQ(capture.Matching("ZQ>>SDK").size(), 1u);
  const DWORD t0 = GetTickCount();
  r = CallPosition(driver, 110);
  EXPECT_EQ(r.al(), 1);
  EXPECT_LT(GetTickCount() - t0, 5000u) << "no worker was started, none is awaited";
  Release(driver);
}

TEST_F(EndToEnd, ServersAreLoggedOnStreamBreakAndComeBack) {
  // Registered before Init, so the first pass sees them all.
  ASSERT_TRUE(Add(Record("127.0.0.1", 4100, "1234", 4, 1, cb.StatusMethod())));
  ASSERT_TRUE(Add(Record("127.0.0.1", 4101, "wrong", 2, 2, cb.StatusMethod())));
  ASSERT_TRUE(Add(Record("127.0.0.1", 4102, "1234", 2, 3, cb.StatusMethod())));
  {
    TConstString a("127.0.0.1");
    ASSERT_EQ(CallPosition(driver, 38, TArgs().Str(a.get()).Int(4102)).al(), 1);
  }
  TDebugCapture capture;
  ASSERT_TRUE(Init());
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4100, "admin", "1234", 4, sbAccept), 0);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4101, "admin", "1234", 2, sbAccept), 1);
  ASSERT_EQ(sim.AddServer("127.0.0.1", 4102, "admin", "1234", 2, sbAccept), 2);
  ASSERT_EQ(sim.SetStream(0, 0, 1500, 5000, 300, 10), 0);

  // A second Init starts no second worker.
  EXPECT_EQ(CallPosition(driver, 3).eax, 1u);

  ASSERT_TRUE(WaitFor([&] { return side.Reports(1, true) >= 1; }, 30000)) << "on line within the first pass";
  EXPECT_TRUE(OnLine("127.0.0.1", 4100));
  EXPECT_TRUE(WaitFor([&] { return side.Reports(2, false) >= 1; }, 5000)) << "refused logon reported";
  EXPECT_FALSE(OnLine("127.0.0.1", 4101));

  for (int c = 0; c < 4; ++c) {
    TConstString a("127.0.0.1");
    // (address, port, channel, then the five callbacks, the frame callback first)
    TArgs args;
    args.Str(a.get()).Int(4100).Int(c).Method(frameCb[c].FrameMethod());
    for (int k = 0; k < 4; ++k) args.NilMethod();
    CallPosition(driver, 41, args);
    EXPECT_EQ(Capture(58, "127.0.0.1", 4100, c), 0) << c;
  }
  EXPECT_EQ(Capture(58, "127.0.0.1", 4101, 0), -1) << "not logged on";
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> g(side.m);
        int all = 0;
        for (int c = 0; c < 4; ++c) all += side.channels[c].frames >= 1000;
        return all == 4;
      },
      60000));

  // A link break: channels closed, reported off line at once, logged off.
  ASSERT_EQ(sim.InjectMessage(0, 0x10000009, 1), 0);
  EXPECT_EQ(side.Reports(1, false), 1);
  EXPECT_FALSE(OnLine("127.0.0.1", 4100));
  EXPECT_EQ(sim.Counters(0).OpenStreams, 0);
  // The next pass logs it on again.
  ASSERT_TRUE(WaitFor([&] { return side.Reports(1, true) >= 2; }, 30000));
  EXPECT_TRUE(OnLine("127.0.0.1", 4100));
  // (the refused server comes after it in the same pass)
  EXPECT_TRUE(WaitFor([&] { return side.Reports(2, false) >= 2; }, 5000))
      << "the refused server is reported on every pass";
  EXPECT_EQ(sim.Counters(2).LogonAttempts, 0) << "a deleted server is never logged on";

  // Stop while the worker sleeps: it ends within about a second.
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(CallPosition(driver, 110).al(), 1);
  EXPECT_LT(GetTickCount() - t0, 4000u);
  capture.Sync();
  EXPECT_GE(capture.Matching("ZQ>>TTMDvs CheckDvrLink Run").size(), 2u);

  std::lock_guard<std::mutex> g(side.m);
  for (int c = 0; c < 4; ++c) {
    const auto &ch = side.channels[c];
    EXPECT_EQ(ch.bad, 0) << c;
    EXPECT_EQ(ch.headers, 1) << c << ": one header per open";
    EXPECT_GT(ch.keys, 0) << c;
    EXPECT_EQ(ch.audio, ch.frames) << c;
  }
}

TEST_F(EndToEnd, ARemovedServerRegisteredAgainLeavesNoOldLoginBehind) {
  LogOnOneServer(1, 50);
  SetFrameCallback(4100, 0);
  ASSERT_EQ(Capture(58, "127.0.0.1", 4100, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return Frames(0) >= 20; }, 30000));

  // Removal leaves the login streaming; registering the key again ends it.
  ASSERT_TRUE(Remove("127.0.0.1", 4100));
  ASSERT_TRUE(Add(Record("127.0.0.1", 4100, "1234", 1, 1, cb.StatusMethod())));
  TSimTotals t = sim.Totals();
  EXPECT_EQ(t.MessageCallbacks, 0) << "the old login keeps no message callback";
  EXPECT_EQ(t.StreamFunctions, 0) << "nor a stream function";
  EXPECT_EQ(t.OpenStreams, 0) << "its channel is closed";

  // The next pass logs the new record on; it streams on a login of its own.
  ASSERT_TRUE(WaitFor([&] { return side.Reports(1, true) >= 2; }, 30000));
  SetFrameCallback(4100, 0);
  ASSERT_EQ(Capture(58, "127.0.0.1", 4100, 0), 0);
  const int before = Frames(0);
  ASSERT_TRUE(WaitFor([&] { return Frames(0) >= before + 20; }, 30000));
  t = sim.Totals();
  EXPECT_EQ(t.StreamFunctions, 1) << "one login per record";
  EXPECT_EQ(t.OpenStreams, 1);

  // Removed again with its channel open: the shutdown still closes it.
  ASSERT_TRUE(Remove("127.0.0.1", 4100));
  EXPECT_EQ(CallPosition(driver, 110).al(), 1);
  t = sim.Totals();
  EXPECT_EQ(t.MessageCallbacks, 0) << "nothing attached after the shutdown";
  EXPECT_EQ(t.StreamFunctions, 0);
  EXPECT_EQ(t.OpenStreams, 0);
  EXPECT_EQ(Bad(0), 0) << "every frame whole";
}

TEST_F(EndToEnd, ShutdownFromTheStatusCallbackDoesNotWaitForItself) {
  std::atomic<int> calls{0};
  std::atomic<bool> returned{false};
  std::atomic<uint8_t> result{0};
  cb.status = [&](int32_t id, bool on, uint32_t) {
    {
      std::lock_guard<std::mutex> g(side.m);
      side.reports.push_back({id, on});
    }
    // The report runs on the driver's worker: shut down from inside it.
    if (!on || calls++ > 0) return;
    result = CallPosition(driver, 110).al();
    returned = true;
  };
  LogOnOneServer(1, 10);
  ASSERT_TRUE(WaitFor([&] { return returned.load(); }, 30000)) << "the shutdown returned";
  EXPECT_EQ(result.load(), 1);
  TSimTotals t = sim.Totals();
  EXPECT_EQ(t.MessageCallbacks, 0) << "the login made before the report is detached";
  EXPECT_EQ(t.StreamFunctions, 0);
  // The worker ends after the report; a released object awaits it.
  Release(driver);
  driver = nullptr;
  EXPECT_EQ(sim.Counters(0).LogonAttempts, 1) << "nothing logged on after the shutdown";
}

TEST_F(EndToEnd, AStormOfHostileFrameHeadersHoldsNoMemory) {
  LogOnOneServer(1, 1);
  SetFrameCallback(4100, 0);
  ASSERT_EQ(Capture(58, "127.0.0.1", 4100, 0), 0);
  const int32_t login = sim.Counters(0).CurrentLogin;
  auto committed = [] {
    PROCESS_MEMORY_COUNTERS m{};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
    return static_cast<int64_t>(m.PagefileUsage);
  };
  std::vector<uint8_t> packet(28 + 1024, 0x5A);
  // Each crafted packet comes on a thread of the simulator: a first round to
  // a channel the server does not have (the driver ignores those) takes what
  // that costs the process by itself.
  auto inject = [&](int32_t channel, uint32_t video, uint16_t audio, uint8_t fragment) {
    const int32_t payload = 1024;
    std::memset(packet.data(), 0, 28);
    packet[0] = 1;
    std::memcpy(&packet[4], &payload, 4);
    std::memcpy(&packet[12], &video, 4);
    std::memcpy(&packet[20], &audio, 2);
    packet[22] = 1;
    packet[23] = fragment;
    return sim.InjectPacket(login, channel, packet.data(), static_cast<int32_t>(packet.size()));
  };
  for (int k = 0; k < 48; ++k) ASSERT_EQ(inject(7, 1000, 24, 0), 0);
  const int64_t before = committed();
  for (uint32_t k = 0; k < 48; ++k) {
    // Start and key flags, a fragment, and a claim from 300 KB to 2 GB.
    ASSERT_EQ(inject(0, 300000u + k * 44000000u, 0xFFFF, static_cast<uint8_t>(k)), 0);
  }
  const int64_t grown = committed() - before;
  // Before frames were capped, the storm left hundreds of megabytes held.
  EXPECT_LT(grown, 8 << 20) << "committed memory grew by " << grown << " bytes";
  EXPECT_EQ(Bad(0), 0);
}

} // namespace
