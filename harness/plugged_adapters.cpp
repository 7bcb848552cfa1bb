#include "plugged_adapters.h"

#include "simkernel/registry.h"

namespace harness {

PluggedAdapters::PluggedAdapters(DriverHarness& harness) : harness_(harness) { InstallPlugAndPlayServices(); }

PluggedAdapters::~PluggedAdapters() {
  try {
    if (harness_.machine().Stopped()) return;
    for (auto& unit : units_)
      if (auto node = Node(*unit); node && node->state == sim::pnp::NodeState::Started) Remove(*unit);
    for (auto& unit : units_) unit->model->Unplug();
    Settle();
  } catch (const sim::DeadlockError&) {
  }
}

PluggedAdapter& PluggedAdapters::Plug(adapter_model::AdapterOptions options, bool settle) {
  auto unit = std::make_unique<PluggedAdapter>();
  unit->model = std::make_unique<adapter_model::Adapter>(options);
  unit->tap = std::make_unique<UsbDeviceTap>(unit->model->Device());
  unit->busPort = &sim::usb::AddPort(*unit->tap);
  PluggedAdapter& result = *unit;
  units_.push_back(std::move(unit));
  result.model->Plug(*result.busPort);
  if (settle) Settle();
  return result;
}

void PluggedAdapters::Unplug(PluggedAdapter& unit) {
  unit.model->Unplug();
  Settle();
}

NTSTATUS PluggedAdapters::Remove(PluggedAdapter& unit) {
  auto node = Node(unit);
  const NTSTATUS status = node ? sim::pnp::RequestRemoval(node->instancePath) : STATUS_NO_SUCH_DEVICE;
  Settle();
  return status;
}

NTSTATUS PluggedAdapters::StopAndRestart(PluggedAdapter& unit) {
  auto node = Node(unit);
  const NTSTATUS status = node ? sim::pnp::Rebalance(node->instancePath) : STATUS_NO_SUCH_DEVICE;
  Settle();
  return status;
}

void PluggedAdapters::Settle() {
  harness_.RunUntilIdle();
  sim::pnp::WaitIdle();
}

std::optional<sim::pnp::NodeInfo> PluggedAdapters::Node(const PluggedAdapter& unit) const {
  PDEVICE_OBJECT pdo = unit.busPort->Pdo();
  return pdo ? sim::pnp::NodeOf(pdo) : std::nullopt;
}

AdapterExtension* PluggedAdapters::Adapter(const PluggedAdapter& unit) const {
  PDEVICE_OBJECT pdo = unit.busPort->Pdo();
  if (pdo == nullptr) return nullptr;
  for (AdapterExtension* adapter : AdapterTable)
    if (adapter != nullptr && adapter->PhysicalDeviceObject == pdo) return adapter;
  return nullptr;
}

NTSTATUS PluggedAdapters::StartStatus(const PluggedAdapter& unit) const {
  auto node = Node(unit);
  return node ? LastStatus(node->instancePath, "START_DEVICE") : STATUS_PENDING;
}

std::vector<sim::pnp::NodeInfo> PluggedAdapters::Children(const PluggedAdapter& unit) const {
  std::vector<sim::pnp::NodeInfo> children;
  if (auto node = Node(unit))
    for (const auto& path : node->children)
      if (auto child = sim::pnp::Node(path)) children.push_back(*child);
  return children;
}

PortExtension* PluggedAdapters::Port(const PluggedAdapter& unit, int number) const {
  AdapterExtension* adapter = Adapter(unit);
  if (adapter == nullptr || number < 1 || number > MAX_PORTS) return nullptr;
  return adapter->Ports[number - 1];
}

std::u16string PluggedAdapters::ComName(const PluggedAdapter& unit, int number) const {
  std::vector<sim::pnp::NodeInfo> children = Children(unit);
  if (number < 1 || size_t(number) > children.size()) return u"";
  const std::u16string key =
      std::u16string(sim::registry::kEnum) + u"\\" + children[number - 1].instancePath + u"\\Device Parameters";
  return sim::registry::GetSz(key, u"PortName").value_or(u"");
}

NTSTATUS PluggedAdapters::LastStatus(std::u16string_view instancePath, std::string_view what) {
  NTSTATUS status = STATUS_PENDING;
  for (const auto& event : sim::pnp::Events())
    if (event.device == instancePath && event.what == what) status = event.status;
  return status;
}

PDRIVER_OBJECT PluggedAdapters::Driver() { return sim::io::LoadedDriver(kDriverName); }

}  // namespace harness
