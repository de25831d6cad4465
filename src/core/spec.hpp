#pragma once
// The research specification: the typed records of the JSON file that describes a
// research run or a single backtest, their defaults, the loader and the way back to JSON.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/result.hpp"

namespace varnek::core {

// Cost model of one contract. Prices are in index points; money is in account currency.
struct Market {
  std::string symbol;
  double tick_size = 0.0;            // smallest price step
  double point_value = 0.0;          // money per point per contract
  double commission_per_side = 0.0;  // money per contract, paid on entry and on exit
  double spread_ticks = 0.0;
  double slippage_ticks = 0.0;
};

// Execution and risk settings of a backtest.
struct Exec {
  double equity0 = 50000.0;        // starting equity in money
  double risk_per_trade = 0.0025;  // fraction of equity put at risk at the stop
  std::uint64_t max_bars = 48;     // bars a trade may stay open
  double slip_mult = 1.0;
  double cost_mult = 1.0;
  std::uint64_t delay = 0;  // bars between signal and entry
};

// Sizes of the funnel stages. Given in a file, a member left out is 0, not the default here.
struct Funnel {
  std::uint64_t screen = 200000;
  std::uint64_t backtest = 20000;
  std::uint64_t promote = 2000;
  std::uint64_t walk_forward = 200;
  std::uint64_t robustness = 20;
};

// Account rules of a funded-account programme. Values are taken as given (no range checks).
struct Profile {
  std::string id;
  std::string firm;
  std::string program;
  double account_size = 0.0;
  std::optional<double> profit_target;     // none: no target
  std::optional<double> daily_loss_limit;  // none: no daily rule
  bool daily_loss_soft = false;            // the daily limit pauses the day instead of failing
  std::string max_loss_type;  // "trailing_eod", "trailing_intraday", anything else: static
  double max_loss = 0.0;
  std::optional<double> trailing_lock_at;
  std::optional<std::uint32_t> max_contracts_micro;
  std::string max_contracts_note;
  std::int64_t day_reset_utc_hour = 0;
  std::string automation_policy;
  std::string source_url;
  std::string retrieved_at;
  std::optional<std::string> verified_at;
  std::string version;
  std::vector<std::string> notes;
};

struct Spec {
  std::uint32_t schema_version = 1;
  std::string hypothesis;
  std::string market = "NQ";  // picks the built-in cost model when `instrument` is absent
  std::string data_path;
  std::uint64_t synthetic_bars = 0;   // above 0: generate this many bars instead of data_path
  std::vector<std::string> families;  // empty: every family
  std::optional<Market> instrument;
  Exec exec;
  double train = 0.6;       // fraction of the bars
  double validation = 0.2;  // fraction of the bars; the rest is the test segment
  std::uint32_t min_trades = 30;
  Funnel funnel;
  std::uint64_t seed = 42;
  std::uint64_t compare_methods = 0;  // 0: no method comparison, else its budget
  std::vector<Profile> prop_profiles;
  std::string report_path;  // empty: no report file
  std::optional<std::string> parent_experiment;
  std::string scale = "standard";  // "exhaustive" forces exhaustive screening
  double time_budget_s = 0.0;      // 0 or below: no budget
  std::uint64_t lattice_seed = 0;  // 0: the static lattice
  Json context;                    // free-form, carried unchanged
  Json entry;                      // free-form, carried unchanged
};

Spec default_spec();

// Reads and converts a specification file. Errors are the complete user-facing line:
// "cannot read spec {path}: {reason}" (OS error text, "file too large" past
// core::max_input_bytes(), or the first invalid UTF-8 byte as a 0-based offset) or
// "invalid spec: {reason}". The file is read whole, so a FIFO or device is held up to
// that bound before it is judged.
Result<Spec> load_spec(const std::string& path);
// The same, with `warnings` set to the parse's warnings (see parse_spec); empty on error.
Result<Spec> load_spec(const std::string& path, std::vector<std::string>& warnings);

// Converts specification text. Every member is optional except inside `exec`,
// `instrument` and the profiles; unknown members are ignored; a repeated known member of a
// typed record is rejected (inside `context` and `entry` the last one wins). Errors read
// "invalid spec: {reason}", naming the member and, past the syntax check, ending with
// " at line L column C" (1-based, column in bytes) where the offending value starts (for a
// missing member: where its object starts). Nesting deeper than 128 levels is rejected.
Result<Spec> parse_spec(std::string_view text);
// The same, with `warnings` set to one complete line per ignored member of the top level,
// `exec`, `funnel`, `instrument` or a profile (not of the free-form `context` and `entry`),
// once per record and name, in text order:
// "varnek: warning: unknown member `familes` ignored (did you mean `families`?)", nested ones
// named like errors name their record ("exec.slipage", "prop_profiles[1].frim"). The hint is
// the record's nearest field within an edit distance of 2 (Levenshtein, over bytes; the
// first in declaration order on a tie). Control characters of a name are escaped JSON-style
// (ESC as \u001b), and a name past 64 characters is cut with "…". Empty on error.
Result<Spec> parse_spec(std::string_view text, std::vector<std::string>& warnings);

// Money figures need a positive, finite starting equity and a risk per trade in (0, 1]:
// with a negative equity a loss would read as a gain. The error is the complete line,
// "invalid spec: `equity0` in `exec` must be a positive number, found -5" or
// "invalid spec: `risk_per_trade` in `exec` must be above 0 and at most 1, found 1.5".
Result<bool> check_exec_money(const Exec& exec);

// Built-in cost model: "MES" when the upper-cased name begins with "ES", else "MNQ".
Market preset_market(std::string_view market_name);
// The explicit instrument if given, else the preset for `spec.market`.
Market market_for(const Spec& spec);

// Every member, absent optionals as null, non-finite floats as null.
Json to_json(const Market& market);
Json to_json(const Exec& exec);
Json to_json(const Funnel& funnel);
Json to_json(const Profile& profile);
Json to_json(const Spec& spec);

}  // namespace varnek::core
