// The command queue: what goes on the command pipe, in which order, one transfer at a time,
// and how long each issuer waits for the firmware's answer.
#include "command_test_support.h"

namespace command_test {
namespace {

using adapter_model::Faults;
using adapter_model::ScriptedPeer;
namespace cmd = adapter_model::command;

class CommandQueue : public CommandChannelTest {};

TEST_F(CommandQueue, InitialConfigurationBlockGoesOutAsFourteenBytesAndIsTakenByThePort) {
  OpenPort(1);
  size_t before = Blocks().size();
  const PortConfigBlock config = port(1)->Config;
  Issued issued = Issue(COMMAND_SET_CONFIGURATION, Bytes((const uint8_t*)&config, (const uint8_t*)&config + 13));
  EXPECT_EQ(issued.status, STATUS_SUCCESS);
  EXPECT_LT(issued.Took(), 100 * kMillisecond) << "the firmware acknowledged it";
  ASSERT_EQ(BlocksSince(before),
            (std::vector<Bytes>{{0x03, 0x01, 0x80, 0x25, 0x00, 0x00, 0x08, 0x01, 0x6E, 0x6E, 0x13, 0x11, 0x6E, 0x00}}));
  EXPECT_EQ(model().Channel(1)->Settings().format, (adapter_model::LineFormat{9600, 8}));
}

TEST_F(CommandQueue, SetDtrOnPortTwoIsThreeBytesAndMovesTheLine) {
  ScriptedPeer peer(model().PortConnector(2));
  OpenPort(2);
  ASSERT_EQ(Issue(COMMAND_SET_DTR, {2, 0}).status, STATUS_SUCCESS);
  EXPECT_FALSE(peer.PortDtr());
  size_t before = Blocks().size();
  Issued raised = Issue(COMMAND_SET_DTR, {2, 1});
  EXPECT_EQ(raised.status, STATUS_SUCCESS);
  EXPECT_LT(raised.Took(), 100 * kMillisecond);
  EXPECT_EQ(BlocksSince(before), (std::vector<Bytes>{{0x05, 0x02, 0x01}}));
  EXPECT_TRUE(peer.PortDtr());
}

TEST_F(CommandQueue, EchoMarkerIsSixtyFourBytesReturnsAtOnceAndComesBackOnTheDataPipe) {
  OpenPort(3);
  size_t before = Blocks().size();
  Issued echo = Issue(COMMAND_ECHO, EchoPayload(3));
  EXPECT_EQ(echo.status, STATUS_SUCCESS);
  EXPECT_EQ(echo.Took(), 0) << "command 14 is not waited for";
  h().Advance(20 * kMillisecond);
  auto blocks = BlocksSince(before);
  ASSERT_EQ(blocks.size(), 1u);
  ASSERT_EQ(blocks[0].size(), 64u);
  EXPECT_EQ(Bytes(blocks[0].begin(), blocks[0].begin() + 7), (Bytes{0x0E, 0x03, 0x04, 0x42, 0x4F, 0x4E, 0x47}));
  EXPECT_EQ(Bytes(blocks[0].begin() + 7, blocks[0].end()), Bytes(57, 0)) << "the filler is zero";
  // The firmware hands the marker to the port's data IN endpoint (no read is posted here).
  ASSERT_TRUE(model().Controller().InArmed(adapter_model::DataInEndpoint(3)));
  EXPECT_EQ(model().Controller().DisarmIn(adapter_model::DataInEndpoint(3)), (Bytes{'B', 'O', 'N', 'G'}));
}

TEST_F(CommandQueue, CommandsIssuedWhileOneIsInFlightGoOutOneAtATimeInQueueOrder) {
  OpenPort(1);
  OpenPort(2);
  size_t before = Blocks().size();
  // Command 14 is not waited for, so one task queues them back to back in a known order.
  h().RunTask("issuer", [&] {
    for (UCHAR n : {1, 2, 3, 4, 2, 1}) CommandIssue(adapter(), COMMAND_ECHO, EchoPayload(n).data(), ECHO_PAYLOAD_LENGTH);
  });
  EXPECT_EQ(fixture().InFlight(fixture().CommandPipe()), 1u);
  h().Advance(50 * kMillisecond);
  auto blocks = BlocksSince(before);
  ASSERT_EQ(blocks.size(), 6u);
  std::vector<int> order;
  for (const auto& block : blocks) order.push_back(block[1]);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 2, 1}));
  EXPECT_EQ(fixture().MaxInFlight(fixture().CommandPipe()), 1u);
  // Only the first went out from the issuer; each later one from the completion of the one
  // before it, in the host controller's task.
  auto urbs = fixture().Urbs(fixture().CommandPipe());
  ASSERT_EQ(urbs.size(), before + 6);
  EXPECT_EQ(urbs[before].submitter, "issuer");
  for (size_t i = before + 1; i < urbs.size(); ++i) EXPECT_EQ(urbs[i].submitter, "usb-host-controller") << i;
}

TEST_F(CommandQueue, EachIssuerWaitsForItsOwnPortsAnswer) {
  OpenPort(1);
  OpenPort(2);
  faults().WithholdAnswers(Faults::kAny, 1);
  auto first = IssueAsync("port 1", COMMAND_SET_BREAK, {1, 0});
  auto second = IssueAsync("port 2", COMMAND_SET_BREAK, {2, 0});
  ASSERT_TRUE(h().RunUntil([&] { return first->done && second->done; }));
  EXPECT_EQ(first->status, STATUS_SUCCESS);
  EXPECT_EQ(second->status, STATUS_SUCCESS);
  EXPECT_LT(second->Took(), 100 * kMillisecond) << "port 2 was answered";
  EXPECT_EQ(first->finished, WaitEnd(first->started, 1 * kSecond)) << "port 1 never was: its issuer gave up after 1 s";
}

TEST_F(CommandQueue, AnUnansweredCommandStillSucceedsAfterOneSecond) {
  OpenPort(4);
  faults().WithholdAnswers();
  for (UCHAR code : {COMMAND_SET_RTS, COMMAND_SET_DTR, COMMAND_PURGE, COMMAND_CLOSE_PORT}) {
    Issued issued = Issue(code, {4, 1});
    EXPECT_EQ(issued.status, STATUS_SUCCESS) << int(code);
    EXPECT_EQ(issued.finished, WaitEnd(issued.started, 1 * kSecond)) << int(code);
  }
}

TEST_F(CommandQueue, ALateAnswerReleasesThePortsNextWaiterEarly) {
  OpenPort(1);
  faults().DelayAnswers(1500 * kMillisecond, cmd::kSetDtr, 1, 1);
  faults().WithholdAnswers(cmd::kSetRts, 1, 1);
  Issued first = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(first.finished, WaitEnd(first.started, 1 * kSecond));
  // The next command of the port is never answered, but the late answer to the first one
  // arrives half a second into its wait and ends it.
  Issued second = Issue(COMMAND_SET_RTS, {1, 0});
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_GE(second.Took(), 450 * kMillisecond);
  EXPECT_LE(second.Took(), 550 * kMillisecond);
}

TEST_F(CommandQueue, StatusRequestWaitsForTheStatusReplyNotForACommandComplete) {
  ScriptedPeer peer(model().PortConnector(1));
  OpenPort(1);
  peer.SetCts(true);
  h().Advance(10 * kMillisecond);
  Issued status = Issue(COMMAND_GET_STATUS, {1});
  EXPECT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_LT(status.Took(), 100 * kMillisecond);
  EXPECT_EQ(port(1)->Status.PortNumber, 1);
  EXPECT_NE(port(1)->Status.ModemStatus & SERIAL_MSR_CTS, 0);
  EXPECT_TRUE(Signalled(port(1)->StatusEvent));

  // Without a status reply, command completes of the same port do not end the wait.
  faults().WithholdAnswers(cmd::kStatus, 1);
  auto request = IssueAsync("status", COMMAND_GET_STATUS, {1});
  h().Advance(100 * kMillisecond);
  ASSERT_FALSE(request->done);
  fixture().injector().Inject({RESPONSE_COMMAND_COMPLETE, 0, 1});
  h().Advance(100 * kMillisecond);
  EXPECT_FALSE(request->done);
  ASSERT_TRUE(h().RunUntil([&] { return request->done; }));
  EXPECT_EQ(request->finished, WaitEnd(request->started, 1 * kSecond));
}

TEST_F(CommandQueue, NothingIsSentForASurpriseRemovedPort) {
  OpenPort(2);
  port(2)->DevicePnpState = SurpriseRemoved;
  size_t before = Blocks().size();
  auto executed = model().Firmware()->Counters().executed;
  for (UCHAR code : {COMMAND_SET_DTR, COMMAND_CLOSE_PORT, COMMAND_ECHO}) {
    Issued issued = Issue(code, code == COMMAND_ECHO ? EchoPayload(2) : Bytes{2, 1});
    EXPECT_EQ(issued.status, STATUS_SUCCESS);
    EXPECT_EQ(issued.Took(), 0);
  }
  h().Advance(50 * kMillisecond);
  EXPECT_EQ(Blocks().size(), before);
  EXPECT_EQ(model().Firmware()->Counters().executed, executed);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
}

TEST_F(CommandQueue, PayloadsThatNameNoPortOrDoNotFitABlockAreRefused) {
  OpenPort(1);
  size_t before = Blocks().size();
  EXPECT_EQ(Issue(COMMAND_SET_DTR, {0, 1}).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Issue(COMMAND_SET_DTR, {5, 1}).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Issue(COMMAND_SET_DTR, {}).status, STATUS_INVALID_PARAMETER);
  Bytes tooLong(COMMAND_PAYLOAD_MAX + 1, 0);
  tooLong[0] = 1;
  EXPECT_EQ(Issue(COMMAND_ECHO, tooLong).status, STATUS_INVALID_PARAMETER);
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(Blocks().size(), before);
}

TEST_F(CommandQueue, AMessageThatCannotBeAllocatedIsReportedAndNothingWaits) {
  OpenPort(1);
  size_t before = Blocks().size();
  sim::pool::FailNextAllocations(1, TAG_BR11);
  Issued issued = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(issued.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(issued.Took(), 0);
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(Blocks().size(), before);
  // The channel is not affected.
  EXPECT_LT(Issue(COMMAND_SET_DTR, {1, 1}).Took(), 100 * kMillisecond);
}

// A failed command transfer used to leave the channel stalled until the next adapter start,
// with every later message queued for good.
TEST_F(CommandQueue, AFailedTransferStallsTheChannelOnlyUntilTheNextCommand) {
  OpenPort(1);
  OpenPort(2);
  OpenPort(3);
  size_t before = Blocks().size();
  faults().FailPackets(adapter_model::kCommandEndpoint, 1);
  // The first block fails on the wire and halts the pipe; two more wait behind it.
  h().RunTask("issuer", [&] {
    for (UCHAR n : {1, 2, 3}) CommandIssue(adapter(), COMMAND_ECHO, EchoPayload(n).data(), ECHO_PAYLOAD_LENGTH);
  });
  h().Advance(100 * kMillisecond);
  auto urbs = fixture().Urbs(fixture().CommandPipe());
  ASSERT_EQ(urbs.size(), before + 1) << "nothing follows a failed transfer by itself";
  EXPECT_EQ(urbs.back().urbStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 2u) << "the queued messages are kept";

  // The next command resets the pipe and the queue drains in order, its own block last.
  ScriptedPeer peer(model().PortConnector(1));
  Issued next = Issue(COMMAND_SET_DTR, {1, 0});
  EXPECT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_LT(next.Took(), 100 * kMillisecond) << "answered";
  EXPECT_FALSE(peer.PortDtr());
  auto blocks = BlocksSince(before);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[1][1], 2);
  EXPECT_EQ(blocks[2][1], 3);
  EXPECT_EQ(blocks[3], (Bytes{0x05, 0x01, 0x00}));
  bool reset = false;
  for (const auto& urb : fixture().Urbs())
    if (urb.function == URB_FUNCTION_RESET_PIPE && urb.pipe == fixture().CommandPipe()) reset = true;
  EXPECT_TRUE(reset) << "the halted command pipe was reset";
  EXPECT_EQ(model().Controller().DisarmIn(adapter_model::DataInEndpoint(2)), (Bytes{'B', 'O', 'N', 'G'}));
  EXPECT_EQ(model().Controller().DisarmIn(adapter_model::DataInEndpoint(3)), (Bytes{'B', 'O', 'N', 'G'}));
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
  EXPECT_EQ(fixture().MaxInFlight(fixture().CommandPipe()), 1u);
}

TEST_F(CommandQueue, MessagesOfAStalledChannelAreReleasedWhenTheAdapterGoes) {
  OpenPort(1);
  faults().FailPackets(adapter_model::kCommandEndpoint, 1);
  h().RunTask("issuer", [&] {
    for (UCHAR n : {1, 2, 3, 4}) CommandIssue(adapter(), COMMAND_ECHO, EchoPayload(n).data(), ECHO_PAYLOAD_LENGTH);
  });
  h().Advance(100 * kMillisecond);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 3u);
  PVOID responsePipe = fixture().ResponsePipe();
  ASSERT_EQ(fixture().InFlight(responsePipe), 1u);
  fixture().StopAndRemove();
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
  // The response read still posted was cancelled and awaited before its URB went.
  auto reads = fixture().Urbs(responsePipe);
  ASSERT_FALSE(reads.empty());
  EXPECT_TRUE(reads.back().completed);
  EXPECT_EQ(reads.back().status, STATUS_CANCELLED);
}

TEST_F(CommandQueue, ASubmissionThatCannotAllocateItsRequestKeepsItsMessageForTheNextCommand) {
  OpenPort(1);
  OpenPort(2);
  size_t before = Blocks().size();
  sim::io::FailNextIrpAllocations(1);
  Issued first = Issue(COMMAND_SET_DTR, {1, 0});
  EXPECT_EQ(first.finished, WaitEnd(first.started, 1 * kSecond)) << "not sent, so not answered";
  EXPECT_EQ(Blocks().size(), before);
  Issued second = Issue(COMMAND_SET_DTR, {2, 0});
  EXPECT_LT(second.Took(), 100 * kMillisecond);
  EXPECT_EQ(BlocksSince(before), (std::vector<Bytes>{{0x05, 0x01, 0x00}, {0x05, 0x02, 0x00}}));
}

}  // namespace
}  // namespace command_test
