// Open, close and cleanup of a port through the I/O manager: what reaches the adapter, the
// echo that ends the receive stream, the bounded waits when the adapter does not answer.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;

class OpenCloseTest : public SerialPortTest {};

TEST_F(OpenCloseTest, OpenSendsOpenCommandAndPostsOneDataRead) {
  const size_t before = Blocks().size();
  PFILE_OBJECT file = Open(1);
  ASSERT_NE(file, nullptr);
  Settle();
  auto blocks = BlocksSince(before);
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks[0], (Bytes{COMMAND_OPEN_PORT, 1}));
  EXPECT_EQ(fixture().InFlight(DataInPipe(1)), 1u);
  EXPECT_TRUE(model().Channel(1)->IsOpen());
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
  EXPECT_EQ(fixture().InFlight(DataInPipe(1)), 0u);
  EXPECT_FALSE(model().Channel(1)->IsOpen());
}

TEST_F(OpenCloseTest, LoopbackCarriesAWriteBackToARead) {
  PlugLoopback(2);
  PFILE_OBJECT file = Open(2);
  ASSERT_NE(file, nullptr);
  Bytes data = Pattern(150, 7);
  sim::io::Request read = sim::io::ReadAsync(file, 150);
  sim::io::Result write = sim::io::Write(file, data);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, 150u);
  sim::io::Result got = read.Wait();
  EXPECT_EQ(got.status, STATUS_SUCCESS);
  EXPECT_EQ(got.output, data);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

}  // namespace
