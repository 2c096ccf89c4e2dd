// tmhost.cpp - the demo host program: reads its options and a scenario,
// then plays it (DemoHost.cpp).
#include "host/DemoHost.h"
#include "host/Scenario.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void Usage(FILE *to) {
  std::fputs(
      "usage: tmhost [options] [scenario-file]\n"
      "Runs TMDvs.dll against the simulated video servers of a scenario (the\n"
      "embedded default when no file is named) and checks every frame.\n"
      "\n"
      "  --log FILE        write the driver's debugger output to FILE\n"
      "                    (default: tmhost.log next to the scenario file,\n"
      "                    or in the current folder)\n"
      "  --tail N          show the driver's last N lines in the live view\n"
      "  --plain           plain periodic lines even on a terminal\n"
      "  --live            the live view even when output is not a terminal\n"
      "  --host-dir DIR    lay out the host directory there\n"
      "                    (default: the folder 'host' beside the program)\n"
      "  --check           only read the scenario and report faults\n"
      "  --test-leak frame|handle\n"
      "                    for testing the judgement of memory and handles\n"
      "                    only: the simulator keeps a heap block per frame,\n"
      "                    or a handle per logon, so the run must fail\n"
      "  --print-scenario  print the default scenario and stop\n"
      "  --help            this text\n"
      "\n"
      "Exit status: 0 every check held; 1 a frame failed its check, a server\n"
      "was not in its expected state or the shutdown did not finish; 2 the\n"
      "run could not be made (options, scenario, files, driver errors).\n",
      to);
}

} // namespace

int main(int argc, char **argv) {
  NDemo::TOptions opt;
  bool checkOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char *name) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tmhost: %s needs a value\n", name);
        std::exit(NDemo::ExitSetup);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h" || a == "/?") {
      Usage(stdout);
      return 0;
    } else if (a == "--print-scenario") {
      std::fputs(NDemo::DefaultScenarioText().c_str(), stdout);
      return 0;
    } else if (a == "--log") {
      opt.logFile = value("--log");
    } else if (a == "--tail") {
      const std::string v = value("--tail");
      char *end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 0 || n > 200) {
        std::fprintf(stderr, "tmhost: --tail takes a number of lines 0..200, not '%s'\n", v.c_str());
        return NDemo::ExitSetup;
      }
      opt.tail = static_cast<int>(n);
    } else if (a == "--plain") {
      opt.view = NDemo::TView::Plain;
    } else if (a == "--live") {
      opt.view = NDemo::TView::Live;
    } else if (a == "--host-dir") {
      opt.hostDir = value("--host-dir");
    } else if (a == "--test-leak") {
      opt.leak = value("--test-leak");
      if (opt.leak != "frame" && opt.leak != "handle") {
        std::fprintf(stderr, "tmhost: --test-leak takes frame or handle, not '%s'\n", opt.leak.c_str());
        return NDemo::ExitSetup;
      }
    } else if (a == "--check") {
      checkOnly = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "tmhost: unknown option %s\n", a.c_str());
      Usage(stderr);
      return NDemo::ExitSetup;
    } else if (opt.scenarioFile.empty()) {
      opt.scenarioFile = a;
    } else {
      std::fprintf(stderr, "tmhost: one scenario file only (%s, %s)\n", opt.scenarioFile.c_str(), a.c_str());
      return NDemo::ExitSetup;
    }
  }

  std::string text = NDemo::DefaultScenarioText();
  const std::string source = opt.scenarioFile.empty() ? "default scenario" : opt.scenarioFile;
  if (!opt.scenarioFile.empty()) {
    std::ifstream in(opt.scenarioFile, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "tmhost: cannot read %s\n", opt.scenarioFile.c_str());
      return NDemo::ExitSetup;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  NDemo::TScenario sc;
  std::string error;
  if (!NDemo::ParseScenario(text, sc, error)) {
    std::fprintf(stderr, "tmhost: %s, %s\n", source.c_str(), error.c_str());
    return NDemo::ExitSetup;
  }
  if (checkOnly) {
    std::printf("%s: %zu servers, %zu events, shutdown at %.1f s", source.c_str(), sc.servers.size(),
                sc.events.size(), sc.shutdownAtMs / 1000.0);
    if (sc.warmUpMs > 0) std::printf(", memory and handles judged after %.1f s", sc.warmUpMs / 1000.0);
    std::printf("\n");
    return 0;
  }
  return NDemo::RunDemo(sc, opt);
}
