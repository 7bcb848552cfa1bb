// The two images as the build generates them: the record format the download relies on, and
// the descriptors each program keeps at its fixed place.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "adapter/firmware_record.h"
#include "adapter_model/descriptors.h"
#include "adapter_model/firmware_image.h"

namespace adapter_model::testing {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kInternalRamLast = 0x1B3F;

uint16_t Word(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

std::string TextOf(const Bytes& descriptor) {
  std::string text;
  for (size_t i = 2; i + 1 < descriptor.size(); i += 2) {
    EXPECT_EQ(descriptor[i + 1], 0) << "ASCII only";
    text.push_back(char(descriptor[i]));
  }
  return text;
}

struct NamedImage {
  const char* name;
  const FirmwareRecord* records;
};

class ImageFormat : public ::testing::TestWithParam<NamedImage> {};

TEST_P(ImageFormat, RecordsAreShortCrossNoBoundaryAndEndWithTheEndRecord) {
  const FirmwareRecord* record = GetParam().records;
  std::map<uint32_t, int> written;
  size_t data = 0;
  for (; record->Type == FIRMWARE_RECORD_DATA_TYPE; ++record, ++data) {
    SCOPED_TRACE("record " + std::to_string(data) + " at " + std::to_string(record->Address));
    ASSERT_GE(record->Length, 1) << "an empty data record sends nothing";
    ASSERT_LE(record->Length, FIRMWARE_RECORD_DATA);
    const uint32_t first = record->Address, last = first + record->Length - 1;
    EXPECT_LE(last, 0xFFFFu);
    EXPECT_EQ(first <= kInternalRamLast, last <= kInternalRamLast) << "a record on both sides of 0x1B3F";
    for (int i = record->Length; i < FIRMWARE_RECORD_DATA; ++i) EXPECT_EQ(record->Data[i], 0);
    EXPECT_EQ(record->Pad, 0);
    for (uint32_t at = first; at <= last; ++at) EXPECT_EQ(++written[at], 1) << "address written twice";
  }
  EXPECT_GT(data, 0u);
  EXPECT_EQ(record->Type, FIRMWARE_RECORD_END_TYPE);
  EXPECT_EQ(record->Length, 0);
  EXPECT_EQ(record->Address, 0);
  EXPECT_EQ(Bytes(record->Data, record->Data + FIRMWARE_RECORD_DATA), Bytes(FIRMWARE_RECORD_DATA, 0));
  EXPECT_EQ(record->Pad, 0);
}

INSTANTIATE_TEST_SUITE_P(Images, ImageFormat,
                         ::testing::Values(NamedImage{"Loader", LoaderImage}, NamedImage{"Main", MainFirmwareImage}),
                         [](const auto& info) { return std::string(info.param.name); });

size_t BytesWhere(const FirmwareImage& image, bool internal) {
  size_t count = 0;
  for (const auto& record : image)
    if ((record.address <= kInternalRamLast) == internal) count += record.bytes.size();
  return count;
}

TEST(ImagePlacement, LoaderFitsInternalRamAndTheMainImageRunsMostlyFromExternalRam) {
  EXPECT_EQ(BytesWhere(LoaderImageRecords(), /*internal=*/false), 0u)
      << "nothing could load external RAM before the loader runs";
  EXPECT_GT(BytesWhere(MainImageRecords(), false), BytesWhere(MainImageRecords(), true));
}

Bytes MemoryOf(const FirmwareImage& image) {
  Bytes memory(0x10000);
  for (const auto& record : image) std::copy(record.bytes.begin(), record.bytes.end(), memory.begin() + record.address);
  return memory;
}

void ExpectBulkEndpoints(const Bytes& configuration, const Bytes& order) {
  for (size_t i = 0; i < order.size(); ++i) {
    SCOPED_TRACE("endpoint " + std::to_string(i));
    const size_t at = 18 + 7 * i;
    EXPECT_EQ(Bytes(configuration.begin() + at, configuration.begin() + at + 7),
              (Bytes{7, kDescriptorEndpoint, order[i], kEndpointBulk, 64, 0, 0}));
  }
}

TEST(ImageDescriptors, MainImageHoldsTheMainFirmwaresDescriptorsAt0x1200) {
  const Bytes memory = MemoryOf(MainImageRecords());
  const Bytes d = ReadStoredDescriptor(memory, 0x1200, kDescriptorDevice, 0);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 8), (Bytes{18, kDescriptorDevice, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 64}));
  EXPECT_TRUE(Word(d, 10) & 0x8000);
  EXPECT_EQ(Bytes(d.begin() + 14, d.end()), (Bytes{1, 2, 3, 1}));

  const Bytes c = ReadStoredDescriptor(memory, 0x1200, kDescriptorConfiguration, 0);
  ASSERT_EQ(c.size(), 88u);
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 9), (Bytes{9, kDescriptorConfiguration, 88, 0, 1, 1, 4, 0x80, 0x3C}));
  EXPECT_EQ(Bytes(c.begin() + 9, c.begin() + 18), (Bytes{9, kDescriptorInterface, 0, 0, 10, 0xFF, 0xFF, 0xFF, 5}));
  ExpectBulkEndpoints(c, {0x81, 0x01, 0x82, 0x02, 0x83, 0x03, 0x84, 0x04, 0x87, 0x07});
  EXPECT_EQ(memory[0x1212], 9) << "the configuration starts at 0x1212";

  EXPECT_EQ(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 0), (Bytes{4, kDescriptorString, 0x09, 0x04}));
  EXPECT_FALSE(TextOf(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 1)).empty());
  EXPECT_FALSE(TextOf(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 2)).empty());
  EXPECT_EQ(TextOf(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 3)), "XX-XX-XXXXXX");
  EXPECT_EQ(TextOf(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 4)), "Configuration String");
  EXPECT_EQ(TextOf(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 5)), "Interface String");
  EXPECT_TRUE(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 6).empty());
}

TEST(ImageDescriptors, LoaderImageHoldsTheLoadersDescriptorsAt0x1100) {
  const Bytes memory = MemoryOf(LoaderImageRecords());
  const Bytes d = ReadStoredDescriptor(memory, 0x1100, kDescriptorDevice, 0);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 8), (Bytes{18, kDescriptorDevice, 0x00, 0x01, 0, 0, 0, 64}));
  EXPECT_FALSE(Word(d, 10) & 0x8000);
  EXPECT_EQ(Bytes(d.begin() + 14, d.end()), (Bytes{1, 2, 0, 1})) << "no serial number";

  const Bytes c = ReadStoredDescriptor(memory, 0x1100, kDescriptorConfiguration, 0);
  ASSERT_EQ(c.size(), 32u);
  EXPECT_EQ(memory[0x1112], 9) << "the configuration starts at 0x1112";
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 9), (Bytes{9, kDescriptorConfiguration, 32, 0, 1, 1, 0, 0xA0, 0}));
  EXPECT_EQ(c[9 + 4], 2);
  EXPECT_EQ(c[9 + 5], 0xFF);
  ExpectBulkEndpoints(c, {0x82, 0x02});
  EXPECT_FALSE(TextOf(ReadStoredDescriptor(memory, 0x1100, kDescriptorString, 1)).empty());
  EXPECT_FALSE(TextOf(ReadStoredDescriptor(memory, 0x1100, kDescriptorString, 2)).empty());
  EXPECT_TRUE(ReadStoredDescriptor(memory, 0x1100, kDescriptorString, 3).empty());
}

TEST(ImageDescriptors, ABlockThatRunsOffTheEndOfMemoryReadsAsNothing) {
  Bytes memory(0x10000);
  memory[0xFFF0] = 18;
  EXPECT_TRUE(ReadStoredDescriptor(memory, 0xFFF0, kDescriptorDevice, 0).empty());
  memory[0x1200 + 18 + 2] = 0xFF;  // wTotalLength 0xFFFF from 0x1212
  memory[0x1200 + 18 + 3] = 0xFF;
  EXPECT_TRUE(ReadStoredDescriptor(memory, 0x1200, kDescriptorConfiguration, 0).empty());
  EXPECT_TRUE(ReadStoredDescriptor(memory, 0x1200, kDescriptorString, 0).empty());
}

}  // namespace
}  // namespace adapter_model::testing
