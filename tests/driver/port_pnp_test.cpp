// A port's own plug-and-play requests, as the system sends them to the bottom of its stack:
// what it says about itself, the requests it refuses or leaves alone, and its removal, with
// and without the adapter still reporting it.
#include <cstring>

#include "port_control_test_support.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"

namespace serial_test {
namespace {

class PortPnp : public PortControlTest {
 protected:
  PDEVICE_OBJECT Device(int number) { return port(number)->Self; }

  sim::io::Result Pnp(int number, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup = {},
                      NTSTATUS initial = STATUS_NOT_SUPPORTED) {
    sim::io::RawIrp irp;
    irp.major = IRP_MJ_PNP;
    irp.minor = minor;
    irp.initialStatus = initial;
    irp.setup = std::move(setup);
    return h().Send(Device(number), irp);
  }

  sim::io::Result QueryId(int number, BUS_QUERY_ID_TYPE type) {
    return Pnp(number, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
  }

  // The wide characters of a pool answer, up to `bytes`, released afterwards as the manager would.
  std::u16string TakeAnswer(ULONG_PTR information, size_t bytes) {
    std::u16string text(bytes / 2, u'\0');
    std::memcpy(text.data(), reinterpret_cast<const void*>(information), bytes);
    h().RunTask("release answer", [&] { ExFreePool(reinterpret_cast<PVOID>(information)); });
    return text;
  }
};

TEST_F(PortPnp, TellsItsIdsTextAndBusAsTheManagerAsks) {
  const std::u16string hardware(u"ZELBUS\\BRPORTS02\0\0", 18);
  for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryHardwareIDs}) {
    sim::io::Result id = QueryId(2, type);
    ASSERT_EQ(id.status, STATUS_SUCCESS) << type;
    ASSERT_NE(id.information, 0u);
    auto ids = sim::pool::Outstanding(TAG_BR00);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].size, 36u) << "the id and both NULs, nothing more";
    EXPECT_EQ(TakeAnswer(id.information, 36), hardware) << type;
  }
  sim::io::Result compatible = QueryId(2, BusQueryCompatibleIDs);
  ASSERT_EQ(compatible.status, STATUS_SUCCESS);
  EXPECT_EQ(TakeAnswer(compatible.information, 24), std::u16string(u"ZELBRPORTS\0\0", 12));

  sim::io::Result instance = QueryId(2, BusQueryInstanceID);
  ASSERT_EQ(instance.status, STATUS_SUCCESS);
  char16_t expected[3] = {u'0', char16_t(u'0' + port(2)->PortInstanceNumber), 0};
  EXPECT_EQ(TakeAnswer(instance.information, 6), std::u16string(expected, 3));

  // Serial numbers are not among the ids a port has: the request keeps what it came with.
  sim::io::Result serial = QueryId(2, BusQueryDeviceSerialNumber);
  EXPECT_EQ(serial.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(serial.information, 0u);

  sim::io::Result text = Pnp(2, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
  });
  ASSERT_EQ(text.status, STATUS_SUCCESS);
  EXPECT_EQ(TakeAnswer(text.information, 34), std::u16string(u"ZEL USB COM Port\0", 17));
  sim::io::Result location = Pnp(2, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextLocationInformation;
  });
  EXPECT_EQ(location.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(location.information, 0u);

  sim::io::Result bus = Pnp(2, IRP_MN_QUERY_BUS_INFORMATION);
  ASSERT_EQ(bus.status, STATUS_SUCCESS);
  PNP_BUS_INFORMATION info;
  std::memcpy(&info, reinterpret_cast<const void*>(bus.information), sizeof(info));
  h().RunTask("release", [&] { ExFreePool(reinterpret_cast<PVOID>(bus.information)); });
  const GUID adapterGuid = {0x3b1df4f2, 0x31f5, 0x4d2e, {0xad, 0x8b, 0x9f, 0x26, 0xc0, 0x89, 0xae, 0x4b}};
  EXPECT_EQ(std::memcmp(&info.BusTypeGuid, &adapterGuid, sizeof(GUID)), 0);
  EXPECT_EQ(info.LegacyBusType, ULONG(PNPBus));
  EXPECT_EQ(info.BusNumber, 0u);

  const LONG references = sim::io::ObjectReferenceCount(Device(2));  // the manager's, from the bus relations
  sim::io::Result target = Pnp(2, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  ASSERT_EQ(target.status, STATUS_SUCCESS);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(target.information);
  ASSERT_EQ(relations->Count, 1u);
  EXPECT_EQ(relations->Objects[0], Device(2));
  EXPECT_EQ(sim::io::ObjectReferenceCount(Device(2)), references + 1) << "one reference for the caller";
  h().RunTask("release", [&] {
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
  });
  sim::io::Result bus_relations = Pnp(2, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = BusRelations;
  });
  EXPECT_EQ(bus_relations.status, STATUS_NOT_SUPPORTED) << "a port has no children";
}

TEST_F(PortPnp, RefusesUsageNotificationsAndLeavesWhatItDoesNotServe) {
  EXPECT_EQ(Pnp(1, IRP_MN_DEVICE_USAGE_NOTIFICATION).status, STATUS_NOT_IMPLEMENTED);
  for (UCHAR minor : {UCHAR(IRP_MN_QUERY_INTERFACE), UCHAR(IRP_MN_QUERY_RESOURCES),
                      UCHAR(IRP_MN_FILTER_RESOURCE_REQUIREMENTS), UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE),
                      UCHAR(0x7F)}) {
    sim::io::Result result = Pnp(1, minor, {}, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << int(minor);
    EXPECT_EQ(result.dispatchStatus, STATUS_NOT_SUPPORTED) << "returns what it completed with";
  }
  EXPECT_EQ(Pnp(1, IRP_MN_QUERY_RESOURCE_REQUIREMENTS).status, STATUS_SUCCESS);

  // The state follows the manager's requests; the cancels go back to Started from anywhere.
  const std::pair<UCHAR, ULONG> steps[] = {
      {IRP_MN_QUERY_STOP_DEVICE, StopPending}, {IRP_MN_CANCEL_STOP_DEVICE, Started},
      {IRP_MN_QUERY_REMOVE_DEVICE, RemovePending}, {IRP_MN_CANCEL_REMOVE_DEVICE, Started},
      {IRP_MN_QUERY_STOP_DEVICE, StopPending}, {IRP_MN_STOP_DEVICE, Stopped},
      {IRP_MN_CANCEL_REMOVE_DEVICE, Started}};
  for (auto [minor, state] : steps) {
    EXPECT_EQ(Pnp(1, minor).status, STATUS_SUCCESS) << int(minor);
    EXPECT_EQ(port(1)->DevicePnpState, state) << int(minor);
  }
}

// Removed while the adapter still reports it, the port stays (Device Manager's disable); after
// an eject it goes for good: unreachable through the adapter, its blocks freed, and the
// instance numbers start again once the adapter's last port went.
TEST_F(PortPnp, RemovalKeepsAReportedPortAndDeletesAnEjectedOne) {
  ASSERT_EQ(Close(file_), STATUS_SUCCESS);
  file_ = nullptr;
  PortExtension* third = port(3);
  ASSERT_EQ(sim::pnp::DisableDevice(fixture().PortInstancePath(3)), STATUS_SUCCESS);
  EXPECT_EQ(third->DevicePnpState, NotStarted);
  EXPECT_FALSE(sim::io::IsDeleted(third->Self));
  EXPECT_EQ(adapter()->Ports[2], third);

  const size_t blocksBefore = sim::pool::Outstanding().size();
  for (int n = 1; n <= 4; n++) {
    PDEVICE_OBJECT device = Device(n);
    EXPECT_EQ(fixture().DisableAndEjectPort(n), STATUS_SUCCESS) << n;
    EXPECT_TRUE(sim::io::IsDeleted(device)) << n;
    EXPECT_EQ(adapter()->Ports[n - 1], nullptr) << n;
    EXPECT_EQ(adapter()->ChildCount, ULONG(4 - n));
  }
  EXPECT_EQ(adapter()->PortInstanceCounter, 0) << "the next ports are numbered from 01 again";
  // Each port's data blocks, id and work item are gone with it.
  EXPECT_LT(sim::pool::Outstanding().size(), blocksBefore);
}

// The adapter unplugged while a handle is open and requests wait: every one of them completes at
// the surprise removal, the handle's later requests are refused, and the port is deleted only
// once the handle is closed.
TEST_F(PortPnp, SurpriseRemovalEndsEveryPendingRequestAndDeletionWaitsForTheHandle) {
  SERIAL_HANDFLOW flow{};
  flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
  flow.XonLimit = 10;
  flow.XoffLimit = 10;
  ASSERT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow)).status, STATUS_SUCCESS);
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask)).status, STATUS_SUCCESS);
  SERIAL_TIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 60000;
  timeouts.WriteTotalTimeoutConstant = 60000;
  ASSERT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts)).status, STATUS_SUCCESS);

  sim::io::Request wait = IoctlAsync(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  sim::io::Request read = sim::io::ReadAsync(file_, 100);
  sim::io::Request queuedRead = sim::io::ReadAsync(file_, 10);
  // No CTS from an empty connector: the write is held by the handshake.
  const Bytes data = Pattern(300, 7);
  sim::io::Request write = sim::io::WriteAsync(file_, data);
  sim::io::Request queuedWrite = sim::io::WriteAsync(file_, data);
  h().Advance(20 * kMillisecond);
  for (auto* r : {&wait, &read, &queuedRead, &write, &queuedWrite})
    ASSERT_FALSE(r->IsComplete());

  PDEVICE_OBJECT device = Device(kPort);
  model().Unplug();
  sim::pnp::WaitIdle();
  for (auto* r : {&wait, &read, &queuedRead, &write, &queuedWrite}) {
    ASSERT_TRUE(r->IsComplete());
    EXPECT_EQ(r->Status(), STATUS_CANCELLED);
  }
  EXPECT_FALSE(sim::io::IsDeleted(device)) << "a handle is still open";
  // Nothing runs for the port past every time-out the requests had.
  h().Advance(70 * kSecond);
  EXPECT_EQ(Close(file_), STATUS_SUCCESS);
  file_ = nullptr;
  sim::pnp::WaitIdle();
  EXPECT_TRUE(sim::io::IsDeleted(device));
}

}  // namespace
}  // namespace serial_test

namespace serial_test {
namespace {

// The port's names at START: the COM name from its device key, the link, the device-map value
// and the COM-port interface; a bad "PortName" refused with nothing made; deletion takes all.
// Each start is the adapter plugged in again, the port's device key set while it was away.
class PortNaming : public PortPnp {
 protected:
  void SetUp() override {
    PortPnp::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Close(file_), STATUS_SUCCESS);
    file_ = nullptr;
    instance_ = fixture().PortInstancePath(kPort);
    ASSERT_FALSE(instance_.empty());
  }
  std::u16string DeviceKey() const {
    return std::u16string(sim::registry::kEnum) + u"\\" + instance_ + u"\\Device Parameters";
  }
  // The adapter replugged; the status the port's START came back with.
  NTSTATUS Start() {
    sim::pnp::ClearEvents();
    fixture().Replug();
    NTSTATUS status = STATUS_PENDING;
    for (const auto& e : sim::pnp::Events())
      if (e.device == instance_ && e.what == "START_DEVICE") status = e.status;
    return status;
  }
  std::optional<std::u16string> SerialComm() {
    return sim::registry::GetSz(std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM", DeviceName(kPort));
  }
  size_t EnabledComInterfaces() {
    const GUID comPort = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    size_t enabled = 0;
    for (const auto& i : sim::io::DeviceInterfaces(comPort))
      if (i.enabled && !sim::io::IsDeleted(i.device) && sim::io::DeviceName(i.device) == DeviceName(kPort)) ++enabled;
    return enabled;
  }
  void ExpectNoNames(const std::string& why) {
    EXPECT_FALSE(sim::io::SymbolicLinkTarget(u"\\DosDevices\\COM7").has_value()) << why;
    EXPECT_FALSE(SerialComm().has_value()) << why;
    EXPECT_EQ(EnabledComInterfaces(), 0u) << why;
  }
  std::u16string instance_;
};

TEST_F(PortNaming, StartNamesThePortAndTheNameOpensIt) {
  sim::registry::SetSz(DeviceKey(), u"PortName", u"COM7");
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(port(kPort)->DevicePnpState, Started);
  EXPECT_EQ(sim::io::SymbolicLinkTarget(u"\\DosDevices\\COM7"), DeviceName(kPort));
  EXPECT_EQ(SerialComm(), u"COM7");
  EXPECT_EQ(EnabledComInterfaces(), 1u);

  PFILE_OBJECT byName = nullptr;
  ASSERT_EQ(sim::io::Open(u"\\DosDevices\\COM7", &byName), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::FileTarget(byName), Device(kPort));
  EXPECT_EQ(sim::io::Close(byName), STATUS_SUCCESS);

  // A stop and a new start keep the names as they are; so does a removal while reported and
  // the start after it.
  ASSERT_EQ(sim::pnp::Rebalance(instance_), STATUS_SUCCESS);
  EXPECT_EQ(port(kPort)->DevicePnpState, Started);
  ASSERT_EQ(sim::pnp::DisableDevice(instance_), STATUS_SUCCESS);
  EXPECT_EQ(SerialComm(), u"COM7") << "kept while the adapter reports the port";
  ASSERT_EQ(sim::pnp::EnableDevice(instance_), STATUS_SUCCESS);
  EXPECT_EQ(EnabledComInterfaces(), 1u);
  EXPECT_EQ(SerialComm(), u"COM7");
  EXPECT_EQ(sim::io::SymbolicLinkTarget(u"\\DosDevices\\COM7"), DeviceName(kPort));

  // Ejected and removed, the port takes every name with it.
  ASSERT_EQ(fixture().DisableAndEjectPort(kPort), STATUS_SUCCESS);
  EXPECT_EQ(port(kPort), nullptr);
  ExpectNoNames("after removal");
}

TEST_F(PortNaming, AnUnusablePortNameFailsTheStartWithNothingMade) {
  auto sz = [](std::u16string text) {
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
  };
  struct Case {
    const char* what;
    ULONG type;
    std::vector<uint8_t> data;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"a DWORD", REG_DWORD, {7, 0, 0, 0}, STATUS_OBJECT_NAME_INVALID},
      {"multi-sz", REG_MULTI_SZ, sz(std::u16string(u"COM7\0\0", 6)), STATUS_OBJECT_NAME_INVALID},
      {"empty", REG_SZ, sz(std::u16string(u"\0", 1)), STATUS_OBJECT_NAME_INVALID},
      {"no NUL", REG_SZ, sz(u"COM7"), STATUS_OBJECT_NAME_INVALID},
      {"odd length", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '7', 0, 0}, STATUS_OBJECT_NAME_INVALID},
      {"a path", REG_SZ, sz(std::u16string(u"..\\COM7\0", 8)), STATUS_OBJECT_NAME_INVALID},
      {"a slash", REG_SZ, sz(std::u16string(u"COM/7\0", 6)), STATUS_OBJECT_NAME_INVALID},
      {"33 characters", REG_SZ, sz(std::u16string(33, u'C') + u'\0'), STATUS_OBJECT_NAME_INVALID},
      {"300 bytes", REG_SZ, sz(std::u16string(149, u'C') + u'\0'), STATUS_OBJECT_NAME_INVALID},
  };
  for (const Case& c : cases) {
    sim::registry::SetValue(DeviceKey(), u"PortName", c.type, c.data);
    EXPECT_EQ(Start(), c.status) << c.what;
    EXPECT_EQ(sim::pnp::Node(instance_)->state, sim::pnp::NodeState::StartFailed) << c.what;
    ExpectNoNames(c.what);
    EXPECT_EQ(sim::registry::OpenHandleCount(), 0u) << c.what;
  }
  // The longest name that fits is used whole.
  const std::u16string longest(32, u'Z');
  sim::registry::SetSz(DeviceKey(), u"PortName", longest);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::SymbolicLinkTarget(u"\\DosDevices\\" + longest), DeviceName(kPort));
  EXPECT_EQ(SerialComm(), longest);
}

// A name another device holds already: the start fails and the other's link stays.
TEST_F(PortNaming, ANameTakenByAnotherDeviceFailsTheStartAndLeavesItsOwner) {
  ASSERT_EQ(sim::io::CreateSymbolicLink(u"\\DosDevices\\COM7", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
  sim::registry::SetSz(DeviceKey(), u"PortName", u"COM7");
  EXPECT_EQ(Start(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::io::SymbolicLinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\Elsewhere");
  EXPECT_FALSE(SerialComm().has_value());
  EXPECT_EQ(EnabledComInterfaces(), 0u);
  ASSERT_EQ(sim::io::DeleteSymbolicLink(u"\\DosDevices\\COM7"), STATUS_SUCCESS);
  EXPECT_EQ(Start(), STATUS_SUCCESS) << "a retry after the name is free";
}

}  // namespace
}  // namespace serial_test
