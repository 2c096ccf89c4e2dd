// Ends its process while a pooled job is running.
#include "common/Process.h"

int main() {
  HMODULE m = LoadLibraryA((NTest::ExeDir() + "pool_testlib.dll").c_str());
  if (!m) return 1;
  auto start = reinterpret_cast<int(__cdecl *)(int, int)>(GetProcAddress(m, "StartJobs"));
  if (start(2, 1) != 2) return 2;
  Sleep(50);
  ExitProcess(9);
}
