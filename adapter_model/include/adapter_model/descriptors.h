// Standard USB descriptors as the bytes that travel on the bus.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace adapter_model {

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;
constexpr uint8_t kEndpointBulk = 0x02;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

struct DeviceDescriptorInfo {
  uint16_t bcdUsb = 0x0100;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 64;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t manufacturerString = 0;
  uint8_t productString = 0;
  uint8_t serialNumberString = 0;
  uint8_t configurations = 1;
};

struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = kEndpointBulk;
  uint16_t maxPacketSize = 64;
  uint8_t interval = 0;
};

struct InterfaceInfo {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0xFF;
  uint8_t interfaceProtocol = 0xFF;
  uint8_t interfaceString = 0;
  std::vector<EndpointInfo> endpoints;
};

struct ConfigurationInfo {
  uint8_t value = 1;
  uint8_t configurationString = 0;
  uint8_t attributes = 0x80;
  uint8_t maxPower = 0;  // in 2 mA units
  std::vector<InterfaceInfo> interfaces;
};

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceDescriptorInfo& info);
// The configuration with its interfaces and endpoints, wTotalLength filled in.
std::vector<uint8_t> BuildConfigurationDescriptor(const ConfigurationInfo& info);
// UTF-16LE of an ASCII text; at most 126 characters fit (throws std::invalid_argument).
std::vector<uint8_t> BuildStringDescriptor(std::string_view text);
std::vector<uint8_t> BuildLanguageDescriptor(std::initializer_list<uint16_t> languages);

// A program's descriptor block in the controller's memory, as the firmware images lay it
// out: the device descriptor at `at`, the configuration descriptor (wTotalLength bytes) right
// after it, then the string descriptors in index order from 0. Empty when the block holds no
// such descriptor or it would run past the end of memory.
std::vector<uint8_t> ReadStoredDescriptor(std::span<const uint8_t> memory, uint16_t at, uint8_t type, uint8_t index);

}  // namespace adapter_model
