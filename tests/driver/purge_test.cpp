// IOCTL_SERIAL_PURGE with each flag alone and in combination, with reads and writes pending
// and data in the ring: what is cancelled, what reaches the adapter, what is left.
#include "port_control_test_support.h"

namespace serial_test {
namespace {

class Purge : public PortControlTest {
 protected:
  void SetUp() override {
    PortControlTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    peer_ = &PlugPeer(kPort);
  }
  NTSTATUS PurgeWith(ULONG mask) { return Ioctl(file_, IOCTL_SERIAL_PURGE, BytesOf(mask)).status; }
  ULONG InQueue() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue; }
  // Puts unread bytes in the ring, a write held by CTS with one queued behind it, and a read
  // waiting for more than there is.
  void Load() {
    peer_->Send(Pattern(300, 1));
    h().RunUntil([&] { return peer_->Idle(); });
    h().Advance(20 * kMillisecond);
    ASSERT_EQ(InQueue(), 300u);
    peer_->SetCts(false);
    writes_ = {sim::io::WriteAsync(file_, Pattern(600, 2)), sim::io::WriteAsync(file_, Pattern(20, 3))};
    h().Advance(20 * kMillisecond);
    ASSERT_EQ(sim::io::Read(file_, 100).information, 100u);
    reads_ = {sim::io::ReadAsync(file_, 500), sim::io::ReadAsync(file_, 10)};
    h().Advance(20 * kMillisecond);
    remaining_ = InQueue();
  }
  std::vector<Bytes> PurgeCommands(size_t since) { return BlocksWithCode(COMMAND_PURGE, since); }
  static Bytes PurgeBlock(UCHAR side) { return Bytes{COMMAND_PURGE, kPort, side}; }
  void ExpectAll(std::vector<sim::io::Request>& requests, bool cancelled) {
    for (auto& request : requests) {
      if (cancelled) {
        EXPECT_TRUE(request.IsComplete());
        EXPECT_EQ(request.Status(), STATUS_CANCELLED);
      } else {
        EXPECT_FALSE(request.IsComplete());
      }
    }
  }

  adapter_model::ScriptedPeer* peer_ = nullptr;
  std::vector<sim::io::Request> writes_, reads_;
  ULONG remaining_ = 0;
};

TEST_F(Purge, TransmitAbortAndClearCancelWritesAndPurgeOnlyTheTransmitSide) {
  Load();
  const size_t before = Blocks().size();
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
  ExpectAll(writes_, true);
  ExpectAll(reads_, false);
  EXPECT_EQ(PurgeCommands(before), std::vector<Bytes>{PurgeBlock(PURGE_TRANSMIT)});
  EXPECT_EQ(InQueue(), remaining_) << "the ring is untouched";
  EXPECT_EQ(model().Channel(kPort)->TransmitLevel(), 0u) << "the adapter dropped what it held";
}

TEST_F(Purge, ReceiveClearEmptiesTheAdapterThenTheRing) {
  peer_->Send(Pattern(300, 4));
  h().RunUntil([&] { return peer_->Idle(); });
  h().Advance(20 * kMillisecond);
  const size_t before = Blocks().size();
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(PurgeCommands(before), std::vector<Bytes>{PurgeBlock(PURGE_RECEIVE)});
  EXPECT_EQ(InQueue(), 0u);
  // The stream goes on from there.
  Bytes after = Pattern(20, 5);
  peer_->Send(after);
  EXPECT_EQ(sim::io::Read(file_, 20).output, after);
}

TEST_F(Purge, ReceiveAbortAloneCancelsReadsAndDiscardsNothing) {
  Load();
  const size_t before = Blocks().size();
  EXPECT_EQ(PurgeWith(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ExpectAll(reads_, true);
  ExpectAll(writes_, false);
  EXPECT_TRUE(PurgeCommands(before).empty());
  EXPECT_EQ(InQueue(), remaining_);
  peer_->SetCts(true);
}

TEST_F(Purge, EveryFlagPurgesBothSidesOfHostAndAdapter) {
  Load();
  const size_t before = Blocks().size();
  EXPECT_EQ(PurgeWith(0xF), STATUS_SUCCESS);
  ExpectAll(writes_, true);
  ExpectAll(reads_, true);
  EXPECT_EQ(PurgeCommands(before), (std::vector<Bytes>{PurgeBlock(PURGE_TRANSMIT), PurgeBlock(PURGE_RECEIVE)}));
  EXPECT_EQ(InQueue(), 0u);
  for (auto& read : reads_) EXPECT_EQ(read.Information(), 0u);
  // The port works on: a write once the line is free, a read of new data.
  peer_->SetCts(true);
  EXPECT_EQ(sim::io::Write(file_, Pattern(30, 6)).information, 30u);
  Bytes after = Pattern(8, 7);
  peer_->Send(after);
  EXPECT_EQ(sim::io::Read(file_, 8).output, after);
}

// All fifteen masks, each on a loaded port: the host's requests of a side are cancelled only
// when aborted, each side of the adapter is purged once when the mask names it (transmit for
// either transmit flag, receive only for RXCLEAR), and the ring is emptied only by RXCLEAR.
TEST_F(Purge, EachMaskPurgesExactlyWhatItNames) {
  for (ULONG mask = 1; mask <= 0xF; ++mask) {
    SCOPED_TRACE(testing::Message() << "mask " << mask);
    Load();
    if (HasFatalFailure()) return;
    const size_t before = Blocks().size();
    EXPECT_EQ(PurgeWith(mask), STATUS_SUCCESS);
    ExpectAll(writes_, (mask & SERIAL_PURGE_TXABORT) != 0);
    ExpectAll(reads_, (mask & SERIAL_PURGE_RXABORT) != 0);
    std::vector<Bytes> expected;
    if (mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) expected.push_back(PurgeBlock(PURGE_TRANSMIT));
    if (mask & SERIAL_PURGE_RXCLEAR) expected.push_back(PurgeBlock(PURGE_RECEIVE));
    EXPECT_EQ(PurgeCommands(before), expected);
    EXPECT_EQ(InQueue(), (mask & SERIAL_PURGE_RXCLEAR) ? 0u : remaining_);
    // Without TXABORT the write still current refills the adapter from where it was.
    if (mask & SERIAL_PURGE_TXABORT) {
      EXPECT_EQ(model().Channel(kPort)->TransmitLevel(), 0u);
    }

    // Back to an idle port for the next mask.
    EXPECT_EQ(PurgeWith(0xF), STATUS_SUCCESS);
    peer_->SetCts(true);
    for (auto* requests : {&writes_, &reads_})
      for (auto& request : *requests) ASSERT_TRUE(h().RunUntil([&] { return request.IsComplete(); }));
    h().Advance(50 * kMillisecond);
    EXPECT_EQ(PurgeWith(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  }
}

TEST_F(Purge, InvalidMasksAndShortBuffersAreRefusedWithNothingDone) {
  Load();
  const size_t before = Blocks().size();
  for (ULONG mask : {0u, 0x10u, 0x1Fu, 0x80000001u}) {
    SCOPED_TRACE(mask);
    EXPECT_EQ(PurgeWith(mask), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_PURGE, Bytes(3, 0xF)).status, STATUS_BUFFER_TOO_SMALL);
  ExpectAll(writes_, false);
  ExpectAll(reads_, false);
  EXPECT_TRUE(BlocksSince(before).empty());
  EXPECT_EQ(InQueue(), remaining_);
  peer_->SetCts(true);
}

}  // namespace
}  // namespace serial_test
