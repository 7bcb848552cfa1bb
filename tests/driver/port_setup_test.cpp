// Port set-up, as the test helper does it until the adapter's start is built: each block the
// data path needs is allocated once per port, and a port that cannot have one of them is not
// set up at all, leaving nothing behind.
#include "driver_test.h"
#include "simkernel/pool.h"

namespace {

class PortSetup : public DriverTest {};

TEST_F(PortSetup, AMissingDataPathBlockFailsTheSetUpAndLeavesNothing) {
  AdapterExtension* adapter = h().CreateAdapter(Started);
  for (ULONG tag : {TAG_BR29, TAG_BR30, TAG_BR31, TAG_BR32, TAG_BR41}) {
    SCOPED_TRACE(sim::pool::TagToString(tag));
    const size_t before = sim::pool::OutstandingCount();
    sim::pool::FailNextAllocations(1, tag);
    EXPECT_THROW(h().CreatePort(adapter, 1), std::runtime_error);
    EXPECT_EQ(sim::pool::OutstandingCount(), before);
    EXPECT_EQ(adapter->Ports[0], nullptr);
    EXPECT_EQ(adapter->ChildCount, 0u);
  }
  PortExtension* port = h().CreatePort(adapter, 1);
  EXPECT_NE(port->WriteDrainWorkItem, nullptr);
  EXPECT_EQ(port->WriteDrainWorkItem->Port, port);
}

}  // namespace
