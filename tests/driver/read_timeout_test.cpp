// Every read timeout rule against the virtual clock, to the clock tick: the MAXULONG
// combinations, total timeouts, interval timeouts with their poll rule, and the combinations
// with 0. Kernel timers fire on clock ticks, so a due time D set at S ends at WaitEnd(S, D).
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;

class ReadTimeoutTest : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    if (HasFatalFailure()) return;
    peer_ = &PlugPeer(kPort);
    file_ = Open(kPort);
    ASSERT_NE(file_, nullptr);
    Settle();
  }

  // Runs until the request completes and returns when it did.
  sim::VirtualTime CompletedAt(sim::io::Request& request, sim::VirtualTime limit = 60 * kSecond) {
    EXPECT_TRUE(h().RunUntil([&] { return request.IsComplete(); }, limit));
    return Now();
  }
  // When the last bytes reached the driver: the completion of the port's last data read that
  // carried any.
  sim::VirtualTime LastBytesDelivered() {
    sim::VirtualTime last = 0;
    for (const auto& record : fixture().Urbs(DataInPipe(kPort)))
      if (record.completed && !record.received.empty()) last = record.completedAt;
    return last;
  }
  void Timeouts(ULONG interval, ULONG multiplier, ULONG constant) {
    ASSERT_EQ(SetTimeouts(file_, interval, multiplier, constant), STATUS_SUCCESS);
  }
  // Lets the peer's characters reach the ring.
  void Deliver(const Bytes& bytes) {
    peer_->Send(bytes);
    h().RunUntil([&] { return peer_->Idle(); });
    h().Advance(10 * kMillisecond);
  }

  static constexpr int kPort = 3;
  adapter_model::ScriptedPeer* peer_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
};

TEST_F(ReadTimeoutTest, MaxIntervalWithNoTotalsReturnsAtOnceWithWhatIsThere) {
  Timeouts(kMaxUlong, 0, 0);
  const sim::VirtualTime start = Now();
  sim::io::Result empty = sim::io::Read(file_, 10);
  EXPECT_EQ(empty.dispatchStatus, STATUS_SUCCESS);
  EXPECT_EQ(empty.information, 0u);
  EXPECT_EQ(Now(), start);

  Bytes data = Pattern(4, 1);
  Deliver(data);
  sim::io::Result some = sim::io::Read(file_, 10);
  EXPECT_EQ(some.status, STATUS_SUCCESS);
  EXPECT_EQ(some.output, data);
}

TEST_F(ReadTimeoutTest, MaxIntervalAndMultiplierReturnWhatIsThereAtOnce) {
  Timeouts(kMaxUlong, kMaxUlong, 500);
  Bytes data = Pattern(7, 2);
  Deliver(data);
  sim::io::Result got = sim::io::Read(file_, 20);
  EXPECT_EQ(got.dispatchStatus, STATUS_SUCCESS);
  EXPECT_EQ(got.output, data);
}

TEST_F(ReadTimeoutTest, MaxIntervalAndMultiplierWaitForOneByteOnly) {
  Timeouts(kMaxUlong, kMaxUlong, 500);
  sim::io::Request read = sim::io::ReadAsync(file_, 20);
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  h().Advance(100 * kMillisecond);
  peer_->Send(Bytes{0x41, 0x42, 0x43});
  CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Output(), Bytes{0x41}) << "cut down to one byte";
  // The rest stays in order for the next read.
  h().Advance(10 * kMillisecond);
  Timeouts(kMaxUlong, 0, 0);
  EXPECT_EQ(sim::io::Read(file_, 20).output, (Bytes{0x42, 0x43}));
}

TEST_F(ReadTimeoutTest, MaxIntervalAndMultiplierTimeOutOnTheConstant) {
  Timeouts(kMaxUlong, kMaxUlong, 500);
  const sim::VirtualTime start = Now();
  sim::io::Request read = sim::io::ReadAsync(file_, 20);
  EXPECT_EQ(CompletedAt(read), WaitEnd(start, 500 * kMillisecond));
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Information(), 0u);
}

TEST_F(ReadTimeoutTest, MaxIntervalWithMaxConstantWaitsUntilFilled) {
  Timeouts(kMaxUlong, 0, kMaxUlong);
  sim::io::Request read = sim::io::ReadAsync(file_, 6);
  h().Advance(10 * kSecond);
  ASSERT_FALSE(read.IsComplete());
  Bytes data = Pattern(6, 3);
  peer_->Send(data);
  CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Output(), data);
}

TEST_F(ReadTimeoutTest, TotalTimeoutIsLengthTimesMultiplierPlusConstant) {
  Timeouts(0, 2, 100);
  const sim::VirtualTime start = Now();
  sim::io::Request read = sim::io::ReadAsync(file_, 10);
  EXPECT_EQ(CompletedAt(read), WaitEnd(start, 120 * kMillisecond));
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Information(), 0u);
}

TEST_F(ReadTimeoutTest, TotalTimeoutKeepsTheBytesThatArrived) {
  Timeouts(0, 0, 100);
  const sim::VirtualTime start = Now();
  sim::io::Request read = sim::io::ReadAsync(file_, 10);
  Bytes data = Pattern(4, 4);
  peer_->Send(data);
  EXPECT_EQ(CompletedAt(read), WaitEnd(start, 100 * kMillisecond));
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Output(), data);
}

// The multiplier counts the whole read length, also when part of it came from the ring.
TEST_F(ReadTimeoutTest, MultiplierAloneTimesTheWholeLength) {
  Deliver(Pattern(3, 5));
  Timeouts(0, 10, 0);
  const sim::VirtualTime start = Now();
  sim::io::Request read = sim::io::ReadAsync(file_, 8);
  EXPECT_EQ(CompletedAt(read), WaitEnd(start, 80 * kMillisecond));
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Information(), 3u);
}

TEST_F(ReadTimeoutTest, NoTimeoutsAtAllWaitUntilFilled) {
  Timeouts(0, 0, 0);
  sim::io::Request read = sim::io::ReadAsync(file_, 3);
  h().Advance(30 * kSecond);
  ASSERT_FALSE(read.IsComplete());
  peer_->Send(Bytes{1, 2, 3});
  CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Information(), 3u);
}

TEST_F(ReadTimeoutTest, IntervalClockWaitsForTheFirstByte) {
  Timeouts(50, 0, 0);
  sim::io::Request read = sim::io::ReadAsync(file_, 100);
  h().Advance(5 * kSecond);
  EXPECT_FALSE(read.IsComplete()) << "no byte yet, so no interval has begun";
  EXPECT_TRUE(read.Cancel());
  CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

TEST_F(ReadTimeoutTest, ShortIntervalEndsTheReadOnTheFirstTickPastIt) {
  Timeouts(50, 0, 0);
  sim::io::Request read = sim::io::ReadAsync(file_, 100);
  Bytes data = Pattern(5, 6);
  peer_->Send(data);
  const sim::VirtualTime done = CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Output(), data);
  // Checked on every tick: the interval is counted from the tick that saw the last bytes.
  const sim::VirtualTime last = LastBytesDelivered();
  EXPECT_GE(done - last, 50 * kMillisecond - Tick());
  EXPECT_LE(done - last, 50 * kMillisecond + 2 * Tick());
}

TEST_F(ReadTimeoutTest, BytesWithinTheIntervalKeepTheReadGoing) {
  Timeouts(50, 0, 0);
  sim::io::Request read = sim::io::ReadAsync(file_, 100);
  Bytes data = Pattern(6, 7);
  for (int i = 0; i < 6; ++i) {
    peer_->Send(Bytes{data[static_cast<size_t>(i)]});
    h().Advance(30 * kMillisecond);
    ASSERT_FALSE(read.IsComplete()) << "byte " << i;
  }
  CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Output(), data);
}

// Intervals of 20 s and more are checked once a second, shorter ones on every tick: a byte
// half a second into the interval restarts it at once for the short poll, at the next
// second's check for the long one.
TEST_F(ReadTimeoutTest, LongIntervalsAreCheckedOncePerSecond) {
  for (ULONG interval : {19000u, 20000u}) {
    SCOPED_TRACE("interval " + std::to_string(interval));
    Timeouts(interval, 0, 0);
    sim::io::Request read = sim::io::ReadAsync(file_, 100);
    peer_->Send(Bytes{1});
    h().Advance(500 * kMillisecond);
    const sim::VirtualTime firstByte = LastBytesDelivered();
    peer_->Send(Bytes{2});
    h().Advance(100 * kMillisecond);
    const sim::VirtualTime secondByte = LastBytesDelivered();
    const sim::VirtualTime done = CompletedAt(read, 60 * kSecond);
    EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.Output(), (Bytes{1, 2}));
    const sim::VirtualTime span = interval * kMillisecond;
    if (interval < 20000) {
      EXPECT_GE(done - secondByte, span - Tick());
      EXPECT_LE(done - secondByte, span + 2 * Tick());
    } else {
      // Restarted by the check one second after the first byte. Each one-second poll is
      // rounded up to whole ticks, so the checks drift by up to a tick each.
      const sim::VirtualTime polls = span / kSecond + 1;
      EXPECT_GE(done - firstByte, span + kSecond - 2 * Tick());
      EXPECT_LE(done - firstByte, span + kSecond + (polls + 2) * Tick());
    }
  }
}

// The read's own total timeout wins over a long interval.
TEST_F(ReadTimeoutTest, TotalAndIntervalTogetherEndOnWhicheverComesFirst) {
  Timeouts(1000, 0, 200);
  const sim::VirtualTime start = Now();
  sim::io::Request read = sim::io::ReadAsync(file_, 100);
  peer_->Send(Bytes{9});
  EXPECT_EQ(CompletedAt(read), WaitEnd(start, 200 * kMillisecond));
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Output(), Bytes{9});

  Timeouts(30, 0, 5000);
  sim::io::Request second = sim::io::ReadAsync(file_, 100);
  peer_->Send(Bytes{8, 7});
  const sim::VirtualTime done = CompletedAt(second);
  EXPECT_EQ(second.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(second.Output(), (Bytes{8, 7}));
  EXPECT_LE(done - LastBytesDelivered(), 30 * kMillisecond + 2 * Tick());
}

// A total timeout of years stays a long wait rather than wrapping round to an early one.
TEST_F(ReadTimeoutTest, HugeTotalTimeoutDoesNotWrapRound) {
  Timeouts(0, kMaxUlong, kMaxUlong - 1);
  sim::io::Request read = sim::io::ReadAsync(file_, 0x10000);
  h().Advance(60 * kSecond);
  EXPECT_FALSE(read.IsComplete());
  EXPECT_TRUE(read.Cancel());
  CompletedAt(read);
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

}  // namespace
