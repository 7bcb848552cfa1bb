// A blank adapter taking its firmware as the driver downloads it, through the vendor
// requests on endpoint 0: what runs after each release of the CPU, and that only a complete,
// intact download renumerates as the main firmware.
#include <algorithm>

#include "adapter_model/firmware_image.h"
#include "adapter_model/loader_program.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

using sim::usb::SetupPacket;

constexpr uint8_t kLoadInternal = 0xA0;
constexpr uint8_t kLoadExternal = 0xA3;
constexpr uint16_t kInternalRamLast = 0x1B3F;

uint16_t Word(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

std::string StringOf(const Bytes& descriptor) {
  std::string text;
  for (size_t i = 2; i + 1 < descriptor.size(); i += 2) text.push_back(char(descriptor[i]));
  return text;
}

// What can go wrong on the way, each on one record or step of the download.
enum class Fault { None, CorruptInternalRecord, CorruptExternalRecord, MissingInternalRecord, MissingExternalRecord, NoLoader };

class BlankDownload : public AdapterTest {
 protected:
  AdapterOptions Options() override {
    AdapterOptions options;
    options.runningMainFirmware = false;
    return options;
  }

  Handshake Vendor(uint8_t request, uint16_t address, Bytes data) {
    SetupPacket setup{0x40, request, address, 0, uint16_t(data.size())};
    return Device().ControlTransfer(setup, data);
  }
  Handshake SetCpuReset(uint8_t value) { return Vendor(kLoadInternal, 0x7F92, {value}); }

  // One pass of an image over the records on one side of 0x1B3F; every request Acked.
  void Pass(const FirmwareImage& image, bool external, uint8_t request, Fault fault = Fault::None) {
    const FirmwareImage side = Side(image, external);
    // A record from the middle that differs from the zeros RAM powers up with.
    size_t faulty = side.size() / 2;
    while (faulty < side.size() && std::ranges::count(side[faulty].bytes, 0) == ptrdiff_t(side[faulty].bytes.size()))
      ++faulty;
    for (size_t i = 0; i < side.size(); ++i) {
      Bytes bytes = side[i].bytes;
      if (i == faulty) {
        if (fault == Fault::CorruptInternalRecord || fault == Fault::CorruptExternalRecord) bytes[0] ^= 0x5A;
        if (fault == Fault::MissingInternalRecord || fault == Fault::MissingExternalRecord) continue;
      }
      ASSERT_EQ(Vendor(request, side[i].address, bytes), Handshake::Ack) << "record at " << side[i].address;
    }
  }
  static FirmwareImage Side(const FirmwareImage& image, bool external) {
    FirmwareImage side;
    for (const auto& record : image)
      if ((record.address > kInternalRamLast) == external) side.push_back(record);
    return side;
  }

  void LoadLoader() {
    ASSERT_EQ(SetCpuReset(1), Handshake::Ack);
    Pass(LoaderImageRecords(), /*external=*/false, kLoadInternal);
  }

  // Hold, the loader by 0xA0, release, the main image by 0xA3 then (held) by 0xA0, hold, release.
  void Download(Fault fault = Fault::None) {
    ASSERT_EQ(SetCpuReset(1), Handshake::Ack);
    if (fault != Fault::NoLoader) {
      ASSERT_EQ(SetCpuReset(1), Handshake::Ack);
      Pass(LoaderImageRecords(), false, kLoadInternal);
    }
    ASSERT_EQ(SetCpuReset(0), Handshake::Ack);
    if (fault == Fault::NoLoader) {
      for (const auto& record : Side(MainImageRecords(), true))
        ASSERT_EQ(Vendor(kLoadExternal, record.address, record.bytes), Handshake::Stall) << "nothing serves 0xA3";
    } else {
      Pass(MainImageRecords(), /*external=*/true, kLoadExternal,
           fault == Fault::CorruptExternalRecord || fault == Fault::MissingExternalRecord ? fault : Fault::None);
    }
    ASSERT_EQ(SetCpuReset(1), Handshake::Ack);
    Pass(MainImageRecords(), /*external=*/false, kLoadInternal,
         fault == Fault::CorruptInternalRecord || fault == Fault::MissingInternalRecord ? fault : Fault::None);
    ASSERT_EQ(SetCpuReset(1), Handshake::Ack);
    ASSERT_EQ(SetCpuReset(0), Handshake::Ack);
  }

  std::vector<std::string> BusEvents() {
    std::vector<std::string> events;
    for (const auto& [time, event] : port_.log) events.push_back(event);
    return events;
  }
};

TEST_F(BlankDownload, ACompleteDownloadRenumeratesWithTheDescriptorsOfTheMainImage) {
  ASSERT_NO_FATAL_FAILURE(Download());
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(BusEvents(), (std::vector<std::string>{"attach", "detach", "attach"}));
  ASSERT_NE(adapter().Firmware(), nullptr);

  const auto memory = adapter().Controller().Memory();
  const Bytes device = Device().GetDescriptor(kDescriptorDevice, 0, 0);
  EXPECT_EQ(device, Bytes(memory.begin() + 0x1200, memory.begin() + 0x1212));
  EXPECT_TRUE(Word(device, 10) & 0x8000);
  const Bytes configuration = Device().GetDescriptor(kDescriptorConfiguration, 0, 0);
  ASSERT_EQ(configuration.size(), 88u);
  EXPECT_EQ(configuration, Bytes(memory.begin() + 0x1212, memory.begin() + 0x1212 + 88));
  EXPECT_EQ(StringOf(Device().GetDescriptor(kDescriptorString, 3, 0x0409)), adapter().SerialNumber());
  EXPECT_EQ(StringOf(Device().GetDescriptor(kDescriptorString, 4, 0x0409)), "Configuration String");

  // The downloaded firmware speaks the command protocol once configured.
  ASSERT_EQ(Device().SetConfiguration(1), Handshake::Ack);
  ASSERT_EQ(Command({command::kSetDtr, 2, 1}), Handshake::Ack);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kSetDtr, 2)});
  EXPECT_TRUE(adapter().PortUart(2).Dtr());
  EXPECT_EQ(Vendor(kLoadExternal, 0x8000, {0}), Handshake::Stall) << "the main firmware serves no 0xA3";
}

TEST_F(BlankDownload, TheMainFirmwareShowsWhatRamHoldsAtItsDescriptors) {
  ASSERT_NO_FATAL_FAILURE(Download());
  machine().RunFor(20 * kMillisecond);
  ASSERT_EQ(Vendor(kLoadInternal, 0x1200 + 10, {0x34, 0x92}), Handshake::Ack);
  EXPECT_EQ(Word(Device().GetDescriptor(kDescriptorDevice, 0, 0), 10), 0x9234);
}

TEST_F(BlankDownload, TheLoaderServesExternalWritesWithoutRenumerating) {
  EXPECT_EQ(Vendor(kLoadExternal, 0x8000, {1}), Handshake::Stall) << "the bare controller serves no 0xA3";
  ASSERT_NO_FATAL_FAILURE(LoadLoader());
  EXPECT_EQ(Vendor(kLoadExternal, 0x8000, {1}), Handshake::Stall) << "the loader is in RAM but held";
  ASSERT_EQ(SetCpuReset(0), Handshake::Ack);
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(BusEvents(), std::vector<std::string>{"attach"});
  EXPECT_EQ(adapter().Firmware(), nullptr);

  const Bytes device = Device().GetDescriptor(kDescriptorDevice, 0, 0);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_FALSE(Word(device, 10) & 0x8000);
  const Bytes configuration = Device().GetDescriptor(kDescriptorConfiguration, 0, 0);
  ASSERT_EQ(configuration.size(), 32u);
  EXPECT_EQ(configuration[7], 0xA0);

  EXPECT_EQ(Vendor(kLoadExternal, 0x8000, {0x11, 0x22, 0x33}), Handshake::Ack);
  EXPECT_EQ(adapter().Controller().Peek(0x8002), 0x33);
  EXPECT_EQ(Vendor(kLoadExternal, 0xFFF0, Bytes(16, 0x44)), Handshake::Ack) << "up to the last byte";
  EXPECT_EQ(adapter().Controller().Peek(0xFFFF), 0x44);
  EXPECT_EQ(Vendor(kLoadExternal, 0xFFF8, Bytes(9, 0x55)), Handshake::Stall) << "past the top of memory";
  EXPECT_EQ(Vendor(kLoadExternal, 0x1B00, {0x66}), Handshake::Stall) << "internal RAM holds the loader";
  EXPECT_EQ(Vendor(kLoadExternal, 0x7F92, {1}), Handshake::Stall) << "the register page is not RAM";
  EXPECT_FALSE(adapter().Controller().CpuHeld());
  EXPECT_EQ(adapter().Controller().Peek(0x1B00), 0);
  EXPECT_EQ(Vendor(0xA4, 0x8000, {0x77}), Handshake::Stall) << "the loader serves 0xA3 alone";
  SetupPacket read{0xC0, kLoadExternal, 0x8000, 0, 1};
  Bytes data;
  EXPECT_EQ(Device().ControlTransfer(read, data), Handshake::Stall) << "and only as a write";
  EXPECT_EQ(Vendor(kLoadInternal, 0x0100, {0x00}), Handshake::Ack) << "0xA0 stays the core's";
}

class BrokenDownload : public BlankDownload, public ::testing::WithParamInterface<Fault> {};

TEST_P(BrokenDownload, LeavesTheDeviceBlankAndOnTheBus) {
  ASSERT_NO_FATAL_FAILURE(Download(GetParam()));
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(BusEvents(), std::vector<std::string>{"attach"}) << "no renumeration";
  EXPECT_EQ(adapter().Firmware(), nullptr);
  EXPECT_FALSE(adapter().Controller().CpuHeld()) << "the CPU spins in what it was given";
  const Bytes device = Device().GetDescriptor(kDescriptorDevice, 0, 0);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_FALSE(Word(device, 10) & 0x8000) << "a later start downloads again";

  // The same adapter takes a good download afterwards.
  ASSERT_NO_FATAL_FAILURE(Download());
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(BusEvents(), (std::vector<std::string>{"attach", "detach", "attach"}));
}

INSTANTIATE_TEST_SUITE_P(Faults, BrokenDownload,
                         ::testing::Values(Fault::CorruptInternalRecord, Fault::CorruptExternalRecord,
                                           Fault::MissingInternalRecord, Fault::MissingExternalRecord, Fault::NoLoader),
                         [](const auto& info) {
                           switch (info.param) {
                             case Fault::CorruptInternalRecord: return "CorruptInternalRecord";
                             case Fault::CorruptExternalRecord: return "CorruptExternalRecord";
                             case Fault::MissingInternalRecord: return "MissingInternalRecord";
                             case Fault::MissingExternalRecord: return "MissingExternalRecord";
                             case Fault::NoLoader: return "ExternalRecordsBeforeTheLoaderRuns";
                             default: return "None";
                           }
                         });

TEST(AdapterSerialNumbers, EachAdapterHasItsOwnUnlessGivenTheSame) {
  sim::Machine machine(1);
  Adapter first, second;
  EXPECT_NE(first.SerialNumber(), second.SerialNumber());
  for (const Adapter* adapter : {&first, &second}) {
    const std::string& serial = adapter->SerialNumber();
    ASSERT_EQ(serial.size(), 12u);
    EXPECT_EQ(serial[2], '-');
    EXPECT_EQ(serial[5], '-');
  }
  AdapterOptions options;
  options.firmware.serialNumber = "ZZ-01-123456";
  Adapter twin1(options), twin2(options);
  EXPECT_EQ(twin1.SerialNumber(), "ZZ-01-123456");
  EXPECT_EQ(twin2.SerialNumber(), twin1.SerialNumber());
}

// A board that starts running presents the same bytes the downloaded image does.
using RunningAtPowerUp = AdapterTest;

TEST_F(RunningAtPowerUp, PresentsTheMainImagesDescriptors) {
  const auto image = MainImageMemory();
  EXPECT_EQ(Device().GetDescriptor(kDescriptorDevice, 0, 0), Bytes(image.begin() + 0x1200, image.begin() + 0x1212));
  EXPECT_EQ(Device().GetDescriptor(kDescriptorConfiguration, 0, 0),
            Bytes(image.begin() + 0x1212, image.begin() + 0x1212 + 88));
  EXPECT_EQ(adapter().Controller().Peek(0x1200), 0) << "without a download RAM holds nothing";
}

}  // namespace
}  // namespace adapter_model::testing
