// A port's DPCs are counted in DpcPendingCount from queueing until they run, once each: a DPC
// queued again before it ran is not counted twice. The port is a plugged adapter's; the DPC
// is the test's own, so that the port's stay as its start made them.
#include "command/response.h"
#include "command_test_support.h"

namespace {

int g_runs = 0;

VOID NTAPI CountedDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ++g_runs;
  InterlockedDecrement(&static_cast<PortExtension*>(context)->DpcPendingCount);
}

class PortQueueDpcTest : public command_test::CommandChannelTest {
 protected:
  void SetUp() override {
    CommandChannelTest::SetUp();
    if (HasFatalFailure()) return;
    g_runs = 0;
    port_ = port(1);
    h().RunTask("init dpc", [&] { KeInitializeDpc(&dpc_, CountedDpc, port_); });
  }
  PortExtension* port_ = nullptr;
  KDPC dpc_;
};

TEST_F(PortQueueDpcTest, ADpcQueuedTwiceBeforeItRunsIsCountedAndRunOnce) {
  BOOLEAN first = FALSE, second = TRUE;
  LONG queued = -1;
  h().RunTask("event source", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    first = PortQueueDpc(&dpc_, port_);
    second = PortQueueDpc(&dpc_, port_);
    queued = port_->DpcPendingCount;
    KeLowerIrql(old);
  });
  h().RunUntilIdle();
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(queued, 1);
  EXPECT_EQ(g_runs, 1);
  EXPECT_EQ(port_->DpcPendingCount, 0);
}

}  // namespace
