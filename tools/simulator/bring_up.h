// The bench: blank adapters plugged into the simulated USB bus as a user plugs them, brought
// up by the simulated plug-and-play manager (driver loaded, firmware downloaded, adapter
// renumerated, ports named), the cables, a listener on every port's receive line, and the
// unplug at the end that unloads the driver.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "adapter_model/adapter.h"
#include "adapter_model/cable.h"
#include "adapter_model/wire.h"
#include "driver_harness.h"
#include "options.h"
#include "simkernel/usb_bus.h"
#include "trace.h"

namespace simulator {

// Characters as they finished on a line (end of the stop bit), in order: at a port's receive
// pin, so that a read's bytes can be matched with the moment each arrived; on its transmit pin
// when nothing else listens, to know when the last byte left.
class ArrivalLog {
 public:
  struct Arrival {
    uint8_t value;
    sim::VirtualTime ready;  // the middle of its first stop bit
    bool error;  // framing, parity or break
  };
  ArrivalLog(adapter_model::Uart& uart, adapter_model::SerialLine* line);
  ~ArrivalLog();
  // XON and XOFF are the driver's own flow control, not data: not logged while set.
  void SkipFlowCharacters(bool skip) { skipFlow_ = skip; }
  bool Empty() const { return arrivals_.empty(); }
  Arrival Pop();
  void Clear() {
    arrivals_.clear();
    lastEnd_ = -1;
  }
  // When the last character logged since Clear ended on the line; -1 if none.
  sim::VirtualTime LastEnd() const { return lastEnd_; }

 private:
  adapter_model::Receiver receiver_;
  std::deque<Arrival> arrivals_;
  bool skipFlow_ = false;
  sim::VirtualTime lastEnd_ = -1;
};

struct BenchPort {
  int adapter = 0;  // from 1
  int number = 0;   // 1 to 4 on its adapter
  std::string com;  // "COM3"; empty if the port got no name
  int peer = -1;    // index of the port whose transmissions this one receives; -1: none
  std::unique_ptr<ArrivalLog> arrivals;
  std::unique_ptr<ArrivalLog> transmitted;  // only with nothing plugged in
};

class Bench {
 public:
  Bench(harness::DriverHarness& harness, const Options& options, Trace& trace);
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // Plugs every adapter and waits for plug and play; prints a short account. False if an
  // adapter's ports did not all come up with COM names.
  bool BringUp();
  void PlugCables();
  // Unplugs every adapter and lets plug and play remove them, which unloads the driver.
  void UnplugAll();

  std::vector<BenchPort>& Ports() { return ports_; }
  adapter_model::Adapter& Model(int adapter) { return *units_.at(size_t(adapter - 1)).model; }

 private:
  struct Unit {
    std::unique_ptr<adapter_model::Adapter> model;
    std::unique_ptr<TracedDevice> device;
    sim::usb::BusPort* busPort = nullptr;
  };
  void Settle();

  harness::DriverHarness& harness_;
  const Options& options_;
  Trace& trace_;
  std::vector<Unit> units_;
  std::vector<std::unique_ptr<adapter_model::Cable>> cables_;
  std::vector<BenchPort> ports_;
  bool unplugged_ = false;
};

}  // namespace simulator
