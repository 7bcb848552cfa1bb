// A device's power requests at its PDO: D1-D3 suspend the port (pending transfers come back
// cancelled, new traffic is refused), D0 resumes it; the hub's set-power faults; a device
// that lost its power while suspended is found changed at the resume and presented anew.
#include "pnp_test_support.h"
#include "usb_bus_test_support.h"

namespace usbtest {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kShortOk = USBD_SHORT_TRANSFER_OK;

POWER_STATE DState(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return s;
}

class UsbBusPower : public UsbBusTest {
 protected:
  void SetUp() override {
    UsbBusTest::SetUp();
    info = Configure(4096);
  }
  PVOID In(int pair) { return info->Pipes[2 * pair - 2].PipeHandle; }
  PVOID Out(int pair) { return info->Pipes[2 * pair - 1].PipeHandle; }
  sim::io::Result SetPower(DEVICE_POWER_STATE state, PDEVICE_OBJECT target = nullptr) {
    return sim::io::SendPower(target ? target : pdo, IRP_MN_SET_POWER, DevicePowerState, DState(state));
  }
  // How long a successful device set-power took to come back.
  sim::VirtualTime Took(DEVICE_POWER_STATE state) {
    const sim::VirtualTime before = machine().Now();
    EXPECT_EQ(SetPower(state).status, STATUS_SUCCESS);
    return machine().Now() - before;
  }
  // An IN transfer on pair 1 that waits for data.
  void StartRead(Submission& read) {
    Bulk(read, In(1), 64, kIn | kShortOk);
    Submit(read);
    machine().RunFor(3 * sim::kMillisecond);
    ASSERT_FALSE(read.completed);
  }
  static void ExpectRefusedSuspended(Submission& s) {
    EXPECT_TRUE(s.completedInsideCall);
    EXPECT_EQ(s.returned, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(s.status, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(URB_STATUS(s.Urb()), USBD_STATUS_NOT_ACCESSED);
  }
  PUSBD_INTERFACE_INFORMATION info = nullptr;
};

TEST_F(UsbBusPower, SuspendCancelsWhatIsPendingRefusesTrafficAndResumeLetsItRunAgain) {
  Submission read;
  StartRead(read);
  device->naksLeft[0x02] = 1000;
  Submission write;
  write.buffer = Pattern(10, 1);
  Bulk(write, Out(2), 10, 0);
  Submit(write);
  machine().RunFor(3 * sim::kMillisecond);
  ASSERT_FALSE(write.completed);

  EXPECT_EQ(SetPower(PowerDeviceD2).status, STATUS_SUCCESS);
  ASSERT_TRUE(Finish(read));
  ASSERT_TRUE(Finish(write));
  for (Submission* s : {&read, &write}) {
    EXPECT_EQ(s->status, STATUS_CANCELLED);
    EXPECT_EQ(URB_STATUS(s->Urb()), USBD_STATUS_CANCELED);
    EXPECT_EQ(s->irql, DISPATCH_LEVEL);
    EXPECT_EQ(s->task, "usb-host-controller");
  }
  EXPECT_TRUE(port->Suspended());
  EXPECT_EQ(port->PowerState(), PowerDeviceD2);
  EXPECT_EQ(sim::io::RecordedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD2);

  // Data and endpoint 0 traffic are refused inside the call; the device is not polled.
  device->naksLeft[0x02] = 0;
  device->Supply(0x81, Pattern(8, 2));
  const size_t asks = device->inAsks[0x81].size();
  Submission refusedRead, refusedVendor;
  Bulk(refusedRead, In(1), 64, kIn | kShortOk);
  Submit(refusedRead);
  Vendor(refusedVendor, true, kVendorRead, 0, 0, 8);
  Submit(refusedVendor);
  ExpectRefusedSuspended(refusedRead);
  ExpectRefusedSuspended(refusedVendor);
  // A deeper state keeps it suspended; an abort needs no traffic.
  EXPECT_EQ(SetPower(PowerDeviceD3).status, STATUS_SUCCESS);
  Submission abort;
  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, In(1));
  EXPECT_EQ(Run(abort), STATUS_SUCCESS);
  machine().RunFor(20 * sim::kMillisecond);
  EXPECT_EQ(device->inAsks[0x81].size(), asks);
  EXPECT_TRUE(device->setups.empty());

  // Resumed: the same pipes carry data again, what the device held is fetched.
  EXPECT_EQ(SetPower(PowerDeviceD0).status, STATUS_SUCCESS);
  EXPECT_FALSE(port->Suspended());
  Submission again;
  Bulk(again, In(1), 64, kIn | kShortOk);
  EXPECT_EQ(Run(again), STATUS_SUCCESS);
  EXPECT_EQ(again.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
  Submission written;
  written.buffer = Pattern(10, 3);
  Bulk(written, Out(2), 10, 0);
  EXPECT_EQ(Run(written), STATUS_SUCCESS);
  EXPECT_EQ(device->Received(0x02), written.buffer);
  EXPECT_EQ(port->Presentations(), 1u);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(UsbBusPower, PendingSetPowerTakesEffectWhenItCompletesAndFailingOneNever) {
  port->PendSetPower();
  Submission read;
  StartRead(read);
  const sim::VirtualTime sent = machine().Now();
  EXPECT_EQ(SetPower(PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_GT(machine().Now(), sent);
  EXPECT_TRUE(port->Suspended());
  EXPECT_EQ(sim::io::RecordedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD3);
  ASSERT_TRUE(Finish(read));
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_GT(read.when, sent);  // suspended as it completed, not as it arrived
  EXPECT_EQ(Took(PowerDeviceD0), 0);  // one request only

  // kForever delays system requests too, until cleared; queries are left alone.
  port->PendSetPower(sim::usb::BusPort::kForever);
  POWER_STATE working;
  working.SystemState = PowerSystemWorking;
  sim::VirtualTime before = machine().Now();
  EXPECT_EQ(sim::io::SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, working).status, STATUS_SUCCESS);
  EXPECT_GT(machine().Now(), before);
  EXPECT_GT(Took(PowerDeviceD0), 0);
  before = machine().Now();
  EXPECT_EQ(sim::io::SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DState(PowerDeviceD3)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(machine().Now(), before);
  port->ClearFaults();
  EXPECT_EQ(Took(PowerDeviceD0), 0);

  // A failing one changes nothing; with a pend too it fails later.
  port->FailSetPower(STATUS_UNSUCCESSFUL, 2);
  Submission waiting;
  StartRead(waiting);
  EXPECT_EQ(SetPower(PowerDeviceD3).status, STATUS_UNSUCCESSFUL);
  port->PendSetPower();
  before = machine().Now();
  EXPECT_EQ(SetPower(PowerDeviceD2).status, STATUS_UNSUCCESSFUL);
  EXPECT_GT(machine().Now(), before);
  machine().RunFor(5 * sim::kMillisecond);
  EXPECT_FALSE(port->Suspended());
  EXPECT_FALSE(waiting.completed);
  EXPECT_EQ(sim::io::RecordedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD0);
  EXPECT_EQ(SetPower(PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_TRUE(port->Suspended());
  EXPECT_THROW(port->FailSetPower(STATUS_SUCCESS), std::invalid_argument);
  // A removed stack leaves the device in D0 for the next one, whose START assumes it.
  EXPECT_EQ(sim::io::SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_FALSE(port->Suspended());
  EXPECT_TRUE(TakeViolations().empty());
}

// The hub's notices, as the plug-and-play manager gets them.
class UsbBusPowerNotices : public UsbBusPower {
 protected:
  void SetUp() override {
    UsbBusPower::SetUp();
    sim::usb::SetPnpHandlers({[this](sim::usb::BusPort&, PDEVICE_OBJECT p) { notices.push_back({"arrived", p}); },
                              [this](sim::usb::BusPort&, PDEVICE_OBJECT p) { notices.push_back({"departed", p}); }});
  }
  std::vector<std::pair<std::string, PDEVICE_OBJECT>> notices;
};

TEST_F(UsbBusPowerNotices, LostPowerWhileSuspendedTheDeviceDepartsAndIsPresentedAnewBlank) {
  port->LosePowerWhileSuspended();
  const uint8_t address = port->Address();
  EXPECT_EQ(SetPower(PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(device->powerLosses, 0);
  EXPECT_TRUE(notices.empty());

  EXPECT_EQ(SetPower(PowerDeviceD0).status, STATUS_SUCCESS);
  EXPECT_EQ(device->powerLosses, 1);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0], std::make_pair(std::string("departed"), pdo));
  EXPECT_EQ(notices[1], std::make_pair(std::string("arrived"), port->Pdo()));
  EXPECT_NE(port->Pdo(), pdo);
  EXPECT_NE(port->Address(), address);
  EXPECT_EQ(port->PowerState(), PowerDeviceD0);

  // The old stack's traffic fails as after a detach; the new presentation is unconfigured.
  Submission stale;
  Bulk(stale, In(1), 64, kIn | kShortOk);
  Submit(stale);
  EXPECT_TRUE(stale.completedInsideCall);
  EXPECT_EQ(stale.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(URB_STATUS(stale.Urb()), USBD_STATUS_DEVICE_GONE);
  Submission unconfigured;
  Bulk(unconfigured, In(1), 64, kIn | kShortOk);
  EXPECT_EQ(Run(unconfigured, port->Pdo()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(unconfigured.Urb()), USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_EQ(device->configured, 0);

  // Once: the next suspend and resume keep the presentation.
  const PDEVICE_OBJECT current = port->Pdo();
  EXPECT_EQ(SetPower(PowerDeviceD3, current).status, STATUS_SUCCESS);
  EXPECT_EQ(SetPower(PowerDeviceD0, current).status, STATUS_SUCCESS);
  EXPECT_EQ(port->Pdo(), current);
  EXPECT_EQ(notices.size(), 2u);
}

}  // namespace
}  // namespace usbtest

// Through the plug-and-play manager: the departure and the new device's arrival.
namespace {

constexpr std::u16string_view kPath = u"USB\\Vid_5a45&Pid_8401\\SN0042";
constexpr std::u16string_view kBlankPath = u"USB\\Vid_5a45&Pid_0002\\SN0042";

class UsbPowerPnp : public pnptest::PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    sim::pnp::InstallService(u"TestBus", pnptest::DriverEntry, {u"USB\\Vid_5a45&Pid_8401", u"USB\\Vid_5a45&Pid_0002"},
                             sim::pnp::DeviceClass::MultiPortSerial);
    sim::usb::Plug(device, &port);
    sim::pnp::WaitIdle();
  }
  NTSTATUS SetPower(PDEVICE_OBJECT target, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return sim::io::SendPower(target, IRP_MN_SET_POWER, DevicePowerState, s).status;
  }
  usbtest::Device device;
  sim::usb::BusPort* port = nullptr;
};

TEST_F(UsbPowerPnp, ADeviceThatLostPowerAsleepIsRemovedAndItsBlankSelfInstalled) {
  auto node = sim::pnp::Node(kPath);
  ASSERT_TRUE(node);
  // Blank, the device answers with the identity of its bare controller.
  device.onPowerLost = [this] {
    device.deviceDescriptor[10] = 0x02;
    device.deviceDescriptor[11] = 0x00;
  };
  port->LosePowerWhileSuspended();
  EXPECT_EQ(SetPower(node->pdo, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(SetPower(node->pdo, PowerDeviceD0), STATUS_SUCCESS);
  sim::pnp::WaitIdle();
  EXPECT_FALSE(sim::pnp::Node(kPath));
  EXPECT_EQ(EventsOf(kPath).at(EventsOf(kPath).size() - 2), "SURPRISE_REMOVAL");
  EXPECT_EQ(EventsOf(kPath).back(), "REMOVE_DEVICE");
  auto blank = sim::pnp::Node(kBlankPath);
  ASSERT_TRUE(blank);
  EXPECT_EQ(blank->pdo, port->Pdo());
  EXPECT_EQ(blank->state, sim::pnp::NodeState::Started);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(UsbPowerPnp, UnpluggedWhileSuspendedTheManagerHearsOfItAtTheResume) {
  auto node = sim::pnp::Node(kPath);
  ASSERT_TRUE(node);
  EXPECT_EQ(SetPower(node->pdo, PowerDeviceD3), STATUS_SUCCESS);
  sim::usb::Unplug(*port);
  sim::pnp::WaitIdle();
  machine().RunFor(sim::kSecond);
  EXPECT_EQ(sim::pnp::Node(kPath)->state, sim::pnp::NodeState::Started);
  EXPECT_EQ(SetPower(node->pdo, PowerDeviceD0), STATUS_SUCCESS);
  sim::pnp::WaitIdle();
  EXPECT_FALSE(sim::pnp::Node(kPath));
}

}  // namespace
