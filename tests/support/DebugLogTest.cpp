// Stamped debug-log lines: the exact form a debug-output viewer shows.
#include "hostkit/DebugCapture.h"
#include "common/FakeClock.h"
#include "support/U_DebugLog.h"
#include <gtest/gtest.h>
#include <cstdio>

namespace {

std::string Prefix(const char *stamp) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s|%lu,%08lX| ", stamp, GetCurrentProcessId(),
                GetCurrentThreadId());
  return buf;
}

TEST(DebugLog, StampHasDateTimeProcessAndEightDigitUpperCaseThread) {
  NTest::TFakeClock clock; // 2026-12-08 07:15:45.123
  NHostKit::TDebugCapture cap;
  WriteDebugLog("ZQ>>TTMDvs CheckDvrLink Run", 1);
  const std::string line = Prefix("261208-07:15:45:123") + "ZQ>>TTMDvs CheckDvrLink Run";
  EXPECT_EQ(cap.Lines(), std::vector<std::string>{line});
}

TEST(DebugLog, EmptyMessageEndsInBarAndBlank) {
  NTest::TFakeClock clock;
  NHostKit::TDebugCapture cap;
  WriteDebugLog("", 1);
  EXPECT_EQ(cap.Lines(), std::vector<std::string>{Prefix("261208-07:15:45:123")}); // ends in "| "
}

TEST(DebugLog, LevelDoesNotChangeTheLine) {
  NTest::TFakeClock clock;
  EXPECT_EQ(FormatDebugLogLine("m"), Prefix("261208-07:15:45:123") + "m");
  NHostKit::TDebugCapture cap;
  WriteDebugLog("m", 0);
  WriteDebugLog("m", -7);
  WriteDebugLog("m", 1);
  EXPECT_EQ(cap.Lines(), std::vector<std::string>(3, Prefix("261208-07:15:45:123") + "m"));
}

TEST(DebugLog, FieldsAreZeroPaddedAtNewYear) {
  NTest::TFakeClock clock;
  // From 07:15:45.123 on 8 Dec to 00:00:00.005 on 1 Jan 2027.
  clock.Advance(((23 * 24 + 16) * 3600u + 44 * 60 + 14) * 1000u + 882);
  EXPECT_EQ(FormatDebugLogLine("x"), Prefix("270101-00:00:00:005") + "x");
}

TEST(DebugLog, PlainLineIsSentAsItStands) {
  NHostKit::TDebugCapture cap;
  DebugLine("ZQ>>TtarnwickDvr Destroy Start");
  DebugLine("");
  EXPECT_EQ(cap.Lines(), (std::vector<std::string>{"ZQ>>TtarnwickDvr Destroy Start", ""}));
}

} // namespace
