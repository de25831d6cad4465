#pragma once
// Exit variants of one entry stream simulated side by side, one variant per lane of a
// vector register, on processors with AVX-512.
//
// Every exit variant of a stream walks the same signal list from its first signal to its
// last, each passing over the signals that come while it holds a position. So the variants
// can take the list's signals in step, all at signal t at once: a lane that is flat at t
// sizes it and either skips it or enters from it; a lane in a position passes over it. A
// lane's operations are those of the one-variant simulation, in its order, on the same
// IEEE doubles, with masks where that one branches, so each lane's summary is bit for bit
// the one its variant's own run gives.
//
// What a trade makes depends on the equity only through its size: its exit bar, its R and
// its money per contract follow from the signal, the levels and the hold. So a touch's
// trade is priced once per signal and pair when the first-touch table is built
// (TouchTable::pair_r), and a time exit once per signal and stop level here; a step then
// reads its lanes' trades in a row, sizes them and adds them, without a division or a
// branch on the exit.
#include <cstddef>
#include <cstdint>
#include <span>

#include "bt/cost.hpp"
#include "bt/metrics.hpp"
#include "bt/simulate.hpp"

namespace varnek::bt {

// The prices of a series, indexed by bar.
struct BarPrices {
  const double* open;
  const double* low;
  const double* high;
  const double* close;
};

inline constexpr std::size_t kLaneWidth = 8;  // variants in a register
inline constexpr std::size_t kMaxLanes = 32;  // variants one call runs at most
inline constexpr std::size_t kLaneStops = 8;  // stop levels at most
// Pairs of a table kept by signal at most (4 Mi pairs: about 70 MB).
inline constexpr std::size_t kMaxLaneEntries = std::size_t{1} << 22;

// Whether this processor runs the lanes (AVX-512 F, DQ and VL).
bool lanes_supported();

// The summaries of the exit variants with the first out.size() pairs of `table`'s levels
// (in its pair order; at most kMaxLanes) and one hold within its reach, over [start, E) (E
// within the bars), into out[p] for pair p: each exactly what that variant's own run over
// the stream's `list` gives. stop_atr holds the table's stop multiples by level.
void simulate_lanes(std::span<const Signal> list, const BarPrices& bars, const TouchTable& table,
                    const CostModel& cost, std::span<const double> stop_atr, std::uint64_t hold,
                    std::size_t start, std::size_t E, std::span<SegmentSummary> out);

}  // namespace varnek::bt
