// U_DebugLog.cpp - stamped and plain debug-output lines.
#include "support/U_DebugLog.h"
#include "support/Clock.h"
#include "support/WinApi.h"
#include <cstdio>

std::string FormatDebugLogLine(const std::string &message) {
  // One reading of the clock, so date and time always belong together.
  const SYSTEMTIME t = NClock::LocalTime();
  const std::string sep = NWin::NSystem::TimeSeparator();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02u%02u%02u-%02u%s%02u%s%02u%s%03u|%lu,%08lX| ",
                t.wYear % 100u, t.wMonth + 0u, t.wDay + 0u, t.wHour + 0u, sep.c_str(),
                t.wMinute + 0u, sep.c_str(), t.wSecond + 0u, sep.c_str(), t.wMilliseconds + 0u,
                static_cast<unsigned long>(NWin::NSystem::ProcessId()),
                static_cast<unsigned long>(NWin::NSystem::ThreadId()));
  return stamp + message;
}

void WriteDebugLog(const std::string &message, int /*level*/) {
  try {
    NWin::NDebug::Output(FormatDebugLogLine(message));
  } catch (...) {
    // Out of memory while formatting: the line is lost, the caller goes on.
  }
}

void DebugLine(const std::string &text) { NWin::NDebug::Output(text); }
