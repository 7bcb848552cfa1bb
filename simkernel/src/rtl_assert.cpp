// A failed ASSERT of checked-build driver code. Reported to the verifier as
// "driver assertion failed" with the expression and its place; the task carries on, so a test
// sees the report and what the code did next.
#include <stdexcept>
#include <string>

#include "simkernel/machine.h"

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
  std::string detail = std::string(static_cast<const char*>(FailedAssertion)) + " at " +
                       static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber);
  if (Message != nullptr) detail += " (" + std::string(Message) + ")";
  if (!sim::Machine::Exists()) throw std::logic_error("driver assertion failed outside a machine: " + detail);
  sim::Machine& machine = sim::Machine::Current();
  if (sim::Task* task = machine.CurrentTask()) task->currentCall = "RtlAssert";
  machine.Report("driver assertion failed", detail);
}
