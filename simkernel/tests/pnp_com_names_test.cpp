// The Ports class installer's COM names: the lowest free from COM3, kept per device instance
// across unplug, replug and a restart of the machine, a name already in the key left alone,
// and freed only when the device is uninstalled.
#include "pnp_test_support.h"
#include "usb_bus_test_support.h"

using namespace pnptest;

namespace {

std::optional<std::u16string> PortName(const std::u16string& instancePath) {
  return sim::registry::GetSz(std::u16string(sim::registry::kEnum) + u"\\" + instancePath + u"\\Device Parameters",
                              u"PortName");
}

void InstallDrivers() {
  sim::pnp::InstallService(u"TestBus", DriverEntry, {u"USB\\Vid_5a45&Pid_8401"}, sim::pnp::DeviceClass::MultiPortSerial);
  sim::pnp::InstallService(u"TestBus", DriverEntry, {u"TESTBUS\\CHILD"}, sim::pnp::DeviceClass::Ports);
}

std::vector<std::u16string> ChildrenOf(std::u16string_view path) {
  auto node = sim::pnp::Node(path);
  return node ? node->children : std::vector<std::u16string>{};
}

// The port's driver reads its name through its device key, as a serial driver does at start.
std::u16string NameThroughDeviceKey(PDEVICE_OBJECT pdo) {
  std::u16string name;
  sim::Machine::Current().RunTask("read", [&] {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, u"PortName");
    UCHAR buffer[128] = {};
    ULONG length = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof buffer, &length))) {
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      name.assign(reinterpret_cast<const char16_t*>(info->Data), info->DataLength / 2 - 1);
    }
    ZwClose(key);
  });
  return name;
}

constexpr std::u16string_view kFirst = u"USB\\Vid_5a45&Pid_8401\\SN0042";
constexpr std::u16string_view kSecond = u"USB\\Vid_5a45&Pid_8401\\SN0043";

}  // namespace

TEST_F(PnpTest, PortsGetTheLowestFreeComNamesKeptAcrossUnplugAndReplug) {
  InstallDrivers();
  usbtest::Device first, second;
  second.strings[3] = u"SN0043";
  sim::usb::BusPort* port = nullptr;
  sim::usb::Plug(first, &port);
  sim::pnp::WaitIdle();
  const auto ports = ChildrenOf(kFirst);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(PortName(ports[0]), u"COM3");
  EXPECT_EQ(PortName(ports[1]), u"COM4");
  EXPECT_EQ(NameThroughDeviceKey(sim::pnp::Node(ports[1])->pdo), u"COM4");
  EXPECT_EQ(sim::pnp::ComNamesInUse(), (std::vector<unsigned>{3, 4}));
  const auto db = sim::registry::GetValue(sim::pnp::kComNameArbiter, u"ComDB");
  ASSERT_TRUE(db);
  EXPECT_EQ(db->type, ULONG(REG_BINARY));
  EXPECT_EQ(db->data.size(), 32u);
  EXPECT_EQ(db->data[0], 0x0C);

  // Unplugged, the names stay taken; a second adapter gets the next ones.
  sim::usb::Unplug(*port);
  sim::pnp::WaitIdle();
  ASSERT_FALSE(sim::pnp::Node(kFirst));
  sim::usb::Plug(second);
  sim::pnp::WaitIdle();
  const auto others = ChildrenOf(kSecond);
  ASSERT_EQ(others.size(), 2u);
  EXPECT_EQ(PortName(others[0]), u"COM5");
  EXPECT_EQ(PortName(others[1]), u"COM6");
  port->Attach();
  sim::pnp::WaitIdle();
  EXPECT_EQ(ChildrenOf(kFirst), ports);
  EXPECT_EQ(PortName(ports[0]), u"COM3");
  EXPECT_EQ(PortName(ports[1]), u"COM4");
  EXPECT_EQ(sim::pnp::ComNamesInUse(), (std::vector<unsigned>{3, 4, 5, 6}));
}

TEST_F(PnpTest, ANameAlreadyInTheDeviceKeyIsLeftAndClaimed) {
  InstallDrivers();
  usbtest::Device device;
  // A first arrival tells the ports' instance paths; uninstalled, they come back with names set by hand.
  sim::usb::BusPort* port = nullptr;
  sim::usb::Plug(device, &port);
  sim::pnp::WaitIdle();
  const auto ports = ChildrenOf(kFirst);
  ASSERT_EQ(ports.size(), 2u);
  sim::usb::Unplug(*port);
  sim::pnp::WaitIdle();
  ASSERT_TRUE(sim::pnp::UninstallDevice(ports[0]));
  ASSERT_TRUE(sim::pnp::UninstallDevice(ports[1]));
  EXPECT_TRUE(sim::pnp::ComNamesInUse().empty());
  sim::registry::SetSz(std::u16string(sim::registry::kEnum) + u"\\" + ports[0] + u"\\Device Parameters", u"PortName",
                       u"COM3");
  sim::registry::SetSz(std::u16string(sim::registry::kEnum) + u"\\" + ports[1] + u"\\Device Parameters", u"PortName",
                       u"C:\\bad", REG_EXPAND_SZ);
  port->Attach();
  sim::pnp::WaitIdle();
  EXPECT_EQ(PortName(ports[0]), u"COM3");
  // Kept as it was, even when it is no COM name (the driver refuses it at start).
  auto value = sim::registry::GetValue(std::u16string(sim::registry::kEnum) + u"\\" + ports[1] + u"\\Device Parameters",
                                       u"PortName");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, ULONG(REG_EXPAND_SZ));
  EXPECT_EQ(sim::pnp::ComNamesInUse(), std::vector<unsigned>{3});
  EXPECT_FALSE(sim::pnp::UninstallDevice(ports[0]));  // present: not uninstalled
}

// A machine of its own per boot: the hive, and with it the names, goes to the next one.
TEST(PnpComNames, KeptAcrossARestartAndFreedByUninstall) {
  std::vector<uint8_t> image;
  std::vector<std::u16string> ports;
  {
    sim::Machine machine(TestSeed());
    Bus() = Behaviour{};
    sim::pnp::Enable();
    InstallDrivers();
    usbtest::Device device;
    sim::usb::Plug(device);
    sim::pnp::WaitIdle();
    ports = ChildrenOf(kFirst);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(PortName(ports[1]), u"COM4");
    image = sim::registry::Export();
    for (const auto& violation : machine.Violations()) ADD_FAILURE() << violation.ToString();
  }
  sim::Machine machine(TestSeed() + 1);
  ASSERT_TRUE(sim::registry::Import(image));
  Bus() = Behaviour{};
  sim::pnp::Enable();
  InstallDrivers();
  // This boot another adapter comes first; it must not take the names the first one keeps.
  usbtest::Device other, device;
  other.strings[3] = u"SN0043";
  sim::usb::Plug(other);
  sim::pnp::WaitIdle();
  EXPECT_EQ(PortName(ChildrenOf(kSecond)[0]), u"COM5");
  sim::usb::BusPort* port = nullptr;
  sim::usb::Plug(device, &port);
  sim::pnp::WaitIdle();
  EXPECT_EQ(ChildrenOf(kFirst), ports);
  EXPECT_EQ(PortName(ports[0]), u"COM3");
  EXPECT_EQ(PortName(ports[1]), u"COM4");

  // Uninstalled once gone: its names are free for the next device.
  sim::usb::Unplug(*port);
  sim::pnp::WaitIdle();
  ASSERT_TRUE(sim::pnp::UninstallDevice(ports[0]));
  EXPECT_FALSE(PortName(ports[0]));
  EXPECT_EQ(sim::pnp::ComNamesInUse(), (std::vector<unsigned>{4, 5, 6}));
  for (const auto& violation : machine.Violations()) ADD_FAILURE() << violation.ToString();
}
