// Lookahead audit: cut arithmetic, kept decisions, the comparison and its stop rule, the
// verdict, and the audit on an honest and on a peeking feature set.
#include <gtest/gtest.h>

#include <memory>

#include "bt_fixture.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"
#include "search/evaluate.hpp"
#include "validate/lookahead.hpp"

using namespace varnek;
using testkit::id;
using validate::Decision;
using validate::LookaheadResult;

namespace {

bt::Trade trade(std::uint64_t entry, std::uint64_t exit, std::int8_t side = 1) {
  bt::Trade t;
  t.entry_bar = entry;
  t.exit_bar = exit;
  t.side = side;
  return t;
}

// n trades entered every 20 bars from bar 10, each closing 5 bars later.
std::vector<bt::Trade> regular(std::size_t n) {
  std::vector<bt::Trade> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(trade(10 + 20 * i, 15 + 20 * i));
  return out;
}

constexpr const char* kPassed =
    "aucune décision ne change quand on retire les données futures (4 coupures testées)";

std::unique_ptr<search::EvalContext> context(const testkit::Engine& e) {
  return std::unique_ptr<search::EvalContext>(new search::EvalContext{
      e.bars, e.features, e.tables, core::preset_market("ES"), core::default_spec().exec,
      search::make_split(e.bars.size(), 0.6, 0.2), 30});
}

}  // namespace

TEST(LookaheadCuts, FractionsOfTheValidationEnd) {
  EXPECT_EQ(validate::lookahead_cut(0.35, 1000), 350u);
  EXPECT_EQ(validate::lookahead_cut(0.5, 1000), 500u);
  EXPECT_EQ(validate::lookahead_cut(0.65, 1000), 650u);
  EXPECT_EQ(validate::lookahead_cut(0.8, 1000), 800u);
  EXPECT_EQ(validate::lookahead_cut(0.35, 999), 349u);  // 349.65 truncates
  EXPECT_EQ(validate::lookahead_cut(0.5, 0), 0u);
}

TEST(LookaheadCuts, TradesClosedTwoBarsBeforeTheCut) {
  const std::vector<bt::Trade> trades = {trade(300, 310, -1), trade(340, 347), trade(347, 348)};
  const auto kept = validate::decisions_before(trades, 350);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], (Decision{300, -1}));
  EXPECT_EQ(kept[1], (Decision{340, 1}));
  EXPECT_EQ(validate::decisions_before(trades, 312).size(), 0u);
  EXPECT_EQ(validate::decisions_before(trades, 313).size(), 1u);
}

TEST(LookaheadCuts, TruncatedCopies) {
  const data::BarSeries bars = data::generate_synthetic(50, 3);
  data::BarSeries daily = bars;
  daily.timeframe_secs = 86400;
  const data::BarSeries cut = validate::truncate_bars(daily, 20);
  EXPECT_EQ(cut.timeframe_secs, 86400);
  for (const auto* col : {&cut.open, &cut.high, &cut.low, &cut.close, &cut.volume}) {
    ASSERT_EQ(col->size(), 20u);
  }
  ASSERT_EQ(cut.ts.size(), 20u);
  EXPECT_EQ(cut.ts[19], bars.ts[19]);
  EXPECT_EQ(cut.close[19], bars.close[19]);
  EXPECT_EQ(cut.high[0], bars.high[0]);
  EXPECT_EQ(validate::truncate_bars(bars, 80).size(), 50u);
}

TEST(CompareCuts, MatchingRunsPass) {
  const auto reference = regular(40);  // up to bar 795
  std::vector<std::uint64_t> cuts;
  const LookaheadResult r = validate::compare_cuts(reference, 1000, [&](std::uint64_t cut) {
    cuts.push_back(cut);
    // The same trades up to the cut, then an end-of-data exit that does not count.
    std::vector<bt::Trade> t = reference;
    std::erase_if(t, [&](const bt::Trade& x) { return x.exit_bar >= cut; });
    t.push_back(trade(cut - 3, cut - 1, -1));
    return t;
  });
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.detail_fr, kPassed);
  EXPECT_EQ(cuts, (std::vector<std::uint64_t>{350, 500, 650, 800}));
}

TEST(CompareCuts, NoTradesBeforeACutMatches) {
  const LookaheadResult r =
      validate::compare_cuts({}, 1000, [](std::uint64_t) { return std::vector<bt::Trade>{}; });
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.detail_fr, kPassed);
}

TEST(CompareCuts, FirstDifferenceStops) {
  // 12 reference trades, all closed by bar 235; the truncated run at 500 lost the last one,
  // the one at 350 did not.
  const auto reference = regular(12);
  std::vector<std::uint64_t> cuts;
  const LookaheadResult r = validate::compare_cuts(reference, 1000, [&](std::uint64_t cut) {
    cuts.push_back(cut);
    return regular(cut == 500 ? 11 : 12);
  });
  EXPECT_FALSE(r.passed);
  EXPECT_EQ(r.detail_fr, "décisions différentes avant la coupure à 50 % (12 vs 11 trades)");
  EXPECT_EQ(cuts, (std::vector<std::uint64_t>{350, 500}));
}

TEST(CompareCuts, ADifferentSideWithEqualCounts) {
  const auto reference = regular(40);
  const LookaheadResult r = validate::compare_cuts(reference, 1000, [&](std::uint64_t cut) {
    auto t = validate::decisions_before(reference, cut);
    std::vector<bt::Trade> out = regular(t.size());
    out[3].side = -1;
    return out;
  });
  EXPECT_FALSE(r.passed);
  // 17 trades close before bar 348 (exit 15 + 20 i < 348).
  EXPECT_EQ(r.detail_fr, "décisions différentes avant la coupure à 35 % (17 vs 17 trades)");
}

TEST(LookaheadVerdict, PassFailAndNotTested) {
  const LookaheadResult ok{true, kPassed};
  auto v = validate::lookahead_verdict(&ok);
  EXPECT_EQ(v.status, "PASS");
  EXPECT_EQ(v.why_fr, kPassed);
  const LookaheadResult bad{false, "décisions différentes avant la coupure à 65 % (3 vs 4 trades)"};
  v = validate::lookahead_verdict(&bad);
  EXPECT_EQ(v.status, "FAIL");
  EXPECT_EQ(v.why_fr, bad.detail_fr);
  v = validate::lookahead_verdict(nullptr);
  EXPECT_EQ(v.status, "FAIL");
  EXPECT_EQ(v.why_fr, "non testé");
  EXPECT_EQ(core::to_compact(validate::to_json(bad)),
            R"j({"detail_fr":"décisions différentes avant la coupure à 65 % (3 vs 4 trades)",)j"
            R"j("passed":false})j");
}

TEST(LookaheadAudit, HonestFeaturesPassForEveryFamily) {
  auto engine = testkit::make_engine(data::generate_synthetic(6000, 11));
  auto ctx = context(*engine);
  const std::uint64_t validation_end = ctx->split.validation.end;
  std::size_t kept = 0;
  std::uint64_t audits = 0;
  for (const char* text :
       {"0-aaaaaaaaaaaa", "1-abaaaaaa", "2-aaaaaaa", "3-cbabbaab", "4-aaaaaaaaaa"}) {
    const auto key = id(text);
    const auto reference =
        bt::run_full(key, ctx->inputs(), ctx->market, ctx->exec, 0, validation_end);
    kept += validate::decisions_before(reference.trades, validation_end * 35 / 100).size();
    const LookaheadResult r = validate::lookahead_audit(*ctx, key);
    ++audits;
    EXPECT_TRUE(r.passed) << text << ": " << r.detail_fr;
    EXPECT_EQ(r.detail_fr, kPassed);
    // The reference run and four truncated runs.
    EXPECT_EQ(ctx->evaluations.load(), 5 * audits);
  }
  EXPECT_GT(kept, 20u);  // the first cut already compares real trades
  EXPECT_EQ(ctx->test_evaluations.load(), 0u);
}

TEST(LookaheadAudit, PeekingFeaturesAreCaught) {
  // Features computed from the next bar's prices: the full-data run sees one bar ahead, the
  // rebuilt truncated features do not.
  const data::BarSeries bars = data::generate_synthetic(6000, 11);
  data::BarSeries ahead = bars;
  for (std::size_t i = 0; i + 1 < bars.size(); ++i) {
    ahead.open[i] = bars.open[i + 1];
    ahead.high[i] = bars.high[i + 1];
    ahead.low[i] = bars.low[i + 1];
    ahead.close[i] = bars.close[i + 1];
  }
  auto engine = std::make_unique<testkit::Engine>();
  engine->bars = bars;
  engine->features = htf::build_feature_set(ahead, strategy::feature_lengths());
  engine->tables = strategy::build_decision_tables(engine->bars, engine->features);
  auto ctx = context(*engine);
  const LookaheadResult r = validate::lookahead_audit(*ctx, id("2-aaaaaaa"));
  EXPECT_FALSE(r.passed);
  EXPECT_EQ(r.detail_fr.rfind("décisions différentes avant la coupure à ", 0), 0u) << r.detail_fr;
}
