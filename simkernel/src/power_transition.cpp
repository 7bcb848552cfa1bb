// System power transitions over the plug-and-play device tree: queries children first with
// veto and cancel, set-power down children first, up parents first; the machine's system
// state and the log of every power request.
#include <algorithm>
#include <memory>

#include "io_internal.h"
#include "pnp_internal.h"
#include "power_internal.h"
#include "race_annotations.h"
#include "simkernel/io.h"

namespace sim::powerm {
namespace {

struct Sent {
  bool done = false;
  bool skipped = false;  // the device left the tree before its turn
  NTSTATUS status = STATUS_PENDING;
  uint64_t order = 0;    // completion sequence
};

struct Member {
  pnpm::NodeRec* node = nullptr;
  int parent = -1;  // nearest started ancestor in the list
};

enum class Order { ChildrenFirst, ParentsFirst };

struct Phase {
  UCHAR minor = IRP_MN_SET_POWER;
  SYSTEM_POWER_STATE state = PowerSystemWorking;
  POWER_ACTION action = PowerActionNone;
  ULONG context = 0;
  Order order = Order::ChildrenFirst;
  bool vetoable = false;
  VirtualTime deadline = 0;
};

struct PhaseResult {
  int veto = -1;   // member whose query failed first
  int stuck = -1;  // member whose request never came back
  NTSTATUS vetoStatus = STATUS_SUCCESS;
  std::vector<int> sent;  // members that got the request, in the order sent
};

std::string StateName(SYSTEM_POWER_STATE state) { return "S" + std::to_string(int(state) - 1); }

std::string RequestName(UCHAR minor, SYSTEM_POWER_STATE state) {
  return std::string(minor == IRP_MN_QUERY_POWER ? "IRP_MN_QUERY_POWER " : "IRP_MN_SET_POWER ") + StateName(state);
}

bool Present(const pnpm::NodeRec& node) {
  return !node.synthetic && !node.deleted && node.stackBuilt && node.state == pnp::NodeState::Started;
}

void Collect(pnpm::NodeRec* node, int parent, std::vector<Member>& out) {
  int self = parent;
  if (Present(*node)) {
    out.push_back({node, parent});
    self = int(out.size()) - 1;
  }
  for (pnpm::NodeRec* child : node->children) Collect(child, self, out);
}

std::vector<Member> StartedDevices() {
  std::vector<Member> members;
  if (pnp::Enabled() && pnpm::Pnp().root) Collect(pnpm::Pnp().root, -1, members);
  return members;
}

// One request to the top of the node's stack, from a power manager thread.
void SendOne(pnpm::NodeRec& node, const Phase& phase, const std::shared_ptr<Sent>& sent) {
  if (!Present(node)) {
    sent->skipped = sent->done = true;
    return;
  }
  PIRP irp = iom::AllocateManagerIrp(node.pdo, IRP_MJ_POWER, phase.minor);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Power.SystemContext = phase.context;
  next->Parameters.Power.Type = SystemPowerState;
  next->Parameters.Power.State.SystemState = phase.state;
  next->Parameters.Power.ShutdownType = phase.action;
  iom::IrpRecord& record = *iom::FindIrp(irp);
  const size_t logged = LogSent(node.pdo, phase.minor, SystemPowerState, ULONG(phase.state), false);
  const std::string what = RequestName(phase.minor, phase.state) + " to " + pnpm::Narrow(node.path);
  const UCHAR minor = phase.minor;
  record.onTop = [sent, logged, what, minor](const IO_STATUS_BLOCK& status, CCHAR, ULONG_PTR) {
    sent->order = LogCompleted(logged, status.Status);
    sent->status = status.Status;
    sent->done = true;
    // The manager holds plug and play across the transition: what the request's drivers did
    // comes before the tree's next change.
    race::Release(&pnpm::Pnp().queue);
    if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(status.Status))
      iom::Report("system set power irp failed", what + " completed with status " + std::to_string(status.Status));
  };
  const NTSTATUS returned = PoCallDriver(io::TopOfStack(node.pdo), irp);
  race::Release(&pnpm::Pnp().queue);
  if (returned != STATUS_PENDING && !sent->done)
    iom::Report("irp not completed but status returned", what + " returned status " + std::to_string(returned));
}

// Sends the phase's request to every member in `subset`, each once the members it waits for
// (its children, or its parent) have completed theirs.
PhaseResult RunPhase(const std::vector<Member>& members, const std::vector<int>& subset, const Phase& phase) {
  Machine& machine = Machine::Current();
  PhaseResult result;
  std::vector<bool> in(members.size(), false);
  for (int i : subset) in[size_t(i)] = true;
  // The nearest ancestor taking part, for each member.
  std::vector<int> up(members.size(), -1);
  for (int i : subset) {
    int p = members[size_t(i)].parent;
    while (p >= 0 && !in[size_t(p)]) p = members[size_t(p)].parent;
    up[size_t(i)] = p;
  }
  std::vector<std::shared_ptr<Sent>> sent(members.size());
  auto done = [&](int i) { return sent[size_t(i)] && sent[size_t(i)]->done; };
  auto ready = [&](int i) {
    if (phase.order == Order::ParentsFirst) return up[size_t(i)] < 0 || done(up[size_t(i)]);
    for (int j : subset)
      if (up[size_t(j)] == i && !done(j)) return false;
    return true;
  };
  for (;;) {
    std::vector<int> batch;
    if (result.veto < 0)
      for (int i : subset)
        if (!sent[size_t(i)] && ready(i)) batch.push_back(i);
    if (!batch.empty()) {
      std::vector<std::pair<pnpm::NodeRec*, std::shared_ptr<Sent>>> work;
      for (int i : batch) {
        sent[size_t(i)] = std::make_shared<Sent>();
        work.emplace_back(members[size_t(i)].node, sent[size_t(i)]);
        result.sent.push_back(i);
      }
      machine.Spawn("power-manager", TaskKind::Worker, [work, phase] {
        for (const auto& [node, each] : work) SendOne(*node, phase, each);
      }, /*daemon=*/true);
    }
    std::vector<int> outstanding;
    for (int i : result.sent)
      if (!done(i)) outstanding.push_back(i);
    const bool allSent = result.veto >= 0 || std::all_of(subset.begin(), subset.end(), [&](int i) { return bool(sent[size_t(i)]); });
    if (outstanding.empty() && allSent) return result;
    if (outstanding.empty()) continue;  // the next ones are ready now
    const VirtualTime left = std::max<VirtualTime>(phase.deadline - machine.Now(), 0);
    machine.RunUntil([&] { return std::any_of(outstanding.begin(), outstanding.end(), done); }, left, false);
    std::vector<int> finished;
    for (int i : outstanding)
      if (done(i)) finished.push_back(i);
    if (finished.empty()) {
      const std::string when = machine.Now() >= phase.deadline ? " still pending when the wait ran out"
                                                               : " still pending when the machine had nothing left to run";
      for (int i : outstanding)
        iom::Report("system power irp not completed",
                    RequestName(phase.minor, phase.state) + " to " + pnpm::Narrow(members[size_t(i)].node->path) + when);
      result.stuck = outstanding.front();
      return result;
    }
    std::sort(finished.begin(), finished.end(), [&](int a, int b) { return sent[size_t(a)]->order < sent[size_t(b)]->order; });
    for (int i : finished) {
      const Sent& each = *sent[size_t(i)];
      if (phase.vetoable && result.veto < 0 && !each.skipped && !NT_SUCCESS(each.status)) {
        result.veto = i;
        result.vetoStatus = each.status;
      }
    }
  }
}

power::Outcome RunTransition(SYSTEM_POWER_STATE target, const power::TransitionOptions& options) {
  Machine& machine = Machine::Current();
  if (pnp::Enabled()) {
    pnp::WaitIdle();
    pnpm::HoldForPower(true);
  }
  PowerLog& log = Log();
  const std::vector<Member> members = StartedDevices();
  std::vector<int> all(members.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = int(i);
  const bool waking = target == PowerSystemWorking;
  POWER_ACTION action = PowerActionNone;
  if (options.action) action = *options.action;
  else if (target == PowerSystemHibernate) action = PowerActionHibernate;
  else if (target == PowerSystemShutdown) action = PowerActionShutdownOff;
  else if (!waking) action = PowerActionSleep;
  Phase phase;
  phase.state = target;
  phase.action = action;
  phase.context = log.nextContext++;
  phase.deadline = machine.Now() + options.patience;
  auto stuck = [&](const PhaseResult& r) {
    return power::Outcome{STATUS_PENDING, members[size_t(r.stuck)].node->path};
  };

  if (!waking && !options.skipQuery) {
    phase.minor = IRP_MN_QUERY_POWER;
    phase.order = Order::ChildrenFirst;
    phase.vetoable = true;
    const PhaseResult query = RunPhase(members, all, phase);
    if (query.stuck >= 0) return stuck(query);
    if (query.veto >= 0) {
      Phase cancel = phase;
      cancel.minor = IRP_MN_SET_POWER;
      cancel.state = PowerSystemWorking;
      cancel.action = PowerActionNone;
      cancel.order = Order::ParentsFirst;
      cancel.vetoable = false;
      const PhaseResult undone = RunPhase(members, query.sent, cancel);
      if (undone.stuck >= 0) return stuck(undone);
      return {query.vetoStatus, members[size_t(query.veto)].node->path};
    }
  }
  phase.minor = IRP_MN_SET_POWER;
  phase.order = waking ? Order::ParentsFirst : Order::ChildrenFirst;
  phase.vetoable = false;
  const PhaseResult set = RunPhase(members, all, phase);
  if (set.stuck >= 0) return stuck(set);
  Log().system = target;
  return {};
}

// The tree stays held while the machine sleeps: only a completed wake, or a sleep that did
// not happen, gives it back.
power::Outcome Transition(SYSTEM_POWER_STATE target, const power::TransitionOptions& options) {
  power::Outcome outcome = RunTransition(target, options);
  if (pnp::Enabled() && Log().system == PowerSystemWorking) pnpm::HoldForPower(false);
  return outcome;
}

}  // namespace

PowerLog& Log() { return Machine::Current().State<PowerLog>(); }

size_t LogSent(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, ULONG state, bool requested) {
  PowerLog& log = Log();
  power::LoggedIrp entry;
  entry.sent = log.nextSequence++;
  PDEVICE_OBJECT bottom = device;
  while (PDEVICE_OBJECT lower = io::LowerDevice(bottom)) bottom = lower;
  pnpm::NodeRec* node = pnp::Enabled() ? pnpm::FindNode(bottom) : nullptr;
  entry.device = node && !node->path.empty() ? node->path : io::DeviceName(device);
  entry.minor = minor;
  entry.type = type;
  entry.state = state;
  entry.requested = requested;
  log.entries.push_back(std::move(entry));
  return log.cleared + log.entries.size() - 1;
}

uint64_t LogCompleted(size_t index, NTSTATUS status) {
  PowerLog& log = Log();
  const uint64_t sequence = log.nextSequence++;
  if (index < log.cleared || index - log.cleared >= log.entries.size()) return sequence;  // cleared meanwhile
  log.entries[index - log.cleared].status = status;
  log.entries[index - log.cleared].completed = sequence;
  return sequence;
}

}  // namespace sim::powerm

namespace sim::power {

Outcome Sleep(SYSTEM_POWER_STATE state, TransitionOptions options) {
  if (state <= PowerSystemWorking || state > PowerSystemShutdown) return {STATUS_INVALID_PARAMETER, u""};
  if (powerm::Log().system != PowerSystemWorking) return {STATUS_INVALID_DEVICE_STATE, u""};
  return powerm::Transition(state, options);
}

Outcome Wake(TransitionOptions options) {
  if (powerm::Log().system == PowerSystemWorking) return {STATUS_INVALID_DEVICE_STATE, u""};
  return powerm::Transition(PowerSystemWorking, options);
}

SYSTEM_POWER_STATE SystemState() { return powerm::Log().system; }

std::vector<LoggedIrp> Log() { return powerm::Log().entries; }

void ClearLog() {
  powerm::PowerLog& log = powerm::Log();
  log.cleared += log.entries.size();
  log.entries.clear();
}

}  // namespace sim::power
