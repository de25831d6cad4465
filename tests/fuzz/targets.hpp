#pragma once
// Fuzz targets: each hands one input to a loader or parser and checks what must hold for
// every input (besides not crashing): a failure is one of the documented messages, a
// success has a well-formed result, and what would be printed is valid UTF-8 JSON.
//
// Each returns the first broken property, or an empty text when all hold. The libFuzzer
// entry points (fuzz_main.cpp, clang only) stop the process on a broken property;
// test_fuzz_corpus replays the committed corpus through the same functions with g++.
#include <span>
#include <string>

namespace varnek::fuzz {

using Input = std::span<const unsigned char>;

// The CSV loader on the bytes as a file's content: whole, in pieces (as a FIFO arrives) and
// under a small bound; then the quality audit and the `quality` output of what loaded.
std::string check_csv(Input input);

// The specification parser on the bytes made valid UTF-8 (as the loader requires), and the
// specification printed back and read again.
std::string check_spec(Input input);

// The candidate identifier parser, and the identifier printed back and read again.
std::string check_candidate_id(Input input);

}  // namespace varnek::fuzz
