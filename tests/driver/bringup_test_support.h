// Adapters brought up through the driver's real entry points: models plugged into the
// simulated bus, the simulated plug-and-play manager loading the driver and sending AddDevice
// and the PnP requests, and the images' download expected as the images imply it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/firmware_record.h"
#include "driver_test.h"
#include "plugged_adapters.h"
#include "wide_text.h"
#include "simkernel/io.h"
#include "simkernel/registry.h"

namespace bringup_test {

class BringUpTest : public DriverTest {
 public:
  // The manager loads the driver for the first adapter, as the system does.
  BringUpTest() { loadDriver_ = false; }

 protected:
  void SetUp() override {
    DriverTest::SetUp();
    pnp_ = std::make_unique<harness::PluggedAdapters>(h());
  }
  void TearDown() override {
    Guarded([&] {
      pnp_.reset();
      EXPECT_EQ(harness::PluggedAdapters::Driver(), nullptr) << "the driver is unloaded once its last device is gone";
    });
    DriverTest::TearDown();
  }

  harness::PluggedAdapters& pnp() { return *pnp_; }

  static adapter_model::AdapterOptions Blank() {
    adapter_model::AdapterOptions options;
    options.runningMainFirmware = false;
    return options;
  }
  static adapter_model::AdapterOptions Running(std::string serial = "") {
    adapter_model::AdapterOptions options;
    options.firmware.serialNumber = std::move(serial);
    return options;
  }

  // The vendor requests a download of both images must make, derived from the images.
  struct VendorWrite {
    uint8_t request;
    uint16_t value;
    std::vector<uint8_t> data;
  };
  static void AppendImage(std::vector<VendorWrite>& writes, const FirmwareRecord* image) {
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) writes.push_back({0xA0, 0x7F92, {1}});
      for (const FirmwareRecord* r = image; r->Type == 0; ++r) {
        const bool external = r->Address > 0x1B3F;
        if (external != (pass == 0)) continue;
        writes.push_back({uint8_t(external ? 0xA3 : 0xA0), r->Address,
                          std::vector<uint8_t>(r->Data, r->Data + (r->Length & 0xFF))});
      }
    }
  }
  static std::vector<VendorWrite> ExpectedDownload() {
    std::vector<VendorWrite> writes{{0xA0, 0x7F92, {1}}};
    AppendImage(writes, LoaderImage);
    writes.push_back({0xA0, 0x7F92, {0}});
    AppendImage(writes, MainFirmwareImage);
    writes.push_back({0xA0, 0x7F92, {1}});
    writes.push_back({0xA0, 0x7F92, {0}});
    return writes;
  }

  static std::u16string KernelName(const harness::PluggedAdapter& unit, int index) {
    return u"\\Device\\ZelBrUsb" + harness::ToU16(unit.model->SerialNumber()) + u"-" +
           harness::ToU16(std::to_string(index));
  }

 private:
  std::unique_ptr<harness::PluggedAdapters> pnp_;
};

}  // namespace bringup_test
