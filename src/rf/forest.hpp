#pragma once
// Random-forest surrogate: regression trees that map a candidate's 17 features to a
// predicted score, with the spread between trees as an uncertainty bonus.
//
// Training is single precision and every draw comes from one SplitMix64 per tree, so a
// forest depends only on its rows, targets and parameters, never on the number of workers
// that built it. Predictions accumulate in double (see below) and are returned as floats.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "strategy/lattice.hpp"

namespace varnek::rf {

inline constexpr std::size_t kFeatures = 17;
// Only the most recent rows train a forest (the last ones appended).
inline constexpr std::size_t kMaxTrainingRows = 20000;

using Row = std::array<float, kFeatures>;

struct ForestParams {
  std::uint64_t n_trees = 64;
  std::uint64_t max_depth = 10;
  std::uint64_t min_leaf = 3;
  std::uint64_t n_try = 5;  // features drawn (with replacement) per node
  std::uint64_t seed = 0;
};

// One node of a tree. A leaf has feature -1; an inner node sends x left when
// x[feature] <= threshold. Every node carries the mean target of its training samples.
struct TreeNode {
  std::int16_t feature = -1;
  float threshold = 0.0f;
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  float value = 0.0f;
};

// Nodes in pre-order: the root at 0, then the whole left subtree (so left = index + 1),
// then the right subtree.
using Tree = std::vector<TreeNode>;

// Prediction layout derived from the trees: each shallow tree padded to a complete
// binary tree of its own depth (a leaf above that depth repeats its value over the
// padded subtree), so a walk is a fixed number of branch-free steps over heap positions
// p -> 2p + (x goes right). Thresholds become ranks in per-feature lists of cuts, so a
// step compares integers. Trees deeper than kMaxLaidOutDepth keep the node walk.
inline constexpr std::uint32_t kMaxLaidOutDepth = 12;

struct LaidOutTree {
  std::uint32_t depth = 0;       // levels to walk; above kMaxLaidOutDepth: walk the nodes
  std::size_t split_offset = 0;  // 2^depth words: unused, then the splits in heap order
  std::size_t leaf_offset = 0;   // 2^depth leaf values, left to right
};

// Batch layout for the vector walks: the laid-out trees in groups of kLanes, one tree per
// 32-bit vector lane, so that one fetch brings a split word for the whole group (AVX-512
// gathers a group into one register, AVX2 loads it in two halves of 8 lanes).
// A split is named by its cut bit: feature f owns bits bit_base[f] + s for s = 0 .. (its
// cut count), and a row sets bit bit_base[f] + s exactly when s is below its rank for f, so
// the row goes right at split s of f exactly when that bit is set (s = 0, the NaN threshold,
// and padding, is always set). A row's cut bits fill one 512-bit register; a forest whose
// cuts need more has no lanes. The split word at heap position p holds the cut bits of p
// and of its two children, 9 bits each (p | left << 9 | right << 18; children on the last
// level are 0), so one gather decides two levels. Every tree of a group is laid out to the
// group's depth (the deepest of them; padded as above); the lanes of a short last group
// hold splits 0 and leaves 0 that are never summed. Heap position p of lane l is word
// kLanes * p + l of the group's splits, leaf position q (left to right) value kLanes * q + l
// of its leaves.
inline constexpr std::uint32_t kLanes = 16;
inline constexpr std::uint32_t kCutBits = 512;

struct LaneGroup {
  std::uint32_t depth = 0;
  std::uint32_t trees = 0;       // kLanes but maybe in the last group
  std::size_t split_offset = 0;  // kLanes * 2^depth words
  std::size_t leaf_offset = 0;   // kLanes * 2^depth values
};

struct LaneLayout {
  std::vector<LaneGroup> groups;  // empty when some tree keeps the node walk or cuts overflow
  std::array<std::uint32_t, kFeatures> bit_base{};
  std::uint32_t bit_count = 0;  // cut bits in use, the last feature's field included
  std::vector<std::uint32_t> splits;
  std::vector<float> leaves;
};

struct ForestLayout {
  std::vector<LaidOutTree> trees;
  // Per feature, the distinct non-NaN thresholds of the laid-out trees, ascending.
  std::array<std::vector<float>, kFeatures> cuts;
  // One word per split, (1 + index of its threshold in cuts, 0 for NaN) << 32 | feature,
  // so that a walk step reads both with a single load.
  std::vector<std::uint64_t> splits;
  std::vector<float> leaves;
  LaneLayout lanes;
};

// The trees are the model; `layout` only speeds prediction up and gives bit-identical
// results. A forest whose layout does not cover its trees (one assembled by hand)
// predicts by walking the nodes.
struct Forest {
  std::vector<Tree> trees;
  ForestLayout layout;
};

// Trains n_trees trees in parallel, one task per tree, collected in index order. Uses
// only the last kMaxTrainingRows rows. Rows and targets of different lengths, and a NaN
// feature met while searching a split, are internal errors.
Forest train(std::span<const Row> rows, std::span<const float> targets, const ForestParams& params);

// Rebuilds forest.layout from forest.trees.
void build_layout(Forest& forest);

// Prediction precision: the leaf values reached are summed in tree order in double and the
// result is rounded to float once. The sum of equal floats is exact there, so a forest
// whose leaves all hold v predicts exactly v with sd 0, which float sums do not guarantee.

// Mean of the leaf values reached: their sum divided by max(n_trees, 1); 0 without trees.
float predict_mean(const Forest& forest, const Row& x);

// mean + k * sd, sd being the population spread of the leaf values over the trees:
// sqrt(max(0, mean of squares - squared mean)), taken on deviations from the first
// tree's leaf so that it does not cancel away. 0 without trees.
float predict(const Forest& forest, const Row& x, float k);

// The vector unit a batch walks its lane groups with: the widest the processor has, or one
// named, so that each can be checked against the others. A unit the processor lacks, or a
// forest without lanes, walks the rows tree by tree. Every choice gives the same floats.
enum class BatchWalk : std::uint8_t { widest, avx512, avx2, rows };

// predict() for each candidate's feature vector, in parallel over index ranges; output i
// belongs to candidates[i].
std::vector<float> predict_batch(const Forest& forest,
                                 std::span<const strategy::Candidate> candidates, float k,
                                 BatchWalk walk = BatchWalk::widest);

// Total nodes over all trees.
std::size_t node_count(const Forest& forest);

}  // namespace varnek::rf
