// A benchmark's machine: the driver loaded into a fresh simulated machine, an adapter started
// on the simulated bus, its ports opened by name through the I/O manager and set to a line
// rate with the serial requests an application would send; at the end everything closed,
// removed and unloaded, and what the verifier reported collected.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter_fixture.h"
#include "adapter_model/cable.h"
#include "driver_harness.h"
#include "simkernel/io.h"

namespace bench {

// What an application asked for and what it got.
struct LineSetup {
  uint32_t requestedBaud = 0;
  NTSTATUS setBaud = STATUS_PENDING;
  NTSTATUS setLineControl = STATUS_PENDING;
  NTSTATUS getBaud = STATUS_PENDING;
  std::optional<uint32_t> driverBaud;   // what IOCTL_SERIAL_GET_BAUD_RATE answered, if it did
  adapter_model::LineFormat wire;       // what the port's UART runs at
  double BitsPerCharacter() const { return wire.HalfBits() / 2.0; }
  double LineBytesPerSecond() const { return wire.baud / BitsPerCharacter(); }
};

// The driver's own counters of a port, through IOCTL_SERIAL_GET_STATS.
struct DriverCounters {
  NTSTATUS status = STATUS_PENDING;
  uint64_t received = 0;
  uint64_t transmitted = 0;
  uint64_t serialOverruns = 0;
  uint64_t bufferOverruns = 0;
};

class Rig {
 public:
  explicit Rig(uint64_t seed);  // throws std::runtime_error when the adapter cannot be brought up
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  harness::DriverHarness& h() { return harness_; }
  sim::Machine& machine() { return harness_.machine(); }
  harness::AdapterFixture& fixture() { return *fixture_; }
  adapter_model::Adapter& model() { return fixture_->model(); }

  // IRP_MJ_CREATE on the port's kernel name; throws when it fails.
  PFILE_OBJECT Open(int port);
  // Baud rate and 8N1 through the serial requests; whatever they answer, the line runs at
  // what the UART was set to, which the result carries.
  LineSetup SetLine(int port, uint32_t baud);
  DriverCounters Counters(int port);

  void PlugLoopback(int port);
  // The cable goes with the rig; the caller keeps the pointer.
  template <class C, class... Args>
  C& Plug(Args&&... args) {
    auto cable = std::make_unique<C>(std::forward<Args>(args)...);
    C& plugged = *cable;
    cables_.push_back(std::move(cable));
    return plugged;
  }

  PVOID DataInPipe(int port) const;
  PVOID DataOutPipe(int port) const;

  // Closes the ports, removes the adapter, unloads the driver (with its leak check) and
  // returns every verifier report and stop report of the run, as text. Idempotent.
  std::vector<std::string> Finish();

 private:
  harness::DriverHarness harness_;
  std::unique_ptr<harness::AdapterFixture> fixture_;
  std::vector<std::unique_ptr<adapter_model::Cable>> cables_;
  PFILE_OBJECT files_[4] = {};
  std::vector<std::string> problems_;
  bool finished_ = false;
};

}  // namespace bench
