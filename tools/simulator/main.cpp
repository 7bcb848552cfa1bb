// The simulator: a simulated Windows 2000 machine with blank four-port USB serial adapters
// plugged in. Plug and play loads the driver, which downloads the firmware and names the
// ports; then every port carries traffic at once through a schedule of baud rates and
// handshakes, every byte is checked, and the run ends with a table per port and the
// verifier's, the race detector's and the pool's verdicts. Exit 0 only if every byte arrived
// and nothing was reported; 1 otherwise; 2 for bad options.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "bring_up.h"
#include "driver_harness.h"
#include "options.h"
#include "progress.h"
#include "report.h"
#include "simkernel/io.h"
#include "simkernel/pool.h"
#include "simkernel/race_detector.h"
#include "simkernel/usb_bus.h"
#include "trace.h"
#include "traffic.h"

namespace {

const char* CableText(simulator::CableKind cable) {
  switch (cable) {
    case simulator::CableKind::NullModem: return "null-modem cables between ports 1-2 and 3-4";
    case simulator::CableKind::None: return "nothing plugged into the ports";
    default: return "a loopback plug on each port";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const simulator::Parsed parsed = simulator::ParseOptions(argc, argv);
  if (!parsed.options) return parsed.exitCode;
  const simulator::Options& options = *parsed.options;
  const auto wallStart = std::chrono::steady_clock::now();

  simulator::RunSummary summary;
  summary.options = &options;
  simulator::Verdicts& verdicts = summary.verdicts;
  simulator::Trace trace(options.trace);
  harness::DriverHarness machine(options.seed);
  std::printf("Simulated Windows 2000 machine, seed %llu\n", static_cast<unsigned long long>(options.seed));
  if (options.capture) {
    std::string error;
    if (!sim::usb::StartCapture(*options.capture, &error)) {
      std::fprintf(stderr, "simulator: --capture %s: %s\n", options.capture->c_str(), error.c_str());
      return 2;
    }
  }

  try {
    simulator::Bench bench(machine, options, trace);
    std::printf("\nPlugging %d blank adapter(s), %s\n", options.adapters, CableText(options.cable));
    if (!bench.BringUp()) verdicts.stops.push_back("not every port came up with a COM name");
    bench.PlugCables();

    const auto phases = simulator::Schedule(options);
    std::printf("\nTraffic: %zu port(s) at once, %zu phase(s) of %.3f virtual s each\n", bench.Ports().size(),
                phases.size(), options.duration);
    simulator::Progress progress(phases, options.duration, options.trace);
    summary.ports = simulator::RunTraffic(
        machine, bench, options, trace,
        [&](size_t phase, sim::VirtualTime into, bool done, const std::vector<simulator::PortResult>& results) {
          progress.Update(phase, into, done, results);
        });
    progress.Finish();

    std::printf("\nUnplugging\n");
    bench.UnplugAll();
  } catch (const std::exception& error) {
    verdicts.stops.push_back(error.what());
  }
  if (options.capture)
    std::printf("USB capture: %s (%llu records; open it with tshark or Wireshark)\n", options.capture->c_str(),
                static_cast<unsigned long long>(sim::usb::StopCapture()));
  trace.Poll(machine.machine(), /*force=*/true);
  if (machine.machine().Stopped()) verdicts.stops.push_back(machine.machine().StopReport());

  verdicts.driverUnloaded = sim::io::LoadedDriver(harness::kDriverName) == nullptr;
  for (const auto& block : sim::pool::Outstanding()) verdicts.poolOutstanding.push_back(block.ToString());
  verdicts.raceDetectorBuilt = sim::race::kDetectorBuilt;
  for (const auto& violation : machine.machine().Violations())
    (violation.rule == "data race" ? verdicts.races : verdicts.verifier).push_back(violation.ToString());

  summary.virtualSeconds = double(machine.machine().Now()) / sim::kSecond;
  summary.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  simulator::PrintSummary(summary);
  if (options.json) {
    std::string error;
    if (!simulator::WriteJson(summary, *options.json, &error)) {
      std::fprintf(stderr, "simulator: --json: %s\n", error.c_str());
      return 1;
    }
  }
  return summary.Passed() ? 0 : 1;
}
