#include "convert/convert.hpp"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "core/io.hpp"
#include "core/utf8.hpp"
#include "data/csv.hpp"

// Inlined, GCC 12 warns that date.h's fraction-of-second temporary may be uninitialised;
// the library discards that value whenever the read that sets it fails.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <date/date.h>
#pragma GCC diagnostic pop
#else
#include <date/date.h>
#endif

namespace varnek::convert {
namespace {

using data::EpochUnit;

enum Column : std::size_t { kTime, kOpen, kHigh, kLow, kClose, kVolume, kColumns };
constexpr std::array<std::string_view, kColumns> kColumnNames = {"time", "open",  "high",
                                                                 "low",  "close", "volume"};
constexpr std::int64_t kSecondsPerDay = 86400;

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
inline bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool all_digits(std::string_view s) {
  for (const char c : s) {
    if (!is_digit(c)) return false;
  }
  return !s.empty();
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// A field as its value: trimmed, without one pair of enclosing double quotes.
std::string_view unquote(std::string_view s) {
  s = trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = trim(s.substr(1, s.size() - 2));
  return s;
}

std::optional<Column> column_named(std::string_view name) {
  static constexpr std::pair<std::string_view, Column> kAliases[] = {
      {"time", kTime},     {"date", kTime}, {"datetime", kTime}, {"timestamp", kTime},
      {"open", kOpen},     {"high", kHigh}, {"low", kLow},       {"close", kClose},
      {"volume", kVolume}, {"vol", kVolume}};
  for (const auto& [alias, column] : kAliases) {
    if (core::equals_ascii_lower(name, alias)) return column;
  }
  return std::nullopt;
}

int two_digits(const char* p) {
  return (p[0] - '0') * 10 + (p[1] - '0');
}

// Seconds of 00:00 UTC on a proleptic Gregorian date, or nothing for a date that does
// not exist (2023-02-29, month 13).
std::optional<std::int64_t> day_start(int y, int m, int d) {
  const date::year_month_day ymd{date::year{y}, date::month{static_cast<unsigned>(m)},
                                 date::day{static_cast<unsigned>(d)}};
  if (!ymd.ok()) return std::nullopt;
  return std::int64_t{date::sys_days{ymd}.time_since_epoch().count()} * kSecondsPerDay;
}

// The layouts nearly every export writes, read digit by digit: "YYYY-MM-DD" and
// "YYYY-MM-DD[T ]HH:MM:SS" with nothing, "Z" or "+HH:MM" after it. Returns false for
// any other layout, which the library's parser then reads.
bool parse_common_layout(std::string_view s, std::int64_t tz_offset,
                         std::optional<std::int64_t>& out) {
  const char* p = s.data();
  if (s.size() < 10 || p[4] != '-' || p[7] != '-' || !all_digits(s.substr(0, 4)) ||
      !all_digits(s.substr(5, 2)) || !all_digits(s.substr(8, 2))) {
    return false;
  }
  const int year = two_digits(p) * 100 + two_digits(p + 2);
  if (s.size() == 10) {
    out = day_start(year, two_digits(p + 5), two_digits(p + 8));
    return true;
  }
  if (s.size() < 19 || (p[10] != 'T' && p[10] != ' ') || p[13] != ':' || p[16] != ':' ||
      !all_digits(s.substr(11, 2)) || !all_digits(s.substr(14, 2)) ||
      !all_digits(s.substr(17, 2))) {
    return false;
  }
  const std::string_view zone = s.substr(19);
  std::int64_t shift = tz_offset;
  if (zone == "Z") {
    shift = 0;
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' &&
             all_digits(zone.substr(1, 2)) && all_digits(zone.substr(4, 2))) {
    const int zh = two_digits(zone.data() + 1), zm = two_digits(zone.data() + 4);
    if (zh > 23 || zm > 59) {
      out = std::nullopt;
      return true;
    }
    shift = (zone[0] == '-' ? -1 : 1) * (std::int64_t{zh} * 3600 + zm * 60);
  } else if (!zone.empty()) {
    return false;
  }
  const int hour = two_digits(p + 11), minute = two_digits(p + 14), second = two_digits(p + 17);
  const auto day = day_start(year, two_digits(p + 5), two_digits(p + 8));
  if (!day || hour > 23 || minute > 59 || second > 59) {
    out = std::nullopt;
    return true;
  }
  out = *day + hour * 3600 + minute * 60 + second - shift;
  return true;
}

// Every other accepted layout, through date::parse: minutes without seconds, fractions,
// "+HHMM" and "+HH" offsets, a lower-case "t" or "z".
std::optional<std::int64_t> parse_other_layout(std::string_view s, std::int64_t tz_offset) {
  std::string text(s);
  bool utc = false;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    text.pop_back();
    utc = true;
  }
  if (text.size() > 10 && (text[10] == 'T' || text[10] == 't')) text[10] = ' ';
  struct Layout {
    const char* format;
    bool zoned;
    bool has_time;
  };
  static constexpr Layout kLayouts[] = {{"%F %T%Ez", true, true}, {"%F %T%z", true, true},
                                        {"%F %R%Ez", true, true}, {"%F %R%z", true, true},
                                        {"%F %T", false, true},   {"%F %R", false, true},
                                        {"%F", false, false}};
  for (const Layout& layout : kLayouts) {
    if (utc && (layout.zoned || !layout.has_time)) continue;
    std::istringstream in(text);
    date::sys_time<std::chrono::microseconds> tp;
    in >> date::parse(layout.format, tp);
    if (in.fail() || in.peek() != std::istringstream::traits_type::eof()) continue;
    const std::int64_t us = tp.time_since_epoch().count();
    if (us % 1'000'000 != 0) return std::nullopt;
    const std::int64_t secs = us / 1'000'000;
    return layout.has_time && !layout.zoned && !utc ? secs - tz_offset : secs;
  }
  return std::nullopt;
}

// An optional sign and decimal digits, within the signed 64-bit range.
bool parse_epoch(std::string_view s, std::int64_t& out) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  if (b == e || (*b == '-' ? !all_digits({b + 1, e}) : !all_digits({b, e}))) return false;
  const auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e;
}

// Decimal notation with an optional sign, or inf, infinity and nan in any letter case.
bool parse_price(std::string_view s, double& out) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) return false;
  }
  const char* e = s.data() + s.size();
  const auto r = std::from_chars(s.data(), e, out, std::chars_format::general);
  return !s.empty() && r.ec == std::errc() && r.ptr == e;
}

// Which field holds each column.
struct Layout {
  std::array<std::size_t, kColumns> field{};
  bool has_volume = true;
  std::size_t needed = 0;  // fields a data line must have
  std::size_t read = 0;    // fields a data line is split into
};

// No header: varnek's own order, a sixth field (when present) being the volume.
Layout positional_layout() {
  Layout l;
  for (std::size_t c = 0; c < kColumns; ++c) l.field[c] = c;
  l.needed = 5;
  l.read = 6;
  return l;
}

// A header line is one whose first field does not begin like a number or a date.
bool is_header(std::string_view line) {
  const std::string_view first = unquote(line.substr(0, line.find(',')));
  return first.empty() ||
         !(is_digit(first.front()) || first.front() == '+' || first.front() == '-');
}

core::Result<Layout> header_layout(std::string_view line, std::uint64_t n) {
  std::array<std::optional<std::size_t>, kColumns> found;
  std::array<std::string_view, kColumns> names;
  std::size_t index = 0;
  for (std::size_t from = 0;; ++index) {
    const std::size_t comma = line.find(',', from);
    const std::string_view name = unquote(line.substr(from, comma - from));
    if (const auto column = column_named(name)) {
      if (found[*column]) {
        return core::Error{fmt::format("line {}: two {} columns, '{}' and '{}'", n,
                                       kColumnNames[*column], names[*column], name)};
      }
      found[*column] = index;
      names[*column] = name;
    }
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  if (!found[kTime]) {
    return core::Error{fmt::format(
        "line {}: no time column (expected one named time, date, datetime or timestamp)", n)};
  }
  Layout l;
  for (const Column c : {kOpen, kHigh, kLow, kClose}) {
    if (!found[c]) {
      return core::Error{
          fmt::format("line {}: no {} column (expected comma-separated columns time, open, high, "
                      "low, close and optionally volume, in any order)",
                      n, kColumnNames[c])};
    }
  }
  l.has_volume = found[kVolume].has_value();
  for (std::size_t c = 0; c < kColumns; ++c) {
    l.field[c] = found[c].value_or(0);
    if (found[c]) l.needed = std::max(l.needed, *found[c] + 1);
  }
  l.read = l.needed;
  return l;
}

// Up to `limit` fields of the line; returns how many there are (at most `limit`).
std::size_t split_fields(std::string_view line, std::size_t limit,
                         std::vector<std::string_view>& fields) {
  std::size_t count = 0;
  std::size_t from = 0;
  while (count < limit) {
    const std::size_t comma = line.find(',', from);
    fields[count++] = line.substr(from, comma == std::string_view::npos ? comma : comma - from);
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  return count;
}

struct Row {
  std::int64_t ts = 0;
  bool epoch = false;              // ts is an epoch integer in a unit still to be settled
  std::array<double, 5> values{};  // open, high, low, close, volume
};

// One data line into `row`; false with `error` set on the first bad field.
bool parse_row(std::string_view line, std::uint64_t n, const Layout& layout, std::int64_t tz_offset,
               std::vector<std::string_view>& fields, Row& row, std::string& error) {
  const std::size_t count = split_fields(line, layout.read, fields);
  if (count < layout.needed) {
    error = fmt::format("line {}: expected at least {} comma-separated fields, found {}", n,
                        layout.needed, count);
    return false;
  }
  const std::string_view time_field = fields[layout.field[kTime]];
  const std::string_view time = unquote(time_field);
  row.epoch = parse_epoch(time, row.ts);
  if (!row.epoch) {
    const auto secs = parse_iso_time(time, tz_offset);
    if (!secs) {
      error = fmt::format(
          "line {}: bad timestamp '{}' (expected epoch seconds, milliseconds or "
          "microseconds, an ISO-8601 date-time such as 2024-01-02T00:00:00Z, or a date)",
          n, time_field);
      return false;
    }
    row.ts = *secs;
  }
  for (const Column c : {kOpen, kHigh, kLow, kClose, kVolume}) {
    double& value = row.values[c - kOpen];
    value = 0.0;
    if (c == kVolume && (!layout.has_volume || layout.field[kVolume] >= count)) continue;
    const std::string_view raw = fields[layout.field[c]];
    const std::string_view text = unquote(raw);
    if (c == kVolume && text.empty()) continue;
    if (!parse_price(text, value)) {
      error =
          fmt::format("line {}: bad {} '{}' (expected a decimal number)", n, kColumnNames[c], raw);
      return false;
    }
  }
  return true;
}

struct EpochRow {
  std::size_t bar = 0;
  std::uint64_t line = 0;
};

// The unit all epoch integers share: the given one, or the one their magnitudes agree on.
core::Result<EpochUnit> settle_unit(const data::BarSeries& bars, const std::vector<EpochRow>& rows,
                                    std::optional<EpochUnit> given) {
  if (given) return *given;
  EpochUnit first = EpochUnit::kSeconds;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const std::int64_t v = bars.ts[rows[k].bar];
    const EpochUnit unit = data::unit_by_magnitude(v);
    if (unit == EpochUnit::kBeyond) {
      return core::Error{fmt::format(
          "line {}: timestamp {} is too large for epoch seconds, milliseconds or microseconds "
          "(expected below 10^17)",
          rows[k].line, v)};
    }
    if (k == 0) {
      first = unit;
    } else if (unit != first) {
      return core::Error{fmt::format(
          "line {}: timestamp {} looks like {} but line {} looks like {} (expected one unit "
          "throughout; give --unit s, ms or us)",
          rows[k].line, v, data::unit_name(unit), rows[0].line, data::unit_name(first))};
    }
  }
  return first;
}

// Epoch integers to seconds; a value that is not a whole second is refused.
core::Result<bool> scale_to_seconds(data::BarSeries& bars, const std::vector<EpochRow>& rows,
                                    EpochUnit unit) {
  const std::int64_t per_second = unit == EpochUnit::kMilliseconds   ? 1000
                                  : unit == EpochUnit::kMicroseconds ? 1'000'000
                                                                     : 1;
  if (per_second == 1) return true;
  for (const EpochRow& r : rows) {
    std::int64_t& t = bars.ts[r.bar];
    if (t % per_second != 0) {
      return core::Error{fmt::format(
          "line {}: timestamp {} is not a whole second in {} (bars open on whole seconds)", r.line,
          t, data::unit_name(unit))};
    }
    t /= per_second;
  }
  return true;
}

// Lines split at line feeds, a carriage return before one removed, numbered from 1.
class Lines {
 public:
  explicit Lines(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool next(std::string_view& line) {
    if (p_ >= end_) return false;
    ++number_;
    const auto* nl =
        static_cast<const char*>(std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_)));
    const char* line_end = nl != nullptr ? nl : end_;
    const char* next = nl != nullptr ? nl + 1 : end_;
    if (nl != nullptr && line_end > p_ && line_end[-1] == '\r') --line_end;
    line = std::string_view(p_, static_cast<std::size_t>(line_end - p_));
    p_ = next;
    return true;
  }
  std::uint64_t number() const { return number_; }

 private:
  const char* p_;
  const char* end_;
  std::uint64_t number_ = 0;
};

}  // namespace

core::Result<EpochUnit> parse_unit(std::string_view text) {
  for (const EpochUnit u :
       {EpochUnit::kSeconds, EpochUnit::kMilliseconds, EpochUnit::kMicroseconds}) {
    if (text == data::unit_symbol(u)) return u;
  }
  return core::Error{fmt::format("bad --unit '{}' (expected s, ms or us)", text)};
}

core::Result<std::int64_t> parse_tz_offset(std::string_view text) {
  if (text.size() == 6 && (text[0] == '+' || text[0] == '-') && text[3] == ':' &&
      all_digits(text.substr(1, 2)) && all_digits(text.substr(4, 2))) {
    const int h = two_digits(text.data() + 1), m = two_digits(text.data() + 4);
    if (h <= 23 && m <= 59) return (text[0] == '-' ? -1 : 1) * (std::int64_t{h} * 3600 + m * 60);
  }
  return core::Error{
      fmt::format("bad --tz-offset '{}' (expected +HH:MM or -HH:MM, e.g. +01:00)", text)};
}

std::optional<std::int64_t> parse_iso_time(std::string_view text, std::int64_t tz_offset_secs) {
  std::optional<std::int64_t> out;
  if (parse_common_layout(text, tz_offset_secs, out)) return out;
  return parse_other_layout(text, tz_offset_secs);
}

core::Result<data::BarSeries> read_bars(std::string_view text, const Options& options) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a byte-order mark
  Lines lines(text);
  std::string_view line;

  // The first line that is not blank: a header, or already a bar.
  bool pending = false;
  Layout layout;
  while (lines.next(line)) {
    if (trim(line).empty()) continue;
    if (is_header(line)) {
      auto header = header_layout(line, lines.number());
      if (!header) return core::Error{header.error()};
      layout = header.value();
    } else {
      layout = positional_layout();
      pending = true;
    }
    break;
  }

  data::BarSeries bars;
  bars.reserve(text.size() / 48 + 1);
  std::vector<EpochRow> epoch_rows;
  std::vector<std::string_view> fields(layout.read);
  std::string error;
  Row row;
  while (pending || lines.next(line)) {
    pending = false;
    if (trim(line).empty()) continue;
    if (!parse_row(line, lines.number(), layout, options.tz_offset_secs, fields, row, error)) {
      return core::Error{std::move(error)};
    }
    if (row.epoch) epoch_rows.push_back({bars.size(), lines.number()});
    bars.push(row.ts, row.values[0], row.values[1], row.values[2], row.values[3], row.values[4]);
  }
  if (bars.empty()) return core::Error{"no bars found"};

  const auto unit = settle_unit(bars, epoch_rows, options.unit);
  if (!unit) return core::Error{unit.error()};
  const auto scaled = scale_to_seconds(bars, epoch_rows, unit.value());
  if (!scaled) return core::Error{scaled.error()};
  bars.timeframe_secs = data::infer_timeframe(bars.ts);
  return bars;
}

std::string write_bars(const data::BarSeries& bars) {
  std::string out;
  out.reserve(40 + bars.size() * 96);
  out += "timestamp,open,high,low,close,volume\n";
  // 20 characters for an int64, at most 24 for a shortest double, five separators.
  char buf[192];
  char* const end = buf + sizeof buf;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    char* p = std::to_chars(buf, end, bars.ts[i]).ptr;
    for (const double v :
         {bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]}) {
      *p++ = ',';
      p = std::to_chars(p, end, v).ptr;
    }
    *p++ = '\n';
    out.append(buf, static_cast<std::size_t>(p - buf));
  }
  return out;
}

core::Result<std::size_t> write_file(const data::BarSeries& bars, const std::string& out) {
  const auto written = core::replace_file(out, write_bars(bars));
  if (!written) return core::Error{fmt::format("cannot write {}: {}", out, written.error())};
  return bars.size();
}

core::Result<std::size_t> convert_file(const std::string& in, const std::string& out,
                                       const Options& options) {
  const auto raw = core::read_file(in);
  if (!raw) return core::Error{fmt::format("cannot read {}: {}", in, raw.error())};
  auto bars = read_bars(raw.value(), options);
  if (!bars) return core::Error{bars.error()};
  return write_file(bars.value(), out);
}

}  // namespace varnek::convert
