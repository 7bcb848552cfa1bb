// The loader image's behaviour, as a program for the USB controller: it serves request 0xA3
// (write the data stage into external RAM at wValue) and answers endpoint 0 with the
// descriptors the loader keeps in RAM, without renumerating. It enables no bulk endpoint.
#pragma once

#include "adapter_model/usb_controller.h"

namespace adapter_model {

class LoaderProgram : public Program {
 public:
  static constexpr uint8_t kRequestLoadExternal = 0xA3;
  // External RAM; below it lie internal RAM (the loader itself) and the register page.
  static constexpr uint32_t kExternalRamFirst = 0x8000;

  explicit LoaderProgram(UsbController& controller) : controller_(controller) {}

  void Start() override {}
  void Stop() override {}
  std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t languageId) override;
  bool SetConfiguration(uint8_t value) override { return value <= 1; }
  sim::usb::Handshake VendorRequest(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) override;
  void OutPacketReceived(uint8_t) override {}
  void InPacketTaken(uint8_t) override {}
  void EndpointReset(uint8_t) override {}
  bool Renumerates() const override { return false; }

 private:
  UsbController& controller_;
};

}  // namespace adapter_model
