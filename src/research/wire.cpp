#include "research/wire.hpp"

#include "core/fatal.hpp"

namespace varnek::research::wire {

void Writer::put_text(std::string_view text) {
  put_count(text.size());
  put_raw(text.data(), text.size());
}

void Writer::put_raw(const void* data, std::size_t size) {
  bytes_.append(static_cast<const char*>(data), size);
}

const char* Reader::advance(std::size_t n) {
  if (n > bytes_.size() - at_) core::fatal("malformed message between processes");
  const char* p = bytes_.data() + at_;
  at_ += n;
  return p;
}

std::size_t Reader::get_count(std::size_t min_item_bytes) {
  const auto n = get<std::uint64_t>();
  if (n > (bytes_.size() - at_) / std::max<std::size_t>(min_item_bytes, 1)) {
    core::fatal("malformed message between processes");
  }
  return static_cast<std::size_t>(n);
}

std::string Reader::get_text() {
  const std::size_t n = get_count();
  return std::string(advance(n), n);
}

void Reader::get_raw(void* data, std::size_t size) {
  if (size > 0) std::memcpy(data, advance(size), size);
}

void Reader::expect_end() const {
  if (at_ != bytes_.size()) core::fatal("malformed message between processes");
}

void put(Writer& w, const strategy::Candidate& c) {
  w.put_raw(c.idx.data(), c.idx.size());
  w.put(c.family);
}

void get(Reader& r, strategy::Candidate& c) {
  r.get_raw(c.idx.data(), c.idx.size());
  c.family = r.get<std::uint8_t>();
}

void put(Writer& w, const bt::SegmentSummary& s) {
  for (double x : {s.net_r, s.sum_sq_r, s.gross_profit_r, s.gross_loss_r, s.max_dd_r}) w.put(x);
  for (std::uint32_t n : {s.trades, s.wins, s.bars, s.size_skips}) w.put(n);
}

void get(Reader& r, bt::SegmentSummary& s) {
  for (double* x : {&s.net_r, &s.sum_sq_r, &s.gross_profit_r, &s.gross_loss_r, &s.max_dd_r}) {
    *x = r.get<double>();
  }
  for (std::uint32_t* n : {&s.trades, &s.wins, &s.bars, &s.size_skips}) {
    *n = r.get<std::uint32_t>();
  }
}

void put(Writer& w, const bt::Trade& t) {
  w.put(t.reason);
  w.put(t.entry_bar);
  w.put(t.exit_bar);
  w.put(t.entry_ts);
  w.put(t.exit_ts);
  for (double x : {t.entry, t.exit, t.stop, t.target, t.r, t.pnl, t.costs}) w.put(x);
  w.put(t.contracts);
  w.put(t.side);
  w.put(t.regime_trend);
  w.put(t.regime_vol);
}

void get(Reader& r, bt::Trade& t) {
  t.reason = r.get<bt::ExitReason>();
  t.entry_bar = r.get<std::uint64_t>();
  t.exit_bar = r.get<std::uint64_t>();
  t.entry_ts = r.get<std::int64_t>();
  t.exit_ts = r.get<std::int64_t>();
  for (double* x : {&t.entry, &t.exit, &t.stop, &t.target, &t.r, &t.pnl, &t.costs}) {
    *x = r.get<double>();
  }
  t.contracts = r.get<std::uint32_t>();
  t.side = r.get<std::int8_t>();
  t.regime_trend = r.get<std::uint8_t>();
  t.regime_vol = r.get<std::uint8_t>();
}

void put(Writer& w, const validate::WalkForwardWindow& win) {
  wire::put(w, win.chosen);
  for (std::int64_t ts : {win.train_start, win.train_end, win.test_start, win.test_end}) w.put(ts);
  for (double x : {win.profit_factor, win.expectancy_r, win.net_r, win.max_dd_r}) w.put(x);
  w.put(win.trades);
}

void get(Reader& r, validate::WalkForwardWindow& win) {
  wire::get(r, win.chosen);
  for (std::int64_t* ts : {&win.train_start, &win.train_end, &win.test_start, &win.test_end}) {
    *ts = r.get<std::int64_t>();
  }
  for (double* x : {&win.profit_factor, &win.expectancy_r, &win.net_r, &win.max_dd_r}) {
    *x = r.get<double>();
  }
  win.trades = r.get<std::uint32_t>();
}

void put(Writer& w, const validate::SensitivityPoint& p) {
  for (double x : {p.value, p.profit_factor, p.expectancy_r}) w.put(x);
  w.put(p.trades);
  w.put(p.is_center);
}

void get(Reader& r, validate::SensitivityPoint& p) {
  for (double* x : {&p.value, &p.profit_factor, &p.expectancy_r}) *x = r.get<double>();
  p.trades = r.get<std::uint32_t>();
  p.is_center = r.get<bool>();
}

void put(Writer& w, const validate::ParamSensitivity& s) {
  w.put_text(s.param);
  put_list<validate::SensitivityPoint>(w, s.points);
  w.put(s.stability);
  w.put(s.sharp_peak);
}

void get(Reader& r, validate::ParamSensitivity& s) {
  s.param = r.get_text();
  s.points = get_list<validate::SensitivityPoint>(r);
  s.stability = r.get<double>();
  s.sharp_peak = r.get<bool>();
}

void put(Writer& w, const validate::ScenarioResult& s) {
  w.put_text(s.scenario);
  w.put_text(s.label_fr);
  w.put(s.profit_factor);
  w.put(s.expectancy_r);
  w.put(s.trades);
}

void get(Reader& r, validate::ScenarioResult& s) {
  s.scenario = r.get_text();
  s.label_fr = r.get_text();
  s.profit_factor = r.get<double>();
  s.expectancy_r = r.get<double>();
  s.trades = r.get<std::uint32_t>();
}

void put(Writer& w, const validate::WalkForwardResult& res) {
  put_list<validate::WalkForwardWindow>(w, res.windows);
  w.put(res.oos_trades);
  w.put(res.oos_net_r);
  w.put(res.oos_expectancy_r);
  w.put(res.positive_windows);
  w.put(res.stability);
  w.put(res.dispersion_r);
}

void get(Reader& r, validate::WalkForwardResult& out) {
  out.windows = get_list<validate::WalkForwardWindow>(r);
  out.oos_trades = r.get<std::uint32_t>();
  out.oos_net_r = r.get<double>();
  out.oos_expectancy_r = r.get<double>();
  out.positive_windows = r.get<std::uint64_t>();
  out.stability = r.get<double>();
  out.dispersion_r = r.get<double>();
}

void put(Writer& w, const validate::WalkForwardEntry& e) {
  put(w, e.key);
  put(w, e.result);
}

void get(Reader& r, validate::WalkForwardEntry& e) {
  get(r, e.key);
  get(r, e.result);
}

void put(Writer& w, const validate::RobustnessResult& res) {
  put(w, res.key);
  put(w, res.walk_forward);
  put_list<validate::ParamSensitivity>(w, res.sensitivity);
  put_list<validate::ScenarioResult>(w, res.scenarios);
  put_list<bt::Trade>(w, res.trades);
}

void get(Reader& r, validate::RobustnessResult& out) {
  get(r, out.key);
  get(r, out.walk_forward);
  out.sensitivity = get_list<validate::ParamSensitivity>(r);
  out.scenarios = get_list<validate::ScenarioResult>(r);
  out.trades = get_list<bt::Trade>(r);
}

void put(Writer& w, const rf::Forest& forest) {
  w.put_count(forest.trees.size());
  for (const rf::Tree& tree : forest.trees) {
    w.put_count(tree.size());
    for (const rf::TreeNode& n : tree) {
      w.put(n.feature);
      w.put(n.threshold);
      w.put(n.left);
      w.put(n.right);
      w.put(n.value);
    }
  }
}

void get(Reader& r, rf::Forest& forest) {
  forest.trees.assign(r.get_count(), {});
  for (rf::Tree& tree : forest.trees) {
    tree.resize(r.get_count());
    for (rf::TreeNode& n : tree) {
      n.feature = r.get<std::int16_t>();
      n.threshold = r.get<float>();
      n.left = r.get<std::uint32_t>();
      n.right = r.get<std::uint32_t>();
      n.value = r.get<float>();
    }
  }
  rf::build_layout(forest);
}

}  // namespace varnek::research::wire
