// Every committed fuzz input, found by a fuzzer or written as a seed, stays a regression
// test: it is replayed through the same checks as the fuzz targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets.hpp"

namespace {

std::vector<unsigned char> slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(FuzzCorpus, EveryInputKeepsItsProperties) {
  using Check = std::string (*)(varnek::fuzz::Input);
  const std::pair<const char*, Check> targets[] = {
      {"csv", varnek::fuzz::check_csv},
      {"spec", varnek::fuzz::check_spec},
      {"candidate_id", varnek::fuzz::check_candidate_id},
  };
  for (const auto& [name, check] : targets) {
    const std::filesystem::path dir = std::filesystem::path(VARNEK_FUZZ_CORPUS) / name;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    EXPECT_GE(files.size(), 10u) << dir;
    for (const auto& file : files) {
      const std::vector<unsigned char> bytes = slurp(file);
      EXPECT_EQ(check(bytes), "") << file;
    }
  }
}
