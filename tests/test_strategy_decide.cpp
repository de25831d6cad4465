// Family rules on hand-made series, and the session and regime gates of real bars.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <vector>

#include "bt_fixture.hpp"
#include "core/splitmix.hpp"
#include "data/synthetic.hpp"
#include "strategy/decide.hpp"
#include "strategy/lattice.hpp"

using namespace varnek;
using strategy::decide;
using strategy::StrategyView;

namespace {

const double kNaN = std::nan("");

// A view that admits both sides on every bar; the tests fill in the family's series.
struct ViewData {
  std::vector<double> a, b, c, open, high, low, close, atr;
  std::vector<std::uint8_t> gate, bull, bear;
  std::vector<std::int32_t> prev_bull, prev_bear;
  explicit ViewData(std::size_t n)
      : a(n, kNaN),
        b(n, kNaN),
        c(n, kNaN),
        open(n, 10.0),
        high(n, 11.0),
        low(n, 9.0),
        close(n, 10.0),
        atr(n, 1.0),
        gate(n, 3),
        bull(n, 0),
        bear(n, 0),
        prev_bull(n, -1),
        prev_bear(n, -1) {}
  StrategyView view(std::uint8_t family, bool shorts) const {
    StrategyView v;
    v.family = family;
    v.primary = a;
    v.secondary = b;
    v.pullback_ema = c;
    v.breakout_high = a;
    v.breakout_low = b;
    v.open = open;
    v.high = high;
    v.low = low;
    v.close = close;
    v.atr = atr;
    v.gate = gate;
    v.bull_breaks = bull;
    v.bear_breaks = bear;
    v.prev_bull = prev_bull;
    v.prev_bear = prev_bear;
    v.shorts_allowed = shorts;
    return v;
  }
  // Break flags at the given bars, with the "last break before k" tables derived by hand.
  void breaks(std::size_t bull_at, std::size_t bear_at) {
    bull[bull_at] = 1;
    bear[bear_at] = 1;
    for (std::size_t k = 0; k < bull.size(); ++k) {
      prev_bull[k] = k > bull_at ? static_cast<std::int32_t>(bull_at) : -1;
      prev_bear[k] = k > bear_at ? static_cast<std::int32_t>(bear_at) : -1;
    }
  }
};

}  // namespace

TEST(Decide, EmaCrossSignalsOnlyOnTheCrossingBar) {
  ViewData d(7);
  d.a = {kNaN, 1, 2, 2, 1, 1, 3};
  d.b = {kNaN, 1, 1, 2, 2, 2, 2};
  const StrategyView both = d.view(1, true), longs = d.view(1, false);
  EXPECT_EQ(decide(both, 2), 1);   // previous bar equal counts as below
  EXPECT_EQ(decide(both, 3), 0);   // equal now: no cross
  EXPECT_EQ(decide(both, 4), -1);  // previous bar equal counts as above
  EXPECT_EQ(decide(longs, 4), 0);
  EXPECT_EQ(decide(both, 5), 0);  // still below: not a crossing bar
  EXPECT_EQ(decide(both, 6), 1);
  d.a[1] = kNaN;
  EXPECT_EQ(decide(d.view(1, true), 2), 0);  // undefined previous value
}

TEST(Decide, DonchianAndRsiThresholds) {
  ViewData d(5);
  d.a = {kNaN, kNaN, 12.0, 12.0, 12.0};
  d.b = {kNaN, kNaN, 8.0, 8.0, 8.0};
  d.close = {10, 10, 12.5, 12.0, 7.5};
  EXPECT_EQ(decide(d.view(2, true), 2), 1);
  EXPECT_EQ(decide(d.view(2, true), 3), 0);  // strictly above
  EXPECT_EQ(decide(d.view(2, true), 4), -1);
  EXPECT_EQ(decide(d.view(2, false), 4), 0);
  d.a[2] = kNaN;  // no channel yet: a huge close does not signal
  d.close[2] = 1e9;
  EXPECT_EQ(decide(d.view(2, true), 2), 0);

  ViewData r(6);
  r.a = {kNaN, kNaN, 29.9, 30.0, 70.0, 70.1};
  StrategyView v = r.view(3, true);
  v.level_a = 30.0;
  v.level_b = 70.0;
  EXPECT_EQ(decide(v, 2), 1);
  EXPECT_EQ(decide(v, 3), 0);
  EXPECT_EQ(decide(v, 4), 0);
  EXPECT_EQ(decide(v, 5), -1);
  v.shorts_allowed = false;
  EXPECT_EQ(decide(v, 5), 0);
}

TEST(Decide, PullbackBreakoutNeedsATouchInTheWindow) {
  ViewData d(10);
  d.a.assign(10, 2.0);  // trend EMAs (primary > secondary), also the channel's high
  d.b.assign(10, 1.0);
  d.c.assign(10, 8.0);  // pullback EMA
  d.close[9] = 12.0;    // above breakout_high... which is `a`: raise it past the channel
  d.a[9] = 2.0;
  StrategyView v = d.view(0, true);
  v.window = 3;
  v.level_a = 0.5;
  // Window j = 6..8: lows 9.0 are above 8.0 + 0.5 * atr: no pullback.
  EXPECT_EQ(decide(v, 9), 0);
  d.low[6] = 8.5;                            // touches the tolerance band
  EXPECT_EQ(decide(d.view(0, true), 9), 0);  // view above still has window 0
  v = d.view(0, true);
  v.window = 3;
  v.level_a = 0.5;
  EXPECT_EQ(decide(v, 9), 1);
  v.window = 2;  // bar 6 falls outside the window
  EXPECT_EQ(decide(v, 9), 0);
}

TEST(Decide, StructureBreakDirectionAndZones) {
  // A bullish break at 3, a bearish one at 6: a long-only variant gets nothing at 8,
  // even with the older bullish break inside the span.
  ViewData d(12);
  d.breaks(3, 6);
  StrategyView v = d.view(4, false);
  v.entry_mode = 1;
  v.window = 10;
  EXPECT_EQ(decide(v, 8), 0);

  // Order block: a bullish break at 5 after a bearish candle at 4 (zone 8.5 .. 10.5).
  ViewData ob(12);
  ob.breaks(5, 11);
  ob.open[4] = 10.0;
  ob.close[4] = 9.0;
  ob.high[4] = 10.5;
  ob.low[4] = 8.5;
  for (std::size_t i = 5; i < 12; ++i) {
    ob.low[i] = 11.0;
    ob.high[i] = 12.0;
    ob.close[i] = 11.5;
    ob.open[i] = 11.5;
  }
  ob.low[8] = 10.2;  // first return into the zone, closing above its low
  StrategyView o = ob.view(4, true);
  o.entry_mode = 1;
  o.window = 5;
  EXPECT_EQ(decide(o, 8), 1);
  EXPECT_EQ(decide(o, 9), 0);  // bar 8 touched the zone: the setup is spent
  o.window = 2;
  EXPECT_EQ(decide(o, 8), 0);  // the break lies outside max_wait
  ob.low[7] = 10.4;
  o = ob.view(4, true);
  o.entry_mode = 1;
  o.window = 5;
  EXPECT_EQ(decide(o, 8), 0);  // an earlier touch spent it

  // Immediate entry reads the current bar's flags; NaN ATR blocks everything.
  ViewData im(6);
  im.bull[4] = 1;
  StrategyView i = im.view(4, true);
  i.entry_mode = 2;
  EXPECT_EQ(decide(i, 4), 1);
  EXPECT_EQ(decide(i, 5), 0);
  im.atr[4] = kNaN;
  i = im.view(4, true);
  i.entry_mode = 2;
  EXPECT_EQ(decide(i, 4), 0);
}

TEST(DecisionTables, SessionsAndRegimeViews) {
  // Hourly bars opening at hh:30 from Monday 00:30 UTC.
  data::BarSeries b = testkit::flat_bars(48);
  for (auto& t : b.ts) t += 1800;
  const auto e = testkit::make_engine(b);
  const auto& session3 = e->tables.gate[0 * 4 + 3];
  EXPECT_EQ(session3[12], 0);  // 12:30 is outside 13:00-20:00
  EXPECT_EQ(session3[13], strategy::kLongOk | strategy::kShortOk);
  EXPECT_EQ(e->tables.gate[0 * 4 + 1][6], 3);  // 06:30 in 00:00-07:00
  EXPECT_EQ(e->tables.gate[0 * 4 + 1][7], 0);

  // A daily base series builds no view: every filtered gate is closed.
  data::BarSeries daily = testkit::flat_bars(40);
  for (std::size_t i = 0; i < daily.size(); ++i) daily.ts[i] = 1599436800 + i * 86400;
  daily.timeframe_secs = 86400;
  const auto dd = testkit::make_engine(daily);
  for (std::size_t f = 1; f < 4; ++f) {
    for (std::size_t k = 0; k < daily.size(); ++k) EXPECT_EQ(dd->tables.gate[f * 4][k], 0);
  }
  EXPECT_EQ(dd->tables.gate[0][5], 3);

  // A four-hour base has a daily view and no four-hour one: both trend filters read D1.
  data::BarSeries h4 = testkit::flat_bars(400);
  for (std::size_t i = 0; i < h4.size(); ++i) {
    h4.ts[i] = 1599436800 + i * 14400;
    const double p = 100.0 + static_cast<double>(i);  // a steady rise: bullish daily trend
    testkit::set_bar(h4, i, p, p + 0.5, p - 0.5, p + 0.25);
  }
  h4.timeframe_secs = 14400;
  const auto e4 = testkit::make_engine(h4);
  ASSERT_TRUE(e4->features.d1.has_value());
  ASSERT_FALSE(e4->features.h4.has_value());
  EXPECT_EQ(e4->tables.gate[1 * 4][399], strategy::kLongOk);
  EXPECT_EQ(e4->tables.gate[2 * 4][399], strategy::kLongOk);
  EXPECT_EQ(e4->tables.gate[3 * 4][399], 0);
  EXPECT_EQ(e4->tables.gate[2 * 4][0], 0);  // no daily bar has closed yet
}

// A candidate's own tables over its own lengths decide as the whole lattice's do, for every
// family, on hourly bars and on four-hour bars (whose trend EMAs come from the daily view).
TEST(DecisionTables, ACandidatesOwnTablesDecideAsTheLattices) {
  for (const std::int64_t timeframe : {3600, 14400}) {
    data::BarSeries bars = data::generate_synthetic(2500, 5);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      bars.ts[i] = bars.ts[0] + static_cast<std::int64_t>(i) * timeframe;
    }
    bars.timeframe_secs = timeframe;
    const auto whole = testkit::make_engine(bars);
    core::SplitMix64 rng(9);
    for (std::uint8_t family = 0; family < strategy::kFamilies; ++family) {
      for (int draw = 0; draw < 12; ++draw) {
        const strategy::Candidate c = strategy::random_candidate(family, rng);
        const htf::FeatureSet fs = htf::build_feature_set(bars, strategy::candidate_lengths(c));
        const strategy::DecisionTables own = strategy::build_candidate_tables(bars, fs, c);
        const StrategyView mine = strategy::resolve(c, {bars, fs, own});
        const StrategyView all = strategy::resolve(c, whole->inputs());
        for (std::size_t k = 2; k < bars.size(); ++k) {
          ASSERT_EQ(decide(mine, k), decide(all, k)) << strategy::format_id(c) << " bar " << k;
        }
      }
    }
  }
}

// Built kind by kind, holding one kind's series at a time, the tables are those built from
// every series at once, byte for byte; the set is left without series and still resolves
// every candidate to the same decisions. Hourly, four-hour and daily bars (no trend view).
TEST(DecisionTables, BuiltKindByKindTheyAreTheSameAndTheSeriesGone) {
  for (const std::int64_t timeframe : {3600, 14400, 86400}) {
    data::BarSeries bars = data::generate_synthetic(1500, 8);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      bars.ts[i] = bars.ts[0] + static_cast<std::int64_t>(i) * timeframe;
    }
    bars.timeframe_secs = timeframe;
    bars.close[700] = kNaN;
    bars.low[701] = 0.0;
    // One worker against all of them: the tasks that build the tables must not matter.
    htf::FeatureSet full;
    strategy::DecisionTables want;
    tbb::task_arena(1).execute([&] {
      full = htf::build_feature_set(bars, strategy::feature_lengths());
      want = strategy::build_decision_tables(bars, full);
    });
    htf::FeatureSet lean = htf::build_feature_set(bars, {});
    const strategy::DecisionTables got =
        strategy::build_decision_tables_dropping_series(bars, lean);

    EXPECT_TRUE(lean.series_dropped);
    EXPECT_TRUE(lean.ema.empty() && lean.highest.empty() && lean.lowest.empty() &&
                lean.rsi.empty());
    for (const auto* view : {&lean.h1, &lean.h4, &lean.d1}) {
      if (view->has_value()) {
        EXPECT_TRUE((*view)->ema.empty());
      }
    }
    ASSERT_EQ(got.signals.size(), want.signals.size()) << timeframe;
    for (std::size_t i = 0; i < want.signals.size(); ++i) {
      const strategy::SignalTable &g = got.signals[i], &w = want.signals[i];
      EXPECT_TRUE(g.kind == w.kind && g.entry_mode == w.entry_mode && g.a == w.a &&
                  g.b == w.b && g.window == w.window && g.level == w.level &&
                  g.bits.words == w.bits.words)
          << timeframe << " table " << i;
    }
    EXPECT_EQ(got.table_of, want.table_of);
    EXPECT_EQ(got.gate, want.gate);
    EXPECT_EQ(got.prev_bull, want.prev_bull);
    EXPECT_EQ(got.prev_bear, want.prev_bear);

    core::SplitMix64 rng(21);
    for (std::uint8_t family = 0; family < strategy::kFamilies; ++family) {
      for (int draw = 0; draw < 8; ++draw) {
        const strategy::Candidate c = strategy::random_candidate(family, rng);
        const StrategyView a = strategy::resolve(c, {bars, lean, got});
        const StrategyView b = strategy::resolve(c, {bars, full, want});
        EXPECT_TRUE(a.primary.empty() && a.secondary.empty());
        for (std::size_t k = 2; k < bars.size(); ++k) {
          ASSERT_EQ(decide(a, k), decide(b, k)) << strategy::format_id(c) << " bar " << k;
        }
      }
    }
  }
}

TEST(SignalCount, CountsBarsFromTwoOn) {
  data::BarSeries b = testkit::flat_bars(2);
  const auto tiny = testkit::make_engine(b);
  const strategy::Candidate all[] = {testkit::id("2-a"), testkit::id("3-a")};
  EXPECT_EQ(strategy::signal_count(all, tiny->inputs()), 0u);
  // RSI(2) of a flat series: no loss at all gives 100, above 90: a short every bar from 2
  // for the long-and-short variant, nothing for the long-only one.
  const auto flat = testkit::make_engine(testkit::flat_bars(30));
  const strategy::Candidate rsi[] = {testkit::id("3-aaaaaaab"), testkit::id("3-aaaaaaaa")};
  EXPECT_EQ(strategy::signal_count(rsi, flat->inputs()), 28u);
}
