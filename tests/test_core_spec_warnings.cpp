// The warnings for members the research-file loader ignores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/spec.hpp"

using namespace varnek::core;

namespace {

const std::string kExec = R"("equity0": 1, "risk_per_trade": 0.01, "max_bars": 4, )"
                          R"("slip_mult": 1, "cost_mult": 1, "delay": 0)";
const std::string kInstrument =
    R"("symbol": "X", "tick_size": 1, "point_value": 1, )"
    R"("commission_per_side": 0, "spread_ticks": 0, "slippage_ticks": 0)";
const std::string kProfile =
    R"("id": "p", "firm": "f", "program": "g", "account_size": 1, )"
    R"("max_loss_type": "static", "max_loss": 1, "day_reset_utc_hour": 0, )"
    R"("automation_policy": "a", "source_url": "u", "retrieved_at": "r", )"
    R"("version": "v")";

std::string warned(std::string_view name) {
  return "varnek: warning: unknown member `" + std::string(name) + "` ignored";
}
std::string warned(std::string_view name, std::string_view hint) {
  return warned(name) + " (did you mean `" + std::string(hint) + "`?)";
}

TEST(SpecWarnings, OneLinePerIgnoredMemberOfATypedRecord) {
  const std::string long_name(70, 'x');
  const struct {
    std::string text;
    std::vector<std::string> expected;
  } cases[] = {
      {R"({"synthetic_bars": 10, "seed": 1, "funnel": {"screen": 5}})", {}},
      {R"({"familes": ["ema_cross"]})", {warned("familes", "families")}},
      {R"({"Seed": 1, "hypothesis": "h"})", {warned("Seed", "seed")}},
      {R"({"colour": "blue"})", {warned("colour")}},
      // Free-form members are carried, not checked.
      {R"({"context": {"familes": 1}, "entry": {"seeed": [{"x": 1}]}})", {}},
      {"{\"exec\": {" + kExec + R"(, "slipage": 2}})", {warned("exec.slipage")}},
      // Two fields two edits away: the one declared first.
      {"{\"exec\": {" + kExec + R"(, "slst_mult": 2}})", {warned("exec.slst_mult", "slip_mult")}},
      {R"({"funnel": {"promot": 5}})", {warned("funnel.promot", "promote")}},
      {"{\"instrument\": {" + kInstrument + R"(, "symbl": "Y"}})",
       {warned("instrument.symbl", "symbol")}},
      {"{\"prop_profiles\": [{" + kProfile + "}, {" + kProfile + R"(, "frim": "z"}]})",
       {warned("prop_profiles[1].frim", "firm")}},
      // Once per record and name, in text order.
      {"{\"sead\": 1, \"funnel\": {\"bactest\": 1, \"bactest\": 2}, \"prop_profiles\": [{" +
           kProfile + R"(, "note": []}, {)" + kProfile + R"(, "note": []}], "sead": 2})",
       {warned("sead", "seed"), warned("funnel.bactest", "backtest"),
        warned("prop_profiles[0].note", "notes"), warned("prop_profiles[1].note", "notes")}},
      // A name that could drive the terminal, or flood it, is shown tamed.
      {R"({"fa\u001bmilies": 1, "a\u009bb": 2})",
       {warned("fa\\u001bmilies", "families"), warned("a\\u009bb")}},
      {"{\"" + long_name + "\": 1}", {warned(std::string(64, 'x') + "\xE2\x80\xA6")}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> warnings{"stale"};
    const auto spec = parse_spec(c.text, warnings);
    ASSERT_TRUE(spec.ok()) << c.text << ": " << spec.error();
    EXPECT_EQ(warnings, c.expected) << c.text;
  }
}

TEST(SpecWarnings, NoneWhenTheSpecificationIsRefused) {
  std::vector<std::string> warnings;
  const auto spec = parse_spec(R"({"familes": [], "seed": -1})", warnings);
  ASSERT_FALSE(spec.ok());
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(load_spec("/nonexistent/spec.json", warnings).error(),
            "cannot read spec /nonexistent/spec.json: No such file or directory");
  EXPECT_TRUE(warnings.empty());
}

}  // namespace
