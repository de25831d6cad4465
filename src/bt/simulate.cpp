#include "bt/simulate.hpp"

#include <algorithm>
#include <array>
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

// The first bar k in [from, end) whose table bytes give a decision, which goes to d; end
// when none.
template <int F>
[[gnu::always_inline]] inline std::size_t next_signal(const StrategyView& v, std::size_t from,
                                                      std::size_t end, int& d) {
  std::size_t k = end;
  if constexpr (F == 0) {
    const std::array<const std::uint8_t*, 4> rows{v.signal.data(), v.gate.data(), v.channel.data(),
                                                  v.pullback.data()};
    k = strategy::next_flagged(rows, v.side_mask, from, end);
  } else {
    const std::array<const std::uint8_t*, 2> rows{v.signal.data(), v.gate.data()};
    k = strategy::next_flagged(rows, v.side_mask, from, end);
  }
  if (k < end) d = strategy::rules::decide_at<F>(v, k);
  return k;
}

// What a run records beside its summary.
enum class Detail : std::uint8_t {
  summary,  // nothing: the fast run
  results,  // each trade's entry bar and result
  full,     // the curves, the equity list and the trade log
};

// One loop for every variant. Flat stretches jump from signal to signal and count their
// bars at once; a position runs to its first stop or target touch or to its last bar
// (holding time or end of range).
template <int F, Detail D>
void simulate(const StrategyView& v, const strategy::EvalInputs& in, const Setup& s,
              std::size_t start, std::size_t end, SummaryBuilder& out, BacktestRun* run,
              std::vector<TradeResult>* results) {
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
  SummaryBuilder sb = out;
  double equity = cost.equity0;
  std::size_t bars = 0;
  std::size_t b = std::max<std::size_t>(start, 1);
  while (b < E) {
    // Flat from bar b: bars b .. k are stepped, the decision fires at k (k >= 2).
    int d = 0;
    const std::size_t k = next_signal<F>(v, std::max<std::size_t>(b, 2), E, d);
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
    const double stop_dist = atr * stop_atr;
    const std::uint32_t contracts = size_position(cost, equity, stop_dist);
    if (contracts == 0) {
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
    std::size_t x = e;
    if (d > 0) {
      while (x <= last && !(low[x] <= stop || high[x] >= target)) ++x;
    } else {
      while (x <= last && !(high[x] >= stop || low[x] <= target)) ++x;
    }
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
    simulate<decltype(f)::value, D>(v, in, s, start, end, sb, run, results);
  });
}

}  // namespace

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
