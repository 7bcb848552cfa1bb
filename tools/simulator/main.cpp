// The simulator: loads the driver into the simulated Windows kernel and shows what it did —
// DriverEntry, the dispatch table it filled, the pool it holds, and its unload with the leak
// check. Exits non-zero if the driver failed to load or the verifier reported anything.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "adapter/add_device.h"
#include "core/entry.h"
#include "driver_harness.h"
#include "port/internal_ioctl.h"
#include "power_wmi/wmi.h"

namespace {

const char* MajorName(int major) {
  static const std::pair<int, const char*> names[] = {
      {IRP_MJ_CREATE, "IRP_MJ_CREATE"},
      {IRP_MJ_CLOSE, "IRP_MJ_CLOSE"},
      {IRP_MJ_READ, "IRP_MJ_READ"},
      {IRP_MJ_WRITE, "IRP_MJ_WRITE"},
      {IRP_MJ_DEVICE_CONTROL, "IRP_MJ_DEVICE_CONTROL"},
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, "IRP_MJ_INTERNAL_DEVICE_CONTROL"},
      {IRP_MJ_CLEANUP, "IRP_MJ_CLEANUP"},
      {IRP_MJ_POWER, "IRP_MJ_POWER"},
      {IRP_MJ_SYSTEM_CONTROL, "IRP_MJ_SYSTEM_CONTROL"},
      {IRP_MJ_PNP, "IRP_MJ_PNP"},
  };
  for (const auto& [value, name] : names)
    if (value == major) return name;
  return nullptr;
}

const char* RoutineName(PVOID routine) {
  const std::pair<PVOID, const char*> routines[] = {
      {reinterpret_cast<PVOID>(&DispatchIo), "DispatchIo"},
      {reinterpret_cast<PVOID>(&DispatchPnp), "DispatchPnp"},
      {reinterpret_cast<PVOID>(&DispatchPower), "DispatchPower"},
      {reinterpret_cast<PVOID>(&DispatchInternalIoctl), "DispatchInternalIoctl"},
      {reinterpret_cast<PVOID>(&DispatchSystemControl), "DispatchSystemControl"},
      {reinterpret_cast<PVOID>(&DriverUnload), "DriverUnload"},
      {reinterpret_cast<PVOID>(&AdapterAddDevice), "AdapterAddDevice"},
  };
  for (const auto& [address, name] : routines)
    if (address == routine) return name;
  return "the system's default handler";
}

void ShowPool(const char* when) {
  auto blocks = sim::pool::Outstanding();
  std::printf("  pool held %s: %zu block(s)\n", when, blocks.size());
  for (const auto& block : blocks) std::printf("    %s\n", block.ToString().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Loads the driver into the simulated Windows kernel and shows what it does."};
  uint64_t seed = harness::SeedFromEnvironment();
  app.add_option("--seed", seed, "scheduler seed (default: ZEL_SEED or a fixed value)");
  CLI11_PARSE(app, argc, argv);

  harness::DriverHarness machine(seed);
  std::printf("Simulated Windows 2000 machine, seed %llu\n", static_cast<unsigned long long>(seed));

  std::printf("\nDriverEntry(\"%s\")\n", "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\ZELBRUSB");
  NTSTATUS status = machine.Load();
  std::printf("  returned %s\n", harness::StatusText(status).c_str());
  if (status != STATUS_SUCCESS) return 1;

  PDRIVER_OBJECT driver = machine.driver();
  std::printf("\nDispatch table\n");
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
    if (const char* name = MajorName(major))
      std::printf("  %-31s -> %s\n", name, RoutineName(reinterpret_cast<PVOID>(driver->MajorFunction[major])));
  std::printf("  %-31s -> %s\n", "AddDevice", RoutineName(reinterpret_cast<PVOID>(driver->DriverExtension->AddDevice)));
  std::printf("  %-31s -> %s\n", "Unload", RoutineName(reinterpret_cast<PVOID>(driver->DriverUnload)));
  ShowPool("after DriverEntry");

  std::printf("\nDriverUnload\n");
  machine.Unload();
  ShowPool("after unload");

  const auto& violations = machine.machine().Violations();
  std::printf("\nVerifier: %zu report(s)\n", violations.size());
  for (const auto& violation : violations) std::printf("  %s\n", violation.ToString().c_str());
  std::printf("Virtual time elapsed: %.3f s\n", double(machine.machine().Now()) / sim::kSecond);
  return violations.empty() ? 0 : 1;
}
