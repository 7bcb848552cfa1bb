// Power through the power manager: a port's own requests, the adapter's device requests around
// each system sleep and wake of the machine (the whole device tree, as sim::power sends them),
// and open ports with requests pending that must come through a sleep losing nothing.
#include "driver_test.h"
#include "serial_port_test_support.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/usb_bus.h"

namespace serial_test {
namespace {

using command_test::DeviceState;
using command_test::SystemState;

// Where a device's PoSetPowerState call of a state stands in the machine's history (-1: none).
long HistoryIndex(PDEVICE_OBJECT device, POWER_STATE_TYPE type, ULONG state, size_t from = 0) {
  auto history = sim::io::PowerStateHistory();
  for (size_t i = from; i < history.size(); ++i)
    if (history[i].device == device && history[i].type == type && history[i].state == state) return long(i);
  return -1;
}

std::vector<sim::power::LoggedIrp> Requested() {
  std::vector<sim::power::LoggedIrp> requested;
  for (auto& irp : sim::power::Log())
    if (irp.requested) requested.push_back(irp);
  return requested;
}

class PortPower : public SerialPortTest {};

// The port is the bottom of its stack: it records what it is told and supports nothing else.
TEST_F(PortPower, SetPowerIsRecordedAndWakeAndSequenceKeepTheirStatus) {
  PDEVICE_OBJECT device = port(2)->Self;
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD3)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(sim::io::RecordedPowerState(device, DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_EQ(port(2)->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(PowerSystemSleeping3)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(sim::io::SendPower(device, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping3)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(port(2)->SystemPowerState, PowerSystemSleeping3);
  for (UCHAR minor : {UCHAR(IRP_MN_WAIT_WAKE), UCHAR(IRP_MN_POWER_SEQUENCE)}) {
    sim::io::Result result = sim::io::SendPower(device, minor, SystemPowerState, SystemState(PowerSystemWorking));
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << "minor " << int(minor);
    EXPECT_EQ(result.dispatchStatus, STATUS_NOT_SUPPORTED) << "minor " << int(minor);
  }
}

class AdapterPower : public SerialPortTest {
 protected:
  PDEVICE_OBJECT self() { return adapter()->Self; }
};

// Down: the adapter's own D3 goes through it to the bus before the system request does, and
// the system state is recorded once that is back. Up: the system request goes to the bus
// first, then D0, then the system request completes.
TEST_F(AdapterPower, SleepPowersTheDeviceDownFirstAndWakePowersItUpLast) {
  sim::power::ClearLog();
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  auto requested = Requested();
  ASSERT_EQ(requested.size(), 1u);
  EXPECT_EQ(requested[0].type, DevicePowerState);
  EXPECT_EQ(requested[0].state, ULONG(PowerDeviceD3));
  const long adapterDown = HistoryIndex(self(), DevicePowerState, PowerDeviceD3);
  const long busDown = HistoryIndex(fixture().pdo(), DevicePowerState, PowerDeviceD3);
  const long adapterAsleep = HistoryIndex(self(), SystemPowerState, PowerSystemSleeping3);
  EXPECT_GE(adapterDown, 0);
  EXPECT_GT(busDown, adapterDown);
  EXPECT_GT(adapterAsleep, busDown);
  EXPECT_EQ(adapter()->SystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(adapter()->DevicePowerState, PowerDeviceD3);
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(port(n)->SystemPowerState, PowerSystemSleeping3);

  sim::power::ClearLog();
  const size_t awakeFrom = sim::io::PowerStateHistory().size();
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  requested = Requested();
  ASSERT_EQ(requested.size(), 1u);
  EXPECT_EQ(requested[0].state, ULONG(PowerDeviceD0));
  const long busUp = HistoryIndex(fixture().pdo(), DevicePowerState, PowerDeviceD0, awakeFrom);
  const long adapterUp = HistoryIndex(self(), DevicePowerState, PowerDeviceD0, awakeFrom);
  const long adapterAwake = HistoryIndex(self(), SystemPowerState, PowerSystemWorking, awakeFrom);
  EXPECT_GE(busUp, 0);
  EXPECT_GT(adapterUp, busUp);
  EXPECT_GT(adapterAwake, adapterUp);
  // The system request was back from the bus before D0 was asked for.
  for (auto& irp : sim::power::Log()) {
    if (!irp.requested && irp.device == fixture().InstancePath()) {
      EXPECT_GT(irp.completed, requested[0].completed);
    }
  }
  EXPECT_EQ(adapter()->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(adapter()->DevicePowerState, PowerDeviceD0);
}

// Only a working-state request after a sleeping one is a wake: neither a second sleep request
// nor a working-state request while working asks for D0.
TEST_F(AdapterPower, OnlyAWakeFromSleepAsksForPowerUp) {
  auto adapterRequests = [&] {
    size_t count = 0;
    for (auto& request : sim::io::PowerRequests())
      if (request.device == self() && request.state.DeviceState == PowerDeviceD0) ++count;
    return count;
  };
  ASSERT_EQ(sim::io::SendPower(self(), IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemWorking)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(adapterRequests(), 0u);
  ASSERT_EQ(sim::io::SendPower(self(), IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping1)).status,
            STATUS_SUCCESS);
  ASSERT_EQ(sim::io::SendPower(self(), IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemHibernate)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(adapterRequests(), 0u);
  EXPECT_EQ(adapter()->SystemPowerState, PowerSystemHibernate);
  ASSERT_EQ(sim::io::SendPower(self(), IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemWorking)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(adapterRequests(), 1u);
  EXPECT_EQ(adapter()->DevicePowerState, PowerDeviceD0);
}

// Before its start has finished the adapter is no power policy owner yet: power requests go
// down untouched. The first start is caught at its configuration, held below the adapter as
// a slow bus would hold it, while the power manager's requests arrive.
class PowerBeforeStart : public DriverTest {};

TEST_F(PowerBeforeStart, RequestsPassDownUntouched) {
  harness::AdapterFixture fixture(h());
  bool tried = false;
  NTSTATUS deviceUp = STATUS_PENDING, systemDown = STATUS_PENDING;
  long pdoRecords = -1, adapterRecords = -1;
  size_t requests = 0;
  SYSTEM_POWER_STATE recorded = PowerSystemUnspecified;
  fixture.HoldFirstConfiguration([&](AdapterExtension* a) {
    if (a == nullptr || a->DevicePnpState != NotStarted) return;
    tried = true;
    const size_t before = sim::io::PowerStateHistory().size();
    deviceUp = sim::io::SendPower(a->Self, IRP_MN_SET_POWER, DevicePowerState, DeviceState(PowerDeviceD0)).status;
    systemDown =
        sim::io::SendPower(a->Self, IRP_MN_SET_POWER, SystemPowerState, SystemState(PowerSystemSleeping1)).status;
    pdoRecords = adapterRecords = 0;
    auto history = sim::io::PowerStateHistory();
    for (size_t i = before; i < history.size(); ++i) {
      pdoRecords += history[i].device == fixture.busPort()->Pdo();
      adapterRecords += history[i].device == a->Self;
    }
    for (auto& request : sim::io::PowerRequests()) requests += request.device == a->Self;
    recorded = a->SystemPowerState;
  });
  fixture.Start();
  ASSERT_TRUE(tried) << "the start was not caught before its configuration";
  EXPECT_EQ(deviceUp, STATUS_SUCCESS);
  EXPECT_EQ(systemDown, STATUS_SUCCESS);
  EXPECT_EQ(pdoRecords, 1) << "the device request reached the bus";
  EXPECT_EQ(adapterRecords, 0) << "the adapter recorded a state";
  EXPECT_EQ(requests, 0u) << "the adapter asked for a device request";
  EXPECT_EQ(recorded, PowerSystemWorking);
  fixture.StopAndRemove();
}

// ---- Open ports across a sleep ----------------------------------------------------------------

enum class Trouble { None, DownRequestFails, UpRequestFails };

// Port 1 has a read without timeouts and an armed wait for a character; port 2 a slow write
// (1000 bytes at 1200 baud, looped back). The machine sleeps in the middle of the write.
class SleepWithIoPending : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    if (HasFatalFailure()) return;
    PlugLoopback(1);
    PlugLoopback(2);
    reader_ = Open(1);
    writer_ = Open(2);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Ioctl(reader_, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask)).status, STATUS_SUCCESS);
    ASSERT_EQ(SetBaud(writer_, 1200), STATUS_SUCCESS);
    read_ = sim::io::ReadAsync(reader_, 16);
    wait_ = IoctlAsync(reader_, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    written_ = Pattern(1000, 11);
    write_ = sim::io::WriteAsync(writer_, written_);
    h().Advance(sim::kSecond);
    ASSERT_FALSE(write_.IsComplete());
    ASSERT_FALSE(read_.IsComplete());
    ASSERT_FALSE(wait_.IsComplete());
  }

  // Everything comes through: the write ends whole and its bytes come back in order, the read
  // and the wait complete on new data.
  void ExpectNothingLost() {
    loopedBack_ = sim::io::ReadAsync(writer_, 1000);
    ASSERT_TRUE(h().RunUntil([&] { return write_.IsComplete() && loopedBack_.IsComplete(); }, 30 * sim::kSecond));
    EXPECT_EQ(write_.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write_.Information(), 1000u);
    EXPECT_EQ(loopedBack_.Output(), written_);
    EXPECT_FALSE(read_.IsComplete());

    const Bytes fresh = Pattern(16, 5);
    ASSERT_EQ(sim::io::Write(reader_, fresh).status, STATUS_SUCCESS);
    ASSERT_TRUE(h().RunUntil([&] { return read_.IsComplete() && wait_.IsComplete(); }));
    EXPECT_EQ(read_.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read_.Output(), fresh);
    EXPECT_EQ(wait_.Status(), STATUS_SUCCESS);
    EXPECT_TRUE(ValueOf<ULONG>(wait_.Output()) & SERIAL_EV_RXCHAR);
    // Every power request and the power worker gave back their counts.
    EXPECT_EQ(adapter()->PendingIoCount, 1);
  }

  // Asleep, the driver has nothing on the bus.
  void ExpectBusQuiet() {
    for (int n = 1; n <= 2; ++n) {
      EXPECT_EQ(fixture().InFlight(DataInPipe(n)), 0u) << "port " << n;
      EXPECT_EQ(fixture().InFlight(DataOutPipe(n)), 0u) << "port " << n;
    }
    EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 0u);
    EXPECT_EQ(fixture().InFlight(fixture().CommandPipe()), 0u);
  }

  PFILE_OBJECT reader_ = nullptr;
  PFILE_OBJECT writer_ = nullptr;
  Bytes written_;
  sim::io::Request read_, wait_, write_, loopedBack_;
};

TEST_F(SleepWithIoPending, NothingIsLostAcrossSleepAndWake) {
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ExpectBusQuiet();
  h().Advance(5 * sim::kSecond);
  ExpectBusQuiet();
  EXPECT_FALSE(write_.IsComplete());
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  ExpectNothingLost();
}

// The device request cannot be had going down: the system sleeps with the device as it was.
TEST_F(SleepWithIoPending, APowerDownThatCannotBeAskedForLetsTheSystemSleep) {
  const size_t before = sim::io::PowerRequests().size();
  sim::io::FailNextIrpAllocations(1);
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::io::PowerRequests().size(), before) << "the power-down was asked for after all";
  EXPECT_EQ(adapter()->SystemPowerState, PowerSystemSleeping3);
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  EXPECT_EQ(adapter()->DevicePowerState, PowerDeviceD0);
  ExpectNothingLost();
}

// The power-up cannot be had at the wake: the system request completes all the same and the
// device is powered up a moment later.
TEST_F(SleepWithIoPending, APowerUpThatCannotBeAskedForAtOnceFollowsLater) {
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  const size_t before = sim::io::PowerRequests().size();
  sim::io::FailNextIrpAllocations(1);
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  EXPECT_EQ(adapter()->SystemPowerState, PowerSystemWorking);
  ASSERT_TRUE(h().RunUntil([&] { return adapter()->DevicePowerState == PowerDeviceD0; }));
  EXPECT_EQ(sim::io::PowerRequests().size(), before + 1);
  ExpectNothingLost();
}

TEST_F(SleepWithIoPending, NothingIsLostWhenTheBusTakesItsTimeOverEveryPowerRequest) {
  fixture().busPort()->PendSetPower(sim::usb::BusPort::kForever);
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_TRUE(fixture().busPort()->Suspended());
  ExpectBusQuiet();
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  EXPECT_FALSE(fixture().busPort()->Suspended());
  fixture().busPort()->ClearFaults();
  ExpectNothingLost();
}

// The bus fails the power-down: the failure is the device request's own, the system sleeps
// and wakes all the same.
TEST_F(SleepWithIoPending, APowerDownTheBusFailsStillLetsTheSystemSleepAndWake) {
  fixture().busPort()->FailSetPower(STATUS_UNSUCCESSFUL);
  sim::power::ClearLog();
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  auto requested = Requested();
  ASSERT_EQ(requested.size(), 1u);
  EXPECT_EQ(requested[0].status, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(fixture().busPort()->Suspended());
  EXPECT_EQ(adapter()->SystemPowerState, PowerSystemSleeping3);
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  ExpectNothingLost();
}

// The device lost power while suspended and comes back blank: the old ports' handles get what
// a pulled cable gives them, the firmware goes down again, and once the handles are closed the
// ports are back under their names.
class SleepWithIoPendingOnABlankAdapter : public SleepWithIoPending {
 protected:
  harness::AdapterFixtureOptions Options() override {
    harness::AdapterFixtureOptions options;
    options.model.runningMainFirmware = false;
    return options;
  }
};

TEST_F(SleepWithIoPendingOnABlankAdapter, ADeviceThatLostPowerComesBackBlankAndItsPortsKeepTheirNames) {
  const std::u16string instance = fixture().InstancePath();
  const uint64_t controlTransfers = sim::usb::Statistics().controlTransfers;
  fixture().busPort()->LosePowerWhileSuspended();
  ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ASSERT_EQ(sim::power::Wake().status, STATUS_SUCCESS);
  ASSERT_TRUE(h().RunUntil([&] { return read_.IsComplete() && wait_.IsComplete() && write_.IsComplete(); }));
  EXPECT_EQ(read_.Status(), STATUS_CANCELLED);
  EXPECT_EQ(wait_.Status(), STATUS_CANCELLED);
  EXPECT_EQ(write_.Status(), STATUS_CANCELLED);
  EXPECT_LT(write_.Information(), 1000u);

  Close(reader_);
  Close(writer_);
  // After its download the adapter comes back running the firmware, under its old path.
  h().RunUntil(
      [&] {
        auto node = sim::pnp::Node(instance);
        return node && node->state == sim::pnp::NodeState::Started;
      },
      10 * sim::kSecond);
  sim::pnp::WaitIdle();
  // The loader and the firmware went down again: hundreds of vendor requests.
  EXPECT_GT(sim::usb::Statistics().controlTransfers, controlTransfers + 400);
  auto node = sim::pnp::Node(instance);
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->state, sim::pnp::NodeState::Started);
  EXPECT_EQ(sim::pnp::ComNamesInUse(), (std::vector<unsigned>{3, 4, 5, 6}));

  PFILE_OBJECT again = nullptr;
  ASSERT_EQ(sim::io::Open(u"\\DosDevices\\COM4", &again), STATUS_SUCCESS);
  const Bytes data = Pattern(64, 9);
  ASSERT_EQ(sim::io::Write(again, data).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::io::Read(again, 64).output, data);
  EXPECT_EQ(sim::io::Close(again), STATUS_SUCCESS);
}

}  // namespace
}  // namespace serial_test
