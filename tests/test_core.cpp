#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/json.hpp"
#include "core/sha256.hpp"
#include "core/splitmix.hpp"

using namespace varnek::core;

TEST(SplitMix64, CheckValuesSeedOne) {
  SplitMix64 g(1);
  EXPECT_EQ(g.next(), 0xE99FF867DBF682C9ULL);
  EXPECT_EQ(g.next(), 0x382FF84CB27281E9ULL);
  EXPECT_EQ(g.next(), 0x6D1DB36CCBA982D2ULL);
  SplitMix64 u(1);
  EXPECT_EQ(u.uniform(), 0.9125972035944532);
}

TEST(SplitMix64, SeedZeroAndBelow) {
  SplitMix64 g(0);
  EXPECT_EQ(g.state, SplitMix64::kGolden);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(g.below(1), 0u);
  SplitMix64 a(7), b(7);
  for (int i = 0; i < 100; ++i) {
    std::uint64_t raw = a.next();
    EXPECT_EQ(b.below(10), raw % 10);
  }
}

TEST(JsonWriters, NumberForms) {
  Json j = Json::object();
  j["b"] = 1.0;
  j["a"] = -0.0;
  j["c"] = std::numeric_limits<double>::quiet_NaN();
  j["d"] = std::numeric_limits<double>::infinity();
  j["e"] = 0.1;
  j["f"] = std::uint64_t{18446744073709551615ULL};
  j["g"] = std::int64_t{-5};
  j["h"] = 1e-10;
  EXPECT_EQ(to_compact(j),
            R"({"a":-0.0,"b":1.0,"c":null,"d":null,"e":0.1,"f":18446744073709551615,"g":-5,"h":1e-10})");
}

TEST(JsonWriters, PrettyForm) {
  Json j = Json::object();
  j["z"] = Json::array();
  j["y"] = Json::object();
  j["x"] = Json::array({1, 2.5});
  EXPECT_EQ(to_pretty(j), "{\n  \"x\": [\n    1,\n    2.5\n  ],\n  \"y\": {},\n  \"z\": []\n}");
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
