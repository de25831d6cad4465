#pragma once
// Bar-by-bar trade simulation of one candidate over a range of a series.
//
// At most one position is open at a time; entries are asked for only while flat, exits
// come from the stop (checked first), the target, the holding time or the end of the
// range. The full variant keeps the trade log and three equity curves; the fast variant
// keeps only the `SegmentSummary`, allocates nothing, and makes exactly the same trades.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bt/cost.hpp"
#include "bt/metrics.hpp"
#include "core/json.hpp"
#include "core/spec.hpp"
#include "strategy/decide.hpp"

namespace varnek::bt {

enum class ExitReason : std::uint8_t { stop, target, time, end_of_data };

std::string_view reason_text(ExitReason reason);

struct Trade {
  ExitReason reason = ExitReason::end_of_data;
  std::uint64_t entry_bar = 0, exit_bar = 0;  // indices into the full series
  std::int64_t entry_ts = 0, exit_ts = 0;     // opening times of those bars
  double entry = 0.0, exit = 0.0;             // fills, costs of the fill included
  double stop = 0.0, target = 0.0;
  double r = 0.0;
  double pnl = 0.0;
  double costs = 0.0;
  std::uint32_t contracts = 0;
  std::int8_t side = 0;           // +1 long, -1 short
  std::uint8_t regime_trend = 0;  // regime bytes at the bar before the entry bar
  std::uint8_t regime_vol = 0;
};

struct EquityPoint {
  std::int64_t ts = 0;
  double equity = 0.0;
};

struct BacktestRun {
  std::vector<Trade> trades;             // in closing order
  std::vector<double> equity;            // starting equity, then equity after each trade
  std::vector<EquityPoint> worst_curve;  // one point per stepped bar, open position at its
  std::vector<EquityPoint> close_curve;  // adverse extreme, close, favourable extreme
  std::vector<EquityPoint> best_curve;
  SegmentSummary summary;
};

// Simulates bars max(start, 1) .. min(end, bars) - 1.
BacktestRun run_full(const strategy::Candidate& c, const strategy::EvalInputs& in,
                     const core::Market& market, const core::Exec& exec, std::size_t start,
                     std::size_t end);

void run_fast(const strategy::Candidate& c, const strategy::EvalInputs& in,
              const core::Market& market, const core::Exec& exec, std::size_t start,
              std::size_t end, SegmentSummary& out);

// A trade as the fast run sees it: where it entered and what it made, in R.
struct TradeResult {
  std::uint64_t entry_bar = 0;
  double r = 0.0;
};

// The fast run that also lists each trade's entry bar and result, in closing order, into
// `results` (cleared first; a worker reusing it allocates only while it grows).
void run_results(const strategy::Candidate& c, const strategy::EvalInputs& in,
                 const core::Market& market, const core::Exec& exec, std::size_t start,
                 std::size_t end, SegmentSummary& out, std::vector<TradeResult>& results);

// A bar of an entry stream whose decision is a signal and from which a position can be
// entered, its direction (+1 or -1) and its ATR, which sizes the position.
struct Signal {
  std::uint32_t bar = 0;
  std::int32_t side = 0;
  double atr = 0.0;
};

// The entry stream of a candidate: the candidate with its exit dimensions (stop_atr, rr,
// hold) at their first level. Candidates of one entry stream decide on the same bars in
// the same directions, so they can share one list of signal bars.
strategy::Candidate entry_stream(const strategy::Candidate& c);

// First touches shared by every exit variant of one family over one range, at one
// execution setting. A position's exit bar depends on its signal bar, its direction and its
// stop and target levels, never on the equity; every variant whose stream signals at a bar
// would search the same bars again. For each (stop_atr level, rr level) pair a column holds,
// for each signal bar k of the range and each direction (long first), the bars from the
// entry bar e = k + entry lag to the first bar in e .. min(e + reach, range end - 1) whose
// range reaches the stop or the target, or kNoTouch. Bytes of signals the simulation would
// skip (no entry bar in the range, an ATR that is not positive) are kNoTouch. One variant
// reads one column, front to back.
struct TouchTable {
  static constexpr std::uint8_t kNoTouch = 255;
  std::uint8_t family = 0;
  std::size_t start = 0, end = 0;  // the range it was built for
  std::uint64_t entry_lag = 0;     // and the costs
  double fill_offset = 0.0;
  std::size_t first = 0;           // signal bar of a column's first two bytes: max(start, 2)
  std::size_t rows = 0;            // signal bars
  std::size_t stops = 0, rrs = 0;  // level counts
  std::uint64_t reach = 0;         // the family's longest hold, at most 254
  std::vector<std::uint8_t> offsets;
  // The same touches by signal instead of by column, for the variants that run in vector
  // lanes (bt/lanes.hpp): for each signal bar's row and direction, its stops * rrs pairs of
  // levels, rr level by rr level, each a stop level after the other; and for each touch
  // the trade it closes as price_trade prices it (its R and move_value), which depends on
  // neither the equity nor the hold. Empty where the processor has no such lanes or the
  // range is too long for them; kMaxLanes entries of padding follow the last pair.
  std::vector<std::uint8_t> pair_offsets;
  std::vector<double> pair_r, pair_move_value;
  // And for each row's stop levels (8 slots a row), what sizing and pricing divide by a
  // stop distance: 1 / (stop_dist * point_value) and the commission's R,
  // commission / (stop_dist * point_value).
  std::vector<double> stop_reciprocal, stop_commission_r;

  // Where the column of stop level a and rr level b starts in `offsets`.
  std::size_t column(std::size_t a, std::size_t b) const { return (a * rrs + b) * 2 * rows; }
  // Where the pairs of row i (signal bar first + i) in one direction start.
  std::size_t pairs_at(std::size_t i, bool is_short) const {
    return (2 * i + is_short) * stops * rrs;
  }
};

// One table per family, for the variants that a batch may run.
struct TouchTables {
  std::array<std::optional<TouchTable>, strategy::kFamilies> family;
};

// The table of c's family (c names its stream for the columns it reads) over [start, end).
TouchTable build_touch_table(const strategy::Candidate& c, const strategy::EvalInputs& in,
                             const core::Market& market, const core::Exec& exec,
                             std::size_t start, std::size_t end);

// Builds the table of every family among `keys` that has none for this range and setting,
// and drops those of the other families: a run that goes family by family holds one
// family's tables at a time.
void add_touch_tables(TouchTables& tables, std::span<const strategy::Candidate> keys,
                      const strategy::EvalInputs& in, const core::Market& market,
                      const core::Exec& exec, std::size_t start, std::size_t end);

// A member of a shared-signal run by its exit: members with the same stop and rr levels
// differ only in their holding time, and run as one until a position outlasts a hold.
struct ExitVariant {
  std::uint8_t stop_level = 0, rr_level = 0;
  std::uint64_t hold = 0;
  std::uint32_t key = 0;  // index into the batch's keys
};

// What a worker reuses from one shared-signal run to the next.
struct SignalScratch {
  std::vector<Signal> list;
  std::vector<ExitVariant> variants;
};

// Fast runs of the candidates keys[members[i]], which must share one entry stream: the
// stream's signals in the range are listed once and every member walks the list instead
// of the tables, reading its exits from `touches` when that holds a table for the family,
// range and costs (and the member's hold is within its reach). Members that differ only in
// their hold run as one until a position outlasts the shorter hold. out[members[i]] gets
// exactly what run_fast gives for that candidate.
void run_fast_shared(std::span<const strategy::Candidate> keys,
                     std::span<const std::uint32_t> members, const strategy::EvalInputs& in,
                     const core::Market& market, const core::Exec& exec, std::size_t start,
                     std::size_t end, std::span<SegmentSummary> out, SignalScratch& scratch,
                     const TouchTables* touches = nullptr);

// A batch's candidates ordered so that each entry stream's candidates are adjacent:
// group g is order[bounds[g]] .. order[bounds[g + 1] - 1], candidates of a group in batch
// order.
struct StreamGroups {
  std::vector<std::uint32_t> order;
  std::vector<std::uint32_t> bounds;
};

StreamGroups group_by_stream(std::span<const strategy::Candidate> keys);

// Fast runs of every candidate of a batch, entry stream by entry stream across the worker
// pool (with the first touches of `touches` where they apply; a stream that repeats an
// earlier stream's flag words and exit variants, and so its signal list, copies its
// summaries): out[i] (out must have keys.size() slots) is exactly what run_fast gives for
// keys[i], whatever the number of workers.
void run_fast_batch(std::span<const strategy::Candidate> keys, const strategy::EvalInputs& in,
                    const core::Market& market, const core::Exec& exec, std::size_t start,
                    std::size_t end, std::span<SegmentSummary> out,
                    const TouchTables* touches = nullptr);

// Metrics with the money figures of a full run (net result, intrabar worst drawdown, costs).
Metrics metrics_from_run(const BacktestRun& run, double equity0);
// The same with the R figures taken from `summary` (a fast run over the same range).
Metrics metrics_from_run(const SegmentSummary& summary, const BacktestRun& run, double equity0);

core::Json to_json(const Trade& t);

}  // namespace varnek::bt
