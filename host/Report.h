// Report.h - the demo host's report of a run: one self-contained HTML page
// (inline CSS and SVG; no script, nothing fetched) that opens offline in any
// browser. From the top:
//  - the verdict (PASS in green; FAIL (n problems) in red with the problems;
//    UNFINISHED in amber when the run did not reach its end), the title, the
//    duration and the log's path;
//  - the summary table, a row per server and channel: open seconds, video,
//    key, header and audio frames, bytes, failed frames, frames missing, and
//    the driver's own counts (video, dropped, missed; "-" when none of its
//    stream lines named the channel). A row with failed frames or with frames
//    the driver dropped or missed is flagged;
//  - a chart per server: frames/s per channel each second (a line per
//    channel), the driver's stream lines as rings at their fps, the server's
//    on-line state as a band below (green on, red off, grey no report), and
//    the scenario's events as vertical lines with a label;
//  - a chart of the process's private memory and handle count, with the end
//    of the warm-up marked.
//
// For machine checks (tests, the browser check) the plot elements carry data:
//   <svg class="chart" data-server="NAME">         one per server, in order
//   <polyline data-series="fps" data-channel="N" data-values="25.0 24.0 ..">
//                                                   one value per sample (%.1f)
//   <g class="driver" data-series="driver-fps" data-channel="N"
//      data-times=".." data-values="..">            the driver's lines' fps
//   <line class="event" data-kind="break" data-t="5.00" [data-channel="2"]>
//   <svg class="resources"> with <polyline data-series="private"> (bytes) and
//      <polyline data-series="handles">, <line class="warmup" data-t="..">
//   <tr data-server="NAME" data-channel="N" [class="flag"]> in the summary
//   <p class="verdict pass|fail|unfinished" data-problems="n">
// and fixed colours a screenshot can be read by: the per-server plot areas
// are exactly kPlotBackground with a frame of it at least 2 px wide that
// nothing is drawn on, event lines kEventColour (corrupt kCorruptColour),
// 2 px wide and the plot's full height; the resources chart's plot area is
// kResourcesBackground.
#pragma once
#include "host/RunRecord.h"
#include <string>

namespace NDemo {

constexpr const char *kPlotBackground = "#f4f7fb";
constexpr const char *kResourcesBackground = "#f7f4ec";
constexpr const char *kEventColour = "#d1495b";
constexpr const char *kCorruptColour = "#ff00ff";

// The page for the run as it stands (a run not finished gives a page marked so).
std::string RenderReport(const TRunRecord &run);

// Writes RenderReport(run) to path (bytes as they are); false when the file
// cannot be written.
bool WriteReport(const std::string &path, const TRunRecord &run);

// Text made safe for HTML content and attribute values.
std::string HtmlEscape(const std::string &text);

} // namespace NDemo
