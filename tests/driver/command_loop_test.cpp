// The response read loop (when it runs, when it stops, what a failed read costs) and the
// pipe resets.
#include "command_test_support.h"

namespace command_test {
namespace {

using adapter_model::Faults;
using adapter_model::kResponseEndpoint;
namespace cmd = adapter_model::command;

class ResponseLoop : public CommandChannelTest {
 protected:
  PVOID ResponsePipe() { return fixture().ResponsePipe(); }
  size_t Reading() { return fixture().InFlight(ResponsePipe()); }
  // The response read fails: the endpoint stalls the next time the host asks.
  void FailTheRead() {
    model().StallPipe(kResponseEndpoint);
    fixture().busPort()->RequestPoll();
    h().Advance(10 * kMillisecond);
  }
};

TEST_F(ResponseLoop, TheFirstOpenStartsReadingAndOneReadServesEveryPort) {
  EXPECT_TRUE(fixture().Urbs(ResponsePipe()).empty());
  OpenPort(1);
  EXPECT_EQ(Reading(), 1u);
  OpenPort(2);
  OpenPort(4);
  EXPECT_EQ(Reading(), 1u);
  EXPECT_EQ(fixture().MaxInFlight(ResponsePipe()), 1u);
  EXPECT_TRUE(Signalled(port(4)->CommandDoneEvent)) << "port 4's open was answered";
}

TEST_F(ResponseLoop, ClosingTheLastPortStopsReadingOnceTheCloseIsAnswered) {
  OpenPort(1);
  OpenPort(2);
  ClosePort(1);
  EXPECT_EQ(Reading(), 1u) << "port 2 is still open";
  Issued close;
  h().RunTask("close", [&] {
    close.started = Now();
    fixture().ClosePort(2);
    close.finished = Now();
  });
  EXPECT_LT(close.Took(), 100 * kMillisecond);
  h().Advance(50 * kMillisecond);
  EXPECT_EQ(Reading(), 0u);
  auto reads = fixture().Urbs(ResponsePipe());
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().received, (Bytes{RESPONSE_COMMAND_COMPLETE, cmd::kClose, 2})) << "the last block read";
}

TEST_F(ResponseLoop, OnlyACommandCompleteEndsReadingWhileNoPortIsOpen) {
  OpenPort(1);
  faults().WithholdAnswers(cmd::kClose, 1, 1);
  ClosePort(1);
  ASSERT_EQ(adapter()->OpenPortCount, 0u);
  ASSERT_EQ(Reading(), 1u) << "the close was not answered";
  fixture().injector().Inject({RESPONSE_EVENT, 1, EVENT_MODEM_STATUS, 0});
  fixture().injector().Inject({RESPONSE_STATUS_REPLY, 1, 3, 0, 0, 0, 0});
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(Reading(), 1u);
  fixture().injector().Inject({RESPONSE_COMMAND_COMPLETE, 0, 4});
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(Reading(), 0u);
}

// An open that followed a close whose answer never came used to post a second read on the
// same URB and buffer as the one still outstanding.
TEST_F(ResponseLoop, AReopenAfterAnUnansweredCloseKeepsTheOneReadItFinds) {
  OpenPort(1);
  faults().WithholdAnswers(cmd::kClose, 1, 1);
  ClosePort(1);
  ASSERT_EQ(Reading(), 1u);
  size_t reads = fixture().Urbs(ResponsePipe()).size();
  Issued open;
  h().RunTask("reopen", [&] {
    open.started = Now();
    fixture().OpenPort(1);
    open.finished = Now();
  });
  Settle();
  EXPECT_EQ(fixture().MaxInFlight(ResponsePipe()), 1u);
  EXPECT_LT(open.Took(), 100 * kMillisecond) << "the read still posted brought the answer";
  EXPECT_GT(fixture().Urbs(ResponsePipe()).size(), reads) << "and the loop went on";
  EXPECT_EQ(Reading(), 1u);
}

TEST_F(ResponseLoop, AFailedReadIsFollowedOnTheNextCommandByResetReadAndThenTheCommand) {
  OpenPort(1);
  FailTheRead();
  EXPECT_EQ(Reading(), 0u);
  EXPECT_TRUE(adapter()->ResponseResetNeeded);
  size_t from = fixture().Urbs().size();
  Issued issued = Issue(COMMAND_SET_DTR, {3, 1});  // any port's command
  EXPECT_EQ(issued.status, STATUS_SUCCESS);
  EXPECT_LT(issued.Took(), 100 * kMillisecond) << "the new read brought the answer";
  auto urbs = fixture().Urbs();
  ASSERT_GE(urbs.size(), from + 3);
  EXPECT_EQ(urbs[from].function, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(urbs[from].pipe, ResponsePipe());
  EXPECT_EQ(urbs[from + 1].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(urbs[from + 1].pipe, ResponsePipe());
  EXPECT_EQ(urbs[from + 2].pipe, fixture().CommandPipe());
  EXPECT_EQ(urbs[from + 2].out, (Bytes{0x05, 0x03, 0x01}));
  EXPECT_FALSE(adapter()->ResponseResetNeeded);
  EXPECT_FALSE(model().Controller().Halted(kResponseEndpoint));
  EXPECT_EQ(Reading(), 1u);
}

TEST_F(ResponseLoop, AReadThatCannotBeResubmittedIsRestartedByTheNextCommand) {
  OpenPort(1);
  sim::io::FailNextIrpAllocations(1);
  fixture().injector().Inject({RESPONSE_NO_ACTION});
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(Reading(), 0u);
  Issued issued = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_LT(issued.Took(), 100 * kMillisecond) << "the loop runs again";
  EXPECT_EQ(Reading(), 1u);
}

// A reset that outlasted its 1 s wait used to be freed while the bus driver still had it.
TEST_F(ResponseLoop, AResponseResetThatOutlastsItsWaitIsReleasedByItsCompletion) {
  OpenPort(1);
  FailTheRead();
  fixture().HoldPipeResets(1, 3 * kSecond);
  auto issued = IssueAsync("issuer", COMMAND_SET_DTR, {1, 1});
  h().Advance(1500 * kMillisecond);
  EXPECT_EQ(fixture().PipeResetsHeld(), 1u);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR38), 1u) << "the bus driver still owns the reset's URB";
  ASSERT_TRUE(h().RunUntil([&] { return issued->done; }));
  EXPECT_EQ(issued->status, STATUS_SUCCESS);
  EXPECT_EQ(issued->finished, WaitEnd(WaitEnd(issued->started, 1 * kSecond), 1 * kSecond))
      << "1 s for the reset, 1 s for the unanswered command";
  h().Advance(2 * kSecond);
  EXPECT_EQ(fixture().PipeResetsHeld(), 0u);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR38), 0u) << "freed once the reset completed";
  EXPECT_EQ(fixture().MaxInFlight(ResponsePipe()), 1u);
  // The late reset cleared the halt; the read queued behind it works again.
  Issued next = Issue(COMMAND_SET_DTR, {1, 0});
  EXPECT_LT(next.Took(), 100 * kMillisecond);
}

class PipeReset : public CommandChannelTest {
 protected:
  std::vector<PVOID> ResetPipes(size_t from) {
    std::vector<PVOID> pipes;
    auto urbs = fixture().Urbs();
    for (size_t i = from; i < urbs.size(); ++i)
      if (urbs[i].function == URB_FUNCTION_RESET_PIPE) pipes.push_back(urbs[i].pipe);
    return pipes;
  }
  NTSTATUS Reset(int number) {
    NTSTATUS status = STATUS_PENDING;
    h().RunTask("reset", [&] { status = DataOutPipeReset(port(number)); });
    Settle();
    return status;
  }
};

TEST_F(PipeReset, EachPortResetsOnlyItsOwnDataOutPipe) {
  size_t from = fixture().Urbs().size();
  EXPECT_EQ(Reset(2), STATUS_SUCCESS);
  EXPECT_EQ(Reset(3), STATUS_SUCCESS);
  EXPECT_EQ(ResetPipes(from), (std::vector<PVOID>{port(2)->DataOutPipe->PipeHandle, port(3)->DataOutPipe->PipeHandle}));
  EXPECT_EQ(port(2)->DataOutPipe->EndpointAddress, 0x02);
  EXPECT_EQ(port(3)->DataOutPipe->EndpointAddress, 0x03);
}

TEST_F(PipeReset, ADataOutResetClearsAHaltedEndpoint) {
  model().StallPipe(adapter_model::DataOutEndpoint(4));
  ASSERT_TRUE(model().Controller().Halted(adapter_model::DataOutEndpoint(4)));
  EXPECT_EQ(Reset(4), STATUS_SUCCESS);
  EXPECT_FALSE(model().Controller().Halted(adapter_model::DataOutEndpoint(4)));
}

TEST_F(PipeReset, ADataOutResetWaitsAsLongAsTheBusDriverTakes) {
  fixture().HoldPipeResets(1, 5 * kSecond);
  const sim::VirtualTime start = Now();
  EXPECT_EQ(Reset(1), STATUS_SUCCESS);
  EXPECT_GE(Now() - start, 5 * kSecond);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR37), 0u);
}

TEST_F(PipeReset, WithoutMemoryNothingIsResetAndNothingLeaks) {
  size_t from = fixture().Urbs().size();
  sim::pool::FailNextAllocations(1, TAG_BR37);
  EXPECT_EQ(Reset(1), STATUS_INSUFFICIENT_RESOURCES);
  sim::io::FailNextIrpAllocations(1);
  EXPECT_EQ(Reset(1), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(ResetPipes(from).empty());
  EXPECT_EQ(Reset(1), STATUS_SUCCESS);
}

}  // namespace
}  // namespace command_test
