// A host that ends its process while it still holds the driver.
#include "hostkit/HostKit.h"
#include <cstring>

int main(int argc, char **argv) {
  NHostKit::TDriverLibrary lib;
  if (!lib.Loaded()) return 1;
  static NHostKit::TConstString host(NHostKit::ExeDir() + "child_host");
  void *d = nullptr;
  lib.Create(&d, 22, host.get());
  if (!d) return 2;
  if (argc > 1 && std::strcmp(argv[1], "hold") == 0) ExitProcess(7);
  return 0;
}
