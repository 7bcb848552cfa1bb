// The port's status, properties, statistics and escape character through its control
// requests, against what really crossed the port.
#include "port_control_test_support.h"

namespace serial_test {
namespace {

class StatusRequests : public PortControlTest {
 protected:
  SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
  SERIALPERF_STATS Stats() { return Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS); }
  // Bytes of the port's OUT transfers the bus has acknowledged so far.
  size_t Acknowledged() {
    size_t total = 0;
    for (const auto& record : fixture().Urbs(DataOutPipe(kPort)))
      if (record.completed && NT_SUCCESS(record.status)) total += record.reportedLength;
    return total;
  }
};

TEST_F(StatusRequests, ErrorsAreReportedOnceAndTheReceiveCountIsTheRings) {
  ASSERT_EQ(SetLineControl(file_, 8, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  adapter_model::LineFormat format;
  format.parity = adapter_model::Parity::Even;
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort, format);
  peer.Send(Pattern(10, 1));
  peer.SendWithParityError(0x55);
  h().RunUntil([&] { return peer.Idle(); });
  h().Advance(50 * kMillisecond);

  SERIAL_STATUS first = CommStatus();
  EXPECT_EQ(first.Errors, ULONG{SERIAL_ERROR_PARITY});
  EXPECT_GE(first.AmountInInQueue, 10u);
  EXPECT_EQ(first.AmountInOutQueue, 0u);
  EXPECT_FALSE(first.WaitForImmediate);
  EXPECT_EQ(first.HoldReasons, 0u);
  EXPECT_FALSE(first.EofReceived);
  SERIAL_STATUS second = CommStatus();
  EXPECT_EQ(second.Errors, 0u) << "read and cleared by the first";
  EXPECT_EQ(second.AmountInInQueue, first.AmountInInQueue);
  EXPECT_EQ(Stats().ParityErrorCount, 1u);
}

// Polled while a stream arrives with parity errors spread through it and a write drains:
// each error shows in exactly one answer; the receive count only grows, by what arrived, and
// ends at what the statistics say crossed; the transmit count only shrinks, to 0.
TEST_F(StatusRequests, StatusPolledUnderStreamingReportsEachErrorOnce) {
  ASSERT_EQ(SetLineControl(file_, 8, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  adapter_model::LineFormat format;
  format.parity = adapter_model::Parity::Even;
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort, format);
  constexpr int kErrors = 6;
  for (int i = 0; i < kErrors; ++i) {
    peer.Send(Pattern(30, static_cast<uint32_t>(i)));
    peer.SendWithParityError(0x5A);
  }
  sim::io::Request write = sim::io::WriteAsync(file_, Pattern(400, 9));
  int parityReports = 0;
  ULONG lastIn = 0;
  ULONG lastOut = 400;
  for (int poll = 0; poll < 400 && !(peer.Idle() && write.IsComplete()); ++poll) {
    h().Advance(kMillisecond);
    SERIAL_STATUS status = CommStatus();
    if (status.Errors & SERIAL_ERROR_PARITY) ++parityReports;
    EXPECT_EQ(status.Errors & ~ULONG{SERIAL_ERROR_PARITY}, 0u);
    EXPECT_GE(status.AmountInInQueue, lastIn);
    EXPECT_LE(status.AmountInOutQueue, lastOut);
    lastIn = status.AmountInInQueue;
    lastOut = status.AmountInOutQueue;
  }
  h().Advance(20 * kMillisecond);
  SERIAL_STATUS last = CommStatus();
  if (last.Errors & SERIAL_ERROR_PARITY) ++parityReports;
  EXPECT_EQ(parityReports, kErrors) << "each error once, none lost, none repeated";
  EXPECT_EQ(last.AmountInInQueue, Stats().ReceivedCount);
  EXPECT_EQ(last.AmountInInQueue, ULONG{kErrors * 31});
  EXPECT_EQ(last.AmountInOutQueue, 0u);
  EXPECT_EQ(Stats().ParityErrorCount, ULONG{kErrors});
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
}

TEST_F(StatusRequests, OutQueueCountsWhatTheAdapterHasNotTakenYet) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort);
  peer.SetCts(false);
  sim::io::Request held = sim::io::WriteAsync(file_, Pattern(600, 2));
  sim::io::Request queued = sim::io::WriteAsync(file_, Pattern(50, 3));
  h().Advance(100 * kMillisecond);
  SERIAL_STATUS status = CommStatus();
  EXPECT_EQ(status.AmountInOutQueue, 650u - Acknowledged());
  EXPECT_GT(Acknowledged(), 0u);

  sim::io::Request immediate = IoctlAsync(file_, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{0x7E});
  status = CommStatus();
  EXPECT_TRUE(status.WaitForImmediate) << "held behind the chunk the line does not take";
  EXPECT_EQ(status.AmountInOutQueue, 651u - Acknowledged());

  peer.SetCts(true);
  h().RunUntil([&] { return held.IsComplete() && queued.IsComplete() && immediate.IsComplete(); });
  status = CommStatus();
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_FALSE(status.WaitForImmediate);
}

TEST_F(StatusRequests, StatisticsCountWhatCrossedTheLoopAndClearToZero) {
  PlugLoopback(kPort);
  Bytes data = Pattern(1000, 4);
  sim::io::Request read = sim::io::ReadAsync(file_, 1000);
  EXPECT_EQ(sim::io::Write(file_, data).information, 1000u);
  EXPECT_TRUE(read.Wait().output == data);
  SERIALPERF_STATS stats = Stats();
  EXPECT_EQ(stats.ReceivedCount, 1000u);
  EXPECT_EQ(stats.TransmittedCount, 1000u);
  EXPECT_EQ(stats.FrameErrorCount + stats.ParityErrorCount + stats.SerialOverrunErrorCount +
                stats.BufferOverrunErrorCount,
            0u);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  stats = Stats();
  EXPECT_EQ(stats.ReceivedCount, 0u);
  EXPECT_EQ(stats.TransmittedCount, 0u);
  EXPECT_EQ(port(kPort)->WmiPerfData.ReceivedCount, 0u);
}

// Cleared while a stream runs, the counts start again from what crosses after the clear:
// what was counted before it is gone, what comes after it is all there.
TEST_F(StatusRequests, StatisticsClearedUnderTrafficCountOnlyWhatFollows) {
  PlugLoopback(kPort);
  ASSERT_EQ(SetBaud(file_, 115200), STATUS_SUCCESS);
  Bytes data = Pattern(5000, 5);
  sim::io::Request read = sim::io::ReadAsync(file_, 5000);
  sim::io::Request write = sim::io::WriteAsync(file_, data);
  h().Advance(200 * kMillisecond);
  const ULONG before = Stats().ReceivedCount;
  ASSERT_GT(before, 0u);
  ASSERT_LT(before, 5000u);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  const ULONG afterClear = Stats().ReceivedCount;
  EXPECT_TRUE(read.Wait().output == data);
  write.Wait();
  const ULONG total = Stats().ReceivedCount;
  EXPECT_LE(total, 5000u - before);
  EXPECT_GE(total, 5000u - before - 64) << "at most one transfer's bytes fell between the reads";
  EXPECT_LE(afterClear, 64u);
}

TEST_F(StatusRequests, PropertiesDescribeThePortAndItsCurrentBuffer) {
  SERIAL_COMMPROP properties = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(properties.PacketLength, 64u);
  EXPECT_EQ(properties.PacketVersion, 2u);
  EXPECT_EQ(properties.ServiceMask, ULONG{SERIAL_SP_SERIALCOMM});
  EXPECT_EQ(properties.MaxTxQueue, 0u);
  EXPECT_EQ(properties.MaxRxQueue, 0u);
  EXPECT_EQ(properties.MaxBaud, ULONG{SERIAL_BAUD_USER});
  EXPECT_EQ(properties.ProvSubType, ULONG{SERIAL_SP_RS232});
  EXPECT_EQ(properties.ProvCapabilities, 0xFFu);
  EXPECT_EQ(properties.SettableParams, 0x7Fu);
  EXPECT_EQ(properties.SettableBaud, 0x1007FFFFu);
  EXPECT_EQ(properties.SettableData, 0x000Fu);
  EXPECT_EQ(properties.SettableStopParity, 0x1F07u);
  EXPECT_EQ(properties.CurrentTxQueue, 0u);
  EXPECT_EQ(properties.CurrentRxQueue, 4096u);
  EXPECT_EQ(properties.ProvSpec1 | properties.ProvSpec2 | properties.ProvChar[0], 0u);

  SERIAL_QUEUE_SIZE size{8192, 0};
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(size)).status, STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 8192u);
}

TEST_F(StatusRequests, EscapeCharacterIsRefusedWhereItWouldBeAmbiguous) {
  auto insert = [&](UCHAR c) { return Ioctl(file_, IOCTL_SERIAL_LSRMST_INSERT, Bytes{c}).status; };
  EXPECT_EQ(insert(0), STATUS_SUCCESS);
  EXPECT_EQ(insert(0x55), STATUS_SUCCESS);
  EXPECT_EQ(insert(CONFIG_XON_CHAR), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(insert(CONFIG_XOFF_CHAR), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port(kPort)->EscapeChar, 0x55);
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR), STATUS_SUCCESS);
  EXPECT_EQ(insert(0x66), STATUS_INVALID_PARAMETER) << "error-character replacement is on";
  EXPECT_EQ(insert(0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_LSRMST_INSERT, {}).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(StatusRequests, ConfigSizeIsZeroAndResetChangesNothing) {
  sim::io::Result size = Ioctl(file_, IOCTL_SERIAL_CONFIG_SIZE, {}, 4);
  EXPECT_EQ(size.status, STATUS_SUCCESS);
  EXPECT_EQ(size.information, 4u);
  EXPECT_EQ(ValueOf<ULONG>(size.output), 0u);
  const size_t before = Blocks().size();
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_RESET_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(BlocksSince(before).empty());
}

TEST_F(StatusRequests, ShortOutputsAreRefused) {
  for (auto [code, size] : {std::pair<ULONG, ULONG>{IOCTL_SERIAL_GET_COMMSTATUS, 20},
                            {IOCTL_SERIAL_GET_PROPERTIES, 64},
                            {IOCTL_SERIAL_GET_STATS, 24},
                            {IOCTL_SERIAL_CONFIG_SIZE, 4}}) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    sim::io::Result result = Ioctl(file_, code, {}, size - 1);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
  }
}

}  // namespace
}  // namespace serial_test
