#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "data/csv.hpp"
#include "data/synthetic.hpp"

using namespace varnek;
using convert::Options;
using data::EpochUnit;

namespace {

std::filesystem::path scratch_dir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const auto dir = std::filesystem::temp_directory_path() /
                   ("varnek_test_convert_" + std::to_string(::getpid()) + "_" + info->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::string write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path.string();
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Three bars' prices and volumes, as a data vendor writes them.
constexpr std::array<const char*, 3> kPrices = {
    "4512.25,4515.5,4510,4514.75", "4514.75,4520,4513.25,4519.5", "4519.5,4521.125,4500.0625,4501"};
constexpr std::array<const char*, 3> kVolumes = {"1200", "980", "1500.5"};

// A header, then each time with the three bars' prices and (when given) volumes.
std::string bars_file(const std::string& header, const std::array<std::string, 3>& times,
                      bool volume = true, const std::string& eol = "\n") {
  std::string s = header + eol;
  for (std::size_t i = 0; i < 3; ++i) {
    s += times[i] + "," + kPrices[i] + (volume ? std::string(",") + kVolumes[i] : "") + eol;
  }
  return s;
}

// The same bars in varnek's form with epoch seconds.
std::string epoch_twin(const std::array<std::int64_t, 3>& ts, bool volume) {
  return bars_file(
      volume ? "timestamp,open,high,low,close,volume" : "timestamp,open,high,low,close",
      {std::to_string(ts[0]), std::to_string(ts[1]), std::to_string(ts[2])}, volume);
}

void expect_same_bars(const data::BarSeries& a, const data::BarSeries& b) {
  EXPECT_EQ(a.ts, b.ts);
  EXPECT_EQ(a.open, b.open);
  EXPECT_EQ(a.high, b.high);
  EXPECT_EQ(a.low, b.low);
  EXPECT_EQ(a.close, b.close);
  EXPECT_EQ(a.volume, b.volume);
  EXPECT_EQ(a.timeframe_secs, b.timeframe_secs);
}

data::BarSeries load_or_empty(const std::string& path) {
  auto loaded = data::load_csv(path);
  EXPECT_TRUE(loaded.ok()) << (loaded.ok() ? "" : loaded.error());
  return loaded.ok() ? loaded.value().bars : data::BarSeries{};
}

Options with_unit(EpochUnit unit) {
  Options o;
  o.unit = unit;
  return o;
}

Options with_offset(std::int64_t secs) {
  Options o;
  o.tz_offset_secs = secs;
  return o;
}

constexpr std::array<std::int64_t, 3> kTimes = {1704187815,   // 2024-01-02T09:30:15Z
                                                1709251199,   // 2024-02-29T23:59:59Z
                                                1735603200};  // 2024-12-31T00:00:00Z

}  // namespace

// Every accepted form, converted and loaded by varnek, gives the bars of its epoch twin.
TEST(Convert, AcceptedFormsLoadLikeTheirEpochTwin) {
  struct Case {
    const char* label;
    std::string input;
    Options options;
    std::array<std::int64_t, 3> ts = kTimes;
    bool volume = true;
  };
  const std::string header = "time,open,high,low,close,volume";
  const std::vector<Case> cases = {
      {"varnek's own form", epoch_twin(kTimes, true), {}},
      {"no header, seconds",
       bars_file("", {"1704187815", "1709251199", "1735603200"}).substr(1),
       {}},
      {"any order, capitals, extra column",
       "Adj Close,Volume,Close,TIME,Low,High,Open\n"
       "1,1200,4514.75,1704187815,4510,4515.5,4512.25\n"
       "1,980,4519.5,1709251199,4513.25,4520,4514.75\n"
       "1,1500.5,4501,1735603200,4500.0625,4521.125,4519.5\n",
       {}},
      {"quoted fields, byte-order mark, CRLF",
       "\xEF\xBB\xBF" + bars_file("\"Date\",\"Open\",\"High\",\"Low\",\"Close\",\"Vol\"",
                                  {"\"2024-01-02T09:30:15Z\"", "\"2024-02-29T23:59:59Z\"",
                                   "\"2024-12-31T00:00:00Z\""},
                                  true, "\r\n"),
       {}},
      {"milliseconds",
       bars_file("Timestamp,Open,High,Low,Close,Vol",
                 {"1704187815000", "1709251199000", "1735603200000"}),
       {}},
      {"microseconds",
       bars_file("datetime,open,high,low,close,volume",
                 {"1704187815000000", "1709251199000000", "1735603200000000"}),
       {}},
      {"ISO with a space",
       bars_file(header, {"2024-01-02 09:30:15", "2024-02-29 23:59:59", "2024-12-31 00:00:00"}),
       {}},
      {"ISO with Z",
       bars_file(header, {"2024-01-02T09:30:15Z", "2024-02-29T23:59:59Z", "2024-12-31T00:00:00Z"}),
       {}},
      {"ISO with offsets",
       bars_file(header, {"2024-01-02T10:30:15+01:00", "2024-02-29T18:29:59-05:30",
                          "2024-12-30T19:00:00-05:00"}),
       {}},
      {"zone-less ISO with --tz-offset",
       bars_file(header, {"2024-01-02 04:30:15", "2024-02-29T18:59:59", "2024-12-30 19:00:00"}),
       with_offset(-5 * 3600)},
      {"an explicit zone wins over --tz-offset",
       bars_file(header, {"2024-01-02T09:30:15Z", "2024-02-29T23:59:59+00:00",
                          "2024-12-31T09:00:00+09:00"}),
       with_offset(3600)},
      {"fractions and other offset layouts",
       bars_file(header, {"2024-01-02T09:30:15.000Z", "2024-03-01T00:59:59.000000+0100",
                          "2024-12-31t02:00:00+02"}),
       {}},
      {"minutes without seconds",
       bars_file(header, {"2024-01-02 09:30", "2024-02-29T23:59", "2024-12-31T01:00+01:00"}),
       {},
       {1704187800, 1709251140, 1735603200}},
      {"dates alone are 00:00 UTC, whatever --tz-offset",
       bars_file("Date,Open,High,Low,Close,Volume", {"2024-01-02", "2024-01-03", "2024-01-05"}),
       with_offset(2 * 3600),
       {1704153600, 1704240000, 1704412800}},
      {"no volume column",
       bars_file("date,open,high,low,close",
                 {"2024-01-02T09:30:15Z", "2024-02-29T23:59:59Z", "2024-12-31T00:00:00Z"}, false),
       {},
       kTimes,
       false},
      {"empty volume fields",
       "time,open,high,low,close,volume\n1704187815," + std::string(kPrices[0]) + ",\n1709251199," +
           kPrices[1] + ", \n1735603200," + kPrices[2] + ",\"\"\n",
       {},
       kTimes,
       false},
      {"blank lines and spaces",
       "\n  time , open,high,low,close,volume\n\n 1704187815 ," + std::string(kPrices[0]) +
           ", 1200\n \t\n1709251199," + kPrices[1] + ",980\n1735603200," + kPrices[2] + ",1500.5",
       {}},
  };
  const auto dir = scratch_dir();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto converted = convert::read_bars(c.input, c.options);
    ASSERT_TRUE(converted.ok()) << converted.error();
    const std::string text = convert::write_bars(converted.value());
    const auto twin = load_or_empty(write(dir / "twin.csv", epoch_twin(c.ts, c.volume)));
    expect_same_bars(load_or_empty(write(dir / "converted.csv", text)), twin);
    expect_same_bars(converted.value(), twin);
  }
  std::filesystem::remove_all(dir);
}

// The converted timestamps joined by ",", or the failure text.
std::string seconds_or_error(const core::Result<data::BarSeries>& r) {
  if (!r.ok()) return r.error();
  std::string out;
  for (const std::int64_t t : r.value().ts) {
    if (!out.empty()) out += ',';
    out += std::to_string(t);
  }
  return out;
}

// Epoch integers: the unit by magnitude, or as given; what no unit explains is refused.
TEST(Convert, UnitDetectionAndItsRefusals) {
  const std::string beyond =
      " is too large for epoch seconds, milliseconds or microseconds (expected below 10^17)";
  const std::string one_unit = " (expected one unit throughout; give --unit s, ms or us)";
  struct Case {
    std::vector<std::string> ts;
    Options options;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"-86400", "0", "99999999999"}, {}, "-86400,0,99999999999"},
      {{"100000000000", "1704153600000", "-1000000000000"}, {}, "100000000,1704153600,-1000000000"},
      {{"100000000000000", "99999999999000000", "+1704153600000000"},
       {},
       "100000000,99999999999,1704153600"},
      {{"1704153600000", "1704153600000", "1704157200"},
       {},
       "line 3: timestamp 1704157200 looks like seconds but line 1 looks like milliseconds" +
           one_unit},
      {{"1704153600000", "1704153600000000", "1704153600000"},
       {},
       "line 2: timestamp 1704153600000000 looks like microseconds but line 1 looks like "
       "milliseconds" +
           one_unit},
      {{"1704153600", "100000000000000000", "1704157200"},
       {},
       "line 2: timestamp 100000000000000000" + beyond},
      {{"-9223372036854775808", "1", "2"}, {}, "line 1: timestamp -9223372036854775808" + beyond},
      {{"1704153600000", "1704153600500", "1704153601000"},
       {},
       "line 2: timestamp 1704153600500 is not a whole second in milliseconds (bars open on "
       "whole seconds)"},
      // A given unit overrides the magnitudes.
      {{"1704153000", "1704156000", "1704159000"},
       with_unit(EpochUnit::kMilliseconds),
       "1704153,1704156,1704159"},
      {{"1704153600000", "9223372036854775807", "5"},
       with_unit(EpochUnit::kSeconds),
       "1704153600000,9223372036854775807,5"},
      {{"200000000000000000", "9223372036000000000", "0"},
       with_unit(EpochUnit::kMicroseconds),
       "200000000000,9223372036000,0"},
      {{"1704153600", "1704157200", "1704160801"},
       with_unit(EpochUnit::kMicroseconds),
       "line 1: timestamp 1704153600 is not a whole second in microseconds (bars open on whole "
       "seconds)"},
  };
  for (const Case& c : cases) {
    std::string text;
    for (const std::string& t : c.ts) text += t + ",1,2,0.5,1.5\n";
    SCOPED_TRACE(text);
    EXPECT_EQ(seconds_or_error(convert::read_bars(text, c.options)), c.expected);
  }
}

TEST(Convert, RefusalsNameTheLineAndWhatWasExpected) {
  const std::string stamp =
      "' (expected epoch seconds, milliseconds or microseconds, an ISO-8601 date-time such as "
      "2024-01-02T00:00:00Z, or a date)";
  const std::string columns =
      " column (expected comma-separated columns time, open, high, low, close and optionally "
      "volume, in any order)";
  const std::string no_time =
      "line 1: no time column (expected one named time, date, datetime or timestamp)";
  struct Case {
    std::string input;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"", "no bars found"},
      {"\n \n", "no bars found"},
      {"Date,Open,High,Low,Close\n\n", "no bars found"},
      {"Date,Open,High,Low,Adj Close\n2024-01-02,1,2,0.5,1.5\n", "line 1: no close" + columns},
      {"\n\nOpen,High,Low,Close\n",
       "line 3: no time column (expected one named time, date, "
       "datetime or timestamp)"},
      {"Date;Open;High;Low;Close\n2024-01-02;1;2;0.5;1.5\n", no_time},
      {"Date,Time,Open,High,Low,Close\n", "line 1: two time columns, 'Date' and 'Time'"},
      {"time,open,high,low,close,Vol,volume\n", "line 1: two volume columns, 'Vol' and 'volume'"},
      {"time,open,high,low,close\n2024-01-02,1,2,0.5,1.5\n\n2024-13-01,1,2,0.5,1.5\n",
       "line 4: bad timestamp '2024-13-01" + stamp},
      {"time,open,high,low,close\n 2024-02-30T00:00:00Z ,1,2,0.5,1.5\n",
       "line 2: bad timestamp ' 2024-02-30T00:00:00Z " + stamp},
      {"time,open,high,low,close\n2024-01-02 24:00:00,1,2,0.5,1.5\n",
       "line 2: bad timestamp '2024-01-02 24:00:00" + stamp},
      {"time,open,high,low,close\n2024-01-02T00:00:00.5Z,1,2,0.5,1.5\n",
       "line 2: bad timestamp '2024-01-02T00:00:00.5Z" + stamp},
      {"time,open,high,low,close\n2024-01-02Z,1,2,0.5,1.5\n",
       "line 2: bad timestamp '2024-01-02Z" + stamp},
      {"1704153600.0,1,2,0.5,1.5\n", "line 1: bad timestamp '1704153600.0" + stamp},
      {"time,open,high,low,close\n9223372036854775808,1,2,0.5,1.5\n",
       "line 2: bad timestamp '9223372036854775808" + stamp},
      {"time,open,high,low,close\n1704153600, 1.5x,2,0.5,1.5\n",
       "line 2: bad open ' 1.5x' (expected a decimal number)"},
      {"close,time,low,open,high\n,1704153600,1,1,1\n",
       "line 2: bad close '' (expected a decimal number)"},
      {"1704153600,1,2,0.5,1.5,1e999\n", "line 1: bad volume '1e999' (expected a decimal number)"},
      {"1704153600,1,2,+-1,1.5\n", "line 1: bad low '+-1' (expected a decimal number)"},
      {"time,open,high,low,close\n1704153600,1,2,0.5,1.5\n1704157200,1,2\n",
       "line 3: expected at least 5 comma-separated fields, found 3"},
      {"open,high,low,close,volume,time\n1,2,0.5,1.5,10\n",
       "line 2: expected at least 6 comma-separated fields, found 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const auto r = convert::read_bars(c.input, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(Convert, OptionValues) {
  EXPECT_EQ(convert::parse_unit("ms").value(), EpochUnit::kMilliseconds);
  EXPECT_EQ(convert::parse_unit("us").value(), EpochUnit::kMicroseconds);
  EXPECT_EQ(convert::parse_unit("s").value(), EpochUnit::kSeconds);
  EXPECT_EQ(convert::parse_tz_offset("+01:00").value(), 3600);
  EXPECT_EQ(convert::parse_tz_offset("-05:30").value(), -19800);
  EXPECT_EQ(convert::parse_tz_offset("+00:00").value(), 0);
  for (const char* bad : {"", "sec", "MS", "ns"}) {
    EXPECT_EQ(convert::parse_unit(bad).error(),
              std::string("bad --unit '") + bad + "' (expected s, ms or us)");
  }
  for (const char* bad : {"", "01:00", "+1:00", "+24:00", "+01:60", "+0100", "+01:00 "}) {
    EXPECT_EQ(
        convert::parse_tz_offset(bad).error(),
        std::string("bad --tz-offset '") + bad + "' (expected +HH:MM or -HH:MM, e.g. +01:00)");
  }
}

// A series written out, loaded by varnek and converted again is the same series, and
// the second conversion writes the same bytes.
TEST(Convert, RoundTrip) {
  data::BarSeries awkward;
  awkward.push(-3600, 0.1, 1e22, 5e-324, 1.7976931348623157e308, 0.0);
  awkward.push(0, 123456789.123456789, 2.2250738585072014e-308, -4.5, 1e-7, 1e16);
  awkward.push(99999999999, 1.0 / 3.0, 2.0 / 3.0, 4503599627370497.0, 0.30000000000000004, 7.0);
  const auto dir = scratch_dir();
  for (const data::BarSeries& bars : {data::generate_synthetic(2000, 3), awkward}) {
    const std::string text = convert::write_bars(bars);
    ASSERT_EQ(text.rfind("timestamp,open,high,low,close,volume\n", 0), 0u);
    expect_same_bars(load_or_empty(write(dir / "bars.csv", text)), bars);
    const auto again = convert::read_bars(text, {});
    ASSERT_TRUE(again.ok()) << again.error();
    expect_same_bars(again.value(), bars);
    EXPECT_EQ(convert::write_bars(again.value()), text);
  }
  std::filesystem::remove_all(dir);
}

// A conversion that fails leaves an existing output untouched and no file beside it.
TEST(Convert, NoPartialOutput) {
  const auto dir = scratch_dir();
  std::string lines = "time,open,high,low,close\n";
  for (int i = 0; i < 5000; ++i) lines += std::to_string(1704153600 + i * 60) + ",1,2,0.5,1.5\n";
  const std::string in = write(dir / "in.csv", lines + "2024-01-02T00:00:61Z,1,2,0.5,1.5\n");
  const std::string out = write(dir / "out.csv", "previous\n");
  const auto r = convert::convert_file(in, out, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().rfind("line 5002: bad timestamp '2024-01-02T00:00:61Z' (expected", 0), 0u)
      << r.error();
  EXPECT_EQ(slurp(out), "previous\n");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 2u);

  const std::string missing = (dir / "missing.csv").string();
  EXPECT_EQ(convert::convert_file(missing, out, {}).error(),
            "cannot read " + missing + ": No such file or directory");
  const std::string nowhere = (dir / "no-such-dir" / "out.csv").string();
  EXPECT_EQ(convert::convert_file(in, nowhere, {}).error(), r.error());
  const std::string good = write(dir / "good.csv", lines);
  EXPECT_EQ(convert::convert_file(good, nowhere, {}).error(),
            "cannot write " + nowhere + ": No such file or directory");
  const auto written = convert::convert_file(good, out, {});
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_EQ(written.value(), 5000u);
  EXPECT_EQ(slurp(out).substr(0, 62),
            "timestamp,open,high,low,close,volume\n1704153600,1,2,0.5,1.5,0\n");
  std::filesystem::remove_all(dir);
}
