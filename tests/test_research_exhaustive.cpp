// Exhaustive mode's source of keys and train summaries.
#include <gtest/gtest.h>

#include <vector>

#include "bt_fixture.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"
#include "research/exhaustive.hpp"

using namespace varnek;

namespace {

struct OneProcess final : research::Cluster {
  OneProcess() : Cluster(0, {2}) {}
};

}  // namespace

// Window after window (whole families, or windows cut smaller than a family), chunks that
// straddle windows and families: every key of the lattice once, in enumeration order, with
// exactly its own fast run on the train segment, and an empty summary for an invalid key.
TEST(ExhaustiveSource, HandsOutTheLatticeInOrderWithEachKeysOwnRun) {
  const auto engine = testkit::make_engine(data::generate_synthetic(900, 3));
  const core::Market market = core::preset_market("NQ");
  const core::Exec exec = core::default_spec().exec;
  const search::EvalContext ctx{engine->bars, engine->features, engine->tables, market, exec,
                                search::make_split(900, 0.6, 0.2), 30};
  OneProcess cluster;
  research::Fanouts fanouts(ctx, cluster);
  const std::vector<std::uint8_t> families = {2, 3, 2};
  for (const std::size_t cap : {research::ExhaustiveSource::kWindowCap, std::size_t{1000}}) {
    research::ExhaustiveSource source(families, fanouts, [] { return false; }, cap);
    std::vector<strategy::Candidate> keys;
    std::vector<bt::SegmentSummary> summaries;
    std::size_t entry = 0;
    std::uint64_t index = 0, trades = 0;
    for (source.next_chunk(keys, summaries, 8192); !keys.empty();
         source.next_chunk(keys, summaries, 8192)) {
      ASSERT_EQ(summaries.size(), keys.size());
      for (std::size_t i = 0; i < keys.size(); ++i, ++index) {
        if (index == strategy::family_size(families[entry])) {
          ++entry;
          index = 0;
        }
        ASSERT_LT(entry, families.size());
        const strategy::Candidate expected = strategy::enumerate(families[entry], index);
        ASSERT_EQ(keys[i], expected) << "cap " << cap;
        bt::SegmentSummary alone;
        if (strategy::is_valid(expected)) {
          bt::run_fast(expected, engine->inputs(), market, exec, ctx.split.train.start,
                       ctx.split.train.end, alone);
        }
        ASSERT_EQ(summaries[i], alone) << strategy::format_id(expected) << " cap " << cap;
        trades += alone.trades;
      }
    }
    EXPECT_FALSE(source.stopped());
    EXPECT_EQ(entry, families.size() - 1);
    EXPECT_EQ(index, strategy::family_size(families.back()));
    EXPECT_GT(trades, 0u);
  }
}

// A spent budget ends the lattice after the piece in which it is noticed: the windows
// handed out before are whole, the interrupted one is dropped, and the first window always
// completes.
TEST(ExhaustiveSource, AStopEndsTheLatticeAtTheInterruptedWindow) {
  const auto engine = testkit::make_engine(data::generate_synthetic(400, 3));
  const core::Market market = core::preset_market("NQ");
  const search::EvalContext ctx{engine->bars, engine->features, engine->tables, market,
                                core::default_spec().exec, search::make_split(400, 0.6, 0.2),
                                30};
  OneProcess cluster;
  research::Fanouts fanouts(ctx, cluster);
  const std::vector<std::uint8_t> donchian = {2};
  const struct {
    std::size_t cap;
    int stop_at_ask;         // `stop` says yes from this ask on
    int asked;               // asks made
    std::size_t handed_out;  // keys handed out before the end
    bool stopped;
  } cases[] = {
      {research::ExhaustiveSource::kWindowCap, 1, 0, 16800, false},  // one window, two pieces
      {1000, 1, 1, 525, true},                                        // windows of 525
      {1000, 2, 2, 2 * 525, true},
  };
  for (const auto& c : cases) {
    int asked = 0;
    research::ExhaustiveSource source(
        donchian, fanouts, [&] { return ++asked >= c.stop_at_ask; }, c.cap);
    std::vector<strategy::Candidate> keys;
    std::vector<bt::SegmentSummary> summaries;
    std::size_t handed_out = 0;
    for (source.next_chunk(keys, summaries, 300); !keys.empty();
         source.next_chunk(keys, summaries, 300)) {
      handed_out += keys.size();
    }
    EXPECT_EQ(source.stopped(), c.stopped) << c.cap << " " << c.stop_at_ask;
    EXPECT_EQ(handed_out, c.handed_out) << c.cap << " " << c.stop_at_ask;
    EXPECT_EQ(asked, c.asked) << c.cap << " " << c.stop_at_ask;
  }
  // A caller that leaves after its first chunk: the window backtested ahead meanwhile has
  // finished (and asked) by the time the source is gone.
  int asked = 0;
  {
    research::ExhaustiveSource source(donchian, fanouts, [&] { return ++asked >= 1; }, 1000);
    std::vector<strategy::Candidate> keys;
    std::vector<bt::SegmentSummary> summaries;
    source.next_chunk(keys, summaries, 300);
    EXPECT_EQ(keys.size(), 300u);
  }
  EXPECT_EQ(asked, 1);
}
