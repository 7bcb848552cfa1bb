// Driver objects, device objects, the name table, device stacks and object references, and
// the small built-in bus driver that owns the physical device objects tests create.
#include <algorithm>
#include <cstring>

#include "io_internal.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"

namespace sim::iom {
namespace {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  // The system's default handler still lets the next power request through.
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::u16string FromNarrow(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string View(PCUNICODE_STRING string) {
  if (!string || !string->Buffer) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

DriverRecord* FindDriverRecord(PDRIVER_OBJECT driver) {
  auto& drivers = Io().drivers;
  auto it = drivers.find(driver);
  return it == drivers.end() ? nullptr : it->second.get();
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name, std::u16string_view registryPath) {
  auto record = std::make_unique<DriverRecord>();
  record->object = std::make_unique<DRIVER_OBJECT>();
  record->extension = std::make_unique<DRIVER_EXTENSION>();
  record->serviceName = std::u16string(name);
  record->driverName = u"\\Driver\\" + record->serviceName;
  record->registryPath = std::u16string(registryPath);
  PDRIVER_OBJECT driver = record->object.get();
  std::memset(driver, 0, sizeof(DRIVER_OBJECT));
  std::memset(record->extension.get(), 0, sizeof(DRIVER_EXTENSION));
  driver->Type = kTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = record->extension.get();
  driver->DriverExtension->DriverObject = driver;
  auto setString = [](UNICODE_STRING& target, std::u16string& text) {
    target.Buffer = text.data();
    target.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    target.MaximumLength = static_cast<USHORT>(target.Length + sizeof(WCHAR));
  };
  setString(driver->DriverName, record->driverName);
  setString(driver->DriverExtension->ServiceKeyName, record->serviceName);
  setString(record->registryPathString, record->registryPath);
  for (auto& entry : driver->MajorFunction) entry = InvalidDeviceRequest;
  Io().drivers.emplace(driver, std::move(record));
  return driver;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  DeviceRecord* record = FindDeviceRecord(device);
  if (record && record->handler) {
    io::DispatchHandler handler = record->handler;  // it may replace itself
    return handler(device, irp);
  }
  return io::DefaultBusDispatch(device, irp);
}

void FillCapabilities(PDEVICE_CAPABILITIES caps, PDEVICE_OBJECT pdo) {
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 0;
  caps->Removable = 1;
  caps->Address = static_cast<ULONG>(FindDeviceRecord(pdo) ? FindDeviceRecord(pdo)->serial : 0);
  caps->UINumber = 0xFFFFFFFF;
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

}  // namespace

DeviceRecord* FindDeviceRecord(PDEVICE_OBJECT device) {
  auto& devices = Io().devices;
  auto it = devices.find(device);
  return it == devices.end() ? nullptr : &it->second;
}

std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (auto& c : folded)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return folded;
}

std::u16string NameKey(std::u16string_view name) {
  std::u16string key = Fold(name);
  constexpr std::u16string_view kDosDevices = u"\\DOSDEVICES";
  if (key.starts_with(kDosDevices) && (key.size() == kDosDevices.size() || key[kDosDevices.size()] == u'\\'))
    key.replace(0, kDosDevices.size(), u"\\??");
  return key;
}

DriverCode::DriverCode(PDRIVER_OBJECT driver) : task_(Machine::Current().CurrentTask()) {
  Io().driverCode[task_].push_back(driver);
}

DriverCode::~DriverCode() {
  auto& stack = Io().driverCode[task_];
  stack.pop_back();
  if (stack.empty()) Io().driverCode.erase(task_);
}

PDRIVER_OBJECT RunningDriver() {
  auto& code = Io().driverCode;
  auto it = code.find(Machine::Current().CurrentTask());
  return it == code.end() || it->second.empty() ? nullptr : it->second.back();
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

std::string DescribeDevice(PDEVICE_OBJECT device) {
  if (!device) return "no device";
  DeviceRecord* record = FindDeviceRecord(device);
  if (!record) return "unknown device";
  if (!record->name.empty()) return Narrow(record->name);
  std::string owner = device->DriverObject ? Narrow(View(&device->DriverObject->DriverName)) : "?";
  return "device #" + std::to_string(record->serial) + " of " + owner;
}

void RunInApplication(const std::string& name, const std::function<void()>& body) {
  Machine& machine = Machine::Current();
  if (machine.CurrentTask()) {
    body();
    return;
  }
  machine.RunTask(name, body);
}

}  // namespace sim::iom

using namespace sim::iom;

// ---- Routines the driver calls -------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  SetCall("IoCreateDevice");
  *DeviceObject = nullptr;
  if (!DriverObject) return STATUS_INVALID_PARAMETER;
  IoState& io = Io();
  std::u16string name = View(DeviceName);
  if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    char text[32];
    std::snprintf(text, sizeof text, "\\Device\\%08X", io.nextAutoName++);
    name = FromNarrow(text);
  }
  if (!name.empty()) {
    std::u16string key = NameKey(name);
    if (io.names.count(key) || io.links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  }
  // The extension follows the object, zero-filled; neither counts as the driver's pool.
  const size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
  auto memory = std::make_unique<uint8_t[]>(extensionOffset + DeviceExtensionSize);
  std::memset(memory.get(), 0, extensionOffset + DeviceExtensionSize);
  auto* device = reinterpret_cast<PDEVICE_OBJECT>(memory.get());
  device->Type = kTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
  device->DeviceExtension = DeviceExtensionSize ? memory.get() + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  DeviceRecord record;
  record.device = device;
  record.serial = io.nextDeviceSerial++;
  record.memory = std::move(memory);
  record.extensionSize = DeviceExtensionSize;
  record.name = name;
  io.devices.emplace(device, std::move(record));
  if (!name.empty()) io.names.emplace(NameKey(name), device);
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  SetCall("IoDeleteDevice");
  DeviceRecord* record = FindDeviceRecord(DeviceObject);
  if (!record) {
    Report("device deleted twice", "IoDeleteDevice on memory that is not a device object");
    return;
  }
  if (record->deleted) {
    Report("device deleted twice", DescribeDevice(DeviceObject));
    return;
  }
  std::string what;
  if (DeviceObject->DeviceExtension &&
      sim::QueuedKernelObjectInRange(DeviceObject->DeviceExtension, record->extensionSize, &what))
    Report("device deleted holding queued dpc or set timer", DescribeDevice(DeviceObject) + ": " + what);
  if (record->lower)
    Report("device deleted while attached", DescribeDevice(DeviceObject) + " is still attached to " +
                                                DescribeDevice(record->lower));
  // A device above may still be attached: at REMOVE each driver passes the request down before
  // it detaches, so the lower ones are deleted first; the object stays until the upper detaches.
  DeviceInterfacesOnDelete(DeviceObject);
  WmiOnDelete(DeviceObject);
  record->deleted = true;
  IoState& io = Io();
  if (!record->name.empty()) io.names.erase(NameKey(record->name));
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  DeviceObject->NextDevice = nullptr;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  SetCall("IoAttachDeviceToDeviceStack");
  PDEVICE_OBJECT top = sim::io::TopOfStack(TargetDevice);
  DeviceRecord* topRecord = FindDeviceRecord(top);
  DeviceRecord* source = FindDeviceRecord(SourceDevice);
  if (!top || !topRecord || topRecord->deleted || !source) return nullptr;
  if (Io().attachFailures.Consume()) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
  source->lower = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  SetCall("IoDetachDevice");
  PDEVICE_OBJECT attached = TargetDevice ? TargetDevice->AttachedDevice : nullptr;
  if (!attached) {
    Report("device detached but not attached", DescribeDevice(TargetDevice) + " has nothing attached");
    return;
  }
  if (DeviceRecord* record = FindDeviceRecord(attached)) record->lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = sim::io::TopOfStack(DeviceObject);
  if (top) ObReferenceObject(top);
  return top;
}

VOID ObReferenceObject(PVOID Object) {
  if (Object) ++Io().references[Object];
}

VOID ObDereferenceObject(PVOID Object) {
  SetCall("ObDereferenceObject");
  auto& references = Io().references;
  auto it = references.find(Object);
  if (it == references.end() || it->second <= 0) {
    Report("object reference count underflow",
           FindDeviceRecord(static_cast<PDEVICE_OBJECT>(Object)) ? DescribeDevice(static_cast<PDEVICE_OBJECT>(Object))
                                                                 : "object not referenced");
    return;
  }
  if (--it->second == 0) {
    references.erase(it);
    FileReferenceReleased(static_cast<PFILE_OBJECT>(Object));
  }
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  const UCHAR available = sim::Machine::Current().Version() == sim::Machine::WindowsVersion::Windows2000 ? 0x10 : 0x20;
  if (MajorVersion < 1) return TRUE;
  return MajorVersion == 1 && MinorVersion <= available;
}

// ---- Host side ----------------------------------------------------------------------------------

namespace sim::io {

PDEVICE_OBJECT FindDevice(std::u16string_view name) {
  IoState& io = Io();
  std::u16string key = NameKey(name);
  for (int hops = 0; hops < 16; ++hops) {
    auto named = io.names.find(key);
    if (named != io.names.end()) return named->second;
    auto link = io.links.find(key);
    if (link == io.links.end()) return nullptr;
    key = NameKey(link->second);
  }
  return nullptr;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
  DeviceRecord* record = FindDeviceRecord(device);
  return record ? record->name : std::u16string();
}

bool IsDeleted(PDEVICE_OBJECT device) {
  DeviceRecord* record = FindDeviceRecord(device);
  return !record || record->deleted;
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) {
  DeviceRecord* record = FindDeviceRecord(device);
  return record ? record->lower : nullptr;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  if (!device) return nullptr;
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT device = driver ? driver->DeviceObject : nullptr; device; device = device->NextDevice)
    devices.push_back(device);
  std::sort(devices.begin(), devices.end(), [](PDEVICE_OBJECT a, PDEVICE_OBJECT b) {
    return FindDeviceRecord(a)->serial < FindDeviceRecord(b)->serial;
  });
  return devices;
}

NTSTATUS CreateSymbolicLink(std::u16string_view link, std::u16string_view target) {
  IoState& io = Io();
  std::u16string key = NameKey(link);
  if (io.names.count(key) || io.links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  io.links.emplace(key, std::u16string(target));
  return STATUS_SUCCESS;
}

NTSTATUS DeleteSymbolicLink(std::u16string_view link) {
  IoState& io = Io();
  std::u16string key = NameKey(link);
  io.driverLinks.erase(key);
  return io.links.erase(key) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link) {
  auto& links = Io().links;
  auto it = links.find(NameKey(link));
  if (it == links.end()) return std::nullopt;
  return it->second;
}

LONG ObjectReferenceCount(PVOID object) {
  auto& references = Io().references;
  auto it = references.find(object);
  return it == references.end() ? 0 : it->second;
}

NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, std::u16string_view registryPath,
                    PDRIVER_OBJECT* driver) {
  PDRIVER_OBJECT object = CreateDriverObject(name, registryPath);
  DriverRecord* record = FindDriverRecord(object);
  object->DriverInit = entry;
  *driver = object;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  // The service key exists before its driver loads: setup made it.
  if (Fold(registryPath).starts_with(u"\\REGISTRY\\")) registry::CreateKey(registryPath);
  RunInApplication("DriverEntry", [&] {
    SetCall("DriverEntry");
    DriverCode code(object);
    status = entry(object, &record->registryPathString);
  });
  // The path belongs to the I/O manager and is gone once DriverEntry returns.
  std::fill(record->registryPath.begin(), record->registryPath.end(), u'?');
  record->registryPathString = UNICODE_STRING{};
  record->loaded = NT_SUCCESS(status);
  if (!record->loaded) {
    for (PDEVICE_OBJECT device : DevicesOf(object))
      Report("driver unloaded with devices", DescribeDevice(device) + " left by a failed DriverEntry");
    ReportLeftAtUnload(object);
    pool::SweepQuarantine();
    pool::ReportLeaks("failed load of " + Narrow(name));
  }
  return status;
}

bool UnloadDriver(PDRIVER_OBJECT driver) {
  DriverRecord* record = FindDriverRecord(driver);
  if (!record || !record->loaded || !driver->DriverUnload) return false;
  RunInApplication("DriverUnload", [&] {
    SetCall("DriverUnload");
    DriverCode code(driver);
    driver->DriverUnload(driver);
  });
  record->loaded = false;
  for (PDEVICE_OBJECT device : DevicesOf(driver))
    Report("driver unloaded with devices", DescribeDevice(device));
  ReportLeftAtUnload(driver);
  pool::SweepQuarantine();
  pool::ReportLeaks("unload of " + Narrow(record->serviceName));
  return true;
}

void FailNextAttachments(int count, int skip) { Io().attachFailures = FailurePlan{std::max(skip, 0), count}; }

bool IsLoaded(PDRIVER_OBJECT driver) {
  DriverRecord* record = FindDriverRecord(driver);
  return record && record->loaded;
}

PDRIVER_OBJECT LoadedDriver(std::u16string_view serviceName) {
  for (auto& [object, record] : Io().drivers)
    if (record->loaded && Fold(record->serviceName) == Fold(serviceName)) return object;
  return nullptr;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (!driver || !driver->DriverExtension || !driver->DriverExtension->AddDevice) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunInApplication("AddDevice", [&] {
    SetCall("AddDevice");
    DriverCode code(driver);
    status = driver->DriverExtension->AddDevice(driver, pdo);
  });
  if (NT_SUCCESS(status)) {
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device; device = device->AttachedDevice)
      if (device->DriverObject == driver && (device->Flags & DO_DEVICE_INITIALIZING))
        Report("device initializing flag not cleared", DescribeDevice(device));
  }
  return status;
}

PDRIVER_OBJECT BusDriver() {
  IoState& io = Io();
  if (!io.busDriver) {
    io.busDriver = CreateDriverObject(u"SimBus", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SimBus");
    for (auto& entry : io.busDriver->MajorFunction) entry = BusDispatch;
    FindDriverRecord(io.busDriver)->loaded = true;
  }
  return io.busDriver;
}

PDEVICE_OBJECT CreatePhysicalDevice(PhysicalDeviceOptions options) {
  PDRIVER_OBJECT bus = BusDriver();
  UNICODE_STRING name{};
  if (!options.name.empty()) RtlInitUnicodeString(&name, options.name.c_str());
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(bus, 0, options.name.empty() ? nullptr : &name, options.type,
                                   options.name.empty() ? FILE_AUTOGENERATED_DEVICE_NAME : 0, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return nullptr;
  pdo->Flags = options.flags & ~DO_DEVICE_INITIALIZING;
  FindDeviceRecord(pdo)->handler = std::move(options.handler);
  return pdo;
}

void SetPhysicalDeviceHandler(PDEVICE_OBJECT pdo, DispatchHandler handler) {
  if (DeviceRecord* record = FindDeviceRecord(pdo)) record->handler = std::move(handler);
}

NTSTATUS NTAPI DefaultBusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
      switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          status = STATUS_SUCCESS;
          break;
        case IRP_MN_QUERY_CAPABILITIES:
          if (sp->Parameters.DeviceCapabilities.Capabilities)
            FillCapabilities(sp->Parameters.DeviceCapabilities.Capabilities, pdo);
          status = STATUS_SUCCESS;
          break;
        default:
          break;  // what the bus does not know keeps the status it came with
      }
      break;
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      switch (sp->MinorFunction) {
        case IRP_MN_SET_POWER:
          if (sp->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
          status = STATUS_SUCCESS;
          break;
        case IRP_MN_QUERY_POWER:
          status = STATUS_SUCCESS;
          break;
        case IRP_MN_WAIT_WAKE:
          status = STATUS_NOT_SUPPORTED;
          break;
        default:
          break;
      }
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim::io
