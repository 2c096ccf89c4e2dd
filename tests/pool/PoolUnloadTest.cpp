// Unloading a module whose pool has parked workers, and ending a process
// while a job runs.
#include "common/Process.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <string>

namespace {
using NTest::ExeDir;
using NTest::ThreadCount;

TEST(PoolUnload, FreeLibraryWhileWorkersAreParked) {
  const int before = ThreadCount();
  DWORD handles = 0;
  for (int cycle = 0; cycle < 5; ++cycle) {
    HMODULE m = LoadLibraryA((ExeDir() + "pool_testlib.dll").c_str());
    ASSERT_NE(m, nullptr);
    auto start = reinterpret_cast<int(__cdecl *)(int, int)>(GetProcAddress(m, "StartJobs"));
    ASSERT_EQ(start(4, 0), 4);
    Sleep(100); // let them park
    const DWORD t0 = GetTickCount();
    FreeLibrary(m);
    EXPECT_LT(GetTickCount() - t0, 5000u) << "unload hung";
    for (int i = 0; i < 1000 && ThreadCount() > before; ++i) Sleep(2);
    EXPECT_EQ(ThreadCount(), before) << "cycle " << cycle;
    DWORD h = 0;
    GetProcessHandleCount(GetCurrentProcess(), &h);
    if (cycle == 1) handles = h;
    if (cycle > 1) EXPECT_LE(h, handles + 2);
  }
}

TEST(PoolUnload, ProcessExitWhileAJobRuns) {
  // The child's job runs on when the process exits; exit must not hang.
  EXPECT_EQ(NTest::Describe(NTest::RunChild("pool_child.exe")), "exit 9");
}

} // namespace
