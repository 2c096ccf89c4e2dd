// The demo host's HTML report of a small made-up run: a chart per server
// holding each channel's frames/s as sampled and the driver's lines, the
// events on the chart of their server (every chart for the shutdown), the
// summary's flags, the resources chart, text escaped, nothing fetched from
// outside the page.
#include "host/Report.h"
#include "tests/common/Check.h"
#include "tests/common/ReportHtml.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {
using namespace NDemo;
using NTest::Contains;
using NTest::TTag;

// Two servers, "A&1" with 2 channels and B"<2> with 3; four samples; B breaks
// at 1.5 s, channel 1 of A gets a damaged frame at 2.5 s, shutdown at 3.5 s.
TRunRecord SmallRun() {
  TRunRecord r;
  r.title = "Two <servers> & a break";
  r.logPath = "C:\\runs\\tmhost.log";
  r.duration = 3.5;
  r.warmUp = 1;
  r.finished = true;
  r.servers = {{"A&1", "10.0.0.1", 3001, 2, 0}, {"B\"<2>", "localhost", 3002, 3, 2}};
  r.samples = {
      {0.5, {25, 24.96, 12.5, 0, 3}, {1, 1}, 20 << 20, 150},
      {1.5, {25, 25, 0, 0, 0}, {1, 0}, (20 << 20) + 4096, 152},
      {2.5, {7.25, 25, 0, 0, 0}, {1, 0}, (21 << 20) + 123, 151},
      {3.5, {25, 0.04, 0, 0, 0}, {1, -1}, 21 << 20, 153},
  };
  r.events = {{1.5, "break", 1, -1}, {2.5, "corrupt", 0, 1}, {3.5, "shutdown", -1, -1}};
  TDriverStatsMark line{3, 0, 2, {}};
  line.channels.push_back({0, 24.5, 0, 49, 49, 200000, 0, 0, false});
  line.channels.push_back({1, 23, 0, 46, 46, 180000, 2, 1, false});
  r.driverLines = {line};
  r.channels = {
      {0, 0, 3.0, 75, 3, 1, 75, 300000, 0, 0, 74, 0, 0},
      {0, 1, 3.0, 74, 3, 1, 74, 290000, 1, 0, 72, 0, 0},
      {1, 0, 1.0, 25, 1, 1, 25, 100000, 0, 0, -1, 0, 0},
      {1, 1, 1.0, 25, 1, 1, 25, 100000, 0, 0, 25, 0, 2},
      {1, 2, 1.0, 12, 1, 1, 12, 50000, 0, 3, 12, 4, 0},
  };
  r.problems = {"A&1 channel 1: frame 17 <&> does not match"};
  return r;
}

std::vector<TTag> Charts(const std::string &page) { return NTest::FindTags(page, "class", "chart"); }

// The tags inside the element `outer` that have attr=value.
std::vector<TTag> Within(const std::string &page, const TTag &outer, const std::string &attr,
                         const std::string &value) {
  return NTest::FindTags(page, attr, value, outer.end, NTest::ElementEnd(page, outer));
}

TEST(Report, AChartPerServerHoldsEachChannelAsSampledAndTheDriversLines) {
  const TRunRecord run = SmallRun();
  const std::string page = RenderReport(run);
  const auto charts = Charts(page);
  ASSERT_EQ(charts.size(), run.servers.size());
  for (size_t s = 0; s < charts.size(); ++s) {
    const TServerInfo &server = run.servers[s];
    EXPECT_EQ(charts[s].name, "svg");
    EXPECT_EQ(charts[s].Attr("data-server"), server.name);
    const auto series = Within(page, charts[s], "data-series", "fps");
    ASSERT_EQ(series.size(), static_cast<size_t>(server.channels)) << server.name;
    for (int c = 0; c < server.channels; ++c) {
      const TTag &line = series[static_cast<size_t>(c)];
      EXPECT_EQ(line.Attr("data-channel"), std::to_string(c));
      const auto values = NTest::Numbers(line.Attr("data-values"));
      const auto points = NTest::Numbers(line.Attr("points"));
      ASSERT_EQ(values.size(), run.samples.size()) << server.name << " ch" << c;
      EXPECT_EQ(points.size(), 2 * run.samples.size()) << "x,y per sample: " << line.Attr("points");
      for (size_t i = 0; i < values.size(); ++i)
        EXPECT_NEAR(values[i], run.samples[i].fps[static_cast<size_t>(server.firstChannel + c)], 0.05)
            << server.name << " ch" << c << " sample " << i;
    }
    // Higher values are drawn higher (smaller y): A's channel 0 fell to 7.25.
    if (s == 0) {
      const auto p = NTest::Numbers(series[0].Attr("points"));
      EXPECT_GT(p[5], p[3]);
    }
  }
  // The driver's line of A is on A's chart only, its fps per channel.
  const auto driverA = Within(page, charts[0], "data-series", "driver-fps");
  ASSERT_EQ(driverA.size(), 2u);
  EXPECT_EQ(NTest::Numbers(driverA[0].Attr("data-values")), std::vector<double>{24.5});
  EXPECT_EQ(NTest::Numbers(driverA[1].Attr("data-values")), std::vector<double>{23});
  for (const auto &g : Within(page, charts[1], "data-series", "driver-fps"))
    EXPECT_EQ(g.Attr("data-values"), "") << "channel " << g.Attr("data-channel") << " of B";
}

TEST(Report, EventsAreOnTheChartOfTheirServerAndTheShutdownOnEvery) {
  const std::string page = RenderReport(SmallRun());
  const auto charts = Charts(page);
  ASSERT_EQ(charts.size(), 2u);
  const auto kinds = [&](const TTag &chart) {
    std::string k;
    for (const auto &e : Within(page, chart, "class", "event")) k += e.Attr("data-kind") + "@" + e.Attr("data-t") + " ";
    return k;
  };
  EXPECT_EQ(kinds(charts[0]), "corrupt@2.50 shutdown@3.50 ");
  EXPECT_EQ(kinds(charts[1]), "break@1.50 shutdown@3.50 ");

  const auto corrupt = Within(page, charts[0], "data-kind", "corrupt");
  ASSERT_EQ(corrupt.size(), 1u);
  EXPECT_EQ(corrupt[0].Attr("data-channel"), "1");
  EXPECT_EQ(corrupt[0].Attr("stroke"), kCorruptColour);
  EXPECT_EQ(Within(page, charts[1], "data-kind", "break")[0].Attr("stroke"), kEventColour);
  std::string labels;
  for (const auto &t : Within(page, charts[0], "class", "event-label")) labels += NTest::Text(page, t) + "|";
  EXPECT_EQ(labels, "corrupt ch1|shutdown|");
  // Lines at the same time stand at the same x on every chart.
  EXPECT_EQ(Within(page, charts[0], "data-kind", "shutdown")[0].Attr("x1"),
            Within(page, charts[1], "data-kind", "shutdown")[0].Attr("x1"));
}

TEST(Report, TextIsEscapedAndNothingComesFromOutsideThePage) {
  const TRunRecord run = SmallRun();
  const std::string page = RenderReport(run);
  for (const char *raw : {"<servers>", "<&>", "B\"<2>", "A&1"}) EXPECT_FALSE(Contains(page, raw));
  for (const char *outside : {"<script", "http://", "https://", "@import", "<link", "<img", "<iframe"})
    EXPECT_FALSE(Contains(page, outside));

  const auto h1 = NTest::FindTags(page, "class", "verdict");
  ASSERT_EQ(h1.size(), 1u);
  EXPECT_TRUE(h1[0].HasClass("fail"));
  EXPECT_EQ(NTest::Text(page, h1[0]), "FAIL (1 problem)");
  const auto problems = NTest::FindTags(page, "class", "problems");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(NTest::Text(page, problems[0]), "\n" + run.problems[0] + "\n");
  const auto title = NTest::Tags(page);
  bool sawTitle = false;
  for (const auto &t : title)
    if (t.name == "h1") sawTitle = NTest::Text(page, t) == run.title;
  EXPECT_TRUE(sawTitle) << "no <h1> reads \"" << run.title << "\"";
  EXPECT_TRUE(Contains(page, "C:\\runs\\tmhost.log"));
  EXPECT_EQ(HtmlEscape(std::string("a\x01'b")), "a&#xFFFD;&#39;b");
}

TEST(Report, TheSummaryFlagsChannelsWithFailedOrLostFramesAndTheVerdictFollowsTheRun) {
  TRunRecord run = SmallRun();
  std::string page = RenderReport(run);
  std::string flagged;
  size_t rows = 0;
  for (const auto &t : NTest::Tags(page)) {
    if (t.name != "tr" || !t.Has("data-server")) continue;
    ++rows;
    if (t.HasClass("flag")) flagged += t.Attr("data-server") + "/" + t.Attr("data-channel") + " ";
  }
  EXPECT_EQ(rows, run.channels.size());
  // A/1 had a failed frame, B/1 frames the driver missed, B/2 frames it dropped.
  EXPECT_EQ(flagged, "A&1/1 B\"<2>/1 B\"<2>/2 ");
  // No driver line named B's channel 0: its driver count reads "-", not 0 or -1.
  const auto b = NTest::FindTags(page, "data-server", "B\"<2>");
  ASSERT_FALSE(b.empty());
  const TTag &row = b[0]; // the table comes before the charts
  ASSERT_EQ(row.name, "tr");
  ASSERT_EQ(row.Attr("data-channel"), "0");
  EXPECT_TRUE(Contains(NTest::Inner(page, row), "<td>-</td>"));
  EXPECT_FALSE(Contains(NTest::Inner(page, row), "-1"));

  run.problems.clear();
  page = RenderReport(run);
  auto verdict = NTest::FindTags(page, "class", "verdict");
  ASSERT_EQ(verdict.size(), 1u);
  EXPECT_EQ(NTest::Text(page, verdict[0]), "PASS");
  EXPECT_TRUE(verdict[0].HasClass("pass"));
  run.finished = false;
  page = RenderReport(run);
  verdict = NTest::FindTags(page, "class", "verdict");
  ASSERT_EQ(verdict.size(), 1u);
  EXPECT_EQ(NTest::Text(page, verdict[0]), "UNFINISHED");
}

TEST(Report, TheResourcesChartHoldsMemoryAndHandlesWithTheWarmUp) {
  TRunRecord run = SmallRun();
  std::string page = RenderReport(run);
  const auto res = NTest::FindTags(page, "class", "resources");
  ASSERT_EQ(res.size(), 1u);
  const auto mem = Within(page, res[0], "data-series", "private");
  const auto handles = Within(page, res[0], "data-series", "handles");
  ASSERT_EQ(mem.size(), 1u);
  ASSERT_EQ(handles.size(), 1u);
  std::string wantMem, wantHandles;
  for (const auto &s : run.samples) {
    wantMem += (wantMem.empty() ? "" : " ") + std::to_string(s.privateBytes);
    wantHandles += (wantHandles.empty() ? "" : " ") + std::to_string(s.handles);
  }
  EXPECT_EQ(mem[0].Attr("data-values"), wantMem);
  EXPECT_EQ(handles[0].Attr("data-values"), wantHandles);
  const auto warm = Within(page, res[0], "class", "warmup");
  ASSERT_EQ(warm.size(), 1u);
  EXPECT_EQ(warm[0].Attr("data-t"), "1.00");

  run.warmUp = 0;
  page = RenderReport(run);
  EXPECT_TRUE(NTest::FindTags(page, "class", "warmup").empty());
}

TEST(Report, WriteReportWritesThePageAndSaysWhenItCannot) {
  const TRunRecord run = SmallRun();
  const auto dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / "tm_report_test.html").string();
  ASSERT_TRUE(WriteReport(path, run)) << path;
  std::ifstream in(path, std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(in), {}};
  in.close();
  std::remove(path.c_str());
  EXPECT_EQ(written, RenderReport(run));
  EXPECT_FALSE(WriteReport((dir / "tm no such folder" / "report.html").string(), run));
}

} // namespace
