#pragma once
// The funnel's parallel fan-outs spread over the processes of a run. Rank 0 sends each
// worker a contiguous share of the inputs, scores its own share with its pool meanwhile,
// and appends the workers' results in rank order: every output list is in input order and
// holds exactly what one process would have computed, so the funnel's sequential steps see
// the results of a single-process run. In a single process each fan-out is the plain
// parallel map over the pool.
//
// The command set holds no test evaluation and a worker never holds a `FrozenSet`: the test
// segment stays locked in every process but rank 0, which opens it after the workers are
// released.
#include <cstdint>
#include <span>
#include <vector>

#include "bt/metrics.hpp"
#include "research/cluster.hpp"
#include "rf/forest.hpp"
#include "search/evaluate.hpp"
#include "strategy/lattice.hpp"
#include "validate/evidence.hpp"
#include "validate/robustness.hpp"
#include "validate/walk_forward.hpp"

namespace varnek::research {

// The first byte of every message rank 0 sends a worker.
enum class Command : std::uint8_t {
  state = 1,        // the driver's agreement on data and settings (driver.cpp)
  train_summaries,  // fast runs on the train segment, not counted (the stage counts them)
  train_scores,     // search scores on the train segment (surrogate warm-up)
  forest,           // the surrogate forest, for the predictions that follow
  predictions,      // forest predictions with the uncertainty bonus 0.5
  block_returns,    // rows of train + validation blocks for the overfitting probability
  validation,       // fast runs on the validation segment
  walk_forward,     // walk-forward re-selection
  robustness,       // sweeps, scenarios and full runs on train + validation
  lattice_summaries,  // train_summaries for the exhaustive lattice, with first-touch tables
};

// Rank 0's side. Every evaluation a worker makes is added to the context's counters, so
// they end as in a single-process run.
class Fanouts {
 public:
  Fanouts(const search::EvalContext& ctx, Cluster& cluster) : ctx_(ctx), cluster_(cluster) {}

  // Whether the fan-outs involve other processes (and so must stay on the calling thread).
  bool distributed() const { return cluster_.distributed(); }

  // Fast runs of valid keys on the train segment (entry streams shared within each share);
  // the counters do not move, the caller counts the chunk.
  std::vector<bt::SegmentSummary> train_summaries(std::span<const strategy::Candidate> keys);
  // The same for large batches of whole entry streams: each process first builds, once per
  // family, the first-touch table of the train segment, which pays for itself only when a
  // family's variants come by the hundred thousand.
  std::vector<bt::SegmentSummary> lattice_summaries(std::span<const strategy::Candidate> keys);
  // search::score_batch on the train segment, scores only.
  std::vector<double> train_scores(std::span<const strategy::Candidate> keys);
  // rf::predict_batch(forest, keys, 0.5f); the workers get the forest first.
  std::vector<float> predictions(const rf::Forest& forest,
                                 std::span<const strategy::Candidate> keys);
  // Rows of `kPboBlocks` blocks over [train start, validation end) for each key.
  validate::BlockReturns block_returns(std::span<const strategy::Candidate> keys);
  std::vector<bt::SegmentSummary> validation(std::span<const strategy::Candidate> keys);
  // validate::walk_forward; `progress` hears of rank 0's own share only.
  std::vector<validate::WalkForwardEntry> walk_forward(std::span<const strategy::Candidate> keys,
                                                       const validate::Progress& progress);
  std::vector<validate::RobustnessResult> robustness(
      std::span<const validate::WalkForwardEntry> entries);

 private:
  template <class Out, class In, class Local>
  std::vector<Out> spread(Command command, std::span<const In> inputs, Local&& local);

  const search::EvalContext& ctx_;
  Cluster& cluster_;
  bt::TouchTables touches_;  // of rank 0's shares
};

// A worker's side: answers rank 0's commands over `ctx` until it is released.
void serve_fanouts(const search::EvalContext& ctx, Cluster& cluster);

}  // namespace varnek::research
