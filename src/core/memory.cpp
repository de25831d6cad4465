#include "core/memory.hpp"

#include <unistd.h>

namespace varnek::core {

std::uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace varnek::core
