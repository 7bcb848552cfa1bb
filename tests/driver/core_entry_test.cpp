// Loading and unloading the driver: the registry path copy, the dispatch table, and what an
// allocation failure at entry leaves behind.
#include <cstring>
#include <string>

#include "core/entry.h"
#include "driver_test.h"
#include "removed_device_support.h"

namespace {

using sim::io::RawIrp;

std::u16string Text(const UNICODE_STRING& string) {
  return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / sizeof(WCHAR));
}

RawIrp Major(UCHAR major) {
  RawIrp irp;
  irp.major = major;
  return irp;
}

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, KeepsANulTerminatedCopyOfTheRegistryPathInOnePagedBlock) {
  const size_t pathBytes = harness::kServiceKeyPath.size() * sizeof(WCHAR);
  ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(Text(DriverRegistryPath), harness::kServiceKeyPath);
  EXPECT_EQ(DriverRegistryPath.Length, pathBytes);
  EXPECT_EQ(DriverRegistryPath.MaximumLength, pathBytes + sizeof(WCHAR));
  EXPECT_EQ(DriverRegistryPath.Buffer[harness::kServiceKeyPath.size()], u'\0');

  // Entry allocates nothing else and creates no device.
  auto blocks = sim::pool::Outstanding();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].tag, sim::pool::TagFromString("BR39"));
  EXPECT_EQ(blocks[0].tag, TAG_BR39);
  EXPECT_EQ(blocks[0].type, PagedPool);
  EXPECT_EQ(blocks[0].size, pathBytes + sizeof(WCHAR));
  EXPECT_EQ(blocks[0].address, DriverRegistryPath.Buffer);
  EXPECT_TRUE(sim::io::DevicesOf(h().driver()).empty());
}

TEST_F(DriverEntryTest, UnloadFreesExactlyTheRegistryPathCopy) {
  const void* copy = DriverRegistryPath.Buffer;
  const sim::pool::Statistics before = sim::pool::Stats();
  h().Unload();
  const sim::pool::Statistics after = sim::pool::Stats();
  EXPECT_FALSE(h().loaded());
  EXPECT_EQ(after.frees - before.frees, 1u);
  EXPECT_EQ(after.allocations, before.allocations);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
  EXPECT_FALSE(sim::pool::FindBlock(copy).has_value());
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
}

// Each major function reaches the routine the table names for it: the serial six refuse a
// removed port with STATUS_DELETE_PENDING (only DispatchIo does that), internal control
// reaches its handler, WMI ends the request with the status it came with (a removed port is no
// provider), and the rest keep the system's default.
class DispatchTable : public removed_test::RemovedDeviceTest {};

TEST_F(DispatchTable, SendsEachMajorFunctionToItsRoutine) {
  PortExtension* port = EjectedPort(1);
  for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE), UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE),
                      UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_CLEANUP)}) {
    EXPECT_EQ(h().Send(port->Self, Major(major)).status, STATUS_DELETE_PENDING) << "major " << int(major);
  }
  EXPECT_EQ(sim::io::SendPnp(port->Self, IRP_MN_QUERY_ID).status, STATUS_DELETE_PENDING);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(sim::io::SendPower(port->Self, IRP_MN_SET_POWER, DevicePowerState, d3).status, STATUS_DELETE_PENDING);

  // Internal requests go to their own handler without routing; code 0 is none it knows.
  EXPECT_EQ(h().Send(port->Self, Major(IRP_MJ_INTERNAL_DEVICE_CONTROL)).status, STATUS_INVALID_PARAMETER);
  RawIrp wmi = Major(IRP_MJ_SYSTEM_CONTROL);
  wmi.initialStatus = STATUS_NOT_SUPPORTED;
  EXPECT_EQ(h().Send(port->Self, wmi).status, STATUS_NOT_SUPPORTED);

  for (UCHAR major : {UCHAR(IRP_MJ_FLUSH_BUFFERS), UCHAR(IRP_MJ_SHUTDOWN), UCHAR(IRP_MJ_QUERY_INFORMATION)}) {
    EXPECT_EQ(h().Send(port->Self, Major(major)).status, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
  }
}

// A device the plug-and-play manager gave no instance path cannot carry the adapter
// interface: AddDevice fails and leaves neither a device nor a table slot behind.
TEST_F(DriverEntryTest, AddDeviceUndoesEverythingWhenTheInterfaceCannotBeRegistered) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  EXPECT_EQ(sim::io::AddDevice(h().driver(), pdo), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(sim::io::DevicesOf(h().driver()).empty());
  EXPECT_EQ(AdapterCount, 0u);
  EXPECT_EQ(AdapterTable[0], nullptr);
}

class DriverEntryFailureTest : public DriverTest {
 public:
  DriverEntryFailureTest() { loadDriver_ = false; }
};

TEST_F(DriverEntryFailureTest, NoMemoryForThePathCopyMeansTheDriverDoesNotLoad) {
  sim::pool::FailNextAllocations(1, TAG_BR39);
  EXPECT_EQ(h().Load(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(h().loaded());
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(DriverRegistryPath.Length, 0);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);

  // Nothing was set up: the table still holds the system's default for every entry.
  PDRIVER_OBJECT driver = h().driver();
  ASSERT_NE(driver, nullptr);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
    EXPECT_EQ(driver->MajorFunction[major], driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS]) << "major " << major;
  EXPECT_NE(driver->MajorFunction[IRP_MJ_CREATE], DispatchIo);
  EXPECT_EQ(driver->DriverUnload, nullptr);
  EXPECT_EQ(driver->DriverExtension->AddDevice, nullptr);
}

TEST_F(DriverEntryFailureTest, LoadsOnceMemoryIsThere) {
  sim::pool::FailNextAllocations(1, TAG_BR39);
  ASSERT_EQ(h().Load(), STATUS_INSUFFICIENT_RESOURCES);
  harness::DriverHarness& harness = h();
  // A second attempt with memory available succeeds; the failed one left nothing behind.
  PDRIVER_OBJECT failed = harness.driver();
  EXPECT_FALSE(sim::io::IsLoaded(failed));
  EXPECT_EQ(harness.Load(), STATUS_SUCCESS);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR39), 1u);
}

}  // namespace
