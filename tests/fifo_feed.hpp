#pragma once
// A FIFO with a child process writing into it: input that is not a regular file, and
// may never end.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace varnek::testkit {

struct FifoFeed {
  std::filesystem::path path;
  pid_t pid = -1;

  // Creates the FIFO and a writer that sends `bytes` `times` times, or until the reader
  // goes away when `times` is 0. The writer waits for a reader to open the FIFO.
  FifoFeed(std::filesystem::path fifo, const std::string& bytes, std::uint64_t times)
      : path(std::move(fifo)) {
    if (::mkfifo(path.c_str(), 0600) != 0) return;
    pid = ::fork();
    if (pid != 0) return;
    const int fd = ::open(path.c_str(), O_WRONLY);
    for (std::uint64_t i = 0; fd >= 0 && (times == 0 || i < times); ++i) {
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) ::_exit(0);
        done += static_cast<std::size_t>(n);
      }
    }
    ::_exit(0);
  }
  FifoFeed(const FifoFeed&) = delete;
  FifoFeed& operator=(const FifoFeed&) = delete;
  ~FifoFeed() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove(path);
  }
  std::string str() const { return path.string(); }
};

}  // namespace varnek::testkit
