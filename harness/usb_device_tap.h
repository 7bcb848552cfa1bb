// A USB device as the bus sees it, in front of a device model: it records every endpoint-0
// request the host sends (setup packet and data) and can corrupt descriptors or fail control
// requests, as a faulty device would. Everything else goes straight to the model.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "simkernel/machine.h"
#include "simkernel/usb_device.h"

namespace harness {

struct ControlRecord {
  sim::usb::SetupPacket setup;
  std::vector<uint8_t> data;  // OUT data as sent, IN data as answered
  sim::usb::Handshake handshake = sim::usb::Handshake::Ack;
};

class UsbDeviceTap : public sim::usb::UsbDevice {
 public:
  explicit UsbDeviceTap(sim::usb::UsbDevice& inner) : inner_(inner) {}

  // Rewrites what the model answers to a get-descriptor (type, index, the model's bytes).
  using DescriptorRewrite = std::function<std::vector<uint8_t>(uint8_t type, uint8_t index, std::vector<uint8_t>)>;
  void RewriteDescriptors(DescriptorRewrite rewrite) { rewrite_ = std::move(rewrite); }
  // Vendor or class requests: skip `skip` of them, then stall the next `count`.
  void StallControlRequests(int count, int skip = 0) {
    stallCount_ = count;
    stallSkip_ = skip;
  }

  const std::vector<ControlRecord>& Controls() const { return controls_; }
  void ClearRecords() { controls_.clear(); }

  std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) override;
  sim::usb::Handshake SetConfiguration(uint8_t value) override { return inner_.SetConfiguration(value); }
  sim::usb::Handshake ControlTransfer(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) override;
  sim::usb::Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override {
    return inner_.BulkOut(endpoint, packet);
  }
  sim::usb::Handshake BulkIn(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& packet) override {
    return inner_.BulkIn(endpoint, maxPacket, packet);
  }
  void ResetEndpoint(uint8_t endpoint) override { inner_.ResetEndpoint(endpoint); }
  void PowerLost() override { inner_.PowerLost(); }

 private:
  sim::usb::UsbDevice& inner_;
  DescriptorRewrite rewrite_;
  int stallCount_ = 0;
  int stallSkip_ = 0;
  std::vector<ControlRecord> controls_;
};

}  // namespace harness
