// Per-machine state of the simulated I/O and power managers, shared by io_*.cpp and power.cpp.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel_objects.h"
#include "simkernel/io.h"
#include "simkernel/machine.h"

namespace sim::iom {

constexpr CSHORT kTypeDevice = 3;
constexpr CSHORT kTypeDriver = 4;
constexpr CSHORT kTypeFile = 5;
constexpr CSHORT kTypeIrp = 6;
constexpr CSHORT kMdlPagesLocked = 0x0002;

// Who made an IRP decides what happens when it completes to the top.
enum class IrpOrigin {
  Driver,    // IoAllocateIrp: must be taken back by a completion routine
  External,  // IoInitializeIrp on the caller's memory: same
  Built,     // IoBuild*Request: status block, event, copy-back, freed by the I/O manager
  Manager,   // the simulated application, PnP or power manager: results captured by onTop
};

struct IrpRecord {
  uint64_t serial = 0;
  PIRP irp = nullptr;
  IrpOrigin origin = IrpOrigin::Driver;
  bool ownsMemory = false;   // allocated here; IoFreeIrp or the manager releases it
  bool freed = false;
  bool inFlight = false;     // dispatched and not yet completed
  bool completedToTop = false;
  bool everDispatched = false;
  // The application is cancelling it: as on Windows, where the issuing thread frees its own
  // requests, the memory stays valid until that cancel returns.
  int cancelHolds = 0;
  bool releaseDeferred = false;

  // Buffers the I/O manager made for this request.
  std::unique_ptr<uint8_t[]> systemBuffer;
  uint8_t* copyBackTo = nullptr;  // caller's buffer that receives the output
  ULONG copyBackLength = 0;
  bool copyBackFromSystemBuffer = false;
  std::optional<ULONG_PTR> maxInformation;  // Information above this is a driver bug

  UCHAR major = 0;  // as last dispatched, for reports
  UCHAR minor = 0;

  // Called at completion to the top with the final status, the priority boost and the
  // number of bytes delivered to the caller's buffer.
  std::function<void(const IO_STATUS_BLOCK&, CCHAR, ULONG_PTR)> onTop;

  // Locations whose dispatch routine returned STATUS_PENDING before they were marked.
  std::set<int> pendingOwed;

  // Power bookkeeping: who the IRP was dispatched to, and their PoStartNextPowerIrp calls.
  std::vector<std::pair<PDEVICE_OBJECT, int>> powerDispatches;
  std::map<PDEVICE_OBJECT, int> powerStarts;
  std::set<PDEVICE_OBJECT> powerReported;

  // When set, every device a dispatch routine is called for, in order: the plug-and-play
  // manager checks that its requests reached the bottom of the stack.
  std::shared_ptr<std::vector<PDEVICE_OBJECT>> dispatchLog;
};

// One dispatch routine call in progress, kept so its return can be checked against the
// pending mark even if the IRP is freed before the routine returns.
struct Frame {
  uint64_t serial = 0;
  int location = 0;
  bool marked = false;
  bool passed = false;  // completion has already gone past this location
  bool skipPendingCheck = false;
};

struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  uint64_t serial = 0;
  std::unique_ptr<uint8_t[]> memory;
  ULONG extensionSize = 0;
  std::u16string name;
  PDEVICE_OBJECT lower = nullptr;
  bool deleted = false;
  io::DispatchHandler handler;  // devices of the built-in bus driver
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
  std::u16string driverName;
  std::u16string serviceName;
  std::u16string registryPath;
  UNICODE_STRING registryPathString{};
  bool loaded = false;
};

struct FileRecord {
  std::unique_ptr<FILE_OBJECT> file;
  std::u16string fileName;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT target = nullptr;
  bool open = false;          // the handle is valid
  // The I/O manager's reference for each request it issued on the file and that has not
  // completed to the top yet; IRP_MJ_CLOSE waits for these and for ObReferenceObject's.
  int requestsInFlight = 0;
  bool cleanedUp = false;     // the handle closed and IRP_MJ_CLEANUP came back
  bool closeSent = false;
  std::optional<NTSTATUS> closeStatus;
};

struct FailurePlan {
  int skip = 0;
  int count = 0;
  bool Consume();
};

struct IoState {
  std::unordered_map<PIRP, IrpRecord> irps;
  std::deque<std::pair<PIRP, uint64_t>> freedIrps;  // freed IRP memory kept a while so late use is detected
  uint64_t nextIrpSerial = 1;
  std::vector<Frame*> frames;
  std::set<std::pair<uint64_t, int>> pendingReported;  // (serial, location) already reported

  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
  uint64_t nextDeviceSerial = 1;
  ULONG nextAutoName = 1;
  std::map<std::u16string, PDEVICE_OBJECT> names;  // folded name -> device
  std::map<std::u16string, std::u16string> links;  // NameKey of the link -> target
  // Links drivers made with IoCreateSymbolicLink, by NameKey: the driver they belong to.
  std::map<std::u16string, PDRIVER_OBJECT> driverLinks;
  // The driver whose code each task is running, innermost last (dispatch routines, DriverEntry,
  // DriverUnload, AddDevice).
  std::unordered_map<const Task*, std::vector<PDRIVER_OBJECT>> driverCode;
  std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
  std::map<PFILE_OBJECT, FileRecord> files;
  std::unordered_map<const void*, LONG> references;
  std::set<PMDL> mdls;
  KSPIN_LOCK cancelLock = 0;
  FailurePlan irpFailures;
  FailurePlan mdlFailures;
  FailurePlan attachFailures;
  uint64_t nextRequestId = 1;
  PDRIVER_OBJECT busDriver = nullptr;

  std::unordered_map<PDEVICE_OBJECT, POWER_STATE> systemPower;
  std::unordered_map<PDEVICE_OBJECT, POWER_STATE> devicePower;
  std::vector<io::PowerStateChange> powerHistory;
  std::vector<io::PowerRequestRecord> powerRequests;

  // Told after a handle's IRP_MJ_CLOSE has released its device (the plug-and-play manager
  // waits for the last one before it removes a surprise-removed device).
  std::function<void(PDEVICE_OBJECT)> handleClosed;

  IoState() = default;
  IoState(const IoState&) = delete;
  IoState& operator=(const IoState&) = delete;
  ~IoState();
};

IoState& Io();
void Report(const std::string& rule, const std::string& detail);
void SetCall(const char* call);
KIRQL CurrentIrql();

// IRPs.
IrpRecord* FindIrp(PIRP irp);
IrpRecord& TrackIrp(PIRP irp, IrpOrigin origin, bool ownsMemory);
// Allocates and initialises an IRP; null if an injected failure applies (injectable only).
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, bool injectable);
// A request the plug-and-play or power manager sends to the top of `device`'s stack, from the
// calling thread: kernel mode, Status STATUS_NOT_SUPPORTED, the codes in the next location.
PIRP AllocateManagerIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
void ReleaseIrp(PIRP irp);  // marks freed and quarantines the memory
std::string Describe(const IrpRecord& record);
std::string MajorName(UCHAR major);
// IoCallDriver's work; viaPo when PoCallDriver sends it, skipPendingCheck when the power
// manager dispatches a request it already marked pending.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo, bool skipPendingCheck);
bool IsError(NTSTATUS status);

// Buffers of a request as the I/O manager sets them up for the target device (read/write by
// the device's DO_BUFFERED_IO / DO_DIRECT_IO, device control by the code's method). The
// caller's buffer must outlive the request. False if an MDL could not be allocated.
bool SetUpTransferBuffers(PIRP irp, IrpRecord& record, PDEVICE_OBJECT device, bool read, void* buffer,
                          ULONG length, bool injectable);
bool SetUpIoctlBuffers(PIRP irp, IrpRecord& record, PIO_STACK_LOCATION sp, ULONG code, const void* input,
                       ULONG inputLength, void* output, ULONG outputLength, bool injectable);

// MDLs.
PMDL AllocateMdl(PVOID address, ULONG length, bool injectable);
void FreeMdl(PMDL mdl);
void LockMdl(PMDL mdl);  // as after MmProbeAndLockPages

// Whose code runs: what the kernel attributes a driver's handles and links to.
class DriverCode {
 public:
  explicit DriverCode(PDRIVER_OBJECT driver);
  ~DriverCode();
  DriverCode(const DriverCode&) = delete;
  DriverCode& operator=(const DriverCode&) = delete;

 private:
  const Task* task_;
};
PDRIVER_OBJECT RunningDriver();  // null outside any driver's code (a test, a worker thread)

// A driver's code has gone (unload or failed DriverEntry): what it left behind is reported.
void ReportLeftAtUnload(PDRIVER_OBJECT driver);
void ReportRegistryHandlesAtUnload(PDRIVER_OBJECT driver);
// IoDeleteDevice's check of the device interfaces of the stack the device belongs to.
void DeviceInterfacesOnDelete(PDEVICE_OBJECT device);
// IoDeleteDevice's check of the device's WMI registration.
void WmiOnDelete(PDEVICE_OBJECT device);

// Devices.
DeviceRecord* FindDeviceRecord(PDEVICE_OBJECT device);
std::u16string Fold(std::u16string_view name);
// The name table's key for a kernel name: folded, with \DosDevices\ taken as \??\ (on
// Windows 2000 the former is a link to the latter).
std::u16string NameKey(std::u16string_view name);
std::string Narrow(std::u16string_view text);
std::string DescribeDevice(PDEVICE_OBJECT device);

// Power: called as completion goes past a location of a power IRP.
void PowerLocationPassed(IrpRecord& record, int location);

// Files: the last reference to a cleaned-up file object is gone (a request completed, or
// ObDereferenceObject dropped a driver's reference): IRP_MJ_CLOSE goes down from a worker.
void FileReferenceReleased(PFILE_OBJECT file);

// Runs body in the current task, or in a new application task from the controlling thread.
void RunInApplication(const std::string& name, const std::function<void()>& body);

}  // namespace sim::iom

// The request state behind io::Request handles.
struct sim::io::Request::State {
  uint64_t id = 0;
  std::string what;
  PIRP irp = nullptr;
  bool dispatched = false;
  bool complete = false;
  Result result;
  std::vector<uint8_t> buffer;  // the application's buffer
  std::vector<uint8_t> input;   // METHOD_NEITHER input kept alive
  KEVENT event{};
};
