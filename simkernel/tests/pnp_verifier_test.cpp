// The plug-and-play manager's verifier rules: each tripped by the test bus breaking one rule
// of the contract (a bus that breaks none trips nothing: every other plug-and-play test).
#include "pnp_test_support.h"

using namespace pnptest;

namespace {

struct Case {
  const char* name;
  Fault fault;
  const char* rule;
  bool remove;  // the rule is broken while the bus is removed
};

const Case kCases[] = {
    {"StartNotPassedDown", Fault::StartNotPassedDown, "pnp irp not passed to the physical device", false},
    {"UnknownMinorAnswered", Fault::UnknownMinorAnswered, "pnp irp status changed for unhandled minor", false},
    {"RemoveKeepsDevice", Fault::RemoveKeepsDevice, "device not deleted after remove", true},
    {"RemoveFails", Fault::RemoveFails, "remove device failed", true},
    {"AddDeviceNoAttach", Fault::AddDeviceNoAttach, "AddDevice returned success without attaching", false},
    {"AddDeviceKeepsInitializing", Fault::AddDeviceKeepsInitializing, "device initializing flag not cleared", false},
    {"RelationsNotFromPool", Fault::RelationsNotFromPool, "pnp answer not allocated from pool", false},
    {"RelationsNullEntry", Fault::RelationsNullEntry, "malformed device relations", false},
    {"RelationsCountTooBig", Fault::RelationsCountTooBig, "malformed device relations", false},
    {"RelationsUnreferenced", Fault::RelationsUnreferenced, "pdo in relations not referenced", false},
    {"RelationsFdoEntry", Fault::RelationsFdoEntry, "device relations entry not a physical device object", false},
    {"RelationsDeletedPdo", Fault::RelationsDeletedPdo, "deleted pdo reported in relations", false},
    {"IdWithoutDoubleNul", Fault::IdWithoutDoubleNul, "malformed pnp id", false},
    {"IdWithSpace", Fault::IdWithSpace, "malformed pnp id", false},
    {"TextWithoutNul", Fault::TextWithoutNul, "malformed device text", false},
    {"DuplicateInstance", Fault::DuplicateInstance, "duplicate device instance path", false},
};

class PnpVerifierTest : public PnpTest, public ::testing::WithParamInterface<Case> {};

}  // namespace

TEST_P(PnpVerifierTest, TheBrokenRuleIsReported) {
  const Case& c = GetParam();
  Bus().fault = c.fault;
  StartTestBus();
  if (c.remove) sim::pnp::RequestRemoval(kRootPath);
  const auto rules = TakeViolations();
  EXPECT_TRUE(Contains(rules, c.rule)) << c.rule << " not among " << ::testing::PrintToString(rules);
}

INSTANTIATE_TEST_SUITE_P(Faults, PnpVerifierTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(PnpTest, WhatIsMalformedIsNotInstalledAndWhatIsReturnedIsFreed) {
  // A hardware ID list without its end: the child is not identified by it and nothing leaks.
  Bus().fault = Fault::IdWithoutDoubleNul;
  StartTestBus();
  auto child = sim::pnp::Node(ChildPath(kRootPath, 1));
  ASSERT_TRUE(child);
  EXPECT_TRUE(child->hardwareIds.empty());
  EXPECT_EQ(child->compatibleIds, std::vector<std::u16string>{u"TESTBUS\\CHILD"});
  EXPECT_EQ(sim::pool::OutstandingCount(sim::pool::TagFromString("TSET")), 0u);
  EXPECT_EQ(sim::pool::OutstandingCount(sim::pool::TagFromString("UHUB")), 0u);
  EXPECT_EQ(TakeViolations(), std::vector<std::string>(2, "malformed pnp id"));

  // Of two children with one instance path only the first is installed.
  Bus() = Behaviour{};
  Bus().fault = Fault::DuplicateInstance;
  PDEVICE_OBJECT pdo = sim::pnp::Node(kRootPath)->pdo;
  ASSERT_EQ(sim::pnp::DisableDevice(kRootPath), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::EnableDevice(kRootPath), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::Node(kRootPath)->pdo, pdo);
  EXPECT_TRUE(sim::pnp::Node(u"TESTBUS\\CHILD1\\1"));
  EXPECT_EQ(sim::pnp::Node(kRootPath)->children.size(), 2u);
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"duplicate device instance path"});
}
