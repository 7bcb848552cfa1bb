// AddDevice and the adapter's own plug-and-play answers on a stack of the built-in bus
// driver: parameters from the registry (untrusted), capabilities and bus relations of an
// adapter that has no ports yet; the table of 32 adapters filled by adapters plugged in, and
// a start that a lower filter pends.
#include <cstring>

#include "bringup_test_support.h"
#include "simkernel/machine.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"

namespace bringup_test {
namespace {

constexpr std::u16string_view kParameters =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\ZELBRUSB\\Parameters";

class AdapterAddDevice : public DriverTest {
 protected:
  // A PDO the plug-and-play manager knows, and AddDevice for it.
  PDEVICE_OBJECT NewPdo(sim::io::DispatchHandler handler = {}) {
    sim::io::PhysicalDeviceOptions options;
    options.handler = std::move(handler);
    PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice(std::move(options));
    sim::registry::SetDeviceInstancePath(pdo, u"USB\\VID_5A45&PID_8421\\" + harness::ToU16(std::to_string(next_++)));
    pdos_.push_back(pdo);
    return pdo;
  }
  AdapterExtension* AdapterOn(PDEVICE_OBJECT pdo) {
    for (AdapterExtension* a : AdapterTable)
      if (a && a->PhysicalDeviceObject == pdo) return a;
    return nullptr;
  }
  void Remove(PDEVICE_OBJECT pdo) { EXPECT_EQ(sim::io::SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS); }
  void TearDown() override {
    Guarded([&] {
      for (PDEVICE_OBJECT pdo : pdos_)
        if (AdapterOn(pdo)) Remove(pdo);
    });
    DriverTest::TearDown();
  }

 private:
  int next_ = 0;
  std::vector<PDEVICE_OBJECT> pdos_;
};

TEST_F(AdapterAddDevice, ParametersAreTakenOnlyAsFourByteDwords) {
  struct Case {
    const char* name;
    std::function<void()> set;
    ULONG transfer, map230, map460;
  };
  auto dword = [](const char16_t* name, ULONG v) { return [=] { sim::registry::SetDword(kParameters, name, v); }; };
  const Case cases[] = {
      {"no key", [] {}, 4096, 0, 0},
      {"65536 and both aliases", [&] {
         dword(u"MaximumTransferSize", 65536)();
         dword(u"MAP230K", 115200)();
         dword(u"MAP460K", 57600)();
       }, 65536, 115200, 57600},
      {"aliases not dividing 460800", [&] {
         dword(u"MAP230K", 100000)();
         dword(u"MAP460K", 921600)();
       }, 4096, 0, 0},
      {"a transfer size below one packet", dword(u"MaximumTransferSize", 10), 4096, 0, 0},
      {"a string", [] { sim::registry::SetSz(kParameters, u"MaximumTransferSize", u"65536 and then some text"); },
       4096, 0, 0},
      {"eight binary bytes", [] {
         const uint8_t bytes[8] = {0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF};
         sim::registry::SetValue(kParameters, u"MAP230K", REG_BINARY, bytes);
       }, 4096, 0, 0},
      {"a two-byte dword", [] {
         const uint8_t bytes[2] = {0x00, 0x10};
         sim::registry::SetValue(kParameters, u"MaximumTransferSize", REG_DWORD, bytes);
       }, 4096, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::registry::DeleteKey(kParameters);
    c.set();
    PDEVICE_OBJECT pdo = NewPdo();
    ASSERT_EQ(sim::io::AddDevice(h().driver(), pdo), STATUS_SUCCESS);
    AdapterExtension* a = AdapterOn(pdo);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->MaximumTransferSize, c.transfer);
    EXPECT_EQ(a->Map230K, c.map230);
    EXPECT_EQ(a->Map460K, c.map460);
    Remove(pdo);
  }
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR36), 0u);
}

// Plugged in one after another: 32 adapters come up, the 33rd is refused in AddDevice with
// nothing made, and once one is removed the refused one, plugged in again, takes its slot.
class AdapterTableLimit : public BringUpTest {};

TEST_F(AdapterTableLimit, ThirtyTwoAdaptersAtMostAndTheLowestFreeSlotIsReused) {
  std::vector<harness::PluggedAdapter*> units;
  for (int i = 0; i < MAX_ADAPTERS; ++i) {
    units.push_back(&pnp().Plug(Running()));
    ASSERT_EQ(pnp().StartStatus(*units.back()), STATUS_SUCCESS) << i;
  }
  EXPECT_EQ(AdapterCount, ULONG(MAX_ADAPTERS));
  EXPECT_EQ(sim::io::DeviceName(pnp().Adapter(*units[31])->Self), u"\\Device\\ZelBrUsb31");
  const size_t devices = sim::io::DevicesOf(harness::PluggedAdapters::Driver()).size();
  const size_t blocks = sim::pool::OutstandingCount();
  harness::PluggedAdapter& extra = pnp().Plug(Running());
  auto node = pnp().Node(extra);
  ASSERT_TRUE(node);
  EXPECT_EQ(harness::PluggedAdapters::LastStatus(node->instancePath, "AddDevice"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(node->state, sim::pnp::NodeState::StartFailed);
  EXPECT_EQ(pnp().StartStatus(extra), STATUS_PENDING) << "no START without a stack";
  EXPECT_EQ(sim::io::DevicesOf(harness::PluggedAdapters::Driver()).size(), devices);
  EXPECT_EQ(sim::pool::OutstandingCount(), blocks);
  EXPECT_EQ(extra.busPort->Pdo()->AttachedDevice, nullptr);

  ASSERT_EQ(pnp().Remove(*units[0]), STATUS_SUCCESS);
  EXPECT_EQ(AdapterCount, 31u);
  pnp().Unplug(extra);
  extra.model->Replug();
  pnp().Settle();
  ASSERT_NE(pnp().Adapter(extra), nullptr);
  EXPECT_EQ(sim::io::DeviceName(pnp().Adapter(extra)->Self), u"\\Device\\ZelBrUsb0");
  EXPECT_EQ(AdapterCount, ULONG(MAX_ADAPTERS));
}

TEST_F(AdapterAddDevice, PortDevicesGetNothingLayeredOnThem) {
  sim::io::PhysicalDeviceOptions options;
  options.type = FILE_DEVICE_SERIAL_PORT;
  PDEVICE_OBJECT port = sim::io::CreatePhysicalDevice(std::move(options));
  EXPECT_EQ(sim::io::AddDevice(h().driver(), port), STATUS_SUCCESS);
  EXPECT_TRUE(sim::io::DevicesOf(h().driver()).empty());
  EXPECT_EQ(AdapterCount, 0u);
}

TEST_F(AdapterAddDevice, CapabilitiesKeepSurpriseRemovalOkOnWindows2000AndPassDownLater) {
  PDEVICE_OBJECT pdo = NewPdo([](PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // A bus driver that clears the flag, as Windows 2000's USB hub does.
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES)
      stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = FALSE;
    return sim::io::DefaultBusDispatch(device, irp);
  });
  ASSERT_EQ(sim::io::AddDevice(h().driver(), pdo), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  auto query = [&] {
    caps = {};
    caps.Size = sizeof caps;
    caps.Version = 1;
    return sim::io::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
                            [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  };
  sim::io::Result result = query();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0) << "the bus driver's answer is kept";
  h().machine().SetVersion(sim::Machine::WindowsVersion::WindowsXP);
  EXPECT_EQ(query().status, STATUS_SUCCESS);
  EXPECT_FALSE(caps.SurpriseRemovalOK) << "later systems get the bus driver's own answer";
}

TEST_F(AdapterAddDevice, BusRelationsOfAnAdapterWithoutPorts) {
  PDEVICE_OBJECT pdo = NewPdo();
  ASSERT_EQ(sim::io::AddDevice(h().driver(), pdo), STATUS_SUCCESS);
  auto relations = [&](ULONG_PTR fromAbove) {
    harness::IrpSpec request;
    request.major = IRP_MJ_PNP;
    request.minor = IRP_MN_QUERY_DEVICE_RELATIONS;
    request.initialStatus = fromAbove ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    request.initialInformation = fromAbove;
    request.setup = [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; };
    return h().SendIrp(sim::io::TopOfStack(pdo), request);
  };
  harness::IrpOutcome none = relations(0);
  ASSERT_EQ(none.status, STATUS_SUCCESS);
  ASSERT_NE(none.information, 0u);
  EXPECT_EQ(reinterpret_cast<PDEVICE_RELATIONS>(none.information)->Count, 0u);
  h().RunTask("release", [&] { ExFreePool(reinterpret_cast<PVOID>(none.information)); });

  sim::pool::FailNextAllocations(1, TAG_BR15);
  harness::IrpOutcome failed = relations(0);
  EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(failed.information, 0u);
  sim::pool::ClearFailurePlans();

  // A list a driver above made, with no port to add: passed down as it came.
  PDEVICE_RELATIONS above = nullptr;
  h().RunTask("list from above", [&] {
    above = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), sim::pool::TagFromString("Abve")));
    above->Count = 1;
    above->Objects[0] = pdo;
  });
  harness::IrpOutcome passed = relations(reinterpret_cast<ULONG_PTR>(above));
  EXPECT_EQ(passed.status, STATUS_SUCCESS);
  EXPECT_EQ(passed.information, reinterpret_cast<ULONG_PTR>(above));
  EXPECT_EQ(above->Count, 1u);
  h().RunTask("release", [&] { ExFreePool(above); });
}

// A lower filter below the adapter that finishes START later, from a worker thread, once
// the bus driver below it has: the request comes back to the adapter's dispatch routine,
// which then starts the adapter and completes START once, with no pending-rule report.
struct FilterExtension {
  PDEVICE_OBJECT lower;
};

struct LateStart {
  WORK_QUEUE_ITEM item;
  PIRP irp;
  PDEVICE_OBJECT lower;
  int pended;
};
LateStart& Late() {
  static LateStart late;
  return late;
}

NTSTATUS NTAPI LowerStartDone(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI FinishStartLate(PVOID) {
  LARGE_INTEGER delay;
  delay.QuadPart = -50000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  PIRP irp = Late().irp;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, LowerStartDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(Late().lower, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<FilterExtension*>(device->DeviceExtension)->lower;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) {
    IoMarkIrpPending(irp);
    Late().irp = irp;
    Late().lower = lower;
    ++Late().pended;
    ExInitializeWorkItem(&Late().item, FinishStartLate, nullptr);
    ExQueueWorkItem(&Late().item, DelayedWorkQueue);
    return STATUS_PENDING;
  }
  const bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
  static_cast<FilterExtension*>(device->DeviceExtension)->lower = lower;
  device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// No unload routine: the filter stays loaded. (The simulated leak check at a driver's unload
// counts every outstanding block, the adapter driver's too, and the filter would go first.)
NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = FilterDispatch;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  return STATUS_SUCCESS;
}

class AdapterOverAFilter : public BringUpTest {};

TEST_F(AdapterOverAFilter, StartWaitsForALowerDriverThatPends) {
  Late().pended = 0;
  sim::pnp::InstallService(u"LateStart", FilterEntry, {}, sim::pnp::DeviceClass::Unknown);
  sim::registry::SetMultiSz(std::u16string(sim::registry::kClassKeys) + u"\\" +
                                sim::pnp::ClassGuidText(sim::pnp::DeviceClass::MultiPortSerial),
                            u"LowerFilters", {u"LateStart"});
  harness::PluggedAdapter& unit = pnp().Plug(Running());
  EXPECT_EQ(Late().pended, 1);
  EXPECT_EQ(pnp().StartStatus(unit), STATUS_SUCCESS);
  AdapterExtension* adapter = pnp().Adapter(unit);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->DevicePnpState, ULONG(Started));
  EXPECT_NE(adapter->LowerDevice, unit.busPort->Pdo()) << "the filter is below the adapter";
  EXPECT_EQ(pnp().Children(unit).size(), 4u);
}

}  // namespace
}  // namespace bringup_test
