// Lattice lookups sit on every strategy resolve and every surrogate row.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/splitmix.hpp"
#include "strategy/lattice.hpp"

namespace {

using namespace varnek;
using namespace varnek::strategy;

std::vector<Candidate> sample_candidates(std::size_t n) {
  core::SplitMix64 rng(7);
  std::vector<Candidate> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(random_candidate(static_cast<std::uint8_t>(i % kFamilies), rng));
  }
  return out;
}

void BM_ParamValue(benchmark::State& state) {
  const auto cands = sample_candidates(1024);
  for (auto _ : state) {
    double sum = 0.0;
    for (const Candidate& c : cands) sum += param_value(c, 0) + param_value(c, 1);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2048);
}
BENCHMARK(BM_ParamValue);

void BM_FeatureVector(benchmark::State& state) {
  const auto cands = sample_candidates(1024);
  for (auto _ : state) {
    float sum = 0.0f;
    for (const Candidate& c : cands) sum += feature_vector(c)[5];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_FeatureVector);

// The screening pool's draw: a family, then one index per dimension.
void BM_RandomCandidate(benchmark::State& state) {
  core::SplitMix64 rng(3);
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 1024; ++i) {
      sum += random_candidate(static_cast<std::uint8_t>(rng.below(kFamilies)), rng).idx[1];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_RandomCandidate);

void BM_FormatParseId(benchmark::State& state) {
  const auto cands = sample_candidates(256);
  for (auto _ : state) {
    for (const Candidate& c : cands) {
      const std::string text = format_id(c);
      auto parsed = parse_id(text);
      benchmark::DoNotOptimize(parsed);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_FormatParseId);

void BM_EnumerateFamily(benchmark::State& state) {
  for (auto _ : state) {
    std::uint64_t valid = 0;
    for (std::uint64_t n = 0; n < family_size(1); ++n) valid += is_valid(enumerate(1, n)) ? 1 : 0;
    benchmark::DoNotOptimize(valid);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * family_size(1)));
}
BENCHMARK(BM_EnumerateFamily);

void BM_BuildSeededTable(benchmark::State& state) {
  std::uint64_t seed = 1;
  for (auto _ : state) benchmark::DoNotOptimize(build_seeded_table(seed++));
}
BENCHMARK(BM_BuildSeededTable);

}  // namespace
