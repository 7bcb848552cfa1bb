#include "adapter_model/scripted_peer.h"

namespace adapter_model {

ScriptedPeer::ScriptedPeer(Connector& port, LineFormat format)
    : port_(&port),
      format_(format),
      receiver_([this] { return format_; }, [this](const ReceivedFrame& frame) { Received(frame); }) {
  Plug(port);
  port.ConnectRxd(&txd_);
  port.SetInputs(lines_);
  outputs_.push_back({Now(), port.Rts(), port.Dtr()});
  receiver_.Listen(&port.Txd());
}

ScriptedPeer::~ScriptedPeer() {
  receiver_.Listen(nullptr);
  UnplugAll();
}

void ScriptedPeer::Send(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) Enqueue({Item::Kind::Character, b});
}

void ScriptedPeer::Send(std::string_view text) {
  for (char c : text) Enqueue({Item::Kind::Character, uint8_t(c)});
}

void ScriptedPeer::SendWithParityError(uint8_t value) {
  Enqueue({Item::Kind::Character, value, FrameFlaw::ParityError});
}

void ScriptedPeer::SendWithFramingError(uint8_t value) {
  Enqueue({Item::Kind::Character, value, FrameFlaw::FramingError});
}

void ScriptedPeer::SendBreak(VirtualTime duration) { Enqueue({Item::Kind::Break, 0, FrameFlaw::None, duration}); }

void ScriptedPeer::Pause(VirtualTime duration) { Enqueue({Item::Kind::Pause, 0, FrameFlaw::None, duration}); }

void ScriptedPeer::Enqueue(Item item) {
  queue_.push_back(item);
  Pump();
}

void ScriptedPeer::Pump() {
  if (alarm_.Pending() || queue_.empty() || !port_) return;
  Item item = queue_.front();
  switch (item.kind) {
    case Item::Kind::Character: {
      // Flow control only holds back the start of a character, never one on the wire.
      if (obeyRts_ && !port_->Rts()) return;
      if (obeyXonXoff_ && xoffHeld_) return;
      queue_.pop_front();
      VirtualTime end = txd_.DriveFrame(Now(), format_, item.value, item.flaw);
      ++sent_;
      alarm_.At(end, [this] { Pump(); });
      return;
    }
    case Item::Kind::Break: {
      queue_.pop_front();
      txd_.Drive(Now(), false);
      alarm_.After(item.duration, [this] {
        txd_.Drive(Now(), true);
        // One bit of mark after a break, so that the next start bit is an edge.
        alarm_.After(format_.BitTime(), [this] { Pump(); });
      });
      return;
    }
    case Item::Kind::Pause:
      queue_.pop_front();
      alarm_.After(item.duration, [this] { Pump(); });
      return;
  }
}

void ScriptedPeer::SetCts(bool on) {
  ModemInputs lines = lines_;
  lines.cts = on;
  SetModemLines(lines);
}

void ScriptedPeer::SetDsr(bool on) {
  ModemInputs lines = lines_;
  lines.dsr = on;
  SetModemLines(lines);
}

void ScriptedPeer::SetDcd(bool on) {
  ModemInputs lines = lines_;
  lines.dcd = on;
  SetModemLines(lines);
}

void ScriptedPeer::SetRing(bool on) {
  ModemInputs lines = lines_;
  lines.ri = on;
  SetModemLines(lines);
}

void ScriptedPeer::SetModemLines(const ModemInputs& lines) {
  lines_ = lines;
  if (port_) port_->SetInputs(lines_);
}

void ScriptedPeer::ObeyRts(bool on) {
  obeyRts_ = on;
  Pump();
}

void ScriptedPeer::ObeyXonXoff(bool on, uint8_t xon, uint8_t xoff) {
  obeyXonXoff_ = on;
  xon_ = xon;
  xoff_ = xoff;
  if (!on) xoffHeld_ = false;
  Pump();
}

std::vector<uint8_t> ScriptedPeer::ReceivedBytes() const {
  std::vector<uint8_t> bytes;
  for (const auto& frame : received_)
    if (!frame.breakCondition) bytes.push_back(frame.value);
  return bytes;
}

std::string ScriptedPeer::ReceivedText() const {
  auto bytes = ReceivedBytes();
  return std::string(bytes.begin(), bytes.end());
}

void ScriptedPeer::OutputsChanged(Connector& connector) {
  outputs_.push_back({Now(), connector.Rts(), connector.Dtr()});
  Pump();
}

void ScriptedPeer::ConnectorGone(Connector&) {
  receiver_.Listen(nullptr);
  port_ = nullptr;
  alarm_.Cancel();
}

void ScriptedPeer::Received(const ReceivedFrame& frame) {
  received_.push_back(frame);
  if (obeyXonXoff_ && !frame.breakCondition && !frame.parityError && !frame.framingError) {
    if (frame.value == xoff_) xoffHeld_ = true;
    if (frame.value == xon_) {
      xoffHeld_ = false;
      Pump();
    }
  }
}

}  // namespace adapter_model
