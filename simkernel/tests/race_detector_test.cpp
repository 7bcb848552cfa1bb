// The race detector: each kernel synchronisation a driver may rely on orders a producer's write
// before a consumer's read, and the same hand-over without it is reported, whatever the seed.
#include <algorithm>

#include "io_test_support.h"
#include "simkernel/race_detector.h"

namespace {

using sim::kMillisecond;
using sim::TaskKind;

// Shared driver data, written by one task and read by another.
struct Shared {
  int data = 0;
  volatile LONG flag = 0;
  KSPIN_LOCK lock = 0;
  FAST_MUTEX mutex{};
  KEVENT event{};
  KDPC dpc{};
  KTIMER timer{};
  WORK_QUEUE_ITEM item{};
  int seen = -1;
};

void Sleep(LONGLONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID NTAPI ReadInDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* shared = static_cast<Shared*>(context);
  shared->seen = shared->data;
}

VOID NTAPI ReadInWorker(PVOID context) {
  auto* shared = static_cast<Shared*>(context);
  shared->seen = shared->data;
}

class RaceDetector : public IoTest {
 protected:
  void SetUp() override {
    if (!sim::race::kDetectorBuilt) GTEST_SKIP() << "the race detector runs in the ZEL_RACE_DETECTOR build";
    IoTest::SetUp();
    KeInitializeSpinLock(&shared_.lock);
    KeInitializeEvent(&shared_.event, SynchronizationEvent, FALSE);
    KeInitializeDpc(&shared_.dpc, ReadInDpc, &shared_);
    KeInitializeTimer(&shared_.timer);
    ExInitializeWorkItem(&shared_.item, ReadInWorker, &shared_);
  }

  void TearDown() override {
    if (sim::race::kDetectorBuilt) IoTest::TearDown();
  }

  // Producer and consumer start unordered (both from the test) and run to the end.
  void Run(std::function<void(Shared&)> producer, std::function<void(Shared&)> consumer) {
    machine().Spawn("producer", TaskKind::Application, [&, producer] { producer(shared_); });
    if (consumer) machine().Spawn("consumer", TaskKind::Application, [&, consumer] { consumer(shared_); });
    machine().RunUntilIdle();
  }

  // The rules reported, each once.
  std::vector<std::string> Reports() {
    auto rules = TakeViolations();
    std::sort(rules.begin(), rules.end());
    rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
    return rules;
  }

  const std::vector<std::string> kRace{"data race"};
  const std::vector<std::string> kNone{};
  Shared shared_;
};

// ---- Orderings Windows gives ----

TEST_F(RaceDetector, EventSetBeforeWaitOrdersTheData) {
  Run([](Shared& s) { s.data = 42; KeSetEvent(&s.event, 0, FALSE); },
      [](Shared& s) {
        KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, nullptr);
        s.seen = s.data;
      });
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, SpinLockOrdersTheData) {
  Run([](Shared& s) {
        KIRQL old;
        KeAcquireSpinLock(&s.lock, &old);
        s.data = 42;
        s.flag = 1;
        KeReleaseSpinLock(&s.lock, old);
      },
      [](Shared& s) {
        for (;;) {
          KIRQL old;
          KeAcquireSpinLock(&s.lock, &old);
          const bool ready = s.flag != 0;
          if (ready) s.seen = s.data;
          KeReleaseSpinLock(&s.lock, old);
          if (ready) break;
          Sleep(1);
        }
      });
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, FastMutexOrdersTheData) {
  ExInitializeFastMutex(&shared_.mutex);
  Run([](Shared& s) {
        ExAcquireFastMutex(&s.mutex);
        s.data = 42;
        s.flag = 1;
        ExReleaseFastMutex(&s.mutex);
      },
      [](Shared& s) {
        for (;;) {
          ExAcquireFastMutex(&s.mutex);
          const bool ready = s.flag != 0;
          if (ready) s.seen = s.data;
          ExReleaseFastMutex(&s.mutex);
          if (ready) break;
          Sleep(1);
        }
      });
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, InterlockedPublicationOrdersTheData) {
  Run([](Shared& s) { s.data = 42; InterlockedExchange(&s.flag, 1); },
      [](Shared& s) {
        while (InterlockedCompareExchange(&s.flag, 0, 0) == 0) Sleep(1);
        s.seen = s.data;
      });
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, DpcRunsAfterItsQueueing) {
  Run([](Shared& s) { s.data = 42; KeInsertQueueDpc(&s.dpc, nullptr, nullptr); }, nullptr);
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, TimerDpcRunsAfterTheTimerWasSet) {
  Run([](Shared& s) {
        s.data = 42;
        LARGE_INTEGER due;
        due.QuadPart = -20 * kMillisecond;
        KeSetTimer(&s.timer, due, &s.dpc);
      },
      nullptr);
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, WorkItemRunsAfterItsQueueing) {
  Run([](Shared& s) { s.data = 42; ExQueueWorkItem(&s.item, DelayedWorkQueue); }, nullptr);
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

TEST_F(RaceDetector, NewTaskStartsAfterItsCreator) {
  Run([this](Shared& s) {
        s.data = 42;
        machine().Spawn("started", TaskKind::Worker, [&s] { s.seen = s.data; });
      },
      nullptr);
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kNone);
}

// A lower driver that completes from a DPC: the upper driver's completion routine, and the
// application waiting for the request, see what was written before IoCallDriver and in the DPC.
TEST_F(RaceDetector, CompletionRoutineAndWaiterSeeWhatPrecededTheCall) {
  static Shared* shared = &shared_;
  static PIRP held = nullptr;
  static KDPC completeDpc;
  KeInitializeDpc(
      &completeDpc,
      [](PKDPC, PVOID, PVOID, PVOID) {
        shared->data += 1;  // the lower driver's own work on the request
        Complete(held, STATUS_SUCCESS);
      },
      nullptr);
  PDRIVER_OBJECT lowerDriver = LoadTestDriver(u"\\Driver\\Lower", [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    KeInsertQueueDpc(&completeDpc, nullptr, nullptr);
    return STATUS_PENDING;
  });
  PDEVICE_OBJECT lower = CreateDevice(lowerDriver);
  Run([lower](Shared& s) {
        s.data = 41;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, lower, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        ASSERT_NE(irp, nullptr);
        static CompletionThunk check;
        check.fn = [](PDEVICE_OBJECT, PIRP) {
          shared->flag = shared->data;  // read and write in the completion routine
          return STATUS_SUCCESS;
        };
        check.Install(irp);
        if (IoCallDriver(lower, irp) == STATUS_PENDING)
          KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        s.seen = s.data + static_cast<int>(s.flag);
      },
      nullptr);
  EXPECT_EQ(shared_.seen, 84);
  EXPECT_EQ(Reports(), kNone);
}

// ---- The same hand-overs without the ordering ----

TEST_F(RaceDetector, DataHandedOverByTimeAloneIsReported) {
  Run([](Shared& s) { s.data = 42; },
      [](Shared& s) {
        Sleep(50);
        s.seen = s.data;
      });
  EXPECT_EQ(Reports(), kRace);
}

TEST_F(RaceDetector, ReportNamesBothAccessesWithTheirTasksStacksAndSeed) {
  Run([](Shared& s) { s.data = 42; },
      [](Shared& s) {
        Sleep(50);
        s.seen = s.data;
      });
  const auto& violations = machine().Violations();
  ASSERT_FALSE(violations.empty());
  const std::string detail = violations.front().detail;
  EXPECT_NE(detail.find("seed " + std::to_string(machine().Seed())), std::string::npos) << detail;
  EXPECT_NE(detail.find("by task producer"), std::string::npos) << detail;
  EXPECT_NE(detail.find("by task consumer"), std::string::npos) << detail;
  EXPECT_NE(detail.find("previous "), std::string::npos) << detail;
  EXPECT_NE(detail.find("race_detector_test.cpp"), std::string::npos) << detail;
  TakeViolations();
}

TEST_F(RaceDetector, ClearedEventGivesNoOrdering) {
  // A wait that times out is no hand-over.
  Run([](Shared& s) { s.data = 42; },
      [](Shared& s) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -50 * kMillisecond;
        KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, &timeout);
        s.seen = s.data;
      });
  EXPECT_EQ(Reports(), kRace);
}

// A deliberately wrong driver: its dispatch routine updates a count under the device lock,
// its completion routine (in the DPC that completes the lower request) updates it without.
struct CountingDevice {
  KSPIN_LOCK lock;
  LONG requests;
  bool completionTakesLock;
};

class WrongCompletion : public RaceDetector {
 protected:
  void RunTwoRequests(bool completionTakesLock) {
    static CountingDevice device;
    static PIRP held = nullptr;
    static KDPC completeDpc;
    KeInitializeSpinLock(&device.lock);
    device.requests = 0;
    device.completionTakesLock = completionTakesLock;
    KeInitializeDpc(&completeDpc, [](PKDPC, PVOID, PVOID, PVOID) { Complete(held, STATUS_SUCCESS); }, nullptr);
    PDRIVER_OBJECT lowerDriver = LoadTestDriver(u"\\Driver\\Lower", [](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      KeInsertQueueDpc(&completeDpc, nullptr, nullptr);
      return STATUS_PENDING;
    });
    static PDEVICE_OBJECT lower;
    lower = CreateDevice(lowerDriver);
    static CompletionThunk onCompletion;
    onCompletion.fn = [](PDEVICE_OBJECT, PIRP) {
      if (device.completionTakesLock) {
        KIRQL old;
        KeAcquireSpinLock(&device.lock, &old);
        device.requests--;
        KeReleaseSpinLock(&device.lock, old);
      } else {
        device.requests--;  // no lock: another processor may be in the dispatch routine
      }
      return STATUS_SUCCESS;
    };
    // The request that completes in the DPC.
    machine().Spawn("first", TaskKind::Application, [] {
      KIRQL old;
      KeAcquireSpinLock(&device.lock, &old);
      device.requests++;
      KeReleaseSpinLock(&device.lock, old);
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb;
      PIRP irp = IoBuildDeviceIoControlRequest(0x222000, lower, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
      onCompletion.Install(irp);
      if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    });
    // A second dispatch on another processor, later in virtual time.
    machine().Spawn("second", TaskKind::Application, [] {
      Sleep(50);
      KIRQL old;
      KeAcquireSpinLock(&device.lock, &old);
      device.requests++;
      KeReleaseSpinLock(&device.lock, old);
    });
    machine().RunUntilIdle();
    EXPECT_EQ(device.requests, 1);
  }
};

TEST_F(WrongCompletion, FieldWrittenWithoutTheDispatchLockIsReported) {
  RunTwoRequests(/*completionTakesLock=*/false);
  EXPECT_EQ(Reports(), kRace);
}

TEST_F(WrongCompletion, SameFieldUnderTheLockIsNot) {
  RunTwoRequests(/*completionTakesLock=*/true);
  EXPECT_EQ(Reports(), kNone);
}

// A deliberately wrong driver that publishes a ready flag with a plain store.
TEST_F(RaceDetector, FlagPublishedWithoutInterlockedOrLockIsReported) {
  Run([](Shared& s) {
        s.data = 42;
        s.flag = 1;
      },
      [](Shared& s) {
        while (s.flag == 0) Sleep(1);
        s.seen = s.data;
      });
  EXPECT_EQ(shared_.seen, 42);
  EXPECT_EQ(Reports(), kRace);
}

}  // namespace
