#pragma once
// What `bench` shows on a terminal instead of its "[bench X]" lines: one short line per
// finished section, scaling row and load row, and a live line with how far the suite is.
// Pure text from the suite's progress items, like the research screen.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "bench/suite.hpp"
#include "core/json.hpp"
#include "research/terminal.hpp"

namespace varnek::bench {

// The progress keys the suite reports, in order: "A" to "F", one "scaling" per row of the
// plan for `workers`, one "load" per load size.
std::vector<std::string> progress_steps(int workers, const Sizes& sizes = {});

// One finished item: "A — Random Forest inference: 873k/s predictions, p50 1.17 µs",
// "scaling: 2 workers, 90.1k/s, speedup 1.93, efficiency 0.97", "load: 10,000 candidates
// in 0.12 s, 83.3k/s".
std::string item_line(std::string_view key, const core::Json& item);

class BenchScreen {
 public:
  BenchScreen(std::vector<std::string> steps, std::size_t columns = research::kMaxColumns);

  // The live line while the set-up (features, candidate pool, forest) runs.
  std::string start();
  // After an item, `elapsed` seconds into the command: its line, then the live line.
  std::string on_item(std::string_view key, const core::Json& item, double elapsed);
  // The live line cleared.
  std::string finish();

 private:
  std::string live(double elapsed) const;

  std::vector<std::string> steps_;
  std::size_t columns_;
  std::size_t done_ = 0;
  bool shown_ = false;
};

}  // namespace varnek::bench
