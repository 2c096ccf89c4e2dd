// Attached.h - what the simulated SDK still holds of a driver, as one text
// that a failing check prints whole.
#pragma once
#include "sim/SimClient.h"
#include <string>

namespace NTest {

// Message callbacks and stream functions attached to logins, and channels open.
inline std::string Attached(const TSimClient &sim) {
  const TSimTotals t = sim.Totals();
  return std::to_string(t.MessageCallbacks) + " message callbacks, " + std::to_string(t.StreamFunctions) +
         " stream functions, " + std::to_string(t.OpenStreams) + " open streams";
}
inline const std::string NothingAttached = "0 message callbacks, 0 stream functions, 0 open streams";

} // namespace NTest
