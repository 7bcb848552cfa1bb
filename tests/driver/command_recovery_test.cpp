// What the next issuer recovers after a failure of the response loop, and what it leaves
// alone: a response read posted since the failure owns the pipe and is not reset under.
#include "command_test_support.h"

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

}  // namespace
}  // namespace command_test
