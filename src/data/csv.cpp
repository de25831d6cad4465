#include "data/csv.hpp"

#include <fmt/format.h>
#include <string.h>  // memrchr

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "core/io.hpp"
#include "core/sha256.hpp"
#include "core/utf8.hpp"

namespace varnek::data {
namespace {

struct Bar {
  std::int64_t ts = 0;
  double open = 0.0, high = 0.0, low = 0.0, close = 0.0, volume = 0.0;
};

inline unsigned char byte_at(const char* p) {
  return static_cast<unsigned char>(*p);
}
inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
inline bool is_ascii_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length of the Unicode White_Space code point starting at p, or 0. The text is valid
// UTF-8, so a lead byte's continuation bytes are present; the bounds are checked anyway.
std::size_t space_at(const char* p, const char* end) {
  const unsigned char c = byte_at(p);
  if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
  const auto left = static_cast<std::size_t>(end - p);
  if (c == 0xC2) {  // U+0085, U+00A0
    return left >= 2 && (byte_at(p + 1) == 0x85 || byte_at(p + 1) == 0xA0) ? 2 : 0;
  }
  if (left < 3) return 0;
  const unsigned char b1 = byte_at(p + 1), b2 = byte_at(p + 2);
  switch (c) {
    case 0xE1:  // U+1680
      return b1 == 0x9A && b2 == 0x80 ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      }
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:                                  // U+3000
      return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// Length of the White_Space code point ending at end, or 0.
std::size_t space_before(const char* begin, const char* end) {
  const unsigned char c = byte_at(end - 1);
  if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
  const auto n = static_cast<std::size_t>(end - begin);
  if (n >= 2 && byte_at(end - 2) == 0xC2) return space_at(end - 2, end);
  if (n >= 3 && space_at(end - 3, end) == 3) return 3;
  return 0;
}

std::string_view trim(std::string_view s) {
  const char* b = s.data();
  const char* e = b + s.size();
  while (b < e) {
    const std::size_t k = space_at(b, e);
    if (k == 0) break;
    b += k;
  }
  while (e > b) {
    const std::size_t k = space_before(b, e);
    if (k == 0) break;
    e -= k;
  }
  return {b, static_cast<std::size_t>(e - b)};
}

// An optional '+' or '-', one or more decimal digits, nothing else, within range.
bool parse_timestamp(std::string_view s, std::int64_t& out) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') {
    ++b;
    if (b == e || !is_digit(*b)) return false;  // from_chars would accept "+-1"
  }
  const auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e;
}

// For a decimal numeral that from_chars matched but found out of range: true when its
// magnitude is below 1 (an underflow, which rounds to zero), false for an overflow.
bool below_one(const char* p, const char* e) {
  std::int64_t lead = 0;  // decimal exponent of the first significant digit
  bool found = false;
  for (; p < e && is_digit(*p); ++p) {
    if (found) {
      ++lead;
    } else if (*p != '0') {
      found = true;
    }
  }
  if (p < e && *p == '.') {
    ++p;
    std::int64_t zeros = 0;
    for (; p < e && is_digit(*p); ++p) {
      if (!found) {
        if (*p == '0') {
          ++zeros;
        } else {
          found = true;
          lead = -(zeros + 1);
        }
      }
    }
  }
  std::int64_t exponent = 0;
  if (p < e && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    for (; p < e && is_digit(*p); ++p) {
      if (exponent < 1'000'000'000'000'000) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return lead + exponent < 0;
}

// Standard decimal notation with an optional sign, or inf, infinity, nan in any letter
// case. Hexadecimal and "nan(...)" forms are refused. A value too small for a double
// becomes the nearest representable one (zero or subnormal); one too large is refused.
bool parse_number(std::string_view s, double& out) {
  const char* b = s.data();
  const char* e = b + s.size();
  bool negative = false;
  if (b != e && (*b == '+' || *b == '-')) negative = *b++ == '-';
  if (b == e) return false;
  double v = 0.0;
  if (is_digit(*b) || *b == '.') {
    const auto r = std::from_chars(b, e, v, std::chars_format::general);
    if (r.ptr != e) return false;
    if (r.ec == std::errc::result_out_of_range) {
      if (!below_one(b, e)) return false;
      v = 0.0;  // from_chars keeps subnormal results; only a true zero lands here
    } else if (r.ec != std::errc()) {
      return false;
    }
  } else {
    const std::string_view word(b, static_cast<std::size_t>(e - b));
    if (core::equals_ascii_lower(word, "inf") || core::equals_ascii_lower(word, "infinity")) {
      v = std::numeric_limits<double>::infinity();
    } else if (core::equals_ascii_lower(word, "nan")) {
      v = std::numeric_limits<double>::quiet_NaN();
    } else {
      return false;
    }
  }
  out = negative ? -v : v;
  return true;
}

// A field that from_chars reads exactly as the careful path would: a digit, or '-' and
// a digit, so no whitespace, '+', words or a leading point.
inline bool plain_start(const char* p, const char* e) {
  return p < e && (is_digit(*p) || (*p == '-' && p + 1 < e && is_digit(p[1])));
}

// The common line, "ts,o,h,l,c[,v[,...]]" with untouched fields, in one sweep. Returns
// false for anything else, which the careful path then decides.
bool parse_plain(const char* p, const char* e, Bar& bar) {
  if (!plain_start(p, e)) return false;
  const auto rt = std::from_chars(p, e, bar.ts);
  if (rt.ec != std::errc() || rt.ptr == e || *rt.ptr != ',') return false;
  p = rt.ptr + 1;
  double* const prices[4] = {&bar.open, &bar.high, &bar.low, &bar.close};
  for (int k = 0; k < 4; ++k) {
    if (!plain_start(p, e)) return false;
    const auto r = std::from_chars(p, e, *prices[k]);
    if (r.ec != std::errc()) return false;
    p = r.ptr;
    if (k < 3) {
      if (p == e || *p != ',') return false;
      ++p;
    }
  }
  if (p == e) {
    bar.volume = 0.0;
    return true;
  }
  if (*p != ',') return false;
  ++p;
  if (!plain_start(p, e)) return false;
  const auto rv = std::from_chars(p, e, bar.volume);
  return rv.ec == std::errc() && (rv.ptr == e || *rv.ptr == ',');
}

enum class LineKind { kBar, kBlank, kError };

// The reference reading of one data line: blank check, field split, trimmed parses.
LineKind parse_careful(std::string_view line, std::uint64_t n, Bar& bar, std::string& error) {
  if (trim(line).empty()) return LineKind::kBlank;
  std::string_view fields[6];
  std::size_t count = 0;
  std::size_t from = 0;
  while (count < 6) {
    const std::size_t comma = line.find(',', from);
    if (comma == std::string_view::npos) {
      fields[count++] = line.substr(from);
      break;
    }
    fields[count++] = line.substr(from, comma - from);
    from = comma + 1;
  }
  if (count < 5) {
    error = fmt::format("line {}: expected timestamp,open,high,low,close[,volume]", n);
    return LineKind::kError;
  }
  if (!parse_timestamp(trim(fields[0]), bar.ts)) {
    error = fmt::format("line {}: bad timestamp", n);
    return LineKind::kError;
  }
  double* const values[5] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume};
  bar.volume = 0.0;
  for (std::size_t k = 1; k < count; ++k) {
    if (!parse_number(trim(fields[k]), *values[k - 1])) {
      error = fmt::format("line {}: bad number '{}'", n, fields[k]);
      return LineKind::kError;
    }
  }
  return LineKind::kBar;
}

core::Error cannot_read(const std::string& path, std::string_view reason) {
  return core::Error{fmt::format("cannot read {}: {}", path, reason)};
}

// Last path component without its final extension; a leading dot alone is no extension.
std::string file_stem(const std::string& path) {
  return core::utf8_lossy(std::filesystem::path(path).stem().string());
}

std::string expected_fields(std::uint64_t n) {
  return fmt::format("line {}: expected timestamp,open,high,low,close[,volume]", n);
}
std::string bad_timestamp(std::uint64_t n) {
  return fmt::format("line {}: bad timestamp", n);
}

// The columns may grow to max_bars and no further; false when they are there already.
bool make_room(CsvParse& st) {
  BarSeries& bars = st.bars;
  if (bars.size() >= st.max_bars) return false;
  const std::uint64_t want = std::max<std::uint64_t>(2 * bars.size(), 1024);
  bars.reserve(static_cast<std::size_t>(std::min(want, st.max_bars)));
  st.room = static_cast<std::size_t>(std::min<std::uint64_t>(bars.ts.capacity(), st.max_bars));
  return true;
}

// Parses raw bytes that are whole lines: each ends with a line feed, except the input's
// last line, which arrives alone. Line feeds never fall inside a UTF-8 sequence, so
// decoding line by line is decoding the whole input.
void parse_lines(CsvParse& st, std::string_view raw) {
  // Valid bytes, the usual case, are parsed in place; others through a lossy copy.
  std::string decoded;
  std::string_view text = raw;
  if (core::utf8_invalid_at(raw) != std::string_view::npos) {
    decoded = core::utf8_lossy(raw);
    text = decoded;
  }

  BarSeries& bars = st.bars;
  if (bars.ts.capacity() == 0) {  // a typical bar line; the columns grow past it
    bars.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(text.size() / 48 + 1, st.max_bars)));
    st.room = static_cast<std::size_t>(std::min<std::uint64_t>(bars.ts.capacity(), st.max_bars));
  }
  const char* p = text.data();
  const char* const end = p + text.size();
  std::uint64_t line_no = st.lines;
  std::size_t room = st.room;
  Bar bar;
  while (p < end) {
    ++line_no;
    const auto* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = nl != nullptr ? nl : end;
    const char* const next = nl != nullptr ? nl + 1 : end;
    if (nl != nullptr && line_end > p && line_end[-1] == '\r') --line_end;
    const std::string_view line(p, static_cast<std::size_t>(line_end - p));
    p = next;
    if (line_no == 1 && line.starts_with("timestamp")) continue;
    if (!parse_plain(line.data(), line_end, bar)) {
      const LineKind kind = parse_careful(line, line_no, bar, st.error);
      if (kind == LineKind::kBlank) continue;
      if (kind == LineKind::kError) return;
    }
    if (bars.size() == room) {
      if (!make_room(st)) {
        st.too_large = true;
        return;
      }
      room = st.room;
    }
    bars.push(bar.ts, bar.open, bar.high, bar.low, bar.close, bar.volume);
  }
  st.lines = line_no;
}

bool failed(const CsvParse& st) {
  return st.too_large || !st.error.empty();
}

// A byte that cannot stand in a trimmed timestamp (sign, digits) nor in the whitespace
// around it. Bytes above 0x7F may belong to Unicode whitespace and are left undecided.
bool rules_out_timestamp(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x80 && !is_digit(c) && c != '+' && c != '-' && !is_ascii_space(u);
}

// The current line fails whatever its remaining bytes: "bad timestamp" with five fields or
// more, "expected ..." with fewer. `seen` is its part after the first field's start that
// was already read.
void doom_line(CsvParse& st, std::string_view seen) {
  st.line = CsvParse::Line::doomed;
  st.commas = 0;
  for (char c : seen) st.commas += c == ',' ? 1 : 0;
  std::string().swap(st.tail);
  if (st.commas >= 4) st.error = bad_timestamp(st.lines + 1);
}

// Decides the current, incomplete line early where its bytes so far allow it (see CsvParse).
void settle_tail(CsvParse& st) {
  if (st.line != CsvParse::Line::open || st.first_field_ok) return;
  const std::string_view t = st.tail;
  if (st.lines == 0) {  // line 1 may be the header
    if (t.size() < 9) return;
    if (t.starts_with("timestamp")) {
      st.line = CsvParse::Line::header;
      std::string().swap(st.tail);
      return;
    }
  }
  for (std::size_t i = st.tail_scanned; i < t.size(); ++i) {
    if (t[i] == ',') {
      std::int64_t ts = 0;
      if (parse_timestamp(trim(core::utf8_lossy(t.substr(0, i))), ts)) {
        st.first_field_ok = true;
      } else {
        doom_line(st, t.substr(i));
      }
      return;
    }
    if (rules_out_timestamp(t[i])) {
      doom_line(st, t.substr(i));
      return;
    }
  }
  st.tail_scanned = t.size();
}

// A header or doomed line goes on to its line feed: returns what follows it, if anything.
std::string_view finish_dropped_line(CsvParse& st, std::string_view chunk) {
  const auto* nl = static_cast<const char*>(std::memchr(chunk.data(), '\n', chunk.size()));
  const std::size_t len =
      nl != nullptr ? static_cast<std::size_t>(nl - chunk.data()) : chunk.size();
  if (st.line == CsvParse::Line::doomed) {
    const char* p = chunk.data();
    const char* const end = p + len;
    while (st.commas < 4 && p < end) {
      p = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(end - p)));
      if (p == nullptr) break;
      ++st.commas;
      ++p;
    }
    if (st.commas >= 4) {
      st.error = bad_timestamp(st.lines + 1);
    } else if (nl != nullptr) {
      st.error = expected_fields(st.lines + 1);
    }
    return {};
  }
  if (nl == nullptr) return {};
  ++st.lines;
  st.line = CsvParse::Line::open;
  st.tail_scanned = 0;
  st.first_field_ok = false;
  return chunk.substr(len + 1);
}

// Bytes while the current line is open: complete lines are parsed, the rest becomes the tail.
void feed_lines(CsvParse& st, std::string_view chunk) {
  const auto* last = static_cast<const char*>(::memrchr(chunk.data(), '\n', chunk.size()));
  if (last == nullptr) {
    st.tail.append(chunk);
    settle_tail(st);
    return;
  }
  std::size_t from = 0;
  if (!st.tail.empty()) {  // the chunk's first line completes the tail
    from = static_cast<std::size_t>(
               static_cast<const char*>(std::memchr(chunk.data(), '\n', chunk.size())) -
               chunk.data()) +
           1;
    st.tail.append(chunk.substr(0, from));
    parse_lines(st, st.tail);
    if (failed(st)) return;
  }
  const auto upto = static_cast<std::size_t>(last - chunk.data()) + 1;
  if (upto > from) parse_lines(st, chunk.substr(from, upto - from));
  if (failed(st)) return;
  st.tail.assign(chunk.substr(upto));
  st.tail_scanned = 0;
  st.first_field_ok = false;
  settle_tail(st);
}

}  // namespace

CsvParse start_csv(const std::string& path, std::uint64_t limit) {
  CsvParse st;
  st.path = path;
  st.max_bars = limit / kBarBytes;
  return st;
}

bool feed_csv(CsvParse& st, std::string_view chunk) {
  if (failed(st)) return !st.too_large;
  if (st.line != CsvParse::Line::doomed) st.digest.update(chunk);
  if (st.line != CsvParse::Line::open) chunk = finish_dropped_line(st, chunk);
  if (!chunk.empty() && !failed(st)) feed_lines(st, chunk);
  return !st.too_large;
}

core::Result<LoadedDataset> finish_csv(CsvParse& st) {
  if (!failed(st)) {
    if (st.line == CsvParse::Line::doomed) {  // the input's end ends the line
      st.error = expected_fields(st.lines + 1);
    } else if (st.line == CsvParse::Line::open && !st.tail.empty()) {
      parse_lines(st, st.tail);
    }
  }
  if (st.too_large) return cannot_read(st.path, core::kFileTooLarge);
  if (!st.error.empty()) return core::Error{std::move(st.error)};
  BarSeries& bars = st.bars;
  if (bars.size() < 3) return core::Error{"dataset has fewer than 3 bars"};

  LoadedDataset out;
  bars.timeframe_secs = infer_timeframe(bars.ts);
  DatasetManifest& m = out.manifest;
  m.dataset_id = file_stem(st.path);
  m.path = st.path;
  m.sha256 = st.digest.hex();
  m.rows = bars.size();
  m.start = bars.ts.front();
  m.end = bars.ts.back();
  m.timeframe_secs = bars.timeframe_secs;
  m.timezone = "UTC";
  out.bars = std::move(bars);
  return out;
}

core::Result<LoadedDataset> parse_csv(std::string_view bytes, const std::string& path,
                                      std::uint64_t limit) {
  CsvParse st = start_csv(path, limit);
  if (bytes.size() > limit) return cannot_read(path, core::kFileTooLarge);
  feed_csv(st, bytes);
  return finish_csv(st);
}

core::Result<LoadedDataset> load_csv(const std::string& path) {
  return load_csv(path, core::max_input_bytes());
}

core::Result<LoadedDataset> load_csv(const std::string& path, std::uint64_t limit) {
  // open() would silently stop at an embedded NUL and read another file.
  if (path.find('\0') != std::string::npos) return cannot_read(path, std::strerror(EINVAL));
  CsvParse st = start_csv(path, limit);
  auto read =
      core::read_chunks(path, limit, [&st](std::string_view chunk) { return feed_csv(st, chunk); });
  if (!read) return cannot_read(path, read.error());
  return finish_csv(st);
}

std::int64_t infer_timeframe(std::span<const std::int64_t> ts) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::unordered_map<std::int64_t, std::uint64_t> counts;
  // Regular series repeat one difference: count runs and touch the map once per run.
  std::int64_t run_d = 0;
  std::uint64_t run_n = 0;
  for (std::size_t i = 1; i < ts.size(); ++i) {
    if (ts[i] <= ts[i - 1]) continue;
    // Exact in unsigned arithmetic: the difference of two int64 lies in [1, 2^64 - 1].
    const std::uint64_t du =
        static_cast<std::uint64_t>(ts[i]) - static_cast<std::uint64_t>(ts[i - 1]);
    if (du > kMax) continue;
    const auto d = static_cast<std::int64_t>(du);
    if (d == run_d) {
      ++run_n;
      continue;
    }
    if (run_n > 0) counts[run_d] += run_n;
    run_d = d;
    run_n = 1;
  }
  if (run_n > 0) counts[run_d] += run_n;
  if (counts.empty()) return 3600;
  std::int64_t best = 0;
  std::uint64_t best_n = 0;
  for (const auto& [d, c] : counts) {
    if (c > best_n || (c == best_n && d < best)) {
      best = d;
      best_n = c;
    }
  }
  return best;
}

}  // namespace varnek::data
