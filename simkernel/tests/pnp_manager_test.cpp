// The plug-and-play manager driving a bus driver and its children through arrival,
// enumeration, departure, orderly and surprise removal, stop and restart, disable and enable.
#include "pnp_test_support.h"

using namespace pnptest;
using sim::pnp::NodeState;
using Strings = std::vector<std::string>;

namespace {

const Strings kIdentify = {"QUERY_ID DeviceID",
                           "QUERY_ID HardwareIDs",
                           "QUERY_ID CompatibleIDs",
                           "QUERY_ID InstanceID",
                           "QUERY_CAPABILITIES",
                           "QUERY_DEVICE_TEXT Description",
                           "QUERY_DEVICE_TEXT LocationInformation",
                           "QUERY_BUS_INFORMATION"};

Strings Concat(std::initializer_list<Strings> parts) {
  Strings all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace

TEST_F(PnpTest, ArrivalLoadsTheServiceAndStartsTheDeviceThenEnumeratesAndStartsItsChildren) {
  StartTestBus();
  EXPECT_EQ(EventsOf(kRootPath),
            Concat({kIdentify, {"DriverEntry", "AddDevice", "START_DEVICE", "QUERY_CAPABILITIES",
                                "QUERY_DEVICE_RELATIONS BusRelations"}}));
  auto bus = sim::pnp::Node(kRootPath);
  ASSERT_TRUE(bus);
  EXPECT_EQ(bus->state, NodeState::Started);
  EXPECT_EQ(bus->service, u"TestBus");
  EXPECT_EQ(bus->parent, u"HTREE\\ROOT\\0");
  ASSERT_EQ(bus->children.size(), 2u);
  ASSERT_TRUE(sim::pnp::ServiceDriver(u"TestBus"));

  // Not unique: the instance is the parent's prefix and the child's own instance ID.
  const std::u16string child1 = bus->children[0];
  EXPECT_TRUE(child1.starts_with(u"TESTBUS\\CHILD1\\"));
  EXPECT_TRUE(child1.ends_with(u"&1"));
  const auto prefix = sim::registry::GetSz(std::u16string(sim::registry::kEnum) + u"\\" + std::u16string(kRootPath),
                                           u"ParentIdPrefix");
  ASSERT_TRUE(prefix);
  EXPECT_EQ(child1, u"TESTBUS\\CHILD1\\" + *prefix + u"&1");
  // Hardware ID "TESTBUS\CHILD1" matches nothing; the compatible ID brings the bus's own driver, loaded.
  EXPECT_EQ(EventsOf(child1), Concat({kIdentify, {"AddDevice", "START_DEVICE", "QUERY_CAPABILITIES",
                                                  "QUERY_DEVICE_RELATIONS BusRelations"}}));
  auto node = sim::pnp::Node(child1);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->state, NodeState::Started);
  EXPECT_EQ(node->service, u"TestBus");
  EXPECT_EQ(node->description, u"Test port");
  EXPECT_EQ(node->hardwareIds, std::vector<std::u16string>{u"TESTBUS\\CHILD1"});
  EXPECT_EQ(node->pdo, Bus().childPdos[0]);
  // The manager keeps one reference on each child PDO from the relations.
  EXPECT_EQ(sim::io::ObjectReferenceCount(Bus().childPdos[0]), 1);

  const std::u16string enumKey = std::u16string(sim::registry::kEnum) + u"\\" + child1;
  EXPECT_EQ(sim::registry::GetSz(enumKey, u"Service"), u"TestBus");
  EXPECT_EQ(sim::registry::GetSz(enumKey, u"DeviceDesc"), u"Test port");
  EXPECT_EQ(sim::registry::DeviceInstancePath(Bus().childPdos[0]), child1);
  // A second relations query with the same answer changes nothing and keeps one reference.
  sim::pnp::ClearEvents();
  Invalidate(bus->pdo);
  EXPECT_EQ(EventsOf(kRootPath), Strings{"QUERY_DEVICE_RELATIONS BusRelations"});
  EXPECT_EQ(sim::pnp::Events().size(), 1u);
  EXPECT_EQ(sim::io::ObjectReferenceCount(Bus().childPdos[0]), 1);
}

TEST_F(PnpTest, ChildMissingFromRelationsIsSurpriseRemovedThenRemovedAndLeavesTheTree) {
  StartTestBus();
  const std::u16string child2 = ChildPath(kRootPath, 2);
  PDEVICE_OBJECT pdo2 = Bus().childPdos[1];
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::OpenDevice(pdo2, &file), STATUS_SUCCESS);
  sim::pnp::ClearEvents();
  Ext(pdo2)->present = false;
  Invalidate(sim::pnp::Node(kRootPath)->pdo);
  // A started child goes by surprise; its REMOVE waits for the open handle.
  EXPECT_EQ(EventsOf(child2), Strings{"SURPRISE_REMOVAL"});
  EXPECT_EQ(sim::pnp::Node(child2)->state, NodeState::SurpriseRemoved);
  ASSERT_EQ(sim::io::Close(file), STATUS_SUCCESS);
  sim::pnp::WaitIdle();
  EXPECT_EQ(EventsOf(child2), (Strings{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
  EXPECT_FALSE(sim::pnp::Node(child2));
  EXPECT_TRUE(sim::io::IsDeleted(pdo2));
  EXPECT_EQ(sim::pnp::Node(kRootPath)->children.size(), 1u);
}

TEST_F(PnpTest, OrderlyRemovalQueriesChildrenFirstAndAVetoCancelsInReverse) {
  StartTestBus();
  const std::u16string child1 = ChildPath(kRootPath, 1), child2 = ChildPath(kRootPath, 2);
  Bus().vetoRemoveOfChild = 2;
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::RequestRemoval(kRootPath), STATUS_UNSUCCESSFUL);
  std::vector<std::pair<std::u16string, std::string>> seen;
  for (const auto& event : sim::pnp::Events()) seen.emplace_back(event.device, event.what);
  const std::u16string root(kRootPath);
  EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, std::string>>{{child1, "QUERY_REMOVE_DEVICE"},
                                                                        {child2, "QUERY_REMOVE_DEVICE"},
                                                                        {child2, "CANCEL_REMOVE_DEVICE"},
                                                                        {child1, "CANCEL_REMOVE_DEVICE"}}));
  EXPECT_EQ(sim::pnp::Node(kRootPath)->state, NodeState::Started);

  // An open handle vetoes too, after every driver agreed.
  Bus().vetoRemoveOfChild = 0;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::OpenDevice(Bus().childPdos[0], &file), STATUS_SUCCESS);
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::RequestRemoval(kRootPath), STATUS_DEVICE_BUSY);
  EXPECT_EQ(EventsOf(root), (Strings{"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"}));
  ASSERT_EQ(sim::io::Close(file), STATUS_SUCCESS);

  sim::pnp::ClearEvents();
  PDEVICE_OBJECT fdo = sim::pnp::Node(kRootPath)->pdo->AttachedDevice;
  EXPECT_EQ(sim::pnp::RequestRemoval(kRootPath), STATUS_SUCCESS);
  seen.clear();
  for (const auto& event : sim::pnp::Events()) seen.emplace_back(event.device, event.what);
  EXPECT_EQ(seen, (std::vector<std::pair<std::u16string, std::string>>{{child1, "QUERY_REMOVE_DEVICE"},
                                                                        {child2, "QUERY_REMOVE_DEVICE"},
                                                                        {root, "QUERY_REMOVE_DEVICE"},
                                                                        {child1, "REMOVE_DEVICE"},
                                                                        {child2, "REMOVE_DEVICE"},
                                                                        {root, "REMOVE_DEVICE"}}));
  EXPECT_TRUE(sim::io::IsDeleted(fdo));
  auto bus = sim::pnp::Node(kRootPath);
  EXPECT_EQ(bus->state, NodeState::Removed);
  EXPECT_TRUE(bus->children.empty());
  EXPECT_EQ(sim::pnp::RequestRemoval(kRootPath), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PnpTest, StopAndRestartAndAVetoedStop) {
  StartTestBus();
  const std::u16string root(kRootPath);
  Bus().vetoStop = true;
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::Rebalance(kRootPath), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(EventsOf(root), (Strings{"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"}));
  Bus().vetoStop = false;
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::Rebalance(kRootPath), STATUS_SUCCESS);
  EXPECT_EQ(EventsOf(root), (Strings{"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE", "QUERY_CAPABILITIES",
                                     "QUERY_DEVICE_RELATIONS BusRelations"}));
  EXPECT_EQ(sim::pnp::Node(kRootPath)->state, NodeState::Started);
  EXPECT_EQ(sim::pnp::Node(kRootPath)->children.size(), 2u);  // the same children, nothing new
  EXPECT_EQ(sim::pnp::Events().size(), 5u);
}

TEST_F(PnpTest, DisableKeepsThePdoAndEnableAddsTheDeviceAgain) {
  StartTestBus();
  PDEVICE_OBJECT pdo = sim::pnp::Node(kRootPath)->pdo;
  EXPECT_EQ(sim::pnp::DisableDevice(kRootPath), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::Node(kRootPath)->state, NodeState::Disabled);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_FALSE(sim::io::IsDeleted(pdo));
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::EnableDevice(kRootPath), STATUS_SUCCESS);
  EXPECT_EQ(EventsOf(kRootPath), (Strings{"AddDevice", "START_DEVICE", "QUERY_CAPABILITIES",
                                          "QUERY_DEVICE_RELATIONS BusRelations"}));
  auto bus = sim::pnp::Node(kRootPath);
  EXPECT_EQ(bus->pdo, pdo);
  EXPECT_EQ(bus->state, NodeState::Started);
  ASSERT_EQ(bus->children.size(), 2u);
  EXPECT_EQ(sim::pnp::Node(bus->children[1])->state, NodeState::Started);
  EXPECT_EQ(sim::pnp::EnableDevice(kRootPath), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PnpTest, EjectOfAChildRemovesItEjectsItAndTheBusStopsReportingIt) {
  Bus().childEjectSupported = true;
  StartTestBus();
  const std::u16string child1 = ChildPath(kRootPath, 1);
  PDEVICE_OBJECT pdo1 = Bus().childPdos[0];
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::RequestEject(child1), STATUS_SUCCESS);
  // Removed while still reported (the device stays), ejected, then missing: REMOVE again deletes it.
  EXPECT_EQ(EventsOf(child1), (Strings{"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "EJECT", "REMOVE_DEVICE"}));
  EXPECT_EQ(EventsOf(kRootPath), Strings{"QUERY_DEVICE_RELATIONS BusRelations"});
  EXPECT_FALSE(sim::pnp::Node(child1));
  EXPECT_TRUE(sim::io::IsDeleted(pdo1));

  // A device that cannot eject is only removed; still reported, it stays as a removed device.
  Bus().childEjectSupported = false;
  Invalidate(sim::pnp::Node(kRootPath)->pdo);  // nothing changes: the capabilities were read at arrival
  const std::u16string child2 = ChildPath(kRootPath, 2);
  auto node = sim::pnp::Node(child2);
  ASSERT_TRUE(node);
  ASSERT_TRUE(node->capabilities.EjectSupported);
  sim::pnp::Rebalance(child2);  // the restart reads them again
  ASSERT_FALSE(sim::pnp::Node(child2)->capabilities.EjectSupported);
  sim::pnp::ClearEvents();
  EXPECT_EQ(sim::pnp::RequestEject(child2), STATUS_SUCCESS);
  EXPECT_EQ(EventsOf(child2), (Strings{"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"}));
  EXPECT_EQ(sim::pnp::Node(child2)->state, NodeState::Removed);
  EXPECT_FALSE(sim::io::IsDeleted(Bus().childPdos[1]));
}

TEST_F(PnpTest, ChildBackWithThePathOfOneWaitingForItsHandlesIsInstalledOnceThatOneIsRemoved) {
  StartTestBus();
  const std::u16string child2 = ChildPath(kRootPath, 2);
  PDEVICE_OBJECT old = Bus().childPdos[1];
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::OpenDevice(old, &file), STATUS_SUCCESS);
  // The same child leaves and comes back as a new PDO in one relations answer (an adapter
  // re-enumerated after losing power), while the old one's handle is still open.
  PDEVICE_OBJECT fdo = sim::pnp::Node(kRootPath)->pdo->AttachedDevice;
  Ext(old)->present = false;
  PDEVICE_OBJECT back = CreateChild(fdo->DriverObject, 2);
  Ext(fdo)->Add(back);
  sim::pnp::ClearEvents();
  Invalidate(sim::pnp::Node(kRootPath)->pdo);
  EXPECT_TRUE(TakeViolations().empty());
  EXPECT_EQ(sim::pnp::Node(child2)->pdo, old);
  EXPECT_EQ(sim::pnp::Node(child2)->state, NodeState::SurpriseRemoved);
  ASSERT_TRUE(sim::pnp::NodeOf(back));
  EXPECT_EQ(sim::pnp::NodeOf(back)->state, NodeState::Enumerated);
  EXPECT_TRUE(sim::pnp::NodeOf(back)->instancePath.empty());

  ASSERT_EQ(sim::io::Close(file), STATUS_SUCCESS);
  sim::pnp::WaitIdle();
  auto node = sim::pnp::Node(child2);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->pdo, back);
  EXPECT_EQ(node->state, NodeState::Started);
  EXPECT_TRUE(sim::io::IsDeleted(old));
  const Strings events = EventsOf(child2);
  const auto removed = std::find(events.begin(), events.end(), "REMOVE_DEVICE");
  const auto started = std::find(events.begin(), events.end(), "START_DEVICE");
  ASSERT_NE(removed, events.end());
  ASSERT_NE(started, events.end());
  EXPECT_LT(removed, started);
  EXPECT_EQ(sim::pnp::Node(kRootPath)->children.size(), 2u);
}
