#pragma once
// Runs the built varnek binary and captures its standard output, error and exit status.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace varnek::testkit {

struct CliResult {
  std::string out;
  std::string err;
  int status = -1;
};

inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A scratch directory removed with the object.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnek-cli-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path write(const std::string& name, const std::string& text) const {
    std::ofstream(path / name, std::ios::binary) << text;
    return path / name;
  }
};

// Runs the executable at `bin` with `args`, standard input closed.
inline CliResult run_binary(const std::string& bin, const std::vector<std::string>& args) {
  TempDir dir;
  std::string cmd = shell_quote(bin);
  for (const auto& a : args) cmd.append(" ").append(shell_quote(a));
  const auto out = dir.path / "out", err = dir.path / "err";
  cmd.append(" >").append(shell_quote(out.string()));
  cmd.append(" 2>").append(shell_quote(err.string())).append(" </dev/null");
  const int raw = std::system(cmd.c_str());
  CliResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

inline CliResult run_binary(const std::string& bin, std::initializer_list<std::string> args) {
  return run_binary(bin, std::vector<std::string>(args));
}

inline CliResult run_varnek(std::initializer_list<std::string> args) {
  return run_binary(VARNEK_BIN, args);
}

}  // namespace varnek::testkit
