#include "search/evaluate.hpp"

#include <algorithm>
#include <cmath>

#include "core/clock.hpp"
#include "core/fatal.hpp"
#include "core/parallel.hpp"

namespace varnek::search {

std::uint64_t to_index(double x) {
  if (!(x > 0.0)) return 0;  // NaN and negatives
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

Split make_split(std::uint64_t n, double train, double validation) {
  const double total = static_cast<double>(n);
  const std::uint64_t train_end = to_index(train * total);
  const std::uint64_t validation_end = to_index((train + validation) * total);
  return {{0, train_end}, {train_end, validation_end}, {validation_end, n}};
}

core::Json to_json(const Split& split) {
  auto pair = [](const Range& r) { return core::Json::array({r.start, r.end}); };
  return {{"train", pair(split.train)},
          {"validation", pair(split.validation)},
          {"test", pair(split.test)}};
}

FrozenSet freeze(std::span<const strategy::Candidate> keys) {
  FrozenSet f;
  f.keys.assign(keys.begin(), keys.end());
  f.frozen_at = core::unix_seconds();
  return f;
}

namespace {

void require_frozen(const FrozenSet& frozen, const strategy::Candidate& key) {
  if (std::find(frozen.keys.begin(), frozen.keys.end(), key) == frozen.keys.end()) {
    core::fatal("TEST evaluation of a candidate that was not frozen");
  }
}

}  // namespace

Range resolve_segment(const EvalContext& ctx, const strategy::Candidate& key,
                      const SegmentRef& segment) {
  const Split& s = ctx.split;
  switch (segment.kind) {
    case SegmentRef::Kind::test: {
      require_frozen(*segment.frozen, key);
      ctx.test_evaluations.fetch_add(1, std::memory_order_relaxed);
      return s.test;
    }
    case SegmentRef::Kind::custom:
      if (segment.custom.end > s.validation.end) {
        core::fatal("custom segment reaches into the locked TEST set");
      }
      return segment.custom;
    case SegmentRef::Kind::train:
      return s.train;
    case SegmentRef::Kind::validation:
      return s.validation;
    case SegmentRef::Kind::train_validation:
      break;
  }
  return {s.train.start, s.validation.end};
}

bt::SegmentSummary evaluate(const EvalContext& ctx, const strategy::Candidate& key,
                            const SegmentRef& segment, const core::Exec& exec) {
  const Range r = resolve_segment(ctx, key, segment);
  bt::SegmentSummary out;
  bt::run_fast(key, ctx.inputs(), ctx.market, exec, r.start, r.end, out);
  ctx.evaluations.fetch_add(1, std::memory_order_relaxed);
  ctx.bars_simulated.fetch_add(out.bars, std::memory_order_relaxed);
  return out;
}

bt::SegmentSummary evaluate_results(const EvalContext& ctx, const strategy::Candidate& key,
                                    const SegmentRef& segment, const core::Exec& exec,
                                    std::vector<bt::TradeResult>& results) {
  const Range r = resolve_segment(ctx, key, segment);
  bt::SegmentSummary out;
  bt::run_results(key, ctx.inputs(), ctx.market, exec, r.start, r.end, out, results);
  ctx.evaluations.fetch_add(1, std::memory_order_relaxed);
  ctx.bars_simulated.fetch_add(out.bars, std::memory_order_relaxed);
  return out;
}

bt::BacktestRun evaluate_full(const EvalContext& ctx, const strategy::Candidate& key,
                              const SegmentRef& segment, const core::Exec& exec) {
  const Range r = resolve_segment(ctx, key, segment);
  bt::BacktestRun run = bt::run_full(key, ctx.inputs(), ctx.market, exec, r.start, r.end);
  ctx.evaluations.fetch_add(1, std::memory_order_relaxed);
  ctx.bars_simulated.fetch_add(run.summary.bars, std::memory_order_relaxed);
  return run;
}

bt::BacktestRun run_frozen(const EvalContext& ctx, const FrozenSet& frozen,
                           const strategy::Candidate& key, Range range) {
  require_frozen(frozen, key);
  return bt::run_full(key, ctx.inputs(), ctx.market, ctx.exec, range.start, range.end);
}

double t_statistic(const bt::SegmentSummary& s) {
  if (s.trades < 2) return 0.0;
  const double n = s.trades;
  const double var = std::max(0.0, (s.sum_sq_r - s.net_r * s.net_r / n) / (n - 1.0));
  if (var == 0.0) return 0.0;
  return (s.net_r / n) / std::sqrt(var) * std::sqrt(std::min(n, 100.0));
}

double search_score(const bt::SegmentSummary& s, std::uint32_t threshold) {
  if (s.trades < threshold) return 2.0 * s.trades / threshold - 3.0;
  return t_statistic(s) - 0.02 * std::max(s.max_dd_r, 0.0);
}

std::vector<Scored> score_batch(const EvalContext& ctx, std::span<const strategy::Candidate> keys,
                                const SegmentRef& segment) {
  // The test segment checks and counts each key as it opens it.
  if (segment.kind == SegmentRef::Kind::test) {
    return core::parallel_map<Scored>(keys.size(), [&](std::size_t i) {
      const strategy::Candidate& key = keys[i];
      if (!strategy::is_valid(key)) return Scored{key, -5.0};
      return Scored{key, search_score(evaluate(ctx, key, segment, ctx.exec), ctx.min_trades)};
    });
  }
  // Any other segment is one range for every key: one batch, in which the keys of an entry
  // stream share its signal list. The same summaries and counts as one evaluate() each.
  std::vector<Scored> out(keys.size());
  std::vector<strategy::Candidate> valid;
  std::vector<std::size_t> slot;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    out[i] = {keys[i], -5.0};
    if (!strategy::is_valid(keys[i])) continue;
    valid.push_back(keys[i]);
    slot.push_back(i);
  }
  if (valid.empty()) return out;
  const Range r = resolve_segment(ctx, valid.front(), segment);
  std::vector<bt::SegmentSummary> summaries(valid.size());
  bt::run_fast_batch(valid, ctx.inputs(), ctx.market, ctx.exec, r.start, r.end, summaries);
  std::uint64_t bars = 0;
  for (std::size_t j = 0; j < valid.size(); ++j) {
    out[slot[j]].score = search_score(summaries[j], ctx.min_trades);
    bars += summaries[j].bars;
  }
  ctx.evaluations.fetch_add(valid.size(), std::memory_order_relaxed);
  ctx.bars_simulated.fetch_add(bars, std::memory_order_relaxed);
  return out;
}

}  // namespace varnek::search
