#pragma once
// Replay of a backtest's equity curves against a funded-account programme's rules, as a
// chain of back-to-back evaluation attempts.
#include <cstdint>
#include <optional>
#include <string>

#include "bt/simulate.hpp"
#include "core/json.hpp"
#include "core/spec.hpp"

namespace varnek::validate {

// Outcome of one profile. Counts saturate at the largest unsigned 32-bit value.
struct ReplayResult {
  std::string profile_id;
  std::uint32_t attempts = 0;
  std::uint32_t passed = 0;
  std::uint32_t daily_loss_breaches = 0;
  std::uint32_t daily_loss_pauses = 0;  // soft daily limit: at most one per trading day
  std::uint32_t max_loss_breaches = 0;
  std::uint32_t position_size_violations = 0;
  std::uint32_t unfinished = 0;  // 0 or 1: an attempt still running at the last point
  // Trading days from an attempt's first day to its passing day, both included; the upper
  // middle value of the sorted list. None when nothing passed.
  std::optional<double> median_days_to_pass;
  std::string automation_policy;  // the profile's text
  std::string automation_status;  // "ALLOWED", "REQUIRES REVIEW"; empty without equity points
  std::string verdict;            // "PASS", "INCONCLUSIVE" or "FAIL"
  std::string summary_fr;
};

// Trading day of a timestamp when the provider's day starts at `day_reset_utc_hour` UTC:
// floor((ts - 3600 * hour) / 86400), rounded toward minus infinity; exact for every input.
std::int64_t trading_day(std::int64_t ts, std::int64_t day_reset_utc_hour);

// Replays `run`'s curves (close, worst and best read at the same index; the points are
// the shortest of the three) and trades, with `equity0` the run's starting equity. Inside
// an attempt starting at point s an equity E reads as (E - close_s) * scale + account_size
// with scale = account_size / equity0. A point where several rules fire resolves in this
// order: daily limit, loss floor, profit target; so touching the floor while reaching the
// target fails the attempt. After a passed or failed attempt the rest of its day is skipped.
// Profile values are applied as given.
ReplayResult replay_profile(const core::Profile& profile, const bt::BacktestRun& run,
                            double equity0);

// Every member; median_days_to_pass is null when absent.
core::Json to_json(const ReplayResult& result);

}  // namespace varnek::validate
