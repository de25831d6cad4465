#pragma once
// Bar files from other tools turned into the one form varnek loads:
//   timestamp,open,high,low,close,volume
// with epoch seconds (UTC) and prices in shortest round-trip form, so loading the
// written file gives back exactly the doubles that were read.
//
// Input: a header naming the columns (any letter case, any order, unknown columns
// ignored), or no header and varnek's own column order. Timestamps are epoch integers in
// seconds, milliseconds or microseconds, ISO-8601 date-times, or dates alone (00:00 UTC).
// Bars keep the file's order: sorting or deduplicating is left to the quality audit to
// report, as for any file varnek loads.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "data/bars.hpp"
#include "data/epoch_unit.hpp"

namespace varnek::convert {

struct Options {
  // Unit of epoch-integer timestamps; when empty it is detected from their magnitude
  // (see data::unit_by_magnitude), and a file whose values disagree is refused.
  std::optional<data::EpochUnit> unit;
  // Offset from UTC of the local times in date-times written without a zone: UTC is the
  // written time minus this offset ("+01:00" is 3600). Dates alone and epoch integers
  // are UTC already and ignore it.
  std::int64_t tz_offset_secs = 0;
};

// "s", "ms" or "us"; otherwise "bad --unit '{text}' (expected s, ms or us)".
core::Result<data::EpochUnit> parse_unit(std::string_view text);

// "+HH:MM" or "-HH:MM" (hours 00 to 23, minutes 00 to 59) as seconds east of UTC;
// otherwise "bad --tz-offset '{text}' (expected +HH:MM or -HH:MM, e.g. +01:00)".
core::Result<std::int64_t> parse_tz_offset(std::string_view text);

// Seconds since 1970 UTC of an ISO-8601 date-time or date, or nothing. Accepted:
// "YYYY-MM-DD", then optionally "T" or a space and "HH:MM[:SS[.fraction]]", then
// optionally "Z" or an offset "+HH:MM", "+HHMM" or "+HH" (or "-"). A fraction must be
// zero: bars open on whole seconds. A date-time without a zone is shifted by
// tz_offset_secs; a date alone is 00:00 UTC.
std::optional<std::int64_t> parse_iso_time(std::string_view text, std::int64_t tz_offset_secs);

// Reads every bar of a file's bytes, or returns the first failure as
// "line {n}: {what was found and what was expected}" ("no bars found" for a file with
// none). Blank lines are skipped but keep their number; an empty volume field, like a
// missing volume column, is 0. The bar period is inferred as the loader infers it.
core::Result<data::BarSeries> read_bars(std::string_view text, const Options& options);

// The bars in varnek's form: the header line, then one line per bar, each ending in a
// line feed; integers as written by std::to_chars, doubles in shortest round-trip form.
std::string write_bars(const data::BarSeries& bars);

// Reads `in`, converts it and replaces `out` through a temporary file and a rename, so
// a failure never leaves a partial output. Returns the number of bars written, or
// "cannot read {in}: {reason}", a read_bars failure, or "cannot write {out}: {reason}".
core::Result<std::size_t> convert_file(const std::string& in, const std::string& out,
                                       const Options& options);

// Writes `bars` to `out` the same way; failures as "cannot write {out}: {reason}".
core::Result<std::size_t> write_file(const data::BarSeries& bars, const std::string& out);

}  // namespace varnek::convert
