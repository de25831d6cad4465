#include "research/driver.hpp"

#include <fmt/format.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>

#include "core/clock.hpp"
#include "core/fatal.hpp"
#include "core/io.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "core/sha256.hpp"
#include "data/csv.hpp"
#include "data/epoch_unit.hpp"
#include "data/quality.hpp"
#include "data/synthetic.hpp"
#include "htf/features.hpp"
#include "htf/summary.hpp"
#include "research/cluster.hpp"
#include "research/fanout.hpp"
#include "research/funnel.hpp"
#include "research/gates.hpp"
#include "research/html.hpp"
#include "research/wire.hpp"
#include "search/methods.hpp"

namespace varnek::research {
namespace {

// What one run carries from phase to phase. The bars, features and tables are built once
// and borrowed by every evaluation.
struct Run {
  Run(const core::Spec& s, EventSink& e) : spec(s), sink(e) {}
  const core::Spec& spec;
  EventSink& sink;
  bool quiet = false;  // a worker process: its sink writes nowhere, and so must its warnings
  std::string hash;
  int workers = 0;
  data::LoadedDataset data;
  bool synthetic = false;
  data::QualityReport quality;
  core::Json data_json;
  std::optional<htf::FeatureSet> features;
  std::optional<strategy::DecisionTables> tables;
  core::Json htf_summaries = core::Json::array();
  std::vector<std::uint8_t> families;
  std::uint64_t space_total = 0;
  core::Market market;
  search::Split split;
};

// A phase either lets the run go on or returns the failure text it has already announced.
using Phase = core::Result<bool>;

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

constexpr std::string_view kReportUnwritable = "Le rapport n'a pas pu être enregistré.";
constexpr std::string_view kReportRemedy =
    "Vérifiez l'espace disque et les droits sur le dossier des rapports.";

void start_session(Run& run) {
  run.hash = strategy_hash(run.spec);
  run.sink.status("session", "started",
                  {{"engine", kEngine},
                   {"workers", run.workers},
                   {"strategy_hash", run.hash},
                   {"hypothesis", run.spec.hypothesis}});
}

// A report that cannot be written must be found before the work, not after it.
Phase check_report_path(Run& run) {
  const std::string& path = run.spec.report_path;
  if (path.empty()) return true;
  auto probed = probe_report_files(path);  // the JSON report and its HTML page
  if (probed) return true;
  return core::Error{fail_research(run.sink, std::string(kReportUnwritable), probed.error(),
                                   std::string(kReportRemedy))};
}

// Refuses, before the features are built, a series whose run would not fit in memory.
Phase check_memory(Run& run, std::uint64_t bars) {
  const std::uint64_t needed = memory_estimate(bars), available = core::physical_memory_bytes();
  if (available == 0 || needed <= available) return true;
  return core::Error{fail_research(
      run.sink, "Mémoire insuffisante pour ce nombre de barres.",
      fmt::format("{} bars need about {} MiB, this machine has {} MiB (at most {} bars)", bars,
                  needed >> 20, available >> 20, max_bars_in_memory()),
      "Réduisez le nombre de barres (synthetic_bars ou le fichier de données) ou lancez la "
      "recherche sur une machine qui a plus de mémoire.")};
}

Phase load_data(Run& run) {
  const core::Spec& spec = run.spec;
  run.sink.status("data", "running");
  run.synthetic = spec.synthetic_bars > 0;
  // A typo of a few zeros must not exhaust the machine's memory.
  if (run.synthetic) {
    if (auto fits = check_memory(run, spec.synthetic_bars); !fits) return fits;
    run.data.bars = data::generate_synthetic(spec.synthetic_bars, spec.seed);
    run.data.manifest = data::synthetic_manifest(run.data.bars, spec.synthetic_bars, spec.seed);
    return true;
  }
  auto loaded = data::load_csv(spec.data_path);
  if (!loaded) {
    return core::Error{
        fail_research(run.sink, "Impossible de lire les données de marché.", loaded.error(),
                      "Vérifiez le fichier (colonnes timestamp,open,high,low,close,volume).")};
  }
  run.data = std::move(loaded.value());
  if (auto fits = check_memory(run, run.data.bars.size()); !fits) return fits;
  // Bars in milliseconds load as bars of a thousand hours: the user must hear of it, once.
  if (const auto warning = data::timestamp_unit_warning(run.data.bars); warning && !run.quiet) {
    std::fwrite(warning->data(), 1, warning->size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  return true;
}

Phase audit_data(Run& run) {
  run.quality = data::audit(run.data.bars);
  run.data_json = {{"info", data::to_json(run.data.manifest)},
                   {"quality", data::to_json(run.quality)},
                   {"synthetic", run.synthetic}};
  run.sink.emit("dataset", run.data_json);
  if (run.quality.verdict == "FAIL") {
    const std::string issues = join(run.quality.issues, " ; ");
    run.sink.emit("gate", {{"name", "DATA_QUALITY"}, {"status", "FAIL"}, {"why_fr", issues}});
    return core::Error{fail_research(
        run.sink, "Recherche arrêtée : les données ne sont pas assez fiables (" + issues + ").",
        "quality verdict FAIL",
        "Chargez un historique plus long ou corrigez les barres signalées.")};
  }
  run.sink.status("data", "done", {{"rows", run.data.bars.size()}});
  return true;
}

Phase build_context(Run& run) {
  run.sink.status("htf", "running");
  // The seeded lattice drives the feature lengths, values and identifiers from here on.
  if (run.spec.lattice_seed != 0) {
    auto installed = strategy::install_seeded_lattice(run.spec.lattice_seed);
    if (!installed) return core::Error{installed.error()};  // returned as is, no events
  }
  const data::BarSeries& bars = run.data.bars;
  const std::int64_t tf = run.data.manifest.timeframe_secs;
  for (const auto& [name, period] : {std::pair{"H1", 3600}, {"H4", 14400}, {"D1", 86400}}) {
    if (tf < period) run.sink.emit("htf", {{"timeframe", name}, {"status", "processing"}});
  }
  run.sink.emit("htf", {{"timeframe", "features"}, {"status", "processing"}});
  // The tables hold every rule's answer, so the indicator series live only while the
  // tables of their kind are built: at a million bars they would be most of the memory.
  run.features.emplace(htf::build_feature_set(bars, {}));
  run.tables.emplace(strategy::build_decision_tables_dropping_series(bars, *run.features));
  core::Json built = core::Json::array();
  for (const auto* view : {&run.features->d1, &run.features->h4, &run.features->h1}) {
    if (!view->has_value()) continue;
    const core::Json state = htf::to_json(htf::summarize(**view));
    run.sink.emit("htf", {{"timeframe", (*view)->name}, {"status", "done"}, {"state", state}});
    run.htf_summaries.push_back(state);
    built.push_back((*view)->name);
  }
  run.sink.status("htf", "done", {{"timeframes", built}});
  return true;
}

Phase resolve_space(Run& run) {
  const core::Spec& spec = run.spec;
  const auto table = strategy::family_table();
  if (spec.families.empty()) {
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) run.families.push_back(f);
  }
  for (const std::string& name : spec.families) {
    for (std::uint8_t f = 0; f < strategy::kFamilies; ++f) {
      if (table[f].key == name) run.families.push_back(f);
    }
  }
  if (run.families.empty()) {
    return core::Error{fail_research(
        run.sink, "Aucune famille de stratégie reconnue dans la spécification.",
        debug_list(spec.families),
        "Utilisez htf_pullback_breakout, ema_cross, donchian_breakout, rsi_reversion ou "
        "smc_choch.")};
  }
  for (std::uint8_t f : run.families) run.space_total += strategy::family_size(f);
  return true;
}

// Market and split. Fractions that cannot cut the series, and execution settings that make
// every money figure meaningless, are refused here, before any backtest.
Phase cut_split(Run& run) {
  const core::Spec& spec = run.spec;
  run.market = core::market_for(spec);
  const double train = spec.train, validation = spec.validation;
  if (!(train >= 0.0) || !(validation >= 0.0) || !(train + validation <= 1.0)) {
    return core::Error{fail_research(
        run.sink, "Fractions d'entraînement et de validation invalides.",
        fmt::format("train = {}, validation = {}", train, validation),
        "Choisissez train et validation positifs ou nuls, de somme au plus 1 (par exemple 0.6 "
        "et 0.2).")};
  }
  if (!core::check_exec_money(spec.exec)) {
    return core::Error{fail_research(
        run.sink, "Paramètres d'exécution invalides.",
        fmt::format("equity0 = {}, risk_per_trade = {}", spec.exec.equity0,
                    spec.exec.risk_per_trade),
        "Choisissez un capital de départ (equity0) positif et un risque par trade "
        "(risk_per_trade) au-dessus de 0 et au plus 1 (par exemple 50000 et 0.0025).")};
  }
  run.split = search::make_split(run.data.bars.size(), train, validation);
  return true;
}

// The comparison of search methods, when the research file asks for one; null otherwise.
core::Json compare_search_methods(Run& run, const search::EvalContext& ctx) {
  const std::uint64_t budget = run.spec.compare_methods;
  if (budget == 0) return nullptr;
  run.sink.status("method_comparison", "running", {{"budget", budget}});
  const std::vector<search::MethodSummary> summaries =
      search::compare_methods(ctx, run.families, budget, run.spec.seed, [&](std::size_t rep) {
        run.sink.emit("progress", {{"phase", "method_comparison"}, {"done", rep}, {"total", 5}});
      });
  run.sink.status("method_comparison", "done");
  return search::to_json(summaries);
}

}  // namespace

std::uint64_t memory_estimate(std::uint64_t bars) {
  if (bars > (UINT64_MAX - kBaseBytes) / kBytesPerBar) return UINT64_MAX;
  return kBaseBytes + kBytesPerBar * bars;
}

std::uint64_t max_bars_in_memory() {
  const std::uint64_t available = core::physical_memory_bytes();
  if (available == 0) return UINT64_MAX;
  return available > kBaseBytes ? (available - kBaseBytes) / kBytesPerBar : 0;
}

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

namespace {

// The phases before the funnel; a worker skips the report path, which is rank 0's to write.
Phase prepare(Run& run, bool writes_report) {
  if (writes_report) {
    if (auto step = check_report_path(run); !step) return step;
  }
  for (Phase (*phase)(Run&) : {load_data, audit_data, build_context, resolve_space, cut_split}) {
    if (auto step = phase(run); !step) return step;
  }
  return true;
}

// What the processes must share for their results to be one run's: the data (compared by
// the dataset SHA-256) and every setting but the data path, which may name the same file
// differently on each machine.
std::string settings_hash(const core::Spec& spec) {
  core::Json j = core::to_json(spec);
  for (const char* key : {"report_path", "parent_experiment", "hypothesis", "data_path"}) {
    j.erase(key);
  }
  return core::sha256_hex(core::to_compact(j));
}

// A worker's answer once its own phases are done.
struct WorkerState {
  bool ready = false;
  std::string dataset_sha256;  // empty when its data could not be loaded
  std::string settings;
  std::string failure;  // why it is not ready
};

std::string encode(const WorkerState& state) {
  wire::Writer w;
  w.put(state.ready);
  w.put_text(state.dataset_sha256);
  w.put_text(state.settings);
  w.put_text(state.failure);
  return w.take();
}

WorkerState decode_state(const std::string& bytes) {
  wire::Reader r(bytes);
  WorkerState state;
  state.ready = r.get<bool>();
  state.dataset_sha256 = r.get_text();
  state.settings = r.get_text();
  state.failure = r.get_text();
  r.expect_end();
  return state;
}

constexpr std::string_view kProcessLost =
    "Un processus MPI s'est arrêté : la recherche distribuée ne peut pas continuer.";
constexpr std::string_view kProcessLostRemedy =
    "Vérifiez les messages de mpirun et la mémoire de chaque machine, puis relancez la "
    "recherche.";

// Rank 0, once its own phases are done: every worker's state, and the run fails on the
// first disagreement (different data first, then a worker that could not prepare, then
// different settings). A run whose rank 0 failed has already said so.
Phase agree_with_workers(Run& run, Cluster& cluster, bool ready, double seconds) {
  if (!cluster.distributed()) return true;
  wire::Writer ask;
  ask.put(Command::state);
  const std::vector<std::string> replies =
      cluster.round(std::vector<std::string>(cluster.size() - 1, ask.bytes()), seconds, [] {});
  if (!ready) return true;
  std::vector<WorkerState> states;
  for (const std::string& reply : replies) states.push_back(decode_state(reply));
  const std::string& sha = run.data.manifest.sha256;
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (states[i].dataset_sha256.empty() || states[i].dataset_sha256 == sha) continue;
    return core::Error{fail_research(
        run.sink, "Les processus MPI ne voient pas les mêmes données.",
        fmt::format("rank {}: dataset sha256 {}, rank 0: {}", i + 1, states[i].dataset_sha256,
                    sha),
        "Donnez à chaque processus le même fichier de données (le même contenu sur chaque "
        "machine), puis relancez la recherche.")};
  }
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (states[i].ready) continue;
    return core::Error{fail_research(
        run.sink, "Un processus MPI n'a pas pu préparer les données.",
        fmt::format("rank {}: {}", i + 1, states[i].failure),
        "Vérifiez que la spécification et le fichier de données sont présents et lisibles sur "
        "chaque machine, puis relancez la recherche.")};
  }
  const std::string settings = settings_hash(run.spec);
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (states[i].settings == settings) continue;
    return core::Error{fail_research(
        run.sink, "Les processus MPI n'ont pas la même spécification.",
        fmt::format("rank {}: settings sha256 {}, rank 0: {}", i + 1, states[i].settings, settings),
        "Lancez chaque processus avec la même spécification (seul data_path peut différer "
        "d'une machine à l'autre).")};
  }
  return true;
}

// Rank 0 drives the run; `settled` tells the launcher's watch that the outcome is being
// written and must not be overtaken by a failure report.
core::Result<core::Json> run_phases(const core::Spec& spec, EventSink& sink, Cluster& cluster,
                                    std::atomic<bool>& settled) {
  Run run(spec, sink);
  run.workers = cluster.workers();
  start_session(run);
  const core::Stopwatch preparing;
  const Phase prepared = prepare(run, true);
  const Phase agreed = agree_with_workers(run, cluster, prepared.ok(), preparing.seconds());
  if (!prepared) return core::Error{prepared.error()};
  if (!agreed) return core::Error{agreed.error()};
  const search::EvalContext ctx{run.data.bars, *run.features, *run.tables,    run.market,
                                spec.exec,     run.split,     spec.min_trades};

  Fanouts fanouts(ctx, cluster);
  FunnelResult funnel =
      run_funnel({ctx, spec, run.families, run.space_total, sink, fanouts, run.workers});
  // The test segment opens on rank 0 alone, after the workers have gone.
  cluster.release_workers();

  const core::Stopwatch tail;  // "test + rapport": from the freeze to the report
  const std::vector<FinalistRecord> finalists = open_test_and_gate(
      {ctx, funnel.trials, run.quality, funnel.lookahead, spec.prop_profiles, sink},
      std::move(funnel.finalists));
  sink.status("report", "running");
  const core::Json comparison = compare_search_methods(run, ctx);
  funnel.timings.push_back({"test + rapport", tail.seconds()});

  const std::string experiment_id =
      core::sha256_hex(run.hash + run.data.manifest.sha256 + std::string(kEngine) +
                       std::to_string(spec.seed))
          .substr(0, 16);
  const core::Json report = build_report(
      {spec, run.hash, experiment_id, run.data.bars, run.data.manifest, run.data_json,
       run.htf_summaries, run.market, run.split, funnel, finalists, comparison,
       ctx.test_evaluations.load(), run.workers, cluster.size(), sink.elapsed()});
  // The launcher's watch is already reporting a failure: it ends the process.
  if (settled.exchange(true)) return core::Error{"ended by the launcher"};
  if (!spec.report_path.empty()) {
    auto written = write_report_files(spec.report_path, report, funnel.frontier);
    if (!written) {
      return core::Error{fail_research(sink, std::string(kReportUnwritable), written.error(),
                                       std::string(kReportRemedy))};
    }
  }
  sink.emit("report", {{"experiment_id", experiment_id},
                       {"path", spec.report_path},
                       {"survivors", report["funnel"]["survivors"]},
                       {"retained", report["evidence"]["retained"]}});
  sink.status("report", "done");
  sink.emit("session", {{"status", "complete"},
                        {"experiment_id", experiment_id},
                        {"elapsed", core::number_or_null(sink.elapsed())}});
  return report;
}

// A worker process: the same phases as rank 0, silently, then rank 0's fan-outs until it
// is released. It returns no report and succeeds: the run's outcome is rank 0's.
core::Result<core::Json> serve_as_worker(const core::Spec& spec, Cluster& cluster) {
  std::FILE* nowhere = std::fopen("/dev/null", "w");
  if (nowhere == nullptr) core::fatal("cannot open /dev/null");
  std::string failure;
  {
    EventSink quiet(nowhere);
    quiet.observe([&](const core::Json& event) {
      if (event["t"] == "error") {
        failure = event["user_fr"].get<std::string>() + " (" +
                  event["technical"].get<std::string>() + ")";
      }
    });
    Run run(spec, quiet);
    run.quiet = true;
    const Phase prepared = prepare(run, false);
    const std::optional<std::string> ask = cluster.receive();
    if (!ask || ask->empty() || static_cast<Command>((*ask)[0]) != Command::state) {
      core::fatal("a worker expected the state request first");
    }
    WorkerState state;
    state.ready = prepared.ok();
    state.dataset_sha256 = run.data.manifest.sha256;
    state.settings = settings_hash(spec);
    if (!prepared) state.failure = failure.empty() ? prepared.error() : failure;
    cluster.reply(encode(state));
    if (prepared) {
      const search::EvalContext ctx{run.data.bars, *run.features, *run.tables,    run.market,
                                    spec.exec,     run.split,     spec.min_trades};
      serve_fanouts(ctx, cluster);
    } else if (cluster.receive()) {
      core::fatal("a worker that could not prepare was sent work");
    }
  }
  std::fclose(nowhere);
  return core::Json(nullptr);
}

}  // namespace

core::Result<core::Json> run_research(const core::Spec& spec, EventSink& sink) {
  const Launch launch = launch_of_this_process();
  // Set once the outcome is being written (or the processes are being ended): the launch
  // watch must then not report a failure of its own.
  std::atomic<bool> settled{false};
  auto joined = join_cluster(launch, [&sink, &settled] {
    if (settled.exchange(true)) return false;
    fail_research(sink, std::string(kProcessLost),
                  "the launcher ended the run (SIGTERM): another process stopped, or mpirun "
                  "was interrupted",
                  std::string(kProcessLostRemedy));
    return true;
  });
  if (!joined) {
    if (launch.rank != 0) return core::Error{joined.error()};  // rank 0 speaks for the run
    return core::Error{fail_research(
        sink, "Cette version de varnek a été compilée sans MPI : elle ne peut pas répartir la "
              "recherche.",
        fmt::format("started by mpirun as {} processes: {}", launch.size, joined.error()),
        "Lancez varnek sans mpirun, ou compilez-le avec Open MPI (make deps puis make build).")};
  }
  Cluster& cluster = *joined.value();
  if (cluster.rank() > 0) {
    try {
      cluster.meet();
      return serve_as_worker(spec, cluster);
    } catch (const ClusterLost& lost) {
      const std::string line = fmt::format("varnek rank {}: {}\n", cluster.rank(), lost.technical);
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fflush(stderr);
      cluster.abandon();
    }
  }
  try {
    cluster.meet();
    auto result = run_phases(spec, sink, cluster, settled);
    cluster.release_workers();
    return result;
  } catch (const ClusterLost& lost) {
    if (!settled.exchange(true)) {
      fail_research(sink, std::string(kProcessLost), lost.technical,
                    std::string(kProcessLostRemedy));
    }
    cluster.abandon();
  } catch (const std::bad_alloc&) {
    // Whatever held the memory is gone with the stack, so the failure report fits.
    if (settled.exchange(true)) cluster.abandon();  // the launcher's watch is reporting
    std::string text = fail_research(
        sink, "Mémoire insuffisante : la recherche a dû s'arrêter.", "std::bad_alloc",
        "Réduisez le nombre de barres ou les tailles du funnel, ou lancez la recherche sur une "
        "machine qui a plus de mémoire.");
    // The workers may be in the middle of a fan-out that will never be collected.
    if (cluster.distributed()) cluster.abandon();
    return core::Error{std::move(text)};
  }
}

}  // namespace varnek::research
