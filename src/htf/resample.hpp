#pragma once
// Higher-timeframe bars built from base bars, and the causal map back onto them.
#include <cstdint>
#include <vector>

#include "data/bars.hpp"

namespace varnek::htf {

// Index of the period-aligned bucket holding ts: floor(ts / period), counted
// from the epoch, so buckets start on UTC hours and UTC midnight and negative
// timestamps floor downwards. Exact for every int64 ts; period must be > 0.
std::int64_t bucket_index(std::int64_t ts, std::int64_t period);

// Merges consecutive base bars that fall in the same bucket (open of the first,
// NaN-ignoring max high and min low, close of the last, summed volume). A bar
// from another bucket than the open one starts a new bar stamped with its
// bucket start; the last bucket is emitted even when incomplete, and empty
// buckets make no bar. A bucket starting below the int64 range (only possible
// around INT64_MIN) is stamped INT64_MIN. The result's timeframe_secs is
// `period`, which must be > 0.
data::BarSeries resample(const data::BarSeries& base, std::int64_t period);

// One entry per base bar: the largest j whose higher-timeframe bar has ended
// at or before the end of base bar b, i.e. htf.ts[j] + period <=
// base.ts[b] + base.timeframe_secs, or -1 when none has. A bar stamped INT64_MIN
// stands for its whole bucket and ends where that bucket ends. One forward
// pass: the candidate index never moves back. The still-open last bucket is
// therefore never visible. Sums are compared in 128 bits, so no timestamp or
// period overflows.
std::vector<std::int32_t> projection_map(const data::BarSeries& base, const data::BarSeries& htf,
                                         std::int64_t period);

}  // namespace varnek::htf
