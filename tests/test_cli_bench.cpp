// `varnek bench` through the built binary: output, progress lines, --out and bad input.
#include <gtest/gtest.h>
#include <tbb/info.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"

using varnek::core::Json;
using varnek::testkit::CliResult;
using varnek::testkit::run_varnek;
using varnek::testkit::slurp;
using varnek::testkit::TempDir;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The progress lines a document implies: each section, scaling row and load row in order.
std::vector<std::string> expected_progress(const Json& doc) {
  std::vector<std::string> lines;
  const char* letters[] = {"A", "B", "C", "D", "E", "F"};
  for (std::size_t i = 0; i < doc["benchmarks"].size(); ++i) {
    lines.push_back(std::string("[bench ") + letters[i] + "] " +
                    varnek::core::to_compact(doc["benchmarks"][i]));
  }
  for (const Json& row : doc["worker_scaling"])
    lines.push_back("[bench scaling] " + varnek::core::to_compact(row));
  for (const Json& row : doc["load_test"])
    lines.push_back("[bench load] " + varnek::core::to_compact(row));
  return lines;
}

struct Case {
  std::string source;
  std::string message;
};

}  // namespace

// One full run (the suite's fixed sizes on a short series); the library tests cover the
// structure in detail.
TEST(CliBench, OutWritesExactlyThePrettyTextWithProgressOnStandardError) {
  TempDir dir;
  const std::string path = dir.write("bench.json", "an older file, replaced\n").string();
  const CliResult r = run_varnek({"bench", "synthetic:+300", "--out", path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string text = slurp(path);
  const Json doc = Json::parse(text);
  EXPECT_EQ(text, varnek::core::to_pretty(doc));  // no trailing line feed
  EXPECT_EQ(lines_of(r.err), expected_progress(doc));

  EXPECT_EQ(doc["dataset"], "synthetic:+300");
  EXPECT_EQ(doc["bars"], 300);
  ASSERT_EQ(doc["benchmarks"].size(), 6u);
  EXPECT_EQ(doc["benchmarks"][0]["latency"]["samples"], 20000);
  EXPECT_EQ(doc["benchmarks"][3]["heap_allocations_per_backtest"], 0.0025);
  EXPECT_EQ(doc["benchmarks"][4]["candidates"], 20000);
  const int workers = tbb::info::default_concurrency();
  EXPECT_EQ(doc["benchmarks"][4]["workers"], workers);
  const Json& scaling = doc["worker_scaling"];
  ASSERT_FALSE(scaling.empty());
  EXPECT_EQ(scaling.front()["workers"], 1);
  EXPECT_EQ(scaling.front()["speedup"], 1.0);
  EXPECT_EQ(scaling.front()["efficiency"], 1.0);
  EXPECT_EQ(scaling.back()["workers"], workers);
  Json sizes = Json::array();
  for (const Json& row : doc["load_test"]) sizes.push_back(row["candidates"]);
  EXPECT_EQ(sizes, Json::parse("[100,1000,10000,100000]"));
}

TEST(CliBench, UnwritableOutFailsWithTheSystemErrorText) {
  TempDir dir;
  // Found before the run: nothing else is printed.
  const Case cases[] = {{dir.path.string(), "Is a directory"},
                        {(dir.path / "none" / "b.json").string(), "No such file or directory"},
                        {"/dev/full", "No space left on device"}};
  for (const Case& c : cases) {
    const CliResult r = run_varnek({"bench", "synthetic:300", "--out", c.source});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.message);
  }
}

TEST(CliBench, BadDataSourcesFailBeforeAnyWork) {
  TempDir dir;
  const auto bad = dir.write("bad.csv", "1599998400,1,2,0.5,1.5\n1599998401,1,x,0.5,1.5\n");
  const std::string missing = (dir.path / "missing.csv").string();
  const Case cases[] = {
      {bad.string(), "line 2: bad number 'x'"},
      {missing, "cannot read " + missing + ": No such file or directory"},
      {"synthetic:2", "bench needs at least 3 bars, the series has 2"},
      {"synthetic:0", "bench needs at least 3 bars, the series has 0"},
  };
  for (const Case& c : cases) {
    const CliResult r = run_varnek({"bench", c.source});
    EXPECT_EQ(r.status, 2) << c.source;
    EXPECT_EQ(r.out, "") << c.source;
    EXPECT_EQ(r.err, c.message + "\n") << c.source;
  }
  // The limit is this machine's memory.
  const CliResult big = run_varnek({"bench", "synthetic:1000000000000"});
  EXPECT_EQ(big.status, 2);
  EXPECT_EQ(big.err.rfind("too many synthetic bars: 1000000000000 (at most ", 0), 0u) << big.err;
  EXPECT_TRUE(big.err.ends_with(" fit in this machine's memory)\n")) << big.err;
}
