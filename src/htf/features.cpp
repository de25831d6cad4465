#include "htf/features.hpp"

#include <fmt/format.h>
#include <tbb/parallel_invoke.h>

#include <algorithm>

#include "core/fatal.hpp"
#include "core/parallel.hpp"
#include "htf/indicators.hpp"

namespace varnek::htf {

namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kFourHours = 14400;
constexpr std::int64_t kDay = 86400;

// Drops the entries whose length is not listed.
void keep_only(SeriesTable& table, const std::vector<std::uint32_t>& lengths) {
  std::erase_if(table, [&](const LengthSeries& s) {
    return std::find(lengths.begin(), lengths.end(), s.length) == lengths.end();
  });
}

std::span<const double> lookup(const SeriesTable& table, std::uint32_t n) {
  const std::vector<double>* series = find_series(table, n);
  if (series == nullptr) core::fatal(fmt::format("feature length {} not precomputed", n));
  return *series;
}

}  // namespace

FeatureSet build_feature_set(const data::BarSeries& bars, const FeatureLengths& lengths) {
  FeatureSet fs;
  const std::int64_t tf = bars.timeframe_secs;
  // Independent parts, each computed by its own task.
  std::vector<BreakFlags> breaks;
  tbb::parallel_invoke(
      [&] {
        if (tf < kHour) fs.h1 = build_context(bars, "H1", kHour, lengths.htf_ema);
      },
      [&] {
        if (tf < kFourHours) fs.h4 = build_context(bars, "H4", kFourHours, lengths.htf_ema);
      },
      [&] {
        if (tf < kDay) fs.d1 = build_context(bars, "D1", kDay, lengths.htf_ema);
      },
      [&] { fs.atr = atr14(bars); },
      [&] {
        breaks = core::parallel_map<BreakFlags>(
            kPivots.size(), [&](std::size_t i) { return detect_breaks(bars, kPivots[i]); });
      });
  keep_series(fs, bars, lengths);

  fs.smc.reserve(kPivots.size());
  for (std::size_t i = 0; i < kPivots.size(); ++i) {
    fs.smc.push_back({kPivots[i], std::move(breaks[i])});
  }

  fs.regime_trend.assign(bars.size(), kTrendNeutral);
  fs.regime_vol.assign(bars.size(), kVolatilityMedium);
  const HtfContext* regime = fs.d1 ? &*fs.d1 : (fs.h4 ? &*fs.h4 : nullptr);
  if (regime != nullptr) {
    for (std::size_t b = 0; b < bars.size(); ++b) {
      const std::int32_t j = regime->map[b];
      if (j < 0) continue;
      const ContextBar& bar = regime->context[static_cast<std::size_t>(j)];
      fs.regime_trend[b] = bar.trend;
      fs.regime_vol[b] = bar.volatility;
    }
  }
  return fs;
}

void keep_series(FeatureSet& fs, const data::BarSeries& bars, const FeatureLengths& lengths,
                 const HtfContext* ema_view) {
  const std::vector<std::uint32_t> none;
  for (std::optional<HtfContext>* view : {&fs.h1, &fs.h4, &fs.d1}) {
    if (!view->has_value()) continue;
    const bool projects = ema_view == nullptr || ema_view == &**view;
    keep_only((*view)->ema, projects ? lengths.htf_ema : none);
    if (projects) add_projected_emas(**view, lengths.htf_ema);
  }
  keep_only(fs.ema, lengths.base_ema);
  keep_only(fs.highest, lengths.breakout);
  keep_only(fs.lowest, lengths.breakout);
  keep_only(fs.rsi, lengths.rsi);
  add_missing(fs.ema, lengths.base_ema, [&](std::uint32_t n) { return ema(bars.close, n); });
  add_missing(fs.highest, lengths.breakout,
              [&](std::uint32_t n) { return highest_prev(bars.high, n); });
  add_missing(fs.lowest, lengths.breakout,
              [&](std::uint32_t n) { return lowest_prev(bars.low, n); });
  add_missing(fs.rsi, lengths.rsi, [&](std::uint32_t n) { return rsi(bars.close, n); });
}

std::span<const double> ema_series(const FeatureSet& fs, std::uint32_t n) {
  return lookup(fs.ema, n);
}

std::span<const double> highest_series(const FeatureSet& fs, std::uint32_t n) {
  return lookup(fs.highest, n);
}

std::span<const double> lowest_series(const FeatureSet& fs, std::uint32_t n) {
  return lookup(fs.lowest, n);
}

std::span<const double> rsi_series(const FeatureSet& fs, std::uint32_t n) {
  return lookup(fs.rsi, n);
}

std::span<const double> htf_ema_series(const HtfContext& view, std::uint32_t n) {
  return lookup(view.ema, n);
}

const BreakFlags& break_flags(const FeatureSet& fs, std::uint32_t pivot) {
  for (const PivotFlags& entry : fs.smc) {
    if (entry.pivot == pivot) return entry.flags;
  }
  core::fatal(fmt::format("SMC pivot {} not precomputed", pivot));
}

}  // namespace varnek::htf
