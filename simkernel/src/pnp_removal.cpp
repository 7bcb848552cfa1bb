// Removal in all its forms: surprise removal of a subtree with REMOVE once handles close,
// orderly removal with its veto, stop and restart, eject.
#include <algorithm>

#include "io_internal.h"
#include "pnp_internal.h"
#include "simkernel/io.h"

namespace sim::pnpm {
namespace {

void PostOrder(NodeRec& node, std::vector<NodeRec*>& out) {
  for (NodeRec* child : node.children) PostOrder(*child, out);
  out.push_back(&node);
}

}  // namespace

void SendRemove(NodeRec& node) {
  std::vector<PDEVICE_OBJECT> stack = Stack(node);
  SendPnp(node, IRP_MN_REMOVE_DEVICE);
  for (size_t i = 1; i < stack.size(); ++i)
    if (!io::IsDeleted(stack[i]))
      Report("device not deleted after remove", iom::DescribeDevice(stack[i]) + " above " + Narrow(node.path));
  node.stackBuilt = false;
  node.state = pnp::NodeState::Removed;
  // A driver left without devices is unloaded (and loaded again by the next device it serves).
  std::vector<Service*> drivers = node.filters;
  drivers.push_back(node.service);
  for (Service* service : drivers)
    if (service && service->driver && io::IsLoaded(service->driver) && io::DevicesOf(service->driver).empty() &&
        service->driver->DriverUnload) {
      io::UnloadDriver(service->driver);
      service->driver = nullptr;
      Log(node, "DriverUnload", STATUS_SUCCESS);
    }
}

void SurpriseRemoveSubtree(NodeRec& node) {
  for (NodeRec* child : std::vector<NodeRec*>(node.children)) SurpriseRemoveSubtree(*child);
  if (node.stackBuilt && (node.state == pnp::NodeState::Started || node.state == pnp::NodeState::Stopped)) {
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    node.state = pnp::NodeState::SurpriseRemoved;
  }
  node.removalPending = true;
}

void CompletePendingRemovals() {
  PnpState& pnp = Pnp();
  if (!pnp.root) return;
  for (bool progress = true; progress;) {
    progress = false;
    std::vector<NodeRec*> order;
    PostOrder(*pnp.root, order);
    for (NodeRec* node : order) {
      if (!node->removalPending || node->deleted || !node->children.empty() || OpenHandles(*node) > 0) continue;
      SendRemove(*node);
      DeleteNode(node);
      progress = true;
      break;
    }
  }
  ArriveWaiting();
}

NTSTATUS OrderlyRemoval(NodeRec& node, pnp::NodeState finalState) {
  if (node.state != pnp::NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
  std::vector<NodeRec*> order;
  PostOrder(node, order);
  std::vector<NodeRec*> queried;
  NTSTATUS veto = STATUS_SUCCESS;
  for (NodeRec* each : order) {
    if (!each->stackBuilt) continue;
    const Answer answer = SendPnp(*each, IRP_MN_QUERY_REMOVE_DEVICE);
    queried.push_back(each);
    if (!NT_SUCCESS(answer.status)) {
      veto = answer.status;
      break;
    }
  }
  // PNP_VetoOutstandingOpen: a handle still open after every driver agreed.
  if (NT_SUCCESS(veto) && std::any_of(order.begin(), order.end(), [](NodeRec* n) { return OpenHandles(*n) > 0; }))
    veto = STATUS_DEVICE_BUSY;
  if (!NT_SUCCESS(veto)) {
    for (auto it = queried.rbegin(); it != queried.rend(); ++it) SendPnp(**it, IRP_MN_CANCEL_REMOVE_DEVICE);
    return veto;
  }
  for (NodeRec* each : order) {
    SendRemove(*each);
    if (each != &node) DeleteNode(each);
  }
  node.state = finalState;
  return STATUS_SUCCESS;
}

NTSTATUS StopAndRestart(NodeRec& node) {
  if (node.state != pnp::NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
  const Answer query = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(query.status)) {
    SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);
    return query.status;
  }
  SendPnp(node, IRP_MN_STOP_DEVICE);
  node.state = pnp::NodeState::Stopped;
  return StartStack(node);
}

NTSTATUS Eject(NodeRec& node) {
  const NTSTATUS removed = OrderlyRemoval(node, pnp::NodeState::Removed);
  if (!NT_SUCCESS(removed)) return removed;
  NTSTATUS status = STATUS_SUCCESS;
  if (node.caps.EjectSupported) status = SendPnp(node, IRP_MN_EJECT).status;
  // The bus reports what is left once the device has gone.
  if (node.parent) Enumerate(*node.parent);
  return status;
}

}  // namespace sim::pnpm
