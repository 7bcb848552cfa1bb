// A simulated adapter plugged in as a user would, brought up by the plug-and-play manager:
// the download the images imply, the renumeration, the running adapter's four ports with
// their COM names, links, device-map values and interfaces; replug, stop and restart with a
// port in use, surprise removal.
#include <cstring>

#include "adapter_model/cable.h"
#include "bringup_test_support.h"
#include "core/guids.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"

namespace bringup_test {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<PDEVICE_OBJECT> EnabledInterfaces(const GUID& guid) {
  std::vector<PDEVICE_OBJECT> devices;
  for (const auto& entry : sim::io::DeviceInterfaces(guid))
    if (entry.enabled) devices.push_back(entry.device);
  return devices;
}

class AdapterBringUp : public BringUpTest {
 protected:
  PFILE_OBJECT OpenCom(const std::u16string& name) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sim::io::Open(u"\\DosDevices\\" + name, &file), STATUS_SUCCESS) << "open";
    return file;
  }
  NTSTATUS SetBaud(PFILE_OBJECT file, ULONG baud) {
    SERIAL_BAUD_RATE rate{baud};
    Bytes input(sizeof rate);
    std::memcpy(input.data(), &rate, sizeof rate);
    return sim::io::DeviceControl(file, IOCTL_SERIAL_SET_BAUD_RATE, input, 0).status;
  }
  // Bytes written come back through a loopback plug.
  void ExpectEcho(PFILE_OBJECT file, const Bytes& data) {
    sim::io::Request read = sim::io::ReadAsync(file, ULONG(data.size()));
    ASSERT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
    ASSERT_TRUE(h().RunUntil([&] { return read.IsComplete(); }, 5 * sim::kSecond));
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Output(), data);
  }
};

TEST_F(AdapterBringUp, BlankAdapterTakesBothImagesAndComesBackAsFourComPorts) {
  harness::PluggedAdapter& unit = pnp().Plug(Blank());

  const auto expected = ExpectedDownload();
  const auto& controls = unit.tap->Controls();
  ASSERT_EQ(controls.size(), expected.size()) << "every vendor request of the download, nothing else";
  size_t externals = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& seen = controls[i];
    EXPECT_EQ(seen.setup.bmRequestType, 0x40) << i;
    EXPECT_EQ(seen.setup.bRequest, expected[i].request) << i;
    EXPECT_EQ(seen.setup.wValue, expected[i].value) << i;
    EXPECT_EQ(seen.setup.wIndex, 0) << i;
    EXPECT_EQ(seen.setup.wLength, expected[i].data.size()) << i;
    EXPECT_EQ(seen.data, expected[i].data) << i;
    EXPECT_EQ(seen.handshake, sim::usb::Handshake::Ack) << i;
    externals += seen.setup.bRequest == 0xA3;
  }
  EXPECT_GT(externals, 0u);
  RecordProperty("download_control_transfers", int(controls.size()));

  // The blank device went away and the running one came back as a device of its own.
  EXPECT_EQ(unit.busPort->Presentations(), 2u);
  std::u16string blank;
  std::vector<std::string> blankEvents;
  for (const auto& event : sim::pnp::Events())
    if (event.device.starts_with(u"USB\\Vid_5a45&Pid_0421\\")) {
      blank = event.device;
      if (event.what == "START_DEVICE" || event.what.ends_with("REMOVAL") || event.what.ends_with("REMOVE_DEVICE"))
        blankEvents.push_back(event.what + " " + harness::StatusText(event.status));
    }
  EXPECT_EQ(blankEvents, (std::vector<std::string>{"START_DEVICE 0x00000000", "SURPRISE_REMOVAL 0x00000000",
                                                   "REMOVE_DEVICE 0x00000000"}));
  EXPECT_FALSE(sim::pnp::Node(blank)) << "the blank device's node went with it";
  AdapterExtension* adapter = pnp().Adapter(unit);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(pnp().StartStatus(unit), STATUS_SUCCESS);
  EXPECT_TRUE(pnp().Node(unit)->capabilities.SurpriseRemovalOK) << "set by the driver over the hub's answer";
  EXPECT_TRUE(adapter->FirmwareRunning);
  EXPECT_EQ(adapter->DevicePnpState, ULONG(Started));
  EXPECT_EQ(sim::io::DeviceName(adapter->Self), u"\\Device\\ZelBrUsb0") << "the blank adapter's slot is free again";
  EXPECT_EQ(AdapterCount, 1u);
  const std::vector<sim::pnp::NodeInfo> children = pnp().Children(unit);
  ASSERT_EQ(children.size(), 4u);
  EXPECT_EQ(EnabledInterfaces(GUID_ADAPTER_INTERFACE), std::vector<PDEVICE_OBJECT>{unit.busPort->Pdo()});

  std::vector<PDEVICE_OBJECT> comInterfaces = EnabledInterfaces(ComPortInterfaceGuid);
  for (int n = 1; n <= 4; ++n) {
    PortExtension* port = pnp().Port(unit, n);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(children[n - 1].state, sim::pnp::NodeState::Started);
    EXPECT_EQ(harness::PluggedAdapters::LastStatus(children[n - 1].instancePath, "START_DEVICE"), STATUS_SUCCESS);
    EXPECT_EQ(port->Self, children[n - 1].pdo) << "reported in port order";
    EXPECT_EQ(port->Self->AttachedDevice, nullptr) << "the port serves its own PDO, nothing layered on it";
    EXPECT_EQ(port->PortNumber, ULONG(n));
    EXPECT_EQ(port->PortInstanceNumber, ULONG(n));
    EXPECT_EQ(port->PortDeviceObject, port->Self);
    EXPECT_EQ(sim::io::FindDevice(KernelName(unit, n - 1)), port->Self);
    const std::u16string com = u"COM" + harness::ToU16(std::to_string(n + 2));
    EXPECT_EQ(pnp().ComName(unit, n), com);
    EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\" + com), port->Self);
    EXPECT_EQ(sim::registry::GetSz(std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM", KernelName(unit, n - 1)),
              com);
    EXPECT_EQ(std::count(comInterfaces.begin(), comInterfaces.end(), port->Self), 1);
    // Every relations answer references the PDO; the manager keeps the first and gives back the rest.
    EXPECT_EQ(sim::io::ObjectReferenceCount(port->Self), 1) << "the manager's reference only";
  }

  adapter_model::LoopbackPlug loop(unit.model->PortConnector(2));
  PFILE_OBJECT file = OpenCom(u"COM4");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(sim::io::FileTarget(file), pnp().Port(unit, 2)->Self);
  ExpectEcho(file, {'b', 'r', 'i', 'n', 'g', 'u', 'p'});
  EXPECT_EQ(sim::io::Close(file), STATUS_SUCCESS);
}

TEST_F(AdapterBringUp, ReplugKeepsTheNamesAndASecondAdapterTakesTheNextFour) {
  harness::PluggedAdapter& first = pnp().Plug(Running());
  ASSERT_EQ(pnp().Children(first).size(), 4u);
  harness::PluggedAdapter& second = pnp().Plug(Running());
  ASSERT_EQ(pnp().Children(second).size(), 4u);
  EXPECT_EQ(sim::io::DeviceName(pnp().Adapter(second)->Self), u"\\Device\\ZelBrUsb1");
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(pnp().ComName(second, n), u"COM" + harness::ToU16(std::to_string(n + 6)));

  pnp().Unplug(first);
  EXPECT_EQ(pnp().Adapter(first), nullptr);
  EXPECT_EQ(AdapterCount, 1u);
  EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM3"), nullptr) << "the link went with the port";
  EXPECT_EQ(sim::io::FindDevice(KernelName(first, 0)), nullptr);
  first.model->Replug();
  pnp().Settle();
  ASSERT_NE(pnp().Adapter(first), nullptr);
  EXPECT_EQ(sim::io::DeviceName(pnp().Adapter(first)->Self), u"\\Device\\ZelBrUsb0") << "the lowest free slot";
  ASSERT_EQ(pnp().Children(first).size(), 4u);
  for (const auto& child : pnp().Children(first)) EXPECT_EQ(child.state, sim::pnp::NodeState::Started);
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(pnp().ComName(first, n), u"COM" + harness::ToU16(std::to_string(n + 2)));
    EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM" + harness::ToU16(std::to_string(n + 2))), pnp().Port(first, n)->Self);
  }
}

TEST_F(AdapterBringUp, StopAndRestartKeepAnOpenPortsSettingsAndItsTraffic) {
  sim::registry::SetDword(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\ZELBRUSB\\Parameters",
                          u"MaximumTransferSize", 65536);
  harness::PluggedAdapter& unit = pnp().Plug(Running());
  AdapterExtension* adapter = pnp().Adapter(unit);
  ASSERT_NE(adapter, nullptr);
  const USBD_INTERFACE_INFORMATION* pipes = adapter->InterfaceInformation;
  ASSERT_EQ(pipes->NumberOfPipes, 10u);
  adapter_model::LoopbackPlug loop(unit.model->PortConnector(1));
  PFILE_OBJECT file = OpenCom(u"COM3");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(SetBaud(file, 19200), STATUS_SUCCESS);
  ExpectEcho(file, {1, 2, 3});
  PortExtension* port = pnp().Port(unit, 1);
  PortExtension* closed = pnp().Port(unit, 2);
  closed->Config.BaudRate = 1200;  // a closed port's settings go back to the defaults
  sim::io::Request pending = sim::io::ReadAsync(file, 10);
  const uint64_t executed = unit.model->Firmware()->Counters().executed;
  const size_t blocks = sim::pool::OutstandingCount();

  ASSERT_EQ(pnp().StopAndRestart(unit), STATUS_SUCCESS);
  EXPECT_EQ(pnp().Adapter(unit), adapter);
  EXPECT_EQ(adapter->DevicePnpState, ULONG(Started));
  ASSERT_TRUE(pending.IsComplete()) << "the stop ends what was waiting";
  EXPECT_EQ(pending.Status(), STATUS_CANCELLED);
  EXPECT_EQ(pnp().Port(unit, 1), port) << "no port device is made again";
  EXPECT_EQ(ULONG(port->Config.BaudRate), 19200u);  // a copy: the packed field is unaligned
  EXPECT_EQ(ULONG(closed->Config.BaudRate), 9600u);
  EXPECT_EQ(unit.model->Firmware()->Counters().executed, executed + 2) << "commands 1 and 3 for the open port";
  EXPECT_EQ(unit.model->Firmware()->Channel(1).Settings().format.baud, 19200u);
  EXPECT_TRUE(unit.model->Firmware()->Channel(1).IsOpen());
  EXPECT_EQ(sim::pool::OutstandingCount(), blocks) << "buffers are made once, not again at restart";
  EXPECT_EQ(adapter->InterfaceInformation, pipes);
  for (ULONG i = 0; i < pipes->NumberOfPipes; ++i) EXPECT_EQ(pipes->Pipes[i].MaximumTransferSize, 65536u) << i;
  EXPECT_EQ(port->DataInPipe, &pipes->Pipes[0]);
  EXPECT_EQ(adapter->CommandPipe->EndpointAddress, 0x07);
  EXPECT_EQ(adapter->ResponsePipe->EndpointAddress, 0x87);
  ExpectEcho(file, {4, 5, 6, 7});
  EXPECT_EQ(sim::io::Close(file), STATUS_SUCCESS);
}

TEST_F(AdapterBringUp, SurpriseRemovalDuringIoEndsEveryRequest) {
  harness::PluggedAdapter& unit = pnp().Plug(Running());
  PFILE_OBJECT file = OpenCom(u"COM5");
  ASSERT_NE(file, nullptr);
  ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_EVENT1;
  Bytes maskBytes(sizeof mask);
  std::memcpy(maskBytes.data(), &mask, sizeof mask);
  ASSERT_EQ(sim::io::DeviceControl(file, IOCTL_SERIAL_SET_WAIT_MASK, maskBytes, 0).status, STATUS_SUCCESS);
  sim::io::Request wait = sim::io::DeviceControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  sim::io::Request read = sim::io::ReadAsync(file, 100);
  // No cable: the UART's transmitter stays busy with flow control off only so long, so the
  // big write is still in progress when the plug is pulled.
  sim::io::Request write = sim::io::WriteAsync(file, Bytes(3000, 0x55));
  h().Advance(5 * sim::kMillisecond);
  ASSERT_FALSE(read.IsComplete());

  const std::u16string adapterPath = pnp().Node(unit)->instancePath;
  const std::u16string portPath = pnp().Children(unit).at(2).instancePath;
  PDEVICE_OBJECT com5 = pnp().Port(unit, 3)->Self;
  pnp().Unplug(unit);
  for (sim::io::Request* request : {&wait, &read, &write}) {
    ASSERT_TRUE(request->IsComplete());
    EXPECT_NE(request->Status(), STATUS_PENDING);
  }
  EXPECT_TRUE(EnabledInterfaces(GUID_ADAPTER_INTERFACE).empty());
  // The open handle holds off the port's removal, and so the adapter's; until then the
  // adapter still reports its ports, which keep their names.
  EXPECT_EQ(EnabledInterfaces(ComPortInterfaceGuid).size(), 4u);
  EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM5"), com5);
  ASSERT_TRUE(sim::pnp::Node(portPath));
  EXPECT_EQ(sim::pnp::Node(portPath)->state, sim::pnp::NodeState::SurpriseRemoved);
  ASSERT_TRUE(sim::pnp::Node(adapterPath));
  EXPECT_EQ(sim::pnp::Node(adapterPath)->state, sim::pnp::NodeState::SurpriseRemoved);
  EXPECT_EQ(AdapterCount, 1u);
  // The handle stays valid: a read made now waits, and the handle's cleanup ends it.
  sim::io::Request late = sim::io::ReadAsync(file, 1);

  EXPECT_EQ(sim::io::Close(file), STATUS_SUCCESS);
  pnp().Settle();
  ASSERT_TRUE(late.IsComplete());
  EXPECT_EQ(late.Status(), STATUS_CANCELLED);
  EXPECT_FALSE(sim::pnp::Node(portPath));
  EXPECT_FALSE(sim::pnp::Node(adapterPath));
  EXPECT_TRUE(EnabledInterfaces(ComPortInterfaceGuid).empty());
  EXPECT_EQ(AdapterCount, 0u);
}

}  // namespace
}  // namespace bringup_test
