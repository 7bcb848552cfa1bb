// Per-machine state of the simulated USB bus, shared by usb_bus_*.cpp.
//
// Locking: kernel-side code (dispatch, host controller, cancel routine) changes queues, the
// transfer table and the pipe handles only under BusState::lock, and never calls a driver
// while holding it. Host-side entries (Attach, Detach, RequestPoll; they may run inside a
// device callback of the host controller) only set flags and create presentations.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simkernel/machine.h"
#include "simkernel/usb.h"
#include "simkernel/usb_bus.h"
#include "simkernel/usb_capture.h"
#include "simkernel/usb_device.h"

namespace sim::usb::bus {

struct Pipe;

// What a pending URB asks of the bus.
enum class Work {
  Descriptor,           // GET_DESCRIPTOR_FROM_DEVICE
  Request,              // vendor or class request
  SelectConfiguration,  // with or without a configuration descriptor
  ResetPipe,
  Data,                 // bulk or interrupt transfer
};

struct Transfer {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Work work = Work::Data;
  Slot* slot = nullptr;          // presentations live as long as the bus
  Pipe* pipe = nullptr;          // Data and ResetPipe; null once the pipe was closed
  PVOID pipeHandle = nullptr;    // as the URB named it
  uint8_t endpoint = 0;          // for the capture
  PcapTransfer pipeType = PcapTransfer::Bulk;
  uint8_t* buffer = nullptr;
  ULONG length = 0;
  ULONG done = 0;                // bytes moved so far
  bool in = false;
  bool shortOk = false;
  SetupPacket setup;             // Descriptor and Request
  bool cancelled = false;        // the cancel routine owns it
};
using TransferPtr = std::shared_ptr<Transfer>;

struct Pipe {
  PVOID handle = nullptr;
  Slot* slot = nullptr;           // presentations live as long as the bus
  uint8_t endpoint = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint16_t maxPacket = 64;
  uint8_t interval = 0;
  ULONG maxTransfer = 0;
  bool halted = false;
  bool parked = false;           // NAKed; waits for RequestPoll
  std::deque<TransferPtr> queue; // the first one is on the bus
};

// What the hub learnt of a device when it enumerated it: the device descriptor's IDs, the
// class, the serial number. Windows keeps these from the device's reset and addressing on, so
// a device that answers differently later keeps its IDs for this presentation.
struct Identity {
  uint16_t vendor = 0, product = 0, revision = 0;
  uint8_t deviceClass = 0, subClass = 0, protocol = 0;
  uint8_t productString = 0;  // index; the text is read when asked
  std::u16string serial;      // empty: none usable
};

// One presentation of a device: what plug and play sees as one device, with its own PDO.
struct Slot {
  BusPort* port = nullptr;
  UsbDevice* device = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  uint8_t address = 0;
  bool present = true;           // false once detached
  bool removeReceived = false;   // IRP_MN_REMOVE_DEVICE seen after the device went
  bool reportedMissing = false;  // the hub's relations no longer list it
  bool pdoDeleted = false;
  // D1-D3: the port is suspended, nothing moves on it. Changed under the bus lock.
  DEVICE_POWER_STATE power = PowerDeviceD0;
  bool noticeHeld = false;       // detached while suspended: the hub tells at the resume
  std::deque<TransferPtr> control;  // endpoint 0, first one next
  std::vector<std::unique_ptr<Pipe>> pipes;  // open pipes of the selected configuration
  PVOID configurationHandle = nullptr;
  uint8_t configurationValue = 0;
  std::optional<Identity> identity;  // null: the descriptor could not be read at enumeration

  static void SetCurrent(BusPort& port, std::shared_ptr<Slot> slot) {
    port.current_ = std::move(slot);
    if (port.current_) ++port.presentations_;
  }
};

struct BusState {
  BusState() = default;
  BusState(const BusState&) = delete;
  BusState& operator=(const BusState&) = delete;

  KSPIN_LOCK lock = 0;
  std::vector<std::unique_ptr<BusPort>> ports;
  std::vector<std::shared_ptr<Slot>> slots;        // every presentation, in order
  std::map<PVOID, Pipe*> pipes;                    // open pipe handles
  std::map<PIRP, TransferPtr> pending;             // every pending URB, for cancel
  uint64_t nextHandle = 1;
  uint8_t nextAddress = 1;
  unsigned nextPdoNumber = 0;

  // Host controller.
  Task* controller = nullptr;
  bool frameDue = false;
  bool serviceDue = false;       // a device went: fail its transfers
  std::optional<uint64_t> frameEvent;
  PVOID lastServedPipe = nullptr;  // round-robin position

  BusStatistics stats;
  std::unique_ptr<Capture> capture;
  PnpHandlers pnp;
};

BusState& Bus();
PVOID NewHandle();

// ---- usb_bus_urb.cpp: the PDO's dispatch and what it shares with the host controller ----
NTSTATUS DispatchPdo(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp);
// ---- usb_bus_power.cpp: the PDO's power requests, suspending and resuming its port ----
NTSTATUS DispatchPdoPower(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp);
inline bool Suspended(const Slot& slot) { return slot.power != PowerDeviceD0; }
// ---- usb_bus_pnp.cpp: the hub's identification and capability answers for the PDO ----
NTSTATUS DispatchPdoPnp(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp);
std::optional<Identity> EnumerateDevice(UsbDevice& device);
NTSTATUS MapStatus(USBD_STATUS status);
// Writes the outcome into the URB, records it, and completes the IRP (the caller has
// raised to DISPATCH_LEVEL when it is the host controller).
void CompleteTransfer(const TransferPtr& transfer, USBD_STATUS status);
// Completes a transfer the caller has taken off its queues, unless its cancel routine
// owns it now. Raises to DISPATCH_LEVEL for the completion.
void ClaimAndComplete(const TransferPtr& transfer, USBD_STATUS status);
// Takes every transfer of a slot (endpoint 0 and its pipes) off the queues; with the lock held.
std::vector<TransferPtr> TakeAllTransfers(Slot& slot);
// Closes the slot's pipes (handles become invalid); their transfers are returned. Lock held.
std::vector<TransferPtr> ClosePipes(Slot& slot);
void RecordSubmit(const Transfer& transfer);

// ---- usb_bus_controller.cpp ----
void EnsureController();
// Arranges the next frame if anything could move in it.
void ScheduleFrame();
// Wakes the host controller to end the transfers of a device that went or was suspended.
void RequestService();

// ---- usb_bus_control.cpp: endpoint 0 work, in the host controller's frame ----
enum class ControlOutcome { Done, Nak };
ControlOutcome RunControl(Slot& slot, Transfer& transfer, USBD_STATUS* status,
                          std::vector<TransferPtr>* aborted);

// ---- usb_bus_attach.cpp ----
void TryDeletePdo(const std::shared_ptr<Slot>& slot);
void SweepRemovedPdos();

}  // namespace sim::usb::bus
