// The worker pool and the public utility object.
#include "hostkit/DebugCapture.h"
#include "support/U_Define.h"
#include "support/U_Thread.h"
#include "support/WinApi.h"
#include "common/Process.h"
#include "common/Wait.h"
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <vector>

namespace {
using NTest::ThreadCount;

// The pool has n idle workers, all of them parked, within the usual wait.
::testing::AssertionResult Parked(TThreadManage &m, size_t n) {
  size_t idle = 0, parked = 0;
  const bool ok = NTest::WaitFor([&] {
    m.IdleThreads.Lock.Lock();
    idle = m.IdleThreads.Items.size();
    parked = 0;
    for (auto *w : m.IdleThreads.Items) parked += w->Suspended != 0;
    m.IdleThreads.Lock.Unlock();
    return idle == n && parked == n;
  });
  return (ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << idle << " idle, " << parked << " of them parked; " << n << " wanted";
}

TEST(Pool, TwoJobsInARowReuseTheParkedWorker) {
  TThreadManage pool;
  std::atomic<DWORD> first{0}, second{0};
  TThreadBase *t1 = nullptr, *t2 = nullptr;
  ASSERT_EQ(pool.RunJob(t1, "a", [&](volatile uint8_t &, TThreadBase *, int32_t) { first = GetCurrentThreadId(); }, 0, false), 0);
  ASSERT_TRUE(Parked(pool, 1));
  ASSERT_EQ(pool.RunJob(t2, "b", [&](volatile uint8_t &, TThreadBase *, int32_t p) { second = GetCurrentThreadId() + p; }, 0, false), 0);
  EXPECT_EQ(t1, t2);
  ASSERT_TRUE(Parked(pool, 1));
  EXPECT_NE(first.load(), 0u);
  EXPECT_EQ(first.load(), second.load());
}

TEST(Pool, AWorkerBeyondThirtyIdleEndsAndFreesItself) {
  TThreadManage pool;
  std::atomic<int> release{0};
  std::vector<TThreadBase *> ws(31);
  for (auto &w : ws)
    ASSERT_EQ(pool.RunJob(w, "", [&](volatile uint8_t &, TThreadBase *, int32_t) { while (!release) Sleep(1); }, 0, false), 0);
  const int withAll = ThreadCount();
  release = 1;
  EXPECT_TRUE(Parked(pool, 30));
  NTest::WaitFor([&] { return ThreadCount() == withAll - 1; });
  EXPECT_EQ(ThreadCount(), withAll - 1);
  pool.AllThreads.Lock.Lock();
  EXPECT_EQ(pool.AllThreads.Items.size(), 30u);
  for (size_t i = 1; i < pool.AllThreads.Items.size(); ++i)
    EXPECT_LT(int32_t(uintptr_t(pool.AllThreads.Items[i - 1])), int32_t(uintptr_t(pool.AllThreads.Items[i])));
  pool.AllThreads.Lock.Unlock();
}

TEST(Pool, RunJobOnAClosingPoolGivesMinusOne) {
  TThreadManage pool;
  pool.Closing = 1;
  TThreadBase *t = reinterpret_cast<TThreadBase *>(1);
  EXPECT_EQ(pool.RunJob(t, "", [](volatile uint8_t &, TThreadBase *, int32_t) {}, 0, false), -1);
  EXPECT_EQ(t, nullptr);
  pool.Closing = 0;
}

// Runs a job that throws `what` on worker t (a new one when null) and waits
// until the worker is parked again.
void RunFailing(TThreadManage &pool, TThreadBase *&t, const char *job, const char *what) {
  const auto fail = [what](volatile uint8_t &, TThreadBase *, int32_t) { throw std::runtime_error(what); };
  ASSERT_EQ(pool.RunJob(t, job, fail, 0, false), 0);
  ASSERT_TRUE(Parked(pool, 1));
}

// "<id>|线程执行错:<job>|<what>" in code page 936: how a job error begins.
std::string JobError(TThreadBase *t, const std::string &job, const std::string &what) {
  return std::to_string(t->ThreadId()) + "|\xCF\xDF\xB3\xCC\xD6\xB4\xD0\xD0\xB4\xED:" + job + "|" + what;
}

TEST(Pool, AJobErrorIsKeptOnTheWorkerAndWrittenToTheDebugger) {
  NHostKit::TDebugCapture cap;
  TThreadManage pool;
  TThreadBase *t = nullptr;
  ASSERT_NO_FATAL_FAILURE(RunFailing(pool, t, "job", "boom"));
  const std::string expected = JobError(t, "job", "boom") + " : f(" + std::to_string(t->ThreadId()) + ")";
  EXPECT_EQ(t->LastError, expected);
  const auto lines = cap.Matching("|boom");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].find("| ") + 2), expected) << NHostKit::Hex(lines[0]);
}

TEST(Pool, ALaterJobErrorCarriesTheEarlierOneAndTheWorkerStaysUsable) {
  TThreadManage pool;
  TThreadBase *t = nullptr;
  ASSERT_NO_FATAL_FAILURE(RunFailing(pool, t, "job", "boom"));
  const std::string earlier = t->LastError;
  ASSERT_NO_FATAL_FAILURE(RunFailing(pool, t, "job2", "x"));
  const std::string f = " f(" + std::to_string(t->ThreadId()) + ")";
  EXPECT_EQ(t->LastError, JobError(t, "job2", "x") + " :" + earlier + f);
  std::atomic<int> runs{0};
  ASSERT_EQ(pool.RunJob(t, "", [&](volatile uint8_t &, TThreadBase *, int32_t) { ++runs; }, 0, false), 0);
  ASSERT_TRUE(Parked(pool, 1));
  EXPECT_EQ(runs.load(), 1);
}

TEST(Pool, DestructionStopsARunningJobAndWaitsForIt) {
  std::atomic<int> state{0};
  {
    TThreadManage pool;
    TThreadBase *t = nullptr;
    ASSERT_EQ(pool.RunJob(t, "", [&](volatile uint8_t &term, TThreadBase *, int32_t) {
      state = 1;
      while (!term) Sleep(1);
      Sleep(50);
      state = 2;
    }, 0, false), 0);
    ASSERT_TRUE(NTest::WaitFor([&] { return state == 1; })) << "the job did not start";
  }
  EXPECT_EQ(state.load(), 2) << "destruction returned before the job did";
}

std::atomic<int> g_done{0};

// Hands the pool 500 short jobs, each counting itself in g_done.
DWORD WINAPI Submit500(void *pool) {
  const auto count = [](volatile uint8_t &, TThreadBase *, int32_t) { ++g_done; };
  for (int i = 0; i < 500; ++i) {
    TThreadBase *t;
    static_cast<TThreadManage *>(pool)->RunJob(t, "", count, i, false);
  }
  return 0;
}

TEST(Pool, ManyShortJobsFromSeveralThreadsThenDestruction) {
  const int before = ThreadCount();
  {
    TThreadManage pool;
    std::vector<HANDLE> hs;
    for (int i = 0; i < 6; ++i) hs.push_back(CreateThread(nullptr, 0, &Submit500, &pool, 0, nullptr));
    const DWORD submitted = WaitForMultipleObjects(6, hs.data(), TRUE, 60000);
    EXPECT_EQ(submitted, WAIT_OBJECT_0) << "the 3000 jobs were not handed over within 60 s";
    // The pool must outlive the threads that use it, late or not.
    if (submitted != WAIT_OBJECT_0) WaitForMultipleObjects(6, hs.data(), TRUE, INFINITE);
    for (HANDLE h : hs) CloseHandle(h);
    NTest::WaitFor([] { return g_done == 3000; }, 10000);
  }
  EXPECT_EQ(g_done.load(), 3000);
  NTest::WaitFor([&] { return ThreadCount() <= before; });
  EXPECT_EQ(ThreadCount(), before);
}

// Where FindThread places p in the list: "at i" when it is there, else "before i".
std::string Find(const std::vector<TThreadBase *> &l, uintptr_t p) {
  int32_t i = -1;
  const bool found = FindThread(l, reinterpret_cast<TThreadBase *>(p), i);
  return (found ? "at " : "before ") + std::to_string(i);
}

TEST(FindThread, BisectionGivesPositionOrInsertionPoint) {
  std::vector<TThreadBase *> l;
  for (uintptr_t p : {0x1000, 0x2000, 0x3000}) l.push_back(reinterpret_cast<TThreadBase *>(p));
  EXPECT_EQ(Find(l, 0x2000), "at 1");
  EXPECT_EQ(Find(l, 0x2800), "before 2");
  EXPECT_EQ(Find(l, 0x10), "before 0");
  EXPECT_EQ(Find(l, 0x4000), "before 3");
  EXPECT_EQ(Find({}, 0x1000), "before 0");
}

TEST(PublicUnit, IsIPv4Text) {
  for (const char *t : {"1.2.3.4", "255.255.255.255", "010.0.0.1", "192.168.1.20"})
    EXPECT_TRUE(TPublicUnit::IsIPv4Text(t)) << t;
  for (const char *t : {"256.1.1.1", "1.2.3", "1.2..34", "1.2.3.4.5", "a.b.c.d", "", "1.2.3.", ".1.2.3",
                        "1.2.3.4 ", "1111.1.1.1", "0001.2.3.44444"})
    EXPECT_FALSE(TPublicUnit::IsIPv4Text(t)) << t;
}

TEST(PublicUnit, ResolveHostStartsSocketsOnlyForANameAndGivesEmptyOnFailure) {
  TPublicUnit pu;
  const uint32_t starts = NWin::NSocket::StartupCount();
  EXPECT_EQ(pu.ResolveHost("192.168.1.20"), "192.168.1.20");
  EXPECT_EQ(NWin::NSocket::StartupCount(), starts) << "a dotted address must not touch the sockets library";
  EXPECT_EQ(pu.ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(NWin::NSocket::StartupCount(), starts + 1);
  EXPECT_EQ(pu.ResolveHost("no-such-host.invalid"), "");
  EXPECT_EQ(pu.ResolveHost(""), "");
  EXPECT_EQ(pu.ResolveHost(std::string(5000, 'a')), "");
  NWin::NSocket::FailStartupForTests(true);
  EXPECT_EQ(pu.ResolveHost("localhost"), "");
  NWin::NSocket::FailStartupForTests(false);
}

} // namespace
