#include "bt/lanes.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>

namespace varnek::bt {

bool lanes_supported() {
  static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                          __builtin_cpu_supports("avx512vl");
  return yes;
}

// GCC 12's AVX-512 headers start some results from an undefined register.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

constexpr int kWidth = static_cast<int>(kLaneWidth);

#define VARNEK_LANES __attribute__((target("avx512f,avx512dq,avx512vl"), always_inline)) inline

// Eight lanes: their pairs' stop levels, which of them run (lanes past the pairs asked for
// do not), and where each run stands while it steps through the list: its equity, its
// summary's sums and counts, and the bar b from which it is flat.
struct alignas(64) Lanes {
  __m512i stop_level;
  __mmask8 active;
  __m512d equity, net_r, sum_sq_r, gross_profit_r, gross_loss_r, peak, max_dd_r;
  __m512i b, trades, wins, skips;
};

// What signal t means for every lane: its bar and where its table row starts, and what
// depends only on the stop level (indexed by level): the stop distance, the money at risk
// per contract and its reciprocal, and the R of a position that leaves at its last bar
// untouched, whose money per contract is `time_move_value`.
struct Step {
  __m512i bar;
  std::size_t row;
  std::uint64_t entry_bar, last;  // last: bars from the entry bar to the last one
  __m512d stop_dist, per_contract, reciprocal, time_r;
  double time_move_value;
};

// The size of each lane's position at its equity, as size_position gives it: the usual
// sizes and skips from the money times the reciprocal, bracketed; the rare lanes the
// bracket cannot decide from size_position itself.
VARNEK_LANES __m256i lane_contracts(const CostModel& cost, __m512d equity, __m512d stop_dist,
                                    __m512d per_contract, __m512d reciprocal, __mmask8 wanted) {
  const __m512d money = _mm512_mul_pd(equity, _mm512_set1_pd(cost.risk_per_trade));
  const __mmask8 plain = _mm512_cmp_pd_mask(per_contract, _mm512_setzero_pd(), _CMP_GT_OQ) &
                         ~_mm512_cmp_pd_mask(money, per_contract, _CMP_GE_OQ);
  const __m512d approx = _mm512_mul_pd(money, reciprocal);
  const __m512d lo = _mm512_mul_pd(approx, _mm512_set1_pd(1.0 - 0x1p-40));
  const __m512d hi = _mm512_mul_pd(approx, _mm512_set1_pd(1.0 + 0x1p-40));
  const __m256i whole_lo = _mm512_cvttpd_epi32(lo), whole_hi = _mm512_cvttpd_epi32(hi);
  const __mmask8 bracketed =
      _mm512_cmp_pd_mask(lo, _mm512_set1_pd(1.0), _CMP_GE_OQ) &
      _mm512_cmp_pd_mask(hi, _mm512_set1_pd(static_cast<double>(kMaxContracts)), _CMP_LT_OQ) &
      _mm256_cmpeq_epi32_mask(whole_lo, whole_hi);
  __m256i contracts = _mm256_maskz_mov_epi32(bracketed & ~plain, whole_lo);
  const __mmask8 undecided = wanted & ~plain & ~bracketed;
  if (undecided != 0) [[unlikely]] {
    alignas(64) std::array<double, kWidth> eq, dist;
    alignas(32) std::array<std::uint32_t, kWidth> n;
    _mm512_store_pd(eq.data(), equity);
    _mm512_store_pd(dist.data(), stop_dist);
    _mm256_store_si256(reinterpret_cast<__m256i*>(n.data()), contracts);
    for (int l = 0; l < kWidth; ++l) {
      if ((undecided >> l) & 1) n[l] = size_position(cost, eq[l], dist[l]);
    }
    contracts = _mm256_load_si256(reinterpret_cast<const __m256i*>(n.data()));
  }
  return contracts;
}

// Signal t for the eight lanes from `pair` on. A lane flat at or before the signal bar
// (b <= k) sizes the signal; under one contract it counts a skip, else it enters, leaves at
// its first touch within its last bar or else at the last bar, and adds the trade.
VARNEK_LANES void step_lanes(Lanes& L, const Step& s, const TouchTable& table, std::size_t pair,
                             const CostModel& cost) {
  const __mmask8 flat = L.active & _mm512_cmp_epu64_mask(s.bar, L.b, _MM_CMPINT_NLT);
  const __m512d stop_dist = _mm512_permutexvar_pd(L.stop_level, s.stop_dist);
  const __m512d per_contract = _mm512_permutexvar_pd(L.stop_level, s.per_contract);
  const __m512d reciprocal = _mm512_permutexvar_pd(L.stop_level, s.reciprocal);
  const __m256i contracts =
      lane_contracts(cost, L.equity, stop_dist, per_contract, reciprocal, flat);
  const __mmask8 none = _mm256_cmpeq_epi32_mask(contracts, _mm256_setzero_si256());
  const __mmask8 trade = flat & ~none;
  const __m512i one = _mm512_set1_epi64(1);
  L.skips = _mm512_mask_add_epi64(L.skips, flat & none, L.skips, one);

  // The touch within the last bar closes the trade the table priced; else the last bar's
  // close does.
  const std::size_t at = s.row + pair;
  const __m512i off = _mm512_cvtepu8_epi64(
      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(table.pair_offsets.data() + at)));
  const __m512i last = _mm512_set1_epi64(static_cast<long long>(s.last));
  const __mmask8 touched = _mm512_cmpneq_epi64_mask(off, _mm512_set1_epi64(TouchTable::kNoTouch)) &
                           _mm512_cmp_epu64_mask(off, last, _MM_CMPINT_LE);
  const __m512i x = _mm512_mask_blend_epi64(touched, last, off);  // bars after the entry bar
  const __m512d r = _mm512_mask_blend_pd(touched, _mm512_permutexvar_pd(L.stop_level, s.time_r),
                                         _mm512_loadu_pd(table.pair_r.data() + at));
  const __m512d move_value =
      _mm512_mask_blend_pd(touched, _mm512_set1_pd(s.time_move_value),
                           _mm512_loadu_pd(table.pair_move_value.data() + at));
  const __m512d n = _mm512_cvtepi32_pd(contracts);
  const __m512d commission = _mm512_set1_pd(cost.round_turn_commission);
  const __m512d pnl = _mm512_sub_pd(_mm512_mul_pd(move_value, n), _mm512_mul_pd(n, commission));

  // SummaryBuilder::add_trade, lane by lane.
  L.equity = _mm512_mask_add_pd(L.equity, trade, L.equity, pnl);
  L.net_r = _mm512_mask_add_pd(L.net_r, trade, L.net_r, r);
  L.sum_sq_r = _mm512_mask_add_pd(L.sum_sq_r, trade, L.sum_sq_r, _mm512_mul_pd(r, r));
  const __mmask8 win = _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_GT_OQ);
  L.wins = _mm512_mask_add_epi64(L.wins, trade & win, L.wins, one);
  L.gross_profit_r =
      _mm512_mask_add_pd(L.gross_profit_r, trade, L.gross_profit_r, _mm512_maskz_mov_pd(win, r));
  const __m512d minus_r = _mm512_xor_pd(r, _mm512_set1_pd(-0.0));
  L.gross_loss_r = _mm512_mask_add_pd(L.gross_loss_r, trade, L.gross_loss_r,
                                      _mm512_mask_blend_pd(win, minus_r, _mm512_setzero_pd()));
  const __m512d cum = L.net_r;
  L.peak = _mm512_mask_blend_pd(trade & ~_mm512_cmp_pd_mask(L.peak, cum, _CMP_GT_OQ), L.peak, cum);
  const __m512d dd = _mm512_sub_pd(L.peak, cum);
  L.max_dd_r =
      _mm512_mask_blend_pd(trade & ~_mm512_cmp_pd_mask(L.max_dd_r, dd, _CMP_GT_OQ), L.max_dd_r, dd);
  L.trades = _mm512_mask_add_epi64(L.trades, trade, L.trades, one);
  L.b =
      _mm512_mask_add_epi64(L.b, trade, _mm512_set1_epi64(static_cast<long long>(s.entry_bar)), x);
}

// What signal t means for every lane: price_trade's R and money of a time exit, and the
// sizing's divisors, once per stop level.
VARNEK_LANES Step step_of(const Signal& signal, const BarPrices& bars, const TouchTable& table,
                          const CostModel& cost, __m512d stop_atr, std::uint64_t hold,
                          std::size_t E) {
  Step s;
  s.bar = _mm512_set1_epi64(signal.bar);
  s.entry_bar = signal.bar + cost.entry_lag;
  s.row = table.pairs_at(signal.bar - table.first, signal.side < 0);
  s.last = std::min<std::uint64_t>(hold, E - 1 - s.entry_bar);
  const double d = signal.side;
  const double entry = bars.open[s.entry_bar] + d * cost.fill_offset;
  const double exit = bars.close[s.entry_bar + s.last] - d * cost.fill_offset;
  const double move = d * (exit - entry);
  s.time_move_value = move * cost.point_value;
  s.stop_dist = _mm512_mul_pd(_mm512_set1_pd(signal.atr), stop_atr);
  s.per_contract = _mm512_mul_pd(s.stop_dist, _mm512_set1_pd(cost.point_value));
  const std::size_t by_stop = (signal.bar - table.first) * kLaneStops;
  s.reciprocal = _mm512_loadu_pd(table.stop_reciprocal.data() + by_stop);
  s.time_r = _mm512_sub_pd(_mm512_div_pd(_mm512_set1_pd(move), s.stop_dist),
                           _mm512_loadu_pd(table.stop_commission_r.data() + by_stop));
  return s;
}

// Over a long range a signal's table row and bars come from memory: the lanes ask for
// those of the signal kAhead places on while they step through this one.
constexpr std::size_t kAhead = 8;

VARNEK_LANES void ask_ahead(const Signal& signal, const BarPrices& bars, const TouchTable& table,
                            const CostModel& cost) {
  const std::size_t row = table.pairs_at(signal.bar - table.first, signal.side < 0);
  const std::size_t pairs = table.stops * table.rrs;
  for (std::size_t at = row; at < row + pairs; at += kWidth) {
    __builtin_prefetch(table.pair_r.data() + at);
    __builtin_prefetch(table.pair_move_value.data() + at);
  }
  __builtin_prefetch(table.pair_offsets.data() + row);
  __builtin_prefetch(table.stop_reciprocal.data() + (signal.bar - table.first) * kLaneStops);
  __builtin_prefetch(table.stop_commission_r.data() + (signal.bar - table.first) * kLaneStops);
  __builtin_prefetch(bars.open + signal.bar + cost.entry_lag);
}

template <int V>
__attribute__((target("avx512f,avx512dq,avx512vl"))) void run_lanes(
    std::span<const Signal> list, const BarPrices& bars, const TouchTable& table,
    const CostModel& cost, std::span<const double> stop_atr, std::uint64_t hold, std::size_t start,
    std::size_t E, std::span<SegmentSummary> out) {
  const std::size_t pairs = out.size();
  alignas(64) std::array<double, kWidth> levels{};
  std::copy(stop_atr.begin(), stop_atr.end(), levels.begin());
  const __m512d stop_multiples = _mm512_load_pd(levels.data());
  const std::size_t b0 = std::max<std::size_t>(start, 1);
  std::array<Lanes, V> lanes;
  for (int v = 0; v < V; ++v) {
    Lanes& L = lanes[v];
    alignas(64) std::array<std::uint64_t, kWidth> level;
    L.active = 0;
    for (int l = 0; l < kWidth; ++l) {
      const std::size_t p = static_cast<std::size_t>(v * kWidth + l);
      level[l] = p % table.stops;
      if (p < pairs) L.active |= static_cast<__mmask8>(1u << l);
    }
    L.stop_level = _mm512_load_si512(level.data());
    L.equity = _mm512_set1_pd(cost.equity0);
    L.net_r = L.sum_sq_r = L.gross_profit_r = L.gross_loss_r = L.peak = L.max_dd_r =
        _mm512_setzero_pd();
    L.b = _mm512_set1_epi64(static_cast<long long>(b0));
    L.trades = L.wins = L.skips = _mm512_setzero_si512();
  }
  for (std::size_t t = 0; t < list.size(); ++t) {
    const Signal& signal = list[t];
    if (t + kAhead < list.size()) ask_ahead(list[t + kAhead], bars, table, cost);
    const Step s = step_of(signal, bars, table, cost, stop_multiples, hold, E);
    for (int v = 0; v < V; ++v) step_lanes(lanes[v], s, table, v * kWidth, cost);
  }
  for (int v = 0; v < V; ++v) {
    const Lanes& L = lanes[v];
    alignas(64) std::array<double, kWidth> net, sq, gp, gl, dd;
    alignas(64) std::array<std::uint64_t, kWidth> trades, wins, skips;
    _mm512_store_pd(net.data(), L.net_r);
    _mm512_store_pd(sq.data(), L.sum_sq_r);
    _mm512_store_pd(gp.data(), L.gross_profit_r);
    _mm512_store_pd(gl.data(), L.gross_loss_r);
    _mm512_store_pd(dd.data(), L.max_dd_r);
    _mm512_store_si512(trades.data(), L.trades);
    _mm512_store_si512(wins.data(), L.wins);
    _mm512_store_si512(skips.data(), L.skips);
    for (int l = 0; l < kWidth; ++l) {
      const std::size_t p = static_cast<std::size_t>(v * kWidth + l);
      if (p >= pairs) break;
      SegmentSummary& o = out[p];
      o.net_r = net[l];
      o.sum_sq_r = sq[l];
      o.gross_profit_r = gp[l];
      o.gross_loss_r = gl[l];
      o.max_dd_r = dd[l];
      o.trades = static_cast<std::uint32_t>(trades[l]);
      o.wins = static_cast<std::uint32_t>(wins[l]);
      o.size_skips = static_cast<std::uint32_t>(skips[l]);
      // Every bar from b0 on is stepped but the entry lag's bars between a signal and its
      // entry.
      o.bars = b0 < E ? static_cast<std::uint32_t>((E - b0) - trades[l] * (cost.entry_lag - 1)) : 0;
    }
  }
}

}  // namespace

#pragma GCC diagnostic pop

void simulate_lanes(std::span<const Signal> list, const BarPrices& bars, const TouchTable& table,
                    const CostModel& cost, std::span<const double> stop_atr, std::uint64_t hold,
                    std::size_t start, std::size_t E, std::span<SegmentSummary> out) {
  switch ((out.size() + kWidth - 1) / kWidth) {
    case 1:
      return run_lanes<1>(list, bars, table, cost, stop_atr, hold, start, E, out);
    case 2:
      return run_lanes<2>(list, bars, table, cost, stop_atr, hold, start, E, out);
    case 3:
      return run_lanes<3>(list, bars, table, cost, stop_atr, hold, start, E, out);
    case 4:
      return run_lanes<4>(list, bars, table, cost, stop_atr, hold, start, E, out);
    default:
      return;
  }
}

}  // namespace varnek::bt
