// A serial device a test drives through one port's connector: it sends characters (clean,
// with parity or framing errors), breaks and pauses in its own line format, drives the
// port's CTS, DSR, DCD and RI, and records every character the port transmitted and every
// change of the port's RTS and DTR, with virtual timestamps.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "adapter_model/cable.h"

namespace adapter_model {

class ScriptedPeer : public Cable {
 public:
  struct OutputChange {
    VirtualTime time;
    bool rts;
    bool dtr;
  };

  explicit ScriptedPeer(Connector& port, LineFormat format = {});
  ~ScriptedPeer() override;

  // ---- What the peer sends: queued, sent back to back in order.
  // The format applies to characters started and sampled from now on.
  void SetFormat(const LineFormat& format) { format_ = format; }
  const LineFormat& Format() const { return format_; }
  void Send(std::span<const uint8_t> bytes);
  void Send(std::string_view text);
  void SendWithParityError(uint8_t value);  // needs a format with parity to mean anything
  void SendWithFramingError(uint8_t value);
  void SendBreak(VirtualTime duration);
  void Pause(VirtualTime duration);
  bool Idle() const { return queue_.empty() && !alarm_.Pending(); }
  uint64_t CharactersSent() const { return sent_; }

  // ---- The port's modem inputs, as this peer drives them.
  void SetCts(bool on);
  void SetDsr(bool on);
  void SetDcd(bool on);
  void SetRing(bool on);
  void SetModemLines(const ModemInputs& lines);
  const ModemInputs& ModemLines() const { return lines_; }

  // ---- Flow control the peer obeys; both off unless asked for.
  // With RTS obeyed the peer starts no character while the port's RTS is off.
  void ObeyRts(bool on);
  // With XON/XOFF obeyed a received XOFF stops the peer between characters, XON resumes it.
  void ObeyXonXoff(bool on, uint8_t xon = 0x11, uint8_t xoff = 0x13);
  bool HeldByXoff() const { return xoffHeld_; }

  // ---- What the port did.
  const std::vector<ReceivedFrame>& Received() const { return received_; }
  std::vector<uint8_t> ReceivedBytes() const;
  std::string ReceivedText() const;
  void ClearReceived() { received_.clear(); }
  bool PortRts() const { return port_ && port_->Rts(); }
  bool PortDtr() const { return port_ && port_->Dtr(); }
  // The port's TxD is at space now (a break, or the middle of a character).
  bool PortTxdSpace() const { return port_ && !port_->Txd().LevelAt(Now()); }
  const std::vector<OutputChange>& OutputHistory() const { return outputs_; }

 private:
  struct Item {
    enum class Kind { Character, Break, Pause } kind;
    uint8_t value = 0;
    FrameFlaw flaw = FrameFlaw::None;
    VirtualTime duration = 0;
  };

  void OutputsChanged(Connector& connector) override;
  void ConnectorGone(Connector& connector) override;
  void Enqueue(Item item);
  void Pump();
  void Received(const ReceivedFrame& frame);

  Connector* port_;
  LineFormat format_;
  SerialLine txd_;
  Receiver receiver_;
  ModemInputs lines_;
  std::deque<Item> queue_;
  Alarm alarm_;
  uint64_t sent_ = 0;
  bool obeyRts_ = false;
  bool obeyXonXoff_ = false;
  uint8_t xon_ = 0x11;
  uint8_t xoff_ = 0x13;
  bool xoffHeld_ = false;
  std::vector<ReceivedFrame> received_;
  std::vector<OutputChange> outputs_;
};

}  // namespace adapter_model
