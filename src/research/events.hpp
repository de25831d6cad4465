#pragma once
// Progress events of a research run: one compact JSON object per line.
//
// Every line carries, besides the caller's members, `t` (the event kind), `seq` (1 for
// the first event, then without gaps) and `elapsed` (seconds since the sink was created,
// rounded to milliseconds). These three replace any caller member of the same name.
// Members print in sorted key order, like every object the system writes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string_view>

#include "core/json.hpp"

namespace varnek::research {

// Exit status of the process when an event line cannot be written or flushed.
inline constexpr int kEventWriteFailureStatus = 3;

// Minimum spacing of admitted progress events, in seconds.
inline constexpr double kProgressInterval = 0.05;

// Seconds rounded to milliseconds, halves away from zero; null when not finite.
core::Json elapsed_value(double seconds);

// Makes a write to a closed pipe fail with EPIPE instead of killing the process, so
// the emitter can end it with its own status. Call once before a research run.
void ignore_sigpipe();

// One per research run, shared by reference with the worker threads. Writing and `seq`
// are serialised under one lock; the progress limiter has its own lock and is never
// held while writing.
class EventSink {
 public:
  // The clock starts now; lines go to standard output.
  EventSink();
  // Lines go to `out`, which must stay open for the sink's lifetime.
  explicit EventSink(std::FILE* out);

  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // Stamps `object` (a JSON object; null counts as empty) and writes it as one flushed
  // line. A write or flush failure ends the process at once with status 3.
  void emit(std::string_view kind, core::Json object);

  // Kind "phase" with members `phase`, `status` and `detail` (a null detail prints {}).
  void status(std::string_view phase, std::string_view status,
              core::Json detail = core::Json::object());

  // Whether a progress event may be written now; an admitted request records the time.
  // The first request is always admitted. A refused caller should build nothing.
  bool admit_progress();

  // Seconds since creation on the monotonic clock (whole seconds + nanoseconds / 1e9).
  double elapsed() const;

  // Number of events written so far.
  std::uint64_t seq() const;

  // Told of every event after its line is written, with the stamped object, under the
  // output lock (so in `seq` order, one at a time). Set it before the run starts; it must
  // be quick and must not emit.
  using Observer = std::function<void(const core::Json& event)>;
  void observe(Observer observer);

 private:
  std::chrono::steady_clock::time_point start_;
  std::mutex progress_mutex_;
  double last_progress_ = -1.0;  // so that the first request passes
  mutable std::mutex output_mutex_;
  std::uint64_t seq_ = 0;
  std::FILE* out_;
  Observer observer_;
};

}  // namespace varnek::research
