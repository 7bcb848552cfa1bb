// End to end through the simulated plug-and-play manager: a blank adapter plugged in makes
// the manager load the driver, the driver downloads both images, the adapter comes back
// running them, and its four ports become COM3 to COM6, reachable by their links.
#include "adapter_model/adapter.h"
#include "adapter_model/cable.h"
#include "core/guids.h"
#include "driver_test.h"
#include "simkernel/io.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/usb_bus.h"

namespace {

class PnpManagerBringUp : public DriverTest {
 public:
  PnpManagerBringUp() { loadDriver_ = false; }
};

TEST_F(PnpManagerBringUp, BlankAdapterPluggedBecomesFourComPorts) {
  harness::InstallPlugAndPlayServices();
  adapter_model::AdapterOptions options;
  options.runningMainFirmware = false;
  adapter_model::Adapter model(options);
  sim::usb::BusPort& port = sim::usb::AddPort(model.Device());
  model.Plug(port);
  sim::pnp::WaitIdle();
  // The renumeration comes a few milliseconds after the start that downloaded.
  h().RunUntil([&] { return port.Presentations() >= 2; }, sim::kSecond);
  sim::pnp::WaitIdle();

  std::string events;
  for (const auto& e : sim::pnp::Events())
    events += std::string(e.device.begin(), e.device.end()) + " " + e.what + " " + harness::StatusText(e.status) + "\n";
  EXPECT_GE(port.Presentations(), 2u) << "the blank device renumerated\n" << events;
  ASSERT_NE(sim::pnp::ServiceDriver(u"ZELBRUSB"), nullptr);
  std::vector<PDEVICE_OBJECT> interfaces;
  for (const auto& entry : sim::io::DeviceInterfaces(ComPortInterfaceGuid))
    if (entry.enabled) interfaces.push_back(entry.device);
  for (int n = 0; n < 4; ++n) {
    const std::u16string com = u"COM" + std::u16string(1, char16_t(u'3' + n));
    const std::u16string kernel = u"\\Device\\ZelBrUsb" +
                                  std::u16string(model.SerialNumber().begin(), model.SerialNumber().end()) + u"-" +
                                  std::u16string(1, char16_t(u'0' + n));
    PDEVICE_OBJECT device = sim::io::FindDevice(kernel);
    ASSERT_NE(device, nullptr) << n;
    EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\" + com), device) << n;
    EXPECT_EQ(sim::registry::GetSz(std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM", kernel), com);
    EXPECT_EQ(std::count(interfaces.begin(), interfaces.end(), device), 1) << n;
  }

  adapter_model::LoopbackPlug loop(model.PortConnector(2));
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::Open(u"\\DosDevices\\COM4", &file), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::DeviceName(sim::io::FileTarget(file)).back(), u'1');
  const std::vector<uint8_t> data{'e', 'n', 'd'};
  sim::io::Request read = sim::io::ReadAsync(file, ULONG(data.size()));
  ASSERT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
  ASSERT_TRUE(h().RunUntil([&] { return read.IsComplete(); }, 5 * sim::kSecond));
  EXPECT_EQ(read.Output(), data);
  EXPECT_EQ(sim::io::Close(file), STATUS_SUCCESS);

  model.Unplug();
  sim::pnp::WaitIdle();
  EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM4"), nullptr);
}

// AddDevice whose attach fails (the stack it would join is being torn down) undoes everything:
// the manager sees the failure, nothing of the adapter stays, and the next plug starts cleanly.
TEST_F(PnpManagerBringUp, AnAttachFailureInAddDeviceLeavesNothingAndTheNextPlugStarts) {
  harness::InstallPlugAndPlayServices();
  adapter_model::Adapter model;
  sim::usb::BusPort& port = sim::usb::AddPort(model.Device());
  sim::io::FailNextAttachments(1);
  model.Plug(port);
  sim::pnp::WaitIdle();
  std::optional<sim::pnp::NodeInfo> node = sim::pnp::NodeOf(port.Pdo());
  ASSERT_TRUE(node);
  EXPECT_EQ(node->state, sim::pnp::NodeState::StartFailed);
  NTSTATUS added = STATUS_PENDING;
  for (const auto& e : sim::pnp::Events())
    if (e.device == node->instancePath && e.what == "AddDevice") added = e.status;
  EXPECT_EQ(added, STATUS_NO_SUCH_DEVICE);
  PDRIVER_OBJECT driver = sim::pnp::ServiceDriver(u"ZELBRUSB");
  ASSERT_NE(driver, nullptr);
  EXPECT_TRUE(sim::io::DevicesOf(driver).empty());
  EXPECT_EQ(sim::pool::OutstandingCount(), 1u) << "only the registry path DriverEntry keeps";
  EXPECT_EQ(port.Pdo()->AttachedDevice, nullptr);

  model.Unplug();
  sim::pnp::WaitIdle();
  model.Plug(port);
  sim::pnp::WaitIdle();
  ASSERT_TRUE(sim::pnp::NodeOf(port.Pdo()));
  EXPECT_EQ(sim::pnp::NodeOf(port.Pdo())->state, sim::pnp::NodeState::Started);
  EXPECT_EQ(sim::pnp::NodeOf(port.Pdo())->children.size(), 4u);
  model.Unplug();
  sim::pnp::WaitIdle();
}

}  // namespace
