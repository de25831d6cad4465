// Trade simulation: exit rules, gaps, delays, the fast/full equivalence and causality.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "bt/simulate.hpp"
#include "bt_fixture.hpp"
#include "core/alloc_counter.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"

using namespace varnek;
using testkit::flat_bars;
using testkit::id;
using testkit::make_engine;
using testkit::set_bar;

namespace {

const core::Market kMnq = core::preset_market("NQ");

core::Exec exec_with(std::uint64_t delay = 0, double equity0 = 50000.0) {
  core::Exec e = core::default_spec().exec;
  e.delay = delay;
  e.equity0 = equity0;
  return e;
}

// Donchian 5, no filter, stop 2.5 ATR, rr 1, any session, hold 12, long only. A close of
// 101 at bar 30 breaks the flat channel (highs 100.5); its true range is 1.4, so
// atr[30] = (13 + 1.4) / 14 and the stop lies 2.5 of that below the entry.
constexpr const char* kBreakout = "2-aae";
constexpr double kAtr30 = (13.0 + 1.4) / 14.0;
constexpr double kStopDist = kAtr30 * 2.5;

data::BarSeries breakout_bars(std::size_t n, std::size_t signal = 30) {
  data::BarSeries b = flat_bars(n);
  set_bar(b, signal, 100.0, 101.2, 99.8, 101.0);
  return b;
}

bt::BacktestRun run(const testkit::Engine& e, const char* cand, const core::Exec& ex,
                    const core::Market& m = kMnq) {
  return bt::run_full(id(cand), e.inputs(), m, ex, 0, e.bars.size());
}

}  // namespace

TEST(Simulate, TimeExitAfterHoldBars) {
  const auto e = make_engine(breakout_bars(60));
  const bt::BacktestRun r = run(*e, kBreakout, exec_with());
  ASSERT_EQ(r.trades.size(), 1u);
  const bt::Trade& t = r.trades[0];
  EXPECT_EQ(t.entry_bar, 31u);
  EXPECT_EQ(t.exit_bar, 43u);  // 12 bars after the entry, at the close
  EXPECT_EQ(bt::reason_text(t.reason), "time");
  EXPECT_EQ(t.side, 1);
  EXPECT_DOUBLE_EQ(t.entry, 100.375);
  EXPECT_DOUBLE_EQ(t.exit, 99.625);
  EXPECT_DOUBLE_EQ(t.stop, 100.375 - kStopDist);
  EXPECT_DOUBLE_EQ(t.target, 100.375 + kStopDist);
  EXPECT_EQ(t.contracts, static_cast<std::uint32_t>(125.0 / (kStopDist * 2.0)));
  EXPECT_DOUBLE_EQ(t.r, -0.75 / kStopDist - 1.24 / (kStopDist * 2.0));
  EXPECT_EQ(t.entry_ts, e->bars.ts[31]);
  EXPECT_EQ(t.exit_ts, e->bars.ts[43]);
  // Every bar from 1 is stepped; the equity list starts at the starting equity.
  EXPECT_EQ(r.summary.bars, 59u);
  EXPECT_EQ(r.close_curve.size(), 59u);
  ASSERT_EQ(r.equity.size(), 2u);
  EXPECT_NEAR(r.equity[1] - r.equity[0], t.pnl, 1e-9);
  const bt::Metrics m = bt::metrics_from_run(r, 50000.0);
  EXPECT_NEAR(*m.net_pnl, t.pnl, 1e-9);
  EXPECT_DOUBLE_EQ(*m.total_costs, t.costs);
}

TEST(Simulate, EndOfDataAndLateSignals) {
  // A signal on bar E - 2 enters at E - 1 and closes there at the close.
  const auto e = make_engine(breakout_bars(33, 31));
  const bt::BacktestRun r = run(*e, kBreakout, exec_with());
  ASSERT_EQ(r.trades.size(), 1u);
  EXPECT_EQ(r.trades[0].entry_bar, 32u);
  EXPECT_EQ(r.trades[0].exit_bar, 32u);
  EXPECT_EQ(bt::reason_text(r.trades[0].reason), "end_of_data");
  // A signal whose entry would fall at E or later is dropped, and is no size skip.
  const auto late = make_engine(breakout_bars(32, 31));
  const bt::BacktestRun lr = run(*late, kBreakout, exec_with());
  EXPECT_TRUE(lr.trades.empty());
  EXPECT_EQ(lr.summary.size_skips, 0u);
  // Three bars: no decision can find an entry bar inside the range.
  const auto tiny = make_engine(flat_bars(3));
  EXPECT_TRUE(run(*tiny, kBreakout, exec_with()).trades.empty());
}

TEST(Simulate, StopWinsInsideTheEntryBarAndGapsFillAtTheOpen) {
  data::BarSeries both = breakout_bars(60);
  set_bar(both, 31, 100.0, 104.0, 96.0, 100.0);
  const auto e = make_engine(both);
  const bt::BacktestRun r = run(*e, kBreakout, exec_with());
  ASSERT_FALSE(r.trades.empty());
  EXPECT_EQ(bt::reason_text(r.trades[0].reason), "stop");
  EXPECT_EQ(r.trades[0].exit_bar, 31u);
  EXPECT_DOUBLE_EQ(r.trades[0].exit, r.trades[0].stop - 0.375);

  data::BarSeries gap = breakout_bars(60);
  set_bar(gap, 32, 97.0, 97.5, 96.5, 97.0);  // opens below the stop
  const auto g = make_engine(gap);
  const bt::BacktestRun gr = run(*g, kBreakout, exec_with());
  ASSERT_FALSE(gr.trades.empty());
  EXPECT_EQ(bt::reason_text(gr.trades[0].reason), "stop");
  EXPECT_EQ(gr.trades[0].exit_bar, 32u);
  EXPECT_DOUBLE_EQ(gr.trades[0].exit, 97.0 - 0.375);

  data::BarSeries up = breakout_bars(60);
  set_bar(up, 33, 105.0, 105.5, 104.5, 105.0);  // opens above the target
  const auto u = make_engine(up);
  const bt::BacktestRun ur = run(*u, kBreakout, exec_with());
  ASSERT_FALSE(ur.trades.empty());
  EXPECT_EQ(bt::reason_text(ur.trades[0].reason), "target");
  EXPECT_DOUBLE_EQ(ur.trades[0].exit, 105.0 - 0.375);
  EXPECT_GT(ur.trades[0].r, 1.0);
}

TEST(Simulate, DelaySkipsBarsBetweenSignalAndEntry) {
  const auto e = make_engine(breakout_bars(60));
  const bt::BacktestRun r = run(*e, kBreakout, exec_with(2));
  ASSERT_EQ(r.trades.size(), 1u);
  EXPECT_EQ(r.trades[0].entry_bar, 33u);
  EXPECT_EQ(r.summary.bars, 57u);
  for (const auto* curve : {&r.worst_curve, &r.close_curve, &r.best_curve}) {
    EXPECT_EQ(curve->size(), 57u);
    for (const bt::EquityPoint& p : *curve) {
      EXPECT_NE(p.ts, e->bars.ts[31]);
      EXPECT_NE(p.ts, e->bars.ts[32]);
    }
  }
  // Open positions are valued at the low (worst) and high (best) of each bar.
  const std::size_t at34 = 34 - 1 - 2;  // stepped bars before bar 34: 1..30 and 33
  const bt::Trade& t = r.trades[0];
  const double scale = 2.0 * t.contracts;
  EXPECT_DOUBLE_EQ(r.worst_curve[at34].equity, 50000.0 + (99.5 - t.entry) * scale);
  EXPECT_DOUBLE_EQ(r.best_curve[at34].equity, 50000.0 + (100.5 - t.entry) * scale);
  EXPECT_DOUBLE_EQ(r.close_curve[at34].equity, 50000.0 + (100.0 - t.entry) * scale);
}

TEST(Simulate, SizeSkips) {
  const auto e = make_engine(breakout_bars(60));
  const bt::BacktestRun poor = run(*e, kBreakout, exec_with(0, 10.0));
  EXPECT_TRUE(poor.trades.empty());
  EXPECT_EQ(poor.summary.size_skips, 1u);
  core::Market zero = kMnq;
  zero.point_value = 0.0;
  const bt::BacktestRun z = run(*e, kBreakout, exec_with(), zero);
  EXPECT_TRUE(z.trades.empty());
  EXPECT_EQ(z.summary.size_skips, 1u);
}

TEST(Simulate, DegenerateBarsDoNotCrash) {
  data::BarSeries b = flat_bars(40);
  for (std::size_t i = 10; i < 20; ++i) set_bar(b, i, std::nan(""), 0.0, 0.0, std::nan(""));
  set_bar(b, 25, 0.0, 0.0, 0.0, 0.0);
  const auto e = make_engine(b);
  for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
    bt::SegmentSummary s;
    bt::run_fast(strategy::enumerate(f, 1), e->inputs(), kMnq, exec_with(), 0, 40, s);
    EXPECT_LE(s.bars, 39u);
  }
}

// Pivot-2 structure on hand-made bars (each bar mid +- 0.5, open = close = mid): lower
// highs (102.5 at bar 22, 101.5 at 29) and lower lows (97.5 at 26, 96.5 at 33) make the
// structure bearish; the close of 102 at bar 38 crosses the last swing high: a bullish
// break. Bar 36 is the last bearish candle before it (order block 99.5 .. 100.5), and bars
// 36 and 38 leave a fair-value gap 100.5 .. 101.5. From bar 39 the price holds at 103;
// `dips` lists the bars that come back down to 100.2 and close at 101.8.
data::BarSeries choch_bars(std::initializer_list<std::size_t> dips) {
  const double mids[] = {100, 101, 102, 101, 100, 99, 98,  99,  100, 101,
                         100, 99,  98,  97,  98,  99, 100, 101, 102};  // bars 20 .. 38
  data::BarSeries b = flat_bars(60);
  for (std::size_t i = 0; i < 60; ++i) {
    const double m = i < 20 ? 100.0 : i <= 38 ? mids[i - 20] : 103.0;
    set_bar(b, i, m, m + 0.5, m - 0.5, m);
  }
  b.open[36] = 100.3;  // bearish: opens above its close of 100
  for (std::size_t i : dips) set_bar(b, i, 102.0, 102.5, 100.2, 101.8);
  return b;
}

TEST(Simulate, StructureBreakZonesCountOnlyTheirFirstReturn) {
  const auto e = make_engine(choch_bars({42, 45}));
  const htf::BreakFlags& flags = htf::break_flags(e->features, 2);
  ASSERT_EQ(flags.bull[38], 1);
  for (std::size_t i = 0; i < 60; ++i) {
    if (i != 38) {
      ASSERT_EQ(flags.bull[i] + flags.bear[i], 0) << i;
    }
  }
  // Pivot 2, entry: fair-value gap (a) / order block (b) / immediate (c), gap size 0.1 ATR,
  // max_wait 10, no filter, any session, both sides.
  for (const char* cand : {"4-aaabaaaaab", "4-abbbaaaaab"}) {
    const strategy::StrategyView v = strategy::resolve(id(cand), e->inputs());
    for (std::size_t k = 2; k < 60; ++k) {
      // Bar 42 is the first return into the zone; bar 45 comes back after it: spent.
      EXPECT_EQ(strategy::decide(v, k), k == 42 ? 1 : 0) << cand << " @" << k;
    }
  }
  const strategy::StrategyView now = strategy::resolve(id("4-acabaaaaab"), e->inputs());
  for (std::size_t k = 2; k < 60; ++k) EXPECT_EQ(strategy::decide(now, k), k == 38 ? 1 : 0) << k;

  // Without the dip at 42, the one at 45 is the first return: a signal with max_wait 10,
  // none with max_wait 5 (the break lies 7 bars back).
  const auto late = make_engine(choch_bars({45}));
  for (const char* cand : {"4-aaabaaaaab", "4-abbbaaaaab"}) {
    EXPECT_EQ(strategy::decide(strategy::resolve(id(cand), late->inputs()), 45), 1) << cand;
  }
  for (const char* cand : {"4-aaaaaaaaab", "4-abaaaaaaab"}) {
    EXPECT_EQ(strategy::decide(strategy::resolve(id(cand), late->inputs()), 45), 0) << cand;
  }
  // The order-block variant trades it: entry at the open of 46.
  const bt::BacktestRun r = run(*late, "4-abbbaaaaab", exec_with());
  ASSERT_FALSE(r.trades.empty());
  EXPECT_EQ(r.trades[0].entry_bar, 46u);
  EXPECT_EQ(r.trades[0].side, 1);
}

// A view that reads the rules themselves instead of the signal tables.
strategy::StrategyView by_rule(strategy::StrategyView v) {
  v.signal = {};
  v.channel = {};
  v.pullback = {};
  return v;
}

class SyntheticEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    engine_ = make_engine(data::generate_synthetic(3000, 3)).release();
  }
  static void TearDownTestSuite() { delete engine_; }
  static std::vector<strategy::Candidate> random_candidates(std::size_t per_family) {
    core::SplitMix64 rng(11);
    std::vector<strategy::Candidate> out;
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      for (std::size_t i = 0; i < per_family;) {
        const strategy::Candidate c = strategy::random_candidate(f, rng);
        if (strategy::is_valid(c)) {
          out.push_back(c);
          ++i;
        }
      }
    }
    return out;
  }
  static testkit::Engine* engine_;
};
testkit::Engine* SyntheticEngine::engine_ = nullptr;

TEST_F(SyntheticEngine, FastSummaryEqualsFullRunExactly) {
  const core::Exec ex = exec_with(1);
  std::array<std::uint32_t, strategy::kFamilies> trades{};
  for (const strategy::Candidate& c : random_candidates(40)) {
    for (const auto& [start, end] : {std::pair<std::size_t, std::size_t>{0, 3000}, {700, 2100}}) {
      const bt::BacktestRun full = bt::run_full(c, engine_->inputs(), kMnq, ex, start, end);
      bt::SegmentSummary fast;
      bt::run_fast(c, engine_->inputs(), kMnq, ex, start, end, fast);
      ASSERT_EQ(fast, full.summary) << strategy::format_id(c);
      ASSERT_EQ(full.trades.size(), fast.trades);
      ASSERT_EQ(full.close_curve.size(), fast.bars);
      trades[c.family] += fast.trades;
    }
  }
  for (std::uint32_t t : trades) EXPECT_GT(t, 0u);  // every family actually traded
}

TEST_F(SyntheticEngine, SignalTablesReproduceTheRulesOnEveryBar) {
  // Also on bars with undefined and zero prices.
  data::BarSeries bad = engine_->bars;
  core::SplitMix64 rng(5);
  for (std::size_t i = 20; i < bad.size(); ++i) {
    const double u = rng.uniform();
    if (u < 0.02) (u < 0.01 ? bad.low : bad.high)[i] = std::nan("");
    if (u > 0.99) set_bar(bad, i, 0.0, 0.0, 0.0, 0.0);
  }
  for (std::size_t i = 2500; i < 2510; ++i) bad.close[i] = std::nan("");
  const auto degenerate = make_engine(std::move(bad));
  for (const testkit::Engine* e : {engine_, degenerate.get()}) {
    std::array<std::uint64_t, strategy::kFamilies> signals{};
    for (const strategy::Candidate& c : random_candidates(60)) {
      const strategy::StrategyView v = strategy::resolve(c, e->inputs());
      const strategy::StrategyView rule = by_rule(v);
      for (std::size_t k = 2; k < e->bars.size(); ++k) {
        const int d = strategy::decide(v, k);
        ASSERT_EQ(d, strategy::decide(rule, k)) << strategy::format_id(c) << " @" << k;
        signals[c.family] += d != 0;
      }
    }
    for (std::uint64_t n : signals) EXPECT_GT(n, 0u);
  }
}

TEST_F(SyntheticEngine, DecisionsAndClosedTradesIgnoreLaterBars) {
  constexpr std::size_t kCut = 2200;
  data::BarSeries cut = engine_->bars;
  for (auto* col : {&cut.open, &cut.high, &cut.low, &cut.close, &cut.volume}) col->resize(kCut);
  cut.ts.resize(kCut);
  const auto truncated = make_engine(std::move(cut));
  const core::Exec ex = exec_with();
  for (const strategy::Candidate& c : random_candidates(20)) {
    const strategy::StrategyView a = strategy::resolve(c, engine_->inputs());
    const strategy::StrategyView b = strategy::resolve(c, truncated->inputs());
    for (std::size_t k = 2; k < kCut; ++k) {
      ASSERT_EQ(strategy::decide(a, k), strategy::decide(b, k))
          << strategy::format_id(c) << " @" << k;
    }
    const auto full = bt::run_full(c, engine_->inputs(), kMnq, ex, 0, 3000).trades;
    const auto part = bt::run_full(c, truncated->inputs(), kMnq, ex, 0, kCut).trades;
    for (std::size_t i = 0; i < part.size() && part[i].exit_bar + 1 < kCut; ++i) {
      ASSERT_LT(i, full.size());
      EXPECT_EQ(part[i].exit_bar, full[i].exit_bar);
      EXPECT_EQ(part[i].r, full[i].r);
      EXPECT_EQ(part[i].regime_trend, full[i].regime_trend);
    }
  }
}

TEST_F(SyntheticEngine, FastRunsAllocateNothing) {
  const auto candidates = random_candidates(4);
  bt::SegmentSummary s;
  for (const auto& c : candidates)
    bt::run_fast(c, engine_->inputs(), kMnq, exec_with(), 0, 3000, s);
  const std::uint64_t before = core::allocation_count();
  for (const auto& c : candidates)
    bt::run_fast(c, engine_->inputs(), kMnq, exec_with(), 0, 3000, s);
  EXPECT_EQ(core::allocation_count(), before);
  // The counter does count: a vector allocates.
  std::vector<int>* v = new std::vector<int>(10);
  EXPECT_GT(core::allocation_count(), before);
  delete v;
}
