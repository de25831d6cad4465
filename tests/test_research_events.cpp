#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/json.hpp"
#include "research/events.hpp"

using varnek::core::Json;
using namespace varnek::research;

namespace {

// Everything written to `f` so far, split into lines (each without its line feed).
std::vector<std::string> read_lines(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::vector<std::string> lines;
  std::string current;
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(c));
    }
  }
  EXPECT_TRUE(current.empty()) << "unterminated line: " << current;
  return lines;
}

struct TmpFile {
  std::FILE* f = std::tmpfile();
  ~TmpFile() { std::fclose(f); }
};

// An emitted elapsed value is already rounded to milliseconds.
void expect_millis(const Json& value, double at_most) {
  ASSERT_TRUE(value.is_number_float()) << value;
  double v = value.get<double>();
  EXPECT_GE(v, 0.0);
  EXPECT_LE(v, at_most);
  EXPECT_EQ(std::round(v * 1000.0) / 1000.0, v);
}

// `line` is `head`, a number, then `tail`: the member order is checked on the text itself,
// since only the elapsed value depends on timing.
void expect_shape(const std::string& line, const std::string& head, const std::string& tail) {
  ASSERT_GT(line.size(), head.size() + tail.size()) << line;
  EXPECT_EQ(line.substr(0, head.size()), head) << line;
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  std::string number = line.substr(head.size(), line.size() - head.size() - tail.size());
  EXPECT_TRUE(Json::parse(number, nullptr, false).is_number_float()) << line;
}

}  // namespace

TEST(EventLine, FirstStatusEventHasSeqOneAndSortedMembers) {
  TmpFile tmp;
  EventSink sink(tmp.f);
  sink.status("session", "started");
  sink.status("data", "done", Json{{"rows", 5}});
  sink.status("htf", "running", nullptr);
  EXPECT_EQ(sink.seq(), 3u);

  auto lines = read_lines(tmp.f);
  ASSERT_EQ(lines.size(), 3u);
  expect_shape(lines[0], R"({"detail":{},"elapsed":)",
               R"(,"phase":"session","seq":1,"status":"started","t":"phase"})");

  Json a = Json::parse(lines[0]);
  expect_millis(a["elapsed"], 10.0);
  EXPECT_EQ(a["detail"], Json::object());

  Json b = Json::parse(lines[1]);
  EXPECT_EQ(b["seq"], 2);
  EXPECT_EQ(b["phase"], "data");
  EXPECT_EQ(b["status"], "done");
  EXPECT_EQ(b["detail"], (Json{{"rows", 5}}));
  EXPECT_GE(b["elapsed"].get<double>(), a["elapsed"].get<double>());

  // A caller with nothing to add may also pass null.
  EXPECT_NE(lines[2].find(R"("detail":{})"), std::string::npos) << lines[2];
}

TEST(EventLine, EmitterMembersReplaceCallerMembers) {
  TmpFile tmp;
  EventSink sink(tmp.f);
  sink.emit("session",
            Json{{"status", "complete"}, {"elapsed", 12345.678}, {"seq", 99}, {"t", "x"}});
  sink.emit("report", nullptr);

  auto lines = read_lines(tmp.f);
  ASSERT_EQ(lines.size(), 2u);
  Json a = Json::parse(lines[0]);
  EXPECT_EQ(a.size(), 4u);
  EXPECT_EQ(a["t"], "session");
  EXPECT_EQ(a["seq"], 1);
  EXPECT_EQ(a["status"], "complete");
  expect_millis(a["elapsed"], 10.0);
  expect_shape(lines[1], R"({"elapsed":)", R"(,"seq":2,"t":"report"})");
}

TEST(EventLine, ElapsedRoundsHalvesAwayFromZero) {
  // 0.0625 s is exactly 62.5 ms: ties go up, not to the even 62.
  EXPECT_EQ(elapsed_value(0.0625), Json(0.063));
  EXPECT_EQ(elapsed_value(0.0004), Json(0.0));
  EXPECT_EQ(elapsed_value(1.0), Json(1.0));
  EXPECT_EQ(elapsed_value(2.9999), Json(3.0));
  EXPECT_TRUE(elapsed_value(std::numeric_limits<double>::quiet_NaN()).is_null());
  EXPECT_TRUE(elapsed_value(std::numeric_limits<double>::infinity()).is_null());
  EXPECT_EQ(varnek::core::to_compact(Json{{"elapsed", elapsed_value(0.0)}}), R"({"elapsed":0.0})");
}

TEST(ProgressLimiter, RefusesWithinIntervalAndAdmitsAfter) {
  TmpFile tmp;
  EventSink sink(tmp.f);
  double before_first = sink.elapsed();
  ASSERT_TRUE(sink.admit_progress());
  double after_first = sink.elapsed();
  sink.emit("progress", Json{{"done", 1}});

  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  double before_second = sink.elapsed();
  bool second = sink.admit_progress();
  double after_second = sink.elapsed();
  // The bounds keep the check honest on a machine that stalls for tens of milliseconds.
  if (after_second - before_first < kProgressInterval) {
    EXPECT_FALSE(second);
  }
  if (before_second - after_first >= kProgressInterval) {
    EXPECT_TRUE(second);
  }
  EXPECT_EQ(sink.seq(), 1u);

  double last_admitted = second ? after_second : after_first;
  while (sink.elapsed() < last_admitted + kProgressInterval) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(sink.admit_progress());
  sink.emit("progress", Json{{"done", 2}});

  // The refused request consumed no sequence number.
  auto lines = read_lines(tmp.f);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Json::parse(lines[1])["seq"], 2);
}

TEST(Concurrency, WorkersProduceWholeOrderedLines) {
  TmpFile tmp;
  EventSink sink(tmp.f);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([&sink, w] {
      for (int i = 0; i < kPerThread; ++i) {
        sink.admit_progress();  // contends on the limiter's lock alongside the writes
        sink.emit("progress", Json{{"worker", w}, {"i", i}, {"pad", std::string(64, 'x')}});
      }
    });
  }
  for (auto& t : workers) t.join();

  constexpr std::uint64_t kTotal = kThreads * kPerThread;
  EXPECT_EQ(sink.seq(), kTotal);
  auto lines = read_lines(tmp.f);
  ASSERT_EQ(lines.size(), kTotal);
  std::vector<int> next_i(kThreads, 0);
  double last_elapsed = 0.0;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    Json j = Json::parse(lines[n], nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << lines[n];
    ASSERT_EQ(j["seq"].get<std::uint64_t>(), n + 1);
    int w = j["worker"].get<int>();
    ASSERT_EQ(j["i"].get<int>(), next_i[w]++) << "worker " << w << " out of order";
    double e = j["elapsed"].get<double>();
    EXPECT_GE(e, last_elapsed);  // stamped under the same lock as seq
    last_elapsed = e;
  }
}

TEST(EventSinkDeathTest, ClosedPipeExitsWithStatusThree) {
  EXPECT_EXIT(
      {
        ignore_sigpipe();
        int fds[2];
        if (::pipe(fds) != 0) std::_Exit(10);
        ::close(fds[0]);
        std::FILE* f = ::fdopen(fds[1], "w");
        if (f == nullptr) std::_Exit(11);
        EventSink sink(f);
        sink.status("session", "started");
        std::_Exit(0);
      },
      testing::ExitedWithCode(3), "");
}

TEST(EventSinkDeathTest, FailedFlushExitsWithStatusThree) {
  EXPECT_EXIT(
      {
        std::FILE* f = std::fopen("/dev/full", "w");
        if (f == nullptr) std::_Exit(11);
        EventSink sink(f);
        sink.emit("report", Json::object());
        std::_Exit(0);
      },
      testing::ExitedWithCode(3), "");
}
