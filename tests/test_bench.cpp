// The benchmark suite: its pure pieces (scaling plan, latency percentiles, targets) and
// the structure of a run with small sizes, on the default pool and on one worker.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "bench/suite.hpp"
#include "core/parallel.hpp"
#include "core/splitmix.hpp"
#include "data/synthetic.hpp"
#include "htf/features.hpp"
#include "strategy/decide.hpp"

using namespace varnek;
using core::Json;

TEST(BenchScalingPlan, DoublesBelowTheMaximumThenTheMaximumCappedAtEightWorkers) {
  struct Case {
    int max_workers;
    std::vector<int> workers;
  };
  const Case cases[] = {{0, {1}},
                        {1, {1}},
                        {2, {1, 2}},
                        {3, {1, 2, 3}},
                        {12, {1, 2, 4, 8, 12}},
                        {16, {1, 2, 4, 8, 16}}};
  for (const Case& c : cases) {
    const std::vector<bench::ScalingStep> plan = bench::scaling_plan(c.max_workers);
    ASSERT_EQ(plan.size(), c.workers.size()) << c.max_workers;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      EXPECT_EQ(plan[i].workers, c.workers[i]) << c.max_workers;
      const auto counted = static_cast<std::size_t>(std::min(c.workers[i], 8));
      EXPECT_EQ(plan[i].candidates, counted * 1500) << c.max_workers << " row " << i;
    }
  }
}

TEST(BenchLatency, PercentilesAtFloorOfQTimesNMinusOneOfTheSortedSamples) {
  // 1 .. 100 microseconds, in reverse order.
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i * 1e-6);
  const Json j = bench::latency_json(samples);
  EXPECT_DOUBLE_EQ(j["p50_us"].get<double>(), 50.0);  // index 49
  EXPECT_DOUBLE_EQ(j["p95_us"].get<double>(), 95.0);  // index 94
  EXPECT_DOUBLE_EQ(j["p99_us"].get<double>(), 99.0);  // index 98
  EXPECT_EQ(j["samples"], 100);
  EXPECT_EQ(bench::latency_json({}),
            Json::parse(R"({"p50_us":null,"p95_us":null,"p99_us":null,"samples":0})"));
}

TEST(BenchTargets, MetExactlyWhenTheMeasurementReachesTheTarget) {
  struct Case {
    double measured;
    bool met;
  };
  const Case cases[] = {{100000.0, true},
                        {std::nextafter(100000.0, 0.0), false},
                        {2.5e6, true},
                        {0.0, false},
                        {std::numeric_limits<double>::quiet_NaN(), false}};
  for (const Case& c : cases) {
    const Json j = bench::target_json(100000, c.measured);
    EXPECT_EQ(j["met"], c.met) << c.measured;
    EXPECT_EQ(j["target"], 100000);
    if (std::isnan(c.measured)) {
      EXPECT_TRUE(j["measured"].is_null());
    } else {
      EXPECT_EQ(j["measured"].get<double>(), c.measured);
    }
  }
}

namespace {

bench::Sizes small_sizes() {
  bench::Sizes s;
  s.pool = 1000;
  s.forest_rows = 200;
  s.passes = 2;
  s.decision_candidates = 40;
  s.decision_latency = 10;
  s.fast_backtests = 40;
  s.full_backtests = 20;
  s.scaling_per_worker = 100;
  s.load = {10, 50};
  return s;
}

struct SuiteRun {
  Json doc;
  std::vector<std::string> keys;  // progress keys in call order
  std::vector<Json> items;        // and their JSON
};

SuiteRun run_small(const data::BarSeries& bars) {
  SuiteRun run;
  auto result = bench::run_suite(
      bars, "synthetic:300",
      [&](std::string_view key, const Json& item) {
        run.keys.emplace_back(key);
        run.items.push_back(item);
      },
      small_sizes());
  EXPECT_TRUE(result.ok());
  if (result.ok()) run.doc = std::move(result.value());
  return run;
}

std::set<std::string> keys_of(const Json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

// Signals of the first `count` pool candidates (seed 99: the family first, then the
// candidate; invalid ones dropped), counted independently of the suite.
std::uint64_t pool_signals(const data::BarSeries& bars, std::size_t count) {
  core::SplitMix64 rng(99);
  std::vector<strategy::Candidate> pool;
  while (pool.size() < count) {
    const auto family = static_cast<std::uint8_t>(rng.next() % 5);
    const strategy::Candidate c = strategy::random_candidate(family, rng);
    if (strategy::is_valid(c)) pool.push_back(c);
  }
  const htf::FeatureSet fs = htf::build_feature_set(bars, strategy::feature_lengths());
  const strategy::DecisionTables tables = strategy::build_decision_tables(bars, fs);
  return strategy::signal_count(pool, {bars, fs, tables});
}

void expect_structure(const SuiteRun& run, const data::BarSeries& bars) {
  const bench::Sizes sizes = small_sizes();
  const Json& doc = run.doc;
  EXPECT_EQ(keys_of(doc),
            (std::set<std::string>{"bars", "benchmarks", "dataset", "feature_build_seconds",
                                   "load_test", "targets", "worker_scaling"}));
  EXPECT_EQ(doc["dataset"], "synthetic:300");
  EXPECT_EQ(doc["bars"], bars.size());
  EXPECT_GT(doc["feature_build_seconds"].get<double>(), 0.0);

  struct SectionShape {
    const char* name;
    std::set<std::string> keys;
  };
  const SectionShape shapes[] = {
      {"A — Random Forest inference",
       {"name", "trees", "max_depth", "features", "nodes", "throughput_per_sec", "latency",
        "unit"}},
      {"B — Feature encoding + RF", {"name", "throughput_per_sec", "latency", "unit"}},
      {"C — Decision engine (entry logic per bar)",
       {"name", "decisions_per_sec", "signals_fired", "latency_per_decision", "unit"}},
      {"D — Trade simulation (1 full backtest, 1 thread)",
       {"name", "backtests_per_sec_single_thread", "bars", "latency",
        "heap_allocations_per_backtest"}},
      {"E — Candidate evaluation (backtest + score, all workers)",
       {"name", "candidates", "candidates_per_sec", "decisions_per_sec", "workers"}},
      {"F — Full backtest (trade log + per-bar equity)",
       {"name", "latency", "backtests_per_sec_single_thread"}}};
  const Json& sections = doc["benchmarks"];
  ASSERT_EQ(sections.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(sections[i]["name"], shapes[i].name);
    EXPECT_EQ(keys_of(sections[i]), shapes[i].keys) << shapes[i].name;
  }
  const Json &a = sections[0], &c = sections[2], &d = sections[3], &e = sections[4];
  EXPECT_EQ(a["trees"], 64);
  EXPECT_EQ(a["max_depth"], 10);
  EXPECT_EQ(a["features"], 17);
  EXPECT_GT(a["nodes"].get<std::size_t>(), 64u);
  EXPECT_EQ(a["unit"], "prediction (64 trees)");
  EXPECT_EQ(a["latency"]["samples"], sizes.pool);
  EXPECT_EQ(sections[1]["latency"]["samples"], sizes.pool);
  EXPECT_EQ(sections[1]["unit"], "candidate scored");
  EXPECT_EQ(c["signals_fired"], pool_signals(bars, sizes.decision_candidates));
  EXPECT_EQ(c["latency_per_decision"]["samples"], sizes.decision_latency);
  EXPECT_EQ(c["unit"], "bar decision");
  EXPECT_EQ(d["bars"], bars.size());
  EXPECT_EQ(d["latency"]["samples"], sizes.fast_backtests);
  // The fast path allocates nothing: only D's own timing buffer is counted.
  EXPECT_DOUBLE_EQ(d["heap_allocations_per_backtest"].get<double>(),
                   1.0 / static_cast<double>(sizes.fast_backtests));
  EXPECT_EQ(e["candidates"], sizes.pool);
  EXPECT_EQ(e["workers"], core::worker_count());
  EXPECT_EQ(sections[5]["latency"]["samples"], sizes.full_backtests);

  const Json& scaling = doc["worker_scaling"];
  const auto plan = bench::scaling_plan(core::worker_count());
  ASSERT_EQ(scaling.size(), plan.size());
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const Json& row = scaling[i];
    EXPECT_EQ(keys_of(row),
              (std::set<std::string>{"workers", "candidates_per_sec", "speedup", "efficiency"}));
    EXPECT_EQ(row["workers"], plan[i].workers);
    EXPECT_DOUBLE_EQ(
        row["speedup"].get<double>(),
        row["candidates_per_sec"].get<double>() / scaling[0]["candidates_per_sec"].get<double>());
    EXPECT_DOUBLE_EQ(row["efficiency"].get<double>(),
                     row["speedup"].get<double>() / plan[i].workers);
  }
  EXPECT_EQ(scaling[0]["speedup"], 1.0);
  EXPECT_EQ(scaling[0]["efficiency"], 1.0);

  const Json& load = doc["load_test"];
  ASSERT_EQ(load.size(), sizes.load.size());
  for (std::size_t i = 0; i < load.size(); ++i) {
    EXPECT_EQ(keys_of(load[i]), (std::set<std::string>{"candidates", "seconds",
                                                       "candidates_per_sec", "decisions_per_sec"}));
    EXPECT_EQ(load[i]["candidates"], sizes.load[i]);
  }

  const Json& targets = doc["targets"];
  EXPECT_EQ(keys_of(targets), (std::set<std::string>{"rf_inference_per_sec", "decisions_per_sec"}));
  struct TargetShape {
    const char* key;
    std::uint64_t target;
    const Json& measured;
  };
  for (const TargetShape& t : {TargetShape{"rf_inference_per_sec", 100000, a["throughput_per_sec"]},
                               TargetShape{"decisions_per_sec", 10000, c["decisions_per_sec"]}}) {
    EXPECT_EQ(targets[t.key]["target"], t.target) << t.key;
    EXPECT_EQ(targets[t.key]["measured"], t.measured) << t.key;
    EXPECT_EQ(targets[t.key]["met"], t.measured.get<double>() >= static_cast<double>(t.target));
  }

  // One notification per section, scaling row and load row, carrying the document's JSON.
  std::vector<std::string> keys{"A", "B", "C", "D", "E", "F"};
  std::vector<Json> items(sections.begin(), sections.end());
  for (const Json& row : scaling) {
    keys.push_back("scaling");
    items.push_back(row);
  }
  for (const Json& row : load) {
    keys.push_back("load");
    items.push_back(row);
  }
  EXPECT_EQ(run.keys, keys);
  EXPECT_EQ(run.items, items);
}

}  // namespace

TEST(BenchSuite, SmallRunOnAllWorkersAndOnOne) {
  const data::BarSeries bars = data::generate_synthetic(300, 1);
  const SuiteRun all = run_small(bars);
  expect_structure(all, bars);
  SuiteRun one;
  tbb::task_arena(1).execute([&] {
    one = run_small(bars);
    expect_structure(one, bars);
  });
  ASSERT_EQ(one.doc["worker_scaling"].size(), 1u);
  EXPECT_EQ(one.doc["benchmarks"][4]["workers"], 1);
  // What the suite counts, as opposed to times, does not depend on the workers.
  for (const auto& [section, key] : {std::pair{0, "nodes"}, {2, "signals_fired"}}) {
    EXPECT_EQ(one.doc["benchmarks"][section][key], all.doc["benchmarks"][section][key]) << key;
  }
}

TEST(BenchSuite, ProgressLineIsTheKeyAndTheCompactJson) {
  EXPECT_EQ(bench::progress_line("scaling", Json{{"workers", 2}, {"speedup", 1.5}}),
            R"([bench scaling] {"speedup":1.5,"workers":2})");
}
