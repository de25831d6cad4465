#include "research/funnel.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <unordered_set>

#include "core/clock.hpp"
#include "core/splitmix.hpp"
#include "research/exhaustive.hpp"
#include "rf/forest.hpp"
#include "validate/figures.hpp"

namespace varnek::research {
namespace {

using strategy::Candidate;

constexpr std::size_t kExhaustiveChunk = 8192;
constexpr std::size_t kSurrogateChunk = 2048;
constexpr std::size_t kFrontierPoints = 400;

core::Json finite_or_null(double x) {
  return core::number_or_null(x);
}

// Identifier texts of one family have one length and compare letter by letter, and
// families differ in their first character, so (family, levels) orders them bytewise.
bool id_less(const Candidate& a, const Candidate& b) {
  if (a.family != b.family) return a.family < b.family;
  return a.idx < b.idx;
}

// Stable, descending on the score, ties by identifier ascending.
template <class T, class Score>
void rank(std::vector<T>& items, Score score) {
  std::stable_sort(items.begin(), items.end(), [&](const T& a, const T& b) {
    const double sa = score(a), sb = score(b);
    if (sa != sb) return sa > sb;
    return id_less(a.key, b.key);
  });
}

struct Ranked {
  Candidate key;
  double score = 0.0;
};

struct ValidatedEntry {
  Candidate key;
  double train_score = 0.0;
  bt::SegmentSummary validation;
};

using WalkEntry = validate::WalkForwardEntry;

// The lattice points already drawn: one bit per point of every family's lattice (about
// 1.3 MB for the whole space), so that a membership test is an index computation instead
// of a hash of the key.
class SeenKeys {
 public:
  SeenKeys() {
    std::uint64_t total = 0;
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      first_[f] = total;
      total += strategy::family_size(f);
    }
    bits_.assign((total + 63) / 64, 0);
  }
  // True when the key was not there yet.
  bool insert(const Candidate& c) {
    const std::uint64_t at = first_[c.family] + strategy::lattice_index(c);
    const std::uint64_t bit = std::uint64_t{1} << (at & 63);
    std::uint64_t& word = bits_[at >> 6];
    if (word & bit) return false;
    word |= bit;
    return true;
  }

 private:
  std::array<std::uint64_t, strategy::kFamilies> first_{};
  std::vector<std::uint64_t> bits_;
};

// The surrogate pool: distinct valid variants drawn with one generator, in insertion order.
std::vector<Candidate> draw_pool(const std::vector<std::uint8_t>& families, std::uint64_t seed,
                                 std::uint64_t target) {
  core::SplitMix64 rng(seed ^ core::SplitMix64::kGolden);
  std::vector<Candidate> pool;
  pool.reserve(target);
  SeenKeys seen;
  const std::uint64_t max_draws = target * 20;
  std::uint64_t draws = 0;
  while (pool.size() < target && draws < max_draws) {
    Candidate c;
    do {
      const std::uint8_t f = families[rng.next() % families.size()];
      c = strategy::random_candidate(f, rng);
    } while (!strategy::is_valid(c));
    ++draws;
    if (seen.insert(c)) pool.push_back(c);
  }
  return pool;
}

struct Schedule {
  bool exhaustive = false;
  std::vector<Candidate> keys;  // surrogate mode only; exhaustive keys are enumerated
  std::uint64_t count = 0;
};

// Counts the distinct variants a run evaluates without keeping a set of every key: the
// backtest stage's keys are distinct by construction (a lattice enumeration, or a pool
// drawn without duplicates), except that a family listed twice is enumerated twice; so
// only keys evaluated by later stages and never backtested are remembered.
class TrialCounter {
 public:
  TrialCounter(const std::vector<std::uint8_t>& families, const Schedule& sched,
               std::uint32_t min_trades)
      : sched_(sched), min_trades_(min_trades) {
    std::uint64_t start = 0;
    for (std::uint8_t f : families) {
      if (!first_start_[f]) first_start_[f] = start;
      start += strategy::family_size(f);
    }
  }

  // The key at schedule position `position` (0-based), consumed in schedule order.
  void add_backtested(std::uint64_t position, const Candidate& key, const bt::SegmentSummary& s,
                      validate::TrialStats& stats) {
    if (sched_.exhaustive && position != enumeration_position(key)) return;  // listed twice
    ++stats.trials;
    // Below the run's own trade threshold a Sharpe ratio is no estimate: a handful of
    // trades that all stop out at about -1 R differ only by their commissions, and their
    // ratio of hundreds would swamp the variance the deflated Sharpe ratio rests on.
    if (s.trades < std::max<std::uint32_t>(min_trades_, 2)) return;
    if (const auto sharpe = validate::sharpe_of(s)) stats.add(*sharpe);
  }

  // Closes the backtest stage: later keys are compared with the ones it processed.
  void end_of_stage(std::uint64_t backtested) {
    backtested_ = backtested;
    if (!sched_.exhaustive) {
      processed_.assign(sched_.keys.begin(),
                        sched_.keys.begin() + static_cast<std::ptrdiff_t>(backtested));
      std::sort(processed_.begin(), processed_.end());
    }
  }

  // A key evaluated after the backtest stage (walk-forward neighbour, parameter sweep).
  void add_later(const Candidate& key, validate::TrialStats& stats) {
    if (was_backtested(key) || !later_.insert(key).second) return;
    ++stats.trials;
  }

 private:
  std::uint64_t enumeration_position(const Candidate& key) const {
    return *first_start_[key.family] + strategy::lattice_index(key);
  }
  bool was_backtested(const Candidate& key) const {
    if (!sched_.exhaustive) return std::binary_search(processed_.begin(), processed_.end(), key);
    return first_start_[key.family] && enumeration_position(key) < backtested_;
  }

  const Schedule& sched_;
  std::uint32_t min_trades_ = 0;
  std::array<std::optional<std::uint64_t>, strategy::kFamilies> first_start_{};
  std::uint64_t backtested_ = 0;
  std::vector<Candidate> processed_;  // surrogate mode: sorted
  // Membership only, never iterated: its order cannot reach the output.
  std::unordered_set<Candidate, strategy::CandidateHash> later_;
};

Schedule screen(const FunnelInputs& in, FunnelResult& out, std::uint64_t pool_target,
                std::uint64_t budget, bool exhaustive) {
  EventSink& sink = in.sink;
  Schedule s;
  s.exhaustive = exhaustive;
  FunnelCounters& c = out.counters;
  if (exhaustive) {
    sink.status("screening", "done",
                {{"mode", "exhaustive"},
                 {"kept", in.space_total},
                 {"from", in.space_total},
                 {"note_fr",
                  "mode exhaustif : chaque variante de l'espace est backtestée, sans filtre "
                  "du modèle"}});
    s.count = in.space_total;
    c.surrogate_kept = in.space_total;
    return s;
  }
  sink.status("screening", "running", {{"pool", pool_target}});
  const std::vector<Candidate> pool = draw_pool(in.families, in.spec.seed, pool_target);
  const std::uint64_t warmup = std::min<std::uint64_t>(
      3000, std::min<std::uint64_t>(pool.size(), std::max<std::uint64_t>(200, budget / 10)));
  const core::Stopwatch warm_clock;
  const std::span<const Candidate> warm(pool.data(), warmup);
  const std::vector<double> scored = in.fanouts.train_scores(warm);
  std::vector<rf::Row> rows(warmup);
  std::vector<float> targets(warmup);
  for (std::size_t i = 0; i < warmup; ++i) {
    rows[i] = strategy::feature_vector(warm[i]);
    targets[i] = static_cast<float>(std::max(-5.0, scored[i]));
  }
  rf::ForestParams params;
  params.seed = in.spec.seed;
  const rf::Forest forest = rf::train(rows, targets, params);
  const double warmup_secs = warm_clock.seconds();

  const std::span<const Candidate> rest(pool.data() + warmup, pool.size() - warmup);
  const core::Stopwatch predict_clock;
  const std::vector<float> predicted = in.fanouts.predictions(forest, rest);
  out.rf_prediction_seconds = predict_clock.seconds();
  out.rf_predictions = predicted.size();
  const std::uint64_t take =
      std::min<std::uint64_t>(budget > warmup ? budget - warmup : 0, predicted.size());
  s.keys.assign(warm.begin(), warm.end());
  for (std::size_t i : best_predicted(predicted, take)) s.keys.push_back(rest[i]);
  s.count = s.keys.size();
  c.generated = pool.size();
  c.surrogate_kept = s.count;
  sink.emit("screening",
            {{"pool", pool.size()},
             {"warmup_backtests", warmup},
             {"warmup_secs", finite_or_null(warmup_secs)},
             {"rf_trees", forest.trees.size()},
             {"rf_nodes", rf::node_count(forest)},
             {"rf_predictions", out.rf_predictions},
             {"rf_predictions_per_sec", finite_or_null(static_cast<double>(out.rf_predictions) /
                                                       std::max(out.rf_prediction_seconds, 1e-9))},
             {"selected", s.count},
             {"screened_out", pool.size() - s.count}});
  sink.status("screening", "done", {{"kept", s.count}, {"from", pool.size()}});
  return s;
}

// The best candidate's train equity curve. Shown, not measured: the run is not an
// evaluation of the context, so the decision counts stay those of the stage itself.
core::Json equity_event(const search::EvalContext& ctx, const Candidate& best) {
  const search::Range train = ctx.split.train;
  const bt::BacktestRun run =
      bt::run_full(best, ctx.inputs(), ctx.market, ctx.exec, train.start, train.end);
  core::Json curve = core::Json::array();
  for (double e : reduce_curve(run.equity, 160)) curve.push_back(finite_or_null(e));
  return {{"candidate", strategy::candidate_json(best)},
          {"segment", "train"},
          {"equity", std::move(curve)},
          {"summary", bt::to_json(bt::metrics_from_run(run, ctx.exec.equity0))}};
}

// The chunk's valid keys backtested on the train segment, a contiguous share per process,
// entry stream by entry stream within each share so that exit variants share their signal
// list; an invalid key gets an empty summary.
std::vector<bt::SegmentSummary> backtest_chunk(Fanouts& fanouts,
                                               const std::vector<Candidate>& chunk) {
  std::vector<Candidate> valid;
  std::vector<std::size_t> slot;
  valid.reserve(chunk.size());
  slot.reserve(chunk.size());
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (!strategy::is_valid(chunk[i])) continue;
    valid.push_back(chunk[i]);
    slot.push_back(i);
  }
  const std::vector<bt::SegmentSummary> summaries = fanouts.train_summaries(valid);
  std::vector<bt::SegmentSummary> results(chunk.size());
  for (std::size_t j = 0; j < valid.size(); ++j) results[slot[j]] = summaries[j];
  return results;
}

// Counts the chunk's valid keys in the context exactly as one evaluation each would count
// them, when the stage consumes them.
void count_chunk(const search::EvalContext& ctx, const std::vector<Candidate>& chunk,
                 const std::vector<bt::SegmentSummary>& results) {
  std::uint64_t evaluations = 0, bars = 0;
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (!strategy::is_valid(chunk[i])) continue;
    ++evaluations;
    bars += results[i].bars;
  }
  ctx.evaluations.fetch_add(evaluations, std::memory_order_relaxed);
  ctx.bars_simulated.fetch_add(bars, std::memory_order_relaxed);
}

// The backtest stage: scheduled keys scored on the train segment chunk by chunk, under
// the time budget. Returns the kept list, pruned to the promotion size as it grows.
std::vector<Ranked> backtest_stage(const FunnelInputs& in, FunnelResult& out, Schedule& sched,
                                   TrialCounter& trials) {
  const search::EvalContext& ctx = in.ctx;
  EventSink& sink = in.sink;
  const core::Spec& spec = in.spec;
  const std::uint32_t min_trades = spec.min_trades;
  const std::size_t chunk_size = sched.exhaustive ? kExhaustiveChunk : kSurrogateChunk;
  const std::uint64_t promote = spec.funnel.promote;
  const std::uint64_t prune_at = 4 * std::max<std::uint64_t>(promote, 1);
  const std::uint64_t frontier_every = std::max<std::uint64_t>(1, sched.count / kFrontierPoints);
  const int workers = in.workers;
  const double budget = spec.time_budget_s;

  std::vector<Ranked> kept;
  std::uint64_t backtested = 0, too_few = 0, losing = 0;
  bool has_best = false;
  Ranked best;
  const core::Stopwatch clock;
  const std::uint64_t bars_before = ctx.bars_simulated.load();
  double last_equity = -1e300;
  ExhaustiveSource lattice(in.families, in.fanouts,
                           [&] { return budget > 0.0 && clock.seconds() > budget; });
  std::vector<Candidate> chunk;
  std::vector<bt::SegmentSummary> results;
  std::size_t next = 0;
  for (;;) {
    if (sched.exhaustive) {
      lattice.next_chunk(chunk, results, chunk_size);
    } else {
      const std::size_t n = std::min(chunk_size, sched.keys.size() - next);
      chunk.assign(sched.keys.begin() + static_cast<std::ptrdiff_t>(next),
                   sched.keys.begin() + static_cast<std::ptrdiff_t>(next + n));
      next += n;
      results = backtest_chunk(in.fanouts, chunk);
    }
    if (chunk.empty()) {
      out.stopped_by_budget = lattice.stopped();
      break;
    }
    count_chunk(ctx, chunk, results);
    core::Json stream = core::Json::array();
    const std::size_t stream_every = std::max<std::size_t>(chunk.size() / 5, 1);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      ++backtested;
      const Candidate& key = chunk[i];
      if (!strategy::is_valid(key)) continue;
      const bt::SegmentSummary& s = results[i];
      trials.add_backtested(backtested - 1, key, s, out.trials);
      const double score = search::search_score(s, min_trades);
      out.trades_total += s.trades;
      if (!has_best || score > best.score) {
        best = {key, score};
        has_best = true;
      }
      if (s.trades < min_trades) {
        ++too_few;
      } else if (s.trades == 0 || s.net_r / s.trades <= 0.0) {
        ++losing;
      } else {
        kept.push_back({key, score});
      }
      if (backtested % frontier_every == 0 && out.frontier.size() < kFrontierPoints) {
        out.frontier.push_back({s.trades, finite_or_null(validate::expectancy_r(s)), key.family});
      }
      if (kept.size() > prune_at) {
        rank(kept, [](const Ranked& r) { return r.score; });
        kept.resize(promote);
      }
      if (i % stream_every == 0) {
        const bt::Metrics m = bt::metrics_from_summary(s);
        stream.push_back(
            {{"id", strategy::format_id(key)},
             {"family_fr", strategy::family_table()[key.family].label_fr},
             {"trades", s.trades},
             {"pf", finite_or_null(m.profit_factor)},
             {"expectancy_r", finite_or_null(m.expectancy_r)},
             {"win_rate", finite_or_null(m.win_rate)},
             {"verdict",
              s.trades >= min_trades && m.expectancy_r > 0.0 ? "candidate" : "rejected"}});
      }
    }
    const double e = std::max(clock.seconds(), 1e-9);
    if (sink.admit_progress()) {
      const double per_sec = static_cast<double>(backtested) / e;
      const std::uint64_t decisions = ctx.bars_simulated.load() - bars_before;
      core::Json best_json = nullptr;
      if (has_best) {
        best_json = {{"id", strategy::format_id(best.key)},
                     {"score", finite_or_null(best.score)},
                     {"family_fr", strategy::family_table()[best.key.family].label_fr}};
      }
      sink.emit(
          "progress",
          {{"phase", "backtest"},
           {"done", backtested},
           {"total", sched.count},
           {"pct", finite_or_null(100.0 * static_cast<double>(backtested) /
                                  static_cast<double>(std::max<std::uint64_t>(sched.count, 1)))},
           {"candidates_per_sec", finite_or_null(per_sec)},
           {"trades_per_sec", finite_or_null(static_cast<double>(out.trades_total) / e)},
           {"decisions_per_sec", finite_or_null(static_cast<double>(decisions) / e)},
           {"trades_total", out.trades_total},
           {"decisions", decisions},
           {"elapsed_s", finite_or_null(e)},
           {"eta_s", finite_or_null(static_cast<double>(
                                        sched.count > backtested ? sched.count - backtested : 0) /
                                    std::max(per_sec, 1e-9))},
           {"workers", workers},
           {"best", std::move(best_json)},
           {"stream", std::move(stream)},
           {"rejected_too_few", too_few},
           {"rejected_losing", losing},
           {"kept", kept.size()}});
    }
    if (has_best && clock.seconds() - last_equity > 2.0) {
      last_equity = clock.seconds();
      sink.emit("equity", equity_event(ctx, best.key));
    }
    const double elapsed = clock.seconds();
    if (budget > 0.0 && elapsed > budget) {
      out.stopped_by_budget = true;
      break;
    }
  }
  out.backtest_seconds = clock.seconds();
  out.decisions = ctx.bars_simulated.load() - bars_before;
  FunnelCounters& c = out.counters;
  c.backtested = backtested;
  if (sched.exhaustive) c.generated = backtested;
  c.coverage = static_cast<double>(backtested) /
               static_cast<double>(std::max<std::uint64_t>(c.surrogate_kept, 1));
  const double bs = std::max(out.backtest_seconds, 1e-9);
  sink.emit("frontier", {{"points", out.frontier}, {"x", "trades"}, {"y", "expectancy_r"}});
  sink.status("backtest", "done",
              {{"candidates", backtested},
               {"seconds", finite_or_null(out.backtest_seconds)},
               {"candidates_per_sec", finite_or_null(static_cast<double>(backtested) / bs)},
               {"trades_total", out.trades_total},
               {"trades_per_sec", finite_or_null(static_cast<double>(out.trades_total) / bs)},
               {"decisions_per_sec", finite_or_null(static_cast<double>(out.decisions) / bs)},
               {"coverage", finite_or_null(c.coverage)},
               {"stopped_by_budget", out.stopped_by_budget}});
  out.rejections.push_back(
      {"backtest", too_few,
       fmt::format("moins de {} trades sur la période d'entraînement : pas assez "
                   "d'observations pour conclure",
                   min_trades)});
  out.rejections.push_back(
      {"backtest", losing, "espérance négative ou nulle sur l'entraînement, frais inclus"});
  return kept;
}

// The promoted candidates' results over train + validation, summed by block of equal bar
// count, and the probability that the best of them in sample is below the median out of
// sample.
validate::PboResult promoted_pbo(const search::EvalContext& ctx, Fanouts& fanouts,
                                 std::span<const Candidate> promoted) {
  const std::uint64_t start = ctx.split.train.start, end = ctx.split.validation.end;
  if (end <= start) return {std::nullopt, std::nullopt, promoted.size(), 0};
  return validate::pbo(fanouts.block_returns(promoted));
}

bool passes_validation(const bt::SegmentSummary& s, std::uint32_t min_trades) {
  const std::uint32_t min_val = std::max<std::uint32_t>(10, min_trades / 3);
  if (s.trades < min_val || !(s.net_r / s.trades > 0.0)) return false;
  if (s.gross_loss_r <= 0.0) return s.gross_profit_r > 0.0;
  return s.gross_profit_r / s.gross_loss_r > 1.05;
}

// Keeps candidates that differ from every better-ranked accepted one of the same family
// in at least 3 parameter levels, until `limit` are accepted.
std::vector<WalkEntry> diversify(const std::vector<WalkEntry>& ranked, std::uint64_t limit,
                                 std::uint64_t& near_duplicates) {
  std::vector<WalkEntry> accepted;
  for (const WalkEntry& w : ranked) {
    if (accepted.size() >= limit) break;
    const std::size_t dims = std::min<std::size_t>(strategy::dim_count(w.key.family), 12);
    bool duplicate = false;
    for (const WalkEntry& a : accepted) {
      if (a.key.family != w.key.family) continue;
      std::size_t differ = 0;
      for (std::size_t d = 0; d < dims; ++d) differ += a.key.idx[d] != w.key.idx[d];
      if (differ < 3) {
        duplicate = true;
        break;
      }
    }
    if (duplicate) {
      ++near_duplicates;
    } else {
      accepted.push_back(w);
    }
  }
  return accepted;
}

}  // namespace

core::Json split_dates(const data::BarSeries& bars, const search::Split& split) {
  auto dates = [&](const search::Range& r) {
    if (r.empty() || r.end > bars.size()) return core::Json::array({nullptr, nullptr});
    return core::Json::array({bars.ts[r.start], bars.ts[r.end - 1]});
  };
  return {{"train", dates(split.train)},
          {"validation", dates(split.validation)},
          {"test", dates(split.test)}};
}

std::vector<double> reduce_curve(const std::vector<double>& values, std::size_t n) {
  const std::size_t count = values.size();
  if (n >= count || n < 2) return values;
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = values[i * (count - 1) / (n - 1)];
  return out;
}

// Without NaN, "higher, or equal and earlier" is a total order: selecting the first `take`
// and sorting only them gives what a stable sort of the whole pool would. A NaN orders
// with nothing, so it keeps the stable sort.
std::vector<std::size_t> best_predicted(const std::vector<float>& predicted, std::uint64_t take) {
  std::vector<std::size_t> order(predicted.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto end = order.begin() + static_cast<std::ptrdiff_t>(take);
  if (std::any_of(predicted.begin(), predicted.end(), [](float p) { return std::isnan(p); })) {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return predicted[a] > predicted[b]; });
  } else {
    const auto better = [&](std::size_t a, std::size_t b) {
      return predicted[a] > predicted[b] || (predicted[a] == predicted[b] && a < b);
    };
    std::nth_element(order.begin(), end, order.end(), better);
    std::sort(order.begin(), end, better);
  }
  order.erase(end, order.end());
  return order;
}

core::Json to_json(const StageRecord& r) {
  return {{"stage", r.stage}, {"count", r.count}, {"reason_fr", r.reason_fr}};
}

core::Json to_json(const FunnelCounters& c) {
  return {{"space", c.space},
          {"mode", c.mode},
          {"generated", c.generated},
          {"surrogate_kept", c.surrogate_kept},
          {"backtested", c.backtested},
          {"coverage", core::number_or_null(c.coverage)},
          {"promoted", c.promoted},
          {"validated", c.validated},
          {"walk_forward_passed", c.walk_forward_passed},
          {"robust", c.robust}};
}

FunnelResult run_funnel(const FunnelInputs& in) {
  const search::EvalContext& ctx = in.ctx;
  const core::Spec& spec = in.spec;
  EventSink& sink = in.sink;
  FunnelResult out;
  FunnelCounters& c = out.counters;
  c.space = in.space_total;

  // Space.
  core::Json families = core::Json::array();
  for (std::uint8_t f : in.families) {
    const strategy::Family& fam = strategy::family_table()[f];
    families.push_back(
        {{"key", fam.key}, {"label_fr", fam.label_fr}, {"size", strategy::family_size(f)}});
  }
  sink.emit("space", {{"families", std::move(families)},
                      {"total", in.space_total},
                      {"split", search::to_json(ctx.split)},
                      {"split_dates", split_dates(ctx.bars, ctx.split)},
                      {"test_locked", true}});

  // Screening.
  const std::uint64_t pool_target = std::min(in.space_total, spec.funnel.screen);
  const std::uint64_t budget = std::min(pool_target, spec.funnel.backtest);
  const bool exhaustive = spec.scale == "exhaustive" || spec.funnel.backtest >= in.space_total;
  c.mode = exhaustive ? "exhaustive" : "surrogate";
  core::Stopwatch phase;
  Schedule sched = screen(in, out, pool_target, budget, exhaustive);
  out.timings.push_back({"criblage", phase.seconds()});

  // Training backtests.
  sink.status("backtest", "running",
              {{"candidates", sched.count},
               {"mode", c.mode},
               {"time_budget_s", core::number_or_null(spec.time_budget_s)}});
  phase = {};
  TrialCounter trials(in.families, sched, spec.min_trades);
  std::vector<Ranked> kept = backtest_stage(in, out, sched, trials);
  trials.end_of_stage(c.backtested);
  out.timings.push_back({"backtests", phase.seconds()});

  // Promotion.
  phase = {};
  rank(kept, [](const Ranked& r) { return r.score; });
  if (kept.size() > spec.funnel.promote) kept.resize(spec.funnel.promote);
  c.promoted = kept.size();
  std::vector<Candidate> promoted_keys;
  promoted_keys.reserve(kept.size());
  for (const Ranked& r : kept) promoted_keys.push_back(r.key);
  out.pbo = promoted_pbo(ctx, in.fanouts, promoted_keys);
  sink.emit("promotion", {{"promoted", kept.size()},
                          {"rejected_too_few_trades", out.rejections[0].count},
                          {"rejected_losing", out.rejections[1].count}});

  // Validation.
  sink.status("validation", "running", {{"candidates", kept.size()}});
  const std::vector<bt::SegmentSummary> val = in.fanouts.validation(promoted_keys);
  std::vector<ValidatedEntry> validated;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (passes_validation(val[i], spec.min_trades)) {
      validated.push_back({kept[i].key, kept[i].score, val[i]});
    }
  }
  out.rejections.push_back({"validation", kept.size() - validated.size(),
                            "performance qui ne se maintient pas sur la période de validation "
                            "(données jamais vues pendant l'optimisation)"});
  rank(validated, [](const ValidatedEntry& v) {
    return search::t_statistic(v.validation) + 0.5 * v.train_score;
  });
  if (validated.size() > spec.funnel.walk_forward) validated.resize(spec.funnel.walk_forward);
  c.validated = validated.size();
  sink.emit("validation", {{"passed", validated.size()}, {"tested", kept.size()}});
  sink.status("validation", "done", {{"passed", validated.size()}});
  out.timings.push_back({"validation", phase.seconds()});

  // Walk-forward.
  phase = {};
  sink.status("walk_forward", "running", {{"candidates", validated.size()}});
  std::vector<Candidate> wf_keys;
  for (const ValidatedEntry& v : validated) wf_keys.push_back(v.key);
  const int workers = in.workers;
  const auto wf = in.fanouts.walk_forward(wf_keys, [&](std::size_t done, std::size_t total) {
    if (sink.admit_progress()) {
      sink.emit(
          "progress",
          {{"phase", "walk_forward"}, {"done", done}, {"total", total}, {"workers", workers}});
    }
  });
  for (const Candidate& key : wf_keys) {
    for (const Candidate& member : validate::neighbourhood(key))
      trials.add_later(member, out.trials);
  }
  std::vector<WalkEntry> wf_passed;
  for (const WalkEntry& w : wf) {
    if (validate::passes_walk_forward(w.result)) wf_passed.push_back(w);
  }
  out.rejections.push_back({"walk_forward", wf.size() - wf_passed.size(),
                            "en walk-forward, rentable dans moins de la moitié des fenêtres "
                            "hors échantillon"});
  rank(wf_passed,
       [](const WalkEntry& w) { return w.result.oos_expectancy_r * w.result.stability; });

  // Diversity.
  std::uint64_t near_duplicates = 0;
  const std::vector<WalkEntry> accepted =
      diversify(wf_passed, spec.funnel.robustness, near_duplicates);
  out.rejections.push_back({"diversity", near_duplicates,
                            "quasi-doublon d'un candidat mieux classé (au plus 2 réglages "
                            "différents) : même idée, pas une nouvelle piste"});
  c.walk_forward_passed = accepted.size();
  sink.status("walk_forward", "done", {{"passed", accepted.size()}, {"tested", wf.size()}});
  out.timings.push_back({"walk-forward", phase.seconds()});

  // Robustness, with one lookahead audit per family.
  phase = {};
  sink.status("robustness", "running", {{"candidates", accepted.size()}});
  for (const WalkEntry& w : accepted) {
    if (!out.lookahead.contains(w.key.family)) {
      out.lookahead.emplace(w.key.family, validate::lookahead_audit(ctx, w.key));
    }
  }
  std::vector<validate::RobustnessResult> robust = in.fanouts.robustness(accepted);
  for (const WalkEntry& w : accepted) {
    for (const Candidate& variant : validate::sensitivity_variants(w.key)) {
      trials.add_later(variant, out.trials);
    }
  }
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    if (validate::passes_robustness(robust[i])) {
      out.finalists.push_back({accepted[i].key, std::move(robust[i])});
    }
  }
  out.rejections.push_back({"robustness", accepted.size() - out.finalists.size(),
                            "résultat trop dépendant d'un réglage précis ou qui disparaît quand "
                            "l'exécution se dégrade (slippage doublé)"});
  c.robust = out.finalists.size();
  sink.status("robustness", "done", {{"survivors", out.finalists.size()}});
  out.timings.push_back({"robustesse", phase.seconds()});
  return out;
}

}  // namespace varnek::research
