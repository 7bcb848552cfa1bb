#include "adapter_model/protocol.h"

namespace adapter_model {

uint32_t AchievableBaud(uint32_t requested) {
  if (requested == 0) return 0;
  uint64_t divisor = (uint64_t(kBaudClock) + requested / 2) / requested;
  if (divisor < 1) divisor = 1;
  if (divisor > kMaxDivisor) divisor = kMaxDivisor;
  return uint32_t((kBaudClock + divisor / 2) / divisor);
}

std::optional<PortSettings> DecodePortConfig(std::span<const uint8_t> block) {
  if (block.size() < kConfigBlockSize) return std::nullopt;
  PortSettings s;
  const uint32_t baud = uint32_t(block[1]) | uint32_t(block[2]) << 8 | uint32_t(block[3]) << 16 | uint32_t(block[4]) << 24;
  if (baud == 0) return std::nullopt;
  s.format.baud = AchievableBaud(baud);

  const uint8_t dataBits = block[5];
  if (dataBits < 5 || dataBits > 8) return std::nullopt;
  s.format.dataBits = dataBits;

  switch (block[6]) {
    case 1: s.format.stopBits = StopBits::One; break;
    case 2: s.format.stopBits = dataBits == 5 ? StopBits::OneAndHalf : StopBits::Two; break;
    default: return std::nullopt;
  }
  switch (block[7]) {
    case 'n': s.format.parity = Parity::None; break;
    case 'o': s.format.parity = Parity::Odd; break;
    case 'e': s.format.parity = Parity::Even; break;
    case '1': s.format.parity = Parity::Mark; break;
    case '0': s.format.parity = Parity::Space; break;
    default: return std::nullopt;
  }
  switch (block[8]) {
    case 'b': case 't': case 'r': case 'n': s.flow = char(block[8]); break;
    default: return std::nullopt;
  }
  s.xoffChar = block[9];
  s.xonChar = block[10];
  s.handshake = block[11];
  return s;
}

std::vector<uint8_t> EncodePortConfig(uint8_t port, const PortSettings& s) {
  static const uint8_t kParity[] = {'n', 'o', 'e', '1', '0'};
  const uint32_t baud = s.format.baud;
  return {port,
          uint8_t(baud),
          uint8_t(baud >> 8),
          uint8_t(baud >> 16),
          uint8_t(baud >> 24),
          s.format.dataBits,
          uint8_t(s.format.stopBits == StopBits::One ? 1 : 2),
          kParity[int(s.format.parity)],
          uint8_t(s.flow),
          s.xoffChar,
          s.xonChar,
          s.handshake,
          0};
}

}  // namespace adapter_model
