#pragma once
// Per-bar entry decisions of the five strategy families.
//
// A candidate resolves once into a `StrategyView` of spans into the bar series, the
// feature set and the per-series decision tables; Decide then reads only those
// precomputed arrays. Every comparison with NaN is false, so undefined indicator
// values never signal.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "data/bars.hpp"
#include "htf/features.hpp"
#include "strategy/lattice.hpp"

namespace varnek::strategy {

// Bits of a gate byte: the session admits the bar and the regime filter admits the side.
inline constexpr std::uint8_t kLongOk = 1;
inline constexpr std::uint8_t kShortOk = 2;

// What a signal table holds, and which parameters key it.
enum class SignalKind : std::uint8_t {
  trend,     // family 0: EMA(a) of the trend view above (long) or below (short) EMA(b)
  channel,   // family 0: close above the previous `a` bars' high (long) or below their low
             // (short), both only where that high is defined
  pullback,  // family 0: a pullback to EMA(a) within level * ATR over the last `window` bars
  cross,     // family 1: EMA(a) crossing EMA(b)
  donchian,  // family 2: channel of `a` bars
  rsi,       // family 3: RSI(a) and rsi_low = level
  smc,       // family 4: pivot a, entry mode, window (modes 0, 1), level (mode 0)
};

// Per-bar side bits packed 64 bars to a pair of words: words[2w] holds, at bit b, whether
// bar 64w + b is admitted for a long, words[2w + 1] the same for a short. A bar's long and
// short words sit side by side because the simulation reads them together, a whole word of
// bars at a time; the words past the last bar are zero.
struct SideBits {
  std::vector<std::uint64_t> words;
};

// Zeroed bits for n bars.
SideBits make_side_bits(std::size_t n);

// Sets the sides of `bits` (kLongOk, kShortOk) at bar k.
inline void set_sides(SideBits& s, std::size_t k, unsigned sides) {
  const std::size_t w = 2 * (k >> 6);
  const unsigned b = k & 63;
  s.words[w] |= std::uint64_t{sides & kLongOk} << b;
  s.words[w + 1] |= std::uint64_t{(sides & kShortOk) >> 1} << b;
}

// A borrowed SideBits; empty (no words) in a view assembled by hand.
struct SidesView {
  const std::uint64_t* words = nullptr;
  bool empty() const { return words == nullptr; }
  // kLongOk and/or kShortOk at bar k.
  unsigned at(std::size_t k) const {
    const std::size_t w = 2 * (k >> 6);
    const unsigned b = k & 63;
    return static_cast<unsigned>(((words[w] >> b) & 1) | (((words[w + 1] >> b) & 1) << 1));
  }
};

inline SidesView view_of(const SideBits& s) {
  return {s.words.data()};
}

// A family rule evaluated once per bar for one parameter set, both sides allowed: the
// long side of bar k is set when the rule says long there, the short side when it says
// short (both clear for k < 2); a long-only candidate masks the short side away, which
// gives exactly its own rule. Family 0's rule is the AND of its three tables (trend,
// channel, pullback: the trend never admits both sides).
struct SignalTable {
  SignalKind kind = SignalKind::cross;
  std::uint8_t entry_mode = 0;
  std::uint32_t a = 0, b = 0;
  std::uint64_t window = 0;
  double level = 0.0;
  SideBits bits;
};

// Per-bar tables shared by every candidate of one series, built once.
struct DecisionTables {
  // gate[regime_filter * 4 + session][k]: kLongOk | kShortOk when both the session
  // (0 any, 1 00:00-07:00, 2 07:00-12:00, 3 13:00-20:00 UTC) and the regime filter
  // (0 none, 1 four-hour trend, 2 daily trend, 3 neutral four-hour trend) allow it.
  std::array<std::vector<std::uint8_t>, 16> gate;
  // The same gates as side bits, for the simulation's word-at-a-time scan.
  std::array<SideBits, 16> gate_bits;
  // For pivots 2, 3, 5: the last bar j < k with a bullish (bearish) break, or -1.
  std::array<std::vector<std::int32_t>, 3> prev_bull;
  std::array<std::vector<std::int32_t>, 3> prev_bear;
  // One table per parameter set of the active lattice that changes a family rule (about
  // 200 with the static lattice, two bits per bar each), so that Decide is a few bit
  // tests and the simulation can skip flat stretches 64 bars at a time.
  std::vector<SignalTable> signals;
  // Per signal kind (in SignalKind order): for each combination of the kind's dimensions,
  // enumerated in mixed radix over the active lattice's value counts, the position of its
  // table in `signals`, so that resolving a candidate is arithmetic, not a search.
  std::array<std::vector<std::uint16_t>, 7> table_of;
  // Per aligned block of kTouchBlock bars (block j holds bars kTouchBlock * j onwards): the
  // lowest low and the highest high, undefined prices left out (+inf and -inf when the
  // block has none). A position whose stop and target lie outside a block's extremes
  // touches neither inside it, so the simulation passes such blocks with two comparisons.
  std::vector<double> block_low, block_high;
};

inline constexpr std::size_t kTouchBlock = 8;

DecisionTables build_decision_tables(const data::BarSeries& bars, const htf::FeatureSet& fs);

// The same tables, built kind by kind from a set that needs no length-indexed series to
// start with: before each kind the set gets exactly the series that kind reads (a series
// shared with the kind before is kept), and it leaves with none (`series_dropped`). Peak
// memory holds one kind's series instead of every length's; the tables are identical.
DecisionTables build_decision_tables_dropping_series(const data::BarSeries& bars,
                                                     htf::FeatureSet& fs);

// The tables of one candidate only: every gate, the pivots' last breaks and the blocks, but
// only the signal tables the candidate itself resolves to (a rebuild over a truncated series,
// as the lookahead audit makes, needs no more). Looking any other parameter set up in them
// stops the process, as with a table from another lattice.
DecisionTables build_candidate_tables(const data::BarSeries& bars, const htf::FeatureSet& fs,
                                      const Candidate& c);

// The indicator lengths that resolving `c` and building its tables read: its own, and
// those of its family's first values (a table is built from a candidate whose other
// dimensions sit at their first value).
htf::FeatureLengths candidate_lengths(const Candidate& c);

// Everything a candidate evaluation reads; built once per series and shared read-only.
struct EvalInputs {
  const data::BarSeries& bars;
  const htf::FeatureSet& features;
  const DecisionTables& tables;
};

// A candidate resolved against one series; borrows everything, owns nothing.
struct StrategyView {
  std::span<const double> primary, secondary;           // per family, see resolve()
  std::span<const double> pullback_ema;                 // family 0
  std::span<const double> breakout_high, breakout_low;  // family 0
  std::span<const double> close, open, high, low;
  std::span<const std::int64_t> ts;
  std::span<const std::uint8_t> bull_breaks, bear_breaks;  // family 4
  std::span<const std::int32_t> prev_bull, prev_bear;      // family 4
  std::span<const double> atr;
  std::span<const std::uint8_t> gate;  // session and regime filter of this candidate
  SidesView gate_bits;                 // the same gate as side bits
  // Precomputed rule bits (family 0: trend, with channel and pullback beside it); empty in
  // a view assembled by hand, which then runs the rules themselves.
  SidesView signal, channel, pullback;
  std::uint8_t side_mask = kLongOk;     // kLongOk, plus kShortOk when shorts are allowed
  const htf::HtfContext* h4 = nullptr;  // the H4 view, or the D1 view when H4 is absent
  const htf::HtfContext* d1 = nullptr;
  double level_a = 0.0;      // family 0: pb_atr; 3: rsi_low; 4: fvg_min_atr
  double level_b = 0.0;      // family 3: 100 - rsi_low
  std::uint64_t window = 0;  // family 0: pb_window; 4: max_wait
  std::uint8_t family = 0;
  std::uint8_t regime_filter = 0;
  std::uint8_t entry_mode = 0;  // family 4: 0 fair-value gap, 1 order block, 2 immediate
  std::uint8_t session = 0;
  bool shorts_allowed = false;
};

// Looking up a parameter set that the tables do not hold (a lattice other than the one
// the tables were built from) is a broken invariant and stops the process.
StrategyView resolve(const Candidate& c, const EvalInputs& in);

// +1 long, -1 short, 0 nothing at bar k (k >= 2); from the signal tables when the view
// has them, else from the rules.
int decide(const StrategyView& v, std::size_t k);

// Number of (candidate, bar) pairs with a non-zero decision over bars 2..n-1, summed
// across the worker pool.
std::uint64_t signal_count(std::span<const Candidate> candidates, const EvalInputs& in);

}  // namespace varnek::strategy
