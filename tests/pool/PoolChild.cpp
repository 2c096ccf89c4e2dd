// Ends its process while a pooled job is running.
#include <windows.h>
#include <string>

int main() {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string dir(exe);
  dir = dir.substr(0, dir.find_last_of('\\') + 1);
  HMODULE m = LoadLibraryA((dir + "pool_testlib.dll").c_str());
  if (!m) return 1;
  auto start = reinterpret_cast<int(__cdecl *)(int, int)>(GetProcAddress(m, "StartJobs"));
  if (start(2, 1) != 2) return 2;
  Sleep(50);
  ExitProcess(9);
}
