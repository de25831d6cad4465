#include "research/html.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "research/assets.hpp"
#include "research/funnel.hpp"
#include "strategy/lattice.hpp"

namespace varnek::research {
namespace {

// The trade fields of a finalist record, in the record's order, with the decimals the page
// keeps of each (-1: as written).
struct TradeColumn {
  std::string_view key;
  int decimals;
};
constexpr TradeColumn kTradeColumns[] = {
    {"entry_ts", -1}, {"exit_ts", -1}, {"side", -1},      {"entry", 2}, {"exit", 2},
    {"stop", 2},      {"target", 2},   {"contracts", -1}, {"r", 3},     {"pnl", 2},
    {"costs", 2},     {"reason", -1},  {"segment", -1}};

core::Json rounded(const core::Json& value, int decimals) {
  if (decimals < 0 || !value.is_number_float()) return value;
  const double scale = std::pow(10.0, decimals);
  return core::number_or_null(std::round(value.get<double>() * scale) / scale);
}

core::Json trade_columns(const core::Json& trades) {
  core::Json columns = core::Json::object();
  for (const TradeColumn& c : kTradeColumns) {
    core::Json column = core::Json::array();
    for (const core::Json& t : trades)
      column.push_back(rounded(t.value(c.key, core::Json()), c.decimals));
    columns[std::string(c.key)] = std::move(column);
  }
  return columns;
}

// The all-bars run starts at the series' first bar: the first segment's first date.
std::optional<double> first_bar_time(const core::Json& report) {
  const core::Json& dates = report.value("split_dates", core::Json::object());
  for (const char* segment : {"train", "validation", "test"}) {
    const core::Json& d = dates.value(segment, core::Json::array());
    if (d.is_array() && !d.empty() && d[0].is_number()) return d[0].get<double>();
  }
  return std::nullopt;
}

// The equity list holds the starting equity, then the equity after each trade; its points
// are dated by the first bar, then by each trade's exit, and thinned like the curve.
std::optional<core::Json> equity_times(const core::Json& finalist, std::optional<double> start) {
  const core::Json& trades = finalist.value("trades", core::Json::array());
  const core::Json& equity = finalist.value("equity", core::Json::array());
  if (!trades.is_array() || !equity.is_array() || equity.empty()) return std::nullopt;
  std::vector<double> times;
  times.reserve(trades.size() + 1);
  times.push_back(start ? *start : trades.empty() ? 0.0 : trades[0].value("entry_ts", 0.0));
  for (const core::Json& t : trades) times.push_back(t.value("exit_ts", times.back()));
  const std::vector<double> reduced = reduce_curve(times, equity.size());
  if (reduced.size() != equity.size()) return std::nullopt;
  core::Json out = core::Json::array();
  for (double t : reduced) out.push_back(static_cast<std::int64_t>(t));
  return out;
}

core::Json family_names() {
  core::Json out = core::Json::array();
  for (const strategy::Family& f : strategy::family_table()) {
    out.push_back({{"key", std::string(f.key)}, {"label_fr", std::string(f.label_fr)}});
  }
  return out;
}

// Compact JSON that is safe as the raw text of a <script> element: "<" only occurs inside
// strings, where \u003c reads back as the same character.
std::string script_safe_json(const core::Json& value) {
  const std::string text = core::to_compact(value);
  std::string out;
  out.reserve(text.size() + text.size() / 64);
  for (char c : text) {
    if (c == '<') {
      out += "\\u003c";
    } else {
      out += c;
    }
  }
  return out;
}

// Removes the regular file that a write to `path` landed on (through links); a device or a
// FIFO is left alone.
void remove_written(const std::string& path) {
  auto resolved = core::resolve_links(path);
  struct stat st {};
  if (resolved && ::stat(resolved.value().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    std::remove(resolved.value().c_str());
  }
}

}  // namespace

std::optional<std::string> page_path(const std::string& report_path) {
  if (auto resolved = core::resolve_links(report_path)) {
    struct stat st {};
    if (::stat(resolved.value().c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
        !S_ISDIR(st.st_mode)) {
      return std::nullopt;
    }
  }
  constexpr std::string_view kJson = ".json";
  if (report_path.ends_with(kJson)) {
    return report_path.substr(0, report_path.size() - kJson.size()) + ".html";
  }
  return report_path + ".html";
}

core::Json page_data(const core::Json& report, const core::Json& frontier) {
  core::Json data = report;
  const std::optional<double> start = first_bar_time(report);
  if (data.contains("survivors") && data["survivors"].is_array()) {
    for (core::Json& finalist : data["survivors"]) {
      if (auto times = equity_times(finalist, start)) finalist["equity_ts"] = std::move(*times);
      finalist["trades"] = trade_columns(finalist.value("trades", core::Json::array()));
    }
  }
  data["frontier"] = frontier;
  data["families"] = family_names();
  return data;
}

std::string report_page(const core::Json& report, const core::Json& frontier) {
  const std::string data = script_safe_json(page_data(report, frontier));
  std::string page;
  page.reserve(data.size() + assets::uplot_js.size() + assets::page_js.size() + 8192);
  // The policy comes first in <head>: it governs only what follows it.
  page +=
      "<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Rapport de recherche</title>\n<style>\n";
  page += assets::uplot_css;
  page += "\n</style>\n<style>\n";
  page += assets::page_css;
  page +=
      "\n</style>\n</head>\n<body>\n<noscript>Cette page a besoin de JavaScript pour "
      "s'afficher ; le rapport JSON voisin contient les mêmes données.</noscript>\n"
      "<main id=\"rapport\"></main>\n<script type=\"application/json\" id=\"donnees\">";
  page += data;
  page += "</script>\n<script>\n";
  page += assets::uplot_js;
  page += "\n</script>\n<script>\n";
  page += assets::page_js;
  page += "\n</script>\n</body>\n</html>\n";
  return page;
}

core::Result<bool> probe_report_files(const std::string& report_path) {
  if (auto probed = core::probe_writable(report_path); !probed) {
    return core::Error{report_path + ": " + probed.error()};
  }
  const std::optional<std::string> page = page_path(report_path);
  if (!page) return true;
  if (auto probed = core::probe_writable(*page); !probed) {
    return core::Error{*page + ": " + probed.error()};
  }
  return true;
}

core::Result<bool> write_report_files(const std::string& report_path, const core::Json& report,
                                      const core::Json& frontier) {
  auto written = core::replace_file(report_path, core::to_pretty(report));
  if (!written) return written;
  const std::optional<std::string> page = page_path(report_path);
  if (!page) return true;
  auto shown = core::replace_file(*page, report_page(report, frontier));
  if (shown) return true;
  // A report without its page would outlive a run that failed: take it back.
  remove_written(report_path);
  return core::Error{*page + ": " + shown.error()};
}

}  // namespace varnek::research
