// Walk-forward: window arithmetic, neighbourhoods, re-selection ties, the summary, the lock
// and independence from the worker count.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

#include "bt_fixture.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"
#include "search/evaluate.hpp"
#include "validate/walk_forward.hpp"

using namespace varnek;
using strategy::Candidate;
using testkit::id;
using validate::WalkForwardResult;
using validate::WindowBounds;

namespace {

struct World {
  std::unique_ptr<testkit::Engine> engine;
  std::unique_ptr<search::EvalContext> ctx;
};

World world(data::BarSeries bars, search::Split split, std::uint32_t min_trades = 30) {
  World w;
  w.engine = testkit::make_engine(std::move(bars));
  w.ctx.reset(new search::EvalContext{w.engine->bars, w.engine->features, w.engine->tables,
                                      core::preset_market("ES"), core::default_spec().exec, split,
                                      min_trades});
  return w;
}

Candidate with_level(Candidate c, std::size_t dim, std::uint8_t level) {
  c.idx[dim] = level;
  return c;
}

std::string dump(const std::vector<validate::WalkForwardEntry>& entries) {
  core::Json all = core::Json::array();
  for (const auto& e : entries) {
    all.push_back({{"id", strategy::format_id(e.key)}, {"wf", validate::to_json(e.result)}});
  }
  return core::to_compact(all);
}

// Candidates that trade on the synthetic series below.
const std::vector<Candidate> kTraders = {id("0-aaaaaaaaaaaa"), id("2-aaaaaaa"), id("2-dabbaab"),
                                         id("3-cbabbaab"), id("1-abaaaaaa")};

}  // namespace

TEST(WalkForwardWindows, EighthsOfTheSpan) {
  const auto w = validate::walk_forward_windows(0, 800);
  ASSERT_EQ(w.size(), 6u);
  for (std::uint64_t v = 0; v < 6; ++v) {
    EXPECT_EQ(w[v].train.start, 100 * v);
    EXPECT_EQ(w[v].train.end, 100 * v + 200);
    EXPECT_EQ(w[v].oos.start, 100 * v + 200);
    EXPECT_EQ(w[v].oos.end, 100 * v + 300);
  }
  // An offset span shifts every bound.
  const auto shifted = validate::walk_forward_windows(1000, 1800);
  ASSERT_EQ(shifted.size(), 6u);
  EXPECT_EQ(shifted[0].train.start, 1000u);
  EXPECT_EQ(shifted[5].oos.end, 1800u);
}

TEST(WalkForwardWindows, ShortSpansHaveNone) {
  // unit 10: the first out-of-sample part [20, 30) is not longer than 10 bars.
  EXPECT_TRUE(validate::walk_forward_windows(0, 87).empty());
  EXPECT_TRUE(validate::walk_forward_windows(0, 0).empty());
  EXPECT_TRUE(validate::walk_forward_windows(500, 400).empty());
  // unit 11 is enough; the bars past 8 units stay unused.
  const auto w = validate::walk_forward_windows(0, 95);
  ASSERT_EQ(w.size(), 6u);
  EXPECT_EQ(w[0].oos.start, 22u);
  EXPECT_EQ(w[0].oos.end, 33u);
  EXPECT_EQ(w[5].train.start, 55u);
  EXPECT_EQ(w[5].oos.start, 77u);
  EXPECT_EQ(w[5].oos.end, 88u);
}

TEST(Neighbourhood, LowestLevelsOnlyGoUp) {
  // ema_cross at every first level: fast 5 < slow 20, and each raise stays valid.
  const Candidate c = id("1-aaaaaaaa");
  const auto n = validate::neighbourhood(c);
  ASSERT_EQ(n.size(), 9u);
  EXPECT_EQ(n[0], c);
  for (std::size_t d = 0; d < 8; ++d) EXPECT_EQ(n[d + 1], with_level(c, d, 1)) << d;
}

TEST(Neighbourhood, HighestLevelsOnlyGoDown) {
  const Candidate c = id("2-gceeddb");
  const auto n = validate::neighbourhood(c);
  ASSERT_EQ(n.size(), 8u);
  for (std::size_t d = 0; d < 7; ++d) {
    EXPECT_EQ(n[d + 1], with_level(c, d, static_cast<std::uint8_t>(c.idx[d] - 1))) << d;
  }
}

TEST(Neighbourhood, LowerThenUpperAndInvalidDropped) {
  const Candidate mid = id("2-c");
  const auto n = validate::neighbourhood(mid);
  ASSERT_GE(n.size(), 3u);
  EXPECT_EQ(n[1], with_level(mid, 0, 1));
  EXPECT_EQ(n[2], with_level(mid, 0, 3));

  // fast 15 with slow 20: raising fast to 20 is not a valid variant, slow cannot go lower.
  const Candidate c = id("1-da");
  const auto m = validate::neighbourhood(c);
  ASSERT_EQ(m.size(), 9u);
  EXPECT_EQ(m[1], with_level(c, 0, 2));
  EXPECT_EQ(m[2], with_level(c, 1, 1));
  for (const Candidate& k : m) EXPECT_TRUE(strategy::is_valid(k));
}

TEST(WalkForward, EqualScoresChooseTheLastNeighbour) {
  // On flat bars nothing ever trades: every member scores -3 on every training part, so
  // the last neighbour wins each window and no window is positive.
  World w = world(testkit::flat_bars(800), search::make_split(800, 0.6, 0.2));
  const Candidate c = id("1-bcbccaba");
  const auto members = validate::neighbourhood(c);
  const auto out = validate::walk_forward(*w.ctx, std::vector<Candidate>{c});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].key, c);
  const WalkForwardResult& r = out[0].result;
  ASSERT_EQ(r.windows.size(), 6u);
  for (const auto& win : r.windows) {
    EXPECT_EQ(win.chosen, members.back());
    EXPECT_EQ(win.trades, 0u);
    EXPECT_EQ(win.expectancy_r, 0.0);
    EXPECT_EQ(win.profit_factor, 0.0);
  }
  EXPECT_EQ(r.positive_windows, 0u);
  EXPECT_EQ(r.stability, 0.0);
  EXPECT_EQ(r.dispersion_r, 0.0);
  EXPECT_FALSE(validate::passes_walk_forward(r));
  // Span [0, 640): unit 80; window 0 trains on [0, 160) and trades [160, 240).
  const std::int64_t t0 = w.engine->bars.ts[0];
  EXPECT_EQ(r.windows[0].train_start, t0);
  EXPECT_EQ(r.windows[0].train_end, t0 + 159 * 3600);
  EXPECT_EQ(r.windows[0].test_start, t0 + 160 * 3600);
  EXPECT_EQ(r.windows[0].test_end, t0 + 239 * 3600);
  EXPECT_EQ(r.windows[5].test_end, t0 + 639 * 3600);
  // Every member on every training part, then the choice out of sample.
  EXPECT_EQ(w.ctx->evaluations.load(), 6 * (members.size() + 1));
  EXPECT_EQ(w.ctx->test_evaluations.load(), 0u);
}

TEST(WalkForward, SpanOf87BarsHasNoWindow) {
  World w = world(testkit::flat_bars(100), search::Split{{0, 60}, {60, 87}, {87, 100}});
  const auto out = validate::walk_forward(*w.ctx, std::vector<Candidate>{id("2-aaaaaaa")});
  const WalkForwardResult& r = out.at(0).result;
  EXPECT_TRUE(r.windows.empty());
  EXPECT_EQ(r.oos_trades, 0u);
  EXPECT_EQ(r.oos_net_r, 0.0);
  EXPECT_EQ(r.oos_expectancy_r, 0.0);
  EXPECT_EQ(r.positive_windows, 0u);
  EXPECT_EQ(r.stability, 0.0);
  EXPECT_EQ(r.dispersion_r, 0.0);
  EXPECT_TRUE(std::signbit(r.dispersion_r));
  EXPECT_FALSE(validate::passes_walk_forward(r));
  EXPECT_EQ(w.ctx->evaluations.load(), 0u);
  EXPECT_EQ(core::to_compact(validate::to_json(r)),
            R"({"dispersion_r":-0.0,"oos_expectancy_r":0.0,"oos_net_r":0.0,"oos_trades":0,)"
            R"("positive_windows":0,"stability":0.0,"windows":[]})");
}

TEST(WalkForward, PassRule) {
  WalkForwardResult r;
  r.windows.resize(6);
  r.positive_windows = 4;
  r.stability = 4.0 / 6.0;
  r.oos_net_r = -0.5;  // four positive windows, but a losing total
  EXPECT_FALSE(validate::passes_walk_forward(r));
  r.oos_net_r = 0.0;
  EXPECT_FALSE(validate::passes_walk_forward(r));
  r.oos_net_r = 0.1;
  EXPECT_TRUE(validate::passes_walk_forward(r));
  r.stability = 0.5;
  EXPECT_TRUE(validate::passes_walk_forward(r));
  r.stability = 2.0 / 6.0;
  EXPECT_FALSE(validate::passes_walk_forward(r));
}

class WalkForwardSynthetic : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kBars = 12000;
  void SetUp() override {
    w_ = world(data::generate_synthetic(kBars, 11), search::make_split(kBars, 0.6, 0.2));
  }
  World w_;
};

TEST_F(WalkForwardSynthetic, WindowsAreTradedOnTheirOwnBars) {
  const auto out = validate::walk_forward(*w_.ctx, kTraders);
  ASSERT_EQ(out.size(), kTraders.size());
  std::uint64_t expected_evaluations = 0;
  std::uint32_t traded = 0;
  const auto bounds = validate::walk_forward_windows(0, w_.ctx->split.validation.end);
  ASSERT_EQ(bounds.size(), 6u);
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].key, kTraders[i]);
    const auto members = validate::neighbourhood(kTraders[i]);
    expected_evaluations += 6 * (members.size() + 1);
    const WalkForwardResult& r = out[i].result;
    ASSERT_EQ(r.windows.size(), 6u);
    std::uint32_t trades = 0;
    double net = 0.0;
    for (std::size_t v = 0; v < 6; ++v) {
      const auto& win = r.windows[v];
      EXPECT_NE(std::find(members.begin(), members.end(), win.chosen), members.end());
      // A fresh evaluation of the choice on the window's out-of-sample bars.
      search::EvalContext& ctx = *w_.ctx;
      const auto s = search::evaluate(
          ctx, win.chosen, search::SegmentRef::range(bounds[v].oos.start, bounds[v].oos.end),
          ctx.exec);
      expected_evaluations += 1;
      EXPECT_EQ(win.trades, s.trades);
      EXPECT_EQ(win.net_r, s.net_r);
      EXPECT_EQ(win.max_dd_r, s.max_dd_r);
      trades += win.trades;
      net += win.net_r;
    }
    traded += trades;
    EXPECT_EQ(r.oos_trades, trades);
    EXPECT_DOUBLE_EQ(r.oos_net_r, net);
  }
  EXPECT_GT(traded, 50u);  // the figures above compare real trades
  // The last out-of-sample part ends exactly at the validation end: allowed by the lock.
  EXPECT_EQ(bounds[5].oos.end, w_.ctx->split.validation.end);
  EXPECT_EQ(w_.ctx->evaluations.load(), expected_evaluations);
  EXPECT_EQ(w_.ctx->test_evaluations.load(), 0u);
}

TEST_F(WalkForwardSynthetic, SelectionUsesAThirdOfMinTrades) {
  // Re-score window 0 by hand with ties to the later member: the threshold is 30 / 3 = 10,
  // and on this window the full min_trades would pick another member.
  const Candidate c = kTraders[0];
  const auto members = validate::neighbourhood(c);
  const auto bounds = validate::walk_forward_windows(0, w_.ctx->split.validation.end);
  const auto training = search::SegmentRef::range(bounds[0].train.start, bounds[0].train.end);
  auto score = [](const bt::SegmentSummary& s, double threshold) {
    if (s.trades < threshold) return 2.0 * s.trades / threshold - 3.0;
    return search::t_statistic(s) - 0.02 * s.max_dd_r;
  };
  std::size_t best10 = 0, best30 = 0;
  double score10 = -1e300, score30 = -1e300;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const auto s = search::evaluate(*w_.ctx, members[i], training, w_.ctx->exec);
    if (score(s, 10.0) >= score10) {
      best10 = i;
      score10 = score(s, 10.0);
    }
    if (score(s, 30.0) >= score30) {
      best30 = i;
      score30 = score(s, 30.0);
    }
  }
  ASSERT_NE(best10, best30);
  const auto out = validate::walk_forward(*w_.ctx, std::vector<Candidate>{c});
  EXPECT_EQ(out[0].result.windows[0].chosen, members[best10]);
}

TEST_F(WalkForwardSynthetic, SameResultWithOneOrTwoWorkers) {
  std::vector<validate::WalkForwardEntry> one, two;
  tbb::task_arena a1(1), a2(2);
  a1.execute([&] { one = validate::walk_forward(*w_.ctx, kTraders); });
  const std::uint64_t evaluations = w_.ctx->evaluations.load();
  const std::uint64_t bars = w_.ctx->bars_simulated.load();
  a2.execute([&] { two = validate::walk_forward(*w_.ctx, kTraders); });
  EXPECT_EQ(dump(one), dump(two));
  EXPECT_EQ(w_.ctx->evaluations.load(), 2 * evaluations);
  EXPECT_EQ(w_.ctx->bars_simulated.load(), 2 * bars);
}

TEST_F(WalkForwardSynthetic, TestBarsAreNeverRead) {
  // Same bars up to the validation end, a different future after it.
  data::BarSeries other = w_.engine->bars;
  for (std::size_t i = w_.ctx->split.validation.end; i < other.size(); ++i) {
    other.open[i] *= 1.7;
    other.high[i] *= 1.9;
    other.low[i] *= 1.3;
    other.close[i] *= 1.5;
  }
  World altered = world(std::move(other), w_.ctx->split);
  EXPECT_EQ(dump(validate::walk_forward(*w_.ctx, kTraders)),
            dump(validate::walk_forward(*altered.ctx, kTraders)));
}

TEST_F(WalkForwardSynthetic, ProgressCountsFinishedCandidates) {
  std::mutex m;
  std::vector<std::size_t> done;
  std::vector<std::size_t> totals;
  tbb::task_arena a2(2);
  a2.execute([&] {
    validate::walk_forward(*w_.ctx, kTraders, [&](std::size_t d, std::size_t total) {
      const std::lock_guard lock(m);
      done.push_back(d);
      totals.push_back(total);
    });
  });
  std::sort(done.begin(), done.end());
  EXPECT_EQ(done, (std::vector<std::size_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(totals, std::vector<std::size_t>(5, 5));
}

TEST_F(WalkForwardSynthetic, ReportForm) {
  const auto out = validate::walk_forward(*w_.ctx, std::vector<Candidate>{kTraders[0]});
  const core::Json j = validate::to_json(out[0].result);
  std::vector<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.push_back(k);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"dispersion_r", "oos_expectancy_r", "oos_net_r", "oos_trades",
                                      "positive_windows", "stability", "windows"}));
  const core::Json& win = j["windows"][0];
  std::vector<std::string> wkeys;
  for (const auto& [k, v] : win.items()) wkeys.push_back(k);
  EXPECT_EQ(wkeys, (std::vector<std::string>{"chosen", "chosen_params", "expectancy_r", "max_dd_r",
                                             "net_r", "profit_factor", "test_end", "test_start",
                                             "trades", "train_end", "train_start"}));
  const auto& first = out[0].result.windows[0];
  EXPECT_EQ(win["chosen"], strategy::format_id(first.chosen));
  EXPECT_EQ(win["chosen_params"], strategy::params_json(first.chosen));
  EXPECT_TRUE(win["train_start"].is_number_integer());
  EXPECT_EQ(win["train_start"].get<std::int64_t>(), w_.engine->bars.ts[0]);
  EXPECT_TRUE(j["oos_trades"].is_number_unsigned());
}
