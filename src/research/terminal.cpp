#include "research/terminal.hpp"

#include <fmt/format.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "research/html.hpp"

namespace varnek::research {
namespace {

constexpr std::string_view kRedrawLine = "\r\x1b[K";  // to column 0, clear to the end
constexpr std::size_t kBarCells = 14;

// Members read defensively: the screen must never stop a run over an event's shape.
const core::Json* member(const core::Json& j, const char* key) {
  if (!j.is_object()) return nullptr;
  const auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

double number(const core::Json& j, const char* key, double fallback = -1.0) {
  const core::Json* v = member(j, key);
  return v != nullptr && v->is_number() ? v->get<double>() : fallback;
}

std::uint64_t count(const core::Json& j, const char* key) {
  const core::Json* v = member(j, key);
  if (v == nullptr) return 0;
  if (v->is_number_unsigned()) return v->get<std::uint64_t>();
  if (v->is_number_integer() && v->get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(v->get<std::int64_t>());
  }
  return 0;
}

std::string_view text(const core::Json& j, const char* key) {
  const core::Json* v = member(j, key);
  return v != nullptr && v->is_string() ? std::string_view(v->get_ref<const std::string&>())
                                        : std::string_view();
}

const core::Json& object_member(const core::Json& j, const char* key) {
  static const core::Json kEmpty = core::Json::object();
  const core::Json* v = member(j, key);
  return v != nullptr ? *v : kEmpty;
}

// Control characters (C0, DEL, C1) shown as "?": texts from the research file and the
// system (paths, error texts) must not drive the terminal.
std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      out += '?';
      ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::size_t code_points(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Left-aligned in `width` columns (code points).
std::string pad(std::string_view s, std::size_t width) {
  std::string out(s);
  const std::size_t n = code_points(s);
  if (n < width) out.append(width - n, ' ');
  return out;
}

std::string in_seconds(double seconds) {
  return " in " + format_seconds(seconds);
}

}  // namespace

std::string group_digits(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string format_rate(double per_sec) {
  if (!std::isfinite(per_sec) || per_sec < 0.0) return "?/s";
  static constexpr std::pair<double, const char*> kScales[] = {{1e9, "G"}, {1e6, "M"}, {1e3, "k"}};
  for (const auto& [scale, suffix] : kScales) {
    // 999,950 shows as "1.00M/s", not "1000.0k/s".
    if (per_sec >= scale * 0.99995) {
      const double v = per_sec / scale;
      const int decimals = v < 9.995 ? 2 : v < 99.95 ? 1 : 0;
      return fmt::format("{:.{}f}{}/s", v, decimals, suffix);
    }
  }
  return fmt::format("{:.0f}/s", per_sec);
}

std::string format_seconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0.0) return "?";
  if (seconds < 0.995) return fmt::format("{:.2f} s", seconds);
  if (seconds < 59.95) return fmt::format("{:.1f} s", seconds);
  if (seconds < 3599.5) {
    const auto whole = static_cast<std::uint64_t>(std::llround(seconds));
    return fmt::format("{} min {:02} s", whole / 60, whole % 60);
  }
  const auto minutes = static_cast<std::uint64_t>(std::llround(seconds / 60.0));
  return fmt::format("{} h {:02} min", minutes / 60, minutes % 60);
}

std::string progress_bar(double fraction, std::size_t cells) {
  const double f = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
  // Rounded down, so a full bar means done.
  const auto full = static_cast<std::size_t>(std::floor(f * static_cast<double>(cells)));
  std::string out;
  for (std::size_t i = 0; i < cells; ++i) out += i < full ? "\xE2\x96\x88" : "\xE2\x96\x91";
  return out;
}

std::string fit_columns(std::string_view line, std::size_t columns) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
    if (seen++ == columns) return std::string(line.substr(0, i));
  }
  return std::string(line);
}

std::string gate_marks(const core::Json& gates) {
  std::string out;
  if (!gates.is_array()) return out;
  for (const core::Json& g : gates) {
    const std::string_view status = text(g, "status");
    out += status == "PASS"           ? "\xE2\x9C\x93"
           : status == "INCONCLUSIVE" ? "?"
           : status == "FAIL"         ? "\xE2\x9C\x97"
                                      : "\xC2\xB7";
  }
  return out;
}

ResearchScreen::ResearchScreen(std::size_t columns, bool live)
    : columns_(std::clamp<std::size_t>(columns, 1, kMaxColumns)), live_(live) {}

std::string ResearchScreen::on_event(const core::Json& event) {
  if (!event.is_object()) return {};
  now_ = number(event, "elapsed", now_);
  const std::string_view kind = text(event, "t");
  if (kind == "phase") return phase_event(event);
  if (kind == "progress") {
    if (text(event, "phase") != phase_) return {};
    counting_ = true;
    done_ = count(event, "done");
    total_ = count(event, "total");
    rate_ = number(event, "candidates_per_sec");
    eta_ = number(event, "eta_s");
    if (const core::Json* best = member(event, "best"); best != nullptr && best->is_object()) {
      best_id_ = text(*best, "id");
      best_score_ = number(*best, "score", 0.0);
    }
    return now_ - last_draw_ < kRedrawInterval ? std::string() : redraw();
  }
  if (kind == "dataset") {
    dataset_id_ = text(object_member(event, "info"), "dataset_id");
    verdict_ = text(object_member(event, "quality"), "verdict");
    return {};
  }
  if (kind == "promotion") {
    if (!pending_.empty()) pending_ += "; " + group_digits(count(event, "promoted")) + " promoted";
    return flush_pending();
  }
  if (kind == "test_unlocked") {
    std::string out = flush_pending();
    testing_ = true;
    test_started_ = now_;
    phase_ = "test";
    counting_ = true;
    done_ = 0;
    total_ = count(event, "frozen");
    rate_ = eta_ = -1.0;
    best_id_.clear();
    return out + redraw();
  }
  if (kind == "gates") {
    finalists_.push_back(
        {std::string(text(event, "candidate")), gate_marks(object_member(event, "gates"))});
    if (!testing_) return {};
    done_ = finalists_.size();
    return now_ - last_draw_ < kRedrawInterval ? std::string() : redraw();
  }
  if (kind == "report") {
    report_path_ = text(event, "path");
    report_seen_ = true;
    return {};
  }
  if (kind == "error") {
    return print("research failed: " + std::string(text(event, "user_fr")) + " \xE2\x80\x94 " +
                 std::string(text(event, "technical")));
  }
  return {};
}

std::string ResearchScreen::phase_event(const core::Json& event) {
  const std::string_view phase = text(event, "phase"), status = text(event, "status");
  const core::Json& detail = object_member(event, "detail");
  std::string out = flush_pending();
  if (testing_) out += close_test(now_);
  if (status == "running") {
    starts_.emplace_back(std::string(phase), now_);
    phase_ = phase;
    candidates_ = count(detail, "candidates");
    if (candidates_ == 0) candidates_ = count(detail, "pool");
    counting_ = false;
    done_ = total_ = 0;
    rate_ = eta_ = -1.0;
    best_id_.clear();
    return out + redraw();
  }
  if (status == "done") return out + close_phase(phase, detail, now_);
  return out;
}

double ResearchScreen::started(std::string_view phase) const {
  for (auto it = starts_.rbegin(); it != starts_.rend(); ++it) {
    if (it->first == phase) return it->second;
  }
  return now_;
}

std::string ResearchScreen::close_phase(std::string_view phase, const core::Json& detail,
                                        double now) {
  const std::string in = in_seconds(now - started(phase));
  std::string line;
  if (phase == "data") {
    line = "data: " + group_digits(count(detail, "rows")) + " bars" +
           (dataset_id_.empty() ? "" : " (" + dataset_id_ + ")") +
           (verdict_.empty() ? "" : ", quality " + verdict_) + in;
  } else if (phase == "htf") {
    std::string built;
    const core::Json& views = object_member(detail, "timeframes");
    if (views.is_array()) {
      for (const core::Json& v : views) {
        if (!v.is_string()) continue;
        built += (built.empty() ? "" : ", ") + v.get<std::string>();
      }
    }
    line = "htf: " + (built.empty() ? std::string("no higher timeframe") : built + " built") + in;
  } else if (phase == "screening") {
    line = "screening: " + group_digits(count(detail, "kept")) + " of " +
           group_digits(count(detail, "from")) + " kept" + in +
           (text(detail, "mode") == "exhaustive" ? " (exhaustive)" : "");
  } else if (phase == "backtest") {
    // Completed by the promotion event that follows.
    pending_ = "backtest: " + group_digits(count(detail, "candidates")) + " variants" +
               in_seconds(number(detail, "seconds", now - started(phase))) + ", " +
               format_rate(number(detail, "candidates_per_sec")) +
               (member(detail, "stopped_by_budget") != nullptr &&
                        *member(detail, "stopped_by_budget") == true
                    ? ", stopped by the time budget"
                    : "");
    return {};
  } else if (phase == "validation") {
    line = "validation: " + group_digits(count(detail, "passed")) + " of " +
           group_digits(candidates_) + " passed" + in;
  } else if (phase == "walk_forward") {
    line = "walk_forward: " + group_digits(count(detail, "passed")) + " of " +
           group_digits(count(detail, "tested")) + " kept" + in;
  } else if (phase == "robustness") {
    line = "robustness: " + group_digits(count(detail, "survivors")) + " of " +
           group_digits(candidates_) + " robust" + in;
  } else if (phase == "report") {
    line = report_seen_ && report_path_.empty() ? "report: assembled" + in + ", not written"
                                                : "report: written" + in;
  } else {
    line = std::string(phase) + ": done" + in;
  }
  return print(line);
}

std::string ResearchScreen::close_test(double now) {
  testing_ = false;
  return print("test: " + group_digits(finalists_.size()) + " finalists graded" +
               in_seconds(now - test_started_));
}

std::string ResearchScreen::live_line() const {
  std::string s = phase_;
  if (counting_ && total_ > 0) {
    const double fraction = static_cast<double>(done_) / static_cast<double>(total_);
    s += fmt::format(" [{}] {:3.0f}% {}/{}", progress_bar(fraction, kBarCells),
                     100.0 * std::min(fraction, 1.0), group_digits(done_), group_digits(total_));
    if (rate_ >= 0.0) s += " \xC2\xB7 " + format_rate(rate_);
    if (eta_ >= 0.0) s += " \xC2\xB7 ETA " + format_seconds(eta_);
    if (!best_id_.empty()) s += fmt::format(" \xC2\xB7 best {} {:.2f}", best_id_, best_score_);
  } else if (candidates_ > 0) {
    s += " " + group_digits(candidates_) + " candidates \xE2\x80\xA6";
  } else {
    s += " \xE2\x80\xA6";
  }
  return s;
}

std::string ResearchScreen::redraw() {
  if (!live_) return {};
  last_draw_ = now_;
  shown_ = true;
  // One column short of the width, so the terminal never wraps the line it redraws.
  return std::string(kRedrawLine) + fit_columns(printable(live_line()), columns_ - 1);
}

std::string ResearchScreen::print(const std::string& line) {
  std::string out = shown_ ? std::string(kRedrawLine) : std::string();
  shown_ = false;
  return out + fit_columns(printable(line), columns_) + "\n";
}

std::string ResearchScreen::flush_pending() {
  if (pending_.empty()) return {};
  std::string out = print(pending_);
  pending_.clear();
  return out;
}

std::string ResearchScreen::finish(const core::Json* report) {
  std::string out = flush_pending();
  if (testing_) out += close_test(now_);
  if (shown_) out += kRedrawLine;
  shown_ = false;
  if (report == nullptr) return out;

  // Test figures and verdicts from the report, joined to the gates events by identifier.
  struct Row {
    std::string id, family, expectancy, trades, marks, verdict;
  };
  std::vector<Row> rows;
  const core::Json& survivors = object_member(*report, "survivors");
  std::size_t retained = 0;
  for (const Finalist& f : finalists_) {
    Row row{f.id, "", "", "", f.marks, ""};
    if (survivors.is_array()) {
      for (const core::Json& s : survivors) {
        if (text(object_member(s, "candidate"), "id") != f.id) continue;
        const core::Json& test = object_member(s, "test");
        row.family = text(object_member(s, "candidate"), "family");
        const double e = number(test, "expectancy_r", std::nan(""));
        row.expectancy = std::isfinite(e) ? fmt::format("{:+.3f}R", e) : "?";
        row.trades = group_digits(count(test, "trades"));
        row.verdict = text(object_member(s, "evidence"), "verdict");
        break;
      }
    }
    retained += row.verdict == "RETENU";
    rows.push_back(std::move(row));
  }
  std::vector<std::string> lines;
  if (rows.empty()) {
    lines.push_back("finalists: none");
  } else {
    lines.push_back(
        fmt::format("finalists: {}, {} RETENU", group_digits(rows.size()), group_digits(retained)));
    std::size_t id_w = 2, family_w = 6;
    for (const Row& r : rows) {
      id_w = std::max(id_w, code_points(r.id));
      family_w = std::max(family_w, code_points(r.family));
    }
    const auto row_line = [&](std::string_view id, std::string_view family, std::string_view exp,
                              std::string_view trades, std::string_view marks,
                              std::string_view verdict) {
      return fmt::format("  {}  {}  {:>9}  {:>6}  {}  {}", pad(id, id_w), pad(family, family_w),
                         exp, trades, pad(marks, 7), verdict);
    };
    lines.push_back(row_line("id", "family", "test exp.", "trades", "gates", "verdict"));
    for (const Row& r : rows) {
      lines.push_back(row_line(r.id, r.family, r.expectancy, r.trades, r.marks, r.verdict));
    }
    lines.push_back(
        "gates: quality, lookahead, train \xE2\x86\x92 validation, out of sample, parameters, "
        "regimes, account rules");
    lines.push_back("marks: \xE2\x9C\x93 PASS   ? INCONCLUSIVE   \xE2\x9C\x97 FAIL");
  }
  for (const std::string& line : lines) out += print(line);

  std::string path = report_path_;
  if (!report_seen_) path = text(object_member(*report, "spec"), "report_path");
  if (path.empty()) {
    out += "report: none (no report_path set)\n";
    return out;
  }
  // Paths are never cut: a cut path is a wrong path.
  out += "report: " + printable(path) + "\n";
  if (const auto page = page_path(path)) out += "html:   " + printable(*page) + "\n";
  return out;
}

std::size_t terminal_columns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return std::min<std::size_t>(size.ws_col, kMaxColumns);
  }
  return kMaxColumns;
}

TerminalDisplay::TerminalDisplay(EventSink& sink, std::FILE* terminal, std::size_t columns,
                                 bool live)
    : sink_(sink), terminal_(terminal), screen_(columns, live) {
  sink_.observe([this](const core::Json& event) { write(screen_.on_event(event)); });
}

TerminalDisplay::~TerminalDisplay() {
  if (!finished_) finish(nullptr);
}

void TerminalDisplay::finish(const core::Json* report) {
  sink_.observe(nullptr);
  finished_ = true;
  write(screen_.finish(report));
}

void TerminalDisplay::write(const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), terminal_);
  std::fflush(terminal_);
}

}  // namespace varnek::research
