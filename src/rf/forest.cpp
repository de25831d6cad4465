#include "rf/forest.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "core/fatal.hpp"
#include "core/splitmix.hpp"

// The batch walk over lane groups is compiled for AVX-512 and for AVX2, and the widest the
// processor has is taken (asked once at run time); elsewhere the rows walk the trees one by
// one.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARNEK_RF_LANES 1
#include <immintrin.h>
#endif

namespace varnek::rf {

static_assert(strategy::kFeatureDims == kFeatures);

namespace {

// Lists up to this length are sorted by insertion; longer ones by a bottom-up merge whose
// first pass insertion-sorts runs of this length.
constexpr std::size_t kInsertionMax = 20;
constexpr std::size_t kRun = 16;

struct Pair {
  float x = 0.0f;
  float y = 0.0f;
};

// Stable: an element moves left only past strictly greater keys.
void insertion_sort(Pair* a, std::size_t n) {
  for (std::size_t i = 1; i < n; ++i) {
    const Pair v = a[i];
    std::size_t j = i;
    while (j > 0 && a[j - 1].x > v.x) {
      a[j] = a[j - 1];
      --j;
    }
    a[j] = v;
  }
}

// Stable merge of [a, a+na) and [b, b+nb) into out: ties take the left run first. The
// choice is a select rather than a branch, which would mispredict half the time.
void merge(const Pair* a, std::size_t na, const Pair* b, std::size_t nb, Pair* out) {
  const Pair* a_end = a + na;
  const Pair* b_end = b + nb;
  while (a != a_end && b != b_end) {
    const bool take_b = b->x < a->x;
    *out++ = *(take_b ? b : a);
    b += take_b;
    a += !take_b;
  }
  out = std::copy(a, a_end, out);
  std::copy(b, b_end, out);
}

// Stable ascending sort of a[0..n) by x; tmp holds at least n pairs.
void stable_sort_pairs(Pair* a, Pair* tmp, std::size_t n) {
  if (n <= kInsertionMax) {
    insertion_sort(a, n);
    return;
  }
  for (std::size_t s = 0; s < n; s += kRun) insertion_sort(a + s, std::min(kRun, n - s));
  Pair* src = a;
  Pair* dst = tmp;
  for (std::size_t width = kRun; width < n; width *= 2) {
    for (std::size_t s = 0; s < n; s += 2 * width) {
      const std::size_t mid = std::min(s + width, n);
      const std::size_t end = std::min(s + 2 * width, n);
      merge(src + s, mid - s, src + mid, end - mid, dst + s);
    }
    std::swap(src, dst);
  }
  if (src != a) std::copy(src, src + n, a);
}

// Training columns whose values are few (candidate features take a handful of levels) are
// also held as codes: the rank of each value among the column's distinct values, NaN coded
// as the count of them. Sorting a node's pairs by code, stably, puts them in exactly the order of a
// stable sort by value (equal values, -0 and +0 included, share a code), in linear time.
constexpr std::size_t kMaxCodes = 254;
constexpr std::size_t kStreams = 4;
// Split searches of this many feature draws share one scan.
constexpr std::size_t kScanLanes = 5;

struct Columns {
  std::vector<float> values;  // feature-major: values[f * n + row]
  std::vector<std::uint8_t> codes;
  std::array<std::size_t, kFeatures> code_count{};  // 0: the column is not coded
};

Columns make_columns(std::span<const Row> rows) {
  const std::size_t n = rows.size();
  Columns c;
  c.values.resize(kFeatures * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t f = 0; f < kFeatures; ++f) c.values[f * n + i] = rows[i][f];
  }
  c.codes.assign(kFeatures * n, 0);
  std::vector<float> distinct;
  for (std::size_t f = 0; f < kFeatures; ++f) {
    const float* column = c.values.data() + f * n;
    distinct.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isnan(column[i])) distinct.push_back(column[i]);
    }
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.empty() || distinct.size() > kMaxCodes) continue;
    c.code_count[f] = distinct.size();
    std::uint8_t* codes = c.codes.data() + f * n;
    for (std::size_t i = 0; i < n; ++i) {
      codes[i] = static_cast<std::uint8_t>(
          std::isnan(column[i])
              ? distinct.size()
              : std::lower_bound(distinct.begin(), distinct.end(), column[i]) - distinct.begin());
    }
  }
  return c;
}

// One tree's construction state. Node samples live as contiguous ranges of `samples`:
// partitioning a range in place keeps each child's samples in their current order.
class TreeBuilder {
 public:
  TreeBuilder(const Columns& columns, std::span<const float> targets, const ForestParams& params,
              std::uint64_t tree)
      : columns_(columns.values.data()),
        codes_(columns.codes.data()),
        code_count_(columns.code_count),
        targets_(targets.data()),
        n_(targets.size()),
        params_(params),
        rng_(params.seed * 1000 + tree),
        samples_(n_),
        spill_(n_),
        pairs_tmp_(n_) {
    for (std::vector<Pair>& lane : pairs_) lane.resize(n_);
  }

  Tree build() {
    for (std::uint32_t& s : samples_) s = static_cast<std::uint32_t>(rng_.below(n_));
    Tree nodes;
    nodes.reserve(256);

    // Explicit stack instead of recursion: a deep tree cannot exhaust a worker's stack.
    // The left child is pushed last so that it is built first (pre-order).
    struct Task {
      std::size_t begin, end;
      std::uint64_t depth;
      std::uint32_t parent;
      bool right;
    };
    std::vector<Task> stack;
    stack.push_back({0, n_, 0, 0, false});
    while (!stack.empty()) {
      const Task task = stack.back();
      stack.pop_back();
      const auto self = static_cast<std::uint32_t>(nodes.size());
      if (task.right) nodes[task.parent].right = self;

      const std::size_t count = task.end - task.begin;
      float total = 0.0f;
      for (std::size_t k = task.begin; k < task.end; ++k) total += targets_[samples_[k]];
      TreeNode node;
      node.value = total / static_cast<float>(std::max<std::size_t>(count, 1));
      nodes.push_back(node);

      if (task.depth >= params_.max_depth || count / 2 < params_.min_leaf) continue;
      const Split split = best_split(task.begin, count, total);
      if (split.feature < 0) continue;

      const std::size_t mid = partition(task.begin, task.end, split);
      TreeNode& inner = nodes[self];
      inner.feature = static_cast<std::int16_t>(split.feature);
      inner.threshold = split.threshold;
      inner.left = self + 1;
      stack.push_back({mid, task.end, task.depth + 1, self, true});
      stack.push_back({task.begin, mid, task.depth + 1, self, false});
    }
    return nodes;
  }

 private:
  struct Split {
    int feature = -1;
    float threshold = 0.0f;
  };

  // n_try feature draws; the first of equal scores wins, across positions and draws. The
  // draws are scanned kScanLanes at a time in one pass, so that their running sums, each a
  // chain of dependent additions, advance side by side; the bests of a pass are then taken
  // in draw order, which picks what a scan of one draw after the other would.
  Split best_split(std::size_t begin, std::size_t count, float total) {
    Split best;
    float best_score = -std::numeric_limits<float>::infinity();
    for (std::uint64_t t = 0; t < params_.n_try; t += kScanLanes) {
      const auto lanes = static_cast<std::size_t>(std::min<std::uint64_t>(kScanLanes, params_.n_try - t));
      std::array<int, kScanLanes> features{};
      std::array<const Pair*, kScanLanes> sorted{};
      for (std::size_t j = 0; j < kScanLanes; ++j) {
        // Lanes past the last draw rescan the first one; their results are not read.
        if (j < lanes) {
          features[j] = static_cast<int>(rng_.below(kFeatures));
          sorted_pairs(static_cast<std::size_t>(features[j]), begin, count, pairs_[j].data());
        }
        sorted[j] = pairs_[j < lanes ? j : 0].data();
      }
      const std::array<Position, kScanLanes> found = best_positions(sorted, count, total);
      for (std::size_t j = 0; j < lanes; ++j) {
        if (!(found[j].score > best_score)) continue;
        best_score = found[j].score;
        best.feature = features[j];
        best.threshold = midpoint(sorted[j][found[j].at - 1].x, sorted[j][found[j].at].x);
      }
    }
    return best;
  }

  // The best split position of each lane's sorted pairs: position l (the first l pairs go
  // left) qualifies when x changes there and both sides hold min_leaf pairs; its score is
  // L^2 / l + (total - L)^2 / (count - l), L the float sum of the first l targets in order.
  // The first of equal scores wins; a lane without a position keeps score -inf.
  struct Position {
    float score = -std::numeric_limits<float>::infinity();
    std::size_t at = 0;
  };

  std::array<Position, kScanLanes> best_positions(const std::array<const Pair*, kScanLanes>& lanes,
                                                  std::size_t count, float total) const {
    const std::uint64_t min_leaf = params_.min_leaf;
    std::array<Position, kScanLanes> best{};
    std::array<float, kScanLanes> left{};
    for (std::size_t l = 1; l < count; ++l) {
      const bool sized = l >= min_leaf && count - l >= min_leaf;
      for (std::size_t j = 0; j < kScanLanes; ++j) {
        const Pair* p = lanes[j];
        left[j] += p[l - 1].y;
        if (!sized || p[l - 1].x == p[l].x) continue;
        const float right = total - left[j];
        const float score = left[j] * left[j] / static_cast<float>(l) +
                            right * right / static_cast<float>(count - l);
        if (score > best[j].score) best[j] = {score, l};
      }
    }
    return best;
  }

  // The node's (x of feature f, target) pairs in ascending x, ties in sample order.
  void sorted_pairs(std::size_t f, std::size_t begin, std::size_t count, Pair* pairs) {
    const float* column = columns_ + f * n_;
    const std::uint32_t* samples = samples_.data() + begin;
    const std::size_t codes = code_count_[f];
    if (codes == 0 || count <= kInsertionMax) {
      for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t i = samples[k];
        const float x = column[i];
        if (std::isnan(x)) core::fatal("rf: NaN feature value in training rows");
        pairs[k] = {x, targets_[i]};
      }
      stable_sort_pairs(pairs, pairs_tmp_.data(), count);
      return;
    }
    // Counting sort. The samples are cut into kStreams consecutive stretches, counted and
    // placed side by side: a code's pairs from stretch s go after those from the stretches
    // before it, which keeps sample order, and the four running offsets do not wait on each
    // other when neighbouring samples share a code.
    const std::uint8_t* code = codes_ + f * n_;
    const std::size_t stretch = (count + kStreams - 1) / kStreams;
    std::array<std::array<std::uint32_t, kMaxCodes + 1>, kStreams> next;
    for (auto& counts : next) std::fill_n(counts.begin(), codes + 1, 0u);
    for (std::size_t k = 0; k < stretch; ++k) {
      for (std::size_t s = 0; s < kStreams; ++s) {
        if (s * stretch + k < count) ++next[s][code[samples[s * stretch + k]]];
      }
    }
    std::uint32_t at = 0;
    for (std::size_t c = 0; c <= codes; ++c) {
      for (auto& counts : next) at += std::exchange(counts[c], at);
    }
    if (at != next[0][codes]) core::fatal("rf: NaN feature value in training rows");
    for (std::size_t k = 0; k < stretch; ++k) {
      for (std::size_t s = 0; s < kStreams; ++s) {
        if (s * stretch + k >= count) continue;
        const std::uint32_t i = samples[s * stretch + k];
        pairs[next[s][code[i]]++] = {column[i], targets_[i]};
      }
    }
  }

  // Halfway between two neighbouring distinct values. When rounding lands the midpoint on
  // the upper value (adjacent floats) or overflows, the lower value is used instead, so the
  // split always separates the two sides it was scored on.
  static float midpoint(float lo, float hi) {
    const float mid = (lo + hi) * 0.5f;
    return mid >= lo && mid < hi ? mid : lo;
  }

  // Stable partition of samples_[begin, end): x <= threshold first. Returns the boundary.
  std::size_t partition(std::size_t begin, std::size_t end, const Split& split) {
    const float* column = columns_ + static_cast<std::size_t>(split.feature) * n_;
    std::size_t kept = begin, spilled = 0;
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint32_t i = samples_[k];
      if (column[i] <= split.threshold) {
        samples_[kept++] = i;
      } else {
        spill_[spilled++] = i;
      }
    }
    std::copy(spill_.begin(), spill_.begin() + static_cast<std::ptrdiff_t>(spilled),
              samples_.begin() + static_cast<std::ptrdiff_t>(kept));
    return kept;
  }

  const float* columns_;       // feature-major: columns_[f * n_ + row]
  const std::uint8_t* codes_;  // the same layout, for the coded columns
  std::array<std::size_t, kFeatures> code_count_;
  const float* targets_;
  std::size_t n_;
  const ForestParams& params_;
  core::SplitMix64 rng_;
  std::vector<std::uint32_t> samples_;
  std::vector<std::uint32_t> spill_;
  std::array<std::vector<Pair>, kScanLanes> pairs_;  // one sorted list per draw of a scan
  std::vector<Pair> pairs_tmp_;
};

// ---- prediction ----

float node_walk(const Tree& tree, const float* x) {
  std::uint32_t i = 0;
  while (tree[i].feature >= 0) {
    const TreeNode& n = tree[i];
    i = n.threshold >= x[n.feature] ? n.left : n.right;
  }
  return tree[i].value;
}

// Laid-out walks compare integers. A feature value becomes 1 + its rank among the forest's
// distinct thresholds for that feature (the count of thresholds below it), a threshold
// 1 + its own index in that list, and x <= threshold exactly when rank <= index. A NaN
// feature, which goes right everywhere (`threshold >= x` is false), ranks after every
// threshold; a NaN threshold, which sends everything right, gets 0.
//
// A split is one word, index << 32 | feature, and a row holds rank << 32 per feature, so
// x goes right exactly when split < rank as unsigned words: the feature bits never decide.
// Positions are 1-based heap positions (children 2p and 2p + 1), so a step is a load, a
// compare and an add-with-carry, nothing the compiler can turn into a branch.
using RankRow = std::array<std::uint64_t, kFeatures>;

std::uint64_t rank_of(const std::vector<float>& cuts, float x) {
  if (std::isnan(x)) return cuts.size() + 1;
  // Branch-free lower bound: the number of cuts strictly below x.
  const float* first = cuts.data();
  std::size_t n = cuts.size();
  while (n > 1) {
    const std::size_t half = n / 2;
    first = first[half - 1] < x ? first + half : first;
    n -= half;
  }
  return static_cast<std::uint64_t>(first - cuts.data()) + (n == 1 && *first < x) + 1;
}

RankRow rank_row(const ForestLayout& layout, const Row& x) {
  RankRow ranks;
  for (std::size_t f = 0; f < kFeatures; ++f) ranks[f] = rank_of(layout.cuts[f], x[f]) << 32;
  return ranks;
}

std::uint64_t pack_split(const ForestLayout& layout, const TreeNode& node) {
  const auto f = static_cast<std::uint64_t>(node.feature);
  const std::vector<float>& cuts = layout.cuts[f];
  const auto index =
      std::isnan(node.threshold)
          ? 0
          : std::lower_bound(cuts.begin(), cuts.end(), node.threshold) - cuts.begin() + 1;
  return static_cast<std::uint64_t>(index) << 32 | f;
}

// 2p, or 2p + 1 when x goes right.
inline std::uint64_t step(std::uint64_t split, const RankRow& x, std::uint64_t pos) {
  const std::uint64_t rank = x[static_cast<std::uint32_t>(split)];
#if defined(__x86_64__)
  // Written out because compilers spell the plain form as setb + movzx + lea.
  asm("cmp %[rank], %[split]\n\tadc %[pos], %[pos]"
      : [pos] "+r"(pos)
      : [split] "r"(split), [rank] "rm"(rank)
      : "cc");
  return pos;
#else
  return 2 * pos + (split < rank ? 1 : 0);
#endif
}

std::uint32_t tree_depth(const Tree& tree) {
  std::vector<std::uint32_t> depth(tree.size(), 0);
  std::uint32_t deepest = 0;
  for (std::size_t i = 0; i < tree.size(); ++i) {
    deepest = std::max(deepest, depth[i]);
    if (tree[i].feature >= 0) depth[tree[i].left] = depth[tree[i].right] = depth[i] + 1;
  }
  return deepest;
}

// Writes the subtree of `node` at heap position `pos` (level `level`) of a complete tree of
// `depth` levels; splits[0] is unused.
void lay_out(const ForestLayout& layout, const Tree& tree, std::uint32_t node, std::uint64_t pos,
             std::uint32_t level, std::uint32_t depth, std::uint64_t* splits, float* leaves) {
  if (level == depth) {
    leaves[pos - (std::uint64_t{1} << depth)] = tree[node].value;
    return;
  }
  const TreeNode& n = tree[node];
  if (n.feature >= 0) {
    splits[pos] = pack_split(layout, n);
    lay_out(layout, tree, n.left, 2 * pos, level + 1, depth, splits, leaves);
    lay_out(layout, tree, n.right, 2 * pos + 1, level + 1, depth, splits, leaves);
  } else {
    // Padding: both sides lead to the same leaf value, whatever x holds.
    splits[pos] = 0;
    lay_out(layout, tree, node, 2 * pos, level + 1, depth, splits, leaves);
    lay_out(layout, tree, node, 2 * pos + 1, level + 1, depth, splits, leaves);
  }
}

bool has_layout(const Forest& forest) {
  return forest.layout.trees.size() == forest.trees.size();
}

bool laid_out(const Forest& forest, std::size_t t) {
  return has_layout(forest) && forest.layout.trees[t].depth <= kMaxLaidOutDepth;
}

float laid_out_leaf(const ForestLayout& layout, const LaidOutTree& lt, std::uint64_t pos) {
  // Walks end on the last level, heap positions 2^depth onwards.
  return layout.leaves[lt.leaf_offset + pos - (std::uint64_t{1} << lt.depth)];
}

// Running sums over the trees, in tree order, in double. A sum of up to 2^29 equal floats
// is exact in double, so a forest whose leaves all hold v predicts exactly v with sd 0 (in
// float, n copies of v often do not sum to n * v, and the spread then comes out as the
// square root of a rounding error). Deviations are taken from the first tree's leaf: the
// population spread does not move with a shift, and the squares no longer cancel.
// The single-row and the batch paths both go through add_leaf and combine, so they agree
// to the bit.
inline void add_leaf(float leaf, double shift, double& sum, double& dev, double& dev_sq) {
  const double v = leaf;
  const double d = v - shift;
  sum += v;
  dev += d;
  dev_sq += d * d;
}

double mean_of(double sum, std::size_t trees) {
  return sum / static_cast<double>(std::max<std::size_t>(trees, 1));
}

float combine(double sum, double dev, double dev_sq, std::size_t trees, float k) {
  if (trees == 0) return 0.0f;
  const auto n = static_cast<double>(trees);
  const double mean_dev = dev / n;
  const double var = dev_sq / n - mean_dev * mean_dev;
  return static_cast<float>(mean_of(sum, trees) + k * std::sqrt(std::max(0.0, var)));
}

struct Sums {
  double sum = 0.0;
  double dev = 0.0;
  double dev_sq = 0.0;
};

Sums single_row_sums(const Forest& forest, const Row& x) {
  const RankRow ranks = has_layout(forest) ? rank_row(forest.layout, x) : RankRow{};
  Sums s;
  double shift = 0.0;
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    float leaf = 0.0f;
    if (laid_out(forest, t)) {
      const LaidOutTree& lt = forest.layout.trees[t];
      const std::uint64_t* splits = forest.layout.splits.data() + lt.split_offset;
      std::uint64_t pos = 1;
      for (std::uint32_t level = 0; level < lt.depth; ++level) pos = step(splits[pos], ranks, pos);
      leaf = laid_out_leaf(forest.layout, lt, pos);
    } else {
      leaf = node_walk(forest.trees[t], x.data());
    }
    if (t == 0) shift = leaf;
    add_leaf(leaf, shift, s.sum, s.dev, s.dev_sq);
  }
  return s;
}

// Rows of a batch go through the trees in blocks: a block's ranks and sums stay in L1 while
// every tree passes over it, and within a block kGroup rows walk a tree together so that
// their independent walks overlap in the pipeline.
constexpr std::size_t kBlock = 128;
constexpr std::size_t kGroup = 16;
static_assert(kBlock % kGroup == 0);

// A row's cut bits for the lane walk (see LaneLayout): one register of 32-bit words, aligned
// as one (every table of them too), so that no load of them straddles two cache lines.
struct alignas(64) CutBits : std::array<std::uint32_t, kCutBits / 32> {};

struct Block {
  RankRow ranks[kBlock];
  Row rows[kBlock];  // filled only when some tree keeps the node walk
  float leaf[kBlock];
  double shift[kBlock], sum[kBlock], dev[kBlock], dev_sq[kBlock];
  // The lane walk's rows.
  alignas(64) CutBits bits[kBlock];
  float prediction[kBlock];
};

void walk_group(const std::uint64_t* splits, std::uint32_t depth, const RankRow* ranks,
                std::uint64_t* pos) {
  for (std::size_t r = 0; r < kGroup; ++r) pos[r] = 1;
  for (std::uint32_t level = 0; level < depth; ++level) {
    for (std::size_t r = 0; r < kGroup; ++r) pos[r] = step(splits[pos[r]], ranks[r], pos[r]);
  }
}

// Sums of every row of the block over every tree (rows past the batch's end are walked
// too, and dropped by the caller).
void accumulate(const Forest& forest, Block& block) {
  std::fill(std::begin(block.sum), std::end(block.sum), 0.0);
  std::fill(std::begin(block.dev), std::end(block.dev), 0.0);
  std::fill(std::begin(block.dev_sq), std::end(block.dev_sq), 0.0);
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    if (laid_out(forest, t)) {
      const LaidOutTree& lt = forest.layout.trees[t];
      const std::uint64_t* splits = forest.layout.splits.data() + lt.split_offset;
      for (std::size_t first = 0; first < kBlock; first += kGroup) {
        std::uint64_t pos[kGroup];
        walk_group(splits, lt.depth, block.ranks + first, pos);
        for (std::size_t r = 0; r < kGroup; ++r) {
          block.leaf[first + r] = laid_out_leaf(forest.layout, lt, pos[r]);
        }
      }
    } else {
      for (std::size_t r = 0; r < kBlock; ++r) {
        block.leaf[r] = node_walk(forest.trees[t], block.rows[r].data());
      }
    }
    if (t == 0) std::copy(std::begin(block.leaf), std::end(block.leaf), std::begin(block.shift));
    for (std::size_t r = 0; r < kBlock; ++r) {
      add_leaf(block.leaf[r], block.shift[r], block.sum[r], block.dev[r], block.dev_sq[r]);
    }
  }
}

// Sets bits [lo, hi) of `bits`.
void set_bits(CutBits& bits, std::uint32_t lo, std::uint32_t hi) {
  for (std::uint32_t w = lo / 32; w * 32 < hi; ++w) {
    const std::uint32_t from = std::max(lo, w * 32) - w * 32;
    const std::uint32_t to = std::min(hi, w * 32 + 32) - w * 32;
    bits[w] |= static_cast<std::uint32_t>(((std::uint64_t{1} << (to - from)) - 1) << from);
  }
}

// Cut s of feature f is below the row's rank for f exactly for s < rank: the rank's lowest
// bits of the feature's field.
CutBits cut_bits(const LaneLayout& lanes, const RankRow& ranks) {
  CutBits bits{};
  for (std::size_t f = 0; f < kFeatures; ++f) {
    const auto rank = static_cast<std::uint32_t>(ranks[f] >> 32);
    set_bits(bits, lanes.bit_base[f], lanes.bit_base[f] + rank);
  }
  return bits;
}

// A split word's fields are 9 bits wide.
static_assert(kCutBits <= 1u << 9);

std::uint32_t cut_bit(const LaneLayout& lanes, std::uint64_t split) {
  return lanes.bit_base[split & 31] + static_cast<std::uint32_t>(split >> 32);
}

void build_lanes(const Forest& forest, ForestLayout& layout) {
  for (const LaidOutTree& lt : layout.trees) {
    if (lt.depth > kMaxLaidOutDepth) return;  // a tree walks its nodes: no lanes
  }
  LaneLayout& lanes = layout.lanes;
  std::uint32_t bit_count = 0;
  for (std::size_t f = 0; f < kFeatures; ++f) {
    lanes.bit_base[f] = bit_count;
    bit_count += static_cast<std::uint32_t>(layout.cuts[f].size() + 1);
  }
  if (bit_count > kCutBits) {
    lanes = {};  // the rows' cut bits would not fit a register: no lanes
    return;
  }
  lanes.bit_count = bit_count;
  std::vector<std::uint64_t> splits;
  std::vector<float> leaves;
  for (std::size_t first = 0; first < forest.trees.size(); first += kLanes) {
    LaneGroup g;
    g.trees = static_cast<std::uint32_t>(std::min<std::size_t>(kLanes, forest.trees.size() - first));
    for (std::size_t l = 0; l < g.trees; ++l) g.depth = std::max(g.depth, layout.trees[first + l].depth);
    const std::size_t width = std::size_t{1} << g.depth;
    g.split_offset = lanes.splits.size();
    g.leaf_offset = lanes.leaves.size();
    lanes.splits.resize(lanes.splits.size() + kLanes * width, 0);
    lanes.leaves.resize(lanes.leaves.size() + kLanes * width, 0.0f);
    for (std::size_t l = 0; l < g.trees; ++l) {
      splits.assign(width, 0);
      leaves.assign(width, 0.0f);
      lay_out(layout, forest.trees[first + l], 0, 1, 0, g.depth, splits.data(), leaves.data());
      const auto bit_at = [&](std::size_t p) { return p < width ? cut_bit(lanes, splits[p]) : 0u; };
      for (std::size_t p = 1; p < width; ++p) {
        lanes.splits[g.split_offset + kLanes * p + l] =
            bit_at(p) | bit_at(2 * p) << 9 | bit_at(2 * p + 1) << 18;
      }
      for (std::size_t q = 0; q < width; ++q) lanes.leaves[g.leaf_offset + kLanes * q + l] = leaves[q];
    }
    lanes.groups.push_back(g);
  }
}

// How a batch walks the trees: lane groups in AVX-512 or AVX2 registers, or row by row.
enum class Unit : std::uint8_t { rows, avx2, avx512 };

#ifdef VARNEK_RF_LANES
Unit widest_unit() {
  // Both walks end with combine_lanes, compiled for AVX2.
  static const Unit unit = !__builtin_cpu_supports("avx2")   ? Unit::rows
                           : __builtin_cpu_supports("avx512f") ? Unit::avx512
                                                               : Unit::avx2;
  return unit;
}

// g++ 12's AVX-512 headers start some results from a deliberately undefined register and
// then warn about it in the functions that use them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// The lanes of one row that go right at the splits whose cut bits sit in the low 9 bits of
// `split` (the bits above are ignored), given the row's cut bits.
__attribute__((target("avx512f"), always_inline)) inline __mmask16 turns(__m512i split,
                                                                        __m512i bits) {
  // The word is bits 5 to 8 of the cut bit (a permute reads the low 4 bits of its index),
  // the bit within it bits 0 to 4 (a rotation counts modulo 32).
  const __m512i word = _mm512_permutexvar_epi32(_mm512_srli_epi32(split, 5), bits);
  return _mm512_test_epi32_mask(_mm512_rorv_epi32(word, split), _mm512_set1_epi32(1));
}

// Tree l's leaves for the 8 rows of `leaf` (one register per row, lane l = tree l), as one
// 8-float register per tree: an 8 x 16 transpose in three rounds of shuffles.
__attribute__((target("avx512f"), always_inline)) inline void by_tree(const __m512 (&leaf)[8],
                                                                     __m256 (&tree)[kLanes]) {
  __m512 pair[8];  // rows 2i and 2i + 1 interleaved, per 128-bit quarter
  for (std::size_t i = 0; i < 4; ++i) {
    pair[2 * i] = _mm512_unpacklo_ps(leaf[2 * i], leaf[2 * i + 1]);
    pair[2 * i + 1] = _mm512_unpackhi_ps(leaf[2 * i], leaf[2 * i + 1]);
  }
  // quad[4h + c]: rows 4h..4h+3 of columns c, c + 4, c + 8, c + 12 (one per quarter).
  __m512 quad[8];
  for (std::size_t h = 0; h < 2; ++h) {
    const __m512d lo0 = _mm512_castps_pd(pair[4 * h]), hi0 = _mm512_castps_pd(pair[4 * h + 1]);
    const __m512d lo1 = _mm512_castps_pd(pair[4 * h + 2]), hi1 = _mm512_castps_pd(pair[4 * h + 3]);
    quad[4 * h + 0] = _mm512_castpd_ps(_mm512_unpacklo_pd(lo0, lo1));
    quad[4 * h + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(lo0, lo1));
    quad[4 * h + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(hi0, hi1));
    quad[4 * h + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(hi0, hi1));
  }
  // Quarters q of rows 0-3 and 4-7 side by side: columns c + 4q for all 8 rows.
  const __m512i low_quarters = _mm512_set_epi32(23, 22, 21, 20, 7, 6, 5, 4, 19, 18, 17, 16, 3, 2, 1, 0);
  const __m512i high_quarters =
      _mm512_set_epi32(31, 30, 29, 28, 15, 14, 13, 12, 27, 26, 25, 24, 11, 10, 9, 8);
  for (std::size_t c = 0; c < 4; ++c) {
    const __m512 q01 = _mm512_permutex2var_ps(quad[c], low_quarters, quad[4 + c]);
    const __m512 q23 = _mm512_permutex2var_ps(quad[c], high_quarters, quad[4 + c]);
    tree[c] = _mm512_castps512_ps256(q01);
    tree[c + 4] = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(q01), 1));
    tree[c + 8] = _mm512_castps512_ps256(q23);
    tree[c + 12] = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(q23), 1));
  }
}

// One level down for the 16 lanes of one row, at the split word `word` (see LaneLayout):
// gather index kLanes * p + l becomes kLanes * (2p + turn) + l.
__attribute__((target("avx512f"), always_inline)) inline void step_one(
    __m512i word, __m512i bits, __m512i lane, __m512i& index) {
  const __mmask16 right = turns(word, bits);
  const __m512i below = _mm512_sub_epi32(_mm512_add_epi32(index, index), lane);
  index = _mm512_mask_add_epi32(below, right, below, _mm512_set1_epi32(kLanes));
}

// Two levels down at one split word: its own split, then the child's that the first turn
// chose; kLanes * p + l becomes kLanes * (4p + 2 first + second) + l.
__attribute__((target("avx512f"), always_inline)) inline void step_two(
    __m512i word, __m512i bits, __m512i lane3, __m512i& index, __mmask16& first,
    __mmask16& second) {
  first = turns(word, bits);
  const __m512i child = _mm512_mask_srli_epi32(_mm512_srli_epi32(word, 9), first, word, 18);
  second = turns(child, bits);
  const __m512i below = _mm512_sub_epi32(_mm512_slli_epi32(index, 2), lane3);
  const __m512i half = _mm512_mask_add_epi32(below, first, below, _mm512_set1_epi32(2 * kLanes));
  index = _mm512_mask_add_epi32(half, second, half, _mm512_set1_epi32(kLanes));
}

// Walks the group's trees for every row of the block and adds their leaves to the rows'
// sums, 8 rows to a register of doubles, with add_leaf's operations in add_leaf's order
// (the multiply and the add stay separate: a fused one would round differently, so the build
// turns contraction off). Eight rows walk at once, so that their gathers overlap. Each step
// takes two levels from one split word (an odd depth ends with a one-level step). The words of the first two steps (positions 1, and 4 to 7) are held in registers,
// the second chosen by blends on the first step's turns; the deeper ones are gathered.
__attribute__((target("avx512f"))) void walk_lanes(const LaneLayout& lanes, const LaneGroup& g,
                                                    bool first_group, Block& block) {
  constexpr std::size_t kRows = 8;
  static_assert(kBlock % kRows == 0);
  const auto* splits = reinterpret_cast<const int*>(lanes.splits.data() + g.split_offset);
  const float* leaves = lanes.leaves.data() + g.leaf_offset;
  const __m512i lane = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m512i lane3 = _mm512_mullo_epi32(lane, _mm512_set1_epi32(3));
  const __m512i first_leaf = _mm512_set1_epi32(kLanes << g.depth);
  __m512i at[8];
  for (__m512i& word : at) word = _mm512_setzero_si512();  // blended past a shallow group
  for (std::uint32_t p = 1; p < std::min<std::uint32_t>(8, 1u << g.depth); ++p) {
    at[p] = _mm512_loadu_si512(splits + kLanes * p);
  }
  for (std::size_t r = 0; r < kBlock; r += kRows) {
    __m512i bits[kRows], index[kRows];
    for (std::size_t k = 0; k < kRows; ++k) {
      bits[k] = _mm512_load_si512(block.bits[r + k].data());
      index[k] = _mm512_add_epi32(_mm512_set1_epi32(kLanes), lane);  // the root, position 1
    }
    // Step by step over the rows, so that the rows' steps overlap.
    std::uint32_t level = 0;
    if (g.depth >= 2) {
      for (std::size_t k = 0; k < kRows; ++k) {
        __mmask16 first, second;
        step_two(at[1], bits[k], lane3, index[k], first, second);
        const __m512i left = _mm512_mask_blend_epi32(second, at[4], at[5]);
        const __m512i right = _mm512_mask_blend_epi32(second, at[6], at[7]);
        const __m512i word = _mm512_mask_blend_epi32(first, left, right);
        if (g.depth >= 4) {
          step_two(word, bits[k], lane3, index[k], first, second);
        } else if (g.depth == 3) {
          step_one(word, bits[k], lane, index[k]);
        }
      }
      level = std::min<std::uint32_t>(g.depth, 4);
    }
    for (; level + 2 <= g.depth; level += 2) {
      for (std::size_t k = 0; k < kRows; ++k) {
        __mmask16 first, second;
        step_two(_mm512_i32gather_epi32(index[k], splits, 4), bits[k], lane3, index[k], first,
                 second);
      }
    }
    if (level < g.depth) {
      for (std::size_t k = 0; k < kRows; ++k) {
        const __m512i word = level == 0 ? at[1] : _mm512_i32gather_epi32(index[k], splits, 4);
        step_one(word, bits[k], lane, index[k]);
      }
    }
    __m512 leaf[kRows];
    for (std::size_t k = 0; k < kRows; ++k) {
      leaf[k] = _mm512_i32gather_ps(_mm512_sub_epi32(index[k], first_leaf), leaves, 4);
    }
    __m256 tree[kLanes];
    by_tree(leaf, tree);
    // The first group starts the sums from zero; the others go on from the block's.
    const __m512d zero = _mm512_setzero_pd();
    __m512d sum = first_group ? zero : _mm512_loadu_pd(block.sum + r);
    __m512d dev = first_group ? zero : _mm512_loadu_pd(block.dev + r);
    __m512d dev_sq = first_group ? zero : _mm512_loadu_pd(block.dev_sq + r);
    __m512d shift = first_group ? _mm512_cvtps_pd(tree[0]) : _mm512_loadu_pd(block.shift + r);
    for (std::size_t l = 0; l < g.trees; ++l) {
      const __m512d v = _mm512_cvtps_pd(tree[l]);
      const __m512d d = _mm512_sub_pd(v, shift);
      sum = _mm512_add_pd(sum, v);
      dev = _mm512_add_pd(dev, d);
      dev_sq = _mm512_add_pd(dev_sq, _mm512_mul_pd(d, d));
    }
    _mm512_storeu_pd(block.sum + r, sum);
    _mm512_storeu_pd(block.dev + r, dev);
    _mm512_storeu_pd(block.dev_sq + r, dev_sq);
    _mm512_storeu_pd(block.shift + r, shift);
  }
}

// The AVX2 walk: the same layout, half a group (8 trees) per register, lane l of half h
// being tree 8h + l, so that heap position p is still word kLanes * p + 8h + l. A turn is
// kept in the sign bit of its lane, where blends read it.

// b where the sign bit of `sign` is set, a elsewhere.
__attribute__((target("avx2"), always_inline)) inline __m256i pick(__m256i a, __m256i b,
                                                                   __m256i sign) {
  return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b),
                                              _mm256_castsi256_ps(sign)));
}

// turns() for 8 lanes, in the sign bits. A permute reaches 8 words, so the word is taken
// from the low or the high half of the cut bits by bit 8 of the cut bit; a forest whose cut
// bits fit the low half (kNarrow) skips that choice. Bit (cut bit & 31) of the word goes to
// the sign by a left shift of 31 minus it.
template <bool kNarrow>
__attribute__((target("avx2"), always_inline)) inline __m256i turns8(__m256i split,
                                                                     const CutBits& bits) {
  const auto* half = reinterpret_cast<const __m256i*>(bits.data());
  const __m256i at = _mm256_srli_epi32(split, 5);
  __m256i word = _mm256_permutevar8x32_epi32(_mm256_load_si256(half), at);
  if constexpr (!kNarrow) {
    const __m256i high = _mm256_permutevar8x32_epi32(_mm256_load_si256(half + 1), at);
    word = pick(word, high, _mm256_slli_epi32(split, 23));
  }
  return _mm256_sllv_epi32(word, _mm256_andnot_si256(split, _mm256_set1_epi32(31)));
}

// The 8 lanes of v as integers, two to a 64-bit move (fewer vector operations than eight
// 32-bit extractions).
__attribute__((target("avx2"), always_inline)) inline void lane_words(__m256i v,
                                                                      std::uint32_t (&out)[8]) {
  const __m128i low = _mm256_castsi256_si128(v), high = _mm256_extracti128_si256(v, 1);
  const std::uint64_t pairs[4] = {
      static_cast<std::uint64_t>(_mm_cvtsi128_si64(low)),
      static_cast<std::uint64_t>(_mm_extract_epi64(low, 1)),
      static_cast<std::uint64_t>(_mm_cvtsi128_si64(high)),
      static_cast<std::uint64_t>(_mm_extract_epi64(high, 1))};
  for (std::size_t l = 0; l < 8; ++l) {
    out[l] = static_cast<std::uint32_t>(pairs[l / 2] >> (32 * (l % 2)));
  }
}

// The split words base[index[l]]. On processors without AVX-512 the gather instruction is
// slower than eight loads and inserts.
__attribute__((target("avx2"), always_inline)) inline __m256i load8(const int* base,
                                                                    __m256i index) {
  std::uint32_t at[8];
  lane_words(index, at);
  return _mm256_setr_epi32(base[at[0]], base[at[1]], base[at[2]], base[at[3]], base[at[4]],
                           base[at[5]], base[at[6]], base[at[7]]);
}

// step_one() for 8 lanes.
template <bool kNarrow>
__attribute__((target("avx2"), always_inline)) inline void step_one8(__m256i word,
                                                                     const CutBits& bits,
                                                                     __m256i lane,
                                                                     __m256i& index) {
  const __m256i right = turns8<kNarrow>(word, bits);
  const __m256i below = _mm256_sub_epi32(_mm256_add_epi32(index, index), lane);
  index = pick(below, _mm256_add_epi32(below, _mm256_set1_epi32(kLanes)), right);
}

// step_two() for 8 lanes; first and second are the turns, in the sign bits.
template <bool kNarrow>
__attribute__((target("avx2"), always_inline)) inline void step_two8(
    __m256i word, const CutBits& bits, __m256i lane3, __m256i& index, __m256i& first,
    __m256i& second) {
  first = turns8<kNarrow>(word, bits);
  const __m256i child = pick(_mm256_srli_epi32(word, 9), _mm256_srli_epi32(word, 18), first);
  second = turns8<kNarrow>(child, bits);
  const __m256i below = _mm256_sub_epi32(_mm256_slli_epi32(index, 2), lane3);
  const __m256i half = pick(below, _mm256_add_epi32(below, _mm256_set1_epi32(2 * kLanes)), first);
  index = pick(half, _mm256_add_epi32(half, _mm256_set1_epi32(kLanes)), second);
}

// walk_lanes() for one half of a group, on AVX2: the trees 8 * half + l for l < count. The
// sums start from zero (and the shift from the first tree) when `start`, as for the first
// half of the first group.
template <bool kNarrow>
__attribute__((target("avx2"))) void walk_half(const LaneLayout& lanes, const LaneGroup& g,
                                               std::uint32_t half, std::uint32_t count,
                                               bool start, Block& block) {
  constexpr std::size_t kRows = 8;
  static_assert(kBlock % kRows == 0 && kRows % 4 == 0);
  const auto* splits = reinterpret_cast<const int*>(lanes.splits.data() + g.split_offset);
  const float* leaves = lanes.leaves.data() + g.leaf_offset;
  const __m256i lane =
      _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(8 * half)),
                       _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i lane3 = _mm256_add_epi32(lane, _mm256_add_epi32(lane, lane));
  const __m256i first_leaf = _mm256_set1_epi32(kLanes << g.depth);
  __m256i at[8];
  for (__m256i& word : at) word = _mm256_setzero_si256();  // blended past a shallow group
  for (std::uint32_t p = 1; p < std::min<std::uint32_t>(8, 1u << g.depth); ++p) {
    at[p] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(splits + kLanes * p + 8 * half));
  }
  for (std::size_t r = 0; r < kBlock; r += kRows) {
    const CutBits* bits = block.bits + r;
    __m256i index[kRows];
    for (__m256i& i : index) i = _mm256_add_epi32(_mm256_set1_epi32(kLanes), lane);
    std::uint32_t level = 0;
    if (g.depth >= 2) {
      for (std::size_t k = 0; k < kRows; ++k) {
        __m256i first, second;
        step_two8<kNarrow>(at[1], bits[k], lane3, index[k], first, second);
        const __m256i word = pick(pick(at[4], at[5], second), pick(at[6], at[7], second), first);
        if (g.depth >= 4) {
          step_two8<kNarrow>(word, bits[k], lane3, index[k], first, second);
        } else if (g.depth == 3) {
          step_one8<kNarrow>(word, bits[k], lane, index[k]);
        }
      }
      level = std::min<std::uint32_t>(g.depth, 4);
    }
    for (; level + 2 <= g.depth; level += 2) {
      for (std::size_t k = 0; k < kRows; ++k) {
        __m256i first, second;
        step_two8<kNarrow>(load8(splits, index[k]), bits[k], lane3,
                           index[k], first, second);
      }
    }
    if (level < g.depth) {
      for (std::size_t k = 0; k < kRows; ++k) {
        const __m256i word = level == 0 ? at[1] : load8(splits, index[k]);
        step_one8<kNarrow>(word, bits[k], lane, index[k]);
      }
    }
    // add_leaf over the trees in order, 4 rows to a register of doubles: tree l's leaves for
    // rows q .. q + 3 are loaded straight into one register.
    for (std::size_t q = 0; q < kRows; q += 4) {
      std::uint32_t position[4][8];
      for (std::size_t k = 0; k < 4; ++k) {
        lane_words(_mm256_sub_epi32(index[q + k], first_leaf), position[k]);
      }
      __m128 tree[8];
      for (std::size_t l = 0; l < 8; ++l) {
        tree[l] = _mm_setr_ps(leaves[position[0][l]], leaves[position[1][l]],
                              leaves[position[2][l]], leaves[position[3][l]]);
      }
      double* const at_sum = block.sum + r + q;
      double* const at_dev = block.dev + r + q;
      double* const at_dev_sq = block.dev_sq + r + q;
      double* const at_shift = block.shift + r + q;
      const __m256d zero = _mm256_setzero_pd();
      __m256d sum = start ? zero : _mm256_loadu_pd(at_sum);
      __m256d dev = start ? zero : _mm256_loadu_pd(at_dev);
      __m256d dev_sq = start ? zero : _mm256_loadu_pd(at_dev_sq);
      __m256d shift = start ? _mm256_cvtps_pd(tree[0]) : _mm256_loadu_pd(at_shift);
      for (std::size_t l = 0; l < count; ++l) {
        const __m256d v = _mm256_cvtps_pd(tree[l]);
        const __m256d d = _mm256_sub_pd(v, shift);
        sum = _mm256_add_pd(sum, v);
        dev = _mm256_add_pd(dev, d);
        dev_sq = _mm256_add_pd(dev_sq, _mm256_mul_pd(d, d));
      }
      _mm256_storeu_pd(at_sum, sum);
      _mm256_storeu_pd(at_dev, dev);
      _mm256_storeu_pd(at_dev_sq, dev_sq);
      _mm256_storeu_pd(at_shift, shift);
    }
  }
}

// combine() for 4 rows at a time: the same operations in the same order, lane by lane
// (max(var, 0) gives 0 for a NaN var, as std::max(0.0, var) does). Both walks end with it:
// a processor with AVX-512 has AVX2 too.
__attribute__((target("avx2"))) void combine_lanes(Block& block, std::size_t trees, float k) {
  const __m256d n = _mm256_set1_pd(static_cast<double>(trees));
  const __m256d k_wide = _mm256_set1_pd(static_cast<double>(k));
  for (std::size_t r = 0; r < kBlock; r += 4) {
    const __m256d mean_dev = _mm256_div_pd(_mm256_loadu_pd(block.dev + r), n);
    const __m256d var = _mm256_sub_pd(_mm256_div_pd(_mm256_loadu_pd(block.dev_sq + r), n),
                                      _mm256_mul_pd(mean_dev, mean_dev));
    const __m256d sd = _mm256_sqrt_pd(_mm256_max_pd(var, _mm256_setzero_pd()));
    const __m256d mean = _mm256_div_pd(_mm256_loadu_pd(block.sum + r), n);
    const __m256d p = _mm256_add_pd(mean, _mm256_mul_pd(k_wide, sd));
    _mm_storeu_ps(block.prediction + r, _mm256_cvtpd_ps(p));
  }
}

// walk_lanes() on AVX2: the group's two halves in turn.
template <bool kNarrow>
void walk_halves(const LaneLayout& lanes, const LaneGroup& g, bool first_group, Block& block) {
  walk_half<kNarrow>(lanes, g, 0, std::min<std::uint32_t>(g.trees, 8), first_group, block);
  if (g.trees > 8) walk_half<kNarrow>(lanes, g, 1, g.trees - 8, false, block);
}

#pragma GCC diagnostic pop

// accumulate() and combine() over the lane groups: the same leaves, summed in the same tree
// order, into block.prediction.
void predict_lanes(const Forest& forest, Block& block, float k, Unit unit) {
  const LaneLayout& lanes = forest.layout.lanes;
  const bool narrow = lanes.bit_count <= kCutBits / 2;
  for (std::size_t g = 0; g < lanes.groups.size(); ++g) {
    const LaneGroup& group = lanes.groups[g];
    if (unit == Unit::avx512) {
      walk_lanes(lanes, group, g == 0, block);
    } else if (narrow) {
      walk_halves<true>(lanes, group, g == 0, block);
    } else {
      walk_halves<false>(lanes, group, g == 0, block);
    }
  }
  combine_lanes(block, forest.trees.size(), k);
}

// The unit a batch takes: the one asked for if the processor has it, else the rows.
Unit lane_unit(const Forest& forest, BatchWalk walk) {
  if (!has_layout(forest) || forest.layout.lanes.groups.empty()) return Unit::rows;
  const Unit widest = widest_unit();
  switch (walk) {
    case BatchWalk::widest: return widest;
    case BatchWalk::avx512: return widest == Unit::avx512 ? Unit::avx512 : Unit::rows;
    case BatchWalk::avx2: return widest != Unit::rows ? Unit::avx2 : Unit::rows;
    case BatchWalk::rows: return Unit::rows;
  }
  return Unit::rows;
}
#else
Unit lane_unit(const Forest&, BatchWalk) {
  return Unit::rows;
}
void predict_lanes(const Forest&, Block&, float, Unit) {
  core::fatal("rf: lane walk without the vector unit");
}
#endif

// Ranks of every feature value a candidate of the lattice can produce, by family, feature
// and value index: slot 5 + i of a candidate's features depends only on its family and
// its index i, and the other slots only on its family. With them, each family's value
// counts (256 past its dimensions, which any index passes), for the lattice check.
struct CandidateRanks {
  std::array<std::array<std::array<std::uint64_t, strategy::kMaxValues>, kFeatures>,
             strategy::kFamilies>
      ranks{};
  std::array<std::array<std::uint16_t, strategy::kMaxDims>, strategy::kFamilies> values{};
  std::array<std::size_t, strategy::kFamilies> dims{};
  // The same ranks as cut bits when the forest has lanes: a candidate's cut bits are its
  // family's (the slots that depend on the family alone) joined with those of its dimension
  // i's value j, at (family * kMaxDims + i) * kMaxValues + j; dimensions past the family's
  // own have no bits.
  std::array<CutBits, strategy::kFamilies> family_bits{};
  std::vector<CutBits> dim_bits;
};

// Slot s holds dimension s - kFamilies of a family with `dims` dimensions.
bool dimension_slot(std::size_t s, std::size_t dims) {
  return s >= strategy::kFamilies && s - strategy::kFamilies < dims;
}

CandidateRanks candidate_ranks(const ForestLayout& layout) {
  CandidateRanks table;
  for (std::size_t f = 0; f < strategy::kFamilies; ++f) {
    const auto family = static_cast<std::uint8_t>(f);
    const std::size_t dims = strategy::dim_count(family);
    table.dims[f] = dims;
    for (std::size_t i = 0; i < strategy::kMaxDims; ++i) {
      table.values[f][i] =
          static_cast<std::uint16_t>(i < dims ? strategy::value_count(family, i) : 256);
    }
    for (std::size_t j = 0; j < strategy::kMaxValues; ++j) {
      strategy::Candidate c;
      c.family = family;
      for (std::size_t i = 0; i < dims; ++i) {
        c.idx[i] = static_cast<std::uint8_t>(std::min(j, strategy::value_count(family, i) - 1));
      }
      const RankRow ranks = rank_row(layout, strategy::feature_vector(c));
      for (std::size_t s = 0; s < kFeatures; ++s) table.ranks[f][s][j] = ranks[s];
    }
  }
  if (layout.lanes.groups.empty()) return table;
  static_assert(std::has_single_bit(strategy::kMaxValues));
  table.dim_bits.resize(strategy::kFamilies * strategy::kMaxDims * strategy::kMaxValues);
  for (std::size_t f = 0; f < strategy::kFamilies; ++f) {
    RankRow fixed{};  // rank 0 sets no bits
    for (std::size_t s = 0; s < kFeatures; ++s) {
      if (!dimension_slot(s, table.dims[f])) {
        fixed[s] = table.ranks[f][s][0];
        continue;
      }
      for (std::size_t j = 0; j < strategy::kMaxValues; ++j) {
        RankRow one{};
        one[s] = table.ranks[f][s][j];
        const std::size_t i = s - strategy::kFamilies;
        table.dim_bits[(f * strategy::kMaxDims + i) * strategy::kMaxValues + j] =
            cut_bits(layout.lanes, one);
      }
    }
    table.family_bits[f] = cut_bits(layout.lanes, fixed);
  }
  return table;
}

// The table applies to lattice candidates only; anything else is encoded from its features.
bool in_lattice(const CandidateRanks& table, const strategy::Candidate& c) {
  if (c.family >= strategy::kFamilies) return false;
  bool inside = true;
  for (std::size_t i = 0; i < strategy::kMaxDims; ++i) {
    inside &= c.idx[i] < table.values[c.family][i];
  }
  return inside;
}

RankRow candidate_rank_row(const CandidateRanks& table, const strategy::Candidate& c) {
  const std::size_t dims = table.dims[c.family];
  RankRow ranks;
  for (std::size_t s = 0; s < kFeatures; ++s) {
    const std::size_t j = dimension_slot(s, dims) ? c.idx[s - strategy::kFamilies] : 0;
    ranks[s] = table.ranks[c.family][s][j];
  }
  return ranks;
}

#ifdef VARNEK_RF_LANES

// The cut bits of the block's rows, for a lane walk: a lattice candidate's are its family's
// joined with one table entry per dimension, in the vectors of the unit that walks them (the
// callers below compile it for each). Every dimension is joined, so that the loop's end does
// not depend on the family: those past the family's own have no bits (and any index, masked
// into the table). A short last block repeats its last candidate; the extra results are
// dropped.
__attribute__((always_inline)) inline void fill_cut_bits(const ForestLayout& layout,
                                                         const CandidateRanks& table,
                                                         std::span<const strategy::Candidate> rows,
                                                         Block& block) {
  for (std::size_t r = 0; r < kBlock; ++r) {
    const strategy::Candidate& c = rows[std::min(r, rows.size() - 1)];
    if (!in_lattice(table, c)) {
      block.bits[r] = cut_bits(layout.lanes, rank_row(layout, strategy::feature_vector(c)));
      continue;
    }
    const CutBits* dim =
        table.dim_bits.data() + c.family * strategy::kMaxDims * strategy::kMaxValues;
    CutBits joined = table.family_bits[c.family];
    for (std::size_t i = 0; i < strategy::kMaxDims; ++i, dim += strategy::kMaxValues) {
      const CutBits& value = dim[c.idx[i] & (strategy::kMaxValues - 1)];
      for (std::size_t w = 0; w < joined.size(); ++w) joined[w] |= value[w];
    }
    block.bits[r] = joined;
  }
}

__attribute__((target("avx512f"))) void fill_cut_bits_avx512(
    const ForestLayout& layout, const CandidateRanks& table,
    std::span<const strategy::Candidate> rows, Block& block) {
  fill_cut_bits(layout, table, rows, block);
}

__attribute__((target("avx2"))) void fill_cut_bits_avx2(
    const ForestLayout& layout, const CandidateRanks& table,
    std::span<const strategy::Candidate> rows, Block& block) {
  fill_cut_bits(layout, table, rows, block);
}

// The block's cut bits in the vectors of the unit that walks them.
void fill_lane_bits(Unit unit, const ForestLayout& layout, const CandidateRanks& table,
                    std::span<const strategy::Candidate> rows, Block& block) {
  if (unit == Unit::avx2) {
    fill_cut_bits_avx2(layout, table, rows, block);
  } else {
    fill_cut_bits_avx512(layout, table, rows, block);
  }
}
#else
void fill_lane_bits(Unit, const ForestLayout&, const CandidateRanks&,
                    std::span<const strategy::Candidate>, Block&) {
  core::fatal("rf: lane walk without the vector unit");
}
#endif

}  // namespace

Forest train(std::span<const Row> rows, std::span<const float> targets,
             const ForestParams& params) {
  if (rows.size() != targets.size()) core::fatal("rf: rows and targets differ in length");
  if (rows.size() > kMaxTrainingRows) {
    rows = rows.last(kMaxTrainingRows);
    targets = targets.last(kMaxTrainingRows);
  }
  // Feature-major copy: a split search reads one feature over a node's samples.
  const Columns columns = make_columns(rows);
  // One task per tree (trees differ in cost, so none are bundled); each writes its own slot.
  Forest forest;
  forest.trees.resize(params.n_trees);
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, params.n_trees, 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t t = range.begin(); t != range.end(); ++t) {
          forest.trees[t] = TreeBuilder(columns, targets, params, t).build();
        }
      },
      tbb::simple_partitioner{});
  build_layout(forest);
  return forest;
}

void build_layout(Forest& forest) {
  ForestLayout& layout = forest.layout;
  layout = {};
  std::vector<std::uint32_t> depths;
  depths.reserve(forest.trees.size());
  for (const Tree& tree : forest.trees) {
    depths.push_back(tree.empty() ? kMaxLaidOutDepth + 1 : tree_depth(tree));
    if (depths.back() > kMaxLaidOutDepth) continue;
    for (const TreeNode& n : tree) {
      if (n.feature >= 0 && !std::isnan(n.threshold)) layout.cuts[n.feature].push_back(n.threshold);
    }
  }
  for (std::vector<float>& cuts : layout.cuts) {
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());  // -0 and +0 are one cut
  }
  layout.trees.reserve(forest.trees.size());
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    LaidOutTree lt;
    lt.depth = depths[t];
    lt.split_offset = layout.splits.size();
    lt.leaf_offset = layout.leaves.size();
    if (lt.depth <= kMaxLaidOutDepth) {
      const std::size_t leaves = std::size_t{1} << lt.depth;
      layout.splits.resize(layout.splits.size() + leaves);
      layout.leaves.resize(layout.leaves.size() + leaves);
      lay_out(layout, forest.trees[t], 0, 1, 0, lt.depth, layout.splits.data() + lt.split_offset,
              layout.leaves.data() + lt.leaf_offset);
    }
    layout.trees.push_back(lt);
  }
  build_lanes(forest, layout);
}

float predict_mean(const Forest& forest, const Row& x) {
  return static_cast<float>(mean_of(single_row_sums(forest, x).sum, forest.trees.size()));
}

float predict(const Forest& forest, const Row& x, float k) {
  const Sums s = single_row_sums(forest, x);
  return combine(s.sum, s.dev, s.dev_sq, forest.trees.size(), k);
}

std::vector<float> predict_batch(const Forest& forest,
                                 std::span<const strategy::Candidate> candidates, float k,
                                 BatchWalk walk) {
  std::vector<float> out(candidates.size(), 0.0f);
  if (forest.trees.empty()) return out;
  bool every_tree_laid_out = true;
  for (std::size_t t = 0; t < forest.trees.size(); ++t) {
    every_tree_laid_out = every_tree_laid_out && laid_out(forest, t);
  }
  const bool ranked = has_layout(forest);
  const CandidateRanks table = ranked ? candidate_ranks(forest.layout) : CandidateRanks{};
  const Unit unit = lane_unit(forest, walk);
  const std::size_t blocks = (candidates.size() + kBlock - 1) / kBlock;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 8), [&](const auto& range) {
    Block block;
    for (std::size_t b = range.begin(); b != range.end(); ++b) {
      const std::size_t first = b * kBlock;
      const std::size_t count = std::min(kBlock, candidates.size() - first);
      if (unit != Unit::rows) {
        fill_lane_bits(unit, forest.layout, table, candidates.subspan(first, count), block);
        predict_lanes(forest, block, k, unit);
        std::copy_n(block.prediction, count, out.begin() + static_cast<std::ptrdiff_t>(first));
      } else {
        for (std::size_t r = 0; r < kBlock; ++r) {
          // A short last block repeats its last candidate; the extra results are dropped.
          const strategy::Candidate& c = candidates[first + std::min(r, count - 1)];
          const bool lattice = ranked && in_lattice(table, c);
          if (!every_tree_laid_out || !lattice) block.rows[r] = strategy::feature_vector(c);
          if (ranked) {
            block.ranks[r] =
                lattice ? candidate_rank_row(table, c) : rank_row(forest.layout, block.rows[r]);
          }
        }
        accumulate(forest, block);
        for (std::size_t r = 0; r < count; ++r) {
          out[first + r] =
              combine(block.sum[r], block.dev[r], block.dev_sq[r], forest.trees.size(), k);
        }
      }
    }
  });
  return out;
}

std::size_t node_count(const Forest& forest) {
  std::size_t total = 0;
  for (const Tree& tree : forest.trees) total += tree.size();
  return total;
}

}  // namespace varnek::rf
