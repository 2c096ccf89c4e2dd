// A host that ends its process while it still holds the driver.
#include <windows.h>
#include <cstdint>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string dir(exe);
  dir = dir.substr(0, dir.find_last_of('\\') + 1);
  HMODULE m = LoadLibraryA((dir + "TMDvs.dll").c_str());
  if (!m) return 1;
  auto create = reinterpret_cast<void(__stdcall *)(void **, uint32_t, const char *)>(
      GetProcAddress(m, "ORVA_CreateDevice"));
  static char block[8 + MAX_PATH] = {};
  const std::string host = dir + "child_host";
  const int32_t rc = -1, len = static_cast<int32_t>(host.size());
  std::memcpy(block, &rc, 4);
  std::memcpy(block + 4, &len, 4);
  std::memcpy(block + 8, host.c_str(), host.size());
  void *d = nullptr;
  create(&d, 22, block + 8);
  if (!d) return 2;
  if (argc > 1 && std::strcmp(argv[1], "hold") == 0) ExitProcess(7);
  return 0;
}
