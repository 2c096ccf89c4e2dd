// Wait.h - polls a condition until it holds or the time is up.
#pragma once
#include <windows.h>

namespace NTest {

template <class P> bool WaitFor(P pred, DWORD ms = 5000) {
  const DWORD t0 = GetTickCount();
  while (!pred()) {
    if (GetTickCount() - t0 > ms) return false;
    Sleep(2);
  }
  return true;
}

} // namespace NTest
