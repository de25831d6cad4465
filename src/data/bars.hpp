#pragma once
// Bar series: one instrument's OHLCV bars at one bar period, column-wise.
#include <cstdint>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace varnek::data {

// Bars keep the order in which they were read or generated: nothing here
// guarantees increasing or unique timestamps or consistent prices.
struct BarSeries {
  std::vector<std::int64_t> ts;  // bar opening time, seconds since 1970-01-01 UTC
  std::vector<double> open;
  std::vector<double> high;
  std::vector<double> low;
  std::vector<double> close;
  std::vector<double> volume;  // 0.0 when the source has no volume
  std::int64_t timeframe_secs = 3600;

  std::size_t size() const { return ts.size(); }
  bool empty() const { return ts.empty(); }
  void reserve(std::size_t n);
  // Appends one value to each of the six columns.
  void push(std::int64_t t, double o, double h, double l, double c, double v);
};

// Where a series came from.
struct DatasetManifest {
  std::string dataset_id;
  std::string path;
  std::string sha256;  // 64 lowercase hex digits
  std::uint64_t rows = 0;
  std::int64_t start = 0;  // ts of the first bar in file order
  std::int64_t end = 0;    // ts of the last bar in file order
  std::int64_t timeframe_secs = 0;
  std::string timezone = "UTC";
};

struct LoadedDataset {
  BarSeries bars;
  DatasetManifest manifest;
};

// Object with dataset_id, path, sha256, rows, start, end, timeframe_secs and timezone;
// the counts and timestamps are JSON integers.
core::Json to_json(const DatasetManifest& manifest);

}  // namespace varnek::data
