// Process.h - what tests read about their own process, and child processes.
#pragma once
#include "hostkit/HostKit.h"
#include <windows.h>
#include <string>

namespace NTest {

// The folder of the test program, with a trailing backslash.
using NHostKit::ExeDir;

// The threads of this process, as the system lists them.
int ThreadCount();

struct TChild {
  bool started = false;
  bool finished = false;      // false: still running after the limit, so ended
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;         // standard output and error, when captured
};

// Runs `program`, a file beside the test program, with `args`, and waits at
// most `limitMs` for it; a program still running then is ended.
TChild RunChild(const std::string &program, const std::string &args = std::string(), DWORD limitMs = 60000,
                bool captureOutput = false);

// What a child's end says, for a failing check: "exit 7", "no start", "hung".
std::string Describe(const TChild &c);

} // namespace NTest
