#include "research/driver.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "core/clock.hpp"
#include "core/io.hpp"
#include "core/parallel.hpp"
#include "core/sha256.hpp"
#include "data/csv.hpp"
#include "data/quality.hpp"
#include "data/synthetic.hpp"
#include "htf/features.hpp"
#include "htf/summary.hpp"
#include "research/funnel.hpp"

namespace varnek::research {
namespace {

std::string join(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += sep;
    out += items[i];
  }
  return out;
}

// The specification's family list as written, e.g. ["foo", "bar"].
std::string debug_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += core::to_compact(core::Json(items[i]));
  }
  return out + "]";
}

// Replaces the file through a temporary beside it, so a failed write never leaves a
// partial report.
core::Result<bool> write_atomically(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp-" + std::to_string(::getpid());
  auto written = core::write_file(tmp, text);
  if (!written) return written;
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(tmp.c_str());
    return core::Error{reason};
  }
  return true;
}

core::Json finalist_json(const Finalist& f) {
  const validate::RobustnessResult& r = f.robustness;
  core::Json j = core::Json::object();
  j["candidate"] = strategy::candidate_json(f.key);
  j["walk_forward"] = validate::to_json(r.walk_forward);
  core::Json sensitivity = core::Json::array();
  for (const auto& p : r.sensitivity) sensitivity.push_back(validate::to_json(p));
  j["sensitivity"] = std::move(sensitivity);
  core::Json perturbations = core::Json::array();
  for (const auto& s : r.scenarios) perturbations.push_back(validate::to_json(s));
  j["perturbations"] = std::move(perturbations);
  core::Json regimes = core::Json::array();
  for (const auto& row : validate::regime_breakdown(r.trades)) {
    regimes.push_back(validate::to_json(row));
  }
  j["regimes"] = std::move(regimes);
  j["concentration"] = validate::to_json(validate::profit_concentration(r.trades));
  return j;
}

}  // namespace

std::string strategy_hash(const core::Spec& spec) {
  core::Json j = core::to_json(spec);
  j.erase("report_path");
  j.erase("parent_experiment");
  j.erase("hypothesis");
  return core::sha256_hex(core::to_compact(j));
}

std::string fail_research(EventSink& sink, const std::string& user_fr, const std::string& technical,
                          const std::string& remediation_fr) {
  const std::string elapsed = fmt::format("{}", sink.elapsed());
  const std::string event_id = core::sha256_hex(elapsed + user_fr + technical).substr(0, 10);
  sink.emit("error", {{"event_id", event_id},
                      {"user_fr", user_fr},
                      {"technical", technical},
                      {"remediation_fr", remediation_fr}});
  sink.emit("session", {{"status", "failed"}, {"event_id", event_id}});
  return user_fr + " [" + event_id + "]";
}

core::Result<core::Json> run_research(const core::Spec& spec, EventSink& sink) {
  const std::string hash = strategy_hash(spec);
  const int workers = core::worker_count();
  sink.status("session", "started",
              {{"engine", kEngine},
               {"workers", workers},
               {"strategy_hash", hash},
               {"hypothesis", spec.hypothesis}});
  sink.status("data", "running");

  // Bars.
  data::LoadedDataset data;
  const bool synthetic = spec.synthetic_bars > 0;
  if (synthetic && spec.synthetic_bars > kMaxSyntheticBars) {
    // A typo of a few zeros must not exhaust the machine's memory.
    return core::Error{fail_research(
        sink, "Nombre de barres synthétiques trop grand.",
        fmt::format("synthetic_bars = {} (at most {})", spec.synthetic_bars, kMaxSyntheticBars),
        fmt::format("Demandez au plus {} barres synthétiques.", kMaxSyntheticBars))};
  }
  if (synthetic) {
    data.bars = data::generate_synthetic(spec.synthetic_bars, spec.seed);
    data.manifest = data::synthetic_manifest(data.bars, spec.synthetic_bars, spec.seed);
  } else {
    auto loaded = data::load_csv(spec.data_path);
    if (!loaded) {
      return core::Error{
          fail_research(sink, "Impossible de lire les données de marché.", loaded.error(),
                        "Vérifiez le fichier (colonnes timestamp,open,high,low,close,volume).")};
    }
    data = std::move(loaded.value());
  }
  const data::BarSeries& bars = data.bars;

  // Quality and its gate.
  const data::QualityReport quality = data::audit(bars);
  const core::Json data_json = {{"info", data::to_json(data.manifest)},
                                {"quality", data::to_json(quality)},
                                {"synthetic", synthetic}};
  sink.emit("dataset", data_json);
  if (quality.verdict == "FAIL") {
    const std::string issues = join(quality.issues, " ; ");
    sink.emit("gate", {{"name", "DATA_QUALITY"}, {"status", "FAIL"}, {"why_fr", issues}});
    return core::Error{fail_research(
        sink, "Recherche arrêtée : les données ne sont pas assez fiables (" + issues + ").",
        "quality verdict FAIL",
        "Chargez un historique plus long ou corrigez les barres signalées.")};
  }
  sink.status("data", "done", {{"rows", bars.size()}});
  sink.status("htf", "running");

  // The seeded lattice drives the feature lengths, values and identifiers from here on.
  if (spec.lattice_seed != 0) {
    auto installed = strategy::install_seeded_lattice(spec.lattice_seed);
    if (!installed) return core::Error{installed.error()};
  }

  // Higher timeframes and the feature set.
  const std::int64_t tf = data.manifest.timeframe_secs;
  for (const auto& [name, period] : {std::pair{"H1", 3600}, {"H4", 14400}, {"D1", 86400}}) {
    if (tf < period) sink.emit("htf", {{"timeframe", name}, {"status", "processing"}});
  }
  sink.emit("htf", {{"timeframe", "features"}, {"status", "processing"}});
  const htf::FeatureSet features = htf::build_feature_set(bars, strategy::feature_lengths());
  const strategy::DecisionTables tables = strategy::build_decision_tables(bars, features);
  core::Json htf_summaries = core::Json::array();
  core::Json built = core::Json::array();
  for (const auto* view : {&features.d1, &features.h4, &features.h1}) {
    if (!view->has_value()) continue;
    const core::Json state = htf::to_json(htf::summarize(**view));
    sink.emit("htf", {{"timeframe", (*view)->name}, {"status", "done"}, {"state", state}});
    htf_summaries.push_back(state);
    built.push_back((*view)->name);
  }
  sink.status("htf", "done", {{"timeframes", built}});

  // Families and the space.
  std::vector<std::uint8_t> families;
  const auto table = strategy::family_table();
  if (spec.families.empty()) {
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) families.push_back(f);
  } else {
    for (const std::string& name : spec.families) {
      for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
        if (table[f].key == name) families.push_back(f);
      }
    }
    if (families.empty()) {
      return core::Error{fail_research(
          sink, "Aucune famille de stratégie reconnue dans la spécification.",
          debug_list(spec.families),
          "Utilisez htf_pullback_breakout, ema_cross, donchian_breakout, rsi_reversion ou "
          "smc_choch.")};
    }
  }
  std::uint64_t space_total = 0;
  for (std::uint8_t f : families) space_total += strategy::family_size(f);

  // Market and split; fractions that cannot cut the series are refused here.
  const core::Market market = core::market_for(spec);
  const double train = spec.train, validation = spec.validation;
  if (!(train >= 0.0) || !(validation >= 0.0) || !(train + validation <= 1.0)) {
    return core::Error{fail_research(
        sink, "Fractions d'entraînement et de validation invalides.",
        fmt::format("train = {}, validation = {}", train, validation),
        "Choisissez train et validation positifs ou nuls, de somme au plus 1 (par exemple 0.6 "
        "et 0.2).")};
  }
  const search::Split split = search::make_split(bars.size(), train, validation);
  search::EvalContext ctx{bars, features, tables, market, spec.exec, split, spec.min_trades};

  // The funnel.
  FunnelResult funnel = run_funnel({ctx, spec, families, space_total, sink});

  // Freeze the finalists and open the test segment once.
  core::Stopwatch tail;
  std::vector<strategy::Candidate> keys;
  for (const Finalist& f : funnel.finalists) keys.push_back(f.key);
  const search::FrozenSet frozen = search::freeze(keys);
  sink.emit("test_unlocked",
            {{"frozen", frozen.keys.size()},
             {"frozen_at", frozen.frozen_at},
             {"note_fr",
              "Les finalistes sont gelés : la période de test est ouverte une seule fois, sans "
              "ré-optimisation."}});

  sink.status("report", "running");
  funnel.timings.push_back({"test + rapport", tail.seconds()});

  const std::string experiment_id =
      core::sha256_hex(hash + data.manifest.sha256 + std::string(kEngine) +
                       std::to_string(spec.seed))
          .substr(0, 16);

  // The report.
  const double bs = std::max(funnel.backtest_seconds, 1e-9);
  const FunnelCounters& c = funnel.counters;
  core::Json phase_seconds = core::Json::array();
  for (const PhaseTiming& t : funnel.timings) {
    phase_seconds.push_back({{"phase", t.phase}, {"seconds", core::number_or_null(t.seconds)}});
  }
  core::Json rejections = core::Json::array();
  for (const StageRecord& r : funnel.rejections) rejections.push_back(to_json(r));
  core::Json survivors = core::Json::array();
  for (const Finalist& f : funnel.finalists) survivors.push_back(finalist_json(f));
  core::Json profile_ids = core::Json::array();
  for (const core::Profile& p : spec.prop_profiles) profile_ids.push_back(p.id);
  core::Json funnel_json = to_json(c);
  funnel_json["survivors"] = funnel.finalists.size();

  core::Json report = core::Json::object();
  report["data"] = data_json;
  report["experiment_id"] = experiment_id;
  report["funnel"] = std::move(funnel_json);
  report["htf"] = std::move(htf_summaries);
  report["hypothesis"] = spec.hypothesis;
  report["parent_experiment"] =
      spec.parent_experiment ? core::Json(*spec.parent_experiment) : core::Json(nullptr);
  report["rejections"] = std::move(rejections);
  report["reproducibility"] = {{"code_version", kEngine},
                               {"cost_model", core::to_json(market)},
                               {"dataset_hash", data.manifest.sha256},
                               {"exec", core::to_json(spec.exec)},
                               {"experiment_id", experiment_id},
                               {"model_version", kModelVersion},
                               {"prop_profiles", std::move(profile_ids)},
                               {"seed", spec.seed},
                               {"strategy_hash", hash},
                               {"timestamp", core::unix_seconds()}};
  report["spec"] = core::to_json(spec);
  report["split"] = search::to_json(split);
  report["split_dates"] = split_dates(bars, split);
  report["survivors"] = std::move(survivors);
  report["throughput"] = {
      {"backtest_seconds", core::number_or_null(funnel.backtest_seconds)},
      {"candidates_per_sec", core::number_or_null(static_cast<double>(c.backtested) / bs)},
      {"decisions_per_sec", core::number_or_null(static_cast<double>(funnel.decisions) / bs)},
      {"phase_seconds", std::move(phase_seconds)},
      {"rf_predictions", funnel.rf_predictions},
      {"rf_predictions_per_sec",
       c.mode == "exhaustive" ? core::Json(0.0)
                              : core::number_or_null(static_cast<double>(funnel.rf_predictions) /
                                                     std::max(funnel.rf_prediction_seconds, 1e-9))},
      {"stopped_by_budget", funnel.stopped_by_budget},
      {"test_evaluations", ctx.test_evaluations.load()},
      {"tests_generated_per_sec", core::number_or_null(static_cast<double>(c.generated) / bs)},
      {"trades_per_sec", core::number_or_null(static_cast<double>(funnel.trades_total) / bs)},
      {"trades_total", funnel.trades_total},
      {"workers", workers}};
  report["elapsed_seconds"] = core::number_or_null(sink.elapsed());

  if (!spec.report_path.empty()) {
    auto written = write_atomically(spec.report_path, core::to_pretty(report));
    if (!written) {
      return core::Error{
          fail_research(sink, "Le rapport n'a pas pu être enregistré.", written.error(),
                        "Vérifiez l'espace disque et les droits sur le dossier des rapports.")};
    }
  }
  sink.emit("report", {{"experiment_id", experiment_id},
                       {"path", spec.report_path},
                       {"survivors", funnel.finalists.size()}});
  sink.status("report", "done");
  sink.emit("session", {{"status", "complete"},
                        {"experiment_id", experiment_id},
                        {"elapsed", core::number_or_null(sink.elapsed())}});
  return report;
}

}  // namespace varnek::research
