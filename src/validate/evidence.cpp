#include "validate/evidence.hpp"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "core/fatal.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"

namespace varnek::validate {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEulerGamma = 0.5772156649015329;

// Acklam's coefficients: central region |p - 0.5| <= 0.5 - kTail, tails below.
constexpr double kTail = 0.02425;
constexpr std::array<double, 6> kA = {-3.969683028665376e+01, 2.209460984245205e+02,
                                      -2.759285104469687e+02, 1.383577518672690e+02,
                                      -3.066479806614716e+01, 2.506628277459239e+00};
constexpr std::array<double, 5> kB = {-5.447609879822406e+01, 1.615858368580409e+02,
                                      -1.556989798598866e+02, 6.680131188771972e+01,
                                      -1.328068155288572e+01};
constexpr std::array<double, 6> kC = {-7.784894002430293e-03, -3.223964580411365e-01,
                                      -2.400758277161838e+00, -2.549732539343734e+00,
                                      4.374664141464968e+00,  2.938163982698783e+00};
constexpr std::array<double, 4> kD = {7.784695709041462e-03, 3.224671290700398e-01,
                                      2.445134137142996e+00, 3.754408661907416e+00};

// Acklam's approximation for 0 < p <= 0.5.
double acklam_lower(double p) {
  if (p < kTail) {
    const double q = std::sqrt(-2.0 * std::log(p));
    return (((((kC[0] * q + kC[1]) * q + kC[2]) * q + kC[3]) * q + kC[4]) * q + kC[5]) /
           ((((kD[0] * q + kD[1]) * q + kD[2]) * q + kD[3]) * q + 1.0);
  }
  const double q = p - 0.5;
  const double r = q * q;
  return (((((kA[0] * r + kA[1]) * r + kA[2]) * r + kA[3]) * r + kA[4]) * r + kA[5]) * q /
         (((((kB[0] * r + kB[1]) * r + kB[2]) * r + kB[3]) * r + kB[4]) * r + 1.0);
}

// Phi(x) - p without cancellation: from p = 0.25 up, p - 0.5 is exact and erf keeps the
// relative accuracy of the small difference; below, erfc is accurate in the tail.
double cdf_residual(double x, double p) {
  if (p >= 0.25) return 0.5 * std::erf(x / std::numbers::sqrt2) - (p - 0.5);
  return 0.5 * std::erfc(-x / std::numbers::sqrt2) - p;
}

// One Halley step on f(x) = Phi(x) - p: u = f / phi(x), x - u / (1 + x u / 2).
double quantile_lower(double p) {
  const double x = acklam_lower(p);
  const double u = cdf_residual(x, p) * std::sqrt(2.0 * std::numbers::pi) * std::exp(0.5 * x * x);
  if (!std::isfinite(u)) return x;
  return x - u / (1.0 + 0.5 * x * u);
}

// The z of the probabilistic Sharpe ratio, absent where the ratio is.
std::optional<double> psr_z(const TradeMoments& m, double sr_benchmark) {
  if (m.n < 2 || !(m.sd > 0.0) || !std::isfinite(m.mean) || !std::isfinite(sr_benchmark)) {
    return std::nullopt;
  }
  const double sr = m.mean / m.sd;
  const double radicand = 1.0 - m.skewness * sr + 0.25 * (m.kurtosis - 1.0) * sr * sr;
  if (!(radicand > 0.0) || !std::isfinite(radicand)) return std::nullopt;
  return (sr - sr_benchmark) * std::sqrt(static_cast<double>(m.n - 1)) / std::sqrt(radicand);
}

template <class Get>
TradeMoments moments_of(std::size_t n, Get r) {
  TradeMoments m;
  m.n = n;
  if (n == 0) return m;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += r(i);
  m.mean = sum / static_cast<double>(n);
  if (n < 2) return m;
  double m2 = 0.0, m3 = 0.0, m4 = 0.0, sq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = r(i) - m.mean;
    m2 += d * d;
    m3 += d * d * d;
    m4 += d * d * d * d;
    sq += r(i) * r(i);
  }
  if (!(m2 > kMinRelativeSpread * sq)) {
    m.sd = 0.0;
    return m;
  }
  const double count = static_cast<double>(n);
  m.sd = std::sqrt(m2 / (count - 1.0));
  m2 /= count;
  m.skewness = (m3 / count) / (m2 * std::sqrt(m2));
  m.kurtosis = (m4 / count) / (m2 * m2);
  return m;
}

std::size_t check_blocks(std::size_t blocks) {
  if (blocks < 2 || blocks > 16 || blocks % 2 != 0) {
    core::fatal("evidence: block count must be even, from 2 to 16");
  }
  return blocks;
}

// The S-bit masks with S/2 bits set, ascending (Gosper's next-combination step).
std::vector<std::uint32_t> split_masks(std::size_t blocks) {
  std::vector<std::uint32_t> masks;
  const std::uint32_t limit = std::uint32_t{1} << blocks;
  std::uint32_t mask = (std::uint32_t{1} << (blocks / 2)) - 1;
  while (mask < limit) {
    masks.push_back(mask);
    const std::uint32_t low = mask & (~mask + 1);
    const std::uint32_t ripple = mask + low;
    mask = (((ripple ^ mask) >> 2) / low) | ripple;
  }
  return masks;
}

// Sums and trade counts of the candidates over every subset of the blocks of each half of
// a row (the first S/2 blocks, the last S/2), subset-major: entry [subset * candidates + c].
// A split is the union of one subset of each half, so its means read contiguous rows
// instead of gathering S/2 blocks per candidate. 16 bytes per candidate and subset.
struct SubsetTables {
  std::size_t size = 0;  // candidates
  std::uint32_t half_bits = 0;
  // Exact counts in doubles keep the loop vectorisable. Several MB at once: zeroed pages,
  // since subset 0 is all zeros and every other row is written.
  core::ZeroedArray<double> sum[2], trades[2];
};

SubsetTables subset_tables(const BlockReturns& b, std::size_t size) {
  SubsetTables t;
  t.size = size;
  t.half_bits = static_cast<std::uint32_t>(b.blocks / 2);
  const std::size_t subsets = std::size_t{1} << t.half_bits;
  for (std::size_t h = 0; h < 2; ++h) {
    t.sum[h] = core::ZeroedArray<double>(subsets * size);
    t.trades[h] = core::ZeroedArray<double>(subsets * size);
    for (std::size_t s = 1; s < subsets; ++s) {
      const auto bit = static_cast<std::size_t>(std::countr_zero(s));
      const std::size_t rest = s & (s - 1);
      for (std::size_t c = 0; c < size; ++c) {
        const std::size_t cell = c * b.blocks + h * t.half_bits + bit;
        t.sum[h][s * size + c] = b.sum_r[cell] + t.sum[h][rest * size + c];
        t.trades[h][s * size + c] =
            static_cast<double>(b.trades[cell]) + t.trades[h][rest * size + c];
      }
    }
  }
  return t;
}

// Mean R of each candidate over the blocks of `mask`, 0 without trades. Built
// twice, the wider vectors chosen at run time where the processor has them; IEEE division
// and addition in the same order give the same bits either way.
[[gnu::target_clones("avx2", "default")]] void split_means(const SubsetTables& t,
                                                           std::uint32_t mask,
                                                           std::span<double> out) {
  const std::uint32_t full = (std::uint32_t{1} << t.half_bits) - 1;
  const std::size_t lo = (mask & full) * t.size, hi = (mask >> t.half_bits) * t.size;
  // Distinct arrays: told so, the compiler vectorises without a run-time overlap check.
  const double* __restrict sum_lo = t.sum[0].data() + lo;
  const double* __restrict sum_hi = t.sum[1].data() + hi;
  const double* __restrict trades_lo = t.trades[0].data() + lo;
  const double* __restrict trades_hi = t.trades[1].data() + hi;
  double* __restrict means = out.data();
  // Without trades the sum is 0 too, so dividing it by 1 instead gives the mean of 0;
  // written without a branch, so that the loop vectorises.
  for (std::size_t c = 0; c < t.size; ++c) {
    const double trades = trades_lo[c] + trades_hi[c];
    means[c] = (sum_lo[c] + sum_hi[c]) / (trades + static_cast<double>(trades == 0.0));
  }
}

// Position of the first largest value; NaN (a mean over trades without a result) is never
// the largest, unless every value is NaN (position 0). The largest is found four lanes at
// a time with the compiler's vector types (a comparison and a select per step), then its
// first position is searched.
[[gnu::target_clones("avx2", "default")]] std::size_t first_max(std::span<const double> v) {
  using Lanes = double __attribute__((vector_size(32)));
  constexpr std::size_t kLanes = 4;
  const double lowest = -std::numeric_limits<double>::infinity();
  Lanes top = {lowest, lowest, lowest, lowest};
  std::size_t c = 0;
  for (; c + kLanes <= v.size(); c += kLanes) {
    Lanes x;
    std::memcpy(&x, v.data() + c, sizeof x);
    top = x > top ? x : top;
  }
  double best = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
  for (; c < v.size(); ++c) best = v[c] > best ? v[c] : best;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == best) return i;
  }
  return 0;  // nothing above -inf: all NaN or -inf
}

// Where the best in-sample candidate of a split ranks out of sample: the count of
// candidates below its out-of-sample mean and of those equal to it (itself included).
struct OosRank {
  std::size_t below = 0, equal = 0;
};

// Counts in 64-bit lanes, so that the comparisons vectorise.
[[gnu::target_clones("avx2", "default")]] OosRank count_around(std::span<const double> v,
                                                               double chosen) {
  const double* __restrict m = v.data();
  std::int64_t below = 0, equal = 0;
  for (std::size_t c = 0; c < v.size(); ++c) {
    below += m[c] < chosen ? 1 : 0;
    equal += m[c] == chosen ? 1 : 0;
  }
  return {static_cast<std::size_t>(below), static_cast<std::size_t>(equal)};
}

OosRank oos_rank(std::span<const double> in_sample, std::span<const double> out_of_sample) {
  return count_around(out_of_sample, out_of_sample[first_max(in_sample)]);
}

double median_of_sorted(std::span<const double> v) {
  const std::size_t h = v.size() / 2;
  return v.size() % 2 != 0 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

}  // namespace

double normal_cdf(double x) {
  return 0.5 * std::erfc(-x / std::numbers::sqrt2);
}

double inverse_normal_cdf(double p) {
  if (std::isnan(p)) return kNaN;
  if (p <= 0.0) return -kInf;
  if (p >= 1.0) return kInf;
  if (p > 0.5) return -quantile_lower(1.0 - p);
  return quantile_lower(p);
}

TradeMoments trade_moments(std::span<const double> r) {
  return moments_of(r.size(), [&](std::size_t i) { return r[i]; });
}

TradeMoments trade_moments(std::span<const bt::Trade> trades) {
  return moments_of(trades.size(), [&](std::size_t i) { return trades[i].r; });
}

std::optional<double> probabilistic_sharpe(const TradeMoments& m, double sr_benchmark) {
  const auto z = psr_z(m, sr_benchmark);
  if (!z) return std::nullopt;
  return normal_cdf(*z);
}

double expected_max_sharpe(std::uint64_t trials, double variance) {
  if (trials <= 1) return 0.0;
  if (!(variance >= 0.0) || !std::isfinite(variance)) return kNaN;
  const double n = static_cast<double>(trials);
  const double upper_n = -inverse_normal_cdf(1.0 / n);
  const double upper_ne = -inverse_normal_cdf(1.0 / (n * std::numbers::e));
  return std::sqrt(variance) * ((1.0 - kEulerGamma) * upper_n + kEulerGamma * upper_ne);
}

std::optional<double> deflated_sharpe(const TradeMoments& m, std::uint64_t trials,
                                      double variance) {
  return probabilistic_sharpe(m, expected_max_sharpe(trials, variance));
}

std::optional<double> test_p_value(const TradeMoments& m) {
  const auto z = psr_z(m, 0.0);
  if (!z) return std::nullopt;
  return normal_cdf(-*z);
}

std::vector<std::optional<double>> holm(std::span<const std::optional<double>> p) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] && !std::isnan(*p[i])) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return *p[a] < *p[b]; });
  std::vector<std::optional<double>> out(p.size());
  const std::size_t m = p.size();
  double running = 0.0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const double adjusted = std::min(1.0, static_cast<double>(m - k) * *p[order[k]]);
    running = std::max(running, adjusted);
    out[order[k]] = running;
  }
  return out;
}

std::optional<double> sharpe_of(const bt::SegmentSummary& s) {
  if (s.trades < 2) return std::nullopt;
  const double n = static_cast<double>(s.trades);
  const double spread = s.sum_sq_r - s.net_r * s.net_r / n;
  if (!(spread > kMinRelativeSpread * s.sum_sq_r)) return std::nullopt;
  return (s.net_r / n) / std::sqrt(spread / (n - 1.0));
}

void TrialStats::add(double sharpe) {
  if (!std::isfinite(sharpe)) return;
  sharpes += 1;
  const double delta = sharpe - mean;
  mean += delta / static_cast<double>(sharpes);
  m2 += delta * (sharpe - mean);
}

std::optional<double> sharpe_mean(const TrialStats& t) {
  if (t.sharpes == 0) return std::nullopt;
  return t.mean;
}

std::optional<double> sharpe_variance(const TrialStats& t) {
  if (t.sharpes < 2) return std::nullopt;
  return t.m2 / static_cast<double>(t.sharpes - 1);
}

FinalistEvidence finalist_evidence(const TradeMoments& train, const TradeMoments& test,
                                   const TrialStats& trials) {
  FinalistEvidence e;
  e.psr_train = probabilistic_sharpe(train, 0.0);
  e.dsr = deflated_sharpe(train, trials.trials, sharpe_variance(trials).value_or(kNaN));
  e.test_p_value = test_p_value(test);
  return e;
}

void apply_holm(std::span<FinalistEvidence> finalists) {
  std::vector<std::optional<double>> p;
  p.reserve(finalists.size());
  for (const FinalistEvidence& e : finalists) p.push_back(e.test_p_value);
  const auto adjusted = holm(p);
  for (std::size_t i = 0; i < finalists.size(); ++i) finalists[i].test_p_holm = adjusted[i];
}

BlockReturns make_block_returns(std::size_t candidates, std::size_t blocks) {
  BlockReturns b;
  b.blocks = check_blocks(blocks);
  b.sum_r.assign(candidates * blocks, 0.0);
  b.trades.assign(candidates * blocks, 0);
  return b;
}

std::size_t candidate_count(const BlockReturns& b) {
  return b.sum_r.size() / check_blocks(b.blocks);
}

namespace {

template <class T>
void add_to_blocks(BlockReturns& b, std::size_t candidate, std::span<const T> trades,
                   std::size_t start, std::size_t end) {
  if (candidate >= candidate_count(b)) core::fatal("evidence: block row out of range");
  if (end <= start) core::fatal("evidence: empty block range");
  const std::uint64_t length = end - start;
  for (const T& t : trades) {
    std::size_t block = 0;
    if (t.entry_bar >= end) {
      block = b.blocks - 1;
    } else if (t.entry_bar > start) {
      block = static_cast<std::size_t>((t.entry_bar - start) * b.blocks / length);
    }
    b.sum_r[candidate * b.blocks + block] += t.r;
    b.trades[candidate * b.blocks + block] += 1;
  }
}

}  // namespace

void add_trades_to_blocks(BlockReturns& b, std::size_t candidate, std::span<const bt::Trade> trades,
                          std::size_t start, std::size_t end) {
  add_to_blocks(b, candidate, trades, start, end);
}

void add_trades_to_blocks(BlockReturns& b, std::size_t candidate,
                          std::span<const bt::TradeResult> trades, std::size_t start,
                          std::size_t end) {
  add_to_blocks(b, candidate, trades, start, end);
}

PboResult pbo(const BlockReturns& b) {
  PboResult out;
  out.candidates = candidate_count(b);
  if (b.trades.size() != b.sum_r.size()) core::fatal("evidence: block columns differ in length");
  if (out.candidates < 2) return out;
  const std::vector<std::uint32_t> masks = split_masks(b.blocks);
  const std::size_t n = masks.size();
  const std::uint32_t all = (std::uint32_t{1} << b.blocks) - 1;

  // The complement of the i-th mask is the (n - 1 - i)-th: the two splits of a pair swap
  // their halves, so each pair's two mean rows serve both.
  const SubsetTables tables = subset_tables(b, out.candidates);
  struct Rows {
    std::vector<double> a, b;
  };
  tbb::enumerable_thread_specific<Rows> scratch([&] {
    return Rows{std::vector<double>(out.candidates), std::vector<double>(out.candidates)};
  });
  std::vector<OosRank> ranks(n);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n / 2), [&](const auto& r) {
    Rows& rows = scratch.local();
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      split_means(tables, masks[i], rows.a);
      split_means(tables, all & ~masks[i], rows.b);
      ranks[i] = oos_rank(rows.a, rows.b);
      ranks[n - 1 - i] = oos_rank(rows.b, rows.a);
    }
  });
  std::vector<double> logits(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Twice the average rank, below + (equal + 1) / 2 with the choice among the equal,
    // keeps the ratio exact: omega = 1/2 gives a ratio of exactly 1 and a logit of 0.
    const double twice_rank = static_cast<double>(2 * ranks[i].below + ranks[i].equal + 1);
    const double twice_n1 = 2.0 * static_cast<double>(out.candidates + 1);
    logits[i] = std::log(twice_rank / (twice_n1 - twice_rank));
  }
  const auto overfit =
      std::count_if(logits.begin(), logits.end(), [](double l) { return l <= 0.0; });
  out.splits = n;
  out.pbo = static_cast<double>(overfit) / static_cast<double>(n);
  std::sort(logits.begin(), logits.end());
  out.logit_median = median_of_sorted(logits);
  return out;
}

core::Json optional_json(const std::optional<double>& value) {
  return value ? core::number_or_null(*value) : core::Json(nullptr);
}

core::Json to_json(const FinalistEvidence& e) {
  core::Json j = core::Json::object();
  j["dsr"] = optional_json(e.dsr);
  j["psr_train"] = optional_json(e.psr_train);
  j["test_p_holm"] = optional_json(e.test_p_holm);
  j["test_p_value"] = optional_json(e.test_p_value);
  return j;
}

core::Json evidence_json(const TrialStats& trials, const PboResult& pbo) {
  core::Json j = core::Json::object();
  j["pbo"] = optional_json(pbo.pbo);
  j["sharpe_mean"] = optional_json(sharpe_mean(trials));
  j["sharpe_variance"] = optional_json(sharpe_variance(trials));
  j["trials"] = trials.trials;
  return j;
}

}  // namespace varnek::validate
