// The seven gate rules, the segment labels of trades, and the one opening of the test set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "bt_fixture.hpp"
#include "data/synthetic.hpp"
#include "research/gates.hpp"

using namespace varnek;
using research::Gate;

namespace {

bt::SegmentSummary summary_of(std::initializer_list<double> rs) {
  bt::SummaryBuilder b;
  for (double r : rs) b.add_trade(r);
  return b.summary;
}

bt::SegmentSummary repeated(std::uint32_t n, double r) {
  bt::SummaryBuilder b;
  for (std::uint32_t i = 0; i < n; ++i) b.add_trade(r);
  return b.summary;
}

validate::ReplayResult replay(const char* verdict, const char* summary) {
  validate::ReplayResult r;
  r.verdict = verdict;
  r.summary_fr = summary;
  return r;
}

validate::ParamSensitivity sensitivity(const char* name, double stability, bool peak) {
  validate::ParamSensitivity p;
  p.param = name;
  p.stability = stability;
  p.sharp_peak = peak;
  return p;
}

}  // namespace

TEST(Gates, RulesAndTexts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  data::QualityReport clean;
  clean.verdict = "PASS";
  data::QualityReport flawed;
  flawed.verdict = "INCONCLUSIVE";
  flawed.issues = {"a", "b"};
  const validate::LookaheadResult audited{true, "aucune décision ne change"};
  const std::vector<validate::ParamSensitivity> peaked = {sensitivity("fast", 1.0, false),
                                                          sensitivity("slow", 0.5, true)};
  const std::vector<validate::ParamSensitivity> smooth = {sensitivity("fast", 0.7, false)};
  std::vector<validate::BreakdownRow> regimes(6);
  regimes[0] = {"up", 3.0, 0.5, 0.6, 6};
  regimes[1] = {"down", 1.0, 0.2, 0.6, 5};
  const std::vector<validate::ReplayResult> pass_inconclusive = {replay("PASS", "A."),
                                                                 replay("INCONCLUSIVE", "B.")};
  const std::vector<validate::ReplayResult> with_fail = {replay("PASS", "A."),
                                                         replay("FAIL", "C.")};
  const std::vector<validate::ReplayResult> all_pass = {replay("PASS", "A.")};

  struct Case {
    Gate gate;
    const char* status;
    std::string why;
  };
  const Case cases[] = {
      {research::data_quality_gate(clean), "PASS", "aucune anomalie détectée"},
      {research::data_quality_gate(flawed), "INCONCLUSIVE", "a ; b"},
      {research::lookahead_gate(nullptr), "FAIL", "non testé"},
      {research::lookahead_gate(&audited), "PASS", "aucune décision ne change"},
      // min_trades 30: validation needs 10 trades, then an expectancy above 0.
      {research::train_validation_gate(repeated(40, 0.25), repeated(9, 1.0), 30), "INCONCLUSIVE",
       "espérance +0.250R (entraînement) → +1.000R (validation), 9 trades en validation"},
      {research::train_validation_gate(repeated(40, 0.25),
                                       summary_of({1, -1, 1, -1, 1, -1, 1, -1, 1, -1}), 30),
       "FAIL", "espérance +0.250R (entraînement) → +0.000R (validation), 10 trades en validation"},
      {research::train_validation_gate(repeated(40, -0.5), repeated(20, 0.125), 60), "PASS",
       "espérance -0.500R (entraînement) → +0.125R (validation), 20 trades en validation"},
      {research::train_validation_gate(repeated(40, nan), repeated(20, 0.125), 30), "PASS",
       "espérance n/dR (entraînement) → +0.125R (validation), 20 trades en validation"},
      // The test segment needs 15 trades; with no losing trade the PF reads 99.00.
      {research::out_of_sample_gate(repeated(14, 1.0)), "INCONCLUSIVE",
       "14 trades, PF 99.00, espérance +1.000R sur la période de test jamais utilisée pour "
       "choisir"},
      {research::out_of_sample_gate(repeated(15, 1.0)), "PASS",
       "15 trades, PF 99.00, espérance +1.000R sur la période de test jamais utilisée pour "
       "choisir"},
      {research::out_of_sample_gate(repeated(15, -1.0)), "FAIL",
       "15 trades, PF 0.00, espérance -1.000R sur la période de test jamais utilisée pour "
       "choisir"},
      {research::out_of_sample_gate(repeated(15, nan)), "FAIL",
       "15 trades, PF 0.00, espérance n/dR sur la période de test jamais utilisée pour choisir"},
      {research::parameter_stability_gate(peaked), "INCONCLUSIVE",
       "75 % des réglages voisins restent rentables ; pic étroit sur : slow"},
      {research::parameter_stability_gate(smooth), "PASS",
       "70 % des réglages voisins restent rentables"},
      {research::regime_stability_gate(regimes), "PASS",
       "rentable dans 2 régime(s) de tendance D1, perdant dans 0"},
      {research::risk_constraints_gate({}), "INCONCLUSIVE", "aucun profil de compte sélectionné"},
      {research::risk_constraints_gate(pass_inconclusive), "INCONCLUSIVE", "A. B."},
      {research::risk_constraints_gate(with_fail), "FAIL", "A. C."},
      {research::risk_constraints_gate(all_pass), "PASS", "A."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.gate.status, c.status) << c.gate.name << ": " << c.why;
    EXPECT_EQ(c.gate.why_fr, c.why) << c.gate.name;
  }
  EXPECT_EQ(research::to_json(cases[0].gate),
            core::Json::parse(R"({"label_fr":"Qualité des données","name":"DATA_QUALITY",)"
                              R"("status":"PASS","why_fr":"aucune anomalie détectée"})"));
}

TEST(Gates, TradesAreLabelledByTheSegmentTheyEnterIn) {
  const search::Split split = search::make_split(1000, 0.6, 0.2);
  EXPECT_EQ(research::trade_segment(599, split), "train");
  EXPECT_EQ(research::trade_segment(600, split), "validation");
  EXPECT_EQ(research::trade_segment(799, split), "validation");
  EXPECT_EQ(research::trade_segment(800, split), "test");
}

TEST(TestOpening, OnlyAfterTheFreezeAndOncePerFinalist) {
  const auto engine = testkit::make_engine(data::generate_synthetic(4000, 11));
  const search::EvalContext ctx{engine->bars,
                                engine->features,
                                engine->tables,
                                core::preset_market("NQ"),
                                core::default_spec().exec,
                                search::make_split(4000, 0.6, 0.2),
                                30};
  data::QualityReport quality;
  quality.verdict = "PASS";
  const std::map<std::uint8_t, validate::LookaheadResult> lookahead;
  const validate::TrialStats trials;
  std::vector<core::Profile> profiles(2);
  profiles[0].id = "a";
  profiles[1].id = "b";
  profiles[1].account_size = 0.0;  // odd values are replayed as given, without a crash

  std::FILE* out = std::tmpfile();
  research::EventSink sink(out);
  std::vector<std::pair<std::string, std::uint64_t>> seen;  // event kind, test evaluations
  sink.observe([&](const core::Json& e) {
    seen.emplace_back(e["t"].get<std::string>(), ctx.test_evaluations.load());
  });
  std::vector<research::Finalist> finalists(2);
  finalists[0].key = testkit::id("1-bbbbaaba");
  finalists[1].key = testkit::id("2-cbccabb");
  const auto records =
      research::open_test_and_gate({ctx, trials, quality, lookahead, profiles, sink}, finalists);
  std::fclose(out);

  ASSERT_EQ(records.size(), 2u);
  const std::vector<std::pair<std::string, std::uint64_t>> expected = {
      {"test_unlocked", 0}, {"gates", 1}, {"gates", 2}};
  EXPECT_EQ(seen, expected);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const research::FinalistRecord& r = records[i];
    EXPECT_EQ(r.key, finalists[i].key);
    ASSERT_EQ(r.gates.size(), research::kGateCount);
    EXPECT_EQ(r.gates[1].why_fr, "non testé");  // no audit for the family
    ASSERT_EQ(r.prop.size(), 2u);
    EXPECT_EQ(r.prop[1].profile_id, "b");
    EXPECT_LE(r.equity.size(), 300u);
    EXPECT_EQ(r.all.trades, r.trades.size());
    EXPECT_GT(r.trades.size(), 0u);
    const core::Json j = research::to_json(r, ctx.split);
    EXPECT_EQ(j["trades"].size(), r.trades.size());
    EXPECT_EQ(j["trades"][0].size(), 13u);  // the twelve trade members and "segment"
    EXPECT_EQ(j["gates"].size(), research::kGateCount);
  }
}

TEST(Gates, EvidenceVerdictConditionsOneByOne) {
  std::vector<Gate> clean;
  for (const char* name : {"DATA_QUALITY", "LOOKAHEAD", "TRAIN_VALIDATION", "OUT_OF_SAMPLE",
                           "PARAMETER_STABILITY", "REGIME_STABILITY", "RISK_CONSTRAINTS"}) {
    clean.push_back({name, "", "PASS", "ok"});
  }
  std::vector<Gate> no_profile = clean;
  no_profile[6] = {"RISK_CONSTRAINTS", "", "INCONCLUSIVE", "aucun profil de compte sélectionné"};
  std::vector<Gate> failed_test = clean;
  failed_test[3] = {"OUT_OF_SAMPLE", "", "FAIL", "15 trades, PF 0.80"};
  auto p = [](std::optional<double> v) {
    validate::FinalistEvidence e;
    e.test_p_holm = v;
    return e;
  };
  const std::string after = " sur la période de test après correction pour 20 finalistes";
  struct Case {
    const std::vector<Gate>& gates;
    bool profiles;
    validate::FinalistEvidence evidence;
    const char* verdict;
    std::string why;
  };
  const Case cases[] = {
      {clean, true, p(0.0499), "RETENU", "les sept portes sont franchies et p = 0,049" + after + "."},
      {no_profile, false, p(0.0004), "RETENU",
       "les sept portes sont franchies et p < 0,001" + after + "."},
      {no_profile, true, p(0.01), "NON RETENU",
       "porte RISK_CONSTRAINTS non franchie (INCONCLUSIVE) : aucun profil de compte sélectionné"},
      {failed_test, false, p(0.01), "NON RETENU",
       "porte OUT_OF_SAMPLE non franchie (FAIL) : 15 trades, PF 0.80"},
      {clean, true, p(0.05), "NON RETENU",
       "p = 0,050" + after + " : le résultat peut s'expliquer par la sélection."},
      {clean, true, p(0.214), "NON RETENU",
       "p = 0,21" + after + " : le résultat peut s'expliquer par la sélection."},
      {clean, true, p(std::nullopt), "NON RETENU",
       "significativité non mesurable sur la période de test (moins de 2 trades ou aucune "
       "dispersion des résultats)."},
  };
  for (const Case& c : cases) {
    const validate::Verdict v = research::evidence_verdict(c.gates, c.profiles, c.evidence, 20);
    EXPECT_EQ(v.status, c.verdict) << c.why;
    EXPECT_EQ(v.why_fr, c.why);
  }
  EXPECT_EQ(research::evidence_verdict(clean, true, p(0.01), 1).why_fr,
            "les sept portes sont franchies et p = 0,010 sur la période de test après correction "
            "pour 1 finaliste.");
}
