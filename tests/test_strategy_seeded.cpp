// Installing a seeded lattice changes the whole process, so these tests live in
// their own binary and every test that installs uses the same seed: whether the
// tests run together or one per process, each sees the same outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "strategy/lattice.hpp"

using namespace varnek;
using namespace varnek::strategy;

namespace {
constexpr std::uint64_t kSeed = 42;
}

TEST(SeededInstall, InstallsOnceAndEverythingReadsIt) {
  const ValueTable expected = build_seeded_table(kSeed);
  auto first = install_seeded_lattice(kSeed);
  ASSERT_TRUE(first.ok());
  ASSERT_EQ(lattice_seed(), std::optional<std::uint64_t>(kSeed));
  EXPECT_EQ(active_values(), expected);

  // The same seed again changes nothing.
  auto again = install_seeded_lattice(kSeed);
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again.value());
  EXPECT_EQ(active_values(), expected);

  auto other = install_seeded_lattice(43);
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error(),
            "treillis 42 d\xC3\xA9j\xC3\xA0 install\xC3\xA9 dans ce processus, 43 demand\xC3\xA9");
  auto zero = install_seeded_lattice(0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error(),
            "treillis 42 d\xC3\xA9j\xC3\xA0 install\xC3\xA9 dans ce processus, 0 demand\xC3\xA9");
  EXPECT_EQ(lattice_seed(), std::optional<std::uint64_t>(kSeed));

  // Values come from the seeded table; the static family table is untouched.
  const Candidate c = enumerate(0, family_size(0) - 1);
  for (std::size_t d = 0; d < dim_count(0); ++d) {
    EXPECT_EQ(param_value(c, d), expected[0][d][c.idx[d]]);
  }
  EXPECT_EQ(family_table()[0].dims[0].values[3], 50.0);
  EXPECT_EQ(families_json()[0]["dims"][0]["values"][3], 50.0);
  EXPECT_EQ(candidate_json(c)["params"]["htf_fast"], expected[0][0][3]);

  // Identifiers carry the seed and are therefore not accepted back.
  const Candidate p = parse_id("0-bcaddaccab").value();
  EXPECT_EQ(format_id(p), "0-bcaddaccabaa~42");
  EXPECT_EQ(candidate_json(p)["id"], "0-bcaddaccabaa~42");
  auto back = parse_id(format_id(p));
  ASSERT_FALSE(back.ok());
  EXPECT_EQ(back.error(), "bad candidate id");

  const htf::FeatureLengths active = feature_lengths();
  const htf::FeatureLengths built = feature_lengths(expected);
  EXPECT_EQ(active.htf_ema, built.htf_ema);
  EXPECT_EQ(active.base_ema, built.base_ema);
  EXPECT_EQ(active.breakout, built.breakout);
  EXPECT_EQ(active.rsi, built.rsi);
  // Every seeded length is present, exactly once.
  for (std::size_t j = 0; j < 4; ++j) {
    const auto n = static_cast<std::uint32_t>(expected[0][0][j]);
    EXPECT_EQ(std::count(active.htf_ema.begin(), active.htf_ema.end(), n), 1) << n;
    EXPECT_EQ(std::count(active.base_ema.begin(), active.base_ema.end(), n), 1) << n;
  }
}

TEST(SeededInstall, ConcurrentInstallsAgree) {
  std::vector<std::thread> threads;
  std::vector<int> ok(8, 0);
  std::vector<double> seen(8, 0.0);
  for (std::size_t t = 0; t < ok.size(); ++t) {
    threads.emplace_back([t, &ok, &seen] {
      ok[t] = install_seeded_lattice(kSeed).ok() ? 1 : 0;
      seen[t] = param_value(Candidate{}, 0);
    });
  }
  for (auto& th : threads) th.join();
  const double expected = build_seeded_table(kSeed)[0][0][0];
  for (std::size_t t = 0; t < ok.size(); ++t) {
    EXPECT_EQ(ok[t], 1);
    EXPECT_EQ(seen[t], expected);
  }
  EXPECT_EQ(lattice_seed(), std::optional<std::uint64_t>(kSeed));
}
