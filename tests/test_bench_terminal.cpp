// What `bench` draws on a terminal, as text from its progress items.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/terminal.hpp"

using namespace varnek;

namespace {

const std::string kRedraw = "\r\x1b[K";

std::string bar(int full, int light) {
  std::string s;
  for (int i = 0; i < full; ++i) s += "\xE2\x96\x88";
  for (int i = 0; i < light; ++i) s += "\xE2\x96\x91";
  return s;
}

TEST(BenchTerminal, OneLinePerItem) {
  const struct {
    const char* key;
    const char* item;
    std::string line;
  } cases[] = {
      {"A", R"({"name": "A — RF", "throughput_per_sec": 1234567.0, "latency": {"p50_us": 0.951}})",
       "A \xE2\x80\x94 RF: 1.23M/s predictions, p50 951 ns"},
      {"B", R"({"name": "B", "throughput_per_sec": 5e5, "latency": {"p50_us": 1.234}})",
       "B: 500k/s candidates scored, p50 1.23 \xC2\xB5s"},
      {"C",
       R"({"name": "C", "decisions_per_sec": 3.2e9, "latency_per_decision": {"p50_us": null}})",
       "C: 3.20G/s bar decisions, p50 ?"},
      {"D", R"({"name": "D", "backtests_per_sec_single_thread": 2100.0,
                "heap_allocations_per_backtest": 0.0025, "latency": {"p50_us": 476.2}})",
       "D: 2.10k/s backtests, p50 476 \xC2\xB5s, 0.0025 allocs each"},
      // The candidates, not the decisions they took.
      {"E", R"({"name": "E", "candidates_per_sec": null, "decisions_per_sec": 1e9, "workers": 2})",
       "E: ?/s candidates, 2 workers"},
      {"F",
       R"({"name": "F", "backtests_per_sec_single_thread": 106e3, "latency": {"p50_us": 2345.6}})",
       "F: 106k/s backtests, p50 2.35 ms"},
      {"scaling",
       R"({"workers": 2, "candidates_per_sec": 90100.0, "speedup": 1.934, "efficiency": 0.967})",
       "scaling: 2 workers, 90.1k/s, speedup 1.93, efficiency 0.97"},
      {"load", R"({"candidates": 10000, "seconds": 0.12, "candidates_per_sec": 83333.3})",
       "load: 10,000 candidates in 0.12 s, 83.3k/s"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bench::item_line(c.key, core::Json::parse(c.item)), c.line) << c.key;
  }
}

TEST(BenchTerminal, StepsAndLiveLine) {
  EXPECT_EQ(bench::progress_steps(4),
            (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "scaling", "scaling", "scaling",
                                      "load", "load", "load", "load"}));

  bench::BenchScreen screen({"A", "scaling"}, 100);
  EXPECT_EQ(screen.start(), kRedraw + "bench [" + bar(0, 14) +
                                "]   0% 0/2 \xC2\xB7 0.00 s \xC2\xB7 set-up: features, candidate "
                                "pool, forest \xE2\x80\xA6");
  EXPECT_EQ(
      screen.on_item("A", core::Json::parse(R"({"name": "A", "throughput_per_sec": 5.0})"), 12.34),
      kRedraw + "A: 5/s predictions\n" + kRedraw + "bench [" + bar(7, 7) +
          "]  50% 1/2 \xC2\xB7 12.3 s \xC2\xB7 worker scaling \xE2\x80\xA6");
  // The last item leaves no live line behind.
  EXPECT_EQ(screen.on_item("scaling", core::Json::parse(R"({"workers": 1})"), 20.0),
            kRedraw + "scaling: 1 worker, ?/s, speedup ?, efficiency ?\n");
  EXPECT_EQ(screen.finish(), "");

  bench::BenchScreen interrupted({"A"}, 100);
  interrupted.start();
  EXPECT_EQ(interrupted.finish(), kRedraw);
}

}  // namespace
