#pragma once
// The byte form of the records that travel between the processes of a distributed run.
//
// Every process runs the same binary on machines of one byte order, so numbers travel as
// their in-memory bytes (bit for bit: negative zeros and NaNs survive), one field after the
// other in declaration order; lists and texts are preceded by their length as a u64. A
// message that does not decode is a broken invariant (another build on one machine, a
// corrupted transport), not an input error: it stops the process.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bt/metrics.hpp"
#include "bt/simulate.hpp"
#include "rf/forest.hpp"
#include "strategy/lattice.hpp"
#include "validate/evidence.hpp"
#include "validate/robustness.hpp"
#include "validate/walk_forward.hpp"

namespace varnek::research::wire {

class Writer {
 public:
  template <class T>
    requires std::is_arithmetic_v<T> || std::is_enum_v<T>
  void put(T value) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
  }
  void put_count(std::size_t n) { put(static_cast<std::uint64_t>(n)); }
  void put_text(std::string_view text);
  void put_raw(const void* data, std::size_t size);

  const std::string& bytes() const { return bytes_; }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  template <class T>
    requires std::is_arithmetic_v<T> || std::is_enum_v<T>
  T get() {
    T value;
    std::memcpy(&value, advance(sizeof(T)), sizeof(T));
    return value;
  }
  // A list length, checked against what is left so that a bad length cannot allocate.
  std::size_t get_count(std::size_t min_item_bytes = 1);
  std::string get_text();
  void get_raw(void* data, std::size_t size);

  // Stops the process unless every byte was read.
  void expect_end() const;

 private:
  const char* advance(std::size_t n);
  std::string_view bytes_;
  std::size_t at_ = 0;
};

void put(Writer& w, const strategy::Candidate& c);
void put(Writer& w, const bt::SegmentSummary& s);
void put(Writer& w, const bt::Trade& t);
void put(Writer& w, const validate::WalkForwardWindow& win);
void put(Writer& w, const validate::SensitivityPoint& p);
void put(Writer& w, const validate::ParamSensitivity& s);
void put(Writer& w, const validate::ScenarioResult& s);
void put(Writer& w, const validate::WalkForwardResult& r);
void put(Writer& w, const validate::WalkForwardEntry& e);
void put(Writer& w, const validate::RobustnessResult& r);
void put(Writer& w, const rf::Forest& forest);  // the trees; the layout is rebuilt

void get(Reader& r, strategy::Candidate& c);
void get(Reader& r, bt::SegmentSummary& s);
void get(Reader& r, bt::Trade& t);
void get(Reader& r, validate::WalkForwardWindow& win);
void get(Reader& r, validate::SensitivityPoint& p);
void get(Reader& r, validate::ParamSensitivity& s);
void get(Reader& r, validate::ScenarioResult& s);
void get(Reader& r, validate::WalkForwardResult& out);
void get(Reader& r, validate::WalkForwardEntry& e);
void get(Reader& r, validate::RobustnessResult& out);
void get(Reader& r, rf::Forest& forest);

inline void put(Writer& w, double x) {
  w.put(x);
}
inline void put(Writer& w, float x) {
  w.put(x);
}
inline void get(Reader& r, double& x) {
  x = r.get<double>();
}
inline void get(Reader& r, float& x) {
  x = r.get<float>();
}

// A list: its length, then its items.
template <class T>
void put_list(Writer& w, std::span<const T> items) {
  w.put_count(items.size());
  for (const T& item : items) put(w, item);
}

template <class T>
std::vector<T> get_list(Reader& r) {
  std::vector<T> items(r.get_count());
  for (T& item : items) get(r, item);
  return items;
}

}  // namespace varnek::research::wire
