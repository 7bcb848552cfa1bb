// Write total timeouts, the immediate character and transmit toggle, on a port whose far end
// is a scripted peer: what the requests report, and what the wire carries.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;
using adapter_model::ScriptedPeer;

class WriteTimeoutTest : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    if (HasFatalFailure()) return;
    peer_ = &PlugPeer(kPort);
    peer_->SetCts(true);
    file_ = Open(kPort);
    ASSERT_NE(file_, nullptr);
  }
  sim::VirtualTime CompletedAt(sim::io::Request& request, sim::VirtualTime limit = 120 * kSecond) {
    EXPECT_TRUE(h().RunUntil([&] { return request.IsComplete(); }, limit));
    return Now();
  }
  // Lets everything queued go out to the peer.
  Bytes Wire() {
    h().RunUntil([&] { return model().Channel(kPort)->TransmitLevel() == 0; }, 120 * kSecond);
    h().Advance(50 * kMillisecond);
    return peer_->ReceivedBytes();
  }
  sim::io::Result ImmediateChar(UCHAR value) { return Ioctl(file_, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{value}); }
  sim::io::Request ImmediateCharAsync(UCHAR value) {
    return IoctlAsync(file_, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{value});
  }
  // Bytes below 0x80, so that a character of 0x80 or above is told apart on the wire.
  static Bytes LowPattern(size_t length, uint32_t seed) {
    Bytes bytes = Pattern(length, seed);
    for (auto& b : bytes) b &= 0x7F;
    return bytes;
  }

  static constexpr int kPort = 4;
  ScriptedPeer* peer_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
};

TEST_F(WriteTimeoutTest, TotalTimeoutReportsTheAcknowledgedBytesAndTheNextWriteFollows) {
  ASSERT_EQ(SetBaud(file_, 300), STATUS_SUCCESS);
  adapter_model::LineFormat slow;
  slow.baud = 300;
  peer_->SetFormat(slow);
  ASSERT_EQ(SetTimeouts(file_, 0, 0, 0, 0, 1000), STATUS_SUCCESS);
  Bytes first = Pattern(1000, 1);
  const sim::VirtualTime start = Now();
  sim::io::Request timedOut = sim::io::WriteAsync(file_, first);
  ASSERT_EQ(SetTimeouts(file_, 0, 0, 0, 0, 0), STATUS_SUCCESS);
  Bytes second = Pattern(40, 2);
  sim::io::Request behind = sim::io::WriteAsync(file_, second);
  EXPECT_EQ(behind.DispatchStatus(), STATUS_PENDING);

  EXPECT_EQ(CompletedAt(timedOut), WaitEnd(start, kSecond));
  EXPECT_EQ(timedOut.Status(), STATUS_TIMEOUT);
  const ULONG_PTR acknowledged = timedOut.Information();
  EXPECT_GT(acknowledged, 0u);
  EXPECT_LT(acknowledged, first.size());
  EXPECT_EQ(acknowledged % 64, 0u) << "whole chunks were acknowledged";

  CompletedAt(behind);
  EXPECT_EQ(behind.Status(), STATUS_SUCCESS);
  EXPECT_EQ(behind.Information(), second.size());
  // The wire: a clean prefix of the first write (what was acknowledged, and perhaps the
  // chunk it abandoned in flight), then the second whole.
  Bytes wire = Wire();
  ASSERT_GE(wire.size(), acknowledged + second.size());
  const size_t prefix = wire.size() - second.size();
  EXPECT_LE(prefix, acknowledged + 64);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(prefix)),
            Bytes(first.begin(), first.begin() + static_cast<long>(prefix)));
  EXPECT_EQ(Bytes(wire.begin() + static_cast<long>(prefix), wire.end()), second);
  EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(kPort)), 1u);
}

TEST_F(WriteTimeoutTest, MultiplierCountsTheWholeWrite) {
  ASSERT_EQ(SetBaud(file_, 300), STATUS_SUCCESS);
  ASSERT_EQ(SetTimeouts(file_, 0, 0, 0, 2, 100), STATUS_SUCCESS);
  const sim::VirtualTime start = Now();
  sim::io::Request write = sim::io::WriteAsync(file_, Pattern(500, 3));
  EXPECT_EQ(CompletedAt(write), WaitEnd(start, 1100 * kMillisecond));
  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
}

TEST_F(WriteTimeoutTest, WithoutTimeoutsAHeldWriteWaitsForItsLine) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  peer_->SetCts(false);
  Bytes data = Pattern(600, 4);
  sim::io::Request write = sim::io::WriteAsync(file_, data);
  h().Advance(30 * kSecond);
  ASSERT_FALSE(write.IsComplete());
  peer_->SetCts(true);
  CompletedAt(write);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Wire(), data);
}

TEST_F(WriteTimeoutTest, ImmediateCharacterWithNoWriteGoesOutAlone) {
  sim::io::Result result = ImmediateChar(0xA5);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  auto chunks = DataOut(kPort);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0], Bytes{0xA5});
  EXPECT_EQ(Wire(), Bytes{0xA5});
  EXPECT_EQ(port(kPort)->QueuedCharCount, 0u);
}

// In the middle of a 1000-byte write at 9600 the character overtakes the rest of the write:
// the far end sees the write's bytes once each and in order, and the character once.
TEST_F(WriteTimeoutTest, ImmediateCharacterOvertakesAWriteAndNoWriteByteIsLost) {
  Bytes data = LowPattern(1000, 5);
  sim::io::Request write = sim::io::WriteAsync(file_, data);
  h().Advance(300 * kMillisecond);
  ASSERT_FALSE(write.IsComplete());
  sim::io::Request immediate = ImmediateCharAsync(0xC3);
  CompletedAt(immediate);
  EXPECT_EQ(immediate.Status(), STATUS_SUCCESS);
  CompletedAt(write);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 1000u);

  Bytes wire = Wire();
  ASSERT_EQ(std::count(wire.begin(), wire.end(), 0xC3), 1);
  const auto at = std::find(wire.begin(), wire.end(), 0xC3);
  EXPECT_LT(at - wire.begin(), 700) << "it went ahead of the rest of the write";
  wire.erase(at);
  EXPECT_TRUE(wire == data);
  EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(kPort)), 1u);
  EXPECT_EQ(port(kPort)->QueuedCharCount, 0u);
}

// Held behind a chunk the line will not take, the character times out; when the line is let
// go, the write goes on without losing a byte and the character never goes out.
TEST_F(WriteTimeoutTest, ImmediateCharacterTimingOutBehindAHeldWriteLosesNoWriteByte) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  peer_->SetCts(false);
  Bytes data = LowPattern(600, 6);
  sim::io::Request write = sim::io::WriteAsync(file_, data);
  // The write took its timeouts (none) when it started; the character takes these.
  ASSERT_EQ(SetTimeouts(file_, 0, 0, 0, 10, 90), STATUS_SUCCESS);
  h().Advance(50 * kMillisecond);
  const sim::VirtualTime start = Now();
  sim::io::Request immediate = ImmediateCharAsync(0xE7);
  EXPECT_EQ(CompletedAt(immediate), WaitEnd(start, 100 * kMillisecond)) << "1 x 10 + 90 ms";
  EXPECT_EQ(immediate.Status(), STATUS_TIMEOUT);
  EXPECT_FALSE(write.IsComplete());
  peer_->SetCts(true);
  CompletedAt(write);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(Wire() == data) << "every write byte once, in order, and no character";
  EXPECT_EQ(port(kPort)->QueuedCharCount, 0u);
}

TEST_F(WriteTimeoutTest, SecondImmediateCharacterIsRefusedAndTheFirstGoesOut) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  peer_->SetCts(false);
  sim::io::Request write = sim::io::WriteAsync(file_, LowPattern(600, 7));
  h().Advance(50 * kMillisecond);
  sim::io::Request first = ImmediateCharAsync(0x90);
  EXPECT_EQ(first.DispatchStatus(), STATUS_PENDING);
  sim::io::Result second = ImmediateChar(0x91);
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first.IsComplete());
  peer_->SetCts(true);
  CompletedAt(first);
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  CompletedAt(write);
  Bytes wire = Wire();
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0x90), 1);
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0x91), 0);
}

TEST_F(WriteTimeoutTest, CancelledImmediateCharacterNeverGoesOut) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  peer_->SetCts(false);
  Bytes data = LowPattern(600, 8);
  sim::io::Request write = sim::io::WriteAsync(file_, data);
  h().Advance(50 * kMillisecond);
  sim::io::Request immediate = ImmediateCharAsync(0xB2);
  h().Advance(50 * kMillisecond);
  EXPECT_TRUE(immediate.Cancel());
  CompletedAt(immediate);
  EXPECT_EQ(immediate.Status(), STATUS_CANCELLED);
  peer_->SetCts(true);
  CompletedAt(write);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(Wire() == data);
  EXPECT_EQ(port(kPort)->QueuedCharCount, 0u);
}

TEST_F(WriteTimeoutTest, TransmitToggleWriteCompletesOnlyAfterRtsIsDropped) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE), STATUS_SUCCESS);
  const size_t before = Blocks().size();
  sim::io::Request write = sim::io::WriteAsync(file_, Pattern(100, 9));
  const sim::VirtualTime done = CompletedAt(write);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 100u);
  auto drops = BlocksWithCode(COMMAND_SET_RTS, before);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0], (Bytes{COMMAND_SET_RTS, kPort, 0}));
  // The drop was sent, and answered, before the write completed.
  sim::VirtualTime dropSent = 0;
  for (const auto& record : fixture().Urbs(fixture().CommandPipe()))
    if (record.out == drops[0]) dropSent = record.submitted;
  EXPECT_GT(dropSent, 0);
  EXPECT_LT(dropSent, done);
  // Without toggle, no drop is sent.
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  const size_t later = Blocks().size();
  EXPECT_EQ(sim::io::Write(file_, Pattern(10, 10)).status, STATUS_SUCCESS);
  EXPECT_TRUE(BlocksWithCode(COMMAND_SET_RTS, later).empty());
}

}  // namespace
