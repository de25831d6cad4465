// How fan-outs are cut between processes, and the byte form their records travel in.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "research/cluster.hpp"
#include "research/wire.hpp"
#include "rf/forest.hpp"
#include "strategy/lattice.hpp"

using namespace varnek;
using research::wire::Reader;
using research::wire::Writer;

namespace {

struct FixedCluster final : research::Cluster {
  explicit FixedCluster(std::vector<int> threads) : Cluster(0, std::move(threads)) {}
};

}  // namespace

// Shares are contiguous, in rank order, cover every input once and follow the threads.
TEST(Cluster, SharesFollowTheThreadsOfEachRank) {
  const struct {
    std::vector<int> threads;
    std::size_t n;
    std::vector<std::size_t> ends;
  } cases[] = {
      {{2}, 7, {7}},
      {{1, 1}, 7, {3, 7}},
      {{2, 2, 2, 2}, 10, {2, 5, 7, 10}},
      {{4, 2, 2}, 8, {4, 6, 8}},
      {{1, 3}, 0, {0, 0}},
      {{2, 2, 2}, 2, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    const FixedCluster cluster(c.threads);
    std::size_t begin = 0;
    for (int r = 0; r < cluster.size(); ++r) {
      const auto [first, last] = cluster.share(c.n, r);
      EXPECT_EQ(first, begin) << c.n << " inputs, rank " << r;
      EXPECT_EQ(last, c.ends[r]) << c.n << " inputs, rank " << r;
      begin = last;
    }
  }
}

// Numbers travel bit for bit, negative zero and NaN included, and a forest predicts the
// same after the trip.
TEST(Wire, RecordsComeBackBitForBit) {
  bt::SegmentSummary s;
  s.net_r = -0.0;
  s.sum_sq_r = std::numeric_limits<double>::quiet_NaN();
  s.gross_profit_r = 1e-310;
  s.max_dd_r = -3.25;
  s.trades = 7;
  s.size_skips = 2;
  const strategy::Candidate key = strategy::enumerate(4, 123);

  std::vector<rf::Row> rows;
  std::vector<float> targets;
  for (std::uint64_t i = 0; i < 200; ++i) {
    const strategy::Candidate c = strategy::enumerate(static_cast<std::uint8_t>(i % 5), i);
    rows.push_back(strategy::feature_vector(c));
    targets.push_back(static_cast<float>(i % 7) - 3.0f);
  }
  rf::ForestParams params;
  params.n_trees = 8;
  const rf::Forest forest = rf::train(rows, targets, params);

  Writer w;
  research::wire::put(w, s);
  research::wire::put(w, key);
  research::wire::put(w, forest);
  Reader r(w.bytes());
  bt::SegmentSummary s2;
  strategy::Candidate key2;
  rf::Forest forest2;
  research::wire::get(r, s2);
  research::wire::get(r, key2);
  research::wire::get(r, forest2);
  r.expect_end();

  EXPECT_TRUE(std::signbit(s2.net_r));
  EXPECT_TRUE(std::isnan(s2.sum_sq_r));
  EXPECT_EQ(s2.gross_profit_r, 1e-310);
  EXPECT_EQ(s2.max_dd_r, -3.25);
  EXPECT_EQ(s2.trades, 7u);
  EXPECT_EQ(s2.size_skips, 2u);
  EXPECT_EQ(key2.family, key.family);
  EXPECT_EQ(key2.idx, key.idx);
  const std::vector<strategy::Candidate> keys{key, strategy::enumerate(1, 9)};
  EXPECT_EQ(rf::predict_batch(forest2, keys, 0.5f), rf::predict_batch(forest, keys, 0.5f));
}

TEST(WireDeath, AMessageCutShortStopsTheProcess) {
  Writer w;
  w.put_count(3);  // three items announced, none sent
  EXPECT_DEATH(
      {
        Reader r(w.bytes());
        research::wire::get_list<strategy::Candidate>(r);
      },
      "malformed message between processes");
}
