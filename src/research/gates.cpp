#include "research/gates.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "validate/figures.hpp"

namespace varnek::research {
namespace {

constexpr std::size_t kEquityPoints = 300;
constexpr std::uint32_t kMinTestTrades = 15;

Gate make_gate(std::string_view name, std::string_view label_fr, validate::Verdict verdict) {
  return {std::string(name), std::string(label_fr), std::move(verdict.status),
          std::move(verdict.why_fr)};
}

std::string join(std::span<const std::string> items, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += sep;
    out += items[i];
  }
  return out;
}

core::Json trade_json(const bt::Trade& t, const search::Split& split) {
  core::Json j = bt::to_json(t);
  for (const char* internal : {"entry_bar", "exit_bar", "regime_trend", "regime_vol"}) {
    j.erase(internal);
  }
  j["segment"] = trade_segment(t.entry_bar, split);
  return j;
}

// One finalist, after the freeze: every run and evaluation the report shows beside it.
FinalistRecord grade(const TestPhaseInputs& in, const search::FrozenSet& frozen, Finalist f) {
  const search::EvalContext& ctx = in.ctx;
  const search::Split& split = ctx.split;
  FinalistRecord r;
  r.key = f.key;
  r.test_summary = search::evaluate(ctx, f.key, search::SegmentRef::test(frozen), ctx.exec);
  const bt::BacktestRun all = search::run_frozen(ctx, frozen, f.key, {0, ctx.bars.size()});
  const bt::BacktestRun test = search::run_frozen(ctx, frozen, f.key, split.test);
  std::vector<bt::TradeResult> train_trades;
  r.train =
      search::evaluate_results(ctx, f.key, search::SegmentRef::train(), ctx.exec, train_trades);
  r.validation = search::evaluate(ctx, f.key, search::SegmentRef::validation(), ctx.exec);
  for (const core::Profile& p : in.profiles) {
    r.prop.push_back(validate::replay_profile(p, all, ctx.exec.equity0));
  }
  r.test = bt::metrics_from_run(r.test_summary, test, ctx.exec.equity0);
  r.all = bt::metrics_from_run(all, ctx.exec.equity0);
  r.equity = reduce_curve(all.equity, kEquityPoints);
  r.regimes = validate::regime_breakdown(f.robustness.trades);
  r.temporal = validate::temporal_breakdown(all.trades);
  r.trades = all.trades;
  std::vector<double> train_r;
  for (const bt::TradeResult& t : train_trades) train_r.push_back(t.r);
  r.evidence = validate::finalist_evidence(validate::trade_moments(train_r),
                                           validate::trade_moments(test.trades), in.trials);
  r.robustness = std::move(f.robustness);

  const auto audit = in.lookahead.find(f.key.family);
  r.gates = {data_quality_gate(in.quality),
             lookahead_gate(audit == in.lookahead.end() ? nullptr : &audit->second),
             train_validation_gate(r.train, r.validation, ctx.min_trades),
             out_of_sample_gate(r.test_summary),
             parameter_stability_gate(r.robustness.sensitivity),
             regime_stability_gate(r.regimes),
             risk_constraints_gate(r.prop)};
  return r;
}

// "= 0,21", "= 0,048", "< 0,001": a decimal comma, as French texts write it, and the
// digits cut rather than rounded, so a value below the 0.05 threshold never reads as it.
std::string french_p(double p) {
  if (p < 0.001) return "< 0,001";
  std::string text = fmt::format("{:.12f}", p);
  text.resize(text.find('.') + (p >= 0.1 ? 3 : 4));
  std::replace(text.begin(), text.end(), '.', ',');
  return "= " + text;
}

}  // namespace

// "+ 0.0" turns -0.0 into 0.0, so no text reads "-0.000" for an empty segment.
std::string signed3(double x) {
  return std::isfinite(x) ? fmt::format("{:+.3f}", x + 0.0) : "n/d";
}

std::string fixed2(double x) {
  return std::isfinite(x) ? fmt::format("{:.2f}", x) : "n/d";
}

Gate data_quality_gate(const data::QualityReport& quality) {
  const std::string why =
      quality.issues.empty() ? "aucune anomalie détectée" : join(quality.issues, " ; ");
  return make_gate("DATA_QUALITY", "Qualité des données", {quality.verdict, why});
}

Gate lookahead_gate(const validate::LookaheadResult* audit) {
  return make_gate("LOOKAHEAD", "Pas d'information future", validate::lookahead_verdict(audit));
}

Gate train_validation_gate(const bt::SegmentSummary& train, const bt::SegmentSummary& validation,
                           std::uint32_t min_trades) {
  const std::uint32_t min_val = std::max<std::uint32_t>(10, min_trades / 3);
  const double expectancy = validate::expectancy_r(validation);
  std::string status = "FAIL";
  if (validation.trades < min_val) {
    status = "INCONCLUSIVE";
  } else if (expectancy > 0.0) {
    status = "PASS";
  }
  return make_gate("TRAIN_VALIDATION", "Entraînement → validation",
                   {status, fmt::format("espérance {}R (entraînement) → {}R (validation), {} "
                                        "trades en validation",
                                        signed3(validate::expectancy_r(train)), signed3(expectancy),
                                        validation.trades)});
}

Gate out_of_sample_gate(const bt::SegmentSummary& test) {
  const double expectancy = validate::expectancy_r(test);
  const bool profitable = test.gross_loss_r > 0.0 ? test.gross_profit_r / test.gross_loss_r > 1.0
                                                  : test.gross_profit_r > 0.0;
  std::string status = "FAIL";
  if (test.trades < kMinTestTrades) {
    status = "INCONCLUSIVE";
  } else if (expectancy > 0.0 && profitable) {
    status = "PASS";
  }
  return make_gate("OUT_OF_SAMPLE", "Hors échantillon (test verrouillé)",
                   {status, fmt::format("{} trades, PF {}, espérance {}R sur la période de test "
                                        "jamais utilisée pour choisir",
                                        test.trades, fixed2(validate::profit_factor(test)),
                                        signed3(expectancy))});
}

Gate parameter_stability_gate(std::span<const validate::ParamSensitivity> sensitivity) {
  return make_gate("PARAMETER_STABILITY", "Stabilité des paramètres",
                   validate::stability_verdict(sensitivity));
}

Gate regime_stability_gate(std::span<const validate::BreakdownRow> regimes) {
  return make_gate("REGIME_STABILITY", "Stabilité selon le régime de marché",
                   validate::regime_verdict(regimes));
}

Gate risk_constraints_gate(std::span<const validate::ReplayResult> replays) {
  validate::Verdict v;
  if (replays.empty()) {
    v = {"INCONCLUSIVE", "aucun profil de compte sélectionné"};
  } else {
    bool all_pass = true, any_fail = false;
    std::vector<std::string> summaries;
    for (const validate::ReplayResult& r : replays) {
      all_pass = all_pass && r.verdict == "PASS";
      any_fail = any_fail || r.verdict == "FAIL";
      summaries.push_back(r.summary_fr);
    }
    v.status = all_pass ? "PASS" : any_fail ? "FAIL" : "INCONCLUSIVE";
    v.why_fr = join(summaries, " ");
  }
  return make_gate("RISK_CONSTRAINTS", "Règles du compte (prop firm)", std::move(v));
}

validate::Verdict evidence_verdict(std::span<const Gate> gates, bool has_profiles,
                                   const validate::FinalistEvidence& evidence,
                                   std::size_t finalists) {
  for (const Gate& g : gates) {
    const bool waived = g.name == "RISK_CONSTRAINTS" && !has_profiles && g.status == "INCONCLUSIVE";
    if (g.status != "PASS" && !waived) {
      return {"NON RETENU",
              fmt::format("porte {} non franchie ({}) : {}", g.name, g.status, g.why_fr)};
    }
  }
  const std::string after =
      fmt::format("après correction pour {} finaliste{}", finalists, finalists > 1 ? "s" : "");
  const std::optional<double>& p = evidence.test_p_holm;
  if (!p || !std::isfinite(*p)) {
    return {"NON RETENU",
            "significativité non mesurable sur la période de test (moins de 2 trades ou "
            "aucune dispersion des résultats)."};
  }
  if (*p >= kRetainedPValue) {
    return {"NON RETENU", fmt::format("p {} sur la période de test {} : le résultat peut "
                                      "s'expliquer par la sélection.",
                                      french_p(*p), after)};
  }
  return {"RETENU", fmt::format("les sept portes sont franchies et p {} sur la période de test {}.",
                                french_p(*p), after)};
}

std::vector<FinalistRecord> open_test_and_gate(const TestPhaseInputs& in,
                                               std::vector<Finalist> finalists) {
  std::vector<strategy::Candidate> keys;
  for (const Finalist& f : finalists) keys.push_back(f.key);
  const search::FrozenSet frozen = search::freeze(keys);
  in.sink.emit("test_unlocked",
               {{"frozen", frozen.keys.size()},
                {"frozen_at", frozen.frozen_at},
                {"note_fr",
                 "Les finalistes sont gelés : la période de test est ouverte une seule fois, "
                 "sans ré-optimisation."}});
  std::vector<FinalistRecord> records;
  for (Finalist& f : finalists) {
    FinalistRecord r = grade(in, frozen, std::move(f));
    in.sink.emit("gates", {{"candidate", strategy::format_id(r.key)},
                           {"gates", to_json(std::span<const Gate>(r.gates))}});
    records.push_back(std::move(r));
  }
  std::vector<validate::FinalistEvidence> evidence;
  for (const FinalistRecord& r : records) evidence.push_back(r.evidence);
  validate::apply_holm(evidence);
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].evidence = evidence[i];
    records[i].verdict =
        evidence_verdict(records[i].gates, !in.profiles.empty(), evidence[i], records.size());
  }
  return records;
}

std::string_view trade_segment(std::uint64_t entry_bar, const search::Split& split) {
  if (entry_bar < split.train.end) return "train";
  if (entry_bar < split.validation.end) return "validation";
  return "test";
}

core::Json to_json(const Gate& gate) {
  return {{"name", gate.name},
          {"label_fr", gate.label_fr},
          {"status", gate.status},
          {"why_fr", gate.why_fr}};
}

core::Json to_json(std::span<const Gate> gates) {
  core::Json out = core::Json::array();
  for (const Gate& g : gates) out.push_back(to_json(g));
  return out;
}

core::Json to_json(const FinalistRecord& r, const search::Split& split) {
  const validate::RobustnessResult& rob = r.robustness;
  core::Json equity = core::Json::array();
  for (double e : r.equity) equity.push_back(core::number_or_null(e));
  core::Json trades = core::Json::array();
  for (const bt::Trade& t : r.trades) trades.push_back(trade_json(t, split));
  core::Json prop = core::Json::array();
  for (const validate::ReplayResult& p : r.prop) prop.push_back(validate::to_json(p));

  core::Json j = core::Json::object();
  j["candidate"] = strategy::candidate_json(r.key);
  j["train"] = bt::to_json(bt::metrics_from_summary(r.train));
  j["validation"] = bt::to_json(bt::metrics_from_summary(r.validation));
  j["test"] = bt::to_json(r.test);
  j["all"] = bt::to_json(r.all);
  j["equity"] = std::move(equity);
  j["walk_forward"] = validate::to_json(rob.walk_forward);
  j["sensitivity"] =
      validate::to_json(std::span<const validate::ParamSensitivity>(rob.sensitivity));
  j["perturbations"] = validate::to_json(std::span<const validate::ScenarioResult>(rob.scenarios));
  j["regimes"] = validate::to_json(std::span<const validate::BreakdownRow>(r.regimes));
  j["temporal"] = validate::to_json(std::span<const validate::BreakdownRow>(r.temporal));
  j["concentration"] = validate::to_json(validate::profit_concentration(rob.trades));
  j["prop"] = std::move(prop);
  j["gates"] = to_json(std::span<const Gate>(r.gates));
  j["trades"] = std::move(trades);
  core::Json evidence = validate::to_json(r.evidence);
  evidence["verdict"] = r.verdict.status;
  evidence["why_fr"] = r.verdict.why_fr;
  j["evidence"] = std::move(evidence);
  return j;
}

}  // namespace varnek::research
