// A host that reloads the driver for months: load, factory, a server logged
// on and streaming, shutdown, release and unload, many times in one process;
// and a host that unloads the library while it still holds the driver.
// A program of its own: it measures the whole process.
#include "common/HostDir.h"
#include "common/Wait.h"
#include "hostkit/HostKit.h"
#include "sim/SimClient.h"
#include "tests/server_table/ServerRecord.h"
#include "support/U_Define.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

namespace {
using namespace NHostKit;
using NTest::WaitFor;

// The busy blocks of every heap of the process, by size.
std::map<size_t, int> HeapBlocks(size_t *bytes) {
  std::map<size_t, int> blocks;
  *bytes = 0;
  HANDLE heaps[256];
  const DWORD n = GetProcessHeaps(256, heaps);
  for (DWORD i = 0; i < n && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY e{};
    while (HeapWalk(heaps[i], &e))
      if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
        ++blocks[e.cbData];
        *bytes += e.cbData;
      }
    HeapUnlock(heaps[i]);
  }
  return blocks;
}

// The kernel handles of the process. Where the system does not count them
// (Wine answers 0), every value up to a little beyond the newest handle is
// asked about.
unsigned HandleCount() {
  DWORD n = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0) return n;
  HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const uintptr_t top = reinterpret_cast<uintptr_t>(probe) + 4096;
  CloseHandle(probe);
  for (uintptr_t h = 4; h < top; h += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) ++n;
  }
  return n;
}

// What grew between two heap pictures, for the failure message.
std::string Growth(const std::map<size_t, int> &a, const std::map<size_t, int> &b) {
  std::string out;
  for (const auto &[size, count] : b) {
    const auto it = a.find(size);
    const int before = it == a.end() ? 0 : it->second;
    if (count > before) out += " " + std::to_string(count - before) + " x " + std::to_string(size) + ";";
  }
  return out;
}

struct THost {
  THostCallbacks cb, frame;
  std::atomic<int> onLine{0}, frames{0};
  THost() {
    cb.status = [this](int32_t, bool on, uint32_t) { onLine += on; };
    frame.frame = [this](const void *) { ++frames; };
  }
};

// A server registered, logged on by the driver's worker and streaming one
// channel into the host's callback; false at the first step that failed.
bool StartStreaming(void *driver, THost &host, int32_t port, TSimClient &sim) {
  TDvrInfo r = Server("127.0.0.1", port, 1);
  const TMethodPtr status = host.cb.StatusMethod();
  r.StatusCallback = {const_cast<void *>(status.code), status.data};
  if (CallPosition(driver, 37, TArgs().Ptr(&r)).al() == 0 || CallPosition(driver, 3).eax != 1) return false;
  if (!sim.Bind(GetModuleHandleA("NVSDK.dll")) || sim.AddServer("127.0.0.1", port, "admin", "1234", 1, sbAccept) != 0 ||
      sim.SetStream(0, 100, 1000, 1000, 100, 5) != 0 || !WaitFor([&] { return host.onLine > 0; }, 30000))
    return false;
  TConstString ip("127.0.0.1");
  TArgs args;
  args.Str(ip.get()).Int(port).Int(0).Method(host.frame.FrameMethod());
  for (int k = 0; k < 4; ++k) args.NilMethod();
  CallPosition(driver, 41, args);
  return CallPosition(driver, 58, TArgs().Str(ip.get()).Int(port).Int(0)).i32() == 0 &&
         WaitFor([&] { return host.frames >= 3; }, 30000);
}

// One cycle as a host runs the driver; false at the first step that failed.
bool Cycle(const std::string &hostDir, int32_t port) {
  THost host;
  TDriverLibrary lib;
  if (!lib.Loaded()) return false;
  TConstString dir(hostDir);
  void *driver = nullptr;
  if (lib.Create(&driver, 22, dir.get()).raised || !driver) return false;
  TSimClient sim;
  const bool ok = StartStreaming(driver, host, port, sim);
  CallPosition(driver, 110);
  Release(driver);
  lib.Unload();
  return ok;
}

// What one load and unload of a module leaves behind.
struct TResidue {
  double bytes = 0, handles = 0;
};

// The static C++ run-time leaves a little behind at every unload, whatever
// the module does (its thread library's implicit data for the loading thread
// and its once-made objects). Measured on a module that does nothing else.
TResidue RuntimeResidue() {
  const std::string probe = ExeDir() + "runtime_probe.dll";
  for (int i = 0; i < 5; ++i) FreeLibrary(LoadLibraryA(probe.c_str()));
  size_t before = 0, after = 0;
  HeapBlocks(&before);
  const unsigned handles = HandleCount();
  constexpr int loads = 40;
  for (int i = 0; i < loads; ++i) {
    HMODULE m = LoadLibraryA(probe.c_str());
    if (!m) return {};
    FreeLibrary(m);
  }
  HeapBlocks(&after);
  return {(static_cast<double>(after) - before) / loads, (static_cast<double>(HandleCount()) - handles) / loads};
}

TEST(Reload, LoadingAndUnloadingAHundredTimesLeavesOnlyTheRunTimesResidue) {
  const std::string hostDir = NTest::MakeHostDir("reload_host");
  ASSERT_FALSE(hostDir.empty());
  const TResidue runtime = RuntimeResidue();
  // The heap and the handles after cycles 10, 55 and 100.
  size_t bytes[3] = {};
  unsigned handles[3] = {};
  std::map<size_t, int> heap10, heap100;
  for (int cycle = 1, at = 0; cycle <= 100; ++cycle) {
    ASSERT_TRUE(Cycle(hostDir, 4200)) << "cycle " << cycle;
    if (cycle == 10 || cycle == 55 || cycle == 100) {
      const auto blocks = HeapBlocks(&bytes[at]);
      handles[at++] = HandleCount();
      (cycle == 10 ? heap10 : heap100) = blocks;
    }
  }
  // A cycle loads two modules with the C++ run-time: the driver and the
  // simulated SDK (PTZ.dll has none).
  constexpr int modules = 2;
  auto perCycle = [](double from, double to) { return (to - from) / 45.0; };
  const double bytesFirst = perCycle(bytes[0], bytes[1]), bytesSecond = perCycle(bytes[1], bytes[2]);
  const double handlesFirst = perCycle(handles[0], handles[1]), handlesSecond = perCycle(handles[1], handles[2]);
  std::printf("run-time residue of one module load: %.1f bytes, %.2f handles\n", runtime.bytes, runtime.handles);
  std::printf("per cycle, cycles 11-55 / 56-100: %.1f / %.1f bytes, %.2f / %.2f handles (heap %u -> %u -> %u)\n",
              bytesFirst, bytesSecond, handlesFirst, handlesSecond, static_cast<unsigned>(bytes[0]),
              static_cast<unsigned>(bytes[1]), static_cast<unsigned>(bytes[2]));
  // Beyond the run-time's residue nothing may grow with the cycles. Something
  // of ours left per cycle shows in both halves; the system's own caches now
  // and then take a few kilobytes at once, in one half.
  EXPECT_LE(std::min(bytesFirst, bytesSecond), modules * runtime.bytes + 64) << "grown:" << Growth(heap10, heap100);
  EXPECT_LE(std::min(handlesFirst, handlesSecond), modules * runtime.handles + 0.05);
}

// Must stay the program's last test: it leaves the driver object behind.
TEST(Reload, UnloadingWhileTheHostHoldsTheDriverDetachesEveryCallback) {
  const std::string hostDir = NTest::MakeHostDir("unload_host");
  ASSERT_FALSE(hostDir.empty());
  THost host;
  TDriverLibrary lib;
  ASSERT_TRUE(lib.Loaded());
  TConstString dir(hostDir);
  void *driver = nullptr;
  ASSERT_FALSE(lib.Create(&driver, 22, dir.get()).raised);
  TSimClient sim;
  ASSERT_TRUE(StartStreaming(driver, host, 4300, sim));

  // The host forgets shutdown and release: the object outlives the module.
  lib.Unload();
  ASSERT_EQ(GetModuleHandleA("TMDvs.dll"), nullptr);
  TSimTotals t = sim.Totals();
  EXPECT_EQ(t.MessageCallbacks, 0) << "no login keeps the driver's message callback";
  EXPECT_EQ(t.StreamFunctions, 0) << "nor its stream callback";
  EXPECT_EQ(t.OpenStreams, 0) << "every channel closed";
  EXPECT_EQ(sim.InjectMessage(0, 0x10000009, 1), -1) << "a break finds no callback";
  Sleep(200);
  EXPECT_EQ(sim.Totals().DeadCallbacks, 0) << "no call into the unloaded module";
}

} // namespace
