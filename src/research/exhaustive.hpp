#pragma once
// The scheduled keys of exhaustive mode and their train summaries, in enumeration order.
#include <tbb/task_group.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "bt/metrics.hpp"
#include "research/fanout.hpp"
#include "strategy/lattice.hpp"

namespace varnek::research {

// Enumeration order is family entries in list order, lattice indices in mixed radix within
// each (the first dimension fastest). In that order the exit variants of one entry stream
// lie a dimension's stride apart, so chunks of consecutive keys share almost no signals.
// The source therefore backtests a whole window at a time: the longest run of lattice
// indices over the family's first dimensions that holds at most `kWindowCap` points (its
// slower dimensions fixed). A window holds every variant of the dimensions it spans, so the
// exit variants of each entry stream in it are backtested together, walking one signal list.
// Its keys go to the workers in entry-stream order and the results are handed out again in
// enumeration order; memory stays bounded by two windows, not the space.
//
// While the caller consumes one window, the next one is backtested in a background task, so
// that the caller's serial work and the window's own (its keys, their stream order) overlap
// the other workers' backtests. Not when the fan-outs are distributed: those talk to the
// other processes from the calling thread.
class ExhaustiveSource {
 public:
  static constexpr std::size_t kWindowCap = std::size_t{1} << 18;
  static constexpr std::size_t kPiece = 16384;  // keys per fan-out within a window

  // `stop` is asked after each piece of every window but the first, possibly from another
  // thread than the caller's: true (the time budget is spent) drops that window's results
  // and ends the lattice there.
  ExhaustiveSource(const std::vector<std::uint8_t>& families, Fanouts& fanouts,
                   std::function<bool()> stop, std::size_t window_cap = kWindowCap);
  ExhaustiveSource(const ExhaustiveSource&) = delete;
  ExhaustiveSource& operator=(const ExhaustiveSource&) = delete;
  ~ExhaustiveSource();

  // The next up to `max` keys in enumeration order, with their train summaries (an invalid
  // key gets an empty summary); both empty at the end or once stopped. Nothing is counted.
  void next_chunk(std::vector<strategy::Candidate>& keys,
                  std::vector<bt::SegmentSummary>& summaries, std::size_t max);
  // Whether `stop` ended the lattice before its end.
  bool stopped() const { return stopped_; }

 private:
  // One family's window: its length and its local indices in entry-stream order.
  struct Layout {
    std::uint64_t size = 0;
    std::vector<std::uint32_t> stream_order;
  };
  struct Window {
    std::vector<strategy::Candidate> keys;  // enumeration order
    std::vector<bt::SegmentSummary> summaries;
  };
  const Layout& layout(std::uint8_t family);
  // Backtests the window at (entry_, start_) into `w` and moves past it; sets stopped_ (and
  // empties w) when `stop` ends the lattice within it.
  void backtest_window(Window& w);
  // Makes the next window current and starts the one after it; false at the end of the
  // lattice or once stopped.
  bool advance();

  const std::vector<std::uint8_t>& families_;
  Fanouts& fanouts_;
  std::function<bool()> stop_;
  std::size_t window_cap_;
  bool ahead_allowed_;
  // Written by backtest_window only, so while a window is ahead only by its task.
  bool stopped_ = false;
  std::uint64_t windows_ = 0;  // backtested so far
  std::array<std::optional<Layout>, strategy::kFamilies> layouts_;
  std::size_t entry_ = 0;    // family entry of the next window
  std::uint64_t start_ = 0;  // its first lattice index
  Window current_;
  std::size_t taken_ = 0;  // of the current window
  Window ahead_;           // the next window, being backtested while `running_`
  tbb::task_group task_;
  bool running_ = false;
};

}  // namespace varnek::research
