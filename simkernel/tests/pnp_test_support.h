// A bus driver for the plug-and-play manager's tests: its function device sits on a
// root-enumerated PDO (or a USB device's PDO), creates its children at start like a
// multi-port adapter, reports them as bus relations and serves the children's own PDOs
// (AddDevice for them does nothing). `Fault` makes it break one rule of the PnP contract.
#pragma once

#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "io_test_support.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"

namespace pnptest {

enum class Fault {
  None,
  StartNotPassedDown,
  UnknownMinorAnswered,
  RemoveKeepsDevice,
  AddDeviceNoAttach,
  AddDeviceKeepsInitializing,
  RelationsNotFromPool,
  RelationsNullEntry,
  RelationsCountTooBig,
  RelationsUnreferenced,
  RelationsFdoEntry,
  RelationsDeletedPdo,
  IdWithoutDoubleNul,
  IdWithSpace,
  TextWithoutNul,
  DuplicateInstance,
  RemoveFails,
};

struct Behaviour {
  Fault fault = Fault::None;
  int children = 2;
  int vetoRemoveOfChild = 0;  // 1-based child that fails QUERY_REMOVE; 0: none
  bool vetoStop = false;
  bool childEjectSupported = false;
  bool unloadable = false;     // DriverEntry sets an unload routine
  int loads = 0;
  int closesAtRemove = -1;     // an FDO's closes when its REMOVE came
  sim::VirtualTime startWait = 0;  // an FDO's START first waits this long on an event of its own
  std::vector<NTSTATUS> startWaits;  // how each of those waits ended
  std::vector<PDEVICE_OBJECT> childPdos;  // in creation order
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> power;  // IRP_MJ_POWER of every device, if set
};
inline Behaviour& Bus() {
  static Behaviour behaviour;
  return behaviour;
}

// Lives in device-extension memory, which is freed without destructors: no owning members.
struct Extension {
  bool isPdo = false;
  int index = 0;               // child number, 1-based
  bool present = true;         // reported as a child
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT children[8] = {};
  int childCount = 0;
  int closes = 0;              // IRP_MJ_CLOSE requests seen

  void Add(PDEVICE_OBJECT child) { children[childCount++] = child; }
  std::span<PDEVICE_OBJECT> Children() { return {children, size_t(childCount)}; }
};
inline Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  if (information) irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

// A pool copy of `chars` characters of text (no NUL added: the caller includes them).
inline ULONG_PTR PoolText(std::u16string_view text) {
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), sim::pool::TagFromString("TSET")));
  std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  return reinterpret_cast<ULONG_PTR>(copy);
}

inline std::u16string Number(int n) {
  const std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

inline NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  Extension* ext = Ext(device);
  const Fault fault = Bus().fault;
  const std::u16string id = u"TESTBUS\\CHILD" + Number(fault == Fault::DuplicateInstance ? 1 : ext->index);
  using namespace std::string_view_literals;
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          return Complete(irp, STATUS_SUCCESS, PoolText(fault == Fault::IdWithSpace ? u"TESTBUS\\CHILD 1\0"sv : id + u'\0'));
        case BusQueryHardwareIDs:
          return Complete(irp, STATUS_SUCCESS, PoolText(fault == Fault::IdWithoutDoubleNul ? id + u'\0' : id + u'\0' + u'\0'));
        case BusQueryCompatibleIDs: return Complete(irp, STATUS_SUCCESS, PoolText(u"TESTBUS\\CHILD\0\0"sv));
        case BusQueryInstanceID:
          return Complete(irp, STATUS_SUCCESS, PoolText(Number(fault == Fault::DuplicateInstance ? 1 : ext->index) + u'\0'));
        default: return Complete(irp, irp->IoStatus.Status);
      }
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (sp->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) return Complete(irp, irp->IoStatus.Status);
      return Complete(irp, STATUS_SUCCESS, PoolText(fault == Fault::TextWithoutNul ? u"Test port"sv : u"Test port\0"sv));
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      caps->UniqueID = fault == Fault::DuplicateInstance;
      caps->EjectSupported = Bus().childEjectSupported;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return Complete(irp, Bus().vetoRemoveOfChild == ext->index ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      if (fault == Fault::RemoveFails) return Complete(irp, STATUS_UNSUCCESSFUL);
      const bool present = ext->present;
      Complete(irp, STATUS_SUCCESS);
      if (!present) IoDeleteDevice(device);  // no longer reported: this is its end
      return STATUS_SUCCESS;
    }
    case IRP_MN_EJECT:
      ext->present = false;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

inline PDEVICE_OBJECT CreateChild(PDRIVER_OBJECT driver, int index) {
  PDEVICE_OBJECT child = nullptr;
  IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
  auto* ext = new (child->DeviceExtension) Extension{};
  ext->isPdo = true;
  ext->index = index;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  return child;
}

inline ULONG_PTR BuildRelations(PDEVICE_OBJECT fdo) {
  Extension* ext = Ext(fdo);
  const Fault fault = Bus().fault;
  std::vector<PDEVICE_OBJECT> report;
  for (PDEVICE_OBJECT child : ext->Children()) {
    if (sim::io::IsDeleted(child)) {
      if (fault == Fault::RelationsDeletedPdo) report.push_back(child);
    } else if (Ext(child)->present) {
      report.push_back(child);
    }
  }
  if (fault == Fault::RelationsNullEntry) report.push_back(nullptr);
  if (fault == Fault::RelationsFdoEntry) report.push_back(fdo);  // its own device, not a PDO
  static DEVICE_RELATIONS notPool;
  const size_t bytes = sizeof(DEVICE_RELATIONS) + report.size() * sizeof(PDEVICE_OBJECT);
  auto* relations = fault == Fault::RelationsNotFromPool
                        ? &notPool
                        : static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, sim::pool::TagFromString("TSET")));
  relations->Count = fault == Fault::RelationsNotFromPool ? 0 : ULONG(report.size());
  for (size_t i = 0; i < report.size() && fault != Fault::RelationsNotFromPool; ++i) {
    relations->Objects[i] = report[i];
    if (report[i] && fault != Fault::RelationsUnreferenced) ObReferenceObject(report[i]);
  }
  if (fault == Fault::RelationsCountTooBig) relations->Count += 8;
  return reinterpret_cast<ULONG_PTR>(relations);
}

inline NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  Extension* ext = Ext(fdo);
  const Fault fault = Bus().fault;
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      if (Bus().startWait > 0) {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -Bus().startWait;
        Bus().startWaits.push_back(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout));
      }
      NTSTATUS status = fault == Fault::StartNotPassedDown ? STATUS_SUCCESS : ForwardAndWait(ext->lower, irp);
      if (NT_SUCCESS(status) && ext->childCount == 0) {
        for (int i = 1; i <= Bus().children; ++i) {
          ext->Add(CreateChild(fdo->DriverObject, i));
          Bus().childPdos.push_back(ext->children[i - 1]);
        }
        if (fault == Fault::RelationsDeletedPdo) {
          PDEVICE_OBJECT gone = CreateChild(fdo->DriverObject, 9);
          IoDeleteDevice(gone);
          ext->Add(gone);
        }
      }
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) return PassDown(ext->lower, irp);
      irp->IoStatus.Information = BuildRelations(fdo);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext->lower, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (Bus().vetoStop) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      Bus().closesAtRemove = ext->closes;
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = ext->lower;
      for (PDEVICE_OBJECT child : ext->Children())
        if (!sim::io::IsDeleted(child)) IoDeleteDevice(child);
      ext->childCount = 0;
      IoDetachDevice(lower);
      if (fault != Fault::RemoveKeepsDevice) IoDeleteDevice(fdo);
      return PassDown(lower, irp);
    }
    case 0xFF:
      if (fault == Fault::UnknownMinorAnswered) return Complete(irp, STATUS_SUCCESS);
      return PassDown(ext->lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext->lower, irp);
    default:
      return PassDown(ext->lower, irp);
  }
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_PNP) return Ext(device)->isPdo ? ChildPnp(device, irp) : FdoPnp(device, irp);
  if (sp->MajorFunction == IRP_MJ_POWER && Bus().power) return Bus().power(device, irp);
  if (sp->MajorFunction == IRP_MJ_POWER && !Ext(device)->isPdo) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
  }
  if (sp->MajorFunction == IRP_MJ_CLOSE) ++Ext(device)->closes;
  return Complete(irp, STATUS_SUCCESS);  // create, cleanup, close
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (pdo->DriverObject == driver) return STATUS_SUCCESS;  // one of our own children
  const Fault fault = Bus().fault;
  if (fault == Fault::AddDeviceNoAttach) return STATUS_SUCCESS;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                   FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  new (fdo->DeviceExtension) Extension{};
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  if (fault != Fault::AddDeviceKeepsInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline VOID NTAPI Unload(PDRIVER_OBJECT) {}

inline NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  if (Bus().unloadable) driver->DriverUnload = Unload;
  ++Bus().loads;
  return STATUS_SUCCESS;
}

// A root-enumerated PDO the test bus's function device is installed on: "ROOT\TESTBUS\0000".
inline PDEVICE_OBJECT RootPdo() {
  sim::io::PhysicalDeviceOptions options;
  options.handler = [](PDEVICE_OBJECT pdo, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    using namespace std::string_view_literals;
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_QUERY_ID) {
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: return Complete(irp, STATUS_SUCCESS, PoolText(u"ROOT\\TESTBUS\0"sv));
        case BusQueryHardwareIDs: return Complete(irp, STATUS_SUCCESS, PoolText(u"ROOT\\TESTBUS\0\0"sv));
        case BusQueryInstanceID: return Complete(irp, STATUS_SUCCESS, PoolText(u"0000\0"sv));
        default: break;
      }
    }
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      const NTSTATUS status = sim::io::DefaultBusDispatch(pdo, irp);
      caps->UniqueID = 1;
      return status;
    }
    return sim::io::DefaultBusDispatch(pdo, irp);
  };
  return sim::io::CreatePhysicalDevice(std::move(options));
}

inline constexpr std::u16string_view kRootPath = u"ROOT\\TESTBUS\\0000";

class PnpTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    Bus() = Behaviour{};
    sim::pnp::Enable();
  }

  // Installs the test bus for its root device and its children, reports the root device.
  void StartTestBus(sim::pnp::DeviceClass childClass = sim::pnp::DeviceClass::Unknown) {
    sim::pnp::InstallService(u"TestBus", DriverEntry, {u"ROOT\\TESTBUS", u"USB\\Vid_5a45&Pid_8401"},
                             sim::pnp::DeviceClass::MultiPortSerial);
    sim::pnp::InstallService(u"TestBus", DriverEntry, {u"TESTBUS\\CHILD"}, childClass);
    sim::pnp::ReportRootDevice(RootPdo());
    sim::pnp::WaitIdle();
  }

  static std::u16string Folded(std::u16string_view text) {
    std::u16string folded(text);
    for (auto& c : folded)
      if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return folded;
  }

  // The events' "what" for one device, in order.
  static std::vector<std::string> EventsOf(std::u16string_view device) {
    std::vector<std::string> list;
    for (const auto& event : sim::pnp::Events())
      if (Folded(event.device) == Folded(device)) list.push_back(event.what);
    return list;
  }

  // The instance path of child n of the device at parentPath.
  static std::u16string ChildPath(std::u16string_view parentPath, int n) {
    auto parent = sim::pnp::Node(parentPath);
    if (!parent) return u"";
    for (const auto& path : parent->children)
      if (path.find(u"CHILD" + Number(n) + u"\\") != std::u16string::npos) return path;
    return u"";
  }

  static void Invalidate(PDEVICE_OBJECT pdo) {
    sim::Machine::Current().RunTask("invalidate", [pdo] { IoInvalidateDeviceRelations(pdo, BusRelations); });
    sim::pnp::WaitIdle();
  }
};

}  // namespace pnptest
