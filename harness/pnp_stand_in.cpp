#include "pnp_stand_in.h"

#include <cstdio>
#include <cstring>

#include "simkernel/race_detector.h"
#include "simkernel/registry.h"
#include "test_records.h"

namespace harness {
namespace {

std::u16string TakeWideAnswer(ULONG_PTR information) {
  std::u16string text;
  if (information == 0) return text;
  for (auto* p = reinterpret_cast<const char16_t*>(information); *p; ++p) text.push_back(*p);
  ExFreePool(reinterpret_cast<PVOID>(information));
  return text;
}

std::u16string QueryId(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type) {
  sim::io::Result result = sim::io::SendPnp(
      device, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
  return NT_SUCCESS(result.status) ? TakeWideAnswer(result.information) : std::u16string();
}

std::u16string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return ToU16(text);
}

// What the hub driver names a USB device by: its ids and its serial number, or where it sits.
std::u16string UsbInstancePath(UsbDeviceTap& tap, int portNumber) {
  std::vector<uint8_t> device = tap.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
  if (device.size() < sizeof(USB_DEVICE_DESCRIPTOR)) device.resize(sizeof(USB_DEVICE_DESCRIPTOR));
  char ids[32];
  std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X\\", device[8] | device[9] << 8, device[10] | device[11] << 8);
  std::u16string path = ToU16(ids);
  std::u16string serial;
  if (device[16] != 0) {
    std::vector<uint8_t> text = tap.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, device[16], 0x0409);
    for (size_t i = 2; i + 1 < text.size() && i + 1 < text[0]; i += 2) {
      char16_t c = char16_t(text[i] | text[i + 1] << 8);
      serial.push_back(c == u'\\' || c < u' ' ? u'_' : c);
    }
  }
  return path + (serial.empty() ? u"5&0&" + ToU16(std::to_string(portNumber)) : serial);
}

}  // namespace

PnpStandIn::PnpStandIn(DriverHarness& harness) : harness_(harness) {
  KeInitializeEvent(&serial_, SynchronizationEvent, TRUE);
  sim::usb::PnpHandlers handlers;
  auto find = [this](sim::usb::BusPort& port) -> PluggedAdapter* {
    sim::race::Unobserved unobserved;
    for (auto& unit : units_)
      if (unit->busPort == &port) return unit.get();
    return nullptr;
  };
  handlers.arrived = [this, find](sim::usb::BusPort& port, PDEVICE_OBJECT pdo) {
    if (PluggedAdapter* unit = find(port)) Post({Kind::Arrived, unit, pdo, nullptr});
  };
  handlers.departed = [this, find](sim::usb::BusPort& port, PDEVICE_OBJECT pdo) {
    if (PluggedAdapter* unit = find(port)) Post({Kind::Departed, unit, pdo, nullptr});
  };
  sim::usb::SetPnpHandlers(std::move(handlers));
}

PnpStandIn::~PnpStandIn() {
  try {
    if (!harness_.machine().Stopped()) {
      for (auto& unit : units_)
        if (unit->adapter != nullptr) Remove(*unit);
      for (auto& unit : units_) unit->model->Unplug();
      harness_.RunUntilIdle();
    }
  } catch (const sim::DeadlockError&) {
  }
  sim::usb::SetPnpHandlers({});
}

PluggedAdapter& PnpStandIn::Plug(adapter_model::AdapterOptions options, bool settle) {
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

void PnpStandIn::Unplug(PluggedAdapter& unit) {
  unit.model->Unplug();
  Settle();
}

void PnpStandIn::Remove(PluggedAdapter& unit) {
  Post({Kind::Remove, &unit, unit.pdo, nullptr});
  Settle();
}

NTSTATUS PnpStandIn::StopAndRestart(PluggedAdapter& unit) {
  NTSTATUS status = STATUS_PENDING;
  Post({Kind::Restart, &unit, unit.pdo, &status});
  Settle();
  return status;
}

void PnpStandIn::Settle() { harness_.RunUntilIdle(); }

void PnpStandIn::Post(Event event) {
  bool start;
  {
    sim::race::Unobserved unobserved;
    events_.push_back(event);
    start = !working_;
    working_ = true;
  }
  if (start) harness_.machine().Spawn("pnp manager", sim::TaskKind::Worker, [this] { Work(); });
}

void PnpStandIn::Work() {
  for (;;) {
    Event event;
    {
      sim::race::Unobserved unobserved;
      if (events_.empty()) {
        working_ = false;
        return;
      }
      event = events_.front();
      events_.pop_front();
    }
    KeWaitForSingleObject(&serial_, Executive, KernelMode, FALSE, nullptr);
    Handle(event);
    KeSetEvent(&serial_, IO_NO_INCREMENT, FALSE);
  }
}

void PnpStandIn::Handle(const Event& event) {
  // The stand-in's own records are the test's, reached from device callbacks and workers.
  PluggedAdapter& unit = *event.unit;
  {
    switch (event.kind) {
      case Kind::Arrived:
        Arrive(unit, event.pdo);
        break;
      case Kind::Departed:
        if (unit.pdo == event.pdo && unit.adapter != nullptr) RemoveStack(unit, true);
        break;
      case Kind::Remove:
        if (unit.adapter != nullptr) RemoveStack(unit, false);
        break;
      case Kind::Restart: {
        sim::io::SendPnp(unit.pdo, IRP_MN_QUERY_STOP_DEVICE);
        sim::io::SendPnp(unit.pdo, IRP_MN_STOP_DEVICE);
        NTSTATUS status = sim::io::SendPnp(unit.pdo, IRP_MN_START_DEVICE).status;
        if (event.result) *event.result = status;
        break;
      }
    }
  }
}

void PnpStandIn::Arrive(PluggedAdapter& unit, PDEVICE_OBJECT pdo) {
  unit.pdo = pdo;
  unit.adapter = nullptr;
  ++unit.arrivals;
  unit.instancePath = UsbInstancePath(*unit.tap, unit.busPort->Number());
  sim::registry::SetDeviceInstancePath(pdo, unit.instancePath);
  unit.addStatus = sim::io::AddDevice(harness_.driver(), pdo);
  unit.startStatus = STATUS_PENDING;
  if (!NT_SUCCESS(unit.addStatus)) return;
  for (AdapterExtension* adapter : AdapterTable)
    if (adapter != nullptr && adapter->PhysicalDeviceObject == pdo) unit.adapter = adapter;
  unit.startStatus = sim::io::SendPnp(pdo, IRP_MN_START_DEVICE).status;
  if (!NT_SUCCESS(unit.startStatus)) {
    // A device that failed to start is removed.
    RemoveStack(unit, false);
    return;
  }
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  sim::io::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
                   [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  EnumerateChildren(unit);
}

void PnpStandIn::EnumerateChildren(PluggedAdapter& unit) {
  sim::io::Result result = sim::io::SendPnp(unit.pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = BusRelations;
  });
  if (!NT_SUCCESS(result.status) || result.information == 0) return;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  std::vector<PDEVICE_OBJECT> reported(relations->Objects, relations->Objects + relations->Count);
  ExFreePool(relations);
  for (PDEVICE_OBJECT child : reported) {
    bool known = false;
    for (PDEVICE_OBJECT existing : unit.children) known |= existing == child;
    if (!known) StartChild(unit, child);
    ObDereferenceObject(child);
  }
}

std::u16string PnpStandIn::AssignComName(const std::u16string& instancePath) {
  auto found = comNames_.find(instancePath);
  if (found != comNames_.end()) return found->second;
  for (int number = 3;; ++number) {
    std::u16string name = u"COM" + ToU16(std::to_string(number));
    bool taken = false;
    for (const auto& [instance, com] : comNames_) taken |= com == name;
    if (!taken) return comNames_[instancePath] = name;
  }
}

void PnpStandIn::StartChild(PluggedAdapter& unit, PDEVICE_OBJECT child) {
  uint32_t token = 2166136261u;
  for (char16_t c : unit.instancePath) token = (token ^ c) * 16777619u;
  std::u16string path = QueryId(child, BusQueryDeviceID) + u"\\" + Hex(token) + u"&" + QueryId(child, BusQueryInstanceID);
  sim::registry::SetDeviceInstancePath(child, path);
  childInstances_[child] = path;
  const std::u16string key = std::u16string(sim::registry::kEnum) + u"\\" + path + u"\\Device Parameters";
  if (!sim::registry::GetValue(key, u"PortName")) sim::registry::SetSz(key, u"PortName", AssignComName(path));
  else AssignComName(path);
  sim::io::AddDevice(harness_.driver(), child);
  unit.children.push_back(child);
  unit.childStartStatus.push_back(sim::io::SendPnp(child, IRP_MN_START_DEVICE).status);
}

void PnpStandIn::RemoveStack(PluggedAdapter& unit, bool surprise) {
  const UCHAR first = surprise ? IRP_MN_SURPRISE_REMOVAL : IRP_MN_QUERY_REMOVE_DEVICE;
  for (PDEVICE_OBJECT child : unit.children) sim::io::SendPnp(child, first);
  sim::io::SendPnp(unit.pdo, first);
  for (PDEVICE_OBJECT child : unit.children) sim::io::SendPnp(child, IRP_MN_REMOVE_DEVICE);
  sim::io::SendPnp(unit.pdo, IRP_MN_REMOVE_DEVICE);
  for (PDEVICE_OBJECT child : unit.children) childInstances_.erase(child);
  unit.children.clear();
  unit.childStartStatus.clear();
  unit.adapter = nullptr;
  unit.pdo = nullptr;
  ++unit.removals;
}

PortExtension* PnpStandIn::Port(const PluggedAdapter& unit, int number) const {
  if (unit.adapter == nullptr || number < 1 || number > MAX_PORTS) return nullptr;
  return unit.adapter->Ports[number - 1];
}

std::u16string PnpStandIn::ComName(const PluggedAdapter& unit, int number) const {
  if (number < 1 || size_t(number) > unit.children.size()) return u"";
  auto instance = childInstances_.find(unit.children[number - 1]);
  if (instance == childInstances_.end()) return u"";
  auto name = comNames_.find(instance->second);
  return name == comNames_.end() ? u"" : name->second;
}

}  // namespace harness
