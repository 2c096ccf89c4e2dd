// Growth.h - the verdict of a long run on the process's private memory,
// handle count and thread count: once the warm-up is over they must stop
// rising. Pure functions of the samples, so the judgement is tested on
// made-up series (ResourceUse.h takes the samples).
//
// Each quantity is fitted by least squares over the judged samples (those at
// or after the warm-up) as  value = a + rate * t  and, for memory and
// handles when the thread count is known,  + perThread * threads:  every
// stream thread has a stack and handles of its own, and a link break ends a
// server's stream threads for a few seconds, so the figures swing with the
// thread count by megabytes and tens of handles. Taking that out leaves what
// time alone adds. The fit is made again a few times, each time without the
// fifth of the samples farthest above the line before: a reconnect's
// transient handles and a burst's buffers, always on top of what the
// process keeps, do not draw it up.
//
// A quantity fails when its rate per minute and its rise over the judged
// window (rate times window) both exceed their limits: the rise keeps out
// noise and the one-off step a heap makes as it grows, the rate keeps out a
// one-off step in a long run (spread over an hour it is a small rate, where a
// leak keeps its rate however long the run).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace NDemo {

struct TResourceSample {
  double t = 0;             // seconds from the start of the run
  int64_t privateBytes = 0; // the process's private memory
  int64_t handles = 0;      // its handle count
  int64_t threads = 0;      // its thread count; 0: not known (no correction, not judged)
};

// Fewer judged samples than this: no verdict (see TGrowth::judged).
constexpr int GrowthMinSamples = 10;
// The share of the samples left out of each refit (those farthest above the
// line), and the refits made.
constexpr double GrowthTrimmed = 0.2;
constexpr int GrowthRefits = 4;

// Private memory fails above a rise of 1.5 MiB and a rate of 1.5 MiB a
// minute, half way (on a log scale) between the two figures below.
// A heap block of 64 bytes per frame at 800 frames a second is 2.9 MiB a
// minute (3.3 with the heap's own share, as measured under Wine); a steady
// host measured in the emulated guest, past its first two minutes, moved by
// less than 0.8 MiB a minute over windows of three minutes (and by up to 4
// over windows of 50 s, which is why the short soak judges three minutes).
constexpr double MemoryRiseLimit = 1.5 * 1024 * 1024;
constexpr double MemoryRateLimit = 1.5 * 1024 * 1024; // bytes per minute
// Handles fail above a rise of 8 and a rate of one every two minutes. A
// handle per log-on is 10 a minute in the short soak and 1.2 in the hour's;
// the steady host rose by at most 1.3 over three minutes in one guest run
// and by 2.9 (0.96 a minute, fitted) in another.
constexpr double HandleRiseLimit = 8;
constexpr double HandleRateLimit = 0.5; // per minute
// Threads fail above a rise of 8 and the same rate: a link break takes a
// server's four stream threads away until it is back, and two servers may
// be away at once, so the count swings by 8 in a short window.
constexpr double ThreadRiseLimit = 8;
constexpr double ThreadRateLimit = 0.5; // per minute

// One quantity's fit.
struct TTrend {
  double level = 0;     // the fitted value at the start of the judged window (thread count as at its mean)
  double rate = 0;      // per minute
  double rise = 0;      // rate times the judged window
  double perThread = 0; // what each thread adds (0 where threads are not known or not fitted)
};

// The figures of one judgement and its verdict.
struct TGrowth {
  bool judged = false;      // false: too few samples after the warm-up; `note` says so
  std::string note;         // why there is no verdict, else empty
  int samples = 0;          // judged samples
  double from = 0, to = 0;  // times of the first and the last judged sample
  bool threadsKnown = false; // every judged sample has a thread count
  TTrend memory, handles, threads;
  std::vector<std::string> problems; // empty: passed (or not judged)
};

// Judges the samples (any order) taken after `warmUp` seconds. `reconnects`
// is the number of log-ons after the warm-up, only told in the messages (a
// handle per log-on is the usual leak).
TGrowth MeasureGrowth(const std::vector<TResourceSample> &samples, double warmUp, int reconnects);

// The problems of MeasureGrowth: empty when the run passed, and also when
// there were too few samples to judge (ask MeasureGrowth for the note).
std::vector<std::string> JudgeGrowth(const std::vector<TResourceSample> &samples, double warmUp, int reconnects);

// Bytes for a message: "512 B", "12 KiB", "1.7 MiB".
std::string GrowthBytes(double bytes);

} // namespace NDemo
