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

} // namespace
