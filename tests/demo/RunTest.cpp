// tmhost.exe end to end against the driver and the simulated SDK: each case
// writes a short scenario, runs the program and reads its summary and exit
// status. A pass of the driver's link supervision is ~10 s, so the cases that
// need a second pass take ~13 s.
#include "tests/common/Check.h"
#include "tests/common/Process.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TRun : NTest::TChild {
  std::string log;
};

// Runs tmhost.exe with the scenario, in plain output.
TRun RunHost(const std::string &name, const std::string &scenario) {
  const std::string dir = NTest::ExeDir() + "demo_run_" + name;
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string file = dir + "\\scenario.txt", log = dir + "\\run.log";
  DeleteFileA(log.c_str());
  std::ofstream(file, std::ios::binary) << scenario;
  TRun run;
  const std::string args = "--plain --log \"" + log + "\" --host-dir \"" + dir + "\\host\" \"" + file + "\"";
  static_cast<NTest::TChild &>(run) = NTest::RunChild("tmhost.exe", args, 600000, true);
  std::ifstream in(log, std::ios::binary);
  run.log.assign(std::istreambuf_iterator<char>(in), {});
  return run;
}

std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The words of the first summary line that starts with the words of `lead`:
// TRow(r, "A") is server A's row (name, address, expect, on-line, on, off,
// sim logons accepted/attempts, frames, bytes (two words), bad); TRow(r, "A 1")
// the row of its channel 1 (name, channel, open-s, video, key, hdr, audio,
// bytes (two words), bad, gaps, start failures). Missing words read "-".
struct TRow {
  std::vector<std::string> words;
  TRow(const TRun &r, const std::string &lead) {
    const auto at = r.output.find("\nSummary");
    std::istringstream in(at == std::string::npos ? std::string() : r.output.substr(at));
    const auto want = Words(lead);
    for (std::string line; std::getline(in, line);) {
      words = Words(line);
      if (words.size() >= want.size() && std::equal(want.begin(), want.end(), words.begin())) return;
    }
    words.clear();
  }
  std::string operator[](size_t i) const { return i < words.size() ? words[i] : "-"; }
  long long Num(size_t i) const { return i < words.size() ? std::atoll(words[i].c_str()) : -1; }
};

using NTest::Contains;

TEST(DemoRun, AWrongPasswordIsReportedOffLineWhileTheOthersStreamIntact) {
  const auto r = RunHost("wrongpw",
                         "server A 127.0.0.1 4100 password=1234 channels=2 fps=20 video=500-3000 audio=100 key=10\n"
                         "server B 127.0.0.1 4101 password=1234 host-password=9999 channels=2 expect=offline\n"
                         "server C localhost 4102 password=1234 channels=1 fps=10 video=2000 audio=0\n"
                         "at 4 shutdown\n");
  SCOPED_TRACE(r.output);
  EXPECT_EQ(NTest::Describe(r), "exit 0");
  EXPECT_TRUE(Contains(r.output, "Result: PASS"));
  const TRow a(r, "A"), b(r, "B"), c(r, "C");
  EXPECT_EQ(a[3], "yes");
  EXPECT_EQ(a.Num(4), 1); // one logon
  EXPECT_EQ(a[6], "1/1"); // as the simulator counted it
  EXPECT_EQ(b[3], "no");
  EXPECT_EQ(b.Num(4), 0);
  EXPECT_GE(b.Num(5), 1); // refused on the first pass
  EXPECT_EQ(c[1], "localhost:4102");
  EXPECT_EQ(c[3], "yes");
  for (const char *channel : {"A 0", "A 1"}) {
    const TRow row(r, channel);
    EXPECT_GT(row.Num(3), 10) << channel;         // video frames
    EXPECT_GE(row.Num(4), 1) << channel;          // key frames
    EXPECT_EQ(row.Num(5), 1) << channel;          // one header: one open
    EXPECT_EQ(row.Num(6), row.Num(3)) << channel; // audio with every frame
    EXPECT_EQ(row.Num(9), 0) << channel;          // bad
  }
  const TRow c0(r, "C 0");
  EXPECT_GT(c0.Num(3), 5);
  EXPECT_EQ(c0.Num(6), 0);
  EXPECT_EQ(c0.Num(9), 0);
  // The driver's own debugger output went to the log.
  EXPECT_TRUE(Contains(r.log, "CheckDvrLink Run"));
  EXPECT_TRUE(Contains(r.log, "ORVA_Device_GetDvrLoginInfo IP:localhost Port:4102"));
}

TEST(DemoRun, AServerInTheWrongStateFailsTheRun) {
  // A wrong password expected on line, and a good one expected off line.
  const auto r = RunHost("expect",
                         "server A 127.0.0.1 4110 password=1234 host-password=4321 channels=1 expect=online\n"
                         "server B 127.0.0.1 4111 password=1234 channels=1 expect=offline\n"
                         "server C 127.0.0.1 4112 password=1234 channels=1 expect=any sim=no\n"
                         "at 3 shutdown\n");
  EXPECT_EQ(NTest::Describe(r), "exit 1");
  EXPECT_TRUE(Contains(r.output, "FAIL: server A was expected on line and never came on line"));
  EXPECT_TRUE(Contains(r.output, "FAIL: server B was expected off line and came on line"));
  EXPECT_FALSE(Contains(r.output, "FAIL: server C")); // nothing answers there, and either state was fine
  EXPECT_TRUE(Contains(r.output, "Result: FAIL (2 problems)"));
  EXPECT_EQ(TRow(r, "C")[3], "no") << r.output;
}

TEST(DemoRun, ACorruptedFrameFailsTheRun) {
  const auto r = RunHost("corrupt",
                         "server A 127.0.0.1 4120 channels=2 fps=10 video=200-900 audio=0 key=5\n"
                         "at 2 corrupt A 1\n"
                         "at 3 shutdown\n");
  EXPECT_EQ(NTest::Describe(r), "exit 1");
  EXPECT_TRUE(Contains(r.output, "FAIL: server A channel 1: "));
  EXPECT_FALSE(Contains(r.output, "FAIL: server A channel 0"));
  EXPECT_GE(TRow(r, "A 1").Num(9), 1) << r.output;
}

TEST(DemoRun, AfterALinkBreakTheServerIsBackOnTheNextPassAndItsChannelsReopen) {
  const auto r = RunHost("break",
                         "server A 127.0.0.1 4130 channels=2 fps=10 video=300-2500 audio=50 key=10\n"
                         "server B 127.0.0.1 4131 channels=1 fps=10\n"
                         "at 2 break A\n"
                         "at 13 shutdown\n");
  SCOPED_TRACE(r.output);
  EXPECT_EQ(NTest::Describe(r), "exit 0");
  const TRow a(r, "A"), b(r, "B");
  EXPECT_EQ(a.Num(4), 2); // on line twice
  EXPECT_EQ(a.Num(5), 1); // off line once, at the break
  EXPECT_EQ(a[6], "2/2");
  EXPECT_EQ(b.Num(4), 1); // the other server is left alone
  EXPECT_EQ(b.Num(5), 0);
  for (const char *channel : {"A 0", "A 1"}) {
    EXPECT_EQ(TRow(r, channel).Num(5), 2) << channel; // a header for each open
    EXPECT_EQ(TRow(r, channel).Num(9), 0) << channel;
  }
  EXPECT_TRUE(Contains(r.log, "NV_MSG_SERVER_BREAK Begin"));
}

TEST(DemoRun, ADeletedServerIsLoggedOffAndARegisteredOneLaterIsLoggedOnByTheNextPass) {
  const auto r = RunHost("addel",
                         "server A 127.0.0.1 4140 channels=1 fps=10\n"
                         "server B 127.0.0.1 4141 channels=1 fps=10 register=later\n"
                         "at 2 delete A\n"
                         "at 2 add B\n"
                         "at 13 shutdown\n");
  SCOPED_TRACE(r.output);
  EXPECT_EQ(NTest::Describe(r), "exit 0");
  EXPECT_EQ(TRow(r, "A")[6], "1/1"); // not logged on again after the delete
  EXPECT_EQ(TRow(r, "B").Num(4), 1);
  EXPECT_GT(TRow(r, "B 0").Num(3), 5);
  EXPECT_TRUE(Contains(r.log, "ORVA_Device_DelDvr IP: 127.0.0.1"));
}

TEST(DemoRun, ABadScenarioIsRefusedWithItsLineBeforeAnythingRuns) {
  const auto r = RunHost("badscen", "server A 127.0.0.1 4150\nat 1 break B\nat 2 shutdown\n");
  EXPECT_EQ(NTest::Describe(r), "exit 2");
  EXPECT_TRUE(Contains(r.output, "line 2: no server named 'B' is defined above"));
  EXPECT_FALSE(Contains(r.output, "Summary"));
}

} // namespace
