// Races of the request queues, each run on many seeds: every seed is a fresh machine whose
// scheduler interleaves the racing tasks differently. Each scenario also checks that the
// interesting interleavings did happen on some seed, so that a change of the scheduler that
// stopped producing them would show. Any verifier report fails the seed (irp completed twice,
// cancel routine left on a completed request, a timer still set when the port goes, a
// request used after it was freed, a driver assertion...). A request that a racing task
// cancels is one the test builds and keeps (queue_test::OwnRequest), as a driver above the
// port would: IoCancelIrp may then meet it at any point of its completion.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "simkernel/race_detector.h"
#include "datapath/request_queue.h"
#include "driver_harness.h"
#include "queue_test_port.h"

namespace {

using queue_test::Bytes;
using queue_test::World;
using sim::io::Request;

constexpr int kSeeds = 120;

// Runs the scenario on kSeeds machines; returns how often each outcome the scenario named
// occurred. A seed that fails says so with the value that replays it.
std::map<std::string, int> ForEachSeed(
    const std::function<std::string(harness::DriverHarness&, World&)>& scenario) {
  std::map<std::string, int> outcomes;
  const uint64_t base = harness::SeedFromEnvironment();
  for (int i = 0; i < kSeeds; ++i) {
    const uint64_t seed = base + static_cast<uint64_t>(i);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with ZEL_SEED=" + std::to_string(seed) + ")");
    {
      harness::DriverHarness h(seed);
      World world;
      try {
        if (h.Load() != STATUS_SUCCESS) throw std::runtime_error("DriverEntry failed");
        queue_test::SetUp(h, world);
        ++outcomes[scenario(h, world)];
        queue_test::TearDown(h, world);
      } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
      }
      for (const sim::Violation& violation : h.machine().Violations()) ADD_FAILURE() << violation.ToString();
    }
    // One failing seed tells enough; the rest would repeat it.
    if (::testing::Test::HasFailure()) break;
  }
  return outcomes;
}

// A few scheduling points, so that the task's next step lands anywhere in the others' work.
void Dawdle(harness::DriverHarness& h, uint64_t most) {
  for (uint64_t n = h.machine().RandomBelow(most + 1); n > 0; --n) h.machine().Point("dawdle");
}

// The write path's completion signals the wait only when a transfer fails, so a transfer that
// completes successfully just as the next write cancels it must still end that write's wait.
TEST(RequestQueueRace, TransferCompletingAsItIsCancelledNeverStrandsTheWriteBehindIt) {
  auto outcomes = ForEachSeed([](harness::DriverHarness& h, World& world) -> std::string {
    PortExtension* port = world.port;
    h.RunTask("abandoned transfer", [] { queue_test::SendTransfer(); });
    bool acknowledged = false;
    h.machine().Spawn("adapter", sim::TaskKind::Device, [&] {
      Dawdle(h, 30);
      queue_test::BusCompleteOldest();
      acknowledged = true;
    });
    Request write = sim::io::WriteAsync(world.file, Bytes(10));
    EXPECT_TRUE(h.RunUntil([&] { return acknowledged; }));
    h.RunUntilIdle();

    EXPECT_EQ(write.DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(port->CurrentWrite, write.Irp());
    EXPECT_EQ(port->DataWriteIrp, nullptr);
    EXPECT_TRUE(world.busHeld.empty());
    if (world.transfers.size() != 1) {
      ADD_FAILURE() << world.transfers.size() << " transfer completions";
      return "broken";
    }
    const queue_test::TransferOutcome transfer = world.transfers[0];
    // The pipe is reset exactly when the write found the transfer still in flight.
    EXPECT_EQ(world.pipeResets, transfer.claimed ? 1 : 0);

    h.RunTask("transmit", [] { queue_test::DeliverWrite(); });
    EXPECT_TRUE(h.RunUntil([&] { return write.IsComplete(); }));
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Information(), 10u);
    if (!transfer.claimed) return "done before the write came";
    return transfer.status == STATUS_SUCCESS ? "succeeded while being cancelled" : "cancelled";
  });
  EXPECT_GT(outcomes["succeeded while being cancelled"], 0);
  EXPECT_GT(outcomes["cancelled"], 0);
  EXPECT_GT(outcomes["done before the write came"], 0);
}

// Data arriving, the total timeout and a cancel all end the same read around the same
// moment: whichever gets there first decides the status; the read is completed once, and the
// read waiting behind it becomes current.
TEST(RequestQueueRace, DataTimeoutAndCancelEndEachReadExactlyOnce) {
  auto outcomes = ForEachSeed([](harness::DriverHarness& h, World& world) -> std::string {
    PortExtension* port = world.port;
    port->Timeouts.ReadTotalTimeoutConstant = 10;
    world.readPartial = 3;
    queue_test::OwnRequest* first = nullptr;
    h.RunTask("reader", [&] { first = &queue_test::SendOwn(IRP_MJ_READ, 8); });
    // A 10 ms timer set just before a tick ends on that tick: the read behind waits longer,
    // so that its own timer stays out of the race.
    port->Timeouts.ReadTotalTimeoutConstant = 1000;
    Request second = sim::io::ReadAsync(world.file, 8);
    PIRP firstIrp = first->irp;
    LONG finished = 0;
    // The read's timer fires on the clock tick; the data and the cancel come from outside
    // the kernel's clock, just before or after it.
    const sim::VirtualTime expiry = h.machine().TickAfter(h.machine().Now(), 10 * sim::kMillisecond);
    auto delay = [&h, expiry] {
      h.machine().Block("arrival", expiry - 1000 + static_cast<sim::VirtualTime>(h.machine().RandomBelow(2001)),
                        STATUS_SUCCESS);
      Dawdle(h, 10);
    };
    h.machine().Spawn("receive", sim::TaskKind::Device, [&] {
      delay();
      queue_test::DeliverRead(firstIrp);
      InterlockedIncrement(&finished);
    });
    h.Spawn("canceller", [&] {
      delay();
      IoCancelIrp(firstIrp);
      InterlockedIncrement(&finished);
    });
    // Not until idle: the second read's own timer would end it too.
    EXPECT_TRUE(h.RunUntil([&] { return finished == 2 && first->complete; }));

    EXPECT_EQ(port->CurrentRead, second.Irp());
    EXPECT_FALSE(second.IsComplete());
    switch (first->status) {
      case STATUS_SUCCESS: EXPECT_EQ(first->information, 8u); return "received";
      case STATUS_TIMEOUT: EXPECT_EQ(first->information, 3u); return "timed out";
      case STATUS_CANCELLED: EXPECT_EQ(first->information, 0u); return "cancelled";
      default: ADD_FAILURE() << harness::StatusText(first->status); return "broken";
    }
  });
  EXPECT_GT(outcomes["received"], 0);
  EXPECT_GT(outcomes["timed out"], 0);
  EXPECT_GT(outcomes["cancelled"], 0);
}

// Both timers of a read run out in the same clock tick, so both DPCs are queued before either
// runs; whichever runs first finds the other's timer no longer cancellable and leaves the read
// to it. The simulated clock expires one timer per step and lets its DPC run before the next,
// so the test expires the interval timer itself once the total timer has fired: taken off
// and its DPC queued, as the clock does.
TEST(RequestQueueRace, ReadWithBothTimersDueIsCompletedOnlyByTheLastTimerDpc) {
  auto outcomes = ForEachSeed([](harness::DriverHarness& h, World& world) -> std::string {
    PortExtension* port = world.port;
    port->Timeouts.ReadTotalTimeoutConstant = 20;
    port->Timeouts.ReadIntervalTimeout = 20;
    world.readPartial = 2;
    Request read = sim::io::ReadAsync(world.file, 8);
    std::vector<std::string> log;
    world.onReadTimerDpc = [&](const std::string& name) {
      sim::race::Unobserved unobserved;  // the test's own record, from two DPCs
      log.push_back(name + (read.IsComplete() ? "+" : "-"));
    };

    EXPECT_TRUE(h.RunUntil([&] { return KeReadStateTimer(&port->ReadTotalTimer) != FALSE; }));
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(KeCancelTimer(&port->ReadIntervalTimer));
    EXPECT_TRUE(KeInsertQueueDpc(&port->ReadIntervalTimeoutDpc, nullptr, nullptr));
    EXPECT_TRUE(h.RunUntil([&] { return read.IsComplete() && log.size() == 2; }));
    h.RunUntilIdle();

    // Neither DPC found the read already complete: the first left it to the second.
    EXPECT_EQ(log.size(), 2u);
    for (const std::string& entry : log) EXPECT_EQ(entry.back(), '-') << entry;
    sim::io::Result result = read.Snapshot();
    EXPECT_EQ(result.status, STATUS_TIMEOUT);
    EXPECT_EQ(result.information, 2u);
    EXPECT_EQ(result.boost, IO_SERIAL_INCREMENT);
    EXPECT_EQ(port->CurrentRead, nullptr);
    world.onReadTimerDpc = nullptr;
    return log.empty() ? "none" : log[0] + " first";
  });
  EXPECT_GT(outcomes["total- first"], 0);
  EXPECT_GT(outcomes["interval- first"], 0);
}

// A purge cancels the whole write queue while another thread cancels one waiting write: both
// take the cancel spin lock, so each write is cancelled once and its length given back once.
TEST(RequestQueueRace, PurgeAndASingleCancelNeverCancelAWriteTwice) {
  auto outcomes = ForEachSeed([](harness::DriverHarness& h, World& world) -> std::string {
    PortExtension* port = world.port;
    std::vector<queue_test::OwnRequest*> writes;
    h.RunTask("writer", [&] {
      for (ULONG length : {5, 6, 7}) writes.push_back(&queue_test::SendOwn(IRP_MJ_WRITE, length));
    });
    EXPECT_EQ(port->QueuedCharCount, 18u);
    bool singleDone = false, single = false;
    h.Spawn("canceller", [&] {
      Dawdle(h, 20);
      single = IoCancelIrp(writes[1]->irp);
      singleDone = true;
    });
    Request purge = sim::io::DeviceControlAsync(world.file, IOCTL_SERIAL_PURGE,
                                                queue_test::AsBytes(SERIAL_PURGE_TXABORT), 0);
    EXPECT_TRUE(h.RunUntil([&] { return singleDone && purge.IsComplete(); }));
    h.RunUntilIdle();

    EXPECT_EQ(purge.Status(), STATUS_SUCCESS);
    for (const queue_test::OwnRequest* write : writes) {
      EXPECT_TRUE(write->complete);
      EXPECT_EQ(write->status, STATUS_CANCELLED);
      EXPECT_EQ(write->information, 0u);
    }
    EXPECT_EQ(port->QueuedCharCount, 0u);
    EXPECT_EQ(port->CurrentWrite, nullptr);
    EXPECT_TRUE(IsListEmpty(&port->WriteQueue));
    return single ? "single cancel first" : "purge first";
  });
  EXPECT_GT(outcomes["single cancel first"], 0);
  EXPECT_GT(outcomes["purge first"], 0);
}

}  // namespace
