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

struct TRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
  std::string log;
  bool finished = false;
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
  std::string cmd = "\"" + NTest::ExeDir() + "tmhost.exe\" --plain --log \"" + log + "\" --host-dir \"" + dir +
                    "\\host\" " + extra + " \"" + file + "\"";
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  TRun run;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return run;
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = wr;
  si.hStdError = wr;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    CloseHandle(rd);
    CloseHandle(wr);
    return run;
  }
  CloseHandle(wr);
  struct TReader {
    HANDLE rd;
    std::string text;
    static DWORD WINAPI Main(void *p) {
      auto *r = static_cast<TReader *>(p);
      char buf[4096];
      DWORD n;
      while (ReadFile(r->rd, buf, sizeof buf, &n, nullptr) && n > 0) r->text.append(buf, n);
      return 0;
    }
  } reader{rd, {}};
  HANDLE t = CreateThread(nullptr, 0, &TReader::Main, &reader, 0, nullptr);
  run.finished = WaitForSingleObject(pi.hProcess, limitMs) == WAIT_OBJECT_0;
  if (!run.finished) TerminateProcess(pi.hProcess, 99);
  WaitForSingleObject(t, 10000);
  CloseHandle(t);
  GetExitCodeProcess(pi.hProcess, &run.exitCode);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(rd);
  run.out = reader.text;
  run.log = ReadWhole(log);
  return run;
}

// The summary's row of a server: name, address, expect, on-line, on, off,
// sim logons (accepted/attempts), frames, bytes (two words), bad.
std::vector<std::string> ServerRow(const TRun &r, const std::string &server) {
  const auto at = r.out.find("\nSummary");
  if (at == std::string::npos) return {};
  std::istringstream in(r.out.substr(at));
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
  const auto at = r.out.find("\nchannel ");
  if (at == std::string::npos) return {};
  std::istringstream in(r.out.substr(at + 1));
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
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitCode, 0u) << r.out;
  EXPECT_TRUE(Has(r.out, "Result: PASS")) << r.out;
  const auto a = ServerRow(r, "A"), b = ServerRow(r, "B"), c = ServerRow(r, "C");
  ASSERT_FALSE(a.empty()) << r.out;
  ASSERT_FALSE(b.empty()) << r.out;
  ASSERT_FALSE(c.empty()) << r.out;
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
    ASSERT_FALSE(row.empty()) << r.out;
    EXPECT_GT(Num(row, 3), 10) << r.out;    // video frames
    EXPECT_GE(Num(row, 4), 1);              // key frames
    EXPECT_EQ(Num(row, 5), 1);              // one header: one open
    EXPECT_EQ(Num(row, 6), Num(row, 3));    // audio with every frame
    EXPECT_EQ(Num(row, 9), 0) << r.out;     // bad
  }
  const auto cRow = ChannelRow(r, "C", 0);
  EXPECT_GT(Num(cRow, 3), 5) << r.out;
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
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitCode, 1u) << r.out;
  EXPECT_TRUE(Has(r.out, "FAIL: server A was expected on line and never came on line")) << r.out;
  EXPECT_TRUE(Has(r.out, "FAIL: server B was expected off line and came on line")) << r.out;
  EXPECT_FALSE(Has(r.out, "FAIL: server C")) << r.out; // nothing answers there, and either state was fine
  EXPECT_TRUE(Has(r.out, "Result: FAIL (2 problems)")) << r.out;
  EXPECT_EQ(ServerRow(r, "C")[3], "no");
}

TEST(DemoRun, ACorruptedFrameFailsTheRun) {
  const auto r = RunHost("corrupt",
                         "server A 127.0.0.1 4120 channels=2 fps=10 video=200-900 audio=0 key=5\n"
                         "at 2 corrupt A 1\n"
                         "at 3 shutdown\n");
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitCode, 1u) << r.out;
  EXPECT_TRUE(Has(r.out, "FAIL: server A channel 1: ")) << r.out;
  EXPECT_FALSE(Has(r.out, "FAIL: server A channel 0")) << r.out;
  EXPECT_GE(Num(ChannelRow(r, "A", 1), 9), 1) << r.out;
}

TEST(DemoRun, AfterALinkBreakTheServerIsBackOnTheNextPassAndItsChannelsReopen) {
  const auto r = RunHost("break",
                         "server A 127.0.0.1 4130 channels=2 fps=10 video=300-2500 audio=50 key=10\n"
                         "server B 127.0.0.1 4131 channels=1 fps=10\n"
                         "at 2 break A\n"
                         "at 13 shutdown\n");
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitCode, 0u) << r.out;
  const auto a = ServerRow(r, "A"), b = ServerRow(r, "B");
  ASSERT_FALSE(a.empty()) << r.out;
  EXPECT_EQ(Num(a, 4), 2) << r.out; // on line twice
  EXPECT_EQ(Num(a, 5), 1) << r.out; // off line once, at the break
  EXPECT_EQ(a[6], "2/2");
  EXPECT_EQ(Num(b, 4), 1);          // the other server is left alone
  EXPECT_EQ(Num(b, 5), 0);
  for (int ch = 0; ch < 2; ++ch) {
    const auto row = ChannelRow(r, "A", ch);
    EXPECT_EQ(Num(row, 5), 2) << r.out; // a header for each open
    EXPECT_EQ(Num(row, 9), 0) << r.out;
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
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitCode, 0u) << r.out;
  const auto a = ServerRow(r, "A"), b = ServerRow(r, "B");
  ASSERT_FALSE(a.empty()) << r.out;
  EXPECT_EQ(a[6], "1/1"); // not logged on again after the delete
  EXPECT_EQ(Num(b, 4), 1) << r.out;
  EXPECT_GT(Num(ChannelRow(r, "B", 0), 3), 5) << r.out;
  EXPECT_TRUE(Has(r.log, "ORVA_Device_DelDvr IP: 127.0.0.1")) << r.log.substr(0, 2000);
}

TEST(DemoRun, ABadScenarioIsRefusedWithItsLineBeforeAnythingRuns) {
  const auto r = RunHost("badscen", "server A 127.0.0.1 4150\nat 1 break B\nat 2 shutdown\n");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 2u);
  EXPECT_TRUE(Has(r.out, "line 2: no server named 'B' is defined above")) << r.out;
  EXPECT_FALSE(Has(r.out, "Summary"));
}

} // namespace
