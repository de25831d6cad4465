#pragma once
// The search space: five strategy families, each an ordered list of named
// dimensions with ordered values, and the candidates that pick one value index
// per dimension.
//
// Two value tables share one shape: the static table below and, optionally, a
// seeded table whose numeric values are jittered once per process. Every value
// read goes through the active table (a single pointer load); identifiers,
// enumeration and sampling depend only on the shape, so a letter keeps its
// meaning (the n-th smallest value) in either table.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/result.hpp"
#include "core/splitmix.hpp"
#include "htf/lengths.hpp"

namespace varnek::strategy {

constexpr std::size_t kFamilies = 5;
constexpr std::size_t kMaxDims = 12;
constexpr std::size_t kMaxValues = 8;  // the longest dimension has 7 values
constexpr std::size_t kFeatureDims = kFamilies + kMaxDims;

// How a seeded lattice treats a dimension: categorical values are copied as
// they are; integer values (lengths, counts) are jittered and rounded to whole
// numbers; decimal values (multiples, levels) are jittered and rounded to 3 places.
enum class DimKind : std::uint8_t { categorical, integer, decimal };

struct Dimension {
  std::string_view name;
  std::span<const double> values;  // strictly increasing
  DimKind kind = DimKind::categorical;
};

struct Family {
  std::string_view key;
  std::string_view label_fr;
  std::span<const Dimension> dims;
};

// The static table, families in index order.
std::span<const Family> family_table();

// Number of lattice points of a family: the product of its value counts.
std::uint64_t family_size(std::uint8_t family);
// Number of dimensions of a family, and of values of one of its dimensions
// (0 for a position beyond the family's dimensions).
std::size_t dim_count(std::uint8_t family);
std::size_t value_count(std::uint8_t family, std::size_t dim);

// A strategy variant as a 13-byte key: byte i is the value index of dimension i
// (0 beyond the family's dimensions), then the family index. Comparison is
// bytewise in that layout: the twelve index bytes first, then the family.
struct Candidate {
  std::array<std::uint8_t, kMaxDims> idx{};
  std::uint8_t family = 0;

  friend bool operator==(const Candidate&, const Candidate&) = default;
  friend std::strong_ordering operator<=>(const Candidate&, const Candidate&) = default;
};
static_assert(sizeof(Candidate) == kMaxDims + 1);

// Hash of the 13 key bytes (SplitMix64 finaliser over two words).
struct CandidateHash {
  std::size_t operator()(const Candidate& c) const noexcept;
};

// Values of every dimension, indexed [family][dimension][value index]; cells
// outside the family's shape are 0.
using ValueTable = std::array<std::array<std::array<double, kMaxValues>, kMaxDims>, kFamilies>;

// The static table's values in table form.
const ValueTable& static_values();
// The seeded table when one is installed, else the static one.
const ValueTable& active_values();

// Value of dimension `dim` of the candidate, from the active table. Position
// 12 or beyond, a family above 4 or an index not below the value count are
// internal errors.
double param_value(const Candidate& c, std::size_t dim);
// The same value as a length or count: truncated toward zero; negative or NaN give 0.
std::uint64_t param_uint(const Candidate& c, std::size_t dim);
// Position of the named dimension within the family; a missing name is an internal error.
std::size_t param_position(std::uint8_t family, std::string_view name);

// "{family}-{letters}", one letter per dimension ('a' + index), followed by
// "~{seed}" when a seeded lattice is installed.
std::string format_id(const Candidate& c);

// Reads "{family}-{letters}": the family is an optional "+" and decimal digits
// of a value up to 4 ("bad family" otherwise); up to twelve letters follow, the
// missing trailing ones meaning index 0, those beyond the family's dimensions
// ignored. No "-", more than twelve letters, a letter out of its dimension's
// range or a "~" anywhere (a seeded identifier names values that this process
// may not hold) give "bad candidate id".
core::Result<Candidate> parse_id(std::string_view text);

// Lattice point n (n < family_size) in mixed radix, the first dimension varying fastest.
Candidate enumerate(std::uint8_t family, std::uint64_t n);
// The inverse of enumerate: the key's position in its family's mixed-radix order.
std::uint64_t lattice_index(const Candidate& c);
// One rng.next() per dimension in order; index_i = output mod count_i.
// Validity is the caller's business.
Candidate random_candidate(std::uint8_t family, core::SplitMix64& rng);
// Families 0 and 1 need their first dimension's value strictly below the
// second's (fast trend below slow trend); the others are always valid.
bool is_valid(const Candidate& c);

// Surrogate features: slot `family` = 1; slot 5 + i = index_i / (count_i - 1)
// for each dimension i of the family (0 when it has fewer than 2 values); the rest 0.
std::array<float, kFeatureDims> feature_vector(const Candidate& c);

// {dimension name: value} from the active table.
core::Json params_json(const Candidate& c);
// {id, family (key), family_fr, params}.
core::Json candidate_json(const Candidate& c);
// The static family table: [{dims: [{name, values}], key, label_fr, size}].
core::Json families_json();

// The jittered table for a seed (pure; nothing is installed). Integer and
// decimal dimensions draw one uniform per value from SplitMix64(seed), families
// and dimensions in order; each value moves by at most 45 % of the gap to its
// nearest neighbour, and any proposal that is not positive or not above the
// previous new value falls back to the static value, so every list stays
// strictly increasing and positive.
ValueTable build_seeded_table(std::uint64_t seed);

// Builds and installs the seeded table for this process. Returns true when it
// installed, false for a no-op (the same seed again, or seed 0 with nothing
// installed: 0 stands for the static table). Any other seed once a table is in
// place fails with "treillis {installed} déjà installé dans ce processus,
// {requested} demandé". Safe to call from several threads; reads afterwards take
// no lock.
core::Result<bool> install_seeded_lattice(std::uint64_t seed);
// The installed seed, if any.
std::optional<std::uint64_t> lattice_seed();

// Indicator lengths to precompute: each list's defaults in their order, then
// the values (truncated to unsigned) of its lattice dimensions gathered over
// all families, ascending, each appended once unless already present:
//   htf_ema  10 20 30 50 100 150 200                  + htf_fast, htf_slow
//   base_ema 5 8 10 15 20 30 50 100 150 200 25 40     + pb_ema, fast, slow, htf_fast, htf_slow
//   breakout 3 5 8 10 12 15 20 30 40 55 60            + breakout_len
//   rsi      2 3 5 7 14                               + rsi_len
htf::FeatureLengths feature_lengths(const ValueTable& values);
// The same for the active table.
htf::FeatureLengths feature_lengths();

}  // namespace varnek::strategy
