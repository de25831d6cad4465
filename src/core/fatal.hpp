#pragma once
// Broken internal invariants: valid input never reaches these.
#include <string_view>

namespace varnek::core {

// Prints the fixed message and a line feed on standard error and aborts the process.
[[noreturn]] void fatal(std::string_view message);

}  // namespace varnek::core
