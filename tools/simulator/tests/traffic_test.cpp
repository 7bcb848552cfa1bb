// The traffic's checks against adapters that misbehave: what the simulator reports must come
// from what arrived, so a fault on one port shows on that port and fails the run, and an
// adapter pulled out in the middle ends the run instead of hanging it.
#include <gtest/gtest.h>

#include <algorithm>

#include "adapter_model/protocol.h"
#include "bring_up.h"
#include "report.h"
#include "traffic.h"

namespace simulator {
namespace {

class TrafficTest : public ::testing::Test {
 protected:
  TrafficTest() {
    options_.seed = harness::SeedFromEnvironment();
    options_.bauds = {115200};
    options_.duration = 0.2;
  }

  RunSummary Run(CableKind cable, const std::function<void(Bench&)>& fault) {
    options_.cable = cable;
    RunSummary summary;
    summary.options = &options_;
    {
      Bench bench(machine_, options_, trace_);
      EXPECT_TRUE(bench.BringUp());
      bench.PlugCables();
      fault(bench);
      summary.ports = RunTraffic(machine_, bench, options_, trace_, {});
      bench.UnplugAll();
    }
    summary.verdicts.driverUnloaded = sim::io::LoadedDriver(harness::kDriverName) == nullptr;
    for (const auto& violation : machine_.machine().Violations())
      summary.verdicts.verifier.push_back(violation.ToString());
    return summary;
  }

  Options options_;
  Trace trace_{false};
  harness::DriverHarness machine_{harness::SeedFromEnvironment()};
};

TEST_F(TrafficTest, BytesTheAdapterDropsAreCountedLostOnThatPortOnly) {
  // Port 2's data IN packets cut to 8 bytes, the rest of each thrown away, a few times.
  const RunSummary summary = Run(CableKind::Loopback, [](Bench& bench) {
    bench.Model(1).FaultPlan().ShortenPackets(adapter_model::DataInEndpoint(2), 8, 5, /*dropRest=*/true);
  });
  ASSERT_EQ(summary.ports.size(), 4u);
  for (const auto& port : summary.ports) {
    ASSERT_EQ(port.phases.size(), 1u);
    const PhaseResult& phase = port.phases[0];
    EXPECT_GT(phase.written, 0u);
    EXPECT_EQ(phase.expected, phase.written) << port.com;
    if (port.number == 2) {
      EXPECT_GT(phase.lost + phase.mismatched, 0u);
      EXPECT_LT(phase.received, phase.expected);
      EXPECT_GT(phase.Errors(), 0u);
      EXPECT_FALSE(phase.problems.empty());
    } else {
      EXPECT_EQ(phase.received, phase.expected) << port.com;
      EXPECT_EQ(phase.Errors(), 0u) << port.com;
      EXPECT_EQ(phase.latencies.size(), phase.received) << port.com;
    }
  }
  EXPECT_FALSE(summary.Passed());
}

TEST_F(TrafficTest, NullModemPortsReadWhatTheirPeerWrote) {
  const RunSummary summary = Run(CableKind::NullModem, [](Bench&) {});
  ASSERT_EQ(summary.ports.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const size_t peer = i ^ 1;
    const PhaseResult& mine = summary.ports[i].phases.at(0);
    const PhaseResult& theirs = summary.ports[peer].phases.at(0);
    EXPECT_EQ(mine.received, theirs.written);
    EXPECT_EQ(mine.mismatched, 0u);
    EXPECT_GT(mine.TxPercent(), 90.0);
    EXPECT_LE(mine.TxPercent(), 100.5);
  }
  EXPECT_TRUE(summary.Passed()) << (summary.verdicts.verifier.empty() ? "" : summary.verdicts.verifier[0]);
}

TEST_F(TrafficTest, AnAdapterPulledOutMidRunEndsTheRunAsAFailure) {
  const RunSummary summary = Run(CableKind::Loopback, [this](Bench& bench) {
    bench.Model(1).FaultPlan().UnplugAt(machine_.machine().Now() + 150 * sim::kMillisecond);
  });
  ASSERT_EQ(summary.ports.size(), 4u);
  uint64_t failed = 0;
  for (const auto& port : summary.ports) failed += port.phases.at(0).failedRequests;
  EXPECT_GT(failed, 0u);
  EXPECT_FALSE(summary.Passed());
  EXPECT_TRUE(summary.verdicts.driverUnloaded);
}

}  // namespace
}  // namespace simulator

namespace simulator {
namespace {

TEST_F(TrafficTest, LatencyIsNeverNegativeAndBoundedByTheReadWait) {
  options_.bauds = {9600, 460800};
  const RunSummary summary = Run(CableKind::Loopback, [](Bench&) {});
  for (const auto& port : summary.ports)
    for (const auto& phase : port.phases) {
      ASSERT_EQ(phase.latencies.size(), phase.received) << port.com << " " << phase.line.Text();
      const auto [least, most] = std::minmax_element(phase.latencies.begin(), phase.latencies.end());
      ASSERT_NE(least, phase.latencies.end());
      // A byte cannot be read before its stop bit ends; one waits at most for a USB transfer
      // of the adapter's and the read's next chance to complete.
      EXPECT_GE(*least, 0) << port.com << " " << phase.line.Text();
      EXPECT_LT(*most, 20 * sim::kMillisecond) << port.com << " " << phase.line.Text();
      const LatencyFigures figures = Latency(phase.latencies);
      EXPECT_LE(figures.median, figures.p99);
    }
  EXPECT_TRUE(summary.Passed());
}

TEST_F(TrafficTest, APortWhoseLineSettingsTheAdapterLosesFailsItsPair) {
  // The adapter drops every configure command for port 3: its UART stays at the rate it
  // started with while port 4 at the other end of the cable moves to 115200.
  const RunSummary summary = Run(CableKind::NullModem, [](Bench& bench) {
    bench.Model(1).FaultPlan().LoseCommands(adapter_model::command::kConfigure, 3);
  });
  ASSERT_EQ(summary.ports.size(), 4u);
  const PhaseResult& three = summary.ports[2].phases.at(0);
  const PhaseResult& four = summary.ports[3].phases.at(0);
  EXPECT_GT(three.Errors() + four.Errors(), 0u);
  EXPECT_EQ(summary.ports[0].phases.at(0).Errors(), 0u);
  EXPECT_EQ(summary.ports[1].phases.at(0).Errors(), 0u);
  EXPECT_FALSE(summary.Passed());
}

}  // namespace
}  // namespace simulator

namespace simulator {
namespace {

TEST_F(TrafficTest, DataInBlocksCutShortButKeptArriveWholeAndPass) {
  // The same bytes in more, shorter transfers: nothing may be counted lost or wrong.
  const RunSummary summary = Run(CableKind::Loopback, [](Bench& bench) {
    for (int port = 1; port <= 4; ++port)
      bench.Model(1).FaultPlan().ShortenPackets(adapter_model::DataInEndpoint(port), 5, 200);
  });
  for (const auto& port : summary.ports) {
    const PhaseResult& phase = port.phases.at(0);
    EXPECT_GT(phase.received, 0u) << port.com;
    EXPECT_EQ(phase.received, phase.written) << port.com;
    EXPECT_EQ(phase.Errors(), 0u) << port.com;
  }
  EXPECT_TRUE(summary.Passed());
}

TEST_F(TrafficTest, ARateThePortRefusesIsReportedAndTheRunStillEnds) {
  options_.bauds = {12345, 115200};
  options_.duration = 0.1;
  const RunSummary summary = Run(CableKind::Loopback, [](Bench&) {});
  for (const auto& port : summary.ports) {
    ASSERT_EQ(port.phases.size(), 2u);
    EXPECT_GT(port.phases[0].failedRequests, 0u) << port.com;
    EXPECT_FALSE(port.phases[0].problems.empty()) << port.com;
    // The next phase's settings are taken and its traffic is clean.
    EXPECT_EQ(port.phases[1].Errors(), 0u) << port.com;
    EXPECT_EQ(port.phases[1].received, port.phases[1].written) << port.com;
  }
  EXPECT_FALSE(summary.Passed());
  EXPECT_TRUE(summary.verdicts.driverUnloaded);
}

}  // namespace
}  // namespace simulator

namespace simulator {
namespace {

TEST_F(TrafficTest, OneAdapterPulledOutLeavesTheOtherAdaptersPortsClean) {
  options_.adapters = 2;
  const RunSummary summary = Run(CableKind::NullModem, [this](Bench& bench) {
    bench.Model(2).FaultPlan().UnplugAt(machine_.machine().Now() + 100 * sim::kMillisecond);
  });
  ASSERT_EQ(summary.ports.size(), 8u);
  for (const auto& port : summary.ports) {
    const PhaseResult& phase = port.phases.at(0);
    if (port.adapter == 1) {
      EXPECT_EQ(phase.Errors(), 0u) << port.com;
      EXPECT_GT(phase.received, 0u) << port.com;
      EXPECT_EQ(phase.received, phase.expected) << port.com;
    } else {
      EXPECT_GT(phase.failedRequests, 0u) << port.com;
    }
  }
  EXPECT_FALSE(summary.Passed());
  EXPECT_TRUE(summary.verdicts.verifier.empty()) << summary.verdicts.verifier.front();
}

}  // namespace
}  // namespace simulator
