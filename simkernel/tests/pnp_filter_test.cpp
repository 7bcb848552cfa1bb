// Filter drivers in a device's stack: the services its Enum key and its class key name as
// lower and upper filters are added around the function driver, in Windows 2000's order, and
// are unloaded with their last device.
#include "pnp_test_support.h"

using namespace pnptest;

namespace {

// A pass-through filter that records in which order its AddDevice ran.
std::vector<std::u16string>& AddOrder() {
  static std::vector<std::u16string> order;
  return order;
}

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<FilterExtension*>(device->DeviceExtension)->lower;
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
    NTSTATUS status = PassDown(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
  }
  return PassDown(lower, irp);
}

template <int Tag>
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<FilterExtension*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  AddOrder().push_back(Tag == 1 ? u"DeviceLower" : Tag == 2 ? u"ClassLower" : u"ClassUpper");
  return STATUS_SUCCESS;
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT) {}

template <int Tag>
NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = FilterDispatch;
  driver->DriverExtension->AddDevice = FilterAddDevice<Tag>;
  driver->DriverUnload = FilterUnload;
  return STATUS_SUCCESS;
}

}  // namespace

TEST_F(PnpTest, FiltersFromTheDeviceAndClassKeysWrapTheFunctionDriverAndGoWithTheirLastDevice) {
  AddOrder().clear();
  Bus().unloadable = true;
  sim::pnp::InstallService(u"DeviceLower", FilterEntry<1>, {}, sim::pnp::DeviceClass::Unknown);
  sim::pnp::InstallService(u"ClassLower", FilterEntry<2>, {}, sim::pnp::DeviceClass::Unknown);
  sim::pnp::InstallService(u"ClassUpper", FilterEntry<3>, {}, sim::pnp::DeviceClass::Unknown);
  const std::u16string classKey = std::u16string(sim::registry::kClassKeys) + u"\\" +
                                  sim::pnp::ClassGuidText(sim::pnp::DeviceClass::MultiPortSerial);
  sim::registry::SetMultiSz(classKey, u"LowerFilters", {u"ClassLower", u"NotInstalled"});
  sim::registry::SetMultiSz(classKey, u"UpperFilters", {u"ClassUpper"});
  sim::registry::SetMultiSz(std::u16string(sim::registry::kEnum) + u"\\" + std::u16string(kRootPath), u"LowerFilters",
                            {u"DeviceLower"});
  StartTestBus();

  auto bus = sim::pnp::Node(kRootPath);
  ASSERT_TRUE(bus);
  EXPECT_EQ(bus->state, sim::pnp::NodeState::Started);
  // The test bus's own AddDevice comes between the lower and the upper filters.
  EXPECT_EQ(AddOrder(), (std::vector<std::u16string>{u"DeviceLower", u"ClassLower", u"ClassUpper"}));
  std::vector<std::u16string> stack;  // bottom up, above the PDO
  for (PDEVICE_OBJECT d = bus->pdo->AttachedDevice; d; d = d->AttachedDevice)
    stack.push_back(std::u16string(d->DriverObject->DriverName.Buffer, d->DriverObject->DriverName.Length / 2));
  ASSERT_EQ(stack.size(), 4u);
  EXPECT_TRUE(stack[0].ends_with(u"DeviceLower"));
  EXPECT_TRUE(stack[1].ends_with(u"ClassLower"));
  EXPECT_TRUE(stack[2].ends_with(u"TestBus"));
  EXPECT_TRUE(stack[3].ends_with(u"ClassUpper"));
  // Every request reached the bus's function device through the filters: it started its children.
  EXPECT_EQ(bus->children.size(), 2u);

  ASSERT_EQ(sim::pnp::RequestRemoval(kRootPath), STATUS_SUCCESS);
  for (const char16_t* filter : {u"DeviceLower", u"ClassLower", u"ClassUpper"})
    EXPECT_EQ(sim::pnp::ServiceDriver(filter), nullptr) << "unloaded with its last device";
}
