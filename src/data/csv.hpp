#pragma once
// CSV bar files: timestamp,open,high,low,close[,volume], one bar per line.
//
// The loader is literal: bars stay in file order, unsorted and undeduplicated, so the
// quality audit sees every defect; the manifest's digest covers the exact file bytes.
#include <cstdint>
#include <span>
#include <string>

#include "core/result.hpp"
#include "data/bars.hpp"

namespace varnek::data {

// Loads every bar of the file, or returns the first failure, one of:
//   "cannot read {path}: {OS error text}"
//   "line {n}: expected timestamp,open,high,low,close[,volume]"
//   "line {n}: bad timestamp"
//   "line {n}: bad number '{field as written, untrimmed}'"
//   "dataset has fewer than 3 bars"
// Line 1 is a header only when it begins with the nine bytes "timestamp". Fields are
// trimmed of Unicode whitespace; blank lines are skipped but keep their line number.
core::Result<LoadedDataset> load_csv(const std::string& path);

// The bar period: the positive neighbouring difference ts[i] - ts[i-1] that occurs most
// often, the smallest of them on a tie; 3600 when no positive difference exists.
// Differences are taken exactly; one too large for a signed 64-bit period (possible only
// between timestamps of opposite sign near the ends of the range) is not a candidate.
std::int64_t infer_timeframe(std::span<const std::int64_t> ts);

}  // namespace varnek::data
