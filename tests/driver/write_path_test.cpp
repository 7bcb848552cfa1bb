// The write path on the bus: chunks of at most 64 bytes, one transfer in flight per data
// pipe, what the driver does with the lengths the bus reports, and a write that follows one
// taken back while its chunk was still in flight.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;
using adapter_model::DataInEndpoint;
using adapter_model::DataOutEndpoint;

class WritePathTest : public SerialPortTest {
 protected:
  sim::usb::BusPort& Bus() { return *fixture().busPort(); }
};

TEST_F(WritePathTest, WriteGoesOutInChunksOfAtMost64Bytes) {
  adapter_model::ScriptedPeer& peer = PlugPeer(1);
  PFILE_OBJECT file = Open(1);
  Bytes data = Pattern(150, 3);
  sim::io::Result write = sim::io::Write(file, data);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, 150u);
  auto chunks = DataOut(1);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0], Bytes(data.begin(), data.begin() + 64));
  EXPECT_EQ(chunks[1], Bytes(data.begin() + 64, data.begin() + 128));
  EXPECT_EQ(chunks[2], Bytes(data.begin() + 128, data.end()));
  EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(1)), 1u);
  h().RunUntil([&] { return peer.ReceivedBytes().size() == data.size(); });
  EXPECT_EQ(peer.ReceivedBytes(), data);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(WritePathTest, ShortAcknowledgementResumesAtTheFirstUnacknowledgedByte) {
  PFILE_OBJECT file = Open(2);
  Bytes data = Pattern(100, 4);
  // The device takes all 64 bytes but the bus reports 10 fewer.
  Bus().AcknowledgeOutShort(DataOutEndpoint(2), 10, 1);
  sim::io::Result write = sim::io::Write(file, data);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, 100u);
  auto chunks = DataOut(2);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], Bytes(data.begin(), data.begin() + 64));
  EXPECT_EQ(chunks[1], Bytes(data.begin() + 54, data.end()));
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(WritePathTest, AcknowledgementOfNothingStopsTheTransfersInsteadOfLooping) {
  PFILE_OBJECT file = Open(3);
  Bus().AcknowledgeOutShort(DataOutEndpoint(3), 64, 1);
  sim::io::Request write = sim::io::WriteAsync(file, Pattern(10, 5));
  h().Advance(200 * kMillisecond);
  EXPECT_EQ(DataOut(3).size(), 1u);
  ASSERT_FALSE(write.IsComplete()) << "it ends by its timer, a cancel or cleanup";
  EXPECT_TRUE(write.Cancel());
  h().RunUntil([&] { return write.IsComplete(); });
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(write.Information(), 0u);
  // The port writes again.
  EXPECT_EQ(sim::io::Write(file, Pattern(10, 6)).information, 10u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(WritePathTest, FailedTransferLeavesTheWriteToItsCancel) {
  PFILE_OBJECT file = Open(4);
  fixture().model().FaultPlan().FailPackets(DataOutEndpoint(4), 1);
  sim::io::Request write = sim::io::WriteAsync(file, Pattern(80, 7));
  h().Advance(200 * kMillisecond);
  EXPECT_EQ(DataOut(4).size(), 1u);
  ASSERT_FALSE(write.IsComplete());
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
}

// The bus reports more than the device sent: the driver never takes more than its 64-byte
// landing buffer holds.
TEST_F(WritePathTest, OverLongReceiveReportIsClampedToTheBuffer) {
  PlugLoopback(1);
  PFILE_OBJECT file = Open(1);
  Bus().ReportInLonger(DataInEndpoint(1), 1000, 1);
  Bytes data = Pattern(20, 8);
  sim::io::Request read = sim::io::ReadAsync(file, 64);
  EXPECT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
  sim::io::Result got = read.Wait();
  EXPECT_EQ(got.status, STATUS_SUCCESS);
  ASSERT_EQ(got.output.size(), 64u);
  EXPECT_EQ(Bytes(got.output.begin(), got.output.begin() + 1), Bytes(data.begin(), data.begin() + 1));
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(WritePathTest, EmptyReceiveTransfersCarryNoCharacter) {
  PlugLoopback(2);
  PFILE_OBJECT file = Open(2);
  Bus().SendZeroLengthIn(DataInEndpoint(2), 5);
  Bytes data = Pattern(30, 9);
  sim::io::Request read = sim::io::ReadAsync(file, 30);
  EXPECT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
  EXPECT_EQ(read.Wait().output, data);
  EXPECT_EQ(port(2)->PerfStats.ReceivedCount, 30u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

// The firmware's transmit buffer holds two packets at 9600, so a long write has a chunk
// waiting on the bus when it is cancelled. The next write cancels that abandoned transfer,
// resets the pipe and goes out whole after a clean prefix of the first.
TEST_F(WritePathTest, WriteAfterOneCancelledMidChunkGoesOutWholeAndAlone) {
  adapter_model::ScriptedPeer& peer = PlugPeer(3);
  PFILE_OBJECT file = Open(3);
  Bytes first = Pattern(1000, 10);
  sim::io::Request write = sim::io::WriteAsync(file, first);
  h().Advance(150 * kMillisecond);
  ASSERT_EQ(fixture().InFlight(DataOutPipe(3)), 1u);
  EXPECT_TRUE(write.Cancel());
  h().RunUntil([&] { return write.IsComplete(); });
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);

  Bytes second = Pattern(300, 11);
  EXPECT_EQ(sim::io::Write(file, second).information, 300u);
  h().RunUntil([&] { return peer.Idle() && model().Channel(3)->TransmitLevel() == 0; });
  h().Advance(50 * kMillisecond);
  Bytes wire = peer.ReceivedBytes();
  ASSERT_GE(wire.size(), second.size());
  const size_t prefix = wire.size() - second.size();
  EXPECT_LT(prefix, first.size());
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(prefix)),
            Bytes(first.begin(), first.begin() + static_cast<long>(prefix)));
  EXPECT_EQ(Bytes(wire.begin() + static_cast<long>(prefix), wire.end()), second);
  EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(3)), 1u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

// A transfer whose MDL cannot be had frees the request allocated for it: the write stays
// current until its cancel, nothing leaks, and the next write goes out.
TEST_F(WritePathTest, TransferWithoutAnMdlLeaksNothingAndTheWriteEndsByItsCancel) {
  PFILE_OBJECT file = Open(1);
  // Once the open's answers are in, the response loop's read stays posted and nothing else
  // allocates: the write's transfer gets the failure.
  h().Advance(50 * kMillisecond);
  const size_t irpsBefore = sim::io::AllocatedIrpCount();
  sim::io::FailNextMdlAllocations(1);
  sim::io::Request write = sim::io::WriteAsync(file, Pattern(10, 12));
  h().Advance(50 * kMillisecond);
  EXPECT_TRUE(DataOut(1).empty());
  ASSERT_FALSE(write.IsComplete());
  EXPECT_TRUE(write.Cancel());
  h().RunUntil([&] { return write.IsComplete(); });
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(sim::io::AllocatedIrpCount(), irpsBefore) << "the request of the failed transfer was freed";
  EXPECT_EQ(sim::io::Write(file, Pattern(10, 13)).information, 10u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

}  // namespace
