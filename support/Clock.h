// Clock.h - the one seam for time: local clock, tick count and sleeping.
// Production code asks NClock; tests install a fake source so that waits of
// seconds run in milliseconds.
#pragma once
#include <windows.h>
#include <cstdint>

namespace NClock {

class TClockSource {
public:
  virtual ~TClockSource() = default;
  virtual SYSTEMTIME LocalTime() = 0;  // wall clock, with milliseconds
  virtual uint32_t TickCount() = 0;     // GetTickCount
  virtual void Sleep(uint32_t ms) = 0;
};

// The source in use; the system's own unless a test installed another.
TClockSource &Source();
// Installs a source (nil restores the system's). The caller keeps ownership
// and must keep it alive while any thread may still ask for the time.
void SetSource(TClockSource *source);

inline SYSTEMTIME LocalTime() { return Source().LocalTime(); }
inline uint32_t Ticks() { return Source().TickCount(); }
inline void Sleep(uint32_t ms) { Source().Sleep(ms); }

// Local time as the host's date-time: days since 1899-12-30, time of day as
// the fraction.
double ToDateTime(const SYSTEMTIME &t);
inline double Now() { return ToDateTime(LocalTime()); }
// Now, read from the local clock only when the millisecond tick has moved on
// since the last stamp (of any thread); in between, that stamp again. For
// paths that stamp thousands of frames a second: the clock's own resolution
// is no finer than the tick's.
double StampByTick();

} // namespace NClock
