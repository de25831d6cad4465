// The search-method comparison: sizes, grid plan, neighbours, frontier order, curve
// thinning, targets and summaries, the budget cap, exhausted spaces and determinism.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <memory>

#include "bt_fixture.hpp"
#include "data/synthetic.hpp"
#include "search/methods.hpp"

using namespace varnek;
using search::CurvePoint;
using search::SearchTrace;
using strategy::Candidate;

TEST(MethodSeeds, GeneratorStatesOfTheRepetitionSeed) {
  struct Case {
    std::uint64_t mask, state_mask;
  };
  const Case cases[] = {{search::kRandomSeedMask, 0x9E3779B97F4A7C15ULL},
                        {search::kRfGuidedSeedMask, 0x9E3779B97F4AD7D8ULL},
                        {search::kGraphSeedMask, 0x9E3779B97F4A2D44ULL}};
  for (const std::uint64_t s : {0ULL, 42ULL, 1042ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    for (const Case& c : cases) {
      EXPECT_EQ(core::SplitMix64(s ^ c.mask).state, s ^ c.state_mask) << s;
    }
  }
}

TEST(MethodSizes, WarmupAndSeedsNeverExceedTheBudget) {
  struct Case {
    std::uint64_t budget, warmup, seeds;
  };
  const Case cases[] = {{0, 0, 0},     {10, 10, 10},     {40, 40, 32},
                        {200, 64, 32}, {1000, 200, 100}, {5000, 1000, 500}};
  for (const Case& c : cases) {
    EXPECT_EQ(search::warmup_draws(c.budget), c.warmup) << c.budget;
    EXPECT_EQ(search::graph_seed_draws(c.budget), c.seeds) << c.budget;
  }
}

TEST(GridPlan, QuotaPerFamilyAndStride) {
  struct Case {
    std::vector<std::uint8_t> families;
    std::uint64_t budget;
    std::vector<std::pair<std::uint8_t, std::uint64_t>> first;  // (family, lattice index)
    std::size_t size;
  };
  const Case cases[] = {
      // Two families, B = 5: quota 2, stride size / 2.
      {{2, 3}, 5, {{2, 0}, {2, 8400}, {3, 0}, {3, 20000}}, 4},
      // Fewer evaluations than families: quota 0, nothing to take.
      {{0, 1, 2, 3, 4}, 3, {}, 0},
      // Stride 221 over ema_cross: index 221 (fast 30, slow 20) is invalid and skipped.
      {{1}, 390, {{1, 0}, {1, 442}, {1, 663}}, 359},
      // A quota above the family's size visits every position once.
      {{2}, 100000, {{2, 0}, {2, 1}, {2, 2}}, 16800},
  };
  for (const auto& c : cases) {
    const std::vector<Candidate> keys = search::grid_plan(c.families, c.budget);
    EXPECT_EQ(keys.size(), c.size) << c.budget;
    for (std::size_t i = 0; i < c.first.size() && i < keys.size(); ++i) {
      EXPECT_EQ(keys[i], strategy::enumerate(c.first[i].first, c.first[i].second)) << i;
    }
  }
}

TEST(Neighbours, LevelDownThenUpPerDimensionValidOnly) {
  struct Case {
    const char* node;
    std::vector<const char*> expected;
  };
  const Case cases[] = {
      // 1-fb (fast 30, slow 30) and 1-ea (fast 20, slow 20) fail the fast-below-slow rule.
      {"1-eb",
       {"1-db", "1-ec", "1-ebb", "1-ebab", "1-ebaab", "1-ebaaab", "1-ebaaaab", "1-ebaaaaab"}},
      // Top levels only step down.
      {"2-gcedddb",
       {"2-fcedddb", "2-gbedddb", "2-gcddddb", "2-gcecddb", "2-gceeddb", "2-gcedcdb", "2-gceddcb",
        "2-gceddda"}},
  };
  for (const Case& c : cases) {
    std::vector<Candidate> expected;
    for (const char* id : c.expected) expected.push_back(testkit::id(id));
    EXPECT_EQ(search::neighbours(testkit::id(c.node)), expected) << c.node;
  }
}

TEST(BestFirstHeap, HighestScoreFirstAndTiesInPushOrder) {
  const double scores[] = {-3.0, 1.5, -3.0, 1.5, std::nan(""), -3.0, 2.0};
  search::BestFirstHeap heap;
  for (std::size_t i = 0; i < std::size(scores); ++i) heap.push(scores[i], i);
  std::vector<std::size_t> popped;
  while (!heap.empty()) popped.push_back(heap.pop());
  EXPECT_EQ(popped, (std::vector<std::size_t>{6, 1, 3, 0, 2, 5, 4}));
}

TEST(ThinCurve, FirstEveryStepThAndLastWithoutRepeats) {
  struct Case {
    std::size_t raw, kept;
    std::uint64_t second, before_last;  // evaluation counts of two kept points
  };
  const Case cases[] = {
      {1000, 201, 6, 996},  // step 5
      {400, 201, 3, 399},   // step 2; the last point follows the last step
      {401, 201, 3, 399},   // step 2; the last point is a step point, kept once
      {199, 199, 2, 198},   // step 1
      {2, 2, 2, 1},
  };
  for (const Case& c : cases) {
    std::vector<CurvePoint> raw;
    for (std::uint64_t e = 1; e <= c.raw; ++e)
      raw.push_back({e, -3.0 + 0.001 * static_cast<double>(e)});
    const std::vector<CurvePoint> thin = search::thin_curve(raw);
    ASSERT_EQ(thin.size(), c.kept) << c.raw;
    EXPECT_EQ(thin.front(), raw.front());
    EXPECT_EQ(thin.back(), raw.back());
    EXPECT_EQ(thin[1].evals, c.second) << c.raw;
    EXPECT_EQ(thin[thin.size() - 2].evals, c.before_last) << c.raw;
  }
  EXPECT_TRUE(search::thin_curve({}).empty());
  EXPECT_EQ(search::thin_curve(std::vector<CurvePoint>{{1, 0.5}}).size(), 1u);
}

TEST(Targets, NinetyFivePercentOfAPositiveBestElseTheBestItself) {
  struct Case {
    double best, target;
  };
  const Case cases[] = {{2.0, 1.9}, {-0.4, -0.4}, {0.0, 0.0}, {search::kNoScore, search::kNoScore}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(search::target_score(c.best), c.target) << c.best;

  SearchTrace t;
  t.curve = {{1, -1.0}, {5, -0.4}, {9, 2.0}};
  t.evals = 10;
  t.seconds = 2.0;
  struct Reach {
    double target;
    bool reached;
    std::uint64_t evals;
    double seconds;
  };
  const Reach reaches[] = {{-0.4, true, 5, 1.0}, {1.9, true, 9, 1.8}, {2.5, false, 0, 0.0}};
  for (const Reach& r : reaches) {
    search::apply_target(t, r.target);
    EXPECT_EQ(t.reached, r.reached) << r.target;
    EXPECT_EQ(t.evals_to_target, r.evals) << r.target;
    EXPECT_DOUBLE_EQ(t.seconds_to_target, r.seconds) << r.target;
  }
  SearchTrace never;  // no evaluation: no curve point reaches even the lowest target
  search::apply_target(never, search::kNoScore);
  EXPECT_FALSE(never.reached);
}

TEST(Summary, MeansSharesAndTheirJson) {
  std::vector<SearchTrace> reps(5);
  const double bests[] = {1.0, 2.0, 3.0, 4.0, 5.0};
  for (std::size_t i = 0; i < reps.size(); ++i) {
    reps[i].name = "grid";
    reps[i].best_score = bests[i];
    reps[i].evals = 100;
    reps[i].seconds = 0.5;
  }
  reps[0].curve = {{1, 1.0}, {2, std::nan("")}};
  reps[1].reached = reps[3].reached = true;
  reps[1].evals_to_target = 10;
  reps[3].evals_to_target = 31;
  const search::MethodSummary s = search::summarize(reps, 100);
  EXPECT_EQ(core::to_compact(search::to_json(s)),
            R"({"budget":100,"curve":[[1,1.0],[2,null]],"evals_per_sec":200.0,)"
            R"("mean_best_score":3.0,"mean_evals_to_95pct":20.5,"mean_seconds":0.5,)"
            R"("method":"grid","reached_95pct_share":0.4,"seeds":5})");

  // A method that never evaluated: the lowest finite mean, no share, no mean to target.
  std::vector<SearchTrace> idle(5);
  const search::MethodSummary none = search::summarize(idle, 3);
  EXPECT_EQ(none.mean_best_score, search::kNoScore);
  const core::Json j = search::to_json(none);
  EXPECT_EQ(j["mean_best_score"].get<double>(), search::kNoScore);
  EXPECT_EQ(j["reached_95pct_share"].get<double>(), 0.0);
  EXPECT_TRUE(j["mean_evals_to_95pct"].is_null());
  EXPECT_EQ(j["evals_per_sec"].get<double>(), 0.0);
}

class MethodContext : public ::testing::Test {
 protected:
  void use_bars(std::size_t n) {
    engine_ = testkit::make_engine(data::generate_synthetic(n, 5));
    ctx_.reset(new search::EvalContext{engine_->bars, engine_->features, engine_->tables,
                                       core::preset_market("NQ"), core::default_spec().exec,
                                       search::make_split(n, 0.6, 0.2), 30});
  }
  void SetUp() override { use_bars(2000); }

  // Runs one method and checks that the context counted exactly its evaluations.
  SearchTrace run(search::Method m, std::span<const std::uint8_t> families, std::uint64_t budget,
                  std::uint64_t s) {
    const std::uint64_t before = ctx_->evaluations.load();
    SearchTrace t;
    switch (m) {
      case search::Method::random:
        t = search::run_random(*ctx_, families, budget, s);
        break;
      case search::Method::grid:
        t = search::run_grid(*ctx_, families, budget);
        break;
      case search::Method::rf_guided:
        t = search::run_rf_guided(*ctx_, families, budget, s);
        break;
      case search::Method::graph_best_first:
        t = search::run_graph_best_first(*ctx_, families, budget, s);
        break;
    }
    EXPECT_EQ(ctx_->evaluations.load() - before, t.evals) << t.name;
    EXPECT_EQ(ctx_->test_evaluations.load(), 0u);
    if (t.evals > 0) {
      EXPECT_EQ(t.curve.back().evals, t.evals);
      EXPECT_EQ(t.curve.back().best, t.best_score);
    }
    return t;
  }

  std::unique_ptr<testkit::Engine> engine_;
  std::unique_ptr<search::EvalContext> ctx_;
};

constexpr std::uint8_t kAllFamilies[] = {0, 1, 2, 3, 4};

TEST_F(MethodContext, NoMethodEvaluatesMoreThanTheBudget) {
  // 1 and 20: the warm-up and the graph seeds are cut to B; 70: a popped node near the end
  // may propose fewer than four neighbours; 300: the graph's forest orders proposals.
  for (const std::uint64_t budget : {1u, 20u, 70u, 300u}) {
    for (const search::Method m : search::kMethods) {
      const SearchTrace t = run(m, kAllFamilies, budget, 42);
      EXPECT_EQ(t.name, search::method_name(m));
      if (m == search::Method::grid) {
        EXPECT_EQ(t.evals, search::grid_plan(kAllFamilies, budget).size()) << budget;
      } else {
        // The space is far larger than B, so every other method fills it exactly.
        EXPECT_EQ(t.evals, budget) << t.name << " " << budget;
      }
    }
  }
}

TEST_F(MethodContext, AnExhaustedSpaceEndsEveryMethod) {
  use_bars(400);
  // donchian_breakout alone has 16800 variants; the warm-up and seed draws of this budget
  // see all of them, so the guided search's first pool is empty.
  const std::uint8_t donchian[] = {2};
  const std::uint64_t space = strategy::family_size(2);
  for (const search::Method m : search::kMethods) {
    const SearchTrace t = run(m, donchian, 5'000'000, 7);
    if (m == search::Method::random) {
      EXPECT_LE(t.evals, space);  // stops at the first batch of repeats
      EXPECT_GT(t.evals, space / 2);
    } else {
      EXPECT_EQ(t.evals, space) << t.name;
    }
  }
}

TEST_F(MethodContext, SameSummariesWithOneOrTwoWorkers) {
  auto compare = [&](int workers) {
    std::vector<std::size_t> announced;
    std::vector<search::MethodSummary> out;
    tbb::task_arena(workers).execute([&] {
      out = search::compare_methods(*ctx_, kAllFamilies, 300, 11,
                                    [&](std::size_t rep) { announced.push_back(rep); });
    });
    EXPECT_EQ(announced, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    core::Json j = search::to_json(out);
    for (core::Json& m : j) {
      EXPECT_GT(m["mean_seconds"].get<double>(), 0.0);
      m.erase("mean_seconds");
      m.erase("evals_per_sec");
    }
    return j;
  };
  const core::Json one = compare(1);
  const core::Json two = compare(2);
  EXPECT_EQ(one, two);
  ASSERT_EQ(one.size(), 4u);
  double reached = 0.0;
  for (std::size_t m = 0; m < 4; ++m) {
    EXPECT_EQ(one[m]["method"], search::method_name(search::kMethods[m]));
    EXPECT_EQ(one[m]["seeds"], 5);
    reached += one[m]["reached_95pct_share"].get<double>();
  }
  // In every repetition the method holding the best score reaches the target.
  EXPECT_GE(reached, 1.0);
}
