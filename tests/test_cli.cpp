// Command-line tests of the built binary: messages, statuses and outputs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"

using varnek::core::Json;
using varnek::testkit::run_varnek;
using varnek::testkit::TempDir;

namespace {

const std::string kTopUsage =
    "varnek research|backtest|bench|quality|families \xE2\x80\x94 see ostrel/README.md\n";
const std::string kExampleCsv = std::string(VARNEK_EXAMPLES) + "/synthetic_h1.csv";

void expect_failure(const varnek::testkit::CliResult& r, const std::string& line) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, line + "\n");
}

}  // namespace

TEST(CliDispatch, UsageLines) {
  EXPECT_EQ(run_varnek({}).err, kTopUsage);
  EXPECT_EQ(run_varnek({}).status, 2);
  expect_failure(run_varnek({"Research"}), kTopUsage.substr(0, kTopUsage.size() - 1));
  expect_failure(run_varnek({"frobnicate", "x"}), kTopUsage.substr(0, kTopUsage.size() - 1));
  expect_failure(run_varnek({"research"}), "usage: varnek research <spec.json>");
  expect_failure(run_varnek({"backtest"}), "usage: varnek backtest <spec.json> <candidate-id>");
  expect_failure(run_varnek({"bench"}), "usage: varnek bench <data.csv|synthetic:N> [--out file]");
  expect_failure(run_varnek({"quality"}), "usage: varnek quality <data.csv>");
}

TEST(CliFamilies, PrintsTheTablePrettyWhateverFollows) {
  const auto r = run_varnek({"families"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run_varnek({"families", "extra", "args"}).out, r.out);
  const Json table = Json::parse(r.out);
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table[0]["key"], "htf_pullback_breakout");
  EXPECT_EQ(table[2]["key"], "donchian_breakout");
  EXPECT_EQ(table[2]["size"], 7u * 3 * 5 * 5 * 4 * 4 * 2);
  EXPECT_EQ(table[4]["label_fr"], "Smart Money : CHoCH + FVG / order block");
  EXPECT_EQ(table[1]["dims"][0]["name"], "fast");
  EXPECT_EQ(table[1]["dims"][0]["values"], Json::parse("[5.0,8.0,10.0,15.0,20.0,30.0]"));
  // Pretty form: sorted members, two-space indentation, a final line feed.
  EXPECT_EQ(r.out.rfind("[\n  {\n    \"dims\": [\n", 0), 0u);
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out, varnek::core::to_pretty(table) + "\n");
}

TEST(CliQuality, PassingExampleIsCompact) {
  const auto r = run_varnek({"quality", kExampleCsv});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json j = Json::parse(r.out);
  EXPECT_EQ(r.out, varnek::core::to_compact(j) + "\n");
  EXPECT_EQ(j["quality"]["verdict"], "PASS");
  EXPECT_EQ(j["quality"]["rows"], 3000);
  EXPECT_EQ(j["info"]["dataset_id"], "synthetic_h1");
  EXPECT_EQ(j["info"]["timeframe_secs"], 3600);
  EXPECT_EQ(j["info"]["timezone"], "UTC");
  EXPECT_EQ(j["info"]["path"], kExampleCsv);
}

TEST(CliQuality, FailingAuditStillExitsZero) {
  TempDir dir;
  const auto csv = dir.write("tiny.csv", "1,1,2,0.5,1.5\n2,1,2,0.5,1.5\n3,1,2,0.5,1.5\n");
  const auto r = run_varnek({"quality", csv.string()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Json::parse(r.out)["quality"]["verdict"], "FAIL");
}

TEST(CliQuality, LoaderErrors) {
  TempDir dir;
  const std::string missing = (dir.path / "missing.csv").string();
  expect_failure(run_varnek({"quality", missing}),
                 "cannot read " + missing + ": No such file or directory");
  expect_failure(run_varnek({"quality", dir.path.string()}),
                 "cannot read " + dir.path.string() + ": Is a directory");
  const auto bad = dir.write("bad.csv", "timestamp,open\n1,1,2,0.5,1.5\n2,x,2,0.5,1.5\n");
  expect_failure(run_varnek({"quality", bad.string()}), "line 3: bad number 'x'");
  const auto empty = dir.write("empty.csv", "");
  expect_failure(run_varnek({"quality", empty.string()}), "dataset has fewer than 3 bars");
}

TEST(CliBacktest, ArgumentChecksInOrder) {
  TempDir dir;
  const std::string missing = (dir.path / "nope.json").string();
  // The specification is examined before the candidate argument.
  expect_failure(run_varnek({"backtest", missing}),
                 "cannot read spec " + missing + ": No such file or directory");
  const auto bad_json = dir.write("bad.json", "{\"seed\": -1}");
  const auto r = run_varnek({"backtest", bad_json.string(), "0-a"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("invalid spec: ", 0), 0u) << r.err;

  const auto spec = dir.write("spec.json", "{\"data_path\": \"" + kExampleCsv + "\"}");
  expect_failure(run_varnek({"backtest", spec.string()}),
                 "candidate id required (e.g. 0-bcaddaccab)");
  expect_failure(run_varnek({"backtest", spec.string(), "7-a"}), "bad family");
  expect_failure(run_varnek({"backtest", spec.string(), "x-a"}), "bad family");
  expect_failure(run_varnek({"backtest", spec.string(), "0abc"}), "bad candidate id");
  expect_failure(run_varnek({"backtest", spec.string(), "2-aaaaaaa~7"}), "bad candidate id");
  expect_failure(run_varnek({"backtest", spec.string(), "0-bcaddaccab~42"}), "bad candidate id");
  expect_failure(run_varnek({"backtest", spec.string(), ""}), "bad candidate id");

  // Money settings that make every figure meaningless are refused along with the research file.
  const auto poor = dir.write("poor.json", R"({"exec": {"equity0": -5, "risk_per_trade": 0.01,
      "max_bars": 48, "slip_mult": 1, "cost_mult": 1, "delay": 0}})");
  expect_failure(run_varnek({"backtest", poor.string()}),
                 "invalid spec: `equity0` in `exec` must be a positive number, found -5");
  const auto reckless = dir.write("reckless.json", R"({"exec": {"equity0": 1000,
      "risk_per_trade": 0, "max_bars": 48, "slip_mult": 1, "cost_mult": 1, "delay": 0}})");
  expect_failure(run_varnek({"backtest", reckless.string(), "0-a"}),
                 "invalid spec: `risk_per_trade` in `exec` must be above 0 and at most 1, found 0");

  const auto no_data = dir.write("nodata.json", "{\"data_path\": \"" + missing + "\"}");
  expect_failure(run_varnek({"backtest", no_data.string(), "0-a"}),
                 "cannot read " + missing + ": No such file or directory");
}

// The example file's columns, read independently of the loader.
struct ExampleBars {
  std::vector<std::int64_t> ts;
  std::vector<double> open, close;
};

ExampleBars read_example() {
  ExampleBars b;
  std::istringstream in(varnek::testkit::slurp(kExampleCsv));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string f[5];
    for (auto& x : f) std::getline(fields, x, ',');
    b.ts.push_back(std::stoll(f[0]));
    b.open.push_back(std::stod(f[1]));
    b.close.push_back(std::stod(f[4]));
  }
  return b;
}

TEST(CliBacktest, KnownCandidateOnTheExample) {
  TempDir dir;
  const auto spec = dir.write("spec.json", "{\"data_path\": \"" + kExampleCsv + "\"}");
  const auto r = run_varnek({"backtest", spec.string(), "2-cbccabb"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Json j = Json::parse(r.out);
  EXPECT_EQ(r.out, varnek::core::to_pretty(j) + "\n");
  EXPECT_EQ(j["candidate"], "2-cbccabb");
  EXPECT_EQ(j["dataset"]["rows"], 3000);
  EXPECT_EQ(j["params"], Json::parse(R"({"breakout_len":15.0,"htf_filter":1.0,"stop_atr":1.5,)"
                                     R"("rr":2.0,"session":0.0,"hold":24.0,"side":1.0})"));
  const Json& trades = j["trades"];
  const Json& summary = j["summary"];
  EXPECT_EQ(summary.size(), 13u);
  ASSERT_EQ(summary["trades"], trades.size());
  ASSERT_GT(trades.size(), 0u);

  // Each trade follows the MNQ cost model: 0.375 of slippage and half spread per fill,
  // 1.24 of commission per contract, 0.25% of equity at risk.
  const ExampleBars bars = read_example();
  double net_r = 0.0, equity = 50000.0;
  for (const Json& t : trades) {
    const int side = t["side"];
    const auto eb = t["entry_bar"].get<std::size_t>(), xb = t["exit_bar"].get<std::size_t>();
    EXPECT_EQ(t["entry_ts"], bars.ts[eb]);
    EXPECT_EQ(t["exit_ts"], bars.ts[xb]);
    const double entry = t["entry"], exit = t["exit"], stop = t["stop"];
    EXPECT_DOUBLE_EQ(entry, bars.open[eb] + side * 0.375);
    const std::string reason = t["reason"];
    if (reason == "time" || reason == "end_of_data") {
      EXPECT_DOUBLE_EQ(exit, bars.close[xb] - side * 0.375);
    }
    const double stop_dist = side * (entry - stop);
    EXPECT_NEAR(t["target"].get<double>(), entry + side * 2.0 * stop_dist, 1e-9);
    EXPECT_EQ(t["contracts"], static_cast<int>(std::floor(equity * 0.0025 / (stop_dist * 2.0))));
    const double r_expected = side * (exit - entry) / stop_dist - 1.24 / (stop_dist * 2.0);
    EXPECT_NEAR(t["r"].get<double>(), r_expected, 1e-9);
    equity += t["pnl"].get<double>();
    net_r += t["r"].get<double>();
  }
  EXPECT_NEAR(summary["net_r"].get<double>(), net_r, 1e-9);
  EXPECT_NEAR(summary["net_pnl"].get<double>(), equity - 50000.0, 1e-6);
}

TEST(CliBench, OutGivenLastIsAnArgumentError) {
  expect_failure(run_varnek({"bench", "synthetic:500", "--out"}),
                 "usage: varnek bench <data.csv|synthetic:N> [--out file]");
  // Nine bytes without the colon: a file name (none such in the test's directory).
  expect_failure(run_varnek({"bench", "synthetic"}),
                 "cannot read synthetic: No such file or directory");
}

TEST(CliResearch, DriverFailureExitsOneWithEventsOnly) {
  TempDir dir;
  const auto spec = dir.write("spec.json", R"({"synthetic_bars": 3000, "families": ["nope"]})");
  const auto r = run_varnek({"research", spec.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  std::istringstream lines(r.out);
  std::vector<Json> events;
  for (std::string line; std::getline(lines, line);) events.push_back(Json::parse(line));
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front()["seq"], 1);
  EXPECT_EQ(events.end()[-2]["t"], "error");
  EXPECT_EQ(events.back()["status"], "failed");
}

TEST(CliResearch, ClosedPipeEndsWithStatusThree) {
  TempDir dir;
  const auto spec = dir.write("spec.json", R"({"synthetic_bars": 3000})");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // nobody will ever read
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    const std::string path = spec.string();
    ::execl(VARNEK_BIN, VARNEK_BIN, "research", path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(CliResearch, QuickstartReachesTheVerdict) {
  TempDir dir;
  // The bundled example, with its report redirected into the scratch directory.
  Json spec =
      Json::parse(varnek::testkit::slurp(std::string(VARNEK_EXAMPLES) + "/quickstart.json"));
  spec["report_path"] = (dir.path / "report.json").string();
  const auto path = dir.write("quickstart.json", spec.dump());
  const auto r = run_varnek({"research", path.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json report = Json::parse(varnek::testkit::slurp(dir.path / "report.json"));
  EXPECT_GE(report["funnel"]["walk_forward_passed"].get<int>(), 1);
  EXPECT_EQ(report["spec"]["seed"], 42);
  ASSERT_GE(report["survivors"].size(), 1u);
  EXPECT_EQ(report["survivors"][0]["gates"].size(), 7u);
  EXPECT_EQ(report["throughput"]["test_evaluations"], report["survivors"].size());
}

TEST(CliResearch, SpecificationErrors) {
  TempDir dir;
  const std::string missing = (dir.path / "nope.json").string();
  expect_failure(run_varnek({"research", missing}),
                 "cannot read spec " + missing + ": No such file or directory");
  const auto not_object = dir.write("arr.json", "[1, 2]");
  const auto r = run_varnek({"research", not_object.string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("invalid spec: ", 0), 0u) << r.err;
}
