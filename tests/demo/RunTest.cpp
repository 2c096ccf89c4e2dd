// tmhost.exe end to end against the driver and the simulated SDK: each case
// writes a short scenario, runs the program and reads its summary and exit
// status. A pass of the driver's link supervision is ~10 s, so the cases that
// need a second pass take ~13 s.
#include "tests/common/Process.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TRun : NTest::TChild {
  std::string log;
};

std::vector<std::string> Split(const std::string &s) {
  std::vector<std::string> t;
  std::istringstream in(s);
  std::string w;
  while (in >> w) t.push_back(w);
  return t;
}

std::string ReadWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs tmhost.exe with the scenario (plain output) and the extra arguments.
TRun RunHost(const std::string &name, const std::string &scenario, const std::string &extra = "",
             DWORD limitMs = 600000) {
  const std::string dir = NTest::ExeDir() + "demo_run_" + name;
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string file = dir + "\\scenario.txt", log = dir + "\\run.log";
  DeleteFileA(log.c_str());
  {
    std::ofstream f(file, std::ios::binary);
    f << scenario;
  }
  TRun run;
  static_cast<NTest::TChild &>(run) = NTest::RunChild(
      "tmhost.exe", "--plain --log \"" + log + "\" --host-dir \"" + dir + "\\host\" " + extra + " \"" + file + "\"",
      limitMs, true);
  run.log = ReadWhole(log);
  return run;
}

// The summary's row of a server: name, address, expect, on-line, on, off,
// sim logons (accepted/attempts), frames, bytes (two words), bad.
std::vector<std::string> ServerRow(const TRun &r, const std::string &server) {
  const auto at = r.output.find("\nSummary");
  if (at == std::string::npos) return {};
  std::istringstream in(r.output.substr(at));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("channel ", 0) == 0) break;
    auto t = Split(line);
    if (t.size() >= 10 && t[0] == server) return t;
  }
  return {};
}

// A channel's row: name, channel, open-s, video, key, hdr, audio, bytes (two
// words), bad, gaps, start failures.
std::vector<std::string> ChannelRow(const TRun &r, const std::string &server, int channel) {
  const auto at = r.output.find("\nchannel ");
  if (at == std::string::npos) return {};
  std::istringstream in(r.output.substr(at + 1));
  std::string line;
  while (std::getline(in, line)) {
    auto t = Split(line);
    if (t.size() == 12 && t[0] == server && t[1] == std::to_string(channel)) return t;
  }
  return {};
}

long long Num(const std::vector<std::string> &row, size_t i) {
  return i < row.size() ? std::atoll(row[i].c_str()) : -1;
}

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST(DemoRun, AWrongPasswordIsReportedOffLineWhileTheOthersStreamIntact) {
  const auto r = RunHost("wrongpw",
                         "server A 127.0.0.1 4100 password=1234 channels=2 fps=20 video=500-3000 audio=100 key=10\n"
                         "server B 127.0.0.1 4101 password=1234 host-password=9999 channels=2 expect=offline\n"
                         "server C localhost 4102 password=1234 channels=1 fps=10 video=2000 audio=0\n"
                         "at 4 shutdown\n");
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  EXPECT_TRUE(Has(r.output, "Result: PASS")) << r.output;
  const auto a = ServerRow(r, "A"), b = ServerRow(r, "B"), c = ServerRow(r, "C");
  ASSERT_FALSE(a.empty()) << r.output;
  ASSERT_FALSE(b.empty()) << r.output;
  ASSERT_FALSE(c.empty()) << r.output;
  EXPECT_EQ(a[3], "yes");
  EXPECT_EQ(Num(a, 4), 1);  // one logon
  EXPECT_EQ(a[6], "1/1");   // as the simulator counted it
  EXPECT_EQ(b[3], "no");
  EXPECT_EQ(Num(b, 4), 0);
  EXPECT_GE(Num(b, 5), 1);  // refused on the first pass
  EXPECT_EQ(c[1], "localhost:4102");
  EXPECT_EQ(c[3], "yes");
  for (int ch = 0; ch < 2; ++ch) {
    const auto row = ChannelRow(r, "A", ch);
    ASSERT_FALSE(row.empty()) << r.output;
    EXPECT_GT(Num(row, 3), 10) << r.output;    // video frames
    EXPECT_GE(Num(row, 4), 1);              // key frames
    EXPECT_EQ(Num(row, 5), 1);              // one header: one open
    EXPECT_EQ(Num(row, 6), Num(row, 3));    // audio with every frame
    EXPECT_EQ(Num(row, 9), 0) << r.output;     // bad
  }
  const auto cRow = ChannelRow(r, "C", 0);
  EXPECT_GT(Num(cRow, 3), 5) << r.output;
  EXPECT_EQ(Num(cRow, 6), 0);
  EXPECT_EQ(Num(cRow, 9), 0);
  // The driver's own debugger output went to the log.
  EXPECT_TRUE(Has(r.log, "CheckDvrLink Run")) << r.log.substr(0, 2000);
  EXPECT_TRUE(Has(r.log, "ORVA_Device_GetDvrLoginInfo IP:localhost Port:4102"));
}

TEST(DemoRun, AServerInTheWrongStateFailsTheRun) {
  // A wrong password expected on line, and a good one expected off line.
  const auto r = RunHost("expect",
                         "server A 127.0.0.1 4110 password=1234 host-password=4321 channels=1 expect=online\n"
                         "server B 127.0.0.1 4111 password=1234 channels=1 expect=offline\n"
                         "server C 127.0.0.1 4112 password=1234 channels=1 expect=any sim=no\n"
                         "at 3 shutdown\n");
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_EQ(r.exitCode, 1u) << r.output;
  EXPECT_TRUE(Has(r.output, "FAIL: server A was expected on line and never came on line")) << r.output;
  EXPECT_TRUE(Has(r.output, "FAIL: server B was expected off line and came on line")) << r.output;
  EXPECT_FALSE(Has(r.output, "FAIL: server C")) << r.output; // nothing answers there, and either state was fine
  EXPECT_TRUE(Has(r.output, "Result: FAIL (2 problems)")) << r.output;
  EXPECT_EQ(ServerRow(r, "C")[3], "no");
}

TEST(DemoRun, ACorruptedFrameFailsTheRun) {
  const auto r = RunHost("corrupt",
                         "server A 127.0.0.1 4120 channels=2 fps=10 video=200-900 audio=0 key=5\n"
                         "at 2 corrupt A 1\n"
                         "at 3 shutdown\n");
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_EQ(r.exitCode, 1u) << r.output;
  EXPECT_TRUE(Has(r.output, "FAIL: server A channel 1: ")) << r.output;
  EXPECT_FALSE(Has(r.output, "FAIL: server A channel 0")) << r.output;
  EXPECT_GE(Num(ChannelRow(r, "A", 1), 9), 1) << r.output;
}

TEST(DemoRun, AfterALinkBreakTheServerIsBackOnTheNextPassAndItsChannelsReopen) {
  const auto r = RunHost("break",
                         "server A 127.0.0.1 4130 channels=2 fps=10 video=300-2500 audio=50 key=10\n"
                         "server B 127.0.0.1 4131 channels=1 fps=10\n"
                         "at 2 break A\n"
                         "at 13 shutdown\n");
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  const auto a = ServerRow(r, "A"), b = ServerRow(r, "B");
  ASSERT_FALSE(a.empty()) << r.output;
  EXPECT_EQ(Num(a, 4), 2) << r.output; // on line twice
  EXPECT_EQ(Num(a, 5), 1) << r.output; // off line once, at the break
  EXPECT_EQ(a[6], "2/2");
  EXPECT_EQ(Num(b, 4), 1);          // the other server is left alone
  EXPECT_EQ(Num(b, 5), 0);
  for (int ch = 0; ch < 2; ++ch) {
    const auto row = ChannelRow(r, "A", ch);
    EXPECT_EQ(Num(row, 5), 2) << r.output; // a header for each open
    EXPECT_EQ(Num(row, 9), 0) << r.output;
  }
  EXPECT_TRUE(Has(r.log, "NV_MSG_SERVER_BREAK Begin")) << r.log.substr(0, 2000);
}

TEST(DemoRun, ADeletedServerIsLoggedOffAndARegisteredOneLaterIsLoggedOnByTheNextPass) {
  const auto r = RunHost("addel",
                         "server A 127.0.0.1 4140 channels=1 fps=10\n"
                         "server B 127.0.0.1 4141 channels=1 fps=10 register=later\n"
                         "at 2 delete A\n"
                         "at 2 add B\n"
                         "at 13 shutdown\n");
  ASSERT_TRUE(r.finished) << r.output;
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  const auto a = ServerRow(r, "A"), b = ServerRow(r, "B");
  ASSERT_FALSE(a.empty()) << r.output;
  EXPECT_EQ(a[6], "1/1"); // not logged on again after the delete
  EXPECT_EQ(Num(b, 4), 1) << r.output;
  EXPECT_GT(Num(ChannelRow(r, "B", 0), 3), 5) << r.output;
  EXPECT_TRUE(Has(r.log, "ORVA_Device_DelDvr IP: 127.0.0.1")) << r.log.substr(0, 2000);
}

TEST(DemoRun, ABadScenarioIsRefusedWithItsLineBeforeAnythingRuns) {
  const auto r = RunHost("badscen", "server A 127.0.0.1 4150\nat 1 break B\nat 2 shutdown\n");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2u);
  EXPECT_TRUE(Has(r.output, "line 2: no server named 'B' is defined above")) << r.output;
  EXPECT_FALSE(Has(r.output, "Summary"));
}

} // namespace
