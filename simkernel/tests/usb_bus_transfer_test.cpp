// Bulk transfers through the simulated host controller: packets, short packets, halts and
// resets, the frame budget and its fairness, idling, cancellation and unplugging.
#include "usb_bus_test_support.h"

namespace usbtest {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kShortOk = USBD_SHORT_TRANSFER_OK;

class UsbBusBulk : public UsbBusTest {
 protected:
  void SetUp() override {
    UsbBusTest::SetUp();
    info = Configure(65536);
  }
  PVOID In(int pair) { return info->Pipes[2 * pair - 2].PipeHandle; }
  PVOID Out(int pair) { return info->Pipes[2 * pair - 1].PipeHandle; }
  PUSBD_INTERFACE_INFORMATION info = nullptr;
};

TEST_F(UsbBusBulk, OutTransferGoesOutInMaximumSizePacketsAndCompletesAtDispatchLevel) {
  Submission write;
  write.buffer = Pattern(150, 1);
  Bulk(write, Out(1), 150, kShortOk);
  Submit(write);
  EXPECT_EQ(write.returned, STATUS_PENDING);
  ASSERT_TRUE(Finish(write));
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(URB_STATUS(write.Urb()), USBD_STATUS_SUCCESS);
  EXPECT_EQ(write.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 150u);
  ASSERT_EQ(device->outPackets[0x01].size(), 3u);
  EXPECT_EQ(device->outPackets[0x01][0].size(), 64u);
  EXPECT_EQ(device->outPackets[0x01][1].size(), 64u);
  EXPECT_EQ(device->outPackets[0x01][2].size(), 22u);
  EXPECT_EQ(device->Received(0x01), write.buffer);
  EXPECT_EQ(write.irql, DISPATCH_LEVEL);
  EXPECT_EQ(write.task, "usb-host-controller");
  EXPECT_FALSE(write.completedInsideCall);
  // The direction is the endpoint's, whatever the flags said.
  EXPECT_EQ(write.Urb()->UrbBulkOrInterruptTransfer.TransferFlags & kIn, 0u);
}

TEST_F(UsbBusBulk, InTransferContinuesAcrossPacketsAndEndsFullOrOnAShortPacket) {
  device->Supply(0x81, Pattern(64, 10));
  device->Supply(0x81, Pattern(64, 20));
  device->Supply(0x81, Pattern(10, 30));
  Submission read;
  Bulk(read, In(1), 200, kIn | kShortOk);
  EXPECT_EQ(Run(read), STATUS_SUCCESS);
  EXPECT_EQ(read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 138u);
  std::vector<uint8_t> expected = Pattern(64, 10);
  for (auto part : {Pattern(64, 20), Pattern(10, 30)}) expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), read.buffer.begin()));
  EXPECT_EQ(read.buffer[138], 0xCC);

  // Filled exactly by full packets: no short packet needed; the last ask is for what is left.
  device->Supply(0x82, Pattern(64, 1));
  device->Supply(0x82, Pattern(36, 2));
  Submission exact;
  Bulk(exact, In(2), 100, kIn);
  EXPECT_EQ(Run(exact), STATUS_SUCCESS);
  EXPECT_EQ(exact.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
  EXPECT_EQ(device->inAsks[0x82], (std::vector<size_t>{64, 36}));
}

TEST_F(UsbBusBulk, ShortPacketWithoutShortTransferOkFailsAndHaltsUntilReset) {
  device->Supply(0x81, Pattern(10, 1));
  Submission read;
  Bulk(read, In(1), 64, kIn);
  EXPECT_EQ(Run(read), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(URB_STATUS(read.Urb()), USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_TRUE(std::equal(read.buffer.begin(), read.buffer.begin() + 10, Pattern(10, 1).begin()));

  // Halted: a queued read waits, even with data there.
  Submission next;
  Bulk(next, In(1), 64, kIn | kShortOk);
  Submit(next);
  device->Supply(0x81, Pattern(5, 2));
  machine().RunUntilIdle();
  EXPECT_FALSE(next.completed);

  Submission reset;
  PipeRequest(reset, URB_FUNCTION_RESET_PIPE, In(1));
  EXPECT_EQ(Run(reset), STATUS_SUCCESS);
  EXPECT_EQ(device->resets, std::vector<uint8_t>{0x81});
  ASSERT_TRUE(Finish(next));
  EXPECT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
}

TEST_F(UsbBusBulk, StallAndBabbleHaltThePipe) {
  device->stalled.insert(0x01);
  Submission write;
  Bulk(write, Out(1), 100, 0);
  EXPECT_EQ(Run(write), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(URB_STATUS(write.Urb()), USBD_STATUS_STALL_PID);
  EXPECT_EQ(write.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  Submission reset;
  PipeRequest(reset, URB_FUNCTION_RESET_PIPE, Out(1));
  EXPECT_EQ(Run(reset), STATUS_SUCCESS);  // the device clears its halt too
  Submission again;
  Bulk(again, Out(1), 100, 0);
  EXPECT_EQ(Run(again), STATUS_SUCCESS);

  device->Supply(0x82, Pattern(70, 1));  // more than the packet size
  Submission read;
  Bulk(read, In(2), 128, kIn | kShortOk);
  EXPECT_EQ(Run(read), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(URB_STATUS(read.Urb()), USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
  EXPECT_EQ(sim::usb::Statistics().stalls, 1u);
}

TEST_F(UsbBusBulk, TransfersThroughMdlsOfPoolBuffers) {
  PUCHAR outBuffer = nullptr, inBuffer = nullptr;
  PMDL outMdl = nullptr, inMdl = nullptr;
  machine().RunTask("setup", [&] {
    outBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 80, sim::pool::TagFromString("Bust")));
    inBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 80, sim::pool::TagFromString("Bust")));
    outMdl = IoAllocateMdl(outBuffer, 80, FALSE, FALSE, nullptr);
    inMdl = IoAllocateMdl(inBuffer, 80, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(outMdl);
    MmBuildMdlForNonPagedPool(inMdl);
  });
  const auto data = Pattern(80, 9);
  std::memcpy(outBuffer, data.data(), 80);
  Submission write;
  UsbBuildInterruptOrBulkTransferRequest(write.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Out(2), nullptr,
                                         outMdl, 80, 0, nullptr);
  EXPECT_EQ(Run(write), STATUS_SUCCESS);
  EXPECT_EQ(device->Received(0x02), data);

  device->Supply(0x82, Pattern(64, 3));
  device->Supply(0x82, Pattern(16, 4));
  Submission read;
  UsbBuildInterruptOrBulkTransferRequest(read.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), In(2), nullptr,
                                         inMdl, 80, kIn, nullptr);
  EXPECT_EQ(Run(read), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(inBuffer, Pattern(64, 3).data(), 64), 0);
  EXPECT_EQ(std::memcmp(inBuffer + 64, Pattern(16, 4).data(), 16), 0);
  machine().RunTask("cleanup", [&] {
    IoFreeMdl(outMdl);
    IoFreeMdl(inMdl);
    ExFreePool(outBuffer);
    ExFreePool(inBuffer);
  });
}

TEST_F(UsbBusBulk, NakedPipeWaitsForTheDeviceAndTheBusGoesIdle) {
  Submission read;
  Bulk(read, In(1), 64, kIn | kShortOk);
  Submit(read);
  const sim::VirtualTime start = machine().Now();
  machine().RunUntilIdle();  // ends: a NAKed pipe keeps no frames coming
  EXPECT_FALSE(read.completed);
  EXPECT_EQ(machine().Now(), start + 1 * sim::kMillisecond);
  EXPECT_EQ(sim::usb::Statistics().naks, 1u);

  machine().RunFor(7 * sim::kMillisecond + 300);
  device->Supply(0x81, Pattern(20, 5));
  const sim::VirtualTime supplied = machine().Now();
  ASSERT_TRUE(Finish(read));
  EXPECT_EQ(read.when, (supplied / sim::kMillisecond + 1) * sim::kMillisecond);  // the next frame
  EXPECT_EQ(read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
  EXPECT_EQ(sim::usb::Statistics().naks, 1u);

  // An OUT the device cannot take yet goes once it asks to be polled.
  device->naksLeft[0x02] = 1;
  Submission write;
  Bulk(write, Out(2), 4, 0);
  Submit(write);
  machine().RunUntilIdle();
  EXPECT_FALSE(write.completed);
  port->RequestPoll();
  ASSERT_TRUE(Finish(write));
  EXPECT_EQ(write.status, STATUS_SUCCESS);
}

class UsbBusFrames : public UsbBusBulk {
 protected:
  UsbBusFrames() { pairs = 4; }
};

TEST_F(UsbBusFrames, NineteenPacketsPerFrameShareTheBusFairly) {
  std::vector<std::unique_ptr<Submission>> writes;
  for (int pair = 1; pair <= 4; ++pair) {
    auto s = std::make_unique<Submission>();
    s->buffer = Pattern(65536, uint8_t(pair));
    Bulk(*s, Out(pair), 65536, 0);
    writes.push_back(std::move(s));
  }
  const sim::VirtualTime start = machine().Now();
  machine().RunTask("function", [&] {
    for (auto& s : writes) SubmitHere(*s, pdo);
  });
  machine().RunUntilIdle();
  // 4 x 1024 packets at 19 per frame: 215 full frames and one of 11.
  sim::VirtualTime first = INT64_MAX, last = 0;
  for (int pair = 1; pair <= 4; ++pair) {
    const auto& s = *writes[pair - 1];
    ASSERT_TRUE(s.completed);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(device->Received(uint8_t(pair)), s.buffer);
    first = std::min(first, s.when);
    last = std::max(last, s.when);
  }
  EXPECT_EQ(last - start, 216 * sim::kMillisecond);
  EXPECT_LE(last - first, 1 * sim::kMillisecond);  // no pipe was left behind
  const sim::usb::BusStatistics stats = sim::usb::Statistics();
  EXPECT_EQ(stats.maxBulkPacketsInFrame, sim::usb::kBulkPacketsPerFrame);
  EXPECT_EQ(stats.framesByBulkPackets.at(19), 215u);
  EXPECT_EQ(stats.framesByBulkPackets.at(11), 1u);
  EXPECT_EQ(stats.bulkBytes, 4u * 65536u);
}

TEST_F(UsbBusFrames, OnePipeAloneGetsTheWholeFrameAndALateSmallTransferIsNotStarved) {
  Submission big;
  big.buffer = Pattern(65536, 1);
  Bulk(big, Out(1), 65536, 0);
  const sim::VirtualTime start = machine().Now();
  Submit(big);
  machine().RunFor(10 * sim::kMillisecond);
  Submission small;
  Bulk(small, Out(2), 64, 0);
  Submit(small);
  ASSERT_TRUE(Finish(small));
  EXPECT_EQ(small.when, start + 11 * sim::kMillisecond);
  ASSERT_TRUE(Finish(big));
  // 1024 packets at 19 per frame, one of which went to the small transfer.
  EXPECT_EQ(big.when - start, 54 * sim::kMillisecond);
}

class UsbBusCancel : public UsbBusBulk {};

TEST_F(UsbBusCancel, CancellingAPendingTransferCompletesItAndLeavesTheOthers) {
  Submission first, second, third;
  Bulk(first, In(1), 64, kIn | kShortOk);
  Bulk(second, In(1), 64, kIn | kShortOk);
  Bulk(third, In(2), 64, kIn | kShortOk);
  machine().RunTask("function", [&] {
    SubmitHere(first, pdo);
    SubmitHere(second, pdo);
    SubmitHere(third, pdo);
  });
  machine().RunUntilIdle();
  bool cancelled = false;
  machine().RunTask("canceller", [&] { cancelled = IoCancelIrp(first.irp); });
  EXPECT_TRUE(cancelled);
  ASSERT_TRUE(first.completed);
  EXPECT_EQ(first.status, STATUS_CANCELLED);
  EXPECT_EQ(URB_STATUS(first.Urb()), USBD_STATUS_CANCELED);
  EXPECT_FALSE(second.completed);
  EXPECT_FALSE(third.completed);

  device->Supply(0x81, Pattern(8, 1));
  device->Supply(0x82, Pattern(8, 2));
  ASSERT_TRUE(Finish(second));
  ASSERT_TRUE(Finish(third));
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(third.status, STATUS_SUCCESS);
}

TEST_F(UsbBusCancel, CancelOfAQueuedTransferAndOfOneCancelledBeforeItWasSent) {
  Submission first, second;
  Bulk(first, In(1), 64, kIn | kShortOk);
  Bulk(second, In(1), 64, kIn | kShortOk);
  machine().RunTask("function", [&] {
    SubmitHere(first, pdo);
    SubmitHere(second, pdo);
    EXPECT_TRUE(IoCancelIrp(second.irp));
  });
  EXPECT_EQ(second.status, STATUS_CANCELLED);
  device->Supply(0x81, Pattern(8, 1));
  ASSERT_TRUE(Finish(first));
  EXPECT_EQ(first.status, STATUS_SUCCESS);

  Submission early;
  early.cancelFirst = true;
  Bulk(early, In(1), 64, kIn | kShortOk);
  Submit(early);
  EXPECT_EQ(early.returned, STATUS_PENDING);
  ASSERT_TRUE(early.completed);
  EXPECT_EQ(early.status, STATUS_CANCELLED);
  EXPECT_EQ(sim::usb::Statistics().transfersCompleted, 4u);  // select, first, second, early
}

TEST_F(UsbBusCancel, AbortPipeEndsEveryTransferQueuedOnIt) {
  Submission a, b, abort;
  Bulk(a, In(1), 64, kIn | kShortOk);
  Bulk(b, In(1), 64, kIn | kShortOk);
  machine().RunTask("function", [&] {
    SubmitHere(a, pdo);
    SubmitHere(b, pdo);
  });
  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, In(1));
  Submit(abort);
  EXPECT_TRUE(abort.completedInsideCall);
  EXPECT_EQ(abort.returned, STATUS_SUCCESS);
  EXPECT_EQ(a.status, STATUS_CANCELLED);
  EXPECT_EQ(b.status, STATUS_CANCELLED);
}

class UsbBusUnplug : public UsbBusBulk {};

TEST_F(UsbBusUnplug, PendingTransfersFailFromTheControllerAndNewOnesFailInline) {
  Submission read, write;
  Bulk(read, In(1), 64, kIn | kShortOk);
  Bulk(write, Out(1), 64, 0);
  device->naksLeft[0x01] = 1000;
  machine().RunTask("function", [&] {
    SubmitHere(read, pdo);
    SubmitHere(write, pdo);
  });
  machine().RunUntilIdle();
  port->Detach();
  machine().RunUntilIdle();
  for (Submission* s : {&read, &write}) {
    ASSERT_TRUE(s->completed);
    EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(URB_STATUS(s->Urb()), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(s->irql, DISPATCH_LEVEL);
    EXPECT_EQ(s->task, "usb-host-controller");
  }

  Submission late;
  Bulk(late, Out(1), 64, 0);
  Submit(late);
  EXPECT_TRUE(late.completedInsideCall);
  EXPECT_EQ(late.returned, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(late.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(URB_STATUS(late.Urb()), USBD_STATUS_DEVICE_GONE);
  Submission descriptor;
  Descriptor(descriptor, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  Submit(descriptor);
  EXPECT_EQ(descriptor.returned, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbBusUnplug, DeviceThatDetachesInTheMiddleOfATransferFailsIt) {
  Submission write;
  Bulk(write, Out(1), 300, 0);
  device->detachOnPacket = true;
  EXPECT_EQ(Run(write), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(port->Attached());
  EXPECT_EQ(sim::usb::Statistics().bulkPackets, 1u);  // nothing went to a device that was gone
}

TEST_F(UsbBusUnplug, HandlesOfTheOldPresentationMeanNothingToTheNewOne) {
  PVOID oldOut = Out(1);
  port->Detach();
  port->Attach();
  PDEVICE_OBJECT newPdo = port->Pdo();
  AddFunctionDevice(newPdo);
  Submission stale;
  Bulk(stale, oldOut, 8, 0);
  Submit(stale, newPdo);
  EXPECT_EQ(stale.returned, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(stale.Urb()), USBD_STATUS_INVALID_PIPE_HANDLE);
  auto* fresh = Configure(4096, newPdo);
  Submission write;
  Bulk(write, fresh->Pipes[1].PipeHandle, 8, 0);
  EXPECT_EQ(Run(write, newPdo), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usbtest
