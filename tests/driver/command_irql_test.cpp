// The command channel called at DISPATCH_LEVEL: a command is queued and sent but neither
// awaited nor preceded by the pipe recoveries, which wait; pipe resets refuse outright.
#include "command_test_support.h"

namespace command_test {
namespace {

using adapter_model::kResponseEndpoint;

class CommandAtDispatch : public CommandChannelTest {
 protected:
  template <typename Body>
  void AtDispatch(const char* name, Body body) {
    h().RunTask(name, [&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      body();
      KeLowerIrql(old);
    });
  }
  size_t Resets(size_t from) {
    size_t count = 0;
    auto urbs = fixture().Urbs();
    for (size_t i = from; i < urbs.size(); ++i)
      if (urbs[i].function == URB_FUNCTION_RESET_PIPE) ++count;
    return count;
  }
};

TEST_F(CommandAtDispatch, ACommandIsSentWithoutAWaitAndLeavesTheRecoveriesToAPassiveIssuer) {
  OpenPort(1);
  model().StallPipe(kResponseEndpoint);
  fixture().busPort()->RequestPoll();
  h().Advance(10 * kMillisecond);
  ASSERT_TRUE(adapter()->ResponseResetNeeded);
  const size_t from = fixture().Urbs().size();
  const size_t before = Blocks().size();

  Issued issued;
  AtDispatch("dpc-level issuer", [&] { Run(issued, COMMAND_SET_DTR, {1, 0}); });
  EXPECT_EQ(issued.status, STATUS_SUCCESS);
  EXPECT_EQ(issued.Took(), 0);
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(BlocksSince(before), (std::vector<Bytes>{{0x05, 0x01, 0x00}}));
  EXPECT_EQ(Resets(from), 0u);
  EXPECT_TRUE(adapter()->ResponseResetNeeded) << "still owed to the next issuer that may wait";

  Issued passive = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_LT(passive.Took(), 100 * kMillisecond);
  EXPECT_EQ(Resets(from), 1u);
  EXPECT_FALSE(adapter()->ResponseResetNeeded);
}

TEST_F(CommandAtDispatch, PipeResetsRefuseAbovePassiveLevelAndSendNothing) {
  const size_t from = fixture().Urbs().size();
  NTSTATUS data = STATUS_PENDING, response = STATUS_PENDING, command = STATUS_PENDING;
  AtDispatch("dpc-level reset", [&] {
    data = DataOutPipeReset(port(1));
    response = ResponsePipeReset(adapter());
    command = CommandPipeReset(adapter());
  });
  EXPECT_EQ(data, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(response, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(command, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(fixture().Urbs().size(), from);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR35) + sim::pool::OutstandingCount(TAG_BR37) +
                sim::pool::OutstandingCount(TAG_BR38),
            0u);
}

}  // namespace
}  // namespace command_test
