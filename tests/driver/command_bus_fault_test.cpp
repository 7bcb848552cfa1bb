// The command channel on a faulty bus: a command acknowledged short, a response read reported
// longer than its buffer, zero-length response packets. Nothing overruns, nothing is lost or
// sent twice, and the channel keeps working.
#include "command_test_support.h"

namespace command_test {
namespace {

using adapter_model::kCommandEndpoint;
using adapter_model::kResponseEndpoint;

class CommandBusFaults : public CommandChannelTest {
 protected:
  sim::usb::BusPort& bus() { return *fixture().busPort(); }
  void Inject(Bytes block) {
    fixture().injector().Inject(std::move(block));
    h().Advance(10 * kMillisecond);
  }
  size_t PipeRequests(PVOID pipe, USHORT function) {
    size_t count = 0;
    for (const auto& urb : fixture().Urbs()) count += urb.pipe == pipe && urb.function == function;
    return count;
  }
  size_t PipeResets(PVOID pipe) { return PipeRequests(pipe, URB_FUNCTION_RESET_PIPE); }
};

TEST_F(CommandBusFaults, ACommandAcknowledgedShortIsNeitherSentAgainNorStallsTheChannel) {
  OpenPort(1);
  const size_t before = Blocks().size();
  bus().AcknowledgeOutShort(kCommandEndpoint, 2);
  Issued dtr = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(dtr.status, STATUS_SUCCESS);
  // The firmware had every byte and answered: the issuer did not sit out its wait.
  EXPECT_LT(dtr.Took(), 100 * kMillisecond);
  auto commands = fixture().Urbs(fixture().CommandPipe());
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back().reportedLength, 1u);
  EXPECT_EQ(commands.back().urbStatus, USBD_STATUS_SUCCESS);

  Issued rts = Issue(COMMAND_SET_RTS, {1, 1});
  EXPECT_LT(rts.Took(), 100 * kMillisecond);
  EXPECT_EQ(BlocksSince(before), (std::vector<Bytes>{{0x05, 0x01, 0x01}, {0x04, 0x01, 0x01}}));
  EXPECT_EQ(PipeResets(fixture().CommandPipe()), 0u);

  // Unlike a transfer that failed: that stalls the channel until the next issuer resets it.
  faults().FailPackets(kCommandEndpoint, 1);
  Issue(COMMAND_SET_DTR, {1, 0});
  Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(PipeResets(fixture().CommandPipe()), 1u);
}

TEST_F(CommandBusFaults, StopWithACommandOnTheBusAbortsItsPipeAndReleasesEverything) {
  OpenPort(1);
  // Queued from DISPATCH_LEVEL, so the issuer does not wait; the transfer waits for a frame.
  h().RunTask("issuer", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CommandIssue(adapter(), COMMAND_SET_DTR, Bytes{1, 1}.data(), 2);
    KeLowerIrql(old);
  });
  PVOID commandPipe = fixture().CommandPipe();
  ASSERT_EQ(fixture().InFlight(commandPipe), 1u);
  fixture().StopAndRemove();
  auto commands = fixture().Urbs(commandPipe);
  ASSERT_FALSE(commands.empty());
  EXPECT_TRUE(commands.back().completed);
  EXPECT_EQ(commands.back().status, STATUS_CANCELLED);
  EXPECT_GE(PipeRequests(commandPipe, URB_FUNCTION_ABORT_PIPE), 1u);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
}

TEST_F(CommandBusFaults, AResponseReportedLongerThanItsBufferIsReadAsOneBlock) {
  OpenPort(1);
  OpenPort(2);
  bus().ReportInLonger(kResponseEndpoint, 300, 2);
  Inject({RESPONSE_COMMAND_COMPLETE, 0, 3});
  EXPECT_TRUE(Signalled(port(3)->CommandDoneEvent));
  // A status reply whose block the bus claims runs far past 64 bytes: only its 6 bytes count.
  Inject({RESPONSE_STATUS_REPLY, 2, 0x03, 0xB0, 0x60, 7, 9});
  EXPECT_TRUE(Signalled(port(2)->StatusEvent));
  EXPECT_EQ(port(2)->Status.Extra[1], 9);

  auto reads = fixture().Urbs(fixture().ResponsePipe());
  size_t overlong = 0;
  for (const auto& read : reads) overlong += read.completed && read.reportedLength > RESPONSE_BLOCK_SIZE;
  EXPECT_EQ(overlong, 2u);
  // The loop goes on: one read posted, and the next block is decoded.
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u);
  Issued after = Issue(COMMAND_SET_DTR, {2, 0});
  EXPECT_LT(after.Took(), 100 * kMillisecond);
}

TEST_F(CommandBusFaults, ZeroLengthResponsePacketsAreSkippedWithoutLosingABlock) {
  OpenPort(1);
  bus().SendZeroLengthIn(kResponseEndpoint, 3);
  Inject({RESPONSE_COMMAND_COMPLETE, 0, 4});
  EXPECT_TRUE(Signalled(port(4)->CommandDoneEvent));

  auto reads = fixture().Urbs(fixture().ResponsePipe());
  size_t empty = 0;
  for (const auto& read : reads) empty += read.completed && read.status == STATUS_SUCCESS && read.reportedLength == 0;
  EXPECT_EQ(empty, 3u);
  EXPECT_EQ(PipeResets(fixture().ResponsePipe()), 0u);
  // Each command is still answered once, and quickly.
  Issued dtr = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_LT(dtr.Took(), 100 * kMillisecond);
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u);
}

}  // namespace
}  // namespace command_test
