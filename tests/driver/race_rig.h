// Races replayed over many seeds: a fresh machine per seed, a port opened by name with a
// scripted peer on its connector, the seed picking both the scheduler's interleavings and the
// moment of the racing step. Every run is checked by the verifier and the leak check.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "serial_port_test_support.h"

namespace serial_test {

// Every outcome needs the seed's moment to fall on each side of the completion; 500 moments
// cover each window finely.
constexpr uint64_t kRaceSeeds = 500;

struct Outcomes {
  std::map<NTSTATUS, int> count;
  void Add(NTSTATUS status) { ++count[status]; }
  int Of(NTSTATUS status) const { return count.count(status) ? count.at(status) : 0; }
};

// A port of a fresh machine opened by name, with a scripted peer on its connector.
struct RaceRig {
  harness::DriverHarness& h;
  harness::AdapterFixture& fixture;
  std::unique_ptr<adapter_model::ScriptedPeer> peer;
  const uint64_t seed;
  PFILE_OBJECT file = nullptr;

  RaceRig(harness::DriverHarness& harness, harness::AdapterFixture& adapterFixture, int number, uint64_t runSeed)
      : h(harness), fixture(adapterFixture), seed(runSeed) {
    peer = std::make_unique<adapter_model::ScriptedPeer>(fixture.model().PortConnector(number));
    EXPECT_EQ(sim::io::Open(PortDeviceName(fixture.adapter(), number), &file), STATUS_SUCCESS);
  }
  ~RaceRig() {
    if (file) sim::io::Close(file);
    h.RunUntilIdle();
  }
  // A moment in [0, span) picked by the seed, in 50 us steps.
  sim::VirtualTime Jitter(sim::VirtualTime span) {
    return static_cast<sim::VirtualTime>(h.machine().RandomBelow(static_cast<uint64_t>(span / 500))) * 500;
  }
};

// Runs the scenario on port `number` of a fresh machine for every seed, each run checked by
// the verifier and the leak check; stops at the first seed that fails.
inline void ReplayRace(int number, const std::function<void(RaceRig&)>& scenario) {
  for (uint64_t seed = 1; seed <= kRaceSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto problems = command_test::RunSeed(seed, [&](harness::DriverHarness& h, harness::AdapterFixture& fixture) {
      RaceRig rig(h, fixture, number, seed);
      scenario(rig);
    });
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace serial_test
