#include "adapter_model/adapter.h"

namespace adapter_model {

Adapter::Adapter(AdapterOptions options) : options_(std::move(options)), controller_(faults_, options_.controller) {
  for (int i = 0; i < kPortCount; ++i) uarts_[i] = std::make_unique<Uart>("port " + std::to_string(i + 1));
  faults_.onUnplug = [this] { Unplug(); };
  if (options_.runningMainFirmware) {
    // Until the CPU can run a downloaded image, the RAM is taken to hold the main firmware
    // whenever the CPU starts.
    controller_.SetBoot(
        [this](UsbController& controller) -> std::unique_ptr<Program> {
          return std::make_unique<MainFirmware>(
              controller, std::array<Uart*, kPortCount>{uarts_[0].get(), uarts_[1].get(), uarts_[2].get(), uarts_[3].get()},
              faults_, options_.firmware);
        },
        /*runsAtPowerUp=*/true);
  }
}

Adapter::~Adapter() {
  faults_.onUnplug = nullptr;
  faults_.Clear();
}

MainFirmware* Adapter::Firmware() { return dynamic_cast<MainFirmware*>(controller_.RunningProgram()); }

SerialChannel* Adapter::Channel(int port) {
  MainFirmware* firmware = Firmware();
  return firmware ? &firmware->Channel(port) : nullptr;
}

}  // namespace adapter_model
