// Ports of the root hub, devices attaching and detaching, the PDO of each presentation, and
// the host-side statistics and capture controls.
#include <string>

#include "simkernel/io.h"
#include "usb_bus_internal.h"

namespace sim::usb {
namespace bus {

BusState& Bus() { return Machine::Current().State<BusState>(); }

PVOID NewHandle() {
  // Opaque values never handed out twice, so a stale handle is never mistaken for a live one.
  return reinterpret_cast<PVOID>(uintptr_t(0x5B000000) + (uintptr_t(Bus().nextHandle++) << 4));
}

// A bus driver deletes a PDO only once it has reported the device missing and been sent
// IRP_MN_REMOVE_DEVICE (a removal before that keeps it: the manager sends another).
void TryDeletePdo(const std::shared_ptr<Slot>& slot) {
  if (slot->pdoDeleted || !slot->removeReceived || !slot->reportedMissing || slot->pdo->AttachedDevice) return;
  slot->pdoDeleted = true;
  IoDeleteDevice(slot->pdo);
}

void SweepRemovedPdos() {
  const auto slots = Bus().slots;
  for (const auto& slot : slots) TryDeletePdo(slot);
}

}  // namespace bus

using bus::Bus;
using bus::BusState;
using bus::Slot;

void BusPort::Attach() {
  if (current_) return;
  BusState& bus = Bus();
  auto slot = std::make_shared<Slot>();
  slot->port = this;
  slot->device = device_;
  slot->address = bus.nextAddress;
  slot->identity = bus::EnumerateDevice(*device_);
  bus.nextAddress = bus.nextAddress >= 127 ? 1 : bus.nextAddress + 1;
  const std::string number = std::to_string(++bus.nextPdoNumber);
  io::PhysicalDeviceOptions options;
  options.name = u"\\Device\\USBPDO-" + std::u16string(number.begin(), number.end());
  options.handler = [slot](PDEVICE_OBJECT pdo, PIRP irp) { return bus::DispatchPdo(slot, pdo, irp); };
  slot->pdo = io::CreatePhysicalDevice(std::move(options));
  if (!slot->pdo) throw std::logic_error("the USB bus could not create a PDO");
  bus::SweepRemovedPdos();
  bus.slots.push_back(slot);
  Slot::SetCurrent(*this, slot);
  bus::EnsureController();
  if (bus.pnp.arrived) bus.pnp.arrived(*this, slot->pdo);
}

void BusPort::Detach() {
  if (!current_) return;
  std::shared_ptr<Slot> slot = std::move(current_);
  current_.reset();
  slot->present = false;
  bus::RequestService();
  BusState& bus = Bus();
  // Without a plug-and-play manager nobody asks the hub: the device counts as reported gone.
  if (!bus.pnp.departed) slot->reportedMissing = true;
  // The hub does not poll a suspended port: it finds the device gone when it resumes it.
  else if (bus::Suspended(*slot)) slot->noticeHeld = true;
  else bus.pnp.departed(*this, slot->pdo);
}

void BusPort::RequestPoll() {
  if (!current_) return;
  for (auto& pipe : current_->pipes) pipe->parked = false;
  bus::ScheduleFrame();
}

bool BusPort::Attached() const { return current_ != nullptr; }

PDEVICE_OBJECT BusPort::Pdo() const { return current_ ? current_->pdo : nullptr; }

uint8_t BusPort::Address() const { return current_ ? current_->address : 0; }

BusPort& AddPort(UsbDevice& device) {
  BusState& bus = Bus();
  bus.ports.push_back(std::make_unique<BusPort>(static_cast<int>(bus.ports.size()) + 1, device));
  return *bus.ports.back();
}

PDEVICE_OBJECT Plug(UsbDevice& device, BusPort** port) {
  BusPort& added = AddPort(device);
  if (port) *port = &added;
  added.Attach();
  return added.Pdo();
}

void Unplug(BusPort& port) { port.Detach(); }

BusPort* PortOfPdo(PDEVICE_OBJECT pdo) {
  for (const auto& slot : Bus().slots)
    if (slot->pdo == pdo) return slot->port;
  return nullptr;
}

void SetPnpHandlers(PnpHandlers handlers) { Bus().pnp = std::move(handlers); }

void HubRelationsTaken() {
  for (const auto& slot : Bus().slots)
    if (!slot->present) slot->reportedMissing = true;
}

BusStatistics Statistics() { return Bus().stats; }

bool StartCapture(const std::string& path, std::string* error) {
  std::unique_ptr<Capture> capture = Capture::Open(path, error);
  if (!capture) return false;
  Bus().capture = std::move(capture);
  return true;
}

uint64_t StopCapture() {
  BusState& bus = Bus();
  if (!bus.capture) return 0;
  bus.capture->Flush();
  const uint64_t records = bus.capture->RecordCount();
  bus.capture.reset();
  return records;
}

}  // namespace sim::usb
