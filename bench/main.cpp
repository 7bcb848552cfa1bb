// The data path benchmark: four ports in full duplex at a line rate, receive latency, the
// simulator's own speed and the USB bus it takes, all in virtual time on the simulated
// machine. Prints a table (and JSON with --json); exits 0 whenever it ran, goals met or not.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <fstream>

#include "driver_harness.h"
#include "report.h"

int main(int argc, char** argv) {
  CLI::App app{"Benchmarks the driver's data path on the simulated machine, in virtual time."};
  uint64_t seed = harness::SeedFromEnvironment();
  app.add_option("--seed", seed, "scheduler seed (default: ZEL_SEED or a fixed value)");
  double seconds = 10;
  app.add_option("--duration", seconds, "virtual seconds of full-duplex traffic")->check(CLI::PositiveNumber);
  uint32_t baud = 460800;
  app.add_option("--baud", baud, "line rate to ask the ports for")->check(CLI::PositiveNumber);
  int samples = 10000;
  app.add_option("--samples", samples, "single-byte reads timed for the latency")->check(CLI::PositiveNumber);
  std::string json;
  app.add_option("--json", json, "also write the figures to this file as JSON");
  CLI11_PARSE(app, argc, argv);

  bench::Run run;
  run.seed = seed;
  try {
    bench::ThroughputOptions throughput;
    throughput.seed = seed;
    throughput.seconds = seconds;
    throughput.baud = baud;
    run.throughput = bench::RunThroughput(throughput);
    bench::LatencyOptions latency;
    latency.seed = seed;
    latency.baud = baud;
    latency.samples = samples;
    run.latency = bench::RunLatency(latency);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "benchmark could not run: %s\n", error.what());
    return 1;
  }

  std::fputs(bench::Table(run).c_str(), stdout);
  if (!json.empty()) {
    std::ofstream file(json);
    file << bench::Json(run).dump(2) << "\n";
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", json.c_str());
      return 1;
    }
  }
  return 0;
}
