#include "core/fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace varnek::core {

void fatal(std::string_view message) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace varnek::core
