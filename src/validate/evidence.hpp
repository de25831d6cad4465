#pragma once
// Evidence against overfitting: the statistics of the variants tried, the probabilistic and
// deflated Sharpe ratios of a finalist, one-sided test p-values with Holm's adjustment, and
// the probability of backtest overfitting by combinatorially symmetric cross-validation.
//
// Every Sharpe ratio here is per trade, in R, not annualised: mean R over the sample
// standard deviation of R. A figure that cannot be formed (too few trades, no spread)
// is absent, never NaN.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "bt/metrics.hpp"
#include "bt/simulate.hpp"
#include "core/json.hpp"
#include "strategy/lattice.hpp"

namespace varnek::validate {

// Standard normal distribution function, 0.5 erfc(-x / sqrt 2): accurate in the lower
// tail, rounds to 1 in the far upper tail.
double normal_cdf(double x);

// Its inverse: Acklam's rational approximation (P. J. Acklam, "An algorithm for computing
// the inverse normal cumulative distribution function", 2003; relative error below
// 1.15e-9) followed by one Halley step on Phi(x) - p, which brings it to a few units in
// the last place. p above 0.5 is reflected (1 - p is exact there), so upper quantiles are
// as accurate as lower ones; the step's residual uses erf around the centre and erfc in
// the tails to avoid cancellation. p <= 0 gives -inf, p >= 1 +inf, NaN gives NaN; for a
// subnormal p the step would overflow and the plain approximation is kept.
double inverse_normal_cdf(double p);

// A spread this small against the sum of squares (sum of (r - mean)^2 <= 1e-10 * sum of
// r^2, i.e. a per-trade Sharpe beyond about 1e5) counts as no spread at all: the one-pass
// sums of a summary cannot resolve it, and rounding noise would pass for a huge Sharpe.
inline constexpr double kMinRelativeSpread = 1e-10;

// Sample moments of per-trade R. mean = sum / n; sd is the sample standard deviation
// (divisor n - 1); skewness and kurtosis are the plain moment ratios the 2012 paper uses,
// m3 / m2^1.5 and m4 / m2^2 with m_k the mean of (r - mean)^k over the n trades (kurtosis
// not in excess: 3 for normal returns). Undefined figures are NaN: all of them without
// trades, sd and the shape with one trade; sd is 0 and the shape NaN without spread.
struct TradeMoments {
  std::uint64_t n = 0;
  double mean = std::numeric_limits<double>::quiet_NaN();
  double sd = std::numeric_limits<double>::quiet_NaN();
  double skewness = std::numeric_limits<double>::quiet_NaN();
  double kurtosis = std::numeric_limits<double>::quiet_NaN();
};

// Two passes over the sample: the mean, then the central moments.
TradeMoments trade_moments(std::span<const double> r);
TradeMoments trade_moments(std::span<const bt::Trade> trades);

// Probabilistic Sharpe ratio (Bailey and Lopez de Prado 2012, "The Sharpe ratio efficient
// frontier", section 3): the probability that the true Sharpe exceeds sr_benchmark,
//   PSR(SR*) = Phi((SR - SR*) sqrt(n - 1) / sqrt(1 - g3 SR + (g4 - 1) / 4 SR^2))
// with SR = mean / sd, g3 the skewness and g4 the kurtosis of the moments. The radicand
// is the asymptotic variance of the Sharpe estimate (Mertens 2002) times n; it is never
// negative for real moments (g4 >= 1 + g3^2). Absent with fewer than 2 trades, without
// spread, with a radicand <= 0 or a non-finite benchmark.
std::optional<double> probabilistic_sharpe(const TradeMoments& m, double sr_benchmark);

// Expected maximum of N independent Sharpe estimates of zero mean and variance V (Bailey
// and Lopez de Prado 2014, "The deflated Sharpe ratio", with the Euler-Mascheroni
// constant g = 0.5772156649015329):
//   SR0 = sqrt(V) ((1 - g) Z^-1(1 - 1/N) + g Z^-1(1 - 1/(N e)))
// Z^-1(1 - q) is taken as -Z^-1(q), exact for any N. N <= 1 gives 0 (no selection);
// otherwise a negative or non-finite V gives NaN.
double expected_max_sharpe(std::uint64_t trials, double variance);

// Deflated Sharpe ratio (same 2014 paper): PSR against the expected maximum above,
// DSR = PSR(SR0(N, V)). Absent where PSR is, or when SR0 is not finite.
std::optional<double> deflated_sharpe(const TradeMoments& m, std::uint64_t trials, double variance);

// One-sided p-value of "mean R above 0": 1 - PSR(0), computed as Phi(-z) so that small
// p-values keep their digits. Absent where PSR(0) is (fewer than 2 trades among them).
std::optional<double> test_p_value(const TradeMoments& m);

// Holm's step-down adjustment (Holm 1979). m is the number of entries, absent ones
// included (conservatively: an absent p-value behaves as a p of 1 ranked last and stays
// absent in the output; a NaN counts as absent). With the present p-values sorted
// ascending, ties in input order, the j-th (from 1) becomes
//   max over k <= j of min(1, (m - k + 1) p_(k)),
// written back at its input position.
std::vector<std::optional<double>> holm(std::span<const std::optional<double>> p);

// Per-trade Sharpe of a summary: mean = net_r / trades, sample variance
// (sum_sq_r - net_r^2 / trades) / (trades - 1). Absent with fewer than 2 trades or
// without spread (numerator <= kMinRelativeSpread * sum_sq_r).
std::optional<double> sharpe_of(const bt::SegmentSummary& s);

// Statistics of the variants a run tried. `trials` counts distinct variants evaluated
// (kept by the caller); the Sharpe statistics cover those with a
// defined train Sharpe, by Welford's online update in the caller's order, which must not
// depend on the number of workers.
struct TrialStats {
  std::uint64_t trials = 0;
  std::uint64_t sharpes = 0;  // values added
  double mean = 0.0;          // running mean of the values
  double m2 = 0.0;            // running sum of squared deviations from it

  // Adds one variant's Sharpe; a non-finite value is no Sharpe and is skipped. Does not
  // count a trial.
  void add(double sharpe);
};

// Mean of the Sharpes; absent without any.
std::optional<double> sharpe_mean(const TrialStats& t);
// Sample variance (divisor count - 1) of the Sharpes; absent with fewer than 2.
std::optional<double> sharpe_variance(const TrialStats& t);

// The overfitting figures of one finalist.
struct FinalistEvidence {
  std::optional<double> psr_train;     // PSR(0) of the train trades
  std::optional<double> dsr;           // deflated against the run's trials
  std::optional<double> test_p_value;  // of the test trades
  std::optional<double> test_p_holm;   // Holm across the run's finalists
};

// All but test_p_holm. The DSR uses trials.trials and the sample variance of the trial
// Sharpes (absent variance: absent DSR, unless there was at most one trial).
FinalistEvidence finalist_evidence(const TradeMoments& train, const TradeMoments& test,
                                   const TrialStats& trials);

// Fills test_p_holm of every finalist from their test_p_value.
void apply_holm(std::span<FinalistEvidence> finalists);

// Per-block results of the promoted candidates for the overfitting probability, laid
// out candidate-major: entry [c * blocks + b]. Memory is 12 bytes per candidate and
// block, independent of the size of the space.
struct BlockReturns {
  std::size_t blocks = 16;
  std::vector<double> sum_r;
  std::vector<std::uint32_t> trades;
};

// Zeroed rows for `candidates`; `blocks` must be even, from 2 to 16 (the overfitting
// probability keeps sums over every subset of each half: 2^(blocks / 2) rows of each).
BlockReturns make_block_returns(std::size_t candidates, std::size_t blocks = 16);
std::size_t candidate_count(const BlockReturns& b);

// Adds trades to row `candidate`, with [start, end) cut into equal blocks by bar index:
// a trade belongs to block (entry_bar - start) * blocks / (end - start), integer
// division; an entry before start counts in the first block, at or after end in the
// last. Adds rather than replaces, so a row may be filled from several runs.
void add_trades_to_blocks(BlockReturns& b, std::size_t candidate, std::span<const bt::Trade> trades,
                          std::size_t start, std::size_t end);
void add_trades_to_blocks(BlockReturns& b, std::size_t candidate,
                          std::span<const bt::TradeResult> trades, std::size_t start,
                          std::size_t end);

// Probability of backtest overfitting by combinatorially symmetric cross-validation
// (Bailey, Borwein, Lopez de Prado and Zhu 2015, "The probability of backtest
// overfitting"). Over all C(S, S/2) ways to choose S/2 of the S blocks as in-sample (IS),
// the rest out-of-sample (OOS), enumerated in ascending order of the S-bit block mask:
// - a candidate's mean R in a half is its sum of R over that half's blocks divided by
//   its trades there, 0 with no trade (not trading neither earns nor loses, and every
//   candidate stays in every ranking, so ranks stay comparable between splits);
// - the IS choice is the highest IS mean, ties to the lower index;
// - its OOS rank is 1 + the number of candidates with a lower OOS mean, ties sharing
//   the average rank; omega = rank / (N + 1), logit = ln(omega / (1 - omega));
// - pbo is the share of splits with logit <= 0 (omega <= 1/2: the choice did at or below
//   the OOS median).
// Splits run in parallel and their logits are counted afterwards in split order, so the
// result does not depend on the number of workers. Sums over every subset of each half of
// the blocks are tabulated once (2 x 2^(S/2) rows), so a split's means read two contiguous
// rows per half instead of gathering S/2 blocks per candidate.
struct PboResult {
  std::optional<double> pbo;           // absent with fewer than 2 candidates
  std::optional<double> logit_median;  // middle of the sorted logits (mean of the two)
  std::size_t candidates = 0;
  std::size_t splits = 0;  // 0 when not computed
};

PboResult pbo(const BlockReturns& b);

// A present, finite value as a number, otherwise null.
core::Json optional_json(const std::optional<double>& value);
// {dsr, psr_train, test_p_holm, test_p_value}
core::Json to_json(const FinalistEvidence& e);
// {pbo, sharpe_mean, sharpe_variance, trials}
core::Json evidence_json(const TrialStats& trials, const PboResult& pbo);

}  // namespace varnek::validate
