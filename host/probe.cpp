// probe.cpp - loads TMDvs.dll, calls ORVA_CreateDevice and prints the result.
#include <windows.h>
#include <cstdint>
#include <cstdio>

using TCreateDevice = void(__stdcall *)(void **driver, uint32_t type, const char *hostDir);

int main() {
  HMODULE m = LoadLibraryA("TMDvs.dll");
  if (!m) {
    std::printf("TMDvs.dll did not load (error %lu)\n", GetLastError());
    return 1;
  }
  auto create = reinterpret_cast<TCreateDevice>(GetProcAddress(m, "ORVA_CreateDevice"));
  if (!create) {
    std::printf("ORVA_CreateDevice is not exported\n");
    return 1;
  }
  void *driver = nullptr;
  create(&driver, 22, nullptr);
  std::printf("ORVA_CreateDevice(22) gave %p\n", driver);
  FreeLibrary(m);
  return 0;
}
