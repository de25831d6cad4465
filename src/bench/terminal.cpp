#include "bench/terminal.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace varnek::bench {
namespace {

constexpr std::string_view kRedrawLine = "\r\x1b[K";
constexpr std::size_t kBarCells = 14;

// A figure of an item, NaN when absent or null (a non-finite measurement).
double figure(const core::Json& j, const char* key) {
  if (!j.is_object()) return std::nan("");
  const auto it = j.find(key);
  return it != j.end() && it->is_number() ? it->get<double>() : std::nan("");
}

bool has(const core::Json& j, const char* key) {
  return j.is_object() && j.contains(key);
}

const core::Json& part(const core::Json& j, const char* key) {
  static const core::Json kNull;
  if (!j.is_object()) return kNull;
  const auto it = j.find(key);
  return it == j.end() ? kNull : *it;
}

std::string fixed(double v, int decimals) {
  return std::isfinite(v) ? fmt::format("{:.{}f}", v, decimals) : "?";
}

std::string count_text(double v) {
  return std::isfinite(v) && v >= 0.0 ? research::group_digits(static_cast<std::uint64_t>(v)) : "?";
}

// A latency given in microseconds, with three significant figures in ns, µs or ms.
std::string latency_text(double us) {
  if (!std::isfinite(us) || us < 0.0) return "?";
  if (us < 1.0) return fmt::format("{:.3g} ns", us * 1000.0);
  if (us < 1000.0) return fmt::format("{:.3g} \xC2\xB5s", us);
  if (us < 1e6) return fmt::format("{:.3g} ms", us / 1000.0);
  return research::format_seconds(us / 1e6);
}

std::string workers_text(double workers) {
  return count_text(workers) + (workers == 1.0 ? " worker" : " workers");
}

std::string step_label(std::string_view key) {
  if (key == "scaling") return "worker scaling";
  if (key == "load") return "load test";
  return "section " + std::string(key);
}

}  // namespace

std::vector<std::string> progress_steps(int workers, const Sizes& sizes) {
  std::vector<std::string> steps = {"A", "B", "C", "D", "E", "F"};
  for (std::size_t i = 0; i < scaling_plan(workers, sizes).size(); ++i)
    steps.emplace_back("scaling");
  for (std::size_t i = 0; i < sizes.load.size(); ++i) steps.emplace_back("load");
  return steps;
}

std::string item_line(std::string_view key, const core::Json& item) {
  if (key == "scaling") {
    return fmt::format("scaling: {}, {}, speedup {}, efficiency {}",
                       workers_text(figure(item, "workers")),
                       research::format_rate(figure(item, "candidates_per_sec")),
                       fixed(figure(item, "speedup"), 2), fixed(figure(item, "efficiency"), 2));
  }
  if (key == "load") {
    return fmt::format("load: {} candidates in {}, {}", count_text(figure(item, "candidates")),
                       research::format_seconds(figure(item, "seconds")),
                       research::format_rate(figure(item, "candidates_per_sec")));
  }
  const core::Json& name = part(item, "name");
  std::string line = name.is_string() ? name.get<std::string>() : std::string(key);
  // Each section's headline figure, the one its name promises, first found in this order.
  static constexpr std::pair<const char*, const char*> kHeadlines[] = {
      {"throughput_per_sec", "predictions"},
      {"backtests_per_sec_single_thread", "backtests"},
      {"candidates_per_sec", "candidates"},
      {"decisions_per_sec", "bar decisions"}};
  for (const auto& [rate, what] : kHeadlines) {
    if (!has(item, rate)) continue;
    // B scores candidates rather than bare rows.
    const char* noun = key == "B" ? "candidates scored" : what;
    line += ": " + research::format_rate(figure(item, rate)) + " " + noun;
    break;
  }
  for (const char* latency : {"latency", "latency_per_decision"}) {
    if (!has(item, latency)) continue;
    line += ", p50 " + latency_text(figure(part(item, latency), "p50_us"));
    break;
  }
  if (has(item, "heap_allocations_per_backtest")) {
    line += ", " + fixed(figure(item, "heap_allocations_per_backtest"), 4) + " allocs each";
  }
  if (has(item, "workers")) {
    line += ", " + workers_text(figure(item, "workers"));
  }
  return line;
}

BenchScreen::BenchScreen(std::vector<std::string> steps, std::size_t columns)
    : steps_(std::move(steps)),
      columns_(std::clamp<std::size_t>(columns, 1, research::kMaxColumns)) {}

std::string BenchScreen::live(double elapsed) const {
  const std::size_t total = steps_.size();
  const double fraction =
      total == 0 ? 1.0 : static_cast<double>(done_) / static_cast<double>(total);
  std::string s = fmt::format(
      "bench [{}] {:3.0f}% {}/{} \xC2\xB7 {}", research::progress_bar(fraction, kBarCells),
      100.0 * std::min(fraction, 1.0), done_, total, research::format_seconds(elapsed));
  if (done_ == 0) {
    s += " \xC2\xB7 set-up: features, candidate pool, forest \xE2\x80\xA6";
  } else if (done_ < total) {
    s += " \xC2\xB7 " + step_label(steps_[done_]) + " \xE2\x80\xA6";
  }
  return std::string(kRedrawLine) + research::fit_columns(s, columns_ - 1);
}

std::string BenchScreen::start() {
  shown_ = true;
  return live(0.0);
}

std::string BenchScreen::on_item(std::string_view key, const core::Json& item, double elapsed) {
  ++done_;
  std::string out = shown_ ? std::string(kRedrawLine) : std::string();
  out += research::fit_columns(item_line(key, item), columns_) + "\n";
  shown_ = done_ < steps_.size();
  if (shown_) out += live(elapsed);
  return out;
}

std::string BenchScreen::finish() {
  std::string out = shown_ ? std::string(kRedrawLine) : std::string();
  shown_ = false;
  return out;
}

}  // namespace varnek::bench
