// The scenario format: what a valid text gives, the embedded default, and a
// fault with its line number for each kind of bad input.
#include "host/Scenario.h"
#include <gtest/gtest.h>
#include <fstream>
#include <set>
#include <sstream>

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

// Every field of a server entry, so that one comparison shows them all.
std::string Text(const TServerEntry &s) {
  std::ostringstream o;
  o << s.name << ' ' << s.address << ':' << s.port << " accepts " << s.simUser << '/' << s.simPassword
    << ", registered as " << s.user << '/' << s.password << ", channels=" << s.channels
    << " behaviour=" << s.behaviour << " logon-delay=" << s.logonDelayMs << " fps=" << s.fps
    << " video=" << s.videoMin << '-' << s.videoMax << " audio=" << s.audio << " key=" << s.keyInterval
    << " expect=" << (s.expect == TExpect::OnLine ? "online" : s.expect == TExpect::OffLine ? "offline" : "any")
    << " register-at-start=" << s.registerAtStart << " simulated=" << s.simulated << " (line " << s.line << ")";
  return o.str();
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
  EXPECT_EQ(ok.autoOpen, false);
  ASSERT_EQ(ok.servers.size(), 2u);
  // The host registers what the server accepts, unless told otherwise.
  EXPECT_EQ(Text(ok.servers[0]), "A 10.0.0.1:3000 accepts admin/admin, registered as admin/admin, "
                                 "channels=4 behaviour=0 logon-delay=0 fps=25 video=2000-8000 audio=320 key=25 "
                                 "expect=online register-at-start=1 simulated=1 (line 5)");
  EXPECT_EQ(Text(ok.servers[1]), "B localhost:3001 accepts u/p, registered as u/q, channels=2 behaviour=3 "
                                 "logon-delay=1 fps=5 video=100-200 audio=0 key=7 expect=offline "
                                 "register-at-start=0 simulated=0 (line 6)");
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
  // Each event: time in ms, kind, server index, channel, (line).
  std::string events;
  for (const TEvent &e : sc.events)
    events += std::to_string(e.atMs) + " " + EventName(e.kind) + " " + std::to_string(e.server) + " " +
              std::to_string(e.channel) + " (" + std::to_string(e.line) + ")\n";
  EXPECT_EQ(events, "1000 open 0 -1 (10)\n"
                    "2000 close 0 3 (4)\n"
                    "2000 open 0 -1 (5)\n"
                    "3000 corrupt 1 1 (6)\n"
                    "4000 delete 1 -1 (7)\n"
                    "5000 add 1 -1 (8)\n"
                    "6000 reset 0 -1 (9)\n"
                    "7500 break 0 -1 (3)\n"
                    "9000 shutdown -1 -1 (11)\n");
  EXPECT_EQ(sc.shutdownAtMs, 9000);
}

TEST(Scenario, TheDefaultShowsAWrongPasswordAHostNameABreakAndEndsWithinAMinute) {
  const auto sc = Parse(DefaultScenarioText());
  ASSERT_EQ(sc.servers.size(), 4u);
  int wrong = 0, named = 0;
  for (const auto &s : sc.servers) {
    EXPECT_EQ(s.channels, 4) << s.name;
    const bool refused = s.password != s.simPassword;
    wrong += refused;
    EXPECT_EQ(s.expect, refused ? TExpect::OffLine : TExpect::OnLine) << s.name;
    named += s.address == "localhost";
  }
  EXPECT_EQ(wrong, 1);
  EXPECT_EQ(named, 1);
  EXPECT_EQ(sc.autoOpen, true);
  EXPECT_EQ(sc.offlineDelayMs, 0); // a break is reported at once
  int breaks = 0;
  for (const auto &e : sc.events)
    if (e.kind == TEventKind::Break) {
      ++breaks;
      // Recovery comes on the next pass, ~10 s after the pass that follows Init.
      EXPECT_LT(e.atMs + 10000, sc.shutdownAtMs);
    }
  EXPECT_GE(breaks, 1);
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
      {s + "at -1 break A\n", "line 2: time -1 is out of range 0..86400 s"},
      {s + "at 86400.001 break A\n", "line 2: time 86400.001 is out of range 0..86400 s"},
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
      {s + "shutdown-limit 3601\nat 1 shutdown\n", "line 2: shutdown-limit 3601 is out of range 0..3600 s"},
      {s, "line 0: no 'duration <seconds>' and no 'at <seconds> shutdown'"},
      {"# nothing\n\n", "line 0: no server is defined"},
      // A server's settings are all on its line.
      {s + "  channels=2\n", "line 2: unknown directive 'channels=2'"},
  };
  for (const auto &[text, expected] : cases) EXPECT_EQ(ErrorOf(text), expected) << text;
}

// Each event as "time kind server channel (line)", a line each.
std::string Events(const TScenario &sc) {
  std::string out;
  for (const TEvent &e : sc.events)
    out += std::to_string(e.atMs) + " " + EventName(e.kind) + " " +
           (e.server < 0 ? "-" : sc.servers[static_cast<size_t>(e.server)].name) + " " + std::to_string(e.channel) +
           " (" + std::to_string(e.line) + ")\n";
  return out;
}

TEST(Scenario, RepeatsRotateTheirServersAndMergeWithTheAtLinesInTheOrderWritten) {
  const auto sc = Parse("server A 127.0.0.1 3000\n"
                        "server B 127.0.0.1 3001 channels=2\n"
                        "server C 127.0.0.1 3002\n"
                        "at 4 close A 1\n"
                        "every 2 break A,B,C        # from 2 s, the last one before the shutdown\n"
                        "every 1.5 from 0.5 until 3.5 open B,A 1\n"
                        "warm-up 2.5\n"
                        "at 6 reset C\n"
                        "duration 8\n");
  // Neither the until time nor the shutdown's has a repetition.
  EXPECT_EQ(Events(sc), "500 open B 1 (6)\n"
                        "2000 break A -1 (5)\n"
                        "2000 open A 1 (6)\n"
                        "4000 close A 1 (4)\n"
                        "4000 break B -1 (5)\n"
                        "6000 break C -1 (5)\n"
                        "6000 reset C -1 (8)\n"
                        "8000 shutdown - -1 (9)\n");
  EXPECT_EQ(sc.shutdownAtMs, 8000);
  EXPECT_EQ(sc.warmUpMs, 2500);
  EXPECT_EQ(Parse("server A 127.0.0.1 3000\nat 1 shutdown\n").warmUpMs, 0) << "not judged unless asked";

  // A rotating delete and add as two lines keep their pairs: each add follows
  // its delete, and the last delete before the shutdown has its add.
  const auto pair = Parse("server G 127.0.0.1 3000\n"
                          "server H 127.0.0.1 3001\n"
                          "every 300 from 130 add G,H\n"
                          "every 300 from 100 delete G,H\n"
                          "at 1000 shutdown\n"
                          "duration 1000\n");
  EXPECT_EQ(Events(pair), "100000 delete G -1 (4)\n"
                          "130000 add G -1 (3)\n"
                          "400000 delete H -1 (4)\n"
                          "430000 add H -1 (3)\n"
                          "700000 delete G -1 (4)\n"
                          "730000 add G -1 (3)\n"
                          "1000000 shutdown - -1 (5)\n");
}

TEST(Scenario, RepeatsDurationAndWarmUpFaultsNameTheirLine) {
  const std::string s = "server A 127.0.0.1 3000\nserver B 127.0.0.1 3001 channels=2\n";
  const std::pair<std::string, std::string> cases[] = {
      {s + "every 0 break A\nduration 9\n", "line 3: period 0 s is shorter than 0.1 s"},
      {s + "every 0.09 break A\nduration 9\n", "line 3: period 0.09 s is shorter than 0.1 s"},
      {s + "every -1 break A\nduration 9\n", "line 3: period -1 is out of range 0..86400 s"},
      {s + "every 2 from 5 until 5 break A\nduration 9\n",
       "line 3: the first repetition at 5 s is not before until 5 s"},
      {s + "every 2 until 1 break A\nduration 9\n", "line 3: the first repetition at 2 s is not before until 1 s"},
      {s + "every 2 from 1 from 3 break A\nduration 9\n", "line 3: from is given twice"},
      {s + "every 2 from\n", "line 3: from needs a time"},
      {s + "every 2 from 1\n", "line 3: every needs an event after its times"},
      {s + "every 2\n", "line 3: every needs a period and an event"},
      {s + "every 2 break A,Z\nduration 9\n", "line 3: no server named 'Z' is defined above"},
      {s + "every 2 break A,,B\nduration 9\n", "line 3: the server list 'A,,B' has an empty name"},
      {s + "every 2 close A,B 3\nduration 9\n", "line 3: channel 3 is out of range 0..1 of server B"},
      {s + "every 2 corrupt A\nduration 9\n", "line 3: corrupt needs a server and a channel"},
      {s + "every 2 shutdown\n", "line 3: shutdown cannot repeat: give 'duration <seconds>'"},
      {s + "at 1 break A,B\nduration 9\n", "line 3: no server named 'A,B' is defined above"},
      {s + "every 2 until 10 break A\nduration 9\n", "line 3: until 10 s is after the shutdown at 9 s"},
      {s + "every 2 from 9 break A\nduration 9\n",
       "line 3: the first repetition at 9 s is not before the shutdown at 9 s"},
      {s + "every 0.1 break A\nduration 10001\n", "line 3: the repetitions make more than 100000 events"},
      {s + "duration 9\nat 9.5 break A\n", "line 4: event at 9.5 s is after the shutdown at 9 s"},
      {s + "duration 9\nat 8 shutdown\n", "line 4: duration 9 s (line 3) and the shutdown at 8 s (line 4) disagree"},
      {s + "at 8 shutdown\nduration 9\n", "line 4: duration 9 s (line 4) and the shutdown at 8 s (line 3) disagree"},
      {s + "duration 9\nduration 9\n", "line 4: duration is already given (line 3)"},
      {s + "duration\n", "line 3: duration takes one value"},
      {s + "duration 86401\n", "line 3: duration 86401 is out of range 0..86400 s"},
      {s + "warm-up 0\nduration 9\n", "line 3: warm-up must be more than 0 s"},
      {s + "warm-up 9\nduration 9\n", "line 3: warm-up 9 s is not before the shutdown at 9 s"},
      {s + "every 1 break A\nserver C 127.0.0.1 3002\n", "line 4: servers come before the events"},
  };
  for (const auto &[text, expected] : cases) EXPECT_EQ(ErrorOf(text), expected) << text;
  // Up to the cap is played: 99999 repetitions and the shutdown.
  EXPECT_EQ(Parse(s + "every 0.1 break A\nduration 10000\n").events.size(), MaxScenarioEvents);
}

// The soak scenarios of the source tree: eight servers of four channels at
// 25 frames a second, breaks rotating through all of them, channels closed
// and opened, a server deleted and added again, judged after the warm-up.
void CheckSoak(const char *file, int32_t durationMs, int32_t warmUpMs, int32_t breakMs, int32_t deleteMs) {
  SCOPED_TRACE(file);
  std::ifstream in(std::string(TM_SOURCE_DIR) + "/scenarios/" + file, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read it";
  std::ostringstream text;
  text << in.rdbuf();
  const auto sc = Parse(text.str());
  EXPECT_EQ(sc.shutdownAtMs, durationMs);
  EXPECT_EQ(sc.warmUpMs, warmUpMs);
  ASSERT_EQ(sc.servers.size(), 8u);
  std::set<int32_t> ports;
  for (const auto &s : sc.servers) {
    EXPECT_EQ(s.channels, 4) << s.name;
    EXPECT_EQ(s.fps, 25) << s.name;
    EXPECT_EQ(s.address, "127.0.0.1") << s.name;
    EXPECT_EQ(s.expect, TExpect::OnLine) << s.name;
    ports.insert(s.port);
  }
  EXPECT_EQ(ports.size(), 8u) << "a port each";
  std::vector<int> breaks;
  int closes = 0, opens = 0, lastBreak = 0;
  std::vector<std::pair<int32_t, TEventKind>> deletions; // delete and add, in order
  for (const auto &e : sc.events) {
    if (e.kind == TEventKind::Break) {
      breaks.push_back(e.server);
      if (breaks.size() > 1) {
        EXPECT_EQ(e.atMs - lastBreak, breakMs);
      }
      lastBreak = e.atMs;
    }
    closes += e.kind == TEventKind::Close;
    opens += e.kind == TEventKind::Open;
    if (e.kind == TEventKind::Delete || e.kind == TEventKind::Add) deletions.push_back({e.atMs, e.kind});
  }
  ASSERT_GE(breaks.size(), 8u);
  for (size_t k = 0; k < breaks.size(); ++k) EXPECT_EQ(breaks[k], static_cast<int>(k % 8)) << "break " << k;
  EXPECT_GE(closes, 2);
  EXPECT_EQ(opens, closes);
  ASSERT_GE(deletions.size(), 2u);
  for (size_t k = 0; k < deletions.size(); ++k)
    EXPECT_EQ(deletions[k].second, k % 2 ? TEventKind::Add : TEventKind::Delete) << "at " << deletions[k].first;
  EXPECT_EQ(deletions.size() % 2, 0u) << "deleted at the shutdown";
  if (deletions.size() >= 3) {
    EXPECT_EQ(deletions[2].first - deletions[0].first, deleteMs);
  }
}

TEST(Scenario, TheSoakScenariosParseAndHaveTheirShape) {
  CheckSoak("soak.txt", 3600000, 300000, 60000, 300000);
  CheckSoak("soak-short.txt", 300000, 120000, 6000, 30000);
}

TEST(Scenario, AFailedParseLeavesTheTargetAlone) {
  TScenario sc;
  sc.title = "kept";
  std::string error;
  EXPECT_FALSE(ParseScenario("server A 127.0.0.1 3000\nat x shutdown\n", sc, error)) << "it parsed";
  EXPECT_EQ(sc.title, "kept");
  EXPECT_EQ(sc.servers.size(), 0u);
}

} // namespace
