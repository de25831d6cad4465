// Loader and audit throughput on one million synthetic hourly bars (about 66 MB of CSV).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

#include "core/io.hpp"
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

// The same bytes already in memory, fed in pieces of 1 MiB as a FIFO arrives.
void BM_ParseCsvInPieces(benchmark::State& state) {
  const BigCsv& csv = big_csv();
  const auto bytes = core::read_file(csv.path);
  if (!bytes) {
    state.SkipWithError(bytes.error().c_str());
    return;
  }
  const std::string_view text = bytes.value();
  for (auto _ : state) {
    data::CsvParse parse = data::start_csv(csv.path, core::max_input_bytes());
    for (std::size_t i = 0; i < text.size(); i += std::size_t{1} << 20) {
      data::feed_csv(parse, text.substr(i, std::size_t{1} << 20));
    }
    auto loaded = data::finish_csv(parse);
    if (!loaded) {
      state.SkipWithError(loaded.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(loaded.value().bars.close.data());
  }
  state.SetBytesProcessed(state.iterations() * csv.bytes);
  state.SetItemsProcessed(state.iterations() * 1'000'000);
}
BENCHMARK(BM_ParseCsvInPieces)->Unit(benchmark::kMillisecond);

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
