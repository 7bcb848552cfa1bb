// Timeouts and the receive buffer's size through IOCTL_SERIAL_* requests: what is stored and
// reported, when a new buffer is allocated, and what becomes of it when the request fails or
// is cancelled.
#include "datapath/receive.h"
#include "port_control_test_support.h"

namespace serial_test {
namespace {

class TimeoutsQueueSize : public PortControlTest {
 protected:
  static constexpr ULONG kOpenSize = RECEIVE_BUFFER_SIZE_AT_OPEN;
  const ULONG kBufferTag = sim::pool::TagFromString("BR40");

  sim::io::Result SetQueueSize(ULONG inSize) {
    SERIAL_QUEUE_SIZE size{inSize, 0};
    return Ioctl(file_, IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(size));
  }
  ULONG ReceiveBufferSize() { return port(kPort)->ReceiveBufferSize; }
};

TEST_F(TimeoutsQueueSize, TimeoutsAreStoredUnlessAllThreeReadValuesAreMaxulong) {
  struct Case {
    SERIAL_TIMEOUTS timeouts;
    bool accepted;
  } cases[] = {
      {{0, 0, 0, 0, 0}, true},
      {{kMaxUlong, 0, 0, 10, 90}, true},
      {{kMaxUlong, kMaxUlong, 0, 0, 0}, true},
      {{0, kMaxUlong, kMaxUlong, 0, 0}, true},
      {{kMaxUlong, 0, kMaxUlong, 1, 2}, true},
      {{kMaxUlong, kMaxUlong, kMaxUlong, 0, 0}, false},
      {{kMaxUlong, kMaxUlong, kMaxUlong, 5, 5}, false},
      {{kMaxUlong, kMaxUlong, 1000, kMaxUlong, kMaxUlong}, true},
  };
  SERIAL_TIMEOUTS current = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(current.ReadIntervalTimeout, 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.timeouts.ReadIntervalTimeout << " " << c.timeouts.ReadTotalTimeoutMultiplier
                                    << " " << c.timeouts.ReadTotalTimeoutConstant);
    sim::io::Result result;
    auto sent = Sent([&] { result = Ioctl(file_, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(c.timeouts)); });
    EXPECT_EQ(result.status, c.accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sent.empty());
    if (c.accepted) current = c.timeouts;
    SERIAL_TIMEOUTS reported = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(std::memcmp(&reported, &current, sizeof current), 0);
  }
}

TEST_F(TimeoutsQueueSize, ASizeTheBufferAlreadyHasSucceedsAtOnceWithoutAllocating) {
  ASSERT_EQ(ReceiveBufferSize(), kOpenSize);
  const uint64_t allocations = sim::pool::AllocationCount(kBufferTag);
  for (ULONG size : {0u, 1u, kOpenSize - 1, kOpenSize}) {
    SCOPED_TRACE(size);
    sim::io::Result result = SetQueueSize(size);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(sim::pool::AllocationCount(kBufferTag), allocations);
  EXPECT_EQ(ReceiveBufferSize(), kOpenSize);
}

TEST_F(TimeoutsQueueSize, ALargerSizeInstallsANewBufferChargedToTheCaller) {
  EXPECT_EQ(SetQueueSize(3 * kOpenSize).status, STATUS_SUCCESS);
  auto buffers = sim::pool::Outstanding(kBufferTag);
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffers[0].size, 3 * kOpenSize);
  EXPECT_TRUE(buffers[0].quota);
  // It never shrinks.
  EXPECT_EQ(SetQueueSize(2 * kOpenSize).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::pool::AllocationCount(kBufferTag), 1u);

  // The port now keeps more unread bytes than the buffer it opened with could.
  PlugLoopback(kPort);
  ASSERT_EQ(SetBaud(file_, 460800), STATUS_SUCCESS);
  Bytes data = Pattern(5 * kOpenSize / 2, 7);
  ASSERT_EQ(sim::io::Write(file_, data).status, STATUS_SUCCESS);
  h().Advance(100 * kMillisecond);
  ASSERT_EQ(SetTimeouts(file_, 0, 0, 100), STATUS_SUCCESS);
  sim::io::Result read = sim::io::Read(file_, static_cast<ULONG>(data.size()));
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.output, data);
}

TEST_F(TimeoutsQueueSize, AFailedAllocationFailsTheRequestAndKeepsTheBuffer) {
  sim::pool::FailNextAllocations(1, kBufferTag);
  EXPECT_EQ(SetQueueSize(2 * kOpenSize).status, STATUS_INSUFFICIENT_RESOURCES);
  // More than the pool can ever hold.
  EXPECT_EQ(SetQueueSize(0x7FFFFFFF).status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ReceiveBufferSize(), kOpenSize);
  EXPECT_EQ(sim::pool::OutstandingCount(kBufferTag), 0u);
}

TEST_F(TimeoutsQueueSize, ARequestCancelledBehindAReadFreesItsBuffer) {
  // No timeouts: the read waits for data that never comes.
  sim::io::Request read = sim::io::ReadAsync(file_, 16);
  SERIAL_QUEUE_SIZE size{2 * kOpenSize, 0};
  sim::io::Request resize = IoctlAsync(file_, IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(size));
  Settle();
  ASSERT_FALSE(resize.IsComplete());
  EXPECT_EQ(resize.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(sim::pool::OutstandingCount(kBufferTag), 1u);

  EXPECT_TRUE(resize.Cancel());
  sim::io::Result result = resize.Wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(sim::pool::OutstandingCount(kBufferTag), 0u);
  EXPECT_EQ(ReceiveBufferSize(), kOpenSize);

  EXPECT_TRUE(read.Cancel());
  EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
}

TEST_F(TimeoutsQueueSize, APortThatIsNotOpenAllocatesNothing) {
  const int closed = 4;
  SERIAL_QUEUE_SIZE size{2 * kOpenSize, 0};
  sim::io::RawIrp irp;
  irp.major = IRP_MJ_DEVICE_CONTROL;
  irp.systemBuffer = BytesOf(size);
  irp.setup = [](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_SET_QUEUE_SIZE;
    stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(SERIAL_QUEUE_SIZE);
  };
  sim::io::Result result = h().Send(port(closed)->Self, irp);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(sim::pool::AllocationCount(kBufferTag), 0u);
  EXPECT_EQ(port(closed)->ReceiveBufferSize, 0u);
}

}  // namespace
}  // namespace serial_test
