// Report writes: regular files through a temporary and a rename, devices and FIFOs in place,
// symbolic links followed, nothing left behind on failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/io.hpp"

using namespace varnek;
namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path dir;
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "varnek-replace-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
  }
  ~Scratch() { fs::remove_all(dir); }
  std::size_t entries() const { return std::distance(fs::directory_iterator(dir), {}); }
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(ReplaceFile, RegularFilesAndLinks) {
  Scratch s;
  const fs::path file = s.dir / "report.json";
  ASSERT_TRUE(core::probe_writable(file.string()));
  EXPECT_EQ(s.entries(), 0u);  // the probe leaves nothing
  ASSERT_TRUE(core::replace_file(file.string(), "first"));
  ASSERT_TRUE(core::replace_file(file.string(), "second"));
  EXPECT_EQ(slurp(file), "second");

  // A link (even a relative, dangling one) is written through, and stays a link.
  const fs::path link = s.dir / "latest.json";
  fs::create_symlink("target.json", link);
  ASSERT_TRUE(core::replace_file(link.string(), "through"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(s.dir / "target.json"), "through");
  EXPECT_EQ(s.entries(), 3u);

  EXPECT_EQ(core::probe_writable((s.dir / "none" / "r.json").string()).error(),
            "No such file or directory");
  EXPECT_EQ(core::probe_writable(s.dir.string()).error(), "Is a directory");
  fs::create_symlink("loop", s.dir / "loop");
  EXPECT_EQ(core::replace_file((s.dir / "loop").string(), "x").error(),
            "Too many levels of symbolic links");
}

TEST(ReplaceFile, DevicesAndFifosAreWrittenInPlace) {
  ASSERT_TRUE(core::probe_writable("/dev/null"));
  ASSERT_TRUE(core::replace_file("/dev/null", "gone"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_EQ(core::replace_file("/dev/full", "text").error(), "No space left on device");

  Scratch s;
  const fs::path fifo = s.dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Without a reader the open fails at once instead of blocking.
  EXPECT_EQ(core::probe_writable(fifo.string()).error(), "No such device or address");
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(core::replace_file(fifo.string(), "hello"));
  char buf[16] = {};
  EXPECT_EQ(::read(reader, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf), "hello");
  ::close(reader);
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(ReplaceFile, AFailedWriteLeavesNoTemporary) {
  Scratch s;
  const fs::path file = s.dir / "report.json";
  ASSERT_TRUE(core::replace_file(file.string(), "old"));
  // A file-size limit makes the write fail midway, as a full disk would.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto written = core::replace_file(file.string(), std::string(100000, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), "File too large");
  EXPECT_EQ(slurp(file), "old");
  EXPECT_EQ(s.entries(), 1u);
}
