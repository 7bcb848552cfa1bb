// Host-side view of the simulated I/O, plug-and-play and power managers: loading drivers,
// a built-in bus driver for physical device objects, and the application's side of I/O.
//
// Calling context: every routine here may be called from the controlling (test) thread or from
// an application task. From the controlling thread, work that must run in the machine runs in
// a fresh application task (as Machine::RunTask does); synchronous forms then run the machine
// until the request has completed. From an application task they run in that task and block it
// while they wait. Asynchronous forms return once IoCallDriver has returned.
//
// Verifier rules reported by the I/O and power managers (Machine::Report rule names):
//   "irp completed twice"                     "irp completed after free"
//   "irp completed with cancel routine set"   "irp completed with pending status"
//   "irp completed above dispatch level"      "driver irp completed to top"
//   "irp freed while in flight"               "irp freed twice"
//   "free of unknown irp"                     "irp reused while in flight"
//   "irp used after free"                     "irp packet too small"
//   "irp stack overflow"                      "irp sent to deleted device"
//   "null dispatch routine"                   "irp not completed but status returned"
//   "pending returned without IoMarkIrpPending"
//   "IoMarkIrpPending without pending returned"
//   "irql changed by dispatch routine"        "spin lock held on dispatch return"
//   "cancel spin lock acquired twice"         "cancel spin lock released without being held"
//   "cancel routine kept cancel spin lock"    "cancel routine changed irql"
//   "cancel routine on completed irp"         "information exceeds buffer"
//   "irp passed down holding cancel spin lock" "irp completed holding cancel spin lock"
//   "irp passed down holding spin lock"       "irp completed holding spin lock"
//   "device initializing flag not cleared"    "device deleted holding queued dpc or set timer"
//   "device deleted twice"                    "device deleted while attached"
//   "driver unloaded with devices"            "device detached but not attached"
//   "object reference count underflow"        "work item freed while queued"
//   "mdl mapped without being built"          "mdl built on paged pool"
//   "free of unknown mdl"
//   "PoStartNextPowerIrp not called"          "PoStartNextPowerIrp called twice"
//   "PoStartNextPowerIrp on non-power irp"    "power irp passed with IoCallDriver"
//   "malformed unicode string" (run-time library)
//   "symbolic link routine above PASSIVE_LEVEL" "symbolic link left at unload"
//   "device interface routine above PASSIVE_LEVEL"
//   "device interface enabled on deleted device"
//   (and the pool rules listed in pool.h, among them "pool leak at unload", and the registry
//   rules listed in registry.h, among them "registry handle leaked at unload")
//
// What a driver leaves behind is attributed to the driver whose code made it: a handle or link
// made while one of its dispatch routines, DriverEntry, DriverUnload or AddDevice runs (a link
// naming one of its devices is its own wherever it was made). Handles opened outside any
// driver's code (a test, a worker thread) are reported at the next unload of any driver.
//
// Power: PoCallDriver calls a device without DO_POWER_PAGABLE at DISPATCH_LEVEL, and hands a
// request for a pageable device sent above PASSIVE_LEVEL to a worker thread (returning
// STATUS_PENDING), as Windows 2000 does. Set and query power requests are serialised per
// device object, one of system power type and one of device power type active at a time (a
// driver holding a system request may be sent a device request for the same device): a
// PoCallDriver of another of the same type returns STATUS_PENDING and the request waits until
// PoStartNextPowerIrp is called for the active one at that device, then goes from a worker
// thread. A power-up to D0 of a DO_POWER_INRUSH device also waits for any other such power-up
// in the machine. A missing or repeated PoStartNextPowerIrp is reported; a missing one also
// leaves the device's later requests of that type waiting, as on Windows. System transitions
// over the device tree are in simkernel/power.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simkernel/wdm.h"

namespace sim::io {

// ---- Drivers --------------------------------------------------------------------------------

// Creates the driver object "\Driver\<name>" (every MajorFunction preset to a handler that
// completes with STATUS_INVALID_DEVICE_REQUEST, a DriverExtension whose ServiceKeyName is
// `name`) and calls `entry` with `registryPath` at PASSIVE_LEVEL in an application task.
// Returns DriverEntry's status; *driver is set either way (a failed driver stays listed as not
// loaded; its pool leaks are reported as at unload).
NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, std::u16string_view registryPath,
                    PDRIVER_OBJECT* driver);
// Calls DriverUnload (if set), reports devices the driver left behind, sweeps the pool
// quarantine and reports every outstanding pool block as "pool leak at unload". Returns false
// if the driver has no unload routine (it then stays loaded and nothing is checked).
bool UnloadDriver(PDRIVER_OBJECT driver);
// The loaded driver of a service (matched without regard to case), or null.
PDRIVER_OBJECT LoadedDriver(std::u16string_view serviceName);
bool IsLoaded(PDRIVER_OBJECT driver);
// Calls the driver's AddDevice for a physical device object at PASSIVE_LEVEL. Reports a device
// the driver attached on top of `pdo` that still has DO_DEVICE_INITIALIZING afterwards.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// ---- Devices and names ------------------------------------------------------------------------

// Names are matched without regard to case, and "\DosDevices\X" is "\??\X" (on Windows 2000
// the former is a symbolic link to the latter).
// The device a kernel name refers to, following symbolic links; null if none.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
std::u16string DeviceName(PDEVICE_OBJECT device);     // "" for an unnamed device
bool IsDeleted(PDEVICE_OBJECT device);               // IoDeleteDevice was called on it
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);    // the device it is attached to, or null
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);     // highest device attached above (no reference)
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);  // live devices, creation order
// Name table entries for symbolic links (used by whoever implements IoCreateSymbolicLink).
NTSTATUS CreateSymbolicLink(std::u16string_view link, std::u16string_view target);
NTSTATUS DeleteSymbolicLink(std::u16string_view link);
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);
LONG ObjectReferenceCount(PVOID object);  // references taken with ObReferenceObject and not released

// Device interfaces registered with IoRegisterDeviceInterface, in registration order.
struct DeviceInterface {
  std::u16string symbolicLink;     // "\??\ZELBUS#BRPORTS01#01#{guid}" (plus "\ref")
  PDEVICE_OBJECT device = nullptr;  // the physical device object
  GUID classGuid{};
  std::u16string referenceString;
  bool enabled = false;            // IoSetDeviceInterfaceState: the link exists
};
std::vector<DeviceInterface> DeviceInterfaces(const GUID& classGuid);
std::u16string GuidText(const GUID& guid);  // "{4d36e978-e325-11ce-bfc1-08002be10318}"

// ---- Built-in bus driver (physical device objects for tests) -------------------------------

using DispatchHandler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

struct PhysicalDeviceOptions {
  std::u16string name;                 // empty: an autogenerated name such as "\Device\00000003"
  DEVICE_TYPE type = FILE_DEVICE_UNKNOWN;
  ULONG flags = DO_POWER_PAGABLE;
  DispatchHandler handler;             // empty: DefaultBusDispatch
};
PDEVICE_OBJECT CreatePhysicalDevice(PhysicalDeviceOptions options = {});
void SetPhysicalDeviceHandler(PDEVICE_OBJECT pdo, DispatchHandler handler);
PDRIVER_OBJECT BusDriver();
// What the built-in bus driver does: plug-and-play state changes and capability queries
// succeed (capabilities: D0 in working, D3 elsewhere), other plug-and-play requests keep the
// status they came with; power requests succeed (set-power records the state with
// PoSetPowerState), wait-wake fails with STATUS_NOT_SUPPORTED; everything else fails with
// STATUS_INVALID_DEVICE_REQUEST. Completes every request with IO_NO_INCREMENT.
NTSTATUS NTAPI DefaultBusDispatch(PDEVICE_OBJECT pdo, PIRP irp);

// ---- Requests -------------------------------------------------------------------------------

// What the application saw when a request finished.
struct Result {
  NTSTATUS status = STATUS_PENDING;    // final status
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;         // bytes returned to the caller (read data, ioctl output)
  CCHAR boost = 0;                     // priority boost given at completion
  NTSTATUS dispatchStatus = STATUS_PENDING;  // what IoCallDriver returned
};

// An asynchronous request. Copyable handle; the request lives while any handle does.
class Request {
 public:
  struct State;
  Request() = default;
  explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

  bool Valid() const { return state_ != nullptr; }
  uint64_t Id() const;
  bool IsComplete() const;
  NTSTATUS Status() const;             // STATUS_PENDING until complete
  ULONG_PTR Information() const;
  std::vector<uint8_t> Output() const;
  CCHAR PriorityBoost() const;
  NTSTATUS DispatchStatus() const;     // what IoCallDriver returned
  PIRP Irp() const;                    // the IRP while it is in flight, else null
  // IoCancelIrp on the request's IRP; false if it has completed or had no cancel routine.
  bool Cancel();
  // Waits for completion (see calling context above) and returns the result.
  Result Wait();
  Result Snapshot() const;             // the result so far

 private:
  std::shared_ptr<State> state_;
};

// A request with any major function, for what the helpers below do not cover.
struct RawIrp {
  UCHAR major = IRP_MJ_DEVICE_CONTROL;
  UCHAR minor = 0;
  NTSTATUS initialStatus = STATUS_SUCCESS;  // IoStatus.Status before dispatch
  // Buffer the request carries in AssociatedIrp.SystemBuffer; when copyBack is set, the first
  // Information bytes are returned in Result::output after completion.
  std::vector<uint8_t> systemBuffer;
  bool copyBack = false;
  // Fills Parameters (and anything else) of the stack location the target will see.
  std::function<void(PIO_STACK_LOCATION)> setup;
};

// ---- Application I/O ------------------------------------------------------------------------

// IRP_MJ_CREATE with a new FILE_OBJECT, sent to the top of the stack of the named device
// (the rest of the name after the device name becomes FileName). On success *file is the open
// file object; on failure it is null and the file object is discarded.
NTSTATUS Open(std::u16string_view name, PFILE_OBJECT* file);
NTSTATUS OpenDevice(PDEVICE_OBJECT device, PFILE_OBJECT* file, std::u16string_view fileName = u"");
// Closes the handle: IRP_MJ_CLEANUP at once (its status in *cleanupStatus), IRP_MJ_CLOSE when
// the file object's last reference is gone. The I/O manager holds one for each request issued
// on the file until it completes to the top, and drivers hold theirs with ObReferenceObject.
// With none left, the close is sent here and its status returned; otherwise STATUS_PENDING is
// returned and the close goes from a worker thread once the last reference is released.
NTSTATUS Close(PFILE_OBJECT file, NTSTATUS* cleanupStatus = nullptr);
// The status IRP_MJ_CLOSE completed with; none before it has.
std::optional<NTSTATUS> CloseStatus(PFILE_OBJECT file);
PDEVICE_OBJECT FileTarget(PFILE_OBJECT file);  // the device the file's requests go to

Result Read(PFILE_OBJECT file, ULONG length, LONGLONG offset = 0);
Result Write(PFILE_OBJECT file, std::span<const uint8_t> data, LONGLONG offset = 0);
Result DeviceControl(PFILE_OBJECT file, ULONG code, std::span<const uint8_t> input, ULONG outputLength);
Result Send(PFILE_OBJECT file, RawIrp irp);

Request ReadAsync(PFILE_OBJECT file, ULONG length, LONGLONG offset = 0);
Request WriteAsync(PFILE_OBJECT file, std::span<const uint8_t> data, LONGLONG offset = 0);
Request DeviceControlAsync(PFILE_OBJECT file, ULONG code, std::span<const uint8_t> input, ULONG outputLength);
Request SendAsync(PFILE_OBJECT file, RawIrp irp);

// Requests to a device object without a file (internal device control, raw IRPs): sent to
// `device` itself, not to the top of its stack.
Result InternalDeviceControl(PDEVICE_OBJECT device, ULONG code, std::span<const uint8_t> input,
                             ULONG outputLength);
Result Send(PDEVICE_OBJECT device, RawIrp irp);
Request SendAsync(PDEVICE_OBJECT device, RawIrp irp);

// ---- Plug and play and power, as the managers send them --------------------------------------

// IRP_MJ_PNP with the minor function, to the top of the device's stack, Status preset to
// STATUS_NOT_SUPPORTED. `setup` fills the parameters.
Result SendPnp(PDEVICE_OBJECT device, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup = {});
Request SendPnpAsync(PDEVICE_OBJECT device, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup = {});
// IRP_MJ_POWER through PoCallDriver to the top of the device's stack, Status preset to
// STATUS_NOT_SUPPORTED.
Result SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                 POWER_ACTION action = PowerActionNone);
Request SendPowerAsync(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                       POWER_ACTION action = PowerActionNone);

// The last state a device reported with PoSetPowerState (PowerSystemUnspecified /
// PowerDeviceUnspecified if never), and every call in order.
POWER_STATE RecordedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);
struct PowerStateChange {
  PDEVICE_OBJECT device;
  POWER_STATE_TYPE type;
  ULONG state;
  ULONG previous;
};
std::vector<PowerStateChange> PowerStateHistory();
// Device power requests asked for with PoRequestPowerIrp, in order.
struct PowerRequestRecord {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  NTSTATUS status = STATUS_PENDING;  // final status once completed
};
std::vector<PowerRequestRecord> PowerRequests();

// ---- IRPs ------------------------------------------------------------------------------------

size_t InFlightIrpCount();  // dispatched and not yet completed
size_t AllocatedIrpCount();  // allocated with IoAllocateIrp and not yet freed
// Failure injection for IRPs and MDLs drivers ask for (IoAllocateIrp, IoBuild*Request,
// PoRequestPowerIrp, IoAllocateMdl); the managers' own requests never fail. Skip `skip`
// allocations, then fail `count`. A new call replaces the previous plan.
void FailNextIrpAllocations(int count, int skip = 0);
void FailNextMdlAllocations(int count, int skip = 0);
// IoAttachDeviceToDeviceStack returns NULL, as it does when the stack it would join is being
// torn down: skip `skip` attachments, then fail `count`.
void FailNextAttachments(int count, int skip = 0);

}  // namespace sim::io
