// Each verifier rule of the registry, symbolic links and device interfaces fires on a
// deliberately wrong driver, and a driver that cleans up leaves nothing to report.
#include "io_test_support.h"
#include "registry_test_support.h"

namespace {

constexpr GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class RegistryVerifier : public IoTest {
 protected:
  // Runs body at APC_LEVEL in a task: registry and name routines want PASSIVE_LEVEL.
  void AtApcLevel(const std::function<void()>& body) {
    RunTask([&] {
      KIRQL old;
      KeRaiseIrql(APC_LEVEL, &old);
      body();
      KeLowerIrql(old);
    });
  }
};

TEST_F(RegistryVerifier, RegistryRoutinesAbovePassiveLevel) {
  sim::registry::SetDword(kParams, u"Rate", 1);
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  sim::registry::SetDeviceInstancePath(pdo, u"ZELBUS\\BRPORTS01\\01");
  AtApcLevel([&] {
    HANDLE key = nullptr;
    EXPECT_EQ(OpenKey(kParams, &key), STATUS_SUCCESS);  // still done: the report is the finding
    ZwClose(key);
    ULONG rate = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Rate", &rate, REG_NONE, nullptr, 0};
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kParams, table, nullptr, nullptr);
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParams, u"Rate", REG_DWORD, &rate, 4);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
  });
  auto violations = machine().Violations();
  ASSERT_EQ(violations.size(), 6u);
  std::vector<std::string> calls;
  for (const auto& violation : violations) {
    EXPECT_EQ(violation.rule, "registry routine above PASSIVE_LEVEL");
    calls.push_back(violation.call);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"ZwOpenKey", "ZwClose", "RtlQueryRegistryValues", "RtlWriteRegistryValue",
                                             "IoOpenDeviceRegistryKey", "ZwClose"}));
  TakeViolations();
}

TEST_F(RegistryVerifier, ClosedOrUnknownHandleClosedOrUsed) {
  sim::registry::CreateKey(kParams);
  HANDLE key = nullptr;
  ASSERT_EQ(OpenKey(kParams, &key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(uintptr_t{0x1234})), STATUS_INVALID_HANDLE);
  EXPECT_EQ(TakeViolations(), (std::vector<std::string>{"invalid handle closed", "invalid handle closed"}));

  UNICODE_STRING name = U(u"Rate");
  ULONG result = 0, value = 1;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &result), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_INVALID_HANDLE);
  HANDLE child = nullptr;
  EXPECT_EQ(OpenKey(u"Sub", &child, true, 0, nullptr, key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), u"Rate", REG_DWORD, &value, 4),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(TakeViolations(), std::vector<std::string>(5, "registry routine on invalid handle"));
  EXPECT_FALSE(sim::registry::GetValue(kParams, u"Rate"));
}

// A driver that opens its parameters key in DriverEntry; the careless one never closes it.
HANDLE g_parameters = nullptr;
bool g_closeOnUnload = false;

NTSTATUS NTAPI OpeningEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT) {
    if (g_closeOnUnload) ZwClose(g_parameters);
  };
  return OpenKey(kParams, &g_parameters, true);
}

TEST_F(RegistryVerifier, HandleLeftOpenAtUnloadIsReportedForItsDriverOnly) {
  sim::registry::CreateKey(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zel");
  PDRIVER_OBJECT careless = nullptr, other = nullptr;
  g_closeOnUnload = false;
  ASSERT_EQ(sim::io::LoadDriver(u"zel", OpeningEntry, u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zel",
                                &careless),
            STATUS_SUCCESS);
  HANDLE carelessHandle = g_parameters;
  ASSERT_EQ(sim::io::LoadDriver(u"zel2", OpeningEntry, u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zel2",
                                &other),
            STATUS_SUCCESS);
  HANDLE otherHandle = g_parameters;
  EXPECT_EQ(sim::registry::OpenHandleCount(), 2u);

  g_closeOnUnload = true;
  g_parameters = otherHandle;
  EXPECT_TRUE(sim::io::UnloadDriver(other));  // closes its own; the other driver's is not its leak
  EXPECT_TRUE(machine().Violations().empty());
  g_closeOnUnload = false;
  EXPECT_TRUE(sim::io::UnloadDriver(careless));
  auto violations = machine().Violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "registry handle leaked at unload");
  EXPECT_NE(violations[0].detail.find("Parameters"), std::string::npos) << violations[0].detail;
  TakeViolations();
  EXPECT_EQ(ZwClose(carelessHandle), STATUS_SUCCESS);  // still a valid handle: only leaked
}

TEST_F(RegistryVerifier, SymbolicLinkRoutinesAbovePassiveLevel) {
  PDRIVER_OBJECT driver = LoadTestDriver(u"zel", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT device = CreateDevice(driver, u"\\Device\\Zel0");
  UNICODE_STRING link = U(u"\\DosDevices\\COM3"), target = U(u"\\Device\\Zel0");
  AtApcLevel([&] {
    IoCreateSymbolicLink(&link, &target);
    IoDeleteSymbolicLink(&link);
  });
  EXPECT_EQ(TakeViolations(), std::vector<std::string>(2, "symbolic link routine above PASSIVE_LEVEL"));
  IoDeleteDevice(device);
}

// A driver that names its device in DriverEntry; the careless one leaves the link at unload.
bool g_deleteLink = false;

NTSTATUS NTAPI NamingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT self) {
    UNICODE_STRING link = U(u"\\DosDevices\\COM7");
    if (g_deleteLink) IoDeleteSymbolicLink(&link);
    IoDeleteDevice(self->DeviceObject);
  };
  UNICODE_STRING name = U(u"\\Device\\Zel7"), link = U(u"\\DosDevices\\COM7");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

TEST_F(RegistryVerifier, SymbolicLinkLeftAtUnload) {
  PDRIVER_OBJECT driver = nullptr;
  g_deleteLink = true;
  ASSERT_EQ(sim::io::LoadDriver(u"tidy", NamingEntry, u"\\REGISTRY\\Machine\\System\\Tidy", &driver), STATUS_SUCCESS);
  EXPECT_TRUE(sim::io::UnloadDriver(driver));
  EXPECT_TRUE(machine().Violations().empty());

  g_deleteLink = false;
  ASSERT_EQ(sim::io::LoadDriver(u"careless", NamingEntry, u"\\REGISTRY\\Machine\\System\\Careless", &driver),
            STATUS_SUCCESS);
  EXPECT_TRUE(sim::io::UnloadDriver(driver));
  auto violations = machine().Violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "symbolic link left at unload");
  EXPECT_NE(violations[0].detail.find("\\??\\COM7 -> \\Device\\Zel7"), std::string::npos) << violations[0].detail;
  TakeViolations();
  EXPECT_EQ(sim::io::SymbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\Zel7");  // left dangling, as on Windows
}

TEST_F(RegistryVerifier, DeviceInterfaceRoutinesAbovePassiveLevel) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  sim::registry::SetDeviceInstancePath(pdo, u"ZELBUS\\BRPORTS01\\01");
  UNICODE_STRING link{};
  PWSTR list = nullptr;
  AtApcLevel([&] {
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &link), STATUS_SUCCESS);
    IoSetDeviceInterfaceState(&link, TRUE);
    IoGetDeviceInterfaces(&kComPort, nullptr, 0, &list);
    IoSetDeviceInterfaceState(&link, FALSE);
  });
  EXPECT_EQ(TakeViolations(), std::vector<std::string>(4, "device interface routine above PASSIVE_LEVEL"));
  ExFreePool(list);
  RtlFreeUnicodeString(&link);
}

TEST_F(RegistryVerifier, DeviceInterfaceStillEnabledWhenItsDeviceIsDeletedIsReportedOnce) {
  PDRIVER_OBJECT driver = LoadTestDriver(u"zel", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  sim::registry::SetDeviceInstancePath(pdo, u"ZELBUS\\BRPORTS01\\01");
  auto attachAndEnable = [&](bool disableBeforeRemove) {
    PDEVICE_OBJECT fdo = CreateDevice(driver);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    UNICODE_STRING link{};
    RunTask([&] {
      ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &link), STATUS_SUCCESS);
      ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
      if (disableBeforeRemove) {
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
      }
      IoDetachDevice(pdo);
      IoDeleteDevice(fdo);
    });
    RtlFreeUnicodeString(&link);
  };
  attachAndEnable(true);
  EXPECT_TRUE(machine().Violations().empty());
  attachAndEnable(false);
  IoDeleteDevice(pdo);  // the physical device goes too: still the one report
  auto violations = machine().Violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "device interface enabled on deleted device");
  TakeViolations();
}

}  // namespace
