// TMDvs.cpp - the library's main unit: the module's load and unload
// notifications and the exported factory.
#include "entry/U_IDeviceDriverInterface.h"
#include "entry/U_Library.h"
#include <windows.h>
#include <cstdint>

// stdcall, 12 bytes: the caller's interface variable, the driver type (only
// the low 8 bits count) and the host directory as a host string.
extern "C" void __stdcall ORVA_CreateDevice(void **driver, uint32_t driverType,
                                            const char *hostDir) {
  struct TArgs {
    void **driver;
    uint32_t type;
    const char *hostDir;
  } args{driver, driverType, hostDir};
  RunGuarded([](void *p) {
    auto *a = static_cast<TArgs *>(p);
    CreateDevice(a->driver, a->type, a->hostDir);
  }, &args);
}

// An error escaping the notification would end the host's process. A load
// that fails has undone its steps and answers FALSE; the loader then sends
// the detach notification, which finds nothing loaded and does nothing.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  static bool loaded = false;
  switch (reason) {
  case DLL_PROCESS_ATTACH:
    try {
      LibraryInitialize();
    } catch (...) {
      return FALSE;
    }
    loaded = true;
    break;
  case DLL_PROCESS_DETACH:
    if (!loaded) break;
    loaded = false;
    try {
      LibraryFinalize(reserved != nullptr);
    } catch (...) {
    }
    break;
  }
  return TRUE;
}
