// The Win32 side of CommPort: kernel32's comm calls on a handle opened with
// FILE_FLAG_OVERLAPPED. Kept apart from comm_port.cpp because windows.h and the simulated
// kernel's headers define the same names; only plain types cross. Failures are Win32 error
// codes (GetLastError), 0 for success; finished requests give the NTSTATUS their OVERLAPPED
// holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace simulator::win32 {

using Handle = void*;

// ClearCommError's CE_* bits.
inline constexpr uint32_t kCeRxOver = 0x01, kCeOverrun = 0x02, kCeRxParity = 0x04, kCeFrame = 0x08,
                          kCeBreak = 0x10;

struct Line {
  uint32_t baud;
  uint8_t dataBits;
  char parity;  // N, O, E, M, S
  uint8_t stopBits;
  bool rtsCts;
  bool xonXoff;
  uint8_t xon, xoff;
  uint16_t xonLimit, xoffLimit;
};

Handle Open(const std::string& comName, uint32_t* error);  // null on failure
uint32_t SetLine(Handle port, const Line& line);
uint32_t SetTimeouts(Handle port, const uint32_t (&values)[5]);
uint32_t PurgeAll(Handle port);
uint32_t ReadErrors(Handle port, uint32_t* ceErrors, uint32_t* inQueue, uint32_t* outQueue);
uint32_t Close(Handle port);

// One overlapped ReadFile or WriteFile, its OVERLAPPED, event and buffer.
struct Transfer;
Transfer* StartRead(Handle port, uint32_t length);
Transfer* StartWrite(Handle port, std::span<const uint8_t> data);
bool Done(const Transfer& transfer);
// Blocks the calling task until the request has ended; its NTSTATUS.
int32_t Wait(Transfer& transfer, uint32_t* transferred, std::vector<uint8_t>* data);
bool Cancel(Transfer& transfer);
// A request still in flight is cancelled and waited for first: the buffers are its until then.
void Release(Transfer* transfer, bool machineRunning);

}  // namespace simulator::win32
