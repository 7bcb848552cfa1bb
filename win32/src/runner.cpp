// The real main of a program built with zel_add_win32_program: the machine comes up (driver
// installed, adapters plugged, firmware downloaded, ports named) before the program's own
// main runs as the machine's first application thread; then the machine is taken down and
// its verifier and pool verdicts decide, with the program's status, the exit code.
//
// Options (stripped before the program sees its arguments), or the environment:
//   --zel-adapters=N   ZEL_WIN32_ADAPTERS   adapters plugged in (1 to 8, default 1)
//   --zel-cable=KIND   ZEL_WIN32_CABLE      on every port: loopback (default), loopback-ring-dtr,
//                                           loopback-ring-rts, null-modem (ports 1-2 and 3-4),
//                                           pty (the far end of each port a Linux
//                                           pseudo-terminal, plugged in for the program's run
//                                           only; with --zel-realtime), none
//   --zel-quiet        ZEL_WIN32_QUIET=1    no report unless something failed
//   --zel-realtime     ZEL_WIN32_REALTIME=1 the program runs with virtual time paced to the
//                                           wall clock (a program can ask for it by defining
//                                           int ZelWin32RealTime = 1)
//   ZEL_SEED                                the machine's seed
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapter_model/adapter.h"
#include "adapter_model/cable.h"
#include "driver_harness.h"
#include "process.h"
#include "pty_cable.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/usb_bus.h"

extern "C" int ZelWin32Main(int argc, char** argv);
extern "C" __attribute__((weak)) int ZelWin32RealTime;

namespace {

struct Options {
  int adapters = 1;
  std::string cable = "loopback";
  bool quiet = false;
  bool realTime = false;
};

std::string Value(const char* argument, const char* option) {
  const size_t length = std::strlen(option);
  return std::strncmp(argument, option, length) == 0 ? std::string(argument + length) : std::string("\x01");
}

bool ParseOptions(int& argc, char** argv, Options* options) {
  if (const char* env = std::getenv("ZEL_WIN32_ADAPTERS")) options->adapters = std::atoi(env);
  if (const char* env = std::getenv("ZEL_WIN32_CABLE")) options->cable = env;
  if (const char* env = std::getenv("ZEL_WIN32_QUIET")) options->quiet = std::strcmp(env, "0") != 0;
  if (const char* env = std::getenv("ZEL_WIN32_REALTIME")) options->realTime = std::strcmp(env, "0") != 0;
  if (&ZelWin32RealTime != nullptr && ZelWin32RealTime) options->realTime = true;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string value;
    if ((value = Value(argv[i], "--zel-adapters=")) != "\x01") {
      options->adapters = std::atoi(value.c_str());
    } else if ((value = Value(argv[i], "--zel-cable=")) != "\x01") {
      options->cable = value;
    } else if (std::strcmp(argv[i], "--zel-quiet") == 0) {
      options->quiet = true;
    } else if (std::strcmp(argv[i], "--zel-realtime") == 0) {
      options->realTime = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  if (options->adapters < 1 || options->adapters > 8) {
    std::fprintf(stderr, "zel-win32: adapters must be 1 to 8\n");
    return false;
  }
  static const char* cables[] = {"loopback", "loopback-ring-dtr", "loopback-ring-rts", "null-modem", "pty", "none"};
  for (const char* cable : cables)
    if (options->cable == cable) return true;
  std::fprintf(stderr, "zel-win32: unknown cable '%s'\n", options->cable.c_str());
  return false;
}

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  harness::DriverHarness machine(harness::SeedFromEnvironment());
  harness::InstallPlugAndPlayServices();

  std::vector<std::unique_ptr<adapter_model::Adapter>> models;
  std::vector<sim::usb::BusPort*> ports;
  for (int i = 0; i < options.adapters; ++i) {
    adapter_model::AdapterOptions adapterOptions;
    adapterOptions.runningMainFirmware = false;
    models.push_back(std::make_unique<adapter_model::Adapter>(adapterOptions));
    ports.push_back(&sim::usb::AddPort(models.back()->Device()));
    models.back()->Plug(*ports.back());
  }
  std::vector<std::unique_ptr<adapter_model::Cable>> cables;
  for (auto& model : models) {
    if (options.cable == "null-modem") {
      cables.push_back(std::make_unique<adapter_model::NullModemCable>(model->PortConnector(1), model->PortConnector(2)));
      cables.push_back(std::make_unique<adapter_model::NullModemCable>(model->PortConnector(3), model->PortConnector(4)));
    } else if (options.cable != "none" && options.cable != "pty") {
      const auto ring = options.cable == "loopback-ring-dtr"   ? adapter_model::RingWiring::FromDtr
                        : options.cable == "loopback-ring-rts" ? adapter_model::RingWiring::FromRts
                                                               : adapter_model::RingWiring::Open;
      for (int port = 1; port <= 4; ++port)
        cables.push_back(std::make_unique<adapter_model::LoopbackPlug>(model->PortConnector(port), ring));
    }
  }

  int status = 1;
  bool up = true;
  try {
    sim::pnp::WaitIdle();
    // Each blank adapter presents itself twice: blank, then running the downloaded firmware.
    machine.RunUntil([&] {
      for (auto* port : ports)
        if (port->Presentations() < 2) return false;
      return true;
    }, 10 * sim::kSecond);
    sim::pnp::WaitIdle();
    const auto names = sim::registry::Values(std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM");
    if (names.size() != size_t(4 * options.adapters)) {
      std::fprintf(stderr, "zel-win32: %zu COM ports came up, %d expected\n", names.size(), 4 * options.adapters);
      up = false;
    } else if (!options.quiet) {
      std::fprintf(stderr, "zel-win32: seed %llu, %d adapter(s), cable %s, ports",
                   static_cast<unsigned long long>(machine.machine().Seed()), options.adapters, options.cable.c_str());
      for (const auto& value : names) {
        std::u16string com(value.data.size() / 2, u'\0');
        std::memcpy(com.data(), value.data.data(), com.size() * 2);
        std::fprintf(stderr, " %s", Narrow(com.substr(0, com.find(u'\0'))).c_str());
      }
      std::fprintf(stderr, "\n");
    }
    if (up) {
      // Only the program's own run is paced: bringing the machine up and down stays fast.
      std::vector<std::unique_ptr<zelwin32::PtyCable>> devices;
      if (options.cable == "pty") {
        for (size_t a = 0; a < models.size(); ++a)
          for (int port = 1; port <= 4; ++port) {
            devices.push_back(std::make_unique<zelwin32::PtyCable>(models[a]->PortConnector(port)));
            std::printf("COM%zu device <-> %s\n", 3 + 4 * a + port - 1, devices.back()->Path());
          }
        std::fflush(stdout);
      }
      machine.machine().SetRealTime(options.realTime);
      machine.RunTask("main", [&] {
        zelwin32::AdoptCurrentThread();
        status = ZelWin32Main(argc, argv);
        zelwin32::EndProcess();
      });
      machine.machine().SetRealTime(false);
      for (size_t i = 0; i < devices.size(); ++i)
        if (!options.quiet)
          std::fprintf(stderr, "zel-win32: COM%zu device: %llu bytes to its terminal, %llu from it\n", 3 + i,
                       static_cast<unsigned long long>(devices[i]->ToTerminal()),
                       static_cast<unsigned long long>(devices[i]->FromTerminal()));
      // The terminals' polling would keep the machine from ever going idle.
      devices.clear();
      machine.Advance(100 * sim::kMillisecond);
    }
    for (auto& model : models) model->Unplug();
    sim::pnp::WaitIdle();
    machine.RunUntilIdle();
    if (machine.loaded()) machine.Unload();
  } catch (const sim::DeadlockError& error) {
    std::fprintf(stderr, "zel-win32: the machine stopped: %s\n", error.what());
    up = false;
  }

  const auto& violations = machine.machine().Violations();
  const auto blocks = sim::pool::Outstanding();
  const bool clean = violations.empty() && blocks.empty();
  if (!options.quiet || !clean || !up) {
    std::fprintf(stderr, "zel-win32: program exited with %d; verifier: %zu report(s); pool: %zu block(s) held\n", status,
                 violations.size(), blocks.size());
    for (const auto& violation : violations) std::fprintf(stderr, "  %s\n", violation.ToString().c_str());
    for (const auto& block : blocks) std::fprintf(stderr, "  %s\n", block.ToString().c_str());
  }
  if (!up) return status ? status : 1;
  return status != 0 ? status : (clean ? 0 : 1);
}
