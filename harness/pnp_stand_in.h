// Adapters brought up the real way: a model plugged into the simulated USB bus, and a
// stand-in for the plug-and-play manager that does for each presented device what Windows
// 2000 does for this driver's stacks: a device instance path, AddDevice, START, the
// capability and bus-relations queries, and for each new child its ids, a "PortName" value
// (the lowest COM name free from COM3, kept per device instance as the Ports class installer
// keeps it), AddDevice and START. A device that leaves the bus (unplug, renumeration) gets
// surprise removal and removal, children first. Plug-and-play work for all devices runs in
// one worker task, one request at a time, as the manager serialises it.
//
// The test's fixture destroys the stand-in before the driver is unloaded: every adapter
// still present is then removed in order and its model unplugged.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "adapter_model/adapter.h"
#include "driver_harness.h"
#include "simkernel/usb_bus.h"
#include "usb_device_tap.h"

namespace harness {

// One adapter model cabled to the bus, with the device stacks it has had.
struct PluggedAdapter {
  std::unique_ptr<adapter_model::Adapter> model;
  std::unique_ptr<UsbDeviceTap> tap;
  sim::usb::BusPort* busPort = nullptr;
  PDEVICE_OBJECT pdo = nullptr;             // the current presentation's PDO (null once removed)
  AdapterExtension* adapter = nullptr;      // the driver's adapter on it (null once removed)
  std::u16string instancePath;
  NTSTATUS addStatus = STATUS_PENDING;      // AddDevice of the last presentation
  NTSTATUS startStatus = STATUS_PENDING;    // its START
  unsigned arrivals = 0;                    // presentations handled
  unsigned removals = 0;                    // stacks removed
  std::vector<PDEVICE_OBJECT> children;     // port devices reported and started
  std::vector<NTSTATUS> childStartStatus;   // in the order of children
};

class PnpStandIn {
 public:
  explicit PnpStandIn(DriverHarness& harness);
  ~PnpStandIn();
  PnpStandIn(const PnpStandIn&) = delete;
  PnpStandIn& operator=(const PnpStandIn&) = delete;

  // Makes a model (blank when options.runningMainFirmware is false), puts a tap in front of
  // it, plugs it in; with `settle` runs the machine until the plug-and-play work is done (a
  // blank adapter: download, renumeration and the new adapter's start).
  PluggedAdapter& Plug(adapter_model::AdapterOptions options = {}, bool settle = true);
  // Pulls the cable: surprise removal and removal follow.
  void Unplug(PluggedAdapter& unit);
  // Orderly removal (query-remove and remove, ports first); the model stays cabled.
  void Remove(PluggedAdapter& unit);
  // Query-stop, stop and start of the adapter; returns the start's status.
  NTSTATUS StopAndRestart(PluggedAdapter& unit);
  // Runs until the worker has nothing left to do.
  void Settle();

  PortExtension* Port(const PluggedAdapter& unit, int number) const;
  // The COM name given to the device instance of port `number` ("" if none).
  std::u16string ComName(const PluggedAdapter& unit, int number) const;
  std::vector<std::unique_ptr<PluggedAdapter>>& Units() { return units_; }

 private:
  enum class Kind { Arrived, Departed, Remove, Restart };
  struct Event {
    Kind kind;
    PluggedAdapter* unit;
    PDEVICE_OBJECT pdo;
    NTSTATUS* result;
  };
  void Post(Event event);
  void Work();
  void Handle(const Event& event);
  void Arrive(PluggedAdapter& unit, PDEVICE_OBJECT pdo);
  void Depart(PluggedAdapter& unit, PDEVICE_OBJECT pdo);
  void EnumerateChildren(PluggedAdapter& unit);
  void StartChild(PluggedAdapter& unit, PDEVICE_OBJECT child);
  void RemoveStack(PluggedAdapter& unit, bool surprise);
  std::u16string AssignComName(const std::u16string& instancePath);

  DriverHarness& harness_;
  std::vector<std::unique_ptr<PluggedAdapter>> units_;
  std::deque<Event> events_;
  bool working_ = false;
  // Held around each event's handling: the manager's serialisation, as a kernel object, so
  // that what one worker did is ordered before the next (the race detector sees no other).
  KEVENT serial_;
  std::map<std::u16string, std::u16string> comNames_;  // device instance -> COM name
  std::map<PDEVICE_OBJECT, std::u16string> childInstances_;
};

}  // namespace harness
