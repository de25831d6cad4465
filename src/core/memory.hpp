#pragma once
// The machine's memory, as the operating system reports it.
#include <cstdint>

namespace varnek::core {

// Physical memory in bytes (pages times page size); 0 when the system does not say.
std::uint64_t physical_memory_bytes();

}  // namespace varnek::core
