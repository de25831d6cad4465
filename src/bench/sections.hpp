#pragma once
// The six timed sections. Each returns its JSON object (with its "name"); candidates are
// taken from the front of the pool, encoded and buffered before the clock starts.
#include "bench/suite.hpp"
#include "bench/workbench.hpp"
#include "core/json.hpp"

namespace varnek::bench {

// A: each pool candidate's encoded row predicted alone (latency), then `passes` passes
// over all rows spread over the worker pool (throughput).
core::Json rf_inference(const Workbench& wb, const Sizes& sizes);

// B: as A, each prediction starting from the candidate (encoding included).
core::Json encode_and_predict(const Workbench& wb, const Sizes& sizes);

// C: the signal count of the first candidates over bars 2 .. n-1 in parallel, then one
// single-thread pass of Decide per candidate for the latency of one bar decision.
core::Json decisions(const Workbench& wb, const Sizes& sizes);

// D: fast backtests over the whole series on the calling thread, each timed, with the
// process's heap allocations per backtest.
core::Json fast_backtests(const Workbench& wb, const Sizes& sizes);

// E: a fast backtest and its search score for every pool candidate, in parallel.
core::Json evaluation(const Workbench& wb, const Sizes& sizes);

// F: full backtests (trade log and equity curves) on the calling thread, each timed.
core::Json full_backtests(const Workbench& wb, const Sizes& sizes);

}  // namespace varnek::bench
