#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "data/csv.hpp"
#include "fifo_feed.hpp"

using namespace varnek;
using varnek::data::load_csv;

namespace {

// Each test writes its files under its own directory in the system temp folder.
class CsvTest : public ::testing::Test {
 protected:
  std::filesystem::path dir;

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = std::filesystem::temp_directory_path() /
          ("varnek_test_data_csv_" + std::to_string(::getpid()) + "_" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir / name).string();
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  data::LoadedDataset load_ok(const std::string& bytes) {
    auto r = load_csv(write("bars.csv", bytes));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? r.value() : data::LoadedDataset{};
  }

  std::string load_error(const std::string& bytes) {
    auto r = load_csv(write("bars.csv", bytes));
    EXPECT_FALSE(r.ok());
    return r.ok() ? std::string("(loaded)") : r.error();
  }
};

const std::string kThree =
    "1600000000,1.5,2,1,1.75,10\n"
    "1600003600,1.75,2.5,1.25,2,20\n"
    "1600007200,2,3,1.5,2.5,30\n";

const std::string kFields = "expected timestamp,open,high,low,close[,volume]";

void expect_same_bars(const data::BarSeries& a, const data::BarSeries& b) {
  EXPECT_EQ(a.ts, b.ts);
  EXPECT_EQ(a.open, b.open);
  EXPECT_EQ(a.high, b.high);
  EXPECT_EQ(a.low, b.low);
  EXPECT_EQ(a.close, b.close);
  EXPECT_EQ(a.volume, b.volume);
  EXPECT_EQ(a.timeframe_secs, b.timeframe_secs);
}

}  // namespace

TEST_F(CsvTest, ReadsColumnsAndManifest) {
  const auto d = load_ok(kThree);
  EXPECT_EQ(d.bars.ts, (std::vector<std::int64_t>{1600000000, 1600003600, 1600007200}));
  EXPECT_EQ(d.bars.open, (std::vector<double>{1.5, 1.75, 2}));
  EXPECT_EQ(d.bars.high, (std::vector<double>{2, 2.5, 3}));
  EXPECT_EQ(d.bars.low, (std::vector<double>{1, 1.25, 1.5}));
  EXPECT_EQ(d.bars.close, (std::vector<double>{1.75, 2, 2.5}));
  EXPECT_EQ(d.bars.volume, (std::vector<double>{10, 20, 30}));
  EXPECT_EQ(d.bars.timeframe_secs, 3600);
  const auto& m = d.manifest;
  EXPECT_EQ(m.dataset_id, "bars");
  EXPECT_EQ(m.path, (dir / "bars.csv").string());
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.start, 1600000000);
  EXPECT_EQ(m.end, 1600007200);
  EXPECT_EQ(m.timeframe_secs, 3600);
  EXPECT_EQ(m.timezone, "UTC");
}

TEST_F(CsvTest, ManifestJsonHasIntegerMembers) {
  data::DatasetManifest m;
  m.dataset_id = "es";
  m.path = "d/es.csv";
  m.sha256 = std::string(64, 'a');
  m.rows = 18446744073709551615ULL;
  m.start = -5;
  m.end = 7;
  m.timeframe_secs = 60;
  EXPECT_EQ(core::to_compact(data::to_json(m)),
            R"({"dataset_id":"es","end":7,"path":"d/es.csv","rows":18446744073709551615,)"
            R"("sha256":")" +
                std::string(64, 'a') + R"(","start":-5,"timeframe_secs":60,"timezone":"UTC"})");
}

TEST_F(CsvTest, HeaderIsOptionalAndOnlyOnLineOne) {
  const auto plain = load_ok(kThree);
  const auto with_header = load_ok("timestamp,open,high,low,close,volume\n" + kThree);
  expect_same_bars(plain.bars, with_header.bars);
  // Any line 1 beginning with the nine bytes counts as the header.
  expect_same_bars(plain.bars, load_ok("timestamps are UTC\n" + kThree).bars);
  EXPECT_EQ(load_error("TIMESTAMP,open,high,low,close\n" + kThree), "line 1: bad timestamp");
  EXPECT_EQ(load_error(" timestamp,open,high,low,close\n" + kThree), "line 1: bad timestamp");
  EXPECT_EQ(load_error("\xEF\xBB\xBFtimestamp,open,high,low,close\n" + kThree),
            "line 1: bad timestamp");
  EXPECT_EQ(load_error(kThree + "timestamp,open,high,low,close\n"), "line 4: bad timestamp");
}

TEST_F(CsvTest, VolumeColumnIsOptional) {
  const auto d = load_ok("1,5,6,4,5\n2,5,6,4,5\n3,5,6,4,5,7,extra,fields\n");
  EXPECT_EQ(d.bars.volume, (std::vector<double>{0.0, 0.0, 7.0}));
  EXPECT_EQ(load_error("1,5,6,4,5,\n2,5,6,4,5\n3,5,6,4,5\n"), "line 1: bad number ''");
}

TEST_F(CsvTest, TooFewFieldsIsReportedBeforeTheTimestamp) {
  EXPECT_EQ(load_error("1,5,6,4,5\nabc,1\n"), "line 2: " + kFields);
  EXPECT_EQ(load_error("1,2,3,4\n"), "line 1: " + kFields);
  EXPECT_EQ(load_error("1,5,6,4,5\n2,5,6,4,5\n3,5,6,4"), "line 3: " + kFields);
}

TEST_F(CsvTest, FieldsAreTrimmedOfUnicodeWhitespace) {
  const auto d = load_ok(
      " 1600000000 ,\t1.5\t, 2 ,1 , 1.75 , 10 \n"
      "\xC2\xA0"
      "1600003600\xE3\x80\x80,\xE2\x80\x83"
      "1.75,2.5\xC2\x85,1.25,2,20\xE2\x80\xA8\n"
      "\xE1\x9A\x80"
      "1600007200,\xE2\x80\xAF"
      "2,3\xE2\x81\x9F,\x0B"
      "1.5\x0C,2.5,30\r\n");
  const auto plain = load_ok(kThree);
  expect_same_bars(plain.bars, d.bars);
  // Zero-width space (U+200B) and the information separator U+001C are not whitespace.
  EXPECT_EQ(load_error("1,\xE2\x80\x8B"
                       "5,6,4,5\n"),
            "line 1: bad number '\xE2\x80\x8B"
            "5'");
  EXPECT_EQ(load_error("\x1C"
                       "1,5,6,4,5\n"),
            "line 1: bad timestamp");
}

TEST_F(CsvTest, BadNumberQuotesTheFieldUntrimmed) {
  EXPECT_EQ(load_error("1600000000, 1.5x,2,1,1.5\n"), "line 1: bad number ' 1.5x'");
  EXPECT_EQ(load_error("1600000000,1,2,1,1.5, 3 4 \n"), "line 1: bad number ' 3 4 '");
  // The first bad field in order is the one reported.
  EXPECT_EQ(load_error("1600000000,1,x,y,1.5\n"), "line 1: bad number 'x'");
}

TEST_F(CsvTest, BlankLinesKeepTheirNumbers) {
  const auto d = load_ok("\n  \n1,5,6,4,5\n\t\r\n2,5,6,4,5\n\xC2\xA0\n3,5,6,4,5\n\n");
  EXPECT_EQ(d.bars.ts, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(load_error("\n  \n1,5,6,4,5\n\t\nx,5,6,4,5\n"), "line 5: bad timestamp");
  EXPECT_EQ(load_error("timestamp\n\n1,5,6,4,5\nz,5,6,4,5"), "line 4: bad timestamp");
}

TEST_F(CsvTest, LineEndings) {
  std::string crlf;
  for (char c : kThree) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const auto lf = load_ok(kThree);
  const auto cr = load_ok(crlf);
  expect_same_bars(lf.bars, cr.bars);
  EXPECT_NE(lf.manifest.sha256, cr.manifest.sha256);
  // A last line without a line feed is a line; a lone CR before the end is whitespace.
  expect_same_bars(lf.bars, load_ok(kThree.substr(0, kThree.size() - 1)).bars);
  expect_same_bars(lf.bars, load_ok(kThree.substr(0, kThree.size() - 1) + "\r").bars);
}

TEST_F(CsvTest, TimestampForms) {
  const std::string rest = ",5,6,4,5\n";
  auto ts_of = [&](const std::string& field) {
    return load_ok(field + rest + "1" + rest + "2" + rest).bars.ts.front();
  };
  EXPECT_EQ(ts_of("+1600000000"), 1600000000);
  EXPECT_EQ(ts_of("-86400"), -86400);
  EXPECT_EQ(ts_of("007"), 7);
  EXPECT_EQ(ts_of("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ts_of("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char* bad : {"1.0", "1e3", "1600000000.", "+-5", "-+5", "++5", "+", "-", "", " ",
                          "0x10", "9223372036854775808", "-9223372036854775809", "1 2", "inf"}) {
    EXPECT_EQ(load_error(std::string(bad) + rest), "line 1: bad timestamp") << bad;
  }
}

TEST_F(CsvTest, NumberForms) {
  auto open_of = [&](const std::string& field) {
    return load_ok("1," + field + ",6,4,5\n2,5,6,4,5\n3,5,6,4,5\n").bars.open.front();
  };
  EXPECT_EQ(open_of("+1.5"), 1.5);
  EXPECT_EQ(open_of("-2"), -2.0);
  EXPECT_EQ(open_of(".5"), 0.5);
  EXPECT_EQ(open_of("5."), 5.0);
  EXPECT_EQ(open_of("1.5E+3"), 1500.0);
  EXPECT_EQ(open_of("25e-1"), 2.5);
  EXPECT_EQ(open_of("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(open_of("0.001e311"), 1e308);
  EXPECT_EQ(open_of("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(open_of("-Infinity"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(open_of("+INF"), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(open_of("NaN")));
  EXPECT_TRUE(std::isnan(open_of("-nan")));
  // Underflow gives the nearest double: zero (keeping the sign) or a subnormal.
  EXPECT_EQ(open_of("4.9e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(open_of("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(open_of("-1e-400")));
  EXPECT_EQ(open_of("0.0001e-321"), 0.0);
  EXPECT_EQ(open_of("0.0"), 0.0);
  for (const char* bad :
       {"1e400",     "-1e400", "1.8e308", "0.01e311", "1000e306", "nan(1)", "nan()", "infinit",
        "infinityy", "0x1p3",  "0x10",    "1e",       "1e+",      ".",      "-",     "+",
        "+-1",       "--1",    "1.2.3",   "1_000",    "one",      "1 5"}) {
    const std::string field = bad;
    EXPECT_EQ(load_error("1," + field + ",6,4,5\n2,5,6,4,5\n3,5,6,4,5\n"),
              "line 1: bad number '" + field + "'");
  }
}

TEST_F(CsvTest, InferTimeframe) {
  using data::infer_timeframe;
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  // Hourly bars across a 49-hour weekend break.
  std::vector<std::int64_t> ts;
  for (int i = 0; i < 20; ++i) ts.push_back(1600000000 + 3600 * i);
  ts.push_back(ts.back() + 49 * 3600);
  for (int i = 0; i < 5; ++i) ts.push_back(ts.back() + 3600);
  EXPECT_EQ(infer_timeframe(ts), 3600);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{5, 5, 5}), 3600);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{}), 3600);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{100, 90, 80}), 3600);
  // Ties go to the smallest difference; zero and negative steps are not counted.
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{0, 120, 180, 180, 100, 100, 160}), 60);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{0, 300, 600, 660, 720, 780}), 60);
  // Exact differences over the whole range; one beyond int64 is no candidate.
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{kMin, kMax}), 3600);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{kMin, 0, kMax}), kMax);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{kMin, -1}), kMax);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{kMax - 2, kMax - 1, kMax}), 1);
  EXPECT_EQ(infer_timeframe(std::vector<std::int64_t>{kMin, kMin + 7, kMin + 14}), 7);
}

TEST_F(CsvTest, KeepsFileOrderAndDuplicates) {
  const auto d = load_ok("500,5,6,4,5\n100,5,6,4,5\n100,5,6,4,5\n900,5,6,4,5\n300,5,6,4,5\n");
  EXPECT_EQ(d.bars.ts, (std::vector<std::int64_t>{500, 100, 100, 900, 300}));
  EXPECT_EQ(d.manifest.start, 500);
  EXPECT_EQ(d.manifest.end, 300);
  EXPECT_EQ(d.manifest.rows, 5u);
  EXPECT_EQ(d.bars.timeframe_secs, 800);  // the only positive step
}

TEST_F(CsvTest, DigestCoversTheRawBytes) {
  // Reference digest of these exact bytes from an independent SHA-256 tool.
  EXPECT_EQ(
      load_ok("timestamp,open,high,low,close\n1,2,3,1,2\n2,2,3,1,2\n3,2,3,1,2\n").manifest.sha256,
      "fd8a24b4ba1c2b435afd457d99e0b04a9ad30544f98bf89d6f83b745275758a2");
  const auto a = load_ok(kThree);
  std::string changed = kThree;
  changed[changed.size() - 2] = '1';  // last volume 30 -> 31
  EXPECT_NE(a.manifest.sha256, load_ok(changed).manifest.sha256);
  // Invalid UTF-8 is hashed as written, before decoding.
  const std::string head = "1,2,3,1,2\n2,2,3,1,2\n3,2,3,1,2,4,";
  EXPECT_NE(load_ok(head + "\xFF\n").manifest.sha256,
            load_ok(head + "\xEF\xBF\xBD\n").manifest.sha256);
}

TEST_F(CsvTest, DatasetIdIsTheFileStem) {
  auto id_of = [&](const std::string& name) {
    auto r = load_csv(write(name, kThree));
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value().manifest.dataset_id : std::string();
  };
  EXPECT_EQ(id_of("es_h1.csv"), "es_h1");
  EXPECT_EQ(id_of("data.tar.gz"), "data.tar");
  EXPECT_EQ(id_of(".hidden"), ".hidden");
  EXPECT_EQ(id_of("noext"), "noext");
  EXPECT_EQ(id_of("bad\xFFname.csv"), "bad\xEF\xBF\xBDname");
}

TEST_F(CsvTest, UnreadableFiles) {
  const std::string missing = (dir / "missing.csv").string();
  EXPECT_EQ(load_csv(missing).error(), "cannot read " + missing + ": No such file or directory");
  EXPECT_EQ(load_csv(dir.string()).error(), "cannot read " + dir.string() + ": Is a directory");
  const std::string nul_path = write("x.csv", kThree) + std::string(1, '\0') + "y";
  EXPECT_EQ(load_csv(nul_path).error(), "cannot read " + nul_path + ": Invalid argument");
}

TEST_F(CsvTest, TooFewBars) {
  const std::string msg = "dataset has fewer than 3 bars";
  EXPECT_EQ(load_error(""), msg);
  EXPECT_EQ(load_error("timestamp,open,high,low,close\n"), msg);
  EXPECT_EQ(load_error("\n\n \n"), msg);
  EXPECT_EQ(load_error("1,5,6,4,5\n2,5,6,4,5\n"), msg);
}

TEST_F(CsvTest, BinaryAndNulBytes) {
  // Invalid UTF-8 is decoded lossily and shown that way.
  EXPECT_EQ(load_error("1600000000,\xFF"
                       "1.5,2,1,1.5\n"),
            "line 1: bad number '\xEF\xBF\xBD"
            "1.5'");
  EXPECT_EQ(load_error(std::string("1600000000,1.5\0,2,1,1.5\n", 25)),
            std::string("line 1: bad number '1.5\0'", 25));
  EXPECT_EQ(load_error(std::string("\0\0\0\0", 4)), "line 1: " + kFields);
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 131 + 17) % 256);
  const std::string e = load_error(noise);
  EXPECT_EQ(e.rfind("line ", 0), 0u) << e;
  // A header line with invalid bytes after its first nine is still the header.
  const auto d = load_ok("timestamp\xFF\xFE\n" + kThree);
  EXPECT_EQ(d.bars.size(), 3u);
}

TEST_F(CsvTest, HugeLines) {
  const std::string ten_mb(10 * 1024 * 1024, '7');
  EXPECT_EQ(load_error(ten_mb + "\n"), "line 1: " + kFields);
  EXPECT_EQ(load_error(ten_mb + ",5,6,4,5\n"), "line 1: bad timestamp");
  // A 10 MB numeral that overflows is refused, and quoted whole.
  const std::string err = load_error("1,5," + ten_mb + ",4,5\n");
  EXPECT_EQ(err, "line 1: bad number '" + ten_mb + "'");
  // One that underflows is zero; one of ordinary magnitude parses.
  const std::string tiny = "0." + std::string(10 * 1024 * 1024, '0') + "1";
  const std::string long_one = "1." + ten_mb;
  const auto d = load_ok("1,5,6," + tiny + ",5\n2,5,6,4,5\n3," + long_one + ",6,4,5\n");
  EXPECT_EQ(d.bars.low.front(), 0.0);
  EXPECT_NEAR(d.bars.open.back(), 1.7777777777777777, 1e-15);
}

// Bytes and bars are both bounded by the limit, on a regular file and on a FIFO alike,
// and passing either bound wins over whatever else the input holds.
TEST_F(CsvTest, InputIsBoundedInBytesAndBars) {
  const std::string padded = kThree + std::string(200, '\n');  // 3 bars, room for 5
  std::string six;
  for (int i = 1; i <= 6; ++i) six += std::to_string(i) + ",1,1,1,1\n";  // 6 bars in 60 bytes
  const std::string bad_then_long = "x\n" + std::string(400, ' ');
  struct Case {
    const std::string* bytes;
    std::uint64_t limit;
    bool too_large;
  };
  const Case cases[] = {
      {&padded, padded.size(), false},
      {&padded, padded.size() - 1, true},                // bytes
      {&six, 6 * data::kBarBytes, false},                // bars
      {&six, 6 * data::kBarBytes - 1, true},             //
      {&bad_then_long, bad_then_long.size() - 1, true},  // beyond a bad line
  };
  for (const bool fifo : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (fifo ? "fifo " : "file ") << c.limit);
      std::string path = (dir / "in.csv").string();
      std::optional<testkit::FifoFeed> feed;
      if (fifo) {
        feed.emplace(dir / "in.csv", *c.bytes, 1);
      } else {
        write("in.csv", *c.bytes);
      }
      const auto r = data::load_csv(path, c.limit);
      if (c.too_large) {
        EXPECT_EQ(r.ok() ? "(loaded)" : r.error(), "cannot read " + path + ": file too large");
      } else {
        EXPECT_TRUE(r.ok()) << r.error();
      }
      feed.reset();
      std::filesystem::remove(path);
    }
  }
  // Input that never ends: NUL bytes (a character device, a FIFO) run into the byte
  // bound; a FIFO of good bars stops at the bar bound without reading further.
  EXPECT_EQ(load_csv("/dev/zero", 8 << 20).error(), "cannot read /dev/zero: file too large");
  for (const std::string& line : {std::string(4096, '\0'), std::string("1,5,6,4,5\n")}) {
    testkit::FifoFeed endless(dir / "endless", line, 0);
    EXPECT_EQ(load_csv(endless.str(), 48 << 20).error(),
              "cannot read " + endless.str() + ": file too large");
  }
}

// Fed in pieces, as a FIFO arrives, the bytes give exactly what they give whole.
TEST_F(CsvTest, ChunkedInputParsesAsAWhole) {
  const auto render = [](core::Result<data::LoadedDataset> r) {
    if (!r.ok()) return r.error();
    const auto& b = r.value().bars;
    return core::to_compact(core::Json{data::to_json(r.value().manifest), b.ts, b.open, b.high,
                                       b.low, b.close, b.volume});
  };
  const std::string inputs[] = {
      kThree,
      "timestamp,open\r\n" + kThree,
      "timestam\n" + kThree,
      kThree + "timestamp\n",
      "\r\n \n\xE3\x80\x80" + kThree.substr(0, 30) + "\xC2\xA0\r\n" + kThree,
      kThree + "7,\xE2\x82,1,1,1\n",
      "\xE2\x80\x83\xFF" + kThree,
      kThree + "x,1,2\n" + kThree,
      kThree + "x,1,2,3,4\n",
      kThree + "1 2,3,4,5,6",
      kThree + "1 2,3,4,5",
      kThree + "+,1",
      kThree + " -5 ,1,2,3",
      kThree + "5\xE2\x80\x8B,1,2,3,4",
      std::string(5000, '\0'),
      kThree + "7,1,2,3,oops\n" + kThree,
      kThree.substr(0, kThree.size() - 1) + "\r",
  };
  for (const std::string& bytes : inputs) {
    SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 120)));
    const std::string whole = render(data::parse_csv(bytes, "a/in.csv", 1 << 20));
    for (const std::size_t piece : {1, 2, 3, 5, 64}) {
      data::CsvParse st = data::start_csv("a/in.csv", 1 << 20);
      for (std::size_t i = 0; i < bytes.size(); i += piece) {
        data::feed_csv(st, std::string_view(bytes).substr(i, piece));
      }
      EXPECT_EQ(render(data::finish_csv(st)), whole) << "pieces of " << piece;
    }
  }
  // A line that already fails is not kept while the rest of it arrives.
  data::CsvParse st = data::start_csv("zero", 1ull << 40);
  const std::string zeros(1 << 20, '\0');
  for (int i = 0; i < 16; ++i) data::feed_csv(st, zeros);
  EXPECT_LT(st.tail.capacity(), zeros.size());
  EXPECT_EQ(data::finish_csv(st).error(), "line 1: " + kFields);
}
