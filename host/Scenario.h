// Scenario.h - what the demo host plays: the simulated servers, what the host
// registers for each, and a timeline of events. A small line-based text
// format (see README.md, "The demo host"); ParseScenario reports the first
// fault with its line number. Repeated events ("every") are expanded here, so
// the host sees one plain timeline.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace NDemo {

// Times of events, the duration and the warm-up: 0 .. 24 h.
constexpr int32_t MaxScenarioMs = 24 * 3600 * 1000;
// The shortest period of an "every" line.
constexpr int32_t MinRepeatMs = 100;
// At most this many events in all ("at" lines and repetitions, the shutdown
// included): a scenario that would make more is refused, not played.
constexpr size_t MaxScenarioEvents = 100000;

enum class TExpect { Any, OnLine, OffLine };

// One simulated video server and the host's registration of it.
struct TServerEntry {
  std::string name;     // the scenario's name for it (events refer to it)
  std::string address;  // what the host registers: dotted address or host name
  int32_t port = 0;
  std::string simUser = "admin", simPassword = "admin"; // what the server accepts
  std::string user, password;                           // what the host registers
  int32_t channels = 4;
  int32_t behaviour = 0;   // TSimBehaviour
  int32_t logonDelayMs = 0;
  int32_t fps = 25;
  int32_t videoMin = 2000, videoMax = 8000;
  int32_t audio = 320;
  int32_t keyInterval = 25;
  TExpect expect = TExpect::OnLine;
  bool registerAtStart = true; // false: an "add" event registers it
  bool simulated = true;       // false: nothing answers at its address
  int line = 0;
};

enum class TEventKind { Open, Close, Break, Reset, Add, Delete, Corrupt, Shutdown };
const char *EventName(TEventKind k);

struct TEvent {
  int32_t atMs = 0;
  TEventKind kind = TEventKind::Shutdown;
  int server = -1;   // index into servers; -1 for shutdown
  int channel = -1;  // -1: every channel (open, close); corrupt needs one
  int line = 0;      // the "at" or "every" line (shutdown: or the duration line)
};

struct TScenario {
  std::string title;
  int32_t offlineDelayMs = 0;
  int32_t shutdownLimitMs = 10000;
  bool autoOpen = true;
  std::vector<TServerEntry> servers;
  std::vector<TEvent> events; // in time order (equal times: in the order written), shutdown last
  int32_t shutdownAtMs = 0;   // "duration", or the time of "at <seconds> shutdown"
  int32_t warmUpMs = 0;       // memory and handles judged after this; 0: not judged
};

// Parses the text; on failure returns false and sets error to
// "line N: what is wrong" (line 0 for faults of the whole scenario).
bool ParseScenario(const std::string &text, TScenario &out, std::string &error);

// The scenario the host plays when none is named on the command line.
const std::string &DefaultScenarioText();

} // namespace NDemo
