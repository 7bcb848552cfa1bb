#include "adapter_model/uart.h"

namespace adapter_model {

Uart::Uart(std::string name)
    : port_(std::move(name)),
      receiver_([this] { return format_; },
                [this](const ReceivedFrame& frame) {
                  ++received_;
                  if (client_) client_->CharacterReceived(frame);
                }) {
  port_.onRxdChanged = [this] { receiver_.Listen(port_.Rxd()); };
  port_.onInputsChanged = [this](const ModemInputs& before) {
    if (client_) client_->ModemInputsChanged(before, port_.Inputs());
  };
}

Uart::~Uart() {
  // The connector outlives nothing of ours: stop it calling back while it is torn down.
  port_.onRxdChanged = nullptr;
  port_.onInputsChanged = nullptr;
  client_ = nullptr;
  receiver_.Listen(nullptr);
}

void Uart::SetBreak(bool on) {
  breakRequested_ = on;
  if (on) {
    settleAlarm_.Cancel();
    if (!transmitting_ && !breakOnLine_) {
      port_.Txd().Drive(Now(), false);
      breakOnLine_ = true;
    }
    return;
  }
  if (!breakOnLine_) return;
  port_.Txd().Drive(Now(), true);
  breakOnLine_ = false;
  settleAlarm_.After(format_.BitTime(), [this] { Kick(); });
}

void Uart::Kick() {
  // The client may kick while it is choosing the next byte; that choice is already coming.
  if (transmitting_ || choosing_ || breakOnLine_ || settleAlarm_.Pending()) return;
  StartNext();
}

void Uart::StartNext() {
  if (!client_) return;
  choosing_ = true;
  std::optional<uint8_t> next = client_->NextTransmitByte();
  choosing_ = false;
  if (!next) return;
  VirtualTime end = port_.Txd().DriveFrame(Now(), format_, *next);
  transmitting_ = true;
  transmitAlarm_.At(end, [this] { CharacterDone(); });
}

void Uart::CharacterDone() {
  transmitting_ = false;
  ++sent_;
  if (breakRequested_) {
    port_.Txd().Drive(Now(), false);
    breakOnLine_ = true;
    return;
  }
  StartNext();
  if (!transmitting_ && client_) client_->TransmitterIdle();
}

void Uart::Reset() {
  breakRequested_ = false;
  if (breakOnLine_) {
    port_.Txd().Drive(Now(), true);
    breakOnLine_ = false;
    settleAlarm_.After(format_.BitTime(), [this] { Kick(); });
  }
  format_ = LineFormat{};
  port_.SetOutputs(false, false);
  receiver_.Restart();
}

}  // namespace adapter_model
