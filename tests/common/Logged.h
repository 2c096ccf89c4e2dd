// Logged.h - a check on the debugger output a test captured, whose failure
// prints every line received.
#pragma once
#include "hostkit/DebugCapture.h"
#include <gtest/gtest.h>
#include <string>

namespace NTest {

// Exactly `times` of the lines written so far contain `part`.
inline ::testing::AssertionResult Logged(NHostKit::TDebugCapture &capture, const std::string &part,
                                         size_t times = 1) {
  capture.Sync();
  size_t n = 0;
  std::string all;
  for (const std::string &line : capture.Lines()) {
    n += line.find(part) != std::string::npos;
    all += line + "\n";
  }
  return (n == times ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << n << " line(s) with \"" << part << "\", wanted " << times << ", in:\n"
         << all;
}

} // namespace NTest
