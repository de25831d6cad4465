// libFuzzer entry point, built once per target with VARNEK_FUZZ_CHECK naming its check.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fatal.hpp"
#include "fuzz/targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken = varnek::fuzz::VARNEK_FUZZ_CHECK({data, size});
  if (!broken.empty()) varnek::core::fatal("fuzz property broken: " + broken);
  return 0;
}
