// TMDvs.cpp - the library's main unit: load and unload, and the exported factory.
#include <windows.h>
#include <cstdint>

extern "C" void __stdcall ORVA_CreateDevice(void **driver, uint32_t driverType,
                                                                  const char *hostDir) {
  // The factory arrives with the driver object; until then no type is served.
  (void)driverType;
  (void)hostDir;
  if (driver) *driver = nullptr;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
