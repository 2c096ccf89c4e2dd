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

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
  case DLL_PROCESS_ATTACH:
    LibraryInitialize();
    break;
  case DLL_PROCESS_DETACH:
    LibraryFinalize(reserved != nullptr);
    break;
  }
  return TRUE;
}
