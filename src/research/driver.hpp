#pragma once
// The research run: specification to written report, narrated through events.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/result.hpp"
#include "core/spec.hpp"
#include "research/events.hpp"
#include "research/report.hpp"

namespace varnek::research {

// Peak memory of a research run grows with its bar count: the bars, their feature set and
// decision tables, and the full runs of the test phase take about kBytesPerBar per bar
// (measured with the default funnel), the rest of the run (pool, forest, candidate lists)
// stays under kBaseBytes.
inline constexpr std::uint64_t kBytesPerBar = 1400;
inline constexpr std::uint64_t kBaseBytes = std::uint64_t{256} << 20;

// kBaseBytes + kBytesPerBar * bars, saturating.
std::uint64_t memory_estimate(std::uint64_t bars);

// The most bars whose estimate fits in the machine's physical memory (every bar count
// when the system does not report its memory).
std::uint64_t max_bars_in_memory();

// Runs one experiment. On success returns the report (already written when the
// specification names a report path); on failure the error text "{user_fr} [{event_id}]"
// after the "error" and failed "session" events have been emitted.
core::Result<core::Json> run_research(const core::Spec& spec, EventSink& sink);

// SHA-256 of the compact specification without report_path, parent_experiment and
// hypothesis: specifications that differ only in those share one hash.
std::string strategy_hash(const core::Spec& spec);

// Emits the "error" event and the failed "session" event; returns "{user_fr} [{event_id}]".
std::string fail_research(EventSink& sink, const std::string& user_fr, const std::string& technical,
                          const std::string& remediation_fr);

}  // namespace varnek::research
