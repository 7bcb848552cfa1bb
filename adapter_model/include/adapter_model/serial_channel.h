// The main firmware's handling of one serial port: its transmit and receive buffers between
// the USB endpoints and the UART, the port's settings, flow control both ways (RTS/CTS, DSR,
// XON/XOFF, transmit toggle), break, the DTR and RTS outputs, and the modem and line status
// it reports.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "adapter_model/protocol.h"
#include "adapter_model/uart.h"

namespace adapter_model {

// What a channel needs from the rest of the firmware.
class ChannelHost {
 public:
  virtual ~ChannelHost() = default;
  // A modem or line status event for the response endpoint.
  virtual void QueueEvent(uint8_t port, uint8_t flags, uint8_t value) = 0;
  // Received data or an echo marker is waiting for the data IN endpoint.
  virtual void ReceiveDataReady(uint8_t port) = 0;
  // The transmit buffer has room again for what waits at the data OUT endpoint.
  virtual void TransmitRoomFreed(uint8_t port) = 0;
};

class SerialChannel : public UartClient {
 public:
  // Two full packets, so that the host can have one in flight while one drains.
  static constexpr size_t kTransmitBufferSize = 128;
  static constexpr size_t kReceiveBufferSize = 256;
  // Receive flow control stops the far end at three quarters and lets it go at a quarter.
  static constexpr size_t kReceiveHighWater = 192;
  static constexpr size_t kReceiveLowWater = 64;

  SerialChannel(uint8_t port, Uart& uart, ChannelHost& host);
  ~SerialChannel() override;
  SerialChannel(const SerialChannel&) = delete;
  SerialChannel& operator=(const SerialChannel&) = delete;

  // ---- Commands
  // Open: buffers emptied, DTR and RTS raised, status reporting on.
  void Open();
  // Close: unsent and unread data dropped, DTR and RTS dropped, break off, reporting off.
  void Close();
  // False (settings kept) when the block holds a value out of range.
  bool Configure(std::span<const uint8_t> block);
  void SetRts(bool on);
  void SetDtr(bool on);
  void SetBreak(bool on);
  void PurgeReceive();
  void PurgeTransmit();
  // The 7-byte status reply; reading it clears the reported changes and errors.
  std::vector<uint8_t> StatusReply();
  // Marker bytes to return on the data IN endpoint after the data received so far.
  void QueueEcho(std::vector<uint8_t> marker);

  // ---- Data path
  // Takes what fits in the transmit buffer; returns how many bytes were taken.
  size_t AcceptTransmit(std::span<const uint8_t> bytes);
  struct InPacket {
    std::vector<uint8_t> bytes;
    bool marker = false;
  };
  // Next packet for the data IN endpoint: up to `max` data bytes, never mixed with a
  // marker; nullopt when nothing waits.
  std::optional<InPacket> TakeReceivePacket(size_t max);

  // ---- State, for tests
  uint8_t Port() const { return port_; }
  bool IsOpen() const { return open_; }
  const PortSettings& Settings() const { return settings_; }
  size_t TransmitLevel() const { return tx_.size(); }
  size_t ReceiveLevel() const { return rx_.size(); }
  bool HeldByXoff() const { return xoffReceived_; }
  bool ReceiveThrottled() const { return throttled_; }
  bool XoffSent() const { return xoffSent_; }
  uint8_t ModemStatus() const;  // the states, without change bits

  struct Counters {
    uint64_t transmitted = 0;         // bytes handed to the UART
    uint64_t received = 0;            // bytes stored for the host
    uint64_t overruns = 0;            // bytes lost to a full receive buffer
    uint64_t parityErrors = 0;
    uint64_t framingErrors = 0;
    uint64_t breaks = 0;
    uint64_t discardedWhileClosed = 0;
    uint64_t rejectedConfigurations = 0;
  };
  const Counters& Stats() const { return counters_; }

  // ---- UartClient
  std::optional<uint8_t> NextTransmitByte() override;
  void TransmitterIdle() override;
  void CharacterReceived(const ReceivedFrame& frame) override;
  void ModemInputsChanged(const ModemInputs& before, const ModemInputs& now) override;

 private:
  struct Marker {
    uint64_t position;  // receive stream offset it follows
    std::vector<uint8_t> bytes;
  };

  void ReportLine(uint8_t bits);
  void ClearReceive();
  void ReceiveDrained();
  void ApplyReceiveFlow();
  bool RtsLevel() const;
  void UpdateRts();

  uint8_t port_;
  Uart& uart_;
  ChannelHost& host_;
  PortSettings settings_;
  bool open_ = false;

  std::deque<uint8_t> tx_;
  std::optional<uint8_t> control_;  // XON or XOFF going out ahead of the data
  bool xoffReceived_ = false;       // the far end told us to stop
  bool toggleActive_ = false;       // RTS raised for a transmission in toggle mode

  std::deque<uint8_t> rx_;
  uint64_t rxTaken_ = 0;  // stream offset of rx_.front()
  std::deque<Marker> markers_;
  bool throttled_ = false;  // above high water, not yet back to low water
  bool xoffSent_ = false;   // we told the far end to stop

  bool rtsWanted_ = false;  // RTS as commanded, when no mode owns it
  uint8_t msrChanges_ = 0;  // change bits not yet reported
  uint8_t lsrErrors_ = 0;   // errors since the last status reply
  bool modemReported_ = false;
  Counters counters_;
};

}  // namespace adapter_model
