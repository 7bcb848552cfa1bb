// Requests entering the driver are routed by the target's role and plug-and-play state:
// the adapter object refuses serial I/O, removed devices refuse everything, the rest reaches
// the handlers of the port and adapter code.
#include <array>

#include "core/entry.h"
#include "driver_test.h"

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

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

class RoutingTest : public DriverTest {};

TEST_F(RoutingTest, AdapterObjectRefusesSerialIoWhetherRunningOrRemoved) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  for (ULONG state : {ULONG(Started), ULONG(Deleted)}) {
    adapter->DevicePnpState = state;
    for (UCHAR major : kSerialIo) {
      SCOPED_TRACE("state " + std::to_string(state) + ", major " + std::to_string(major));
      sim::io::Result result = h().Send(adapter->Self, Major(major));
      EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(result.dispatchStatus, STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(result.boost, IO_NO_INCREMENT);
    }
  }
}

TEST_F(RoutingTest, OpeningTheAdapterByItsKernelNameFails) {
  h().CreateAdapter(Started);
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(sim::io::Open(u"\\Device\\ZelBrUsb0", &file), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(file, nullptr);
}

TEST_F(RoutingTest, RemovedPortRefusesSerialIoWithDeletePending) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  PortExtension* port = h().CreatePort(adapter, 1, Deleted);
  for (UCHAR major : kSerialIo) {
    SCOPED_TRACE("major " + std::to_string(major));
    sim::io::Result result = h().Send(port->Self, Major(major));
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.boost, IO_NO_INCREMENT);
  }
}

// A port in any state short of Deleted hands serial I/O to its handlers: a read or write of
// nothing and a cleanup with nothing queued are answered by them at once, with success.
TEST_F(RoutingTest, LivePortHandsSerialIoToItsHandlers) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  PortExtension* port = h().CreatePort(adapter, 2, Started);
  for (ULONG state : {ULONG(NotStarted), ULONG(Started), ULONG(StopPending), ULONG(SurpriseRemoved)}) {
    port->DevicePnpState = state;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP}) {
      SCOPED_TRACE("state " + std::to_string(state) + ", major " + std::to_string(major));
      sim::io::Result result = h().Send(port->Self, Major(major));
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.boost, IO_NO_INCREMENT);
    }
  }
}

// Only the six serial majors are routed to DispatchIo; should another one arrive there it is
// refused rather than handed to a port handler.
TEST_F(RoutingTest, MajorFunctionOutsideTheSerialSetIsRefused) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  PortExtension* port = h().CreatePort(adapter, 1, Started);
  h().driver()->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchIo;

  sim::io::Result result = h().Send(port->Self, Major(IRP_MJ_FLUSH_BUFFERS));
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(result.boost, IO_NO_INCREMENT);
  EXPECT_EQ(h().Send(adapter->Self, Major(IRP_MJ_FLUSH_BUFFERS)).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RoutingTest, RefusalsLeaveTheInformationFieldAsItArrived) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  PortExtension* port = h().CreatePort(adapter, 1, Deleted);
  constexpr ULONG_PTR kArrived = 0x5A5A;

  harness::IrpOutcome toAdapter = h().SendIrp(adapter->Self, {IRP_MJ_READ, 0, STATUS_SUCCESS, kArrived, {}});
  EXPECT_EQ(toAdapter.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(toAdapter.information, kArrived);

  harness::IrpOutcome io = h().SendIrp(port->Self, {IRP_MJ_WRITE, 0, STATUS_SUCCESS, kArrived, {}});
  EXPECT_EQ(io.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(io.information, kArrived);

  harness::IrpOutcome pnp =
      h().SendIrp(port->Self, {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED, kArrived, {}});
  EXPECT_EQ(pnp.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(pnp.information, kArrived);

  harness::IrpOutcome power = h().SendIrp(port->Self, {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED, kArrived,
                                                       [](PIO_STACK_LOCATION stack) {
                                                         stack->Parameters.Power.Type = DevicePowerState;
                                                         stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
                                                       }});
  EXPECT_EQ(power.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(power.information, kArrived);
}

TEST_F(RoutingTest, PnpForRemovedAdapterNeverReachesTheUsbStack) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  // The recorder below the adapter sees what is sent to it.
  h().Send(adapter->LowerDevice, Major(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE));
  ASSERT_EQ(h().LowerRequests(adapter).size(), 1u);

  adapter->DevicePnpState = Deleted;
  for (UCHAR minor : {UCHAR(IRP_MN_START_DEVICE), UCHAR(IRP_MN_QUERY_CAPABILITIES), UCHAR(IRP_MN_REMOVE_DEVICE),
                      UCHAR(IRP_MN_SURPRISE_REMOVAL)}) {
    SCOPED_TRACE("minor " + std::to_string(minor));
    sim::io::Result result = sim::io::SendPnp(adapter->Self, minor);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.boost, IO_NO_INCREMENT);
  }
  EXPECT_EQ(h().LowerRequests(adapter).size(), 1u);
}

TEST_F(RoutingTest, PnpForRemovedPortIsRefused) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  PortExtension* port = h().CreatePort(adapter, 3, Deleted);
  sim::io::Result result = sim::io::SendPnp(port->Self, IRP_MN_QUERY_ID);
  EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(result.boost, IO_NO_INCREMENT);
}

// The power manager holds a device's next power request until PoStartNextPowerIrp; a removed
// device must still release it, or the second request below would never be dispatched.
TEST_F(RoutingTest, PowerForRemovedDeviceLetsTheNextPowerRequestStart) {
  AdapterExtension* adapter = h().CreateAdapter(Deleted);
  PortExtension* port = h().CreatePort(adapter, 1, Deleted);
  for (PDEVICE_OBJECT device : {adapter->Self, port->Self}) {
    sim::io::Request first = sim::io::SendPowerAsync(device, IRP_MN_SET_POWER, DevicePowerState,
                                                     DeviceState(PowerDeviceD3));
    sim::io::Request second = sim::io::SendPowerAsync(device, IRP_MN_QUERY_POWER, DevicePowerState,
                                                      DeviceState(PowerDeviceD0));
    ASSERT_TRUE(h().RunUntil([&] { return first.IsComplete() && second.IsComplete(); }));
    EXPECT_EQ(first.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(second.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(first.PriorityBoost(), IO_NO_INCREMENT);
  }
  EXPECT_TRUE(h().LowerRequests(adapter).empty());
}

// Plug-and-play and power for live devices reach the adapter and port handlers, which are
// not written yet; the power stand-ins still release the next power request.
TEST_F(RoutingTest, LiveDevicesHandPowerToTheirNotYetBuiltHandlers) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  PortExtension* port = h().CreatePort(adapter, 4, Started);
  for (PDEVICE_OBJECT device : {adapter->Self, port->Self}) {
    EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD3)).status,
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0)).status,
              STATUS_NOT_IMPLEMENTED);
  }
}

}  // namespace
