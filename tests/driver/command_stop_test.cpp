// Stopping the command channel (adapter stop and removal) and opening it again at the next
// start: what is in flight is cancelled and awaited, what is queued is freed, nothing goes out
// afterwards, and a removal racing the completions of commands and reads still ends that way.
#include <map>

#include "command_test_support.h"
#include "simkernel/race_detector.h"

namespace command_test {
namespace {

// What the channel looked like the moment CommandChannelStop returned.
struct AfterStop {
  bool commandInFlightBefore = false;
  PIRP commandIrp = nullptr;
  PIRP responseIrp = nullptr;
  CommandMessage* current = nullptr;
  bool queueEmpty = false;
  size_t messages = 0;
  size_t urbs = 0;
};

AfterStop StopNow(harness::AdapterFixture& fixture) {
  AfterStop after;
  AdapterExtension* a = fixture.adapter();
  {
    // A glance without the lock, for the test's statistics only: another processor may be
    // sending right now.
    sim::race::Unobserved unobserved;
    after.commandInFlightBefore = a->CommandIrp != nullptr;
  }
  CommandChannelStop(a);
  after.commandIrp = a->CommandIrp;
  after.responseIrp = a->ResponseIrp;
  after.current = a->CurrentCommand;
  after.queueEmpty = IsListEmpty(&a->CommandQueue) != FALSE;
  after.messages = sim::pool::OutstandingCount(TAG_BR11);
  after.urbs = fixture.Urbs().size();
  return after;
}

class CommandStop : public CommandChannelTest {
 protected:
  // Three echo markers queued from one task (the first in flight, two behind it), then the stop.
  AfterStop IssueThreeAndStop() {
    AfterStop after;
    h().RunTask("issue, then stop", [&] {
      for (UCHAR n : {1, 2, 3}) CommandIssue(adapter(), COMMAND_ECHO, EchoPayload(n).data(), ECHO_PAYLOAD_LENGTH);
      after = StopNow(fixture());
    });
    return after;
  }
};

TEST_F(CommandStop, AStopAwaitsTheTransferInFlightFreesTheQueueAndSendsNothingMore) {
  OpenPort(1);
  const size_t before = Blocks().size();
  AfterStop after = IssueThreeAndStop();
  EXPECT_TRUE(after.commandInFlightBefore);
  EXPECT_EQ(after.commandIrp, nullptr) << "the stop returned before the completion ran";
  EXPECT_EQ(after.responseIrp, nullptr) << "the posted read was not awaited";
  EXPECT_EQ(after.current, nullptr);
  EXPECT_TRUE(after.queueEmpty);
  EXPECT_EQ(after.messages, 0u);
  auto urbs = fixture().Urbs(fixture().CommandPipe());
  ASSERT_EQ(urbs.size(), before + 1) << "only the first marker went out";
  EXPECT_TRUE(urbs.back().completed);

  // Commands of a stopped channel return at once and leave nothing queued.
  Issued late = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(late.status, STATUS_SUCCESS);
  EXPECT_EQ(late.Took(), 0);
  NTSTATUS read = STATUS_PENDING;
  h().RunTask("read", [&] { read = ResponseReadStart(adapter()); });
  EXPECT_EQ(read, STATUS_DELETE_PENDING);
  h().Advance(50 * kMillisecond);
  EXPECT_EQ(fixture().Urbs().size(), after.urbs) << "nothing was submitted after the stop";
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
}

TEST_F(CommandStop, TheNextStartOpensTheChannelAgainEvenAfterAStopThatCaughtATransfer) {
  AfterStop after = IssueThreeAndStop();
  ASSERT_TRUE(after.commandInFlightBefore);
  h().RunTask("adapter start", [&] { CommandChannelInitialize(adapter()); });
  const size_t before = Blocks().size();
  OpenPort(1);
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u) << "the first open reads again";
  Issued issued = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(issued.status, STATUS_SUCCESS);
  EXPECT_LT(issued.Took(), 100 * kMillisecond) << "sent and answered";
  EXPECT_EQ(BlocksSince(before), (std::vector<Bytes>{{0x01, 0x01}, {0x05, 0x01, 0x01}}));
}

TEST_F(CommandStop, AStopOfAnIdleChannelReturnsAtOnce) {
  const sim::VirtualTime start = Now();
  AfterStop after;
  h().RunTask("stop", [&] { after = StopNow(fixture()); });
  EXPECT_EQ(Now(), start);
  EXPECT_FALSE(after.commandInFlightBefore);
  EXPECT_TRUE(after.queueEmpty);
}

// The removal lands anywhere among two ports' commands, their transfers' completions and the
// response reads: whatever it meets, when it returns nothing is in flight, nothing is queued,
// and nothing is submitted afterwards; every issuer still returns STATUS_SUCCESS.
TEST(CommandStopRaces, ARemovalRacingCommandAndReadCompletionsLeavesTheChannelEmptyAndQuiet) {
  std::map<std::string, int> outcomes;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with ZEL_SEED=" + std::to_string(seed) + ")");
    AfterStop after;
    size_t urbsLater = 0, messagesLater = 0;
    std::vector<NTSTATUS> statuses;
    auto problems = RunSeed(seed, [&](harness::DriverHarness& h, harness::AdapterFixture& fixture) {
      for (int n = 1; n <= 2; ++n) h.RunTask("open", [&] { fixture.OpenPort(n); });
      LONG finished = 0;  // counted by tasks on processors of their own
      bool stopped = false;
      for (int n = 1; n <= 2; ++n) {
        h.Spawn("port " + std::to_string(n), [&, n] {
          const UCHAR p = static_cast<UCHAR>(n);
          for (UCHAR code : {COMMAND_SET_DTR, COMMAND_ECHO, COMMAND_SET_RTS, COMMAND_ECHO, COMMAND_SET_DTR}) {
            Delay(static_cast<sim::VirtualTime>(h.machine().RandomBelow(3)) * (kMillisecond / 2));
            Bytes payload{p, 1};
            if (code == COMMAND_ECHO) {
              payload.resize(ECHO_PAYLOAD_LENGTH);
              CommandBuildEchoPayload(p, payload.data());
            }
            const NTSTATUS status = CommandIssue(fixture.adapter(), code, payload.data(), ULONG(payload.size()));
            sim::race::Unobserved unobserved;  // the test's own record
            statuses.push_back(status);
          }
          InterlockedIncrement(&finished);
        });
      }
      h.Spawn("removal", [&] {
        Delay(static_cast<sim::VirtualTime>(h.machine().RandomBelow(8)) * (kMillisecond / 2));
        after = StopNow(fixture);
        stopped = true;
      });
      ASSERT_TRUE(h.RunUntil([&] { return finished == 2 && stopped; }));
      h.Advance(50 * kMillisecond);
      urbsLater = fixture.Urbs().size();
      messagesLater = sim::pool::OutstandingCount(TAG_BR11);
    });
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    EXPECT_EQ(after.commandIrp, nullptr);
    EXPECT_EQ(after.responseIrp, nullptr);
    EXPECT_EQ(after.current, nullptr);
    EXPECT_TRUE(after.queueEmpty);
    EXPECT_EQ(urbsLater, after.urbs) << "submitted after the stop";
    EXPECT_EQ(messagesLater, 0u) << "a message issued around the stop was kept";
    EXPECT_EQ(statuses, std::vector<NTSTATUS>(10, STATUS_SUCCESS));
    ++outcomes[after.commandInFlightBefore ? "caught a transfer" : "found the pipe idle"];
    if (HasFailure()) break;
  }
  EXPECT_GT(outcomes["caught a transfer"], 0);
  EXPECT_GT(outcomes["found the pipe idle"], 0);
}

// Before the adapter's start has set up the pipes, URBs and buffer there is nothing to send
// with: a command waits in the queue until the stop frees it, and no read is posted. The
// first start is caught there, its ports made, its configuration not yet selected: the
// selection is held below the adapter (as a slow bus would) while an early issuer tries.
class CommandBeforeStart : public DriverTest {};

TEST_F(CommandBeforeStart, NothingReachesTheBusAndTheStopFreesWhatWasQueued) {
  harness::AdapterFixture fixture(h());
  bool tried = false;
  NTSTATUS read = STATUS_PENDING, command = STATUS_PENDING;
  size_t queued = 0, afterStop = 0;
  PIRP responseIrp = nullptr, commandIrp = nullptr;
  fixture.HoldFirstConfiguration([&](AdapterExtension* a) {
    if (a != nullptr && a->Ports[0] != nullptr && a->CommandPipe == nullptr) {
      tried = true;
      read = ResponseReadStart(a);
      const UCHAR payload[] = {1, 1};
      command = CommandIssue(a, COMMAND_SET_DTR, payload, sizeof payload);
      queued = sim::pool::OutstandingCount(TAG_BR11);
      CommandChannelStop(a);
      afterStop = sim::pool::OutstandingCount(TAG_BR11);
      responseIrp = a->ResponseIrp;
      commandIrp = a->CommandIrp;
    }
  });
  fixture.Start();
  ASSERT_TRUE(tried) << "the start was not caught before its configuration";
  EXPECT_EQ(read, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(command, STATUS_SUCCESS);
  EXPECT_EQ(queued, 1u) << "kept for a channel that can send";
  EXPECT_EQ(afterStop, 0u);
  EXPECT_EQ(responseIrp, nullptr);
  EXPECT_EQ(commandIrp, nullptr);
  for (const harness::UrbRecord& record : fixture.Urbs()) EXPECT_NE(record.submitter, "held configuration");
  fixture.StopAndRemove();
}

}  // namespace
}  // namespace command_test
