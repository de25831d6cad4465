#include "research/events.hpp"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>

#include "core/fatal.hpp"

namespace varnek::research {

core::Json elapsed_value(double seconds) {
  return core::number_or_null(std::round(seconds * 1000.0) / 1000.0);
}

void ignore_sigpipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

EventSink::EventSink() : EventSink(stdout) {}

EventSink::EventSink(std::FILE* out) : start_(std::chrono::steady_clock::now()), out_(out) {}

void EventSink::emit(std::string_view kind, core::Json object) {
  if (object.is_null()) object = core::Json::object();
  if (!object.is_object()) core::fatal("event payload is not a JSON object");

  std::lock_guard lock(output_mutex_);
  ++seq_;
  object["t"] = kind;
  object["seq"] = seq_;
  object["elapsed"] = elapsed_value(elapsed());
  std::string line = core::to_compact(object);
  line.push_back('\n');
  // Nothing may follow a lost line: no further events, no report, no cleanup.
  if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0) {
    std::_Exit(kEventWriteFailureStatus);
  }
  if (observer_) observer_(object);
}

void EventSink::status(std::string_view phase, std::string_view status, core::Json detail) {
  if (detail.is_null()) detail = core::Json::object();
  core::Json object = core::Json::object();
  object["phase"] = phase;
  object["status"] = status;
  object["detail"] = std::move(detail);
  emit("phase", std::move(object));
}

bool EventSink::admit_progress() {
  std::lock_guard lock(progress_mutex_);
  double now = elapsed();
  if (now - last_progress_ < kProgressInterval) return false;
  last_progress_ = now;
  return true;
}

double EventSink::elapsed() const {
  std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

void EventSink::observe(Observer observer) {
  std::lock_guard lock(output_mutex_);
  observer_ = std::move(observer);
}

std::uint64_t EventSink::seq() const {
  std::lock_guard lock(output_mutex_);
  return seq_;
}

}  // namespace varnek::research
