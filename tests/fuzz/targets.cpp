#include "fuzz/targets.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "core/json.hpp"
#include "core/sha256.hpp"
#include "core/spec.hpp"
#include "core/splitmix.hpp"
#include "core/utf8.hpp"
#include "data/csv.hpp"
#include "data/quality.hpp"
#include "strategy/lattice.hpp"

namespace varnek::fuzz {
namespace {

using core::Json;
using Loaded = core::Result<data::LoadedDataset>;

std::string_view text_of(Input input) {
  return {reinterpret_cast<const char*>(input.data()), input.size()};
}

bool valid_utf8(std::string_view s) {
  return core::utf8_invalid_at(s) == std::string_view::npos;
}

// Printed compactly, the value is valid UTF-8 and reads back as itself.
bool prints_back(const Json& value) {
  const std::string text = core::to_compact(value);
  if (!valid_utf8(text)) return false;
  const Json again = Json::parse(text, nullptr, false);
  return !again.is_discarded() && again == value;
}

// ---------------------------------------------------------------------------
// CSV loader and quality audit

const std::string kPath = "fuzz/input.csv";
const std::string kTooLarge = "cannot read " + kPath + ": file too large";

bool digits_from(std::string_view s, std::size_t& i) {
  const std::size_t from = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i > from && s[from] != '0';
}

// One of the loader's documented failures, with a line number within the input.
bool documented_csv_error(const std::string& e, std::string_view bytes) {
  if (e == "dataset has fewer than 3 bars") return true;
  if (!e.starts_with("line ")) return false;
  std::size_t i = 5;
  if (!digits_from(e, i) || e.compare(i, 2, ": ") != 0) return false;
  const std::uint64_t n = std::stoull(e.substr(5, i - 5));
  const auto lines = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  if (n > lines + 1) return false;
  const std::string_view rest = std::string_view(e).substr(i + 2);
  if (rest == "expected timestamp,open,high,low,close[,volume]" || rest == "bad timestamp") {
    return true;
  }
  // A field lies within one line and between two commas; it is shown decoded.
  if (!rest.starts_with("bad number '") || !rest.ends_with("'") || rest.size() < 13) return false;
  const std::string_view field = rest.substr(12, rest.size() - 13);
  return field.find_first_of(",\n") == std::string_view::npos && valid_utf8(field);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_load(const Loaded& a, const Loaded& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error() == b.error();
  const data::BarSeries& x = a.value().bars;
  const data::BarSeries& y = b.value().bars;
  return data::to_json(a.value().manifest) == data::to_json(b.value().manifest) && x.ts == y.ts &&
         same_bits(x.open, y.open) && same_bits(x.high, y.high) && same_bits(x.low, y.low) &&
         same_bits(x.close, y.close) && same_bits(x.volume, y.volume) &&
         x.timeframe_secs == y.timeframe_secs;
}

// Pieces of one byte, or of 1 to 64 bytes drawn from `seed`.
Loaded load_in_pieces(std::string_view bytes, std::uint64_t limit, std::uint64_t seed) {
  data::CsvParse st = data::start_csv(kPath, limit);
  core::SplitMix64 rng(seed);
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = seed == 0 ? 1 : 1 + static_cast<std::size_t>(rng.below(64));
    if (!data::feed_csv(st, bytes.substr(i, n))) break;
    i += n;
  }
  return data::finish_csv(st);
}

std::string check_manifest(const data::LoadedDataset& d, std::string_view bytes) {
  const data::BarSeries& b = d.bars;
  const data::DatasetManifest& m = d.manifest;
  const std::size_t n = b.size();
  if (n < 3) return "a dataset of fewer than 3 bars loaded";
  if (b.open.size() != n || b.high.size() != n || b.low.size() != n || b.close.size() != n ||
      b.volume.size() != n) {
    return "columns of different lengths";
  }
  if (m.rows != n) return "manifest rows differ from the bar count";
  if (m.rows > static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1) {
    return "more bars than lines";
  }
  if (m.start != b.ts.front() || m.end != b.ts.back()) return "start/end are not the first/last ts";
  if (m.timeframe_secs != b.timeframe_secs || m.timeframe_secs <= 0) return "bad timeframe_secs";
  if (m.sha256.size() != 64 ||
      m.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return "sha256 is not 64 lowercase hex digits";
  }
  if (m.sha256 != core::sha256_hex(bytes)) return "sha256 is not the digest of the bytes";
  if (m.path != kPath || m.dataset_id != "input" || m.timezone != "UTC") {
    return "manifest names the wrong source";
  }
  return {};
}

std::string check_audit(const data::BarSeries& bars, const data::DatasetManifest& manifest) {
  const data::QualityReport q = data::audit(bars);
  const std::uint64_t n = bars.size();
  if (q.rows != n) return "audit rows differ from the bar count";
  if (q.duplicates + q.out_of_order > n - 1 || q.unexpected_gaps > n - 1) {
    return "more pair defects than neighbouring pairs";
  }
  if (q.invalid_ohlc > n || q.non_positive > n || q.volume_outliers > n) {
    return "more bar defects than bars";
  }
  if (!(q.zero_volume_share >= 0.0 && q.zero_volume_share <= 1.0)) {
    return "zero_volume_share outside [0, 1]";
  }
  if (!(std::isfinite(q.largest_gap_hours) && q.largest_gap_hours >= 0.0)) {
    return "largest_gap_hours not a finite non-negative number";
  }
  const bool fail =
      n < 1500 || q.out_of_order > 0 || q.non_positive > 0 || q.invalid_ohlc * 100 > n;
  if ((q.verdict == "FAIL") != fail) return "verdict FAIL does not follow from the counts";
  if (q.verdict != "FAIL" && q.verdict != "INCONCLUSIVE" && q.verdict != "PASS") {
    return "unknown verdict";
  }
  if (q.issues.size() > 7) return "more issues than rules";
  Json out = Json::object();
  out["info"] = data::to_json(manifest);
  out["quality"] = data::to_json(q);
  if (!prints_back(out)) return "quality output is not valid UTF-8 JSON that reads back";
  return {};
}

// ---------------------------------------------------------------------------
// Specification

bool finite_json(const Json& j) {
  if (j.is_number_float()) return std::isfinite(j.get<double>());
  if (j.is_structured()) {
    return std::all_of(j.begin(), j.end(), [](const Json& v) { return finite_json(v); });
  }
  return true;
}

// Non-finite floats print as null, which a typed float member refuses: such a
// specification cannot read back, and is not meant to.
bool all_finite(const core::Spec& s) {
  const auto fin = [](double v) { return std::isfinite(v); };
  const auto fin_opt = [](const std::optional<double>& v) { return !v || std::isfinite(*v); };
  bool ok = fin(s.train) && fin(s.validation) && fin(s.time_budget_s) && fin(s.exec.equity0) &&
            fin(s.exec.risk_per_trade) && fin(s.exec.slip_mult) && fin(s.exec.cost_mult) &&
            finite_json(s.context) && finite_json(s.entry);
  if (s.instrument) {
    const core::Market& m = *s.instrument;
    ok = ok && fin(m.tick_size) && fin(m.point_value) && fin(m.commission_per_side) &&
         fin(m.spread_ticks) && fin(m.slippage_ticks);
  }
  for (const core::Profile& p : s.prop_profiles) {
    ok = ok && fin(p.account_size) && fin(p.max_loss) && fin_opt(p.profit_target) &&
         fin_opt(p.daily_loss_limit) && fin_opt(p.trailing_lock_at);
  }
  return ok;
}

}  // namespace

std::string check_csv(Input input) {
  const std::string_view bytes = text_of(input);
  const Loaded whole = data::parse_csv(bytes, kPath, core::max_input_bytes());
  if (!whole.ok() && !documented_csv_error(whole.error(), bytes)) {
    return "undocumented CSV error: " + whole.error();
  }
  if (!same_load(whole, load_in_pieces(bytes, core::max_input_bytes(), 0)) ||
      !same_load(whole, load_in_pieces(bytes, core::max_input_bytes(), bytes.size() + 1))) {
    return "the bytes load differently in pieces";
  }

  // A small bound, varied by the first byte: within it the load is unchanged; past it in
  // bytes or in bars it is "file too large"; a failing load may fail either way.
  const unsigned k = bytes.empty() ? 0 : input[0];
  const std::uint64_t limit =
      bytes.size() + data::kBarBytes * (k % 8) - ((k & 8) && !bytes.empty());
  const Loaded bounded = data::parse_csv(bytes, kPath, limit);
  const bool bounded_too_large = !bounded.ok() && bounded.error() == kTooLarge;
  if (bytes.size() > limit) {
    if (!bounded_too_large) return "input past the byte bound accepted";
  } else if (whole.ok() && whole.value().bars.size() > limit / data::kBarBytes) {
    if (!bounded_too_large) return "bars past the bar bound accepted";
  } else if (whole.ok() ? !same_load(whole, bounded)
                        : !(bounded_too_large || same_load(whole, bounded))) {
    return "a bound changed a load that stays within it";
  }
  if (!whole.ok()) return {};

  const data::LoadedDataset& d = whole.value();
  if (std::string broken = check_manifest(d, bytes); !broken.empty()) return broken;
  return check_audit(d.bars, d.manifest);
}

std::string check_spec(Input input) {
  const std::string_view bytes = text_of(input);
  const std::string text = core::utf8_lossy(bytes);
  if (!valid_utf8(text)) return "lossy decoding left invalid UTF-8";
  if (valid_utf8(bytes) != (text == bytes)) return "lossy decoding changed valid UTF-8";

  const auto parsed = core::parse_spec(text);
  if (!parsed.ok()) {
    return parsed.error().starts_with("invalid spec: ")
               ? std::string()
               : "undocumented spec error: " + parsed.error();
  }
  const Json printed = core::to_json(parsed.value());
  if (!valid_utf8(core::to_pretty(printed)) || !prints_back(printed)) {
    return "printed spec is not valid UTF-8 JSON that reads back";
  }
  if (!all_finite(parsed.value())) return {};
  const auto again = core::parse_spec(core::to_compact(printed));
  if (!again.ok()) return "printed spec does not load: " + again.error();
  if (core::to_json(again.value()) != printed) return "printed spec loads differently";
  return {};
}

std::string check_candidate_id(Input input) {
  const std::string_view text = text_of(input);
  const auto parsed = strategy::parse_id(text);
  if (!parsed.ok()) {
    const std::string& e = parsed.error();
    return e == "bad candidate id" || e == "bad family" ? std::string()
                                                        : "undocumented id error: " + e;
  }
  const strategy::Candidate c = parsed.value();
  if (c.family >= strategy::kFamilies) return "family out of range";
  const std::size_t dims = strategy::dim_count(c.family);
  for (std::size_t d = 0; d < strategy::kMaxDims; ++d) {
    if (d < dims ? c.idx[d] >= strategy::value_count(c.family, d) : c.idx[d] != 0) {
      return "index out of its dimension";
    }
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos || text.size() - dash - 1 > strategy::kMaxDims) {
    return "accepted an identifier without '-' or with too many letters";
  }
  const std::string id = strategy::format_id(c);
  const auto again = strategy::parse_id(id);
  if (!again.ok() || again.value() != c || strategy::format_id(again.value()) != id) {
    return "printed identifier does not read back: " + id;
  }
  for (const float f : strategy::feature_vector(c)) {
    if (!(f >= 0.0f && f <= 1.0f)) return "feature outside [0, 1]";
  }
  if (!prints_back(strategy::candidate_json(c))) return "candidate JSON does not read back";
  return {};
}

}  // namespace varnek::fuzz
