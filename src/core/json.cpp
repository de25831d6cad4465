#include "core/json.hpp"

#include <cmath>

namespace varnek::core {

// Invalid UTF-8 in a string is replaced rather than thrown on: output never fails.
std::string to_pretty(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string to_compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json number_or_null(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

}  // namespace varnek::core
