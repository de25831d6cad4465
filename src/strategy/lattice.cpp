#include "strategy/lattice.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "core/fatal.hpp"

namespace varnek::strategy {

namespace {

using K = DimKind;

constexpr double kHtfFast[] = {10, 20, 30, 50};
constexpr double kHtfSlow[] = {50, 100, 150, 200};
constexpr double kPbEma[] = {10, 20, 30, 50};
constexpr double kPbAtr[] = {0.25, 0.5, 0.75, 1.0, 1.5};
constexpr double kPbWindow[] = {3, 5, 8, 12};
constexpr double kBreakoutPb[] = {3, 5, 8, 12, 20};
constexpr double kStopAtr[] = {0.75, 1.0, 1.5, 2.0, 2.5};
constexpr double kRr[] = {1.0, 1.5, 2.0, 2.5, 3.0};
constexpr double kRrReversion[] = {0.75, 1.0, 1.5, 2.0, 2.5};
constexpr double kTwo[] = {0, 1};
constexpr double kThree[] = {0, 1, 2};
constexpr double kSession[] = {0, 1, 2, 3};
constexpr double kHold[] = {12, 24, 48, 96};
constexpr double kFast[] = {5, 8, 10, 15, 20, 30};
constexpr double kSlow[] = {20, 30, 50, 100, 150, 200};
constexpr double kBreakoutDonchian[] = {5, 10, 15, 20, 30, 40, 55};
constexpr double kRsiLen[] = {2, 3, 5, 7, 14};
constexpr double kRsiLow[] = {10, 15, 20, 25, 30};
constexpr double kPivot[] = {2, 3, 5};
constexpr double kFvgMinAtr[] = {0.1, 0.25, 0.5};
constexpr double kMaxWait[] = {5, 10, 20};

constexpr Dimension kPullbackDims[] = {
    {"htf_fast", kHtfFast, K::integer},   {"htf_slow", kHtfSlow, K::integer},
    {"pb_ema", kPbEma, K::integer},       {"pb_atr", kPbAtr, K::decimal},
    {"pb_window", kPbWindow, K::integer}, {"breakout_len", kBreakoutPb, K::integer},
    {"stop_atr", kStopAtr, K::decimal},   {"rr", kRr, K::decimal},
    {"d1_filter", kTwo, K::categorical},  {"session", kSession, K::categorical},
    {"hold", kHold, K::integer},          {"side", kTwo, K::categorical},
};
constexpr Dimension kEmaCrossDims[] = {
    {"fast", kFast, K::integer},
    {"slow", kSlow, K::integer},
    {"htf_filter", kThree, K::categorical},
    {"stop_atr", kStopAtr, K::decimal},
    {"rr", kRr, K::decimal},
    {"session", kSession, K::categorical},
    {"hold", kHold, K::integer},
    {"side", kTwo, K::categorical},
};
constexpr Dimension kDonchianDims[] = {
    {"breakout_len", kBreakoutDonchian, K::integer},
    {"htf_filter", kThree, K::categorical},
    {"stop_atr", kStopAtr, K::decimal},
    {"rr", kRr, K::decimal},
    {"session", kSession, K::categorical},
    {"hold", kHold, K::integer},
    {"side", kTwo, K::categorical},
};
constexpr Dimension kRsiDims[] = {
    {"rsi_len", kRsiLen, K::integer},
    {"rsi_low", kRsiLow, K::decimal},
    {"range_filter", kTwo, K::categorical},
    {"stop_atr", kStopAtr, K::decimal},
    {"rr", kRrReversion, K::decimal},
    {"session", kSession, K::categorical},
    {"hold", kHold, K::integer},
    {"side", kTwo, K::categorical},
};
constexpr Dimension kSmcDims[] = {
    {"pivot", kPivot, K::categorical},
    {"entry", kThree, K::categorical},
    {"fvg_min_atr", kFvgMinAtr, K::decimal},
    {"max_wait", kMaxWait, K::integer},
    {"htf_filter", kThree, K::categorical},
    {"stop_atr", kStopAtr, K::decimal},
    {"rr", kRr, K::decimal},
    {"session", kSession, K::categorical},
    {"hold", kHold, K::integer},
    {"side", kTwo, K::categorical},
};

constexpr Family kFamilyTable[kFamilies] = {
    {"htf_pullback_breakout", "Tendance HTF + pullback + cassure", kPullbackDims},
    {"ema_cross", "Croisement de moyennes mobiles", kEmaCrossDims},
    {"donchian_breakout", "Cassure de canal (Donchian)", kDonchianDims},
    {"rsi_reversion", "Retour à la moyenne (RSI)", kRsiDims},
    {"smc_choch", "Smart Money : CHoCH + FVG / order block", kSmcDims},
};

// Value counts per [family][dimension]; 0 beyond a family's dimensions, so one
// "index < count" test also rejects a position the family lacks.
using CountTable = std::array<std::array<std::uint8_t, kMaxDims>, kFamilies>;

constexpr CountTable make_counts() {
  CountTable counts{};
  for (std::size_t f = 0; f < kFamilies; ++f) {
    for (std::size_t d = 0; d < kFamilyTable[f].dims.size(); ++d) {
      counts[f][d] = static_cast<std::uint8_t>(kFamilyTable[f].dims[d].values.size());
    }
  }
  return counts;
}

constexpr ValueTable make_static_values() {
  ValueTable table{};
  for (std::size_t f = 0; f < kFamilies; ++f) {
    for (std::size_t d = 0; d < kFamilyTable[f].dims.size(); ++d) {
      const auto& values = kFamilyTable[f].dims[d].values;
      for (std::size_t j = 0; j < values.size(); ++j) table[f][d][j] = values[j];
    }
  }
  return table;
}

constexpr bool shape_fits() {
  for (const auto& family : kFamilyTable) {
    if (family.dims.size() > kMaxDims) return false;
    for (const auto& dim : family.dims) {
      if (dim.values.empty() || dim.values.size() > kMaxValues) return false;
      // Letters 'a'.. stay lowercase letters.
      if (dim.values.size() > 26) return false;
    }
  }
  return true;
}
static_assert(shape_fits());

constexpr CountTable kCounts = make_counts();
constexpr ValueTable kStaticValues = make_static_values();

// The seeded table lives here once installed; it is written before the active
// pointer is published and never again.
ValueTable g_seeded_values{};
constinit std::atomic<const ValueTable*> g_active{&kStaticValues};
constinit std::atomic<std::uint64_t> g_seed{0};  // 0: none installed
std::mutex g_install_mutex;

[[noreturn, gnu::cold, gnu::noinline]] void bad_family_index(std::uint8_t family) {
  core::fatal(fmt::format("family index {} out of range", family));
}

[[noreturn, gnu::cold, gnu::noinline]] void bad_param_access(const Candidate& c, std::size_t dim) {
  if (dim >= kMaxDims) core::fatal(fmt::format("parameter position {} out of range", dim));
  core::fatal(fmt::format("value index {} out of range for position {} of family {}", c.idx[dim],
                          dim, c.family));
}

void check_family(std::uint8_t family) {
  if (family >= kFamilies) [[unlikely]]
    bad_family_index(family);
}

// Lengths and counts: truncation toward zero, 0 for negative or NaN, saturated at the top.
std::uint64_t to_unsigned(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

double jittered(const Dimension& dim, std::size_t j, double previous_new, double u) {
  const auto v = dim.values;
  const double f = u * 0.9 - 0.45;
  double gap = 0.0;
  if (j == 0) {
    gap = v[1] - v[0];
  } else {
    gap = v[j] - v[j - 1];
    if (j + 1 < v.size()) gap = std::min(gap, v[j + 1] - v[j]);
  }
  double p = v[j] + gap * f;
  if (dim.kind == DimKind::integer) {
    p = std::max(std::round(p), v[j] >= 2.0 ? 2.0 : 1.0);
  } else {
    p = std::round(p * 1000.0) / 1000.0;
  }
  const bool accepted = p > 0.0 && (j == 0 || p > previous_new);
  return accepted ? p : v[j];
}

void append_lengths(std::vector<std::uint32_t>& list, const ValueTable& values,
                    std::initializer_list<std::string_view> names) {
  std::vector<std::uint32_t> gathered;
  for (std::size_t f = 0; f < kFamilies; ++f) {
    const auto dims = kFamilyTable[f].dims;
    for (std::size_t d = 0; d < dims.size(); ++d) {
      if (std::find(names.begin(), names.end(), dims[d].name) == names.end()) continue;
      for (std::size_t j = 0; j < dims[d].values.size(); ++j) {
        const std::uint64_t n = to_unsigned(values[f][d][j]);
        gathered.push_back(static_cast<std::uint32_t>(
            std::min<std::uint64_t>(n, std::numeric_limits<std::uint32_t>::max())));
      }
    }
  }
  std::sort(gathered.begin(), gathered.end());
  gathered.erase(std::unique(gathered.begin(), gathered.end()), gathered.end());
  for (std::uint32_t n : gathered) {
    if (std::find(list.begin(), list.end(), n) == list.end()) list.push_back(n);
  }
}

}  // namespace

std::span<const Family> family_table() {
  return kFamilyTable;
}

std::uint64_t family_size(std::uint8_t family) {
  check_family(family);
  std::uint64_t size = 1;
  for (const auto& dim : kFamilyTable[family].dims) size *= dim.values.size();
  return size;
}

std::size_t dim_count(std::uint8_t family) {
  check_family(family);
  return kFamilyTable[family].dims.size();
}

std::size_t value_count(std::uint8_t family, std::size_t dim) {
  check_family(family);
  return dim < kMaxDims ? kCounts[family][dim] : 0;
}

std::size_t CandidateHash::operator()(const Candidate& c) const noexcept {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  std::memcpy(&lo, c.idx.data(), 8);
  std::memcpy(&hi, c.idx.data() + 8, 4);
  hi |= static_cast<std::uint64_t>(c.family) << 32;
  std::uint64_t z = lo ^ (hi * core::SplitMix64::kGolden);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return static_cast<std::size_t>(z ^ (z >> 31));
}

const ValueTable& static_values() {
  return kStaticValues;
}

const ValueTable& active_values() {
  return *g_active.load(std::memory_order_acquire);
}

double param_value(const Candidate& c, std::size_t dim) {
  check_family(c.family);
  if (dim >= kMaxDims || c.idx[dim] >= kCounts[c.family][dim]) [[unlikely]]
    bad_param_access(c, dim);
  return (*g_active.load(std::memory_order_acquire))[c.family][dim][c.idx[dim]];
}

std::uint64_t param_uint(const Candidate& c, std::size_t dim) {
  return to_unsigned(param_value(c, dim));
}

std::size_t param_position(std::uint8_t family, std::string_view name) {
  check_family(family);
  const auto dims = kFamilyTable[family].dims;
  for (std::size_t d = 0; d < dims.size(); ++d) {
    if (dims[d].name == name) return d;
  }
  core::fatal(fmt::format("family {} has no parameter {}", kFamilyTable[family].key, name));
}

std::string format_id(const Candidate& c) {
  const std::size_t dims = dim_count(c.family);
  std::string id = fmt::format("{}-", c.family);
  for (std::size_t d = 0; d < dims; ++d) {
    if (c.idx[d] >= kCounts[c.family][d]) bad_param_access(c, d);
    id.push_back(static_cast<char>('a' + c.idx[d]));
  }
  if (const std::uint64_t seed = g_seed.load(std::memory_order_acquire); seed != 0) {
    id += fmt::format("~{}", seed);
  }
  return id;
}

core::Result<Candidate> parse_id(std::string_view text) {
  const auto bad_id = [] { return core::Error{"bad candidate id"}; };
  const auto bad_family = [] { return core::Error{"bad family"}; };
  if (text.find('~') != std::string_view::npos) return bad_id();
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return bad_id();

  std::string_view digits = text.substr(0, dash);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return bad_family();
  unsigned family = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return bad_family();
    family = family * 10 + static_cast<unsigned>(ch - '0');
    if (family > 255) return bad_family();
  }
  if (family >= kFamilies) return bad_family();

  const std::string_view letters = text.substr(dash + 1);
  if (letters.size() > kMaxDims) return bad_id();
  Candidate c;
  c.family = static_cast<std::uint8_t>(family);
  const std::size_t used = std::min(letters.size(), kFamilyTable[family].dims.size());
  for (std::size_t d = 0; d < used; ++d) {
    // Anything below 'a' wraps around to a large index and fails the range test.
    const auto index = static_cast<std::uint8_t>(static_cast<unsigned char>(letters[d]) - 'a');
    if (index >= kCounts[family][d]) return bad_id();
    c.idx[d] = index;
  }
  return c;
}

std::uint64_t lattice_index(const Candidate& c) {
  std::uint64_t n = 0;
  for (std::size_t d = kFamilyTable[c.family].dims.size(); d-- > 0;) {
    n = n * kCounts[c.family][d] + c.idx[d];
  }
  return n;
}

Candidate enumerate(std::uint8_t family, std::uint64_t n) {
  if (n >= family_size(family)) {
    core::fatal(fmt::format("lattice index {} out of range for family {}", n, family));
  }
  Candidate c;
  c.family = family;
  for (std::size_t d = 0; d < kFamilyTable[family].dims.size(); ++d) {
    const std::uint64_t count = kCounts[family][d];
    c.idx[d] = static_cast<std::uint8_t>(n % count);
    n /= count;
  }
  return c;
}

namespace {

// One family's draw with its value counts as constants: a remainder by a constant compiles
// to a multiply, where rng.below divides.
template <std::uint8_t F>
Candidate random_of(core::SplitMix64& rng) {
  Candidate c;
  c.family = F;
  [&]<std::size_t... D>(std::index_sequence<D...>) {
    ((c.idx[D] = static_cast<std::uint8_t>(rng.next() % kCounts[F][D])), ...);
  }(std::make_index_sequence<kFamilyTable[F].dims.size()>{});
  return c;
}

}  // namespace

Candidate random_candidate(std::uint8_t family, core::SplitMix64& rng) {
  check_family(family);
  static_assert(kFamilies == 5);
  switch (family) {
    case 0: return random_of<0>(rng);
    case 1: return random_of<1>(rng);
    case 2: return random_of<2>(rng);
    case 3: return random_of<3>(rng);
    default: return random_of<4>(rng);
  }
}

bool is_valid(const Candidate& c) {
  if (c.family == 0 || c.family == 1) return param_value(c, 0) < param_value(c, 1);
  check_family(c.family);
  return true;
}

std::array<float, kFeatureDims> feature_vector(const Candidate& c) {
  check_family(c.family);
  std::array<float, kFeatureDims> features{};
  features[c.family] = 1.0f;
  for (std::size_t d = 0; d < kFamilyTable[c.family].dims.size(); ++d) {
    const unsigned count = kCounts[c.family][d];
    if (count >= 2) {
      features[kFamilies + d] = static_cast<float>(c.idx[d]) / static_cast<float>(count - 1);
    }
  }
  return features;
}

core::Json params_json(const Candidate& c) {
  check_family(c.family);
  core::Json params = core::Json::object();
  const auto dims = kFamilyTable[c.family].dims;
  for (std::size_t d = 0; d < dims.size(); ++d) {
    params[std::string(dims[d].name)] = param_value(c, d);
  }
  return params;
}

core::Json candidate_json(const Candidate& c) {
  check_family(c.family);
  core::Json j = core::Json::object();
  j["id"] = format_id(c);
  j["family"] = std::string(kFamilyTable[c.family].key);
  j["family_fr"] = std::string(kFamilyTable[c.family].label_fr);
  j["params"] = params_json(c);
  return j;
}

core::Json families_json() {
  core::Json out = core::Json::array();
  for (std::uint8_t f = 0; f < kFamilies; ++f) {
    const Family& family = kFamilyTable[f];
    core::Json dims = core::Json::array();
    for (const Dimension& dim : family.dims) {
      core::Json values = core::Json::array();
      for (double v : dim.values) values.push_back(v);
      dims.push_back(core::Json{{"name", std::string(dim.name)}, {"values", std::move(values)}});
    }
    core::Json entry = core::Json::object();
    entry["dims"] = std::move(dims);
    entry["key"] = std::string(family.key);
    entry["label_fr"] = std::string(family.label_fr);
    entry["size"] = family_size(f);
    out.push_back(std::move(entry));
  }
  return out;
}

ValueTable build_seeded_table(std::uint64_t seed) {
  ValueTable table = kStaticValues;
  core::SplitMix64 rng(seed);
  for (std::size_t f = 0; f < kFamilies; ++f) {
    const auto dims = kFamilyTable[f].dims;
    for (std::size_t d = 0; d < dims.size(); ++d) {
      if (dims[d].kind == DimKind::categorical || dims[d].values.size() < 2) continue;
      for (std::size_t j = 0; j < dims[d].values.size(); ++j) {
        const double previous = j > 0 ? table[f][d][j - 1] : 0.0;
        table[f][d][j] = jittered(dims[d], j, previous, rng.uniform());
      }
    }
  }
  return table;
}

core::Result<bool> install_seeded_lattice(std::uint64_t seed) {
  std::lock_guard lock(g_install_mutex);
  const std::uint64_t installed = g_seed.load(std::memory_order_relaxed);
  if (installed == seed) return false;  // the same table again, or still none
  if (installed != 0) {
    return core::Error{
        fmt::format("treillis {} déjà installé dans ce processus, {} demandé", installed, seed)};
  }
  g_seeded_values = build_seeded_table(seed);
  g_active.store(&g_seeded_values, std::memory_order_release);
  g_seed.store(seed, std::memory_order_release);
  return true;
}

std::optional<std::uint64_t> lattice_seed() {
  const std::uint64_t seed = g_seed.load(std::memory_order_acquire);
  if (seed == 0) return std::nullopt;
  return seed;
}

htf::FeatureLengths feature_lengths(const ValueTable& values) {
  htf::FeatureLengths lengths;
  lengths.htf_ema = {10, 20, 30, 50, 100, 150, 200};
  lengths.base_ema = {5, 8, 10, 15, 20, 30, 50, 100, 150, 200, 25, 40};
  lengths.breakout = {3, 5, 8, 10, 12, 15, 20, 30, 40, 55, 60};
  lengths.rsi = {2, 3, 5, 7, 14};
  append_lengths(lengths.htf_ema, values, {"htf_fast", "htf_slow"});
  append_lengths(lengths.base_ema, values, {"pb_ema", "fast", "slow", "htf_fast", "htf_slow"});
  append_lengths(lengths.breakout, values, {"breakout_len"});
  append_lengths(lengths.rsi, values, {"rsi_len"});
  return lengths;
}

htf::FeatureLengths feature_lengths() {
  return feature_lengths(active_values());
}

}  // namespace varnek::strategy
