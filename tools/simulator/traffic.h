// The traffic: every port driven at once by an application task of its own through a
// schedule of line settings. Each port writes its own byte stream (a function of the seed,
// the port and the phase, so the far end can check every byte without being told) and reads
// what its cable brings back, with reads that return as soon as anything has arrived or after
// their timeout.
//
// Receive latency, in virtual time: for each byte a read returned, the read's completion as
// the application saw it, less the middle of the byte's first stop bit on the port's receive
// pin, where a UART has the character (a listener on the line, apart from the adapter's own). It covers the adapter's
// buffering and USB transfer, the driver, and the wait for the read to be completed; not the
// time the byte spent in the sender's queues or on the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bring_up.h"
#include "comm_port.h"
#include "driver_harness.h"
#include "options.h"
#include "trace.h"

namespace simulator {

struct Phase {
  LineSettings line;
  Timeouts timeouts;
};
std::vector<Phase> Schedule(const Options& options);

// One port through one phase.
struct PhaseResult {
  LineSettings line;
  uint64_t written = 0;        // bytes the port's writes reported taken
  uint64_t expected = 0;       // bytes its peer wrote (what should arrive)
  uint64_t received = 0;       // bytes its reads returned
  uint64_t mismatched = 0;     // received bytes that were not the next expected one
  uint64_t lost = 0;           // expected bytes that never arrived
  uint64_t writes = 0;
  uint64_t reads = 0;
  uint64_t emptyReads = 0;     // reads ended by their timeout with nothing
  uint32_t lineErrors = 0;     // SERIAL_ERROR_* bits the port reported
  uint64_t failedRequests = 0; // requests that ended with another status than expected
  // Phase start to the end of the port's last character on the line (at the far end's
  // receive pin, or its own transmit pin with nothing plugged in).
  sim::VirtualTime sendSpan = 0;
  sim::VirtualTime receiveSpan = 0;  // phase start to the last byte read
  std::vector<sim::VirtualTime> latencies;
  std::vector<std::string> problems;

  uint64_t Errors() const;
  double TxPercent() const;  // of the line rate over the sending span
  double RxPercent() const;  // of the line rate over the receiving span
};

struct PortResult {
  std::string com;
  int adapter = 0;
  int number = 0;
  bool opened = false;
  std::vector<PhaseResult> phases;
};

// Called from the controlling thread while traffic runs (phase index, virtual time into the
// phase, the ports' results so far), and once more as each phase ends.
using ProgressHook =
    std::function<void(size_t phase, sim::VirtualTime into, bool phaseDone, const std::vector<PortResult>&)>;

std::vector<PortResult> RunTraffic(harness::DriverHarness& harness, Bench& bench, const Options& options,
                                   Trace& trace, const ProgressHook& progress);

}  // namespace simulator
