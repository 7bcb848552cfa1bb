// Open, close and cleanup of a port through the I/O manager: what reaches the adapter, the
// echo that ends the receive stream, the bounded waits when the adapter does not answer, and
// reopening after each way a close can go.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;
using adapter_model::DataInEndpoint;
using adapter_model::Faults;

class OpenCloseTest : public SerialPortTest {
 protected:
  // One data read in flight on the port's IN pipe, and never more than one so far.
  void ExpectOneDataRead(int number) {
    EXPECT_EQ(fixture().InFlight(DataInPipe(number)), 1u);
    EXPECT_EQ(fixture().MaxInFlight(DataInPipe(number)), 1u);
  }
  // Closes and returns how long the close took in virtual time.
  sim::VirtualTime TimedClose(PFILE_OBJECT file) {
    const sim::VirtualTime start = Now();
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
    return Now() - start;
  }
};

TEST_F(OpenCloseTest, OpenTellsTheAdapterAndPostsOneDataRead) {
  const size_t before = Blocks().size();
  PFILE_OBJECT file = Open(1);
  ASSERT_NE(file, nullptr);
  Settle();
  auto opens = BlocksWithCode(COMMAND_OPEN_PORT, before);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0], (Bytes{COMMAND_OPEN_PORT, 1}));
  ExpectOneDataRead(1);
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u) << "the first open starts the response read";
  EXPECT_TRUE(model().Channel(1)->IsOpen());
  EXPECT_TRUE(model().PortConnector(1).Dtr());

  const size_t beforeClose = Blocks().size();
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
  auto closes = BlocksWithCode(COMMAND_CLOSE_PORT, beforeClose);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0], (Bytes{COMMAND_CLOSE_PORT, 1}));
  auto echoes = BlocksWithCode(COMMAND_ECHO, beforeClose);
  ASSERT_EQ(echoes.size(), 1u);
  Bytes echo{COMMAND_ECHO, 1, 4, 'B', 'O', 'N', 'G'};
  echo.resize(COMMAND_BLOCK_MAX, 0);
  EXPECT_EQ(echoes[0], echo);
  EXPECT_EQ(fixture().InFlight(DataInPipe(1)), 0u) << "the echo ended the data read";
  EXPECT_FALSE(model().Channel(1)->IsOpen());
}

TEST_F(OpenCloseTest, OnlyTheFirstOpenPortStartsTheResponseRead) {
  PFILE_OBJECT one = Open(1);
  PFILE_OBJECT two = Open(2);
  PFILE_OBJECT four = Open(4);
  Settle();
  EXPECT_EQ(fixture().MaxInFlight(fixture().ResponsePipe()), 1u);
  for (int number : {1, 2, 4}) ExpectOneDataRead(number);
  EXPECT_EQ(fixture().InFlight(DataInPipe(3)), 0u);
  EXPECT_EQ(Close(two), STATUS_SUCCESS);
  EXPECT_EQ(Close(one), STATUS_SUCCESS);
  EXPECT_EQ(Close(four), STATUS_SUCCESS);
  h().RunUntilIdle();
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 0u) << "the last close ends the response loop";
}

TEST_F(OpenCloseTest, SecondOpenOfAnOpenPortIsRefusedAndChangesNothing) {
  PFILE_OBJECT file = Open(3);
  const size_t before = Blocks().size();
  // The device is exclusive: the I/O manager refuses a second handle before the driver sees it.
  PFILE_OBJECT second = nullptr;
  EXPECT_NE(TryOpen(3, &second), STATUS_SUCCESS);
  // A create sent to the port directly (no file object) reaches the driver, which keeps the
  // open port as it is.
  sim::io::RawIrp create;
  create.major = IRP_MJ_CREATE;
  EXPECT_EQ(sim::io::Send(port(3)->Self, create).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(BlocksSince(before).size(), 0u);
  ExpectOneDataRead(3);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, OpeningAsADirectoryIsRefusedWithNothingDone) {
  const size_t before = Blocks().size();
  sim::io::RawIrp create;
  create.major = IRP_MJ_CREATE;
  create.setup = [](PIO_STACK_LOCATION stack) { stack->Parameters.Create.Options = FILE_DIRECTORY_FILE; };
  sim::io::Result result = sim::io::Send(port(1)->Self, create);
  EXPECT_EQ(result.status, STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(result.information, 0u);
  EXPECT_TRUE(BlocksSince(before).empty());
  EXPECT_EQ(fixture().Urbs(DataInPipe(1)).size(), 0u);
  EXPECT_EQ(fixture().Urbs(fixture().ResponsePipe()).size(), 0u) << "not counted as an open port";
  // Still closed: a real open works.
  PFILE_OBJECT file = Open(1);
  ExpectOneDataRead(1);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, ReceiveBufferAllocationFailureLeavesThePortClosed) {
  const size_t before = Blocks().size();
  sim::pool::FailNextAllocations(1, TAG_BR12);
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(TryOpen(2, &file), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(BlocksSince(before).empty());
  EXPECT_EQ(fixture().Urbs(DataInPipe(2)).size(), 0u);
  file = Open(2);
  ExpectOneDataRead(2);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, UnansweredEchoEndsCloseAfterASecondAndReopenPostsOneRead) {
  PFILE_OBJECT file = Open(2);
  faults().WithholdAnswers(COMMAND_ECHO, 2, 1);
  const sim::VirtualTime took = TimedClose(file);
  // A kernel wait is counted from the last clock tick, so it may end up to a tick early.
  EXPECT_GE(took, kSecond - Tick());
  EXPECT_LT(took, kSecond + 100 * kMillisecond);
  EXPECT_EQ(fixture().InFlight(DataInPipe(2)), 0u) << "the read the echo did not end was cancelled";

  file = Open(2);
  Settle();
  EXPECT_EQ(fixture().InFlight(DataInPipe(2)), 1u);
  EXPECT_EQ(fixture().MaxInFlight(DataInPipe(2)), 1u) << "never two reads on the port's one URB";
  // And it works: the echo is answered this time.
  EXPECT_LT(TimedClose(file), 100 * kMillisecond);
}

TEST_F(OpenCloseTest, AdapterAnsweringNothingEndsCloseAfterTwoSeconds) {
  PFILE_OBJECT file = Open(4);
  faults().LoseCommands(Faults::kAny, 4, Faults::kForever);
  const sim::VirtualTime took = TimedClose(file);
  EXPECT_GE(took, 2 * (kSecond - Tick())) << "one second for the close command, one for the echo";
  EXPECT_LT(took, 2 * kSecond + 100 * kMillisecond);
  EXPECT_EQ(fixture().InFlight(DataInPipe(4)), 0u);
  faults().Clear();
  file = Open(4);
  Settle();
  EXPECT_EQ(fixture().MaxInFlight(DataInPipe(4)), 1u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, PortWhoseReadHasEndedClosesWithoutEchoOrWait) {
  PFILE_OBJECT file = Open(1);
  // The data read fails: reading stops until the next open.
  faults().FailPackets(DataInEndpoint(1), 1);
  h().Advance(20 * kMillisecond);
  ASSERT_EQ(fixture().InFlight(DataInPipe(1)), 0u);
  const size_t before = Blocks().size();
  EXPECT_LT(TimedClose(file), 100 * kMillisecond);
  EXPECT_TRUE(BlocksWithCode(COMMAND_ECHO, before).empty());
  EXPECT_EQ(BlocksWithCode(COMMAND_CLOSE_PORT, before).size(), 1u);
}

// Until the port's plug-and-play handling is built, the state a surprise removal leaves is
// set by hand.
TEST_F(OpenCloseTest, CloseOfASurpriseRemovedPortSendsNothingAndFreesEverything) {
  PFILE_OBJECT file = Open(3);
  Settle();
  port(3)->DevicePnpState = SurpriseRemoved;
  const size_t before = Blocks().size();
  EXPECT_LT(TimedClose(file), 100 * kMillisecond);
  EXPECT_TRUE(BlocksSince(before).empty());
  EXPECT_EQ(fixture().InFlight(DataInPipe(3)), 0u) << "its read was cancelled and awaited";
  port(3)->DevicePnpState = Started;
  // The count came back: the response loop runs again for the next open.
  file = Open(3);
  Settle();
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u);
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, CleanupCancelsEveryQueuedAndCurrentRequest) {
  PFILE_OBJECT file = Open(2);
  // Nothing plugged in: reads wait for ever; a long write keeps the pipe busy at 9600.
  Bytes big = Pattern(4000, 1);
  std::vector<sim::io::Request> requests = {sim::io::WriteAsync(file, big), sim::io::WriteAsync(file, Bytes(10, 1)),
                                            sim::io::ReadAsync(file, 100), sim::io::ReadAsync(file, 100),
                                            sim::io::ReadAsync(file, 5)};
  h().Advance(50 * kMillisecond);
  for (auto& request : requests) ASSERT_FALSE(request.IsComplete());
  EXPECT_EQ(Close(file), STATUS_SUCCESS);
  for (auto& request : requests) {
    ASSERT_TRUE(request.IsComplete());
    EXPECT_EQ(request.Status(), STATUS_CANCELLED);
    EXPECT_EQ(request.Information(), 0u);
  }
  EXPECT_EQ(fixture().InFlight(DataOutPipe(2)), 0u);
  EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(2)), 1u);
}

TEST_F(OpenCloseTest, CleanupWithNothingQueuedCompletesAtOnce) {
  PFILE_OBJECT file = Open(1);
  NTSTATUS cleanup = STATUS_PENDING;
  const sim::VirtualTime start = Now();
  sim::io::Close(file, &cleanup);
  EXPECT_EQ(cleanup, STATUS_SUCCESS);
  h().RunUntil([&] { return sim::io::CloseStatus(file).has_value(); });
  EXPECT_LT(Now() - start, 100 * kMillisecond);
}

// Closing one port while the other three stream through loopback plugs: the three deliver
// every byte once and in order; the closed one reopens and streams again.
TEST_F(OpenCloseTest, CloseDuringTrafficLeavesTheOtherPortsStreamingByteExact) {
  std::vector<PFILE_OBJECT> files;
  for (int number = 1; number <= 4; ++number) {
    PlugLoopback(number);
    files.push_back(Open(number));
  }
  std::vector<Bytes> sent;
  std::vector<sim::io::Request> reads, writes;
  for (int i = 0; i < 4; ++i) {
    sent.push_back(Pattern(1500, 100 + i));
    reads.push_back(sim::io::ReadAsync(files[i], 1500));
    writes.push_back(sim::io::WriteAsync(files[i], sent[i]));
  }
  h().Advance(400 * kMillisecond);
  ASSERT_FALSE(writes[0].IsComplete()) << "port 1 is still streaming when it closes";
  EXPECT_EQ(Close(files[0]), STATUS_SUCCESS);
  EXPECT_EQ(writes[0].Status(), STATUS_CANCELLED);
  EXPECT_EQ(reads[0].Status(), STATUS_CANCELLED);
  for (int i = 1; i < 4; ++i) {
    sim::io::Result read = reads[i].Wait();
    EXPECT_EQ(read.status, STATUS_SUCCESS) << "port " << i + 1;
    EXPECT_EQ(read.output, sent[i]) << "port " << i + 1;
    EXPECT_EQ(writes[i].Wait().information, 1500u);
  }
  files[0] = Open(1);
  Bytes again = Pattern(200, 9);
  sim::io::Request read = sim::io::ReadAsync(files[0], 200);
  EXPECT_EQ(sim::io::Write(files[0], again).status, STATUS_SUCCESS);
  EXPECT_EQ(read.Wait().output, again);
  for (PFILE_OBJECT file : files) EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

// Requests built by hand for a port nobody has open have no stream to wait on: they are
// refused at once instead of waiting for ever.
TEST_F(OpenCloseTest, ReadsAndWritesOnAPortNotOpenAreRefused) {
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
    SCOPED_TRACE("major " + std::to_string(major));
    sim::io::RawIrp irp;
    irp.major = major;
    irp.systemBuffer = Bytes(10, 0x33);
    irp.setup = [major](PIO_STACK_LOCATION stack) {
      if (major == IRP_MJ_READ) stack->Parameters.Read.Length = 10;
      else stack->Parameters.Write.Length = 10;
    };
    sim::io::Result result = sim::io::Send(port(4)->Self, irp);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_TRUE(DataOut(4).empty());
}

}  // namespace
