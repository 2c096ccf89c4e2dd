// A host that reloads the driver for months: load, factory, a server logged
// on and streaming, shutdown, release and unload, many times in one process;
// and a host that unloads the library while it still holds the driver.
// A program of its own: it measures the whole process.
#include "common/Attached.h"
#include "common/HostDir.h"
#include "common/Wait.h"
#include "hostkit/HostKit.h"
#include "sim/SimClient.h"
#include "common/ServerRecord.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <map>

namespace {
using namespace NHostKit;
using NTest::WaitFor;

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

// The busy blocks of every heap of the process by size, their bytes, and
// the kernel handles.
struct TSnapshot {
  std::map<size_t, int> blocks;
  size_t bytes = 0;
  unsigned handles = 0;
};
TSnapshot Snapshot() {
  TSnapshot s;
  HANDLE heaps[256];
  const DWORD n = GetProcessHeaps(256, heaps);
  for (DWORD i = 0; i < n && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY e{};
    while (HeapWalk(heaps[i], &e))
      if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
        ++s.blocks[e.cbData];
        s.bytes += e.cbData;
      }
    HeapUnlock(heaps[i]);
  }
  s.handles = HandleCount();
  return s;
}

// What grew between two heap pictures, for the failure message.
std::string Growth(const TSnapshot &a, const TSnapshot &b) {
  std::string out;
  for (const auto &[size, count] : b.blocks) {
    const auto it = a.blocks.find(size);
    const int before = it == a.blocks.end() ? 0 : it->second;
    if (count > before) out += " " + std::to_string(count - before) + " x " + std::to_string(size) + ";";
  }
  return out;
}

// A host with the driver loaded from its folder, and the simulated SDK the
// driver loaded.
struct THost {
  explicit THost(const std::string &hostDir) : dir(hostDir) {
    cb.status = [this](int32_t, bool on, uint32_t) { onLine += on; };
    frame.frame = [this](const void *) { ++frames; };
  }
  // A server registered, logged on by the driver's worker and streaming one
  // channel into the host's callback; the first step that failed, or "".
  std::string StartStreaming(int32_t port) {
    if (!lib.Loaded()) return "load";
    if (lib.Create(&driver, 22, dir.get()).raised || !driver) return "factory";
    TDvrInfo r = Server("127.0.0.1", port, 1);
    r.StatusCallback = {const_cast<void *>(cb.StatusMethod().code), cb.StatusMethod().data};
    if (CallPosition(driver, 37, TArgs().Ptr(&r)).al() == 0) return "registration";
    if (CallPosition(driver, 3).eax != 1) return "Init";
    if (!sim.Bind(GetModuleHandleA("NVSDK.dll")) ||
        sim.AddServer("127.0.0.1", port, "admin", "1234", 1, sbAccept) != 0 ||
        sim.SetStream(0, 100, 1000, 1000, 100, 5) != 0)
      return "simulated server";
    if (!WaitFor([&] { return onLine > 0; }, 30000)) return "logon";
    const TConstString ip("127.0.0.1");
    TArgs args;
    args.Str(ip.get()).Int(port).Int(0).Method(frame.FrameMethod());
    for (int k = 0; k < 4; ++k) args.NilMethod();
    CallPosition(driver, 41, args);
    if (CallPosition(driver, 58, TArgs().Str(ip.get()).Int(port).Int(0)).i32() != 0) return "capture";
    return WaitFor([&] { return frames >= 3; }, 30000) ? "" : "frames";
  }

  const TConstString dir;
  THostCallbacks cb, frame;
  std::atomic<int> onLine{0}, frames{0};
  TDriverLibrary lib;
  void *driver = nullptr;
  TSimClient sim;
};

// One cycle as a host runs the driver; the step that failed, or "".
std::string Cycle(const std::string &hostDir, int32_t port) {
  THost host(hostDir);
  const std::string failed = host.StartStreaming(port);
  if (host.driver) {
    CallPosition(host.driver, 110);
    Release(host.driver);
  }
  host.lib.Unload();
  return failed;
}

// What one load and unload of a module leaves behind: bytes and handles.
struct TResidue {
  double bytes = 0, handles = 0;
};

// The static C++ run-time leaves a little behind at every unload, whatever
// the module does (its thread library's implicit data for the loading thread
// and its once-made objects). Measured on a module that does nothing else.
TResidue RuntimeResidue() {
  const std::string probe = ExeDir() + "runtime_probe.dll";
  for (int i = 0; i < 5; ++i) FreeLibrary(LoadLibraryA(probe.c_str()));
  const TSnapshot before = Snapshot();
  constexpr int loads = 40;
  for (int i = 0; i < loads; ++i) {
    HMODULE m = LoadLibraryA(probe.c_str());
    if (!m) return {};
    FreeLibrary(m);
  }
  const TSnapshot after = Snapshot();
  return {(static_cast<double>(after.bytes) - before.bytes) / loads,
          (static_cast<double>(after.handles) - before.handles) / loads};
}

// The cycles of each third of the measurement: 30, or 20 where the test
// runs emulated (TM_EMULATED, set by its CTest entry), where a cycle takes
// 1.5 s. A growth per cycle shows in every third either way; the system's
// own caches now and then take a few kilobytes at once, in one third or
// two, and shorter thirds average that out less.
int PartCycles() {
  char v[8];
  return GetEnvironmentVariableA("TM_EMULATED", v, sizeof v) > 0 ? 20 : 30;
}

TEST(Reload, LoadingAndUnloadingRepeatedlyLeavesOnlyTheRunTimesResidue) {
  const std::string hostDir = NTest::MakeHostDir("reload_host");
  const TResidue runtime = RuntimeResidue();
  // The heap and the handles after 10 cycles to settle, then after each of
  // three parts (cycles 40, 70 and 100, or 30, 50 and 70 emulated).
  constexpr int parts = 3;
  const int part = PartCycles(), last = 10 + parts * part;
  TSnapshot at[parts + 1];
  for (int cycle = 1, k = 0; cycle <= last; ++cycle) {
    ASSERT_EQ(Cycle(hostDir, 4200), "") << "the step that failed in cycle " << cycle << " over " << hostDir;
    if (cycle >= 10 && (cycle - 10) % part == 0) at[k++] = Snapshot();
  }
  // A cycle loads two modules with the C++ run-time: the driver and the
  // simulated SDK (PTZ.dll has none).
  constexpr int modules = 2;
  double bytes[parts], handles[parts];
  for (int k = 0; k < parts; ++k) {
    bytes[k] = (static_cast<double>(at[k + 1].bytes) - at[k].bytes) / part;
    handles[k] = (static_cast<double>(at[k + 1].handles) - at[k].handles) / part;
  }
  std::printf("run-time residue of one module load: %.1f bytes, %.2f handles\n", runtime.bytes,
              runtime.handles);
  std::printf("per cycle in three parts of %d cycles: %.1f / %.1f / %.1f bytes, %.2f / %.2f / %.2f handles\n", part,
              bytes[0], bytes[1], bytes[2], handles[0], handles[1], handles[2]);
  // Beyond the run-time's residue nothing may grow with the cycles. Something
  // of ours left per cycle shows in every part.
  EXPECT_LE(*std::min_element(bytes, bytes + parts), modules * runtime.bytes + 64)
      << "grown:" << Growth(at[0], at[parts]);
  EXPECT_LE(*std::min_element(handles, handles + parts), modules * runtime.handles + 0.05);
}

// Must stay the program's last test: it leaves the driver object behind.
TEST(Reload, UnloadingWhileTheHostHoldsTheDriverDetachesEveryCallback) {
  THost host(NTest::MakeHostDir("unload_host"));
  ASSERT_EQ(host.StartStreaming(4300), "") << "the step that failed";
  // The host forgets shutdown and release: the object outlives the module.
  host.lib.Unload();
  ASSERT_EQ(GetModuleHandleA("TMDvs.dll"), nullptr);
  EXPECT_EQ(NTest::Attached(host.sim), NTest::NothingAttached) << "no login keeps a callback of the driver";
  EXPECT_EQ(host.sim.InjectMessage(0, 0x10000009, 1), -1) << "a break finds no callback";
  Sleep(200);
  EXPECT_EQ(host.sim.Totals().DeadCallbacks, 0) << "no call into the unloaded module";
}

} // namespace
