// The report page: where it goes, what its data block holds, and that no report text can
// leave that block.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/json.hpp"
#include "research/assets.hpp"
#include "research/html.hpp"

using namespace varnek;
using core::Json;

namespace {

Json trade(std::int64_t entry_ts, std::int64_t exit_ts, double entry, double r) {
  return {{"entry_ts", entry_ts},  {"exit_ts", exit_ts},  {"side", 1},
          {"entry", entry},        {"exit", entry + 1.0}, {"stop", entry - 1.0},
          {"target", entry + 2.0}, {"contracts", 2},      {"r", r},
          {"pnl", 10.0 * r},       {"costs", 1.234},      {"reason", "target"},
          {"segment", "train"}};
}

// A report with one finalist of `trades` trades (the i-th entered at 2000 + 100 i and left
// 50 s later) and an equity curve of `points` points.
Json report_with(int trades, int points) {
  Json finalist = {
      {"candidate", {{"id", "2-abc"}}}, {"equity", Json::array()}, {"trades", Json::array()}};
  for (int i = 0; i < trades; ++i) {
    finalist["trades"].push_back(trade(2000 + 100 * i, 2050 + 100 * i, 100.12345, 1.23456));
  }
  for (int i = 0; i < points; ++i) finalist["equity"].push_back(50000.0 + i);
  return {{"hypothesis", "une idée"},
          {"split_dates",
           {{"train", {1000, 1999}}, {"validation", {2000, 2999}}, {"test", {3000, 9999}}}},
          {"survivors", Json::array({finalist})}};
}

// The text of the page's data block.
std::string data_block(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"donnees\">";
  const std::size_t start = page.find(open);
  if (start == std::string::npos) return "";
  const std::size_t from = start + open.size();
  return page.substr(from, page.find("</script>", from) - from);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(ReportPage, GoesBesideTheReportUnlessTheReportIsAStream) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("varnek-page-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string fifo = (dir / "pipe.json").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/null", dir / "null.json");
  const struct {
    std::string report;
    std::optional<std::string> page;
  } cases[] = {
      {"out/quickstart-report.json", "out/quickstart-report.html"},
      {"out/rapport", "out/rapport.html"},
      {"out/rapport.JSON", "out/rapport.JSON.html"},
      {"out/rapport.json.bak", "out/rapport.json.bak.html"},
      {"/dev/null", std::nullopt},
      {(dir / "null.json").string(), std::nullopt},  // a link to a device
      {fifo, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(research::page_path(c.report), c.page) << c.report;
  std::filesystem::remove_all(dir);
}

TEST(ReportPage, CarriesTradesAsColumnsAndDatesEveryEquityPoint) {
  const Json frontier = Json::parse("[[40, 0.25, 2], [3, null, 0]]");
  // A full curve (trades + 1 points) is dated point by point; a thinned one takes the dates
  // at the curve's indices i * (count - 1) / (n - 1): here 0, 4 and 9 of ten.
  const struct {
    int trades, points;
    Json times;
  } cases[] = {
      {3, 4, Json::parse("[1000, 2050, 2150, 2250]")},
      {9, 3, Json::parse("[1000, 2350, 2850]")},
      {3, 7, nullptr},  // a curve longer than the trades allow gets no dates
  };
  for (const auto& c : cases) {
    const Json data = research::page_data(report_with(c.trades, c.points), frontier);
    const Json& f = data["survivors"][0];
    EXPECT_EQ(f.value("equity_ts", Json()), c.times) << c.trades << " trades";
    EXPECT_EQ(f["trades"]["entry_ts"].size(), static_cast<std::size_t>(c.trades));
    EXPECT_EQ(f["trades"]["entry"][0], 100.12);
    EXPECT_EQ(f["trades"]["r"][0], 1.235);
    EXPECT_EQ(f["trades"]["costs"][0], 1.23);
    EXPECT_EQ(f["trades"]["contracts"][0], 2);
    EXPECT_EQ(f["trades"]["reason"][0], "target");
    EXPECT_EQ(f["trades"].size(), 13u);
    EXPECT_EQ(data["frontier"], frontier);
    EXPECT_EQ(data["families"].size(), 5u);
    EXPECT_EQ(data["families"][2]["key"], "donchian_breakout");
    EXPECT_EQ(data["hypothesis"], "une idée");
  }
}

TEST(ReportPage, NoReportTextLeavesTheDataBlock) {
  const std::string hostile =
      "</script><script>alert(1)</script><!--<script></SCRIPT ><img src=x onerror=alert(2)>";
  Json report = report_with(2, 3);
  report["hypothesis"] = hostile;
  report["survivors"][0]["trades"][0]["reason"] = hostile;
  const std::string page = research::report_page(report, Json::array());
  // Three scripts (data, uPlot, the page's own) and nothing else that could open markup.
  EXPECT_EQ(count(page, "<script"), 3u);
  EXPECT_EQ(count(page, "</script>"), 3u);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  const std::string block = data_block(page);
  EXPECT_EQ(block.find('<'), std::string::npos);
  const Json back = Json::parse(block);
  EXPECT_EQ(back["hypothesis"], hostile);
  EXPECT_EQ(back, research::page_data(report, Json::array()));
}

TEST(ReportPage, IsOneFileThatMayRequestNothing) {
  const std::string page = research::report_page(report_with(1, 2), Json::array());
  const std::string policy =
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">";
  // The policy governs only what follows it: it comes right after the character set.
  EXPECT_EQ(page.rfind("<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n<meta charset=\"utf-8\">\n" +
                           policy + "\n",
                       0),
            0u);
  for (std::string_view asset : {research::assets::uplot_js, research::assets::uplot_css,
                                 research::assets::page_js, research::assets::page_css}) {
    ASSERT_GT(asset.size(), 1000u);
    EXPECT_NE(page.find(asset), std::string::npos);
  }
  EXPECT_NE(research::assets::uplot_js.find("uPlot (v1.6."), std::string_view::npos);
  for (const char* link : {" src=", " href=", "@import", "url("}) {
    EXPECT_EQ(page.find(link), std::string::npos) << link;
  }
}
