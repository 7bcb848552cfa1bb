// Streams through all four ports at once: 64 KiB each way per port at 460800 8N1 in writes of
// mixed sizes with reads pending, through loopback plugs and null-modem pairs. Every byte
// arrives once and in order, every OUT transfer carries at most 64 bytes, and no data pipe
// ever has two transfers in flight.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;

constexpr size_t kStreamBytes = 64 * 1024;

// One direction of a stream: writes of mixed sizes one after another, and reads of mixed
// sizes kept pending, two at a time, until everything has arrived.
class Stream {
 public:
  Stream(PFILE_OBJECT writer, PFILE_OBJECT reader, Bytes data)
      : writer_(writer), reader_(reader), data_(std::move(data)) {}

  // Issues what can be issued now; true once all is written and read.
  bool Pump() {
    if (write_.Valid() && write_.IsComplete()) {
      EXPECT_EQ(write_.Status(), STATUS_SUCCESS);
      written_ += write_.Information();
      write_ = {};
    }
    if (!write_.Valid() && written_ < data_.size()) {
      const size_t size = std::min<size_t>(kWriteSizes[writes_++ % std::size(kWriteSizes)], data_.size() - written_);
      write_ = sim::io::WriteAsync(writer_, std::span(data_).subspan(written_, size));
    }
    while (!reads_.empty() && reads_.front().IsComplete()) {
      EXPECT_EQ(reads_.front().Status(), STATUS_SUCCESS);
      Bytes got = reads_.front().Output();
      received_.insert(received_.end(), got.begin(), got.end());
      reads_.erase(reads_.begin());
    }
    while (reads_.size() < 2 && requested_ < data_.size()) {
      const size_t size = std::min<size_t>(kReadSizes[readsIssued_++ % std::size(kReadSizes)], data_.size() - requested_);
      reads_.push_back(sim::io::ReadAsync(reader_, static_cast<ULONG>(size)));
      requested_ += size;
    }
    return written_ == data_.size() && received_.size() == data_.size();
  }
  const Bytes& Received() const { return received_; }
  const Bytes& Sent() const { return data_; }

 private:
  static constexpr size_t kWriteSizes[] = {1, 700, 64, 3000, 65, 17, 1500, 128, 4096, 333};
  static constexpr size_t kReadSizes[] = {512, 1, 2000, 63, 4096, 100};
  PFILE_OBJECT writer_;
  PFILE_OBJECT reader_;
  Bytes data_;
  sim::io::Request write_;
  size_t written_ = 0;
  size_t writes_ = 0;
  std::vector<sim::io::Request> reads_;
  size_t requested_ = 0;
  size_t readsIssued_ = 0;
  Bytes received_;
};

class DataStreamTest : public SerialPortTest {
 protected:
  std::vector<PFILE_OBJECT> OpenAll(ULONG baud) {
    std::vector<PFILE_OBJECT> files;
    for (int number = 1; number <= 4; ++number) {
      files.push_back(Open(number));
      EXPECT_EQ(SetBaud(files.back(), baud), STATUS_SUCCESS);
      EXPECT_EQ(SetLineControl(files.back(), 8, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    }
    return files;
  }

  // Runs the streams to their end (bounded by the line time they need, with room to spare).
  void RunStreams(std::vector<Stream>& streams, sim::VirtualTime limit) {
    const sim::VirtualTime end = Now() + limit;
    bool done = false;
    while (!done && Now() < end) {
      done = true;
      for (auto& stream : streams) done = stream.Pump() && done;
      if (!done) h().Advance(2 * kMillisecond);
    }
    for (size_t i = 0; i < streams.size(); ++i) {
      SCOPED_TRACE("stream " + std::to_string(i));
      EXPECT_EQ(streams[i].Received().size(), streams[i].Sent().size());
      EXPECT_TRUE(streams[i].Received() == streams[i].Sent()) << "every byte once and in order";
    }
  }

  void ExpectTransfersWithinRules() {
    for (int number = 1; number <= 4; ++number) {
      SCOPED_TRACE("port " + std::to_string(number));
      for (const auto& chunk : DataOut(number)) EXPECT_LE(chunk.size(), 64u);
      EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(number)), 1u);
      EXPECT_EQ(fixture().MaxInFlight(DataInPipe(number)), 1u);
    }
  }
};

TEST_F(DataStreamTest, FourLoopbackPortsAt460800CarryEveryByteOnceInOrder) {
  for (int number = 1; number <= 4; ++number) PlugLoopback(number);
  std::vector<PFILE_OBJECT> files = OpenAll(460800);
  std::vector<Stream> streams;
  for (int i = 0; i < 4; ++i) streams.emplace_back(files[i], files[i], Pattern(kStreamBytes, 10 + i));
  // 64 KiB at 46 080 bytes a second take about 1.4 s of line time.
  RunStreams(streams, 10 * kSecond);
  ExpectTransfersWithinRules();
  for (PFILE_OBJECT file : files) EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(DataStreamTest, TwoNullModemPairsAt460800CarryEveryByteOnceInOrderBothWays) {
  PlugNullModem(1, 2);
  PlugNullModem(3, 4);
  std::vector<PFILE_OBJECT> files = OpenAll(460800);
  std::vector<Stream> streams;
  streams.emplace_back(files[0], files[1], Pattern(kStreamBytes, 20));
  streams.emplace_back(files[1], files[0], Pattern(kStreamBytes, 21));
  streams.emplace_back(files[2], files[3], Pattern(kStreamBytes, 22));
  streams.emplace_back(files[3], files[2], Pattern(kStreamBytes, 23));
  RunStreams(streams, 10 * kSecond);
  ExpectTransfersWithinRules();
  for (PFILE_OBJECT file : files) EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

}  // namespace
