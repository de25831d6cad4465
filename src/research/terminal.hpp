#pragma once
// What a research run shows on a terminal, fed by the run's own events: one live status
// line redrawn in place, one short line per finished phase, and at the end the finalists
// with their gates and verdicts and where the report went.
//
// The screen is a pure translation, events in and terminal text out, so it is tested
// without a terminal; TerminalDisplay only writes that text. Standard output is untouched:
// the display goes to the terminal that standard error is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "research/events.hpp"

namespace varnek::research {

// Widest line drawn, in columns, whatever the terminal's width.
inline constexpr std::size_t kMaxColumns = 100;
// Least spacing of two redraws of the live line for progress, in event seconds ("elapsed");
// phase changes are always drawn.
inline constexpr double kRedrawInterval = 0.1;

// 20000 -> "20,000".
std::string group_digits(std::uint64_t n);
// Per second, three significant figures past a thousand: 950 -> "950/s", 11840 -> "11.8k/s",
// 2.5e6 -> "2.50M/s", 3.1e9 -> "3.10G/s"; "?/s" when not a finite non-negative figure.
std::string format_rate(double per_sec);
// 0.453 -> "0.45 s", 1.7 -> "1.7 s", 125 -> "2 min 05 s", 3725 -> "1 h 02 min"; "?" when not
// a finite non-negative figure.
std::string format_seconds(double seconds);
// `cells` cells, the first floor(fraction × cells) full ("█"), the rest light ("░");
// the fraction is clamped to [0, 1] (NaN counts as 0).
std::string progress_bar(double fraction, std::size_t cells);
// The line cut to `columns` characters (UTF-8 code points, each taken as one column).
std::string fit_columns(std::string_view line, std::size_t columns);

// The gate statuses as one mark each, in gate order: "✓" PASS, "?" INCONCLUSIVE,
// "✗" FAIL, "·" anything else.
std::string gate_marks(const core::Json& gates);

// The events of one run, turned into terminal text. Live text redraws the current line
// ("\r" then "\x1b[K", the clear-to-end-of-line control); finished lines end with a line
// feed. Without `live` (standard output is the same terminal, so event lines would tear the
// live line) only finished lines and the final table are written.
class ResearchScreen {
 public:
  explicit ResearchScreen(std::size_t columns = kMaxColumns, bool live = true);

  // Text to write after this event, empty when the screen does not change. Progress
  // redraws at most once per kRedrawInterval of the events' "elapsed".
  std::string on_event(const core::Json& event);

  // Text that ends the display: the live line cleared, then, given the report the run
  // returned, the finalist table (identifier, family, test expectancy and trades, gate
  // marks, evidence verdict) and the paths of the report and of its HTML page.
  std::string finish(const core::Json* report);

 private:
  struct Finalist {
    std::string id;
    std::string marks;
  };

  std::string phase_event(const core::Json& event);
  std::string close_phase(std::string_view phase, const core::Json& detail, double now);
  std::string live_line() const;
  std::string redraw();
  std::string print(const std::string& line);
  std::string flush_pending();
  std::string close_test(double now);
  double started(std::string_view phase) const;

  std::size_t columns_;
  bool live_;
  bool shown_ = false;  // the live line is on the screen
  double now_ = 0.0;
  double last_draw_ = -1.0;

  std::string phase_;
  std::vector<std::pair<std::string, double>> starts_;  // phase, "elapsed" when it started
  std::uint64_t candidates_ = 0;                        // of the running phase, 0 when unknown
  std::string pending_;  // finished line waiting for the event that completes it

  bool counting_ = false;  // done / total known for the running phase
  std::uint64_t done_ = 0, total_ = 0;
  double rate_ = -1.0, eta_ = -1.0;  // negative: not given
  std::string best_id_;
  double best_score_ = 0.0;

  std::string dataset_id_, verdict_;
  bool testing_ = false;
  double test_started_ = 0.0;
  std::vector<Finalist> finalists_;
  std::string report_path_;
  bool report_seen_ = false;
};

// The terminal's width in columns (TIOCGWINSZ on `fd`), at most kMaxColumns; kMaxColumns
// when the terminal does not say.
std::size_t terminal_columns(int fd);

// Draws a ResearchScreen on `terminal` from the sink's events. It observes the sink for its
// lifetime (the observer runs under the sink's output lock, possibly on a worker thread,
// and only formats and writes a short text). Write errors are ignored: the display never
// changes a run's outcome.
class TerminalDisplay {
 public:
  TerminalDisplay(EventSink& sink, std::FILE* terminal, std::size_t columns, bool live);
  ~TerminalDisplay();
  TerminalDisplay(const TerminalDisplay&) = delete;
  TerminalDisplay& operator=(const TerminalDisplay&) = delete;

  // After the run: `report` is the returned report, null when the run failed.
  void finish(const core::Json* report);

 private:
  void write(const std::string& text);

  EventSink& sink_;
  std::FILE* terminal_;
  ResearchScreen screen_;
  bool finished_ = false;
};

}  // namespace varnek::research
