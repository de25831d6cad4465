#include "core/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/memory.hpp"

namespace varnek::core {
namespace {

constexpr std::uint64_t kFallbackBound = std::uint64_t{1} << 30;
constexpr std::size_t kStreamChunk = std::size_t{1} << 20;

Error os_error(int err) {
  return Error{std::strerror(err)};
}
Error too_large() {
  return Error{std::string(kFileTooLarge)};
}

// An open descriptor, closed with the object.
struct Input {
  int fd = -1;
  bool regular = false;
  std::uint64_t size = 0;  // of a regular file, as fstat saw it
  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    if (fd >= 0) ::close(fd);
  }
};

Result<bool> open_input(const std::string& path, Input& in) {
  in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode)) {
    in.regular = true;
    in.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  }
  return true;
}

// Up to `n` bytes at `buf`; 0 at the end of the input, -1 with errno set on failure.
ssize_t read_some(int fd, char* buf, std::size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// A regular file: checked against the bound by its size, then read into one allocation.
// The bound still holds if the file grows while it is read (or has no size, like /proc).
Result<std::string> read_regular(const Input& in, std::uint64_t limit) {
  if (in.size > limit) return too_large();
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(in.size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = read_some(in.fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) return os_error(errno);
    if (static_cast<std::uint64_t>(n) > limit - bytes.size()) return too_large();
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  return bytes;
}

// Anything else, in chunks of up to kStreamChunk bytes through `sink`.
Result<bool> read_stream(const Input& in, std::uint64_t limit, const ChunkSink& sink) {
  std::string buf(kStreamChunk, '\0');
  std::uint64_t total = 0;
  bool more = true;
  while (more) {
    std::size_t filled = 0;
    while (filled < buf.size()) {
      const ssize_t n = read_some(in.fd, buf.data() + filled, buf.size() - filled);
      if (n < 0) return os_error(errno);
      if (n == 0) {
        more = false;
        break;
      }
      filled += static_cast<std::size_t>(n);
    }
    if (filled > limit - total) return too_large();
    total += filled;
    if (filled > 0 && !sink(std::string_view(buf.data(), filled))) break;
  }
  return true;
}

}  // namespace

std::uint64_t max_input_bytes() {
  static const std::uint64_t bound = [] {
    const std::uint64_t memory = physical_memory_bytes();
    return memory == 0 ? kFallbackBound : memory / 4;
  }();
  return bound;
}

Result<std::string> read_file(const std::string& path) {
  return read_file(path, max_input_bytes());
}

Result<std::string> read_file(const std::string& path, std::uint64_t limit) {
  Input in;
  if (auto opened = open_input(path, in); !opened) return Error{opened.error()};
  if (in.regular) return read_regular(in, limit);
  std::string bytes;
  auto read = read_stream(in, limit, [&](std::string_view chunk) {
    // Doubling, but never past the bound.
    if (chunk.size() > bytes.capacity() - bytes.size()) {
      const std::uint64_t want =
          std::max<std::uint64_t>(2 * bytes.capacity(), bytes.size() + chunk.size());
      bytes.reserve(static_cast<std::size_t>(std::min(want, limit)));
    }
    bytes.append(chunk);
    return true;
  });
  if (!read) return Error{read.error()};
  return bytes;
}

Result<bool> read_chunks(const std::string& path, std::uint64_t limit, const ChunkSink& sink) {
  Input in;
  if (auto opened = open_input(path, in); !opened) return opened;
  if (!in.regular) return read_stream(in, limit, sink);
  auto bytes = read_regular(in, limit);
  if (!bytes) return Error{bytes.error()};
  if (!bytes.value().empty()) sink(bytes.value());
  return true;
}

Result<bool> write_file(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Error{std::strerror(errno)};
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return Error{std::strerror(err)};
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return Error{std::strerror(errno)};
  return true;
}

}  // namespace varnek::core
