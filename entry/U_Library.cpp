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

void LibraryInitialize() {
  // 1: the main thread, then the process-wide shared heap.
  NMainThread::Init();
  NSharedHeap::Join();
  // 4.1: each privilege on its own; failures are ignored.
  for (const char *p : {"SeDebugPrivilege", "SeShutdownPrivilege", "SeSystemtimePrivilege"})
    NWin::NSystem::EnablePrivilege(p);
  // 4.2: the public utility object with the worker pool.
  CreatePublicUnit();
  // 4.3: the start-up banner.
  WriteDebugLog("zq>>" + std::string(43, 'd') + std::string(51, '-'), 1);
}

void LibraryFinalize(bool processTerminating) {
  if (processTerminating) {
    // The process is ending: the driver object's destruction would wait for
    // threads the system has already ended, and every handle, window and
    // block goes with the process anyway.
    return;
  }
  // 1: entries 0..46; releasing 22 destroys the object when the host holds
  // no reference any more.
  for (void *&entry : DriverTable) {
    void *intf = entry;
    entry = nullptr;
    InterfaceRelease(intf);
  }
  // A driver object the host still holds outlives the module: its worker and
  // the SDK's threads must not call into the module once it is gone.
  TTMDvs::DetachLiveDrivers();
  UnregisterMessageWindowClass();
  // 2: the public utility object, if it still exists. This runs in the
  // module's detach notification, under the loader lock: the pool must not
  // wait for thread handles there (see TThreadManage's teardown modes).
  FreePublicUnit(1);
  NMainThread::Done(false);
  NSharedHeap::Leave(false);
  __gnu_cxx::__freeres();
}

void CreateDevice(void **driver, uint32_t driverType, const char *hostDir) {
  const uint8_t type = static_cast<uint8_t>(driverType & 0xFF);
  if (type == TMDriverType) {
    // Construction reference 1; the constructor stores the object into the
    // table (2); dropping the construction reference leaves the table's.
    auto *obj = new TTMDvs(type, &DriverTable[TMDriverType], hostDir);
    obj->Release();
  }
  // Types above 46 lie outside the table and, like every type not served, give nil.
  void *entry = type < 47 ? DriverTable[type] : nullptr;
  InterfaceAssign(driver, entry);
}
