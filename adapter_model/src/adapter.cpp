#include "adapter_model/adapter.h"

#include <atomic>
#include <cstdio>

#include "adapter_model/firmware_image.h"
#include "adapter_model/loader_program.h"

namespace adapter_model {
namespace {

// Shaped as the image's placeholder, XX-XX-XXXXXX; counted across the process.
std::string NextSerialNumber() {
  static std::atomic<uint32_t> made{0};
  char text[16];
  std::snprintf(text, sizeof text, "BR-04-%06u", unsigned(++made % 1000000));
  return text;
}

}  // namespace

Adapter::Adapter(AdapterOptions options) : options_(std::move(options)), controller_(faults_, options_.controller) {
  if (options_.firmware.serialNumber.empty()) options_.firmware.serialNumber = NextSerialNumber();
  for (int i = 0; i < kPortCount; ++i) uarts_[i] = std::make_unique<Uart>("port " + std::to_string(i + 1));
  faults_.onUnplug = [this] { Unplug(); };
  if (options_.runningMainFirmware) {
    controller_.SetBoot([this](UsbController&) { return StartMainFirmware(MainImageMemory()); }, /*runsAtPowerUp=*/true);
  } else {
    controller_.SetBoot(
        [this](UsbController& controller) -> std::unique_ptr<Program> {
          if (MemoryHolds(controller.Memory(), MainImageRecords())) return StartMainFirmware(controller.Memory());
          if (MemoryHolds(controller.Memory(), LoaderImageRecords())) return std::make_unique<LoaderProgram>(controller);
          return nullptr;  // the CPU spins in whatever RAM holds, and USB sees nothing of it
        },
        /*runsAtPowerUp=*/false);
  }
}

Adapter::~Adapter() {
  faults_.onUnplug = nullptr;
  faults_.Clear();
}

std::unique_ptr<Program> Adapter::StartMainFirmware(std::span<const uint8_t> memory) {
  return std::make_unique<MainFirmware>(
      controller_, std::array<Uart*, kPortCount>{uarts_[0].get(), uarts_[1].get(), uarts_[2].get(), uarts_[3].get()},
      faults_, options_.firmware, memory);
}

MainFirmware* Adapter::Firmware() { return dynamic_cast<MainFirmware*>(controller_.RunningProgram()); }

SerialChannel* Adapter::Channel(int port) {
  MainFirmware* firmware = Firmware();
  return firmware ? &firmware->Channel(port) : nullptr;
}

}  // namespace adapter_model
