// The request queues of a port: requests become current or wait in arrival order, are
// completed exactly once with the status and boost of the path that ends them, and are
// cancelled while waiting, while current, all at once (cleanup, purge) or as they arrive.
//
// The real starters of reads, writes, waits and purges come with their own subsystems; the
// port here routes its requests into StartOrQueueRequest with the test kinds of
// queue_test_port.h, which follow the same starter pattern.
#include <vector>

#include "core/helpers.h"
#include "datapath/request_queue.h"
#include "datapath/request_ref.h"
#include "driver_test.h"
#include "queue_test_port.h"

namespace {

using queue_test::AsBytes;
using queue_test::Bytes;
using sim::io::Request;

class QueueTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    queue_test::SetUp(h(), world_);
    port_ = world_.port;
  }
  void TearDown() override {
    Guarded([&] {
      if (h().loaded()) queue_test::TearDown(h(), world_);
    });
    DriverTest::TearDown();
  }

  Request Read(ULONG length) { return sim::io::ReadAsync(world_.file, length); }
  Request Write(size_t length) { return sim::io::WriteAsync(world_.file, Bytes(length)); }
  // The previous request completes before its DPC starts the next one: data is delivered
  // once the data path holds a request again.
  void DeliverRead() {
    ASSERT_TRUE(h().RunUntil([this] { return world_.readAttached; })) << "no read reached the data path";
    h().RunTask("receive path", [] { queue_test::DeliverRead(); });
  }
  void DeliverWrite() {
    ASSERT_TRUE(h().RunUntil([this] { return world_.writeAttached; })) << "no write reached the data path";
    h().RunTask("transmit path", [] { queue_test::DeliverWrite(); });
  }
  bool Settle(const Request& request) {
    return h().RunUntil([&] { return request.IsComplete(); });
  }
  void ExpectCompleted(const Request& request, NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    ASSERT_TRUE(request.IsComplete());
    sim::io::Result result = request.Snapshot();
    EXPECT_EQ(result.status, status) << harness::StatusText(result.status);
    EXPECT_EQ(result.information, information);
    EXPECT_EQ(result.boost, boost);
  }
  ULONG QueuedChars() const { return port_->QueuedCharCount; }

  queue_test::World world_;
  PortExtension* port_ = nullptr;
};

// ---- Start or queue ----------------------------------------------------------------------

TEST_F(QueueTest, ReadsBecomeCurrentOneAtATimeInArrivalOrder) {
  Request first = Read(8), second = Read(4), third = Read(2);
  EXPECT_EQ(first.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(second.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(third.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(port_->CurrentRead, first.Irp());

  DeliverRead();
  ASSERT_TRUE(Settle(first));
  ExpectCompleted(first, STATUS_SUCCESS, 8, IO_SERIAL_INCREMENT);
  EXPECT_EQ(port_->CurrentRead, second.Irp());  // started by the completing DPC
  EXPECT_FALSE(third.IsComplete());

  DeliverRead();
  ASSERT_TRUE(Settle(second));
  ExpectCompleted(second, STATUS_SUCCESS, 4, IO_SERIAL_INCREMENT);
  DeliverRead();
  ASSERT_TRUE(Settle(third));
  ExpectCompleted(third, STATUS_SUCCESS, 2, IO_SERIAL_INCREMENT);
  EXPECT_EQ(port_->CurrentRead, nullptr);
}

TEST_F(QueueTest, WritesCountTheirLengthWhileQueuedOrCurrentAndNotAfter) {
  Request first = Write(10);
  EXPECT_EQ(QueuedChars(), 10u);
  Request second = Write(20);
  EXPECT_EQ(second.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(QueuedChars(), 30u);

  DeliverWrite();
  ASSERT_TRUE(Settle(first));
  ExpectCompleted(first, STATUS_SUCCESS, 10, IO_SERIAL_INCREMENT);
  EXPECT_EQ(QueuedChars(), 20u);
  EXPECT_EQ(port_->CurrentWrite, second.Irp());

  DeliverWrite();
  ASSERT_TRUE(Settle(second));
  EXPECT_EQ(QueuedChars(), 0u);
}

TEST_F(QueueTest, RequestFinishedAtOnceByItsStarterKeepsItsStatusAndLetsTheNextIn) {
  port_->Timeouts.ReadIntervalTimeout = 0xFFFFFFFF;  // return with what is there
  Request atOnce = Read(8);
  ExpectCompleted(atOnce, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
  EXPECT_EQ(atOnce.DispatchStatus(), STATUS_SUCCESS);
  EXPECT_EQ(port_->CurrentRead, nullptr);

  port_->Timeouts.ReadIntervalTimeout = 0;
  Request waits = Read(8);
  EXPECT_EQ(waits.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(port_->CurrentRead, waits.Irp());
}

// ---- Cancel while waiting ------------------------------------------------------------------

TEST_F(QueueTest, CancellingAWaitingWriteGivesItsLengthBack) {
  Request current = Write(5);
  Request waiting = Write(10);
  ASSERT_EQ(QueuedChars(), 15u);

  EXPECT_TRUE(waiting.Cancel());
  ExpectCompleted(waiting, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
  EXPECT_EQ(QueuedChars(), 5u);
  EXPECT_TRUE(IsListEmpty(&port_->WriteQueue));

  sim::io::Result status = sim::io::DeviceControl(world_.file, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  ASSERT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<const SERIAL_STATUS*>(status.output.data())->AmountInOutQueue, 5u);
  EXPECT_FALSE(current.IsComplete());
}

TEST_F(QueueTest, CancellingAWaitingQueueSizeRequestFreesTheBufferItCarries) {
  Request current = Read(8);
  SERIAL_QUEUE_SIZE size{8192, 0};
  std::vector<uint8_t> input(reinterpret_cast<uint8_t*>(&size), reinterpret_cast<uint8_t*>(&size) + sizeof size);
  Request cancelled = sim::io::DeviceControlAsync(world_.file, IOCTL_SERIAL_SET_QUEUE_SIZE, input, 0);
  Request served = sim::io::DeviceControlAsync(world_.file, IOCTL_SERIAL_SET_QUEUE_SIZE, input, 0);
  EXPECT_EQ(cancelled.DispatchStatus(), STATUS_PENDING);

  EXPECT_TRUE(cancelled.Cancel());
  ExpectCompleted(cancelled, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
  // The other one is served behind the read; a buffer left behind by either would be
  // reported as a pool leak when the driver unloads.
  DeliverRead();
  ASSERT_TRUE(Settle(served));
  ExpectCompleted(served, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
  EXPECT_TRUE(current.IsComplete());
}

TEST_F(QueueTest, RequestCancelledAsItArrivesBehindAnotherIsCompletedAtOnceUncounted) {
  Request current = Write(5);
  world_.cancelOnArrival = true;
  Request late = Write(7);
  world_.cancelOnArrival = false;

  EXPECT_EQ(late.DispatchStatus(), STATUS_CANCELLED);
  ExpectCompleted(late, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
  EXPECT_EQ(QueuedChars(), 5u);
  EXPECT_TRUE(IsListEmpty(&port_->WriteQueue));
  EXPECT_EQ(port_->CurrentWrite, current.Irp());
}

// With nothing ahead of it the request becomes current; its starter finds it cancelled.
TEST_F(QueueTest, RequestCancelledAsItArrivesToAnIdleQueueIsEndedByItsStarter) {
  world_.cancelOnArrival = true;
  Request write = Write(7);
  world_.cancelOnArrival = false;

  EXPECT_EQ(write.DispatchStatus(), STATUS_CANCELLED);
  ExpectCompleted(write, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
  EXPECT_EQ(QueuedChars(), 0u);
  EXPECT_EQ(port_->CurrentWrite, nullptr);
}

// ---- Current requests ----------------------------------------------------------------------

TEST_F(QueueTest, CancelledCurrentReadReportsNothingAndTheNextOneTimesOutWithItsBytes) {
  port_->Timeouts.ReadTotalTimeoutConstant = 1000;
  world_.readPartial = 4;  // what the receive path had stored when the read is taken back
  Request cancelled = Read(8);
  Request timesOut = Read(8);

  EXPECT_TRUE(cancelled.Cancel());
  ExpectCompleted(cancelled, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
  EXPECT_EQ(port_->CurrentRead, timesOut.Irp());  // started by the cancel routine

  const sim::VirtualTime started = h().machine().Now();
  ASSERT_TRUE(Settle(timesOut));
  EXPECT_EQ(h().machine().Now(), h().machine().TickAfter(started, 1000 * sim::kMillisecond));
  ExpectCompleted(timesOut, STATUS_TIMEOUT, 4, IO_SERIAL_INCREMENT);
  EXPECT_EQ(port_->CurrentRead, nullptr);
}

TEST_F(QueueTest, CompletedWriteTakesItsTimerBackSoNothingFiresLater) {
  port_->Timeouts.WriteTotalTimeoutConstant = 500;
  Request write = Write(3);
  DeliverWrite();
  ASSERT_TRUE(Settle(write));
  ExpectCompleted(write, STATUS_SUCCESS, 3, IO_SERIAL_INCREMENT);
  // A timer still set would fire into a port with no current write.
  EXPECT_FALSE(KeCancelTimer(&port_->WriteTotalTimer));
  h().Advance(sim::kSecond);
}

// ---- Cancelling a whole kind ---------------------------------------------------------------

// Reads built by the test, whose completion order can be seen.
TEST_F(QueueTest, PurgeCancelsWaitingReadsNewestFirstThenTheCurrentOne) {
  std::vector<queue_test::OwnRequest*> reads;
  h().RunTask("readers", [&] {
    for (int i = 0; i < 4; ++i) {
      NTSTATUS dispatched = STATUS_SUCCESS;
      reads.push_back(&queue_test::SendOwn(IRP_MJ_READ, 8, &dispatched));
      EXPECT_EQ(dispatched, STATUS_PENDING);
    }
  });
  ASSERT_EQ(port_->CurrentRead, reads[0]->irp);

  sim::io::Result purge = sim::io::DeviceControl(world_.file, IOCTL_SERIAL_PURGE, AsBytes(SERIAL_PURGE_RXABORT), 0);
  EXPECT_EQ(purge.status, STATUS_SUCCESS);
  EXPECT_EQ(purge.boost, IO_SERIAL_INCREMENT);
  h().RunUntilIdle();

  std::vector<int> order;
  for (const queue_test::OwnRequest* read : reads) {
    EXPECT_TRUE(read->complete);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    order.push_back(read->order);
  }
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 0}));  // newest waiting first, the current one last
  EXPECT_EQ(port_->CurrentRead, nullptr);
  EXPECT_TRUE(IsListEmpty(&port_->ReadQueue));
}

TEST_F(QueueTest, CleanupCancelsEveryKindAndLeavesNothingCounted) {
  port_->Timeouts.ReadTotalTimeoutConstant = 5000;
  port_->Timeouts.WriteTotalTimeoutConstant = 5000;
  std::vector<Request> requests = {Read(4), Read(4), Write(3), Write(9)};
  ASSERT_EQ(QueuedChars(), 12u);

  NTSTATUS cleanup = STATUS_PENDING;
  sim::io::Close(world_.file, &cleanup);
  world_.file = nullptr;
  EXPECT_EQ(cleanup, STATUS_SUCCESS);
  for (const Request& request : requests) ExpectCompleted(request, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
  EXPECT_EQ(QueuedChars(), 0u);
  // Both timers taken back: nothing fires into the closed port.
  EXPECT_FALSE(KeCancelTimer(&port_->ReadTotalTimer));
  EXPECT_FALSE(KeCancelTimer(&port_->WriteTotalTimer));
}

// ---- Error abort -----------------------------------------------------------------------------

TEST_F(QueueTest, PendingErrorWithErrorAbortRefusesRequestsButNotTheStatusQuery) {
  port_->Handflow.ControlHandShake |= SERIAL_ERROR_ABORT;
  port_->ErrorFlags = SERIAL_ERROR_FRAMING;

  Request write = Write(4);
  EXPECT_EQ(write.DispatchStatus(), STATUS_CANCELLED);
  ExpectCompleted(write, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
  Request read = Read(4);
  ExpectCompleted(read, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
  EXPECT_EQ(QueuedChars(), 0u);
  EXPECT_EQ(port_->CurrentRead, nullptr);

  sim::io::Result status = sim::io::DeviceControl(world_.file, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  ASSERT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<const SERIAL_STATUS*>(status.output.data())->Errors, ULONG(SERIAL_ERROR_FRAMING));

  // The query cleared the error: requests pass again.
  Request after = Write(4);
  EXPECT_EQ(after.DispatchStatus(), STATUS_PENDING);
}

TEST_F(QueueTest, PendingErrorWithoutErrorAbortRefusesNothing) {
  port_->ErrorFlags = SERIAL_ERROR_FRAMING;
  Request write = Write(4);
  EXPECT_EQ(write.DispatchStatus(), STATUS_PENDING);
}

// ---- References and timers -----------------------------------------------------------------

TEST_F(QueueTest, ReferenceWordSitsInTheFourthArgumentAndReportsADoubleSetOrClear) {
  port_->Timeouts.ReadTotalTimeoutConstant = 100;
  Request read = Read(8);
  PIRP irp = read.Irp();
  ASSERT_NE(irp, nullptr);
  const ULONG armed = REF_DATA_PATH | REF_CANCEL_ROUTINE | REF_TOTAL_TIMER;
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4), armed);

  ExpectViolation("driver assertion failed");
  ULONG afterSet = 0, afterClear = 0;
  h().RunTask("wrong owner", [&] {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    RequestRefSet(irp, REF_DATA_PATH);  // held already by the receive path
    afterSet = RequestRefGet(irp);
    RequestRefClear(irp, REF_INTERVAL_TIMER);  // never taken
    afterClear = RequestRefGet(irp);
    IoReleaseCancelSpinLock(irql);
  });
  EXPECT_EQ(afterSet, armed);
  EXPECT_EQ(afterClear, armed);
  size_t reports = 0;
  for (const sim::Violation& violation : h().machine().Violations())
    if (violation.rule == "driver assertion failed") ++reports;
  EXPECT_EQ(reports, 2u);

  DeliverRead();
  ASSERT_TRUE(Settle(read));
  ExpectCompleted(read, STATUS_SUCCESS, 8, IO_SERIAL_INCREMENT);
}

int g_immediateDpcRuns = 0;
// Gives its count back at the end, as every counted DPC of the port does.
VOID NTAPI CountImmediateDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ++g_immediateDpcRuns;
  InterlockedDecrement(&static_cast<PortExtension*>(context)->DpcPendingCount);
}

TEST_F(QueueTest, SetPortTimerCountsEachDpcTheTimerWillQueueOnce) {
  g_immediateDpcRuns = 0;
  KeInitializeDpc(&port_->ImmediateTimeoutDpc, CountImmediateDpc, port_);
  LARGE_INTEGER due;
  due.QuadPart = -100 * 10000;
  BOOLEAN first = TRUE, again = FALSE, cancelled = FALSE, cancelledTwice = TRUE;
  LONG afterAgain = 0, afterCancel = 0, afterLastSet = 0;
  h().RunTask("immediate character", [&] {
    first = SetPortTimer(&port_->ImmediateTimer, due, &port_->ImmediateTimeoutDpc, port_);
    again = SetPortTimer(&port_->ImmediateTimer, due, &port_->ImmediateTimeoutDpc, port_);
    afterAgain = port_->DpcPendingCount;
    cancelled = CancelPortTimer(&port_->ImmediateTimer, port_);
    afterCancel = port_->DpcPendingCount;
    cancelledTwice = CancelPortTimer(&port_->ImmediateTimer, port_);
    SetPortTimer(&port_->ImmediateTimer, due, &port_->ImmediateTimeoutDpc, port_);
    afterLastSet = port_->DpcPendingCount;
  });
  EXPECT_FALSE(first);
  EXPECT_TRUE(again);
  EXPECT_EQ(afterAgain, 1);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(afterCancel, 0);  // its DPC will not run: the cancel gives the count back
  EXPECT_FALSE(cancelledTwice);
  EXPECT_EQ(afterLastSet, 1);

  h().Advance(200 * sim::kMillisecond);
  EXPECT_EQ(g_immediateDpcRuns, 1);
  EXPECT_EQ(port_->DpcPendingCount, 0);
}

// ---- A data transfer left in flight when a write becomes current ----------------------------

TEST_F(QueueTest, WriteBehindAnAbandonedTransferCancelsItWaitsAndResetsThePipe) {
  h().RunTask("abandoned transfer", [] { queue_test::SendTransfer(); });
  ASSERT_NE(port_->DataWriteIrp, nullptr);

  Request write = Write(10);
  EXPECT_EQ(write.DispatchStatus(), STATUS_PENDING);
  ASSERT_EQ(world_.transfers.size(), 1u);
  EXPECT_EQ(world_.transfers[0].status, STATUS_CANCELLED);
  EXPECT_TRUE(world_.transfers[0].claimed);
  EXPECT_EQ(port_->DataWriteIrp, nullptr);
  EXPECT_TRUE(world_.busHeld.empty());
  EXPECT_EQ(world_.pipeResets, 1);
  EXPECT_EQ(port_->CurrentWrite, write.Irp());
}

TEST_F(QueueTest, WriteWithNoTransferInFlightLeavesThePipeAlone) {
  Request write = Write(10);
  EXPECT_EQ(write.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(world_.pipeResets, 0);
  EXPECT_TRUE(world_.transfers.empty());
}

TEST_F(QueueTest, TransferStartedWhileTheCancellerWaitsIsCancelledToo) {
  world_.followUpsOnClaim = 1;
  h().RunTask("abandoned transfer", [] { queue_test::SendTransfer(); });
  Request write = Write(10);
  EXPECT_EQ(write.DispatchStatus(), STATUS_PENDING);
  ASSERT_EQ(world_.transfers.size(), 2u);
  EXPECT_TRUE(world_.transfers[0].claimed);
  EXPECT_TRUE(world_.transfers[1].claimed);
  EXPECT_EQ(port_->DataWriteIrp, nullptr);
  EXPECT_EQ(world_.pipeResets, 1);
}

TEST_F(QueueTest, CancelTransferAndWaitWithNothingInFlightReturnsAtOnce) {
  const sim::VirtualTime start = h().machine().Now();
  h().RunTask("close", [&] {
    CancelTransferAndWait(&port_->DataWriteIrp, &port_->DataWriteDoneEvent, &port_->WriteLock);
  });
  EXPECT_EQ(h().machine().Now(), start);
  EXPECT_TRUE(world_.transfers.empty());
}

}  // namespace
