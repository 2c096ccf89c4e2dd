// A module that owns a public utility object the way the driver library
// does, to test unloading while workers are parked or running.
#include "support/U_Define.h"
#include "support/U_Thread.h"
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl StartJobs(int count, int forever) {
  int ok = 0;
  for (int i = 0; i < count; ++i) {
    TThreadBase *t = nullptr;
    if (PublicUnit->ThreadManage->RunJob(t, "", [forever](volatile uint8_t &term, TThreadBase *, int32_t) {
          while (forever && !term) Sleep(1);
        }, i, false) == 0)
      ++ok;
  }
  return ok;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) CreatePublicUnit();
  if (reason == DLL_PROCESS_DETACH) FreePublicUnit(reserved ? 2 : 1);
  return TRUE;
}
