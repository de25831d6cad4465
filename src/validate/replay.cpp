#include "validate/replay.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

namespace varnek::validate {

namespace {

__extension__ typedef __int128 Wide;  // holds ts - 3600 * hour for any int64 pair

constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kDaySecs = 86400;

void bump(std::uint32_t& count) {
  if (count < kMaxCount) ++count;
}

enum class Trail { none, end_of_day, intraday };

Trail trail_of(const std::string& max_loss_type) {
  if (max_loss_type == "trailing_eod") return Trail::end_of_day;
  if (max_loss_type == "trailing_intraday") return Trail::intraday;
  return Trail::none;
}

// ceil(contracts * scale) clamped to the unsigned 32-bit range; NaN counts as 0.
std::uint32_t scaled_contracts(std::uint32_t contracts, double scale) {
  const double c = std::ceil(static_cast<double>(contracts) * scale);
  if (!(c > 0.0)) return 0;
  if (c >= static_cast<double>(kMaxCount)) return kMaxCount;
  return static_cast<std::uint32_t>(c);
}

std::uint32_t position_violations(const core::Profile& profile, std::span<const bt::Trade> trades,
                                  double scale) {
  if (!profile.max_contracts_micro) return 0;
  std::uint32_t count = 0;
  for (const auto& t : trades) {
    if (scaled_contracts(t.contracts, scale) > *profile.max_contracts_micro) bump(count);
  }
  return count;
}

std::string verdict_of(const ReplayResult& r) {
  const std::uint64_t breaches = std::uint64_t{r.daily_loss_breaches} + r.max_loss_breaches;
  if (breaches + r.passed == 0) return "INCONCLUSIVE";
  if (breaches > 0 || r.position_size_violations > 0) {
    return breaches >= r.passed ? "FAIL" : "INCONCLUSIVE";
  }
  return "PASS";
}

std::string automation_status(const std::string& policy) {
  return policy.starts_with("Autoris") ? "ALLOWED" : "REQUIRES REVIEW";
}

}  // namespace

std::int64_t trading_day(std::int64_t ts, std::int64_t day_reset_utc_hour) {
  const Wide t = Wide{ts} - Wide{3600} * day_reset_utc_hour;
  if (t >= std::numeric_limits<std::int64_t>::min() &&
      t <= std::numeric_limits<std::int64_t>::max()) {
    const auto narrow = static_cast<std::int64_t>(t);  // the common case: no wide division
    std::int64_t q = narrow / kDaySecs;
    if (narrow % kDaySecs != 0 && narrow < 0) --q;
    return q;
  }
  Wide q = t / kDaySecs;
  if (t % kDaySecs != 0 && t < 0) --q;
  // |t| < 3601 * 2^63, so the quotient is well inside the int64 range.
  return static_cast<std::int64_t>(q);
}

ReplayResult replay_profile(const core::Profile& profile, const bt::BacktestRun& run,
                            double equity0) {
  ReplayResult r;
  r.profile_id = profile.id;
  r.automation_policy = profile.automation_policy;

  const std::span<const bt::EquityPoint> close = run.close_curve;
  const std::span<const bt::EquityPoint> worst = run.worst_curve;
  const std::span<const bt::EquityPoint> best = run.best_curve;
  // Mismatched curves are read only as far as all three go.
  const std::size_t n = std::min({close.size(), worst.size(), best.size()});
  if (n == 0) {
    r.verdict = "INCONCLUSIVE";
    r.summary_fr = "Aucune donnée d'équité à rejouer.";
    return r;
  }

  const double size = profile.account_size;
  const double scale = size / equity0;
  const double max_loss = profile.max_loss;
  const Trail trail = trail_of(profile.max_loss_type);
  const std::int64_t hour = profile.day_reset_utc_hour;
  const auto day_of = [&](std::size_t k) { return trading_day(close[k].ts, hour); };

  std::vector<std::int64_t> days_to_pass;
  std::size_t s = 0;
  while (s < n) {
    bump(r.attempts);
    const double base = close[s].equity;
    const auto account = [&](double equity) { return (equity - base) * scale + size; };
    double floor = size - max_loss;
    double high = size;
    double day_start = size;
    std::int64_t day = day_of(s);
    const std::int64_t first_day = day;
    bool paused_today = false;
    std::size_t end = n;  // point where the attempt passed or failed

    for (std::size_t k = s; k < n; ++k) {
      const std::int64_t k_day = day_of(k);
      if (k_day != day) {
        // The balance a new day starts from is the previous bar's close.
        const double prev_close = account(close[k - 1].equity);
        if (trail == Trail::end_of_day) {
          high = std::fmax(std::fmax(high, day_start), prev_close);
          floor = std::fmax(floor, high - max_loss);
        }
        day_start = prev_close;
        day = k_day;
        paused_today = false;
      }
      if (trail == Trail::intraday) {
        high = std::fmax(high, account(best[k].equity));
        floor = std::fmax(floor, high - max_loss);
      }
      if (profile.trailing_lock_at) floor = std::fmin(floor, *profile.trailing_lock_at);

      const double low = account(worst[k].equity);
      bool ended = false;
      if (profile.daily_loss_limit && day_start - *profile.daily_loss_limit >= low) {
        if (!profile.daily_loss_soft) {
          bump(r.daily_loss_breaches);
          ended = true;
        } else if (!paused_today) {
          bump(r.daily_loss_pauses);
          paused_today = true;
        }
      }
      if (!ended && floor >= low) {
        bump(r.max_loss_breaches);
        ended = true;
      }
      if (!ended && profile.profit_target &&
          account(close[k].equity) >= size + *profile.profit_target) {
        bump(r.passed);
        days_to_pass.push_back(k_day - first_day + 1);
        ended = true;
      }
      if (ended) {
        end = k;
        break;
      }
    }
    if (end == n) {  // still running at the last point: nothing left to start another
      bump(r.unfinished);
      break;
    }
    s = end + 1;
    while (s < n && day_of(s) <= day) ++s;
  }

  r.position_size_violations = position_violations(profile, run.trades, scale);
  if (!days_to_pass.empty()) {
    std::sort(days_to_pass.begin(), days_to_pass.end());
    r.median_days_to_pass = static_cast<double>(days_to_pass[days_to_pass.size() / 2]);
  }
  r.automation_status = automation_status(profile.automation_policy);
  r.verdict = verdict_of(r);
  r.summary_fr = fmt::format(
      "Sur l'historique rejoué comme {} tentative(s) successive(s) de {} {} : {} réussie(s), "
      "{} dépassement(s) de perte journalière éliminatoire, {} pause(s) sur perte journalière "
      "souple, {} dépassement(s) de perte maximale, {} violation(s) de taille de position, {} "
      "non terminée(s). Automatisation : {}.",
      r.attempts, profile.firm, profile.program, r.passed, r.daily_loss_breaches,
      r.daily_loss_pauses, r.max_loss_breaches, r.position_size_violations, r.unfinished,
      r.automation_status);
  return r;
}

core::Json to_json(const ReplayResult& result) {
  core::Json j = core::Json::object();
  j["profile_id"] = result.profile_id;
  j["attempts"] = result.attempts;
  j["passed"] = result.passed;
  j["daily_loss_breaches"] = result.daily_loss_breaches;
  j["daily_loss_pauses"] = result.daily_loss_pauses;
  j["max_loss_breaches"] = result.max_loss_breaches;
  j["position_size_violations"] = result.position_size_violations;
  j["unfinished"] = result.unfinished;
  j["median_days_to_pass"] = result.median_days_to_pass
                                 ? core::number_or_null(*result.median_days_to_pass)
                                 : core::Json(nullptr);
  j["automation_policy"] = result.automation_policy;
  j["automation_status"] = result.automation_status;
  j["verdict"] = result.verdict;
  j["summary_fr"] = result.summary_fr;
  return j;
}

}  // namespace varnek::validate
