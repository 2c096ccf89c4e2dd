// The worker pool and the public utility object.
#include "hostkit/DebugCapture.h"
#include "support/U_Define.h"
#include "support/U_Thread.h"
#include "support/WinApi.h"
#include "common/Process.h"
#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <atomic>
#include <string>
#include <vector>

namespace {
using NTest::ExeDir;
using NTest::ThreadCount;

size_t IdleCount(TThreadManage &m) {
  m.IdleThreads.Lock.Lock();
  size_t n = m.IdleThreads.Items.size();
  m.IdleThreads.Lock.Unlock();
  return n;
}

bool WaitIdle(TThreadManage &m, size_t n) {
  for (int i = 0; i < 2000; ++i) {
    if (IdleCount(m) == n) {
      bool parked = true;
      m.IdleThreads.Lock.Lock();
      for (auto *w : m.IdleThreads.Items) parked = parked && w->Suspended;
      m.IdleThreads.Lock.Unlock();
      if (parked) return true;
    }
    Sleep(2);
  }
  return false;
}

TEST(Pool, TwoJobsInARowReuseTheParkedWorker) {
  TThreadManage pool;
  std::atomic<DWORD> first{0}, second{0};
  TThreadBase *t1 = nullptr, *t2 = nullptr;
  ASSERT_EQ(pool.RunJob(t1, "a", [&](volatile uint8_t &, TThreadBase *, int32_t) { first = GetCurrentThreadId(); }, 0, false), 0);
  ASSERT_TRUE(WaitIdle(pool, 1));
  ASSERT_EQ(pool.RunJob(t2, "b", [&](volatile uint8_t &, TThreadBase *, int32_t p) { second = GetCurrentThreadId() + p; }, 0, false), 0);
  EXPECT_EQ(t1, t2);
  ASSERT_TRUE(WaitIdle(pool, 1));
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
  for (int i = 0; i < 2000 && !(IdleCount(pool) == 30 && ThreadCount() == withAll - 1); ++i) Sleep(2);
  EXPECT_TRUE(WaitIdle(pool, 30));
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

TEST(Pool, AJobErrorIsReportedNestedAndTheWorkerStaysUsable) {
  NHostKit::TDebugCapture cap;
  TThreadManage pool;
  TThreadBase *t = nullptr;
  ASSERT_EQ(pool.RunJob(t, "job", [](volatile uint8_t &, TThreadBase *, int32_t) { throw std::runtime_error("boom"); }, 0, false), 0);
  ASSERT_TRUE(WaitIdle(pool, 1));
  const std::string id = std::to_string(t->ThreadId());
  // "<id>|线程执行错:job|boom : f(<id>)" in code page 936.
  const std::string expected = id + "|\xCF\xDF\xB3\xCC\xD6\xB4\xD0\xD0\xB4\xED:job|boom : f(" + id + ")";
  EXPECT_EQ(t->LastError, expected);
  auto lines = cap.Matching("|boom");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].find("| ") + 2), expected) << NHostKit::Hex(lines[0]);
  // The second report carries the first after " :".
  ASSERT_EQ(pool.RunJob(t, "job2", [](volatile uint8_t &, TThreadBase *, int32_t) { throw std::runtime_error("x"); }, 0, false), 0);
  ASSERT_TRUE(WaitIdle(pool, 1));
  EXPECT_EQ(t->LastError, id + "|\xCF\xDF\xB3\xCC\xD6\xB4\xD0\xD0\xB4\xED:job2|x :" + expected + " f(" + id + ")");
  std::atomic<bool> ran{false};
  ASSERT_EQ(pool.RunJob(t, "", [&](volatile uint8_t &, TThreadBase *, int32_t) { ran = true; }, 0, false), 0);
  ASSERT_TRUE(WaitIdle(pool, 1));
  EXPECT_TRUE(ran);
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
    while (state != 1) Sleep(1);
  }
  EXPECT_EQ(state.load(), 2) << "destruction returned before the job did";
}

TEST(Pool, ManyShortJobsFromSeveralThreadsThenDestruction) {
  const int before = ThreadCount();
  std::atomic<int> done{0};
  {
    TThreadManage pool;
    struct TArg { TThreadManage *pool; std::atomic<int> *done; };
    TArg arg{&pool, &done};
    struct TSubmit {
      static DWORD WINAPI Run(void *p) {
        auto *a = static_cast<TArg *>(p);
        for (int i = 0; i < 500; ++i) {
          TThreadBase *t;
          a->pool->RunJob(t, "", [d = a->done](volatile uint8_t &, TThreadBase *, int32_t) { ++*d; }, i, false);
        }
        return 0;
      }
    };
    std::vector<HANDLE> hs;
    for (int i = 0; i < 6; ++i) hs.push_back(CreateThread(nullptr, 0, &TSubmit::Run, &arg, 0, nullptr));
    ASSERT_EQ(WaitForMultipleObjects(6, hs.data(), TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : hs) CloseHandle(h);
    for (int i = 0; i < 5000 && done < 3000; ++i) Sleep(2);
  }
  EXPECT_EQ(done.load(), 3000);
  for (int i = 0; i < 500 && ThreadCount() > before; ++i) Sleep(2);
  EXPECT_EQ(ThreadCount(), before);
}

TEST(FindThread, BisectionGivesPositionOrInsertionPoint) {
  std::vector<TThreadBase *> l = {reinterpret_cast<TThreadBase *>(0x1000), reinterpret_cast<TThreadBase *>(0x2000),
                                  reinterpret_cast<TThreadBase *>(0x3000)};
  int32_t i = -1;
  EXPECT_TRUE(FindThread(l, l[1], i));
  EXPECT_EQ(i, 1);
  EXPECT_FALSE(FindThread(l, reinterpret_cast<TThreadBase *>(0x2800), i));
  EXPECT_EQ(i, 2);
  EXPECT_FALSE(FindThread(l, reinterpret_cast<TThreadBase *>(0x10), i));
  EXPECT_EQ(i, 0);
  EXPECT_FALSE(FindThread({}, l[0], i));
  EXPECT_EQ(i, 0);
}

TEST(PublicUnit, IsIPv4Text) {
  for (const char *t : {"1.2.3.4", "255.255.255.255", "010.0.0.1", "192.168.1.20"})
    EXPECT_TRUE(TPublicUnit::IsIPv4Text(t)) << t;
  for (const char *t : {"256.1.1.1", "1.2.3", "1.2..34", "1.2.3.4.5", "a.b.c.d", "", "1.2.3.", ".1.2.3",
                        "1.2.3.4 ", "1111.1.1.1", "0001.2.3.44444"})
    EXPECT_FALSE(TPublicUnit::IsIPv4Text(t)) << t;
}

TEST(PublicUnit, ResolveHost) {
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
