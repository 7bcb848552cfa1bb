// Requests entering the driver are routed by the target's role and plug-and-play state:
// the adapter object refuses serial I/O, removed devices refuse everything, the rest reaches
// the handlers of the port and adapter code. The devices are a plugged adapter's; the
// removed ones are reached through references a driver above holds (removed_device_support.h).
#include <array>

#include "core/entry.h"
#include "removed_device_support.h"
#include "simkernel/pnp.h"
#include "wide_text.h"

namespace {

using harness::IrpSpec;
using sim::io::RawIrp;

constexpr std::array<UCHAR, 6> kSerialIo = {IRP_MJ_CREATE, IRP_MJ_CLOSE,          IRP_MJ_READ,
                                            IRP_MJ_WRITE,  IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP};

RawIrp Major(UCHAR major, UCHAR minor = 0) {
  RawIrp irp;
  irp.major = major;
  irp.minor = minor;
  return irp;
}

using command_test::DeviceState;

class RoutingTest : public removed_test::RemovedDeviceTest {};

TEST_F(RoutingTest, AdapterObjectRefusesSerialIoWhetherRunningOrRemoved) {
  const Removed removed = RemovedAdapter();
  for (AdapterExtension* a : {adapter(), removed.adapter}) {
    for (UCHAR major : kSerialIo) {
      SCOPED_TRACE("state " + std::to_string(a->DevicePnpState) + ", major " + std::to_string(major));
      sim::io::Result result = h().Send(a->Self, Major(major));
      EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(result.dispatchStatus, STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(result.boost, IO_NO_INCREMENT);
    }
  }
}

TEST_F(RoutingTest, OpeningTheAdapterByItsKernelNameFails) {
  const std::u16string name = u"\\Device\\ZelBrUsb" + harness::ToU16(std::to_string(adapter()->AdapterIndex));
  ASSERT_EQ(sim::io::FindDevice(name), adapter()->Self);
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(sim::io::Open(name, &file), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(file, nullptr);
}

TEST_F(RoutingTest, RemovedPortRefusesSerialIoWithDeletePending) {
  PortExtension* p = EjectedPort(1);
  for (UCHAR major : kSerialIo) {
    SCOPED_TRACE("major " + std::to_string(major));
    sim::io::Result result = h().Send(p->Self, Major(major));
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.boost, IO_NO_INCREMENT);
  }
}

// A port in any state short of Deleted hands serial I/O to its handlers: a read or write of
// nothing and a cleanup with nothing queued are answered by them at once, with success.
TEST_F(RoutingTest, LivePortHandsSerialIoToItsHandlers) {
  auto expectHandled = [&](PortExtension* p, const char* state) {
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP}) {
      SCOPED_TRACE(std::string(state) + ", major " + std::to_string(major));
      sim::io::Result result = h().Send(p->Self, Major(major));
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.boost, IO_NO_INCREMENT);
    }
  };
  expectHandled(port(2), "started");

  // Plug and play holds StopPending only between QUERY_STOP and STOP or CANCEL_STOP.
  port(2)->DevicePnpState = StopPending;
  expectHandled(port(2), "stop pending");
  port(2)->DevicePnpState = Started;

  // Disabled: removed in order while the adapter still reports it.
  ASSERT_EQ(sim::pnp::DisableDevice(fixture().PortInstancePath(3)), STATUS_SUCCESS);
  ASSERT_EQ(port(3)->DevicePnpState, ULONG(NotStarted));
  expectHandled(port(3), "disabled");

  // The cable pulled with a handle open: surprise-removed until the handle closes.
  PortExtension* open = port(4);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::OpenDevice(open->Self, &file), STATUS_SUCCESS);
  fixture().StopAndRemove();
  ASSERT_EQ(open->DevicePnpState, ULONG(SurpriseRemoved));
  expectHandled(open, "surprise-removed");
  sim::io::Close(file);
  h().RunUntilIdle();
}

// Only the six serial majors are routed to DispatchIo; should another one arrive there it is
// refused rather than handed to a port handler.
TEST_F(RoutingTest, MajorFunctionOutsideTheSerialSetIsRefused) {
  h().driver()->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchIo;

  sim::io::Result result = h().Send(port(1)->Self, Major(IRP_MJ_FLUSH_BUFFERS));
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(result.boost, IO_NO_INCREMENT);
  EXPECT_EQ(h().Send(adapter()->Self, Major(IRP_MJ_FLUSH_BUFFERS)).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RoutingTest, RefusalsLeaveTheInformationFieldAsItArrived) {
  PortExtension* p = EjectedPort(1);
  constexpr ULONG_PTR kArrived = 0x5A5A;

  harness::IrpOutcome toAdapter = h().SendIrp(adapter()->Self, {IRP_MJ_READ, 0, STATUS_SUCCESS, kArrived, {}});
  EXPECT_EQ(toAdapter.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(toAdapter.information, kArrived);

  harness::IrpOutcome io = h().SendIrp(p->Self, {IRP_MJ_WRITE, 0, STATUS_SUCCESS, kArrived, {}});
  EXPECT_EQ(io.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(io.information, kArrived);

  harness::IrpOutcome pnp =
      h().SendIrp(p->Self, {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED, kArrived, {}});
  EXPECT_EQ(pnp.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(pnp.information, kArrived);

  harness::IrpOutcome power = h().SendIrp(p->Self, {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED, kArrived,
                                                    [](PIO_STACK_LOCATION stack) {
                                                      stack->Parameters.Power.Type = DevicePowerState;
                                                      stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
                                                    }});
  EXPECT_EQ(power.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(power.information, kArrived);
}

// The devices the removed adapter was attached to are deleted: a request passed down to them
// would be reported by the I/O manager ("irp sent to deleted device") and fail the test.
TEST_F(RoutingTest, PnpForRemovedAdapterNeverReachesTheUsbStack) {
  const Removed removed = RemovedAdapter();
  ASSERT_NE(removed.adapter->LowerDevice, nullptr);
  for (UCHAR minor : {UCHAR(IRP_MN_START_DEVICE), UCHAR(IRP_MN_QUERY_CAPABILITIES), UCHAR(IRP_MN_REMOVE_DEVICE),
                      UCHAR(IRP_MN_SURPRISE_REMOVAL)}) {
    SCOPED_TRACE("minor " + std::to_string(minor));
    sim::io::Result result = sim::io::SendPnp(removed.adapter->Self, minor);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.boost, IO_NO_INCREMENT);
  }
}

TEST_F(RoutingTest, PnpForRemovedPortIsRefused) {
  PortExtension* p = EjectedPort(3);
  sim::io::Result result = sim::io::SendPnp(p->Self, IRP_MN_QUERY_ID);
  EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(result.boost, IO_NO_INCREMENT);
}

// The power manager holds a device's next power request until PoStartNextPowerIrp; a removed
// device must still release it, or the second request below would never be dispatched.
// Nothing may be passed to the deleted devices below the adapter (see above).
TEST_F(RoutingTest, PowerForRemovedDeviceLetsTheNextPowerRequestStart) {
  const Removed removed = RemovedAdapter();
  for (PDEVICE_OBJECT device : {removed.adapter->Self, removed.port->Self}) {
    sim::io::Request first = sim::io::SendPowerAsync(device, IRP_MN_SET_POWER, DevicePowerState,
                                                     DeviceState(PowerDeviceD3));
    sim::io::Request second = sim::io::SendPowerAsync(device, IRP_MN_QUERY_POWER, DevicePowerState,
                                                      DeviceState(PowerDeviceD0));
    ASSERT_TRUE(h().RunUntil([&] { return first.IsComplete() && second.IsComplete(); }));
    EXPECT_EQ(first.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(second.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(first.PriorityBoost(), IO_NO_INCREMENT);
  }
}

// Power for live devices reaches the adapter and port handlers: each device request succeeds
// and is recorded, and the next one is let through.
TEST_F(RoutingTest, LiveDevicesHandPowerToTheirHandlers) {
  for (PDEVICE_OBJECT device : {adapter()->Self, port(4)->Self}) {
    for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
      EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(state)).status,
                STATUS_SUCCESS);
      EXPECT_EQ(sim::io::RecordedPowerState(device, DevicePowerState).DeviceState, state);
    }
  }
}

}  // namespace
