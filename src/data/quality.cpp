#include "data/quality.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <span>

#include "core/fatal.hpp"

namespace varnek::data {
namespace {

// Timestamp differences of int64 values span 65 bits.
__extension__ typedef __int128 Wide;

constexpr Wide kSessionPause = 10800;
constexpr Wide kWeekendMax = 432000;  // five days

}  // namespace

int weekday(std::int64_t ts) {
  std::int64_t q = ts / 86400;
  if (ts % 86400 < 0) --q;  // floor, not truncation
  return static_cast<int>(((q + 4) % 7 + 7) % 7);
}

QualityReport audit(const BarSeries& bars) {
  const std::size_t n = bars.ts.size();
  if (bars.open.size() != n || bars.high.size() != n || bars.low.size() != n ||
      bars.close.size() != n || bars.volume.size() != n) {
    core::fatal("bar series columns differ in length");
  }
  const std::span<const std::int64_t> ts = bars.ts;
  const std::span<const double> open = bars.open, high = bars.high, low = bars.low,
                                close = bars.close, volume = bars.volume;

  QualityReport r;
  r.rows = n;
  std::uint64_t zero_volume = 0;
  std::uint64_t positive_volumes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double o = open[i], h = high[i], l = low[i], c = close[i];
    const bool finite =
        std::isfinite(o) && std::isfinite(h) && std::isfinite(l) && std::isfinite(c);
    if (!finite || l > h || o > h + 1e-9 || o < l - 1e-9 || c > h + 1e-9 || c < l - 1e-9) {
      ++r.invalid_ohlc;
    }
    if (o <= 0.0 || c <= 0.0 || l <= 0.0) ++r.non_positive;
    if (volume[i] == 0.0) ++zero_volume;
    if (volume[i] > 0.0) ++positive_volumes;
  }

  const Wide tf = bars.timeframe_secs;
  const Wide allowance = std::max(3 * tf, tf + kSessionPause);
  Wide largest = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const Wide d = static_cast<Wide>(ts[i]) - ts[i - 1];
    if (d == 0) {
      ++r.duplicates;
    } else if (d < 0) {
      ++r.out_of_order;
    } else {
      largest = std::max(largest, d);
      if (d > allowance) {
        const int from = weekday(ts[i - 1]);
        const int to = weekday(ts[i]);
        const bool weekend = from >= 4 && to <= 1 && d <= kWeekendMax;
        if (!weekend) ++r.unexpected_gaps;
      }
    }
  }

  if (positive_volumes > 0) {
    std::vector<double> positive;
    positive.reserve(positive_volumes);
    for (const double v : volume) {
      if (v > 0.0) positive.push_back(v);
    }
    // Only the element at index count / 2 of the sorted list matters.
    const auto mid = positive.begin() + static_cast<std::ptrdiff_t>(positive.size() / 2);
    std::nth_element(positive.begin(), mid, positive.end());
    const double limit = 20.0 * *mid;
    for (const double v : volume) {
      if (v > limit) ++r.volume_outliers;
    }
  }

  r.zero_volume_share = n == 0 ? 0.0 : static_cast<double>(zero_volume) / static_cast<double>(n);
  r.largest_gap_hours = static_cast<double>(largest) / 3600.0;

  if (r.duplicates > 0) {
    r.issues.push_back(fmt::format("{} barres en double (même horodatage)", r.duplicates));
  }
  if (r.out_of_order > 0) {
    r.issues.push_back(fmt::format("{} barres hors ordre chronologique", r.out_of_order));
  }
  if (r.invalid_ohlc > 0) {
    r.issues.push_back(fmt::format(
        "{} barres incohérentes (high < low, ou open/close hors de la plage)", r.invalid_ohlc));
  }
  if (r.non_positive > 0) {
    r.issues.push_back(fmt::format("{} prix nuls ou négatifs", r.non_positive));
  }
  if (r.unexpected_gaps > 0) {
    r.issues.push_back(fmt::format(
        "{} trous de données inattendus (hors week-end / pause de session)", r.unexpected_gaps));
  }
  if (n < 1500) {
    r.issues.push_back(fmt::format(
        "seulement {} barres : trop peu pour séparer entraînement, validation et test", n));
  }
  if (r.zero_volume_share > 0.2) {
    // Whole percent, ties to even like printf's "%.0f".
    r.issues.push_back(
        fmt::format("{:.0f} % des barres ont un volume nul", 100.0 * r.zero_volume_share));
  }

  // Counts are bounded by the bar count, so the products cannot overflow in 128 bits.
  const auto rows = static_cast<Wide>(n);
  if (n < 1500 || r.out_of_order > 0 || r.non_positive > 0 ||
      static_cast<Wide>(r.invalid_ohlc) * 100 > rows) {
    r.verdict = "FAIL";
  } else if (r.duplicates > 0 || r.invalid_ohlc > 0 || r.zero_volume_share > 0.2 ||
             static_cast<Wide>(r.unexpected_gaps) * 200 > rows) {
    r.verdict = "INCONCLUSIVE";
  } else {
    r.verdict = "PASS";
  }
  return r;
}

core::Json to_json(const QualityReport& report) {
  core::Json j = core::Json::object();
  j["rows"] = report.rows;
  j["duplicates"] = report.duplicates;
  j["out_of_order"] = report.out_of_order;
  j["invalid_ohlc"] = report.invalid_ohlc;
  j["non_positive"] = report.non_positive;
  j["zero_volume_share"] = core::number_or_null(report.zero_volume_share);
  j["volume_outliers"] = report.volume_outliers;
  j["unexpected_gaps"] = report.unexpected_gaps;
  j["largest_gap_hours"] = core::number_or_null(report.largest_gap_hours);
  j["verdict"] = report.verdict;
  j["issues"] = report.issues;
  return j;
}

}  // namespace varnek::data
