// Port set-up at the adapter's start: each block the data path needs is allocated once per
// port, and an adapter whose port cannot have one of them does not start, leaving nothing
// behind. The allocation fails during a real plug; the manager removes the failed stack.
#include <optional>
#include <utility>

#include "adapter_fixture.h"
#include "driver_test.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"

namespace {

class PortSetup : public DriverTest {
 protected:
  // The manager unloaded the driver with the failed adapter, its last device; the fixture
  // plugs the next one into a loaded driver.
  void LoadAgain() {
    if (!h().loaded()) {
      ASSERT_EQ(h().Load(), STATUS_SUCCESS);
    }
  }
  // Blocks of the driver's own tags still allocated, the registry path copy aside.
  static size_t DriverBlocks() {
    size_t count = 0;
    for (const auto& block : sim::pool::Outstanding()) {
      const std::string tag = sim::pool::TagToString(block.tag);
      if (tag.rfind("BR", 0) == 0 && tag != "BR39") ++count;
    }
    return count;
  }
  // How the last START of a USB device (the adapter, not one of its ports) came back.
  static std::optional<NTSTATUS> LastAdapterStart() {
    std::optional<NTSTATUS> status;
    for (const sim::pnp::Event& event : sim::pnp::Events())
      if (event.what == "START_DEVICE" && event.device.rfind(u"USB\\", 0) == 0) status = event.status;
    return status;
  }
};

TEST_F(PortSetup, AMissingDataPathBlockFailsTheStartAndLeavesNothing) {
  // The drain work item belongs to the port's creation, the four transfer blocks to its set-up.
  const std::pair<ULONG, NTSTATUS> cases[] = {{TAG_BR29, STATUS_UNSUCCESSFUL},
                                              {TAG_BR30, STATUS_UNSUCCESSFUL},
                                              {TAG_BR31, STATUS_UNSUCCESSFUL},
                                              {TAG_BR32, STATUS_UNSUCCESSFUL},
                                              {TAG_BR41, STATUS_INSUFFICIENT_RESOURCES}};
  for (const auto& [tag, expected] : cases) {
    SCOPED_TRACE(sim::pool::TagToString(tag));
    sim::pnp::ClearEvents();
    LoadAgain();
    sim::pool::FailNextAllocations(1, tag);
    {
      harness::AdapterFixture fixture(h());
      EXPECT_THROW(fixture.Start(), std::runtime_error);
      EXPECT_EQ(sim::pool::PendingFailures(), 0u) << "the block was never asked for";
      const std::optional<NTSTATUS> start = LastAdapterStart();
      ASSERT_TRUE(start.has_value()) << "the running adapter got no START";
      EXPECT_EQ(*start, expected) << harness::StatusText(*start);
      EXPECT_EQ(fixture.adapter(), nullptr);
    }
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_TRUE(sim::pnp::ComNamesInUse().empty());
    sim::pool::ClearFailurePlans();
  }

  LoadAgain();
  harness::AdapterFixture fixture(h());
  fixture.Start();
  for (int number = 1; number <= MAX_PORTS; ++number) {
    PortExtension* port = fixture.port(number);
    ASSERT_NE(port, nullptr);
    EXPECT_NE(port->DataWriteUrb, nullptr);
    EXPECT_NE(port->DataReadUrb, nullptr);
    EXPECT_NE(port->DataWriteBuffer, nullptr);
    EXPECT_NE(port->DataReadBuffer, nullptr);
    ASSERT_NE(port->WriteDrainWorkItem, nullptr);
    EXPECT_EQ(port->WriteDrainWorkItem->Port, port);
  }
  fixture.StopAndRemove();
}

}  // namespace
