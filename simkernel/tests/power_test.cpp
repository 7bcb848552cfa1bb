// The power manager: the IRQL power requests arrive at, PoStartNextPowerIrp accounting,
// recorded power states and power requests a driver asks for.
#include "io_test_support.h"

namespace {

using Rules = std::vector<std::string>;

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return s;
}

POWER_STATE SystemState(SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return s;
}

class Power : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Pwr", [this](PDEVICE_OBJECT d, PIRP irp) { return dispatch(d, irp); });
    device = CreateDevice(driver, u"\\Device\\Pwr", 0);
  }
  // What a bottom driver does: start the next request, record a device state, complete.
  NTSTATUS Handle(PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irqls.push_back(KeGetCurrentIrql());
    PoStartNextPowerIrp(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
      PoSetPowerState(d, DevicePowerState, sp->Parameters.Power.State);
    return Complete(irp, STATUS_SUCCESS);
  }
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  DispatchFn dispatch;
  std::vector<KIRQL> irqls;
};

TEST_F(Power, NonPageableDeviceIsCalledAtDispatchLevelAndPageableAtPassive) {
  dispatch = [this](PDEVICE_OBJECT d, PIRP irp) { return Handle(d, irp); };
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD3)).status,
            STATUS_SUCCESS);
  device->Flags |= DO_POWER_PAGABLE;
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemSleeping3)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL}));
  EXPECT_EQ(sim::io::RecordedPowerState(device, DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(Power, SetPowerStateReturnsThePreviousStateAndIsRecorded) {
  RunTask([&] {
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, DeviceState(PowerDeviceD0)).DeviceState,
              PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, DeviceState(PowerDeviceD3)).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(device, SystemPowerState, SystemState(PowerSystemSleeping1)).SystemState,
              PowerSystemUnspecified);
  });
  auto history = sim::io::PowerStateHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[1].device, device);
  EXPECT_EQ(history[1].state, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(history[1].previous, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(history[2].type, SystemPowerState);
  EXPECT_EQ(sim::io::RecordedPowerState(device, SystemPowerState).SystemState, PowerSystemSleeping1);
}

TEST_F(Power, MissingPoStartNextPowerIrp) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  sim::io::SendPower(device, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemWorking));
  EXPECT_EQ(TakeViolations(), Rules{"PoStartNextPowerIrp not called"});
}

TEST_F(Power, PoStartNextPowerIrpTwiceForOneRequest) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  sim::io::SendPower(device, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemSleeping3));
  EXPECT_EQ(TakeViolations(), Rules{"PoStartNextPowerIrp called twice"});
}

TEST_F(Power, WaitWakeNeedsNoStartNext) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, irp->IoStatus.Status); };
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_WAIT_WAKE, SystemPowerState, SystemState(PowerSystemSleeping1)).status,
            STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(Power, EveryDeviceInTheStackStartsTheNextRequest) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  IoAttachDeviceToDeviceStack(device, pdo);
  bool forgetInCompletion = false;
  CompletionThunk done{[&](PDEVICE_OBJECT, PIRP irp) {
    // The pageable bus device below gets the request on a worker: it pends.
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (!forgetInCompletion) PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
  }};
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    done.Install(irp);
    return PoCallDriver(pdo, irp);
  };
  EXPECT_EQ(sim::io::SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD2)).status,
            STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
  // The bus driver recorded its device state.
  EXPECT_EQ(sim::io::RecordedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD2);
  forgetInCompletion = true;
  sim::io::SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0));
  auto violations = machine().Violations();
  TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "PoStartNextPowerIrp not called");
  EXPECT_NE(violations[0].detail.find("Pwr"), std::string::npos) << violations[0].detail;
}

TEST_F(Power, PowerRequestPassedWithIoCallDriver) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  IoAttachDeviceToDeviceStack(device, pdo);
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(pdo, irp);
  };
  sim::io::SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(PowerDeviceD3));
  EXPECT_EQ(TakeViolations(), Rules{"power irp passed with IoCallDriver"});
}

TEST_F(Power, PoStartNextPowerIrpOnAnotherKindOfRequest) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  sim::io::RawIrp raw;
  raw.major = IRP_MJ_FLUSH_BUFFERS;
  sim::io::Send(device, raw);
  EXPECT_EQ(TakeViolations(), Rules{"PoStartNextPowerIrp on non-power irp"});
}

TEST_F(Power, ASecondSystemRequestWaitsForTheFirstsStartNextWhileADeviceRequestGoesThrough) {
  std::vector<PIRP> held;
  std::vector<std::string> seen;
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.Power.Type == DevicePowerState) {
      seen.push_back("device D" + std::to_string(sp->Parameters.Power.State.DeviceState - 1));
      return Handle(d, irp);
    }
    seen.push_back("system S" + std::to_string(sp->Parameters.Power.State.SystemState - 1));
    IoMarkIrpPending(irp);
    held.push_back(irp);
    return STATUS_PENDING;
  };
  auto first = sim::io::SendPowerAsync(device, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping3));
  auto second = sim::io::SendPowerAsync(device, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemHibernate));
  machine().RunUntilIdle();
  EXPECT_EQ(second.DispatchStatus(), STATUS_PENDING);
  // A driver holding a system request may be sent a device request for the same device.
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD3)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(seen, (std::vector<std::string>{"system S3", "device D3"}));
  // Completing the first without PoStartNextPowerIrp would keep the second waiting: the start
  // is what lets it go, before the first has completed.
  RunTask([&] { PoStartNextPowerIrp(held[0]); });
  machine().RunUntilIdle();
  EXPECT_EQ(seen, (std::vector<std::string>{"system S3", "device D3", "system S4"}));
  EXPECT_FALSE(first.IsComplete());
  RunTask([&] {
    Complete(held[0], STATUS_SUCCESS);
    PoStartNextPowerIrp(held[1]);
    Complete(held[1], STATUS_SUCCESS);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  EXPECT_EQ(irqls, std::vector<KIRQL>{DISPATCH_LEVEL});  // the device request, non-pageable
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(Power, InrushDevicesArePoweredUpOneAtATimeAcrossTheMachine) {
  PDEVICE_OBJECT other = CreateDevice(driver, u"\\Device\\Pwr2", 0);
  device->Flags |= DO_POWER_INRUSH;
  other->Flags |= DO_POWER_INRUSH;
  std::vector<PIRP> held;
  std::vector<PDEVICE_OBJECT> seen;
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    seen.push_back(d);
    IoMarkIrpPending(irp);
    held.push_back(irp);
    return STATUS_PENDING;
  };
  auto first = sim::io::SendPowerAsync(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0));
  auto second = sim::io::SendPowerAsync(other, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0));
  machine().RunUntilIdle();
  EXPECT_EQ(seen, std::vector<PDEVICE_OBJECT>{device});
  RunTask([&] { PoStartNextPowerIrp(held[0]); });
  machine().RunUntilIdle();
  EXPECT_EQ(seen, (std::vector<PDEVICE_OBJECT>{device, other}));
  RunTask([&] {
    Complete(held[0], STATUS_SUCCESS);
    PoStartNextPowerIrp(held[1]);
    Complete(held[1], STATUS_SUCCESS);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
}

struct Requested {
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = 0xFF;
  int calls = 0;
};

VOID NTAPI RequestDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto* requested = static_cast<Requested*>(context);
  requested->device = device;
  requested->minor = minor;
  requested->state = state;
  requested->status = iosb->Status;
  requested->irql = KeGetCurrentIrql();
  ++requested->calls;
}

TEST_F(Power, RequestedPowerIrpGoesToTheTopAndCallsBack) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  IoAttachDeviceToDeviceStack(device, pdo);
  UCHAR seenMinor = 0;
  POWER_STATE seenState{};
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    seenMinor = sp->MinorFunction;
    seenState = sp->Parameters.Power.State;
    EXPECT_EQ(sp->Parameters.Power.Type, DevicePowerState);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    return Handle(d, irp);
  };
  Requested requested;
  NTSTATUS status = 0;
  RunTask([&] { status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), RequestDone, &requested, nullptr); });
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(seenMinor, IRP_MN_SET_POWER);
  EXPECT_EQ(seenState.DeviceState, PowerDeviceD3);
  EXPECT_EQ(requested.calls, 1);
  EXPECT_EQ(requested.device, pdo);
  EXPECT_EQ(requested.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(requested.state.DeviceState, PowerDeviceD3);
  EXPECT_EQ(requested.status, STATUS_SUCCESS);
  auto recorded = sim::io::PowerRequests();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].status, STATUS_SUCCESS);
  EXPECT_EQ(sim::io::InFlightIrpCount(), 0u);
}

TEST_F(Power, RequestForAPageableDeviceAtDispatchLevelRunsOnAWorker) {
  device->Flags |= DO_POWER_PAGABLE;
  dispatch = [this](PDEVICE_OBJECT d, PIRP irp) { return Handle(d, irp); };
  Requested requested;
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // The worker may already be running on another processor: only the IRQL the callback
    // saw tells that it did not run here.
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, DeviceState(PowerDeviceD1), RequestDone, &requested, nullptr),
              STATUS_PENDING);
    KeLowerIrql(old);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(irqls, std::vector<KIRQL>{PASSIVE_LEVEL});
  EXPECT_EQ(requested.calls, 1);
  EXPECT_EQ(requested.irql, PASSIVE_LEVEL);
}

TEST_F(Power, RequestRefusedWithoutAnIrp) {
  Requested requested;
  RunTask([&] {
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_START_DEVICE + 7, DeviceState(PowerDeviceD0), RequestDone, &requested,
                                nullptr),
              STATUS_INVALID_PARAMETER);
    sim::io::FailNextIrpAllocations(1);
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, DeviceState(PowerDeviceD0), RequestDone, &requested, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
  });
  EXPECT_EQ(requested.calls, 0);
}

// A function driver that powers its device down before letting a sleep request go on, as the
// adapter does: the system request waits, pended, for the device request it asked for.
struct SleepFlow {
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  std::vector<std::string> steps;
  CompletionThunk systemDone;
};
SleepFlow* g_flow = nullptr;

VOID NTAPI DevicePoweredDown(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK) {
  auto* systemIrp = static_cast<PIRP>(context);
  g_flow->steps.push_back("device D" + std::to_string(state.DeviceState - 1) + " done");
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  g_flow->systemDone.Install(systemIrp);
  PoCallDriver(g_flow->lower, systemIrp);
}

TEST_F(Power, SleepRequestWaitsForTheDevicePowerRequestItAskedFor) {
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  IoAttachDeviceToDeviceStack(device, pdo);
  SleepFlow flow;
  g_flow = &flow;
  flow.self = device;
  flow.lower = pdo;
  flow.systemDone.fn = [&](PDEVICE_OBJECT, PIRP irp) {
    flow.steps.push_back("system done");
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
  };
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.Power.Type == SystemPowerState) {
      flow.steps.push_back("system request");
      IoMarkIrpPending(irp);
      PoRequestPowerIrp(d, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), DevicePoweredDown, irp, nullptr);
      return STATUS_PENDING;
    }
    flow.steps.push_back("device request");
    PoSetPowerState(d, DevicePowerState, sp->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(pdo, irp);
  };
  sim::io::Result result = sim::io::SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping3),
                                              PowerActionSleep);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
  EXPECT_EQ(flow.steps,
            (std::vector<std::string>{"system request", "device request", "device D3 done", "system done"}));
  EXPECT_EQ(sim::io::RecordedPowerState(device, DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_EQ(sim::io::RecordedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_TRUE(TakeViolations().empty());
  g_flow = nullptr;
}

}  // namespace
