#include "bt/simulate.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

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
};

Setup make_setup(const strategy::Candidate& c, const core::Market& market, const core::Exec& exec) {
  // Positions of stop_atr, rr and hold in each family, looked up once per process.
  struct Positions {
    std::size_t stop_atr, rr, hold;
  };
  static const auto positions = [] {
    std::array<Positions, strategy::kFamilies> p{};
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      p[f] = {strategy::param_position(f, "stop_atr"), strategy::param_position(f, "rr"),
              strategy::param_position(f, "hold")};
    }
    return p;
  }();
  const Positions& pos = positions[c.family];
  Setup s;
  s.cost = derive_costs(market, exec);
  s.stop_atr = strategy::param_value(c, pos.stop_atr);
  s.rr = strategy::param_value(c, pos.rr);
  s.hold = strategy::param_uint(c, pos.hold);
  return s;
}

// Where a flat stretch ends, read from the candidate's own tables: the next bar at or after
// `from` whose decision is a signal, with its direction in d; end when none. Family 0's
// decision is the AND of its trend, channel and pullback tables with the gate; the other
// families' that of their one table with the gate.
template <int F>
struct TableScan {
  static constexpr std::size_t kRows = F == 0 ? 4 : 2;
  strategy::FlagCursor<kRows> cursor;
  explicit TableScan(const StrategyView& v)
      : cursor(rows(v), (v.side_mask & strategy::kShortOk) != 0) {}
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
};

// The same answers from an entry stream's signal list, built once by a TableScan over the
// range and shared by every exit variant of the stream. Requests come in increasing order
// within a run, so the cursor only moves forward.
struct ListWalk {
  std::span<const Signal> list;
  std::size_t at = 0;
  [[gnu::always_inline]] std::size_t next(std::size_t from, std::size_t end, int& d) {
    while (at < list.size() && list[at].bar < from) ++at;
    if (at == list.size()) return end;
    d = list[at].side;
    return list[at].bar;
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

// What a run records beside its summary.
enum class Detail : std::uint8_t {
  summary,  // nothing: the fast run
  results,  // each trade's entry bar and result
  full,     // the curves, the equity list and the trade log
};

// One loop for every variant. Flat stretches jump from signal to signal and count their
// bars at once; a position runs to its first stop or target touch or to its last bar
// (holding time or end of range).
template <int F, Detail D, class Signals>
void simulate(const StrategyView& v, Signals signals, const strategy::EvalInputs& in,
              const Setup& s, std::size_t start, std::size_t end, SummaryBuilder& out,
              BacktestRun* run, std::vector<TradeResult>* results) {
  constexpr bool Full = D == Detail::full;
  const std::size_t E = std::min(end, v.close.size());
  // Locals, so that the opaque sizing and pricing calls do not force reloads.
  const CostModel cost = s.cost;
  const double stop_atr = s.stop_atr, rr = s.rr;
  const std::uint64_t hold = s.hold;
  const double* const low = v.low.data();
  const double* const high = v.high.data();
  const double* const open = v.open.data();
  const double* const close = v.close.data();
  const double* const atrs = v.atr.data();
  const double* const block_low = in.tables.block_low.data();
  const double* const block_high = in.tables.block_high.data();
  const std::size_t n = v.close.size();
  SummaryBuilder sb = out;
  double equity = cost.equity0;
  double skip_atr = HUGE_VAL;  // the smallest ATR known to give a size skip at this equity
  std::size_t bars = 0;
  std::size_t b = std::max<std::size_t>(start, 1);
  while (b < E) {
    // Flat from bar b: bars b .. k are stepped, the decision fires at k (k >= 2).
    int d = 0;
    const std::size_t k = signals.next(std::max<std::size_t>(b, 2), E, d);
    const std::size_t last_flat = std::min(k, E - 1);
    if constexpr (Full) {
      for (std::size_t i = b; i <= last_flat; ++i) {
        const EquityPoint p{v.ts[i], equity};
        run->worst_curve.push_back(p);
        run->close_curve.push_back(p);
        run->best_curve.push_back(p);
      }
    }
    bars += last_flat - b + 1;
    if (k >= E) break;
    const std::size_t e = k + cost.entry_lag;
    const double atr = atrs[k];
    if (e >= E || !(atr > 0.0) || !std::isfinite(atr)) {
      b = k + 1;
      continue;
    }
    // Under one contract: a size skip. While the equity stays, a signal whose ATR is at
    // least that of a skip seen since is skipped too (the size only falls as the ATR grows),
    // so a run of skips costs no division.
    if (atr >= skip_atr) {
      sb.summary.size_skips += 1;
      b = k + 1;
      continue;
    }
    const double stop_dist = atr * stop_atr;
    const std::uint32_t contracts = size_position(cost, equity, stop_dist);
    if (contracts == 0) {
      if (below_one_contract(cost, equity, stop_dist)) skip_atr = atr;
      sb.summary.size_skips += 1;
      b = k + 1;
      continue;
    }
    const double entry = open[e] + d * cost.fill_offset;
    const double stop = entry - d * stop_dist;
    const double target = entry + d * rr * stop_dist;
    // In position from bar e (the bars between the signal and the entry are not stepped)
    // to `last` at the latest: the holding time or the end of the range.
    const std::size_t last = hold < E - 1 - e ? e + hold : E - 1;
    std::size_t x =
        d > 0 ? FirstTouch<1>{low, high, block_low, block_high, n, stop, target}.find(e, last)
              : FirstTouch<-1>{low, high, block_low, block_high, n, stop, target}.find(e, last);
    ExitReason reason = ExitReason::end_of_data;
    double raw = 0.0;
    if (x <= last) {
      // Stop first, then target; a gap through a level fills at the open, except on the
      // entry bar, where the level itself is used.
      const double op = open[x];
      if (d > 0) {
        if (low[x] <= stop) {
          reason = ExitReason::stop;
          raw = x == e ? stop : std::min(op, stop);
        } else {
          reason = ExitReason::target;
          raw = x == e ? target : std::max(op, target);
        }
      } else {
        if (high[x] >= stop) {
          reason = ExitReason::stop;
          raw = x == e ? stop : std::max(op, stop);
        } else {
          reason = ExitReason::target;
          raw = x == e ? target : std::min(op, target);
        }
      }
    } else {
      x = last;
      reason = x + 1 == E ? ExitReason::end_of_data : ExitReason::time;
      raw = close[x];
    }
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
    skip_atr = HUGE_VAL;  // a new equity: no skip known yet
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
    // Bars e .. x were stepped in position; the exit bar is stepped again as flat (its
    // curve point and decision come next), so it is counted there.
    bars += x - e;
    b = x;
  }
  sb.summary.bars = static_cast<std::uint32_t>(bars);
  out = sb;
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
    simulate<F, D>(v, TableScan<F>(v), in, s, start, end, sb, run, results);
  });
}

// Groups of at least this many candidates walk a shared signal list; smaller ones scan
// their tables directly, which costs less than listing the stream first.
constexpr std::size_t kShareFrom = 4;

}  // namespace

strategy::Candidate entry_stream(const strategy::Candidate& c) {
  static const auto exits = [] {
    std::array<std::array<std::size_t, 3>, strategy::kFamilies> p{};
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      p[f] = {strategy::param_position(f, "stop_atr"), strategy::param_position(f, "rr"),
              strategy::param_position(f, "hold")};
    }
    return p;
  }();
  strategy::Candidate s = c;
  for (const std::size_t dim : exits[c.family]) s.idx[dim] = 0;
  return s;
}

void run_fast_shared(std::span<const strategy::Candidate> keys,
                     std::span<const std::uint32_t> members, const strategy::EvalInputs& in,
                     const core::Market& market, const core::Exec& exec, std::size_t start,
                     std::size_t end, std::span<SegmentSummary> out, SignalScratch& scratch) {
  if (members.empty()) return;
  if (std::min(end, in.bars.size()) > UINT32_MAX) {  // bar numbers beyond the list's 32 bits
    for (const std::uint32_t i : members) run_fast(keys[i], in, market, exec, start, end, out[i]);
    return;
  }
  const strategy::Candidate& first = keys[members[0]];
  const StrategyView v = strategy::resolve(first, in);
  const std::size_t E = std::min(end, v.close.size());
  strategy::rules::with_family(first.family, [&](auto f) {
    constexpr int F = decltype(f)::value;
    // The stream's signals over the range, as the simulation would meet them.
    scratch.list.clear();
    TableScan<F> scan(v);
    int d = 0;
    for (std::size_t k = scan.next(std::max<std::size_t>(start, 2), E, d); k < E;
         k = scan.next(k + 1, E, d)) {
      scratch.list.push_back({static_cast<std::uint32_t>(k), d});
    }
    for (const std::uint32_t i : members) {
      SummaryBuilder sb;
      const Setup s = make_setup(keys[i], market, exec);
      simulate<F, Detail::summary>(v, ListWalk{scratch.list}, in, s, start, end, sb, nullptr,
                                   nullptr);
      out[i] = sb.summary;
    }
  });
}

StreamGroups group_by_stream(std::span<const strategy::Candidate> keys) {
  std::vector<strategy::Candidate> streams(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) streams[i] = entry_stream(keys[i]);
  StreamGroups g;
  g.order.resize(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) g.order[i] = static_cast<std::uint32_t>(i);
  auto less = [&](std::uint32_t a, std::uint32_t b) {
    if (streams[a].family != streams[b].family) return streams[a].family < streams[b].family;
    if (streams[a].idx != streams[b].idx) return streams[a].idx < streams[b].idx;
    return a < b;
  };
  std::sort(g.order.begin(), g.order.end(), less);
  for (std::size_t i = 0; i < g.order.size(); ++i) {
    if (i == 0 || streams[g.order[i]] != streams[g.order[i - 1]]) {
      g.bounds.push_back(static_cast<std::uint32_t>(i));
    }
  }
  g.bounds.push_back(static_cast<std::uint32_t>(g.order.size()));
  return g;
}

void run_fast_batch(std::span<const strategy::Candidate> keys, const strategy::EvalInputs& in,
                    const core::Market& market, const core::Exec& exec, std::size_t start,
                    std::size_t end, std::span<SegmentSummary> out) {
  const StreamGroups groups = group_by_stream(keys);
  tbb::enumerable_thread_specific<SignalScratch> scratch;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, groups.bounds.size() - 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      SignalScratch& mine = scratch.local();
                      for (std::size_t g = r.begin(); g != r.end(); ++g) {
                        const std::span<const std::uint32_t> members(
                            groups.order.data() + groups.bounds[g],
                            groups.bounds[g + 1] - groups.bounds[g]);
                        if (members.size() >= kShareFrom) {
                          run_fast_shared(keys, members, in, market, exec, start, end, out, mine);
                        } else {
                          for (const std::uint32_t i : members) {
                            run_fast(keys[i], in, market, exec, start, end, out[i]);
                          }
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
