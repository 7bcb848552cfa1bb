// The port through the simulated I/O manager: IRP_MJ_CREATE on "\DosDevices\COMn", the serial
// requests a Win32 comm layer sends for each call, reads and writes as asynchronous IRPs.
#include "comm_port.h"

#include <cstring>

#include "simkernel/ntddser.h"

namespace simulator {
namespace {

template <class T>
std::vector<uint8_t> BytesOf(const T& value) {
  const auto* first = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(first, first + sizeof(T));
}

UCHAR ParityCode(char parity) {
  switch (parity) {
    case 'O': return ODD_PARITY;
    case 'E': return EVEN_PARITY;
    case 'M': return MARK_PARITY;
    case 'S': return SPACE_PARITY;
    default: return NO_PARITY;
  }
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

IoOutcome PendingIo::Wait() {
  IoOutcome outcome;
  if (!request_.Valid()) return outcome;
  sim::io::Result result = request_.Wait();
  outcome.status = result.status;
  outcome.transferred = static_cast<uint32_t>(result.information);
  outcome.data = std::move(result.output);
  return outcome;
}

std::unique_ptr<CommPort> CommPort::Open(std::string_view comName, NTSTATUS* status) {
  std::u16string link = u"\\DosDevices\\";
  for (char c : comName) link += static_cast<char16_t>(c);
  PFILE_OBJECT file = nullptr;
  *status = sim::io::Open(link, &file);
  if (!NT_SUCCESS(*status) || file == nullptr) return nullptr;
  return std::unique_ptr<CommPort>(new CommPort(std::string(comName), file));
}

CommPort::~CommPort() { Close(); }

NTSTATUS CommPort::Control(ULONG code, std::span<const uint8_t> input) {
  if (file_ == nullptr) return STATUS_INVALID_HANDLE;
  return sim::io::DeviceControl(file_, code, input, 0).status;
}

NTSTATUS CommPort::Configure(const LineSettings& settings) {
  SERIAL_BAUD_RATE rate{settings.baud};
  SERIAL_LINE_CONTROL line{};
  line.WordLength = settings.dataBits;
  line.Parity = ParityCode(settings.parity);
  line.StopBits = settings.stopBits == 2 ? STOP_BITS_2 : STOP_BIT_1;
  SERIAL_CHARS chars{};
  chars.XonChar = kXon;
  chars.XoffChar = kXoff;
  // DTR stays on for the whole session, as a comm program keeps it.
  SERIAL_HANDFLOW flow{};
  flow.ControlHandShake = SERIAL_DTR_CONTROL;
  flow.FlowReplace = 0;
  if (settings.handshake == Handshake::RtsCts) {
    flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    flow.FlowReplace |= SERIAL_RTS_HANDSHAKE;
  } else {
    flow.FlowReplace |= SERIAL_RTS_CONTROL;
    if (settings.handshake == Handshake::XonXoff) flow.FlowReplace |= SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
  }
  flow.XonLimit = 1024;
  flow.XoffLimit = 1024;
  for (auto [code, input] : {std::pair{IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(rate)},
                             std::pair{IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line)},
                             std::pair{IOCTL_SERIAL_SET_CHARS, BytesOf(chars)},
                             std::pair{IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow)}}) {
    const NTSTATUS status = Control(code, input);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CommPort::SetTimeouts(const Timeouts& timeouts) {
  SERIAL_TIMEOUTS value{timeouts.readInterval, timeouts.readMultiplier, timeouts.readConstant,
                        timeouts.writeMultiplier, timeouts.writeConstant};
  return Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(value));
}

NTSTATUS CommPort::Purge() {
  const ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  return Control(IOCTL_SERIAL_PURGE, BytesOf(mask));
}

CommErrors CommPort::ClearErrors() {
  CommErrors errors;
  if (file_ == nullptr) {
    errors.status = STATUS_INVALID_HANDLE;
    return errors;
  }
  sim::io::Result result = sim::io::DeviceControl(file_, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  errors.status = result.status;
  if (NT_SUCCESS(result.status) && result.output.size() >= sizeof(SERIAL_STATUS)) {
    SERIAL_STATUS status;
    std::memcpy(&status, result.output.data(), sizeof status);
    errors.errors = status.Errors;
    errors.inQueue = status.AmountInInQueue;
    errors.outQueue = status.AmountInOutQueue;
  }
  return errors;
}

PendingIo CommPort::Write(std::span<const uint8_t> data) {
  if (file_ == nullptr) return PendingIo();
  return PendingIo(sim::io::WriteAsync(file_, data));
}

PendingIo CommPort::Read(uint32_t length) {
  if (file_ == nullptr) return PendingIo();
  return PendingIo(sim::io::ReadAsync(file_, length));
}

NTSTATUS CommPort::Close() {
  if (file_ == nullptr) return STATUS_SUCCESS;
  PFILE_OBJECT file = file_;
  file_ = nullptr;
  return sim::io::Close(file);
}

}  // namespace simulator
