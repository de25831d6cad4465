#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/io.hpp"
#include "fifo_feed.hpp"

using namespace varnek;
using varnek::testkit::FifoFeed;

namespace {

struct Scratch {
  std::filesystem::path dir;
  Scratch() {
    dir = std::filesystem::temp_directory_path() /
          ("varnek_test_core_io_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  }
};

// "ok:{bytes}" or "error:{text}", so one comparison checks either outcome.
std::string outcome(const core::Result<std::string>& r) {
  return r.ok() ? "ok:" + r.value() : "error:" + r.error();
}

}  // namespace

TEST(CoreIo, TheBoundIsAQuarterOfPhysicalMemory) {
  const auto memory = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                      static_cast<std::uint64_t>(::sysconf(_SC_PAGE_SIZE));
  EXPECT_EQ(core::max_input_bytes(), memory / 4);
}

// A regular file is judged by its size, anything else by the bytes it brings; both
// accept exactly `limit` bytes and refuse one more.
TEST(CoreIo, ReadsAreBounded) {
  Scratch s;
  const std::string text(3000, 'x');
  const std::string regular = s.write("r.txt", text);
  const std::string too_large = "error:" + std::string(core::kFileTooLarge);
  using Source = std::function<std::string(std::uint64_t)>;
  const std::pair<const char*, Source> sources[] = {
      {"regular", [&](std::uint64_t limit) { return outcome(core::read_file(regular, limit)); }},
      {"fifo",
       [&](std::uint64_t limit) {
         FifoFeed fifo(s.dir / "f", text, 1);
         return outcome(core::read_file(fifo.str(), limit));
       }},
  };
  for (const auto& [name, read] : sources) {
    SCOPED_TRACE(name);
    EXPECT_EQ(read(3000), "ok:" + text);
    EXPECT_EQ(read(2999), too_large);
    EXPECT_EQ(read(0), too_large);
  }
  // Input that never ends: a character device and a FIFO whose writer never stops.
  EXPECT_EQ(outcome(core::read_file("/dev/zero", 5'000'000)), too_large);
  FifoFeed endless(s.dir / "endless", std::string(4096, 'y'), 0);
  EXPECT_EQ(outcome(core::read_file(endless.str(), 5'000'000)), too_large);
  // The OS texts are unchanged.
  EXPECT_EQ(outcome(core::read_file(s.dir.string())), "error:Is a directory");
  EXPECT_EQ(outcome(core::read_file((s.dir / "none").string())), "error:No such file or directory");
}

TEST(CoreIo, ChunksArriveInOrderAndTheSinkMayStop) {
  Scratch s;
  std::string text;
  for (int i = 0; i < 300'000; ++i) text += static_cast<char>('a' + i % 26);
  const std::string regular = s.write("r.txt", text);
  std::string got;
  std::size_t calls = 0;
  const auto collect = [&](std::string_view chunk) {
    got.append(chunk);
    ++calls;
    return true;
  };
  ASSERT_TRUE(core::read_chunks(regular, text.size(), collect).ok());
  EXPECT_EQ(got, text);
  EXPECT_EQ(calls, 1u);  // a regular file arrives whole
  got.clear();
  {
    FifoFeed fifo(s.dir / "f", text, 8);
    ASSERT_TRUE(core::read_chunks(fifo.str(), 8 * text.size(), collect).ok());
  }
  std::string eight;
  for (int i = 0; i < 8; ++i) eight += text;
  EXPECT_EQ(got, eight);
  // A sink that has what it needs ends even an endless read, successfully.
  std::uint64_t seen = 0;
  const auto first_chunk_only = [&](std::string_view chunk) {
    seen += chunk.size();
    return false;
  };
  EXPECT_TRUE(core::read_chunks("/dev/zero", 1u << 30, first_chunk_only).ok());
  EXPECT_GT(seen, 0u);
  EXPECT_LE(seen, 1u << 20);
  const auto r = core::read_chunks("/dev/zero", 1u << 22, collect);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), core::kFileTooLarge);
}
