// U_Library.cpp - load and unload sequence and the factory.
#include "entry/U_Library.h"
#include "entry/U_IDeviceDriverInterface.h"
#include "support/U_DebugLog.h"
#include "support/U_Define.h"
#include "support/U_HostTypes.h"
#include "support/U_MainThread.h"
#include "support/WinApi.h"
#include "tm_driver/U_ZEZov.h"
#include <string>

// The C++ run-time's reserve for exceptions thrown when memory runs out: made
// at load, kept for the process unless handed back. A library that is loaded
// and unloaded again and again must hand it back.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {

// Runs one unload step: an error in it must not keep the later steps from
// withdrawing what would otherwise call into a module that is gone.
template <class F> void UnloadStep(F &&step) {
  try {
    step();
  } catch (...) {
  }
}

} // namespace

void LibraryInitialize() {
  // 1: the main thread, then the process-wide shared heap.
  NMainThread::Init();
  try {
    NSharedHeap::Join();
    // 4.1: each privilege on its own; failures are ignored.
    for (const char *p : {"SeDebugPrivilege", "SeShutdownPrivilege", "SeSystemtimePrivilege"})
      NWin::NSystem::EnablePrivilege(p);
    // 4.2: the public utility object with the worker pool.
    CreatePublicUnit();
  } catch (...) {
    // The library cannot work without these: undo them in the unload order
    // (no worker has run yet) and let the load fail.
    UnloadStep([] { FreePublicUnit(1); });
    UnloadStep([] { NMainThread::Done(false); });
    UnloadStep([] { NSharedHeap::Leave(false); });
    throw;
  }
  // 4.3: the start-up banner; a banner that cannot be written is no reason
  // to refuse the load.
  try {
    WriteDebugLog("zq>>" + std::string(43, 'd') + std::string(51, '-'), 1);
  } catch (...) {
  }
}

void LibraryFinalize(bool processTerminating) {
  if (processTerminating) {
    // The process is ending: the driver object's destruction would wait for
    // threads the system has already ended, and every handle, window and
    // block goes with the process anyway.
    NMainThread::Done(true);
    NSharedHeap::Leave(true);
    return;
  }
  UnloadStep([] { TTMDvs::LibraryUnloading(); });
  // 1: entries 0..46; releasing 22 destroys the object when the host holds
  // no reference any more.
  for (void *&entry : DriverTable) {
    void *intf = entry;
    entry = nullptr;
    UnloadStep([intf] { InterfaceRelease(intf); });
  }
  // A driver object the host still holds outlives the module: its worker and
  // the SDK's threads must not call into the module once it is gone.
  UnloadStep([] { TTMDvs::DetachLiveDrivers(); });
  UnloadStep([] { UnregisterMessageWindowClass(); });
  // 2: the public utility object, if it still exists. This runs in the
  // module's detach notification, under the loader lock: the pool must not
  // wait for thread handles there (see TThreadManage's teardown modes).
  UnloadStep([] { FreePublicUnit(1); });
  UnloadStep([] { NMainThread::Done(false); });
  UnloadStep([] { NSharedHeap::Leave(false); });
  __gnu_cxx::__freeres();
}

void CreateDevice(void **driver, uint32_t driverType, const char *hostDir) {
  const uint8_t type = static_cast<uint8_t>(driverType & 0xFF);
  if (type == TMDriverType) {
    // Construction reference 1; the constructor stores the object into the
    // table (2); dropping the construction reference leaves the table's.
    auto *obj = new TTMDvs(HostInterfaceTables(), type, &DriverTable[TMDriverType], hostDir);
    obj->Release();
  }
  // Types above 46 lie outside the table and, like every type not served, give nil.
  void *entry = type < 47 ? DriverTable[type] : nullptr;
  InterfaceAssign(driver, entry);
}
