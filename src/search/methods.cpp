#include "search/methods.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <unordered_set>

#include "core/clock.hpp"
#include "core/fatal.hpp"
#include "rf/forest.hpp"

namespace varnek::search {
namespace {

using strategy::Candidate;
using SeenSet = std::unordered_set<Candidate, strategy::CandidateHash>;

constexpr std::size_t kEvalBatch = 256;
constexpr std::uint64_t kRfBatch = 128;
constexpr std::uint64_t kRfPoolFactor = 40;
constexpr float kRfBonus = 1.0f;
constexpr std::size_t kGraphBatch = 64;
constexpr std::size_t kGraphProposals = 4;
constexpr std::uint64_t kGraphMissLimit = 2000;
constexpr std::uint64_t kGraphRetrainAfter = 255;
constexpr double kGraphRandomShare = 0.1;
constexpr float kGraphBonus = 0.5f;
constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);
constexpr std::size_t kCurvePoints = 200;

SearchTrace begin_trace(Method m) {
  SearchTrace trace;
  trace.name = std::string(method_name(m));
  return trace;
}

// evals += 1; a strictly better score replaces the best (ties keep the earlier variant);
// the raw curve gains one point.
void record(SearchTrace& trace, const Scored& result) {
  ++trace.evals;
  if (result.score > trace.best_score) {
    trace.best_score = result.score;
    trace.best = result.key;
  }
  trace.curve.push_back({trace.evals, trace.best_score});
}

void finish(SearchTrace& trace, const core::Stopwatch& clock) {
  trace.seconds = clock.seconds();
  trace.curve = thin_curve(trace.curve);
}

// Scores the keys on the train segment, kEvalBatch at a time, and records each result in
// order before handing it to `then`.
template <class Then>
void evaluate_keys(const EvalContext& ctx, std::span<const Candidate> keys, SearchTrace& trace,
                   Then&& then) {
  for (std::size_t first = 0; first < keys.size(); first += kEvalBatch) {
    const auto chunk = keys.subspan(first, std::min(kEvalBatch, keys.size() - first));
    const std::vector<Scored> results = score_batch(ctx, chunk, SegmentRef::train());
    for (const Scored& r : results) {
      record(trace, r);
      then(r);
    }
  }
}

// `draws` random draws; the keys not seen before join the result and the seen set.
std::vector<Candidate> draw_unseen(std::span<const std::uint8_t> families, core::SplitMix64& rng,
                                   std::uint64_t draws, SeenSet& seen) {
  std::vector<Candidate> out;
  for (std::uint64_t i = 0; i < draws; ++i) {
    const Candidate c = random_draw(families, rng);
    if (seen.insert(c).second) out.push_back(c);
  }
  return out;
}

// Training rows of the surrogate: feature vector -> max(score, -5).
struct Surrogate {
  std::vector<rf::Row> rows;
  std::vector<float> targets;
};

void add_row(Surrogate& s, const Scored& r) {
  s.rows.push_back(strategy::feature_vector(r.key));
  s.targets.push_back(static_cast<float>(std::max(r.score, -5.0)));
}

// 64 trees, depth 10, leaves of 3, 5 tries; rf::train keeps only the most recent rows.
rf::Forest train_surrogate(const Surrogate& s, std::uint64_t seed) {
  rf::ForestParams params;
  params.seed = seed;
  return rf::train(s.rows, s.targets, params);
}

// Positions 0 .. n-1 ordered by prediction, highest first; equal predictions keep position.
std::vector<std::size_t> order_by_prediction(std::span<const float> predicted) {
  std::vector<std::size_t> order(predicted.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return predicted[a] > predicted[b]; });
  return order;
}

// --- rf_guided phases ------------------------------------------------------------------------

// Up to kRfPoolFactor * n draws; keys neither seen nor already pooled, in draw order.
std::vector<Candidate> draw_rf_pool(std::span<const std::uint8_t> families, core::SplitMix64& rng,
                                    std::uint64_t n, const SeenSet& seen, SeenSet& pooled) {
  std::vector<Candidate> pool;
  pooled.clear();
  for (std::uint64_t i = 0; i < kRfPoolFactor * n; ++i) {
    const Candidate c = random_draw(families, rng);
    if (!seen.contains(c) && pooled.insert(c).second) pool.push_back(c);
  }
  return pool;
}

// The n pool keys the forest ranks highest (mean + 1.0 x spread), in rank order.
std::vector<Candidate> best_of_pool(const rf::Forest& forest, std::span<const Candidate> pool,
                                    std::uint64_t n) {
  const std::vector<float> predicted = rf::predict_batch(forest, pool, kRfBonus);
  const std::vector<std::size_t> order = order_by_prediction(predicted);
  std::vector<Candidate> out;
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, pool.size()));
  out.reserve(take);
  for (std::size_t i = 0; i < take; ++i) out.push_back(pool[order[i]]);
  return out;
}

// --- graph_best_first phases -----------------------------------------------------------------

// A node of the explored graph; lives only for the run.
struct FrontierNode {
  Candidate key;
  double score = 0.0;
  std::size_t parent = kNoParent;
  std::uint32_t depth = 0;
};

struct Graph {
  std::vector<FrontierNode> nodes;
  BestFirstHeap heap;
};

void add_node(Graph& g, const Scored& r, std::size_t parent) {
  const std::uint32_t depth = parent == kNoParent ? 0 : g.nodes[parent].depth + 1;
  g.heap.push(r.score, g.nodes.size());
  g.nodes.push_back({r.key, r.score, parent, depth});
}

struct Proposals {
  std::vector<Candidate> keys;
  std::vector<std::size_t> parents;
  void clear() {
    keys.clear();
    parents.clear();
  }
};

// The popped node's unseen neighbours, by the forest's mean + 0.5 x spread when there is
// one (stable), else in listing order; the first `limit` of them are proposed.
void propose_neighbours(const Graph& g, std::size_t node, const rf::Forest* forest,
                        std::size_t limit, SeenSet& seen, Proposals& out) {
  std::vector<Candidate> fresh = neighbours(g.nodes[node].key);
  std::erase_if(fresh, [&](const Candidate& c) { return seen.contains(c); });
  if (forest != nullptr && fresh.size() > 1) {
    const std::vector<float> predicted = rf::predict_batch(*forest, fresh, kGraphBonus);
    const std::vector<std::size_t> order = order_by_prediction(predicted);
    std::vector<Candidate> sorted;
    sorted.reserve(fresh.size());
    for (std::size_t i : order) sorted.push_back(fresh[i]);
    fresh = std::move(sorted);
  }
  for (std::size_t i = 0; i < std::min(limit, fresh.size()); ++i) {
    seen.insert(fresh[i]);
    out.keys.push_back(fresh[i]);
    out.parents.push_back(node);
  }
}

// One batch: up to kGraphBatch proposals, never past the budget, until kGraphMissLimit
// random draws have hit seen keys.
void build_graph_batch(Graph& g, std::span<const std::uint8_t> families, core::SplitMix64& rng,
                       const rf::Forest* forest, std::uint64_t room, SeenSet& seen,
                       Proposals& batch) {
  batch.clear();
  std::uint64_t misses = 0;
  while (batch.keys.size() < kGraphBatch && batch.keys.size() < room && misses < kGraphMissLimit) {
    const double u = rng.uniform();
    if (u < kGraphRandomShare || g.heap.empty()) {
      const Candidate c = random_draw(families, rng);
      if (seen.insert(c).second) {
        batch.keys.push_back(c);
        batch.parents.push_back(kNoParent);
      } else {
        ++misses;
      }
      continue;
    }
    const std::size_t node = g.heap.pop();
    const std::size_t limit = std::min({kGraphProposals, kGraphBatch - batch.keys.size(),
                                        static_cast<std::size_t>(room - batch.keys.size())});
    propose_neighbours(g, node, forest, limit, seen, batch);
  }
}

}  // namespace

std::string_view method_name(Method m) {
  switch (m) {
    case Method::random:
      return "random";
    case Method::grid:
      return "grid";
    case Method::rf_guided:
      return "rf_guided";
    case Method::graph_best_first:
      break;
  }
  return "graph_best_first";
}

std::uint64_t warmup_draws(std::uint64_t budget) {
  return std::min(std::max<std::uint64_t>(64, budget / 5), budget);
}

std::uint64_t graph_seed_draws(std::uint64_t budget) {
  return std::min(std::max<std::uint64_t>(32, budget / 10), budget);
}

std::vector<Candidate> grid_plan(std::span<const std::uint8_t> families, std::uint64_t budget) {
  std::vector<Candidate> keys;
  if (families.empty()) return keys;
  const std::uint64_t quota = budget / families.size();
  const std::uint64_t q = std::max<std::uint64_t>(quota, 1);
  for (const std::uint8_t f : families) {
    const std::uint64_t size = strategy::family_size(f);
    const std::uint64_t stride = std::max<std::uint64_t>(size / q, 1);
    std::uint64_t taken = 0;
    for (std::uint64_t i = 0; i < size && taken < quota; i += stride) {
      const Candidate c = strategy::enumerate(f, i);
      if (!strategy::is_valid(c)) continue;
      keys.push_back(c);
      ++taken;
    }
  }
  return keys;
}

Candidate random_draw(std::span<const std::uint8_t> families, core::SplitMix64& rng) {
  for (;;) {
    const std::uint8_t f = families[rng.next() % families.size()];
    const Candidate c = strategy::random_candidate(f, rng);
    if (strategy::is_valid(c)) return c;
  }
}

std::vector<Candidate> neighbours(const Candidate& key) {
  std::vector<Candidate> out;
  const std::size_t dims = strategy::dim_count(key.family);
  out.reserve(2 * dims);
  auto add = [&](std::size_t d, std::uint8_t level) {
    Candidate c = key;
    c.idx[d] = level;
    if (strategy::is_valid(c)) out.push_back(c);
  };
  for (std::size_t d = 0; d < dims; ++d) {
    const std::uint8_t level = key.idx[d];
    if (level > 0) add(d, static_cast<std::uint8_t>(level - 1));
    if (level + 1u < strategy::value_count(key.family, d)) {
      add(d, static_cast<std::uint8_t>(level + 1));
    }
  }
  return out;
}

namespace {

// Higher score first, then earlier push; NaN below every number.
struct HeapBelow {
  template <class E>
  bool operator()(const E& a, const E& b) const {
    constexpr double kBottom = -std::numeric_limits<double>::infinity();
    const double sa = std::isnan(a.score) ? kBottom : a.score;
    const double sb = std::isnan(b.score) ? kBottom : b.score;
    if (sa != sb) return sa < sb;
    return a.order > b.order;
  }
};

}  // namespace

void BestFirstHeap::push(double score, std::size_t node) {
  entries_.push_back({score, pushed_++, node});
  std::push_heap(entries_.begin(), entries_.end(), HeapBelow{});
}

std::size_t BestFirstHeap::pop() {
  if (entries_.empty()) core::fatal("pop from an empty search frontier");
  std::pop_heap(entries_.begin(), entries_.end(), HeapBelow{});
  const std::size_t node = entries_.back().node;
  entries_.pop_back();
  return node;
}

std::vector<CurvePoint> thin_curve(std::span<const CurvePoint> raw) {
  std::vector<CurvePoint> out;
  const std::size_t m = raw.size();
  if (m == 0) return out;
  const std::size_t step = std::max<std::size_t>(1, m / kCurvePoints);
  auto keep = [&](const CurvePoint& p) {
    if (out.empty() || !(out.back() == p)) out.push_back(p);
  };
  keep(raw[0]);
  for (std::size_t i = step; i < m; i += step) keep(raw[i]);
  keep(raw[m - 1]);
  return out;
}

double target_score(double best_of_all) {
  return best_of_all > 0.0 ? 0.95 * best_of_all : best_of_all;
}

void apply_target(SearchTrace& trace, double target) {
  trace.reached = false;
  trace.evals_to_target = 0;
  trace.seconds_to_target = 0.0;
  for (const CurvePoint& p : trace.curve) {
    if (p.best >= target) {
      trace.reached = true;
      trace.evals_to_target = p.evals;
      trace.seconds_to_target = trace.seconds * static_cast<double>(p.evals) /
                                static_cast<double>(std::max<std::uint64_t>(trace.evals, 1));
      return;
    }
  }
}

MethodSummary summarize(std::span<const SearchTrace> repetitions, std::uint64_t budget) {
  MethodSummary s;
  s.seeds = repetitions.size();
  s.budget = budget;
  if (repetitions.empty()) return s;
  s.method = repetitions.front().name;
  s.curve = repetitions.front().curve;
  const double count = static_cast<double>(repetitions.size());
  std::size_t reached = 0;
  double best_sum = 0.0, seconds_sum = 0.0, evals_sum = 0.0;
  for (const SearchTrace& t : repetitions) {
    best_sum += t.best_score / count;
    s.mean_seconds += t.seconds / count;
    seconds_sum += t.seconds;
    evals_sum += static_cast<double>(t.evals);
    reached += t.reached;
  }
  s.mean_best_score = best_sum;
  s.reached_95pct_share = static_cast<double>(reached) / count;
  if (reached > 0) {
    const double reached_count = static_cast<double>(reached);
    double evals_to_target = 0.0;
    for (const SearchTrace& t : repetitions) {
      if (t.reached) evals_to_target += static_cast<double>(t.evals_to_target) / reached_count;
    }
    s.mean_evals_to_95pct = evals_to_target;
  }
  s.evals_per_sec = evals_sum / std::max(seconds_sum, 1e-9);
  return s;
}

SearchTrace run_random(const EvalContext& ctx, std::span<const std::uint8_t> families,
                       std::uint64_t budget, std::uint64_t rep_seed) {
  const core::Stopwatch clock;
  SearchTrace trace = begin_trace(Method::random);
  core::SplitMix64 rng(rep_seed ^ kRandomSeedMask);
  SeenSet seen;
  while (!families.empty() && trace.evals < budget) {
    const std::uint64_t n = std::min<std::uint64_t>(budget - trace.evals, kEvalBatch);
    const std::vector<Candidate> batch = draw_unseen(families, rng, n, seen);
    if (batch.empty()) break;  // every draw repeated a seen key
    evaluate_keys(ctx, batch, trace, [](const Scored&) {});
  }
  finish(trace, clock);
  return trace;
}

SearchTrace run_grid(const EvalContext& ctx, std::span<const std::uint8_t> families,
                     std::uint64_t budget) {
  const core::Stopwatch clock;
  SearchTrace trace = begin_trace(Method::grid);
  const std::vector<Candidate> keys = grid_plan(families, budget);
  evaluate_keys(ctx, keys, trace, [](const Scored&) {});
  finish(trace, clock);
  return trace;
}

SearchTrace run_rf_guided(const EvalContext& ctx, std::span<const std::uint8_t> families,
                          std::uint64_t budget, std::uint64_t rep_seed) {
  const core::Stopwatch clock;
  SearchTrace trace = begin_trace(Method::rf_guided);
  if (families.empty()) {
    finish(trace, clock);
    return trace;
  }
  core::SplitMix64 rng(rep_seed ^ kRfGuidedSeedMask);
  SeenSet seen, pooled;
  Surrogate surrogate;
  auto add = [&](const Scored& r) { add_row(surrogate, r); };
  evaluate_keys(ctx, draw_unseen(families, rng, warmup_draws(budget), seen), trace, add);
  for (std::uint64_t r = 0; trace.evals < budget; ++r) {
    const std::uint64_t n = std::min(budget - trace.evals, kRfBatch);
    // The forest draws nothing from the method's generator, so the pool may come first and
    // an empty one (an exhausted space) ends the run without a useless training.
    const std::vector<Candidate> pool = draw_rf_pool(families, rng, n, seen, pooled);
    if (pool.empty()) break;
    const rf::Forest forest = train_surrogate(surrogate, rep_seed + r);
    const std::vector<Candidate> batch = best_of_pool(forest, pool, n);
    seen.insert(batch.begin(), batch.end());
    evaluate_keys(ctx, batch, trace, add);
  }
  finish(trace, clock);
  return trace;
}

SearchTrace run_graph_best_first(const EvalContext& ctx, std::span<const std::uint8_t> families,
                                 std::uint64_t budget, std::uint64_t rep_seed) {
  const core::Stopwatch clock;
  SearchTrace trace = begin_trace(Method::graph_best_first);
  if (families.empty()) {
    finish(trace, clock);
    return trace;
  }
  core::SplitMix64 rng(rep_seed ^ kGraphSeedMask);
  SeenSet seen;
  Surrogate surrogate;
  Graph graph;
  evaluate_keys(ctx, draw_unseen(families, rng, graph_seed_draws(budget), seen), trace,
                [&](const Scored& r) {
                  add_row(surrogate, r);
                  add_node(graph, r, kNoParent);
                });
  std::optional<rf::Forest> forest;
  std::uint64_t since_training = 0;
  Proposals batch;
  while (trace.evals < budget) {
    if (since_training > kGraphRetrainAfter) {
      forest = train_surrogate(surrogate, rep_seed + trace.evals);
      since_training = 0;
    }
    build_graph_batch(graph, families, rng, forest ? &*forest : nullptr, budget - trace.evals, seen,
                      batch);
    if (batch.keys.empty()) break;
    std::size_t i = 0;
    evaluate_keys(ctx, batch.keys, trace, [&](const Scored& r) {
      add_row(surrogate, r);
      add_node(graph, r, batch.parents[i++]);
    });
    since_training += batch.keys.size();
  }
  finish(trace, clock);
  return trace;
}

std::vector<MethodSummary> compare_methods(
    const EvalContext& ctx, std::span<const std::uint8_t> families, std::uint64_t budget,
    std::uint64_t seed, const std::function<void(std::size_t rep)>& on_repetition) {
  std::array<std::vector<SearchTrace>, kMethods.size()> traces;
  for (std::size_t rep = 0; rep < kRepetitions; ++rep) {
    if (on_repetition) on_repetition(rep);
    const std::uint64_t s = seed + kRepetitionSeedStep * rep;
    std::array<SearchTrace, kMethods.size()> run;
    run[0] = run_random(ctx, families, budget, s);
    run[1] = run_grid(ctx, families, budget);
    run[2] = run_rf_guided(ctx, families, budget, s);
    run[3] = run_graph_best_first(ctx, families, budget, s);
    double best = kNoScore;
    for (const SearchTrace& t : run) best = std::max(best, t.best_score);
    const double target = target_score(best);
    for (std::size_t m = 0; m < run.size(); ++m) {
      apply_target(run[m], target);
      traces[m].push_back(std::move(run[m]));
    }
  }
  std::vector<MethodSummary> out;
  for (const std::vector<SearchTrace>& reps : traces) out.push_back(summarize(reps, budget));
  return out;
}

core::Json to_json(const MethodSummary& s) {
  core::Json curve = core::Json::array();
  for (const CurvePoint& p : s.curve) {
    curve.push_back(core::Json::array({core::Json(p.evals), core::number_or_null(p.best)}));
  }
  return {
      {"method", s.method},
      {"seeds", s.seeds},
      {"budget", s.budget},
      {"mean_best_score", core::number_or_null(s.mean_best_score)},
      {"reached_95pct_share", core::number_or_null(s.reached_95pct_share)},
      {"mean_evals_to_95pct",
       s.mean_evals_to_95pct ? core::number_or_null(*s.mean_evals_to_95pct) : core::Json(nullptr)},
      {"mean_seconds", core::number_or_null(s.mean_seconds)},
      {"evals_per_sec", core::number_or_null(s.evals_per_sec)},
      {"curve", std::move(curve)}};
}

core::Json to_json(std::span<const MethodSummary> summaries) {
  core::Json out = core::Json::array();
  for (const MethodSummary& s : summaries) out.push_back(to_json(s));
  return out;
}

}  // namespace varnek::search
