// A faulty environment from the command line: standard output full, closed, or a pipe
// whose reader left; memory exhausted. Each ends with one line and its status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli_runner.hpp"
#include "core/json.hpp"

using varnek::testkit::slurp;
using varnek::testkit::TempDir;

namespace {

enum class Output { full, closed, broken_pipe, file };

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs varnek with standard output as asked, standard error to a file, and optionally an
// address-space limit.
Outcome run(std::vector<std::string> args, Output output, rlim_t address_space = RLIM_INFINITY) {
  TempDir dir;
  const std::string err = (dir.path / "err").string(), out = (dir.path / "out").string();
  int pipe_fds[2] = {-1, -1};
  if (output == Output::broken_pipe) {
    EXPECT_EQ(::pipe(pipe_fds), 0);
    ::close(pipe_fds[0]);  // the reader is gone before anything is written
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(e, 2);
    if (output == Output::full) ::dup2(::open("/dev/full", O_WRONLY), 1);
    if (output == Output::closed) ::close(1);
    if (output == Output::broken_pipe) ::dup2(pipe_fds[1], 1);
    if (output == Output::file) ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT, 0644), 1);
    if (address_space != RLIM_INFINITY) {
      const rlimit limit{address_space, address_space};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv{const_cast<char*>(VARNEK_BIN)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(VARNEK_BIN, argv.data());
    ::_exit(127);
  }
  if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  Outcome r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.err = slurp(err);
  r.out = slurp(out);
  return r;
}

const std::string kExampleCsv = std::string(VARNEK_EXAMPLES) + "/synthetic_h1.csv";

}  // namespace

TEST(CliOutput, ALostResultIsAFailure) {
  TempDir dir;
  const auto spec = dir.write("spec.json", "{\"data_path\": \"" + kExampleCsv + "\"}");
  const std::vector<std::vector<std::string>> commands = {
      {"families"},
      {"quality", kExampleCsv},
      {"backtest", spec.string(), "2-cbccabb"},
      {"bench", "synthetic:300"}};
  const std::pair<Output, std::string> outputs[] = {
      {Output::full, "No space left on device"},
      {Output::closed, "Bad file descriptor"},
      {Output::broken_pipe, "Broken pipe"}};
  for (const auto& command : commands) {
    for (const auto& [output, reason] : outputs) {
      const Outcome r = run(command, output);
      EXPECT_EQ(r.status, 2) << command[0] << " " << reason;
      // bench reports its sections on standard error before the result is printed.
      const std::string last = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
      EXPECT_EQ(command[0] == "bench" ? last : r.err,
                "cannot write standard output: " + reason + "\n")
          << command[0];
    }
  }
}

#ifndef VARNEK_SANITIZE  // the sanitizers reserve more address space than any limit allows
TEST(CliOutput, ExhaustedMemoryEndsWithAMessage) {
  const Outcome bench = run({"bench", "synthetic:3000000"}, Output::file, rlim_t{300} << 20);
  EXPECT_EQ(bench.status, 2);
  EXPECT_EQ(bench.err, "out of memory\n");

  TempDir dir;
  const auto spec = dir.write("big.json", R"({"synthetic_bars": 2000000, "funnel": {"screen": 2000,
      "backtest": 500, "promote": 50, "walk_forward": 10, "robustness": 5}})");
  const Outcome research = run({"research", spec.string()}, Output::file, rlim_t{400} << 20);
  EXPECT_EQ(research.status, 1);
  const std::string last = research.out.substr(research.out.rfind('\n', research.out.size() - 2));
  const std::string error = research.out.substr(0, research.out.size() - last.size());
  const auto error_event = varnek::core::Json::parse(error.substr(error.rfind('\n') + 1));
  EXPECT_EQ(error_event["user_fr"], "Mémoire insuffisante : la recherche a dû s'arrêter.");
  EXPECT_EQ(error_event["technical"], "std::bad_alloc");
  EXPECT_EQ(varnek::core::Json::parse(last)["status"], "failed");
}
#endif
