// Research runs end to end on small synthetic data: events, report, failures, determinism.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "research/driver.hpp"

using namespace varnek;
using core::Json;

namespace {

struct Outcome {
  core::Result<Json> result = core::Error{""};
  std::vector<Json> events;
};

Outcome run(const core::Spec& spec) {
  std::FILE* out = std::tmpfile();
  Outcome r;
  {
    research::EventSink sink(out);
    r.result = research::run_research(spec, sink);
  }
  std::rewind(out);
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
  std::fclose(out);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) r.events.push_back(Json::parse(line));
  return r;
}

core::Spec small_spec() {
  core::Spec s = core::default_spec();
  s.synthetic_bars = 6000;
  s.seed = 2;
  s.families = {"donchian_breakout", "ema_cross"};
  s.funnel = {3000, 800, 80, 12, 5};
  return s;
}

std::vector<std::string> phase_sequence(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const Json& e : events) {
    if (e["t"] == "phase") {
      out.push_back(e["phase"].get<std::string>() + ":" + e["status"].get<std::string>());
    }
  }
  return out;
}

// The report without what depends on time: timings, rates and timestamps.
Json timeless(Json report) {
  report.erase("elapsed_seconds");
  report.erase("throughput");
  report["reproducibility"].erase("timestamp");
  if (report["method_comparison"].is_array()) {
    for (Json& m : report["method_comparison"]) {
      m.erase("mean_seconds");
      m.erase("evals_per_sec");
    }
  }
  return report;
}

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

const Json* find_event(const std::vector<Json>& events, const std::string& kind) {
  for (const Json& e : events) {
    if (e["t"] == kind) return &e;
  }
  return nullptr;
}

}  // namespace

TEST(ResearchRun, NarratesEveryStageAndFillsTheReport) {
  const Outcome r = run(small_spec());
  ASSERT_TRUE(r.result.ok()) << r.result.error();
  for (std::size_t i = 0; i < r.events.size(); ++i) EXPECT_EQ(r.events[i]["seq"], i + 1);
  const std::vector<std::string> expected = {
      "session:started",   "data:running",       "data:done",       "htf:running",
      "htf:done",          "screening:running",  "screening:done",  "backtest:running",
      "backtest:done",     "validation:running", "validation:done", "walk_forward:running",
      "walk_forward:done", "robustness:running", "robustness:done", "report:running",
      "report:done"};
  EXPECT_EQ(phase_sequence(r.events), expected);
  EXPECT_EQ(r.events.front()["detail"]["engine"], "quorix 0.1.0");
  EXPECT_EQ(r.events.back()["t"], "session");
  EXPECT_EQ(r.events.back()["status"], "complete");
  ASSERT_NE(find_event(r.events, "test_unlocked"), nullptr);
  const Json& space = *find_event(r.events, "space");
  EXPECT_EQ(space["total"], 7u * 3 * 5 * 5 * 4 * 4 * 2 + 6u * 6 * 3 * 5 * 5 * 4 * 4 * 2);
  EXPECT_EQ(space["split"],
            Json::parse(R"({"train":[0,3600],"validation":[3600,4800],"test":[4800,6000]})"));
  EXPECT_EQ(space["test_locked"], true);

  const Json& report = r.result.value();
  const std::vector<std::string> report_keys = {
      "data",       "elapsed_seconds", "evidence",    "experiment_id",     "funnel",
      "htf",        "hypothesis",      "method_comparison", "parent_experiment", "rejections",
      "reproducibility", "spec",       "split",       "split_dates",       "survivors",
      "throughput"};
  EXPECT_EQ(keys_of(report), report_keys);
  EXPECT_EQ(report["rejections"].size(), 6u);
  EXPECT_EQ(report["funnel"]["mode"], "surrogate");
  EXPECT_EQ(report["funnel"]["survivors"], report["survivors"].size());
  EXPECT_EQ(report["experiment_id"], report["reproducibility"]["experiment_id"]);
  EXPECT_EQ(report["experiment_id"], r.events.back()["experiment_id"]);
  EXPECT_EQ(report["method_comparison"], nullptr);
  EXPECT_EQ(report["htf"].size(), 2u);  // D1 then H4 for hourly bars
  EXPECT_EQ(report["htf"][0]["timeframe"], "D1");

  // The test set opens once, after the freeze: one test evaluation and one "gates" event
  // per finalist, all after "test_unlocked".
  const std::size_t finalists = report["survivors"].size();
  ASSERT_GT(finalists, 0u);
  EXPECT_EQ(report["throughput"]["test_evaluations"], finalists);
  EXPECT_EQ((*find_event(r.events, "report"))["survivors"], finalists);
  std::vector<std::string> order;
  for (const Json& e : r.events) {
    if (e["t"] == "test_unlocked" || e["t"] == "gates") order.push_back(e["t"]);
  }
  std::vector<std::string> expected_order(finalists + 1, "gates");
  expected_order[0] = "test_unlocked";
  EXPECT_EQ(order, expected_order);
  const std::vector<std::string> record_keys = {
      "all",   "candidate",     "concentration", "equity",  "evidence",    "gates",
      "perturbations", "prop",  "regimes",       "sensitivity", "temporal", "test",
      "trades", "train",        "validation",    "walk_forward"};
  for (const Json& f : report["survivors"]) {
    EXPECT_EQ(keys_of(f), record_keys);
    EXPECT_EQ(f["gates"].size(), 7u);
    EXPECT_EQ(f["train"]["net_pnl"], nullptr);  // a summary has no money figures
    EXPECT_TRUE(f["all"]["net_pnl"].is_number());
    EXPECT_EQ(f["all"]["trades"], f["trades"].size());
    EXPECT_LE(f["equity"].size(), 300u);
  }
  // Evidence against overfitting: every backtested variant of the pool is a distinct trial.
  const Json& evidence = report["evidence"];
  EXPECT_EQ(keys_of(evidence),
            (std::vector<std::string>{"pbo", "pbo_blocks", "pbo_candidates", "retained",
                                      "sharpe_mean", "sharpe_variance", "trials"}));
  EXPECT_GE(evidence["trials"], report["funnel"]["backtested"]);
  EXPECT_EQ(evidence["pbo_candidates"], report["funnel"]["promoted"]);
  EXPECT_EQ((*find_event(r.events, "report"))["retained"], evidence["retained"]);
  // The equity event's summary comes from a full run, with its money figures.
  EXPECT_TRUE((*find_event(r.events, "equity"))["summary"]["net_pnl"].is_number());
}

TEST(ResearchRun, SameReportWithOneWorkerOrAll) {
  core::Spec spec = small_spec();
  spec.compare_methods = 120;
  Outcome one, all;
  tbb::task_arena(1).execute([&] { one = run(spec); });
  all = run(spec);
  ASSERT_TRUE(one.result.ok());
  ASSERT_TRUE(all.result.ok());
  EXPECT_EQ(timeless(one.result.value()), timeless(all.result.value()));
  EXPECT_GT(all.result.value()["survivors"].size(), 0u);
  // The comparison: its status events around one progress event per repetition.
  const Json& methods = all.result.value()["method_comparison"];
  ASSERT_EQ(methods.size(), 4u);
  EXPECT_EQ(methods[3]["method"], "graph_best_first");
  std::vector<std::string> narrated;
  for (const Json& e : all.events) {
    if (e.value("phase", "") != "method_comparison") continue;
    narrated.push_back(e["t"] == "phase" ? e["status"].get<std::string>()
                                         : std::to_string(e["done"].get<int>()));
  }
  EXPECT_EQ(narrated, (std::vector<std::string>{"running", "0", "1", "2", "3", "4", "done"}));
  // The exhaustive lattice, whose windows the workers share out.
  core::Spec lattice = small_spec();
  lattice.families = {"donchian_breakout", "rsi_reversion"};
  lattice.scale = "exhaustive";
  tbb::task_arena(1).execute([&] { one = run(lattice); });
  all = run(lattice);
  ASSERT_TRUE(one.result.ok());
  ASSERT_TRUE(all.result.ok());
  EXPECT_EQ(all.result.value()["funnel"]["backtested"], 16800 + 40000);
  EXPECT_EQ(timeless(one.result.value()), timeless(all.result.value()));
}

TEST(ResearchRun, AFamilyListedTwiceIsTriedOnce) {
  core::Spec spec = small_spec();
  spec.families = {"donchian_breakout", "donchian_breakout"};
  spec.scale = "exhaustive";
  const Outcome r = run(spec);
  ASSERT_TRUE(r.result.ok());
  const Json& report = r.result.value();
  EXPECT_EQ(report["funnel"]["backtested"], 2 * 16800);
  // The whole lattice was backtested, so later stages add no new variant.
  EXPECT_EQ(report["evidence"]["trials"], 16800);
}

TEST(ResearchRun, HashIgnoresOnlyTheNarrativeMembers) {
  core::Spec a = small_spec(), b = small_spec();
  b.hypothesis = "autre idée";
  b.report_path = "/nowhere";
  b.parent_experiment = "abc";
  EXPECT_EQ(research::strategy_hash(a), research::strategy_hash(b));
  b.seed = 4;
  EXPECT_NE(research::strategy_hash(a), research::strategy_hash(b));
}

TEST(ResearchFailures, EachEndsWithErrorAndFailedSession) {
  struct Case {
    core::Spec spec;
    std::string user_fr;
    std::string remediation_fr;
  };
  std::vector<Case> cases;
  core::Spec csv = core::default_spec();
  csv.data_path = "/nonexistent/bars.csv";
  cases.push_back({csv, "Impossible de lire les données de marché.",
                   "Vérifiez le fichier (colonnes timestamp,open,high,low,close,volume)."});
  core::Spec families = small_spec();
  families.families = {"trend_magic", "Ema_Cross"};
  cases.push_back({families, "Aucune famille de stratégie reconnue dans la spécification.",
                   "Utilisez htf_pullback_breakout, ema_cross, donchian_breakout, rsi_reversion "
                   "ou smc_choch."});
  core::Spec fractions = small_spec();
  fractions.train = 0.9;
  fractions.validation = 0.2;
  cases.push_back({fractions, "Fractions d'entraînement et de validation invalides.", ""});
  core::Spec negative = small_spec();
  negative.validation = -0.1;
  cases.push_back({negative, "Fractions d'entraînement et de validation invalides.", ""});
  core::Spec poor = small_spec();
  poor.exec.equity0 = -5.0;
  cases.push_back({poor, "Paramètres d'exécution invalides.", ""});
  core::Spec reckless = small_spec();
  reckless.exec.risk_per_trade = 1.5;
  cases.push_back({reckless, "Paramètres d'exécution invalides.", ""});
  core::Spec huge = small_spec();
  huge.synthetic_bars = 1'000'000'000'000;
  cases.push_back({huge, "Mémoire insuffisante pour ce nombre de barres.",
                   "Réduisez le nombre de barres (synthetic_bars ou le fichier de données) ou "
                   "lancez la recherche sur une machine qui a plus de mémoire."});
  for (const Case& c : cases) {
    const Outcome r = run(c.spec);
    ASSERT_FALSE(r.result.ok());
    ASSERT_GE(r.events.size(), 2u);
    const Json& error = r.events[r.events.size() - 2];
    const Json& session = r.events.back();
    EXPECT_EQ(error["t"], "error");
    EXPECT_EQ(error["user_fr"], c.user_fr);
    if (!c.remediation_fr.empty()) {
      EXPECT_EQ(error["remediation_fr"], c.remediation_fr);
    }
    EXPECT_EQ(error["event_id"].get<std::string>().size(), 10u);
    EXPECT_EQ(session["status"], "failed");
    EXPECT_EQ(session["event_id"], error["event_id"]);
    EXPECT_EQ(r.result.error(), c.user_fr + " [" + error["event_id"].get<std::string>() + "]");
  }
  // The technical details give what was written.
  EXPECT_EQ(run(families).events.end()[-2]["technical"], R"(["trend_magic", "Ema_Cross"])");
  EXPECT_EQ(run(poor).events.end()[-2]["technical"], "equity0 = -5, risk_per_trade = 0.0025");
}

TEST(ResearchFailures, QualityGateStopsTheRun) {
  core::Spec spec = small_spec();
  spec.synthetic_bars = 1000;  // too few bars to split
  const Outcome r = run(spec);
  ASSERT_FALSE(r.result.ok());
  const Json* gate = find_event(r.events, "gate");
  ASSERT_NE(gate, nullptr);
  EXPECT_EQ((*gate)["name"], "DATA_QUALITY");
  EXPECT_EQ((*gate)["status"], "FAIL");
  const std::string issue =
      "seulement 1000 barres : trop peu pour séparer entraînement, validation et test";
  EXPECT_EQ((*gate)["why_fr"], issue);
  EXPECT_EQ(r.events.end()[-2]["user_fr"],
            "Recherche arrêtée : les données ne sont pas assez fiables (" + issue + ").");
  EXPECT_EQ(r.events.end()[-2]["technical"], "quality verdict FAIL");
}

TEST(ResearchFailures, UnwritableReportLeavesNoFile) {
  const auto dir = std::filesystem::temp_directory_path() / "varnek-report-test";
  std::filesystem::remove_all(dir);
  core::Spec spec = small_spec();
  spec.report_path = (dir / "missing" / "report.json").string();
  const Outcome r = run(spec);
  ASSERT_FALSE(r.result.ok());
  EXPECT_EQ(r.events.end()[-2]["user_fr"], "Le rapport n'a pas pu être enregistré.");
  EXPECT_EQ(r.events.end()[-2]["technical"], spec.report_path + ": No such file or directory");
  EXPECT_EQ(find_event(r.events, "dataset"), nullptr);  // refused before any work
  EXPECT_FALSE(std::filesystem::exists(dir));

  // Devices are written in place: /dev/null takes the report, /dev/full refuses it.
  spec.report_path = "/dev/null";
  EXPECT_TRUE(run(spec).result.ok());
  spec.report_path = "/dev/full";
  const Outcome full = run(spec);
  ASSERT_FALSE(full.result.ok());
  EXPECT_NE(find_event(full.events, "test_unlocked"), nullptr);
  EXPECT_EQ(full.events.end()[-2]["technical"], "No space left on device");

  std::filesystem::create_directories(dir);
  spec.report_path = (dir / "report.json").string();
  const Outcome ok = run(spec);
  ASSERT_TRUE(ok.result.ok());
  std::ifstream in(spec.report_path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), core::to_pretty(ok.result.value()));
  // The report and its page, no temporary left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "report.html"));
  std::filesystem::remove_all(dir);
}
