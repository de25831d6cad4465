// The shared-signal batch path against one fast run per candidate.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "bt/lanes.hpp"
#include "bt/simulate.hpp"
#include "bt_fixture.hpp"
#include "core/spec.hpp"
#include "core/splitmix.hpp"
#include "data/synthetic.hpp"

using namespace varnek;

namespace {

// Every exit variant (stop_atr x rr x hold) of two entry streams per family, so that groups
// are large enough to share their list, plus single random variants that run alone.
std::vector<strategy::Candidate> batch_candidates() {
  core::SplitMix64 rng(21);
  std::vector<strategy::Candidate> out;
  for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
    const std::size_t stop = strategy::param_position(f, "stop_atr");
    const std::size_t rr = strategy::param_position(f, "rr");
    const std::size_t hold = strategy::param_position(f, "hold");
    for (int stream = 0; stream < 2; ++stream) {
      strategy::Candidate base;
      do {
        base = strategy::random_candidate(f, rng);
      } while (!strategy::is_valid(base));
      for (std::uint8_t h = 0; h < strategy::value_count(f, hold); ++h) {
        for (std::uint8_t r = 0; r < strategy::value_count(f, rr); ++r) {
          for (std::uint8_t s = 0; s < strategy::value_count(f, stop); ++s) {
            strategy::Candidate c = base;
            c.idx[stop] = s;
            c.idx[rr] = r;
            c.idx[hold] = h;
            out.push_back(c);
          }
        }
      }
    }
    for (int single = 0; single < 3;) {
      const strategy::Candidate c = strategy::random_candidate(f, rng);
      if (strategy::is_valid(c)) {
        out.push_back(c);
        ++single;
      }
    }
  }
  return out;
}

// The synthetic series, and the same with undefined and zero prices sprinkled in.
std::vector<data::BarSeries> series(std::size_t bars = 3000) {
  data::BarSeries clean = data::generate_synthetic(bars, 3);
  data::BarSeries bad = clean;
  core::SplitMix64 rng(5);
  for (std::size_t i = 20; i < bad.size(); ++i) {
    const double u = rng.uniform();
    if (u < 0.02) (u < 0.01 ? bad.low : bad.high)[i] = std::nan("");
    if (u > 0.99) testkit::set_bar(bad, i, 0.0, 0.0, 0.0, 0.0);
  }
  for (std::size_t i = bars - 500; i < bars - 490; ++i) bad.close[i] = std::nan("");
  return {clean, bad};
}

void expect_batch_equals_one_run_each(const core::Market& market) {
  const std::vector<strategy::Candidate> keys = batch_candidates();
  for (data::BarSeries& bars : series()) {
    const auto engine = testkit::make_engine(std::move(bars));
    for (const std::uint64_t delay : {0u, 1u, 2u}) {
      core::Exec exec = core::default_spec().exec;
      exec.delay = delay;
      for (const auto& [start, end] : {std::pair<std::size_t, std::size_t>{0, 3000}, {700, 2100}}) {
        std::vector<bt::SegmentSummary> alone(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
          bt::run_fast(keys[i], engine->inputs(), market, exec, start, end, alone[i]);
        }
        // First-touch tables of this range and delay, and tables of another one, which the
        // batch must not read.
        bt::TouchTables fresh, stale;
        bt::add_touch_tables(fresh, keys, engine->inputs(), market, exec, start, end);
        core::Exec other = exec;
        other.delay = (delay + 1) % 3;
        bt::add_touch_tables(stale, keys, engine->inputs(), market, other, 0, 3000);
        // Chunks of an odd size cut the entry streams' groups apart, as the funnel's
        // fixed-size chunks do, and one chunk keeps them whole (whole groups with a table
        // run in vector lanes where the processor has them); one worker and all of them
        // give the same summaries.
        for (const bt::TouchTables* touches : {static_cast<bt::TouchTables*>(nullptr), &fresh,
                                               &stale}) {
          for (const auto& [workers, chunk] : {std::pair<int, std::size_t>{1, 77}, {2, 77},
                                               {2, keys.size()}}) {
            std::vector<bt::SegmentSummary> shared(keys.size());
            tbb::task_arena(workers).execute([&] {
              for (std::size_t c = 0; c < keys.size(); c += chunk) {
                const std::size_t n = std::min<std::size_t>(chunk, keys.size() - c);
                bt::run_fast_batch(std::span(keys).subspan(c, n), engine->inputs(), market,
                                   exec, start, end, std::span(shared).subspan(c, n), touches);
              }
            });
            for (std::size_t i = 0; i < keys.size(); ++i) {
              ASSERT_EQ(shared[i], alone[i])
                  << strategy::format_id(keys[i]) << " delay " << delay << " from " << start
                  << " workers " << workers << " chunk " << chunk << " tables "
                  << (touches == &fresh);
            }
          }
        }
        std::uint64_t trades = 0, skips = 0;
        for (const bt::SegmentSummary& s : alone) {
          trades += s.trades;
          skips += s.size_skips;
        }
        EXPECT_EQ(trades > 0, market.point_value > 0.0);
        if (start == 0 && delay == 0) {
          EXPECT_GT(skips, 0u);  // size skips are exercised
        }
      }
    }
  }
}

}  // namespace

TEST(SharedSignals, BatchEqualsOneRunPerCandidate) {
  expect_batch_equals_one_run_each(core::preset_market("NQ"));
  // A point value of 0 makes every size infinite: skips that only the division finds.
  core::Market no_value = core::preset_market("NQ");
  no_value.point_value = 0.0;
  expect_batch_equals_one_run_each(no_value);
}

TEST(SharedSignals, LongRangesListEveryCandidateAndReadAhead) {
  // Past 2^17 bars single candidates walk a list too, and small groups' walks ask for their
  // bars ahead, up to the last bar near the end.
  const core::Market market = core::preset_market("NQ");
  const std::vector<strategy::Candidate> keys = batch_candidates();
  constexpr std::size_t kBars = (std::size_t{1} << 17) + 3000;
  const auto engine = testkit::make_engine(data::generate_synthetic(kBars, 4));
  for (const std::uint64_t delay : {0u, 2u}) {
    core::Exec exec = core::default_spec().exec;
    exec.delay = delay;
    bt::TouchTables fresh;
    if (delay == 0) bt::add_touch_tables(fresh, keys, engine->inputs(), market, exec, 0, kBars);
    std::vector<bt::SegmentSummary> shared(keys.size());
    bt::run_fast_batch(keys, engine->inputs(), market, exec, 0, kBars, shared,
                       delay == 0 ? &fresh : nullptr);
    std::uint64_t trades = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      bt::SegmentSummary alone;
      bt::run_fast(keys[i], engine->inputs(), market, exec, 0, kBars, alone);
      ASSERT_EQ(shared[i], alone) << strategy::format_id(keys[i]) << " delay " << delay;
      trades += alone.trades;
    }
    EXPECT_GT(trades, 0u);
  }
}

TEST(SharedSignals, LongRangesStepVariantsOfOneHoldTogetherBlockByBlock) {
  // Past 2^15 bars the exit variants of a stream that each have their own stop and rr
  // (one hold, as exhaustive windows hand them over) run a block of bars at a time, each
  // pausing once flat past a block's end: every summary is still that of its own run.
  const core::Market market = core::preset_market("NQ");
  std::vector<strategy::Candidate> keys;
  core::SplitMix64 rng(8);
  for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
    const std::size_t stop = strategy::param_position(f, "stop_atr");
    const std::size_t rr = strategy::param_position(f, "rr");
    const std::size_t hold = strategy::param_position(f, "hold");
    for (const std::size_t h : {std::size_t{0}, strategy::value_count(f, hold) - 1}) {
      strategy::Candidate c;
      do {
        c = strategy::random_candidate(f, rng);
      } while (!strategy::is_valid(c));
      c.idx[hold] = static_cast<std::uint8_t>(h);
      for (std::uint8_t r = 0; r < strategy::value_count(f, rr); ++r) {
        for (std::uint8_t s = 0; s < strategy::value_count(f, stop); ++s) {
          c.idx[stop] = s;
          c.idx[rr] = r;
          keys.push_back(c);
        }
      }
    }
  }
  constexpr std::size_t kBars = (std::size_t{1} << 15) + 5000;
  for (data::BarSeries& bars : series(kBars)) {
    const auto engine = testkit::make_engine(std::move(bars));
    for (const std::uint64_t delay : {0u, 2u}) {
      core::Exec exec = core::default_spec().exec;
      exec.delay = delay;
      for (const auto& [start, end] : {std::pair<std::size_t, std::size_t>{0, kBars},
                                       {1234, kBars - 777}}) {
        bt::TouchTables tables;
        bt::add_touch_tables(tables, keys, engine->inputs(), market, exec, start, end);
        std::vector<bt::SegmentSummary> shared(keys.size());
        bt::run_fast_batch(keys, engine->inputs(), market, exec, start, end, shared, &tables);
        std::uint64_t trades = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
          bt::SegmentSummary alone;
          bt::run_fast(keys[i], engine->inputs(), market, exec, start, end, alone);
          ASSERT_EQ(shared[i], alone) << strategy::format_id(keys[i]) << " delay " << delay
                                      << " from " << start;
          trades += alone.trades;
        }
        EXPECT_GT(trades, 1000u);
      }
    }
  }
}

TEST(SharedSignals, KeysGroupByEntryStreamInFamilyThenIdxOrder) {
  // Lattice keys of every family, reversed so that the grouping has to sort, and already in
  // stream order, which it keeps.
  std::vector<strategy::Candidate> keys;
  for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
    for (std::uint64_t i = 0; i < 3000; ++i) keys.push_back(strategy::enumerate(f, i * 7 % strategy::family_size(f)));
  }
  std::reverse(keys.begin(), keys.end());
  for (int pass = 0; pass < 2; ++pass) {
    std::map<std::pair<std::uint8_t, std::array<std::uint8_t, strategy::kMaxDims>>,
             std::vector<std::uint32_t>>
        expected;
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
      const strategy::Candidate s = bt::entry_stream(keys[i]);
      expected[{s.family, s.idx}].push_back(i);
    }
    const bt::StreamGroups g = bt::group_by_stream(keys);
    ASSERT_EQ(g.bounds.size(), expected.size() + 1);
    std::size_t group = 0;
    for (const auto& [stream, members] : expected) {
      const std::vector<std::uint32_t> got(g.order.begin() + g.bounds[group],
                                           g.order.begin() + g.bounds[group + 1]);
      ASSERT_EQ(got, members) << "group " << group;
      ++group;
    }
    std::vector<strategy::Candidate> ordered;
    for (const std::uint32_t i : g.order) ordered.push_back(keys[i]);
    keys = std::move(ordered);
  }
}

TEST(SharedSignals, StreamsWithTheSameListCopyTheSummariesOfTheFirst) {
  // Pullback parameters that decide alike give different entry streams one signal list:
  // every exit variant of a pb_atr x pb_window x breakout_len block, every other stream's
  // members in reversed order. Each summary is still that of its own run, and some streams
  // do repeat others.
  const core::Market market = core::preset_market("NQ");
  const std::size_t stop = strategy::param_position(0, "stop_atr");
  const std::size_t rr = strategy::param_position(0, "rr");
  std::vector<strategy::Candidate> keys;
  std::vector<std::vector<std::uint32_t>> streams;
  for (std::uint8_t breakout = 0; breakout < 2; ++breakout) {
    for (std::uint8_t window = 0; window < strategy::value_count(0, 4); ++window) {
      for (std::uint8_t atr = 0; atr < strategy::value_count(0, 3); ++atr) {
        strategy::Candidate c = strategy::enumerate(0, 0);
        c.idx[3] = atr;
        c.idx[4] = window;
        c.idx[5] = breakout;
        if (!strategy::is_valid(c)) continue;
        std::vector<std::uint32_t>& members = streams.emplace_back();
        for (std::uint8_t r = 0; r < strategy::value_count(0, rr); ++r) {
          for (std::uint8_t s = 0; s < strategy::value_count(0, stop); ++s) {
            c.idx[stop] = s;
            c.idx[rr] = r;
            members.push_back(static_cast<std::uint32_t>(keys.size()));
            keys.push_back(c);
          }
        }
        if (streams.size() % 2 == 0) {
          std::reverse(keys.end() - static_cast<std::ptrdiff_t>(members.size()), keys.end());
        }
      }
    }
  }
  for (data::BarSeries& bars : series()) {
    const auto engine = testkit::make_engine(std::move(bars));
    const core::Exec exec = core::default_spec().exec;
    std::vector<bt::SegmentSummary> alone(keys.size()), shared(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      bt::run_fast(keys[i], engine->inputs(), market, exec, 0, 3000, alone[i]);
    }
    bt::run_fast_batch(keys, engine->inputs(), market, exec, 0, 3000, shared);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(shared[i], alone[i]) << strategy::format_id(keys[i]);
    }
    // Streams whose variants all agree, exit by exit, with those of an earlier stream.
    std::vector<std::vector<bt::SegmentSummary>> seen;
    int repeats = 0;
    for (std::vector<std::uint32_t> members : streams) {
      std::sort(members.begin(), members.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::pair(keys[a].idx[rr], keys[a].idx[stop]) <
               std::pair(keys[b].idx[rr], keys[b].idx[stop]);
      });
      std::vector<bt::SegmentSummary> by_exit;
      for (const std::uint32_t i : members) by_exit.push_back(alone[i]);
      repeats += std::count(seen.begin(), seen.end(), by_exit) > 0 ? 1 : 0;
      seen.push_back(std::move(by_exit));
    }
    EXPECT_GT(repeats, 0);
  }
}

TEST(SharedSignals, TablesKeepTheirTouchesBySignalWhereLanesRunThem) {
  const core::Market market = core::preset_market("NQ");
  const auto engine = testkit::make_engine(data::generate_synthetic(3000, 6));
  const core::Exec exec = core::default_spec().exec;
  for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
    strategy::Candidate c;
    core::SplitMix64 rng(f);
    do {
      c = strategy::random_candidate(f, rng);
    } while (!strategy::is_valid(c));
    const bt::TouchTable t = bt::build_touch_table(c, engine->inputs(), market, exec, 100, 2900);
    if (!bt::lanes_supported()) {
      EXPECT_TRUE(t.pair_offsets.empty() && t.pair_r.empty() && t.pair_move_value.empty());
      continue;
    }
    const std::size_t pairs = t.stops * t.rrs;
    ASSERT_EQ(t.pair_offsets.size(), t.offsets.size() + bt::kMaxLanes);
    ASSERT_EQ(t.pair_r.size(), t.pair_offsets.size());
    ASSERT_EQ(t.stop_reciprocal.size(), t.rows * bt::kLaneStops);
    std::size_t touches = 0;
    for (std::size_t i = 0; i < t.rows; ++i) {
      for (const bool is_short : {false, true}) {
        for (std::size_t p = 0; p < pairs; ++p) {
          const std::uint8_t off = t.offsets[t.column(p % t.stops, p / t.stops) + 2 * i + is_short];
          ASSERT_EQ(t.pair_offsets[t.pairs_at(i, is_short) + p], off) << int{f} << " row " << i;
          touches += off != bt::TouchTable::kNoTouch;
        }
      }
    }
    EXPECT_GT(touches, t.rows);
  }
}
