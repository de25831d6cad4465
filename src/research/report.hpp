#pragma once
// The research report: one JSON document with how the run was made, what it used, how
// the funnel narrowed the space, how fast it ran, and every finalist's record.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/spec.hpp"
#include "data/bars.hpp"
#include "research/funnel.hpp"
#include "research/gates.hpp"
#include "search/evaluate.hpp"

namespace varnek::research {

inline constexpr std::string_view kEngine = "quorix 0.1.0";
inline constexpr std::string_view kModelVersion = "rf-64x10";

struct ReportInputs {
  const core::Spec& spec;
  const std::string& strategy_hash;
  const std::string& experiment_id;
  const data::BarSeries& bars;
  const data::DatasetManifest& manifest;
  const core::Json& data;  // the "dataset" event's object: info, quality, synthetic
  const core::Json& htf;   // context summaries, D1, H4, H1 order
  const core::Market& market;
  const search::Split& split;
  const FunnelResult& funnel;
  std::span<const FinalistRecord> finalists;
  const core::Json& method_comparison;  // null when no comparison was asked for
  std::uint64_t test_evaluations;
  int workers;  // pool threads over every process
  int ranks;    // processes of the run: 1 unless started by mpirun
  double elapsed_seconds;  // taken when the report is assembled
};

// Rates divide by max(backtest stage seconds, 1e-9); "decisions_per_sec" counts the bars
// the backtest stage simulated; figures that are not finite are null. Every object lists
// its members in ascending key order, as all JSON the system writes.
core::Json build_report(const ReportInputs& in);

}  // namespace varnek::research
