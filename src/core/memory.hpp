#pragma once
// The machine's memory, as the operating system reports it, and large zeroed buffers
// straight from it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace varnek::core {

// Physical memory in bytes (pages times page size); 0 when the system does not say.
std::uint64_t physical_memory_bytes();

// Zeroed memory for one large scratch table. From 2 MiB on it is mapped: the kernel hands
// the pages out zeroed, so there is no fill pass, and the mapping is aligned to and asked
// for as transparent huge pages where the system allows them, so that its first touches
// fault once per 2 MiB rather than once per 4 KiB (under virtualisation the faults cost
// more than the work). Smaller buffers come zeroed from the heap. Throws std::bad_alloc
// when the system refuses.
class ZeroedBytes {
 public:
  ZeroedBytes() = default;
  explicit ZeroedBytes(std::size_t bytes);
  ZeroedBytes(ZeroedBytes&& other) noexcept;
  ZeroedBytes& operator=(ZeroedBytes&& other) noexcept;
  ZeroedBytes(const ZeroedBytes&) = delete;
  ZeroedBytes& operator=(const ZeroedBytes&) = delete;
  ~ZeroedBytes();

  void* data() const { return data_; }

 private:
  void release();

  void* data_ = nullptr;
  std::size_t mapped_ = 0;  // mapped from data_; 0 for heap memory
};

// `count` zero values of T (all bits zero, which is 0 for the arithmetic types).
template <class T>
class ZeroedArray {
  static_assert(std::is_trivially_default_constructible_v<T> &&
                std::is_trivially_destructible_v<T>);

 public:
  ZeroedArray() = default;
  explicit ZeroedArray(std::size_t count) : bytes_(count * sizeof(T)), count_(count) {}

  T* data() const { return static_cast<T*>(bytes_.data()); }
  std::size_t size() const { return count_; }
  T& operator[](std::size_t i) const { return data()[i]; }
  std::span<T> span() const { return {data(), count_}; }

 private:
  ZeroedBytes bytes_;
  std::size_t count_ = 0;
};

}  // namespace varnek::core
