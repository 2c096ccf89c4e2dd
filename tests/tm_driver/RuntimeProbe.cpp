// runtime_probe.dll - a module built as the driver is (static C++ run-time,
// the same thread library) that does nothing of its own: what it leaves
// behind per load and unload is the run-time's residue, which the reload
// test tells apart from the driver's.
// Like the driver, it hands the run-time's reserve for exceptions back when
// it is unloaded.
#include <windows.h>
#include <string>

namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {
volatile size_t Sink;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    const std::string s(100, 'x');
    Sink = s.size();
  } else if (reason == DLL_PROCESS_DETACH && !reserved) {
    __gnu_cxx::__freeres();
  }
  return TRUE;
}
