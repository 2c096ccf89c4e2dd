// FakeClock.h - a clock source for tests: virtual ticks and wall time that
// move only when someone sleeps or the test advances them.
#pragma once
#include "support/Clock.h"
#include <atomic>

namespace NTest {

class TFakeClock final : public NClock::TClockSource {
public:
  // Installs itself as the library's clock; the destructor restores the system's.
  explicit TFakeClock(uint32_t startTicks = 1000000);
  ~TFakeClock() override;

  SYSTEMTIME LocalTime() override;
  uint32_t TickCount() override { return ticks_.load(); }
  // Advances virtual time at once; yields the real thread for a moment so
  // other threads still make progress.
  void Sleep(uint32_t ms) override;

  void Advance(uint32_t ms) { ticks_ += ms; }
  void SetTicks(uint32_t t) { ticks_ = t; }
  // Total virtual milliseconds slept, by all threads.
  uint64_t Slept() const { return slept_.load(); }

private:
  std::atomic<uint32_t> ticks_;
  std::atomic<uint64_t> slept_{0};
  uint32_t start_;
};

} // namespace NTest
