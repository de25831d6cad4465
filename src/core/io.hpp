#pragma once
// Whole-file reads and writes with the operating system's error texts.
//
// Reads are bounded, so that input which never ends (a FIFO nobody closes, /dev/zero)
// fails instead of filling the memory: a regular file larger than the bound fails before
// it is read; anything else is read until it ends or passes the bound. Either way the
// error text is kFileTooLarge.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace varnek::core {

// The error text of a read that passed its bound.
inline constexpr std::string_view kFileTooLarge = "file too large";

// The bound on the bytes one input may bring in: a quarter of the machine's physical
// memory (sysconf pages times page size, read once), or 1 GiB where the system does not
// say. Loaders that build records from the bytes bound those records by it too.
std::uint64_t max_input_bytes();

// The file's bytes, or the OS error text (strerror) alone, e.g. "Is a directory", or
// kFileTooLarge past `limit` bytes (max_input_bytes() when not given). A regular file is
// read with one allocation of its size.
Result<std::string> read_file(const std::string& path);
Result<std::string> read_file(const std::string& path, std::uint64_t limit);

// Takes the bytes of an input in order; returns false when it needs no more of them
// (its outcome is already known), which ends the read successfully.
using ChunkSink = std::function<bool(std::string_view)>;

// Streams the file through `sink` under the same bound and errors as read_file. A regular
// file arrives as one chunk, read whole after its size has been checked; any other file
// (FIFO, character device) arrives in pieces of at most 1 MiB as it is read, so a consumer
// that parses as it goes holds only what it keeps, and a read that must go on only to
// find out whether the input passes the bound costs no memory. On failure the chunks
// already handed over belong to a failed read. The value is true.
Result<bool> read_chunks(const std::string& path, std::uint64_t limit, const ChunkSink& sink);

// Replaces the file with `text`; on failure the OS error text alone.
Result<bool> write_file(const std::string& path, const std::string& text);

// Where a write to `path` lands: symbolic links are followed (relative targets read from
// the link's folder) until a path that is not a link, or that does not exist yet.
Result<std::string> resolve_links(const std::string& path);

// Checks, without changing anything, that replace_file(path, ...) can start: a new or
// regular file's folder accepts a temporary file (created and removed at once); an
// existing device or FIFO opens for writing without blocking. Errors are OS texts.
Result<bool> probe_writable(const std::string& path);

// Writes `text` to the file that `path` names, following symbolic links. A regular or new
// file is replaced through a temporary file beside it and a rename, so readers never see
// a partial file and a failure leaves nothing behind; an existing device or FIFO is
// written in place ("/dev/null" stays a device). Errors are OS texts.
Result<bool> replace_file(const std::string& path, const std::string& text);

}  // namespace varnek::core
