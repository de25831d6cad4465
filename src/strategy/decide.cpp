#include "strategy/decide.hpp"

#include <tbb/blocked_range.h>
#include <fmt/format.h>
#include <tbb/parallel_reduce.h>

#include "core/fatal.hpp"
#include "strategy/decide_rules.hpp"

namespace varnek::strategy {
namespace {

using htf::kPivots;

std::size_t pivot_slot(std::uint32_t pivot) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (kPivots[i] == pivot) return i;
  }
  core::fatal(fmt::format("SMC pivot {} not precomputed", pivot));
}

// Seconds since UTC midnight of the bar's opening time, in 0..86399 for any timestamp.
std::int64_t time_of_day(std::int64_t ts) {
  const std::int64_t r = ts % 86400;
  return r < 0 ? r + 86400 : r;
}

std::uint8_t session_bits(std::int64_t ts) {
  const std::int64_t s = time_of_day(ts);
  std::uint8_t bits = 1;  // session 0: any time
  if (s < 25200) bits |= 2;
  if (s >= 25200 && s < 43200) bits |= 4;
  if (s >= 46800 && s < 72000) bits |= 8;
  return bits;
}

// Sides a trend filter admits at bar k: the mapped context bar's trend must be bullish
// for a long and bearish for a short (`neutral` mode: neutral admits both).
std::uint8_t trend_sides(const htf::HtfContext* view, std::size_t k, bool neutral) {
  if (view == nullptr) return 0;
  const std::int32_t m = view->map[k];
  if (m < 0) return 0;
  const std::uint8_t trend = view->context[static_cast<std::size_t>(m)].trend;
  if (neutral) return trend == 0 ? (kLongOk | kShortOk) : 0;
  if (trend == 1) return kLongOk;
  if (trend == 2) return kShortOk;
  return 0;
}

const htf::HtfContext* four_hour_view(const htf::FeatureSet& fs) {
  if (fs.h4) return &*fs.h4;
  if (fs.d1) return &*fs.d1;
  return nullptr;
}

const htf::HtfContext* daily_view(const htf::FeatureSet& fs) {
  return fs.d1 ? &*fs.d1 : four_hour_view(fs);
}

}  // namespace

DecisionTables build_decision_tables(const data::BarSeries& bars, const htf::FeatureSet& fs) {
  const std::size_t n = bars.size();
  DecisionTables t;
  const htf::HtfContext* h4 = four_hour_view(fs);
  const htf::HtfContext* d1 = daily_view(fs);
  for (auto& g : t.gate) g.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t sessions = session_bits(bars.ts[k]);
    const std::uint8_t sides[4] = {kLongOk | kShortOk, trend_sides(h4, k, false),
                                   trend_sides(d1, k, false), trend_sides(h4, k, true)};
    for (std::size_t f = 0; f < 4; ++f) {
      for (std::size_t s = 0; s < 4; ++s) {
        t.gate[f * 4 + s][k] = ((sessions >> s) & 1) ? sides[f] : 0;
      }
    }
  }
  for (std::size_t p = 0; p < 3; ++p) {
    const htf::BreakFlags& flags = htf::break_flags(fs, kPivots[p]);
    auto& bull = t.prev_bull[p];
    auto& bear = t.prev_bear[p];
    bull.assign(n, -1);
    bear.assign(n, -1);
    for (std::size_t k = 1; k < n; ++k) {
      bull[k] = flags.bull[k - 1] ? static_cast<std::int32_t>(k - 1) : bull[k - 1];
      bear[k] = flags.bear[k - 1] ? static_cast<std::int32_t>(k - 1) : bear[k - 1];
    }
  }
  return t;
}

StrategyView resolve(const Candidate& c, const EvalInputs& in) {
  const data::BarSeries& bars = in.bars;
  const htf::FeatureSet& fs = in.features;
  StrategyView v;
  v.family = c.family;
  v.close = bars.close;
  v.open = bars.open;
  v.high = bars.high;
  v.low = bars.low;
  v.ts = bars.ts;
  v.atr = fs.atr;
  v.h4 = four_hour_view(fs);
  v.d1 = fs.d1 ? &*fs.d1 : nullptr;
  auto u = [&](std::size_t dim) { return static_cast<std::uint32_t>(param_uint(c, dim)); };
  auto val = [&](std::size_t dim) { return param_value(c, dim); };
  auto flag = [&](std::size_t dim) { return val(dim) > 0.5; };
  std::size_t session_dim = 0, side_dim = 0;
  switch (c.family) {
    case 0: {
      // Trend EMAs from the four-hour view (the daily one without it), else the base EMAs.
      if (v.h4 != nullptr) {
        v.primary = htf::htf_ema_series(*v.h4, u(0));
        v.secondary = htf::htf_ema_series(*v.h4, u(1));
      } else {
        v.primary = htf::ema_series(fs, u(0));
        v.secondary = htf::ema_series(fs, u(1));
      }
      v.pullback_ema = htf::ema_series(fs, u(2));
      v.level_a = val(3);
      v.window = param_uint(c, 4);
      v.breakout_high = htf::highest_series(fs, u(5));
      v.breakout_low = htf::lowest_series(fs, u(5));
      v.regime_filter = flag(8) ? 2 : 0;
      session_dim = 9;
      side_dim = 11;
      break;
    }
    case 1:
      v.primary = htf::ema_series(fs, u(0));
      v.secondary = htf::ema_series(fs, u(1));
      v.regime_filter = static_cast<std::uint8_t>(param_uint(c, 2));
      session_dim = 5;
      side_dim = 7;
      break;
    case 2:
      v.primary = htf::highest_series(fs, u(0));
      v.secondary = htf::lowest_series(fs, u(0));
      v.regime_filter = static_cast<std::uint8_t>(param_uint(c, 1));
      session_dim = 4;
      side_dim = 6;
      break;
    case 3:
      v.primary = htf::rsi_series(fs, u(0));
      v.level_a = val(1);
      v.level_b = 100.0 - val(1);
      v.regime_filter = flag(2) ? 3 : 0;
      session_dim = 5;
      side_dim = 7;
      break;
    default: {
      const std::uint32_t pivot = u(0);
      const htf::BreakFlags& flags = htf::break_flags(fs, pivot);
      const std::size_t slot = pivot_slot(pivot);
      v.bull_breaks = flags.bull;
      v.bear_breaks = flags.bear;
      v.prev_bull = in.tables.prev_bull[slot];
      v.prev_bear = in.tables.prev_bear[slot];
      v.entry_mode = static_cast<std::uint8_t>(param_uint(c, 1));
      v.level_a = val(2);
      v.window = param_uint(c, 3);
      v.regime_filter = static_cast<std::uint8_t>(param_uint(c, 4));
      session_dim = 7;
      side_dim = 9;
      break;
    }
  }
  v.session = static_cast<std::uint8_t>(param_uint(c, session_dim));
  v.shorts_allowed = flag(side_dim);
  // Categorical dimensions are never jittered, so these index the table's 4 x 4 gates.
  if (v.regime_filter > 3 || v.session > 3) core::fatal("regime filter or session out of range");
  v.gate = in.tables.gate[std::size_t{v.regime_filter} * 4 + v.session];
  return v;
}

int decide(const StrategyView& v, std::size_t k) {
  return rules::with_family(v.family, [&](auto f) { return rules::decide_at<decltype(f)::value>(v, k); });
}

std::uint64_t signal_count(std::span<const Candidate> candidates, const EvalInputs& in) {
  const std::size_t n = in.bars.size();
  if (n < 3) return 0;
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, candidates.size()), std::uint64_t{0},
      [&](const tbb::blocked_range<std::size_t>& r, std::uint64_t sum) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
          const StrategyView v = resolve(candidates[i], in);
          sum += rules::with_family(v.family, [&](auto f) {
            std::uint64_t count = 0;
            for (std::size_t k = 2; k < n; ++k) count += rules::decide_at<decltype(f)::value>(v, k) != 0;
            return count;
          });
        }
        return sum;
      },
      [](std::uint64_t a, std::uint64_t b) { return a + b; });
}

}  // namespace varnek::strategy
