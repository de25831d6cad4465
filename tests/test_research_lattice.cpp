// The seeded lattice is process-wide: a second run asking for another seed is refused.
#include <gtest/gtest.h>

#include <cstdio>

#include "research/driver.hpp"
#include "strategy/lattice.hpp"

using namespace varnek;

TEST(ResearchLattice, SecondSeedInOneProcessIsRefused) {
  core::Spec spec = core::default_spec();
  spec.synthetic_bars = 3000;
  spec.families = {"rsi_reversion"};
  spec.funnel = {400, 200, 10, 2, 1};
  spec.lattice_seed = 7;
  std::FILE* out = std::tmpfile();
  research::EventSink sink(out);
  const auto first = research::run_research(spec, sink);
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_EQ(strategy::lattice_seed(), 7u);
  EXPECT_EQ(first.value()["spec"]["lattice_seed"], 7);
  // Identifiers carry the seed once it is installed.
  for (const auto& f : first.value()["survivors"]) {
    EXPECT_NE(f["candidate"]["id"].get<std::string>().find("~7"), std::string::npos);
  }
  spec.lattice_seed = 9;
  const std::uint64_t events_before = sink.seq();
  const auto second = research::run_research(spec, sink);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), "treillis 7 déjà installé dans ce processus, 9 demandé");
  // No error or failed-session event for this one failure; the run stops before the views.
  EXPECT_EQ(sink.seq() - events_before, 5u);
  std::fclose(out);
}
