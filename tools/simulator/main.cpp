// The simulator: loads the driver into the simulated Windows kernel and shows what it did —
// DriverEntry, the dispatch table it filled, the pool it holds — then talks to a simulated
// adapter on the simulated USB bus through the driver's command channel, then plugs a blank
// adapter in and shows plug and play bring it up as four COM ports through the firmware
// download (optionally writing a USB capture of it all), and unloads with the leak check.
// Exits non-zero if the driver failed to load, a step failed or the verifier reported
// anything.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter/add_device.h"
#include "adapter_fixture.h"
#include "adapter_model/cable.h"
#include "command/command_queue.h"
#include "command/protocol.h"
#include "core/entry.h"
#include "driver_harness.h"
#include "port/internal_ioctl.h"
#include "power_wmi/wmi.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/registry.h"
#include "simkernel/wmi.h"

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

std::string Hex(const std::vector<uint8_t>& bytes, size_t limit = 16) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
    text += cell;
  }
  if (bytes.size() > limit) text += "... (" + std::to_string(bytes.size()) + " bytes)";
  return text;
}

// Brings a simulated adapter up on the bus (the harness stands in for adapter start until it
// is built), opens the four ports' command channels, raises DTR on port 2, closes them, and
// shows every command block and response the driver exchanged with the firmware.
void ShowCommandChannel(harness::DriverHarness& machine) {
  std::printf("\nCommand channel on a simulated adapter\n");
  harness::AdapterFixture adapter(machine);
  adapter.Start();
  std::printf("  adapter started: %lu ports, pipes", static_cast<unsigned long>(adapter.adapter()->PortCount));
  for (ULONG i = 0; i < adapter.adapter()->InterfaceInformation->NumberOfPipes; ++i)
    std::printf(" %02X", adapter.adapter()->InterfaceInformation->Pipes[i].EndpointAddress);
  std::printf("\n");
  machine.RunTask("application", [&] {
    for (int port = 1; port <= 4; ++port) adapter.OpenPort(port);
    const UCHAR dtrOn[] = {2, 1};
    CommandIssue(adapter.adapter(), COMMAND_SET_DTR, dtrOn, sizeof dtrOn);
    for (int port = 1; port <= 4; ++port) adapter.ClosePort(port);
  });
  machine.Advance(10 * sim::kMillisecond);
  // Commands at the time they were sent, responses at the time they arrived.
  std::vector<std::pair<sim::VirtualTime, std::string>> exchange;
  for (const auto& urb : adapter.Urbs()) {
    if (urb.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || !urb.completed) continue;
    if (urb.pipe == adapter.CommandPipe())
      exchange.emplace_back(urb.submitted, "command  -> " + Hex(urb.out));
    else if (urb.pipe == adapter.ResponsePipe() && !urb.received.empty())
      exchange.emplace_back(urb.completedAt, "response <- " + Hex(urb.received));
  }
  std::stable_sort(exchange.begin(), exchange.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [time, line] : exchange)
    std::printf("  %9.3f ms  %s\n", double(time) / sim::kMillisecond, line.c_str());
  adapter.StopAndRemove();
}

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// Writes a word and reads it back through the port's loopback plug.
bool Echo(harness::DriverHarness& machine, PFILE_OBJECT file, const std::string& word) {
  const std::vector<uint8_t> data(word.begin(), word.end());
  sim::io::Request read = sim::io::ReadAsync(file, ULONG(data.size()));
  const NTSTATUS written = sim::io::Write(file, data).status;
  machine.RunUntil([&] { return read.IsComplete(); }, 5 * sim::kSecond);
  const bool echoed = read.IsComplete() && read.Output() == data;
  std::printf("  wrote \"%s\" (%s), read back through the loopback plug: %s\n", word.c_str(),
              harness::StatusText(written).c_str(), echoed ? word.c_str() : "nothing");
  return echoed;
}

// Two of the port's WMI blocks as a WMI consumer reads them.
bool ShowWmiBlocks(PFILE_OBJECT file) {
  PDEVICE_OBJECT port = sim::io::FileTarget(file);
  const auto registration = sim::wmi::RegistrationOf(port);
  if (!registration || registration->guids.size() != 5 || registration->guids[0].instanceNames.empty()) {
    std::printf("  WMI: the port is not registered\n");
    return false;
  }
  std::printf("  WMI instance %s, %zu blocks\n", Narrow(registration->guids[0].instanceNames[0]).c_str(),
              registration->guids.size());
  const auto name = sim::wmi::QueryAllData(port, registration->guids[0].guid, 0x200);
  const auto info = sim::wmi::QueryAllData(port, registration->guids[1].guid, 0x200);
  if (name.instances.size() != 1 || info.instances.size() != 1 || name.instances[0].data.size() < 2 ||
      info.instances[0].data.size() != sizeof(SERIAL_WMI_COMM_DATA)) {
    std::printf("  WMI: the blocks did not come back\n");
    return false;
  }
  const auto& nameBytes = name.instances[0].data;
  std::u16string text((nameBytes.size() - 2) / 2, u'\0');
  std::memcpy(text.data(), nameBytes.data() + 2, text.size() * 2);
  SERIAL_WMI_COMM_DATA comm;
  std::memcpy(&comm, info.instances[0].data.data(), sizeof comm);
  std::printf("    MSSerial_PortName \"%s\"; MSSerial_CommInfo %lu baud, %lu data bits, %s\n", Narrow(text).c_str(),
              static_cast<unsigned long>(comm.BaudRate), static_cast<unsigned long>(comm.BitsPerByte),
              comm.IsBusy ? "busy" : "not busy");
  return true;
}

// The machine sleeps (S3) and wakes with the port open: every power request in the order the
// power manager and the driver sent them, then the port moves data again.
bool ShowSleepAndWake(harness::DriverHarness& machine, PFILE_OBJECT file) {
  std::printf("\nSleep (S3) and wake with the port open\n");
  sim::power::ClearLog();
  const NTSTATUS slept = sim::power::Sleep(PowerSystemSleeping3).status;
  const NTSTATUS woke = sim::power::Wake().status;
  for (const auto& irp : sim::power::Log()) {
    const bool system = irp.type == SystemPowerState;
    std::printf("  %-48s %-5s %s%lu %-8s %s\n", Narrow(irp.device).c_str(),
                irp.minor == IRP_MN_QUERY_POWER ? "QUERY" : "SET", system ? "S" : "D",
                static_cast<unsigned long>(irp.state - 1),  // S0 and D0 are 1
                irp.requested ? "(driver)" : "", harness::StatusText(irp.status).c_str());
  }
  std::printf("  sleep %s, wake %s\n", harness::StatusText(slept).c_str(), harness::StatusText(woke).c_str());
  return NT_SUCCESS(slept) && NT_SUCCESS(woke) && Echo(machine, file, "awake");
}

// Plugs an adapter with no firmware in, as a user would: the plug-and-play manager loads the
// driver for it, the driver downloads both images, the adapter comes back running them and
// its four ports become COM ports. Shows what the manager did, the names, a loopback through
// COM4, its WMI blocks, a sleep and wake with it open, and the unplug. False if a step failed.
bool ShowBlankAdapterPlugged(harness::DriverHarness& machine) {
  std::printf("\nPlug and play: a blank adapter plugged in\n");
  harness::InstallPlugAndPlayServices();
  adapter_model::AdapterOptions options;
  options.runningMainFirmware = false;
  adapter_model::Adapter model(options);
  sim::usb::BusPort& port = sim::usb::AddPort(model.Device());
  sim::pnp::ClearEvents();
  model.Plug(port);
  sim::pnp::WaitIdle();
  machine.RunUntil([&] { return port.Presentations() >= 2; }, sim::kSecond);
  sim::pnp::WaitIdle();
  for (const auto& event : sim::pnp::Events())
    if (event.what.rfind("QUERY_", 0) != 0)
      std::printf("  %-48s %-22s %s\n", Narrow(event.device).c_str(), event.what.c_str(),
                  harness::StatusText(event.status).c_str());
  std::printf("  the adapter presented itself %u times (blank, then running the downloaded firmware)\n",
              port.Presentations());
  const auto names = sim::registry::Values(std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM");
  std::printf("  HARDWARE\\DEVICEMAP\\SERIALCOMM:\n");
  for (const auto& value : names) {
    std::u16string com(value.data.size() / 2, u'\0');
    std::memcpy(com.data(), value.data.data(), com.size() * 2);
    std::printf("    %-32s %s\n", Narrow(value.name).c_str(), Narrow(com.substr(0, com.find(u'\0'))).c_str());
  }
  bool ok = names.size() == 4;

  // The second port, by the COM name the Ports class installer gave it (names stay taken in
  // the COM name database, so an adapter seen before keeps its own).
  const std::u16string kernelName = u"\\Device\\ZelBrUsb" +
                                    std::u16string(model.SerialNumber().begin(), model.SerialNumber().end()) + u"-1";
  const std::u16string com =
      sim::registry::GetSz(std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM", kernelName).value_or(u"");
  const std::u16string link = u"\\DosDevices\\" + com;
  adapter_model::LoopbackPlug loopback(model.PortConnector(2));
  PFILE_OBJECT file = nullptr;
  const NTSTATUS opened = com.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : sim::io::Open(link, &file);
  std::printf("  open \"%s\": %s\n", Narrow(com).c_str(), harness::StatusText(opened).c_str());
  if (NT_SUCCESS(opened)) {
    ok = Echo(machine, file, "hello") && ok;
    ok = ShowWmiBlocks(file) && ok;
    ok = ShowSleepAndWake(machine, file) && ok;
    sim::io::Close(file);
  }
  ok = ok && NT_SUCCESS(opened);
  model.Unplug();
  sim::pnp::WaitIdle();
  machine.RunUntilIdle();
  std::printf("  unplugged: %s %s\n", Narrow(link).c_str(), sim::io::FindDevice(link) ? "still there" : "gone");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Loads the driver into the simulated Windows kernel and shows what it does."};
  uint64_t seed = harness::SeedFromEnvironment();
  app.add_option("--seed", seed, "scheduler seed (default: ZEL_SEED or a fixed value)");
  std::optional<std::string> capture;
  app.add_option("--capture", capture, "write the USB traffic to this pcap file");
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

  if (capture) {
    std::string error;
    if (!sim::usb::StartCapture(*capture, &error)) std::printf("\ncapture not started: %s\n", error.c_str());
  }
  ShowCommandChannel(machine);
  const bool plugged = ShowBlankAdapterPlugged(machine);
  if (capture)
    std::printf("\nUSB capture: %s (%llu records; open it with tshark or Wireshark)\n", capture->c_str(),
                static_cast<unsigned long long>(sim::usb::StopCapture()));

  std::printf("\nDriverUnload\n");
  if (machine.loaded())
    machine.Unload();
  else
    std::printf("  done by plug and play when the driver's last device left\n");
  ShowPool("after unload");

  const auto& violations = machine.machine().Violations();
  std::printf("\nVerifier: %zu report(s)\n", violations.size());
  for (const auto& violation : violations) std::printf("  %s\n", violation.ToString().c_str());
  std::printf("Virtual time elapsed: %.3f s\n", double(machine.machine().Now()) / sim::kSecond);
  return violations.empty() && plugged ? 0 : 1;
}
