// The wire protocol between the host driver and the adapter's main firmware: endpoints,
// command and response blocks, the modem and line status bits, and the per-port
// configuration block of command 3.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "adapter_model/wire.h"

namespace adapter_model {

constexpr int kPortCount = 4;
constexpr size_t kPacketSize = 64;

// Port n (1 to 4) has its data pair; then the response and command endpoints.
constexpr uint8_t DataInEndpoint(int port) { return uint8_t(0x80 | port); }
constexpr uint8_t DataOutEndpoint(int port) { return uint8_t(port); }
constexpr uint8_t kResponseEndpoint = 0x87;
constexpr uint8_t kCommandEndpoint = 0x07;

namespace command {
constexpr uint8_t kOpen = 1;
constexpr uint8_t kClose = 2;
constexpr uint8_t kConfigure = 3;
constexpr uint8_t kSetRts = 4;
constexpr uint8_t kSetDtr = 5;
constexpr uint8_t kSetBreak = 6;
constexpr uint8_t kStatus = 8;
constexpr uint8_t kPurge = 9;
constexpr uint8_t kEcho = 14;
constexpr uint8_t kPurgeReceive = 1;
constexpr uint8_t kPurgeTransmit = 2;
}  // namespace command

namespace response {
constexpr uint8_t kStatus = 8;        // 8, port, flags, modem, line, receive level, transmit level
constexpr uint8_t kEvent = 13;        // 13, port, flags, value
constexpr uint8_t kCommandDone = 16;  // 16, command code, port
constexpr uint8_t kModemStatusChanged = 0x01;
constexpr uint8_t kLineStatusChanged = 0x02;
}  // namespace response

// Modem status, laid out as a 16550's MSR: changes since the last report, then the states.
constexpr uint8_t kMsrDeltaCts = 0x01;
constexpr uint8_t kMsrDeltaDsr = 0x02;
constexpr uint8_t kMsrTrailingEdgeRing = 0x04;
constexpr uint8_t kMsrDeltaDcd = 0x08;
constexpr uint8_t kMsrCts = 0x10;
constexpr uint8_t kMsrDsr = 0x20;
constexpr uint8_t kMsrRing = 0x40;
constexpr uint8_t kMsrDcd = 0x80;

// Line status, laid out as a 16550's LSR.
constexpr uint8_t kLsrDataReady = 0x01;
constexpr uint8_t kLsrOverrun = 0x02;
constexpr uint8_t kLsrParity = 0x04;
constexpr uint8_t kLsrFraming = 0x08;
constexpr uint8_t kLsrBreak = 0x10;
constexpr uint8_t kLsrTransmitHoldingEmpty = 0x20;
constexpr uint8_t kLsrTransmitterEmpty = 0x40;

// Handshake byte of the configuration block. The letter 'n' (what the host sends until a
// handshake is set) means none; any other value is read as these bits.
constexpr uint8_t kHandshakeToggle = 0x01;
constexpr uint8_t kHandshakeCts = 0x08;
constexpr uint8_t kHandshakeDsr = 0x10;
constexpr uint8_t kHandshakeRts = 0x80;
constexpr uint8_t kHandshakeNoneLetter = 'n';

// The UART's baud generator: rates are 460800 divided by a whole divisor.
constexpr uint32_t kBaudClock = 460800;
constexpr uint32_t kMaxDivisor = 0xFFFF;

constexpr size_t kConfigBlockSize = 13;

// One port's settings as command 3 gives them.
struct PortSettings {
  LineFormat format;
  char flow = 'n';  // 'b' both, 't' obey XOFF, 'r' send XOFF, 'n' none
  uint8_t xoffChar = 0x13;
  uint8_t xonChar = 0x11;
  uint8_t handshake = kHandshakeNoneLetter;

  bool ObeysXoff() const { return flow == 'b' || flow == 't'; }
  bool SendsXoff() const { return flow == 'b' || flow == 'r'; }
  bool Has(uint8_t bit) const { return handshake != kHandshakeNoneLetter && (handshake & bit); }
  bool RtsHandshake() const { return !TransmitToggle() && Has(kHandshakeRts); }
  bool CtsHandshake() const { return Has(kHandshakeCts); }
  bool DsrHandshake() const { return Has(kHandshakeDsr); }
  bool TransmitToggle() const { return Has(kHandshakeToggle); }
};

// The 13-byte block: port, baud (little-endian), data bits, stop code, parity letter, flow
// letter, XOFF, XON, handshake, zero. Nullopt when a field is out of range; the baud rate is
// rounded to what the divisor can make.
std::optional<PortSettings> DecodePortConfig(std::span<const uint8_t> block);
std::vector<uint8_t> EncodePortConfig(uint8_t port, const PortSettings& settings);
// The rate the baud generator makes for a requested one (0 for 0).
uint32_t AchievableBaud(uint32_t requested);

}  // namespace adapter_model
