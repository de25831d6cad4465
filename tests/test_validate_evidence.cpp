// Evidence against overfitting: the normal quantile, PSR / DSR / p-values on hand-computed
// samples, Holm's adjustment, the trial statistics and the CSCV rank rule.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "core/splitmix.hpp"
#include "validate/evidence.hpp"

using namespace varnek;
using validate::TradeMoments;

namespace {

using Opt = std::optional<double>;

void expect_opt_near(const Opt& got, const Opt& want, double tol, const char* what) {
  ASSERT_EQ(got.has_value(), want.has_value()) << what;
  if (want) {
    EXPECT_NEAR(*got, *want, tol) << what;
  }
}

bt::Trade trade(std::uint64_t entry_bar, double r) {
  bt::Trade t;
  t.entry_bar = entry_bar;
  t.r = r;
  return t;
}

// One row per candidate: the R of each block and its trade count (1 where not given).
struct Row {
  std::vector<double> sum_r;
  std::vector<std::uint32_t> trades = {};
};

validate::BlockReturns blocks_of(const std::vector<Row>& rows) {
  auto b = validate::make_block_returns(rows.size());
  for (std::size_t c = 0; c < rows.size(); ++c) {
    for (std::size_t k = 0; k < b.blocks; ++k) {
      b.sum_r[c * b.blocks + k] = rows[c].sum_r[k];
      b.trades[c * b.blocks + k] = rows[c].trades.empty() ? 1u : rows[c].trades[k];
    }
  }
  return b;
}

std::vector<double> filled(double v) {
  return std::vector<double>(16, v);
}

std::vector<double> first_block(double v) {
  auto r = filled(0.0);
  r[0] = v;
  return r;
}

}  // namespace

TEST(EvidenceNormal, QuantilesToFullPrecision) {
  // Reference quantiles to 17 digits (high-precision root of Phi(x) = p at the double p).
  struct Case {
    double p, x;
  };
  const Case cases[] = {{0.975, 1.9599639845400539},    {0.025, -1.9599639845400542},
                        {0.999, 3.0902323061678133},    {0.001, -3.0902323061678135},
                        {0.9, 1.2815515655446006},      {0.3, -0.52440051270804082},
                        {0.02425, -1.9729610513118848}, {1e-10, -6.3613409024040562},
                        {1e-300, -37.047096299361199},  {0.5, 0.0}};
  for (const Case& c : cases) {
    const double x = validate::inverse_normal_cdf(c.p);
    EXPECT_NEAR(x, c.x, 1e-15 * std::abs(c.x)) << c.p;
    // Back through Phi: the round trip amplifies relative errors by about 1 + x^2.
    EXPECT_NEAR(validate::normal_cdf(x), c.p, 2e-15 * (1.0 + x * x) * c.p) << c.p;
  }
  EXPECT_EQ(validate::inverse_normal_cdf(0.0), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(validate::inverse_normal_cdf(1.0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(validate::inverse_normal_cdf(std::nan(""))));
}

TEST(EvidenceSharpe, HandComputedSamples) {
  // A = {-1, 2, -1, 2}: mean 0.5, deviations +-1.5, m2 = 2.25, m3 = 0, m4 = 5.0625, so
  //   skewness 0, kurtosis 1; sd = sqrt(9 / 3) = sqrt 3; SR = 0.5 / sqrt 3; radicand 1;
  //   z = SR sqrt 3 = 0.5; PSR(0) = Phi(0.5) = 0.69146246127401310; p = Phi(-0.5).
  //   DSR with N = 1000, V = 0.01: SR0 = 0.32551215136527256 (see ExpectedMaximum),
  //   z = 0.5 - sqrt 3 SR0 = -0.063803584645703, Phi(z) = 0.47456331197127711.
  // B = {-1, -1, 2, 4}: mean 1, deviations -2, -2, 1, 3; m2 = 4.5, m3 = 3, m4 = 28.5, so
  //   skewness 3 / 4.5^1.5 = 0.31426968052735446, kurtosis 28.5 / 20.25 = 1.4074074;
  //   sd = sqrt(18 / 3) = sqrt 6; SR = 1 / sqrt 6 = 0.40824829046386302;
  //   radicand 1 - 0.31427 SR + 0.40741 / 4 SR^2 = 0.88867524882205847;
  //   z(0) = SR sqrt 3 / sqrt(radicand) = 0.75009014565306740, Phi = 0.77339979293593235;
  //   z(0.1) = (SR - 0.1) sqrt 3 / sqrt(radicand) = 0.56635633385907453, Phi = 0.71442421;
  //   DSR (N = 1000, V = 0.01): z = 0.15201426209702033, Phi = 0.56041215657180564.
  struct Case {
    std::vector<double> r;
    double benchmark, psr;
    Opt p_value;
    double dsr;
  };
  const Case cases[] = {
      {{-1, 2, -1, 2}, 0.0, 0.69146246127401310, 0.30853753872598690, 0.47456331197127711},
      {{-1, -1, 2, 4}, 0.0, 0.77339979293593235, 0.22660020706406765, 0.56041215657180564},
      {{-1, -1, 2, 4}, 0.1, 0.71442421386533509, std::nullopt, 0.56041215657180564},
  };
  for (const Case& c : cases) {
    const TradeMoments m = validate::trade_moments(c.r);
    expect_opt_near(validate::probabilistic_sharpe(m, c.benchmark), c.psr, 1e-14, "psr");
    expect_opt_near(validate::deflated_sharpe(m, 1000, 0.01), c.dsr, 1e-14, "dsr");
    if (c.p_value) expect_opt_near(validate::test_p_value(m), c.p_value, 1e-14, "p");
    // One trial: nothing to deflate against.
    EXPECT_EQ(validate::deflated_sharpe(m, 1, 0.01), validate::probabilistic_sharpe(m, 0.0));
  }
  const TradeMoments b = validate::trade_moments(std::vector<double>{-1, -1, 2, 4});
  EXPECT_EQ(b.n, 4u);
  EXPECT_DOUBLE_EQ(b.mean, 1.0);
  EXPECT_DOUBLE_EQ(b.sd, std::sqrt(6.0));
  EXPECT_DOUBLE_EQ(b.skewness, 0.31426968052735446);
  EXPECT_DOUBLE_EQ(b.kurtosis, 28.5 / 20.25);
}

TEST(EvidenceSharpe, AbsentWithoutTwoTradesOrSpread) {
  auto hand = [](double skew, double kurt) {
    TradeMoments m;
    m.n = 10;
    m.mean = 1.0;
    m.sd = 1.0;
    m.skewness = skew;
    m.kurtosis = kurt;
    return m;
  };
  const TradeMoments cases[] = {
      validate::trade_moments(std::vector<double>{}),
      validate::trade_moments(std::vector<double>{1.5}),
      // The mean of three 0.1 is not exactly 0.1: only the spread rule keeps this at sd 0.
      validate::trade_moments(std::vector<double>{0.1, 0.1, 0.1}),
      hand(2.0, 5.0),  // radicand 1 - 2 + 4 / 4 = 0
      hand(3.0, 1.0),  // radicand 1 - 3 + 0 < 0
  };
  for (const TradeMoments& m : cases) {
    EXPECT_FALSE(validate::probabilistic_sharpe(m, 0.0)) << m.n;
    EXPECT_FALSE(validate::deflated_sharpe(m, 1000, 0.01)) << m.n;
    EXPECT_FALSE(validate::test_p_value(m)) << m.n;
  }
  EXPECT_EQ(cases[2].sd, 0.0);
  EXPECT_TRUE(std::isnan(cases[1].sd));
  // A defined PSR but no usable trial variance: no DSR.
  const TradeMoments a = validate::trade_moments(std::vector<double>{-1, 2, -1, 2});
  EXPECT_FALSE(validate::deflated_sharpe(a, 1000, std::nan("")));
}

TEST(EvidenceSharpe, ExpectedMaximum) {
  // N = 1000, V = 0.01: 0.1 (0.42278 * 3.0902323061678133 + 0.57722 * 3.3758953910618115).
  // N = 2, V = 1: Z^-1(1/2) = 0, so g * Z^-1(1 - 1 / (2e)) = 0.57722 * 0.90045.
  struct Case {
    std::uint64_t n;
    double v, want;
  };
  const double nan = std::nan("");
  const Case cases[] = {{1000, 0.01, 0.32551215136527256},
                        {2, 1.0, 0.51975534428059393},
                        {1000, 0.0, 0.0},
                        {1, 5.0, 0.0},
                        {0, nan, 0.0},
                        {10, -1.0, nan},
                        {10, nan, nan}};
  for (const Case& c : cases) {
    const double got = validate::expected_max_sharpe(c.n, c.v);
    if (std::isnan(c.want)) {
      EXPECT_TRUE(std::isnan(got)) << c.n << " " << c.v;
    } else {
      EXPECT_NEAR(got, c.want, 1e-15) << c.n << " " << c.v;
    }
  }
}

TEST(EvidenceHolm, KnownLists) {
  struct Case {
    std::vector<Opt> p, want;
  };
  const Case cases[] = {
      // Sorted 0.005, 0.01, 0.03, 0.04 times 4, 3, 2, 1: 0.02, 0.03, 0.06, 0.04 -> 0.06.
      {{0.01, 0.04, 0.03, 0.005}, {0.03, 0.06, 0.06, 0.02}},
      // The absent entry counts in m = 3 and stays absent.
      {{0.01, std::nullopt, 0.02}, {0.03, std::nullopt, 0.04}},
      {{0.5, 0.6}, {1.0, 1.0}},
      // Ties in input order: 0.02 * 3, then 0.02 * 2 lifted to 0.06, then 0.5.
      {{0.02, 0.02, 0.5}, {0.06, 0.06, 0.5}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    const auto got = validate::holm(c.p);
    ASSERT_EQ(got.size(), c.want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      expect_opt_near(got[i], c.want[i], 1e-15, "holm");
    }
  }
}

TEST(EvidenceTrials, Welford) {
  validate::TrialStats t;
  EXPECT_FALSE(validate::sharpe_mean(t));
  for (double s : {1.0, 2.0, std::nan(""), 3.0, 4.0}) t.add(s);
  EXPECT_EQ(t.sharpes, 4u);
  EXPECT_DOUBLE_EQ(*validate::sharpe_mean(t), 2.5);
  EXPECT_DOUBLE_EQ(*validate::sharpe_variance(t), 5.0 / 3.0);  // (2.25 + 0.25) * 2 / 3
}

TEST(EvidenceTrials, SharpeOfSummary) {
  struct Case {
    std::vector<double> r;
    Opt want;
  };
  const Case cases[] = {
      {{-1, 2, -1, 2}, 0.5 / std::sqrt(3.0)},
      // Three equal trades: the one-pass sums leave a spread of 5.6e-17, a Sharpe of 5.7e7.
      {{0.3, 0.3, 0.3}, std::nullopt},
      {{2.0}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    bt::SummaryBuilder sb;
    for (double r : c.r) sb.add_trade(r);
    expect_opt_near(validate::sharpe_of(sb.summary), c.want, 1e-15, "sharpe");
  }
}

TEST(EvidenceFinalists, FiguresHolmAndJson) {
  validate::TrialStats trials;
  trials.trials = 1000;
  for (double s : {-0.1, 0.1}) trials.add(s);  // variance 0.02
  const TradeMoments a = validate::trade_moments(std::vector<double>{-1, 2, -1, 2});
  const TradeMoments one = validate::trade_moments(std::vector<double>{3.0});
  std::vector<validate::FinalistEvidence> list = {validate::finalist_evidence(a, a, trials),
                                                  validate::finalist_evidence(a, one, trials)};
  EXPECT_EQ(list[0].dsr, validate::deflated_sharpe(a, 1000, *validate::sharpe_variance(trials)));
  EXPECT_EQ(list[0].test_p_value, validate::test_p_value(a));
  EXPECT_FALSE(list[1].test_p_value);
  validate::apply_holm(list);
  expect_opt_near(list[0].test_p_holm, 2.0 * 0.30853753872598690, 1e-14, "holm");
  EXPECT_FALSE(list[1].test_p_holm);

  const core::Json j = validate::to_json(list[1]);
  EXPECT_EQ(core::to_compact(j).substr(0, 7), "{\"dsr\":");
  EXPECT_TRUE(j["test_p_value"].is_null());
  EXPECT_TRUE(j["test_p_holm"].is_null());
  EXPECT_TRUE(j["psr_train"].is_number_float());
  EXPECT_TRUE(validate::optional_json(std::numeric_limits<double>::infinity()).is_null());

  validate::TrialStats none;
  none.trials = 3;
  EXPECT_EQ(core::to_compact(validate::evidence_json(none, validate::PboResult{})),
            "{\"pbo\":null,\"sharpe_mean\":null,\"sharpe_variance\":null,\"trials\":3}");
}

TEST(EvidencePbo, TradesFallInEqualBarBlocks) {
  // [100, 260) in 16 blocks of 10 bars; entries outside the range clamp to the ends.
  auto b = validate::make_block_returns(2);
  const bt::Trade trades[] = {trade(100, 1.0), trade(109, 0.5), trade(110, -1.0),
                              trade(259, 2.0), trade(50, 0.25), trade(300, 4.0)};
  validate::add_trades_to_blocks(b, 1, trades, 100, 260);
  struct Case {
    std::size_t block;
    double sum;
    std::uint32_t trades;
  };
  const Case cases[] = {{0, 1.75, 3}, {1, -1.0, 1}, {2, 0.0, 0}, {15, 6.0, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(b.sum_r[16 + c.block], c.sum) << c.block;
    EXPECT_EQ(b.trades[16 + c.block], c.trades) << c.block;
  }
  for (std::size_t k = 0; k < 16; ++k) EXPECT_EQ(b.trades[k], 0u);  // row 0 untouched
  // An uneven range: bar i of [0, 17) falls in block i * 16 / 17.
  auto u = validate::make_block_returns(1);
  const bt::Trade more[] = {trade(1, 1.0), trade(2, 1.0), trade(16, 1.0)};
  validate::add_trades_to_blocks(u, 0, more, 0, 17);
  EXPECT_EQ(u.trades[0], 1u);
  EXPECT_EQ(u.trades[1], 1u);
  EXPECT_EQ(u.trades[15], 1u);
}

TEST(EvidencePbo, RankRuleOnHandBuiltMatrices) {
  std::vector<double> alternating(16);
  for (std::size_t k = 0; k < 16; ++k) alternating[k] = k % 2 == 0 ? 1.0 : -1.0;
  std::vector<double> negated(16);
  for (std::size_t k = 0; k < 16; ++k) negated[k] = -alternating[k];
  struct Case {
    const char* name;
    std::vector<Row> rows;
    double pbo;
  };
  const Case cases[] = {
      // The same candidate leads in every block: it leads out of sample too.
      {"best everywhere", {{filled(-1.0)}, {filled(1.0)}, {filled(0.0)}}, 0.0},
      // Zero totals: a candidate's OOS mean is minus its IS mean, so ranks reverse; equal
      // IS means pick candidate 0, whose OOS tie ranks exactly at the median.
      {"reversed", {{alternating}, {negated}, {filled(0.0)}}, 1.0},
      // +1 in block 0 only for candidate 0. Block 0 in IS (half the splits): it is chosen
      // and ties candidate 1 at 0 OOS, omega = 1.5 / 3 = median. Block 0 OOS: IS means tie,
      // candidate 0 is chosen and leads OOS. So 1/2.
      {"lower index on IS ties", {{first_block(1.0)}, {filled(0.0)}}, 0.5},
      // The same with the +1 on candidate 1: when IS ties, candidate 0 is chosen and
      // trails OOS; otherwise candidate 1 is chosen and ties OOS. Always at the median.
      {"averaged OOS ties", {{filled(0.0)}, {first_block(1.0)}}, 1.0},
      // With a third, losing candidate, an OOS tie at the top ranks 2.5 of 3, above the
      // median (worst-of-ties would give 2, the median, and a pbo of 1/2).
      {"ties share the average rank", {{first_block(1.0)}, {filled(0.0)}, {filled(-1.0)}}, 0.0},
      // No trade is a mean of 0, which beats losing in both halves.
      {"no trades", {{filled(0.0), std::vector<std::uint32_t>(16, 0)}, {filled(-1.0)}}, 0.0},
  };
  for (const Case& c : cases) {
    const validate::PboResult r = validate::pbo(blocks_of(c.rows));
    ASSERT_TRUE(r.pbo) << c.name;
    EXPECT_EQ(*r.pbo, c.pbo) << c.name;
    EXPECT_EQ(r.splits, 12870u) << c.name;
    EXPECT_EQ(r.candidates, c.rows.size()) << c.name;
  }
  // The best-everywhere choice always ranks 3 of 3: omega = 3/4, logit ln 3.
  EXPECT_NEAR(*validate::pbo(blocks_of(cases[0].rows)).logit_median, std::log(3.0), 1e-15);

  const validate::PboResult lone = validate::pbo(blocks_of(std::vector<Row>{Row{filled(1.0)}}));
  EXPECT_FALSE(lone.pbo);
  EXPECT_FALSE(lone.logit_median);
  EXPECT_EQ(lone.splits, 0u);
  EXPECT_EQ(validate::pbo(validate::make_block_returns(4, 4)).splits, 6u);  // C(4, 2)
}

TEST(EvidencePbo, SameWithOneAndTwoWorkers) {
  core::SplitMix64 rng(11);
  auto b = validate::make_block_returns(60);
  for (std::size_t i = 0; i < b.sum_r.size(); ++i) {
    b.trades[i] = static_cast<std::uint32_t>(rng.below(4));
    b.sum_r[i] = (rng.uniform() - 0.48) * b.trades[i];
  }
  validate::PboResult one, two;
  tbb::task_arena(1).execute([&] { one = validate::pbo(b); });
  tbb::task_arena(2).execute([&] { two = validate::pbo(b); });
  ASSERT_TRUE(one.pbo);
  EXPECT_EQ(one.pbo, two.pbo);
  EXPECT_EQ(one.logit_median, two.logit_median);
}
