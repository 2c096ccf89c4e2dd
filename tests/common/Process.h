// Process.h - what tests read about their own process.
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <string>

namespace NTest {

// The folder of the test program, with a trailing backslash.
inline std::string ExeDir() {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string p(exe);
  return p.substr(0, p.find_last_of('\\') + 1);
}

// The threads of this process, as the system lists them.
inline int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  int n = 0;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snap);
  return n;
}

} // namespace NTest
