// System power transitions over the device tree: the order of queries and set-power requests
// down and up, a veto and its cancel, a policy owner's own device request inside the sleep,
// and the rules a driver breaks by holding or failing a system request.
#include "pnp_test_support.h"
#include "simkernel/power.h"

using namespace pnptest;
using sim::power::LoggedIrp;
using Rules = std::vector<std::string>;

namespace {

struct Seen {
  UCHAR minor;
  NTSTATUS arrivedWith;
  POWER_ACTION action;
  ULONG context;
};

VOID NTAPI PoweredDown(PDEVICE_OBJECT device, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto* systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoCallDriver(Ext(device)->lower, systemIrp);
}

class PowerTransition : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    Bus().power = [this](PDEVICE_OBJECT d, PIRP irp) { return Power(d, irp); };
    StartTestBus();
    child1 = ChildPath(kRootPath, 1);
    child2 = ChildPath(kRootPath, 2);
    sim::power::ClearLog();
  }

  // The bus's function device passes system requests down (or, as power policy owner, first
  // asks for D3 on sleep); its children answer them.
  NTSTATUS Power(PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Extension* ext = Ext(d);
    const bool system = sp->Parameters.Power.Type == SystemPowerState;
    const bool set = sp->MinorFunction == IRP_MN_SET_POWER;
    if (system)
      seen.push_back({sp->MinorFunction, irp->IoStatus.Status, sp->Parameters.Power.ShutdownType,
                      sp->Parameters.Power.SystemContext});
    if (!ext->isPdo) {
      if (childLeavesInSleep && system && set && sp->Parameters.Power.State.SystemState > PowerSystemWorking) {
        Ext(Bus().childPdos[1])->present = false;
        IoInvalidateDeviceRelations(ext->lower, BusRelations);
      }
      if (ownsPower && system && set && sp->Parameters.Power.State.SystemState > PowerSystemWorking) {
        IoMarkIrpPending(irp);
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        PoRequestPowerIrp(d, IRP_MN_SET_POWER, d3, PoweredDown, irp, nullptr);
        return STATUS_PENDING;
      }
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(ext->lower, irp);
    }
    if (system && set && ext->index == holdChild) {
      IoMarkIrpPending(irp);
      held.push_back(irp);
      return STATUS_PENDING;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (system && ext->index == (set ? failSetChild : vetoChild)) status = STATUS_UNSUCCESSFUL;
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
  }

  static const LoggedIrp* Find(const std::vector<LoggedIrp>& log, std::u16string_view device, UCHAR minor,
                               ULONG state) {
    for (const auto& entry : log)
      if (entry.device == device && entry.minor == minor && entry.state == state) return &entry;
    return nullptr;
  }

  // (device, minor, state) of every logged request, in the order sent.
  static std::vector<std::tuple<std::u16string, UCHAR, ULONG>> Sent() {
    std::vector<std::tuple<std::u16string, UCHAR, ULONG>> list;
    for (const auto& entry : sim::power::Log()) list.emplace_back(entry.device, entry.minor, entry.state);
    return list;
  }

  std::u16string child1, child2;
  const std::u16string root{kRootPath};
  int vetoChild = 0, failSetChild = 0, holdChild = 0;
  bool ownsPower = false;
  bool childLeavesInSleep = false;
  std::vector<PIRP> held;
  std::vector<Seen> seen;
};

constexpr UCHAR kQuery = IRP_MN_QUERY_POWER;
constexpr UCHAR kSet = IRP_MN_SET_POWER;

TEST_F(PowerTransition, SleepGoesChildrenBeforeTheirParentAndWakeParentFirst) {
  auto outcome = sim::power::Sleep(PowerSystemSleeping3);
  EXPECT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.device, u"");
  EXPECT_EQ(sim::power::SystemState(), PowerSystemSleeping3);
  auto log = sim::power::Log();
  ASSERT_EQ(log.size(), 6u);
  const LoggedIrp* rootQuery = Find(log, root, kQuery, PowerSystemSleeping3);
  const LoggedIrp* rootSet = Find(log, root, kSet, PowerSystemSleeping3);
  ASSERT_TRUE(rootQuery && rootSet);
  for (const auto& child : {child1, child2}) {
    const LoggedIrp* query = Find(log, child, kQuery, PowerSystemSleeping3);
    const LoggedIrp* set = Find(log, child, kSet, PowerSystemSleeping3);
    ASSERT_TRUE(query && set);
    EXPECT_LT(query->completed, rootQuery->sent);
    EXPECT_LT(rootQuery->completed, set->sent);  // every query answered before any set
    EXPECT_LT(set->completed, rootSet->sent);
  }
  for (const auto& entry : log) {
    EXPECT_EQ(entry.status, STATUS_SUCCESS);
    EXPECT_EQ(entry.type, SystemPowerState);
    EXPECT_FALSE(entry.requested);
  }
  ASSERT_EQ(seen.size(), 6u);
  for (const auto& each : seen) {
    EXPECT_EQ(each.arrivedWith, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(each.action, PowerActionSleep);
    EXPECT_EQ(each.context, seen[0].context);
  }
  EXPECT_NE(seen[0].context, 0u);

  sim::power::ClearLog();
  seen.clear();
  EXPECT_EQ(sim::power::Sleep(PowerSystemHibernate).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
  log = sim::power::Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].device, root);
  for (const auto& child : {child1, child2}) {
    const LoggedIrp* set = Find(log, child, kSet, PowerSystemWorking);
    ASSERT_TRUE(set);
    EXPECT_GT(set->sent, log[0].completed);
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].action, PowerActionNone);
  EXPECT_EQ(sim::power::Wake().status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(sim::power::Sleep(PowerSystemWorking).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(PowerTransition, AFailedQueryVetoesAndTheQueriedDevicesAreSetBackToWorking) {
  vetoChild = 2;
  auto outcome = sim::power::Sleep(PowerSystemHibernate);
  EXPECT_EQ(outcome.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(outcome.device, child2);
  EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
  using Entry = std::tuple<std::u16string, UCHAR, ULONG>;
  EXPECT_EQ(Sent(), (std::vector<Entry>{{child1, kQuery, PowerSystemHibernate},
                                        {child2, kQuery, PowerSystemHibernate},
                                        {child1, kSet, PowerSystemWorking},
                                        {child2, kSet, PowerSystemWorking}}));

  // A critical transition asks nobody.
  sim::power::ClearLog();
  seen.clear();
  sim::power::TransitionOptions critical;
  critical.skipQuery = true;
  EXPECT_EQ(sim::power::Sleep(PowerSystemHibernate, critical).status, STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<Entry>{{child1, kSet, PowerSystemHibernate},
                                        {child2, kSet, PowerSystemHibernate},
                                        {root, kSet, PowerSystemHibernate}}));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].action, PowerActionHibernate);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(PowerTransition, APolicyOwnerHoldingTheSleepRequestPowersItsDeviceDownFirst) {
  ownsPower = true;
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping1).status, STATUS_SUCCESS);
  auto log = sim::power::Log();
  const LoggedIrp* system = Find(log, root, kSet, PowerSystemSleeping1);
  const LoggedIrp* device = Find(log, root, kSet, PowerDeviceD3);
  ASSERT_TRUE(system && device);
  EXPECT_FALSE(system->requested);
  EXPECT_TRUE(device->requested);
  EXPECT_EQ(device->type, DevicePowerState);
  EXPECT_EQ(device->status, STATUS_SUCCESS);
  EXPECT_GT(device->sent, system->sent);
  EXPECT_LT(device->completed, system->completed);
  EXPECT_EQ(sim::io::RecordedPowerState(sim::pnp::Node(kRootPath)->pdo, DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(PowerTransition, ASystemRequestHeldForEverIsReportedAndItsParentNeverAsked) {
  holdChild = 1;
  auto outcome = sim::power::Sleep(PowerSystemSleeping3);
  EXPECT_EQ(outcome.status, STATUS_PENDING);
  EXPECT_EQ(outcome.device, child1);
  EXPECT_EQ(TakeViolations(), Rules{"system power irp not completed"});
  EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
  EXPECT_FALSE(Find(sim::power::Log(), root, kSet, PowerSystemSleeping3));
  ASSERT_EQ(held.size(), 1u);
  RunTask([&] {
    PoStartNextPowerIrp(held[0]);
    Complete(held[0], STATUS_SUCCESS);
  });
  EXPECT_EQ(sim::io::InFlightIrpCount(), 0u);
}

TEST_F(PowerTransition, ASystemSetPowerFailedByADriverIsReported) {
  failSetChild = 2;
  EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping2).status, STATUS_SUCCESS);
  EXPECT_EQ(TakeViolations(), Rules{"system set power irp failed"});
}

TEST_F(PowerTransition, ADeviceLeavingDuringTheSleepIsHandledAfterTheWake) {
  childLeavesInSleep = true;
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  sim::pnp::ClearEvents();
  sim::pnp::WaitIdle();
  EXPECT_EQ(sim::pnp::Node(child2)->state, sim::pnp::NodeState::Started);
  EXPECT_EQ(sim::pnp::RequestRemoval(child1), STATUS_DEVICE_BUSY);
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  EXPECT_TRUE(Find(sim::power::Log(), child2, kSet, PowerSystemWorking));
  EXPECT_TRUE(sim::pnp::Events().empty());
  sim::pnp::WaitIdle();
  EXPECT_FALSE(sim::pnp::Node(child2));
  EXPECT_EQ(EventsOf(child2), (std::vector<std::string>{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
  EXPECT_TRUE(TakeViolations().empty());
}

}  // namespace
