// The scenario format: what a valid text gives, the embedded default, and a
// fault with its line number for each kind of bad input.
#include "host/Scenario.h"
#include <gtest/gtest.h>

namespace {
using namespace NDemo;

TScenario Parse(const std::string &text) {
  TScenario sc;
  std::string error;
  EXPECT_TRUE(ParseScenario(text, sc, error)) << error;
  return sc;
}

std::string ErrorOf(const std::string &text) {
  TScenario sc;
  std::string error;
  EXPECT_FALSE(ParseScenario(text, sc, error)) << text;
  return error;
}

TEST(Scenario, ServersTakeDefaultsAndTheirSettings) {
  const auto ok = Parse(
      "title  Two servers\n"
      "offline-delay -3000\n"
      "shutdown-limit 2.5\n"
      "auto-open no\n"
      "server A 10.0.0.1 3000\n"
      "server B localhost 3001 user=u password=p host-password=q channels=2 behaviour=slow logon-delay=1 "
      "fps=5 video=100-200 audio=0 key=7 expect=offline register=later sim=no # note\r\n"
      "at 1 shutdown\n");
  EXPECT_EQ(ok.title, "Two servers");
  EXPECT_EQ(ok.offlineDelayMs, -3000);
  EXPECT_EQ(ok.shutdownLimitMs, 2500);
  EXPECT_FALSE(ok.autoOpen);
  ASSERT_EQ(ok.servers.size(), 2u);
  const auto &a = ok.servers[0], &b = ok.servers[1];
  EXPECT_EQ(a.address, "10.0.0.1");
  EXPECT_EQ(a.port, 3000);
  EXPECT_EQ(a.user, a.simUser);         // the host registers what the server has
  EXPECT_EQ(a.password, a.simPassword);
  EXPECT_EQ(a.expect, TExpect::OnLine);
  EXPECT_TRUE(a.registerAtStart);
  EXPECT_TRUE(a.simulated);
  EXPECT_EQ(b.address, "localhost");
  EXPECT_EQ(b.simUser, "u");
  EXPECT_EQ(b.user, "u");
  EXPECT_EQ(b.simPassword, "p");
  EXPECT_EQ(b.password, "q");
  EXPECT_EQ(b.channels, 2);
  EXPECT_EQ(b.behaviour, 3);
  EXPECT_EQ(b.logonDelayMs, 1);
  EXPECT_EQ(b.fps, 5);
  EXPECT_EQ(b.videoMin, 100);
  EXPECT_EQ(b.videoMax, 200);
  EXPECT_EQ(b.audio, 0);
  EXPECT_EQ(b.keyInterval, 7);
  EXPECT_EQ(b.expect, TExpect::OffLine);
  EXPECT_FALSE(b.registerAtStart);
  EXPECT_FALSE(b.simulated);
  EXPECT_EQ(b.line, 6);
}

TEST(Scenario, EventsAreSortedByTimeKeepingTheirOrderAndShutdownLast) {
  const auto sc = Parse(
      "server A 127.0.0.1 3000 channels=4\n"
      "server B 127.0.0.1 3001\n"
      "at 7.5 break A\n"
      "at 2 close A 3\n"
      "at 2 open A all\n"
      "at 3 corrupt B 1\n"
      "at 4 delete B\n"
      "at 5 add B\n"
      "at 6 reset A\n"
      "at 1 open A\n"
      "at 9 shutdown\n");
  ASSERT_EQ(sc.events.size(), 9u);
  const TEventKind kinds[] = {TEventKind::Open,   TEventKind::Close, TEventKind::Open,
                              TEventKind::Corrupt, TEventKind::Delete, TEventKind::Add,
                              TEventKind::Reset,  TEventKind::Break, TEventKind::Shutdown};
  const int times[] = {1000, 2000, 2000, 3000, 4000, 5000, 6000, 7500, 9000};
  for (size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(sc.events[i].kind, kinds[i]) << i;
    EXPECT_EQ(sc.events[i].atMs, times[i]) << i;
  }
  EXPECT_EQ(sc.events[1].channel, 3);
  EXPECT_EQ(sc.events[1].line, 4);
  EXPECT_EQ(sc.events[2].channel, -1);
  EXPECT_EQ(sc.events[0].channel, -1);
  EXPECT_EQ(sc.events[3].server, 1);
  EXPECT_EQ(sc.events[3].channel, 1);
  EXPECT_EQ(sc.events[8].server, -1);
  EXPECT_EQ(sc.shutdownAtMs, 9000);
}

TEST(Scenario, TheDefaultShowsAWrongPasswordAHostNameABreakAndEndsWithinAMinute) {
  const auto sc = Parse(DefaultScenarioText());
  ASSERT_EQ(sc.servers.size(), 4u);
  int wrong = 0, named = 0;
  for (const auto &s : sc.servers) {
    EXPECT_EQ(s.channels, 4) << s.name;
    if (s.password != s.simPassword) {
      ++wrong;
      EXPECT_EQ(s.expect, TExpect::OffLine) << s.name;
    } else {
      EXPECT_EQ(s.expect, TExpect::OnLine) << s.name;
    }
    named += s.address == "localhost";
  }
  EXPECT_EQ(wrong, 1);
  EXPECT_EQ(named, 1);
  EXPECT_TRUE(sc.autoOpen);
  EXPECT_EQ(sc.offlineDelayMs, 0); // a break is reported at once
  bool brk = false;
  for (const auto &e : sc.events)
    if (e.kind == TEventKind::Break) {
      brk = true;
      // Recovery comes on the next pass, ~10 s after the pass that follows Init.
      EXPECT_LT(e.atMs + 10000, sc.shutdownAtMs);
    }
  EXPECT_TRUE(brk);
  EXPECT_LT(sc.shutdownAtMs, 60000);
}

TEST(Scenario, FaultsNameTheirLine) {
  const std::string s = "server A 127.0.0.1 3000\n";
  const std::pair<std::string, std::string> cases[] = {
      {s + "bogus 1\nat 1 shutdown\n", "line 2: unknown directive 'bogus'"},
      {"server A 127.0.0.1\n", "line 1: server needs a name, an address and a port"},
      {"server A 127.0.0.1 70000\n", "line 1: port 70000 is out of range 1..65535"},
      {"server A 127.0.0.1 30x0\n", "line 1: port '30x0' is not a whole number"},
      {s + "server B 127.0.0.1 3001 colour=red\n", "line 2: unknown server setting 'colour'"},
      {s + "server B 127.0.0.1 3001 channels\n", "line 2: expected key=value, found 'channels'"},
      {s + "server B 127.0.0.1 3001 channels=0\n", "line 2: channels 0 is out of range 1..64"},
      {s + "server B 127.0.0.1 3001 video=900-100\n", "line 2: video size range 900-100 runs backwards"},
      {s + "server B 127.0.0.1 3001 video=8\n", "line 2: video size 8 is out of range 16..1048576"},
      {s + "server B 127.0.0.1 3001 behaviour=rude\n",
       "line 2: behaviour must be accept, refuse, info-fails or slow, not 'rude'"},
      {s + "server B 127.0.0.1 3001 expect=maybe\n", "line 2: expect must be online, offline or any, not 'maybe'"},
      {s + "server B 127.0.0.1 3001 password=0123456789abcdef\n",
       "line 2: password '0123456789abcdef' is longer than 15 characters"},
      {s + "\nserver A 127.0.0.2 3000\n", "line 3: server A is already defined (line 1)"},
      {s + "server B 127.0.0.1 3000\n", "line 2: server B has the address and port of A"},
      {s + "at 1 break Z\n", "line 2: no server named 'Z' is defined above"},
      {s + "at soon break A\n", "line 2: time 'soon' is not a number of seconds"},
      {s + "at -1 break A\n", "line 2: time -1 is out of range 0..3600 s"},
      {s + "at 1 explode A\n", "line 2: unknown event 'explode'"},
      {s + "at 1 break\n", "line 2: break needs a server"},
      {s + "at 1 break A 2\n", "line 2: unexpected '2' after break"},
      {s + "at 1 open A 4\n", "line 2: channel 4 is out of range 0..3"},
      {s + "at 1 corrupt A\n", "line 2: corrupt needs a server and a channel"},
      {s + "at 1 corrupt A all\n", "line 2: channel 'all' is not a whole number"},
      {s + "at 1 shutdown now\n", "line 2: unexpected 'now' after shutdown"},
      {s + "at 5 break A\nat 3 shutdown\n", "line 3: shutdown at 3 s comes before the event of line 2"},
      {s + "at 3 shutdown\nat 4 break A\n", "line 3: event after the shutdown (line 2)"},
      {s + "at 1 break A\nserver B 127.0.0.1 3001\n", "line 3: servers come before the events"},
      {s + "auto-open perhaps\n", "line 2: auto-open must be yes or no, not 'perhaps'"},
      {s + "shutdown-limit\n", "line 2: shutdown-limit takes one value"},
      {s, "line 0: no 'at <seconds> shutdown' event"},
      {"# nothing\n\n", "line 0: no server is defined"},
      // A server's settings are all on its line.
      {s + "  channels=2\n", "line 2: unknown directive 'channels=2'"},
  };
  for (const auto &[text, expected] : cases) EXPECT_EQ(ErrorOf(text), expected) << text;
}

TEST(Scenario, AFailedParseLeavesTheTargetAlone) {
  TScenario sc;
  sc.title = "kept";
  std::string error;
  EXPECT_FALSE(ParseScenario("server A 127.0.0.1 3000\nat x shutdown\n", sc, error));
  EXPECT_EQ(sc.title, "kept");
  EXPECT_TRUE(sc.servers.empty());
}

} // namespace
