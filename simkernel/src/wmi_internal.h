// Per-machine state of the simulated WMI system, shared by wmi_*.cpp.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "simkernel/wmi.h"

namespace sim::wmim {

// What WmiSystemControl handed a callback, kept until WmiCompleteRequest finishes the WNODE.
struct LibraryRequest {
  UCHAR minor = 0;
  ULONG bufferSize = 0;
  ULONG dataOffset = 0;     // where the callback's data starts in the WNODE
  ULONG bufferAvail = 0;    // what the callback was told it may write
  ULONG instanceCount = 0;  // all-data requests
};

struct WmiState {
  std::map<PDEVICE_OBJECT, wmi::Registration> registrations;
  std::unordered_map<PIRP, LibraryRequest> libraryRequests;
  std::vector<wmi::FiredEvent> events;
};

WmiState& Wmi();

constexpr ULONG Align8(ULONG n) { return (n + 7) & ~7u; }
bool SameGuid(const GUID& a, const GUID& b);

// A counted string (USHORT byte length, then the characters) at `offset` of `buffer`, within
// `limit` bytes; false if it does not fit.
bool ReadCountedString(const uint8_t* buffer, ULONG limit, ULONG offset, std::u16string* text);

}  // namespace sim::wmim
