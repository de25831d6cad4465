#pragma once
// JSON output conventions shared by every command, event line and report.
//
// Objects are nlohmann::json values, whose members live in a sorted map, so they
// print in ascending byte order of their keys. Floats print in shortest round-trip
// form with ".0" on integral values (-0.0 keeps its sign); non-finite floats print
// as null. Counts and identifiers are stored as JSON integers.
#include <nlohmann/json.hpp>
#include <string>

namespace varnek::core {

using Json = nlohmann::json;

// Two-space indentation, ": " after keys, [] and {} for empty containers.
std::string to_pretty(const Json& value);
// No whitespace at all.
std::string to_compact(const Json& value);

// A float member: non-finite values become null (the writers would do the same,
// this makes the intent explicit where a record is converted).
Json number_or_null(double value);

}  // namespace varnek::core
