// runtime_probe.dll - a module built as the driver is (static C++ run-time,
// the same thread library) that does nothing of its own: what it leaves
// behind per load and unload is the run-time's residue, which the reload
// test tells apart from the driver's.
#include <windows.h>
#include <string>

namespace {
volatile size_t Sink;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    const std::string s(100, 'x');
    Sink = s.size();
  }
  return TRUE;
}
