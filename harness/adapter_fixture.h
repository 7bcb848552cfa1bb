// A started adapter for scenario tests: the adapter model, running its main firmware, cabled
// to the simulated USB bus; an adapter device object of the driver above the bus's PDO; the
// USB configuration read and selected with real URBs; the ten pipes handed out; the command
// channel's URBs and buffer; the four port devices set up.
//
// It stands in for the adapter's start (configuration, pipes, command buffers, port creation
// and set-up) until that is built, and for its removal (StopAndRemove). The port open and
// close stand-ins do only the command channel's part of open and close, for the command
// channel's own tests; the port's tests open ports by name through the I/O manager.
//
// Between the adapter device and the PDO sits a monitor, a filter of a test driver of its
// own, that records every URB passing (submission and completion) and can hold pipe resets
// before it passes them on, as a slow bus driver would.
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

  // Plugs the model in and brings the adapter up. Throws if a step fails.
  void Start();
  // What removal will do: the command channel stopped, ports deleted, blocks released,
  // the adapter detached and deleted, the model unplugged. Idempotent.
  void StopAndRemove();

  // Deletes one port device, as its removal after an eject will (the others stay); port()
  // then returns null for it.
  void DeletePort(int number);
  // The driver deleted the port itself (its removal after an eject): port() returns null.
  void ForgetPort(int number) { ports_.at(number - 1) = nullptr; }

  AdapterExtension* adapter() const { return adapter_; }
  PortExtension* port(int number) const { return ports_.at(number - 1); }
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

  PVOID CommandPipe() const { return adapter_->CommandPipe->PipeHandle; }
  PVOID ResponsePipe() const { return adapter_->ResponsePipe->PipeHandle; }

 private:
  DriverHarness& harness_;
  AdapterFixtureOptions options_;
  std::unique_ptr<adapter_model::Adapter> model_;
  std::unique_ptr<ResponseInjector> injector_;
  sim::usb::BusPort* busPort_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDRIVER_OBJECT monitorDriver_ = nullptr;
  PDEVICE_OBJECT monitor_ = nullptr;
  std::shared_ptr<MonitorState> monitorState_;
  AdapterExtension* adapter_ = nullptr;
  std::vector<PortExtension*> ports_;
  bool started_ = false;
  bool removed_ = false;
};

}  // namespace harness
