// A whole four-port adapter as a test sees it: the USB controller the simulated bus talks
// to, the four UARTs with their connectors for cables, the firmware running on the
// controller, and the faults a test can switch on.
//
// A blank adapter (runningMainFirmware false) runs what the host downloads: once the CPU is
// released, RAM holding the whole main image runs the main firmware (which renumerates), RAM
// holding the loader image runs the loader (which serves 0xA3), anything else runs nothing.
#pragma once

#include <array>
#include <memory>

#include "adapter_model/cable.h"
#include "adapter_model/faults.h"
#include "adapter_model/firmware.h"
#include "adapter_model/scripted_peer.h"
#include "adapter_model/uart.h"
#include "adapter_model/usb_controller.h"

namespace adapter_model {

struct AdapterOptions {
  // Its serial number left empty, every adapter gets one of its own; two adapters given the
  // same one present the same.
  FirmwareIdentity firmware;
  ControllerIdentity controller;
  // Created, and powered up again after an unplug, already running the main firmware (from
  // a copy of the main image of its own: RAM stays as the host leaves it). Without it the
  // controller comes up blank, with its own identity, and runs what the host downloads.
  bool runningMainFirmware = true;
};

class Adapter {
 public:
  explicit Adapter(AdapterOptions options = {});
  ~Adapter();
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // What the simulated bus drives.
  sim::usb::UsbDevice& Device() { return controller_; }
  UsbController& Controller() { return controller_; }

  // The adapter is bus powered: plugging it into a bus port powers it (the main firmware
  // starts) and attaches it at once. Unplug detaches and loses power, at any moment a test
  // likes; Replug powers up and attaches again. Unplug before destroying a plugged adapter.
  void Plug(sim::usb::UsbPort& port) { controller_.Plug(port); }
  void Unplug() { controller_.Unplug(); }
  void Replug() { controller_.Replug(); }

  // Port n is 1 to 4 (std::out_of_range otherwise).
  Connector& PortConnector(int port) { return PortUart(port).Port(); }
  Uart& PortUart(int port) { return *uarts_.at(port - 1); }

  // Null while the CPU runs no main firmware (held in reset, unpowered, blank, the loader).
  MainFirmware* Firmware();
  // The unit's serial number, which the main firmware presents as string 3.
  const std::string& SerialNumber() const { return options_.firmware.serialNumber; }
  SerialChannel* Channel(int port);

  Faults& FaultPlan() { return faults_; }
  // Halts an endpoint now, as if the firmware had stalled it.
  void StallPipe(uint8_t endpoint) { controller_.HaltEndpoint(endpoint); }

 private:
  AdapterOptions options_;
  Faults faults_;
  std::array<std::unique_ptr<Uart>, kPortCount> uarts_;
  UsbController controller_;  // last: its program goes before the UARTs it drives

  // The main firmware, its image in `memory`.
  std::unique_ptr<Program> StartMainFirmware(std::span<const uint8_t> memory);
};

}  // namespace adapter_model
