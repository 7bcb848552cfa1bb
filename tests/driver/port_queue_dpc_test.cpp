// A port's DPCs are counted in DpcPendingCount from queueing until they run, once each: a DPC
// queued again before it ran is not counted twice.
#include "command/response.h"
#include "driver_test.h"

namespace {

int g_runs = 0;

VOID NTAPI CountedDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ++g_runs;
  InterlockedDecrement(&static_cast<PortExtension*>(context)->DpcPendingCount);
}

class PortQueueDpcTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    g_runs = 0;
    port_ = h().CreatePort(h().CreateAdapter(Started), 1, Started);
    KeInitializeDpc(&port_->ImmediateCompleteDpc, CountedDpc, port_);
  }
  PortExtension* port_ = nullptr;
};

TEST_F(PortQueueDpcTest, ADpcQueuedTwiceBeforeItRunsIsCountedAndRunOnce) {
  BOOLEAN first = FALSE, second = TRUE;
  LONG queued = -1;
  h().RunTask("event source", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    first = PortQueueDpc(&port_->ImmediateCompleteDpc, port_);
    second = PortQueueDpc(&port_->ImmediateCompleteDpc, port_);
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
