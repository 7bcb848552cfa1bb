// USB devices through the plug-and-play manager: the hub's IDs and instance paths, arrival of
// a function driver's stack with its children, unplugging with a handle open, renumeration.
#include "pnp_test_support.h"
#include "usb_bus_test_support.h"

using namespace pnptest;
using sim::pnp::NodeState;
using Strings = std::vector<std::string>;

namespace {

constexpr std::u16string_view kAdapterPath = u"USB\\Vid_5a45&Pid_8401\\SN0042";

class PnpUsbTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    sim::pnp::InstallService(u"TestBus", DriverEntry, {u"USB\\Vid_5a45&Pid_8401", u"USB\\Vid_5a45&Pid_8402"},
                             sim::pnp::DeviceClass::MultiPortSerial);
    sim::pnp::InstallService(u"TestBus", DriverEntry, {u"TESTBUS\\CHILD"}, sim::pnp::DeviceClass::Ports);
  }

  sim::usb::BusPort* Plug(usbtest::Device& device) {
    sim::usb::BusPort* port = nullptr;
    sim::usb::Plug(device, &port);
    sim::pnp::WaitIdle();
    return port;
  }

  usbtest::Device device;
};

}  // namespace

TEST_F(PnpUsbTest, TheHubsIdsNameTheDeviceAndItsSerialNumberMakesItUnique) {
  device.strings[2] = u"Test Adapter";
  Plug(device);
  auto node = sim::pnp::Node(kAdapterPath);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->parent, u"USB\\ROOT_HUB\\4&1d5f2a8c&0");
  EXPECT_EQ(node->deviceId, u"USB\\Vid_5a45&Pid_8401");
  EXPECT_EQ(node->hardwareIds, (std::vector<std::u16string>{u"USB\\Vid_5a45&Pid_8401&Rev_0001", u"USB\\Vid_5a45&Pid_8401"}));
  EXPECT_EQ(node->compatibleIds,
            (std::vector<std::u16string>{u"USB\\Class_ff&SubClass_00&Prot_00", u"USB\\Class_ff&SubClass_00", u"USB\\Class_ff"}));
  EXPECT_EQ(node->instanceId, u"SN0042");
  EXPECT_EQ(node->description, u"Test Adapter");
  EXPECT_TRUE(node->capabilities.UniqueID);
  EXPECT_TRUE(node->capabilities.Removable);
  EXPECT_FALSE(node->capabilities.SurpriseRemovalOK);
  EXPECT_EQ(node->state, NodeState::Started);
  EXPECT_EQ(node->children.size(), 2u);
  EXPECT_EQ(sim::registry::GetSz(std::u16string(sim::registry::kEnum) + u"\\" + std::u16string(kAdapterPath), u"ClassGUID"),
            sim::pnp::ClassGuidText(sim::pnp::DeviceClass::MultiPortSerial));
  EXPECT_EQ(sim::registry::GetSz(std::u16string(sim::registry::kEnum) + u"\\" + node->children[0], u"Class"), u"Ports");

  // Without a serial number the hub gives the port number, and the manager prefixes it.
  usbtest::Device anonymous;
  anonymous.deviceDescriptor[16] = 0;
  anonymous.deviceDescriptor[10] = 0x03;  // another product: no service, left identified only
  sim::usb::BusPort* port = Plug(anonymous);
  auto hub = sim::pnp::Node(u"USB\\ROOT_HUB\\4&1d5f2a8c&0");
  ASSERT_EQ(hub->children.size(), 2u);
  auto other = sim::pnp::Node(hub->children[1]);
  ASSERT_TRUE(other);
  const auto prefix = sim::registry::GetSz(std::u16string(sim::registry::kEnum) + u"\\USB\\ROOT_HUB\\4&1d5f2a8c&0",
                                           u"ParentIdPrefix");
  ASSERT_TRUE(prefix);
  EXPECT_EQ(other->instancePath, u"USB\\Vid_5a45&Pid_8403\\" + *prefix + u"&" + Number(port->Number()));
  EXPECT_FALSE(other->capabilities.UniqueID);
  EXPECT_EQ(other->state, NodeState::Enumerated);
  EXPECT_EQ(other->service, u"");
}

TEST_F(PnpUsbTest, UnpluggedWithAHandleOpenTheTreeIsSurpriseRemovedAndRemovedAfterTheClose) {
  sim::usb::BusPort* port = Plug(device);
  auto node = sim::pnp::Node(kAdapterPath);
  ASSERT_TRUE(node);
  const std::u16string child1 = node->children[0], child2 = node->children[1];
  PDEVICE_OBJECT pdo = node->pdo;
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::OpenDevice(fdo, &file), STATUS_SUCCESS);
  sim::pnp::ClearEvents();
  sim::usb::Unplug(*port);
  sim::pnp::WaitIdle();
  const std::u16string adapter(kAdapterPath);
  std::vector<std::pair<std::u16string, std::string>> seen;
  for (const auto& event : sim::pnp::Events()) seen.emplace_back(event.device, event.what);
  // Children first; the children have no handle and go at once, the adapter waits for its handle.
  EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, std::string>>{{child1, "SURPRISE_REMOVAL"},
                                                                        {child2, "SURPRISE_REMOVAL"},
                                                                        {adapter, "SURPRISE_REMOVAL"},
                                                                        {child1, "REMOVE_DEVICE"},
                                                                        {child2, "REMOVE_DEVICE"}}));
  EXPECT_EQ(sim::pnp::Node(kAdapterPath)->state, NodeState::SurpriseRemoved);
  EXPECT_FALSE(sim::io::IsDeleted(fdo));
  ASSERT_EQ(sim::io::Close(file), STATUS_SUCCESS);
  sim::pnp::WaitIdle();
  EXPECT_EQ(EventsOf(adapter), (Strings{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
  // What the close did comes before the REMOVE it let through (for the race detector too).
  EXPECT_EQ(Bus().closesAtRemove, 1);
  EXPECT_FALSE(sim::pnp::Node(kAdapterPath));
  EXPECT_TRUE(sim::io::IsDeleted(fdo));
  machine().RunUntilIdle();
  EXPECT_TRUE(sim::io::IsDeleted(pdo));  // the bus deletes the PDO of a device that has gone

  // Plugged in again: the same instance, a new PDO, the whole arrival again.
  sim::pnp::ClearEvents();
  port->Attach();
  sim::pnp::WaitIdle();
  auto again = sim::pnp::Node(kAdapterPath);
  ASSERT_TRUE(again);
  EXPECT_NE(again->pdo, pdo);
  EXPECT_EQ(again->state, NodeState::Started);
  EXPECT_EQ(again->children, (std::vector<std::u16string>{child1, child2}));
}

// The manager hears of the departure at the hub's next status poll: until then the stack is
// there as it was (its transfers fail on the bus), and WaitIdle waits for the poll.
TEST_F(PnpUsbTest, ADepartureReachesTheManagerAtTheHubsNextPoll) {
  sim::usb::BusPort* port = Plug(device);
  sim::pnp::ClearEvents();
  const sim::VirtualTime unplugged = machine().Now();
  sim::usb::Unplug(*port);
  machine().RunFor(250 * sim::kMillisecond);
  EXPECT_EQ(sim::pnp::Node(kAdapterPath)->state, NodeState::Started);
  EXPECT_TRUE(sim::pnp::Events().empty());
  sim::pnp::WaitIdle();
  EXPECT_GE(machine().Now() - unplugged, 255 * sim::kMillisecond);
  EXPECT_FALSE(sim::pnp::Node(kAdapterPath));
  EXPECT_EQ(EventsOf(kAdapterPath), (Strings{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
}

// What the hub reports while the manager is in the middle of a driver's request waits for it:
// the driver's own wait in that request is not cut short.
TEST_F(PnpUsbTest, ANoticeArrivingDuringAStartLeavesTheDriversWaitAlone) {
  Bus().startWait = 100 * sim::kMillisecond;
  sim::usb::BusPort* port = nullptr;
  sim::usb::Plug(device, &port);
  usbtest::Device second;
  second.strings[3] = u"SN0043";
  machine().RunFor(10 * sim::kMillisecond);  // the first START is waiting now
  sim::usb::Plug(second, nullptr);
  sim::pnp::WaitIdle();
  EXPECT_EQ(Bus().startWaits, (std::vector<NTSTATUS>{STATUS_TIMEOUT, STATUS_TIMEOUT}));
  EXPECT_EQ(sim::pnp::Node(kAdapterPath)->state, NodeState::Started);
  EXPECT_EQ(sim::pnp::Node(u"USB\\Vid_5a45&Pid_8401\\SN0043")->state, NodeState::Started);
}

TEST_F(PnpUsbTest, RenumerationAsAnotherProductIsANewDeviceInstance) {
  Bus().unloadable = true;
  sim::usb::BusPort* port = Plug(device);
  ASSERT_TRUE(sim::pnp::Node(kAdapterPath));
  // The device resets itself and comes back with other descriptors, as after a firmware download.
  port->Detach();
  device.deviceDescriptor[10] = 0x02;
  port->Attach();
  sim::pnp::WaitIdle();
  EXPECT_FALSE(sim::pnp::Node(kAdapterPath));
  auto renumerated = sim::pnp::Node(u"USB\\Vid_5a45&Pid_8402\\SN0042");
  ASSERT_TRUE(renumerated);
  EXPECT_EQ(renumerated->pdo, port->Pdo());
  // The driver lost its last device with the old instance and is loaded again for the new one.
  EXPECT_EQ(EventsOf(kAdapterPath).back(), "DriverUnload");
  EXPECT_EQ(EventsOf(u"USB\\Vid_5a45&Pid_8402\\SN0042").at(8), "DriverEntry");
  EXPECT_EQ(Bus().loads, 2);
}

TEST_F(PnpUsbTest, TheHubNamesADevicePresentationByWhatItReadWhenItEnumeratedIt) {
  sim::usb::BusPort* port = nullptr;
  sim::usb::Plug(device, &port);
  // Answering otherwise once addressed, as a faulty device may: its IDs stay those of the enumeration.
  const std::vector<uint8_t> enumerated = device.deviceDescriptor;
  device.deviceDescriptor.resize(17);
  device.strings[3] = u"OTHER";
  sim::pnp::WaitIdle();
  auto node = sim::pnp::Node(kAdapterPath);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->deviceId, u"USB\\Vid_5a45&Pid_8401");
  EXPECT_EQ(node->instanceId, u"SN0042");
  EXPECT_TRUE(node->capabilities.UniqueID);

  // Presented again, it is enumerated again.
  port->Detach();
  device.deviceDescriptor = enumerated;
  device.deviceDescriptor[10] = 0x02;
  port->Attach();
  sim::pnp::WaitIdle();
  EXPECT_FALSE(sim::pnp::Node(kAdapterPath));
  auto again = sim::pnp::Node(u"USB\\Vid_5a45&Pid_8402\\OTHER");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->pdo, port->Pdo());
}
