#include "bt/simulate.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <tuple>
#include <type_traits>

#include "bt/lanes.hpp"
#include "core/splitmix.hpp"
#include "strategy/decide_rules.hpp"
#include "strategy/flag_scan.hpp"

namespace varnek::bt {
namespace {

using strategy::StrategyView;

struct Setup {
  CostModel cost;
  double stop_atr = 0.0;
  double rr = 0.0;
  std::uint64_t hold = 0;
  std::uint8_t stop_level = 0;  // the lattice indices of stop_atr and rr
  std::uint8_t rr_level = 0;
};

// Positions of stop_atr, rr and hold in each family, looked up once per process.
struct ExitPositions {
  std::size_t stop_atr, rr, hold;
};

const ExitPositions& exit_positions(std::uint8_t family) {
  static const auto positions = [] {
    std::array<ExitPositions, strategy::kFamilies> p{};
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      p[f] = {strategy::param_position(f, "stop_atr"), strategy::param_position(f, "rr"),
              strategy::param_position(f, "hold")};
    }
    return p;
  }();
  return positions[family];
}

// The candidate's exit levels and hold, as the member `key` of a shared-signal run.
ExitVariant exit_variant(const strategy::Candidate& c, std::uint32_t key) {
  const ExitPositions& pos = exit_positions(c.family);
  return {c.idx[pos.stop_atr], c.idx[pos.rr], strategy::param_uint(c, pos.hold), key};
}

Setup make_setup(const strategy::Candidate& c, const core::Market& market, const core::Exec& exec) {
  const ExitPositions& pos = exit_positions(c.family);
  const ExitVariant x = exit_variant(c, 0);
  Setup s;
  s.cost = derive_costs(market, exec);
  s.stop_atr = strategy::param_value(c, pos.stop_atr);
  s.rr = strategy::param_value(c, pos.rr);
  s.hold = x.hold;
  s.stop_level = x.stop_level;
  s.rr_level = x.rr_level;
  return s;
}

// A position's levels: the entry fill moved against it by one fill offset, the stop at
// stop_dist on the losing side and the target at rr times it on the winning side.
struct Levels {
  double entry, stop, target;
};

[[gnu::always_inline]] inline Levels levels_of(double open, int d, const CostModel& cost,
                                               double stop_dist, double rr) {
  const double entry = open + d * cost.fill_offset;
  return {entry, entry - d * stop_dist, entry + d * rr * stop_dist};
}

// Whether a position can be entered from signal bar k: its entry bar lies in the range and
// its ATR, which sizes the position, is a positive number.
[[gnu::always_inline]] inline bool can_enter(std::size_t k, std::uint64_t entry_lag,
                                             std::size_t E, double atr) {
  return k + entry_lag < E && atr > 0.0 && std::isfinite(atr);
}

// Position sizes at one equity.
struct Sizer {
  const CostModel& cost;
  double equity;
  double stop_atr;
  // Whether a signal with this ATR is a size skip decided without a division: most are.
  [[gnu::always_inline]] bool plain_skip(double atr) const {
    return plainly_under_one_contract(cost, equity, atr * stop_atr);
  }
  [[gnu::always_inline]] std::uint32_t contracts(double atr) const {
    return size_position(cost, equity, atr * stop_atr);
  }
};

// The signal a position is entered from.
struct Entry {
  int d = 0;  // direction
  double atr = 0.0;
  std::uint32_t contracts = 0;
};

// Where a flat stretch ends, read from the candidate's own tables: the next bar at or after
// `from` whose decision is a signal, with its direction in d; end when none. Family 0's
// decision is the AND of its trend, channel and pullback tables with the gate; the other
// families' that of their one table with the gate.
template <int F>
struct TableScan {
  static constexpr std::size_t kRows = F == 0 ? 4 : 2;
  strategy::FlagCursor<kRows> cursor;
  const double* atrs;
  std::uint64_t entry_lag;
  TableScan(const StrategyView& v, std::uint64_t lag)
      : cursor(rows(v), (v.side_mask & strategy::kShortOk) != 0),
        atrs(v.atr.data()),
        entry_lag(lag) {}
  static std::array<const std::uint64_t*, kRows> rows(const StrategyView& v) {
    if constexpr (F == 0) {
      return {v.signal.words, v.gate_bits.words, v.channel.words, v.pullback.words};
    } else {
      return {v.signal.words, v.gate_bits.words};
    }
  }
  [[gnu::always_inline]] std::size_t next(std::size_t from, std::size_t end, int& d) {
    return cursor.next(from, end, d);
  }
  // The next signal at or after `from` that a position is entered from, or end: signals
  // without an entry bar in the range or a positive ATR are passed over, those under one
  // contract too and counted in `skips`.
  [[gnu::always_inline]] std::size_t next_entry(std::size_t from, std::size_t end,
                                                const Sizer& size, Entry& out,
                                                std::uint32_t& skips) {
    for (;;) {
      const std::size_t k = next(from, end, out.d);
      if (k >= end) return end;
      from = k + 1;
      const double atr = atrs[k];
      if (!can_enter(k, entry_lag, end, atr)) continue;
      out.contracts = size.contracts(atr);
      if (out.contracts == 0) {
        skips += 1;
        continue;
      }
      out.atr = atr;
      return k;
    }
  }
};

// Ranges of at least this many bars overflow the core's caches: a signal's ATR and the
// prices of its entry bar then come from memory, and the list walk of a small group asks
// for those of the signal kAhead places on while it answers for this one. Over shorter
// ranges, or when many variants walk the same list, the requests cost more than they save.
constexpr std::size_t kPrefetchFrom = std::size_t{1} << 17;
constexpr std::size_t kAhead = 8;

// The same answers from an entry stream's signal list, built once by a TableScan over the
// range and shared by every exit variant of the stream. The list holds only the signals a
// position can be entered from, with their ATR: the others change nothing but where the
// next flat stretch starts, and it ends at the same signal either way.
// Requests come in increasing order within a run, so the cursor only moves forward.
template <bool Prefetch>
struct ListWalk {
  std::span<const Signal> list;
  const StrategyView* v;
  std::size_t entry_lag;
  std::size_t at = 0;
  // As TableScan::next_entry: the list holds only signals a position can be entered from,
  // and a run of skips costs no division.
  [[gnu::always_inline]] std::size_t next_entry(std::size_t from, std::size_t end,
                                                const Sizer& size, Entry& out,
                                                std::uint32_t& skips) {
    while (at < list.size() && list[at].bar < from) ++at;
    for (; at < list.size(); ++at) {
      const Signal& s = list[at];
      if (size.plain_skip(s.atr)) {
        skips += 1;
        continue;
      }
      out.contracts = size.contracts(s.atr);
      if (out.contracts == 0) {  // a size that is not a finite number
        skips += 1;
        continue;
      }
      if constexpr (Prefetch) {
        const std::size_t e = list[std::min(at + kAhead, list.size() - 1)].bar + entry_lag;
        __builtin_prefetch(v->open.data() + e);
        __builtin_prefetch(v->low.data() + e);
        __builtin_prefetch(v->high.data() + e);
      }
      out.d = s.side;
      out.atr = s.atr;
      return s.bar;
    }
    return end;
  }
};

// The first bar x in [e, last] whose range reaches the stop or the target of a position
// in direction D, or last + 1: a long touches when its low is at or below the stop or its
// high at or above the target, a short when its high is at or above the stop or its low at
// or below the target.
// Bars of a position tested one by one before the block-wise search: most positions end
// within them, and a plain loop costs the least there.
constexpr std::size_t kHead = 16;

template <int D>
struct FirstTouch {
  const double* low;
  const double* high;
  const double* block_low;   // DecisionTables::block_low
  const double* block_high;  // DecisionTables::block_high
  std::size_t bars;          // the series length, which no read may reach
  double stop, target;

  [[gnu::always_inline]] unsigned touches(std::size_t x) const {
    if constexpr (D > 0) {
      return static_cast<unsigned>(low[x] <= stop) | static_cast<unsigned>(high[x] >= target);
    } else {
      return static_cast<unsigned>(high[x] >= stop) | static_cast<unsigned>(low[x] <= target);
    }
  }
  // Whether some bar of aligned block j may touch: its extremes reach a level.
  [[gnu::always_inline]] bool block_may_touch(std::size_t j) const {
    if constexpr (D > 0) {
      return (block_low[j] <= stop) | (block_high[j] >= target);
    } else {
      return (block_high[j] >= stop) | (block_low[j] <= target);
    }
  }
  // Bars x .. x + 7 as a bit mask, without a branch between them (x + 8 <= bars).
  [[gnu::always_inline]] unsigned eight_from(std::size_t x) const {
    unsigned m = 0;
    for (unsigned i = 0; i < 8; ++i) m |= touches(x + i) << i;
    return m;
  }

  // A position's first kHead bars are tested one by one; longer positions go on block by
  // block, passing over every block whose extremes touch neither
  // level and testing the others eight bars at once.
  [[gnu::always_inline]] std::size_t find(std::size_t e, std::size_t last) const {
    static_assert(strategy::kTouchBlock == 8);
    std::size_t x = e;
    for (; x < e + kHead; ++x) {
      if (x > last) return last + 1;
      if (touches(x)) return x;
    }
    for (std::size_t block = x & ~std::size_t{7}; block <= last; block += 8) {
      if (!block_may_touch(block / 8)) continue;
      if (block + 8 > bars) {  // the series' last bars, one by one
        std::size_t y = std::max(block, x);
        while (y <= last && touches(y) == 0) ++y;
        return y;
      }
      unsigned m = eight_from(block);
      if (block < x) m &= ~0u << (x - block);                 // bars already tested
      if (last - block < 7) m &= (2u << (last - block)) - 1;  // bars past `last`
      if (m != 0) return block + static_cast<std::size_t>(std::countr_zero(m));
    }
    return last + 1;
  }
};

// Where a position first touches a level, searched in the bars themselves.
struct ScanExits {
  const double* low;
  const double* high;
  const double* block_low;
  const double* block_high;
  std::size_t bars;
  [[gnu::always_inline]] std::size_t first_touch(std::size_t /*k*/, std::size_t e,
                                                 std::size_t last, int d, double stop,
                                                 double target) const {
    return d > 0 ? FirstTouch<1>{low, high, block_low, block_high, bars, stop, target}.find(e, last)
                 : FirstTouch<-1>{low, high, block_low, block_high, bars, stop, target}.find(e,
                                                                                           last);
  }
};

// The same answer read from a TouchTable: the variant's column of its stop and rr levels,
// at the signal bar's row. The table searched at least as far as `last`, so a touch
// within it is the first touch in [e, last].
struct TableExits {
  const std::uint8_t* column;  // the column of the variant's stop and rr levels
  std::size_t first;           // the table's first signal bar
  [[gnu::always_inline]] std::size_t first_touch(std::size_t k, std::size_t e, std::size_t last,
                                                 int d, double /*stop*/,
                                                 double /*target*/) const {
    const std::uint8_t off = column[2 * (k - first) + (d < 0)];
    return off != TouchTable::kNoTouch && e + off <= last ? e + off : last + 1;
  }
};

// The exits of a variant with the stop and rr levels of `s`, read from `table`.
TableExits table_exits(const TouchTable& table, const Setup& s) {
  return {table.offsets.data() + table.column(s.stop_level, s.rr_level), table.first};
}

// What a run records beside its summary.
enum class Detail : std::uint8_t {
  summary,  // nothing: the fast run
  results,  // each trade's entry bar and result
  full,     // the curves, the equity list and the trade log
};

// A position's exit price before costs, when it leaves at bar x, x > e for a position
// entered at e, touched if x is its first touch of the stop or the target. Stop first, then
// target; a gap through a level fills at the open, at the worse of the two prices for a
// stop and the better for a target, except on the entry bar, where the level itself is
// used. Without a touch the position closes at x's close. Written as selections rather than
// branches: which exit comes is a coin toss to the branch predictor.
struct ExitPrice {
  double raw;
  bool stopped;
};

[[gnu::always_inline]] inline ExitPrice exit_price(const BarPrices& p, std::size_t e,
                                                   std::size_t x, bool touched, int d,
                                                   double stop, double target) {
  const bool stopped = touched && (d > 0 ? p.low[x] <= stop : p.high[x] >= stop);
  const double level = stopped ? stop : target;
  const double op = p.open[x];
  const bool lower = (d > 0) == stopped;  // a long's stop or a short's target
  const double gap_fill = lower ? std::min(op, level) : std::max(op, level);
  return {!touched ? p.close[x] : x == e ? level : gap_fill, stopped};
}

BarPrices prices_of(const StrategyView& v) {
  return {v.open.data(), v.low.data(), v.high.data(), v.close.data()};
}

// Where a run stands while flat from bar b: its equity, its summary so far and the bars
// it stepped before b. A finished run leaves every bar it stepped in `bars` and in its
// summary.
struct RunState {
  std::size_t b = 0;
  double equity = 0.0;
  std::size_t bars = 0;
  SummaryBuilder sb;
};

RunState start_state(const Setup& s, std::size_t start) {
  return {std::max<std::size_t>(start, 1), s.cost.equity0, 0, SummaryBuilder{}};
}

// The bar a position entered at e leaves at the latest: its holding time or the range's
// last bar.
[[gnu::always_inline]] inline std::size_t last_bar(std::size_t e, std::uint64_t hold,
                                                   std::size_t E) {
  return hold < E - 1 - e ? e + hold : E - 1;
}

// How far a run goes: to the end of its range; for a run shared by exit variants that
// differ only in their holding time (Until::split), to the first position whose exit would
// differ for a variant with the shorter hold `until`; or (Until::pause) until it stands
// flat at or past bar `until`.
enum class Until : std::uint8_t { end, split, pause };

// One loop for every variant. Flat stretches jump from signal to signal and count their
// bars at once; a position runs to its first stop or target touch or to its last bar
// (holding time or end of range). The run goes on from `st` and leaves its final state
// there; a run until a split that finds one returns true instead, with `st` and `signals`
// as they were when the diverging position's flat stretch began (its skips counted), so
// that a run of either hold goes on from there. A run until a pause that reaches it returns
// true likewise, and goes on from there when called again.
template <int F, Detail D, Until U = Until::end, class Signals, class Exits>
bool simulate(const StrategyView& v, Signals& walked, const Exits& exits,
              const strategy::EvalInputs& in, const Setup& s, RunState& st, std::size_t end,
              BacktestRun* run, std::vector<TradeResult>* results, std::uint64_t until = 0) {
  constexpr bool Full = D == Detail::full;
  static_assert(U == Until::end || D == Detail::summary);
  Signals signals = walked;
  const std::size_t E = std::min(end, v.close.size());
  // Locals, so that the opaque sizing and pricing calls do not force reloads.
  const CostModel cost = s.cost;
  const double stop_atr = s.stop_atr, rr = s.rr;
  const std::uint64_t hold = s.hold;
  const double* const low = v.low.data();
  const double* const high = v.high.data();
  const double* const open = v.open.data();
  const double* const close = v.close.data();
  SummaryBuilder sb = st.sb;
  double equity = st.equity;
  std::size_t b = st.b;
  // Every bar from b on is stepped once, flat or in position, but the entry lag's bars
  // between a signal and its entry: the count follows from where the run is and its trades.
  const std::size_t b0 = b;
  const std::uint32_t trades0 = sb.summary.trades;
  const auto bars_before = [&](std::size_t to) {
    return st.bars + (to - b0) - (sb.summary.trades - trades0) * (cost.entry_lag - 1);
  };
  while (b < E) {
    if constexpr (U == Until::pause) {
      if (b >= until) {
        st = {b, equity, bars_before(b), sb};
        walked = signals;
        return true;
      }
    }
    // Flat from bar b: bars b .. k are stepped, a position is entered from the signal at k
    // (k >= 2).
    Entry entry_signal;
    const std::size_t k = signals.next_entry(std::max<std::size_t>(b, 2), E,
                                             Sizer{cost, equity, stop_atr}, entry_signal,
                                             sb.summary.size_skips);
    const std::size_t last_flat = std::min(k, E - 1);
    if constexpr (Full) {
      for (std::size_t i = b; i <= last_flat; ++i) {
        const EquityPoint p{v.ts[i], equity};
        run->worst_curve.push_back(p);
        run->close_curve.push_back(p);
        run->best_curve.push_back(p);
      }
    }
    if (k >= E) {  // no more positions: the run has stepped every bar of its range
      b = E;
      break;
    }
    const std::size_t e = k + cost.entry_lag;
    const int d = entry_signal.d;
    const std::uint32_t contracts = entry_signal.contracts;
    const double stop_dist = entry_signal.atr * stop_atr;
    const auto [entry, stop, target] = levels_of(open[e], d, cost, stop_dist, rr);
    // In position from bar e (the bars between the signal and the entry are not stepped)
    // to `last` at the latest: the holding time or the end of the range.
    const std::size_t last = last_bar(e, hold, E);
    std::size_t x = exits.first_touch(k, e, last, d, stop, target);
    const bool touched = x <= last;
    x = touched ? x : last;
    if constexpr (U == Until::split) {
      // The shorter hold leaves at its own last bar, before x: from here the two differ.
      if (x > last_bar(e, until, E)) {
        st = {b, equity, bars_before(b), sb};
        walked = signals;
        return true;
      }
    }
    const auto [raw, stopped] = exit_price({open, low, high, close}, e, x, touched, d, stop,
                                           target);
    const ExitReason reason = touched    ? (stopped ? ExitReason::stop : ExitReason::target)
                              : x + 1 == E ? ExitReason::end_of_data
                                           : ExitReason::time;
    if constexpr (Full) {
      const double scale = d * cost.point_value * contracts;
      for (std::size_t i = e; i < x; ++i) {
        const double lo = low[i], hi = high[i];
        const double adverse = d > 0 ? lo : hi, favourable = d > 0 ? hi : lo;
        run->worst_curve.push_back({v.ts[i], equity + (adverse - entry) * scale});
        run->close_curve.push_back({v.ts[i], equity + (close[i] - entry) * scale});
        run->best_curve.push_back({v.ts[i], equity + (favourable - entry) * scale});
      }
    }
    const PricedTrade p = price_trade(cost, d, entry, raw, stop_dist, contracts);
    equity += p.pnl;
    sb.add_trade(p.r);
    if constexpr (D == Detail::results) results->push_back({e, p.r});
    if constexpr (Full) {
      run->equity.push_back(equity);
      Trade t;
      t.reason = reason;
      t.entry_bar = e;
      t.exit_bar = x;
      t.entry_ts = v.ts[e];
      t.exit_ts = v.ts[x];
      t.entry = entry;
      t.exit = p.exit;
      t.stop = stop;
      t.target = target;
      t.r = p.r;
      t.pnl = p.pnl;
      t.costs = p.costs;
      t.contracts = contracts;
      t.side = static_cast<std::int8_t>(d);
      t.regime_trend = in.features.regime_trend[e - 1];
      t.regime_vol = in.features.regime_vol[e - 1];
      run->trades.push_back(t);
    }
    // Bars e .. x - 1 were stepped in position; the exit bar is stepped again as flat (its
    // curve point and decision come next).
    b = x;
  }
  const std::size_t bars = b0 < E ? bars_before(E) : st.bars;
  sb.summary.bars = static_cast<std::uint32_t>(bars);
  st = {b, equity, bars, sb};
  walked = signals;
  return false;
}

// The summaries of exit variants that differ only in their holding time (members, by
// ascending hold; out is indexed by ExitVariant::key), with the stop and rr of `s`. They
// run as one, under the longest hold, while their trades agree: the same signals, sizes
// and levels, and every position that ends by the shortest hold (or at the range's end)
// ends alike for all of them. At the first position that outlasts the shortest hold, that
// variant goes on alone, and the others run on together from the same place.
template <int F, class Signals, class Exits>
void simulate_holds(const StrategyView& v, Signals signals, const Exits& exits,
                    const strategy::EvalInputs& in, Setup s, std::size_t start, std::size_t end,
                    std::span<const ExitVariant> members, std::span<SegmentSummary> out) {
  s.hold = members.back().hold;
  RunState st = start_state(s, start);
  for (std::size_t j = 0; j + 1 < members.size(); ++j) {
    if (!simulate<F, Detail::summary, Until::split>(v, signals, exits, in, s, st, end, nullptr,
                                                    nullptr, members[j].hold)) {
      for (; j < members.size(); ++j) out[members[j].key] = st.sb.summary;
      return;
    }
    Setup alone = s;
    alone.hold = members[j].hold;
    Signals own = signals;
    RunState from = st;
    simulate<F, Detail::summary>(v, own, exits, in, alone, from, end, nullptr, nullptr);
    out[members[j].key] = from.sb.summary;
  }
  simulate<F, Detail::summary>(v, signals, exits, in, s, st, end, nullptr, nullptr);
  out[members.back().key] = st.sb.summary;
}

ScanExits scan_exits(const StrategyView& v, const strategy::EvalInputs& in) {
  return {v.low.data(), v.high.data(), in.tables.block_low.data(), in.tables.block_high.data(),
          v.close.size()};
}

// Whether `table` answers the variants of `family` over [start, end) at these costs.
bool answers(const TouchTable& table, std::uint8_t family, std::size_t start, std::size_t end,
             const CostModel& cost) {
  return table.family == family && table.start == start && table.end == end &&
         table.entry_lag == cost.entry_lag && table.fill_offset == cost.fill_offset;
}

template <Detail D>
void dispatch(const strategy::Candidate& c, const strategy::EvalInputs& in,
              const core::Market& market, const core::Exec& exec, std::size_t start,
              std::size_t end, SummaryBuilder& sb, BacktestRun* run,
              std::vector<TradeResult>* results) {
  const StrategyView v = strategy::resolve(c, in);
  const Setup s = make_setup(c, market, exec);
  strategy::rules::with_family(c.family, [&](auto f) {
    constexpr int F = decltype(f)::value;
    TableScan<F> signals(v, s.cost.entry_lag);
    RunState st = start_state(s, start);
    simulate<F, D>(v, signals, scan_exits(v, in), in, s, st, end, run, results);
    sb = st.sb;
  });
}

bool long_range(std::size_t start, std::size_t end) {
  return end > start && end - start >= kPrefetchFrom;
}

// Calls f(w, longs, shorts) for each 64-bar word w of c's entry stream that meets
// [max(start, 2), E), with its long and short flags masked to that range.
template <class F>
void for_each_flag_word(const strategy::Candidate& c, const StrategyView& v, std::size_t start,
                        std::size_t E, F&& f) {
  const std::size_t from = std::max<std::size_t>(start, 2);
  if (from >= E) return;
  strategy::rules::with_family(c.family, [&](auto family) {
    TableScan<decltype(family)::value> scan(v, 0);
    const std::size_t first_word = from >> 6, last_word = (E - 1) >> 6;
    for (std::size_t w = first_word; w <= last_word; ++w) {
      const std::array<std::uint64_t, 2> m = scan.cursor.flags(w);
      std::uint64_t keep = ~std::uint64_t{0};
      if (w == first_word) keep &= keep << (from & 63);
      if (w == last_word && (E & 63) != 0) keep &= ~(~std::uint64_t{0} << (E & 63));
      f(w, m[0] & keep, m[1] & keep);
    }
  });
}

// The bars of c's entry stream in [max(start, 2), E) that signal. Cloned for processors
// with a population count instruction, which the baseline build would call a library for.
[[gnu::target_clones("popcnt", "default")]] std::size_t flagged_bars(
    const strategy::Candidate& c, const StrategyView& v, std::size_t start, std::size_t E) {
  std::size_t n = 0;
  for_each_flag_word(c, v, start, E, [&](std::size_t, std::uint64_t longs, std::uint64_t shorts) {
    n += static_cast<std::size_t>(std::popcount(longs | shorts));
  });
  return n;
}

// The signals of c's entry stream in [max(start, 2), E) that a position can be entered
// from, in bar order, as TableScan::next finds them, at the front of `list`. Read 64 bars
// at a time and filled by index into a list sized once: for every bar of a range that is
// not long, which a worker's list keeps from one stream to the next; over a long range, for
// the flagged bars, counted first.
std::span<const Signal> list_signals(const strategy::Candidate& c, const StrategyView& v,
                                     std::uint64_t entry_lag, std::size_t start, std::size_t E,
                                     std::vector<Signal>& list) {
  const std::size_t room = long_range(start, E)
                               ? flagged_bars(c, v, start, E)
                               : E - std::min(std::max<std::size_t>(start, 2), E);
  if (list.size() < room) list.resize(room);
  std::size_t n = 0;
  for_each_flag_word(c, v, start, E, [&](std::size_t w, std::uint64_t longs, std::uint64_t shorts) {
    for (std::uint64_t any = longs | shorts; any != 0; any &= any - 1) {
      const auto b = static_cast<unsigned>(std::countr_zero(any));
      const std::size_t k = w * 64 + b;
      const int d = static_cast<int>((longs >> b) & 1) - static_cast<int>((shorts >> b) & 1);
      if (can_enter(k, entry_lag, E, v.atr[k])) {
        list[n++] = {static_cast<std::uint32_t>(k), d, v.atr[k]};
      }
    }
  });
  return std::span(list).first(n);
}

// A group's members as exit variants by rr level, stop level and hold: rr before stop is the
// order of the lattice, whose groups then need no sorting (and equal multisets of exits
// give equal sequences).
void sorted_exits(std::span<const strategy::Candidate> keys,
                  std::span<const std::uint32_t> members, std::vector<ExitVariant>& exits) {
  exits.clear();
  for (const std::uint32_t i : members) exits.push_back(exit_variant(keys[i], i));
  const auto by_exit = [](const ExitVariant& a, const ExitVariant& b) {
    return std::tie(a.rr_level, a.stop_level, a.hold, a.key) <
           std::tie(b.rr_level, b.stop_level, b.hold, b.key);
  };
  if (!std::is_sorted(exits.begin(), exits.end(), by_exit)) {
    std::sort(exits.begin(), exits.end(), by_exit);
  }
}

// Groups of at least this many candidates walk a shared signal list; smaller ones scan
// their tables directly, which costs less than listing the stream first, except over a
// long range, where only a list walk can ask for the bars it will read ahead of time.
constexpr std::size_t kShareFrom = 4;

// From this many bars on, the prices, ATRs and table rows that a stream's exit variants
// read (about 90 bytes a bar) overflow the core's own cache, so the variants step together,
// a block of kBlock bars at a time, whose data fits it.
constexpr std::size_t kBlockFrom = std::size_t{1} << 15;
constexpr std::size_t kBlock = 4096;
constexpr std::size_t kMaxPairs = strategy::kMaxValues * strategy::kMaxValues;

// The summaries of a stream's exit variants over a long range, when each has stop and rr
// levels of its own and a hold within the table's reach (as in the exhaustive lattice's
// windows, whose hold is fixed): each variant runs until it stands flat past the block's
// end, every variant in turn, block after block, so that all but the first read a block's
// bars from the cache. A paused run goes on exactly where it stood. False, with nothing
// done, when the range is short or the variants do not qualify.
template <int F>
bool walk_in_blocks(const StrategyView& v, std::span<const Signal> list, const TouchTable& table,
                    std::span<const strategy::Candidate> keys,
                    std::span<const ExitVariant> variants, const strategy::EvalInputs& in,
                    const core::Market& market, const core::Exec& exec, std::size_t start,
                    std::size_t end, std::span<SegmentSummary> out) {
  const std::size_t E = std::min(end, v.close.size());
  if (E < start + kBlockFrom || variants.size() < kShareFrom || variants.size() > kMaxPairs) {
    return false;
  }
  for (std::size_t j = 0; j < variants.size(); ++j) {
    if (variants[j].hold > table.reach) return false;
    if (j > 0 && variants[j].stop_level == variants[j - 1].stop_level &&
        variants[j].rr_level == variants[j - 1].rr_level) {
      return false;
    }
  }
  std::array<Setup, kMaxPairs> setups;
  std::array<RunState, kMaxPairs> states;
  std::array<ListWalk<false>, kMaxPairs> walks;
  std::array<TableExits, kMaxPairs> exits;
  for (std::size_t j = 0; j < variants.size(); ++j) {
    setups[j] = make_setup(keys[variants[j].key], market, exec);
    states[j] = start_state(setups[j], start);
    walks[j] = {list, &v, setups[j].cost.entry_lag};
    exits[j] = table_exits(table, setups[j]);
  }
  for (std::size_t pause = start + kBlock; pause < E; pause += kBlock) {
    for (std::size_t j = 0; j < variants.size(); ++j) {
      simulate<F, Detail::summary, Until::pause>(v, walks[j], exits[j], in, setups[j], states[j],
                                                 end, nullptr, nullptr, pause);
    }
  }
  for (std::size_t j = 0; j < variants.size(); ++j) {
    simulate<F, Detail::summary>(v, walks[j], exits[j], in, setups[j], states[j], end, nullptr,
                                 nullptr);
    out[variants[j].key] = states[j].sb.summary;
  }
  return true;
}

// A last register's worth of pairs this few costs less run one by one: a lane step costs
// about as much as a quarter of a variant's own run.
constexpr std::size_t kLaneRest = 3;

// The summaries of a stream's exit variants run side by side in vector lanes, when the
// processor can and `table` keeps its touches by signal: the variants must come as whole
// sets of the table's pairs, each set of one hold within the table's reach (as exhaustive
// windows hand them over). Pairs past the last full register, when they are few, run one by
// one on the list. False, with nothing done, otherwise.
template <int F>
bool walk_in_lanes(const StrategyView& v, std::span<const Signal> list, const TouchTable& table,
                   std::span<const strategy::Candidate> keys,
                   std::span<const ExitVariant> variants, const strategy::EvalInputs& in,
                   const core::Market& market, const core::Exec& exec, std::size_t start,
                   std::size_t end, std::span<SegmentSummary> out) {
  const std::size_t pairs = table.stops * table.rrs;
  if (table.pair_offsets.empty() || variants.size() % pairs != 0) return false;
  // By rr level, stop level and hold: a pair's variants are adjacent, one per hold.
  const std::size_t holds = variants.size() / pairs;
  for (std::size_t p = 0; p < pairs; ++p) {
    for (std::size_t h = 0; h < holds; ++h) {
      const ExitVariant& x = variants[p * holds + h];
      if (x.rr_level * table.stops + x.stop_level != p || x.hold > table.reach ||
          x.hold != variants[h].hold || (h > 0 && x.hold == variants[h - 1].hold)) {
        return false;
      }
    }
  }
  const CostModel cost = derive_costs(market, exec);
  std::array<double, kLaneStops> stop_atr;
  for (std::size_t a = 0; a < table.stops; ++a) {
    stop_atr[a] = make_setup(keys[variants[a * holds].key], market, exec).stop_atr;
  }
  const std::size_t rest =
      pairs % kLaneWidth <= kLaneRest && pairs > kLaneWidth ? pairs % kLaneWidth : 0;
  std::array<SegmentSummary, kMaxLanes> sums;
  for (std::size_t h = 0; h < holds; ++h) {
    simulate_lanes(list, prices_of(v), table, cost, std::span(stop_atr).first(table.stops),
                   variants[h].hold, start, std::min(end, v.close.size()),
                   std::span(sums).first(pairs - rest));
    for (std::size_t p = 0; p < pairs - rest; ++p) out[variants[p * holds + h].key] = sums[p];
  }
  for (std::size_t j = (pairs - rest) * holds; j < variants.size(); ++j) {
    const Setup s = make_setup(keys[variants[j].key], market, exec);
    ListWalk<false> walk{list, &v, s.cost.entry_lag};
    const TableExits exits = table_exits(table, s);
    RunState st = start_state(s, start);
    simulate<F, Detail::summary>(v, walk, exits, in, s, st, end, nullptr, nullptr);
    out[variants[j].key] = st.sb.summary;
  }
  return true;
}

}  // namespace

strategy::Candidate entry_stream(const strategy::Candidate& c) {
  const ExitPositions& pos = exit_positions(c.family);
  strategy::Candidate s = c;
  for (const std::size_t dim : {pos.stop_atr, pos.rr, pos.hold}) s.idx[dim] = 0;
  return s;
}

TouchTable build_touch_table(const strategy::Candidate& c, const strategy::EvalInputs& in,
                             const core::Market& market, const core::Exec& exec,
                             std::size_t start, std::size_t end) {
  const ExitPositions& pos = exit_positions(c.family);
  const StrategyView v = strategy::resolve(c, in);
  const CostModel cost = derive_costs(market, exec);
  TouchTable t;
  t.family = c.family;
  t.start = start;
  t.end = end;
  t.entry_lag = cost.entry_lag;
  t.fill_offset = cost.fill_offset;
  t.stops = strategy::value_count(c.family, pos.stop_atr);
  t.rrs = strategy::value_count(c.family, pos.rr);
  std::vector<double> stop_atr(t.stops), rr(t.rrs);
  strategy::Candidate level = c;
  for (std::size_t i = 0; i < t.stops; ++i) {
    level.idx[pos.stop_atr] = static_cast<std::uint8_t>(i);
    stop_atr[i] = strategy::param_value(level, pos.stop_atr);
  }
  for (std::size_t j = 0; j < t.rrs; ++j) {
    level.idx[pos.rr] = static_cast<std::uint8_t>(j);
    rr[j] = strategy::param_value(level, pos.rr);
  }
  std::uint64_t longest = 0;
  for (std::size_t h = 0; h < strategy::value_count(c.family, pos.hold); ++h) {
    level.idx[pos.hold] = static_cast<std::uint8_t>(h);
    longest = std::max(longest, strategy::param_uint(level, pos.hold));
  }
  t.reach = std::min<std::uint64_t>(longest, TouchTable::kNoTouch - 1);
  const std::size_t E = std::min(end, v.close.size());
  t.first = std::max<std::size_t>(start, 2);
  t.rows = E > t.first ? E - t.first : 0;
  t.offsets.assign(t.rows * 2 * t.stops * t.rrs, TouchTable::kNoTouch);
  const std::size_t pairs = t.stops * t.rrs;
  const bool by_pair = lanes_supported() && t.stops <= kLaneStops && pairs <= kMaxLanes &&
                       t.rows * 2 * pairs <= kMaxLaneEntries;
  if (by_pair) {
    const std::size_t n = t.rows * 2 * pairs + kMaxLanes;
    t.pair_offsets.assign(n, TouchTable::kNoTouch);
    t.pair_r.assign(n, 0.0);
    t.pair_move_value.assign(n, 0.0);
    t.stop_reciprocal.assign(t.rows * kLaneStops, 0.0);
    t.stop_commission_r.assign(t.rows * kLaneStops, 0.0);
  }
  const ScanExits scan = scan_exits(v, in);
  // Of a position's two levels the first touched ends it, so each is searched on its own
  // and the earlier kept: the stop once per stop level, and the targets, which come from
  // easy to hard as rr grows, each from where the previous one touched (no bar before that
  // reached the easier level) and never past the stop's touch. A level that is not provably
  // as hard as the previous one (a NaN never is) is searched from the entry bar. NaN stands
  // for the level not searched: no bar reaches it.
  const auto fill_row = [&](auto dir, std::size_t i, std::size_t e, std::size_t last,
                            double atr) {
    constexpr int D = decltype(dir)::value;
    const auto search = [&](double stop, double target, std::size_t from, std::size_t to) {
      return FirstTouch<D>{scan.low, scan.high, scan.block_low, scan.block_high, scan.bars,
                           stop, target}
          .find(from, to);
    };
    const BarPrices prices = prices_of(v);
    for (std::size_t a = 0; a < t.stops; ++a) {
      const double stop_dist = atr * stop_atr[a];
      const double stop = levels_of(v.open[e], D, cost, stop_dist, rr[0]).stop;
      const std::size_t stop_x = search(stop, NAN, e, last);
      const std::size_t to = stop_x <= last ? stop_x - 1 : last;
      std::size_t from = e;
      double easier = NAN;
      for (std::size_t b = 0; b < t.rrs; ++b) {
        const Levels at = levels_of(v.open[e], D, cost, stop_dist, rr[b]);
        const double target = at.target;
        if (!(D > 0 ? target >= easier : target <= easier)) from = e;
        easier = target;
        from = search(NAN, target, from, to);
        const std::size_t x = std::min(stop_x, from);
        if (x > last) continue;
        t.offsets[t.column(a, b) + 2 * i + (D < 0)] = static_cast<std::uint8_t>(x - e);
        if (by_pair) {
          const std::size_t j = t.pairs_at(i, D < 0) + b * t.stops + a;
          const double raw = exit_price(prices, e, x, true, D, stop, target).raw;
          const PricedTrade p = price_trade(cost, D, at.entry, raw, stop_dist, 0);
          t.pair_offsets[j] = static_cast<std::uint8_t>(x - e);
          t.pair_r[j] = p.r;
          t.pair_move_value[j] = p.move_value;
        }
      }
    }
  };
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, t.rows), [&](const auto& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      // The bars the simulation would search from signal bar k; it skips the others.
      const std::size_t k = t.first + i, e = k + cost.entry_lag;
      const double atr = v.atr[k];
      if (!can_enter(k, cost.entry_lag, E, atr)) continue;
      const std::size_t last = std::min<std::size_t>(e + t.reach, E - 1);
      for (std::size_t a = 0; by_pair && a < t.stops; ++a) {
        const double per_contract = atr * stop_atr[a] * cost.point_value;
        t.stop_reciprocal[i * kLaneStops + a] = 1.0 / per_contract;
        t.stop_commission_r[i * kLaneStops + a] = cost.round_turn_commission / per_contract;
      }
      fill_row(std::integral_constant<int, 1>{}, i, e, last, atr);
      fill_row(std::integral_constant<int, -1>{}, i, e, last, atr);
    }
  });
  return t;
}

void add_touch_tables(TouchTables& tables, std::span<const strategy::Candidate> keys,
                      const strategy::EvalInputs& in, const core::Market& market,
                      const core::Exec& exec, std::size_t start, std::size_t end) {
  const CostModel cost = derive_costs(market, exec);
  std::array<bool, strategy::kFamilies> wanted{};
  for (const strategy::Candidate& c : keys) wanted[c.family] = true;
  for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
    if (!wanted[f]) tables.family[f].reset();
  }
  for (const strategy::Candidate& c : keys) {
    std::optional<TouchTable>& t = tables.family[c.family];
    if (!t || !answers(*t, c.family, start, end, cost)) {
      t = build_touch_table(c, in, market, exec, start, end);
    }
  }
}

void run_fast_shared(std::span<const strategy::Candidate> keys,
                     std::span<const std::uint32_t> members, const strategy::EvalInputs& in,
                     const core::Market& market, const core::Exec& exec, std::size_t start,
                     std::size_t end, std::span<SegmentSummary> out, SignalScratch& scratch,
                     const TouchTables* touches) {
  if (members.empty()) return;
  if (std::min(end, in.bars.size()) > UINT32_MAX) {  // bar numbers beyond the list's 32 bits
    for (const std::uint32_t i : members) run_fast(keys[i], in, market, exec, start, end, out[i]);
    return;
  }
  const strategy::Candidate& first = keys[members[0]];
  const StrategyView v = strategy::resolve(first, in);
  const std::size_t E = std::min(end, v.close.size());
  const ScanExits scan = scan_exits(v, in);
  const TouchTable* table = nullptr;
  if (touches != nullptr) {
    const std::optional<TouchTable>& t = touches->family[first.family];
    if (t && answers(*t, first.family, start, end, derive_costs(market, exec))) table = &*t;
  }
  const std::span<const Signal> list =
      list_signals(first, v, derive_costs(market, exec).entry_lag, start, E, scratch.list);
  strategy::rules::with_family(first.family, [&](auto f) {
    constexpr int F = decltype(f)::value;
    // The members by rr and stop levels, each pair's holds ascending: a pair's variants
    // run as one, led by the longest hold.
    std::vector<ExitVariant>& variants = scratch.variants;
    sorted_exits(keys, members, variants);
    if (table != nullptr &&
        walk_in_lanes<F>(v, list, *table, keys, variants, in, market, exec, start, end,
                         out)) {
      return;
    }
    if (table != nullptr && walk_in_blocks<F>(v, list, *table, keys, variants, in, market,
                                              exec, start, end, out)) {
      return;
    }
    const auto walk_members = [&](auto prefetch) {
      constexpr bool P = decltype(prefetch)::value;
      for (std::size_t a = 0, z = 0; a < variants.size(); a = z) {
        z = a + 1;
        while (z < variants.size() && variants[z].stop_level == variants[a].stop_level &&
               variants[z].rr_level == variants[a].rr_level) {
          ++z;
        }
        const std::span<const ExitVariant> pair = std::span(variants).subspan(a, z - a);
        const Setup s = make_setup(keys[pair.back().key], market, exec);
        const ListWalk<P> signals{list, &v, s.cost.entry_lag};
        if (table != nullptr && s.hold <= table->reach) {
          const TableExits exits = table_exits(*table, s);
          simulate_holds<F>(v, signals, exits, in, s, start, end, pair, out);
        } else {
          simulate_holds<F>(v, signals, scan, in, s, start, end, pair, out);
        }
      }
    };
    // A large group's first walk brings the bars into the caches for the others.
    if (long_range(start, E) && members.size() < kShareFrom) {
      walk_members(std::true_type{});
    } else {
      walk_members(std::false_type{});
    }
  });
}

namespace {

// A key's entry stream as two words, family and idx bytes most significant first, so that
// comparing the words orders streams by family, then by idx, as comparing keys would. The
// idx bytes are read as words and the exit dimensions masked out: a copy with those bytes
// zeroed, read back as words, would stall on every key.
struct StreamCode {
  std::uint64_t high = 0;  // family, idx[0..6]
  std::uint64_t low = 0;   // idx[7..11], then zeros
  friend bool operator==(const StreamCode&, const StreamCode&) = default;
  friend auto operator<=>(const StreamCode&, const StreamCode&) = default;
};
static_assert(strategy::kMaxDims == 12 && std::endian::native == std::endian::little);

struct StreamMask {
  std::uint64_t first = 0;  // idx[0..7] as read from memory
  std::uint32_t last = 0;   // idx[8..11]
};

const StreamMask& stream_mask(std::uint8_t family) {
  static const auto masks = [] {
    std::array<StreamMask, strategy::kFamilies> m{};
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      const ExitPositions& pos = exit_positions(f);
      std::array<std::uint8_t, strategy::kMaxDims> bytes;
      bytes.fill(0xff);
      for (const std::size_t dim : {pos.stop_atr, pos.rr, pos.hold}) bytes[dim] = 0;
      std::memcpy(&m[f].first, bytes.data(), 8);
      std::memcpy(&m[f].last, bytes.data() + 8, 4);
    }
    return m;
  }();
  return masks[family];
}

StreamCode stream_code(const strategy::Candidate& key) {
  const StreamMask& mask = stream_mask(key.family);
  std::uint64_t first = 0;
  std::uint32_t last = 0;
  std::memcpy(&first, key.idx.data(), 8);
  std::memcpy(&last, key.idx.data() + 8, 4);
  // Big-endian: idx[0] in the top byte.
  const std::uint64_t head = __builtin_bswap64(first & mask.first);
  const std::uint64_t tail = __builtin_bswap32(last & mask.last);
  return {std::uint64_t{key.family} << 56 | head >> 8, head << 56 | tail << 24};
}

}  // namespace

StreamGroups group_by_stream(std::span<const strategy::Candidate> keys) {
  std::vector<StreamCode> streams(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) streams[i] = stream_code(keys[i]);
  StreamGroups g;
  g.order.resize(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) g.order[i] = static_cast<std::uint32_t>(i);
  auto less = [&](std::uint32_t a, std::uint32_t b) {
    if (streams[a] != streams[b]) return streams[a] < streams[b];
    return a < b;
  };
  // A batch that arrives in stream order (the exhaustive lattice's) keeps it.
  if (!std::is_sorted(g.order.begin(), g.order.end(), less)) {
    std::sort(g.order.begin(), g.order.end(), less);
  }
  for (std::size_t i = 0; i < g.order.size(); ++i) {
    if (i == 0 || streams[g.order[i]] != streams[g.order[i - 1]]) {
      g.bounds.push_back(static_cast<std::uint32_t>(i));
    }
  }
  g.bounds.push_back(static_cast<std::uint32_t>(g.order.size()));
  return g;
}

namespace {

// Entry streams repeat within a batch: parameter values that decide alike give different
// streams the same signal list, and a variant's summary depends on its stream only through
// that list. A list is made from the stream's flag words over the range alone (the bars,
// their ATR, the range and the entry lag are the batch's), so a stream whose flag words and
// exit variants equal those of an earlier stream of the batch copies its summaries instead
// of running them. Comparing words rather than lists spares listing a stream to find out.

bool same_exits(std::span<const ExitVariant> a, std::span<const ExitVariant> b) {
  return std::equal(
      a.begin(), a.end(), b.begin(), b.end(), [](const ExitVariant& x, const ExitVariant& y) {
        return x.stop_level == y.stop_level && x.rr_level == y.rr_level && x.hold == y.hold;
      });
}

// A group's family, flag words and exits folded into one word, so that groups that may
// repeat each other meet in a sort; equal fingerprints are then checked in full, so it
// needs to be cheap rather than strong. Each word's term is independent of the others.
std::uint64_t fingerprint(std::uint8_t family, std::span<const std::uint64_t> words,
                          std::span<const ExitVariant> exits) {
  std::uint64_t flags = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::uint64_t x = words[i] ^ (i * core::SplitMix64::kGolden);
    flags += (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ULL;
  }
  std::uint64_t levels = 0;
  for (const ExitVariant& x : exits) {
    levels =
        levels * 0x100000001B3ULL + (x.hold << 16 | std::uint64_t{x.stop_level} << 8 | x.rr_level);
  }
  return core::SplitMix64(flags ^ std::rotl(levels, 42) ^
                          (std::uint64_t{family} << 56 | words.size()))
      .next();
}

// A batch's keys by entry stream, with what a stream's list is made from.
struct Batch {
  std::span<const strategy::Candidate> keys;
  StreamGroups groups;
  const strategy::EvalInputs& in;
  std::size_t start, E;  // E: the end of the range within the bars

  std::size_t count() const { return groups.bounds.size() - 1; }
  std::span<const std::uint32_t> members(std::size_t g) const {
    return {groups.order.data() + groups.bounds[g], groups.bounds[g + 1] - groups.bounds[g]};
  }
  std::uint8_t family(std::size_t g) const { return keys[members(g)[0]].family; }
  // Groups of a few variants are not worth comparing, and bar numbers beyond the list's 32
  // bits cannot be listed.
  bool may_repeat(std::size_t g) const {
    return members(g).size() >= kShareFrom && E <= UINT32_MAX;
  }
  // Group g's flag words over the range, longs then shorts of each word.
  void words(std::size_t g, std::vector<std::uint64_t>& out) const {
    const strategy::Candidate& c = keys[members(g)[0]];
    out.clear();
    for_each_flag_word(c, strategy::resolve(c, in), start, E,
                       [&](std::size_t, std::uint64_t longs, std::uint64_t shorts) {
                         out.push_back(longs);
                         out.push_back(shorts);
                       });
  }
};

// For each group, the group whose summaries it may copy: the first group of the batch with
// the same fingerprint, or itself.
std::vector<std::uint32_t> leaders(const Batch& b) {
  std::vector<std::uint64_t> prints(b.count(), 0);
  tbb::enumerable_thread_specific<std::pair<std::vector<std::uint64_t>, std::vector<ExitVariant>>>
      scratch;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, b.count()), [&](const auto& r) {
    auto& [words, exits] = scratch.local();
    for (std::size_t g = r.begin(); g != r.end(); ++g) {
      if (!b.may_repeat(g)) continue;
      b.words(g, words);
      sorted_exits(b.keys, b.members(g), exits);
      prints[g] = fingerprint(b.family(g), words, exits);
    }
  });
  std::vector<std::uint32_t> by_print;
  for (std::uint32_t g = 0; g < b.count(); ++g) {
    if (b.may_repeat(g)) by_print.push_back(g);
  }
  std::sort(by_print.begin(), by_print.end(), [&](std::uint32_t x, std::uint32_t y) {
    return std::tie(prints[x], x) < std::tie(prints[y], y);
  });
  std::vector<std::uint32_t> leader(b.count());
  for (std::uint32_t g = 0; g < b.count(); ++g) leader[g] = g;
  for (std::size_t i = 1; i < by_print.size(); ++i) {
    if (prints[by_print[i]] == prints[by_print[i - 1]]) {
      leader[by_print[i]] = leader[by_print[i - 1]];
    }
  }
  return leader;
}

// What a worker reuses while it compares two groups.
struct RepeatScratch {
  std::vector<std::uint64_t> words, other;
  std::vector<ExitVariant> exits, other_exits;
};

// Whether group g repeats group lead (the same family, exits and flag words), in which case
// each of its members gets the summary of the lead's member with the same exit.
bool copy_if_repeat(const Batch& b, std::size_t lead, std::size_t g, std::span<SegmentSummary> out,
                    RepeatScratch& mine) {
  if (b.family(lead) != b.family(g)) return false;
  sorted_exits(b.keys, b.members(lead), mine.exits);
  sorted_exits(b.keys, b.members(g), mine.other_exits);
  if (!same_exits(mine.exits, mine.other_exits)) return false;
  b.words(lead, mine.words);
  b.words(g, mine.other);
  if (mine.words != mine.other) return false;
  for (std::size_t j = 0; j < mine.exits.size(); ++j) {
    out[mine.other_exits[j].key] = out[mine.exits[j].key];
  }
  return true;
}

}  // namespace

void run_fast_batch(std::span<const strategy::Candidate> keys, const strategy::EvalInputs& in,
                    const core::Market& market, const core::Exec& exec, std::size_t start,
                    std::size_t end, std::span<SegmentSummary> out,
                    const TouchTables* touches) {
  const Batch b{keys, group_by_stream(keys), in, start, std::min(end, in.bars.size())};
  const std::size_t share_from = long_range(start, b.E) ? 1 : kShareFrom;
  tbb::enumerable_thread_specific<SignalScratch> scratch;
  const auto run_group = [&](std::size_t g) {
    const std::span<const std::uint32_t> members = b.members(g);
    if (members.size() >= share_from) {
      run_fast_shared(keys, members, in, market, exec, start, end, out, scratch.local(), touches);
    } else {
      for (const std::uint32_t i : members) run_fast(keys[i], in, market, exec, start, end, out[i]);
    }
  };
  // The leaders run; then every other group copies its leader's summaries, or runs when it
  // turns out not to repeat it (fingerprints that merely collide).
  const std::vector<std::uint32_t> leader = leaders(b);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, b.count()), [&](const auto& r) {
    for (std::size_t g = r.begin(); g != r.end(); ++g) {
      if (leader[g] == g) run_group(g);
    }
  });
  tbb::enumerable_thread_specific<RepeatScratch> repeat_scratch;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, b.count()), [&](const auto& r) {
    for (std::size_t g = r.begin(); g != r.end(); ++g) {
      if (leader[g] != g && !copy_if_repeat(b, leader[g], g, out, repeat_scratch.local())) {
        run_group(g);
      }
    }
  });
}

std::string_view reason_text(ExitReason reason) {
  switch (reason) {
    case ExitReason::stop:
      return "stop";
    case ExitReason::target:
      return "target";
    case ExitReason::time:
      return "time";
    case ExitReason::end_of_data:
      break;
  }
  return "end_of_data";
}

BacktestRun run_full(const strategy::Candidate& c, const strategy::EvalInputs& in,
                     const core::Market& market, const core::Exec& exec, std::size_t start,
                     std::size_t end) {
  BacktestRun run;
  run.equity.push_back(exec.equity0);
  // At most one point per bar of the range: reserved, so that a long run does not hold a
  // curve and its doubled copy while it grows.
  const std::size_t points = end > start ? end - start : 0;
  for (auto* curve : {&run.worst_curve, &run.close_curve, &run.best_curve}) curve->reserve(points);
  SummaryBuilder sb;
  dispatch<Detail::full>(c, in, market, exec, start, end, sb, &run, nullptr);
  run.summary = sb.summary;
  return run;
}

void run_fast(const strategy::Candidate& c, const strategy::EvalInputs& in,
              const core::Market& market, const core::Exec& exec, std::size_t start,
              std::size_t end, SegmentSummary& out) {
  SummaryBuilder sb;
  dispatch<Detail::summary>(c, in, market, exec, start, end, sb, nullptr, nullptr);
  out = sb.summary;
}

void run_results(const strategy::Candidate& c, const strategy::EvalInputs& in,
                 const core::Market& market, const core::Exec& exec, std::size_t start,
                 std::size_t end, SegmentSummary& out, std::vector<TradeResult>& results) {
  results.clear();
  SummaryBuilder sb;
  dispatch<Detail::results>(c, in, market, exec, start, end, sb, nullptr, &results);
  out = sb.summary;
}

Metrics metrics_from_run(const BacktestRun& run, double equity0) {
  return metrics_from_run(run.summary, run, equity0);
}

Metrics metrics_from_run(const SegmentSummary& summary, const BacktestRun& run, double equity0) {
  Metrics m = metrics_from_summary(summary);
  m.net_pnl = run.trades.empty() ? 0.0 : run.equity.back() - equity0;
  double peak = equity0, worst = 0.0;
  for (const EquityPoint& p : run.worst_curve) {
    peak = std::max(peak, p.equity);
    worst = std::max(worst, (peak - p.equity) / peak);
  }
  m.max_drawdown_pct = worst * 100.0;
  double costs = 0.0;
  for (const Trade& t : run.trades) costs += t.costs;
  m.total_costs = costs;
  return m;
}

core::Json to_json(const Trade& t) {
  core::Json j = core::Json::object();
  j["entry_bar"] = t.entry_bar;
  j["exit_bar"] = t.exit_bar;
  j["entry_ts"] = t.entry_ts;
  j["exit_ts"] = t.exit_ts;
  j["side"] = static_cast<int>(t.side);
  j["entry"] = core::number_or_null(t.entry);
  j["exit"] = core::number_or_null(t.exit);
  j["stop"] = core::number_or_null(t.stop);
  j["target"] = core::number_or_null(t.target);
  j["contracts"] = t.contracts;
  j["r"] = core::number_or_null(t.r);
  j["pnl"] = core::number_or_null(t.pnl);
  j["costs"] = core::number_or_null(t.costs);
  j["reason"] = reason_text(t.reason);
  j["regime_trend"] = t.regime_trend;
  j["regime_vol"] = t.regime_vol;
  return j;
}

}  // namespace varnek::bt
