// The simulated USB bus below a function driver: a root hub whose ports carry UsbDevice
// models, a bus driver that gives every attached device a physical device object (PDO) and
// serves its URBs, and a full-speed host controller that moves the data on a 1 ms frame clock.
// Host-only.
//
// What a function driver sees (IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB,
// the URB in Parameters.Others.Argument1):
//   - Endpoint 0 requests (get descriptor, select configuration, vendor and class requests,
//     pipe reset) pend and complete at the next frame, one per device per frame; a NAKed one
//     is retried in the following frame. Select configuration checks the descriptor against
//     the device's own (USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR when they differ,
//     USBD_STATUS_INTERFACE_NOT_FOUND for an interface it lacks), opens the pipes of the
//     interfaces the URB lists (aborting the old ones) and fills their information;
//     MaximumTransferSize and PipeFlags are kept as given. Without a descriptor it
//     unconfigures the device and closes every pipe.
//     Abort pipe and get current frame number complete inside IoCallDriver.
//   - Bulk and interrupt transfers pend; the host controller moves them in packets of the
//     pipe's maximum packet size, at most kBulkPacketsPerFrame per frame over the whole bus,
//     one packet per pipe in turn so that no pipe starves (interrupt pipes are scheduled like
//     bulk ones, without their interval). The direction is the endpoint's.
//     An IN transfer ends when it is full or on a short packet. A short packet without
//     USBD_SHORT_TRANSFER_OK fails the transfer with USBD_STATUS_DATA_UNDERRUN (the bytes
//     received are in the buffer and TransferBufferLength) and halts the pipe, as the
//     full-speed host controllers of the time did; a stall fails it with
//     USBD_STATUS_STALL_PID and halts the pipe. A halted pipe keeps its queued transfers until
//     URB_FUNCTION_RESET_PIPE. A transfer longer than the pipe's MaximumTransferSize, or than
//     its MDL, is refused.
//   - Every completion by the host controller runs in its task at DISPATCH_LEVEL. Pending
//     URBs are cancellable (STATUS_CANCELLED, USBD_STATUS_CANCELED).
//   - Refused URBs complete inside IoCallDriver, which returns their status:
//     no URB: STATUS_INVALID_PARAMETER; header Length not that of the function's structure,
//     no buffer for a non-zero length, a descriptor buffer under 2 bytes:
//     USBD_STATUS_INVALID_PARAMETER; function outside the URB set: USBD_STATUS_INVALID_URB_FUNCTION;
//     a pipe handle that is not one of this device's open pipes: USBD_STATUS_INVALID_PIPE_HANDLE
//     (all three with STATUS_INVALID_PARAMETER); functions of the set this bus does not serve:
//     USBD_STATUS_NOT_SUPPORTED with STATUS_NOT_SUPPORTED; a device that has gone:
//     USBD_STATUS_DEVICE_GONE with STATUS_DEVICE_NOT_CONNECTED.
//   - Plug and play requests (and power ones but set-power, below) are answered as
//     io::DefaultBusDispatch answers them, except what the hub driver knows of the device
//     (the device descriptor, the class and the serial number read when the device is
//     presented, as the hub enumerates it, and kept for that presentation; the product string
//     read when asked):
//     QUERY_ID DeviceID "USB\Vid_xxxx&Pid_yyyy", HardwareIDs that with "&Rev_zzzz" then
//     without, CompatibleIDs "USB\Class_cc&SubClass_ss&Prot_pp", "USB\Class_cc&SubClass_ss",
//     "USB\Class_cc" (the first interface's class when the device's is 0), lowercase hex;
//     InstanceID the serial-number string, or the port number when the device has none (or
//     one with characters an instance ID cannot hold); the product string as the
//     description text; capabilities Removable, UniqueID when there is a serial number,
//     Address and UINumber the port number, SurpriseRemovalOK clear (the Windows 2000 hub
//     clears it). Answers are paged pool blocks (tag "UHUB") the caller frees.
//     IRP_MN_REMOVE_DEVICE aborts what is pending and, once the device has gone, deletes the
//     PDO as soon as nothing is attached to it any more; a device still there is left
//     unconfigured and in D0 for the next stack.
//   - Power, as the hub does: IRP_MN_SET_POWER DevicePowerState D1-D3 suspends the device's
//     port: every transfer pending on it (endpoint 0 and pipes) comes back from the host
//     controller at DISPATCH_LEVEL with STATUS_CANCELLED, USBD_STATUS_CANCELED; the pipes stay
//     open and nothing is polled. While suspended, URBs other than abort pipe and get current
//     frame number (which need no traffic) are refused inside IoCallDriver with
//     STATUS_DEVICE_POWERED_OFF and USBD_STATUS_NOT_ACCESSED (the request never reached the
//     bus). D0 resumes the port. Either way the PDO records the state with PoSetPowerState and
//     the request succeeds; system set-power and query power just succeed. A device detached
//     while its port is suspended leaves at once for the bus (its URBs fail DEVICE_GONE), but
//     the hub, which does not poll a suspended port, tells plug and play (PnpHandlers::
//     departed) only when a D0 request reaches the old PDO. BusPort's power faults below make
//     set-power requests pend or fail, and a device lose its power while suspended.
//
// Verifier rules reported here (Machine::Report rule names):
//   "URB function requires PASSIVE_LEVEL"  select configuration, pipe reset or abort sent
//                                          above PASSIVE_LEVEL (the real bus driver blocks
//                                          in them)
//   "urb submitted while in flight"        a URB the bus has not given back yet submitted again
//   "transfer buffer submitted while in flight"
//                                          a transfer whose buffer (TransferBuffer or MDL
//                                          range) overlaps that of a pending one, where either
//                                          of the two is IN (the bus writes into it)
//
// Polling: a pipe whose device answered NAK is not polled again until the device calls
// UsbPort::RequestPoll (or the pipe is reset, or its first transfer changes), so an idle
// bus lets virtual time stand still; devices call it whenever an endpoint becomes ready.
//
// Calling context: the host-side routines below may be called from the controlling thread
// or from any task; Attach, Detach and RequestPoll also from device model callbacks and
// clock events. None of them blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "simkernel/machine.h"
#include "simkernel/usb.h"
#include "simkernel/usb_device.h"

namespace sim::usb {

constexpr VirtualTime kFrameLength = kMillisecond;
constexpr unsigned kBulkPacketsPerFrame = 19;

namespace bus {
struct Slot;
}

// One port of the root hub with a device cabled to it. Made by AddPort; lives as long as the
// machine.
class BusPort final : public UsbPort {
 public:
  BusPort(int number, UsbDevice& device) : number_(number), device_(&device) {}

  // The device is presented anew: a new PDO at a new address. Nothing if already attached.
  void Attach() override;
  // The device is gone: its pending transfers fail from the host controller, new ones at
  // once. The PDO stays until plug and play removes it. Nothing if not attached.
  void Detach() override;
  // Every pipe of the device that answered NAK is polled again from the next frame.
  void RequestPoll() override;

  // ---- Faults of a faulty lower driver on one pipe of the device, named by its endpoint
  // address. Each applies to the next `count` transfers on the pipe it can apply to
  // (kForever: until ClearFaults); they outlive presentations.
  static constexpr int kForever = -1;
  // A successful OUT transfer is acknowledged `missing` bytes short: the device takes every
  // byte, the URB comes back with TransferBufferLength that much smaller (0 at least).
  void AcknowledgeOutShort(uint8_t endpoint, ULONG missing, int count = 1);
  // A successful IN transfer is reported `extra` bytes longer than it moved: its
  // TransferBufferLength may exceed the buffer, which holds only what the device sent.
  void ReportInLonger(uint8_t endpoint, ULONG extra, int count = 1);
  // The next IN transactions on the pipe return a zero-length packet without asking the
  // device (whose data stays for later). Like any short packet it ends the transfer: success
  // with the bytes so far under USBD_SHORT_TRANSFER_OK, else USBD_STATUS_DATA_UNDERRUN.
  void SendZeroLengthIn(uint8_t endpoint, int count = 1);

  // ---- Faults of the hub in power requests (IRP_MN_SET_POWER at the PDO, device or system
  // power state), for the next `count` of them. Both may apply to one request.
  // The request pends (IoMarkIrpPending, STATUS_PENDING) and is carried out and completed at
  // the next frame by a hub task at PASSIVE_LEVEL.
  void PendSetPower(int count = 1);
  // The request fails with `status` (an error status) and changes nothing.
  void FailSetPower(NTSTATUS status, int count = 1);
  // The device loses its power while its port is suspended (now or at the next suspend): the
  // next D0 that resumes the port finds the connect status changed. The device model is
  // power-cycled (UsbDevice::PowerLost), the presentation departs as on Detach and the device
  // is presented anew, in one go; the D0 request itself succeeds. Once.
  void LosePowerWhileSuspended() { powerLoss_ = true; }

  // Ends every fault above, an armed power loss too.
  void ClearFaults();
  // Consumed by the bus: the change to a successful transfer's reported length (0 for none),
  // and whether this IN transaction is a zero-length packet.
  long TakeLengthFault(uint8_t endpoint);
  bool TakeZeroLengthIn(uint8_t endpoint);
  // And whether this set-power request pends, the status it fails with (success: none), and
  // whether this resume finds the device lost its power.
  bool TakeSetPowerPend();
  NTSTATUS TakeSetPowerFailure();
  bool TakePowerLoss();

  int Number() const { return number_; }
  UsbDevice& Device() const { return *device_; }
  bool Attached() const;
  PDEVICE_OBJECT Pdo() const;    // the current presentation's PDO; null while detached
  uint8_t Address() const;       // the current presentation's bus address; 0 while detached
  unsigned Presentations() const { return presentations_; }
  // The current presentation's device power state as the last set-power request left it (D0
  // when presented, and after IRP_MN_REMOVE_DEVICE); PowerDeviceUnspecified while detached.
  DEVICE_POWER_STATE PowerState() const;
  bool Suspended() const { return PowerState() > PowerDeviceD0; }

 private:
  friend struct bus::Slot;
  int number_;
  UsbDevice* device_;
  std::shared_ptr<bus::Slot> current_;
  unsigned presentations_ = 0;
  struct Rule {
    long value;
    int count;
  };
  std::map<uint8_t, Rule> lengthFaults_;
  std::map<uint8_t, Rule> zeroLengthIn_;
  static bool TakeRule(Rule& rule);
  Rule pendSetPower_{0, 0};
  Rule failSetPower_{0, 0};
  bool powerLoss_ = false;
};

// Cables a device to a new port of the root hub. The device is not presented until Attach
// (device models attach themselves when they are plugged in).
BusPort& AddPort(UsbDevice& device);
// AddPort and Attach: the PDO of the device.
PDEVICE_OBJECT Plug(UsbDevice& device, BusPort** port = nullptr);
void Unplug(BusPort& port);
// The port behind a PDO of this bus (current or earlier presentation); null otherwise.
BusPort* PortOfPdo(PDEVICE_OBJECT pdo);

// The plug and play manager's side: told when a device is presented and when it goes (the
// bus relations changed). Called where Attach or Detach was called; must not block (spawn a
// task for the plug and play requests).
struct PnpHandlers {
  std::function<void(BusPort& port, PDEVICE_OBJECT pdo)> arrived;
  std::function<void(BusPort& port, PDEVICE_OBJECT pdo)> departed;
};
void SetPnpHandlers(PnpHandlers handlers);
// The manager has taken the hub's relations: every detached device now counts as reported
// missing, and its PDO is deleted once it has had IRP_MN_REMOVE_DEVICE and nothing is attached.
// (Without handlers a detached device counts as reported missing at once.)
void HubRelationsTaken();

struct BusStatistics {
  uint64_t frames = 0;              // frames the host controller ran
  uint64_t bulkPackets = 0;         // bulk and interrupt transactions (ACK, NAK or STALL)
  uint64_t bulkBytes = 0;           // bytes moved by them
  uint64_t naks = 0;
  uint64_t stalls = 0;
  uint64_t controlTransfers = 0;    // endpoint 0 requests carried out
  uint64_t transfersCompleted = 0;  // URBs given back after they had pended
  uint64_t urbsRefused = 0;         // URBs failed inside IoCallDriver
  unsigned maxBulkPacketsInFrame = 0;
  // Frames by the number of bulk transactions they carried.
  std::map<unsigned, uint64_t> framesByBulkPackets;
};
BusStatistics Statistics();

// Every URB submission and completion from now on goes to a pcap file (see usb_capture.h);
// replaces any earlier capture. False (with the reason in *error) if the file cannot be made.
bool StartCapture(const std::string& path, std::string* error = nullptr);
// Flushes and closes the capture; returns the records it holds.
uint64_t StopCapture();

}  // namespace sim::usb
