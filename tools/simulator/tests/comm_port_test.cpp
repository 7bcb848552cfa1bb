// CommPort through kernel32 from tasks the Win32 layer did not make and from the controlling
// thread, over machines that follow each other in one process.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bring_up.h"
#include "comm_port.h"

namespace simulator {
namespace {

class CommPortTest : public ::testing::Test {
 protected:
  CommPortTest() {
    options_.seed = harness::SeedFromEnvironment();
    options_.cable = CableKind::Loopback;
  }

  struct Machine {
    harness::DriverHarness harness;
    Bench bench;
    Machine(const Options& options, Trace& trace)
        : harness(harness::SeedFromEnvironment()), bench(harness, options, trace) {}
  };

  std::unique_ptr<Machine> Boot() {
    auto machine = std::make_unique<Machine>(options_, trace_);
    EXPECT_TRUE(machine->bench.BringUp());
    machine->bench.PlugCables();
    return machine;
  }

  static void Prepare(CommPort& port, uint32_t readConstant) {
    LineSettings line;
    line.baud = 115200;
    Timeouts timeouts;
    timeouts.readInterval = Timeouts::kForever;
    timeouts.readMultiplier = Timeouts::kForever;
    timeouts.readConstant = readConstant;
    timeouts.writeConstant = 1000;
    ASSERT_EQ(port.Configure(line), STATUS_SUCCESS);
    ASSERT_EQ(port.SetTimeouts(timeouts), STATUS_SUCCESS);
    ASSERT_EQ(port.Purge(), STATUS_SUCCESS);
  }

  // Writes through the loopback plug and reads it back.
  static std::vector<uint8_t> Echo(CommPort& port, const std::vector<uint8_t>& bytes) {
    IoOutcome wrote = port.Write(bytes).Wait();
    EXPECT_EQ(wrote.status, STATUS_SUCCESS);
    EXPECT_EQ(wrote.transferred, bytes.size());
    std::vector<uint8_t> back;
    // Each read returns what has arrived; one that times out empty ends it.
    while (back.size() < bytes.size()) {
      IoOutcome got = port.Read(uint32_t(bytes.size() - back.size())).Wait();
      if (got.data.empty()) break;
      back.insert(back.end(), got.data.begin(), got.data.end());
    }
    return back;
  }

  Options options_;
  Trace trace_{false};
};

TEST_F(CommPortTest, APortKeptPastItsMachineTouchesNothingOnTheNext) {
  std::unique_ptr<CommPort> stale;
  std::string com;
  {
    auto first = Boot();
    com = first->bench.Ports().at(0).com;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // Left open as the machine goes away.
    first->harness.machine().RunTask("open", [&] { stale = CommPort::Open(com, &status); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(stale, nullptr);
    first->bench.UnplugAll();
  }
  auto second = Boot();
  std::unique_ptr<CommPort> fresh;
  second->harness.machine().RunTask("port", [&] {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    fresh = CommPort::Open(com, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(fresh, nullptr);
    Prepare(*fresh, 200);
    // The new process numbers its handles afresh, so the first machine's handle may be the
    // new port's number: it must reach nothing here.
    EXPECT_EQ(stale->Purge(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(stale->Configure(LineSettings{}), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(stale->Read(16).Valid());
    EXPECT_EQ(stale->Close(), STATUS_INVALID_HANDLE);
    const std::vector<uint8_t> bytes = {'a', 'b', 'c', 0x00, 0xFF, 'z'};
    EXPECT_EQ(Echo(*fresh, bytes), bytes);
    EXPECT_EQ(fresh->Close(), STATUS_SUCCESS);
  });
  second->bench.UnplugAll();
  EXPECT_TRUE(second->harness.machine().Violations().empty());
}

TEST_F(CommPortTest, CallsFromTheControllingThreadRunInATaskOfTheirOwn) {
  auto machine = Boot();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto port = CommPort::Open(machine->bench.Ports().at(1).com, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(port, nullptr);
  Prepare(*port, 200);
  const std::vector<uint8_t> bytes(300, 0x5A);
  EXPECT_EQ(Echo(*port, bytes), bytes);
  const CommErrors errors = port->ClearErrors();
  EXPECT_EQ(errors.status, STATUS_SUCCESS);
  EXPECT_EQ(errors.errors, 0u);
  EXPECT_EQ(errors.inQueue, 0u);
  // A second open of a port held open is refused, and says so.
  machine->harness.machine().RunTask("second open", [&] {
    NTSTATUS again = STATUS_SUCCESS;
    EXPECT_EQ(CommPort::Open(machine->bench.Ports().at(1).com, &again), nullptr);
    EXPECT_FALSE(NT_SUCCESS(again));
  });
  EXPECT_EQ(port->Close(), STATUS_SUCCESS);
  machine->bench.UnplugAll();
  EXPECT_TRUE(machine->harness.machine().Violations().empty());
}

TEST_F(CommPortTest, AReadDroppedWhilePendingIsCancelledBeforeItsBufferGoes) {
  auto machine = Boot();
  machine->harness.machine().RunTask("port", [&] {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto port = CommPort::Open(machine->bench.Ports().at(2).com, &status);
    ASSERT_NE(port, nullptr);
    // A read that would wait ten seconds for its first byte.
    Prepare(*port, 10'000);
    {
      PendingIo orphan = port->Read(64);
      ASSERT_TRUE(orphan.Valid());
      EXPECT_FALSE(orphan.Done());
    }
    // Had the dropped read stayed in the driver it would take these bytes.
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Echo(*port, bytes), bytes);
    PendingIo cancelled = port->Read(64);
    EXPECT_TRUE(cancelled.Cancel());
    const IoOutcome outcome = cancelled.Wait();
    EXPECT_EQ(outcome.status, STATUS_CANCELLED);
    EXPECT_TRUE(outcome.data.empty());
    EXPECT_EQ(port->Close(), STATUS_SUCCESS);
  });
  machine->bench.UnplugAll();
  EXPECT_TRUE(machine->harness.machine().Violations().empty());
}

}  // namespace
}  // namespace simulator
