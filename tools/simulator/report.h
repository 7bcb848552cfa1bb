// The end of a run: the table per port and phase, the verdicts (verifier, race detector,
// pool after unload), and the same as JSON.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "traffic.h"

namespace simulator {

struct Verdicts {
  std::vector<std::string> verifier;     // every report but data races
  bool raceDetectorBuilt = false;
  std::vector<std::string> races;        // "data race" reports
  bool driverUnloaded = false;
  std::vector<std::string> poolOutstanding;
  std::vector<std::string> stops;        // bring-up failures, deadlocks, tasks that did not finish
};

struct RunSummary {
  const Options* options = nullptr;
  std::vector<PortResult> ports;
  Verdicts verdicts;
  double virtualSeconds = 0;
  double wallSeconds = 0;
  bool Passed() const;  // every byte arrived, nothing was reported
};

// Median and 99th percentile (nearest rank) in milliseconds; 0 without samples.
struct LatencyFigures {
  size_t samples = 0;
  double median = 0;
  double p99 = 0;
};
LatencyFigures Latency(const std::vector<sim::VirtualTime>& samples);

void PrintSummary(const RunSummary& summary);
// False, with a reason, if the file could not be written.
bool WriteJson(const RunSummary& summary, const std::string& path, std::string* error);

}  // namespace simulator
