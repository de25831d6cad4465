// Account-rule replay: scaling, trailing floors, daily limits, attempt chaining, position
// size, median, verdict, automation status, summary text and the JSON record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "validate/replay.hpp"

using namespace varnek;
using validate::replay_profile;
using validate::trading_day;

namespace {

constexpr std::int64_t kDay = 86400;

// One bar: opening time, then its lowest, closing and highest equity.
struct Bar {
  std::int64_t ts;
  double worst, close, best;
};

bt::BacktestRun curve(std::initializer_list<Bar> bars) {
  bt::BacktestRun run;
  for (const auto& b : bars) {
    run.worst_curve.push_back({b.ts, b.worst});
    run.close_curve.push_back({b.ts, b.close});
    run.best_curve.push_back({b.ts, b.best});
  }
  return run;
}

// A flat bar: every extreme at `equity`.
Bar flat(std::int64_t ts, double equity) {
  return {ts, equity, equity, equity};
}

// 50000 account, static floor 2000 below, no other rule.
core::Profile profile() {
  core::Profile p;
  p.id = "p1";
  p.firm = "Acme";
  p.program = "Eval 50K";
  p.account_size = 50000.0;
  p.max_loss_type = "static";
  p.max_loss = 2000.0;
  p.automation_policy = "Autorisé sans restriction";
  return p;
}

// One attempt per day on a 50000-equity curve, with target 1000 and floor 2000 below:
// 'P' reaches the target, 'B' falls through the floor.
bt::BacktestRun chained(const std::string& outcomes) {
  bt::BacktestRun run;
  double level = 50000.0;
  std::int64_t day = 0;
  for (char o : outcomes) {
    const double next = o == 'P' ? level + 1000.0 : level - 2000.0;
    const double lo = std::min(level, next), hi = std::max(level, next);
    for (const auto& [ts, w, c, b] :
         {Bar{day * kDay, level, level, level}, Bar{day * kDay + 3600, lo, next, hi}}) {
      run.worst_curve.push_back({ts, w});
      run.close_curve.push_back({ts, c});
      run.best_curve.push_back({ts, b});
    }
    level = next;
    ++day;
  }
  return run;
}

}  // namespace

TEST(TradingDay, FloorsTowardMinusInfinity) {
  EXPECT_EQ(trading_day(0, 0), 0);
  EXPECT_EQ(trading_day(kDay - 1, 0), 0);
  EXPECT_EQ(trading_day(-1, 0), -1);
  EXPECT_EQ(trading_day(-kDay, 0), -1);
  EXPECT_EQ(trading_day(-kDay - 1, 0), -2);
  // A day starting at 22:00 UTC: 21:00 belongs to the previous day.
  EXPECT_EQ(trading_day(21 * 3600, 22), -1);
  EXPECT_EQ(trading_day(22 * 3600, 22), 0);
  EXPECT_EQ(trading_day(0, -2), 0);  // hours are taken as given
  EXPECT_EQ(trading_day(-2 * 3600 - 1, -2), -1);
}

TEST(TradingDay, ExtremesDoNotOverflow) {
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  // 2^63 / 86400 = 106751991167300.64; 2^63 / 24 = 384307168202282325.33.
  EXPECT_EQ(trading_day(lo, 0), -106751991167301);
  EXPECT_EQ(trading_day(lo, 23), -106751991167302);
  EXPECT_EQ(trading_day(hi, lo), 384413920193449625);
  EXPECT_EQ(trading_day(lo, hi), -384413920193449626);
}

TEST(Replay, ScalingHalvesMovesOnHalfSizedAccount) {
  // Equity 100000 → 97000 intrabar → 103000: half of it on a 50000 account stays above the
  // floor and short of the target; at full size it falls through the floor.
  const auto run =
      curve({flat(0, 100000.0), {60, 97000.0, 98000.0, 100000.0}, flat(120, 103000.0)});
  auto p = profile();
  p.profit_target = 2000.0;
  const auto half = replay_profile(p, run, 100000.0);
  EXPECT_EQ(half.attempts, 1u);
  EXPECT_EQ(half.max_loss_breaches, 0u);
  EXPECT_EQ(half.passed, 0u);
  EXPECT_EQ(half.unfinished, 1u);
  EXPECT_EQ(half.verdict, "INCONCLUSIVE");

  p.account_size = 100000.0;
  const auto full = replay_profile(p, run, 100000.0);
  EXPECT_EQ(full.attempts, 1u);  // the breach's day has no later point to start from
  EXPECT_EQ(full.max_loss_breaches, 1u);
  EXPECT_EQ(full.unfinished, 0u);
  EXPECT_EQ(full.verdict, "FAIL");
}

TEST(Replay, EachAttemptStartsAtAccountSize) {
  // Attempt two starts at equity 48000 and reaches 49000: +1000, the target.
  auto p = profile();
  p.profit_target = 1000.0;
  const auto r = replay_profile(p, chained("BP"), 50000.0);
  EXPECT_EQ(r.attempts, 2u);
  EXPECT_EQ(r.max_loss_breaches, 1u);
  EXPECT_EQ(r.passed, 1u);
  EXPECT_EQ(r.verdict, "FAIL");  // one breach against one pass
}

TEST(Replay, TrailingEndOfDayFloorFollowsDailyBalances) {
  // End-of-day balances 50000, 51500, 51000: from day 2 on the floor is 51500 - 2000.
  auto p = profile();
  p.max_loss_type = "trailing_eod";
  auto bars = [](double day3_low) {
    return curve({flat(0, 50000.0),
                  flat(kDay, 51500.0),
                  flat(2 * kDay, 51000.0),
                  {3 * kDay, day3_low, 51000.0, 51000.0}});
  };
  const auto touched = replay_profile(p, bars(49500.0), 50000.0);
  EXPECT_EQ(touched.max_loss_breaches, 1u);
  EXPECT_EQ(touched.unfinished, 0u);
  const auto above = replay_profile(p, bars(49500.5), 50000.0);
  EXPECT_EQ(above.max_loss_breaches, 0u);
  EXPECT_EQ(above.unfinished, 1u);
  // A static floor stays at 48000.
  p.max_loss_type = "other";
  EXPECT_EQ(replay_profile(p, bars(49500.0), 50000.0).max_loss_breaches, 0u);
}

TEST(Replay, TrailingIntradayFloorAndLock) {
  // The high of 52500 would lift the floor to 50500; the lock holds it at 50000.
  auto p = profile();
  p.max_loss_type = "trailing_intraday";
  auto bars = [](double low) {
    return curve({flat(0, 50000.0), {60, 51000.0, 52000.0, 52500.0}, {120, low, 50300.0, 50300.0}});
  };
  EXPECT_EQ(replay_profile(p, bars(50200.0), 50000.0).max_loss_breaches, 1u);
  p.trailing_lock_at = 50000.0;
  EXPECT_EQ(replay_profile(p, bars(50200.0), 50000.0).max_loss_breaches, 0u);
  EXPECT_EQ(replay_profile(p, bars(50000.0), 50000.0).max_loss_breaches, 1u);
}

TEST(Replay, DailyLimitSoftPausesOncePerDayHardFails) {
  // Day 0 starts at 50000 (limit line 49000) and touches it three times; day 1 starts at
  // the last close 49200 (line 48200) and touches it twice.
  const auto run = curve({flat(0, 50000.0),
                          {60, 48900.0, 49500.0, 50000.0},
                          {120, 49000.0, 49500.0, 49500.0},
                          {180, 48800.0, 49200.0, 49500.0},
                          {kDay, 48200.0, 48500.0, 49200.0},
                          {kDay + 60, 48100.0, 48400.0, 48500.0}});
  auto p = profile();
  p.max_loss = 5000.0;
  p.daily_loss_limit = 1000.0;
  p.daily_loss_soft = true;
  const auto soft = replay_profile(p, run, 50000.0);
  EXPECT_EQ(soft.daily_loss_pauses, 2u);
  EXPECT_EQ(soft.daily_loss_breaches, 0u);
  EXPECT_EQ(soft.attempts, 1u);
  EXPECT_EQ(soft.unfinished, 1u);
  EXPECT_EQ(soft.verdict, "INCONCLUSIVE");  // pauses do not count

  // Hard: fails at 00:01; the rest of day 0 is skipped; attempt two starts at 48500 on
  // day 1, whose lows 49700 and 49600 (scaled) stay above its line 49000.
  p.daily_loss_soft = false;
  const auto hard = replay_profile(p, run, 50000.0);
  EXPECT_EQ(hard.daily_loss_breaches, 1u);
  EXPECT_EQ(hard.daily_loss_pauses, 0u);
  EXPECT_EQ(hard.attempts, 2u);
  EXPECT_EQ(hard.unfinished, 1u);
  EXPECT_EQ(hard.verdict, "FAIL");
  EXPECT_EQ(hard.summary_fr,
            "Sur l'historique rejoué comme 2 tentative(s) successive(s) de Acme Eval 50K : 0 "
            "réussie(s), 1 dépassement(s) de perte journalière éliminatoire, 0 pause(s) sur "
            "perte journalière souple, 0 dépassement(s) de perte maximale, 0 violation(s) de "
            "taille de position, 1 non terminée(s). Automatisation : ALLOWED.");
}

TEST(Replay, RuleOrderOnOnePoint) {
  auto p = profile();
  p.profit_target = 1000.0;
  // Floor touched and target reached on the same bar: failed.
  const auto r =
      replay_profile(p, curve({flat(0, 50000.0), {60, 48000.0, 51000.0, 51000.0}}), 50000.0);
  EXPECT_EQ(r.max_loss_breaches, 1u);
  EXPECT_EQ(r.passed, 0u);
  // Daily limit and floor on the same bar: only the daily breach counts.
  p.daily_loss_limit = 1000.0;
  const auto d =
      replay_profile(p, curve({flat(0, 50000.0), {60, 47000.0, 47000.0, 50000.0}}), 50000.0);
  EXPECT_EQ(d.daily_loss_breaches, 1u);
  EXPECT_EQ(d.max_loss_breaches, 0u);
}

TEST(Replay, DaysToPassAndMedian) {
  auto p = profile();
  p.profit_target = 1000.0;
  const auto same_day = replay_profile(p, curve({flat(0, 50000.0), flat(3600, 51000.0)}), 50000.0);
  ASSERT_TRUE(same_day.median_days_to_pass);
  EXPECT_EQ(*same_day.median_days_to_pass, 1.0);
  EXPECT_EQ(same_day.verdict, "PASS");
  // With the day reset at 22:00, 21:00 and 23:00 fall on two trading days.
  p.day_reset_utc_hour = 22;
  const auto across =
      replay_profile(p, curve({flat(21 * 3600, 50000.0), flat(23 * 3600, 51000.0)}), 50000.0);
  EXPECT_EQ(across.median_days_to_pass, 2.0);

  // Passes taking 12, 9, 3 then 7 days: sorted 3, 7, 9, 12, the value at index 2 is 9.
  p.day_reset_utc_hour = 0;
  const auto four = replay_profile(
      p,
      curve({flat(0, 50000.0), flat(11 * kDay, 51000.0), flat(12 * kDay, 51000.0),
             flat(20 * kDay, 52000.0), flat(21 * kDay, 52000.0), flat(23 * kDay, 53000.0),
             flat(24 * kDay, 53000.0), flat(30 * kDay, 54000.0)}),
      50000.0);
  EXPECT_EQ(four.attempts, 4u);
  EXPECT_EQ(four.passed, 4u);
  EXPECT_EQ(four.unfinished, 0u);
  EXPECT_EQ(four.median_days_to_pass, 9.0);
}

TEST(Replay, UnfinishedAttemptEndsTheReplay) {
  auto p = profile();
  p.profit_target = 1000.0;
  // Pass on day 0, then an attempt from day 1 that never ends.
  const auto r = replay_profile(
      p, curve({flat(0, 50000.0), flat(60, 51000.0), flat(kDay, 51000.0), flat(2 * kDay, 51500.0)}),
      50000.0);
  EXPECT_EQ(r.attempts, 2u);
  EXPECT_EQ(r.passed, 1u);
  EXPECT_EQ(r.unfinished, 1u);
  // Without a target nothing ever passes: one attempt over the whole curve.
  p.profit_target.reset();
  const auto none = replay_profile(p, chained("PPP"), 50000.0);
  EXPECT_EQ(none.attempts, 1u);
  EXPECT_EQ(none.unfinished, 1u);
  EXPECT_FALSE(none.median_days_to_pass);
}

TEST(Replay, Verdicts) {
  auto p = profile();
  p.profit_target = 1000.0;
  EXPECT_EQ(replay_profile(p, chained("PBPB"), 50000.0).verdict, "FAIL");
  EXPECT_EQ(replay_profile(p, chained("PBPBP"), 50000.0).verdict, "INCONCLUSIVE");
  const auto three = replay_profile(p, chained("PPP"), 50000.0);
  EXPECT_EQ(three.passed, 3u);
  EXPECT_EQ(three.verdict, "PASS");
  // A position-size violation alone turns passes into INCONCLUSIVE.
  auto run = chained("PPP");
  run.trades.resize(1);
  run.trades[0].contracts = 3;
  p.max_contracts_micro = 2;
  const auto sized = replay_profile(p, run, 50000.0);
  EXPECT_EQ(sized.position_size_violations, 1u);
  EXPECT_EQ(sized.verdict, "INCONCLUSIVE");
}

TEST(Replay, PositionSizeScaledAndClamped) {
  auto run = curve({flat(0, 100000.0)});
  run.trades.resize(4);
  run.trades[0].contracts = 3;  // 1.5 → 2
  run.trades[1].contracts = 4;  // 2
  run.trades[2].contracts = 5;  // 2.5 → 3
  run.trades[3].contracts = 0;
  auto p = profile();
  EXPECT_EQ(replay_profile(p, run, 100000.0).position_size_violations, 0u);  // no limit
  p.max_contracts_micro = 2;
  EXPECT_EQ(replay_profile(p, run, 100000.0).position_size_violations, 1u);
  p.max_contracts_micro = 1;
  EXPECT_EQ(replay_profile(p, run, 100000.0).position_size_violations, 3u);
  // Doubling the largest count clamps to the 32-bit maximum, which the maximum limit allows.
  run.trades[0].contracts = std::numeric_limits<std::uint32_t>::max();
  p.max_contracts_micro = std::numeric_limits<std::uint32_t>::max();
  EXPECT_EQ(replay_profile(p, run, 25000.0).position_size_violations, 0u);
  // Zero equity0: 0 contracts × inf is NaN and counts as 0 contracts.
  p.max_contracts_micro = 0;
  EXPECT_EQ(replay_profile(p, run, 0.0).position_size_violations, 3u);
}

TEST(Replay, AutomationStatus) {
  const auto run = curve({flat(0, 50000.0)});
  auto p = profile();
  const std::pair<std::string, std::string> cases[] = {{"Autoris", "ALLOWED"},
                                                       {"Autorisé", "ALLOWED"},
                                                       {"Autori", "REQUIRES REVIEW"},
                                                       {"autorisé", "REQUIRES REVIEW"},
                                                       {"Non autorisé", "REQUIRES REVIEW"},
                                                       {"", "REQUIRES REVIEW"}};
  for (const auto& [policy, status] : cases) {
    p.automation_policy = policy;
    const auto r = replay_profile(p, run, 50000.0);
    EXPECT_EQ(r.automation_status, status) << policy;
    EXPECT_EQ(r.automation_policy, policy);
  }
}

TEST(Replay, EmptyCurve) {
  auto p = profile();
  p.max_contracts_micro = 0;
  bt::BacktestRun run;
  run.trades.resize(2);
  run.trades[0].contracts = 5;
  const auto r = replay_profile(p, run, 50000.0);
  EXPECT_EQ(r.profile_id, "p1");
  EXPECT_EQ(r.attempts + r.passed + r.daily_loss_breaches + r.daily_loss_pauses +
                r.max_loss_breaches + r.position_size_violations + r.unfinished,
            0u);
  EXPECT_FALSE(r.median_days_to_pass);
  EXPECT_EQ(r.automation_status, "");
  EXPECT_EQ(r.verdict, "INCONCLUSIVE");
  EXPECT_EQ(r.summary_fr, "Aucune donnée d'équité à rejouer.");
  // Curves of unequal length are read only as far as all three go.
  run.close_curve.push_back({0, 50000.0});
  run.best_curve.push_back({0, 50000.0});
  EXPECT_EQ(replay_profile(p, run, 50000.0).attempts, 0u);
}

TEST(Replay, JsonRecord) {
  validate::ReplayResult r;
  r.profile_id = "x";
  r.attempts = 3;
  r.passed = 2;
  r.verdict = "PASS";
  EXPECT_EQ(core::to_compact(validate::to_json(r)),
            "{\"attempts\":3,\"automation_policy\":\"\",\"automation_status\":\"\","
            "\"daily_loss_breaches\":0,\"daily_loss_pauses\":0,\"max_loss_breaches\":0,"
            "\"median_days_to_pass\":null,\"passed\":2,\"position_size_violations\":0,"
            "\"profile_id\":\"x\",\"summary_fr\":\"\",\"unfinished\":0,\"verdict\":\"PASS\"}");
  r.median_days_to_pass = 4.0;
  EXPECT_EQ(validate::to_json(r)["median_days_to_pass"].get<double>(), 4.0);
  EXPECT_TRUE(validate::to_json(r)["median_days_to_pass"].is_number_float());
}
