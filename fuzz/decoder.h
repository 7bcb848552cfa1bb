// The fuzz input's format: byte 0 picks the machine's seed (the interleaving), then up to
// kMaxSteps steps, each an opcode byte and its operands. Every read past the end gives zeros,
// so any byte string is a valid input. Multi-byte numbers are little-endian.
//
//   op % 16   step              operands
//   0..6      serial ioctl      function, method, flags, input length (4), output length (4), input
//   7         any ioctl         code (4), flags, input length (4), output length (4), input
//   8         internal ioctl    kind (bit 0: any code), then as the serial or any ioctl
//   9         write             flags, length (4), data
//   10        read              flags, length (4)
//   11        time              span: bit 7 clear: n ms, set: (n & 127) x 10 ms
//   12        cancel            index among the requests issued so far
//   13        await             index, as cancel
//   14        close and reopen
//   15        loopback plug     pulled out, or put back in
//
// A serial code is function % 41 of the serial device type (0x001B0000..0x001B00A0), with
// METHOD_BUFFERED and any access unless the method byte has its two top bits set, when its
// low four bits give the method and access. Flags bit 0: the step waits for the request to
// complete (a quarter of a second at most); clear, it is left pending. A length above 300
// is taken modulo 301. Lengths are as wide as the driver's: a length the driver compares
// against is found in the input as is, which libFuzzer's comparison tracing puts to use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simkernel/wdm.h"

namespace fuzz {

inline constexpr size_t kMaxSteps = 16;
inline constexpr ULONG kMaxLength = 300;
inline constexpr ULONG kSerialFunctions = 41;

enum class Op { SerialIoctl, AnyIoctl, InternalIoctl, Write, Read, Time, Cancel, Await, Reopen, Cable };

struct Ioctl {
  ULONG code = 0;
  bool wait = false;
  std::vector<uint8_t> input;
  ULONG outputLength = 0;
};

inline uint64_t SeedOf(const uint8_t* data, size_t size) { return 20240601u + (size > 0 ? data[0] : 0); }

inline ULONG SerialCode(uint8_t function, uint8_t method) {
  const ULONG transfer = (method & 0xC0) == 0xC0 ? method & 3u : ULONG(METHOD_BUFFERED);
  const ULONG access = (method & 0xC0) == 0xC0 ? (method >> 2) & 3u : ULONG(FILE_ANY_ACCESS);
  return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function % kSerialFunctions, transfer, access);
}

class Decoder {
 public:
  Decoder(const uint8_t* data, size_t size) : data_(data), size_(size), at_(size > 0 ? 1 : 0) {}

  bool Empty() const { return at_ >= size_; }

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | uint32_t(U16()) << 16;
  }
  std::vector<uint8_t> Take(size_t count) {
    std::vector<uint8_t> bytes(count, 0);
    for (auto& b : bytes) b = Byte();
    return bytes;
  }
  ULONG Length() {
    const ULONG value = U32();
    return value <= kMaxLength ? value : value % (kMaxLength + 1);
  }

  Op NextOp() {
    const uint8_t op = Byte() % 16;
    if (op <= 6) return Op::SerialIoctl;
    switch (op) {
      case 7: return Op::AnyIoctl;
      case 8: return Op::InternalIoctl;
      case 9: return Op::Write;
      case 10: return Op::Read;
      case 11: return Op::Time;
      case 12: return Op::Cancel;
      case 13: return Op::Await;
      case 14: return Op::Reopen;
      default: return Op::Cable;
    }
  }

  Ioctl NextIoctl(bool anyCode) {
    Ioctl request;
    if (anyCode) {
      request.code = U32();
    } else {
      const uint8_t function = Byte();
      request.code = SerialCode(function, Byte());
    }
    request.wait = Byte() & 1;
    const ULONG inputLength = Length();
    request.outputLength = Length();
    request.input = Take(inputLength);
    return request;
  }

  // Virtual time to let pass.
  int64_t Span() {
    const uint8_t n = Byte();
    constexpr int64_t kMs = 10'000;
    return n & 0x80 ? int64_t(n & 0x7F) * 10 * kMs : int64_t(n) * kMs;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_;
};

}  // namespace fuzz
