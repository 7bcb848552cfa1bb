// The names a device is reached by and the keys the plug-and-play manager keeps for it:
// symbolic links (\DosDevices is \??), a device's hardware and software keys, and device
// interfaces from registration through enabling to the listing.
#include "io_test_support.h"
#include "registry_test_support.h"

namespace {

using DeviceNames = IoTest;

constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

TEST_F(DeviceNames, SymbolicLinkUnderDosDevicesAndQuestionMarkIsOneName) {
  PDRIVER_OBJECT driver = LoadTestDriver(u"zel", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT device = CreateDevice(driver, u"\\Device\\Zel0");
  UNICODE_STRING dos = U(u"\\DosDevices\\COM3"), global = U(u"\\??\\com3"), target = U(u"\\Device\\Zel0");
  RunTask([&] { EXPECT_EQ(IoCreateSymbolicLink(&dos, &target), STATUS_SUCCESS); });
  for (const char16_t* name : {u"\\DosDevices\\COM3", u"\\??\\COM3", u"\\dosdevices\\com3"}) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sim::io::Open(name, &file), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::FileTarget(file), device);
    sim::io::Close(file);
  }
  RunTask([&] {
    EXPECT_EQ(IoCreateSymbolicLink(&global, &target), STATUS_OBJECT_NAME_COLLISION);
    UNICODE_STRING relative = U(u"COM4");
    EXPECT_EQ(IoCreateSymbolicLink(&relative, &target), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(IoDeleteSymbolicLink(&global), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&dos), STATUS_OBJECT_NAME_NOT_FOUND);
  });
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(sim::io::Open(u"\\??\\COM3", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  IoDeleteDevice(device);
}

TEST_F(DeviceNames, DeviceRegistryKeysOnlyForDevicesPlugAndPlayKnows) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  PDEVICE_OBJECT other = sim::io::CreatePhysicalDevice();
  HANDLE key = nullptr;
  RunTask([&] { EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST); });
  sim::registry::SetDeviceInstancePath(pdo, u"ZELBUS\\BRPORTS01\\01");
  sim::registry::SetDeviceInstancePath(other, u"ZELBUS\\BRPORTS01\\02", u"{4d36e978-e325-11ce-bfc1-08002be10318}");
  const std::u16string parameters = std::u16string(sim::registry::kEnum) + u"\\ZELBUS\\BRPORTS01\\01\\Device Parameters";
  RunTask([&] {
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name = U(u"PortName");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(u"COM5"), 10), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    // No software key for a device without a class; an invalid key type is refused.
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
  });
  EXPECT_EQ(sim::registry::GetSz(parameters, u"PortName"), u"COM5");

  // The software key: the class's next number, the same one every time after.
  sim::registry::CreateKey(std::u16string(sim::registry::kControl) + u"\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0000");
  RunTask([&] {
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key), STATUS_SUCCESS);
      ULONG value = 7;
      UNICODE_STRING name = U(u"Round");
      EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
      ZwClose(key);
    }
    ASSERT_EQ(IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
  });
  EXPECT_EQ(sim::registry::GetSz(std::u16string(sim::registry::kEnum) + u"\\ZELBUS\\BRPORTS01\\02", u"Driver"),
            u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0001");
  EXPECT_EQ(sim::registry::GetDword(std::u16string(sim::registry::kControl) +
                                        u"\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0001",
                                    u"Round"),
            7u);
  EXPECT_TRUE(sim::registry::KeyExists(std::u16string(sim::registry::kCurrentControlSet) +
                                       u"\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Enum\\ZELBUS\\"
                                       u"BRPORTS01\\02\\Device Parameters"));
  EXPECT_EQ(sim::registry::OpenHandleCount(), 0u);
  EXPECT_EQ(sim::io::GuidText(kPortsClass), u"{4d36e978-e325-11ce-bfc1-08002be10318}");
}

TEST_F(DeviceNames, DeviceInterfaceFromRegistrationToListing) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  UNICODE_STRING link{}, second{}, withReference{};
  RunTask([&] { EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST); });
  sim::registry::SetDeviceInstancePath(pdo, u"ZELBUS\\BRPORTS01\\01");
  const std::u16string expected = u"\\??\\ZELBUS#BRPORTS01#01#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  RunTask([&] {
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &link), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, nullptr, &second), STATUS_SUCCESS);  // the same one again
    UNICODE_STRING reference = U(u"Port2");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, &reference, &withReference), STATUS_SUCCESS);
    UNICODE_STRING nested = U(u"a\\b");
    UNICODE_STRING refused{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kComPort, &nested, &refused), STATUS_INVALID_PARAMETER);
  });
  EXPECT_EQ(Text(link), expected);
  EXPECT_EQ(link.MaximumLength, link.Length + sizeof(WCHAR));
  EXPECT_EQ(Text(second), expected);
  EXPECT_EQ(Text(withReference), expected + u"\\Port2");
  EXPECT_EQ(sim::pool::FindBlock(link.Buffer)->type, PagedPool);
  auto listed = sim::io::DeviceInterfaces(kComPort);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].device, pdo);
  EXPECT_FALSE(listed[0].enabled);
  EXPECT_EQ(listed[1].referenceString, u"Port2");
  EXPECT_TRUE(sim::io::DeviceInterfaces(kPortsClass).empty());

  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(sim::io::Open(expected, &file), STATUS_OBJECT_NAME_NOT_FOUND);  // not before it is enabled
  PWSTR list = nullptr;
  RunTask([&] {
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, TRUE), STATUS_OBJECT_NAME_EXISTS);
    ASSERT_EQ(IoGetDeviceInterfaces(&kComPort, nullptr, 0, &list), STATUS_SUCCESS);
  });
  EXPECT_EQ(std::u16string(list, expected.size() + 2), expected + std::u16string(u"\0\0", 2));  // enabled only
  ExFreePool(list);
  EXPECT_TRUE(sim::io::DeviceInterfaces(kComPort)[0].enabled);
  EXPECT_EQ(sim::io::FindDevice(expected), pdo);  // the bus driver itself refuses opens

  RunTask([&] {
    ASSERT_EQ(IoGetDeviceInterfaces(&kComPort, pdo, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING unknown = U(u"\\??\\ZELBUS#OTHER#01#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  });
  std::u16string both = expected + u'\0' + expected + u"\\Port2" + u'\0' + u'\0';
  EXPECT_EQ(std::u16string(list, both.size()), both);
  ExFreePool(list);
  EXPECT_EQ(sim::io::FindDevice(expected), nullptr);
  for (UNICODE_STRING* name : {&link, &second, &withReference}) RtlFreeUnicodeString(name);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

// The registration belongs to the device instance: after a replug the new PDO of the same
// instance gets it back, and enabling it links the new device.
TEST_F(DeviceNames, DeviceInterfaceOfAReplugedInstanceFollowsTheNewPdo) {
  PDEVICE_OBJECT old = sim::io::CreatePhysicalDevice();
  PDEVICE_OBJECT fresh = sim::io::CreatePhysicalDevice();
  sim::registry::SetDeviceInstancePath(old, u"ZELBUS\\BRPORTS01\\01");
  UNICODE_STRING first{}, again{};
  RunTask([&] { ASSERT_EQ(IoRegisterDeviceInterface(old, &kComPort, nullptr, &first), STATUS_SUCCESS); });
  RunTask([&] { IoDeleteDevice(old); });
  sim::registry::SetDeviceInstancePath(fresh, u"ZELBUS\\BRPORTS01\\01");
  RunTask([&] {
    ASSERT_EQ(IoRegisterDeviceInterface(fresh, &kComPort, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&again, TRUE), STATUS_SUCCESS);
  });
  EXPECT_EQ(Text(again), Text(first));
  EXPECT_EQ(sim::io::DeviceInterfaces(kComPort).size(), 1u);
  EXPECT_EQ(sim::io::FindDevice(Text(again)), fresh);
  RunTask([&] { EXPECT_EQ(IoSetDeviceInterfaceState(&again, FALSE), STATUS_SUCCESS); });
  for (UNICODE_STRING* name : {&first, &again}) RtlFreeUnicodeString(name);
}

}  // namespace
