// The split, the evaluation context's test lock and counters, and the ranking score.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <limits>

#include "bt_fixture.hpp"
#include "data/synthetic.hpp"
#include "search/evaluate.hpp"

using namespace varnek;
using search::SegmentRef;

TEST(Split, FractionsTruncate) {
  const search::Split s = search::make_split(1000, 0.6, 0.2);
  EXPECT_EQ(s.train.start, 0u);
  EXPECT_EQ(s.train.end, 600u);
  EXPECT_EQ(s.validation.start, 600u);
  EXPECT_EQ(s.validation.end, 800u);
  EXPECT_EQ(s.test.start, 800u);
  EXPECT_EQ(s.test.end, 1000u);
  EXPECT_EQ(search::make_split(999, 0.7, 0.0).train.end, 699u);  // 699.3
  EXPECT_EQ(search::to_index(std::nan("")), 0u);
  EXPECT_EQ(search::to_index(-3.5), 0u);
  EXPECT_EQ(search::to_index(1e30), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(core::to_compact(search::to_json(s)),
            R"({"test":[800,1000],"train":[0,600],"validation":[600,800]})");
}

TEST(SearchScore, BelowThresholdAndTStatistic) {
  bt::SegmentSummary s;
  EXPECT_EQ(search::search_score(s, 30), -3.0);
  s.trades = 15;
  EXPECT_EQ(search::search_score(s, 30), -2.0);
  // 30 equal results: no variance, so only the drawdown term remains.
  bt::SummaryBuilder same;
  for (int i = 0; i < 30; ++i) same.add_trade(-0.5);
  EXPECT_DOUBLE_EQ(search::search_score(same.summary, 30), -0.02 * 15.0);
  bt::SummaryBuilder mixed;
  for (int i = 0; i < 200; ++i) mixed.add_trade(i % 2 == 0 ? 1.1 : -0.9);
  const double sd = std::sqrt(200.0 / 199.0);
  EXPECT_NEAR(search::search_score(mixed.summary, 30),
              0.1 / sd * 10.0 - 0.02 * mixed.summary.max_dd_r, 1e-12);
}

class LockedContext : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = testkit::make_engine(data::generate_synthetic(2000, 5));
    ctx_.reset(new search::EvalContext{engine_->bars, engine_->features, engine_->tables,
                                       core::preset_market("NQ"), core::default_spec().exec,
                                       search::make_split(2000, 0.6, 0.2), 30});
  }
  std::unique_ptr<testkit::Engine> engine_;
  std::unique_ptr<search::EvalContext> ctx_;
};

TEST_F(LockedContext, CountersAndCustomRanges) {
  const auto key = testkit::id("2-a");
  const bt::SegmentSummary s = search::evaluate(*ctx_, key, SegmentRef::train(), ctx_->exec);
  EXPECT_EQ(ctx_->evaluations.load(), 1u);
  EXPECT_EQ(ctx_->bars_simulated.load(), s.bars);
  EXPECT_EQ(s.bars, 1199u);  // bars 1 .. 1199 of the train segment
  // A custom range may end exactly where validation ends.
  search::evaluate(*ctx_, key, SegmentRef::range(1500, 1600), ctx_->exec);
  EXPECT_EQ(ctx_->evaluations.load(), 2u);
  EXPECT_DEATH(search::evaluate(*ctx_, key, SegmentRef::range(1500, 1601), ctx_->exec),
               "custom segment reaches into the locked TEST set");
}

TEST_F(LockedContext, OnlyFrozenKeysReachTheTestSet) {
  const strategy::Candidate keys[] = {testkit::id("2-a"), testkit::id("3-b")};
  const search::FrozenSet frozen = search::freeze(keys);
  EXPECT_GT(frozen.frozen_at, 1700000000u);
  search::evaluate(*ctx_, keys[1], SegmentRef::test(frozen), ctx_->exec);
  search::evaluate(*ctx_, keys[1], SegmentRef::test(frozen), ctx_->exec);
  EXPECT_EQ(ctx_->test_evaluations.load(), 2u);
  const search::Range r = search::resolve_segment(*ctx_, keys[0], SegmentRef::test(frozen));
  EXPECT_EQ(r.start, 1600u);
  EXPECT_EQ(r.end, 2000u);
  EXPECT_DEATH(search::evaluate(*ctx_, testkit::id("1-aa"), SegmentRef::test(frozen), ctx_->exec),
               "TEST evaluation of a candidate that was not frozen");
}

TEST_F(LockedContext, ScoreBatchKeepsOrderAndSkipsInvalidKeys) {
  std::vector<strategy::Candidate> keys;
  for (std::uint64_t i = 0; i < 60; ++i) keys.push_back(strategy::enumerate(1, i * 97));
  std::size_t invalid = 0;
  for (const auto& k : keys) invalid += !strategy::is_valid(k);
  ASSERT_GT(invalid, 0u);
  std::vector<search::Scored> one, two;
  tbb::task_arena(1).execute([&] { one = search::score_batch(*ctx_, keys, SegmentRef::train()); });
  EXPECT_EQ(ctx_->evaluations.load(), keys.size() - invalid);
  tbb::task_arena(2).execute([&] { two = search::score_batch(*ctx_, keys, SegmentRef::train()); });
  ASSERT_EQ(one.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(one[i].key, keys[i]);
    EXPECT_EQ(one[i].score, two[i].score);
    if (!strategy::is_valid(keys[i])) {
      EXPECT_EQ(one[i].score, -5.0);
    }
  }
}

TEST_F(LockedContext, ScoreBatchScoresAndCountsAsOneEvaluationEach) {
  // Every stop level of one entry stream (they share a signal list), keys of other
  // streams and an invalid key, on each kind of segment a batch takes at once.
  std::vector<strategy::Candidate> keys;
  const strategy::Candidate base = testkit::id("2-a");
  const std::size_t stop = strategy::param_position(base.family, "stop_atr");
  for (std::uint8_t s = 0; s < strategy::value_count(base.family, stop); ++s) {
    strategy::Candidate c = base;
    c.idx[stop] = s;
    keys.push_back(c);
  }
  for (std::uint64_t i = 0; i < 40; ++i) keys.push_back(strategy::enumerate(1, i * 89));
  for (const SegmentRef& segment :
       {SegmentRef::train(), SegmentRef::validation(), SegmentRef::range(300, 1600)}) {
    ctx_->evaluations = 0;
    ctx_->bars_simulated = 0;
    const std::vector<search::Scored> batch = search::score_batch(*ctx_, keys, segment);
    const std::uint64_t evaluations = ctx_->evaluations, bars = ctx_->bars_simulated;
    ctx_->evaluations = 0;
    ctx_->bars_simulated = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const double alone =
          strategy::is_valid(keys[i])
              ? search::search_score(search::evaluate(*ctx_, keys[i], segment, ctx_->exec),
                                     ctx_->min_trades)
              : -5.0;
      EXPECT_EQ(batch[i].score, alone) << i;
    }
    EXPECT_EQ(evaluations, ctx_->evaluations.load());
    EXPECT_EQ(bars, ctx_->bars_simulated.load());
    EXPECT_GT(bars, 0u);
  }
}
