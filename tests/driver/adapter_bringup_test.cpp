// A simulated adapter plugged in as a user would: the download the images imply, the
// renumeration, the running adapter's four ports with their COM names, links, device-map
// values and interfaces; replug, stop and restart with a port in use, surprise removal.
#include <cstring>

#include "adapter_model/cable.h"
#include "bringup_test_support.h"
#include "core/guids.h"
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
  EXPECT_EQ(unit.arrivals, 2u);
  EXPECT_EQ(unit.removals, 1u);
  ASSERT_NE(unit.adapter, nullptr);
  EXPECT_EQ(unit.startStatus, STATUS_SUCCESS);
  EXPECT_TRUE(unit.adapter->FirmwareRunning);
  EXPECT_EQ(unit.adapter->DevicePnpState, ULONG(Started));
  EXPECT_EQ(sim::io::DeviceName(unit.adapter->Self), u"\\Device\\ZelBrUsb0") << "the blank adapter's slot is free again";
  EXPECT_EQ(AdapterCount, 1u);
  ASSERT_EQ(unit.children.size(), 4u);
  EXPECT_EQ(EnabledInterfaces(GUID_ADAPTER_INTERFACE), std::vector<PDEVICE_OBJECT>{unit.pdo});

  std::vector<PDEVICE_OBJECT> comInterfaces = EnabledInterfaces(ComPortInterfaceGuid);
  for (int n = 1; n <= 4; ++n) {
    PortExtension* port = pnp().Port(unit, n);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(unit.childStartStatus[n - 1], STATUS_SUCCESS);
    EXPECT_EQ(port->Self, unit.children[n - 1]) << "reported in port order";
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
    EXPECT_EQ(sim::io::ObjectReferenceCount(port->Self), 0) << "the relations' references were given back";
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
  ASSERT_EQ(first.children.size(), 4u);
  harness::PluggedAdapter& second = pnp().Plug(Running());
  ASSERT_EQ(second.children.size(), 4u);
  EXPECT_EQ(sim::io::DeviceName(second.adapter->Self), u"\\Device\\ZelBrUsb1");
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(pnp().ComName(second, n), u"COM" + harness::ToU16(std::to_string(n + 6)));

  pnp().Unplug(first);
  EXPECT_EQ(first.adapter, nullptr);
  EXPECT_EQ(AdapterCount, 1u);
  EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM3"), nullptr) << "the link went with the port";
  EXPECT_EQ(sim::io::FindDevice(KernelName(first, 0)), nullptr);
  first.model->Replug();
  pnp().Settle();
  ASSERT_NE(first.adapter, nullptr);
  EXPECT_EQ(sim::io::DeviceName(first.adapter->Self), u"\\Device\\ZelBrUsb0") << "the lowest free slot";
  for (NTSTATUS s : first.childStartStatus) EXPECT_EQ(s, STATUS_SUCCESS) << harness::StatusText(s);
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(pnp().ComName(first, n), u"COM" + harness::ToU16(std::to_string(n + 2)));
    EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM" + harness::ToU16(std::to_string(n + 2))), pnp().Port(first, n)->Self);
  }
}

TEST_F(AdapterBringUp, StopAndRestartKeepAnOpenPortsSettingsAndItsTraffic) {
  sim::registry::SetDword(u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\ZELBRUSB\\Parameters",
                          u"MaximumTransferSize", 65536);
  harness::PluggedAdapter& unit = pnp().Plug(Running());
  const USBD_INTERFACE_INFORMATION* pipes = unit.adapter->InterfaceInformation;
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
  EXPECT_EQ(unit.adapter->DevicePnpState, ULONG(Started));
  ASSERT_TRUE(pending.IsComplete()) << "the stop ends what was waiting";
  EXPECT_EQ(pending.Status(), STATUS_CANCELLED);
  EXPECT_EQ(pnp().Port(unit, 1), port) << "no port device is made again";
  EXPECT_EQ(ULONG(port->Config.BaudRate), 19200u);  // a copy: the packed field is unaligned
  EXPECT_EQ(ULONG(closed->Config.BaudRate), 9600u);
  EXPECT_EQ(unit.model->Firmware()->Counters().executed, executed + 2) << "commands 1 and 3 for the open port";
  EXPECT_EQ(unit.model->Firmware()->Channel(1).Settings().format.baud, 19200u);
  EXPECT_TRUE(unit.model->Firmware()->Channel(1).IsOpen());
  EXPECT_EQ(sim::pool::OutstandingCount(), blocks) << "buffers are made once, not again at restart";
  EXPECT_EQ(unit.adapter->InterfaceInformation, pipes);
  for (ULONG i = 0; i < pipes->NumberOfPipes; ++i) EXPECT_EQ(pipes->Pipes[i].MaximumTransferSize, 65536u) << i;
  EXPECT_EQ(port->DataInPipe, &pipes->Pipes[0]);
  EXPECT_EQ(unit.adapter->CommandPipe->EndpointAddress, 0x07);
  EXPECT_EQ(unit.adapter->ResponsePipe->EndpointAddress, 0x87);
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

  pnp().Unplug(unit);
  for (sim::io::Request* request : {&wait, &read, &write}) {
    ASSERT_TRUE(request->IsComplete());
    EXPECT_NE(request->Status(), STATUS_PENDING);
  }
  EXPECT_EQ(unit.adapter, nullptr);
  EXPECT_EQ(AdapterCount, 0u);
  sim::io::Close(file);  // the handle outlived its device: refused, nothing touched
  EXPECT_TRUE(EnabledInterfaces(ComPortInterfaceGuid).empty());
  EXPECT_TRUE(EnabledInterfaces(GUID_ADAPTER_INTERFACE).empty());
}

}  // namespace
}  // namespace bringup_test
