// Per-machine state of the simulated plug-and-play manager, shared by pnp_*.cpp.
//
// Everything that sends a request runs in the PnP worker task, one item at a time, as the
// Windows 2000 manager serialises its device actions; host-side routines only queue items.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simkernel/machine.h"
#include "simkernel/pnp.h"

namespace sim::pnpm {

// One driver may be installed for several IDs, each by an INF of its own setup class.
struct ServedId {
  std::u16string id;
  pnp::DeviceClass deviceClass = pnp::DeviceClass::Unknown;
};

struct Service {
  std::u16string name;
  PDRIVER_INITIALIZE entry = nullptr;
  std::vector<ServedId> ids;
  PDRIVER_OBJECT driver = nullptr;  // once loaded
};

struct NodeRec {
  uint64_t serial = 0;
  PDEVICE_OBJECT pdo = nullptr;
  NodeRec* parent = nullptr;
  std::vector<NodeRec*> children;  // live children, in the order reported
  int level = 0;
  bool synthetic = false;          // root and USB root hub: no stack, no requests
  bool referenceHeld = false;      // the reference the parent's bus driver gave with the PDO
  bool deleted = false;            // gone from the tree (nodes are never freed: no dangling)
  bool stackBuilt = false;         // AddDevice ran and no REMOVE since
  bool removalPending = false;     // surprise-removed or missing: REMOVE once possible
  pnp::NodeState state = pnp::NodeState::Enumerated;
  std::u16string path;
  std::u16string deviceId;
  std::u16string instanceId;
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string description;
  std::u16string location;
  DEVICE_CAPABILITIES caps{};
  Service* service = nullptr;
  pnp::DeviceClass deviceClass = pnp::DeviceClass::Unknown;  // of the ID that matched
  std::vector<Service*> filters;  // lower and upper filters in the stack, in AddDevice order
  // Identified with the instance path of a surprise-removed device still waiting for its
  // handles: installed once that one is removed, as Windows re-uses the devnode only then.
  std::u16string waitingForPath;
};

struct PnpState {
  PnpState() = default;
  PnpState(const PnpState&) = delete;
  PnpState& operator=(const PnpState&) = delete;

  bool enabled = false;
  std::vector<std::unique_ptr<NodeRec>> nodes;
  NodeRec* root = nullptr;
  NodeRec* usbHub = nullptr;
  std::vector<std::unique_ptr<Service>> services;
  uint64_t nextSerial = 1;

  std::deque<std::function<void()>> queue;
  Task* worker = nullptr;
  bool busy = false;
  // A system sleep holds the device tree from its first request until the wake is done:
  // work queued meanwhile waits, as Windows keeps the tree locked across the transition.
  bool heldForPower = false;
  unsigned hubNoticesPending = 0;  // departures the hub driver has not polled yet
  std::vector<pnp::Event> events;
  std::vector<PDEVICE_OBJECT> rootDevices;  // ReportRootDevice
};

PnpState& Pnp();
void Report(const std::string& rule, const std::string& detail);
std::string Narrow(std::u16string_view text);
std::u16string Fold(std::u16string_view text);

// ---- pnp_manager.cpp ----
// Queues work for the PnP worker (from any context); runs it and waits for it (controlling
// thread only).
void Queue(std::function<void()> work);
void RunOnWorker(std::function<void()> work);
// The power manager takes and gives back the device tree (see heldForPower).
void HoldForPower(bool hold);
NodeRec* NewNode(NodeRec* parent, PDEVICE_OBJECT pdo);
NodeRec* FindNode(PDEVICE_OBJECT pdo);
NodeRec* FindNode(std::u16string_view path);
void DeleteNode(NodeRec* node);  // and its reference on the PDO
// Devices of the node's stack, PDO first.
std::vector<PDEVICE_OBJECT> Stack(const NodeRec& node);
int OpenHandles(const NodeRec& node);
void Log(const NodeRec& node, std::string what, NTSTATUS status);

struct Answer {
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  ULONG_PTR information = 0;
  bool reachedPdo = false;
};
// One plug-and-play request to the top of the node's stack, waited for (PnP worker only).
Answer SendPnp(NodeRec& node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {},
               bool log = true, const std::string& detail = "");
std::string MinorName(UCHAR minor);
// After a successful START: the verifier's unknown-minor probe, QUERY_CAPABILITIES, BusRelations.
void AfterStart(NodeRec& node);

// ---- pnp_enumeration.cpp ----
// Queries the node's BusRelations (or, for the synthetic nodes, takes them from the bus and
// the test's root devices) and acts on arrivals and departures.
void Enumerate(NodeRec& node);
// Identifies, installs and starts a new child node.
void ArriveChild(NodeRec& parent, NodeRec& node);
// Installs the arrivals that waited for a removed device's instance path to be free.
void ArriveWaiting();
// AddDevice and START on a node whose PDO is known (also enable after disable).
NTSTATUS InstallAndStart(NodeRec& node);
// START to a built stack, then what follows a start; a failed START tears the stack down.
NTSTATUS StartStack(NodeRec& node);
std::vector<PDEVICE_OBJECT>& RootDevices();

// ---- pnp_removal.cpp ----
void SurpriseRemoveSubtree(NodeRec& node);
// Sends REMOVE to every node waiting for it whose children are gone and whose handles are
// closed, deepest first.
void CompletePendingRemovals();
NTSTATUS OrderlyRemoval(NodeRec& node, pnp::NodeState finalState);
NTSTATUS StopAndRestart(NodeRec& node);
NTSTATUS Eject(NodeRec& node);
// REMOVE_DEVICE to the node's stack with the checks that go with it.
void SendRemove(NodeRec& node);

// ---- pnp_ports_installer.cpp ----
// Writes "PortName" in the device key of a Ports device if it has none.
void AssignComName(NodeRec& node);
void FreeComName(std::u16string_view instancePath);

}  // namespace sim::pnpm
