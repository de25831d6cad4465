// varnek-csv convert throughput: one million hourly bars with ISO-8601 date-times, read,
// converted and written to a file, as the command does.
#include <benchmark/benchmark.h>
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "convert/convert.hpp"
#include "data/synthetic.hpp"

namespace {

using namespace varnek;

// Written once per process, "2020-09-13T12:00:00Z,15000.0000,..." with four-decimal prices
// as an export would ship them; removed at exit with the converted file.
struct IsoCsv {
  std::string path, out;
  std::int64_t bytes = 0;

  IsoCsv() {
    const auto base =
        std::filesystem::temp_directory_path() / fmt::format("varnek_micro_convert_{}", ::getpid());
    path = base.string() + ".csv";
    out = base.string() + "-out.csv";
    const data::BarSeries bars = data::generate_synthetic(1'000'000, 1);
    fmt::memory_buffer text;
    fmt::format_to(std::back_inserter(text), "Date,Open,High,Low,Close,Volume\n");
    for (std::size_t i = 0; i < bars.size(); ++i) {
      const std::chrono::sys_seconds t{std::chrono::seconds{bars.ts[i]}};
      fmt::format_to(std::back_inserter(text),
                     "{:%Y-%m-%dT%H:%M:%S}Z,{:.4f},{:.4f},{:.4f},{:.4f},{:.0f}\n", t, bars.open[i],
                     bars.high[i], bars.low[i], bars.close[i], bars.volume[i]);
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
      fmt::print(stderr, "cannot write {}\n", path);
      std::abort();
    }
    std::fclose(f);
    bytes = static_cast<std::int64_t>(text.size());
  }
  ~IsoCsv() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::remove(out, ec);
  }
};

void BM_ConvertIsoCsv(benchmark::State& state) {
  static const IsoCsv csv;
  for (auto _ : state) {
    const auto written = convert::convert_file(csv.path, csv.out, {});
    if (!written) {
      state.SkipWithError(written.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(written.value());
  }
  state.SetBytesProcessed(state.iterations() * csv.bytes);
  state.SetItemsProcessed(state.iterations() * 1'000'000);
}
// Real time: the file system is part of what the command costs.
BENCHMARK(BM_ConvertIsoCsv)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
