// The host controller: a device task woken by a 1 ms frame clock that runs only while
// something can move. Each frame carries one endpoint 0 request per device and up to
// kBulkPacketsPerFrame bulk transactions, one per pipe in turn, and then gives the finished
// URBs back at DISPATCH_LEVEL.
#include <algorithm>
#include <cstring>

#include "race_annotations.h"
#include "usb_bus_internal.h"

namespace sim::usb::bus {
namespace {

using Finished = std::vector<std::pair<TransferPtr, USBD_STATUS>>;

bool Live(const Slot& slot) { return slot.present && !Suspended(slot); }

bool Eligible(const Pipe& pipe) { return Live(*pipe.slot) && !pipe.queue.empty() && !pipe.halted && !pipe.parked; }

bool HasWork() {
  for (const auto& slot : Bus().slots) {
    if (!Live(*slot)) continue;
    if (!slot->control.empty()) return true;
    for (const auto& pipe : slot->pipes)
      if (Eligible(*pipe)) return true;
  }
  return false;
}

void Finish(Pipe& pipe, Finished& finished, USBD_STATUS status) {
  finished.emplace_back(pipe.queue.front(), status);
  pipe.queue.pop_front();
}

// One transaction for the first transfer of a pipe. False when it needed none (an empty IN).
bool Transaction(Pipe& pipe, Finished& finished) {
  BusState& bus = Bus();
  Slot& slot = *pipe.slot;
  Transfer& t = *pipe.queue.front();
  Handshake handshake;
  if (t.in) {
    if (t.length == 0) {
      Finish(pipe, finished, USBD_STATUS_SUCCESS);
      return false;
    }
    const size_t ask = std::min<size_t>(pipe.maxPacket, t.length - t.done);
    std::vector<uint8_t> packet;
    if (slot.port->TakeZeroLengthIn(pipe.endpoint)) {
      ++bus.stats.bulkPackets;
      if (!t.shortOk) pipe.halted = true;
      Finish(pipe, finished, t.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN);
      return true;
    }
    handshake = slot.device->BulkIn(pipe.endpoint, ask, packet);
    ++bus.stats.bulkPackets;
    if (!slot.present) return true;  // unplugged in the middle: failed with the rest
    if (handshake == Handshake::Ack) {
      const size_t count = std::min(packet.size(), ask);
      race::Write(t.buffer + t.done, count);  // the controller writes the transfer buffer
      if (count) std::memcpy(t.buffer + t.done, packet.data(), count);
      t.done += static_cast<ULONG>(count);
      bus.stats.bulkBytes += count;
      if (packet.size() > ask) {  // babble
        pipe.halted = true;
        Finish(pipe, finished, USBD_STATUS_DATA_OVERRUN);
      } else if (t.done == t.length) {
        Finish(pipe, finished, USBD_STATUS_SUCCESS);
      } else if (packet.size() < pipe.maxPacket) {
        if (!t.shortOk) pipe.halted = true;
        Finish(pipe, finished, t.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN);
      }
      return true;
    }
  } else {
    const size_t count = std::min<size_t>(pipe.maxPacket, t.length - t.done);
    if (t.buffer) race::Read(t.buffer + t.done, count);  // the controller reads the transfer buffer
    handshake = slot.device->BulkOut(pipe.endpoint, std::span<const uint8_t>(t.buffer ? t.buffer + t.done : nullptr, count));
    ++bus.stats.bulkPackets;
    if (!slot.present) return true;
    if (handshake == Handshake::Ack) {
      t.done += static_cast<ULONG>(count);
      bus.stats.bulkBytes += count;
      if (t.done == t.length) Finish(pipe, finished, USBD_STATUS_SUCCESS);
      return true;
    }
  }
  if (handshake == Handshake::Nak) {
    ++bus.stats.naks;
    pipe.parked = true;
  } else {
    ++bus.stats.stalls;
    pipe.halted = true;
    Finish(pipe, finished, USBD_STATUS_STALL_PID);
  }
  return true;
}

unsigned RunBulk(const std::vector<std::shared_ptr<Slot>>& slots, Finished& finished) {
  BusState& bus = Bus();
  std::vector<Pipe*> order;
  for (const auto& slot : slots)
    for (const auto& pipe : slot->pipes) order.push_back(pipe.get());
  if (order.empty()) return 0;
  // Handles grow with every pipe opened, so this is a stable order; each frame starts after
  // the pipe served last.
  std::sort(order.begin(), order.end(), [](Pipe* a, Pipe* b) { return a->handle < b->handle; });
  auto next = std::find_if(order.begin(), order.end(), [&](Pipe* p) { return p->handle > bus.lastServedPipe; });
  std::rotate(order.begin(), next == order.end() ? order.begin() : next, order.end());

  unsigned used = 0;
  bool moved = true;
  while (used < kBulkPacketsPerFrame && moved) {
    moved = false;
    for (Pipe* pipe : order) {
      if (used == kBulkPacketsPerFrame) break;
      if (!Eligible(*pipe)) continue;
      moved = true;
      if (Transaction(*pipe, finished)) {
        ++used;
        bus.lastServedPipe = pipe->handle;
      }
    }
  }
  return used;
}

void RunFrame(Finished& finished) {
  BusState& bus = Bus();
  ++bus.stats.frames;
  // A device callback may attach a device: work on the presentations there were.
  std::vector<std::shared_ptr<Slot>> slots;
  for (const auto& slot : bus.slots)
    if (Live(*slot)) slots.push_back(slot);

  for (const auto& slot : slots) {
    if (!Live(*slot) || slot->control.empty()) continue;
    TransferPtr transfer = slot->control.front();
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<TransferPtr> aborted;
    if (RunControl(*slot, *transfer, &status, &aborted) == ControlOutcome::Nak) continue;
    ++bus.stats.controlTransfers;
    if (!slot->control.empty() && slot->control.front() == transfer) slot->control.pop_front();
    // What the request aborted is given back before the request itself.
    for (const auto& other : aborted) finished.emplace_back(other, USBD_STATUS_CANCELED);
    finished.emplace_back(transfer, status);
  }

  const unsigned packets = RunBulk(slots, finished);
  ++bus.stats.framesByBulkPackets[packets];
  bus.stats.maxBulkPacketsInFrame = std::max(bus.stats.maxBulkPacketsInFrame, packets);
}

// Everything still queued for a device that went fails; a suspended port's transfers are
// cancelled, its pipes stay open.
void CollectStopped(Finished& finished) {
  for (const auto& slot : Bus().slots) {
    if (Live(*slot)) continue;
    const USBD_STATUS status = slot->present ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE;
    for (const auto& transfer : TakeAllTransfers(*slot)) finished.emplace_back(transfer, status);
    if (!slot->present) ClosePipes(*slot);
  }
}

void ControllerMain() {
  Machine& machine = Machine::Current();
  for (;;) {
    BusState& bus = Bus();
    if (!bus.frameDue && !bus.serviceDue) {
      machine.Block("USB frame", std::nullopt, STATUS_SUCCESS, /*idle=*/true);
      continue;
    }
    const bool frame = bus.frameDue;
    bus.frameDue = false;
    bus.serviceDue = false;

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Finished finished;
    KIRQL irql;
    KeAcquireSpinLock(&bus.lock, &irql);
    if (frame) RunFrame(finished);
    CollectStopped(finished);
    KeReleaseSpinLock(&bus.lock, irql);
    for (const auto& [transfer, status] : finished) ClaimAndComplete(transfer, status);
    KeLowerIrql(old);

    SweepRemovedPdos();
    ScheduleFrame();
  }
}

}  // namespace

void EnsureController() {
  BusState& bus = Bus();
  if (bus.controller) return;
  bus.controller = Machine::Current().Spawn("usb-host-controller", TaskKind::Device, ControllerMain, /*daemon=*/true);
}

void ScheduleFrame() {
  BusState& bus = Bus();
  if (bus.frameEvent || !HasWork()) return;
  EnsureController();
  Machine& machine = Machine::Current();
  const VirtualTime due = (machine.Now() / kFrameLength + 1) * kFrameLength;
  bus.frameEvent = machine.AddClockEvent(due, [] {
    BusState& bus = Bus();
    bus.frameEvent.reset();
    bus.frameDue = true;
    Machine::Current().Wake(bus.controller, STATUS_SUCCESS);
  });
}

void RequestService() {
  BusState& bus = Bus();
  EnsureController();
  bus.serviceDue = true;
  Machine::Current().Wake(bus.controller, STATUS_SUCCESS);
}

}  // namespace sim::usb::bus
