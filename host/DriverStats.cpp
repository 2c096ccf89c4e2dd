// DriverStats.cpp - reading the driver's stream lines.
#include "host/DriverStats.h"
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace NDemo {

namespace {

bool Number(const std::string &text, double &out) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return *end == '\0' && errno == 0 && out >= 0;
}

} // namespace

bool ParseStreamLine(const std::string &line, std::string &server, TDriverStatsMark &out) {
  static const std::string Lead = "zq>>TTMDvs stream ";
  const auto at = line.find(Lead);
  if (at == std::string::npos) return false;
  std::istringstream in(line.substr(at + Lead.size()));
  std::string word;
  if (!(in >> server) || server.find(':') == std::string::npos) return false;
  if (!(in >> word) || word.rfind("span=", 0) != 0 || !Number(word.substr(5), out.span)) return false;
  out.channels.clear();
  TDriverChannelStats *c = nullptr;
  while (in >> word) {
    if (word == "|") {
      if (!(in >> word) || word.size() < 3 || word.compare(0, 2, "ch") != 0) return false;
      double n;
      if (!Number(word.substr(2), n)) return false;
      out.channels.push_back({});
      c = &out.channels.back();
      c->channel = static_cast<int>(n);
      continue;
    }
    if (!c) return false;
    if (word == "NO") {
      if (!(in >> word) || word != "FRAMES") return false;
      c->idle = true;
      continue;
    }
    const auto eq = word.find('=');
    double v;
    if (eq == std::string::npos || !Number(word.substr(eq + 1), v)) return false;
    const std::string key = word.substr(0, eq);
    if (key == "fps") c->fps = v;
    else if (key == "kbps") c->kbps = v;
    else if (key == "video") c->video = static_cast<int64_t>(v);
    else if (key == "audio") c->audio = static_cast<int64_t>(v);
    else if (key == "drop") c->drop = static_cast<int64_t>(v);
    else if (key == "miss") c->miss = static_cast<int64_t>(v);
    // nokey, big, outside, nobuf: the parts of drop; other keys a later
    // driver may add: read past.
  }
  return !out.channels.empty();
}

} // namespace NDemo
