// varnek: the dispatcher of the five commands.
//
// Every error a user can cause ends the process with one line on standard error and
// status 2; nothing is printed on standard output before such a failure.
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/suite.hpp"
#include "bench/terminal.hpp"
#include "bt/simulate.hpp"
#include "core/clock.hpp"
#include "core/io.hpp"
#include "core/json.hpp"
#include "core/parallel.hpp"
#include "core/spec.hpp"
#include "data/csv.hpp"
#include "data/epoch_unit.hpp"
#include "data/quality.hpp"
#include "data/synthetic.hpp"
#include "htf/features.hpp"
#include "research/cluster.hpp"
#include "research/driver.hpp"
#include "research/terminal.hpp"
#include "strategy/lattice.hpp"

namespace {

using namespace varnek;

constexpr std::string_view kTopUsage =
    "varnek research|backtest|bench|quality|families \xE2\x80\x94 see ostrel/README.md";
constexpr std::string_view kResearchUsage = "usage: varnek research <spec.json>";
constexpr std::string_view kBacktestUsage = "usage: varnek backtest <spec.json> <candidate-id>";
constexpr std::string_view kBenchUsage = "usage: varnek bench <data.csv|synthetic:N> [--out file]";
constexpr std::string_view kQualityUsage = "usage: varnek quality <data.csv>";

[[noreturn]] void fail(std::string_view message) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::exit(2);
}

// A result that cannot be written is a failure, not a success with nothing to show.
void print_line(const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                       std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
  if (!written) fail(std::string("cannot write standard output: ") + std::strerror(errno));
}

// A closed standard descriptor is taken by /dev/null opened read-only, so that no file the
// command opens gets its number, and writing to a closed standard output fails as it must.
void hold_closed_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

// Members the loader ignores are named on standard error, with the nearest known member
// when one is close, before anything else is printed: a typo must not pass unseen.
core::Spec load_spec_or_fail(const std::string& path, bool warn = true) {
  std::vector<std::string> warnings;
  auto spec = core::load_spec(path, warnings);
  if (!spec) fail(spec.error());
  if (!warn) warnings.clear();
  for (const std::string& warning : warnings) {
    std::fwrite(warning.data(), 1, warning.size(), stderr);
    std::fputc('\n', stderr);
  }
  std::fflush(stderr);
  return std::move(spec.value());
}

// Terminal text, as is; a terminal that cannot take it changes nothing of the command.
void write_terminal(const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

data::LoadedDataset load_csv_or_fail(const std::string& path) {
  auto loaded = data::load_csv(path);
  if (!loaded) fail(loaded.error());
  return std::move(loaded.value());
}

// A file in milliseconds or microseconds loads as bars of a thousand hours or more: say
// so on standard error, once the command can no longer fail.
void warn_about_units(const data::BarSeries& bars) {
  if (const auto warning = data::timestamp_unit_warning(bars)) {
    std::fwrite(warning->data(), 1, warning->size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}

// "synthetic:" then an optional "+" and the decimal digits of an unsigned 64-bit count;
// anything else after the colon means the default of 20000 bars.
std::uint64_t synthetic_count(std::string_view rest) {
  if (!rest.empty() && rest.front() == '+') rest.remove_prefix(1);
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
  if (rest.empty() || ec != std::errc() || end != rest.data() + rest.size()) return 20000;
  return n;
}

int run_quality(const std::vector<std::string>& args) {
  const auto loaded = load_csv_or_fail(args[2]);
  warn_about_units(loaded.bars);
  core::Json out = core::Json::object();
  out["info"] = data::to_json(loaded.manifest);
  out["quality"] = data::to_json(data::audit(loaded.bars));
  print_line(core::to_compact(out));
  return 0;
}

int run_families() {
  print_line(core::to_pretty(strategy::families_json()));
  return 0;
}

int run_backtest(const std::vector<std::string>& args) {
  const core::Spec spec = load_spec_or_fail(args[2]);
  if (auto money = core::check_exec_money(spec.exec); !money) fail(money.error());
  if (args.size() < 4) fail("candidate id required (e.g. 0-bcaddaccab)");
  const auto loaded = load_csv_or_fail(spec.data_path);
  const auto parsed = strategy::parse_id(args[3]);
  if (!parsed) fail(parsed.error());
  warn_about_units(loaded.bars);
  const strategy::Candidate& candidate = parsed.value();
  const data::BarSeries& bars = loaded.bars;
  const htf::FeatureSet features = htf::build_feature_set(bars, strategy::feature_lengths());
  const strategy::DecisionTables tables = strategy::build_decision_tables(bars, features);
  const strategy::EvalInputs inputs{bars, features, tables};
  const bt::BacktestRun run =
      bt::run_full(candidate, inputs, core::market_for(spec), spec.exec, 0, bars.size());
  core::Json trades = core::Json::array();
  for (const bt::Trade& t : run.trades) trades.push_back(bt::to_json(t));
  core::Json out = core::Json::object();
  out["candidate"] = strategy::format_id(candidate);
  out["dataset"] = data::to_json(loaded.manifest);
  out["params"] = strategy::params_json(candidate);
  out["summary"] = bt::to_json(bt::metrics_from_run(run, spec.exec.equity0));
  out["trades"] = std::move(trades);
  print_line(core::to_pretty(out));
  return 0;
}

int run_bench(const std::vector<std::string>& args) {
  const std::string& source = args[2];
  // "--out" must name a file: given last it is an argument error.
  const std::string* out_path = nullptr;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (i + 1 >= args.size()) fail(kBenchUsage);
      out_path = &args[i + 1];
      break;
    }
  }
  constexpr std::string_view kSynthetic = "synthetic:";
  data::BarSeries bars;
  if (source.size() >= 10 && std::string_view(source).substr(0, 10) == kSynthetic) {
    const std::uint64_t n = synthetic_count(std::string_view(source).substr(10));
    // Refused before generating: a few zeros too many must not exhaust the memory.
    if (n > research::max_bars_in_memory()) {
      fail(fmt::format("too many synthetic bars: {} (at most {} fit in this machine's memory)", n,
                       research::max_bars_in_memory()));
    }
    bars = data::generate_synthetic(n, 1);
  } else {
    bars = load_csv_or_fail(source).bars;
  }
  // On a terminal the sections are drawn; elsewhere each is one "[bench X]" line.
  std::optional<bench::BenchScreen> screen;
  if (::isatty(STDERR_FILENO) == 1) {
    screen.emplace(bench::progress_steps(core::worker_count()),
                   research::terminal_columns(STDERR_FILENO));
  }
  const core::Stopwatch clock;
  const auto report = [&](std::string_view key, const core::Json& item) {
    if (screen) return write_terminal(screen->on_item(key, item, clock.seconds()));
    const std::string line = bench::progress_line(key, item);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  };
  // A file that cannot be written is found before the run, not after it.
  if (out_path != nullptr) {
    if (const auto probed = core::probe_writable(*out_path); !probed) fail(probed.error());
  }
  if (screen) write_terminal(screen->start());
  const auto result = bench::run_suite(bars, source, report);
  if (screen) write_terminal(screen->finish());
  if (!result) fail(result.error());
  const std::string text = core::to_pretty(result.value());
  if (out_path == nullptr) {
    print_line(text);
    return 0;
  }
  if (const auto written = core::replace_file(*out_path, text); !written) fail(written.error());
  return 0;
}

int run_research(const std::vector<std::string>& args) {
  // Under mpirun every process reads the research file, and rank 0 alone speaks for the run.
  const bool speaks = research::launch_of_this_process().rank == 0;
  const core::Spec spec = load_spec_or_fail(args[2], speaks);
  research::EventSink sink;
  // A terminal on standard error shows the run as it goes; a file or a pipe gets nothing
  // extra. The live line needs a terminal line of its own: not when the events go to it too.
  std::optional<research::TerminalDisplay> display;
  if (speaks && ::isatty(STDERR_FILENO) == 1) {
    display.emplace(sink, stderr, research::terminal_columns(STDERR_FILENO),
                    ::isatty(STDOUT_FILENO) != 1);
  }
  const auto report = research::run_research(spec, sink);
  if (display) display->finish(report ? &report.value() : nullptr);
  // The driver has already announced a failure through its events.
  return report ? 0 : 1;
}

int dispatch(const std::vector<std::string>& args) {
  if (args.size() < 2) fail(kTopUsage);
  const std::string& command = args[1];
  struct Command {
    std::string_view name;
    std::string_view usage;
  };
  static constexpr Command kCommands[] = {{"bench", kBenchUsage},
                                          {"quality", kQualityUsage},
                                          {"research", kResearchUsage},
                                          {"backtest", kBacktestUsage},
                                          {"families", {}}};
  const Command* found = nullptr;
  for (const auto& c : kCommands) {
    if (command == c.name) found = &c;
  }
  if (found == nullptr) fail(kTopUsage);
  if (command == "families") return run_families();
  if (args.size() == 2) fail(found->usage);
  if (command == "quality") return run_quality(args);
  if (command == "backtest") return run_backtest(args);
  if (command == "bench") return run_bench(args);
  return run_research(args);
}

}  // namespace

int main(int argc, char** argv) {
  hold_closed_descriptors();
  // A reader that goes away makes writes fail with EPIPE, reported like any write error,
  // instead of killing the process.
  research::ignore_sigpipe();
  try {
    return dispatch(std::vector<std::string>(argv, argv + argc));
  } catch (const std::bad_alloc&) {
    fail("out of memory");
  }
}
