// A started adapter for scenario tests, brought up as a user's is: the adapter model cabled to
// the simulated USB bus, the plug-and-play manager loading the driver for it, the driver's own
// start (configuration, pipes, command channel, the four ports enumerated, started and named).
// A blank model is downloaded first and comes back running the main firmware.
//
// The port open and close stand-ins do only the command channel's part of open and close, for
// the command channel's own tests; the port's tests open ports by name through the I/O manager.
//
// Between the adapter device and the PDO sits a monitor, a lower filter of the adapter's setup
// class with a test driver of its own, that records every URB passing (submission and
// completion) and can hold pipe resets before it passes them on, as a slow bus driver would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adapter_model/adapter.h"
#include "core/records.h"
#include "driver_harness.h"
#include "simkernel/usb_bus.h"
#include "simkernel/usb_device.h"

namespace harness {

// The model's USB device as the bus sees it, with room for blocks a test puts on the
// response endpoint ahead of the firmware's (blocks the firmware itself never sends).
class ResponseInjector : public sim::usb::UsbDevice {
 public:
  explicit ResponseInjector(sim::usb::UsbDevice& inner) : inner_(inner) {}
  void SetBusPort(sim::usb::BusPort* port) { port_ = port; }

  // Served one packet each, before anything of the firmware's.
  void Inject(std::vector<uint8_t> packet);
  size_t Waiting() const { return injected_.size(); }

  std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) override {
    return inner_.GetDescriptor(type, index, languageId);
  }
  sim::usb::Handshake SetConfiguration(uint8_t value) override { return inner_.SetConfiguration(value); }
  sim::usb::Handshake ControlTransfer(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) override {
    return inner_.ControlTransfer(setup, data);
  }
  sim::usb::Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override {
    return inner_.BulkOut(endpoint, packet);
  }
  sim::usb::Handshake BulkIn(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& packet) override;
  void ResetEndpoint(uint8_t endpoint) override { inner_.ResetEndpoint(endpoint); }
  void PowerLost() override { inner_.PowerLost(); }

 private:
  sim::usb::UsbDevice& inner_;
  sim::usb::BusPort* port_ = nullptr;
  std::deque<std::vector<uint8_t>> injected_;
};

// One URB seen by the monitor.
struct UrbRecord {
  uint64_t sequence = 0;       // submission order, from 1
  PIRP irp = nullptr;
  USHORT function = 0;
  PVOID pipe = nullptr;        // bulk transfers, pipe resets and aborts
  bool in = false;
  ULONG length = 0;            // TransferBufferLength as submitted
  std::vector<uint8_t> out;    // OUT data as submitted
  sim::VirtualTime submitted = 0;
  std::string submitter;       // name of the task that submitted it
  bool completed = false;
  sim::VirtualTime completedAt = 0;
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS urbStatus = 0;
  std::vector<uint8_t> received;  // IN data at completion, at most the submitted length
  ULONG reportedLength = 0;       // TransferBufferLength at completion, as the bus reported it
};

struct MonitorState;

struct AdapterFixtureOptions {
  adapter_model::AdapterOptions model;
};

class AdapterFixture {
 public:
  AdapterFixture(DriverHarness& harness, AdapterFixtureOptions options = {});
  ~AdapterFixture();
  AdapterFixture(const AdapterFixture&) = delete;
  AdapterFixture& operator=(const AdapterFixture&) = delete;

  // Plugs the model in and waits until plug and play has started the adapter and its four
  // ports. Throws if they do not come up.
  void Start();
  // The cable pulled and plugged in again; waits until the adapter has started (its ports may
  // not have: a test that made a port's start fail looks at it). Handles must be closed.
  void Replug();
  // The adapter removed: in order if no handle is open, else by pulling the cable (the rest
  // follows as the handles close); the model unplugged. Idempotent.
  void StopAndRemove();

  // Takes port `number` away for good while the adapter stays: Device Manager's disable (no
  // handle may be open), IRP_MN_EJECT (which the manager itself sends only to a device whose
  // capabilities say EjectSupported), then the adapter's relations invalidated, on which the
  // manager removes the port the adapter no longer reports. Returns the disable's status.
  NTSTATUS DisableAndEjectPort(int number);

  // The adapter while the driver has it (null once plug and play removed it).
  AdapterExtension* adapter() const;
  // The port the adapter has now (null once deleted).
  PortExtension* port(int number) const;
  // Device instance paths, for the plug-and-play manager's requests ("" if gone).
  std::u16string InstancePath() const;
  std::u16string PortInstancePath(int number) const;
  adapter_model::Adapter& model() { return *model_; }
  ResponseInjector& injector() { return *injector_; }
  sim::usb::BusPort* busPort() const { return busPort_; }
  PDEVICE_OBJECT pdo() const { return pdo_; }

  // ---- Stand-ins for the command channel's part of port open and close.
  // Open: the port counts as open and, first of the adapter, starts the response read; then
  // command 1 goes out (from the calling task, which must be an application task).
  void OpenPort(int number);
  // Close: the count drops, command 2 goes out.
  void ClosePort(int number);

  // ---- The monitor
  std::vector<UrbRecord> Urbs() const;
  std::vector<UrbRecord> Urbs(PVOID pipe) const;
  // Bulk OUT blocks sent on the command pipe, in submission order.
  std::vector<std::vector<uint8_t>> CommandBlocks() const;
  // Most transfers of one pipe that were ever in flight at once.
  size_t MaxInFlight(PVOID pipe) const;
  size_t InFlight(PVOID pipe) const;
  // Holds the next `count` pipe resets for `delay` before passing them to the bus.
  void HoldPipeResets(int count, sim::VirtualTime delay);
  size_t PipeResetsHeld() const;
  // Called in the completing task, just before the drivers above see the completion.
  void OnUrbComplete(std::function<void(const UrbRecord&)> callback);
  // A test's stand-in for the bus, for the URBs it takes: called in the submitting task before
  // the monitor records a URB; returns the dispatch status of a request it took (it completes
  // the request, now or later), nothing to let the monitor pass it on. Empty to stop.
  void DivertUrbs(std::function<std::optional<NTSTATUS>(PIRP, PURB)> take);
  // Catches the first start at its select-configuration request and holds that request below
  // the adapter, as a slow bus would, while `whileHeld` runs in an application task with the
  // adapter as it is then (null if none is found); the request then goes on to the bus. Call
  // before Start().
  void HoldFirstConfiguration(std::function<void(AdapterExtension*)> whileHeld);

  // The pipes of the last start (kept after the removal, for the records).
  PVOID CommandPipe() const { return commandPipe_; }
  PVOID ResponsePipe() const { return responsePipe_; }

 private:
  DriverHarness& harness_;
  AdapterFixtureOptions options_;
  std::unique_ptr<adapter_model::Adapter> model_;
  std::unique_ptr<ResponseInjector> injector_;
  sim::usb::BusPort* busPort_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<MonitorState> monitorState_;
  AdapterExtension* adapter_ = nullptr;
  PVOID commandPipe_ = nullptr;
  PVOID responsePipe_ = nullptr;
  void PlugAndAwaitStart();

  bool started_ = false;
  bool removed_ = false;
};

}  // namespace harness
