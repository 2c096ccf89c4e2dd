// Check.h - predicates for EXPECT_TRUE/EXPECT_FALSE whose failure says what
// the test saw, not only the expression.
#pragma once
#include "hostkit/HostKit.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

namespace NTest {

// `text` holds `part`; a failure prints the whole text.
inline ::testing::AssertionResult Contains(const std::string &text, const std::string &part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess() << "\"" << part << "\" is in:\n" << text;
  return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

// What a call through the host kit ended with: "returned EAX=…" or the
// exception it raised, with the driver's class and message.
inline std::string Outcome(const NHostKit::TCallResult &r) {
  char buf[64];
  if (!r.raised) {
    std::snprintf(buf, sizeof buf, "returned EAX=%08lX", static_cast<unsigned long>(r.eax));
    return buf;
  }
  std::snprintf(buf, sizeof buf, "raised %08lX", static_cast<unsigned long>(r.code));
  return buf + (r.className.empty() ? std::string() : " " + r.className + " \"" + r.message + "\"");
}

// The call returned; a failure names the exception it raised.
inline ::testing::AssertionResult Returned(const NHostKit::TCallResult &r) {
  return (r.raised ? ::testing::AssertionFailure() : ::testing::AssertionSuccess()) << Outcome(r);
}

} // namespace NTest
