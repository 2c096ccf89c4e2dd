// TMDvs.cpp - the library's main unit: the module's load and unload
// notifications and the exported factory.
#include "entry/U_IDeviceDriverInterface.h"
#include "entry/U_Library.h"
#include "support/U_Errors.h"
#include <windows.h>
#include <cstdint>
#include <new>

// stdcall, 12 bytes: the caller's interface variable, the driver type (only
// the low 8 bits count) and the host directory as a host string.
extern "C" void __stdcall ORVA_CreateDevice(void **driver, uint32_t driverType,
                                            const char *hostDir) {
  const char *cls = "Exception", *msg = "Unknown error";
  try {
    CreateDevice(driver, driverType, hostDir);
    return;
  } catch (const EHostError &e) {
    cls = e.ClassName();
    msg = InternHostText(e.what());
  } catch (const std::bad_alloc &) {
    cls = "EOutOfMemory";
    msg = "Out of memory";
  } catch (...) {
  }
  RaiseHostException(cls, msg);
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
