// Report writes: where a path really leads, and how to replace what is there safely.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/io.hpp"

namespace varnek::core {
namespace {

std::string error_text(int err) {
  return std::strerror(err);
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Temporary files are named after the target, so the rename stays on its file system.
std::string temporary_beside(const std::string& target) {
  return target + ".tmp-" + std::to_string(::getpid());
}

// Opens an existing device or FIFO for writing without waiting for a reader.
Result<int> open_in_place(const std::string& target) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Error{error_text(errno)};
  return fd;
}

Result<bool> write_all(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{error_text(errno)};
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Result<std::string> resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno == ENOENT) return current;
      return Error{error_text(errno)};
    }
    if (!S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) return Error{error_text(errno)};
    target.resize(static_cast<std::size_t>(n));
    current = (!target.empty() && target[0] == '/') ? target : folder_of(current) + "/" + target;
  }
  return Error{error_text(ELOOP)};
}

Result<bool> probe_writable(const std::string& path) {
  auto resolved = resolve_links(path);
  if (!resolved) return Error{resolved.error()};
  const std::string& target = resolved.value();
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Error{error_text(EISDIR)};
    if (!S_ISREG(st.st_mode)) {
      auto fd = open_in_place(target);
      if (!fd) return Error{fd.error()};
      ::close(fd.value());
      return true;
    }
  } else if (errno != ENOENT) {
    return Error{error_text(errno)};
  }
  const std::string tmp = temporary_beside(target);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Error{error_text(errno)};
  ::close(fd);
  ::unlink(tmp.c_str());
  return true;
}

Result<bool> replace_file(const std::string& path, const std::string& text) {
  auto resolved = resolve_links(path);
  if (!resolved) return Error{resolved.error()};
  const std::string& target = resolved.value();
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    auto fd = open_in_place(target);
    if (!fd) return Error{fd.error()};
    // Blocking from here on: a FIFO's reader may be slower than we write.
    ::fcntl(fd.value(), F_SETFL, ::fcntl(fd.value(), F_GETFL) & ~O_NONBLOCK);
    auto written = write_all(fd.value(), text);
    if (::close(fd.value()) != 0 && written) return Error{error_text(errno)};
    return written;
  }
  const std::string tmp = temporary_beside(target);
  auto written = write_file(tmp, text);
  if (written && std::rename(tmp.c_str(), target.c_str()) != 0) {
    written = Error{error_text(errno)};
  }
  if (!written) ::unlink(tmp.c_str());
  return written;
}

}  // namespace varnek::core
