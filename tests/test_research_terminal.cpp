// The terminal display of a research run, as text from events.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "research/terminal.hpp"

using namespace varnek;
using namespace varnek::research;

namespace {

const std::string kRedraw = "\r\x1b[K";
const std::string kFull = "\xE2\x96\x88", kLight = "\xE2\x96\x91";
const std::string kPass = "\xE2\x9C\x93", kFail = "\xE2\x9C\x97";

std::string bar(int full, int light) {
  std::string s;
  for (int i = 0; i < full; ++i) s += kFull;
  for (int i = 0; i < light; ++i) s += kLight;
  return s;
}

TEST(TerminalFigures, AsTheScreenShowsThem) {
  const struct {
    std::string got, expected;
  } cases[] = {
      {group_digits(0), "0"},
      {group_digits(999), "999"},
      {group_digits(1000), "1,000"},
      {group_digits(1234567), "1,234,567"},
      {format_rate(950.4), "950/s"},
      {format_rate(11840), "11.8k/s"},
      {format_rate(999950), "1.00M/s"},
      {format_rate(2.5e6), "2.50M/s"},
      {format_rate(3.1e9), "3.10G/s"},
      {format_rate(NAN), "?/s"},
      {format_rate(-1), "?/s"},
      {format_seconds(0.453), "0.45 s"},
      {format_seconds(1.7), "1.7 s"},
      {format_seconds(59.96), "1 min 00 s"},
      {format_seconds(125), "2 min 05 s"},
      {format_seconds(3725), "1 h 02 min"},
      {format_seconds(INFINITY), "?"},
      {progress_bar(0.5, 4), bar(2, 2)},
      {progress_bar(0.97, 14), bar(13, 1)},
      {progress_bar(NAN, 2), bar(0, 2)},
      {progress_bar(2.0, 2), bar(2, 0)},
      {fit_columns("h\xC3\xA9llo", 2), "h\xC3\xA9"},
      {fit_columns("abc", 5), "abc"},
      {gate_marks(core::Json::parse(
           R"([{"status": "PASS"}, {"status": "INCONCLUSIVE"}, {"status": "FAIL"}, {}])")),
       kPass + "?" + kFail + "\xC2\xB7"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

// Feeds the events in order and checks the text each one produces.
struct Step {
  const char* event;
  std::string text;
};

void play(ResearchScreen& screen, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    EXPECT_EQ(screen.on_event(core::Json::parse(s.event)), s.text) << s.event;
  }
}

const char* kGates =
    R"({"t": "gates", "elapsed": 2.0, "candidate": "0-abc", "gates": [{"status": "PASS"},
    {"status": "PASS"}, {"status": "PASS"}, {"status": "FAIL"}, {"status": "PASS"},
    {"status": "INCONCLUSIVE"}, {"status": "INCONCLUSIVE"}]})";

TEST(TerminalScreen, LiveLineAndOneLinePerFinishedPhase) {
  ResearchScreen screen(100, true);
  play(
      screen,
      {
          {R"({"t": "phase", "elapsed": 0.0, "phase": "session", "status": "started", "detail": {}})",
           ""},
          {R"({"t": "phase", "elapsed": 0.0, "phase": "data", "status": "running", "detail": {}})",
           kRedraw + "data \xE2\x80\xA6"},
          {R"({"t": "dataset", "elapsed": 0.01, "info": {"dataset_id": "SYN"},
           "quality": {"verdict": "PASS"}})",
           ""},
          {R"({"t": "phase", "elapsed": 0.02, "phase": "data", "status": "done",
           "detail": {"rows": 60000}})",
           kRedraw + "data: 60,000 bars (SYN), quality PASS in 0.02 s\n"},
          {R"({"t": "phase", "elapsed": 0.5, "phase": "backtest", "status": "running",
           "detail": {"candidates": 40000}})",
           kRedraw + "backtest 40,000 candidates \xE2\x80\xA6"},
          {R"({"t": "progress", "elapsed": 0.7, "phase": "backtest", "done": 10000, "total": 40000,
           "candidates_per_sec": 11840.0, "eta_s": 2.53,
           "best": {"id": "2-dbedcda", "score": 6.9213}})",
           kRedraw + "backtest [" + bar(3, 11) +
               "]  25% 10,000/40,000 \xC2\xB7 11.8k/s \xC2\xB7 ETA 2.5 s \xC2\xB7 best 2-dbedcda "
               "6.92"},
          // Within a tenth of a second of the last redraw: nothing.
          {R"({"t": "progress", "elapsed": 0.75, "phase": "backtest", "done": 20000, "total": 40000})",
           ""},
          // Another phase's progress does not touch the line.
          {R"({"t": "progress", "elapsed": 0.9, "phase": "walk_forward", "done": 1, "total": 2})",
           ""},
          {R"({"t": "progress", "elapsed": 0.85, "phase": "backtest", "done": 40000, "total": 40000})",
           kRedraw + "backtest [" + bar(14, 0) +
               "] 100% 40,000/40,000 \xC2\xB7 best 2-dbedcda 6.92"},
          // The backtest line waits for the promotion that completes it.
          {R"({"t": "phase", "elapsed": 2.2, "phase": "backtest", "status": "done",
           "detail": {"candidates": 40000, "seconds": 1.7, "candidates_per_sec": 23529.4,
                      "stopped_by_budget": true}})",
           ""},
          {R"({"t": "promotion", "elapsed": 2.2, "promoted": 2000})",
           kRedraw +
               "backtest: 40,000 variants in 1.7 s, 23.5k/s, stopped by the time budget; 2,000 "
               "promoted\n"},
          {R"({"t": "phase", "elapsed": 2.2, "phase": "validation", "status": "running",
           "detail": {"candidates": 2000}})",
           kRedraw + "validation 2,000 candidates \xE2\x80\xA6"},
          {R"({"t": "phase", "elapsed": 2.3, "phase": "validation", "status": "done",
           "detail": {"passed": 200}})",
           kRedraw + "validation: 200 of 2,000 passed in 0.10 s\n"},
          {R"({"t": "test_unlocked", "elapsed": 3.0, "frozen": 2})",
           kRedraw + "test [" + bar(0, 14) + "]   0% 0/2"},
          {kGates, ""},  // throttled
          {R"({"t": "phase", "elapsed": 3.5, "phase": "report", "status": "running", "detail": {}})",
           kRedraw + "test: 1 finalists graded in 0.50 s\n" + kRedraw + "report \xE2\x80\xA6"},
          {R"({"t": "report", "elapsed": 3.6, "path": ""})", ""},
          {R"({"t": "phase", "elapsed": 3.6, "phase": "report", "status": "done", "detail": {}})",
           kRedraw + "report: assembled in 0.10 s, not written\n"},
      });
}

TEST(TerminalScreen, WithoutLiveLineOnlyFinishedLinesAndTamedTexts) {
  ResearchScreen screen(30, false);
  play(
      screen,
      {
          {R"({"t": "phase", "elapsed": 0.0, "phase": "htf", "status": "running", "detail": {}})",
           ""},
          {R"({"t": "progress", "elapsed": 0.5, "phase": "htf", "done": 1, "total": 2})", ""},
          {R"({"t": "phase", "elapsed": 0.25, "phase": "htf", "status": "done",
           "detail": {"timeframes": []}})",
           "htf: no higher timeframe in 0.\n"},
          {R"({"t": "error", "elapsed": 1.0, "user_fr": "Rapport\u001b[2J perdu", "technical": "x"})",
           "research failed: Rapport?[2J p\n"},
      });
  EXPECT_EQ(screen.finish(nullptr), "");
}

TEST(TerminalScreen, LiveLineKeepsToTheTerminalWidth) {
  ResearchScreen screen(20, true);
  EXPECT_EQ(screen.on_event(core::Json::parse(
                R"({"t": "phase", "elapsed": 0, "phase": "walk_forward", "status": "running",
                    "detail": {"candidates": 123456}})")),
            kRedraw + "walk_forward 123,45");
}

TEST(TerminalScreen, FinalistTableFromTheGatesAndTheReport) {
  ResearchScreen screen(100, true);
  play(screen, {
                   {R"({"t": "test_unlocked", "elapsed": 1.0, "frozen": 2})",
                    kRedraw + "test [" + bar(0, 14) + "]   0% 0/2"},
                   {kGates, kRedraw + "test [" + bar(7, 7) + "]  50% 1/2"},
                   {R"({"t": "gates", "elapsed": 2.05, "candidate": "4-zz~7", "gates": []})", ""},
                   {R"({"t": "report", "elapsed": 2.5, "path": "out/r.json"})", ""},
               });
  const core::Json report = core::Json::parse(R"({"survivors": [
      {"candidate": {"id": "4-zz~7", "family": "smc_choch"},
       "test": {"expectancy_r": -0.0426, "trades": 1234}, "evidence": {"verdict": "NON RETENU"}},
      {"candidate": {"id": "0-abc", "family": "htf_pullback_breakout"},
       "test": {"expectancy_r": 0.5216, "trades": 180}, "evidence": {"verdict": "RETENU"}}]})");
  EXPECT_EQ(screen.finish(&report),
            kRedraw + "test: 2 finalists graded in 1.5 s\n" +
                "finalists: 2, 1 RETENU\n"
                "  id      family                 test exp.  trades  gates    verdict\n"
                "  0-abc   htf_pullback_breakout    +0.522R     180  " +
                kPass + kPass + kPass + kFail + kPass +
                "??  RETENU\n"
                "  4-zz~7  smc_choch                -0.043R   1,234           NON RETENU\n"
                "gates: quality, lookahead, train \xE2\x86\x92 validation, out of sample, "
                "parameters, regimes, account rules\n"
                "marks: " +
                kPass + " PASS   ? INCONCLUSIVE   " + kFail +
                " FAIL\n"
                "report: out/r.json\n"
                "html:   out/r.html\n");

  ResearchScreen empty(100, true);
  const core::Json none = core::Json::parse(R"({"survivors": [], "spec": {"report_path": ""}})");
  EXPECT_EQ(empty.finish(&none),
            "finalists: none\nreport: none (no report_path set)\n");
}

}  // namespace
