#include "research/report.hpp"

#include "core/clock.hpp"

namespace varnek::research {
namespace {

core::Json reproducibility(const ReportInputs& in) {
  core::Json profile_ids = core::Json::array();
  for (const core::Profile& p : in.spec.prop_profiles) profile_ids.push_back(p.id);
  return {{"code_version", kEngine},
          {"cost_model", core::to_json(in.market)},
          {"dataset_hash", in.manifest.sha256},
          {"exec", core::to_json(in.spec.exec)},
          {"experiment_id", in.experiment_id},
          {"model_version", kModelVersion},
          {"prop_profiles", std::move(profile_ids)},
          {"seed", in.spec.seed},
          {"strategy_hash", in.strategy_hash},
          {"timestamp", core::unix_seconds()}};
}

// The run's figures against overfitting; each finalist's own are in its record.
core::Json evidence(const ReportInputs& in) {
  core::Json j = validate::evidence_json(in.funnel.trials, in.funnel.pbo);
  j["pbo_candidates"] = in.funnel.pbo.candidates;
  j["pbo_blocks"] = kPboBlocks;
  std::size_t retained = 0;
  for (const FinalistRecord& f : in.finalists) retained += f.verdict.status == "RETENU";
  j["retained"] = retained;
  return j;
}

core::Json throughput(const ReportInputs& in) {
  const FunnelResult& f = in.funnel;
  const double bs = std::max(f.backtest_seconds, 1e-9);
  auto per_sec = [&](std::uint64_t count) {
    return core::number_or_null(static_cast<double>(count) / bs);
  };
  core::Json phases = core::Json::array();
  for (const PhaseTiming& t : f.timings) {
    phases.push_back({{"phase", t.phase}, {"seconds", core::number_or_null(t.seconds)}});
  }
  const core::Json rf_rate = f.counters.mode == "exhaustive"
                                 ? core::Json(0.0)
                                 : core::number_or_null(static_cast<double>(f.rf_predictions) /
                                                        std::max(f.rf_prediction_seconds, 1e-9));
  return {{"backtest_seconds", core::number_or_null(f.backtest_seconds)},
          {"candidates_per_sec", per_sec(f.counters.backtested)},
          {"decisions_per_sec", per_sec(f.decisions)},
          {"phase_seconds", std::move(phases)},
          {"ranks", in.ranks},
          {"rf_predictions", f.rf_predictions},
          {"rf_predictions_per_sec", rf_rate},
          {"stopped_by_budget", f.stopped_by_budget},
          {"test_evaluations", in.test_evaluations},
          {"tests_generated_per_sec", per_sec(f.counters.generated)},
          {"trades_per_sec", per_sec(f.trades_total)},
          {"trades_total", f.trades_total},
          {"workers", in.workers}};
}

}  // namespace

core::Json build_report(const ReportInputs& in) {
  core::Json funnel = to_json(in.funnel.counters);
  funnel["survivors"] = in.finalists.size();
  core::Json rejections = core::Json::array();
  for (const StageRecord& r : in.funnel.rejections) rejections.push_back(to_json(r));
  core::Json survivors = core::Json::array();
  for (const FinalistRecord& f : in.finalists) survivors.push_back(to_json(f, in.split));

  core::Json report = core::Json::object();
  report["data"] = in.data;
  report["elapsed_seconds"] = core::number_or_null(in.elapsed_seconds);
  report["evidence"] = evidence(in);
  report["experiment_id"] = in.experiment_id;
  report["funnel"] = std::move(funnel);
  report["htf"] = in.htf;
  report["hypothesis"] = in.spec.hypothesis;
  report["method_comparison"] = in.method_comparison;
  report["parent_experiment"] =
      in.spec.parent_experiment ? core::Json(*in.spec.parent_experiment) : core::Json(nullptr);
  report["rejections"] = std::move(rejections);
  report["reproducibility"] = reproducibility(in);
  report["spec"] = core::to_json(in.spec);
  report["split"] = search::to_json(in.split);
  report["split_dates"] = split_dates(in.bars, in.split);
  report["survivors"] = std::move(survivors);
  report["throughput"] = throughput(in);
  return report;
}

}  // namespace varnek::research
