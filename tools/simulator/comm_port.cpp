// CommPort over kernel32 (win32_port.cpp), in the simulator's own application tasks.
#include "comm_port.h"

#include <type_traits>

#include "simkernel/machine.h"
#include "simkernel/ntddser.h"
#include "win32_port.h"

namespace simulator {
namespace {

template <class T>
std::vector<uint8_t> BytesOf(const T& value) {
  const auto* first = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(first, first + sizeof(T));
}

// A call from the controlling thread (the traffic's purge of a port whose task is stuck) runs
// in a task of its own, where kernel32 can block.
template <class F>
auto InTask(F&& call) {
  using R = std::invoke_result_t<F>;
  if (!sim::Machine::Exists() || sim::Machine::Current().CurrentTask() != nullptr) return call();
  R result{};
  sim::Machine::Current().RunTask("comm port", [&] { result = call(); });
  return result;
}

// The NTSTATUS behind a Win32 error this machine's driver stack produces.
NTSTATUS StatusOf(uint32_t error) {
  switch (error) {
    case 0: return STATUS_SUCCESS;
    case 1: return STATUS_INVALID_DEVICE_REQUEST;    // ERROR_INVALID_FUNCTION
    case 2: return STATUS_OBJECT_NAME_NOT_FOUND;     // ERROR_FILE_NOT_FOUND
    case 3: return STATUS_OBJECT_PATH_NOT_FOUND;     // ERROR_PATH_NOT_FOUND
    case 5: return STATUS_ACCESS_DENIED;             // ERROR_ACCESS_DENIED
    case 6: return STATUS_INVALID_HANDLE;            // ERROR_INVALID_HANDLE
    case 8: return STATUS_NO_MEMORY;                 // ERROR_NOT_ENOUGH_MEMORY
    case 21: return STATUS_DEVICE_NOT_CONNECTED;     // ERROR_NOT_READY
    case 22: return STATUS_INVALID_DEVICE_STATE;     // ERROR_BAD_COMMAND
    case 50: return STATUS_NOT_SUPPORTED;            // ERROR_NOT_SUPPORTED
    case 87: return STATUS_INVALID_PARAMETER;        // ERROR_INVALID_PARAMETER
    case 122: return STATUS_BUFFER_TOO_SMALL;        // ERROR_INSUFFICIENT_BUFFER
    case 170: return STATUS_DEVICE_BUSY;             // ERROR_BUSY
    case 995: return STATUS_CANCELLED;               // ERROR_OPERATION_ABORTED
    case 1450: return STATUS_INSUFFICIENT_RESOURCES; // ERROR_NO_SYSTEM_RESOURCES
    default: return STATUS_UNSUCCESSFUL;
  }
}

// Lives as long as the machine it is made in.
struct MachineToken {
  std::shared_ptr<int> alive = std::make_shared<int>(0);
};

std::weak_ptr<void> CurrentMachine() { return sim::Machine::Current().State<MachineToken>().alive; }

std::shared_ptr<win32::Transfer> Own(win32::Transfer* transfer) {
  return std::shared_ptr<win32::Transfer>(transfer, [](win32::Transfer* t) {
    const bool running = sim::Machine::Exists();
    InTask([&] {
      win32::Release(t, running);
      return 0;
    });
  });
}

}  // namespace

const char* HandshakeName(Handshake handshake) {
  switch (handshake) {
    case Handshake::RtsCts: return "RTS/CTS";
    case Handshake::XonXoff: return "XON/XOFF";
    default: return "none";
  }
}

std::string LineSettings::Text() const {
  return std::to_string(baud) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits) + " " +
         HandshakeName(handshake);
}

double LineSettings::LineBytesPerSecond() const {
  const double bits = 1.0 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
  return baud / bits;
}

bool PendingIo::Done() const { return transfer_ && win32::Done(*transfer_); }

bool PendingIo::Cancel() {
  return transfer_ && InTask([&] { return win32::Cancel(*transfer_); });
}

IoOutcome PendingIo::Wait() {
  IoOutcome outcome;
  if (!transfer_) return outcome;
  outcome.status = InTask([&] { return win32::Wait(*transfer_, &outcome.transferred, &outcome.data); });
  return outcome;
}

std::unique_ptr<CommPort> CommPort::Open(std::string_view comName, NTSTATUS* status) {
  const std::string name(comName);
  uint32_t error = 0;
  void* handle = InTask([&] { return win32::Open(name, &error); });
  *status = StatusOf(error);
  if (handle == nullptr) {
    if (NT_SUCCESS(*status)) *status = STATUS_UNSUCCESSFUL;
    return nullptr;
  }
  return std::unique_ptr<CommPort>(new CommPort(name, handle, CurrentMachine()));
}

void* CommPort::Handle() const { return machine_.expired() ? nullptr : handle_; }

CommPort::~CommPort() { Close(); }

NTSTATUS CommPort::Configure(const LineSettings& settings) {
  void* handle = Handle();
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  win32::Line line{settings.baud,
                   settings.dataBits,
                   settings.parity,
                   settings.stopBits,
                   settings.handshake == Handshake::RtsCts,
                   settings.handshake == Handshake::XonXoff,
                   kXon,
                   kXoff,
                   1024,
                   1024};
  return StatusOf(InTask([&] { return win32::SetLine(handle, line); }));
}

NTSTATUS CommPort::SetTimeouts(const Timeouts& timeouts) {
  void* handle = Handle();
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  const uint32_t values[5] = {timeouts.readInterval, timeouts.readMultiplier, timeouts.readConstant,
                              timeouts.writeMultiplier, timeouts.writeConstant};
  return StatusOf(InTask([&] { return win32::SetTimeouts(handle, values); }));
}

NTSTATUS CommPort::Purge() {
  void* handle = Handle();
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  return StatusOf(InTask([&] { return win32::PurgeAll(handle); }));
}

CommErrors CommPort::ClearErrors() {
  CommErrors errors;
  void* handle = Handle();
  if (handle == nullptr) {
    errors.status = STATUS_INVALID_HANDLE;
    return errors;
  }
  uint32_t ce = 0;
  errors.status = StatusOf(InTask([&] { return win32::ReadErrors(handle, &ce, &errors.inQueue, &errors.outQueue); }));
  static constexpr std::pair<uint32_t, uint32_t> kBits[] = {
      {win32::kCeBreak, SERIAL_ERROR_BREAK},     {win32::kCeFrame, SERIAL_ERROR_FRAMING},
      {win32::kCeOverrun, SERIAL_ERROR_OVERRUN}, {win32::kCeRxOver, SERIAL_ERROR_QUEUEOVERRUN},
      {win32::kCeRxParity, SERIAL_ERROR_PARITY}};
  for (auto [ceBit, serialBit] : kBits)
    if (ce & ceBit) errors.errors |= serialBit;
  return errors;
}

PendingIo CommPort::Write(std::span<const uint8_t> data) {
  void* handle = Handle();
  if (handle == nullptr) return PendingIo();
  return PendingIo(Own(InTask([&] { return win32::StartWrite(handle, data); })));
}

PendingIo CommPort::Read(uint32_t length) {
  void* handle = Handle();
  if (handle == nullptr) return PendingIo();
  return PendingIo(Own(InTask([&] { return win32::StartRead(handle, length); })));
}

NTSTATUS CommPort::Close() {
  if (handle_ == nullptr) return STATUS_SUCCESS;
  void* handle = Handle();
  handle_ = nullptr;
  // A port outliving its machine has nothing left to close.
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  return StatusOf(InTask([&] { return win32::Close(handle); }));
}

}  // namespace simulator
