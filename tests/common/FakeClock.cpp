// FakeClock.cpp
#include "common/FakeClock.h"

namespace NTest {

TFakeClock::TFakeClock(uint32_t startTicks) : ticks_(startTicks), start_(startTicks) {
  NClock::SetSource(this);
}

TFakeClock::~TFakeClock() { NClock::SetSource(nullptr); }

SYSTEMTIME TFakeClock::LocalTime() {
  // 2026-12-08 07:15:45.123 plus the virtual time that has passed.
  FILETIME ft;
  SYSTEMTIME base{2026, 12, 2, 8, 7, 15, 45, 123};
  ::SystemTimeToFileTime(&base, &ft);
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  u.QuadPart += uint64_t(ticks_.load() - start_) * 10000u;
  ft.dwLowDateTime = u.LowPart;
  ft.dwHighDateTime = u.HighPart;
  SYSTEMTIME t;
  ::FileTimeToSystemTime(&ft, &t);
  return t;
}

void TFakeClock::Sleep(uint32_t ms) {
  ticks_ += ms;
  slept_ += ms;
  ::Sleep(ms ? 1 : 0);
}

} // namespace NTest
