#pragma once
// CSV bar files: timestamp,open,high,low,close[,volume], one bar per line.
//
// The loader is literal: bars stay in file order, unsorted and undeduplicated, so the
// quality audit sees every defect; the manifest's digest covers the exact file bytes.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/sha256.hpp"
#include "data/bars.hpp"

namespace varnek::data {

// Loads every bar of the file, or returns the first failure, one of:
//   "cannot read {path}: {OS error text}"
//   "cannot read {path}: file too large"
//   "line {n}: expected timestamp,open,high,low,close[,volume]"
//   "line {n}: bad timestamp"
//   "line {n}: bad number '{field as written, untrimmed}'"
//   "dataset has fewer than 3 bars"
// Line 1 is a header only when it begins with the nine bytes "timestamp". Fields are
// trimmed of Unicode whitespace; blank lines are skipped but keep their line number.
//
// The input is bounded by `limit` (core::max_input_bytes() when not given) twice over: at
// most that many bytes are read (a larger regular file fails before it is read, a FIFO or
// a device once past it), and the bars may take at most that much memory (kBarBytes each),
// since short lines make more bytes of columns than of text. Passing either bound is "file
// too large", whatever else the input holds. A regular file is read whole and parsed in
// place; anything else is parsed as it arrives (see CsvParse), so /dev/zero costs time up
// to the bound but no memory.
core::Result<LoadedDataset> load_csv(const std::string& path);
core::Result<LoadedDataset> load_csv(const std::string& path, std::uint64_t limit);

// The loader's work on bytes already in memory, as if they were the file at `path`.
core::Result<LoadedDataset> parse_csv(std::string_view bytes, const std::string& path,
                                      std::uint64_t limit);

// Memory of one bar in the columns: the timestamp and five prices and volume.
inline constexpr std::uint64_t kBarBytes = sizeof(std::int64_t) + 5 * sizeof(double);

// A load in progress, fed the input's bytes in order in chunks of any size. Each complete
// line is parsed as soon as its line feed arrives, so the parse holds its bars and the
// current line, not the bytes behind them. The current line is let go early once its fate
// cannot change: a header line is dropped up to its line feed, and a line whose first
// field already rules out a timestamp (a byte no timestamp has, or a complete first field
// that is not one) fails whatever follows, its message waiting only for its field count.
// After a failure later bytes are still taken, to find out whether the input passes the
// byte bound, but not kept. The fields are the parser's own; use the functions below.
struct CsvParse {
  enum class Line : std::uint8_t { open, header, doomed };
  std::string path;
  std::uint64_t max_bars = 0;
  BarSeries bars;
  std::size_t room = 0;  // bars that fit before the columns must grow or the bound is hit
  core::Sha256Stream digest;
  std::uint64_t lines = 0;  // complete lines parsed or skipped
  std::string tail;         // bytes of the current line so far (after the last line feed)
  Line line = Line::open;
  std::size_t tail_scanned = 0;  // bytes of the tail's first field examined
  bool first_field_ok = false;   // the tail's first field is complete and a timestamp
  unsigned commas = 0;           // in a doomed line, counted up to 4
  std::string error;             // the failure once there is one
  bool too_large = false;        // the bars passed their bound: no further byte matters
};

CsvParse start_csv(const std::string& path, std::uint64_t limit);
// Takes the next bytes; false once the outcome no longer depends on any byte to come.
bool feed_csv(CsvParse& parse, std::string_view chunk);
// The input has ended: the last line (without a line feed) is parsed and the result built.
core::Result<LoadedDataset> finish_csv(CsvParse& parse);

// The bar period: the positive neighbouring difference ts[i] - ts[i-1] that occurs most
// often, the smallest of them on a tie; 3600 when no positive difference exists.
// Differences are taken exactly; one too large for a signed 64-bit period (possible only
// between timestamps of opposite sign near the ends of the range) is not a candidate.
std::int64_t infer_timeframe(std::span<const std::int64_t> ts);

}  // namespace varnek::data
