#pragma once
// Process-wide count of heap allocations. Linking a reader of this count replaces the
// global operator new family with counting versions (malloc underneath).
#include <cstdint>

namespace varnek::core {

std::uint64_t allocation_count();

}  // namespace varnek::core
