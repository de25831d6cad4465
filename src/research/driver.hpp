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

// Synthetic series longer than this are refused: their features would not fit in memory.
inline constexpr std::uint64_t kMaxSyntheticBars = 20'000'000;

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
