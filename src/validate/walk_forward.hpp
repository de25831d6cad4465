#pragma once
// Walk-forward re-selection inside train + validation.
//
// The span [train start, validation end) is cut into eighths; window v trains on eighths
// v and v + 1 and trades eighth v + 2, for v = 0..5. On each training part the best variant
// of the candidate's immediate parameter neighbourhood is re-selected, then traded untouched
// on the out-of-sample part. Every backtest is a custom-range evaluation of the context, so
// it passes the test-lock check and moves the context's counters.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/json.hpp"
#include "search/evaluate.hpp"
#include "strategy/lattice.hpp"

namespace varnek::validate {

struct WalkForwardWindow {
  strategy::Candidate chosen;  // selected on the training part; written as id and params
  std::int64_t train_start = 0, train_end = 0;  // timestamps of the first and last bar
  std::int64_t test_start = 0, test_end = 0;    // of each part, both inclusive
  double profit_factor = 0.0;                   // out-of-sample figures from here on
  double expectancy_r = 0.0;
  double net_r = 0.0;
  double max_dd_r = 0.0;
  std::uint32_t trades = 0;
};

struct WalkForwardResult {
  std::vector<WalkForwardWindow> windows;  // none or six
  std::uint32_t oos_trades = 0;
  double oos_net_r = 0.0;
  double oos_expectancy_r = 0.0;       // oos_net_r / oos_trades, 0 without trades
  std::uint64_t positive_windows = 0;  // windows with net_r > 0
  double stability = 0.0;              // positive_windows / max(windows, 1)
  // Population standard deviation of the windows' expectancies; without windows the
  // empty sum (-0.0) divided by 1, so negative zero.
  double dispersion_r = -0.0;
};

struct WalkForwardEntry {
  strategy::Candidate key;
  WalkForwardResult result;
};

// Bar ranges of one window.
struct WindowBounds {
  search::Range train, oos;
};

// Windows over [start, end): unit = (end - start) / 8; window v trains on
// [start + v unit, start + (v + 2) unit) and trades [start + (v + 2) unit,
// min(end, start + (v + 3) unit)). The first window whose out-of-sample part holds 10 bars
// or fewer ends the list, so there are six windows (unit >= 11) or none.
std::vector<WindowBounds> walk_forward_windows(std::uint64_t start, std::uint64_t end);

// The candidate, then for each dimension of its family in order the key with that level
// lowered by one (if above 0) and raised by one (if not the last value); neighbours that
// are not valid variants are left out.
std::vector<strategy::Candidate> neighbourhood(const strategy::Candidate& key);

// Told after each finished candidate, from the worker that finished it: `done` is the
// number of candidates finished so far (each value 1..total once, calls may overlap and
// arrive slightly out of order). Must be thread-safe; the research driver turns it into
// rate-limited "progress" events.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

// One result per candidate, in input order, one pool task per candidate. Re-selection
// scores with the threshold min_trades / 3; ties go to the later member of the
// neighbourhood. The windows span [train start, min(validation end, bar count)).
std::vector<WalkForwardEntry> walk_forward(const search::EvalContext& ctx,
                                           std::span<const strategy::Candidate> candidates,
                                           const Progress& progress = {});

// stability >= 0.5 and oos_net_r > 0.
bool passes_walk_forward(const WalkForwardResult& result);

// {chosen, chosen_params, expectancy_r, max_dd_r, net_r, profit_factor, test_end,
// test_start, trades, train_end, train_start}
core::Json to_json(const WalkForwardWindow& window);
// {dispersion_r, oos_expectancy_r, oos_net_r, oos_trades, positive_windows, stability,
// windows}
core::Json to_json(const WalkForwardResult& result);

}  // namespace varnek::validate
