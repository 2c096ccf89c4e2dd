// U_DebugLog.h - lines on the debugger output channel.
#pragma once
#include <string>

// One stamped line: "yymmdd-hh:nn:ss:zzz|pid,TTTTTTTT| message", sent with a
// single OutputDebugStringA call and no terminator. Level is accepted and
// ignored. Callable from any thread, before anything else exists.
void WriteDebugLog(const std::string &message, int level);

// The stamp and message as WriteDebugLog sends them (exposed for tests).
std::string FormatDebugLogLine(const std::string &message);

// A plain line of the driver ("ZQ>>..."), sent as it stands.
void DebugLine(const std::string &text);
