// Scenario.cpp - the scenario text format and its parser.
#include "host/Scenario.h"
#include <algorithm>
#include <cerrno>
#include <cmath>
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

// Seconds with an optional fraction, as milliseconds.
int32_t ToMs(const std::string &s, int line, const std::string &what) {
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
    Fail(line, what + " '" + s + "' is not a number of seconds");
  if (v < 0 || v > 3600) Fail(line, what + " " + s + " is out of range 0..3600 s");
  return static_cast<int32_t>(std::lround(v * 1000.0));
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

void ParseEvent(const std::vector<std::string> &t, int line, TScenario &sc) {
  if (t.size() < 3) Fail(line, "at needs a time and an event");
  TEvent e;
  e.line = line;
  e.atMs = ToMs(t[1], line, "time");
  const std::string &what = t[2];
  static const std::pair<const char *, TEventKind> kinds[] = {
      {"open", TEventKind::Open},     {"close", TEventKind::Close}, {"break", TEventKind::Break},
      {"reset", TEventKind::Reset},   {"add", TEventKind::Add},     {"delete", TEventKind::Delete},
      {"corrupt", TEventKind::Corrupt}, {"shutdown", TEventKind::Shutdown}};
  bool known = false;
  for (const auto &k : kinds)
    if (what == k.first) {
      e.kind = k.second;
      known = true;
    }
  if (!known) Fail(line, "unknown event '" + what + "'");
  // Tokens: at TIME EVENT [SERVER [CHANNEL]]
  size_t least = 4, most = 4;
  const char *needs = " needs a server";
  if (e.kind == TEventKind::Shutdown) least = most = 3;
  if (e.kind == TEventKind::Open || e.kind == TEventKind::Close) most = 5;
  if (e.kind == TEventKind::Corrupt) {
    least = most = 5;
    needs = " needs a server and a channel";
  }
  if (t.size() < least) Fail(line, what + needs);
  if (t.size() > most) Fail(line, "unexpected '" + t[most] + "' after " + what);
  if (e.kind != TEventKind::Shutdown) e.server = FindServer(sc, t[3], line);
  if (t.size() == 5) {
    const auto &s = sc.servers[static_cast<size_t>(e.server)];
    if (t[4] == "all" && e.kind != TEventKind::Corrupt) e.channel = -1;
    else e.channel = ToInt(t[4], line, "channel", 0, s.channels - 1);
  }
  for (const auto &o : sc.events)
    if (o.kind == TEventKind::Shutdown) Fail(line, "event after the shutdown (line " + std::to_string(o.line) + ")");
  if (e.kind == TEventKind::Shutdown) {
    for (const auto &o : sc.events)
      if (o.atMs > e.atMs)
        Fail(line, "shutdown at " + t[1] + " s comes before the event of line " + std::to_string(o.line));
    sc.shutdownAtMs = e.atMs;
  }
  sc.events.push_back(e);
}

} // namespace

bool ParseScenario(const std::string &text, TScenario &out, std::string &error) {
  TScenario sc;
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
        const auto p = raw.find("title") + 5;
        sc.title = raw.substr(raw.find_first_not_of(" \t", p));
      } else if (d == "server") {
        if (!sc.events.empty()) Fail(line, "servers come before the events");
        ParseServer(t, line, sc);
      } else if (d == "at") {
        ParseEvent(t, line, sc);
      } else if (d == "offline-delay" || d == "shutdown-limit" || d == "auto-open") {
        if (t.size() != 2) Fail(line, d + " takes one value");
        if (d == "offline-delay") sc.offlineDelayMs = ToInt(t[1], line, d, -2147483647, 2147483647);
        else if (d == "shutdown-limit") sc.shutdownLimitMs = ToMs(t[1], line, d);
        else sc.autoOpen = ToYesNo(t[1], line, d);
      } else {
        Fail(line, "unknown directive '" + d + "'");
      }
    }
    if (sc.servers.empty()) Fail(0, "no server is defined");
    if (sc.events.empty() || sc.events.back().kind != TEventKind::Shutdown)
      Fail(0, "no 'at <seconds> shutdown' event");
    std::stable_sort(sc.events.begin(), sc.events.end(),
                     [](const TEvent &a, const TEvent &b) { return a.atMs < b.atMs; });
    // Equal times keep their order, and nothing is later than the shutdown,
    // so it stays last.
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
