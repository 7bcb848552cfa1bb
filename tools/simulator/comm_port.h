// What the simulator's applications do with a COM port: open it by name, set the line, the
// handshake and the timeouts, read and write with requests left pending (overlapped I/O), read
// and clear the error flags, close. Only this file and comm_port.cpp know how the requests
// reach the driver: through kernel32's comm API, as a Win32 program on the machine would.
// Calls are made from an application task of the simulated machine; one made from the
// controlling thread runs in a fresh application task until it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simkernel/io.h"

namespace simulator {

namespace win32 {
struct Transfer;
}

enum class Handshake { None, RtsCts, XonXoff };
const char* HandshakeName(Handshake handshake);  // "none", "RTS/CTS", "XON/XOFF"

inline constexpr uint8_t kXon = 0x11;
inline constexpr uint8_t kXoff = 0x13;

struct LineSettings {
  uint32_t baud = 9600;
  uint8_t dataBits = 8;
  char parity = 'N';  // N, O, E, M, S
  uint8_t stopBits = 1;
  Handshake handshake = Handshake::None;
  std::string Text() const;  // "115200 8N1 RTS/CTS"
  // Characters per second the line carries at most (start, data, parity and stop bits).
  double LineBytesPerSecond() const;
};

// The five values of COMMTIMEOUTS, in milliseconds; kForever is MAXDWORD.
struct Timeouts {
  static constexpr uint32_t kForever = 0xFFFFFFFF;
  uint32_t readInterval = 0;
  uint32_t readMultiplier = 0;
  uint32_t readConstant = 0;
  uint32_t writeMultiplier = 0;
  uint32_t writeConstant = 0;
};

struct IoOutcome {
  NTSTATUS status = STATUS_PENDING;
  uint32_t transferred = 0;
  std::vector<uint8_t> data;  // what a read returned
};

// A read or write in flight.
class PendingIo {
 public:
  PendingIo() = default;
  explicit PendingIo(std::shared_ptr<win32::Transfer> transfer) : transfer_(std::move(transfer)) {}
  bool Valid() const { return transfer_ != nullptr; }
  bool Done() const;
  // Blocks the calling task until it is done.
  IoOutcome Wait();
  bool Cancel();

 private:
  std::shared_ptr<win32::Transfer> transfer_;
};

// Line errors and queue state, as ClearCommError returns them.
struct CommErrors {
  NTSTATUS status = STATUS_PENDING;
  uint32_t errors = 0;  // SERIAL_ERROR_* bits (from ClearCommError's CE_* bits)
  uint32_t inQueue = 0;
  uint32_t outQueue = 0;
};

class CommPort {
 public:
  // "COM7": the name the port's DOS device link carries. Null and *status set on failure.
  static std::unique_ptr<CommPort> Open(std::string_view comName, NTSTATUS* status);
  ~CommPort();  // closes if still open
  CommPort(const CommPort&) = delete;
  CommPort& operator=(const CommPort&) = delete;

  const std::string& Name() const { return name_; }
  // Baud rate, line control, special characters and handshake; the first failing status, or
  // STATUS_SUCCESS.
  NTSTATUS Configure(const LineSettings& settings);
  NTSTATUS SetTimeouts(const Timeouts& timeouts);
  NTSTATUS Purge();  // aborts pending reads and writes and empties both queues
  CommErrors ClearErrors();
  PendingIo Write(std::span<const uint8_t> data);
  PendingIo Read(uint32_t length);
  NTSTATUS Close();

 private:
  CommPort(std::string name, void* handle, std::weak_ptr<void> machine)
      : name_(std::move(name)), handle_(handle), machine_(std::move(machine)) {}
  // The handle while the machine it was opened on is up: a later machine's process may have
  // given the same number to another object.
  void* Handle() const;

  std::string name_;
  void* handle_ = nullptr;  // the Win32 HANDLE
  std::weak_ptr<void> machine_;
};

}  // namespace simulator
