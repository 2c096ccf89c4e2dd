// Scenario.cpp - the scenario text format and its parser.
#include "host/Scenario.h"
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace NDemo {

const char *EventName(TEventKind k) {
  switch (k) {
  case TEventKind::Open: return "open";
  case TEventKind::Close: return "close";
  case TEventKind::Break: return "break";
  case TEventKind::Reset: return "reset";
  case TEventKind::Add: return "add";
  case TEventKind::Delete: return "delete";
  case TEventKind::Corrupt: return "corrupt";
  case TEventKind::Shutdown: return "shutdown";
  }
  return "?";
}

namespace {

// A fault at a line; thrown inside the parser only.
struct TFault {
  int line;
  std::string message;
};

[[noreturn]] void Fail(int line, const std::string &msg) { throw TFault{line, msg}; }

int32_t ToInt(const std::string &s, int line, const std::string &what, int64_t lo, int64_t hi) {
  if (s.empty()) Fail(line, what + " is empty");
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end != '\0' || errno != 0) Fail(line, what + " '" + s + "' is not a whole number");
  if (v < lo || v > hi)
    Fail(line, what + " " + s + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
  return static_cast<int32_t>(v);
}

// Seconds with an optional fraction, as milliseconds, within 0..maxMs.
int32_t ToMs(const std::string &s, int line, const std::string &what, int32_t maxMs = MaxScenarioMs) {
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
    Fail(line, what + " '" + s + "' is not a number of seconds");
  if (v < 0 || v * 1000.0 > maxMs)
    Fail(line, what + " " + s + " is out of range 0.." + std::to_string(maxMs / 1000) + " s");
  return static_cast<int32_t>(std::lround(v * 1000.0));
}

// Milliseconds as seconds for a message: "3", "2.5", "0.125".
std::string Seconds(int64_t ms) {
  std::string s = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms % 1000));
    s += frac;
    while (s.back() == '0') s.pop_back();
  }
  return s;
}

bool ToYesNo(const std::string &s, int line, const std::string &what) {
  if (s == "yes") return true;
  if (s == "no") return false;
  Fail(line, what + " must be yes or no, not '" + s + "'");
}

void CheckText(const std::string &s, size_t max, int line, const std::string &what) {
  if (s.size() > max) Fail(line, what + " '" + s + "' is longer than " + std::to_string(max) + " characters");
}

std::vector<std::string> Tokens(const std::string &line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string t;
  while (in >> t) {
    if (t[0] == '#') break;
    out.push_back(t);
  }
  return out;
}

void ParseServer(const std::vector<std::string> &t, int line, TScenario &sc) {
  if (t.size() < 4) Fail(line, "server needs a name, an address and a port");
  TServerEntry s;
  s.line = line;
  s.name = t[1];
  s.address = t[2];
  CheckText(s.address, 39, line, "address");
  s.port = ToInt(t[3], line, "port", 1, 65535);
  bool hostUser = false, hostPassword = false;
  for (size_t i = 4; i < t.size(); ++i) {
    const auto eq = t[i].find('=');
    if (eq == std::string::npos || eq == 0) Fail(line, "expected key=value, found '" + t[i] + "'");
    const std::string key = t[i].substr(0, eq), value = t[i].substr(eq + 1);
    if (key == "user") {
      CheckText(value, 15, line, "user");
      s.simUser = value;
    } else if (key == "password") {
      CheckText(value, 15, line, "password");
      s.simPassword = value;
    } else if (key == "host-user") {
      CheckText(value, 15, line, "host-user");
      s.user = value;
      hostUser = true;
    } else if (key == "host-password") {
      CheckText(value, 15, line, "host-password");
      s.password = value;
      hostPassword = true;
    } else if (key == "channels") {
      s.channels = ToInt(value, line, "channels", 1, 64);
    } else if (key == "behaviour") {
      if (value == "accept") s.behaviour = 0;
      else if (value == "refuse") s.behaviour = 1;
      else if (value == "info-fails") s.behaviour = 2;
      else if (value == "slow") s.behaviour = 3;
      else Fail(line, "behaviour must be accept, refuse, info-fails or slow, not '" + value + "'");
    } else if (key == "logon-delay") {
      s.logonDelayMs = ToInt(value, line, "logon-delay", 0, 60000);
    } else if (key == "fps") {
      s.fps = ToInt(value, line, "fps", 1, 100);
    } else if (key == "video") {
      const auto dash = value.find('-');
      s.videoMin = ToInt(value.substr(0, dash), line, "video size", 16, 1 << 20);
      s.videoMax = dash == std::string::npos ? s.videoMin
                                             : ToInt(value.substr(dash + 1), line, "video size", 16, 1 << 20);
      if (s.videoMax < s.videoMin) Fail(line, "video size range " + value + " runs backwards");
    } else if (key == "audio") {
      s.audio = ToInt(value, line, "audio", 0, 65535);
    } else if (key == "key") {
      s.keyInterval = ToInt(value, line, "key", 1, 10000);
    } else if (key == "expect") {
      if (value == "online") s.expect = TExpect::OnLine;
      else if (value == "offline") s.expect = TExpect::OffLine;
      else if (value == "any") s.expect = TExpect::Any;
      else Fail(line, "expect must be online, offline or any, not '" + value + "'");
    } else if (key == "register") {
      if (value == "start") s.registerAtStart = true;
      else if (value == "later") s.registerAtStart = false;
      else Fail(line, "register must be start or later, not '" + value + "'");
    } else if (key == "sim") {
      s.simulated = ToYesNo(value, line, "sim");
    } else {
      Fail(line, "unknown server setting '" + key + "'");
    }
  }
  if (!hostUser) s.user = s.simUser;
  if (!hostPassword) s.password = s.simPassword;
  for (const auto &o : sc.servers) {
    if (o.name == s.name) Fail(line, "server " + s.name + " is already defined (line " + std::to_string(o.line) + ")");
    if (o.address == s.address && o.port == s.port)
      Fail(line, "server " + s.name + " has the address and port of " + o.name);
  }
  sc.servers.push_back(s);
}

int FindServer(const TScenario &sc, const std::string &name, int line) {
  for (size_t i = 0; i < sc.servers.size(); ++i)
    if (sc.servers[i].name == name) return static_cast<int>(i);
  Fail(line, "no server named '" + name + "' is defined above");
}

// What an "at" or "every" line does: EVENT [SERVER[,SERVER...] [CHANNEL]].
struct TAction {
  TEventKind kind = TEventKind::Shutdown;
  std::vector<int> servers; // one, or for "every" the list it rotates through
  int channel = -1;
};

// Reads the action from t[first] on. A list of servers only where `list`.
TAction ParseAction(const std::vector<std::string> &t, size_t first, int line, const TScenario &sc, bool list) {
  TAction a;
  const std::string &what = t[first];
  static const std::pair<const char *, TEventKind> kinds[] = {
      {"open", TEventKind::Open},     {"close", TEventKind::Close}, {"break", TEventKind::Break},
      {"reset", TEventKind::Reset},   {"add", TEventKind::Add},     {"delete", TEventKind::Delete},
      {"corrupt", TEventKind::Corrupt}, {"shutdown", TEventKind::Shutdown}};
  bool known = false;
  for (const auto &k : kinds)
    if (what == k.first) {
      a.kind = k.second;
      known = true;
    }
  if (!known) Fail(line, "unknown event '" + what + "'");
  if (list && a.kind == TEventKind::Shutdown) Fail(line, "shutdown cannot repeat: give 'duration <seconds>'");
  // Tokens after the event: [SERVER [CHANNEL]]
  size_t least = 1, most = 1;
  const char *needs = " needs a server";
  if (a.kind == TEventKind::Shutdown) least = most = 0;
  if (a.kind == TEventKind::Open || a.kind == TEventKind::Close) most = 2;
  if (a.kind == TEventKind::Corrupt) {
    least = most = 2;
    needs = " needs a server and a channel";
  }
  const size_t given = t.size() - first - 1;
  if (given < least) Fail(line, what + needs);
  if (given > most) Fail(line, "unexpected '" + t[first + 1 + most] + "' after " + what);
  if (a.kind == TEventKind::Shutdown) return a;
  const std::string &names = t[first + 1];
  if (!list) {
    a.servers.push_back(FindServer(sc, names, line));
  } else {
    size_t from = 0;
    for (;;) {
      const size_t comma = names.find(',', from);
      const std::string name = names.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (name.empty()) Fail(line, "the server list '" + names + "' has an empty name");
      a.servers.push_back(FindServer(sc, name, line));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  if (given == 2) {
    const std::string &c = t[first + 2];
    if (c == "all" && a.kind != TEventKind::Corrupt) {
      a.channel = -1;
    } else if (a.servers.size() == 1) {
      a.channel = ToInt(c, line, "channel", 0, sc.servers[static_cast<size_t>(a.servers[0])].channels - 1);
    } else {
      a.channel = ToInt(c, line, "channel", 0, 63);
      for (int i : a.servers) {
        const auto &s = sc.servers[static_cast<size_t>(i)];
        if (a.channel >= s.channels)
          Fail(line, "channel " + c + " is out of range 0.." + std::to_string(s.channels - 1) + " of server " + s.name);
      }
    }
  }
  return a;
}

// An "every" line before its expansion (which needs the shutdown time).
struct TRepeat {
  int line = 0;
  int32_t periodMs = 0;
  int32_t fromMs = -1;  // -1: one period after the start
  int32_t untilMs = -1; // -1: the shutdown
  TAction action;
};

// Where the parser keeps what only the whole text decides.
struct TParse {
  TScenario sc;
  std::vector<TRepeat> repeats;
  int shutdownLine = 0; // the "at <seconds> shutdown" line
  int durationLine = 0;
  int32_t durationMs = 0;
  int warmUpLine = 0;
  bool sawEvent = false;
};

void ParseEvent(const std::vector<std::string> &t, int line, TParse &p) {
  TScenario &sc = p.sc;
  if (t.size() < 3) Fail(line, "at needs a time and an event");
  TEvent e;
  e.line = line;
  e.atMs = ToMs(t[1], line, "time");
  const TAction a = ParseAction(t, 2, line, sc, false);
  e.kind = a.kind;
  e.server = a.servers.empty() ? -1 : a.servers[0];
  e.channel = a.channel;
  if (p.shutdownLine) Fail(line, "event after the shutdown (line " + std::to_string(p.shutdownLine) + ")");
  if (sc.events.size() + 1 >= MaxScenarioEvents)
    Fail(line, "more than " + std::to_string(MaxScenarioEvents) + " events");
  if (e.kind == TEventKind::Shutdown) {
    for (const auto &o : sc.events)
      if (o.atMs > e.atMs)
        Fail(line, "shutdown at " + t[1] + " s comes before the event of line " + std::to_string(o.line));
    sc.shutdownAtMs = e.atMs;
    p.shutdownLine = line;
  }
  sc.events.push_back(e);
}

// every PERIOD [from START] [until END] EVENT ARGS...
void ParseRepeat(const std::vector<std::string> &t, int line, TParse &p) {
  if (t.size() < 3) Fail(line, "every needs a period and an event");
  TRepeat r;
  r.line = line;
  r.periodMs = ToMs(t[1], line, "period");
  if (r.periodMs < MinRepeatMs) Fail(line, "period " + t[1] + " s is shorter than " + Seconds(MinRepeatMs) + " s");
  size_t i = 2;
  while (i < t.size() && (t[i] == "from" || t[i] == "until")) {
    const bool from = t[i] == "from";
    int32_t &to = from ? r.fromMs : r.untilMs;
    if (to >= 0) Fail(line, t[i] + " is given twice");
    if (i + 1 >= t.size()) Fail(line, t[i] + " needs a time");
    to = ToMs(t[i + 1], line, t[i]);
    i += 2;
  }
  if (i >= t.size()) Fail(line, "every needs an event after its times");
  const int32_t first = r.fromMs >= 0 ? r.fromMs : r.periodMs;
  if (r.untilMs >= 0 && first >= r.untilMs)
    Fail(line, "the first repetition at " + Seconds(first) + " s is not before until " + Seconds(r.untilMs) + " s");
  r.action = ParseAction(t, i, line, p.sc, true);
  p.repeats.push_back(r);
}

void ParseTimeSetting(const std::vector<std::string> &t, int line, TParse &p) {
  const std::string &d = t[0];
  if (t.size() != 2) Fail(line, d + " takes one value");
  int &seen = d == "duration" ? p.durationLine : p.warmUpLine;
  if (seen) Fail(line, d + " is already given (line " + std::to_string(seen) + ")");
  seen = line;
  const int32_t ms = ToMs(t[1], line, d);
  if (d == "duration") {
    p.durationMs = ms;
  } else {
    if (ms == 0) Fail(line, "warm-up must be more than 0 s");
    p.sc.warmUpMs = ms;
  }
}

// After the last line: the shutdown time is known, the repetitions are
// expanded, and everything is put in time order.
void Finish(TParse &p) {
  TScenario &sc = p.sc;
  if (sc.servers.empty()) Fail(0, "no server is defined");
  if (!p.durationLine && !p.shutdownLine) Fail(0, "no 'duration <seconds>' and no 'at <seconds> shutdown'");
  if (p.durationLine && p.shutdownLine && p.durationMs != sc.shutdownAtMs)
    Fail(std::max(p.durationLine, p.shutdownLine),
         "duration " + Seconds(p.durationMs) + " s (line " + std::to_string(p.durationLine) +
             ") and the shutdown at " + Seconds(sc.shutdownAtMs) + " s (line " + std::to_string(p.shutdownLine) +
             ") disagree");
  TEvent shutdown;
  if (p.shutdownLine) {
    shutdown = sc.events.back();
    sc.events.pop_back();
  } else {
    sc.shutdownAtMs = p.durationMs;
    shutdown.atMs = p.durationMs;
    shutdown.line = p.durationLine;
  }
  const int32_t end = sc.shutdownAtMs;
  for (const auto &e : sc.events)
    if (e.atMs > end)
      Fail(e.line, "event at " + Seconds(e.atMs) + " s is after the shutdown at " + Seconds(end) + " s");
  if (p.warmUpLine && sc.warmUpMs >= end)
    Fail(p.warmUpLine, "warm-up " + Seconds(sc.warmUpMs) + " s is not before the shutdown at " + Seconds(end) + " s");
  for (const TRepeat &r : p.repeats) {
    const int64_t first = r.fromMs >= 0 ? r.fromMs : r.periodMs;
    if (r.untilMs > end)
      Fail(r.line, "until " + Seconds(r.untilMs) + " s is after the shutdown at " + Seconds(end) + " s");
    const int64_t until = r.untilMs >= 0 ? r.untilMs : end;
    if (first >= until)
      Fail(r.line, "the first repetition at " + Seconds(first) + " s is not before the shutdown at " + Seconds(end) +
                       " s");
    const size_t n = r.action.servers.size();
    size_t k = 0;
    for (int64_t at = first; at < until; at += r.periodMs, ++k) {
      if (sc.events.size() + 1 >= MaxScenarioEvents)
        Fail(r.line, "the repetitions make more than " + std::to_string(MaxScenarioEvents) + " events");
      TEvent e;
      e.atMs = static_cast<int32_t>(at);
      e.kind = r.action.kind;
      e.server = r.action.servers[k % n];
      e.channel = r.action.channel;
      e.line = r.line;
      sc.events.push_back(e);
    }
  }
  // Lines are unique and no line has two events at one time, so this order
  // is total: equal times run in the order written.
  std::sort(sc.events.begin(), sc.events.end(), [](const TEvent &a, const TEvent &b) {
    return a.atMs != b.atMs ? a.atMs < b.atMs : a.line < b.line;
  });
  sc.events.push_back(shutdown);
}

} // namespace

bool ParseScenario(const std::string &text, TScenario &out, std::string &error) {
  TParse p;
  TScenario &sc = p.sc;
  try {
    std::istringstream in(text);
    std::string raw;
    int line = 0;
    while (std::getline(in, raw)) {
      ++line;
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
      const auto t = Tokens(raw);
      if (t.empty()) continue;
      const std::string &d = t[0];
      if (d == "title") {
        const auto at = raw.find("title") + 5;
        sc.title = raw.substr(raw.find_first_not_of(" \t", at));
      } else if (d == "server") {
        if (p.sawEvent) Fail(line, "servers come before the events");
        ParseServer(t, line, sc);
      } else if (d == "at") {
        p.sawEvent = true;
        ParseEvent(t, line, p);
      } else if (d == "every") {
        p.sawEvent = true;
        ParseRepeat(t, line, p);
      } else if (d == "duration" || d == "warm-up") {
        ParseTimeSetting(t, line, p);
      } else if (d == "offline-delay" || d == "shutdown-limit" || d == "auto-open") {
        if (t.size() != 2) Fail(line, d + " takes one value");
        if (d == "offline-delay") sc.offlineDelayMs = ToInt(t[1], line, d, -2147483647, 2147483647);
        else if (d == "shutdown-limit") sc.shutdownLimitMs = ToMs(t[1], line, d, 3600 * 1000);
        else sc.autoOpen = ToYesNo(t[1], line, d);
      } else {
        Fail(line, "unknown directive '" + d + "'");
      }
    }
    Finish(p);
  } catch (const TFault &f) {
    error = "line " + std::to_string(f.line) + ": " + f.message;
    return false;
  }
  out = std::move(sc);
  return true;
}

const std::string &DefaultScenarioText() {
  static const std::string text = R"(# The demo host's default scenario (tmhost --print-scenario shows it).
title Four servers of four channels: a wrong password, a host name, a link break

offline-delay 0        # report a break at once (milliseconds)
shutdown-limit 10      # seconds the driver's shutdown may take
auto-open yes          # open every channel when its server reports on line

# server NAME ADDRESS PORT key=value...
server A 127.0.0.1 3000 user=admin password=1234 channels=4 fps=25 video=3000-9000 audio=320 key=25
server B 127.0.0.1 3001 user=admin password=1234 host-password=4321 channels=4 expect=offline
server C localhost 3002 user=admin password=1234 channels=4 fps=15 video=1500-4000 audio=160 key=15
server D 127.0.0.1 3003 user=guest password=guest channels=4 fps=25 video=6000-20000 audio=0 key=50

at 5    break D        # link break: D goes off line, back on the next pass (~10 s)
at 14   close A 3
at 16   open A 3
at 26   shutdown
)";
  return text;
}

} // namespace NDemo
