// The receive stream through the port's ring and straight into waiting reads: order across
// the two, the wrap at the ring's end, and overflow keeping the oldest bytes.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;

class ReceiveRingTest : public SerialPortTest {
 protected:
  // Lets the peer's queued characters reach the port's ring.
  void Drain(adapter_model::ScriptedPeer& peer) {
    h().RunUntil([&] { return peer.Idle(); });
    h().Advance(20 * kMillisecond);
  }
};

TEST_F(ReceiveRingTest, WaitingReadIsFilledStraightFromTheStream) {
  adapter_model::ScriptedPeer& peer = PlugPeer(1);
  PFILE_OBJECT file = Open(1);
  sim::io::Request read = sim::io::ReadAsync(file, 100);
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  Bytes data = Pattern(100, 1);
  peer.Send(data);
  sim::io::Result got = read.Wait();
  EXPECT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(got.output, data);
  EXPECT_EQ(port(1)->ReceiveBufferCount, 0u);
  EXPECT_EQ(port(1)->PerfStats.ReceivedCount, 100u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(ReceiveRingTest, BytesBufferedBeforeAReadComeFirstThenTheStreamFillsIt) {
  adapter_model::ScriptedPeer& peer = PlugPeer(2);
  PFILE_OBJECT file = Open(2);
  Bytes data = Pattern(60, 2);
  peer.Send(Bytes(data.begin(), data.begin() + 40));
  Drain(peer);

  sim::io::Result first = sim::io::Read(file, 10);
  EXPECT_EQ(first.dispatchStatus, STATUS_SUCCESS) << "served from the ring at once";
  EXPECT_EQ(first.output, Bytes(data.begin(), data.begin() + 10));

  sim::io::Request second = sim::io::ReadAsync(file, 50);
  EXPECT_EQ(second.DispatchStatus(), STATUS_PENDING) << "30 were there, 20 more are needed";
  peer.Send(Bytes(data.begin() + 40, data.end()));
  sim::io::Result got = second.Wait();
  EXPECT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(got.output, Bytes(data.begin() + 10, data.end()));
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(ReceiveRingTest, StreamWrapsAroundTheRingInOrder) {
  adapter_model::ScriptedPeer& peer = PlugPeer(3);
  PFILE_OBJECT file = Open(3);
  Bytes data = Pattern(4000 + 300, 3);
  peer.Send(Bytes(data.begin(), data.begin() + 4000));
  Drain(peer);
  EXPECT_EQ(sim::io::Read(file, 4000).output, Bytes(data.begin(), data.begin() + 4000));
  // The next 300 bytes wrap past the ring's end.
  peer.Send(Bytes(data.begin() + 4000, data.end()));
  Drain(peer);
  EXPECT_EQ(port(3)->ReceiveBufferCount, 300u);
  EXPECT_EQ(sim::io::Read(file, 300).output, Bytes(data.begin() + 4000, data.end()));
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(ReceiveRingTest, OverflowKeepsTheOldestBytesAndCountsTheOverrun) {
  adapter_model::ScriptedPeer& peer = PlugPeer(4);
  PFILE_OBJECT file = Open(4);
  Bytes data = Pattern(5000, 4);
  peer.Send(data);
  Drain(peer);
  EXPECT_EQ(port(4)->ReceiveBufferCount, 4096u);
  EXPECT_GE(port(4)->PerfStats.BufferOverrunErrorCount, 1u);
  EXPECT_EQ(port(4)->PerfStats.BufferOverrunErrorCount, port(4)->WmiPerfData.BufferOverrunErrorCount);
  EXPECT_TRUE(port(4)->ErrorFlags & SERIAL_ERROR_QUEUEOVERRUN);
  EXPECT_EQ(port(4)->PerfStats.ReceivedCount, 5000u) << "every byte the adapter delivered is counted";

  EXPECT_EQ(sim::io::Read(file, 4096).output, Bytes(data.begin(), data.begin() + 4096));
  // What came after the overflow is intact.
  Bytes after = Pattern(50, 5);
  peer.Send(after);
  EXPECT_EQ(sim::io::Read(file, 50).output, after);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

// Enlarging the ring while the stream runs: the request waits behind the read ahead of it,
// moves what the ring holds into the larger buffer in order, and the larger buffer then
// holds more than the old one could.
TEST_F(ReceiveRingTest, QueueSizeUnderTrafficKeepsTheStreamInOrder) {
  adapter_model::LineFormat fast;
  fast.baud = 115200;
  adapter_model::ScriptedPeer& peer = PlugPeer(1, fast);
  PFILE_OBJECT file = Open(1);
  ASSERT_EQ(SetBaud(file, 115200), STATUS_SUCCESS);
  Bytes data = Pattern(14000, 6);
  sim::io::Request first = sim::io::ReadAsync(file, 1000);
  SERIAL_QUEUE_SIZE size{16384, 0};
  sim::io::Request resize = IoctlAsync(file, IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(size));
  EXPECT_EQ(resize.DispatchStatus(), STATUS_PENDING) << "queued behind the read";
  peer.Send(data);
  h().RunUntil([&] { return resize.IsComplete(); });
  EXPECT_EQ(resize.Status(), STATUS_SUCCESS);
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  Drain(peer);
  EXPECT_EQ(port(1)->ReceiveBufferSize, 16384u);
  EXPECT_EQ(port(1)->ReceiveBufferCount, 13000u) << "more than the old ring held, none dropped";
  EXPECT_EQ(port(1)->PerfStats.BufferOverrunErrorCount, 0u);
  Bytes got = first.Output();
  Bytes rest = sim::io::Read(file, 13000).output;
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_TRUE(got == data);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A queue-size request cancelled before it reaches the port (as a layered driver may do) is
// completed at once behind the read ahead of it, and the buffer it was given is freed.
TEST_F(ReceiveRingTest, QueueSizeArrivingCancelledFreesItsBuffer) {
  PFILE_OBJECT file = Open(2);
  sim::io::Request read = sim::io::ReadAsync(file, 10);
  ASSERT_EQ(read.DispatchStatus(), STATUS_PENDING);
  SERIAL_QUEUE_SIZE size{8192, 0};
  NTSTATUS status = STATUS_PENDING;
  NTSTATUS dispatched = STATUS_PENDING;
  h().RunTask("layered driver", [&] {
    PIRP irp = IoAllocateIrp(port(2)->Self->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->AssociatedIrp.SystemBuffer = &size;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_SET_QUEUE_SIZE;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(size);
    IoSetCompletionRoutine(irp, RecordCompletion, &status, TRUE, TRUE, TRUE);
    IoCancelIrp(irp);  // no cancel routine yet: only the flag is set
    dispatched = IoCallDriver(port(2)->Self, irp);
    IoFreeIrp(irp);
  });
  EXPECT_EQ(dispatched, STATUS_CANCELLED);
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR40), 0u) << "the new buffer was freed";
  EXPECT_EQ(port(2)->ReceiveBufferSize, 4096u);
  EXPECT_FALSE(read.IsComplete());
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

}  // namespace
