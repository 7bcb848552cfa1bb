// Per-machine state of the power manager's transitions and its log, shared by power.cpp and
// power_transition.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simkernel/power.h"

namespace sim::powerm {

struct PowerLog {
  std::vector<power::LoggedIrp> entries;
  size_t cleared = 0;  // entries dropped by ClearLog: indices stay valid across it
  uint64_t nextSequence = 1;
  SYSTEM_POWER_STATE system = PowerSystemWorking;
  ULONG nextContext = 0x5C000001;
};

PowerLog& Log();
// A request sent to `device`'s stack; returns its index for LogCompleted.
size_t LogSent(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, ULONG state, bool requested);
// Returns the completion's sequence number.
uint64_t LogCompleted(size_t index, NTSTATUS status);

}  // namespace sim::powerm
