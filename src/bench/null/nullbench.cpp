// varnek_nullbench: how often a research run retains a finalist on data without an edge,
// and how often it still does on data with a planted one.
//
// Each kind's runs are series of the kind (bench/null/series.hpp) written to a scratch CSV
// in the loader's form and researched in process with the quickstart's specification, only
// the data path changed (no synthetic bars, no report file, events to a scratch file). Run
// i (from 0) of the kind at position k (from 1) in series_kinds() uses seed 1000 k + i, so
// the whole benchmark is reproducible; the research file's own seed stays as written.
#include <fmt/format.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/null/series.hpp"
#include "convert/convert.hpp"
#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/result.hpp"
#include "core/spec.hpp"
#include "research/driver.hpp"
#include "research/events.hpp"
#include "validate/evidence.hpp"

namespace {

using namespace varnek;

constexpr std::string_view kUsage =
    "usage: varnek_nullbench [--runs K] [--edge-runs E] [--bars N] "
    "[--kinds walk,garch,shuffled,drift] [--drift D] [--spec FILE]";

// A test segment counts as profitable as the out-of-sample gate counts it.
constexpr double kMinTestTrades = 15;
// Goals: at most 1 in 20 no-edge runs, at least 3 in 4 planted-edge runs, with a RETENU
// finalist.
constexpr double kNoEdgeMaxShare = 0.05;
constexpr double kEdgeMinShare = 0.75;

struct Options {
  std::size_t runs = 20;
  std::size_t edge_runs = 4;
  std::optional<std::uint64_t> bars;  // none: the research file's synthetic_bars
  std::vector<bench::SeriesKind> kinds;
  double drift = bench::kPlantedDrift;
  std::string spec_path = VARNEK_QUICKSTART;
};

// What one research run says about its finalists.
struct RunFigures {
  bool completed = false;
  std::size_t finalists = 0;
  std::size_t retained = 0;
  std::size_t profitable_test = 0;
  std::vector<double> dsr;     // present values only
  std::vector<double> test_p;  // present values only
  std::optional<double> pbo;
  std::map<std::string, std::size_t> blocked_by;  // NON RETENU finalists by first missing step
};

struct KindSummary {
  bench::SeriesKind kind = bench::SeriesKind::random_walk;
  std::size_t runs = 0;
  std::size_t failed = 0;
  std::size_t runs_retaining = 0;  // runs with at least one RETENU finalist
  std::size_t finalists = 0;
  std::size_t retained = 0;
  std::size_t profitable_test = 0;
  std::optional<double> median_dsr;     // over finalists with a dsr
  std::optional<double> median_test_p;  // over finalists with a test p-value (before Holm)
  std::optional<double> median_pbo;     // over runs with a pbo
  std::map<std::string, std::size_t> blocked_by;
};

core::Result<std::size_t> parse_count(std::string_view flag, std::string_view text) {
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) {
    return core::Error{fmt::format("{} needs a whole number, found '{}'", flag, text)};
  }
  return value;
}

core::Result<double> parse_drift(std::string_view text) {
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || !(value >= 0.0 && value < 0.01)) {
    return core::Error{
        fmt::format("--drift needs a number from 0 to below 0.01, found '{}'", text)};
  }
  return value;
}

core::Result<std::vector<bench::SeriesKind>> parse_kinds(std::string_view text) {
  std::vector<bench::SeriesKind> kinds;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view key = text.substr(0, comma);
    const auto kind = bench::kind_from_key(key);
    if (!kind) return core::Error{fmt::format("unknown series kind '{}'", key)};
    if (std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) kinds.push_back(*kind);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return kinds;
}

core::Result<Options> parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) return core::Error{std::string(kUsage)};
    const std::string_view value = argv[i + 1];
    if (flag == "--runs" || flag == "--edge-runs" || flag == "--bars") {
      auto n = parse_count(flag, value);
      if (!n) return core::Error{n.error()};
      if (flag == "--runs") o.runs = n.value();
      if (flag == "--edge-runs") o.edge_runs = n.value();
      if (flag == "--bars") o.bars = n.value();
    } else if (flag == "--kinds") {
      auto kinds = parse_kinds(value);
      if (!kinds) return core::Error{kinds.error()};
      o.kinds = std::move(kinds.value());
    } else if (flag == "--drift") {
      auto d = parse_drift(value);
      if (!d) return core::Error{d.error()};
      o.drift = d.value();
    } else if (flag == "--spec") {
      o.spec_path = std::string(value);
    } else {
      return core::Error{std::string(kUsage)};
    }
  }
  if (o.kinds.empty()) {
    for (const bench::KindInfo& k : bench::series_kinds()) o.kinds.push_back(k.kind);
  }
  return o;
}

std::optional<double> median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

std::optional<double> optional_number(const core::Json& j) {
  if (!j.is_number()) return std::nullopt;
  return j.get<double>();
}

bool profitable_test(const core::Json& test) {
  const auto trades = optional_number(test["trades"]);
  const auto expectancy = optional_number(test["expectancy_r"]);
  const auto pf = optional_number(test["profit_factor"]);
  return trades && expectancy && pf && *trades >= kMinTestTrades && *expectancy > 0.0 && *pf > 1.0;
}

// What kept a NON RETENU finalist out, read from its record: the first gate that did not
// pass (RISK_CONSTRAINTS counts only when the research file names account profiles, as in
// the verdict), else "test_p_holm", the significance on the test period.
std::string first_missing(const core::Json& survivor, bool has_profiles) {
  for (const core::Json& g : survivor["gates"]) {
    const bool waived = g["name"] == "RISK_CONSTRAINTS" && !has_profiles;
    if (g["status"] != "PASS" && !waived) return g["name"].get<std::string>();
  }
  return "test_p_holm";
}

RunFigures figures_of(const core::Json& report, bool has_profiles) {
  RunFigures f;
  f.completed = true;
  f.pbo = optional_number(report["evidence"]["pbo"]);
  for (const core::Json& s : report["survivors"]) {
    ++f.finalists;
    const bool retained = s["evidence"]["verdict"] == "RETENU";
    f.retained += retained;
    if (!retained) ++f.blocked_by[first_missing(s, has_profiles)];
    f.profitable_test += profitable_test(s["test"]);
    if (const auto dsr = optional_number(s["evidence"]["dsr"])) f.dsr.push_back(*dsr);
    if (const auto p = optional_number(s["evidence"]["test_p_value"])) f.test_p.push_back(*p);
  }
  return f;
}

// One research run on the bars, through the CSV file at `csv_path`. A run that fails (its
// error is in its events) comes back not completed; only a scratch file that cannot be
// written or opened is an error.
core::Result<RunFigures> research_on(const data::BarSeries& bars, const core::Spec& base,
                                     const std::string& csv_path) {
  if (auto written = convert::write_file(bars, csv_path); !written) {
    return core::Error{written.error()};
  }
  core::Spec spec = base;
  spec.data_path = csv_path;
  spec.synthetic_bars = 0;
  spec.report_path.clear();
  std::FILE* events = std::tmpfile();
  if (events == nullptr) return core::Error{"cannot open a scratch file for the events"};
  RunFigures figures;
  {
    research::EventSink sink(events);
    const auto report = research::run_research(spec, sink);
    if (report) figures = figures_of(report.value(), !spec.prop_profiles.empty());
  }
  std::fclose(events);
  return figures;
}

std::string figure(const std::optional<double>& v) {
  return v ? fmt::format("{:.3f}", *v) : std::string("-");
}

void add_run(KindSummary& s, const RunFigures& f) {
  ++s.runs;
  s.failed += !f.completed;
  s.runs_retaining += f.retained > 0;
  s.finalists += f.finalists;
  s.retained += f.retained;
  s.profitable_test += f.profitable_test;
  for (const auto& [step, count] : f.blocked_by) s.blocked_by[step] += count;
}

// What every run shares: the research specification, the series length, the planted drift
// and the scratch CSV's path.
struct Setup {
  core::Spec spec;
  std::uint64_t bars = 0;
  double drift = 0.0;
  std::string csv_path;
};

// A fresh folder under the system's temporary folder (empty path when it cannot be made),
// removed with everything in it at the end of the benchmark.
struct ScratchFolder {
  std::string path;

  ScratchFolder() {
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    std::string name = tmp / "varnek-nullbench-XXXXXX";
    if (mkdtemp(name.data()) != nullptr) path = std::move(name);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
};

core::Result<KindSummary> run_kind(bench::SeriesKind kind, std::size_t runs, const Setup& setup) {
  const auto kinds = bench::series_kinds();
  const auto position = static_cast<std::uint64_t>(
      std::find_if(kinds.begin(), kinds.end(), [&](const auto& k) { return k.kind == kind; }) -
      kinds.begin() + 1);
  KindSummary s;
  s.kind = kind;
  std::vector<double> dsr, test_p, pbo;
  for (std::size_t i = 0; i < runs; ++i) {
    const core::Stopwatch clock;
    const std::uint64_t seed = 1000 * position + i;
    auto figures = research_on(bench::make_series(kind, setup.bars, seed, setup.drift), setup.spec,
                               setup.csv_path);
    if (!figures) return core::Error{figures.error()};
    const RunFigures& f = figures.value();
    add_run(s, f);
    dsr.insert(dsr.end(), f.dsr.begin(), f.dsr.end());
    test_p.insert(test_p.end(), f.test_p.begin(), f.test_p.end());
    if (f.pbo) pbo.push_back(*f.pbo);
    fmt::print(stderr,
               "[nullbench {} {}/{}] seed {}: {}, {} finalists, {} RETENU, pbo {} ({:.1f} s)\n",
               bench::kind_info(kind).key, i + 1, runs, seed, f.completed ? "complete" : "failed",
               f.finalists, f.retained, figure(f.pbo), clock.seconds());
  }
  s.median_dsr = median(std::move(dsr));
  s.median_test_p = median(std::move(test_p));
  s.median_pbo = median(std::move(pbo));
  return s;
}

double share(std::size_t part, std::size_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

bool goal_met(const KindSummary& s) {
  const double runs_share = share(s.runs_retaining, s.runs);
  return bench::kind_info(s.kind).planted_edge ? runs_share >= kEdgeMinShare
                                               : runs_share <= kNoEdgeMaxShare;
}

void print_table(std::span<const KindSummary> summaries) {
  fmt::print("{:<9} {:>5} {:>7} {:>12} {:>10} {:>7} {:>11} {:>11} {:>14} {:>16}\n", "kind", "runs",
             "failed", "runs_retenu", "finalists", "retenu", "median_dsr", "median_pbo",
             "median_test_p", "profitable_test");
  for (const KindSummary& s : summaries) {
    fmt::print("{:<9} {:>5} {:>7} {:>12} {:>10} {:>7} {:>11} {:>11} {:>14} {:>16.3f}\n",
               bench::kind_info(s.kind).key, s.runs, s.failed, s.runs_retaining, s.finalists,
               s.retained, figure(s.median_dsr), figure(s.median_pbo), figure(s.median_test_p),
               share(s.profitable_test, s.finalists));
  }
  fmt::print("\nNON RETENU finalists by the first missing step:\n");
  for (const KindSummary& s : summaries) {
    std::string steps;
    for (const auto& [step, count] : s.blocked_by) steps += fmt::format(" {} {},", step, count);
    if (!steps.empty()) steps.pop_back();
    fmt::print("{:<9}{}\n", bench::kind_info(s.kind).key, steps.empty() ? " -" : steps);
  }
  fmt::print("\n");
  for (const KindSummary& s : summaries) {
    const bool edge = bench::kind_info(s.kind).planted_edge;
    fmt::print("{} ({}): {} of {} runs with a RETENU finalist; goal ({} {:.0f} %): {}\n",
               edge ? "planted edge" : "no edge", bench::kind_info(s.kind).key, s.runs_retaining,
               s.runs, edge ? "at least" : "at most",
               100.0 * (edge ? kEdgeMinShare : kNoEdgeMaxShare), goal_met(s) ? "met" : "NOT met");
  }
}

core::Json summary_json(std::span<const KindSummary> summaries, const Setup& setup) {
  core::Json kinds = core::Json::object();
  for (const KindSummary& s : summaries) {
    kinds[std::string(bench::kind_info(s.kind).key)] = {
        {"planted_edge", bench::kind_info(s.kind).planted_edge},
        {"runs", s.runs},
        {"failed", s.failed},
        {"runs_retenu", s.runs_retaining},
        {"runs_retenu_share", share(s.runs_retaining, s.runs)},
        {"finalists", s.finalists},
        {"finalists_retenu", s.retained},
        {"median_dsr", validate::optional_json(s.median_dsr)},
        {"median_pbo", validate::optional_json(s.median_pbo)},
        {"median_test_p", validate::optional_json(s.median_test_p)},
        {"profitable_test_share", share(s.profitable_test, s.finalists)},
        {"goal_met", goal_met(s)},
        {"non_retenu_by_first_missing", s.blocked_by}};
  }
  return {{"bars", setup.bars}, {"drift", setup.drift}, {"kinds", std::move(kinds)}};
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse_options(argc, argv);
  if (!options) {
    fmt::print(stderr, "{}\n", options.error());
    return 2;
  }
  const Options& o = options.value();
  auto spec = core::load_spec(o.spec_path);
  if (!spec) {
    fmt::print(stderr, "{}\n", spec.error());
    return 2;
  }
  const ScratchFolder scratch;
  if (scratch.path.empty()) {
    fmt::print(stderr, "cannot create a scratch folder in the temporary folder: {}\n",
               std::strerror(errno));
    return 2;
  }
  const Setup setup{spec.value(), o.bars.value_or(spec.value().synthetic_bars), o.drift,
                    scratch.path + "/series.csv"};

  std::vector<KindSummary> summaries;
  for (const bench::SeriesKind kind : o.kinds) {
    const std::size_t runs = bench::kind_info(kind).planted_edge ? o.edge_runs : o.runs;
    auto summary = run_kind(kind, runs, setup);
    if (!summary) {
      fmt::print(stderr, "{}\n", summary.error());
      return 2;
    }
    summaries.push_back(summary.value());
  }
  print_table(summaries);
  fmt::print("{}\n", core::to_compact(summary_json(summaries, setup)));
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
}
