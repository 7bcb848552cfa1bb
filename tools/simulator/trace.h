// --trace: the command channel's blocks as they cross the bus, and the plug-and-play and
// power managers' requests, each with the virtual time it was seen at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "simkernel/machine.h"
#include "simkernel/usb_device.h"

namespace simulator {

class Trace {
 public:
  explicit Trace(bool on) : on_(on) {}
  bool On() const { return on_; }
  // Prints what the managers logged since the last call, from the controlling thread between
  // steps of the machine. Unless forced, looks only when virtual time has moved since.
  void Poll(sim::Machine& machine, bool force = false);
  void CommandBlock(sim::VirtualTime at, int adapter, std::span<const uint8_t> block);
  void ResponseBlock(sim::VirtualTime at, int adapter, std::span<const uint8_t> block);

 private:
  bool on_;
  size_t pnpSeen_ = 0;
  size_t powerSeen_ = 0;
  sim::VirtualTime lastPoll_ = -1;
};

// Stands between the bus and an adapter model, passing everything through, and shows the
// command and response endpoints' packets to the trace.
class TracedDevice : public sim::usb::UsbDevice {
 public:
  TracedDevice(sim::usb::UsbDevice& inner, Trace& trace, int adapter)
      : inner_(inner), trace_(trace), adapter_(adapter) {}

  std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) override {
    return inner_.GetDescriptor(type, index, languageId);
  }
  sim::usb::Handshake SetConfiguration(uint8_t value) override { return inner_.SetConfiguration(value); }
  sim::usb::Handshake ControlTransfer(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) override;
  sim::usb::Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override;
  sim::usb::Handshake BulkIn(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& packet) override;
  void ResetEndpoint(uint8_t endpoint) override { inner_.ResetEndpoint(endpoint); }
  void PowerLost() override { inner_.PowerLost(); }

  // Vendor requests that carried firmware (0xA0 to the controller, 0xA3 through the loader).
  uint64_t DownloadRequests() const { return downloads_; }
  uint64_t DownloadBytes() const { return downloadBytes_; }

 private:
  sim::usb::UsbDevice& inner_;
  Trace& trace_;
  int adapter_;
  uint64_t downloads_ = 0;
  uint64_t downloadBytes_ = 0;
};

}  // namespace simulator
