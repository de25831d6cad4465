#include "htf/resample.hpp"

#include <fmt/format.h>

#include <limits>

#include "core/fatal.hpp"
#include "htf/indicators.hpp"

namespace varnek::htf {

namespace {

__extension__ typedef __int128 Wide;  // holds any int64 sum exactly

constexpr std::int64_t kMinTs = std::numeric_limits<std::int64_t>::min();

void require_period(std::int64_t period) {
  if (period <= 0) core::fatal(fmt::format("resample period {} is not positive", period));
}

// End of higher-timeframe bar j, one past its last second.
Wide bar_end(std::int64_t ts, std::int64_t period) {
  if (ts == kMinTs) return (static_cast<Wide>(bucket_index(ts, period)) + 1) * period;
  return static_cast<Wide>(ts) + period;
}

}  // namespace

std::int64_t bucket_index(std::int64_t ts, std::int64_t period) {
  // Truncating division cannot overflow for period > 0; step down when it rounded up.
  std::int64_t q = ts / period;
  if (ts % period < 0) --q;
  return q;
}

data::BarSeries resample(const data::BarSeries& base, std::int64_t period) {
  require_period(period);
  data::BarSeries out;
  out.timeframe_secs = period;
  const std::size_t len = base.size();
  if (len == 0) return out;

  auto bucket_start = [period](std::int64_t bucket) {
    const Wide start = static_cast<Wide>(bucket) * period;
    return start < kMinTs ? kMinTs : static_cast<std::int64_t>(start);
  };

  std::int64_t bucket = bucket_index(base.ts[0], period);
  std::int64_t ts = bucket_start(bucket);
  double open = base.open[0], high = base.high[0], low = base.low[0], close = base.close[0],
         volume = base.volume[0];
  for (std::size_t i = 1; i < len; ++i) {
    const std::int64_t b = bucket_index(base.ts[i], period);
    if (b == bucket) {
      high = nan_max(high, base.high[i]);
      low = nan_min(low, base.low[i]);
      close = base.close[i];
      volume += base.volume[i];
      continue;
    }
    out.push(ts, open, high, low, close, volume);
    bucket = b;
    ts = bucket_start(b);
    open = base.open[i];
    high = base.high[i];
    low = base.low[i];
    close = base.close[i];
    volume = base.volume[i];
  }
  out.push(ts, open, high, low, close, volume);
  return out;
}

std::vector<std::int32_t> projection_map(const data::BarSeries& base, const data::BarSeries& htf,
                                         std::int64_t period) {
  require_period(period);
  const std::size_t len = base.size();
  const std::size_t htf_len = htf.size();
  std::vector<std::int32_t> map(len, -1);
  std::size_t visible = 0;  // number of higher-timeframe bars visible so far
  for (std::size_t b = 0; b < len; ++b) {
    const Wide base_end = static_cast<Wide>(base.ts[b]) + base.timeframe_secs;
    while (visible < htf_len && bar_end(htf.ts[visible], period) <= base_end) ++visible;
    map[b] = static_cast<std::int32_t>(visible) - 1;
  }
  return map;
}

}  // namespace varnek::htf
