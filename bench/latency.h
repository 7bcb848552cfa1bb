// Receive latency: a serial device on port 1 sends one character at a time, at a random
// moment against the USB frame clock, while a 1-byte read is pending; each sample is the
// virtual time from the end of the character's last stop bit on the wire to the read's
// completion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rig.h"

namespace bench {

struct LatencyOptions {
  uint64_t seed = 0;
  uint32_t baud = 460800;
  int samples = 10000;
};

struct LatencyResult {
  LatencyOptions options;
  LineSetup line;
  int samples = 0;
  int wrongBytes = 0;  // reads that returned another byte than the one sent
  // Milliseconds of virtual time.
  double median = 0;
  double p99 = 0;
  double min = 0;
  double max = 0;
  double mean = 0;
  std::vector<std::string> problems;
};

LatencyResult RunLatency(const LatencyOptions& options);

}  // namespace bench
