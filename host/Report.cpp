// Report.cpp
#include "host/Report.h"
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace NDemo {
namespace {

std::string Fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char *format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return "";
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(out.data(), out.size(), format, args);
  va_end(args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Num(int64_t v) { return Fmt("%lld", static_cast<long long>(v)); }

// Channel colours, far from the event colours and from each other; a server
// with more channels than colours draws the next round dashed.
const char *const kChannelColours[] = {"#1c7ed6", "#37b24d", "#f59f00", "#7048e8",
                                       "#1098ad", "#e8590c", "#5c940d", "#343a40"};
constexpr int kChannelColourCount = sizeof kChannelColours / sizeof kChannelColours[0];

constexpr const char *kOnColour = "#2f9e44", *kOffColour = "#e03131", *kNoneColour = "#adb5bd";
constexpr const char *kGridColour = "#dde3ea", *kAxisText = "#495057";
constexpr const char *kPrivateColour = "#5f3dc4", *kHandlesColour = "#e67700";

// Chart geometry (SVG user units = CSS pixels). The plot area is the
// background rectangle; everything drawn in it is clipped kRing inside its
// edge, so a frame of pure background stays around it; values map to the
// area kPad inside the edge.
constexpr double kWidth = 900, kHeight = 198;
constexpr double kLeft = 48, kRight = 104, kTop = 28, kBottom = 40;
constexpr double kPlotW = kWidth - kLeft - kRight, kPlotH = kHeight - kTop - kBottom;
constexpr double kRing = 2, kPad = 4;

struct TScale {
  double lo = 0, hi = 1, step = 1;
};

// A scale over [lo, hi] with round steps, about `ticks` of them.
TScale NiceScale(double lo, double hi, int ticks) {
  if (!(hi > lo)) hi = lo + 1;
  const double raw = (hi - lo) / ticks;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * mag >= raw) {
      step = m * mag;
      break;
    }
  TScale s;
  s.step = step;
  s.lo = std::floor(lo / step + 1e-9) * step;
  s.hi = std::ceil(hi / step - 1e-9) * step;
  if (s.hi <= s.lo) s.hi = s.lo + step;
  return s;
}

std::string TickText(double v, double step) {
  if (step >= 1 && std::fabs(v - std::round(v)) < 1e-9) return Fmt("%.0f", v);
  return step >= 0.1 ? Fmt("%.1f", v) : Fmt("%.2f", v);
}

// Maps time and values to the plot area.
struct TFrame {
  double t1 = 1;
  TScale y;
  double X(double t) const {
    const double c = std::clamp(t / t1, 0.0, 1.0);
    return kLeft + kPad + c * (kPlotW - 2 * kPad);
  }
  double Y(double v, const TScale &s) const {
    const double c = std::clamp((v - s.lo) / (s.hi - s.lo), 0.0, 1.0);
    return kTop + kPlotH - kPad - c * (kPlotH - 2 * kPad);
  }
  double Y(double v) const { return Y(v, y); }
};

double EndTime(const TRunRecord &run) {
  double t = run.duration;
  if (!run.samples.empty()) t = std::max(t, run.samples.back().t);
  for (const auto &e : run.events) t = std::max(t, e.t);
  for (const auto &d : run.driverLines) t = std::max(t, d.t);
  return t > 0 ? t : 1;
}

double Fps(const TSample &s, int index) {
  return index >= 0 && static_cast<size_t>(index) < s.fps.size() ? s.fps[static_cast<size_t>(index)] : 0;
}

// Where a driver line's fps is drawn: the middle of the time it covers.
double DriverTime(const TDriverStatsMark &d) { return d.span > 0 ? std::max(0.0, d.t - d.span / 2) : d.t; }

std::string EventLabel(const TEventMark &e) {
  if (e.channel >= 0 && (e.kind == "corrupt" || e.kind == "open" || e.kind == "close"))
    return e.kind + " ch" + std::to_string(e.channel);
  return e.kind;
}

// The background rectangle, its clip, the grid and the time axis.
void PlotFrame(std::string &o, const TFrame &f, const std::string &clipId, const char *background,
               const TScale &left, const TScale *right) {
  o += Fmt("<defs><clipPath id=\"%s\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/></clipPath></defs>\n",
           clipId.c_str(), kLeft + kRing, kTop + kRing, kPlotW - 2 * kRing, kPlotH - 2 * kRing);
  o += Fmt("<rect class=\"plot\" x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"%s\" "
           "shape-rendering=\"crispEdges\"/>\n",
           kLeft, kTop, kPlotW, kPlotH, background);
  o += "<g clip-path=\"url(#" + clipId + ")\" stroke=\"" + kGridColour +
       "\" stroke-width=\"1\" shape-rendering=\"crispEdges\">";
  for (double v = left.lo; v <= left.hi + left.step / 2; v += left.step) {
    const double y = std::round(f.Y(v, left)) + 0.5;
    o += Fmt("<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\"/>", kLeft, y, kLeft + kPlotW, y);
  }
  const TScale time = NiceScale(0, f.t1, 10);
  for (double t = time.step; t < f.t1 + 1e-9; t += time.step) {
    const double x = std::round(f.X(t)) + 0.5;
    o += Fmt("<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\"/>", x, kTop, x, kTop + kPlotH);
  }
  o += "</g>\n<g class=\"axis\" font-size=\"10\" fill=\"";
  o += kAxisText;
  o += "\">";
  for (double v = left.lo; v <= left.hi + left.step / 2; v += left.step)
    o += Fmt("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>", kLeft - 5, f.Y(v, left) + 3.5,
             TickText(v, left.step).c_str());
  if (right)
    for (double v = right->lo; v <= right->hi + right->step / 2; v += right->step)
      o += Fmt("<text x=\"%.0f\" y=\"%.1f\">%s</text>", kLeft + kPlotW + 5, f.Y(v, *right) + 3.5,
               TickText(v, right->step).c_str());
  for (double t = 0; t < f.t1 + 1e-9; t += time.step)
    o += Fmt("<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>", f.X(t), kHeight - 8,
             TickText(t, time.step).c_str());
  o += Fmt("<text x=\"%.0f\" y=\"%.0f\">s</text>", kLeft + kPlotW + 5, kHeight - 8);
  o += "</g>\n";
}

std::string Points(const std::vector<std::pair<double, double>> &xy) {
  std::string s;
  for (const auto &[x, y] : xy) s += Fmt("%s%.1f,%.1f", s.empty() ? "" : " ", x, y);
  return s;
}

void ServerChart(std::string &o, const TRunRecord &run, int server, double t1) {
  const TServerInfo &info = run.servers[static_cast<size_t>(server)];
  double top = 5;
  for (const auto &s : run.samples)
    for (int c = 0; c < info.channels; ++c) top = std::max(top, Fps(s, info.firstChannel + c));
  for (const auto &d : run.driverLines)
    if (d.server == server)
      for (const auto &c : d.channels) top = std::max(top, c.fps);
  TFrame f;
  f.t1 = t1;
  f.y = NiceScale(0, top, 4);

  o += "<h3>" + HtmlEscape(info.name) + " <span class=\"where\">" + HtmlEscape(info.address) + ":" +
       std::to_string(info.port) + ", " + std::to_string(info.channels) + " channels</span></h3>\n";
  o += Fmt("<svg class=\"chart\" data-server=\"%s\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n",
           HtmlEscape(info.name).c_str(), kWidth, kHeight, kWidth, kHeight);
  const std::string clip = "clip-s" + std::to_string(server);
  PlotFrame(o, f, clip, kPlotBackground, f.y, nullptr);

  // The on-line band: a run of samples in one state is one rectangle.
  o += "<g class=\"states\" shape-rendering=\"crispEdges\">";
  const double bandY = kTop + kPlotH + 3;
  for (size_t i = 0; i < run.samples.size();) {
    const auto stateAt = [&](size_t k) {
      const auto &st = run.samples[k].state;
      return static_cast<size_t>(server) < st.size() ? st[static_cast<size_t>(server)] : -1;
    };
    const int state = stateAt(i);
    size_t j = i + 1;
    while (j < run.samples.size() && stateAt(j) == state) ++j;
    const double from = run.samples[i].t;
    const double to = j < run.samples.size() ? run.samples[j].t : std::min(t1, run.samples[j - 1].t + 1);
    const char *colour = state > 0 ? kOnColour : state == 0 ? kOffColour : kNoneColour;
    const char *name = state > 0 ? "on" : state == 0 ? "off" : "none";
    o += Fmt("<rect class=\"state\" data-state=\"%s\" x=\"%.1f\" y=\"%.0f\" width=\"%.1f\" height=\"7\" "
             "fill=\"%s\"/>",
             name, f.X(from), bandY, std::max(1.0, f.X(to) - f.X(from)), colour);
    i = j;
  }
  o += "</g>\n<g clip-path=\"url(#" + clip + ")\">\n";

  // The host's count per channel, then the driver's lines over it.
  for (int c = 0; c < info.channels; ++c) {
    const char *colour = kChannelColours[c % kChannelColourCount];
    std::vector<std::pair<double, double>> xy;
    std::string values;
    for (const auto &s : run.samples) {
      const double v = Fps(s, info.firstChannel + c);
      xy.emplace_back(f.X(s.t), f.Y(v));
      values += Fmt("%s%.1f", values.empty() ? "" : " ", v);
    }
    o += Fmt("<polyline data-series=\"fps\" data-channel=\"%d\" data-values=\"%s\" points=\"%s\" fill=\"none\" "
             "stroke=\"%s\" stroke-width=\"2.5\" stroke-linejoin=\"round\"%s/>\n",
             c, values.c_str(), Points(xy).c_str(), colour,
             c >= kChannelColourCount ? " stroke-dasharray=\"6 3\"" : "");
  }
  for (int c = 0; c < info.channels; ++c) {
    std::string marks, times, values;
    for (const auto &d : run.driverLines) {
      if (d.server != server) continue;
      for (const auto &ch : d.channels) {
        if (ch.channel != c) continue;
        const double t = DriverTime(d);
        marks += Fmt("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.8\"/>", f.X(t), f.Y(ch.fps));
        times += Fmt("%s%.2f", times.empty() ? "" : " ", t);
        values += Fmt("%s%.1f", values.empty() ? "" : " ", ch.fps);
      }
    }
    o += Fmt("<g class=\"driver\" data-series=\"driver-fps\" data-channel=\"%d\" data-times=\"%s\" "
             "data-values=\"%s\" fill=\"#ffffff\" stroke=\"%s\" stroke-width=\"1.5\">%s</g>\n",
             c, times.c_str(), values.c_str(), kChannelColours[c % kChannelColourCount], marks.c_str());
  }

  // Events last, so no line of a series covers them; their labels in the
  // margin above, on a second row where the one before would be in the way.
  std::string labels;
  double rowEnd[2] = {-1e9, -1e9};
  for (const auto &e : run.events) {
    if (e.server != -1 && e.server != server) continue;
    const char *colour = e.kind == "corrupt" ? kCorruptColour : kEventColour;
    const double x = std::round(f.X(e.t));
    o += Fmt("<line class=\"event\" data-kind=\"%s\" data-t=\"%.2f\"", HtmlEscape(e.kind).c_str(), e.t);
    if (e.channel >= 0) o += Fmt(" data-channel=\"%d\"", e.channel);
    o += Fmt(" x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\" "
             "shape-rendering=\"crispEdges\"/>\n",
             x, kTop + kRing, x, kTop + kPlotH - kRing, colour);
    const std::string label = EventLabel(e);
    const double width = 6.0 * static_cast<double>(label.size());
    const int row = x - width / 2 > rowEnd[0] + 4 ? 0 : 1;
    rowEnd[row] = x + width / 2;
    labels += Fmt("<text class=\"event-label\" x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" fill=\"%s\">%s</text>",
                  x, row == 0 ? kTop - 4 : kTop - 15, colour, HtmlEscape(label).c_str());
  }
  o += "</g>\n<g font-size=\"10\">" + labels + "</g>\n";

  // Legend: the channels in columns beside the plot.
  o += "<g class=\"legend\" font-size=\"11\" fill=\"#212529\">";
  const int rows = static_cast<int>(kPlotH / 15);
  for (int c = 0; c < info.channels; ++c) {
    const double x = kLeft + kPlotW + 12 + (c / rows) * 48, y = kTop + 8 + (c % rows) * 15;
    o += Fmt("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"3\"/>"
             "<text x=\"%.0f\" y=\"%.0f\">ch%d</text>",
             x, y, x + 14, y, kChannelColours[c % kChannelColourCount], x + 18, y + 4, c);
  }
  o += "</g>\n</svg>\n";
}

void ResourcesChart(std::string &o, const TRunRecord &run, double t1) {
  constexpr double MiB = 1024.0 * 1024.0;
  double memLo = 0, memHi = 1, hLo = 0, hHi = 1;
  if (!run.samples.empty()) {
    memLo = memHi = static_cast<double>(run.samples[0].privateBytes) / MiB;
    hLo = hHi = static_cast<double>(run.samples[0].handles);
    for (const auto &s : run.samples) {
      memLo = std::min(memLo, static_cast<double>(s.privateBytes) / MiB);
      memHi = std::max(memHi, static_cast<double>(s.privateBytes) / MiB);
      hLo = std::min(hLo, static_cast<double>(s.handles));
      hHi = std::max(hHi, static_cast<double>(s.handles));
    }
  }
  // A flat series sits in the middle of a small range, not on an edge.
  if (memHi - memLo < 0.5) memLo -= 0.25, memHi += 0.25;
  if (hHi - hLo < 4) hLo -= 2, hHi += 2;
  TFrame f;
  f.t1 = t1;
  f.y = NiceScale(std::max(0.0, memLo), memHi, 4);
  const TScale handles = NiceScale(std::max(0.0, hLo), hHi, 4);

  o += "<h3>Resources <span class=\"where\"><span class=\"swatch\" style=\"background:";
  o += kPrivateColour;
  o += "\"></span>private memory, MiB (left) <span class=\"swatch\" style=\"background:";
  o += kHandlesColour;
  o += "\"></span>handles (right)</span></h3>\n";
  o += Fmt("<svg class=\"resources\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n",
           kWidth, kHeight, kWidth, kHeight);
  PlotFrame(o, f, "clip-resources", kResourcesBackground, f.y, &handles);
  o += "<g clip-path=\"url(#clip-resources)\">\n";
  std::vector<std::pair<double, double>> mem, hnd;
  std::string memValues, hndValues;
  for (const auto &s : run.samples) {
    mem.emplace_back(f.X(s.t), f.Y(static_cast<double>(s.privateBytes) / MiB));
    hnd.emplace_back(f.X(s.t), f.Y(static_cast<double>(s.handles), handles));
    memValues += (memValues.empty() ? "" : " ") + Num(s.privateBytes);
    hndValues += (hndValues.empty() ? "" : " ") + Num(s.handles);
  }
  o += Fmt("<polyline data-series=\"private\" data-values=\"%s\" points=\"%s\" fill=\"none\" stroke=\"%s\" "
           "stroke-width=\"2.5\" stroke-linejoin=\"round\"/>\n",
           memValues.c_str(), Points(mem).c_str(), kPrivateColour);
  o += Fmt("<polyline data-series=\"handles\" data-values=\"%s\" points=\"%s\" fill=\"none\" stroke=\"%s\" "
           "stroke-width=\"2.5\" stroke-linejoin=\"round\"/>\n",
           hndValues.c_str(), Points(hnd).c_str(), kHandlesColour);
  std::string label;
  if (run.warmUp > 0) {
    const double x = std::round(f.X(run.warmUp));
    o += Fmt("<line class=\"warmup\" data-t=\"%.2f\" x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" "
             "stroke=\"#495057\" stroke-width=\"1.5\" stroke-dasharray=\"5 4\"/>\n",
             run.warmUp, x, kTop + kRing, x, kTop + kPlotH - kRing);
    label = Fmt("<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" font-size=\"10\" fill=\"#495057\">"
                "end of warm-up</text>\n",
                x, kTop - 4);
  }
  o += "</g>\n" + label + "</svg>\n";
}

void SummaryTable(std::string &o, const TRunRecord &run) {
  o += "<table class=\"summary\">\n<thead><tr><th>server</th><th>ch</th><th>open s</th><th>video</th><th>key</th>"
       "<th>hdr</th><th>audio</th><th>bytes</th><th>bad</th><th>gaps</th><th>driver video</th>"
       "<th>driver drop</th><th>driver miss</th></tr></thead>\n<tbody>\n";
  for (const auto &c : run.channels) {
    const std::string server = c.server >= 0 && static_cast<size_t>(c.server) < run.servers.size()
                                   ? run.servers[static_cast<size_t>(c.server)].name
                                   : std::to_string(c.server);
    const bool flag = c.bad > 0 || c.driverDrop > 0 || c.driverMiss > 0;
    const auto cell = [](int64_t v, bool bad) {
      return std::string(bad && v > 0 ? "<td class=\"bad\">" : "<td>") + Num(v) + "</td>";
    };
    o += "<tr data-server=\"" + HtmlEscape(server) + "\" data-channel=\"" + std::to_string(c.channel) + "\"" +
         (flag ? " class=\"flag\"" : "") + "><td>" + HtmlEscape(server) + "</td><td>" + std::to_string(c.channel) +
         "</td>";
    o += "<td>" + Fmt("%.1f", c.openSeconds) + "</td>" + cell(c.video, false) + cell(c.key, false) +
         cell(c.header, false) + cell(c.audio, false) + cell(c.bytes, false) + cell(c.bad, true) +
         cell(c.gaps, false);
    o += (c.driverVideo < 0 ? std::string("<td>-</td>") : cell(c.driverVideo, false)) + cell(c.driverDrop, true) +
         cell(c.driverMiss, true) + "</tr>\n";
  }
  o += "</tbody>\n</table>\n";
}

const char *const kStyle = R"(<style>
body{font:13px/1.35 sans-serif;color:#212529;background:#ffffff;margin:12px 18px}
h1{font-size:18px;margin:2px 0}
h2{font-size:15px;margin:14px 0 4px}
h3{font-size:13px;margin:8px 0 0}
.where{font-weight:normal;color:#495057;margin-left:6px}
.verdict{display:inline-block;font-size:20px;font-weight:bold;color:#ffffff;padding:2px 12px;margin:0;border-radius:3px}
.verdict.pass{background:#2b8a3e}.verdict.fail{background:#c92a2a}.verdict.unfinished{background:#e67700}
.meta{margin:2px 0;color:#343a40}
.problems{margin:4px 0;padding-left:20px;color:#c92a2a}
table.summary{border-collapse:collapse;font-size:12px;font-variant-numeric:tabular-nums}
.summary th,.summary td{padding:1px 7px;border-bottom:1px solid #e9ecef;text-align:right}
.summary th:first-child,.summary td:first-child{text-align:left}
.summary thead th{border-bottom:1px solid #adb5bd}
.summary tr.flag{background:#fff0f0}
.summary tr.flag td:first-child::before{content:"\26A0 ";color:#c92a2a}
.summary td.bad{color:#c92a2a;font-weight:bold}
.key{margin:2px 0;color:#343a40}
.swatch{display:inline-block;width:12px;height:8px;margin:0 3px 0 8px;vertical-align:middle}
svg{display:block}
</style>
)";

} // namespace

std::string HtmlEscape(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    switch (ch) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\'': out += "&#39;"; break;
    default:
      // Control characters have no place in the page.
      if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n') out += "&#xFFFD;";
      else out += ch;
    }
  }
  return out;
}

std::string RenderReport(const TRunRecord &run) {
  const size_t problems = run.problems.size();
  std::string verdict, cls;
  if (problems > 0) {
    cls = "fail";
    verdict = "FAIL (" + std::to_string(problems) + (problems == 1 ? " problem)" : " problems)");
  } else if (!run.finished) {
    cls = "unfinished";
    verdict = "UNFINISHED";
  } else {
    cls = "pass";
    verdict = "PASS";
  }

  std::string o;
  o.reserve(64 * 1024);
  o += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + verdict + " - " +
       HtmlEscape(run.title) + "</title>\n";
  o += kStyle;
  o += "</head>\n<body>\n<header>\n";
  o += "<p class=\"verdict " + cls + "\" data-problems=\"" + std::to_string(problems) + "\">" + verdict + "</p>\n";
  o += "<h1>" + HtmlEscape(run.title) + "</h1>\n";
  o += "<p class=\"meta\">" + Fmt("%.1f", run.duration) + " s, " + std::to_string(run.servers.size()) +
       " servers" + (run.finished ? "" : ", the run did not reach its end") + "; log: <code>" +
       HtmlEscape(run.logPath) + "</code></p>\n";
  if (problems > 0) {
    o += "<ul class=\"problems\">\n";
    for (const auto &p : run.problems) o += "<li>" + HtmlEscape(p) + "</li>\n";
    o += "</ul>\n";
  }
  o += "</header>\n";

  SummaryTable(o, run);

  const double t1 = EndTime(run);
  o += "<h2>Frames per second</h2>\n<p class=\"key\">Lines: frames/s the host counted, per channel; rings: the "
       "driver's stream lines; the band below: <span class=\"swatch\" style=\"background:";
  o += kOnColour;
  o += "\"></span>on line<span class=\"swatch\" style=\"background:";
  o += kOffColour;
  o += "\"></span>off line<span class=\"swatch\" style=\"background:";
  o += kNoneColour;
  o += "\"></span>no report; <span class=\"swatch\" style=\"background:";
  o += kEventColour;
  o += "\"></span>events<span class=\"swatch\" style=\"background:";
  o += kCorruptColour;
  o += "\"></span>damaged frame injected.</p>\n";
  for (size_t s = 0; s < run.servers.size(); ++s) ServerChart(o, run, static_cast<int>(s), t1);
  ResourcesChart(o, run, t1);
  o += "</body>\n</html>\n";
  return o;
}

bool WriteReport(const std::string &path, const TRunRecord &run) {
  const std::string page = RenderReport(run);
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(page.data(), 1, page.size(), f) == page.size();
  return std::fclose(f) == 0 && written;
}

} // namespace NDemo
