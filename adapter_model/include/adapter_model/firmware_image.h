// The two images the host downloads into a blank adapter (the driver's record arrays, built
// from the 8051 programs in firmware/), as the model reads them: which bytes go where.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace adapter_model {

struct ImageRecord {
  uint16_t address = 0;
  std::vector<uint8_t> bytes;
};
using FirmwareImage = std::vector<ImageRecord>;

// Where each program keeps its descriptor block (see ReadStoredDescriptor).
constexpr uint16_t kLoaderDescriptorsAt = 0x1100;
constexpr uint16_t kMainDescriptorsAt = 0x1200;

// The data records of each image, in stored order, up to its end record.
const FirmwareImage& LoaderImageRecords();
const FirmwareImage& MainImageRecords();

// Every byte of every record is in memory where the record puts it.
bool MemoryHolds(std::span<const uint8_t> memory, const FirmwareImage& image);
// A controller's 64 KB holding the main image and nothing else.
std::span<const uint8_t> MainImageMemory();

}  // namespace adapter_model
