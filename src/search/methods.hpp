#pragma once
// Comparison of four search methods under one evaluation budget: random sampling, a strided
// grid, surrogate-guided batches and graph best-first expansion of the lattice.
//
// Seeding: repetition rep runs with s = seed + 1000 * rep (wrapping). Each method owns one
// SplitMix64 constructed from s XOR its seed mask below (the constructor then XORs the
// golden-ratio constant); the grid draws nothing. Forests are trained with seed s + r
// (surrogate-guided iteration r) and s + evaluations so far (graph best-first).
//
// Every evaluation is score_batch on the train segment of the run's context, so the test
// lock and the counters see all of them, and no method evaluates more than its budget.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/splitmix.hpp"
#include "search/evaluate.hpp"
#include "strategy/lattice.hpp"

namespace varnek::search {

enum class Method : std::uint8_t { random, grid, rf_guided, graph_best_first };
inline constexpr std::array<Method, 4> kMethods = {Method::random, Method::grid, Method::rf_guided,
                                                   Method::graph_best_first};
// "random", "grid", "rf_guided", "graph_best_first".
std::string_view method_name(Method m);

inline constexpr std::size_t kRepetitions = 5;
inline constexpr std::uint64_t kRepetitionSeedStep = 1000;
inline constexpr std::uint64_t kRandomSeedMask = 0;
inline constexpr std::uint64_t kRfGuidedSeedMask = 0xABCD;
inline constexpr std::uint64_t kGraphSeedMask = 0x5151;

// Best score before any evaluation: the lowest finite double.
inline constexpr double kNoScore = std::numeric_limits<double>::lowest();

// (evaluations so far, best score so far).
struct CurvePoint {
  std::uint64_t evals = 0;
  double best = 0.0;
  friend bool operator==(const CurvePoint&, const CurvePoint&) = default;
};

// One method's run in one repetition.
struct SearchTrace {
  std::string name;
  bool reached = false;               // reached the repetition's target
  std::uint64_t evals_to_target = 0;  // evaluations at the first curve point at the target
  double seconds_to_target = 0.0;     // seconds * evals_to_target / max(evals, 1)
  std::vector<CurvePoint> curve;      // thinned best-so-far curve
  std::uint64_t evals = 0;            // variants evaluated
  double seconds = 0.0;               // monotonic duration of the run
  double best_score = kNoScore;
  std::optional<strategy::Candidate> best;
};

// One method over all repetitions.
struct MethodSummary {
  std::string method;
  std::uint64_t seeds = 0;   // repetitions
  std::uint64_t budget = 0;  // B
  double mean_best_score = kNoScore;
  double reached_95pct_share = 0.0;           // reached count / repetitions
  std::optional<double> mean_evals_to_95pct;  // over the repetitions that reached
  double mean_seconds = 0.0;
  double evals_per_sec = 0.0;     // sum evals / max(sum seconds, 1e-9)
  std::vector<CurvePoint> curve;  // the first repetition's
};

// --- Pure helpers --------------------------------------------------------------------------

// Surrogate-guided warm-up draws: min(max(64, B / 5), B).
std::uint64_t warmup_draws(std::uint64_t budget);
// Graph best-first seed draws: min(max(32, B / 10), B).
std::uint64_t graph_seed_draws(std::uint64_t budget);

// The grid's keys in evaluation order: quota = B / families per family, walked over the
// linear lattice index with stride max(size / max(quota, 1), 1), invalid variants skipped.
std::vector<strategy::Candidate> grid_plan(std::span<const std::uint8_t> families,
                                           std::uint64_t budget);

// One valid variant: a family drawn as next() mod the family count, then a random candidate
// of it from the same generator, both repeated until valid. `families` must not be empty.
strategy::Candidate random_draw(std::span<const std::uint8_t> families, core::SplitMix64& rng);

// Valid lattice neighbours in listing order: per dimension, level - 1 then level + 1.
std::vector<strategy::Candidate> neighbours(const strategy::Candidate& key);

// Max-heap of frontier nodes by score; equal scores pop in push order (ties are common:
// every variant with too few trades scores the same). A NaN score ranks lowest.
class BestFirstHeap {
 public:
  void push(double score, std::size_t node);
  std::size_t pop();  // the node of the best entry; the heap must not be empty
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    double score;
    std::uint64_t order;
    std::size_t node;
  };
  std::vector<Entry> entries_;
  std::uint64_t pushed_ = 0;
};

// Keeps the first point, every max(1, m / 200)-th point after it and the last one, then drops
// a point equal to the one before it.
std::vector<CurvePoint> thin_curve(std::span<const CurvePoint> raw);

// 0.95 * t when t > 0, else t itself (0.95 of a negative best would lie above it).
double target_score(double best_of_all);

// Sets reached, evals_to_target and seconds_to_target from the first (thinned) curve point
// at or above the target.
void apply_target(SearchTrace& trace, double target);

// Summary of one method's repetitions. Means divide each term by the count before summing,
// so the lowest finite best score of a method that never evaluated stays finite.
MethodSummary summarize(std::span<const SearchTrace> repetitions, std::uint64_t budget);

// --- Methods: each evaluates at most `budget` variants; rep_seed is s above ------------------

SearchTrace run_random(const EvalContext& ctx, std::span<const std::uint8_t> families,
                       std::uint64_t budget, std::uint64_t rep_seed);
SearchTrace run_grid(const EvalContext& ctx, std::span<const std::uint8_t> families,
                     std::uint64_t budget);
// Stops early when an iteration finds no unseen variant (a small space is exhausted).
SearchTrace run_rf_guided(const EvalContext& ctx, std::span<const std::uint8_t> families,
                          std::uint64_t budget, std::uint64_t rep_seed);
// A popped node proposes at most min(4, 64 - batch size, B - evals - batch size) neighbours.
SearchTrace run_graph_best_first(const EvalContext& ctx, std::span<const std::uint8_t> families,
                                 std::uint64_t budget, std::uint64_t rep_seed);

// The five repetitions of the four methods, then one summary per method in method order.
// on_repetition(rep) is called before repetition rep (0 .. 4) when set.
std::vector<MethodSummary> compare_methods(
    const EvalContext& ctx, std::span<const std::uint8_t> families, std::uint64_t budget,
    std::uint64_t seed, const std::function<void(std::size_t rep)>& on_repetition);

// {budget, curve: [[evals, best|null]...], evals_per_sec, mean_best_score,
//  mean_evals_to_95pct|null, mean_seconds, method, reached_95pct_share, seeds}
core::Json to_json(const MethodSummary& summary);
core::Json to_json(std::span<const MethodSummary> summaries);

}  // namespace varnek::search
