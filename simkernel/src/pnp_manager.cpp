// The plug-and-play manager's core: the PnP worker task, the device tree, the requests it
// sends, the event log, and the host-side entry points.
#include <algorithm>

#include "io_internal.h"
#include "pnp_internal.h"
#include "race_annotations.h"
#include "simkernel/io.h"
#include "simkernel/registry.h"
#include "simkernel/usb_bus.h"

namespace sim::pnpm {
namespace {

constexpr UCHAR kUnknownMinor = 0xFF;  // what Driver Verifier sends to see it left alone

void RunWorker() {
  Machine& machine = Machine::Current();
  for (;;) {
    PnpState& pnp = Pnp();
    if (pnp.queue.empty() || pnp.heldForPower) {
      machine.Block("pnp work", std::nullopt, STATUS_TIMEOUT, /*idle=*/true);
      continue;
    }
    std::function<void()> work = std::move(pnp.queue.front());
    pnp.queue.pop_front();
    race::Acquire(&pnp.queue);
    pnp.busy = true;
    work();
    Pnp().busy = false;
    machine.Point("pnp work done");
  }
}

// The hub's relations changed (a device attached or detached): the hub driver invalidates them.
void HubRelationsChanged(usb::BusPort&, PDEVICE_OBJECT) {
  Queue([] { Enumerate(*Pnp().usbHub); });
}

// The hub driver hears of a device leaving at its status-change endpoint's next poll, every
// 255 ms (bInterval 0xFF, as hubs report it): until then the stack is still there and the bus
// fails its transfers. Arrivals are taken at once; their debounce matters to nobody here.
constexpr VirtualTime kHubStatusPollInterval = 255 * kMillisecond;

void HubDeviceDeparted(usb::BusPort&, PDEVICE_OBJECT) {
  ++Pnp().hubNoticesPending;
  Machine::Current().Spawn("usb-hub status change", TaskKind::Device, [] {
    LARGE_INTEGER interval;
    interval.QuadPart = -kHubStatusPollInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    --Pnp().hubNoticesPending;
    Queue([] { Enumerate(*Pnp().usbHub); });
  });
}

void CollectTree(NodeRec* node, std::vector<NodeRec*>& out) {
  out.push_back(node);
  for (NodeRec* child : node->children) CollectTree(child, out);
}

pnp::NodeInfo Info(const NodeRec& node) {
  pnp::NodeInfo info;
  info.instancePath = node.path;
  info.pdo = node.pdo;
  info.state = node.state;
  info.parent = node.parent ? node.parent->path : u"";
  for (NodeRec* child : node.children) info.children.push_back(child->path);
  info.service = node.service ? node.service->name : u"";
  info.deviceId = node.deviceId;
  info.hardwareIds = node.hardwareIds;
  info.compatibleIds = node.compatibleIds;
  info.instanceId = node.instanceId;
  info.description = node.description;
  info.location = node.location;
  info.capabilities = node.caps;
  return info;
}

}  // namespace

PnpState& Pnp() { return Machine::Current().State<PnpState>(); }

void Report(const std::string& rule, const std::string& detail) { Machine::Current().Report(rule, detail); }

std::string Narrow(std::u16string_view text) { return iom::Narrow(text); }

std::u16string Fold(std::u16string_view text) { return iom::Fold(text); }

void Queue(std::function<void()> work) {
  PnpState& pnp = Pnp();
  Machine& machine = Machine::Current();
  if (!pnp.worker) pnp.worker = machine.Spawn("pnp-worker", TaskKind::Worker, RunWorker, /*daemon=*/true);
  // The manager's queue is locked: what the queuer did comes before the worker's handling.
  race::Release(&pnp.queue);
  pnp.queue.push_back(std::move(work));
  // A worker in the middle of a request may be blocked in a driver's own wait: it picks the
  // work up when it is done, and only an idle one is woken.
  if (!pnp.busy && !pnp.heldForPower) machine.Wake(pnp.worker, STATUS_SUCCESS);
}

void HoldForPower(bool hold) {
  PnpState& pnp = Pnp();
  pnp.heldForPower = hold;
  if (!hold && pnp.worker && !pnp.busy && !pnp.queue.empty()) Machine::Current().Wake(pnp.worker, STATUS_SUCCESS);
}

void RunOnWorker(std::function<void()> work) {
  auto done = std::make_shared<bool>(false);
  Queue([work = std::move(work), done] {
    work();
    *done = true;
  });
  Machine::Current().RunUntil([done] { return *done; });
}

NodeRec* NewNode(NodeRec* parent, PDEVICE_OBJECT pdo) {
  PnpState& pnp = Pnp();
  auto node = std::make_unique<NodeRec>();
  node->serial = pnp.nextSerial++;
  node->pdo = pdo;
  node->parent = parent;
  node->level = parent ? parent->level + 1 : 0;
  if (parent) parent->children.push_back(node.get());
  pnp.nodes.push_back(std::move(node));
  return pnp.nodes.back().get();
}

NodeRec* FindNode(PDEVICE_OBJECT pdo) {
  if (!pdo) return nullptr;
  for (auto& node : Pnp().nodes)
    if (!node->deleted && node->pdo == pdo) return node.get();
  return nullptr;
}

NodeRec* FindNode(std::u16string_view path) {
  const std::u16string folded = Fold(path);
  for (auto& node : Pnp().nodes)
    if (!node->deleted && !node->path.empty() && Fold(node->path) == folded) return node.get();
  return nullptr;
}

void DeleteNode(NodeRec* node) {
  for (NodeRec* child : std::vector<NodeRec*>(node->children)) DeleteNode(child);
  node->deleted = true;
  if (node->parent) std::erase(node->parent->children, node);
  if (node->referenceHeld) {
    node->referenceHeld = false;
    ObDereferenceObject(node->pdo);
  }
}

std::vector<PDEVICE_OBJECT> Stack(const NodeRec& node) {
  std::vector<PDEVICE_OBJECT> stack;
  for (PDEVICE_OBJECT device = node.pdo; device; device = device->AttachedDevice) stack.push_back(device);
  return stack;
}

int OpenHandles(const NodeRec& node) {
  int handles = 0;
  for (PDEVICE_OBJECT device : Stack(node)) handles += device->ReferenceCount;
  return handles;
}

void Log(const NodeRec& node, std::string what, NTSTATUS status) {
  Pnp().events.push_back({node.path.empty() ? io::DeviceName(node.pdo) : node.path, std::move(what), status});
}

std::string MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_DEVICE_RELATIONS";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_DEVICE_TEXT: return "QUERY_DEVICE_TEXT";
    case IRP_MN_EJECT: return "EJECT";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_QUERY_BUS_INFORMATION: return "QUERY_BUS_INFORMATION";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "minor " + std::to_string(minor);
  }
}

Answer SendPnp(NodeRec& node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup, bool log,
               const std::string& detail) {
  Answer answer;
  PIRP irp = iom::AllocateManagerIrp(node.pdo, IRP_MJ_PNP, minor);
  PDEVICE_OBJECT top = io::TopOfStack(node.pdo);
  if (setup) setup(IoGetNextIrpStackLocation(irp));
  iom::IrpRecord& record = *iom::FindIrp(irp);
  auto dispatched = std::make_shared<std::vector<PDEVICE_OBJECT>>();
  record.dispatchLog = dispatched;
  struct Completion {
    bool done = false;
    IO_STATUS_BLOCK status{};
    KEVENT event{};
  };
  auto completion = std::make_shared<Completion>();
  KeInitializeEvent(&completion->event, NotificationEvent, FALSE);
  record.onTop = [completion](const IO_STATUS_BLOCK& status, CCHAR, ULONG_PTR) {
    completion->status = status;
    completion->done = true;
    KeSetEvent(&completion->event, IO_NO_INCREMENT, FALSE);
  };
  const NTSTATUS returned = IoCallDriver(top, irp);
  if (!completion->done) {
    if (returned != STATUS_PENDING)
      iom::Report("irp not completed but status returned",
                  "IRP_MJ_PNP " + MinorName(minor) + " to " + iom::DescribeDevice(top));
    KeWaitForSingleObject(&completion->event, Executive, KernelMode, FALSE, nullptr);
  }
  answer.status = completion->status.Status;
  answer.information = completion->status.Information;
  answer.reachedPdo = std::find(dispatched->begin(), dispatched->end(), node.pdo) != dispatched->end();
  if (log) Log(node, detail.empty() ? MinorName(minor) : MinorName(minor) + " " + detail, answer.status);

  const bool mustReachPdo = minor == IRP_MN_REMOVE_DEVICE ||
                            (NT_SUCCESS(answer.status) &&
                             (minor == IRP_MN_START_DEVICE || minor == IRP_MN_STOP_DEVICE ||
                              minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
                              minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
                              minor == IRP_MN_SURPRISE_REMOVAL));
  if (mustReachPdo && !answer.reachedPdo && top != node.pdo)
    Report("pnp irp not passed to the physical device",
           MinorName(minor) + " for " + Narrow(node.path) + " completed by " +
               iom::DescribeDevice(dispatched->empty() ? top : dispatched->back()));
  if ((minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) && !NT_SUCCESS(answer.status))
    Report("remove device failed", MinorName(minor) + " for " + Narrow(node.path) + " completed with status " +
                                       std::to_string(answer.status));
  return answer;
}

namespace {

void ProbeUnknownMinor(NodeRec& node) {
  const Answer answer = SendPnp(node, kUnknownMinor, {}, /*log=*/false);
  if (answer.status != STATUS_NOT_SUPPORTED)
    Report("pnp irp status changed for unhandled minor",
           "minor 0xFF to " + Narrow(node.path) + " completed with status " +
               std::to_string(answer.status));
}

}  // namespace

}  // namespace sim::pnpm

using namespace sim::pnpm;

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  if (!sim::Machine::Exists() || !Pnp().enabled || Type != BusRelations) return;
  // The manager acts on it later, in its own thread: the caller may hold locks or be at DPC level.
  Queue([DeviceObject] {
    if (NodeRec* node = FindNode(DeviceObject); node && node->state == sim::pnp::NodeState::Started)
      Enumerate(*node);
  });
}

namespace sim::pnp {

std::u16string ClassGuidText(DeviceClass deviceClass) {
  switch (deviceClass) {
    case DeviceClass::Ports: return u"{4d36e978-e325-11ce-bfc1-08002be10318}";
    case DeviceClass::MultiPortSerial: return u"{50906cb8-ba12-11d1-bf5d-0000f805f530}";
    case DeviceClass::Unknown: break;
  }
  return u"{4d36e97e-e325-11ce-bfc1-08002be10318}";
}

const char* StateName(NodeState state) {
  switch (state) {
    case NodeState::Enumerated: return "Enumerated";
    case NodeState::Started: return "Started";
    case NodeState::StartFailed: return "StartFailed";
    case NodeState::Stopped: return "Stopped";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
    case NodeState::Disabled: return "Disabled";
  }
  return "?";
}

void Enable() {
  PnpState& pnp = Pnp();
  if (pnp.enabled) return;
  pnp.enabled = true;
  pnp.root = NewNode(nullptr, nullptr);
  pnp.root->synthetic = true;
  pnp.root->state = NodeState::Started;
  pnp.root->path = u"HTREE\\ROOT\\0";
  pnp.usbHub = NewNode(pnp.root, nullptr);
  pnp.usbHub->synthetic = true;
  pnp.usbHub->state = NodeState::Started;
  pnp.usbHub->path = u"USB\\ROOT_HUB\\4&1d5f2a8c&0";
  pnp.usbHub->deviceId = u"USB\\ROOT_HUB";
  registry::CreateKey(std::u16string(registry::kEnum) + u"\\" + pnp.usbHub->path);
  iom::Io().handleClosed = [](PDEVICE_OBJECT) {
    if (Pnp().enabled) Queue(CompletePendingRemovals);
  };
  usb::SetPnpHandlers({HubRelationsChanged, HubDeviceDeparted});
  // Devices the bus presented before the manager came up are enumerated now.
  Queue([] { Enumerate(*Pnp().usbHub); });
}

bool Enabled() { return Machine::Exists() && Pnp().enabled; }

void InstallService(std::u16string_view name, PDRIVER_INITIALIZE entry, std::vector<std::u16string> ids,
                    DeviceClass deviceClass) {
  PnpState& pnp = Pnp();
  Service* service = nullptr;
  for (auto& existing : pnp.services)
    if (Fold(existing->name) == Fold(name)) service = existing.get();
  if (!service) {
    pnp.services.push_back(std::make_unique<Service>());
    service = pnp.services.back().get();
    service->name = std::u16string(name);
  }
  service->entry = entry;
  for (auto& id : ids) {
    std::erase_if(service->ids, [&id](const ServedId& served) { return Fold(served.id) == Fold(id); });
    service->ids.push_back({std::move(id), deviceClass});
  }
  const std::u16string key = std::u16string(registry::kServices) + u"\\" + service->name;
  registry::SetDword(key, u"Type", 1);   // SERVICE_KERNEL_DRIVER
  registry::SetDword(key, u"Start", 3);  // SERVICE_DEMAND_START: loaded by plug and play
  registry::SetSz(key, u"ImagePath", u"System32\\DRIVERS\\" + service->name + u".sys", REG_EXPAND_SZ);
}

PDRIVER_OBJECT ServiceDriver(std::u16string_view name) {
  for (auto& service : Pnp().services)
    if (Fold(service->name) == Fold(name)) return service->driver;
  return nullptr;
}

void ReportRootDevice(PDEVICE_OBJECT pdo) {
  Enable();
  RootDevices().push_back(pdo);
  RunOnWorker([] { Enumerate(*Pnp().root); });
}

std::optional<NodeInfo> Node(std::u16string_view instancePath) {
  NodeRec* node = FindNode(instancePath);
  if (!node) return std::nullopt;
  return Info(*node);
}

std::optional<NodeInfo> NodeOf(PDEVICE_OBJECT pdo) {
  NodeRec* node = FindNode(pdo);
  if (!node) return std::nullopt;
  return Info(*node);
}

std::vector<NodeInfo> Nodes() {
  std::vector<NodeInfo> list;
  PnpState& pnp = Pnp();
  if (!pnp.root) return list;
  std::vector<NodeRec*> tree;
  CollectTree(pnp.root, tree);
  for (NodeRec* node : tree) list.push_back(Info(*node));
  return list;
}

std::vector<Event> Events() { return Pnp().events; }

void ClearEvents() { Pnp().events.clear(); }

void WaitIdle() {
  PnpState& pnp = Pnp();
  if (!pnp.worker && pnp.hubNoticesPending == 0) return;
  Machine::Current().RunUntil([&pnp] { return pnp.queue.empty() && !pnp.busy && pnp.hubNoticesPending == 0; });
}

namespace {

// Runs an action on a node by path in the worker and returns its status.
NTSTATUS OnNode(std::u16string_view instancePath, const std::function<NTSTATUS(NodeRec&)>& action) {
  if (!Enabled()) return STATUS_NO_SUCH_DEVICE;
  if (Pnp().heldForPower) return STATUS_DEVICE_BUSY;  // the machine sleeps
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  const std::u16string path(instancePath);
  RunOnWorker([&status, &action, path] {
    NodeRec* node = FindNode(path);
    if (node && !node->synthetic) status = action(*node);
  });
  return status;
}

}  // namespace

NTSTATUS RequestRemoval(std::u16string_view instancePath) {
  return OnNode(instancePath, [](NodeRec& node) { return OrderlyRemoval(node, NodeState::Removed); });
}

NTSTATUS RequestEject(std::u16string_view instancePath) { return OnNode(instancePath, Eject); }

NTSTATUS Rebalance(std::u16string_view instancePath) { return OnNode(instancePath, StopAndRestart); }

NTSTATUS DisableDevice(std::u16string_view instancePath) {
  return OnNode(instancePath, [](NodeRec& node) { return OrderlyRemoval(node, NodeState::Disabled); });
}

NTSTATUS EnableDevice(std::u16string_view instancePath) {
  return OnNode(instancePath, [](NodeRec& node) {
    if (node.state != NodeState::Disabled) return STATUS_INVALID_DEVICE_STATE;
    return InstallAndStart(node);
  });
}

bool UninstallDevice(std::u16string_view instancePath) {
  if (FindNode(instancePath)) return false;
  FreeComName(instancePath);
  return registry::DeleteKey(std::u16string(registry::kEnum) + u"\\" + std::u16string(instancePath));
}

}  // namespace sim::pnp

namespace sim::pnpm {

void AfterStart(NodeRec& node) {
  ProbeUnknownMinor(node);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  const Answer answer = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
    sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  if (NT_SUCCESS(answer.status)) node.caps = caps;
  Enumerate(node);
}

}  // namespace sim::pnpm
