#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <string>

#include "core/io.hpp"
#include "core/spec.hpp"
#include "fifo_feed.hpp"

using namespace varnek::core;

namespace {

Spec parse_ok(std::string_view text) {
  auto r = parse_spec(text);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
  return r.ok() ? r.value() : Spec{};
}

std::string parse_error(std::string_view text) {
  auto r = parse_spec(text);
  EXPECT_FALSE(r.ok()) << "accepted: " << text;
  return r.ok() ? std::string() : r.error();
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A temporary directory removed with its files at the end of the test.
struct TempDir {
  std::filesystem::path dir;
  TempDir() {
    dir = std::filesystem::temp_directory_path() /
          ("varnek_spec_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  ~TempDir() { std::filesystem::remove_all(dir); }
  std::string write(const std::string& name, const std::string& bytes) const {
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
};

constexpr const char* kProfile = R"({"id": "p1", "firm": "Firm", "program": "50K",
  "account_size": 50000, "profit_target": 3000, "daily_loss_limit": null,
  "daily_loss_soft": true, "max_loss_type": "trailing_eod", "max_loss": 2000,
  "trailing_lock_at": 50100.5, "max_contracts_micro": 50, "max_contracts_note": "n",
  "day_reset_utc_hour": -2, "automation_policy": "Autorisé", "source_url": "u",
  "retrieved_at": "2024-01-01", "version": "1", "notes": ["a", "b"]})";

std::string with_profile(const std::string& profile) {
  return R"({"prop_profiles": [)" + profile + "]}";
}

}  // namespace

TEST(SpecDefaults, EmptyObjectIsTheDefaultSpec) {
  const Spec s = parse_ok("{}");
  EXPECT_EQ(s.schema_version, 1u);
  EXPECT_EQ(s.hypothesis, "");
  EXPECT_EQ(s.market, "NQ");
  EXPECT_EQ(s.data_path, "");
  EXPECT_EQ(s.synthetic_bars, 0u);
  EXPECT_TRUE(s.families.empty());
  EXPECT_FALSE(s.instrument.has_value());
  EXPECT_EQ(s.exec.equity0, 50000.0);
  EXPECT_EQ(s.exec.risk_per_trade, 0.0025);
  EXPECT_EQ(s.exec.max_bars, 48u);
  EXPECT_EQ(s.exec.slip_mult, 1.0);
  EXPECT_EQ(s.exec.cost_mult, 1.0);
  EXPECT_EQ(s.exec.delay, 0u);
  EXPECT_EQ(s.train, 0.6);
  EXPECT_EQ(s.validation, 0.2);
  EXPECT_EQ(s.min_trades, 30u);
  EXPECT_EQ(s.funnel.screen, 200000u);
  EXPECT_EQ(s.funnel.backtest, 20000u);
  EXPECT_EQ(s.funnel.promote, 2000u);
  EXPECT_EQ(s.funnel.walk_forward, 200u);
  EXPECT_EQ(s.funnel.robustness, 20u);
  EXPECT_EQ(s.seed, 42u);
  EXPECT_EQ(s.compare_methods, 0u);
  EXPECT_TRUE(s.prop_profiles.empty());
  EXPECT_EQ(s.report_path, "");
  EXPECT_FALSE(s.parent_experiment.has_value());
  EXPECT_EQ(s.scale, "standard");
  EXPECT_EQ(s.time_budget_s, 0.0);
  EXPECT_EQ(s.lattice_seed, 0u);
  EXPECT_TRUE(s.context.is_null());
  EXPECT_TRUE(s.entry.is_null());
  EXPECT_EQ(to_json(s), to_json(default_spec()));

  const Market m = market_for(s);
  EXPECT_EQ(m.symbol, "MNQ");
  EXPECT_EQ(m.tick_size, 0.25);
  EXPECT_EQ(m.point_value, 2.0);
  EXPECT_EQ(m.commission_per_side, 0.62);
  EXPECT_EQ(m.spread_ticks, 1.0);
  EXPECT_EQ(m.slippage_ticks, 1.0);
}

TEST(SpecDefaults, TrailingWhitespaceAndUnknownMembers) {
  const Spec s = parse_ok("{\"familes\": [\"ema_cross\"], \"seed\": 7}\n\n \t\r\n");
  EXPECT_TRUE(s.families.empty());  // the misspelt member is ignored: every family
  EXPECT_EQ(s.seed, 7u);
}

TEST(SpecMembers, FunnelGivenPartiallyZeroesTheRest) {
  const Spec s = parse_ok(R"({"funnel": {"screen": 500}})");
  EXPECT_EQ(s.funnel.screen, 500u);
  EXPECT_EQ(s.funnel.backtest, 0u);
  EXPECT_EQ(s.funnel.promote, 0u);
  EXPECT_EQ(s.funnel.walk_forward, 0u);
  EXPECT_EQ(s.funnel.robustness, 0u);
}

TEST(SpecMembers, FullMembersAreRead) {
  const Spec s = parse_ok(R"({"schema_version": 3, "hypothesis": "h", "market": "es",
    "data_path": "d.csv", "synthetic_bars": 1000, "families": ["ema_cross", "smc_choch"],
    "instrument": {"symbol": "X", "tick_size": 0.5, "point_value": 10, "commission_per_side": 1.5,
                   "spread_ticks": 2, "slippage_ticks": 3},
    "exec": {"equity0": 1e5, "risk_per_trade": 0.01, "max_bars": 10, "slip_mult": 2,
             "cost_mult": 3, "delay": 1},
    "train": 1.5, "validation": -0.5, "min_trades": 0, "seed": 18446744073709551615,
    "compare_methods": 5, "report_path": "r.json", "parent_experiment": "e1",
    "scale": "exhaustive", "time_budget_s": -1, "lattice_seed": 9,
    "context": {"k": [1, "x"]}, "entry": "free"})");
  EXPECT_EQ(s.schema_version, 3u);
  EXPECT_EQ(s.market, "es");
  EXPECT_EQ(s.synthetic_bars, 1000u);
  EXPECT_EQ(s.families, (std::vector<std::string>{"ema_cross", "smc_choch"}));
  ASSERT_TRUE(s.instrument.has_value());
  EXPECT_EQ(s.instrument->symbol, "X");
  EXPECT_EQ(s.instrument->point_value, 10.0);
  EXPECT_EQ(s.instrument->slippage_ticks, 3.0);
  // An explicit instrument wins over the market name.
  EXPECT_EQ(market_for(s).symbol, "X");
  EXPECT_EQ(s.exec.equity0, 100000.0);
  EXPECT_EQ(s.exec.max_bars, 10u);
  EXPECT_EQ(s.exec.delay, 1u);
  // Values are taken as given, without range checks.
  EXPECT_EQ(s.train, 1.5);
  EXPECT_EQ(s.validation, -0.5);
  EXPECT_EQ(s.seed, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(s.parent_experiment, "e1");
  EXPECT_EQ(s.time_budget_s, -1.0);
  EXPECT_EQ(s.context, Json::parse(R"({"k": [1, "x"]})"));
  EXPECT_EQ(s.entry, "free");
}

TEST(SpecMembers, NullIsAbsentOnlyWhereAllowed) {
  const Spec s = parse_ok(
      R"({"instrument": null, "parent_experiment": null, "context": null, "entry": null,
          "market": "ES"})");
  EXPECT_FALSE(s.instrument.has_value());
  EXPECT_EQ(market_for(s).symbol, "MES");
  EXPECT_FALSE(s.parent_experiment.has_value());
  EXPECT_EQ(parse_error(R"({"seed": null})"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found "
            "null at line 1 column 10");
  EXPECT_EQ(parse_error(R"({"exec": null})"),
            "invalid spec: invalid type for field `exec`: expected an object, found null at line "
            "1 column 10");
}

TEST(SpecMarkets, PresetsFromTheMarketName) {
  for (const char* name : {"es", "ES", "ESM5", "eS"}) {
    const Market m = preset_market(name);
    EXPECT_EQ(m.symbol, "MES") << name;
    EXPECT_EQ(m.point_value, 5.0);
    EXPECT_EQ(m.tick_size, 0.25);
    EXPECT_EQ(m.commission_per_side, 0.62);
    EXPECT_EQ(m.spread_ticks, 1.0);
    EXPECT_EQ(m.slippage_ticks, 1.0);
  }
  for (const char* name : {"MES", "NQ", "E", "", "e"}) {
    const Market m = preset_market(name);
    EXPECT_EQ(m.symbol, "MNQ") << name;
    EXPECT_EQ(m.point_value, 2.0);
  }
}

TEST(SpecErrors, MissingRequiredRecordMembers) {
  EXPECT_EQ(parse_error(R"({"exec": {"equity0": 1, "risk_per_trade": 0.01, "max_bars": 4,
 "slip_mult": 1, "cost_mult": 1}})"),
            "invalid spec: missing field `delay` in `exec` at line 1 column 10");
  EXPECT_EQ(parse_error(R"({"instrument": {"symbol": "X", "tick_size": 1, "point_value": 1,
    "commission_per_side": 1, "spread_ticks": 1}})"),
            "invalid spec: missing field `slippage_ticks` in `instrument` at line 1 column 16");
  // `equity` is an unknown member: ignored, so the required `equity0` is missing.
  EXPECT_EQ(parse_error(R"({"exec": {"equity": 1, "risk_per_trade": 0.01, "max_bars": 4,
 "slip_mult": 1, "cost_mult": 1, "delay": 0}})"),
            "invalid spec: missing field `equity0` in `exec` at line 1 column 10");
}

TEST(SpecErrors, UnsignedMembersNeedIntegersInRange) {
  EXPECT_EQ(parse_error(R"({"seed": -1})"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found -1 "
            "at line 1 column 10");
  EXPECT_EQ(parse_error(R"({"seed": 1.5})"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found 1.5 "
            "at line 1 column 10");
  EXPECT_EQ(parse_error(R"({"seed": 1.0})"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found 1.0 "
            "at line 1 column 10");
  EXPECT_EQ(parse_error(R"({"seed": "42"})"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found "
            "string \"42\" at line 1 column 10");
  // 2^64 does not fit.
  const std::string big = parse_error(R"({"synthetic_bars": 18446744073709551616})");
  EXPECT_TRUE(starts_with(big,
                          "invalid spec: invalid type for field `synthetic_bars`: expected "
                          "an unsigned integer, found "))
      << big;
  EXPECT_EQ(parse_ok(R"({"schema_version": 4294967295})").schema_version, 4294967295u);
  EXPECT_EQ(parse_error(R"({"min_trades": 4294967296})"),
            "invalid spec: invalid type for field `min_trades`: expected an unsigned 32-bit "
            "integer, found 4294967296 at line 1 column 16");
  EXPECT_EQ(parse_ok(R"({"seed": -0})").seed, 0u);
}

TEST(SpecErrors, FloatsTextsAndListsNeedTheirTypes) {
  EXPECT_EQ(parse_ok(R"({"train": 1})").train, 1.0);
  EXPECT_EQ(parse_ok(R"({"train": -2.5e-3})").train, -0.0025);
  // A literal beyond the range of a double has no value to store.
  EXPECT_EQ(parse_error(R"({"train": 1e400})"),
            "invalid spec: number overflow parsing '1e400' at line 1 column 11");
  EXPECT_EQ(parse_error(R"({"train": "0.6"})"),
            "invalid spec: invalid type for field `train`: expected a number, found string "
            "\"0.6\" at line 1 column 11");
  EXPECT_EQ(parse_error(R"({"market": 5})"),
            "invalid spec: invalid type for field `market`: expected a string, found 5 at line 1 "
            "column 12");
  EXPECT_EQ(parse_error(R"({"families": ["ema_cross", 3]})"),
            "invalid spec: invalid type for element 1 of field `families`: expected a string, "
            "found 3 at line 1 column 28");
  EXPECT_EQ(parse_error(R"({"families": "ema_cross"})"),
            "invalid spec: invalid type for field `families`: expected an array of strings, "
            "found string \"ema_cross\" at line 1 column 14");
  EXPECT_EQ(parse_error(R"({"funnel": {"promote": true}})"),
            "invalid spec: invalid type for field `promote` in `funnel`: expected an unsigned "
            "integer, found true at line 1 column 24");
  EXPECT_EQ(parse_error(R"({"instrument": [1]})"),
            "invalid spec: invalid type for field `instrument`: expected an object or null, found "
            "an array at line 1 column 16");
  EXPECT_EQ(parse_error(R"({"parent_experiment": 1})"),
            "invalid spec: invalid type for field `parent_experiment`: expected a string or null, "
            "found 1 at line 1 column 23");
}

TEST(SpecErrors, PositionsFollowLinesAndSkipStrings) {
  EXPECT_EQ(parse_error("{\n  \"seed\": \"x\"\n}"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found "
            "string \"x\" at line 2 column 11");
  // Escaped quotes, colons and commas inside strings do not disturb the position.
  EXPECT_EQ(parse_error(R"({"a\"b": "x:,{", "seed": -1})"),
            "invalid spec: invalid type for field `seed`: expected an unsigned integer, found -1 "
            "at line 1 column 26");
}

TEST(SpecErrors, DuplicateMembersOfTypedRecords) {
  EXPECT_EQ(parse_error(R"({"seed": 1, "seed": 2})"),
            "invalid spec: duplicate field `seed` at line 1 column 13");
  EXPECT_EQ(parse_error(R"({"funnel": {"screen": 1, "screen": 1}})"),
            "invalid spec: duplicate field `screen` in `funnel` at line 1 column 26");
  const std::string p = parse_error(with_profile(R"({"id": "a", "id": "b"})"));
  EXPECT_EQ(p, "invalid spec: duplicate field `id` in `prop_profiles[0]` at line 1 column 32");
  // Free-form members keep the generic behaviour: the last one wins.
  const Spec s = parse_ok(R"({"context": {"a": 1, "a": 2}, "entry": [{"b": 1, "b": 3}]})");
  EXPECT_EQ(s.context["a"], 2);
  EXPECT_EQ(s.entry[0]["b"], 3);
  // Members that are ignored anyway are not checked.
  EXPECT_EQ(parse_ok(R"({"x": 1, "x": 2, "seed": 3})").seed, 3u);
}

TEST(SpecProfiles, AllKeysAreRead) {
  const Spec s = parse_ok(with_profile(kProfile));
  ASSERT_EQ(s.prop_profiles.size(), 1u);
  const Profile& p = s.prop_profiles[0];
  EXPECT_EQ(p.id, "p1");
  EXPECT_EQ(p.firm, "Firm");
  EXPECT_EQ(p.program, "50K");
  EXPECT_EQ(p.account_size, 50000.0);
  EXPECT_EQ(p.profit_target, 3000.0);
  EXPECT_FALSE(p.daily_loss_limit.has_value());
  EXPECT_TRUE(p.daily_loss_soft);
  EXPECT_EQ(p.max_loss_type, "trailing_eod");
  EXPECT_EQ(p.max_loss, 2000.0);
  EXPECT_EQ(p.trailing_lock_at, 50100.5);
  EXPECT_EQ(p.max_contracts_micro, 50u);
  EXPECT_EQ(p.max_contracts_note, "n");
  EXPECT_EQ(p.day_reset_utc_hour, -2);
  EXPECT_EQ(p.automation_policy, "Autoris\xC3\xA9");
  EXPECT_FALSE(p.verified_at.has_value());
  EXPECT_EQ(p.version, "1");
  EXPECT_EQ(p.notes, (std::vector<std::string>{"a", "b"}));

  const Json j = to_json(p);
  EXPECT_EQ(j.size(), 19u);
  EXPECT_TRUE(j["daily_loss_limit"].is_null());
  EXPECT_TRUE(j["verified_at"].is_null());
  EXPECT_EQ(j["max_contracts_micro"], 50);
  EXPECT_TRUE(j["day_reset_utc_hour"].is_number_integer());
  EXPECT_EQ(j["day_reset_utc_hour"], -2);
  EXPECT_EQ(j["notes"], Json::parse(R"(["a", "b"])"));
}

TEST(SpecProfiles, RequiredKeysAndTypes) {
  const std::string minimal = R"({"id": "p", "firm": "f", "program": "g", "account_size": 1,
 "max_loss_type": "static", "max_loss": 1, "day_reset_utc_hour": 0, "automation_policy": "a",
 "source_url": "u", "retrieved_at": "r", "version": "v"})";
  const Spec s = parse_ok(with_profile(minimal));
  ASSERT_EQ(s.prop_profiles.size(), 1u);
  EXPECT_FALSE(s.prop_profiles[0].daily_loss_soft);
  EXPECT_FALSE(s.prop_profiles[0].max_contracts_micro.has_value());
  EXPECT_TRUE(s.prop_profiles[0].notes.empty());
  EXPECT_EQ(s.prop_profiles[0].max_contracts_note, "");

  std::string no_version = minimal;
  no_version.replace(no_version.find(", \"version\": \"v\""), 16, "");
  EXPECT_EQ(parse_error(R"({"prop_profiles": [)" + minimal + ", " + no_version + "]}"),
            "invalid spec: missing field `version` in `prop_profiles[1]` at line 3 column 59");

  EXPECT_EQ(parse_error(R"({"prop_profiles": [1]})"),
            "invalid spec: invalid type for element 0 of field `prop_profiles`: expected an "
            "object, found 1 at line 1 column 20");
  EXPECT_EQ(parse_error(R"({"prop_profiles": {}})"),
            "invalid spec: invalid type for field `prop_profiles`: expected an array, found an "
            "object at line 1 column 19");

  std::string big = minimal;
  big.insert(1, R"("max_contracts_micro": 4294967296, )");
  EXPECT_EQ(parse_error(with_profile(big)),
            "invalid spec: invalid type for field `max_contracts_micro` in `prop_profiles[0]`: "
            "expected an unsigned 32-bit integer or null, found 4294967296 at line 1 column 44");
  std::string hour = minimal;
  hour.replace(hour.find("\"day_reset_utc_hour\": 0"), 23, "\"day_reset_utc_hour\": 1.5");
  const std::string e = parse_error(with_profile(hour));
  EXPECT_TRUE(starts_with(e,
                          "invalid spec: invalid type for field `day_reset_utc_hour` in "
                          "`prop_profiles[0]`: expected an integer, found 1.5 at line 2"))
      << e;
}

TEST(SpecSyntax, RejectedTexts) {
  // A second value after the object, even a second object.
  for (const char* text : {"{} {}", "{}\n{\"seed\": 1}", "{} x", "{}\f"}) {
    const std::string e = parse_error(text);
    EXPECT_TRUE(starts_with(e, "invalid spec: ")) << e;
    EXPECT_NE(e.find("line"), std::string::npos) << e;
  }
  for (const char* text : {"", "{", "{\"seed\": }", "{\"seed\": 1,}", "{'a': 1}", "nul"}) {
    const std::string e = parse_error(text);
    EXPECT_TRUE(starts_with(e, "invalid spec: ")) << e;
    EXPECT_EQ(e.find("[json.exception"), std::string::npos) << e;
  }
  EXPECT_EQ(parse_error("\xEF\xBB\xBF{}"),
            "invalid spec: expected a value, found a UTF-8 byte-order mark at line 1 column 1");
  EXPECT_EQ(parse_error("[1]"),
            "invalid spec: expected a JSON object at the top level, found an array at line 1 "
            "column 1");
  EXPECT_EQ(parse_error("  42"),
            "invalid spec: expected a JSON object at the top level, found 42 at line 1 column 3");
  EXPECT_EQ(parse_error("null"),
            "invalid spec: expected a JSON object at the top level, found null at line 1 column "
            "1");
  // NUL bytes and stray invalid UTF-8 are errors, not crashes.
  EXPECT_TRUE(starts_with(parse_error(std::string("{\"a\": \"\0\"}", 10)), "invalid spec: "));
  // The parser alone would stop at a NUL byte and accept what precedes it.
  EXPECT_EQ(parse_error(std::string("{}\0", 3)),
            "invalid spec: unexpected NUL byte after the value at line 1 column 3");
  EXPECT_EQ(parse_error(std::string("{}\n \0{\"seed\": -1}", 18)),
            "invalid spec: unexpected NUL byte after the value at line 2 column 2");
  EXPECT_TRUE(starts_with(parse_error(std::string("{\"seed\": \0 1}", 13)), "invalid spec: "));
  EXPECT_TRUE(starts_with(parse_error("{\"a\": \"\xC3\"}"), "invalid spec: "));
}

TEST(SpecSyntax, NestingDepthIsBounded) {
  // 128 containers in all, the top-level object included, are fine.
  const std::string ok = "{\"context\": " + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_TRUE(parse_spec(ok).ok());
  const std::string deep = "{\"context\": " + std::string(128, '[') + std::string(128, ']') + "}";
  // The 129th container is the 128th bracket, at byte 12 + 127.
  EXPECT_EQ(parse_error(deep), "invalid spec: nesting deeper than 128 levels at line 1 column 140");
  const std::string huge(1'000'000, '[');
  EXPECT_TRUE(starts_with(parse_error(huge), "invalid spec: nesting deeper than 128 levels"));
}

TEST(SpecJson, AllMembersWithNullsForAbsentOnes) {
  Spec s = default_spec();
  s.train = std::numeric_limits<double>::quiet_NaN();
  s.exec.equity0 = std::numeric_limits<double>::infinity();
  const Json j = to_json(s);
  // clang-format off
  const std::set<std::string> expected = {
      "schema_version", "hypothesis", "market", "data_path", "synthetic_bars", "families",
      "instrument", "exec", "train", "validation", "min_trades", "funnel", "seed",
      "compare_methods", "prop_profiles", "report_path", "parent_experiment", "scale",
      "time_budget_s", "lattice_seed", "context", "entry"};
  // clang-format on
  std::set<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.insert(k);
  EXPECT_EQ(keys, expected);
  EXPECT_TRUE(j["instrument"].is_null());
  EXPECT_TRUE(j["parent_experiment"].is_null());
  EXPECT_TRUE(j["context"].is_null());
  EXPECT_TRUE(j["train"].is_null());
  EXPECT_TRUE(j["exec"]["equity0"].is_null());
  EXPECT_EQ(j["exec"]["max_bars"], 48);
  EXPECT_TRUE(j["exec"]["max_bars"].is_number_unsigned());
  EXPECT_EQ(j["exec"].size(), 6u);
  EXPECT_EQ(j["funnel"], Json::parse(R"({"screen": 200000, "backtest": 20000, "promote": 2000,
      "walk_forward": 200, "robustness": 20})"));
  EXPECT_EQ(j["families"], Json::array());
  EXPECT_EQ(j["prop_profiles"], Json::array());
  EXPECT_EQ(j["validation"], 0.2);
  EXPECT_EQ(j["scale"], "standard");

  // Round trip: what is written reads back to the same JSON.
  const Spec full = parse_ok(std::string(R"({"instrument": {"symbol": "S", "tick_size": 1,
    "point_value": 2, "commission_per_side": 3, "spread_ticks": 4, "slippage_ticks": 5},
    "parent_experiment": "p", "context": {"z": [1]}, "families": ["ema_cross"],
    "prop_profiles": [)") + kProfile +
                             "]}");
  const Json fj = to_json(full);
  EXPECT_EQ(fj["instrument"], Json::parse(R"({"symbol": "S", "tick_size": 1.0,
    "point_value": 2.0, "commission_per_side": 3.0, "spread_ticks": 4.0, "slippage_ticks": 5.0})"));
  EXPECT_EQ(fj["parent_experiment"], "p");
  EXPECT_EQ(fj["prop_profiles"][0], to_json(full.prop_profiles[0]));
  EXPECT_EQ(to_json(parse_ok(fj.dump())), fj);
}

TEST(SpecLoad, FilesAndTheirErrors) {
  TempDir tmp;
  const std::string good = tmp.write("good.json", "{\"seed\": 9}\n");
  auto r = load_spec(good);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().seed, 9u);

  const std::string missing = (tmp.dir / "missing.json").string();
  EXPECT_EQ(load_spec(missing).error(),
            "cannot read spec " + missing + ": No such file or directory");
  EXPECT_EQ(load_spec(tmp.dir.string()).error(),
            "cannot read spec " + tmp.dir.string() + ": Is a directory");

  const std::string latin1 = tmp.write("latin1.json", "{\"a\": \"\xFF\"}");
  EXPECT_EQ(load_spec(latin1).error(),
            "cannot read spec " + latin1 + ": invalid utf-8 sequence at byte 7");

  // Past the input bound a regular file is refused before it is read (a sparse file costs
  // no disk); input that is not a regular file is read like a file.
  const std::string huge = tmp.write("huge.json", "");
  std::filesystem::resize_file(huge, varnek::core::max_input_bytes() + 1);
  EXPECT_EQ(load_spec(huge).error(), "cannot read spec " + huge + ": file too large");
  {
    varnek::testkit::FifoFeed fifo(tmp.dir / "fifo.json", "{\"seed\": 11}", 1);
    auto piped = load_spec(fifo.str());
    ASSERT_TRUE(piped.ok()) << piped.error();
    EXPECT_EQ(piped.value().seed, 11u);
  }

  const std::string bad = tmp.write("bad.json", "{\"exec\": 1}");
  EXPECT_EQ(load_spec(bad).error(),
            "invalid spec: invalid type for field `exec`: expected an object, found 1 at line 1 "
            "column 10");
}
