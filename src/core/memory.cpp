#include "core/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace varnek::core {

std::uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

}  // namespace

ZeroedBytes::ZeroedBytes(std::size_t bytes) {
  if (bytes == 0) return;
  if (bytes < kHugePage) {  // the heap's reused memory beats a fresh mapping
    data_ = std::calloc(bytes, 1);
    if (data_ == nullptr) throw std::bad_alloc();
    return;
  }
  // Cut from a mapping one huge page longer, at its first aligned address.
  const std::size_t length = round_up(bytes, kHugePage);
  const std::size_t reserve = length + kHugePage;
  void* map = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<char*>(map);
  const auto at = reinterpret_cast<std::uintptr_t>(start);
  char* aligned = start + (round_up(at, kHugePage) - at);
  if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
  const std::size_t tail = reserve - static_cast<std::size_t>(aligned - start) - length;
  if (tail > 0) ::munmap(aligned + length, tail);
  ::madvise(aligned, length, MADV_HUGEPAGE);  // advice only: small pages work too
  data_ = aligned;
  mapped_ = length;
}

ZeroedBytes::ZeroedBytes(ZeroedBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), mapped_(std::exchange(other.mapped_, 0)) {}

ZeroedBytes& ZeroedBytes::operator=(ZeroedBytes&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

ZeroedBytes::~ZeroedBytes() {
  release();
}

void ZeroedBytes::release() {
  if (mapped_ > 0) {
    ::munmap(data_, mapped_);
  } else {
    std::free(data_);
  }
}

}  // namespace varnek::core
