// Waits ended by a cancel or a new mask at the moment an event arrives, and the locks of the
// status, purge and read paths taken against each other, each replayed over many seeds: every
// event is delivered exactly once, every request completes, and nothing deadlocks.
#include "race_rig.h"
#include "simkernel/race_detector.h"

namespace {

using namespace serial_test;

ULONG Events(const sim::io::Result& result) { return ValueOf<ULONG>(result.output); }

NTSTATUS SetMask(RaceRig& rig, ULONG mask) {
  return sim::io::DeviceControl(rig.file, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask), 0).status;
}

sim::io::Request Wait(RaceRig& rig) { return sim::io::DeviceControlAsync(rig.file, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }

// The CTS change that was not delivered with `first` is delivered by a second wait; one that
// was is not delivered again.
void ExpectCtsDeliveredOnce(RaceRig& rig, bool deliveredFirst) {
  sim::io::Request second = Wait(rig);
  rig.h.Advance(20 * kMillisecond);
  if (deliveredFirst) {
    EXPECT_FALSE(second.IsComplete()) << "the change was reported twice";
    second.Cancel();
    ASSERT_TRUE(rig.h.RunUntil([&] { return second.IsComplete(); }));
    EXPECT_EQ(second.Status(), STATUS_CANCELLED);
  } else {
    ASSERT_TRUE(second.IsComplete()) << "the change was lost";
    EXPECT_EQ(second.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Events(second.Snapshot()), ULONG{SERIAL_EV_CTS});
  }
}

// The wait is cancelled around the moment the adapter reports a CTS change: it completes
// with the change, or cancelled with nothing and the change kept for the next wait.
TEST(WaitMaskRaces, CancelRacingAnEvent) {
  Outcomes outcomes;
  ReplayRace(1, [&](RaceRig& rig) {
    ASSERT_EQ(SetMask(rig, SERIAL_EV_CTS), STATUS_SUCCESS);
    sim::io::Request wait = Wait(rig);
    rig.h.Advance(2 * kMillisecond);
    rig.peer->SetCts(true);
    rig.h.Advance(rig.Jitter(4 * kMillisecond));
    wait.Cancel();
    ASSERT_TRUE(rig.h.RunUntil([&] { return wait.IsComplete(); }));
    outcomes.Add(wait.Status());
    if (wait.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(wait.Information(), 4u);
      EXPECT_EQ(Events(wait.Snapshot()), ULONG{SERIAL_EV_CTS});
    } else {
      EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
      EXPECT_EQ(wait.Information(), 0u);
    }
    ExpectCtsDeliveredOnce(rig, wait.Status() == STATUS_SUCCESS);
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_CANCELLED), 0);
}

// A new mask arrives around the moment of the CTS change: the wait ends with the change or
// with nothing, and in both cases the next wait is accepted at once.
TEST(WaitMaskRaces, NewMaskRacingAnEvent) {
  int withEvent = 0;
  int empty = 0;
  ReplayRace(2, [&](RaceRig& rig) {
    ASSERT_EQ(SetMask(rig, SERIAL_EV_CTS), STATUS_SUCCESS);
    sim::io::Request wait = Wait(rig);
    rig.h.Advance(2 * kMillisecond);
    rig.peer->SetCts(true);
    rig.h.Advance(rig.Jitter(4 * kMillisecond));
    ASSERT_EQ(SetMask(rig, SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    ASSERT_TRUE(rig.h.RunUntil([&] { return wait.IsComplete(); }));
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), 4u);
    ULONG events = Events(wait.Snapshot());
    if (events == SERIAL_EV_CTS) {
      ++withEvent;
    } else {
      EXPECT_EQ(events, 0u);
      ++empty;
    }
    ExpectCtsDeliveredOnce(rig, events == SERIAL_EV_CTS);
  });
  EXPECT_GT(withEvent, 0);
  EXPECT_GT(empty, 0);
}

// Three application threads on the port while data streams in: one reads, one asks for the
// status, one purges the receive side. The status path, the purge and the read starter each
// hold one lock while taking another, so a cycle among them would hang some seed (the machine
// reports a deadlock when every task is blocked). Every request completes.
TEST(WaitMaskRaces, StatusPurgeAndReadsUnderStreamingNeverDeadlock) {
  ReplayRace(3, [&](RaceRig& rig) {
    SERIAL_TIMEOUTS timeouts{0, 0, 3, 0, 0};
    ASSERT_EQ(sim::io::DeviceControl(rig.file, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0).status,
              STATUS_SUCCESS);
    rig.peer->Send(Pattern(60, static_cast<uint32_t>(rig.seed)));
    constexpr int kRounds = 12;
    LONG finished = 0;
    std::vector<NTSTATUS> statuses[3];
    auto thread = [&](int which, std::function<NTSTATUS()> request) {
      rig.h.Spawn("thread " + std::to_string(which), [&, which, request] {
        for (int round = 0; round < kRounds; ++round) {
          command_test::Delay(static_cast<sim::VirtualTime>(rig.h.machine().RandomBelow(3)) * 100);
          NTSTATUS status = request();
          sim::race::Unobserved unobserved;  // the test's own record
          statuses[which].push_back(status);
        }
        InterlockedIncrement(&finished);
      });
    };
    thread(0, [&] { return sim::io::Read(rig.file, 7).status; });
    thread(1, [&] {
      return sim::io::DeviceControl(rig.file, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).status;
    });
    thread(2, [&] {
      return sim::io::DeviceControl(rig.file, IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR}), 0).status;
    });
    ASSERT_TRUE(rig.h.RunUntil([&] { return finished == 3; })) << "a thread never finished";
    for (NTSTATUS status : statuses[0])
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT) << std::hex << status;
    for (int which = 1; which < 3; ++which)
      for (NTSTATUS status : statuses[which]) EXPECT_EQ(status, STATUS_SUCCESS);
  });
}

// Masks and waits sent by three threads at once go through the one mask queue: every wait ends,
// either refused beside another, or ended by the next mask; none is lost and none is served
// twice.
TEST(WaitMaskRaces, MasksAndWaitsFromThreeThreads) {
  Outcomes outcomes;
  ReplayRace(4, [&](RaceRig& rig) {
    constexpr int kRounds = 8;
    LONG finished = 0;
    std::vector<sim::io::Request> waits;
    rig.h.Spawn("masks", [&] {
      for (int round = 0; round < kRounds; ++round) {
        command_test::Delay(static_cast<sim::VirtualTime>(rig.h.machine().RandomBelow(4)) * 100);
        EXPECT_EQ(SetMask(rig, SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
      }
      InterlockedIncrement(&finished);
    });
    for (int thread = 0; thread < 2; ++thread) {
      rig.h.Spawn("waits " + std::to_string(thread), [&] {
        for (int round = 0; round < kRounds; ++round) {
          command_test::Delay(static_cast<sim::VirtualTime>(rig.h.machine().RandomBelow(4)) * 100);
          sim::io::Request wait = Wait(rig);
          sim::race::Unobserved unobserved;  // the test's own record
          waits.push_back(wait);
        }
        InterlockedIncrement(&finished);
      });
    }
    ASSERT_TRUE(rig.h.RunUntil([&] { return finished == 3; }));
    ASSERT_EQ(SetMask(rig, 0), STATUS_SUCCESS);  // ends the last wait, if one is left
    for (auto& wait : waits) {
      ASSERT_TRUE(rig.h.RunUntil([&] { return wait.IsComplete(); })) << "a wait was lost";
      outcomes.Add(wait.Status());
      if (wait.Status() == STATUS_SUCCESS) {
        EXPECT_EQ(wait.Information(), 4u);
        EXPECT_EQ(Events(wait.Snapshot()), 0u) << "no line changed";
      } else {
        EXPECT_EQ(wait.Status(), STATUS_INVALID_PARAMETER);
      }
    }
  });
  EXPECT_GT(outcomes.Of(STATUS_SUCCESS), 0);
  EXPECT_GT(outcomes.Of(STATUS_INVALID_PARAMETER), 0);
}

}  // namespace
