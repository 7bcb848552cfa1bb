// Enumeration: bus relations and what changed in them, a new child's identification, its
// device instance path and registry entries, the service that serves it, AddDevice and START.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>

#include "io_internal.h"
#include "pnp_internal.h"
#include "simkernel/io.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "usb_bus_internal.h"

namespace sim::pnpm {
namespace {

const char* IdTypeName(BUS_QUERY_ID_TYPE type) {
  switch (type) {
    case BusQueryDeviceID: return "DeviceID";
    case BusQueryHardwareIDs: return "HardwareIDs";
    case BusQueryCompatibleIDs: return "CompatibleIDs";
    case BusQueryInstanceID: return "InstanceID";
    case BusQueryDeviceSerialNumber: return "DeviceSerialNumber";
  }
  return "?";
}

// The block a driver returned, if it is the start of a live pool block.
std::optional<pool::BlockInfo> PoolAnswer(const NodeRec& node, ULONG_PTR information, const std::string& what) {
  auto block = pool::FindBlock(reinterpret_cast<const void*>(information));
  if (!block || block->address != reinterpret_cast<const void*>(information)) {
    Report("pnp answer not allocated from pool", what + " of " + Narrow(node.path.empty() ? io::DeviceName(node.pdo) : node.path));
    return std::nullopt;
  }
  return block;
}

// Strings of a REG_SZ-like (one) or MULTI_SZ answer within its block; nullopt if malformed.
std::optional<std::vector<std::u16string>> ParseStrings(const pool::BlockInfo& block, bool multi) {
  const auto* text = static_cast<const char16_t*>(block.address);
  const size_t chars = block.size / sizeof(char16_t);
  std::vector<std::u16string> strings;
  size_t at = 0;
  for (;;) {
    size_t end = at;
    while (end < chars && text[end] != 0) ++end;
    if (end >= chars) return std::nullopt;  // no terminating NUL inside the block
    if (!multi) {
      strings.emplace_back(text + at, end - at);
      return strings;
    }
    if (end == at) return strings;  // the final empty string
    strings.emplace_back(text + at, end - at);
    at = end + 1;
  }
}

bool ValidIdCharacters(std::u16string_view id) {
  if (id.empty()) return false;
  return std::none_of(id.begin(), id.end(), [](char16_t c) { return c <= u' ' || c == u','; });
}

std::optional<std::vector<std::u16string>> QueryIds(NodeRec& node, BUS_QUERY_ID_TYPE type) {
  const Answer answer = SendPnp(node, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
                                true, IdTypeName(type));
  if (!NT_SUCCESS(answer.status) || !answer.information) return std::nullopt;
  const std::string what = std::string("QUERY_ID ") + IdTypeName(type);
  auto block = PoolAnswer(node, answer.information, what);
  if (!block) return std::nullopt;
  const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  auto ids = ParseStrings(*block, multi);
  ExFreePool(reinterpret_cast<PVOID>(answer.information));
  std::string problem;
  if (!ids) {
    problem = multi ? "MULTI_SZ without its final empty string inside its block" : "no NUL inside its block";
  } else {
    for (const auto& id : *ids) {
      if (!ValidIdCharacters(id)) problem = "\"" + Narrow(id) + "\" is empty or holds a space, control character or comma";
      else if (type == BusQueryDeviceID && id.find(u'\\') == std::u16string::npos) problem = "\"" + Narrow(id) + "\" names no enumerator";
      else if (type == BusQueryInstanceID && id.find(u'\\') != std::u16string::npos) problem = "\"" + Narrow(id) + "\" holds '\\'";
    }
  }
  if (!problem.empty()) {
    Report("malformed pnp id", what + " of " + Narrow(io::DeviceName(node.pdo)) + ": " + problem);
    return std::nullopt;
  }
  return ids;
}

std::u16string QueryText(NodeRec& node, DEVICE_TEXT_TYPE type) {
  const char* name = type == DeviceTextDescription ? "Description" : "LocationInformation";
  const Answer answer = SendPnp(node, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION sp) {
    sp->Parameters.QueryDeviceText.DeviceTextType = type;
    sp->Parameters.QueryDeviceText.LocaleId = 0x409;
  }, true, name);
  if (!NT_SUCCESS(answer.status) || !answer.information) return u"";
  auto block = PoolAnswer(node, answer.information, std::string("QUERY_DEVICE_TEXT ") + name);
  if (!block) return u"";
  auto text = ParseStrings(*block, false);
  ExFreePool(reinterpret_cast<PVOID>(answer.information));
  if (!text) {
    Report("malformed device text", std::string(name) + " of " + Narrow(io::DeviceName(node.pdo)) + " has no NUL inside its block");
    return u"";
  }
  return text->front();
}

void QueryBusInformation(NodeRec& node) {
  const Answer answer = SendPnp(node, IRP_MN_QUERY_BUS_INFORMATION);
  if (!NT_SUCCESS(answer.status) || !answer.information) return;
  if (PoolAnswer(node, answer.information, "QUERY_BUS_INFORMATION")) ExFreePool(reinterpret_cast<PVOID>(answer.information));
}

// The parent's prefix for children without a unique ID: "<level>&<checksum>&0", kept in its
// Enum key so that it stays the same across reboots.
std::u16string ParentIdPrefix(NodeRec& parent) {
  const std::u16string key = std::u16string(registry::kEnum) + u"\\" + parent.path;
  if (auto kept = registry::GetSz(key, u"ParentIdPrefix")) return *kept;
  uint32_t hash = 2166136261u;
  for (char16_t c : Fold(parent.path)) hash = (hash ^ c) * 16777619u;
  char text[32];
  std::snprintf(text, sizeof text, "%x&%x&0", parent.level + 1, hash);
  std::u16string prefix(text, text + std::char_traits<char>::length(text));
  registry::SetSz(key, u"ParentIdPrefix", prefix);
  return prefix;
}

// The service whose IDs match best: every hardware ID before every compatible ID.
void MatchService(NodeRec& node) {
  std::vector<std::u16string> ranked = node.hardwareIds;
  ranked.insert(ranked.end(), node.compatibleIds.begin(), node.compatibleIds.end());
  for (const auto& id : ranked)
    for (auto& service : Pnp().services)
      for (const auto& served : service->ids)
        if (Fold(served.id) == Fold(id)) {
          node.service = service.get();
          node.deviceClass = served.deviceClass;
          return;
        }
}

void WriteEnumKey(const NodeRec& node) {
  const std::u16string key = std::u16string(registry::kEnum) + u"\\" + node.path;
  registry::SetMultiSz(key, u"HardwareID", node.hardwareIds);
  registry::SetMultiSz(key, u"CompatibleIDs", node.compatibleIds);
  if (!node.description.empty()) registry::SetSz(key, u"DeviceDesc", node.description);
  if (!node.location.empty()) registry::SetSz(key, u"LocationInformation", node.location);
  if (node.service) {
    registry::SetSz(key, u"Service", node.service->name);
    static const char16_t* const kClassNames[] = {u"Ports", u"MultiPortSerial", u"Unknown"};
    registry::SetSz(key, u"Class", kClassNames[static_cast<int>(node.deviceClass)]);
  }
}

struct Reported {
  PDEVICE_OBJECT pdo;
  bool referenced;
};

// The PDOs of a BusRelations answer, checked; nullopt if the answer is unusable.
std::optional<std::vector<Reported>> TakeRelations(NodeRec& parent, ULONG_PTR information) {
  std::vector<Reported> reported;
  if (!information) return reported;
  auto block = PoolAnswer(parent, information, "BusRelations");
  if (!block) return std::nullopt;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  const size_t header = offsetof(DEVICE_RELATIONS, Objects);
  if (block->size < sizeof(ULONG) ||
      header + size_t(relations->Count) * sizeof(PDEVICE_OBJECT) > block->size) {
    Report("malformed device relations", Narrow(parent.path) + ": count " +
                                             std::to_string(block->size < sizeof(ULONG) ? 0 : relations->Count) +
                                             " in a block of " + std::to_string(block->size) + " bytes");
    ExFreePool(relations);
    return std::nullopt;
  }
  std::vector<PDRIVER_OBJECT> drivers;
  for (PDEVICE_OBJECT device : Stack(parent)) drivers.push_back(device->DriverObject);
  for (ULONG i = 0; i < relations->Count; ++i) {
    PDEVICE_OBJECT pdo = relations->Objects[i];
    const std::string where = Narrow(parent.path) + ", entry " + std::to_string(i);
    if (!pdo) {
      Report("malformed device relations", where + " is NULL");
      continue;
    }
    iom::DeviceRecord* record = iom::FindDeviceRecord(pdo);
    const bool referenced = io::ObjectReferenceCount(pdo) > 0;
    auto drop = [&] {
      if (referenced) ObDereferenceObject(pdo);
    };
    if (!record) {
      Report("device relations entry not a physical device object", where + " is not a device object");
      continue;
    }
    if (record->deleted) {
      Report("deleted pdo reported in relations", where + ": " + iom::DescribeDevice(pdo));
      drop();
      continue;
    }
    if (record->lower || std::find(drivers.begin(), drivers.end(), pdo->DriverObject) == drivers.end()) {
      Report("device relations entry not a physical device object",
             where + ": " + iom::DescribeDevice(pdo) + " is attached to a stack or not made by a driver of this stack");
      drop();
      continue;
    }
    if (!referenced) Report("pdo in relations not referenced", where + ": " + iom::DescribeDevice(pdo));
    bool duplicate = false;
    for (const auto& earlier : reported) duplicate = duplicate || earlier.pdo == pdo;
    if (duplicate) {
      drop();
      continue;
    }
    reported.push_back({pdo, referenced});
  }
  ExFreePool(relations);
  return reported;
}

void InstallArrived(NodeRec& node, const std::u16string& path, size_t firstEvent);

void Depart(NodeRec& child) {
  const bool started = child.stackBuilt && (child.state == pnp::NodeState::Started ||
                                            child.state == pnp::NodeState::Stopped);
  if (child.state == pnp::NodeState::SurpriseRemoved) return;  // already on its way out
  if (started) {
    SurpriseRemoveSubtree(child);
    CompletePendingRemovals();
    return;
  }
  SendRemove(child);
  DeleteNode(&child);
}

}  // namespace

std::vector<PDEVICE_OBJECT>& RootDevices() { return Pnp().rootDevices; }

void Enumerate(NodeRec& node) {
  if (node.deleted) return;
  std::vector<Reported> reported;
  if (&node == Pnp().usbHub) {
    for (const auto& port : usb::bus::Bus().ports)
      if (PDEVICE_OBJECT pdo = port->Pdo()) reported.push_back({pdo, false});
    usb::HubRelationsTaken();
  } else if (&node == Pnp().root) {
    for (PDEVICE_OBJECT pdo : RootDevices())
      if (!io::IsDeleted(pdo)) reported.push_back({pdo, false});
  } else {
    const Answer answer = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS,
                                  [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
                                  true, "BusRelations");
    if (!NT_SUCCESS(answer.status) && answer.status != STATUS_NOT_SUPPORTED) return;
    auto taken = TakeRelations(node, NT_SUCCESS(answer.status) ? answer.information : 0);
    if (!taken) return;
    reported = std::move(*taken);
  }
  for (NodeRec* child : std::vector<NodeRec*>(node.children)) {
    if (child->synthetic) continue;  // the USB root hub under the root
    const bool still = std::any_of(reported.begin(), reported.end(), [child](const Reported& r) { return r.pdo == child->pdo; });
    if (!still) Depart(*child);
  }
  for (const Reported& entry : reported) {
    NodeRec* known = nullptr;
    for (NodeRec* child : node.children)
      if (child->pdo == entry.pdo) known = child;
    if (known) {
      // The manager keeps the one reference it took when the PDO first came.
      if (entry.referenced && known->referenceHeld) ObDereferenceObject(entry.pdo);
      else if (entry.referenced) known->referenceHeld = true;
      continue;
    }
    NodeRec* child = NewNode(&node, entry.pdo);
    child->referenceHeld = entry.referenced;
    ArriveChild(node, *child);
  }
}

void ArriveChild(NodeRec& parent, NodeRec& node) {
  const size_t firstEvent = Pnp().events.size();
  auto ids = QueryIds(node, BusQueryDeviceID);
  node.deviceId = ids && !ids->empty() ? ids->front() : u"";
  node.hardwareIds = QueryIds(node, BusQueryHardwareIDs).value_or(std::vector<std::u16string>{});
  node.compatibleIds = QueryIds(node, BusQueryCompatibleIDs).value_or(std::vector<std::u16string>{});
  auto instance = QueryIds(node, BusQueryInstanceID);
  node.instanceId = instance && !instance->empty() ? instance->front() : u"0";
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  if (NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
      }).status))
    node.caps = caps;
  node.description = QueryText(node, DeviceTextDescription);
  node.location = QueryText(node, DeviceTextLocationInformation);
  QueryBusInformation(node);
  if (node.deviceId.empty()) return;  // not installable: Windows shows it as an unknown device

  std::u16string path = node.deviceId + u"\\";
  path += node.caps.UniqueID ? node.instanceId : ParentIdPrefix(parent) + u"&" + node.instanceId;
  if (NodeRec* other = FindNode(path); other && other != &node) {
    if (other->removalPending && other->state == pnp::NodeState::SurpriseRemoved) {
      node.waitingForPath = path;
      Log(node, "waiting for " + Narrow(path) + " to be removed", STATUS_PENDING);
      return;
    }
    Report("duplicate device instance path", Narrow(path) + " reported by " + iom::DescribeDevice(node.pdo) +
                                                 " is already " + iom::DescribeDevice(other->pdo));
    return;
  }
  InstallArrived(node, path, firstEvent);
}

void ArriveWaiting() {
  for (bool again = true; again;) {
    again = false;
    for (auto& each : Pnp().nodes) {
      NodeRec& node = *each;
      if (node.deleted || node.waitingForPath.empty()) continue;
      NodeRec* other = FindNode(node.waitingForPath);
      if (other && other->removalPending && other->state == pnp::NodeState::SurpriseRemoved) continue;
      const std::u16string path = std::move(node.waitingForPath);
      node.waitingForPath.clear();
      if (other) {
        // Another arrival took the path first.
        Report("duplicate device instance path", Narrow(path) + " reported by " + iom::DescribeDevice(node.pdo) +
                                                     " is already " + iom::DescribeDevice(other->pdo));
        continue;
      }
      InstallArrived(node, path, 0);
      again = true;  // installing may have changed the node list
      break;
    }
  }
}

namespace {

void InstallArrived(NodeRec& node, const std::u16string& path, size_t firstEvent) {
  const std::u16string shown = io::DeviceName(node.pdo);
  node.path = path;
  for (size_t i = firstEvent; i < Pnp().events.size(); ++i)
    if (Pnp().events[i].device == shown) Pnp().events[i].device = path;
  MatchService(node);
  registry::SetDeviceInstancePath(node.pdo, path, node.service ? pnp::ClassGuidText(node.deviceClass) : u"");
  WriteEnumKey(node);
  if (node.service) InstallAndStart(node);
}

NTSTATUS LoadService(NodeRec& node, Service& service) {
  if (service.driver && io::IsLoaded(service.driver)) return STATUS_SUCCESS;
  // A service already running (loaded before its first device came) serves it as it is.
  if (PDRIVER_OBJECT running = io::LoadedDriver(service.name)) {
    service.driver = running;
    return STATUS_SUCCESS;
  }
  PDRIVER_OBJECT driver = nullptr;
  const NTSTATUS loaded =
      io::LoadDriver(service.name, service.entry, std::u16string(registry::kServices) + u"\\" + service.name, &driver);
  Log(node, "DriverEntry", loaded);
  if (NT_SUCCESS(loaded)) service.driver = driver;
  return loaded;
}

// The services a REG_MULTI_SZ value names, those not installed left out (as Windows skips a
// filter whose service is missing).
std::vector<Service*> NamedServices(std::u16string_view key, std::u16string_view value) {
  std::vector<Service*> named;
  std::optional<registry::Value> list = registry::GetValue(key, value);
  if (!list || list->type != REG_MULTI_SZ) return named;
  std::u16string text(list->data.size() / 2, u'\0');
  std::memcpy(text.data(), list->data.data(), text.size() * 2);
  for (size_t at = 0; at < text.size() && text[at] != u'\0';) {
    size_t end = text.find(u'\0', at);
    if (end == std::u16string::npos) end = text.size();
    std::u16string name = text.substr(at, end - at);
    for (auto& service : Pnp().services)
      if (Fold(service->name) == Fold(name)) named.push_back(service.get());
    at = end + 1;
  }
  return named;
}

// The filters of a device's stack, as Windows 2000 builds it: the device's own lower filters
// (its Enum key), its class's (the class key), then the function driver, then the device's
// and the class's upper filters.
std::pair<std::vector<Service*>, std::vector<Service*>> Filters(const NodeRec& node) {
  const std::u16string device = std::u16string(registry::kEnum) + u"\\" + node.path;
  const std::u16string deviceClass = std::u16string(registry::kClassKeys) + u"\\" + pnp::ClassGuidText(node.deviceClass);
  std::pair<std::vector<Service*>, std::vector<Service*>> filters;
  for (const std::u16string* key : {&device, &deviceClass}) {
    for (Service* s : NamedServices(*key, u"LowerFilters")) filters.first.push_back(s);
    for (Service* s : NamedServices(*key, u"UpperFilters")) filters.second.push_back(s);
  }
  return filters;
}

NTSTATUS AddToStack(NodeRec& node, Service& service) {
  NTSTATUS status = LoadService(node, service);
  if (NT_SUCCESS(status)) {
    status = io::AddDevice(service.driver, node.pdo);
    Log(node, "AddDevice", status);
  }
  return status;
}

}  // namespace

NTSTATUS InstallAndStart(NodeRec& node) {
  Service& service = *node.service;
  if (node.deviceClass == pnp::DeviceClass::Ports) AssignComName(node);
  auto [lower, upper] = Filters(node);
  std::vector<Service*> order = lower;
  order.push_back(&service);
  order.insert(order.end(), upper.begin(), upper.end());
  node.filters.clear();
  for (Service* each : order) {
    const NTSTATUS added = AddToStack(node, *each);
    if (!NT_SUCCESS(added)) {
      // A stack half built is torn down as one (problem CM_PROB_FAILED_ADD).
      if (node.pdo->AttachedDevice != nullptr) SendRemove(node);
      node.state = pnp::NodeState::StartFailed;
      return added;
    }
    if (each != &service) node.filters.push_back(each);
  }
  if (node.pdo->DriverObject != service.driver) {
    bool attached = false;
    for (PDEVICE_OBJECT device : Stack(node)) attached = attached || device->DriverObject == service.driver;
    if (!attached)
      Report("AddDevice returned success without attaching",
             Narrow(service.name) + " attached nothing to " + Narrow(node.path));
  }
  node.stackBuilt = true;
  return StartStack(node);
}

NTSTATUS StartStack(NodeRec& node) {
  const Answer started = SendPnp(node, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION sp) {
    sp->Parameters.StartDevice.AllocatedResources = nullptr;
    sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
  });
  if (!NT_SUCCESS(started.status)) {
    // The stack of a device that failed to start is torn down (problem CM_PROB_FAILED_START).
    SendRemove(node);
    node.state = pnp::NodeState::StartFailed;
    return started.status;
  }
  node.state = pnp::NodeState::Started;
  AfterStart(node);
  return STATUS_SUCCESS;
}

}  // namespace sim::pnpm
