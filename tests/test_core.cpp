#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/json.hpp"
#include "core/memory.hpp"
#include "core/sha256.hpp"
#include "core/splitmix.hpp"
#include "core/utf8.hpp"

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
  EXPECT_EQ(
      to_compact(j),
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

TEST(Utf8, ValidationAndLossyDecoding) {
  EXPECT_EQ(utf8_invalid_at("plain ascii text, long enough"), std::string_view::npos);
  EXPECT_EQ(utf8_invalid_at("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"), std::string_view::npos);
  EXPECT_EQ(utf8_invalid_at("ab\xFF"), 2u);
  EXPECT_EQ(utf8_invalid_at("\xC0\xAF"), 0u);          // overlong
  EXPECT_EQ(utf8_invalid_at("x\xED\xA0\x80"), 1u);     // surrogate
  EXPECT_EQ(utf8_invalid_at("\xF4\x90\x80\x80"), 0u);  // above U+10FFFF
  EXPECT_EQ(utf8_invalid_at("\xE2\x82"), 0u);          // truncated
  // One replacement per maximal subpart: a truncated 3-byte sequence is one, a lone
  // continuation byte is one each.
  EXPECT_EQ(utf8_lossy("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf8_lossy("\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("ok"), "ok");
}

TEST(ZeroedArray, ZeroWritableAndMovable) {
  // Heap sizes, the first mapped size and mapped sizes that are not whole huge pages.
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{4096 / 8 + 1},
                                  2 * kMiB / 8 - 1, 2 * kMiB / 8, 5 * kMiB / 8 + 3}) {
    ZeroedArray<double> a(count);
    ASSERT_EQ(a.size(), count);
    EXPECT_TRUE(std::all_of(a.span().begin(), a.span().end(), [](double v) { return v == 0.0; }));
    if (count * sizeof(double) >= 2 * kMiB) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data()) % (2 * kMiB), 0u) << count;
    }
    for (std::size_t i = 0; i < count; ++i) a[i] = static_cast<double>(i);
    ZeroedArray<double> b = std::move(a);
    for (std::size_t i = 0; i < count; i += 4099) ASSERT_EQ(b[i], static_cast<double>(i));
    if (count > 0) {
      EXPECT_EQ(b[count - 1], static_cast<double>(count - 1));
    }
    a = ZeroedArray<double>(3);  // the moved-from array takes a new buffer
    EXPECT_EQ(a[2], 0.0);
  }
}
