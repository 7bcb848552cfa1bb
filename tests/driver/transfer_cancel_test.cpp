// Cancelling the port's data transfer when a write becomes current, against a bus that, like a
// host controller, finishes a cancelled transfer only some time after its cancel routine ran:
// the canceller must wait for that completion, and the write it holds up is still a request
// that cleanup or purge can cancel meanwhile.
#include <vector>

#include "datapath/request_queue.h"
#include "driver_test.h"
#include "queue_test_port.h"

namespace {

using queue_test::OwnRequest;
using sim::kMillisecond;

class TransferCancel : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    queue_test::SetUp(h(), world_);
    port_ = world_.port;
    world_.cancelCompletesAfter = 5 * kMillisecond;
  }
  void TearDown() override {
    if (h().loaded()) queue_test::TearDown(h(), world_);
    DriverTest::TearDown();
  }

  // A write from its own task, which records what the bus had done by the time the dispatch
  // returned.
  struct Writer {
    bool returned = false;
    NTSTATUS dispatched = STATUS_PENDING;
    size_t transfersSeen = 0;
    int cancelsPendingSeen = -1;
    int resetsSeen = -1;
    OwnRequest* request = nullptr;
  };
  void StartWriter(Writer& writer, ULONG length) {
    h().Spawn("writer", [this, &writer, length] {
      writer.request = &queue_test::SendOwn(IRP_MJ_WRITE, length, &writer.dispatched);
      writer.transfersSeen = world_.transfers.size();
      writer.cancelsPendingSeen = world_.cancelsPending;
      writer.resetsSeen = world_.pipeResets;
      writer.returned = true;
    });
  }

  queue_test::World world_;
  PortExtension* port_ = nullptr;
};

// A failed transfer signals the completion event and nobody waits for it; the next transfer
// the write path sends is then cancelled by a write that must wait for that one's own end.
TEST_F(TransferCancel, ASecondClaimedTransferIsAwaitedThoughTheFirstLeftTheEventSignalled) {
  h().RunTask("transmit", [] { queue_test::SendTransfer(); });
  h().RunTask("bus", [] { ASSERT_TRUE(queue_test::BusCompleteOldest(/*succeed=*/false)); });
  ASSERT_EQ(world_.transfers.size(), 1u);
  ASSERT_FALSE(world_.transfers[0].claimed);
  ASSERT_NE(KeReadStateEvent(&port_->DataWriteDoneEvent), 0) << "the failure signalled the event";
  h().RunTask("transmit", [] { queue_test::SendTransfer(); });
  ASSERT_NE(port_->DataWriteIrp, nullptr);

  Writer writer;
  const sim::VirtualTime start = h().machine().Now();
  StartWriter(writer, 10);
  ASSERT_TRUE(h().RunUntil([&] { return writer.returned; }));
  EXPECT_EQ(writer.dispatched, STATUS_PENDING);
  EXPECT_EQ(writer.cancelsPendingSeen, 0) << "the write went on while the bus still had the transfer";
  ASSERT_EQ(writer.transfersSeen, 2u);
  EXPECT_TRUE(world_.transfers[1].claimed);
  EXPECT_EQ(world_.transfers[1].status, STATUS_CANCELLED);
  EXPECT_EQ(writer.resetsSeen, 1) << "the pipe is reset once the transfer is over";
  EXPECT_GE(h().machine().Now() - start, 5 * kMillisecond);
  EXPECT_EQ(port_->DataWriteIrp, nullptr);
  EXPECT_EQ(port_->CurrentWrite, writer.request->irp);
}

// While the write waits in its dispatch for the transfer, it is current without a cancel
// routine: a purge marks it cancelled, and its starter ends it.
TEST_F(TransferCancel, AWriteHeldUpByTheCancelledTransferIsEndedByAPurgeMeanwhile) {
  h().RunTask("transmit", [] { queue_test::SendTransfer(); });
  Writer writer;
  StartWriter(writer, 10);
  ASSERT_TRUE(h().RunUntil([&] { return world_.cancelsPending == 1; }));
  ASSERT_FALSE(writer.returned) << "the write waits for the transfer";
  ASSERT_NE(port_->CurrentWrite, nullptr);
  EXPECT_EQ(port_->QueuedCharCount, 10u);

  sim::io::Result purge =
      sim::io::DeviceControl(world_.file, IOCTL_SERIAL_PURGE, queue_test::AsBytes(SERIAL_PURGE_TXABORT), 0);
  EXPECT_EQ(purge.status, STATUS_SUCCESS);
  ASSERT_TRUE(h().RunUntil([&] { return writer.returned; }));
  EXPECT_EQ(writer.dispatched, STATUS_CANCELLED);
  ASSERT_TRUE(writer.request->complete);
  EXPECT_EQ(writer.request->status, STATUS_CANCELLED);
  EXPECT_EQ(writer.request->information, 0u);
  EXPECT_EQ(port_->CurrentWrite, nullptr);
  EXPECT_EQ(port_->QueuedCharCount, 0u);
  EXPECT_FALSE(world_.writeAttached) << "the transmit path never got it";
  EXPECT_EQ(world_.pipeResets, 1);
}

// A write that waits behind the held-up one is served once the held-up one is cancelled.
TEST_F(TransferCancel, AWriteQueuedBehindTheHeldUpOneBecomesCurrentOnceThatOneIsCancelled) {
  h().RunTask("transmit", [] { queue_test::SendTransfer(); });
  Writer first;
  StartWriter(first, 4);
  ASSERT_TRUE(h().RunUntil([&] { return world_.cancelsPending == 1; }));
  sim::io::Request second = sim::io::WriteAsync(world_.file, queue_test::Bytes(6));
  EXPECT_EQ(second.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(port_->QueuedCharCount, 10u);
  // Cancel the held-up write alone, as IoCancelIrp from its issuer would.
  // The request is the test's own (SendOwn), so it is there to cancel while its dispatch waits.
  PIRP held = world_.own.front().irp;
  h().RunTask("issuer cancels", [&] { EXPECT_FALSE(IoCancelIrp(held)) << "current, it has no cancel routine"; });
  ASSERT_TRUE(h().RunUntil([&] { return first.returned; }));
  EXPECT_EQ(first.request->status, STATUS_CANCELLED);
  EXPECT_EQ(port_->CurrentWrite, second.Irp());
  EXPECT_EQ(port_->QueuedCharCount, 6u);
  h().RunTask("transmit path", [] { queue_test::DeliverWrite(); });
  ASSERT_TRUE(h().RunUntil([&] { return second.IsComplete(); }));
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  EXPECT_EQ(port_->QueuedCharCount, 0u);
}

}  // namespace
