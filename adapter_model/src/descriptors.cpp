#include "adapter_model/descriptors.h"

#include <stdexcept>

namespace adapter_model {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(uint8_t(value));
  out.push_back(uint8_t(value >> 8));
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceDescriptorInfo& d) {
  std::vector<uint8_t> out{18, kDescriptorDevice};
  Put16(out, d.bcdUsb);
  out.insert(out.end(), {d.deviceClass, d.deviceSubClass, d.deviceProtocol, d.maxPacketSize0});
  Put16(out, d.vendorId);
  Put16(out, d.productId);
  Put16(out, d.bcdDevice);
  out.insert(out.end(), {d.manufacturerString, d.productString, d.serialNumberString, d.configurations});
  return out;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const ConfigurationInfo& c) {
  std::vector<uint8_t> out{9, kDescriptorConfiguration, 0, 0, uint8_t(c.interfaces.size()), c.value,
                           c.configurationString, c.attributes, c.maxPower};
  for (const auto& i : c.interfaces) {
    out.insert(out.end(), {9, kDescriptorInterface, i.number, i.alternate, uint8_t(i.endpoints.size()),
                           i.interfaceClass, i.interfaceSubClass, i.interfaceProtocol, i.interfaceString});
    for (const auto& e : i.endpoints) {
      out.insert(out.end(), {7, kDescriptorEndpoint, e.address, e.attributes});
      Put16(out, e.maxPacketSize);
      out.push_back(e.interval);
    }
  }
  out[2] = uint8_t(out.size());
  out[3] = uint8_t(out.size() >> 8);
  return out;
}

std::vector<uint8_t> BuildStringDescriptor(std::string_view text) {
  if (text.size() > 126) throw std::invalid_argument("a string descriptor holds at most 126 characters");
  std::vector<uint8_t> out{uint8_t(2 + 2 * text.size()), kDescriptorString};
  for (char c : text) Put16(out, uint8_t(c));
  return out;
}

std::vector<uint8_t> BuildLanguageDescriptor(std::initializer_list<uint16_t> languages) {
  std::vector<uint8_t> out{uint8_t(2 + 2 * languages.size()), kDescriptorString};
  for (uint16_t language : languages) Put16(out, language);
  return out;
}

std::vector<uint8_t> ReadStoredDescriptor(std::span<const uint8_t> memory, uint16_t at, uint8_t type, uint8_t index) {
  constexpr size_t kDeviceLength = 18;
  auto bytes = [&](size_t from, size_t length) -> std::vector<uint8_t> {
    if (from + length > memory.size()) return {};
    return {memory.begin() + from, memory.begin() + from + length};
  };
  auto word = [&](size_t from) { return from + 1 < memory.size() ? size_t(memory[from] | memory[from + 1] << 8) : 0; };
  const size_t configuration = size_t(at) + kDeviceLength;
  if (type == kDescriptorDevice && index == 0) return bytes(at, kDeviceLength);
  if (type == kDescriptorConfiguration && index == 0) return bytes(configuration, word(configuration + 2));
  if (type != kDescriptorString) return {};
  size_t string = configuration + word(configuration + 2);
  for (uint8_t i = 0;; ++i) {
    if (string + 1 >= memory.size() || memory[string] < 2 || memory[string + 1] != kDescriptorString) return {};
    if (i == index) return bytes(string, memory[string]);
    string += memory[string];
  }
}

}  // namespace adapter_model
