#include "strategy/decide.hpp"

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

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

// The candidate's series and levels, without the gate and the signal tables: what the
// rules read. prev_bull and prev_bear must already be built.
StrategyView rule_view(const Candidate& c, const data::BarSeries& bars, const htf::FeatureSet& fs,
                       const DecisionTables& tables) {
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
  // A set whose series were dropped lends none: the tables answer every rule.
  using Lookup = std::span<const double> (*)(const htf::FeatureSet&, std::uint32_t);
  auto series = [&](Lookup lookup, std::size_t dim) {
    return fs.series_dropped ? std::span<const double>{} : lookup(fs, u(dim));
  };
  auto view_series = [&](const htf::HtfContext& view, std::size_t dim) {
    return fs.series_dropped ? std::span<const double>{} : htf::htf_ema_series(view, u(dim));
  };
  std::size_t session_dim = 0, side_dim = 0;
  switch (c.family) {
    case 0: {
      // Trend EMAs from the four-hour view (the daily one without it), else the base EMAs.
      if (v.h4 != nullptr) {
        v.primary = view_series(*v.h4, 0);
        v.secondary = view_series(*v.h4, 1);
      } else {
        v.primary = series(htf::ema_series, 0);
        v.secondary = series(htf::ema_series, 1);
      }
      v.pullback_ema = series(htf::ema_series, 2);
      v.level_a = val(3);
      v.window = param_uint(c, 4);
      v.breakout_high = series(htf::highest_series, 5);
      v.breakout_low = series(htf::lowest_series, 5);
      v.regime_filter = flag(8) ? 2 : 0;
      session_dim = 9;
      side_dim = 11;
      break;
    }
    case 1:
      v.primary = series(htf::ema_series, 0);
      v.secondary = series(htf::ema_series, 1);
      v.regime_filter = static_cast<std::uint8_t>(param_uint(c, 2));
      session_dim = 5;
      side_dim = 7;
      break;
    case 2:
      v.primary = series(htf::highest_series, 0);
      v.secondary = series(htf::lowest_series, 0);
      v.regime_filter = static_cast<std::uint8_t>(param_uint(c, 1));
      session_dim = 4;
      side_dim = 6;
      break;
    case 3:
      v.primary = series(htf::rsi_series, 0);
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
      v.prev_bull = tables.prev_bull[slot];
      v.prev_bear = tables.prev_bear[slot];
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
  return v;
}

// The parameters that select a signal table.
struct SignalKey {
  SignalKind kind = SignalKind::cross;
  std::uint8_t entry_mode = 0;
  std::uint32_t a = 0, b = 0;
  std::uint64_t window = 0;
  double level = 0.0;
  bool operator==(const SignalKey&) const = default;
};

bool same_key(const SignalTable& t, const SignalKey& k) {
  return SignalKey{t.kind, t.entry_mode, t.a, t.b, t.window, t.level} == k;
}

// An index entry for a combination whose table was not built.
constexpr std::uint16_t kNoTable = 0xFFFF;

// Each kind of table, its family and the dimensions whose values select it.
struct KindDims {
  SignalKind kind;
  std::uint8_t family;
  std::size_t dim_count;
  std::array<std::size_t, 4> dims;
};

constexpr KindDims kKinds[] = {
    {SignalKind::trend, 0, 2, {0, 1}},       {SignalKind::channel, 0, 1, {5}},
    {SignalKind::pullback, 0, 3, {4, 2, 3}}, {SignalKind::cross, 1, 2, {0, 1}},
    {SignalKind::donchian, 2, 1, {0}},       {SignalKind::rsi, 3, 2, {0, 1}},
    {SignalKind::smc, 4, 4, {3, 0, 1, 2}},
};

SignalKey signal_key(SignalKind kind, const Candidate& c) {
  auto u = [&](std::size_t dim) { return static_cast<std::uint32_t>(param_uint(c, dim)); };
  switch (kind) {
    case SignalKind::trend:
      return {kind, 0, u(0), u(1), 0, 0.0};
    case SignalKind::channel:
      return {kind, 0, u(5), 0, 0, 0.0};
    case SignalKind::pullback:
      return {kind, 0, u(2), 0, param_uint(c, 4), param_value(c, 3)};
    case SignalKind::cross:
      return {kind, 0, u(0), u(1), 0, 0.0};
    case SignalKind::donchian:
      return {kind, 0, u(0), 0, 0, 0.0};
    case SignalKind::rsi:
      return {kind, 0, u(0), 0, 0, param_value(c, 1)};
    case SignalKind::smc:
      break;
  }
  // Immediate entries read neither the window nor the gap size, order blocks not the size.
  const auto mode = static_cast<std::uint8_t>(param_uint(c, 1));
  const bool gap = mode != 1 && mode != 2;
  return {kind, mode, u(0), 0, mode == 2 ? 0 : param_uint(c, 3), gap ? param_value(c, 2) : 0.0};
}

SideBits trend_bits(const StrategyView& v) {
  SideBits bits = make_side_bits(v.close.size());
  for (std::size_t k = 2; k < v.close.size(); ++k) {
    if (v.primary[k] > v.secondary[k]) set_sides(bits, k, kLongOk);
    if (v.primary[k] < v.secondary[k]) set_sides(bits, k, kShortOk);
  }
  return bits;
}

SideBits channel_bits(const StrategyView& v) {
  SideBits bits = make_side_bits(v.close.size());
  for (std::size_t k = 2; k < v.close.size(); ++k) {
    if (rules::is_nan(v.breakout_high[k])) continue;
    set_sides(bits, k,
              (v.close[k] > v.breakout_high[k] ? kLongOk : 0u) |
                  (v.close[k] < v.breakout_low[k] ? kShortOk : 0u));
  }
  return bits;
}

// Family 0's pullback for one base EMA and level: per bar k, how many bars back the most
// recent bar j lies whose low came down to (long) or whose high came up to (short)
// pullback_ema[j] -/+ level * atr[k], looking back at most `reach` bars; 0 for none, and
// where that EMA or the ATR is undefined at k.
struct PullbackDistances {
  std::vector<std::uint32_t> up, down;
};

PullbackDistances pullback_distances(const StrategyView& v, std::uint64_t reach) {
  const std::size_t n = v.close.size();
  PullbackDistances p;
  p.up.assign(n, 0);
  p.down.assign(n, 0);
  for (std::size_t k = 2; k < n; ++k) {
    if (rules::is_nan(v.pullback_ema[k]) || rules::is_nan(v.atr[k])) continue;
    const double tol = v.level_a * v.atr[k];
    const std::size_t lo = k - std::min<std::uint64_t>(reach, k);
    for (std::size_t j = k; j-- > lo;) {
      if (v.low[j] <= v.pullback_ema[j] + tol) {
        p.down[k] = static_cast<std::uint32_t>(k - j);
        break;
      }
    }
    for (std::size_t j = k; j-- > lo;) {
      if (v.high[j] >= v.pullback_ema[j] - tol) {
        p.up[k] = static_cast<std::uint32_t>(k - j);
        break;
      }
    }
  }
  return p;
}

// The pullback bits of a window: some bar of k - min(window, k) .. k - 1 qualifies.
SideBits pullback_bits(const PullbackDistances& p, std::uint64_t window) {
  SideBits bits = make_side_bits(p.up.size());
  for (std::size_t k = 2; k < p.up.size(); ++k) {
    const bool long_ok = p.down[k] != 0 && p.down[k] <= window;
    const bool short_ok = p.up[k] != 0 && p.up[k] <= window;
    set_sides(bits, k, (long_ok ? kLongOk : 0u) | (short_ok ? kShortOk : 0u));
  }
  return bits;
}

SideBits rule_bits(StrategyView v) {
  v.shorts_allowed = true;
  SideBits bits = make_side_bits(v.close.size());
  rules::with_family(v.family, [&](auto f) {
    for (std::size_t k = 2; k < v.close.size(); ++k) {
      const int d = rules::family_rule<decltype(f)::value>(v, k);
      set_sides(bits, k, d > 0 ? kLongOk : d < 0 ? kShortOk : 0u);
    }
  });
  return bits;
}

// Family 4's zone entries read max_wait only to drop a break older than it: the bits of a
// window are those computed with the lattice's largest wait, kept where the most recent
// break lies at most `window` bars back.
SideBits within_wait(const SideBits& longest, const StrategyView& v) {
  SideBits bits = make_side_bits(v.close.size());
  const SidesView from = view_of(longest);
  for (std::size_t k = 2; k < v.close.size(); ++k) {
    const std::int32_t j = std::max(v.prev_bull[k], v.prev_bear[k]);
    if (j >= 0 && k - static_cast<std::size_t>(j) <= v.window) set_sides(bits, k, from.at(k));
  }
  return bits;
}

// The largest value of a count dimension in the active lattice.
std::uint64_t largest_uint(std::uint8_t family, std::size_t dim) {
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < value_count(family, dim); ++i) {
    Candidate c;
    c.family = family;
    c.idx[dim] = static_cast<std::uint8_t>(i);
    largest = std::max(largest, param_uint(c, dim));
  }
  return largest;
}

SideBits signal_bits(SignalKind kind, const StrategyView& v) {
  switch (kind) {
    case SignalKind::trend:
      return trend_bits(v);
    case SignalKind::channel:
      return channel_bits(v);
    default:
      return rule_bits(v);
  }
}

// How many value combinations the kind's dimensions have in the active lattice.
std::uint64_t combo_count(const KindDims& layout) {
  std::uint64_t combos = 1;
  for (std::size_t i = 0; i < layout.dim_count; ++i) {
    combos *= value_count(layout.family, layout.dims[i]);
  }
  return combos;
}

// Combination n of the kind's dimensions, the first dimension fastest, the others at
// their first value.
Candidate combo_candidate(const KindDims& layout, std::uint64_t n) {
  Candidate c;
  c.family = layout.family;
  for (std::size_t i = 0; i < layout.dim_count; ++i) {
    const std::size_t count = value_count(layout.family, layout.dims[i]);
    c.idx[layout.dims[i]] = static_cast<std::uint8_t>(n % count);
    n /= count;
  }
  return c;
}

// Appends n to the list unless it holds it already.
void add_length(std::vector<std::uint32_t>& list, std::uint32_t n) {
  if (std::find(list.begin(), list.end(), n) == list.end()) list.push_back(n);
}

// Where family 0 reads its trend EMAs: the trend view's projections, the base closes, or
// either (a caller that does not know which views the series will have).
enum class TrendSource { view, base, both };

// The indicator lengths that resolving `c` reads, and those of its family's first values.
htf::FeatureLengths rule_lengths(const Candidate& c, TrendSource trend) {
  htf::FeatureLengths lengths;
  Candidate first_values;
  first_values.family = c.family;
  const Candidate& first = first_values;
  for (const Candidate* k : {&c, &first}) {
    auto add = [&](std::vector<std::uint32_t>& list, std::size_t dim) {
      add_length(list, static_cast<std::uint32_t>(param_uint(*k, dim)));
    };
    switch (c.family) {
      case 0:  // trend EMAs from a view, or from the base closes without one
        if (trend != TrendSource::base) {
          add(lengths.htf_ema, 0);
          add(lengths.htf_ema, 1);
        }
        if (trend != TrendSource::view) {
          add(lengths.base_ema, 0);
          add(lengths.base_ema, 1);
        }
        add(lengths.base_ema, 2);
        add(lengths.breakout, 5);
        break;
      case 1:
        add(lengths.base_ema, 0);
        add(lengths.base_ema, 1);
        break;
      case 2:
        add(lengths.breakout, 0);
        break;
      case 3:
        add(lengths.rsi, 0);
        break;
      default:  // break flags exist for every pivot
        break;
    }
  }
  return lengths;
}

// The series lengths that the tables of one kind read, over all its combinations.
htf::FeatureLengths kind_lengths(const KindDims& layout, TrendSource trend) {
  htf::FeatureLengths all;
  auto merge = [](std::vector<std::uint32_t>& into, const std::vector<std::uint32_t>& from) {
    for (const std::uint32_t n : from) add_length(into, n);
  };
  for (std::uint64_t n = 0; n < combo_count(layout); ++n) {
    const htf::FeatureLengths one = rule_lengths(combo_candidate(layout, n), trend);
    merge(all.htf_ema, one.htf_ema);
    merge(all.base_ema, one.base_ema);
    merge(all.breakout, one.breakout);
    merge(all.rsi, one.rsi);
  }
  return all;
}

using FreshKeys = std::vector<std::pair<SignalKey, Candidate>>;

// Points every combination of the kind at its table: one already held (another kind's,
// or an earlier combination's), or the next new one. Returns the new keys in that order,
// each with its first combination.
FreshKeys index_kind(DecisionTables& t, const KindDims& layout, const Candidate* only) {
  const std::uint64_t combos = combo_count(layout);
  std::vector<std::uint16_t>& index = t.table_of[static_cast<std::size_t>(layout.kind)];
  index.assign(combos, kNoTable);
  FreshKeys fresh;
  const std::size_t first = t.signals.size();
  for (std::uint64_t n = 0; n < combos; ++n) {
    const Candidate c = combo_candidate(layout, n);
    const SignalKey key = signal_key(layout.kind, c);
    if (only != nullptr &&
        (only->family != layout.family || key != signal_key(layout.kind, *only))) {
      continue;
    }
    const auto known = std::find_if(t.signals.begin(), t.signals.end(),
                                    [&](const SignalTable& s) { return same_key(s, key); });
    if (known != t.signals.end()) {
      index[n] = static_cast<std::uint16_t>(known - t.signals.begin());
      continue;
    }
    const auto pending =
        std::find_if(fresh.begin(), fresh.end(), [&](const auto& f) { return f.first == key; });
    index[n] =
        static_cast<std::uint16_t>(first + static_cast<std::size_t>(pending - fresh.begin()));
    if (pending == fresh.end()) fresh.emplace_back(key, c);
  }
  return fresh;
}

// The tables of the new keys, in their order. Tables that differ only by their window
// share one pass over the bars (pullback distances, zone entries with the largest wait),
// and windows vary fastest: each run of such keys is built by one task, the runs in
// parallel.
std::vector<SignalTable> build_fresh_tables(const data::BarSeries& bars, const htf::FeatureSet& fs,
                                            const DecisionTables& t, const KindDims& layout,
                                            const FreshKeys& fresh) {
  const auto share_a_pass = [&](const SignalKey& x, const SignalKey& y) {
    if (layout.kind == SignalKind::pullback) return x.a == y.a && x.level == y.level;
    return layout.kind == SignalKind::smc && x.entry_mode != 2 && x.entry_mode == y.entry_mode &&
           x.a == y.a && x.level == y.level;
  };
  std::vector<std::size_t> runs;
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    if (i == 0 || !share_a_pass(fresh[i - 1].first, fresh[i].first)) runs.push_back(i);
  }
  runs.push_back(fresh.size());
  const std::uint64_t pullback_reach = largest_uint(0, 4), max_wait = largest_uint(4, 3);
  std::vector<SignalTable> built(fresh.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, runs.size() - 1, 1), [&](const auto& r) {
    for (std::size_t run = r.begin(); run != r.end(); ++run) {
      std::optional<PullbackDistances> distances;
      std::optional<SideBits> zone_entries;  // at the largest wait
      for (std::size_t i = runs[run]; i < runs[run + 1]; ++i) {
        const auto& [key, c] = fresh[i];
        SignalTable table{key.kind, key.entry_mode, key.a, key.b, key.window, key.level, {}};
        const StrategyView v = rule_view(c, bars, fs, t);
        if (layout.kind == SignalKind::pullback) {
          if (!distances) distances = pullback_distances(v, pullback_reach);
          table.bits = pullback_bits(*distances, key.window);
        } else if (layout.kind == SignalKind::smc && key.entry_mode != 2) {
          if (!zone_entries) {
            StrategyView any_age = v;
            any_age.window = max_wait;
            zone_entries = rule_bits(any_age);
          }
          table.bits = within_wait(*zone_entries, v);
        } else {
          table.bits = signal_bits(layout.kind, v);
        }
        built[i] = std::move(table);
      }
    }
  });
  return built;
}

// The tables of one kind: one per distinct key over every value combination of its
// dimensions in the active lattice (the other dimensions at their first value), invalid
// pairs included so that resolving any candidate of the lattice finds its tables. With
// `only`, the tables whose key is one of that candidate's and no other (the other
// combinations index no table).
void add_kind_tables(const data::BarSeries& bars, const htf::FeatureSet& fs, DecisionTables& t,
                     const KindDims& layout, const Candidate* only) {
  const FreshKeys fresh = index_kind(t, layout, only);
  for (SignalTable& table : build_fresh_tables(bars, fs, t, layout, fresh)) {
    t.signals.push_back(std::move(table));
  }
}

// Every kind's tables (with `only`, that candidate's).
void add_signal_tables(const data::BarSeries& bars, const htf::FeatureSet& fs, DecisionTables& t,
                       const Candidate* only) {
  for (const KindDims& layout : kKinds) add_kind_tables(bars, fs, t, layout, only);
}

SidesView find_signal(const DecisionTables& t, SignalKind kind, const Candidate& c) {
  const KindDims& layout = kKinds[static_cast<std::size_t>(kind)];
  const std::vector<std::uint16_t>& index = t.table_of[static_cast<std::size_t>(kind)];
  std::uint64_t n = 0;
  for (std::size_t i = layout.dim_count; i-- > 0;) {
    n = n * value_count(layout.family, layout.dims[i]) + c.idx[layout.dims[i]];
  }
  // The index finds the table; the key check catches tables built from another lattice.
  if (n < index.size() && index[n] < t.signals.size()) {
    const SignalTable& s = t.signals[index[n]];
    if (same_key(s, signal_key(kind, c))) return view_of(s.bits);
  }
  core::fatal(fmt::format("signal table for {} not precomputed", format_id(c)));
}

}  // namespace

SideBits make_side_bits(std::size_t n) {
  SideBits s;
  s.words.assign(2 * ((n + 63) / 64), 0);
  return s;
}

namespace {

// The gates, the break indices and the touch blocks, with the signal tables that
// add_signals(t) adds in between.
template <class AddSignals>
DecisionTables build_tables(const data::BarSeries& bars, const htf::FeatureSet& fs,
                            AddSignals add_signals) {
  const std::size_t n = bars.size();
  DecisionTables t;
  const htf::HtfContext* h4 = four_hour_view(fs);
  const htf::HtfContext* d1 = daily_view(fs);
  for (auto& g : t.gate) g.resize(n);
  for (auto& g : t.gate_bits) g = make_side_bits(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t sessions = session_bits(bars.ts[k]);
    const std::uint8_t sides[4] = {kLongOk | kShortOk, trend_sides(h4, k, false),
                                   trend_sides(d1, k, false), trend_sides(h4, k, true)};
    for (std::size_t f = 0; f < 4; ++f) {
      for (std::size_t s = 0; s < 4; ++s) {
        const std::uint8_t admitted = ((sessions >> s) & 1) ? sides[f] : 0;
        t.gate[f * 4 + s][k] = admitted;
        set_sides(t.gate_bits[f * 4 + s], k, admitted);
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
  add_signals(t);
  const std::size_t blocks = (n + kTouchBlock - 1) / kTouchBlock;
  t.block_low.assign(blocks, HUGE_VAL);
  t.block_high.assign(blocks, -HUGE_VAL);
  for (std::size_t k = 0; k < n; ++k) {
    // Comparisons with NaN are false, so an undefined price never becomes an extreme.
    double& lo = t.block_low[k / kTouchBlock];
    double& hi = t.block_high[k / kTouchBlock];
    if (bars.low[k] < lo) lo = bars.low[k];
    if (bars.high[k] > hi) hi = bars.high[k];
  }
  return t;
}

}  // namespace

DecisionTables build_decision_tables(const data::BarSeries& bars, const htf::FeatureSet& fs) {
  return build_tables(bars, fs,
                      [&](DecisionTables& t) { add_signal_tables(bars, fs, t, nullptr); });
}

DecisionTables build_decision_tables_dropping_series(const data::BarSeries& bars,
                                                     htf::FeatureSet& fs) {
  // Only the trend view's EMAs are read, and the base trend EMAs only without that view.
  const htf::HtfContext* trend_view = four_hour_view(fs);
  const TrendSource trend = trend_view != nullptr ? TrendSource::view : TrendSource::base;
  DecisionTables tables = build_tables(bars, fs, [&](DecisionTables& t) {
    for (const KindDims& layout : kKinds) {
      htf::keep_series(fs, bars, kind_lengths(layout, trend), trend_view);
      add_kind_tables(bars, fs, t, layout, nullptr);
    }
  });
  htf::keep_series(fs, bars, {});
  fs.series_dropped = true;
  return tables;
}

DecisionTables build_candidate_tables(const data::BarSeries& bars, const htf::FeatureSet& fs,
                                      const Candidate& c) {
  return build_tables(bars, fs, [&](DecisionTables& t) { add_signal_tables(bars, fs, t, &c); });
}

htf::FeatureLengths candidate_lengths(const Candidate& c) {
  return rule_lengths(c, TrendSource::both);
}

StrategyView resolve(const Candidate& c, const EvalInputs& in) {
  StrategyView v = rule_view(c, in.bars, in.features, in.tables);
  v.gate = in.tables.gate[std::size_t{v.regime_filter} * 4 + v.session];
  v.gate_bits = view_of(in.tables.gate_bits[std::size_t{v.regime_filter} * 4 + v.session]);
  v.side_mask = v.shorts_allowed ? (kLongOk | kShortOk) : kLongOk;
  switch (c.family) {
    case 0:
      v.signal = find_signal(in.tables, SignalKind::trend, c);
      v.channel = find_signal(in.tables, SignalKind::channel, c);
      v.pullback = find_signal(in.tables, SignalKind::pullback, c);
      break;
    case 1:
      v.signal = find_signal(in.tables, SignalKind::cross, c);
      break;
    case 2:
      v.signal = find_signal(in.tables, SignalKind::donchian, c);
      break;
    case 3:
      v.signal = find_signal(in.tables, SignalKind::rsi, c);
      break;
    default:
      v.signal = find_signal(in.tables, SignalKind::smc, c);
      break;
  }
  return v;
}

int decide(const StrategyView& v, std::size_t k) {
  if (v.signal.empty()) {
    return rules::with_family(
        v.family, [&](auto f) { return rules::decide_by_rule<decltype(f)::value>(v, k); });
  }
  return rules::with_family(v.family,
                            [&](auto f) { return rules::decide_at<decltype(f)::value>(v, k); });
}

std::uint64_t signal_count(std::span<const Candidate> candidates, const EvalInputs& in) {
  const std::size_t n = in.bars.size();
  if (n < 3) return 0;
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, candidates.size()), std::uint64_t{0},
      [&](const tbb::blocked_range<std::size_t>& r, std::uint64_t sum) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
          const StrategyView v = resolve(candidates[i], in);
          // decide_at is non-zero where exactly one side survives the tables, the gate and
          // the side mask: 64 bars per step, counted by bits (bars 0 and 1 never hold one).
          const std::uint64_t shorts = (v.side_mask & kShortOk) ? ~std::uint64_t{0} : 0;
          for (std::size_t w = 0; w < (n + 63) / 64; ++w) {
            std::uint64_t longs = v.signal.words[2 * w] & v.gate_bits.words[2 * w];
            std::uint64_t short_side =
                v.signal.words[2 * w + 1] & v.gate_bits.words[2 * w + 1] & shorts;
            if (v.family == 0) {
              longs &= v.channel.words[2 * w] & v.pullback.words[2 * w];
              short_side &= v.channel.words[2 * w + 1] & v.pullback.words[2 * w + 1];
            }
            sum += static_cast<std::uint64_t>(std::popcount(longs ^ short_side));
          }
        }
        return sum;
      },
      [](std::uint64_t a, std::uint64_t b) { return a + b; });
}

}  // namespace varnek::strategy
