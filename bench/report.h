// The figures of a benchmark run as a table for people and as JSON for tools, each goal
// with whether it was met.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "latency.h"
#include "throughput.h"

namespace bench {

struct Goals {
  double lineShare = 0.95;  // of the line rate, each port and direction
  double medianLatencyMs = 2.0;
};

struct Run {
  uint64_t seed = 0;
  Goals goals;
  ThroughputResult throughput;
  LatencyResult latency;
};

bool ThroughputGoalMet(const Run& run);
bool LatencyGoalMet(const Run& run);

std::string Table(const Run& run);
nlohmann::json Json(const Run& run);

}  // namespace bench
