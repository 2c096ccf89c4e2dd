// The judgement of a long run's memory, handles and threads on made-up
// series shaped like the soak scenarios' runs: the swings and the noise a
// steady process shows pass, the leaks the simulator's leak switch makes
// fail, in the short soak's window and in the hour's.
#include "host/Growth.h"
#include "host/ResourceUse.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

namespace {
using namespace NDemo;

constexpr int64_t KiB = 1024, MiB = 1024 * 1024;

// A steady run as measured in the emulated guest: 8 servers of 4 stream
// threads and 3 threads more; a link break every `breakEvery` s, each server
// in turn, takes a server's streams away for 10 s. Each thread holds
// 1.4 MiB and 3 handles. Memory jitters by up to ±192 KiB around 40 MiB and
// wanders by ±1 MiB over 100 s, and the sample taken as a server comes back
// holds 1.5 MiB and 12 handles more.
struct TSeries {
  double seconds = 300, every = 1, breakEvery = 6;
  std::function<int64_t(double)> memory = [](double) { return int64_t{0}; };  // added to the steady figure
  std::function<int64_t(double)> handles = [](double) { return int64_t{0}; }; // likewise
  std::function<int64_t(double)> threads = [](double) { return int64_t{0}; }; // likewise

  std::vector<TResourceSample> Samples() const {
    std::vector<TResourceSample> out;
    uint32_t seed = 12345;
    for (int i = 0; i * every <= seconds; ++i) {
      const double t = i * every;
      seed = seed * 1664525u + 1013904223u;
      const int64_t jitter = static_cast<int64_t>(seed >> 8) % (384 * KiB) - 192 * KiB;
      int away = 0; // servers broken in the last 10 s
      for (double b = breakEvery; b <= t; b += breakEvery) away += t - b < 10;
      const bool back = t >= breakEvery + 10 && std::fmod(t - 10, breakEvery) < every;
      const int64_t n = 35 - 4 * away + threads(t);
      const int64_t wander = static_cast<int64_t>(MiB * std::sin(t * 2 * 3.14159265 / 100));
      out.push_back({t, 40 * MiB + n * (14 * MiB / 10) + jitter + wander + (back ? 3 * MiB / 2 : 0) + memory(t),
                     100 + 3 * n + (back ? 12 : 0) + handles(t), n});
    }
    return out;
  }
};

// The short soak: 5 minutes sampled every second, judged after 120 s. The
// hour's: sampled every 5 s, judged after 300 s, a break a minute.
TSeries Short() { return TSeries{}; }
TSeries Hour() { return TSeries{3600, 5, 60}; }

std::string Problems(const std::vector<std::string> &p) {
  std::string out;
  for (const auto &s : p) out += s + "\n";
  return out;
}

TEST(Growth, ASteadyProcessPasses) {
  // Threads coming and going, jitter, the returns' bursts, heap steps of
  // 256 and 512 KiB and a handle that stays from a certain time on.
  TSeries s = Short();
  s.memory = [](double t) { return (t >= 171 ? 256 * KiB : 0) + (t >= 237 ? 512 * KiB : 0); };
  s.handles = [](double t) { return int64_t{t >= 210}; };
  TGrowth g = MeasureGrowth(s.Samples(), 120, 30);
  EXPECT_TRUE(g.judged) << g.note;
  EXPECT_EQ(g.samples, 181);
  EXPECT_TRUE(g.threadsKnown);
  EXPECT_NEAR(g.memory.perThread, 1.4 * MiB, 0.1 * MiB) << "the threads' share is taken out";
  EXPECT_NEAR(g.handles.perThread, 3, 0.2);
  EXPECT_EQ(Problems(g.problems), "");

  // In the hour a one-off step above the rise limits, of memory and of
  // handles, is a small rate.
  s = Hour();
  s.memory = [](double t) { return t >= 2000 ? 2 * MiB : 0; };
  s.handles = [](double t) { return t >= 1800 ? int64_t{6} : int64_t{0}; };
  g = MeasureGrowth(s.Samples(), 300, 60);
  EXPECT_GT(g.memory.rise, 0);
  EXPECT_EQ(Problems(g.problems), "");
}

TEST(Growth, AHeapBlockPerFrameFails) {
  // 64 bytes a frame at 8 servers x 4 channels x 25 frames a second, the
  // blocks' bare size without the heap's own overhead.
  for (const TSeries &base : {Short(), Hour()}) {
    TSeries s = base;
    s.memory = [](double t) { return static_cast<int64_t>(800 * 64 * t); };
    const bool hour = s.seconds > 300;
    SCOPED_TRACE(hour ? "an hour" : "5 minutes");
    const TGrowth g = MeasureGrowth(s.Samples(), hour ? 300 : 120, 30);
    ASSERT_EQ(g.problems.size(), 1u) << Problems(g.problems);
    EXPECT_EQ(g.problems[0].rfind("private memory kept rising after the warm-up: ", 0), 0u) << g.problems[0];
    EXPECT_NEAR(g.memory.rate, 800 * 64 * 60, 0.2 * 800 * 64 * 60) << "within the wander";
  }
}

TEST(Growth, AHandlePerReconnectFails) {
  for (const TSeries &base : {Short(), Hour()}) {
    TSeries s = base;
    const double every = s.breakEvery; // a server comes back 10 s after each break
    s.handles = [every](double t) { return t < 10 ? int64_t{0} : static_cast<int64_t>((t - 10) / every); };
    const bool hour = s.seconds > 300;
    SCOPED_TRACE(hour ? "an hour" : "5 minutes");
    const TGrowth g = MeasureGrowth(s.Samples(), hour ? 300 : 120, hour ? 55 : 30);
    ASSERT_EQ(g.problems.size(), 1u) << Problems(g.problems);
    EXPECT_EQ(g.problems[0].rfind("the handle count kept rising after the warm-up: ", 0), 0u) << g.problems[0];
    EXPECT_NEAR(g.handles.rate, 60 / every, 60 / every / 10);
  }
  // The figures the message gives.
  TSeries s = Short();
  s.handles = [](double t) { return t < 10 ? int64_t{0} : static_cast<int64_t>((t - 10) / 6); };
  EXPECT_EQ(Problems(JudgeGrowth(s.Samples(), 120, 30)),
            "the handle count kept rising after the warm-up: 10 a minute, 29.9 from 120 s to 300 s (limits: 0.5 a "
            "minute and 8), the thread count taken out; 30 log-ons meanwhile, 1 a log-on\n");
}

TEST(Growth, AThreadKeptPerReconnectFailsThoughMemoryAndHandlesFollowIt) {
  TSeries s = Hour();
  s.threads = [](double t) { return static_cast<int64_t>(t / 60); };
  const TGrowth g = MeasureGrowth(s.Samples(), 300, 55);
  ASSERT_EQ(g.problems.size(), 1u) << Problems(g.problems);
  EXPECT_EQ(g.problems[0].rfind("the thread count kept rising after the warm-up: ", 0), 0u) << g.problems[0];
}

TEST(Growth, OnlySamplesAfterTheWarmUpAreJudged) {
  // The start: 30 MiB and 120 handles more over the first 120 s, then steady.
  TSeries s = Short();
  s.memory = [](double t) { return static_cast<int64_t>(std::min(t, 120.0) * 0.25 * MiB); };
  s.handles = [](double t) { return static_cast<int64_t>(std::min(t, 120.0)); };
  EXPECT_EQ(Problems(JudgeGrowth(s.Samples(), 120, 30)), "");
  EXPECT_EQ(JudgeGrowth(s.Samples(), 0, 40).size(), 2u) << "judged from the start";
}

TEST(Growth, TooFewSamplesGiveNoVerdictAndUnknownThreadsNoCorrection) {
  TSeries s = Short();
  s.memory = [](double t) { return static_cast<int64_t>(t * 10 * MiB); };
  s.seconds = 128; // 9 samples after the warm-up: 120 .. 128 s
  TGrowth g = MeasureGrowth(s.Samples(), 120, 1);
  EXPECT_FALSE(g.judged);
  EXPECT_EQ(g.note, "not judged: 9 samples after the warm-up at 120 s, 10 over some time needed");
  EXPECT_EQ(Problems(g.problems), "");
  s.seconds = 129;
  g = MeasureGrowth(s.Samples(), 120, 1);
  EXPECT_TRUE(g.judged) << g.note;
  EXPECT_EQ(g.note, "");
  EXPECT_EQ(g.problems.size(), 1u) << "ten are judged";
  // Ten at one time are no window.
  EXPECT_FALSE(MeasureGrowth(std::vector<TResourceSample>(10, {30, 1, 1, 1}), 20, 0).judged);

  // Without thread counts the figures are fitted over time alone.
  auto bare = Short().Samples();
  for (auto &x : bare) {
    x.privateBytes = 40 * MiB + static_cast<int64_t>(x.t * 32 * KiB);
    x.threads = 0;
  }
  g = MeasureGrowth(bare, 120, 0);
  EXPECT_FALSE(g.threadsKnown);
  EXPECT_EQ(g.memory.perThread, 0);
  EXPECT_NEAR(g.memory.rate, 60 * 32 * KiB, 1);
  ASSERT_EQ(g.problems.size(), 1u) << Problems(g.problems);
  EXPECT_NE(g.problems[0].find("the thread count not known"), std::string::npos) << g.problems[0];
}

DWORD WINAPI WaitFor(void *event) { return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); }

// The sampler sees what this process takes and gives back, under Wine too.
TEST(ResourceUse, SeesThisProcessTakeAndGiveBackHandlesThreadsAndMemory) {
  const TResourceSample before = SampleResources(1.5);
  EXPECT_EQ(before.t, 1.5);
  ASSERT_GT(before.handles, 0);
  ASSERT_GT(before.threads, 0);
  ASSERT_GT(before.privateBytes, 0);

  std::vector<HANDLE> events;
  for (int i = 0; i < 10; ++i) events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(SampleResources(0).handles - before.handles, 10);
  HANDLE thread = CreateThread(nullptr, 0, WaitFor, events[0], 0, nullptr);
  ASSERT_NE(thread, nullptr);
  std::vector<void *> blocks;
  for (int i = 0; i < 65536; ++i) { // 4 MiB
    blocks.push_back(HeapAlloc(GetProcessHeap(), 0, 64));
    std::memset(blocks.back(), 0x4C, 64);
  }
  const TResourceSample during = SampleResources(0);
  EXPECT_EQ(during.threads - before.threads, 1);
  EXPECT_EQ(during.handles - before.handles, 11) << "the events and the thread's handle";
  EXPECT_GE(during.privateBytes - before.privateBytes, 4 * MiB);

  SetEvent(events[0]);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  for (HANDLE e : events) CloseHandle(e);
  for (void *b : blocks) HeapFree(GetProcessHeap(), 0, b);
  const TResourceSample after = SampleResources(0);
  EXPECT_EQ(after.handles, before.handles);
  EXPECT_EQ(after.threads, before.threads);
}

} // namespace
