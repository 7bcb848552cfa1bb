// Cleanup and purge cancelling a kind without a queue (the wait-on-mask request in WaitIrp):
// only the current request is there, and its cancel routine ends it.
#include "command_test_support.h"

namespace command_test {
namespace {

class CancelAllWithoutQueue : public CommandChannelTest {};

TEST_F(CancelAllWithoutQueue, AnArmedWaitIsCancelledAndTakenBackFromTheEventSources) {
  OpenPort(1);
  SetWaitMask(1, SERIAL_EV_CTS);
  ArmedWait wait;
  ArmWait(1, wait);
  ASSERT_EQ(port(1)->WaitIrp, wait.irp);
  h().RunTask("cleanup", [&] { CancelAllRequests(port(1)->Self, nullptr, &port(1)->WaitIrp); });
  ASSERT_TRUE(wait.completed);
  EXPECT_EQ(wait.status, STATUS_CANCELLED);
  EXPECT_EQ(wait.information, 0u);
  EXPECT_EQ(wait.result, 0u);
  EXPECT_TRUE(wait.irp->Cancel);
  EXPECT_EQ(port(1)->WaitIrp, nullptr);
  EXPECT_EQ(port(1)->WaitResult, nullptr);
  // With nothing current it does nothing.
  h().RunTask("cleanup again", [&] { CancelAllRequests(port(1)->Self, nullptr, &port(1)->WaitIrp); });
  EndWait(wait);
}

}  // namespace
}  // namespace command_test
