// One of the board's four UARTs: a transmitter that puts each character on TxD for its
// real time on the wire, a receiver sampling RxD, break, the RTS and DTR outputs and the
// CTS, DSR, DCD and RI inputs, all at its connector. The UART has no buffer of its own: it
// asks its client (the firmware) for each next byte and hands over each received one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "adapter_model/cable.h"

namespace adapter_model {

class UartClient {
 public:
  virtual ~UartClient() = default;
  // The transmitter is free: the byte to send now, or nullopt to stay idle until Kick.
  virtual std::optional<uint8_t> NextTransmitByte() = 0;
  // The last stop bit went out and nothing followed it.
  virtual void TransmitterIdle() = 0;
  virtual void CharacterReceived(const ReceivedFrame& frame) = 0;
  virtual void ModemInputsChanged(const ModemInputs& before, const ModemInputs& now) = 0;
};

class Uart {
 public:
  explicit Uart(std::string name);
  ~Uart();
  Uart(const Uart&) = delete;
  Uart& operator=(const Uart&) = delete;

  Connector& Port() { return port_; }
  const Connector& Port() const { return port_; }
  void SetClient(UartClient* client) { client_ = client; }

  // Applies from the next character each way; a character on the wire keeps its format.
  void Configure(const LineFormat& format) { format_ = format; }
  const LineFormat& Format() const { return format_; }

  void SetRts(bool on) { port_.SetOutputs(on, port_.Dtr()); }
  void SetDtr(bool on) { port_.SetOutputs(port_.Rts(), on); }
  // Both at once, as one write of the modem control register.
  void SetOutputs(bool rts, bool dtr) { port_.SetOutputs(rts, dtr); }
  bool Rts() const { return port_.Rts(); }
  bool Dtr() const { return port_.Dtr(); }
  const ModemInputs& Inputs() const { return port_.Inputs(); }

  // Break holds TxD at space. It starts once the character on the wire has ended; after it
  // the line stays at mark for one bit time before the next character.
  void SetBreak(bool on);
  bool BreakRequested() const { return breakRequested_; }
  bool BreakOnLine() const { return breakOnLine_; }

  // The client has something to send, or a hold on sending was lifted.
  void Kick();
  bool Transmitting() const { return transmitting_; }

  // Board reset: outputs off, break off, format back to 9600 8N1. A character already on
  // the wire still ends normally.
  void Reset();

  uint64_t CharactersSent() const { return sent_; }
  uint64_t CharactersReceived() const { return received_; }

 private:
  void StartNext();
  void CharacterDone();

  Connector port_;
  Receiver receiver_;
  LineFormat format_;
  UartClient* client_ = nullptr;
  Alarm transmitAlarm_;  // end of the character on the wire
  Alarm settleAlarm_;    // mark after a break
  bool transmitting_ = false;
  bool choosing_ = false;  // asking the client for the next byte
  bool breakRequested_ = false;
  bool breakOnLine_ = false;
  uint64_t sent_ = 0;
  uint64_t received_ = 0;
};

}  // namespace adapter_model
