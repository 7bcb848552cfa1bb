// Races of the command channel, each replayed over many seeds of the scheduler: every seed
// gives other interleavings of the tasks at every kernel call. Each run is checked by the
// verifier and the leak check at unload as a single test is.
#include <map>

#include "command_test_support.h"
#include "simkernel/race_detector.h"

namespace command_test {
namespace {

using adapter_model::ScriptedPeer;

TEST(CommandRaces, PortsIssuingAtOnceEachGetTheirCommandsOutInOrderAndAnswered) {
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::map<int, std::vector<Bytes>> issuedByPort;
    std::map<int, std::vector<sim::VirtualTime>> tookByPort;
    std::vector<Bytes> sent;
    size_t mostInFlight = 0;
    auto problems = RunSeed(seed, [&](harness::DriverHarness& h, harness::AdapterFixture& fixture) {
      for (int n = 1; n <= 3; ++n) h.RunTask("open", [&] { fixture.OpenPort(n); });
      size_t before = fixture.CommandBlocks().size();
      LONG finished = 0;  // counted by tasks on processors of their own
      for (int n = 1; n <= 3; ++n) {
        h.Spawn("port " + std::to_string(n), [&, n] {
          const UCHAR p = static_cast<UCHAR>(n);
          const std::vector<std::pair<UCHAR, Bytes>> commands = {{COMMAND_SET_DTR, {p, 0}},
                                                                  {COMMAND_SET_RTS, {p, 0}},
                                                                  {COMMAND_SET_BREAK, {p, 1}},
                                                                  {COMMAND_SET_BREAK, {p, 0}},
                                                                  {COMMAND_PURGE, {p, PURGE_RECEIVE}},
                                                                  {COMMAND_SET_DTR, {p, 1}}};
          for (const auto& [code, payload] : commands) {
            Delay(static_cast<sim::VirtualTime>(h.machine().RandomBelow(3)) * (kMillisecond / 2));
            const sim::VirtualTime start = h.machine().Now();
            NTSTATUS status = CommandIssue(fixture.adapter(), code, payload.data(), ULONG(payload.size()));
            EXPECT_EQ(status, STATUS_SUCCESS);
            Bytes block{code};
            block.insert(block.end(), payload.begin(), payload.end());
            sim::race::Unobserved unobserved;  // the test's own record
            issuedByPort[n].push_back(block);
            tookByPort[n].push_back(h.machine().Now() - start);
          }
          InterlockedIncrement(&finished);
        });
      }
      ASSERT_TRUE(h.RunUntil([&] { return finished == 3; }));
      h.Advance(10 * kMillisecond);
      auto all = fixture.CommandBlocks();
      sent.assign(all.begin() + static_cast<long>(before), all.end());
      mostInFlight = fixture.MaxInFlight(fixture.CommandPipe());
      for (int n = 1; n <= 3; ++n) EXPECT_TRUE(fixture.model().PortConnector(n).Dtr()) << "port " << n;
    });
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    EXPECT_EQ(mostInFlight, 1u);
    ASSERT_EQ(sent.size(), 18u);
    for (int n = 1; n <= 3; ++n) {
      std::vector<Bytes> ofPort;
      for (const auto& block : sent)
        if (block[1] == n) ofPort.push_back(block);
      EXPECT_EQ(ofPort, issuedByPort[n]) << "port " << n << " in issue order";
      for (sim::VirtualTime took : tookByPort[n]) EXPECT_LT(took, 1 * kSecond) << "port " << n << " was answered";
    }
    if (HasFailure()) break;
  }
}

int g_cancelledAfterHandOver = 0;

// The wait cancel routine of the test support, counting the interleaving where the events
// were handed over first and CommWaitDpc has not run yet.
VOID NTAPI CountingWaitCancel(PDEVICE_OBJECT device, PIRP irp) {
  auto* port = static_cast<PortExtension*>(device->DeviceExtension);
  if (port->WaitResult == nullptr) ++g_cancelledAfterHandOver;
  ArmedWaitCancel(device, irp);
}

TEST(CommandRaces, CancellingAWaitRacingItsEventEndsItOnceAndLosesNoEvent) {
  int succeeded = 0, cancelled = 0;
  g_cancelledAfterHandOver = 0;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ArmedWait wait;
    ULONG history = 0;
    LONG dpcs = -1;
    bool armedAtEnd = true;
    auto problems = RunSeed(seed, [&](harness::DriverHarness& h, harness::AdapterFixture& fixture) {
      ScriptedPeer peer(fixture.model().PortConnector(1));
      h.RunTask("open", [&] { fixture.OpenPort(1); });
      PortExtension* p = fixture.port(1);
      h.RunTask("arm", [&] {
        KIRQL irql;
        KeAcquireSpinLock(&p->WaitStateLock, &irql);
        p->WaitMask = SERIAL_EV_CTS;
        KeReleaseSpinLock(&p->WaitStateLock, irql);
        ArmWaitOn(p, wait);
        IoSetCancelRoutine(wait.irp, CountingWaitCancel);
      });
      const sim::VirtualTime cancelAt = static_cast<sim::VirtualTime>(h.machine().RandomBelow(4)) * kMillisecond;
      const sim::VirtualTime eventAt = static_cast<sim::VirtualTime>(h.machine().RandomBelow(4)) * kMillisecond;
      h.Spawn("canceller", [&] {
        Delay(cancelAt);
        IoCancelIrp(wait.irp);
      });
      h.Advance(eventAt);
      peer.SetCts(true);
      ASSERT_TRUE(h.RunUntil([&] { return wait.completed.load(); }, 1 * kSecond));
      h.Advance(10 * kMillisecond);
      history = p->EventHistory;
      dpcs = p->DpcPendingCount;
      armedAtEnd = p->WaitResult != nullptr || p->WaitIrp != nullptr;
      h.RunTask("free", [&] { IoFreeIrp(wait.irp); });
    });
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    EXPECT_EQ(dpcs, 0);
    EXPECT_FALSE(armedAtEnd);
    if (wait.status == STATUS_SUCCESS) {
      ++succeeded;
      EXPECT_EQ(wait.information, sizeof(ULONG));
      EXPECT_EQ(wait.result, ULONG(SERIAL_EV_CTS));
      EXPECT_EQ(history, 0u);
    } else {
      ++cancelled;
      EXPECT_EQ(wait.status, STATUS_CANCELLED);
      EXPECT_EQ(wait.information, 0u);
      EXPECT_EQ(wait.result, 0u) << "taken back while armed";
      EXPECT_EQ(history, ULONG(SERIAL_EV_CTS)) << "the event stays for the next wait";
    }
    if (HasFailure()) break;
  }
  // Both outcomes occurred: the seeds did put the two on either side of each other.
  EXPECT_GT(succeeded, 0);
  EXPECT_GT(cancelled, 0);
  RecordProperty("cancelled_after_hand_over", g_cancelledAfterHandOver);
}

// A mask request changes the wait state under WaitStateLock (here: SET_WAIT_MASK replacing
// CTS by DSR) just as a modem event for the port reaches the driver. The event path must not
// touch the wait state while the request holds it, and afterwards the history holds only
// events of the mask in force.
TEST(CommandRaces, AnEventNeverChangesTheWaitStateUnderAMaskRequestThatHoldsIt) {
  int heldFirst = 0;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    bool changedWhileHeld = false, holderRan = false, eventBeforeHold = false;
    ULONG historyAfter = 0, maskAfter = 0;
    auto problems = RunSeed(seed, [&](harness::DriverHarness& h, harness::AdapterFixture& fixture) {
      ScriptedPeer peer(fixture.model().PortConnector(1));
      h.RunTask("open", [&] { fixture.OpenPort(1); });
      PortExtension* p = fixture.port(1);
      h.RunTask("mask", [&] {
        KIRQL irql;
        KeAcquireSpinLock(&p->WaitStateLock, &irql);
        p->WaitMask = SERIAL_EV_CTS;
        KeReleaseSpinLock(&p->WaitStateLock, irql);
      });
      PVOID responsePipe = fixture.ResponsePipe();
      fixture.OnUrbComplete([&, p, responsePipe](const harness::UrbRecord& record) {
        if (record.pipe != responsePipe || record.received.size() < 4 || record.received[0] != RESPONSE_EVENT) return;
        fixture.OnUrbComplete({});
        // Started from inside the completion: it races the driver's completion routine.
        h.Spawn("set wait mask", [&, p] {
          KIRQL irql;
          KeAcquireSpinLock(&p->WaitStateLock, &irql);
          holderRan = true;
          eventBeforeHold = p->EventHistory != 0;
          const ULONG history = p->EventHistory, mask = p->WaitMask;
          LONG spin = 0;
          for (int i = 0; i < 200; ++i) {
            InterlockedIncrement(&spin);  // a point where the other task may run
            if (p->EventHistory != history || p->WaitMask != mask) changedWhileHeld = true;
          }
          p->WaitMask = SERIAL_EV_DSR;
          p->EventHistory &= SERIAL_EV_DSR;
          KeReleaseSpinLock(&p->WaitStateLock, irql);
        });
      });
      peer.SetCts(true);
      ASSERT_TRUE(h.RunUntil([&] { return holderRan; }, 1 * kSecond));
      h.Advance(10 * kMillisecond);
      historyAfter = p->EventHistory;
      maskAfter = p->WaitMask;
    });
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    EXPECT_FALSE(changedWhileHeld);
    EXPECT_EQ(maskAfter, ULONG(SERIAL_EV_DSR));
    EXPECT_EQ(historyAfter & ~maskAfter, 0u) << "the history holds only events of the mask";
    if (!eventBeforeHold) ++heldFirst;
    if (HasFailure()) break;
  }
  EXPECT_GT(heldFirst, 0) << "no seed had the request take the wait state before the event";
}

}  // namespace
}  // namespace command_test
