#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "core/splitmix.hpp"
#include "rf/forest.hpp"

using namespace varnek;
using namespace varnek::rf;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Data {
  std::vector<Row> rows;
  std::vector<float> targets;
};

// Continuous features in [-1, 1) and a target with a few interactions, all from one seed.
Data sample_data(std::size_t n, std::uint64_t seed) {
  core::SplitMix64 rng(seed);
  Data d;
  for (std::size_t i = 0; i < n; ++i) {
    Row x;
    for (float& v : x) v = static_cast<float>(rng.uniform() * 2.0 - 1.0);
    d.rows.push_back(x);
    d.targets.push_back(x[0] * 3.0f + (x[4] > 0.2f ? 2.0f : -1.0f) + x[9] * x[11] +
                        static_cast<float>(rng.uniform()) * 0.3f);
  }
  return d;
}

// The sample slots tree t of a forest draws, replayed from the generator's definition; the
// generator is left ready for the first feature draw.
std::vector<std::size_t> bootstrap(core::SplitMix64& rng, std::size_t n) {
  std::vector<std::size_t> slots(n);
  for (std::size_t& s : slots) s = rng.next() % n;
  return slots;
}

float bootstrap_mean(const std::vector<std::size_t>& slots, const std::vector<float>& targets) {
  float sum = 0.0f;
  for (std::size_t s : slots) sum += targets[s];
  return sum / static_cast<float>(slots.size());
}

// Nodes in the subtree at i; checks the pre-order links on the way.
std::size_t subtree_size(const Tree& tree, std::size_t i, std::uint64_t depth,
                         std::uint64_t max_depth) {
  EXPECT_LT(i, tree.size());
  const TreeNode& n = tree[i];
  if (n.feature < 0) {
    EXPECT_EQ(n.feature, -1);
    return 1;
  }
  EXPECT_LT(n.feature, 17);
  EXPECT_LT(depth, max_depth);
  EXPECT_EQ(n.left, i + 1);
  const std::size_t left = subtree_size(tree, n.left, depth + 1, max_depth);
  EXPECT_EQ(n.right, i + 1 + left);
  return 1 + left + subtree_size(tree, n.right, depth + 1, max_depth);
}

void expect_same_forest(const Forest& a, const Forest& b) {
  ASSERT_EQ(a.trees.size(), b.trees.size());
  for (std::size_t t = 0; t < a.trees.size(); ++t) {
    ASSERT_EQ(a.trees[t].size(), b.trees[t].size()) << "tree " << t;
    for (std::size_t i = 0; i < a.trees[t].size(); ++i) {
      const TreeNode &x = a.trees[t][i], &y = b.trees[t][i];
      EXPECT_EQ(x.feature, y.feature);
      EXPECT_EQ(std::memcmp(&x.threshold, &y.threshold, sizeof(float)), 0);
      EXPECT_EQ(x.left, y.left);
      EXPECT_EQ(x.right, y.right);
      EXPECT_EQ(std::memcmp(&x.value, &y.value, sizeof(float)), 0);
    }
  }
}

TreeNode leaf(float value) {
  return TreeNode{-1, 0.0f, 0, 0, value};
}
TreeNode split(std::int16_t feature, float threshold, std::uint32_t left, std::uint32_t right) {
  return TreeNode{feature, threshold, left, right, 0.0f};
}

}  // namespace

TEST(RfTrain, FiveRowsWithMinLeafThreeStayOneLeafHoldingTheBootstrapMean) {
  const Data d = sample_data(5, 1);
  // A seed whose seed * 1000 + t wraps around 2^64.
  const ForestParams params{.n_trees = 16, .seed = 0xFFFFFFFFFFFFFFF0ull};
  const Forest forest = train(d.rows, d.targets, params);
  ASSERT_EQ(forest.trees.size(), 16u);
  EXPECT_EQ(node_count(forest), 16u);
  for (std::uint64_t t = 0; t < 16; ++t) {
    core::SplitMix64 rng(params.seed * 1000 + t);
    ASSERT_EQ(forest.trees[t].size(), 1u);
    EXPECT_EQ(forest.trees[t][0].feature, -1);
    EXPECT_EQ(forest.trees[t][0].value, bootstrap_mean(bootstrap(rng, 5), d.targets)) << t;
  }
}

TEST(RfTrain, ObviousSplitLandsAtTheMidpointWhenItsFeatureIsDrawn) {
  // Only feature 7 varies: 0.05 and 0.1 carry target 0, 0.7 and 0.9 carry 10. Whatever the
  // bootstrap counts, the cut between 0.1 and 0.7 scores 100 * (right count), strictly
  // above the other two cuts.
  Data d;
  const float xs[] = {0.05f, 0.7f, 0.1f, 0.9f};
  for (std::size_t i = 0; i < 100; ++i) {
    Row x{};
    x[7] = xs[i % 4];
    d.rows.push_back(x);
    d.targets.push_back(x[7] > 0.5f ? 10.0f : 0.0f);
  }
  const ForestParams params{.n_trees = 32, .max_depth = 1, .seed = 3};
  const Forest forest = train(d.rows, d.targets, params);
  std::size_t split_trees = 0;
  for (std::uint64_t t = 0; t < params.n_trees; ++t) {
    core::SplitMix64 rng(params.seed * 1000 + t);
    const auto slots = bootstrap(rng, 100);
    bool drawn = false;
    for (int k = 0; k < 5; ++k) drawn = drawn || rng.next() % 17 == 7;
    const Tree& tree = forest.trees[t];
    EXPECT_EQ(tree[0].value, bootstrap_mean(slots, d.targets));
    if (!drawn) {
      EXPECT_EQ(tree.size(), 1u) << t;
      continue;
    }
    ++split_trees;
    ASSERT_EQ(tree.size(), 3u) << t;
    EXPECT_EQ(tree[0].feature, 7);
    // (0.1f + 0.7f) * 0.5f; 0.1f + (0.7f - 0.1f) * 0.5f would round differently.
    EXPECT_EQ(tree[0].threshold, 0.400000006f);
    EXPECT_EQ(tree[1].value, 0.0f);
    EXPECT_EQ(tree[2].value, 10.0f);
  }
  EXPECT_GT(split_trees, 0u);
}

TEST(RfTrain, RootSplitMaximisesTheScoreOverTheDrawnFeatures) {
  // Features on a coarse grid (many ties) and targets of mixed magnitudes; each root is
  // recomputed from the definition with std::stable_sort. 15 rows exercise the short
  // sorts, 300 the long ones.
  for (const std::size_t n : {15u, 300u}) {
    core::SplitMix64 gen(n);
    Data d;
    for (std::size_t i = 0; i < n; ++i) {
      Row x;
      for (float& v : x) v = static_cast<float>(gen.below(6)) * 0.25f;
      d.rows.push_back(x);
      d.targets.push_back(static_cast<float>(gen.uniform() - 0.3) *
                          std::pow(10.0f, static_cast<float>(gen.below(5))));
    }
    const ForestParams params{.n_trees = 40, .max_depth = 1, .min_leaf = 2, .seed = n};
    const Forest forest = train(d.rows, d.targets, params);
    for (std::uint64_t t = 0; t < params.n_trees; ++t) {
      core::SplitMix64 rng(params.seed * 1000 + t);
      const auto slots = bootstrap(rng, n);
      float total = 0.0f;
      for (std::size_t s : slots) total += d.targets[s];
      int best_f = -1;
      float best_score = 0.0f, best_thr = 0.0f;
      for (int k = 0; k < 5; ++k) {
        const auto f = static_cast<int>(rng.next() % 17);
        std::vector<std::pair<float, float>> pairs;
        for (std::size_t s : slots) pairs.emplace_back(d.rows[s][f], d.targets[s]);
        std::stable_sort(pairs.begin(), pairs.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        float left = 0.0f;
        for (std::size_t l = 1; l < n; ++l) {
          left += pairs[l - 1].second;
          if (l < 2 || n - l < 2 || pairs[l - 1].first == pairs[l].first) continue;
          const float right = total - left;
          const float score =
              left * left / static_cast<float>(l) + right * right / static_cast<float>(n - l);
          if (best_f < 0 || score > best_score) {
            best_f = f;
            best_score = score;
            best_thr = (pairs[l - 1].first + pairs[l].first) * 0.5f;
          }
        }
      }
      const Tree& tree = forest.trees[t];
      ASSERT_EQ(tree[0].feature, best_f) << "n " << n << " tree " << t;
      if (best_f < 0) continue;
      EXPECT_EQ(tree[0].threshold, best_thr);
      float sums[2] = {0.0f, 0.0f};
      std::size_t counts[2] = {0, 0};
      for (std::size_t s : slots) {
        const int side = d.rows[s][best_f] <= best_thr ? 0 : 1;
        sums[side] += d.targets[s];
        ++counts[side];
      }
      EXPECT_EQ(tree[1].value, sums[0] / static_cast<float>(counts[0]));
      EXPECT_EQ(tree[2].value, sums[1] / static_cast<float>(counts[1]));
    }
  }
}

TEST(RfTrain, AdjacentValuesSplitAtTheLowerOneWhenTheMidpointRoundsUp) {
  // (lo + hi) * 0.5f rounds to hi here, which would send every sample left.
  const float lo = 1.0f + std::ldexp(1.0f, -23), hi = 1.0f + std::ldexp(1.0f, -22);
  ASSERT_EQ((lo + hi) * 0.5f, hi);
  Data d;
  for (int i = 0; i < 40; ++i) {
    Row x{};
    x.fill(lo + hi);  // other features constant
    x[4] = i % 2 == 0 ? lo : hi;
    d.rows.push_back(x);
    d.targets.push_back(i % 2 == 0 ? 0.0f : 8.0f);
  }
  std::size_t split_trees = 0;
  for (const Tree& tree : train(d.rows, d.targets, {.n_trees = 8, .max_depth = 1}).trees) {
    if (tree.size() == 1) continue;
    ++split_trees;
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree[0].threshold, lo);
    EXPECT_EQ(tree[1].value, 0.0f);
    EXPECT_EQ(tree[2].value, 8.0f);
  }
  EXPECT_GT(split_trees, 0u);
}

namespace {

// Replays tree construction where features 2 and 9 are one and the same informative column
// with a distinct value per row (every other feature constant): a node's samples are then
// the bootstrap slots whose value lies in the interval its ancestors' thresholds leave.
struct Replay {
  const Data& d;
  const ForestParams& params;
  core::SplitMix64& rng;
  const std::vector<std::size_t>& slots;
  const Tree& tree;

  void node(std::size_t i, std::uint64_t depth, float lo, float hi) {
    std::vector<std::size_t> in;  // sample order
    float sum = 0.0f;
    for (std::size_t s : slots) {
      const float x = d.rows[s][2];
      if (x > lo && x <= hi) {
        in.push_back(s);
        sum += d.targets[s];
      }
    }
    const TreeNode& n = tree[i];
    EXPECT_EQ(n.value, sum / static_cast<float>(std::max<std::size_t>(in.size(), 1)));
    if (depth >= params.max_depth || in.size() < 2 * params.min_leaf) {
      EXPECT_EQ(n.feature, -1) << "node " << i;  // and no feature drawn
      return;
    }
    int first = -1;
    for (std::uint64_t k = 0; k < params.n_try; ++k) {
      const auto f = static_cast<int>(rng.next() % 17);
      if (first < 0 && (f == 2 || f == 9)) first = f;
    }
    if (first < 0) {
      EXPECT_EQ(n.feature, -1) << "node " << i;
      return;
    }
    // Any position with distinct values on both sides and min_leaf samples per side?
    std::vector<float> xs;
    for (std::size_t s : in) xs.push_back(d.rows[s][2]);
    std::sort(xs.begin(), xs.end());
    bool splittable = false;
    for (std::size_t l = params.min_leaf; l + params.min_leaf <= xs.size(); ++l) {
      splittable = splittable || xs[l - 1] != xs[l];
    }
    // Both copies of the column score the same: the first drawn wins.
    EXPECT_EQ(n.feature, splittable ? first : -1) << "node " << i;
    if (n.feature < 0) return;
    node(n.left, depth + 1, lo, n.threshold);
    node(n.right, depth + 1, n.threshold, hi);
  }
};

}  // namespace

TEST(RfTrain, DrawOrderIsBootstrapThenFeatureDrawsOfSplittableNodesInPreOrder) {
  Data d;
  for (int i = 0; i < 60; ++i) {
    Row x{};
    x[2] = x[9] = static_cast<float>((i * 37) % 60) / 60.0f;
    d.rows.push_back(x);
    d.targets.push_back(static_cast<float>((i * 37) % 7) + (x[2] > 0.5f ? 4.0f : 0.0f) + 0.1f);
  }
  const ForestParams params{.n_trees = 24, .max_depth = 5, .min_leaf = 3, .seed = 11};
  const Forest forest = train(d.rows, d.targets, params);
  std::size_t inner = 0;
  for (std::uint64_t t = 0; t < params.n_trees; ++t) {
    core::SplitMix64 rng(params.seed * 1000 + t);
    const auto slots = bootstrap(rng, d.rows.size());
    Replay{d, params, rng, slots, forest.trees[t]}.node(0, 0, -kInf, kInf);
    for (const TreeNode& n : forest.trees[t]) inner += n.feature >= 0;
  }
  EXPECT_GT(inner, 20u);
}

TEST(RfTrain, ConstantFeaturesOfferNoSplit) {
  Data d = sample_data(300, 2);
  for (Row& x : d.rows) x.fill(0.5f);
  for (const Tree& tree : train(d.rows, d.targets, {.n_trees = 8}).trees) {
    EXPECT_EQ(tree.size(), 1u);
  }
  // With one varying feature, every split is on it.
  for (std::size_t i = 0; i < d.rows.size(); ++i) d.rows[i][2] = d.targets[i];
  const Forest forest = train(d.rows, d.targets, {.n_trees = 8});
  EXPECT_GT(node_count(forest), 8u);
  for (const Tree& tree : forest.trees) {
    for (const TreeNode& n : tree) EXPECT_TRUE(n.feature == -1 || n.feature == 2);
  }
}

TEST(RfTrain, TreesAreInPreOrderWithinTheDepthLimit) {
  const Data d = sample_data(800, 3);
  const ForestParams params{.n_trees = 12, .max_depth = 7, .seed = 9};
  const Forest forest = train(d.rows, d.targets, params);
  std::size_t total = 0;
  for (const Tree& tree : forest.trees) {
    EXPECT_EQ(subtree_size(tree, 0, 0, params.max_depth), tree.size());
    EXPECT_GT(tree.size(), 1u);
    total += tree.size();
  }
  EXPECT_EQ(node_count(forest), total);
}

TEST(RfTrain, SameDataAndSeedGiveTheSameForestOnOneOrTwoWorkers) {
  const Data d = sample_data(600, 4);
  const ForestParams params{.n_trees = 24, .seed = 77};
  Forest one, two;
  tbb::task_arena(1).execute([&] { one = train(d.rows, d.targets, params); });
  tbb::task_arena(2).execute([&] { two = train(d.rows, d.targets, params); });
  expect_same_forest(one, two);
  EXPECT_GT(node_count(one), 24u);
}

TEST(RfTrain, RowsBeforeTheLast20000HaveNoInfluence) {
  const Data recent = sample_data(kMaxTrainingRows, 5);
  Data all;
  // Older rows that would abort the training if any of them were read.
  for (int i = 0; i < 300; ++i) {
    Row x;
    x.fill(kNaN);
    all.rows.push_back(x);
    all.targets.push_back(1e6f);
  }
  all.rows.insert(all.rows.end(), recent.rows.begin(), recent.rows.end());
  all.targets.insert(all.targets.end(), recent.targets.begin(), recent.targets.end());
  const ForestParams params{.n_trees = 3, .max_depth = 5, .seed = 1};
  expect_same_forest(train(all.rows, all.targets, params),
                     train(recent.rows, recent.targets, params));
}

TEST(RfTrainDeathTest, NaNFeatureAndLengthMismatchAreInternalErrors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Data d = sample_data(20, 6);
  for (Row& x : d.rows) x.fill(kNaN);
  EXPECT_DEATH(train(d.rows, d.targets, {.n_trees = 1, .min_leaf = 1}),
               "rf: NaN feature value in training rows");
  d.targets.pop_back();
  EXPECT_DEATH(train(d.rows, d.targets, {}), "rf: rows and targets differ in length");
}

TEST(RfPredict, NoTreesPredictZero) {
  const Forest none;
  const Row x{};
  EXPECT_EQ(predict(none, x, 1.0f), 0.0f);
  EXPECT_EQ(predict_mean(none, x), 0.0f);
  const std::vector<strategy::Candidate> cands(3);
  EXPECT_EQ(predict_batch(none, cands, 0.5f), std::vector<float>(3, 0.0f));
}

TEST(RfPredict, EqualLeavesGiveTheirValueWithZeroSpread) {
  // Six leaves of 0.3f summed in float give a mean that is not 0.3f and a spread of about
  // 1e-4 from rounding alone; 63 leaves of -2966.45483f leave a rounding error of 2e-9 in
  // a plain double mean of squares minus squared mean. The prediction must still be
  // exactly the leaf value, whatever k.
  for (const auto& [trees, v] : {std::pair{6, 0.3f}, {63, -2966.45483f}, {64, 4097.3f}}) {
    Forest forest;
    forest.trees.assign(trees - 1, Tree{leaf(v)});
    forest.trees.push_back({split(0, 0.5f, 1, 2), leaf(v), leaf(v)});
    for (int laid_out = 0; laid_out < 2; ++laid_out) {
      if (laid_out == 1) build_layout(forest);
      for (float x0 : {0.0f, 1.0f}) {
        Row x{};
        x[0] = x0;
        EXPECT_EQ(predict_mean(forest, x), v);
        EXPECT_EQ(predict(forest, x, 100.0f), v) << v;
      }
    }
  }
}

TEST(RfPredict, MeanPlusKPopulationSpreads) {
  // Leaves 1, 1, 3, 3: mean 2, population sd 1.
  Forest forest;
  forest.trees = {{leaf(1.0f)}, {leaf(1.0f)}, {leaf(3.0f)}, {leaf(3.0f)}};
  build_layout(forest);
  EXPECT_EQ(predict_mean(forest, Row{}), 2.0f);
  EXPECT_EQ(predict(forest, Row{}, 0.5f), 2.5f);
  EXPECT_EQ(predict(forest, Row{}, 1.0f), 3.0f);
  EXPECT_EQ(predict(forest, Row{}, 0.0f), 2.0f);
}

TEST(RfPredict, RoutingGoesLeftOnEqualityAndRightOnNaN) {
  // x3 <= 0.5 -> 1; else x6 <= -1 -> 2; else 3.
  Forest forest;
  forest.trees = {
      {split(3, 0.5f, 1, 2), leaf(1.0f), split(6, -1.0f, 3, 4), leaf(2.0f), leaf(3.0f)}};
  const auto at = [](float x3, float x6) {
    Row x{};
    x[3] = x3;
    x[6] = x6;
    return x;
  };
  for (int laid_out = 0; laid_out < 2; ++laid_out) {
    if (laid_out == 1) build_layout(forest);
    EXPECT_EQ(predict_mean(forest, at(0.5f, 0.0f)), 1.0f);
    EXPECT_EQ(predict_mean(forest, at(-kInf, 0.0f)), 1.0f);
    EXPECT_EQ(predict_mean(forest, at(0.50001f, -1.0f)), 2.0f);
    EXPECT_EQ(predict_mean(forest, at(kInf, -0.9f)), 3.0f);
    EXPECT_EQ(predict_mean(forest, at(kNaN, -2.0f)), 2.0f);
    EXPECT_EQ(predict_mean(forest, at(kNaN, kNaN)), 3.0f);
  }
}

TEST(RfPredict, LaidOutForestPredictsBitForBitAsTheNodeWalk) {
  // Half the trees too deep to be laid out: they keep the node walk.
  const Data d = sample_data(3000, 8);
  Forest forest = train(d.rows, d.targets, {.n_trees = 8, .max_depth = 14, .seed = 5});
  for (Tree& tree : train(d.rows, d.targets, {.n_trees = 8, .seed = 6}).trees) {
    forest.trees.push_back(std::move(tree));
  }
  build_layout(forest);
  std::size_t deep = 0;
  for (const LaidOutTree& lt : forest.layout.trees) deep += lt.depth > kMaxLaidOutDepth;
  ASSERT_GT(deep, 0u);
  ASSERT_LT(deep, forest.trees.size());
  Forest nodes_only{forest.trees, {}};
  std::vector<Row> probes(d.rows.begin(), d.rows.begin() + 500);
  // Values sitting exactly on thresholds, and the special ones.
  for (const Tree& tree : forest.trees) {
    for (const TreeNode& n : tree) {
      if (n.feature < 0) continue;
      Row x = d.rows[probes.size() % d.rows.size()];
      x[n.feature] = n.threshold;
      probes.push_back(x);
    }
  }
  for (float special : {kNaN, kInf, -kInf, -0.0f, 0.0f}) {
    for (std::size_t f = 0; f < kFeatures; ++f) {
      Row x = d.rows[f];
      x[f] = special;
      probes.push_back(x);
    }
  }
  for (const Row& x : probes) {
    const float a = predict(forest, x, 0.75f), b = predict(nodes_only, x, 0.75f);
    ASSERT_EQ(std::memcmp(&a, &b, sizeof(float)), 0);
    EXPECT_EQ(predict_mean(forest, x), predict_mean(nodes_only, x));
  }
}

#if defined(__x86_64__)
// The lane walk is compiled for processors that can fuse a multiply and an add; fused, its
// d * d + sum would round once where the single-row path rounds twice.
__attribute__((target("fma"))) double square_plus(double d, double s) {
  return d * d + s;
}

TEST(RfPredict, ProductAndSumRoundTwiceWhereTheProcessorCouldFuseThem) {
  if (!__builtin_cpu_supports("fma")) GTEST_SKIP() << "no fused multiply-add here";
  const volatile double d = 1.0 + 0x1p-30, s = -(1.0 + 0x1p-29);
  EXPECT_EQ(square_plus(d, s), 0.0);  // fused: 2^-60, the square's lost low bits
}
#endif

TEST(RfPredict, BatchKeepsInputOrderAndMatchesSingleRowsOnAnyWorkerCount) {
  // Train on candidate features, as the search does.
  core::SplitMix64 rng(21);
  std::vector<strategy::Candidate> cands;
  Data d;
  for (std::size_t i = 0; i < 1500 + 37; ++i) {
    const auto family = static_cast<std::uint8_t>(rng.below(strategy::kFamilies));
    cands.push_back(strategy::random_candidate(family, rng));
    d.rows.push_back(strategy::feature_vector(cands.back()));
    d.targets.push_back(d.rows.back()[5 + i % 7] * 2.0f + static_cast<float>(rng.uniform()));
  }
  // A key outside the lattice still predicts from its features.
  cands[100].idx[0] = 200;
  const auto check = [&](const Forest& forest) {
    std::vector<float> one, two;
    tbb::task_arena(1).execute([&] { one = predict_batch(forest, cands, 1.0f); });
    tbb::task_arena(2).execute([&] { two = predict_batch(forest, cands, 1.0f); });
    ASSERT_EQ(one.size(), cands.size());
    EXPECT_EQ(one, two);
    for (std::size_t i = 0; i < cands.size(); ++i) {
      ASSERT_EQ(one[i], predict(forest, strategy::feature_vector(cands[i]), 1.0f)) << i;
    }
    // The same through the node walk alone, and through each vector unit the processor has.
    EXPECT_EQ(predict_batch(Forest{forest.trees, {}}, cands, 1.0f), one);
    for (const BatchWalk walk : {BatchWalk::avx512, BatchWalk::avx2, BatchWalk::rows}) {
      EXPECT_EQ(predict_batch(forest, cands, 1.0f, walk), one);
    }
  };
  // Whole groups of vector lanes, a short last group of trees of unequal depths, and groups
  // of every depth around the levels held in registers and the two levels a step decides.
  for (const ForestParams params : {ForestParams{.n_trees = 32, .seed = 2},
                                    ForestParams{.n_trees = 41, .max_depth = 6, .seed = 3},
                                    ForestParams{.n_trees = 16, .max_depth = 1, .seed = 4},
                                    ForestParams{.n_trees = 16, .max_depth = 2, .seed = 5},
                                    ForestParams{.n_trees = 16, .max_depth = 3, .seed = 6},
                                    ForestParams{.n_trees = 16, .max_depth = 4, .seed = 9},
                                    ForestParams{.n_trees = 16, .max_depth = 5, .seed = 7}}) {
    const Forest forest =
        train(std::span(d.rows).first(1000), std::span(d.targets).first(1000), params);
    EXPECT_EQ(forest.layout.lanes.groups.size(), (params.n_trees + kLanes - 1) / kLanes);
    check(forest);
  }
  // Trained on continuous features: a few shallow trees need more cut bits than half a
  // register (AVX2 then picks each bit's word from both halves); deeper ones outnumber a
  // register's bits and get no lanes.
  const Data wide = sample_data(2000, 8);
  const Forest few = train(wide.rows, wide.targets, {.n_trees = 6, .max_depth = 6, .seed = 8});
  EXPECT_GT(few.layout.lanes.bit_count, kCutBits / 2);
  EXPECT_EQ(few.layout.lanes.groups.size(), 1u);
  check(few);
  const Forest forest = train(wide.rows, wide.targets, {.n_trees = 16, .seed = 8});
  EXPECT_TRUE(forest.layout.lanes.groups.empty());
  check(forest);
}
