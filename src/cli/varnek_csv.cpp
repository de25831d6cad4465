// varnek-csv: turns bar files from other tools into the form varnek loads, and writes the
// synthetic series a research run generates.
//
// Like varnek, every error a user can cause ends the process with one line on standard
// error and status 2; a failure never leaves a partial output file.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.hpp"
#include "data/synthetic.hpp"

namespace {

using namespace varnek;

constexpr std::string_view kTopUsage =
    "usage: varnek-csv convert|synthetic|--help|--version (see varnek-csv --help)";
constexpr std::string_view kConvertUsage =
    "usage: varnek-csv convert IN.csv OUT.csv [--unit s|ms|us] [--tz-offset \xC2\xB1HH:MM]";
constexpr std::string_view kSyntheticUsage = "usage: varnek-csv synthetic N SEED OUT.csv";

// The research driver refuses more synthetic bars than this; so does this writer.
constexpr std::uint64_t kMaxSyntheticBars = 20'000'000;

constexpr std::string_view kHelp = R"(varnek-csv: bar files in the form varnek loads

  varnek-csv convert IN.csv OUT.csv [--unit s|ms|us] [--tz-offset +HH:MM]
  varnek-csv synthetic N SEED OUT.csv
  varnek-csv --help | --version

convert reads a comma-separated bar file and writes
  timestamp,open,high,low,close,volume
with UTC epoch seconds and prices in shortest round-trip form.

  Header: column names in any letter case and order; time, date, datetime or
  timestamp; open, high, low, close; volume or vol (optional, 0 when missing).
  Other columns are ignored. Without a header the columns are varnek's own:
  timestamp,open,high,low,close[,volume].
  Timestamps: epoch integers in seconds, milliseconds or microseconds (the unit
  is told by magnitude unless --unit gives it: 10^11 to 10^14 milliseconds,
  10^14 to 10^17 microseconds), ISO-8601 date-times (2024-01-02 00:00:00,
  2024-01-02T00:00:00Z, 2024-01-02T01:00:00+01:00) or dates (2024-01-02, a
  daily bar at 00:00 UTC).
  --tz-offset gives the zone of date-times written without one: with -05:00,
  2024-01-02 09:30:00 is 14:30:00 UTC.
  Bars keep the file's order. A line that cannot be read stops the conversion
  with its number, and OUT.csv is left untouched.

synthetic writes the N hourly bars that `varnek research` generates for
"synthetic_bars": N and "seed": SEED, so they can be backtested and inspected.

Errors print one line on standard error and exit with status 2.
)";

[[noreturn]] void fail(std::string_view message) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::exit(2);
}

int print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

// Decimal digits of an unsigned 64-bit value and nothing else.
bool parse_u64(std::string_view s, std::uint64_t& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return !s.empty() && s.front() != '-' && ec == std::errc() && end == s.data() + s.size();
}

int run_convert(const std::vector<std::string>& args) {
  convert::Options options;
  std::vector<std::string> paths;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--unit" || a == "--tz-offset") {
      if (i + 1 >= args.size()) fail(kConvertUsage);
      const std::string& value = args[++i];
      if (a == "--unit") {
        const auto unit = convert::parse_unit(value);
        if (!unit) fail(unit.error());
        options.unit = unit.value();
      } else {
        const auto offset = convert::parse_tz_offset(value);
        if (!offset) fail(offset.error());
        options.tz_offset_secs = offset.value();
      }
    } else if (a.size() > 1 && a.starts_with("--")) {
      fail("unknown option '" + a + "' (see varnek-csv --help)");
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 2) fail(kConvertUsage);
  const auto converted = convert::convert_file(paths[0], paths[1], options);
  if (!converted) fail(converted.error());
  return 0;
}

int run_synthetic(const std::vector<std::string>& args) {
  if (args.size() != 5) fail(kSyntheticUsage);
  std::uint64_t n = 0, seed = 0;
  if (!parse_u64(args[2], n) || n == 0 || n > kMaxSyntheticBars) {
    fail("bad bar count '" + args[2] + "' (expected a whole number from 1 to " +
         std::to_string(kMaxSyntheticBars) + ")");
  }
  if (!parse_u64(args[3], seed)) {
    fail("bad seed '" + args[3] + "' (expected a whole number from 0 to 18446744073709551615)");
  }
  const auto written = convert::write_file(data::generate_synthetic(n, seed), args[4]);
  if (!written) fail(written.error());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) fail(kTopUsage);
  const std::string& command = args[1];
  if (command == "--help" || command == "-h") return print(kHelp);
  if (command == "--version") return print("varnek-csv " VARNEK_VERSION "\n");
  if (command == "convert") return run_convert(args);
  if (command == "synthetic") return run_synthetic(args);
  fail(kTopUsage);
}
