// Clock.cpp - the system clock source and the date-time conversion.
#include "support/Clock.h"
#include <atomic>
#include <cstring>

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

// The last stamp of StampByTick: the source and tick it was made for and
// the date-time, as two halves. Written under a sequence number that is odd
// while a writer is at it; readers retry nothing, they compute the stamp
// themselves when they find it changing.
struct TLastStamp {
  std::atomic<uint32_t> Sequence{0};
  std::atomic<TClockSource *> Source{nullptr};
  std::atomic<uint32_t> Tick{0};
  std::atomic<uint32_t> Low{0}, High{0};
};
TLastStamp lastStamp;

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

double StampByTick() {
  TClockSource *source = &Source();
  const uint32_t tick = source->TickCount();
  uint32_t seq = lastStamp.Sequence.load(std::memory_order_acquire);
  if ((seq & 1) == 0 && lastStamp.Tick.load(std::memory_order_relaxed) == tick &&
      lastStamp.Source.load(std::memory_order_relaxed) == source) {
    const uint64_t bits = lastStamp.Low.load(std::memory_order_relaxed) |
                          static_cast<uint64_t>(lastStamp.High.load(std::memory_order_relaxed)) << 32;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (lastStamp.Sequence.load(std::memory_order_relaxed) == seq) {
      double stamp;
      std::memcpy(&stamp, &bits, sizeof stamp);
      return stamp;
    }
  }
  const double stamp = ToDateTime(source->LocalTime());
  // Published by one writer at a time; a thread that finds another writing
  // just uses its own value.
  if ((seq & 1) == 0 && lastStamp.Sequence.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire)) {
    uint64_t bits;
    std::memcpy(&bits, &stamp, sizeof bits);
    lastStamp.Source.store(source, std::memory_order_relaxed);
    lastStamp.Tick.store(tick, std::memory_order_relaxed);
    lastStamp.Low.store(static_cast<uint32_t>(bits), std::memory_order_relaxed);
    lastStamp.High.store(static_cast<uint32_t>(bits >> 32), std::memory_order_relaxed);
    lastStamp.Sequence.store(seq + 2, std::memory_order_release);
  }
  return stamp;
}

} // namespace NClock
