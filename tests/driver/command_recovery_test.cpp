// What the next issuer recovers after a failure of the response loop, and what it leaves
// alone: a response read posted since the failure owns the pipe and is not reset under.
#include <algorithm>
#include <map>
#include <string>

#include "command_test_support.h"
#include "simkernel/race_detector.h"

namespace command_test {
namespace {

class CommandRecovery : public CommandChannelTest {
 protected:
  size_t ResponseResets(size_t from) {
    size_t count = 0;
    auto urbs = fixture().Urbs();
    for (size_t i = from; i < urbs.size(); ++i)
      if (urbs[i].function == URB_FUNCTION_RESET_PIPE && urbs[i].pipe == fixture().ResponsePipe()) ++count;
    return count;
  }
};

TEST_F(CommandRecovery, AReadPostedSinceTheFailureIsNeitherResetNorDoubled) {
  OpenPort(1);
  // The resubmission finds no memory: the loop is idle and owes a restart.
  sim::io::FailNextIrpAllocations(1);
  fixture().injector().Inject({RESPONSE_NO_ACTION});
  h().Advance(10 * kMillisecond);
  ASSERT_EQ(fixture().InFlight(fixture().ResponsePipe()), 0u);
  ASSERT_TRUE(adapter()->ResponseResetNeeded);
  // A first open posts the read before its own command (as port open does).
  NTSTATUS started = STATUS_PENDING;
  h().RunTask("first open", [&] { started = ResponseReadStart(adapter()); });
  ASSERT_EQ(started, STATUS_PENDING);
  PIRP posted = adapter()->ResponseIrp;
  ASSERT_NE(posted, nullptr);
  const size_t from = fixture().Urbs().size();

  Issued issued = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_LT(issued.Took(), 100 * kMillisecond) << "the posted read brought the answer";
  EXPECT_EQ(ResponseResets(from), 0u) << "a reset would have aborted the posted read";
  EXPECT_FALSE(adapter()->ResponseResetNeeded);
  auto reads = fixture().Urbs(fixture().ResponsePipe());
  for (const auto& read : reads) {
    if (read.irp != posted) continue;
    EXPECT_TRUE(read.completed);
    EXPECT_EQ(read.status, STATUS_SUCCESS) << "the posted read ended by its answer";
  }
  EXPECT_EQ(fixture().MaxInFlight(fixture().ResponsePipe()), 1u);
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u);
}

// The response read fails at any moment among two ports' commands: the failure is recovered
// exactly once, by whichever issuer claims it first, and the loop runs again with one read.
TEST(CommandRecoveryRaces, AReadFailingAmongIssuersIsResetOnceAndTheLoopRunsAgain) {
  std::map<std::string, int> recoveredBy;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with ZEL_SEED=" + std::to_string(seed) + ")");
    size_t resets = 0, reading = 0, mostReading = 0;
    std::string resetter;
    bool owed = true, halted = true;
    std::vector<NTSTATUS> statuses;
    sim::VirtualTime longest = 0;
    auto problems = RunSeed(seed, [&](harness::DriverHarness& h, harness::AdapterFixture& fixture) {
      for (int n = 1; n <= 2; ++n) h.RunTask("open", [&] { fixture.OpenPort(n); });
      const size_t from = fixture.Urbs().size();
      LONG finished = 0;  // counted by tasks on processors of their own
      for (int n = 1; n <= 2; ++n) {
        h.Spawn("port " + std::to_string(n), [&, n] {
          const UCHAR p = static_cast<UCHAR>(n);
          for (UCHAR state : {0, 1, 0, 1}) {
            Delay(static_cast<sim::VirtualTime>(h.machine().RandomBelow(4)) * (kMillisecond / 2));
            const sim::VirtualTime start = h.machine().Now();
            const UCHAR payload[] = {p, state};
            const NTSTATUS status = CommandIssue(fixture.adapter(), COMMAND_SET_DTR, payload, sizeof payload);
            sim::race::Unobserved unobserved;  // the test's own record
            statuses.push_back(status);
            longest = std::max(longest, h.machine().Now() - start);
          }
          InterlockedIncrement(&finished);
        });
      }
      // Sometimes amid the issuers' commands, sometimes after the last of them.
      h.Advance(static_cast<sim::VirtualTime>(h.machine().RandomBelow(32)) * kMillisecond);
      fixture.model().StallPipe(adapter_model::kResponseEndpoint);
      fixture.busPort()->RequestPoll();
      ASSERT_TRUE(h.RunUntil([&] { return finished == 2; }));
      h.Advance(10 * kMillisecond);  // the host controller meets the halt
      // One more command recovers what no issuer came after.
      h.RunTask("last", [&] {
        const UCHAR payload[] = {1, 1};
        statuses.push_back(CommandIssue(fixture.adapter(), COMMAND_SET_DTR, payload, sizeof payload));
      });
      h.Advance(10 * kMillisecond);
      auto urbs = fixture.Urbs();
      for (size_t i = from; i < urbs.size(); ++i)
        if (urbs[i].function == URB_FUNCTION_RESET_PIPE && urbs[i].pipe == fixture.ResponsePipe()) {
          ++resets;
          resetter = urbs[i].submitter;
        }
      reading = fixture.InFlight(fixture.ResponsePipe());
      mostReading = fixture.MaxInFlight(fixture.ResponsePipe());
      owed = fixture.adapter()->ResponseResetNeeded;
      halted = fixture.model().Controller().Halted(adapter_model::kResponseEndpoint);
    });
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    EXPECT_EQ(resets, 1u);
    EXPECT_EQ(reading, 1u);
    EXPECT_EQ(mostReading, 1u);
    EXPECT_FALSE(owed);
    EXPECT_FALSE(halted);
    EXPECT_EQ(statuses, std::vector<NTSTATUS>(9, STATUS_SUCCESS));
    EXPECT_LE(longest, 2 * kSecond) << "a reset and a wait, each bounded at 1 s";
    ++recoveredBy[resetter == "last" ? "the command after" : "a racing issuer"];
    if (HasFailure()) break;
  }
  EXPECT_GT(recoveredBy["a racing issuer"], 0);
  EXPECT_GT(recoveredBy["the command after"], 0);
}

}  // namespace
}  // namespace command_test
