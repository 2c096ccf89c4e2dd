// Growth.cpp - the trends of private memory, handles and threads after the
// warm-up, and their verdict (Growth.h).
#include "host/Growth.h"
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace NDemo {

namespace {

std::string Format(const char *fmt, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

// A count for a message: "6", "6.5".
std::string Count(double v) {
  std::string s = Format("%.1f", v);
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s;
}

struct TRow {
  double minutes; // since the first judged sample
  double threads; // less their mean
  double value;
};

// Least squares of value over 1, minutes and (withThreads) threads: the
// coefficients, or false where the system is singular.
bool Solve(const std::vector<TRow> &rows, bool withThreads, double (&c)[3]) {
  const int n = withThreads ? 3 : 2;
  double m[3][4] = {};
  for (const auto &r : rows) {
    const double x[3] = {1, r.minutes, r.threads};
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) m[i][j] += x[i] * x[j];
      m[i][3] += x[i] * r.value;
    }
  }
  for (int i = 0; i < n; ++i) { // elimination with the largest pivot
    int p = i;
    for (int k = i + 1; k < n; ++k)
      if (std::fabs(m[k][i]) > std::fabs(m[p][i])) p = k;
    if (std::fabs(m[p][i]) < 1e-9) return false;
    for (int j = 0; j < 4; ++j) std::swap(m[i][j], m[p][j]);
    for (int k = i + 1; k < n; ++k) {
      const double f = m[k][i] / m[i][i];
      for (int j = i; j < 4; ++j) m[k][j] -= f * m[i][j];
    }
  }
  c[0] = c[1] = c[2] = 0;
  for (int i = n - 1; i >= 0; --i) {
    double v = m[i][3];
    for (int j = i + 1; j < n; ++j) v -= m[i][j] * c[j];
    c[i] = v / m[i][i];
  }
  return true;
}

bool Varies(const std::vector<TRow> &rows) {
  for (const auto &r : rows)
    if (r.threads != rows.front().threads) return true;
  return false;
}

// Fits all rows, then again GrowthRefits times, each time without the
// GrowthTrimmed share of the rows farthest above the line before: what a
// process holds for a moment (a reconnect's handles, a burst's buffers) is
// always on top of what it keeps, and a fit to the rest is not drawn up by
// it, even where it comes with a certain thread count.
TTrend Fit(const std::vector<TRow> &all, bool withThreads, double minutes) {
  double c[3] = {};
  auto solve = [&](const std::vector<TRow> &rows) {
    const bool threads = withThreads && Varies(rows);
    return Solve(rows, threads, c) || (threads && Solve(rows, false, c));
  };
  if (!solve(all)) return TTrend{};
  std::vector<TRow> near = all;
  const size_t keep = all.size() - static_cast<size_t>(static_cast<double>(all.size()) * GrowthTrimmed);
  for (int pass = 0; pass < GrowthRefits; ++pass) {
    auto off = [&](const TRow &r) { return r.value - (c[0] + c[1] * r.minutes + c[2] * r.threads); };
    near = all;
    std::stable_sort(near.begin(), near.end(), [&](const TRow &a, const TRow &b) { return off(a) < off(b); });
    near.resize(keep);
    if (!solve(near)) return TTrend{};
  }
  TTrend t;
  t.level = c[0];
  t.rate = c[1];
  t.rise = c[1] * minutes;
  t.perThread = c[2];
  return t;
}

} // namespace

std::string GrowthBytes(double bytes) {
  const double a = std::fabs(bytes);
  if (a < 1024) return Format("%.0f B", bytes);
  std::string s = a < 1024 * 1024 ? Format("%.1f", bytes / 1024) + " KiB" : Format("%.1f", bytes / (1024 * 1024)) + " MiB";
  const auto dot = s.find(".0 ");
  if (dot != std::string::npos) s.erase(dot, 2); // "1 MiB", not "1.0 MiB"
  return s;
}

TGrowth MeasureGrowth(const std::vector<TResourceSample> &samples, double warmUp, int reconnects) {
  TGrowth g;
  std::vector<TResourceSample> s;
  for (const auto &x : samples)
    if (x.t >= warmUp) s.push_back(x);
  std::stable_sort(s.begin(), s.end(), [](const auto &a, const auto &b) { return a.t < b.t; });
  g.samples = static_cast<int>(s.size());
  if (!s.empty()) {
    g.from = s.front().t;
    g.to = s.back().t;
  }
  if (g.samples < GrowthMinSamples || g.to <= g.from) {
    g.note = "not judged: " + std::to_string(g.samples) + " samples after the warm-up at " + Format("%.0f", warmUp) +
             " s, " + std::to_string(GrowthMinSamples) + " over some time needed";
    return g;
  }
  g.judged = true;
  g.threadsKnown = std::all_of(s.begin(), s.end(), [](const auto &x) { return x.threads > 0; });
  double meanThreads = 0;
  for (const auto &x : s) meanThreads += static_cast<double>(x.threads);
  meanThreads /= static_cast<double>(s.size());
  auto rows = [&](auto value) {
    std::vector<TRow> r;
    for (const auto &x : s)
      r.push_back({(x.t - g.from) / 60.0, g.threadsKnown ? static_cast<double>(x.threads) - meanThreads : 0.0,
                   static_cast<double>(value(x))});
    return r;
  };
  const double minutes = (g.to - g.from) / 60.0;
  g.memory = Fit(rows([](const auto &x) { return x.privateBytes; }), g.threadsKnown, minutes);
  g.handles = Fit(rows([](const auto &x) { return x.handles; }), g.threadsKnown, minutes);
  if (g.threadsKnown) g.threads = Fit(rows([](const auto &x) { return x.threads; }), false, minutes);

  const std::string window = Format(" from %.0f s", g.from) + Format(" to %.0f s", g.to);
  const std::string taken =
      g.threadsKnown ? ", the thread count taken out" : ", the thread count not known (nothing taken out)";
  const std::string logons = "; " + std::to_string(reconnects) + " log-ons meanwhile";
  if (g.memory.rise > MemoryRiseLimit && g.memory.rate > MemoryRateLimit)
    g.problems.push_back("private memory kept rising after the warm-up: " + GrowthBytes(g.memory.rate) +
                         " a minute, " + GrowthBytes(g.memory.rise) + window + " (limits: " +
                         GrowthBytes(MemoryRateLimit) + " a minute and " + GrowthBytes(MemoryRiseLimit) + ")" + taken +
                         logons);
  if (g.handles.rise > HandleRiseLimit && g.handles.rate > HandleRateLimit)
    g.problems.push_back("the handle count kept rising after the warm-up: " + Count(g.handles.rate) + " a minute, " +
                         Count(g.handles.rise) + window + " (limits: " + Count(HandleRateLimit) + " a minute and " +
                         Count(HandleRiseLimit) + ")" + taken + logons +
                         (reconnects > 0 ? ", " + Count(g.handles.rise / reconnects) + " a log-on" : ""));
  if (g.threads.rise > ThreadRiseLimit && g.threads.rate > ThreadRateLimit)
    g.problems.push_back("the thread count kept rising after the warm-up: " + Count(g.threads.rate) + " a minute, " +
                         Count(g.threads.rise) + window + " (limits: " + Count(ThreadRateLimit) + " a minute and " +
                         Count(ThreadRiseLimit) + ")" + logons);
  return g;
}

std::vector<std::string> JudgeGrowth(const std::vector<TResourceSample> &samples, double warmUp, int reconnects) {
  return MeasureGrowth(samples, warmUp, reconnects).problems;
}

} // namespace NDemo
