#include "adapter_model/serial_channel.h"

#include <algorithm>

namespace adapter_model {

SerialChannel::SerialChannel(uint8_t port, Uart& uart, ChannelHost& host) : port_(port), uart_(uart), host_(host) {
  uart_.Reset();
  uart_.Configure(settings_.format);
  uart_.SetClient(this);
}

SerialChannel::~SerialChannel() {
  uart_.SetClient(nullptr);
  uart_.Reset();
}

uint8_t SerialChannel::ModemStatus() const {
  const ModemInputs& in = uart_.Inputs();
  return uint8_t((in.cts ? kMsrCts : 0) | (in.dsr ? kMsrDsr : 0) | (in.ri ? kMsrRing : 0) | (in.dcd ? kMsrDcd : 0));
}

// ---- Commands -----------------------------------------------------------------------------

void SerialChannel::Open() {
  tx_.clear();
  control_.reset();
  xoffReceived_ = false;
  toggleActive_ = false;
  ClearReceive();
  throttled_ = false;
  xoffSent_ = false;
  msrChanges_ = 0;
  lsrErrors_ = 0;
  open_ = true;
  modemReported_ = false;
  rtsWanted_ = true;
  uart_.SetOutputs(RtsLevel(), true);
  // The host learns the lines as they are now, even if raising DTR and RTS changed nothing.
  if (!modemReported_) host_.QueueEvent(port_, response::kModemStatusChanged, uint8_t(ModemStatus() | msrChanges_));
  msrChanges_ = 0;
}

void SerialChannel::Close() {
  open_ = false;
  tx_.clear();
  control_.reset();
  xoffReceived_ = false;
  toggleActive_ = false;
  ClearReceive();
  throttled_ = false;
  xoffSent_ = false;
  rtsWanted_ = false;
  uart_.SetBreak(false);
  uart_.SetOutputs(false, false);
}

bool SerialChannel::Configure(std::span<const uint8_t> block) {
  auto settings = DecodePortConfig(block);
  if (!settings) {
    ++counters_.rejectedConfigurations;
    return false;
  }
  settings_ = *settings;
  uart_.Configure(settings_.format);
  if (!settings_.ObeysXoff()) xoffReceived_ = false;
  if (!settings_.TransmitToggle()) toggleActive_ = false;
  ApplyReceiveFlow();
  uart_.Kick();
  return true;
}

void SerialChannel::SetRts(bool on) {
  rtsWanted_ = on;
  UpdateRts();
}

void SerialChannel::SetDtr(bool on) { uart_.SetDtr(on); }

void SerialChannel::SetBreak(bool on) { uart_.SetBreak(on); }

void SerialChannel::PurgeReceive() { ClearReceive(); }

void SerialChannel::PurgeTransmit() { tx_.clear(); }

std::vector<uint8_t> SerialChannel::StatusReply() {
  uint8_t lsr = lsrErrors_;
  if (!rx_.empty()) lsr |= kLsrDataReady;
  if (tx_.empty()) lsr |= kLsrTransmitHoldingEmpty;
  if (tx_.empty() && !uart_.Transmitting()) lsr |= kLsrTransmitterEmpty;
  std::vector<uint8_t> reply{response::kStatus,
                             port_,
                             uint8_t(response::kModemStatusChanged | response::kLineStatusChanged),
                             uint8_t(ModemStatus() | msrChanges_),
                             lsr,
                             uint8_t(std::min<size_t>(rx_.size(), 255)),
                             uint8_t(std::min<size_t>(tx_.size(), 255))};
  msrChanges_ = 0;
  lsrErrors_ = 0;
  return reply;
}

void SerialChannel::QueueEcho(std::vector<uint8_t> marker) {
  if (marker.empty()) return;
  markers_.push_back({rxTaken_ + rx_.size(), std::move(marker)});
  host_.ReceiveDataReady(port_);
}

// ---- Data path ----------------------------------------------------------------------------

size_t SerialChannel::AcceptTransmit(std::span<const uint8_t> bytes) {
  if (!open_) {
    counters_.discardedWhileClosed += bytes.size();
    return bytes.size();
  }
  const size_t count = std::min(bytes.size(), kTransmitBufferSize - tx_.size());
  tx_.insert(tx_.end(), bytes.begin(), bytes.begin() + count);
  if (count) uart_.Kick();
  return count;
}

std::optional<SerialChannel::InPacket> SerialChannel::TakeReceivePacket(size_t max) {
  if (!markers_.empty() && markers_.front().position <= rxTaken_) {
    InPacket packet{std::move(markers_.front().bytes), true};
    markers_.pop_front();
    return packet;
  }
  size_t count = std::min(max, rx_.size());
  if (!markers_.empty()) count = std::min<size_t>(count, markers_.front().position - rxTaken_);
  if (count == 0) return std::nullopt;
  InPacket packet{std::vector<uint8_t>(rx_.begin(), rx_.begin() + count), false};
  rx_.erase(rx_.begin(), rx_.begin() + count);
  rxTaken_ += count;
  ReceiveDrained();
  return packet;
}

void SerialChannel::ClearReceive() {
  rxTaken_ += rx_.size();
  rx_.clear();
  // Markers stay, in order, right after whatever was dropped.
  for (auto& marker : markers_) marker.position = std::max(marker.position, rxTaken_);
  ReceiveDrained();
}

void SerialChannel::ReceiveDrained() {
  if (throttled_ && rx_.size() <= kReceiveLowWater) {
    throttled_ = false;
    ApplyReceiveFlow();
  }
}

void SerialChannel::ApplyReceiveFlow() {
  const bool wantStopped = open_ && throttled_ && settings_.SendsXoff();
  if (wantStopped && !xoffSent_) {
    control_ = settings_.xoffChar;
    xoffSent_ = true;
    uart_.Kick();
  } else if (!wantStopped && xoffSent_) {
    // An XOFF that never left is simply withdrawn.
    if (control_ == settings_.xoffChar) control_.reset();
    else control_ = settings_.xonChar;
    xoffSent_ = false;
    uart_.Kick();
  }
  UpdateRts();
}

bool SerialChannel::RtsLevel() const {
  if (open_ && settings_.TransmitToggle()) return toggleActive_;
  if (open_ && settings_.RtsHandshake()) return !throttled_;
  return rtsWanted_;
}

void SerialChannel::UpdateRts() { uart_.SetRts(RtsLevel()); }

void SerialChannel::ReportLine(uint8_t bits) {
  lsrErrors_ |= bits;
  if (open_) host_.QueueEvent(port_, response::kLineStatusChanged, bits);
}

// ---- UART ---------------------------------------------------------------------------------

std::optional<uint8_t> SerialChannel::NextTransmitByte() {
  std::optional<uint8_t> next;
  if (control_) {
    // Flow control characters go out whatever holds the data back.
    next = control_;
    control_.reset();
  } else {
    if (tx_.empty()) return std::nullopt;
    const ModemInputs& in = uart_.Inputs();
    if (settings_.CtsHandshake() && !in.cts) return std::nullopt;
    if (settings_.DsrHandshake() && !in.dsr) return std::nullopt;
    if (settings_.ObeysXoff() && xoffReceived_) return std::nullopt;
    next = tx_.front();
    tx_.pop_front();
    ++counters_.transmitted;
    host_.TransmitRoomFreed(port_);
  }
  if (open_ && settings_.TransmitToggle() && !toggleActive_) {
    toggleActive_ = true;
    UpdateRts();
  }
  return next;
}

void SerialChannel::TransmitterIdle() {
  if (toggleActive_) {
    toggleActive_ = false;
    UpdateRts();
  }
}

void SerialChannel::CharacterReceived(const ReceivedFrame& frame) {
  if (!open_) {
    ++counters_.discardedWhileClosed;
    return;
  }
  if (frame.breakCondition) {
    // The zero character of a break is not data.
    ++counters_.breaks;
    ReportLine(kLsrBreak);
    return;
  }
  uint8_t errors = 0;
  if (frame.parityError) {
    ++counters_.parityErrors;
    errors |= kLsrParity;
  }
  if (frame.framingError) {
    ++counters_.framingErrors;
    errors |= kLsrFraming;
  }
  if (errors) ReportLine(errors);
  if (settings_.ObeysXoff() && !errors) {
    if (frame.value == settings_.xoffChar) {
      xoffReceived_ = true;
      return;
    }
    if (frame.value == settings_.xonChar) {
      xoffReceived_ = false;
      uart_.Kick();
      return;
    }
  }
  if (rx_.size() >= kReceiveBufferSize) {
    ++counters_.overruns;
    ReportLine(kLsrOverrun);
    return;
  }
  rx_.push_back(frame.value);
  ++counters_.received;
  if (!throttled_ && rx_.size() >= kReceiveHighWater) {
    throttled_ = true;
    ApplyReceiveFlow();
  }
  host_.ReceiveDataReady(port_);
}

void SerialChannel::ModemInputsChanged(const ModemInputs& before, const ModemInputs& now) {
  uint8_t changes = 0;
  if (before.cts != now.cts) changes |= kMsrDeltaCts;
  if (before.dsr != now.dsr) changes |= kMsrDeltaDsr;
  if (before.dcd != now.dcd) changes |= kMsrDeltaDcd;
  if (before.ri && !now.ri) changes |= kMsrTrailingEdgeRing;
  msrChanges_ |= changes;
  if (open_ && changes) {
    host_.QueueEvent(port_, response::kModemStatusChanged, uint8_t(ModemStatus() | msrChanges_));
    msrChanges_ = 0;
    modemReported_ = true;
  }
  if ((now.cts && !before.cts) || (now.dsr && !before.dsr)) uart_.Kick();
}

}  // namespace adapter_model
