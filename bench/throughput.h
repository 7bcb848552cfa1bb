// Four ports in full duplex through loopback plugs: writes of mixed sizes back to back,
// reads always pending, for a span of virtual time; then what each port moved against its
// line rate, whether every byte came back once and in order, the overruns, the simulator's
// own speed, and how much of the USB bus it took.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rig.h"
#include "stream_check.h"

namespace bench {

struct ThroughputOptions {
  uint64_t seed = 0;
  double seconds = 10;
  uint32_t baud = 460800;
  unsigned readsPending = 4;   // reads kept queued at the port
  unsigned writesPending = 2;  // writes kept queued at the port
  uint32_t largestWrite = 1024;  // write sizes are drawn evenly from 1 to this
};

struct PortFlow {
  int port = 0;
  LineSetup line;
  // Over the measured span: characters the UART put on the wire, bytes reads returned.
  uint64_t wireBytes = 0;
  uint64_t readBytes = 0;
  double txPerSecond = 0;
  double rxPerSecond = 0;
  double txShare = 0;  // of the line rate
  double rxShare = 0;
  uint64_t writes = 0;  // requests completed
  uint64_t reads = 0;
  uint64_t failedRequests = 0;  // completed with another status than STATUS_SUCCESS
  StreamComparison stream;      // over the whole run, tail included
  uint64_t modelOverruns = 0;   // bytes the firmware dropped for a full receive buffer
  uint64_t modelReceived = 0;   // bytes the firmware stored for the host
  DriverCounters driver;
};

struct BusUse {
  uint64_t frames = 0;        // frames the host controller ran in the span
  uint64_t milliseconds = 0;  // frame periods in the span, run or not
  uint64_t packets = 0;       // bulk transactions (ACK, NAK or STALL)
  uint64_t naks = 0;
  uint64_t bytes = 0;
  unsigned maxPacketsInFrame = 0;
  unsigned packetLimit = 0;  // what one frame may carry
  double PerFrame() const { return frames ? double(packets) / double(frames) : 0; }
  double PerMillisecond() const { return milliseconds ? double(packets) / double(milliseconds) : 0; }
};

struct PipeUse {
  std::string name;  // "port 1 IN", "command", ...
  size_t maxInFlight = 0;
  size_t transfers = 0;
};

struct ThroughputResult {
  ThroughputOptions options;
  unsigned readLength = 0;    // bytes each read asks for (less for the last ones)
  double virtualSeconds = 0;  // the measured span
  double wallSeconds = 0;     // what simulating it took
  std::vector<PortFlow> ports;
  BusUse bus;
  std::vector<PipeUse> pipes;
  std::vector<std::string> problems;  // verifier reports, stalls, failed requests
};

ThroughputResult RunThroughput(const ThroughputOptions& options);

}  // namespace bench
