// Clock.cpp - the system clock source and the date-time conversion.
#include "support/Clock.h"
#include <atomic>

namespace NClock {
namespace {

class TSystemClock final : public TClockSource {
public:
  SYSTEMTIME LocalTime() override {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return t;
  }
  uint32_t TickCount() override { return ::GetTickCount(); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

TSystemClock systemClock;
std::atomic<TClockSource *> current{&systemClock};

// Days from 0001-01-01 to the given date in the proleptic Gregorian calendar.
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468; // days since 1970-01-01
}

} // namespace

TClockSource &Source() { return *current.load(std::memory_order_acquire); }

void SetSource(TClockSource *source) {
  current.store(source ? source : &systemClock, std::memory_order_release);
}

double ToDateTime(const SYSTEMTIME &t) {
  // 1899-12-30 is day 0 of the host's date-time; 1970-01-01 is day 25569.
  const long days = DaysFromCivil(t.wYear, t.wMonth, t.wDay) + 25569;
  const double frac =
      (t.wHour * 3600000.0 + t.wMinute * 60000.0 + t.wSecond * 1000.0 + t.wMilliseconds) /
      86400000.0;
  return static_cast<double>(days) + frac;
}

} // namespace NClock
