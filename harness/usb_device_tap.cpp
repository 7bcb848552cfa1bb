#include "usb_device_tap.h"

#include "simkernel/race_detector.h"

namespace harness {

std::vector<uint8_t> UsbDeviceTap::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) {
  std::vector<uint8_t> answer = inner_.GetDescriptor(type, index, languageId);
  if (rewrite_) answer = rewrite_(type, index, std::move(answer));
  return answer;
}

sim::usb::Handshake UsbDeviceTap::ControlTransfer(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) {
  sim::race::Unobserved unobserved;
  sim::usb::Handshake handshake;
  if (stallCount_ != 0 && stallSkip_ == 0) {
    if (stallCount_ > 0) --stallCount_;
    handshake = sim::usb::Handshake::Stall;
  } else {
    if (stallSkip_ > 0) --stallSkip_;
    handshake = inner_.ControlTransfer(setup, data);
  }
  // A NAKed request comes again; only what was carried out (or stalled) is recorded.
  if (handshake != sim::usb::Handshake::Nak) controls_.push_back({setup, data, handshake});
  return handshake;
}

}  // namespace harness
