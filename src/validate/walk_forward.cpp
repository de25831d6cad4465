#include "validate/walk_forward.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "core/parallel.hpp"
#include "validate/figures.hpp"

namespace varnek::validate {

namespace {

constexpr std::uint64_t kWindows = 6;
constexpr std::uint64_t kMinOosBars = 10;  // an out-of-sample part must hold more bars

WalkForwardResult run_candidate(const search::EvalContext& ctx, const strategy::Candidate& key) {
  const std::uint64_t start = ctx.split.train.start;
  // Timestamps are read at the window edges: never past the series, whatever the split.
  const std::uint64_t end = std::min<std::uint64_t>(ctx.split.validation.end, ctx.bars.size());
  const std::vector<WindowBounds> bounds = walk_forward_windows(start, end);
  const std::vector<strategy::Candidate> members = neighbourhood(key);
  const std::uint32_t threshold = ctx.min_trades / 3;
  const auto& ts = ctx.bars.ts;

  WalkForwardResult out;
  out.windows.reserve(bounds.size());
  for (const WindowBounds& w : bounds) {
    const auto training = search::SegmentRef::range(w.train.start, w.train.end);
    std::size_t best = 0;
    double best_score = 0.0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      const double score =
          search::search_score(search::evaluate(ctx, members[i], training, ctx.exec), threshold);
      // ">=": a neighbour that only equals the current best replaces it.
      if (i == 0 || score >= best_score) {
        best = i;
        best_score = score;
      }
    }
    const bt::SegmentSummary s = search::evaluate(
        ctx, members[best], search::SegmentRef::range(w.oos.start, w.oos.end), ctx.exec);
    WalkForwardWindow win;
    win.chosen = members[best];
    win.train_start = ts[w.train.start];
    win.train_end = ts[w.train.end - 1];
    win.test_start = ts[w.oos.start];
    win.test_end = ts[w.oos.end - 1];
    win.profit_factor = profit_factor(s);
    win.expectancy_r = expectancy_r(s);
    win.net_r = s.net_r;
    win.max_dd_r = s.max_dd_r;
    win.trades = s.trades;
    out.windows.push_back(win);
  }

  const double count = static_cast<double>(std::max<std::size_t>(out.windows.size(), 1));
  double mean = 0.0;
  for (const WalkForwardWindow& w : out.windows) {
    out.oos_trades += w.trades;
    out.oos_net_r += w.net_r;
    if (w.net_r > 0.0) ++out.positive_windows;
    mean += w.expectancy_r;
  }
  mean /= count;
  out.oos_expectancy_r = out.oos_trades > 0 ? out.oos_net_r / out.oos_trades : 0.0;
  out.stability = static_cast<double>(out.positive_windows) / count;
  double squares = -0.0;  // the empty sum, so no window gives -0.0
  for (const WalkForwardWindow& w : out.windows) {
    squares += (w.expectancy_r - mean) * (w.expectancy_r - mean);
  }
  out.dispersion_r = std::sqrt(squares / count);
  return out;
}

}  // namespace

std::vector<WindowBounds> walk_forward_windows(std::uint64_t start, std::uint64_t end) {
  std::vector<WindowBounds> out;
  if (end <= start) return out;
  const std::uint64_t unit = (end - start) / 8;
  for (std::uint64_t v = 0; v < kWindows; ++v) {
    const std::uint64_t oos_start = start + (v + 2) * unit;
    const std::uint64_t oos_end = std::min(end, start + (v + 3) * unit);
    if (oos_end <= oos_start + kMinOosBars) break;
    out.push_back({{start + v * unit, oos_start}, {oos_start, oos_end}});
  }
  return out;
}

std::vector<strategy::Candidate> neighbourhood(const strategy::Candidate& key) {
  std::vector<strategy::Candidate> out{key};
  const std::size_t dims = strategy::dim_count(key.family);
  for (std::size_t d = 0; d < dims; ++d) {
    const std::size_t level = key.idx[d];
    if (level > 0) {
      strategy::Candidate lower = key;
      lower.idx[d] = static_cast<std::uint8_t>(level - 1);
      if (strategy::is_valid(lower)) out.push_back(lower);
    }
    if (level + 1 < strategy::value_count(key.family, d)) {
      strategy::Candidate upper = key;
      upper.idx[d] = static_cast<std::uint8_t>(level + 1);
      if (strategy::is_valid(upper)) out.push_back(upper);
    }
  }
  return out;
}

std::vector<WalkForwardEntry> walk_forward(const search::EvalContext& ctx,
                                           std::span<const strategy::Candidate> candidates,
                                           const Progress& progress) {
  std::atomic<std::size_t> finished{0};
  const std::size_t total = candidates.size();
  return core::parallel_map<WalkForwardEntry>(total, [&](std::size_t i) {
    WalkForwardEntry entry{candidates[i], run_candidate(ctx, candidates[i])};
    const std::size_t done = finished.fetch_add(1, std::memory_order_relaxed) + 1;
    if (progress) progress(done, total);
    return entry;
  });
}

bool passes_walk_forward(const WalkForwardResult& result) {
  return result.stability >= 0.5 && result.oos_net_r > 0.0;
}

core::Json to_json(const WalkForwardWindow& window) {
  core::Json j = core::Json::object();
  j["train_start"] = window.train_start;
  j["train_end"] = window.train_end;
  j["test_start"] = window.test_start;
  j["test_end"] = window.test_end;
  j["chosen"] = strategy::format_id(window.chosen);
  j["chosen_params"] = strategy::params_json(window.chosen);
  j["trades"] = window.trades;
  j["profit_factor"] = core::number_or_null(window.profit_factor);
  j["expectancy_r"] = core::number_or_null(window.expectancy_r);
  j["net_r"] = core::number_or_null(window.net_r);
  j["max_dd_r"] = core::number_or_null(window.max_dd_r);
  return j;
}

core::Json to_json(const WalkForwardResult& result) {
  core::Json windows = core::Json::array();
  for (const WalkForwardWindow& w : result.windows) windows.push_back(to_json(w));
  core::Json j = core::Json::object();
  j["windows"] = std::move(windows);
  j["oos_trades"] = result.oos_trades;
  j["oos_net_r"] = core::number_or_null(result.oos_net_r);
  j["oos_expectancy_r"] = core::number_or_null(result.oos_expectancy_r);
  j["positive_windows"] = result.positive_windows;
  j["stability"] = core::number_or_null(result.stability);
  j["dispersion_r"] = core::number_or_null(result.dispersion_r);
  return j;
}

}  // namespace varnek::validate
