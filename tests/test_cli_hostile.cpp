// Command-line runs on input that never ends or is too large to hold.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "cli_runner.hpp"
#include "core/io.hpp"
#include "core/json.hpp"
#include "fifo_feed.hpp"

using varnek::core::Json;
using varnek::testkit::CliResult;
using varnek::testkit::FifoFeed;
using varnek::testkit::run_binary;
using varnek::testkit::run_varnek;
using varnek::testkit::TempDir;

namespace {

const std::string kExampleCsv = std::string(VARNEK_EXAMPLES) + "/synthetic_h1.csv";

// Endless input is read up to the bound, a few seconds at memory speed; a run that never
// ends is killed (status 137) rather than hanging the suite.
CliResult run_with_patience(const std::string& command, const std::string& path) {
  return run_binary("timeout", {"-s", "KILL", "300", VARNEK_BIN, command, path});
}

void expect_failure(const CliResult& r, const std::string& line) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, line + "\n");
}

// Peak resident memory of the largest finished child process so far, in bytes.
std::uint64_t peak_child_memory() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace

// A character device and a FIFO that never end are read to the bound and refused; the
// bytes are counted, not kept.
TEST(CliHostile, EndlessInputStopsAtTheBound) {
  TempDir dir;
  expect_failure(run_with_patience("quality", "/dev/zero"),
                 "cannot read /dev/zero: file too large");
  {
    FifoFeed zeros(dir.path / "zeros.csv", std::string(1 << 16, '\0'), 0);
    expect_failure(run_with_patience("quality", zeros.str()),
                   "cannot read " + zeros.str() + ": file too large");
  }
  // The research driver reports the same text through its failure events.
  const auto spec = dir.write("spec.json", R"({"data_path": "/dev/zero"})");
  const auto r = run_with_patience("research", spec.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  std::istringstream lines(r.out);
  Json error;
  for (std::string line; std::getline(lines, line);) {
    const Json event = Json::parse(line);
    if (event["t"] == "error") error = event;
  }
  EXPECT_EQ(error["technical"], "cannot read /dev/zero: file too large");
  EXPECT_LT(peak_child_memory(), varnek::core::max_input_bytes() / 2);
}

// A regular file past the bound is refused from its size, before any byte is read (a
// sparse file costs no disk); the research-file loader says so in its own words.
TEST(CliHostile, FilesPastTheBoundAreRefusedUnread) {
  TempDir dir;
  const auto csv = dir.write("huge.csv", "");
  const auto spec = dir.write("huge.json", "");
  std::filesystem::resize_file(csv, varnek::core::max_input_bytes() + 1);
  std::filesystem::resize_file(spec, varnek::core::max_input_bytes() + 1);
  expect_failure(run_varnek({"quality", csv.string()}),
                 "cannot read " + csv.string() + ": file too large");
  expect_failure(run_varnek({"research", spec.string()}),
                 "cannot read spec " + spec.string() + ": file too large");
}

// Within the bound, a FIFO reads exactly like the file it carries.
TEST(CliHostile, AFifoReadsLikeItsFile) {
  TempDir dir;
  FifoFeed fifo(dir.path / "synthetic_h1.csv", varnek::testkit::slurp(kExampleCsv), 1);
  const auto piped = run_varnek({"quality", fifo.str()});
  const auto file = run_varnek({"quality", kExampleCsv});
  ASSERT_EQ(piped.status, 0) << piped.err;
  ASSERT_EQ(file.status, 0) << file.err;
  Json a = Json::parse(piped.out), b = Json::parse(file.out);
  EXPECT_EQ(a["info"]["path"], fifo.str());
  a["info"].erase("path");
  b["info"].erase("path");
  EXPECT_EQ(a, b);
}
