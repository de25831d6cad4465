#include "core/spec.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <span>
#include <utility>

#include "core/io.hpp"
#include "core/utf8.hpp"

namespace varnek::core {
namespace {

// ---------------------------------------------------------------------------
// Syntax pass: nlohmann's SAX parser feeds its own DOM builder through a handler
// that also rejects repeated members of typed records, bounds the nesting depth and
// remembers which parser event started each member, so that later conversion errors
// can point at a line and column.

using Dom = nlohmann::detail::json_sax_dom_parser<Json>;

// Later stages (copies, writers, hashing) recurse over the free-form members.
constexpr std::size_t kMaxDepth = 128;

// clang-format off
constexpr std::array<std::string_view, 22> kSpecFields = {
    "schema_version", "hypothesis", "market", "data_path", "synthetic_bars", "families",
    "instrument", "exec", "train", "validation", "min_trades", "funnel", "seed",
    "compare_methods", "prop_profiles", "report_path", "parent_experiment", "scale",
    "time_budget_s", "lattice_seed", "context", "entry"};
constexpr std::array<std::string_view, 6> kMarketFields = {
    "symbol", "tick_size", "point_value", "commission_per_side", "spread_ticks", "slippage_ticks"};
constexpr std::array<std::string_view, 6> kExecFields = {
    "equity0", "risk_per_trade", "max_bars", "slip_mult", "cost_mult", "delay"};
constexpr std::array<std::string_view, 5> kFunnelFields = {
    "screen", "backtest", "promote", "walk_forward", "robustness"};
constexpr std::array<std::string_view, 19> kProfileFields = {
    "id", "firm", "program", "account_size", "profit_target", "daily_loss_limit",
    "daily_loss_soft", "max_loss_type", "max_loss", "trailing_lock_at", "max_contracts_micro",
    "max_contracts_note", "day_reset_utc_hour", "automation_policy", "source_url",
    "retrieved_at", "verified_at", "version", "notes"};
// clang-format on

// What a container stands for; only typed records and their lists are tracked.
enum class Role : std::uint8_t { Free, Spec, Exec, Market, Funnel, Profile, ProfileList, TextList };

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view key) {
  return std::find(names.begin(), names.end(), key) != names.end();
}

bool is_field(Role role, std::string_view key) {
  switch (role) {
    case Role::Spec:
      return contains(kSpecFields, key);
    case Role::Exec:
      return contains(kExecFields, key);
    case Role::Market:
      return contains(kMarketFields, key);
    case Role::Funnel:
      return contains(kFunnelFields, key);
    case Role::Profile:
      return contains(kProfileFields, key);
    default:
      return false;
  }
}

Role child_role(Role parent, std::string_view key, bool object, bool array) {
  switch (parent) {
    case Role::Spec:
      if (object && key == "exec") return Role::Exec;
      if (object && key == "instrument") return Role::Market;
      if (object && key == "funnel") return Role::Funnel;
      if (array && key == "prop_profiles") return Role::ProfileList;
      if (array && key == "families") return Role::TextList;
      return Role::Free;
    case Role::ProfileList:
      return object ? Role::Profile : Role::Free;
    case Role::Profile:
      return array && key == "notes" ? Role::TextList : Role::Free;
    default:
      return Role::Free;
  }
}

// Path segments escaped like JSON pointers, so a key holding '/' cannot alias a nested member.
std::string path_segment(std::string_view key) {
  std::string out;
  out.reserve(key.size());
  for (const char c : key) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
  return out;
}

// "/exec" -> "exec", "/prop_profiles/1" -> "prop_profiles[1]": how errors name a record.
std::string record_label(std::string_view path) {
  if (path.empty()) return {};
  path.remove_prefix(1);
  const std::size_t slash = path.find('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(path.substr(0, slash)) + "[" + std::string(path.substr(slash + 1)) + "]";
}

// Parser event number of where each value inside a typed record starts, by path
// ("" for the top-level value, "/exec/delay", "/families/2", ...).
using Positions = std::map<std::string, std::size_t>;

bool is_delimiter(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':' || c == '{' ||
         c == '}' || c == '[' || c == ']' || c == '"';
}

// Byte offset of the token behind parser event `event`. The parser emits exactly one event
// per brace, bracket, key, string, number and literal, in text order, so counting those
// tokens (skipping whitespace, commas and colons) finds it. Only the text up to the event
// needs to be well-formed, which the parser has checked by then.
std::size_t event_offset(std::string_view text, std::size_t event) {
  std::size_t i = 0, n = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':') {
      ++i;
      continue;
    }
    if (n++ == event) return i;
    if (c == '"') {
      ++i;
      while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
      ++i;
    } else if (c == '{' || c == '}' || c == '[' || c == ']') {
      ++i;
    } else {
      while (i < text.size() && !is_delimiter(text[i])) ++i;
    }
  }
  return text.size();
}

// " at line L column C", both 1-based, the column counted in bytes like the parser's own.
std::string at_offset(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t column =
      offset - (last_newline == std::string_view::npos ? 0 : last_newline + 1) + 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string at_event(std::string_view text, std::size_t event) {
  return at_offset(text, event_offset(text, event));
}

// A member of a typed record that is none of its fields, in text order.
struct Unknown {
  Role role;          // the record it appeared in
  std::string label;  // that record as errors name it ("" for the top level)
  std::string key;
};

struct Failure {
  std::string reason;
  std::size_t event = 0;  // parser event where it was found
};

class SpecSax {
 public:
  SpecSax(std::string_view text, Json& root) : text_(text), dom_(root, false) {}

  bool null() {
    begin_value(false, false);
    return dom_.null();
  }
  bool boolean(bool v) {
    begin_value(false, false);
    return dom_.boolean(v);
  }
  bool number_integer(std::int64_t v) {
    begin_value(false, false);
    return dom_.number_integer(v);
  }
  bool number_unsigned(std::uint64_t v) {
    begin_value(false, false);
    return dom_.number_unsigned(v);
  }
  bool number_float(double v, const std::string& s) {
    begin_value(false, false);
    return dom_.number_float(v, s);
  }
  bool string(std::string& v) {
    begin_value(false, false);
    return dom_.string(v);
  }
  bool binary(Json::binary_t& v) {  // never produced from JSON text
    begin_value(false, false);
    return dom_.binary(v);
  }
  bool start_object(std::size_t n) { return open(true) && dom_.start_object(n); }
  bool start_array(std::size_t n) { return open(false) && dom_.start_array(n); }
  bool end_object() {
    close();
    return dom_.end_object();
  }
  bool end_array() {
    close();
    return dom_.end_array();
  }

  bool key(std::string& k) {
    const std::size_t event = events_++;
    Frame& f = frames_.back();
    if (f.role != Role::Free) {
      if (is_field(f.role, k)) {
        if (std::find(f.seen.begin(), f.seen.end(), k) != f.seen.end()) {
          const std::string label = record_label(f.path);
          failure_ = Failure{
              "duplicate field `" + k + "`" + (label.empty() ? "" : " in `" + label + "`"), event};
          return false;
        }
        f.seen.push_back(k);
      } else if (std::find(f.seen.begin(), f.seen.end(), k) == f.seen.end()) {
        // Ignored by contract, but named once per record so that a typo does not go unseen.
        f.seen.push_back(k);
        unknown_.push_back(Unknown{f.role, record_label(f.path), k});
      }
      f.key = k;
    }
    return dom_.key(k);
  }

  // `position` is the byte count read so far, just past `last_token`.
  bool parse_error(std::size_t position, const std::string& last_token, const Json::exception& ex) {
    // Drop the "[json.exception.parse_error.101] " tag: the rest names the line and column.
    std::string_view what = ex.what();
    if (!what.empty() && what.front() == '[') {
      const std::size_t end = what.find("] ");
      if (end != std::string_view::npos) what.remove_prefix(end + 2);
    }
    syntax_error_ = std::string(what);
    // A number too large for a double comes without a position: add where it starts.
    if (what.find("at line") == std::string_view::npos) {
      syntax_error_ +=
          at_offset(text_, position >= last_token.size() ? position - last_token.size() : 0);
    }
    return false;
  }

  const std::optional<Failure>& failure() const { return failure_; }
  const std::string& syntax_error() const { return syntax_error_; }
  Positions& positions() { return positions_; }
  const std::vector<Unknown>& unknown() const { return unknown_; }

 private:
  struct Frame {
    Role role = Role::Free;
    bool object = false;
    std::string path;               // typed containers only
    std::string key;                // current member (typed objects)
    std::size_t count = 0;          // next element index (typed arrays)
    std::vector<std::string> seen;  // known members met so far (typed records)
  };

  // Numbers the event, records where values of typed containers start, and returns the
  // role and path the value takes if it is a container.
  std::pair<Role, std::string> begin_value(bool object, bool array) {
    const std::size_t event = events_++;
    if (frames_.empty()) {
      positions_[""] = event;
      return {object ? Role::Spec : Role::Free, ""};
    }
    Frame& parent = frames_.back();
    if (parent.role == Role::Free) return {Role::Free, {}};
    std::string path = parent.path + '/' +
                       (parent.object ? path_segment(parent.key) : std::to_string(parent.count++));
    positions_[path] = event;
    const Role role = child_role(parent.role, parent.key, object, array);
    if (role == Role::Free) return {Role::Free, {}};
    return {role, std::move(path)};
  }

  bool open(bool object) {
    if (frames_.size() >= kMaxDepth) {
      failure_ = Failure{"nesting deeper than " + std::to_string(kMaxDepth) + " levels", events_};
      return false;
    }
    auto [role, path] = begin_value(object, !object);
    Frame f;
    f.role = role;
    f.object = object;
    f.path = std::move(path);
    frames_.push_back(std::move(f));
    return true;
  }

  void close() {
    ++events_;
    frames_.pop_back();
  }

  std::string_view text_;
  Dom dom_;
  std::vector<Frame> frames_;
  std::size_t events_ = 0;
  Positions positions_;
  std::optional<Failure> failure_;
  std::string syntax_error_;
  std::vector<Unknown> unknown_;
};

// ---------------------------------------------------------------------------
// Conversion pass: the DOM into typed records, checking each member's type.

struct Invalid {
  std::string reason;
};

std::string describe(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return v.get<bool>() ? "true" : "false";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return v.dump();
    case Json::value_t::number_float:
      return std::isfinite(v.get<double>()) ? v.dump() : "a number out of range";
    case Json::value_t::string:
      return "string " + v.dump(-1, ' ', false, Json::error_handler_t::replace);
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    default:
      return "a binary value";
  }
}

std::optional<std::uint64_t> as_u64(const Json& v) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer() && v.get<std::int64_t>() >= 0) {  // "-0" parses as signed
    return static_cast<std::uint64_t>(v.get<std::int64_t>());
  }
  return std::nullopt;
}

std::optional<std::uint32_t> as_u32(const Json& v) {
  const auto u = as_u64(v);
  if (!u || *u > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*u);
}

std::optional<std::int64_t> as_i64(const Json& v) {
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  return std::nullopt;
}

std::optional<double> as_f64(const Json& v) {
  if (v.is_number()) return v.get<double>();
  return std::nullopt;
}

std::optional<std::string> as_text(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  return std::nullopt;
}

std::optional<bool> as_bool(const Json& v) {
  if (v.is_boolean()) return v.get<bool>();
  return std::nullopt;
}

template <class T>
struct Kind {
  const char* expected;
  const char* expected_or_null;
  std::optional<T> (*get)(const Json&);
};

constexpr Kind<std::uint64_t> kU64{"an unsigned integer", "an unsigned integer or null", as_u64};
constexpr Kind<std::uint32_t> kU32{"an unsigned 32-bit integer",
                                   "an unsigned 32-bit integer or null", as_u32};
constexpr Kind<std::int64_t> kI64{"an integer", "an integer or null", as_i64};
constexpr Kind<double> kF64{"a number", "a number or null", as_f64};
constexpr Kind<std::string> kText{"a string", "a string or null", as_text};
constexpr Kind<bool> kBool{"a boolean", "a boolean or null", as_bool};

enum class Need : std::uint8_t { Optional, Required };

class Converter {
 public:
  Converter(std::string_view text, const Positions& positions)
      : text_(text), positions_(positions) {}

  Spec spec(Json& root) {
    if (!root.is_object()) {
      throw Invalid{"expected a JSON object at the top level, found " + describe(root) + at("")};
    }
    Spec s = default_spec();
    Rec r{root, "", ""};
    field(r, "schema_version", kU32, s.schema_version);
    field(r, "hypothesis", kText, s.hypothesis);
    field(r, "market", kText, s.market);
    field(r, "data_path", kText, s.data_path);
    field(r, "synthetic_bars", kU64, s.synthetic_bars);
    texts(r, "families", s.families);
    if (Json* v = find(r, "instrument"); v != nullptr && !v->is_null()) {
      expect_object(r, "instrument", *v, "an object or null");
      s.instrument = market(Rec{*v, "/instrument", "instrument"});
    }
    if (Json* v = find(r, "exec")) {
      expect_object(r, "exec", *v, "an object");
      s.exec = exec(Rec{*v, "/exec", "exec"});
    }
    field(r, "train", kF64, s.train);
    field(r, "validation", kF64, s.validation);
    field(r, "min_trades", kU32, s.min_trades);
    if (Json* v = find(r, "funnel")) {
      expect_object(r, "funnel", *v, "an object");
      s.funnel = funnel(Rec{*v, "/funnel", "funnel"});
    }
    field(r, "seed", kU64, s.seed);
    field(r, "compare_methods", kU64, s.compare_methods);
    if (Json* v = find(r, "prop_profiles")) {
      if (!v->is_array())
        type_error(r, "prop_profiles", "an array", *v, member_path(r, "prop_profiles"));
      for (std::size_t i = 0; i < v->size(); ++i) {
        Json& item = (*v)[i];
        const std::string path = "/prop_profiles/" + std::to_string(i);
        if (!item.is_object()) element_error(r, "prop_profiles", i, "an object", item, path);
        s.prop_profiles.push_back(profile(Rec{item, path, record_label(path)}));
      }
    }
    field(r, "report_path", kText, s.report_path);
    nullable(r, "parent_experiment", kText, s.parent_experiment);
    field(r, "scale", kText, s.scale);
    field(r, "time_budget_s", kF64, s.time_budget_s);
    field(r, "lattice_seed", kU64, s.lattice_seed);
    if (Json* v = find(r, "context")) s.context = std::move(*v);
    if (Json* v = find(r, "entry")) s.entry = std::move(*v);
    return s;
  }

 private:
  // A typed record being read: its object, its path for positions, its name in messages.
  struct Rec {
    Json& obj;
    std::string path;
    std::string label;
  };

  Market market(const Rec& r) {
    Market m;
    field(r, "symbol", kText, m.symbol, Need::Required);
    field(r, "tick_size", kF64, m.tick_size, Need::Required);
    field(r, "point_value", kF64, m.point_value, Need::Required);
    field(r, "commission_per_side", kF64, m.commission_per_side, Need::Required);
    field(r, "spread_ticks", kF64, m.spread_ticks, Need::Required);
    field(r, "slippage_ticks", kF64, m.slippage_ticks, Need::Required);
    return m;
  }

  Exec exec(const Rec& r) {
    Exec e;
    field(r, "equity0", kF64, e.equity0, Need::Required);
    field(r, "risk_per_trade", kF64, e.risk_per_trade, Need::Required);
    field(r, "max_bars", kU64, e.max_bars, Need::Required);
    field(r, "slip_mult", kF64, e.slip_mult, Need::Required);
    field(r, "cost_mult", kF64, e.cost_mult, Need::Required);
    field(r, "delay", kU64, e.delay, Need::Required);
    return e;
  }

  Funnel funnel(const Rec& r) {
    Funnel f{0, 0, 0, 0, 0};
    field(r, "screen", kU64, f.screen);
    field(r, "backtest", kU64, f.backtest);
    field(r, "promote", kU64, f.promote);
    field(r, "walk_forward", kU64, f.walk_forward);
    field(r, "robustness", kU64, f.robustness);
    return f;
  }

  Profile profile(const Rec& r) {
    Profile p;
    field(r, "id", kText, p.id, Need::Required);
    field(r, "firm", kText, p.firm, Need::Required);
    field(r, "program", kText, p.program, Need::Required);
    field(r, "account_size", kF64, p.account_size, Need::Required);
    nullable(r, "profit_target", kF64, p.profit_target);
    nullable(r, "daily_loss_limit", kF64, p.daily_loss_limit);
    field(r, "daily_loss_soft", kBool, p.daily_loss_soft);
    field(r, "max_loss_type", kText, p.max_loss_type, Need::Required);
    field(r, "max_loss", kF64, p.max_loss, Need::Required);
    nullable(r, "trailing_lock_at", kF64, p.trailing_lock_at);
    nullable(r, "max_contracts_micro", kU32, p.max_contracts_micro);
    field(r, "max_contracts_note", kText, p.max_contracts_note);
    field(r, "day_reset_utc_hour", kI64, p.day_reset_utc_hour, Need::Required);
    field(r, "automation_policy", kText, p.automation_policy, Need::Required);
    field(r, "source_url", kText, p.source_url, Need::Required);
    field(r, "retrieved_at", kText, p.retrieved_at, Need::Required);
    nullable(r, "verified_at", kText, p.verified_at);
    field(r, "version", kText, p.version, Need::Required);
    texts(r, "notes", p.notes);
    return p;
  }

  static Json* find(const Rec& r, const char* name) {
    const auto it = r.obj.find(name);
    return it == r.obj.end() ? nullptr : &*it;
  }

  static std::string member_path(const Rec& r, const char* name) { return r.path + '/' + name; }

  static std::string in(const Rec& r) { return r.label.empty() ? "" : " in `" + r.label + "`"; }

  std::string at(const std::string& path) const {
    const auto it = positions_.find(path);
    return it == positions_.end() ? "" : at_event(text_, it->second);
  }

  [[noreturn]] void type_error(const Rec& r, const char* name, const char* expected, const Json& v,
                               const std::string& path) const {
    throw Invalid{"invalid type for field `" + std::string(name) + "`" + in(r) + ": expected " +
                  expected + ", found " + describe(v) + at(path)};
  }

  [[noreturn]] void element_error(const Rec& r, const char* name, std::size_t index,
                                  const char* expected, const Json& v,
                                  const std::string& path) const {
    throw Invalid{"invalid type for element " + std::to_string(index) + " of field `" +
                  std::string(name) + "`" + in(r) + ": expected " + expected + ", found " +
                  describe(v) + at(path)};
  }

  void expect_object(const Rec& r, const char* name, const Json& v, const char* expected) const {
    if (!v.is_object()) type_error(r, name, expected, v, member_path(r, name));
  }

  template <class T>
  void field(const Rec& r, const char* name, const Kind<T>& kind, T& out,
             Need need = Need::Optional) const {
    const Json* v = find(r, name);
    if (v == nullptr) {
      if (need == Need::Required) {
        throw Invalid{"missing field `" + std::string(name) + "`" + in(r) + at(r.path)};
      }
      return;
    }
    auto got = kind.get(*v);
    if (!got) type_error(r, name, kind.expected, *v, member_path(r, name));
    out = std::move(*got);
  }

  // Optional members that also accept null (null and absent both mean "none").
  template <class T>
  void nullable(const Rec& r, const char* name, const Kind<T>& kind, std::optional<T>& out) const {
    const Json* v = find(r, name);
    if (v == nullptr || v->is_null()) return;
    auto got = kind.get(*v);
    if (!got) type_error(r, name, kind.expected_or_null, *v, member_path(r, name));
    out = std::move(*got);
  }

  void texts(const Rec& r, const char* name, std::vector<std::string>& out) const {
    const Json* v = find(r, name);
    if (v == nullptr) return;
    const std::string path = member_path(r, name);
    if (!v->is_array()) type_error(r, name, "an array of strings", *v, path);
    out.clear();
    out.reserve(v->size());
    for (std::size_t i = 0; i < v->size(); ++i) {
      const Json& item = (*v)[i];
      if (!item.is_string()) {
        element_error(r, name, i, "a string", item, path + '/' + std::to_string(i));
      }
      out.push_back(item.get<std::string>());
    }
  }

  std::string_view text_;
  const Positions& positions_;
};

// ---------------------------------------------------------------------------
// Warnings for the members the conversion ignored.

std::span<const std::string_view> fields_of(Role role) {
  switch (role) {
    case Role::Spec:
      return kSpecFields;
    case Role::Exec:
      return kExecFields;
    case Role::Market:
      return kMarketFields;
    case Role::Funnel:
      return kFunnelFields;
    case Role::Profile:
      return kProfileFields;
    default:
      return {};
  }
}

// Levenshtein distance over bytes (insertions, deletions, substitutions), or limit + 1 as
// soon as it is known to exceed `limit`.
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit) {
  if (a.size() > b.size() + limit || b.size() > a.size() + limit) return limit + 1;
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    std::size_t row_min = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
      row_min = std::min(row_min, row[j]);
    }
    if (row_min > limit) return limit + 1;
  }
  return std::min(row.back(), limit + 1);
}

// The record's first field, in declaration order, among those nearest to `key` within
// kSuggestDistance edits; empty when none is that near.
constexpr std::size_t kSuggestDistance = 2;
std::string_view nearest_field(Role role, std::string_view key) {
  std::string_view best;
  std::size_t best_distance = kSuggestDistance + 1;
  for (const std::string_view field : fields_of(role)) {
    const std::size_t d = edit_distance(key, field, kSuggestDistance);
    if (d < best_distance) {
      best = field;
      best_distance = d;
    }
  }
  return best;
}

// A member name as the warning shows it: control characters (C0, DEL, C1) escaped
// JSON-style (ESC as \u001b), so the warning stays one line and cannot drive a terminal,
// and at most kShownChars characters, then "…". The text is valid UTF-8: the parser has
// checked it.
constexpr std::size_t kShownChars = 64;
std::string shown_name(std::string_view key) {
  std::string out;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < key.size(); ++chars) {
    if (chars == kShownChars) {
      out += "\xE2\x80\xA6";
      break;
    }
    const auto lead = static_cast<unsigned char>(key[i]);
    const std::size_t len = std::min<std::size_t>(lead < 0xC0   ? 1
                                                  : lead < 0xE0 ? 2
                                                  : lead < 0xF0 ? 3
                                                                : 4,
                                                  key.size() - i);
    const auto second = len > 1 ? static_cast<unsigned char>(key[i + 1]) : 0;
    if (lead < 0x20 || lead == 0x7F) {
      out += fmt::format("\\u{:04x}", lead);
    } else if (lead == 0xC2 && second >= 0x80 && second <= 0x9F) {
      out += fmt::format("\\u{:04x}", second);
    } else {
      out.append(key.substr(i, len));
    }
    i += len;
  }
  return out;
}

std::string warning_line(const Unknown& u) {
  const std::string where = u.label.empty() ? u.key : u.label + "." + u.key;
  std::string line = "varnek: warning: unknown member `" + shown_name(where) + "` ignored";
  if (const std::string_view near = nearest_field(u.role, u.key); !near.empty()) {
    line += " (did you mean `" + std::string(near) + "`?)";
  }
  return line;
}

Market make_market(const char* symbol, double point_value) {
  return Market{symbol, 0.25, point_value, 0.62, 1.0, 1.0};
}

}  // namespace

Spec default_spec() {
  return Spec{};
}

Result<Spec> parse_spec(std::string_view text) {
  std::vector<std::string> ignored;
  return parse_spec(text, ignored);
}

Result<Spec> parse_spec(std::string_view text, std::vector<std::string>& warnings) {
  warnings.clear();
  try {
    // The parser would skip a byte-order mark silently; a specification must not have one.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
      return Error{
          "invalid spec: expected a value, found a UTF-8 byte-order mark at line 1 column 1"};
    }
    Json root;
    SpecSax sax(text, root);
    if (!Json::sax_parse(text.begin(), text.end(), &sax, Json::input_format_t::json, true, false)) {
      if (sax.failure()) {
        return Error{"invalid spec: " + sax.failure()->reason +
                     at_event(text, sax.failure()->event)};
      }
      return Error{"invalid spec: " + sax.syntax_error()};
    }
    // The parser takes a NUL byte between tokens for the end of the input; inside strings it
    // is already an error, so one left here follows a complete value.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
      return Error{"invalid spec: unexpected NUL byte after the value" + at_offset(text, nul)};
    }
    Spec spec = Converter(text, sax.positions()).spec(root);
    for (const Unknown& u : sax.unknown()) warnings.push_back(warning_line(u));
    return spec;
  } catch (const Invalid& e) {
    return Error{"invalid spec: " + e.reason};
  } catch (const std::exception& e) {
    return Error{"invalid spec: " + std::string(e.what())};
  }
}

Result<Spec> load_spec(const std::string& path) {
  std::vector<std::string> ignored;
  return load_spec(path, ignored);
}

Result<Spec> load_spec(const std::string& path, std::vector<std::string>& warnings) {
  warnings.clear();
  auto bytes = read_file(path);
  if (!bytes) return Error{"cannot read spec " + path + ": " + bytes.error()};
  const std::size_t bad = utf8_invalid_at(bytes.value());
  if (bad != std::string_view::npos) {
    return Error{"cannot read spec " + path + ": invalid utf-8 sequence at byte " +
                 std::to_string(bad)};
  }
  return parse_spec(bytes.value(), warnings);
}

Market preset_market(std::string_view market_name) {
  const auto upper = [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  };
  const bool es =
      market_name.size() >= 2 && upper(market_name[0]) == 'E' && upper(market_name[1]) == 'S';
  return es ? make_market("MES", 5.0) : make_market("MNQ", 2.0);
}

Market market_for(const Spec& spec) {
  return spec.instrument ? *spec.instrument : preset_market(spec.market);
}

Json to_json(const Market& market) {
  Json j = Json::object();
  j["symbol"] = market.symbol;
  j["tick_size"] = number_or_null(market.tick_size);
  j["point_value"] = number_or_null(market.point_value);
  j["commission_per_side"] = number_or_null(market.commission_per_side);
  j["spread_ticks"] = number_or_null(market.spread_ticks);
  j["slippage_ticks"] = number_or_null(market.slippage_ticks);
  return j;
}

Result<bool> check_exec_money(const Exec& exec) {
  if (!(std::isfinite(exec.equity0) && exec.equity0 > 0.0)) {
    return Error{fmt::format(
        "invalid spec: `equity0` in `exec` must be a positive number, found {}", exec.equity0)};
  }
  if (!(exec.risk_per_trade > 0.0 && exec.risk_per_trade <= 1.0)) {
    return Error{fmt::format(
        "invalid spec: `risk_per_trade` in `exec` must be above 0 and at most 1, found {}",
        exec.risk_per_trade)};
  }
  return true;
}

Json to_json(const Exec& exec) {
  Json j = Json::object();
  j["equity0"] = number_or_null(exec.equity0);
  j["risk_per_trade"] = number_or_null(exec.risk_per_trade);
  j["max_bars"] = exec.max_bars;
  j["slip_mult"] = number_or_null(exec.slip_mult);
  j["cost_mult"] = number_or_null(exec.cost_mult);
  j["delay"] = exec.delay;
  return j;
}

Json to_json(const Funnel& funnel) {
  Json j = Json::object();
  j["screen"] = funnel.screen;
  j["backtest"] = funnel.backtest;
  j["promote"] = funnel.promote;
  j["walk_forward"] = funnel.walk_forward;
  j["robustness"] = funnel.robustness;
  return j;
}

Json to_json(const Profile& profile) {
  const auto opt_number = [](const std::optional<double>& v) -> Json {
    return v ? number_or_null(*v) : Json(nullptr);
  };
  Json j = Json::object();
  j["id"] = profile.id;
  j["firm"] = profile.firm;
  j["program"] = profile.program;
  j["account_size"] = number_or_null(profile.account_size);
  j["profit_target"] = opt_number(profile.profit_target);
  j["daily_loss_limit"] = opt_number(profile.daily_loss_limit);
  j["daily_loss_soft"] = profile.daily_loss_soft;
  j["max_loss_type"] = profile.max_loss_type;
  j["max_loss"] = number_or_null(profile.max_loss);
  j["trailing_lock_at"] = opt_number(profile.trailing_lock_at);
  j["max_contracts_micro"] =
      profile.max_contracts_micro ? Json(*profile.max_contracts_micro) : Json(nullptr);
  j["max_contracts_note"] = profile.max_contracts_note;
  j["day_reset_utc_hour"] = profile.day_reset_utc_hour;
  j["automation_policy"] = profile.automation_policy;
  j["source_url"] = profile.source_url;
  j["retrieved_at"] = profile.retrieved_at;
  j["verified_at"] = profile.verified_at ? Json(*profile.verified_at) : Json(nullptr);
  j["version"] = profile.version;
  j["notes"] = profile.notes;
  return j;
}

Json to_json(const Spec& spec) {
  Json j = Json::object();
  j["schema_version"] = spec.schema_version;
  j["hypothesis"] = spec.hypothesis;
  j["market"] = spec.market;
  j["data_path"] = spec.data_path;
  j["synthetic_bars"] = spec.synthetic_bars;
  j["families"] = spec.families;
  j["instrument"] = spec.instrument ? to_json(*spec.instrument) : Json(nullptr);
  j["exec"] = to_json(spec.exec);
  j["train"] = number_or_null(spec.train);
  j["validation"] = number_or_null(spec.validation);
  j["min_trades"] = spec.min_trades;
  j["funnel"] = to_json(spec.funnel);
  j["seed"] = spec.seed;
  j["compare_methods"] = spec.compare_methods;
  Json profiles = Json::array();
  for (const Profile& p : spec.prop_profiles) profiles.push_back(to_json(p));
  j["prop_profiles"] = std::move(profiles);
  j["report_path"] = spec.report_path;
  j["parent_experiment"] = spec.parent_experiment ? Json(*spec.parent_experiment) : Json(nullptr);
  j["scale"] = spec.scale;
  j["time_budget_s"] = number_or_null(spec.time_budget_s);
  j["lattice_seed"] = spec.lattice_seed;
  j["context"] = spec.context;
  j["entry"] = spec.entry;
  return j;
}

}  // namespace varnek::core
