#pragma once
// Whole-file reads and writes with the operating system's error texts.
#include <string>

#include "core/result.hpp"

namespace varnek::core {

// The file's bytes, or the OS error text (strerror) alone, e.g. "Is a directory".
Result<std::string> read_file(const std::string& path);

// Replaces the file with `text`; on failure the OS error text alone.
Result<bool> write_file(const std::string& path, const std::string& text);

}  // namespace varnek::core
