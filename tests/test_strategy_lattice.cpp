#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/json.hpp"
#include "core/splitmix.hpp"
#include "strategy/lattice.hpp"

using namespace varnek;
using namespace varnek::strategy;

namespace {

Candidate id(std::string_view text) {
  auto parsed = parse_id(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? parsed.value() : Candidate{};
}

std::string parse_error(std::string_view text) {
  auto parsed = parse_id(text);
  return parsed.ok() ? std::string("accepted") : parsed.error();
}

}  // namespace

TEST(FamilyTable, KeysLabelsAndShapes) {
  const auto table = family_table();
  ASSERT_EQ(table.size(), kFamilies);
  const char* keys[] = {"htf_pullback_breakout", "ema_cross", "donchian_breakout", "rsi_reversion",
                        "smc_choch"};
  const char* labels[] = {"Tendance HTF + pullback + cassure", "Croisement de moyennes mobiles",
                          "Cassure de canal (Donchian)", "Retour \xC3\xA0 la moyenne (RSI)",
                          "Smart Money : CHoCH + FVG / order block"};
  const std::size_t dims[] = {12, 8, 7, 8, 10};
  for (std::size_t f = 0; f < kFamilies; ++f) {
    EXPECT_EQ(table[f].key, keys[f]);
    EXPECT_EQ(table[f].label_fr, labels[f]);
    EXPECT_EQ(table[f].dims.size(), dims[f]);
    EXPECT_EQ(dim_count(static_cast<std::uint8_t>(f)), dims[f]);
  }
  EXPECT_EQ(table[0].dims[11].name, "side");
  EXPECT_EQ(table[4].dims[0].name, "pivot");
  // Only the reversion family has its reward ratios shifted down.
  EXPECT_EQ(param_value(id("3-aaaa"), 4), 0.75);
  EXPECT_EQ(param_value(id("1-aaaa"), 4), 1.0);
}

TEST(FamilyTable, SizesAreProductsOfValueCounts) {
  EXPECT_EQ(family_size(0), 4ull * 4 * 4 * 5 * 4 * 5 * 5 * 5 * 2 * 4 * 4 * 2);
  EXPECT_EQ(family_size(0), 10240000u);
  EXPECT_EQ(family_size(1), 6ull * 6 * 3 * 5 * 5 * 4 * 4 * 2);
  EXPECT_EQ(family_size(2), 7ull * 3 * 5 * 5 * 4 * 4 * 2);
  EXPECT_EQ(family_size(3), 5ull * 5 * 2 * 5 * 5 * 4 * 4 * 2);
  EXPECT_EQ(family_size(4), 3ull * 3 * 3 * 3 * 3 * 5 * 5 * 4 * 4 * 2);
  EXPECT_EQ(value_count(2, 0), 7u);
  EXPECT_EQ(value_count(2, 7), 0u);  // beyond the family's dimensions
}

TEST(FamilyTable, FamiliesJson) {
  const core::Json j = families_json();
  ASSERT_TRUE(j.is_array());
  ASSERT_EQ(j.size(), 5u);
  EXPECT_EQ(
      core::to_compact(j[2]),
      R"j({"dims":[{"name":"breakout_len","values":[5.0,10.0,15.0,20.0,30.0,40.0,55.0]},)j"
      R"j({"name":"htf_filter","values":[0.0,1.0,2.0]},)j"
      R"j({"name":"stop_atr","values":[0.75,1.0,1.5,2.0,2.5]},)j"
      R"j({"name":"rr","values":[1.0,1.5,2.0,2.5,3.0]},)j"
      R"j({"name":"session","values":[0.0,1.0,2.0,3.0]},)j"
      R"j({"name":"hold","values":[12.0,24.0,48.0,96.0]},)j"
      R"j({"name":"side","values":[0.0,1.0]}],)j"
      R"j("key":"donchian_breakout","label_fr":"Cassure de canal (Donchian)","size":16800})j");
  EXPECT_EQ(j[0]["size"], 10240000u);
  EXPECT_EQ(j[3]["label_fr"], "Retour \xC3\xA0 la moyenne (RSI)");
  EXPECT_EQ(j[4]["dims"].size(), 10u);
}

TEST(Candidate, BytewiseKeyOrderAndHash) {
  Candidate a;
  a.idx[0] = 1;
  a.family = 0;
  Candidate b;
  b.family = 4;
  // Index bytes come before the family byte.
  EXPECT_GT(a, b);
  EXPECT_NE(a, b);
  core::SplitMix64 rng(11);
  for (int i = 0; i < 500; ++i) {
    const auto fx = static_cast<std::uint8_t>(rng.below(kFamilies));
    const auto fy = static_cast<std::uint8_t>(rng.below(kFamilies));
    const Candidate x = random_candidate(fx, rng);
    const Candidate y = random_candidate(fy, rng);
    const int bytes = std::memcmp(&x, &y, sizeof(Candidate));
    EXPECT_EQ(x < y, bytes < 0);
    EXPECT_EQ(x == y, bytes == 0);
  }
  EXPECT_EQ(CandidateHash{}(id("0-bcaddaccab")), CandidateHash{}(id("0-bcaddaccabaa")));
}

TEST(ParseId, EdgeCases) {
  const Candidate two = id("2-");
  EXPECT_EQ(two.family, 2);
  EXPECT_EQ(two, (Candidate{.idx = {}, .family = 2}));
  EXPECT_EQ(id("+2-"), two);
  EXPECT_EQ(id("002-"), two);
  // Letters beyond the family's seven dimensions are ignored.
  EXPECT_EQ(id("2-aaaaaaaxyz"), two);

  const Candidate c = id("0-bcaddaccab");
  const std::uint8_t expected[12] = {1, 2, 0, 3, 3, 0, 2, 2, 0, 1, 0, 0};
  for (std::size_t d = 0; d < 12; ++d) EXPECT_EQ(c.idx[d], expected[d]) << d;
  EXPECT_EQ(param_value(c, 0), 20.0);   // htf_fast
  EXPECT_EQ(param_value(c, 1), 150.0);  // htf_slow
  EXPECT_EQ(param_value(c, 3), 1.0);    // pb_atr
  EXPECT_EQ(param_value(c, 9), 1.0);    // session
  EXPECT_EQ(param_value(c, 10), 12.0);  // hold, letter omitted
  EXPECT_EQ(format_id(c), "0-bcaddaccabaa");
  EXPECT_EQ(id("0-aaaaaaaaaaaa").family, 0);
  EXPECT_EQ(id("2-g").idx[0], 6);
}

TEST(ParseId, RejectsWithExactMessages) {
  for (const char* text : {"7-a", "x-a", "-a", "-", "+-a", "+-", "256-a", "255-a", "5-", "2x-a",
                           " 2-a", "++2-a", "\xC3\xA9-a", "99999999999999999999999-a"}) {
    EXPECT_EQ(parse_error(text), "bad family") << text;
  }
  for (const char* text : {"", "0abc", "+", "2", "abc", "2-aaaaaaaaaaaaa", "0-aaaaaaaaaaaaa", "2-h",
                           "1-aaaaaaac", "4-d", "2-A", "2-\xC3\xA9", "4-\xFF", "2--a", "2-`"}) {
    EXPECT_EQ(parse_error(text), "bad candidate id") << text;
  }
  std::string with_nul("2-a");
  with_nul.push_back('\0');
  EXPECT_EQ(parse_error(with_nul), "bad candidate id");
}

TEST(ParseId, SeededSuffixIsRejectedWherever) {
  // A seeded identifier names jittered values this process does not hold.
  for (const char* text : {"2-aaaaaaa~7", "0-bcaddaccab~42", "1-aa~3", "~2-a", "2~-a", "2-~",
                           "2-aaaaaaaaaaa~", "4-cc~18446744073709551615"}) {
    EXPECT_EQ(parse_error(text), "bad candidate id") << text;
  }
}

TEST(ParseId, RoundTripOverEnumeratedCandidates) {
  for (std::uint8_t f = 0; f < kFamilies; ++f) {
    const std::uint64_t size = family_size(f);
    const std::uint64_t stride = size / 2000 + 1;
    for (std::uint64_t n = 0; n < size; n += stride) {
      const Candidate c = enumerate(f, n);
      const std::string text = format_id(c);
      EXPECT_EQ(text.size(), 2 + dim_count(f));
      auto back = parse_id(text);
      ASSERT_TRUE(back.ok()) << text;
      EXPECT_EQ(back.value(), c) << text;
    }
    const Candidate last = enumerate(f, size - 1);
    EXPECT_EQ(parse_id(format_id(last)).value(), last);
  }
}

TEST(Enumerate, MixedRadixFirstDimensionFastest) {
  for (std::uint8_t f = 0; f < kFamilies; ++f) {
    const std::size_t dims = dim_count(f);
    const Candidate zero = enumerate(f, 0);
    EXPECT_EQ(format_id(zero), std::to_string(f) + "-" + std::string(dims, 'a'));
    const Candidate one = enumerate(f, 1);
    EXPECT_EQ(format_id(one), std::to_string(f) + "-b" + std::string(dims - 1, 'a'));
    const Candidate carry = enumerate(f, value_count(f, 0));
    EXPECT_EQ(carry.idx[0], 0);
    EXPECT_EQ(carry.idx[1], 1);
    const Candidate last = enumerate(f, family_size(f) - 1);
    for (std::size_t d = 0; d < dims; ++d) EXPECT_EQ(last.idx[d] + 1u, value_count(f, d));
    for (std::size_t d = dims; d < kMaxDims; ++d) EXPECT_EQ(last.idx[d], 0);
  }
  // Every point of a whole family is distinct and decodes back to its index.
  std::unordered_set<Candidate, CandidateHash> seen;
  for (std::uint64_t n = 0; n < family_size(1); ++n) {
    const Candidate c = enumerate(1, n);
    std::uint64_t back = 0;
    for (std::size_t d = dim_count(1); d-- > 0;) back = back * value_count(1, d) + c.idx[d];
    ASSERT_EQ(back, n);
    seen.insert(c);
  }
  EXPECT_EQ(seen.size(), family_size(1));
}

TEST(RandomCandidate, OneDrawPerDimension) {
  core::SplitMix64 rng(2024);
  core::SplitMix64 mirror(2024);
  for (int i = 0; i < 200; ++i) {
    const auto f = static_cast<std::uint8_t>(i % kFamilies);
    const Candidate c = random_candidate(f, rng);
    EXPECT_EQ(c.family, f);
    for (std::size_t d = 0; d < dim_count(f); ++d) {
      EXPECT_EQ(c.idx[d], mirror.next() % value_count(f, d));
    }
    for (std::size_t d = dim_count(f); d < kMaxDims; ++d) EXPECT_EQ(c.idx[d], 0);
    ASSERT_EQ(rng.state, mirror.state);
  }
}

TEST(Validity, TrendOrderingOfFirstTwoDimensions) {
  EXPECT_TRUE(is_valid(id("1-aa")));   // fast 5 < slow 20
  EXPECT_FALSE(is_valid(id("1-fa")));  // fast 30 > slow 20
  EXPECT_FALSE(is_valid(id("1-ea")));  // 20 = 20 is not strictly below
  EXPECT_TRUE(is_valid(id("1-fc")));   // 30 < 50
  EXPECT_TRUE(is_valid(id("0-ca")));   // 30 < 50
  EXPECT_FALSE(is_valid(id("0-da")));  // 50 = 50
  EXPECT_TRUE(is_valid(id("2-g")));
  EXPECT_TRUE(is_valid(id("3-ea")));
  EXPECT_TRUE(is_valid(id("4-cc")));
}

TEST(Params, ValuesLookupsAndTruncation) {
  EXPECT_EQ(param_position(0, "side"), 11u);
  EXPECT_EQ(param_position(2, "hold"), 5u);
  EXPECT_EQ(param_position(3, "rsi_low"), 1u);
  EXPECT_EQ(param_position(4, "pivot"), 0u);
  EXPECT_EQ(param_uint(id("0-aaad"), 3), 1u);    // pb_atr 1.0
  EXPECT_EQ(param_uint(id("0-aaae"), 3), 1u);    // pb_atr 1.5 truncates
  EXPECT_EQ(param_uint(id("0-aaac"), 3), 0u);    // pb_atr 0.75
  EXPECT_EQ(param_uint(id("0-aaaad"), 4), 12u);  // pb_window
  EXPECT_EQ(param_uint(id("4-aaac"), 3), 20u);   // max_wait
}

TEST(Params, InternalErrorsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Candidate c = id("2-");
  EXPECT_DEATH(param_value(c, 12), "parameter position 12 out of range");
  EXPECT_DEATH(param_value(c, 7), "value index 0 out of range for position 7 of family 2");
  Candidate wide = c;
  wide.idx[0] = 7;
  EXPECT_DEATH(param_value(wide, 0), "value index 7 out of range");
  Candidate alien = c;
  alien.family = 5;
  EXPECT_DEATH(param_value(alien, 0), "family index 5 out of range");
  EXPECT_DEATH(param_position(1, "htf_fast"), "family ema_cross has no parameter htf_fast");
  EXPECT_DEATH(enumerate(2, 16800), "lattice index 16800 out of range");
}

TEST(Params, CandidateJson) {
  EXPECT_EQ(core::to_compact(candidate_json(enumerate(2, 0))),
            R"j({"family":"donchian_breakout","family_fr":"Cassure de canal (Donchian)",)j"
            R"j("id":"2-aaaaaaa","params":{"breakout_len":5.0,"hold":12.0,"htf_filter":0.0,)j"
            R"j("rr":1.0,"session":0.0,"side":0.0,"stop_atr":0.75}})j");
  const core::Json p = params_json(id("4-cc"));
  EXPECT_EQ(p.size(), 10u);
  EXPECT_EQ(p["pivot"], 5.0);
  EXPECT_EQ(p["entry"], 2.0);
  EXPECT_EQ(p["fvg_min_atr"], 0.1);
}

TEST(Features, VectorEncoding) {
  const auto v = feature_vector(id("4-cc"));
  EXPECT_EQ(v[4], 1.0f);
  EXPECT_EQ(v[5], 1.0f);  // pivot index 2 of 3 values
  EXPECT_EQ(v[6], 1.0f);  // entry index 2 of 3 values
  for (std::size_t s = 0; s < kFeatureDims; ++s) {
    if (s != 4 && s != 5 && s != 6) {
      EXPECT_EQ(v[s], 0.0f) << s;
    }
  }
  const auto w = feature_vector(id("0-bcaddaccab"));
  EXPECT_EQ(w[0], 1.0f);
  EXPECT_EQ(w[5], 1.0f / 3.0f);   // htf_fast 1 of 0..3
  EXPECT_EQ(w[8], 3.0f / 4.0f);   // pb_atr 3 of 0..4
  EXPECT_EQ(w[13], 0.0f);         // d1_filter 0 of 0..1
  EXPECT_EQ(w[14], 1.0f / 3.0f);  // session 1 of 0..3
  EXPECT_EQ(w[16], 0.0f);         // side
}

TEST(Lengths, StaticLatticeAddsNothingToTheDefaults) {
  const htf::FeatureLengths l = feature_lengths(static_values());
  using V = std::vector<std::uint32_t>;
  EXPECT_EQ(l.htf_ema, (V{10, 20, 30, 50, 100, 150, 200}));
  EXPECT_EQ(l.base_ema, (V{5, 8, 10, 15, 20, 30, 50, 100, 150, 200, 25, 40}));
  EXPECT_EQ(l.breakout, (V{3, 5, 8, 10, 12, 15, 20, 30, 40, 55, 60}));
  EXPECT_EQ(l.rsi, (V{2, 3, 5, 7, 14}));
  const htf::FeatureLengths active = feature_lengths();
  EXPECT_EQ(active.base_ema, l.base_ema);
}

TEST(Lengths, OverrideValuesAppendedOnceInAscendingOrder) {
  ValueTable t = static_values();
  t[1][0][4] = 25;    // fast 20 -> 25, already a default
  t[0][2][1] = 25;    // pb_ema 20 -> 25 as well
  t[0][0][2] = 33;    // htf_fast
  t[0][1][3] = 210;   // htf_slow
  t[1][1][5] = 205;   // slow
  t[2][0][6] = 57;    // breakout_len (donchian)
  t[0][5][0] = 4;     // breakout_len (pullback)
  t[3][0][4] = 13.9;  // rsi_len truncates to 13
  const htf::FeatureLengths l = feature_lengths(t);
  using V = std::vector<std::uint32_t>;
  EXPECT_EQ(l.htf_ema, (V{10, 20, 30, 50, 100, 150, 200, 33, 210}));
  EXPECT_EQ(l.base_ema, (V{5, 8, 10, 15, 20, 30, 50, 100, 150, 200, 25, 40, 33, 205, 210}));
  EXPECT_EQ(l.breakout, (V{3, 5, 8, 10, 12, 15, 20, 30, 40, 55, 60, 4, 57}));
  EXPECT_EQ(l.rsi, (V{2, 3, 5, 7, 14, 13}));
}

TEST(SeededTable, CheckValuesForSeedOne) {
  // SplitMix64(1) uniforms: 0.9125972035944532, 0.21948196289526756, 0.4262344494451664.
  // htf_fast 10: 10 + 10 * 0.3713 = 13.71 -> 14; 20: 20 - 10 * 0.2525 = 17.48 -> 17;
  // 30: 30 - 10 * 0.0664 = 29.34 -> 29.
  const ValueTable t = build_seeded_table(1);
  EXPECT_EQ(t[0][0][0], 14.0);
  EXPECT_EQ(t[0][0][1], 17.0);
  EXPECT_EQ(t[0][0][2], 29.0);
}

TEST(SeededTable, DrawOrderAcrossFamilies) {
  // Jittered value counts: family 0 draws 40 (htf_fast 4, htf_slow 4, pb_ema 4, pb_atr 5,
  // pb_window 4, breakout_len 5, stop_atr 5, rr 5, hold 4), family 1 26, family 2 21,
  // family 3 24, family 4 20: 131 draws, the last one for family 4's hold 96.
  const std::uint64_t seed = 987654321;
  const ValueTable t = build_seeded_table(seed);
  std::vector<double> u;
  core::SplitMix64 rng(seed);
  for (int i = 0; i < 131; ++i) u.push_back(rng.uniform());
  const auto f = [&](int draw) { return u[draw] * 0.9 - 0.45; };
  // pb_atr 0.25 (draw 12): gap 0.25, three decimals.
  EXPECT_DOUBLE_EQ(t[0][3][0], std::round((0.25 + 0.25 * f(12)) * 1000.0) / 1000.0);
  // fast 5 (draw 40): gap 3, whole number, at least 2.
  EXPECT_EQ(t[1][0][0], std::max(2.0, std::round(5.0 + 3.0 * f(40))));
  // breakout_len 5 of donchian (draw 66): gap 5.
  EXPECT_EQ(t[2][0][0], std::max(2.0, std::round(5.0 + 5.0 * f(66))));
  // hold 96 of smc_choch (draw 130): only a left gap of 48.
  const double p = std::round(96.0 + 48.0 * f(130));
  EXPECT_EQ(t[4][8][3], p > t[4][8][2] ? p : 96.0);
}

TEST(SeededTable, ReproducibleOrderedAndShapePreserving) {
  EXPECT_EQ(build_seeded_table(77), build_seeded_table(77));
  EXPECT_NE(build_seeded_table(77), build_seeded_table(78));
  const ValueTable& base = static_values();
  int moved = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    const ValueTable t = build_seeded_table(seed);
    for (std::uint8_t fam = 0; fam < kFamilies; ++fam) {
      const auto dims = family_table()[fam].dims;
      for (std::size_t d = 0; d < kMaxDims; ++d) {
        const std::size_t count = value_count(fam, d);
        for (std::size_t j = count; j < kMaxValues; ++j) ASSERT_EQ(t[fam][d][j], 0.0);
        if (count == 0) continue;
        const Dimension& dim = dims[d];
        for (std::size_t j = 0; j < count; ++j) {
          const double v = t[fam][d][j];
          const double s = base[fam][d][j];
          if (dim.kind == DimKind::categorical) {
            ASSERT_EQ(v, s) << dim.name;
            continue;
          }
          ASSERT_GT(v, 0.0) << dim.name;
          if (j > 0) {
            ASSERT_GT(v, t[fam][d][j - 1]) << dim.name << " seed " << seed;
          }
          double gap = j == 0 ? dim.values[1] - s : s - dim.values[j - 1];
          if (j > 0 && j + 1 < count) gap = std::min(gap, dim.values[j + 1] - s);
          if (dim.kind == DimKind::integer) {
            ASSERT_EQ(v, std::round(v)) << dim.name;
            ASSERT_LE(std::abs(v - s), 0.45 * gap + 0.5);
          } else {
            ASSERT_NEAR(v * 1000.0, std::round(v * 1000.0), 1e-6) << dim.name;
            ASSERT_LE(std::abs(v - s), 0.45 * gap + 0.0005);
          }
          if (v != s) ++moved;
        }
      }
    }
  }
  // The 63 decimal values move unless a jitter rounds to nothing (rare).
  EXPECT_GT(moved, 400 * 60);
}

TEST(SeededTable, NothingInstalledByDefault) {
  EXPECT_FALSE(lattice_seed().has_value());
  EXPECT_EQ(&active_values(), &static_values());
  EXPECT_EQ(format_id(id("4-cc")), "4-ccaaaaaaaa");
}
