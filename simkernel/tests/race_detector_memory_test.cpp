// The race detector on memory the kernel and the hardware touch for a driver: a pool block
// freed while another processor may still use it, a transfer buffer changed while the host
// controller reads it.
#include "simkernel/pool.h"
#include "simkernel/race_detector.h"
#include "usb_bus_test_support.h"

namespace usbtest {
namespace {

using sim::TaskKind;

const ULONG kTag = sim::pool::TagFromString("RcRt");

void Sleep(LONGLONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class RaceDetectorMemory : public UsbBusTest {
 protected:
  void SetUp() override {
    if (!sim::race::kDetectorBuilt) GTEST_SKIP() << "the race detector runs in the ZEL_RACE_DETECTOR build";
    UsbBusTest::SetUp();
  }
  void TearDown() override {
    if (sim::race::kDetectorBuilt) UsbBusTest::TearDown();
  }
  bool Raced() {
    auto rules = TakeViolations();
    return std::find(rules.begin(), rules.end(), "data race") != rules.end();
  }

  // The owner allocates a block and hands it over with an event; the other task frees it.
  // With `ownerDoneFirst` the owner says it is done with the block before the free.
  void FreeWhileOwnerMayUseIt(bool ownerDoneFirst) {
    struct Handover {
      KEVENT given;
      KEVENT done;
      volatile LONG* block = nullptr;
      LONG seen = 0;
    };
    static Handover h;
    KeInitializeEvent(&h.given, NotificationEvent, FALSE);
    KeInitializeEvent(&h.done, NotificationEvent, FALSE);
    static bool waitForOwner;
    waitForOwner = ownerDoneFirst;
    machine().Spawn("owner", TaskKind::Application, [] {
      h.block = static_cast<volatile LONG*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
      *h.block = 7;
      KeSetEvent(&h.given, 0, FALSE);
      if (waitForOwner) {
        h.seen = *h.block;
        KeSetEvent(&h.done, 0, FALSE);
      } else {
        Sleep(20);
        h.seen = *h.block;  // the other task may have freed it by now
      }
    });
    machine().Spawn("freer", TaskKind::Application, [] {
      KeWaitForSingleObject(&h.given, Executive, KernelMode, FALSE, nullptr);
      if (waitForOwner) KeWaitForSingleObject(&h.done, Executive, KernelMode, FALSE, nullptr);
      Sleep(5);
      ExFreePoolWithTag(const_cast<LONG*>(h.block), kTag);
    });
    machine().RunUntilIdle();
  }
};

TEST_F(RaceDetectorMemory, PoolBlockFreedWhileAnotherTaskStillReadsItIsReported) {
  FreeWhileOwnerMayUseIt(/*ownerDoneFirst=*/false);
  EXPECT_TRUE(Raced());
}

TEST_F(RaceDetectorMemory, PoolBlockFreedAfterItsOwnerSaidItWasDoneIsNot) {
  FreeWhileOwnerMayUseIt(/*ownerDoneFirst=*/true);
  EXPECT_FALSE(Raced());
}

// A deliberately wrong function driver: it refills its OUT buffer as soon as IoCallDriver
// returns, while the host controller may still be sending from it.
TEST_F(RaceDetectorMemory, TransferBufferChangedWhileTheBusHasItIsReported) {
  PUSBD_INTERFACE_INFORMATION info = Configure(65536);
  Submission write;
  write.buffer = Pattern(150, 1);
  Bulk(write, info->Pipes[1].PipeHandle, 150, USBD_SHORT_TRANSFER_OK);
  machine().RunTask("function", [&] {
    SubmitHere(write, pdo);
    write.buffer[100] = 0x55;
  });
  ASSERT_TRUE(Finish(write));
  EXPECT_TRUE(Raced());
}

TEST_F(RaceDetectorMemory, TransferBufferChangedInTheCompletionIsNot) {
  PUSBD_INTERFACE_INFORMATION info = Configure(65536);
  Submission write;
  write.buffer = Pattern(150, 1);
  Bulk(write, info->Pipes[1].PipeHandle, 150, USBD_SHORT_TRANSFER_OK);
  Submit(write);
  ASSERT_TRUE(Finish(write));
  machine().RunTask("function", [&] { write.buffer[100] = 0x55; });  // after the completion the test saw
  EXPECT_FALSE(Raced());
  EXPECT_EQ(device->Received(0x01), Pattern(150, 1));
}

}  // namespace
}  // namespace usbtest
