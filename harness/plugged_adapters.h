// Adapters plugged in as a user plugs them: a model, with a tap in front of it, cabled to a
// port of the simulated USB bus, and brought up by the simulated plug-and-play manager
// (sim::pnp, which loads the driver for the first device and unloads it after the last).
// What a test asks of an adapter (its device node, the driver's adapter and ports on it,
// the ports' COM names) is read from the manager's tree and log, the driver's adapter table
// and the registry.
//
// Destroyed before the machine: every adapter still present is removed in order and its
// model unplugged, so that the driver is unloaded (with its leak check) if nothing else holds it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter_model/adapter.h"
#include "driver_harness.h"
#include "simkernel/pnp.h"
#include "simkernel/usb_bus.h"
#include "usb_device_tap.h"

namespace harness {

// One adapter model cabled to the bus.
struct PluggedAdapter {
  std::unique_ptr<adapter_model::Adapter> model;
  std::unique_ptr<UsbDeviceTap> tap;
  sim::usb::BusPort* busPort = nullptr;
};

class PluggedAdapters {
 public:
  // Installs the driver's services (InstallPlugAndPlayServices).
  explicit PluggedAdapters(DriverHarness& harness);
  ~PluggedAdapters();
  PluggedAdapters(const PluggedAdapters&) = delete;
  PluggedAdapters& operator=(const PluggedAdapters&) = delete;

  // Makes a model (blank when options.runningMainFirmware is false), puts a tap in front of
  // it and plugs it in; with `settle` runs until everything is done (a blank adapter: the
  // download, the renumeration and the running adapter's start).
  PluggedAdapter& Plug(adapter_model::AdapterOptions options = {}, bool settle = true);
  // Pulls the cable: surprise removal follows, removal once no handle is open.
  void Unplug(PluggedAdapter& unit);
  // Orderly removal of the adapter and its ports; the model stays cabled.
  NTSTATUS Remove(PluggedAdapter& unit);
  // Query-stop, stop and start of the adapter (a rebalance); the start's status.
  NTSTATUS StopAndRestart(PluggedAdapter& unit);
  // Runs until nothing is left to do: timers, transfers, plug-and-play work.
  void Settle();

  // The device node of the adapter's current presentation (none while unplugged).
  std::optional<sim::pnp::NodeInfo> Node(const PluggedAdapter& unit) const;
  // The driver's adapter on the current presentation, or null.
  AdapterExtension* Adapter(const PluggedAdapter& unit) const;
  // How the last START_DEVICE sent to the current presentation's device instance came back
  // (STATUS_PENDING if none was sent).
  NTSTATUS StartStatus(const PluggedAdapter& unit) const;
  // The port nodes the adapter reported, in the order reported.
  std::vector<sim::pnp::NodeInfo> Children(const PluggedAdapter& unit) const;
  PortExtension* Port(const PluggedAdapter& unit, int number) const;
  // The COM name the Ports class installer gave port `number`'s device instance ("" if none).
  std::u16string ComName(const PluggedAdapter& unit, int number) const;

  // The status of the last event `what` the manager logged for a device instance
  // (STATUS_PENDING if none).
  static NTSTATUS LastStatus(std::u16string_view instancePath, std::string_view what);
  // The driver as loaded now (null while unloaded).
  static PDRIVER_OBJECT Driver();

 private:
  DriverHarness& harness_;
  std::vector<std::unique_ptr<PluggedAdapter>> units_;
};

}  // namespace harness
