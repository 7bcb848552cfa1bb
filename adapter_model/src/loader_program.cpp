#include "adapter_model/loader_program.h"

#include "adapter_model/firmware_image.h"

namespace adapter_model {

using sim::usb::Handshake;

std::vector<uint8_t> LoaderProgram::Descriptor(uint8_t type, uint8_t index, uint16_t) {
  return ReadStoredDescriptor(controller_.Memory(), kLoaderDescriptorsAt, type, index);
}

Handshake LoaderProgram::VendorRequest(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) {
  constexpr uint8_t kDirectionIn = 0x80;
  if ((setup.bmRequestType & kDirectionIn) || setup.bRequest != kRequestLoadExternal) return Handshake::Stall;
  const uint32_t first = setup.wValue;
  if (first < kExternalRamFirst || first + data.size() > UsbController::kMemorySize) return Handshake::Stall;
  for (size_t i = 0; i < data.size(); ++i) controller_.Poke(uint16_t(first + i), data[i]);
  return Handshake::Ack;
}

}  // namespace adapter_model
