// The port as a Win32 program drives it: CreateFileA with FILE_FLAG_OVERLAPPED, the DCB,
// COMMTIMEOUTS, overlapped ReadFile and WriteFile with an event each.
#include "win32_port.h"

#include <windows.h>

#include <algorithm>

namespace simulator::win32 {

static_assert(kCeRxOver == CE_RXOVER && kCeOverrun == CE_OVERRUN && kCeRxParity == CE_RXPARITY &&
              kCeFrame == CE_FRAME && kCeBreak == CE_BREAK);

namespace {

uint32_t Result(BOOL ok) { return ok ? 0 : GetLastError(); }

BYTE ParityCode(char parity) {
  switch (parity) {
    case 'O': return ODDPARITY;
    case 'E': return EVENPARITY;
    case 'M': return MARKPARITY;
    case 'S': return SPACEPARITY;
    default: return NOPARITY;
  }
}

}  // namespace

struct Transfer {
  HANDLE port = nullptr;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  std::vector<uint8_t> buffer;
};

Handle Open(const std::string& comName, uint32_t* error) {
  HANDLE port = CreateFileA(comName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  *error = 0;
  return port;
}

uint32_t SetLine(Handle port, const Line& line) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return GetLastError();
  dcb.BaudRate = line.baud;
  dcb.ByteSize = line.dataBits;
  dcb.Parity = ParityCode(line.parity);
  dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = dcb.Parity != NOPARITY;
  // DTR stays on for the whole session, as a comm program keeps it.
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fOutxCtsFlow = line.rtsCts;
  dcb.fRtsControl = line.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = line.xonXoff;
  dcb.fInX = line.xonXoff;
  dcb.fTXContinueOnXoff = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.XonChar = char(line.xon);
  dcb.XoffChar = char(line.xoff);
  dcb.XonLim = line.xonLimit;
  dcb.XoffLim = line.xoffLimit;
  return Result(SetCommState(port, &dcb));
}

uint32_t SetTimeouts(Handle port, const uint32_t (&values)[5]) {
  COMMTIMEOUTS timeouts{values[0], values[1], values[2], values[3], values[4]};
  return Result(SetCommTimeouts(port, &timeouts));
}

uint32_t PurgeAll(Handle port) {
  return Result(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
}

uint32_t ReadErrors(Handle port, uint32_t* ceErrors, uint32_t* inQueue, uint32_t* outQueue) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(port, &errors, &stat)) return GetLastError();
  *ceErrors = errors;
  *inQueue = stat.cbInQue;
  *outQueue = stat.cbOutQue;
  return 0;
}

uint32_t Close(Handle port) { return Result(CloseHandle(port)); }

namespace {

Transfer* Start(Handle port, bool read, std::vector<uint8_t> buffer) {
  auto* transfer = new Transfer;
  transfer->port = port;
  transfer->buffer = std::move(buffer);
  transfer->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  transfer->overlapped.hEvent = transfer->event;
  transfer->overlapped.Internal = STATUS_PENDING;
  BOOL ok;
  if (read)
    ok = ReadFile(port, transfer->buffer.data(), DWORD(transfer->buffer.size()), nullptr, &transfer->overlapped);
  else
    ok = WriteFile(port, transfer->buffer.data(), DWORD(transfer->buffer.size()), nullptr, &transfer->overlapped);
  const DWORD error = ok ? 0 : GetLastError();
  if (!ok && error != ERROR_IO_PENDING && transfer->overlapped.Internal == STATUS_PENDING) {
    // Refused before it reached the driver (a closed handle): nothing will end it but us.
    transfer->overlapped.Internal = error == ERROR_INVALID_HANDLE ? 0xC0000008 : 0xC0000001;
    transfer->overlapped.InternalHigh = 0;
    if (transfer->event) SetEvent(transfer->event);
  }
  return transfer;
}

}  // namespace

Transfer* StartRead(Handle port, uint32_t length) { return Start(port, true, std::vector<uint8_t>(length)); }

Transfer* StartWrite(Handle port, std::span<const uint8_t> data) {
  return Start(port, false, std::vector<uint8_t>(data.begin(), data.end()));
}

bool Done(const Transfer& transfer) { return HasOverlappedIoCompleted(&transfer.overlapped); }

int32_t Wait(Transfer& transfer, uint32_t* transferred, std::vector<uint8_t>* data) {
  DWORD bytes = 0;
  if (!GetOverlappedResult(transfer.port, &transfer.overlapped, &bytes, TRUE) &&
      !HasOverlappedIoCompleted(&transfer.overlapped)) {
    // The handle was closed under the request: its end still reaches the OVERLAPPED.
    while (!HasOverlappedIoCompleted(&transfer.overlapped) &&
           WaitForSingleObject(transfer.event, INFINITE) == WAIT_OBJECT_0) {
    }
  }
  *transferred = DWORD(transfer.overlapped.InternalHigh);
  if (data) {
    const size_t length = std::min<size_t>(*transferred, transfer.buffer.size());
    data->assign(transfer.buffer.begin(), transfer.buffer.begin() + length);
  }
  return int32_t(DWORD(transfer.overlapped.Internal));
}

bool Cancel(Transfer& transfer) {
  return !HasOverlappedIoCompleted(&transfer.overlapped) && CancelIoEx(transfer.port, &transfer.overlapped);
}

void Release(Transfer* transfer, bool machineRunning) {
  if (machineRunning && !HasOverlappedIoCompleted(&transfer->overlapped)) {
    Cancel(*transfer);
    uint32_t transferred = 0;
    Wait(*transfer, &transferred, nullptr);
  }
  if (machineRunning && transfer->event) CloseHandle(transfer->event);
  delete transfer;
}

}  // namespace simulator::win32
