// Unloading a module whose pool has parked workers, and ending a process
// while a job runs.
#include "common/Process.h"
#include "common/Wait.h"
#include <gtest/gtest.h>

namespace {
using NTest::ThreadCount;

TEST(PoolUnload, FreeLibraryWhileWorkersAreParked) {
  const int before = ThreadCount(); // no SCOPED_TRACE below: gtest starts a thread for it
  DWORD handles = 0;
  for (int cycle = 0; cycle < 5; ++cycle) {
    HMODULE m = LoadLibraryA((NTest::ExeDir() + "pool_testlib.dll").c_str());
    ASSERT_NE(m, nullptr) << "cycle " << cycle;
    const auto start =
        reinterpret_cast<int(__cdecl *)(int, int)>(reinterpret_cast<void *>(GetProcAddress(m, "StartJobs")));
    ASSERT_EQ(start(4, 0), 4);
    Sleep(100); // let them park
    const DWORD t0 = GetTickCount();
    FreeLibrary(m);
    EXPECT_LT(GetTickCount() - t0, 5000u) << "unload hung, cycle " << cycle;
    NTest::WaitFor([&] { return ThreadCount() <= before; });
    EXPECT_EQ(ThreadCount(), before) << "cycle " << cycle;
    DWORD h = 0;
    GetProcessHandleCount(GetCurrentProcess(), &h);
    if (cycle == 1) handles = h;
    if (cycle > 1) {
      EXPECT_LE(h, handles + 2) << "handles left behind, cycle " << cycle;
    }
  }
}

TEST(PoolUnload, ProcessExitWhileAJobRuns) {
  // The child's job runs on when the process exits; exit must not hang.
  EXPECT_EQ(NTest::Describe(NTest::RunChild("pool_child.exe")), "exit 9");
}

} // namespace
