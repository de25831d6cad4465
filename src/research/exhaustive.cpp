#include "research/exhaustive.hpp"

#include <algorithm>

#include "bt/simulate.hpp"

namespace varnek::research {

using strategy::Candidate;

ExhaustiveSource::ExhaustiveSource(const std::vector<std::uint8_t>& families, Fanouts& fanouts,
                                   std::function<bool()> stop, std::size_t window_cap)
    : families_(families),
      fanouts_(fanouts),
      stop_(std::move(stop)),
      window_cap_(window_cap),
      ahead_allowed_(!fanouts.distributed()) {}

ExhaustiveSource::~ExhaustiveSource() {
  if (!running_) return;
  // The caller is leaving (its budget is spent, or it failed): the window ahead is dropped,
  // and what went wrong with it no longer matters. It is not cancelled: a cancelled build
  // would leave the fan-outs' first-touch tables half made. A spent budget stops it within
  // a piece.
  try {
    task_.wait();
  } catch (...) {
  }
}

const ExhaustiveSource::Layout& ExhaustiveSource::layout(std::uint8_t family) {
  std::optional<Layout>& cached = layouts_[family];
  if (cached) return *cached;
  Layout l;
  l.size = 1;
  for (std::size_t d = 0; d < strategy::dim_count(family); ++d) {
    const std::uint64_t wider = l.size * strategy::value_count(family, d);
    if (wider > window_cap_) break;
    l.size = wider;
  }
  // The slower dimensions are fixed within a window and compare equal, so the order of the
  // local indices by entry stream is the same in every window of the family.
  std::vector<Candidate> streams(l.size);
  for (std::uint64_t i = 0; i < l.size; ++i) {
    streams[i] = bt::entry_stream(strategy::enumerate(family, i));
  }
  l.stream_order.resize(l.size);
  for (std::uint32_t i = 0; i < l.size; ++i) l.stream_order[i] = i;
  std::stable_sort(l.stream_order.begin(), l.stream_order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return streams[a].idx < streams[b].idx; });
  cached = std::move(l);
  return *cached;
}

void ExhaustiveSource::backtest_window(Window& w) {
  const std::uint8_t family = families_[entry_];
  const Layout& l = layout(family);
  // The window's keys, counting through its dimensions like an odometer.
  std::vector<Candidate>& keys = w.keys;
  keys.resize(l.size);
  const std::size_t dims = strategy::dim_count(family);
  strategy::Candidate c = strategy::enumerate(family, start_);
  for (std::uint64_t i = 0; i < l.size; ++i) {
    keys[i] = c;
    for (std::size_t d = 0; d < dims && ++c.idx[d] == strategy::value_count(family, d); ++d) {
      c.idx[d] = 0;
    }
  }
  std::vector<Candidate> valid;
  std::vector<std::uint32_t> slot;
  valid.reserve(l.size);
  slot.reserve(l.size);
  for (const std::uint32_t i : l.stream_order) {
    if (!strategy::is_valid(keys[i])) continue;
    valid.push_back(keys[i]);
    slot.push_back(i);
  }
  // Piece by piece, so that a run past its time budget stops within a piece's time rather
  // than a window's (after the first window, which always completes, as the first chunk of
  // a run always did); the pieces cut few entry streams apart.
  w.summaries.assign(l.size, bt::SegmentSummary{});
  for (std::size_t from = 0; from < valid.size(); from += kPiece) {
    const std::size_t n = std::min(kPiece, valid.size() - from);
    const std::vector<bt::SegmentSummary> out =
        fanouts_.lattice_summaries(std::span(valid).subspan(from, n));
    for (std::size_t j = 0; j < n; ++j) w.summaries[slot[from + j]] = out[j];
    if (windows_ > 0 && stop_()) {
      stopped_ = true;
      keys.clear();
      break;
    }
  }
  ++windows_;
  start_ += l.size;
  if (start_ >= strategy::family_size(family)) {
    ++entry_;
    start_ = 0;
  }
}

bool ExhaustiveSource::advance() {
  if (running_) {
    running_ = false;
    task_.wait();
  } else if (entry_ < families_.size() && !stopped_) {
    backtest_window(ahead_);
  } else {
    return false;
  }
  if (stopped_) return false;
  std::swap(current_, ahead_);
  taken_ = 0;
  if (ahead_allowed_ && entry_ < families_.size()) {
    running_ = true;
    task_.run([this] { backtest_window(ahead_); });
  }
  return true;
}

void ExhaustiveSource::next_chunk(std::vector<Candidate>& keys,
                                  std::vector<bt::SegmentSummary>& summaries, std::size_t max) {
  keys.clear();
  summaries.clear();
  while (keys.size() < max) {
    if (taken_ == current_.keys.size() && !advance()) break;
    const std::size_t n = std::min(max - keys.size(), current_.keys.size() - taken_);
    const auto from = static_cast<std::ptrdiff_t>(taken_);
    const auto to = static_cast<std::ptrdiff_t>(taken_ + n);
    keys.insert(keys.end(), current_.keys.begin() + from, current_.keys.begin() + to);
    summaries.insert(summaries.end(), current_.summaries.begin() + from,
                     current_.summaries.begin() + to);
    taken_ += n;
  }
}

}  // namespace varnek::research
