// Loader and audit throughput on one million synthetic hourly bars (about 66 MB of CSV).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "data/csv.hpp"
#include "data/quality.hpp"
#include "data/synthetic.hpp"

namespace {

using namespace varnek;

// The CSV is written once per process, with four-decimal prices as a data vendor would
// ship them, and removed at exit.
struct BigCsv {
  std::string path;
  std::int64_t bytes = 0;

  BigCsv() {
    path = (std::filesystem::temp_directory_path() /
            fmt::format("varnek_micro_data_{}.csv", ::getpid()))
               .string();
    const data::BarSeries bars = data::generate_synthetic(1'000'000, 1);
    fmt::memory_buffer text;
    fmt::format_to(std::back_inserter(text), "timestamp,open,high,low,close,volume\n");
    for (std::size_t i = 0; i < bars.size(); ++i) {
      fmt::format_to(std::back_inserter(text), "{},{:.4f},{:.4f},{:.4f},{:.4f},{:.4f}\n",
                     bars.ts[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i],
                     bars.volume[i]);
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
      fmt::print(stderr, "cannot write {}\n", path);
      std::abort();
    }
    std::fclose(f);
    bytes = static_cast<std::int64_t>(text.size());
  }
  ~BigCsv() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

const BigCsv& big_csv() {
  static const BigCsv csv;
  return csv;
}

void BM_LoadCsv(benchmark::State& state) {
  const BigCsv& csv = big_csv();
  for (auto _ : state) {
    auto loaded = data::load_csv(csv.path);
    if (!loaded) {
      state.SkipWithError(loaded.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(loaded.value().bars.close.data());
  }
  state.SetBytesProcessed(state.iterations() * csv.bytes);
  state.SetItemsProcessed(state.iterations() * 1'000'000);
}
BENCHMARK(BM_LoadCsv)->Unit(benchmark::kMillisecond);

// Bytes are those of the file the bars came from, to compare with the load.
void BM_Audit(benchmark::State& state) {
  const BigCsv& csv = big_csv();
  auto loaded = data::load_csv(csv.path);
  if (!loaded) {
    state.SkipWithError(loaded.error().c_str());
    return;
  }
  for (auto _ : state) {
    data::QualityReport report = data::audit(loaded.value().bars);
    benchmark::DoNotOptimize(report.verdict.data());
  }
  state.SetBytesProcessed(state.iterations() * csv.bytes);
  state.SetItemsProcessed(state.iterations() * 1'000'000);
}
BENCHMARK(BM_Audit)->Unit(benchmark::kMillisecond);

}  // namespace
