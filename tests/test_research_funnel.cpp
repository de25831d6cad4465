#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/splitmix.hpp"
#include "research/funnel.hpp"

using namespace varnek;

namespace {

// The first `take` of a stable descending sort, as the screening once computed them.
std::vector<std::size_t> stable_best(const std::vector<float>& p, std::size_t take) {
  std::vector<std::size_t> order(p.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return p[a] > p[b]; });
  order.resize(take);
  return order;
}

TEST(Screening, BestPredictedAreTheStableSortsFirst) {
  // Few distinct values, so that ties are everywhere; -0 and +0 are equal; one pool with a
  // NaN; every take from none to all.
  core::SplitMix64 rng(8);
  for (const int distinct : {1, 3, 50, 5000}) {
    for (const bool with_nan : {false, true}) {
      std::vector<float> p(997);
      for (float& v : p) v = static_cast<float>(rng.below(distinct)) - 1.0f;
      for (std::size_t i = 0; i < p.size(); i += 7) p[i] = p[i] == 0.0f ? -0.0f : p[i];
      if (with_nan) p[400] = std::nanf("");
      for (const std::size_t take : {std::size_t{0}, std::size_t{1}, std::size_t{100}, p.size()}) {
        EXPECT_EQ(research::best_predicted(p, take), stable_best(p, take))
            << distinct << " " << with_nan << " " << take;
      }
    }
  }
}

}  // namespace
