// DemoHost.h - the demo host: plays a scenario against TMDvs.dll and the
// simulated vendor SDK, shows what happens, and judges the run.
#pragma once
#include "host/Scenario.h"
#include <string>

namespace NDemo {

enum class TView { Auto, Live, Plain };

struct TOptions {
  std::string scenarioFile; // empty: the embedded default
  std::string logFile;      // empty: tmhost.log next to the scenario, or in the current folder
  std::string hostDir;      // empty: <program folder>\host
  int tail = 0;             // driver lines shown in the live view
  TView view = TView::Auto;
  std::string leak;         // test only: "frame" or "handle", the simulator leaks on purpose
};

// Exit statuses of the program.
constexpr int ExitPass = 0;   // every check held
constexpr int ExitFail = 1;   // a check failed (integrity, expectation, shutdown)
constexpr int ExitSetup = 2;  // the run could not be made (usage, scenario, files, driver error)

// Runs the scenario; returns the exit status.
int RunDemo(const TScenario &scenario, const TOptions &options);

} // namespace NDemo
