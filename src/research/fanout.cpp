#include "research/fanout.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "core/fatal.hpp"
#include "core/parallel.hpp"
#include "research/funnel.hpp"
#include "research/wire.hpp"

namespace varnek::research {
namespace {

using strategy::Candidate;

// One promoted candidate's blocks: its sums of R and its trade counts.
struct BlockRow {
  std::vector<double> sum_r;
  std::vector<std::uint32_t> trades;
};

void put(wire::Writer& w, const BlockRow& row) {
  w.put_count(row.sum_r.size());
  w.put_raw(row.sum_r.data(), row.sum_r.size() * sizeof(double));
  w.put_raw(row.trades.data(), row.trades.size() * sizeof(std::uint32_t));
}

void get(wire::Reader& r, BlockRow& row) {
  const std::size_t n = r.get_count(sizeof(double) + sizeof(std::uint32_t));
  row.sum_r.resize(n);
  row.trades.resize(n);
  r.get_raw(row.sum_r.data(), n * sizeof(double));
  r.get_raw(row.trades.data(), n * sizeof(std::uint32_t));
}

// What each command computes on one process's share: the same code on every rank.

// With `touches`, the first-touch tables of the keys' families are built first, once per
// process, and read by the runs.
std::vector<bt::SegmentSummary> local_train_summaries(const search::EvalContext& ctx,
                                                      std::span<const Candidate> keys,
                                                      bt::TouchTables* touches = nullptr) {
  std::vector<bt::SegmentSummary> out(keys.size());
  const search::Range train = ctx.split.train;
  if (touches != nullptr) {
    bt::add_touch_tables(*touches, keys, ctx.inputs(), ctx.market, ctx.exec, train.start,
                         train.end);
  }
  bt::run_fast_batch(keys, ctx.inputs(), ctx.market, ctx.exec, train.start, train.end, out,
                     touches);
  return out;
}

std::vector<double> local_train_scores(const search::EvalContext& ctx,
                                       std::span<const Candidate> keys) {
  const std::vector<search::Scored> scored =
      search::score_batch(ctx, keys, search::SegmentRef::train());
  std::vector<double> out(scored.size());
  for (std::size_t i = 0; i < scored.size(); ++i) out[i] = scored[i].score;
  return out;
}

std::vector<float> local_predictions(const rf::Forest& forest, std::span<const Candidate> keys) {
  return rf::predict_batch(forest, keys, 0.5f);
}

// Rows are written by their own task, so they do not depend on scheduling.
std::vector<BlockRow> local_block_returns(const search::EvalContext& ctx,
                                          std::span<const Candidate> keys) {
  const std::uint64_t start = ctx.split.train.start, end = ctx.split.validation.end;
  return core::parallel_map<BlockRow>(keys.size(), [&](std::size_t i) {
    std::vector<bt::TradeResult> trades;
    search::evaluate_results(ctx, keys[i], search::SegmentRef::train_validation(), ctx.exec,
                             trades);
    validate::BlockReturns one = validate::make_block_returns(1, kPboBlocks);
    validate::add_trades_to_blocks(one, 0, trades, start, end);
    return BlockRow{std::move(one.sum_r), std::move(one.trades)};
  });
}

std::vector<bt::SegmentSummary> local_validation(const search::EvalContext& ctx,
                                                 std::span<const Candidate> keys) {
  return core::parallel_map<bt::SegmentSummary>(keys.size(), [&](std::size_t i) {
    return search::evaluate(ctx, keys[i], search::SegmentRef::validation(), ctx.exec);
  });
}

[[noreturn]] void different_count() {
  core::fatal("a fan-out returned a different number of results than it was given");
}

}  // namespace

template <class Out, class In, class Local>
std::vector<Out> Fanouts::spread(Command command, std::span<const In> inputs, Local&& local) {
  if (!cluster_.distributed() || inputs.empty()) {
    std::vector<Out> out = local(inputs);
    if (out.size() != inputs.size()) different_count();
    return out;
  }
  std::vector<std::string> messages;
  for (int w = 1; w < cluster_.size(); ++w) {
    const auto [first, last] = cluster_.share(inputs.size(), w);
    wire::Writer message;
    message.put(command);
    wire::put_list(message, inputs.subspan(first, last - first));
    messages.push_back(message.take());
  }
  const auto [first, last] = cluster_.share(inputs.size(), 0);
  std::vector<Out> out;
  const std::vector<std::string> replies = cluster_.round(std::move(messages), 0.0, [&] {
    out = local(inputs.subspan(first, last - first));
  });
  if (out.size() != last - first) different_count();
  for (int w = 1; w < cluster_.size(); ++w) {
    wire::Reader reply(replies[w - 1]);
    ctx_.evaluations.fetch_add(reply.get<std::uint64_t>(), std::memory_order_relaxed);
    ctx_.bars_simulated.fetch_add(reply.get<std::uint64_t>(), std::memory_order_relaxed);
    std::vector<Out> part = wire::get_list<Out>(reply);
    reply.expect_end();
    const auto [from, to] = cluster_.share(inputs.size(), w);
    if (part.size() != to - from) different_count();
    std::move(part.begin(), part.end(), std::back_inserter(out));
  }
  if (out.size() != inputs.size()) different_count();
  return out;
}

std::vector<bt::SegmentSummary> Fanouts::train_summaries(std::span<const Candidate> keys) {
  return spread<bt::SegmentSummary>(Command::train_summaries, keys, [&](auto share) {
    return local_train_summaries(ctx_, share);
  });
}

std::vector<bt::SegmentSummary> Fanouts::lattice_summaries(std::span<const Candidate> keys) {
  return spread<bt::SegmentSummary>(Command::lattice_summaries, keys, [&](auto share) {
    return local_train_summaries(ctx_, share, &touches_);
  });
}

std::vector<double> Fanouts::train_scores(std::span<const Candidate> keys) {
  return spread<double>(Command::train_scores, keys,
                        [&](auto share) { return local_train_scores(ctx_, share); });
}

std::vector<float> Fanouts::predictions(const rf::Forest& forest,
                                        std::span<const Candidate> keys) {
  if (cluster_.distributed() && !keys.empty()) {
    wire::Writer message;
    message.put(Command::forest);
    wire::put(message, forest);
    const std::string& bytes = message.bytes();
    cluster_.round(std::vector<std::string>(cluster_.size() - 1, bytes), 0.0, [] {});
  }
  return spread<float>(Command::predictions, keys,
                       [&](auto share) { return local_predictions(forest, share); });
}

validate::BlockReturns Fanouts::block_returns(std::span<const Candidate> keys) {
  constexpr std::size_t blocks = kPboBlocks;
  const std::vector<BlockRow> rows = spread<BlockRow>(
      Command::block_returns, keys, [&](auto share) { return local_block_returns(ctx_, share); });
  validate::BlockReturns out = validate::make_block_returns(keys.size(), blocks);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].sum_r.size() != blocks) core::fatal("a block row has the wrong length");
    std::copy(rows[i].sum_r.begin(), rows[i].sum_r.end(), out.sum_r.begin() + i * blocks);
    std::copy(rows[i].trades.begin(), rows[i].trades.end(), out.trades.begin() + i * blocks);
  }
  return out;
}

std::vector<bt::SegmentSummary> Fanouts::validation(std::span<const Candidate> keys) {
  return spread<bt::SegmentSummary>(Command::validation, keys,
                                    [&](auto share) { return local_validation(ctx_, share); });
}

std::vector<validate::WalkForwardEntry> Fanouts::walk_forward(std::span<const Candidate> keys,
                                                              const validate::Progress& progress) {
  const std::size_t total = keys.size();
  return spread<validate::WalkForwardEntry>(Command::walk_forward, keys, [&](auto share) {
    return validate::walk_forward(ctx_, share, [&](std::size_t done, std::size_t) {
      if (progress) progress(done, total);
    });
  });
}

std::vector<validate::RobustnessResult> Fanouts::robustness(
    std::span<const validate::WalkForwardEntry> entries) {
  return spread<validate::RobustnessResult>(Command::robustness, entries, [&](auto share) {
    return validate::robustness(ctx_, share);
  });
}

namespace {

// The reply to one command: what the share moved on the worker's counters, then its
// results in input order.
template <class Out>
std::string reply_with(const search::EvalContext& ctx, std::uint64_t evaluations,
                       std::uint64_t bars, const std::vector<Out>& results) {
  wire::Writer w;
  w.put(ctx.evaluations.load() - evaluations);
  w.put(ctx.bars_simulated.load() - bars);
  wire::put_list(w, std::span<const Out>(results));
  return w.take();
}

template <class In>
std::vector<In> inputs_of(wire::Reader& message) {
  std::vector<In> inputs = wire::get_list<In>(message);
  message.expect_end();
  return inputs;
}

}  // namespace

void serve_fanouts(const search::EvalContext& ctx, Cluster& cluster) {
  std::optional<rf::Forest> forest;
  bt::TouchTables touches;
  while (const std::optional<std::string> message = cluster.receive()) {
    wire::Reader in(*message);
    const auto command = in.get<Command>();
    const std::uint64_t evaluations = ctx.evaluations.load(), bars = ctx.bars_simulated.load();
    std::string reply;
    switch (command) {
      case Command::train_summaries:
        reply = reply_with(ctx, evaluations, bars,
                           local_train_summaries(ctx, inputs_of<Candidate>(in)));
        break;
      case Command::lattice_summaries:
        reply = reply_with(ctx, evaluations, bars,
                           local_train_summaries(ctx, inputs_of<Candidate>(in), &touches));
        break;
      case Command::train_scores:
        reply =
            reply_with(ctx, evaluations, bars, local_train_scores(ctx, inputs_of<Candidate>(in)));
        break;
      case Command::forest:
        forest.emplace();
        wire::get(in, *forest);
        in.expect_end();
        reply = reply_with(ctx, evaluations, bars, std::vector<float>{});
        break;
      case Command::predictions:
        if (!forest) core::fatal("predictions asked for before the forest was sent");
        reply =
            reply_with(ctx, evaluations, bars, local_predictions(*forest, inputs_of<Candidate>(in)));
        break;
      case Command::block_returns:
        reply =
            reply_with(ctx, evaluations, bars, local_block_returns(ctx, inputs_of<Candidate>(in)));
        break;
      case Command::validation:
        reply =
            reply_with(ctx, evaluations, bars, local_validation(ctx, inputs_of<Candidate>(in)));
        break;
      case Command::walk_forward: {
        const std::vector<Candidate> keys = inputs_of<Candidate>(in);
        reply = reply_with(ctx, evaluations, bars, validate::walk_forward(ctx, keys));
        break;
      }
      case Command::robustness: {
        const auto entries = inputs_of<validate::WalkForwardEntry>(in);
        reply = reply_with(ctx, evaluations, bars, validate::robustness(ctx, entries));
        break;
      }
      default:
        core::fatal("unknown command from rank 0");
    }
    cluster.reply(std::move(reply));
  }
  // The lock, checked: nothing in the command set reaches the test segment.
  if (ctx.test_evaluations.load() != 0) core::fatal("a worker process evaluated the test segment");
}

}  // namespace varnek::research
