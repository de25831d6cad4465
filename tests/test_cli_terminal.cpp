// The terminal display and the research-file warnings, from the command line: drawn when
// standard error is a terminal, absent when it is a file, never on standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"

using varnek::core::Json;
using varnek::testkit::run_varnek;
using varnek::testkit::slurp;
using varnek::testkit::TempDir;

namespace {

struct PtyRun {
  int status = -1;
  std::string out;       // standard output (a file)
  std::string terminal;  // what standard error's terminal received
};

// Runs varnek with standard error on a pseudo-terminal of `columns` columns and standard
// output to a file.
PtyRun run_on_pty(std::vector<std::string> args, unsigned short columns) {
  TempDir dir;
  const std::string out = (dir.path / "out").string();
  winsize size{};
  size.ws_row = 40;
  size.ws_col = columns;
  int master = -1, slave = -1;
  EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(master);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(slave, 2);
    ::close(slave);
    std::vector<char*> argv{const_cast<char*>(VARNEK_BIN)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(VARNEK_BIN, argv.data());
    ::_exit(127);
  }
  ::close(slave);
  PtyRun r;
  char buf[4096];
  // Read while it runs so that a full terminal buffer never holds it up; EIO once it is gone.
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) {
      r.terminal.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(master);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = slurp(out);
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Standard output is the event stream alone: compact JSON objects, numbered without gaps,
// ending with the complete session. Returns the finalists' identifiers of the gates events.
std::vector<std::string> check_event_stream(const std::string& out) {
  EXPECT_EQ(out.find_first_of("\r\x1b"), std::string::npos);
  std::vector<std::string> gated;
  const std::vector<std::string> lines = lines_of(out);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Json event = Json::parse(lines[i]);
    EXPECT_EQ(varnek::core::to_compact(event), lines[i]);
    EXPECT_EQ(event["seq"], i + 1);
    if (event["t"] == "gates") gated.push_back(event["candidate"]);
  }
  EXPECT_FALSE(lines.empty());
  if (!lines.empty()) {
    EXPECT_EQ(Json::parse(lines.back())["status"], "complete");
  }
  return gated;
}

// A run of a few hundred variants that still leaves finalists; `in_funnel` and `top` add
// members ("" or text starting with ", ").
std::string tiny_spec(const TempDir& dir, const std::string& in_funnel = "",
                      const std::string& top = "") {
  return dir
      .write("spec.json",
             R"({"synthetic_bars": 3000, "seed": 7, "min_trades": 10, "funnel": {"screen": 500,
 "backtest": 300, "promote": 40, "walk_forward": 20, "robustness": 5)" +
                 in_funnel + R"(}, "report_path": ")" + (dir.path / "r.json").string() + "\"" +
                 top + "}")
      .string();
}

TEST(CliTerminal, ResearchDrawsOnATerminalAndLeavesTheEventsAlone) {
  TempDir dir;
  const PtyRun r = run_on_pty({"research", tiny_spec(dir)}, 90);
  ASSERT_EQ(r.status, 0) << r.terminal;
  const std::vector<std::string> gated = check_event_stream(r.out);
  ASSERT_FALSE(gated.empty()) << "the research file should leave finalists to show";

  const std::string& t = r.terminal;
  EXPECT_NE(t.find("\r\x1b[Kbacktest "), std::string::npos) << t;  // the live line
  EXPECT_NE(t.find(" variants in "), std::string::npos) << t;      // its finished line
  EXPECT_NE(t.find("validation: "), std::string::npos) << t;
  // The table lists the gated finalists in their order, then the two paths.
  std::size_t at = t.find("  id  ");
  ASSERT_NE(at, std::string::npos) << t;
  for (const std::string& id : gated) {
    at = t.find("\n  " + id + " ", at);
    EXPECT_NE(at, std::string::npos) << id << " in\n" << t;
  }
  EXPECT_NE(t.find("report: " + (dir.path / "r.json").string() + "\r\n"), std::string::npos);
  EXPECT_NE(t.find("html:   " + (dir.path / "r.html").string() + "\r\n"), std::string::npos);
  // Nothing drawn is wider than the terminal (the paths may be).
  std::istringstream drawn(t);
  for (std::string piece; std::getline(drawn, piece, '\r');) {
    if (piece.rfind("\x1b[K", 0) == 0) piece.erase(0, 3);
    if (piece.rfind("\nreport: ", 0) == 0 || piece.rfind("\nhtml: ", 0) == 0) continue;
    std::size_t columns = 0;
    for (const char c : piece)
      columns += c != '\n' && (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    EXPECT_LE(columns, 90u) << piece;
  }
}

TEST(CliTerminal, BenchDrawsItsSectionsInsteadOfItsProgressLines) {
  TempDir dir;
  const std::string out = (dir.path / "bench.json").string();
  const PtyRun r = run_on_pty({"bench", "synthetic:2000", "--out", out}, 100);
  ASSERT_EQ(r.status, 0) << r.terminal;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.terminal.find("[bench "), std::string::npos) << r.terminal;
  EXPECT_NE(r.terminal.find("\r\x1b[KA \xE2\x80\x94 Random Forest inference: "), std::string::npos)
      << r.terminal;
  EXPECT_NE(r.terminal.find("load: 100,000 candidates in "), std::string::npos) << r.terminal;
  EXPECT_TRUE(Json::parse(slurp(out)).contains("benchmarks"));
}

TEST(CliTerminal, NothingExtraWhenStandardErrorIsAFile) {
  TempDir dir;
  const auto r = run_varnek({"research", tiny_spec(dir)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  check_event_stream(r.out);
}

TEST(CliTerminal, TyposAreNamedOnStandardErrorOnly) {
  TempDir dir;
  const auto clean = run_varnek({"research", tiny_spec(dir)});
  const auto typo =
      run_varnek({"research", tiny_spec(dir, R"(, "promot": 1)", R"(, "familes": ["x"], "exec": {
 "equity0": 50000, "risk_per_trade": 0.0025, "max_bars": 48, "slip_mult": 1, "cost_mult": 1,
 "delay": 0, "slipage": 2})")});
  EXPECT_EQ(typo.status, 0);
  EXPECT_EQ(typo.err,
            "varnek: warning: unknown member `funnel.promot` ignored (did you mean `promote`?)\n"
            "varnek: warning: unknown member `familes` ignored (did you mean `families`?)\n"
            "varnek: warning: unknown member `exec.slipage` ignored\n");
  // The same run as without the typos: only the timings differ.
  const auto kinds = [](const std::string& out) {
    std::string seen;
    for (const std::string& line : lines_of(out)) {
      const Json e = Json::parse(line);
      if (e["t"] != "progress") seen += e["t"].get<std::string>() + " ";
      if (e["t"] == "gates") seen += e["candidate"].get<std::string>() + " ";
    }
    return seen;
  };
  EXPECT_EQ(kinds(typo.out), kinds(clean.out));

  const auto backtest = run_varnek({"backtest", tiny_spec(dir, "", R"(, "sed": 1, "x": {})")});
  EXPECT_EQ(backtest.status, 2);
  EXPECT_EQ(backtest.err,
            "varnek: warning: unknown member `sed` ignored (did you mean `seed`?)\n"
            "varnek: warning: unknown member `x` ignored\n"
            "candidate id required (e.g. 0-bcaddaccab)\n");
}

TEST(CliTerminal, NoWarningForTheBundledSpecifications) {
  for (const char* name : {"quickstart.json", "prop_firm.json", "walkthrough.json"}) {
    const auto r = run_varnek({"backtest", std::string(VARNEK_EXAMPLES) + "/" + name});
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_EQ(r.err, "candidate id required (e.g. 0-bcaddaccab)\n") << name;
  }
}

}  // namespace
