// The varnek-csv converter's command line, varnek's unit warnings, and the bundled
// walkthrough: research on the example bar file, then a backtest of a finalist.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"
#include "core/sha256.hpp"

using varnek::core::Json;
using varnek::testkit::CliResult;
using varnek::testkit::run_binary;
using varnek::testkit::run_varnek;
using varnek::testkit::slurp;
using varnek::testkit::TempDir;

namespace {

const std::string kExamples = VARNEK_EXAMPLES;
const std::string kMsWarning =
    "varnek: warning: timestamps look like milliseconds since 1970; convert with varnek-csv "
    "convert --unit ms\n";
const std::string kUsWarning =
    "varnek: warning: timestamps look like microseconds since 1970; convert with varnek-csv "
    "convert --unit us\n";

CliResult run_csv(std::initializer_list<std::string> args) {
  return run_binary(VARNEK_CSV_BIN, args);
}

// The example file with every timestamp written in a finer unit ("000" per factor 1000).
std::string example_in_finer_unit(const std::string& zeros) {
  std::istringstream in(slurp(kExamples + "/synthetic_h1.csv"));
  std::string out, line;
  std::getline(in, line);
  out += line + "\n";
  while (std::getline(in, line)) out += line.insert(line.find(','), zeros) + "\n";
  return out;
}

}  // namespace

TEST(CliCsv, HelpVersionAndArgumentErrors) {
  const auto help = run_csv({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_NE(help.out.find("varnek-csv convert IN.csv OUT.csv [--unit s|ms|us]"), std::string::npos);
  const auto version = run_csv({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "varnek-csv 0.1.0\n");

  TempDir dir;
  const std::string out = (dir.path / "out.csv").string();
  const std::string in = dir.write("in.csv", "time,open,high,low,close\n").string();
  const std::string top =
      "usage: varnek-csv convert|synthetic|--help|--version (see varnek-csv --help)";
  const std::string convert =
      "usage: varnek-csv convert IN.csv OUT.csv [--unit s|ms|us] [--tz-offset \xC2\xB1HH:MM]";
  const std::string synthetic = "usage: varnek-csv synthetic N SEED OUT.csv";
  struct Case {
    CliResult r;
    std::string err;
  };
  const Case cases[] = {
      {run_csv({}), top},
      {run_csv({"Convert", in, out}), top},
      {run_csv({"convert"}), convert},
      {run_csv({"convert", in}), convert},
      {run_csv({"convert", in, out, "extra"}), convert},
      {run_csv({"convert", in, out, "--unit"}), convert},
      {run_csv({"convert", in, out, "--unit", "sec"}), "bad --unit 'sec' (expected s, ms or us)"},
      {run_csv({"convert", "--tz-offset", "1", in, out}),
       "bad --tz-offset '1' (expected +HH:MM or -HH:MM, e.g. +01:00)"},
      {run_csv({"convert", in, out, "--utc"}), "unknown option '--utc' (see varnek-csv --help)"},
      {run_csv({"convert", in, out}), "no bars found"},
      {run_csv({"synthetic", "10", "1"}), synthetic},
      {run_csv({"synthetic", "0", "1", out}),
       "bad bar count '0' (expected a whole number from 1 to 20000000)"},
      {run_csv({"synthetic", "20000001", "1", out}),
       "bad bar count '20000001' (expected a whole number from 1 to 20000000)"},
      {run_csv({"synthetic", "-5", "1", out}),
       "bad bar count '-5' (expected a whole number from 1 to 20000000)"},
      {run_csv({"synthetic", "10", "18446744073709551616", out}),
       "bad seed '18446744073709551616' (expected a whole number from 0 to "
       "18446744073709551615)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.r.status, 2) << c.err;
    EXPECT_EQ(c.r.out, "");
    EXPECT_EQ(c.r.err, c.err + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

// The bundled files are what the converter writes, and its series is the one research
// generates: the same closes fingerprint the run's synthetic dataset.
TEST(CliCsv, SyntheticIsTheResearchSeries) {
  TempDir dir;
  const std::string small = (dir.path / "small.csv").string();
  const std::string big = (dir.path / "big.csv").string();
  ASSERT_EQ(run_csv({"synthetic", "3000", "7", small}).status, 0);
  ASSERT_EQ(run_csv({"synthetic", "30000", "7", big}).status, 0);
  EXPECT_TRUE(slurp(small) == slurp(kExamples + "/synthetic_h1.csv"));
  EXPECT_TRUE(slurp(big) == slurp(kExamples + "/bars_h1.csv"));

  std::istringstream lines(slurp(small));
  std::string line, closes;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::string f[5];
    std::istringstream fields(line);
    for (auto& x : f) std::getline(fields, x, ',');
    char four[64];
    std::snprintf(four, sizeof four, "%.4f", std::stod(f[4]));
    if (!closes.empty()) closes += ',';
    closes += four;
  }
  const auto spec = dir.write(
      "spec.json",
      R"({"synthetic_bars": 3000, "seed": 7, "funnel": {"screen": 500, "backtest": 100}, "report_path": ")" +
          (dir.path / "report.json").string() + "\"}");
  const auto r = run_varnek({"research", spec.string()});
  std::istringstream events(r.out);
  std::string sha;
  for (std::string e; std::getline(events, e);) {
    const Json j = Json::parse(e);
    if (j["t"] == "dataset") sha = j["info"]["sha256"];
  }
  EXPECT_EQ(sha, varnek::core::sha256_hex(closes));
}

// A converted file is exactly varnek's form; a refused one leaves no output at all.
TEST(CliCsv, ConvertWritesWhatVarnekLoads) {
  TempDir dir;
  const auto in = dir.write("in.csv",
                            "Date,Open,High,Low,Close,Volume\n"
                            "2024-01-02T00:00:00Z,4512.25,4515.5,4510,4514.75,1200\n"
                            "2024-01-02T01:00:00Z,4514.75,4520,4513.25,4519.5,980\n"
                            "2024-01-02 03:00:00+01:00,4519.5,4521.125,4500.0625,4501,1500.5\n");
  const std::string out = (dir.path / "out.csv").string();
  const auto r = run_csv({"convert", in.string(), out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(slurp(out),
            "timestamp,open,high,low,close,volume\n"
            "1704153600,4512.25,4515.5,4510,4514.75,1200\n"
            "1704157200,4514.75,4520,4513.25,4519.5,980\n"
            "1704160800,4519.5,4521.125,4500.0625,4501,1500.5\n");
  const auto q = run_varnek({"quality", out});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.err, "");
  EXPECT_EQ(Json::parse(q.out)["info"]["rows"], 3);

  const auto bad = dir.write("bad.csv",
                             "time,open,high,low,close\n2024-01-02,1,2,0.5,1.5\n"
                             "2024-01-03,1,2,0.5,1.5\n2024-01-32,1,2,0.5,1.5\n");
  const std::string never = (dir.path / "never.csv").string();
  const auto refused = run_csv({"convert", bad.string(), never});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "line 4: bad timestamp '2024-01-32' (expected epoch seconds, milliseconds or "
            "microseconds, an ISO-8601 date-time such as 2024-01-02T00:00:00Z, or a date)\n");
  EXPECT_FALSE(std::filesystem::exists(never));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3);
}

// Millisecond and microsecond files warn once on standard error, successes only; the
// converter then gives back the file in seconds byte for byte.
TEST(CliCsv, UnitWarnings) {
  TempDir dir;
  const auto ms = dir.write("ms.csv", example_in_finer_unit("000"));
  const auto us = dir.write("us.csv", example_in_finer_unit("000000"));
  const auto two = dir.write("two.csv", "1704153600000,1,2,0.5,1.5\n1704157200000,1,2,0.5,1.5\n");
  const auto ms_spec = dir.write("ms.json", R"({"data_path": ")" + ms.string() + "\"}");

  const auto q_ms = run_varnek({"quality", ms.string()});
  EXPECT_EQ(q_ms.status, 0);
  EXPECT_EQ(q_ms.err, kMsWarning);
  EXPECT_EQ(Json::parse(q_ms.out)["info"]["timeframe_secs"], 3600000);
  EXPECT_EQ(run_varnek({"quality", us.string()}).err, kUsWarning);
  EXPECT_EQ(run_varnek({"quality", kExamples + "/synthetic_h1.csv"}).err, "");

  const auto bt = run_varnek({"backtest", ms_spec.string(), "2-cbccabb"});
  EXPECT_EQ(bt.status, 0);
  EXPECT_EQ(bt.err, kMsWarning);
  EXPECT_EQ(Json::parse(bt.out)["candidate"], "2-cbccabb");

  // research warns too, and its run goes on (the quality gate then judges the bars).
  const auto rs = run_varnek({"research", ms_spec.string()});
  EXPECT_EQ(rs.err, kMsWarning);
  EXPECT_NE(rs.out.find("\"t\":\"dataset\""), std::string::npos);

  // Failures keep their one line.
  const auto bad_id = run_varnek({"backtest", ms_spec.string(), "0abc"});
  EXPECT_EQ(bad_id.status, 2);
  EXPECT_EQ(bad_id.err, "bad candidate id\n");
  const auto few = run_varnek({"quality", two.string()});
  EXPECT_EQ(few.status, 2);
  EXPECT_EQ(few.err, "dataset has fewer than 3 bars\n");

  const std::string seconds = (dir.path / "seconds.csv").string();
  ASSERT_EQ(run_csv({"convert", ms.string(), seconds}).status, 0);
  EXPECT_TRUE(slurp(seconds) == slurp(kExamples + "/synthetic_h1.csv"));
  const std::string from_us = (dir.path / "from_us.csv").string();
  ASSERT_EQ(run_csv({"convert", us.string(), from_us, "--unit", "us"}).status, 0);
  EXPECT_TRUE(slurp(from_us) == slurp(kExamples + "/synthetic_h1.csv"));
}

// The README's walkthrough: research on the bundled bars, take the first finalist from the
// report, backtest it over the whole file.
TEST(CliWalkthrough, ResearchThenBacktestAFinalist) {
  TempDir dir;
  Json spec = Json::parse(slurp(kExamples + "/walkthrough.json"));
  ASSERT_EQ(spec["data_path"], "examples/bars_h1.csv");
  spec["data_path"] = kExamples + "/bars_h1.csv";
  spec["report_path"] = (dir.path / "report.json").string();
  const auto path = dir.write("walkthrough.json", spec.dump());

  const auto research = run_varnek({"research", path.string()});
  ASSERT_EQ(research.status, 0) << research.err;
  EXPECT_EQ(research.err, "");
  const Json report = Json::parse(slurp(dir.path / "report.json"));
  ASSERT_GE(report["survivors"].size(), 1u);
  const Json& finalist = report["survivors"][0];
  const std::string id = finalist["candidate"]["id"];

  const auto backtest = run_varnek({"backtest", path.string(), id});
  ASSERT_EQ(backtest.status, 0) << backtest.err;
  EXPECT_EQ(backtest.err, "");
  const Json run = Json::parse(backtest.out);
  EXPECT_EQ(run["candidate"], id);
  EXPECT_EQ(run["params"], finalist["candidate"]["params"]);
  EXPECT_EQ(run["dataset"]["sha256"], report["data"]["info"]["sha256"]);
  EXPECT_EQ(run["dataset"]["rows"], 30000);
  ASSERT_GT(run["trades"].size(), 0u);
  EXPECT_EQ(run["summary"]["trades"], run["trades"].size());
  if (finalist.contains("all")) {  // the finalist's own run over all bars
    EXPECT_EQ(run["summary"]["trades"], finalist["all"]["trades"]);
    EXPECT_NEAR(run["summary"]["net_r"].get<double>(), finalist["all"]["net_r"].get<double>(),
                1e-9);
  }
}
