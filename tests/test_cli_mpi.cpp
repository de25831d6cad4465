// Research runs spread over the processes mpirun starts, against a run in one process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"

using varnek::core::Json;
using varnek::testkit::CliResult;
using varnek::testkit::run_binary;
using varnek::testkit::slurp;
using varnek::testkit::TempDir;

namespace {

const std::string kExamples = VARNEK_EXAMPLES;
const bool kWithMpi = !std::string(VARNEK_MPIEXEC).empty();

std::string spec_text(const std::string& data, const std::string& report, int seed = 7,
                      const std::string& extra = "") {
  return R"({"data_path": ")" + data + R"(", "report_path": ")" + report +
         R"(", "seed": )" + std::to_string(seed) + R"(, "min_trades": 10, )" + extra +
         R"("time_budget_s": 600, "funnel": {"screen": 4000,
         "backtest": 1500, "promote": 150, "walk_forward": 30, "robustness": 4}})";
}

// One application of an MPMD launch: `ranks` processes of `program args`.
struct App {
  int ranks;
  std::vector<std::string> command;
};

// mpirun, bounded: a run that hangs is killed rather than the suite. Four ranks on a
// two-core machine need --oversubscribe; a container's root needs mpirun's consent.
CliResult run_mpi(const std::vector<App>& apps) {
  std::vector<std::string> args{"-s", "KILL", "300", VARNEK_MPIEXEC, "--oversubscribe"};
  if (::geteuid() == 0) args.push_back("--allow-run-as-root");
  for (std::size_t i = 0; i < apps.size(); ++i) {
    if (i > 0) args.push_back(":");
    args.insert(args.end(), {"-n", std::to_string(apps[i].ranks)});
    args.insert(args.end(), apps[i].command.begin(), apps[i].command.end());
  }
  return run_binary("timeout", args);
}

// Whether mpirun can start processes on this machine at all (a sandbox may forbid it);
// empty when it can, else what it said.
std::string launcher_problem() {
  static const std::string problem = [] {
    const CliResult r = run_mpi({{2, {"true"}}});
    return r.status == 0 ? std::string() : "mpirun cannot start processes here: " + r.err;
  }();
  return problem;
}

std::vector<std::string> research(const std::filesystem::path& spec) {
  return {VARNEK_BIN, "research", spec.string()};
}

// What may differ between two runs of one experiment: timings, the clock, the thread count.
void drop_timings(Json& j) {
  if (j.is_array()) {
    for (Json& item : j) drop_timings(item);
    return;
  }
  if (!j.is_object()) return;
  std::vector<std::string> timings;
  for (const auto& [key, value] : j.items()) {
    if (key.ends_with("_per_sec") || key.ends_with("seconds") || key.ends_with("_secs")) {
      timings.push_back(key);
    }
  }
  for (const std::string& key : timings) j.erase(key);
  for (const char* key : {"elapsed", "seq", "workers", "frozen_at", "timestamp", "throughput"}) {
    j.erase(key);
  }
  for (auto& [key, value] : j.items()) drop_timings(value);
}

// The events without the rate-limited progress ones, timings dropped.
Json steady_events(const std::string& out) {
  Json events = Json::array();
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    Json e = Json::parse(line);
    if (e["t"] == "progress") continue;
    drop_timings(e);
    events.push_back(std::move(e));
  }
  return events;
}

Json last_event(const std::string& out, int back = 0) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return Json::parse(lines.at(lines.size() - 1 - back));
}

}  // namespace

// Every rank count gives the report and events of a run in one process; only the
// throughput says how many ranks there were.
TEST(CliMpi, RanksChangeNothingButTheThroughput) {
  if (!kWithMpi) GTEST_SKIP() << "built without MPI";
  if (const std::string problem = launcher_problem(); !problem.empty()) GTEST_SKIP() << problem;
  TempDir dir;
  const auto report = dir.path / "report.json";
  // The surrogate funnel, and the exhaustive lattice of two families.
  for (const std::string extra :
       {"", R"("families": ["donchian_breakout", "rsi_reversion"], "scale": "exhaustive", )"}) {
    const auto spec =
        dir.write("spec.json", spec_text(kExamples + "/bars_h1.csv", report.string(), 7, extra));
    const CliResult alone = run_binary(VARNEK_BIN, {"research", spec.string()});
    ASSERT_EQ(alone.status, 0) << alone.err;
    Json expected = Json::parse(slurp(report));
    if (extra.empty()) {
      ASSERT_FALSE(expected["survivors"].empty());
    } else {
      ASSERT_EQ(expected["funnel"]["backtested"], 16800 + 40000);
    }
    EXPECT_EQ(expected["throughput"]["ranks"], 1);
    drop_timings(expected);
    const Json expected_events = steady_events(alone.out);
    for (const int ranks : {1, 2, 4}) {
      std::filesystem::remove(report);
      const CliResult r = run_mpi({{ranks, research(spec)}});
      ASSERT_EQ(r.status, 0) << ranks << " ranks: " << r.err;
      Json got = Json::parse(slurp(report));
      EXPECT_EQ(got["throughput"]["ranks"], ranks);
      drop_timings(got);
      EXPECT_EQ(got, expected) << ranks << " ranks " << extra;
      EXPECT_EQ(steady_events(r.out), expected_events) << ranks << " ranks " << extra;
    }
  }
}

// A second process that does not share the run's data or settings, or that stops, fails
// the run on rank 0 through its failure events; no report is written.
TEST(CliMpi, AProcessThatCannotTakePartFailsTheRun) {
  if (!kWithMpi) GTEST_SKIP() << "built without MPI";
  if (const std::string problem = launcher_problem(); !problem.empty()) GTEST_SKIP() << problem;
  TempDir dir;
  const auto report = dir.path / "report.json";
  const auto own = dir.write("own.json", spec_text(kExamples + "/bars_h1.csv", report.string()));
  const auto other_data = dir.write(
      "other_data.json", spec_text(kExamples + "/synthetic_h1.csv", report.string()));
  const auto no_data =
      dir.write("no_data.json", spec_text((dir.path / "none.csv").string(), report.string()));
  const auto other_seed =
      dir.write("other_seed.json", spec_text(kExamples + "/bars_h1.csv", report.string(), 8));
  const struct {
    std::vector<std::string> second;
    std::string user_fr;
  } cases[] = {
      {research(other_data), "Les processus MPI ne voient pas les mêmes données."},
      {research(no_data), "Un processus MPI n'a pas pu préparer les données."},
      {research(other_seed), "Les processus MPI n'ont pas la même spécification."},
      {{"sh", "-c", "exit 3"},
       "Un processus MPI s'est arrêté : la recherche distribuée ne peut pas continuer."},
  };
  for (const auto& c : cases) {
    const CliResult r = run_mpi({{1, research(own)}, {1, c.second}});
    EXPECT_NE(r.status, 0) << c.user_fr;
    EXPECT_NE(r.status, 137) << c.user_fr << ": the run hung";
    const Json error = last_event(r.out, 1);
    EXPECT_EQ(error["t"], "error");
    EXPECT_EQ(error["user_fr"], c.user_fr) << error.dump();
    EXPECT_EQ(last_event(r.out)["status"], "failed");
    EXPECT_FALSE(std::filesystem::exists(report)) << c.user_fr;
  }
}

// A build without MPI started as several processes says so instead of running the whole
// experiment in each; one process is a run as always.
TEST(CliMpi, ABuildWithoutMpiRefusesSeveralProcesses) {
  if (kWithMpi) GTEST_SKIP() << "built with MPI";
  TempDir dir;
  const auto report = dir.path / "report.json";
  const auto spec = dir.write("spec.json", spec_text(kExamples + "/bars_h1.csv", report.string()));
  const CliResult several =
      run_binary("env", {"OMPI_COMM_WORLD_SIZE=2", "OMPI_COMM_WORLD_RANK=0", VARNEK_BIN,
                         "research", spec.string()});
  EXPECT_EQ(several.status, 1);
  EXPECT_EQ(last_event(several.out, 1)["user_fr"],
            "Cette version de varnek a été compilée sans MPI : elle ne peut pas répartir la "
            "recherche.");
  EXPECT_FALSE(std::filesystem::exists(report));
  const CliResult one = run_binary("env", {"OMPI_COMM_WORLD_SIZE=1", "OMPI_COMM_WORLD_RANK=0",
                                           VARNEK_BIN, "research", spec.string()});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(std::filesystem::exists(report));
}
