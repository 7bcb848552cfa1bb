#include "adapter_model/firmware_image.h"

#include <algorithm>

#include "adapter/firmware_record.h"
#include "adapter_model/usb_controller.h"

namespace adapter_model {
namespace {

FirmwareImage Read(const FirmwareRecord* record) {
  FirmwareImage image;
  for (; record->Type == FIRMWARE_RECORD_DATA_TYPE; ++record) {
    const size_t length = std::min<size_t>(uint8_t(record->Length), FIRMWARE_RECORD_DATA);
    image.push_back({record->Address, std::vector<uint8_t>(record->Data, record->Data + length)});
  }
  return image;
}

}  // namespace

const FirmwareImage& LoaderImageRecords() {
  static const FirmwareImage image = Read(LoaderImage);
  return image;
}

const FirmwareImage& MainImageRecords() {
  static const FirmwareImage image = Read(MainFirmwareImage);
  return image;
}

bool MemoryHolds(std::span<const uint8_t> memory, const FirmwareImage& image) {
  return std::all_of(image.begin(), image.end(), [&](const ImageRecord& record) {
    return record.address + record.bytes.size() <= memory.size() &&
           std::equal(record.bytes.begin(), record.bytes.end(), memory.begin() + record.address);
  });
}

std::span<const uint8_t> MainImageMemory() {
  static const std::vector<uint8_t> memory = [] {
    std::vector<uint8_t> bytes(UsbController::kMemorySize);
    for (const auto& record : MainImageRecords()) {
      const size_t length = std::min(record.bytes.size(), bytes.size() - record.address);
      std::copy_n(record.bytes.begin(), length, bytes.begin() + record.address);
    }
    return bytes;
  }();
  return memory;
}

}  // namespace adapter_model
