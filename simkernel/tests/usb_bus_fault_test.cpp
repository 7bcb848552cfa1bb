// Faults a test switches on for one pipe: an OUT transfer acknowledged short, an IN transfer
// reported longer than it moved, zero-length IN packets. And the two in-flight rules: a URB
// or a buffer the bus still owns submitted again.
#include "usb_bus_test_support.h"

namespace usbtest {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kShortOk = USBD_SHORT_TRANSFER_OK;
using Rules = std::vector<std::string>;

class UsbBusFaults : public UsbBusTest {
 protected:
  void SetUp() override {
    UsbBusTest::SetUp();
    info = Configure(4096);
  }
  PVOID In(int pair) { return info->Pipes[2 * pair - 2].PipeHandle; }
  PVOID Out(int pair) { return info->Pipes[2 * pair - 1].PipeHandle; }
  static ULONG Length(Submission& s) { return s.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength; }
  PUSBD_INTERFACE_INFORMATION info = nullptr;
};

TEST_F(UsbBusFaults, OutTransferAcknowledgedShortStillDeliversEveryByte) {
  port->AcknowledgeOutShort(0x01, 5);
  Submission write;
  write.buffer = Pattern(70, 3);
  Bulk(write, Out(1), 70, 0);
  EXPECT_EQ(Run(write), STATUS_SUCCESS);
  EXPECT_EQ(URB_STATUS(write.Urb()), USBD_STATUS_SUCCESS);
  EXPECT_EQ(Length(write), 65u);
  EXPECT_EQ(device->Received(0x01), write.buffer);

  // One transfer only, on that pipe only; a shortfall beyond the length reports 0.
  Submission other;
  other.buffer = Pattern(8, 4);
  Bulk(other, Out(2), 8, 0);
  EXPECT_EQ(Run(other), STATUS_SUCCESS);
  EXPECT_EQ(Length(other), 8u);
  port->AcknowledgeOutShort(0x02, 100);
  Submission whole;
  whole.buffer = Pattern(8, 5);
  Bulk(whole, Out(2), 8, 0);
  EXPECT_EQ(Run(whole), STATUS_SUCCESS);
  EXPECT_EQ(Length(whole), 0u);
  Submission after;
  after.buffer = Pattern(8, 6);
  Bulk(after, Out(2), 8, 0);
  EXPECT_EQ(Run(after), STATUS_SUCCESS);
  EXPECT_EQ(Length(after), 8u);
}

TEST_F(UsbBusFaults, InTransferReportedLongerWritesNothingPastWhatTheDeviceSent) {
  port->ReportInLonger(0x81, 40, 2);
  device->Supply(0x81, Pattern(20, 7));
  Submission read;
  read.buffer.assign(64 + 16, 0xCC);  // 16 guard bytes past the transfer
  Bulk(read, In(1), 64, kIn | kShortOk);
  EXPECT_EQ(Run(read), STATUS_SUCCESS);
  EXPECT_EQ(Length(read), 60u);
  const std::vector<uint8_t> sent = Pattern(20, 7);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), read.buffer.begin()));
  EXPECT_TRUE(std::all_of(read.buffer.begin() + 20, read.buffer.end(), [](uint8_t b) { return b == 0xCC; }));

  // Filled to the brim, it is reported beyond the buffer's end.
  device->Supply(0x81, Pattern(64, 8));
  Submission full;
  full.buffer.assign(64 + 16, 0xCC);
  Bulk(full, In(1), 64, kIn | kShortOk);
  EXPECT_EQ(Run(full), STATUS_SUCCESS);
  EXPECT_EQ(Length(full), 104u);
  EXPECT_TRUE(std::all_of(full.buffer.begin() + 64, full.buffer.end(), [](uint8_t b) { return b == 0xCC; }));

  // Failed transfers keep their true length and do not use the fault up.
  port->ReportInLonger(0x82, 9);
  device->stalled.insert(0x82);
  Submission stalled;
  Bulk(stalled, In(2), 64, kIn | kShortOk);
  Run(stalled);
  EXPECT_EQ(URB_STATUS(stalled.Urb()), USBD_STATUS_STALL_PID);
  EXPECT_EQ(Length(stalled), 0u);
  port->ClearFaults();
  device->Supply(0x81, Pattern(4, 9));
  Submission clean;
  Bulk(clean, In(1), 64, kIn | kShortOk);
  EXPECT_EQ(Run(clean), STATUS_SUCCESS);
  EXPECT_EQ(Length(clean), 4u);
}

TEST_F(UsbBusFaults, ZeroLengthInPacketEndsTheTransferAndLeavesTheDevicesDataForLater) {
  device->Supply(0x81, Pattern(10, 1));
  port->SendZeroLengthIn(0x81, 2);
  for (int i = 0; i < 2; ++i) {
    Submission empty;
    Bulk(empty, In(1), 64, kIn | kShortOk);
    EXPECT_EQ(Run(empty), STATUS_SUCCESS);
    EXPECT_EQ(Length(empty), 0u);
    EXPECT_EQ(empty.buffer[0], 0xCC);
  }
  EXPECT_TRUE(device->inAsks[0x81].empty());  // the device was not asked
  Submission data;
  Bulk(data, In(1), 64, kIn | kShortOk);
  EXPECT_EQ(Run(data), STATUS_SUCCESS);
  EXPECT_EQ(Length(data), 10u);
  EXPECT_TRUE(std::equal(data.buffer.begin(), data.buffer.begin() + 10, Pattern(10, 1).begin()));

  // Without USBD_SHORT_TRANSFER_OK it is a short packet like any other: underrun and a halt.
  port->SendZeroLengthIn(0x81);
  Submission strict;
  Bulk(strict, In(1), 64, kIn);
  Run(strict);
  EXPECT_EQ(URB_STATUS(strict.Urb()), USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(Length(strict), 0u);
}

TEST_F(UsbBusFaults, AUrbSubmittedAgainWhileTheBusStillHasIt) {
  Submission read;
  Bulk(read, In(1), 64, kIn | kShortOk);
  Submit(read);
  ASSERT_FALSE(read.completed);
  // A second IRP carrying the same URB memory (and so the same buffer: one report).
  Submission again;
  again.urbOverride = read.Urb();
  Submit(again);
  EXPECT_EQ(TakeViolations(), Rules{"urb submitted while in flight"});
  device->Supply(0x81, Pattern(4, 1));
  device->Supply(0x81, Pattern(4, 2));
  EXPECT_TRUE(Finish(read));
  EXPECT_TRUE(Finish(again));

  // The right way: the same URB again once it has come back.
  Submission next;
  next.urbOverride = read.Urb();
  device->Supply(0x81, Pattern(4, 3));
  EXPECT_EQ(Run(next), STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(UsbBusFaults, ABufferSharedWithAPendingInTransfer) {
  Submission read;
  read.buffer.assign(160, 0xCC);
  Bulk(read, In(1), 64, kIn | kShortOk);
  Submit(read);
  // Another URB whose buffer starts inside the pending read's, on another pipe.
  Submission overlap;
  UsbBuildInterruptOrBulkTransferRequest(overlap.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), In(2),
                                         read.buffer.data() + 32, nullptr, 64, kIn | kShortOk, nullptr);
  Submit(overlap);
  EXPECT_EQ(TakeViolations(), Rules{"transfer buffer submitted while in flight"});
  // Through an MDL over the same bytes, as an OUT transfer: the bus writes the pending read's.
  PMDL mdl = nullptr;
  RunTask([&] {
    mdl = IoAllocateMdl(read.buffer.data(), 16, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
  });
  Submission viaMdl;
  UsbBuildInterruptOrBulkTransferRequest(viaMdl.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Out(1), nullptr,
                                         mdl, 16, 0, nullptr);
  Submit(viaMdl);
  EXPECT_EQ(TakeViolations(), Rules{"transfer buffer submitted while in flight"});
  EXPECT_TRUE(Finish(viaMdl));
  RunTask([&] { IoFreeMdl(mdl); });

  // Right: bytes past both pending reads, and two OUT transfers reading the same bytes.
  Submission apart;
  UsbBuildInterruptOrBulkTransferRequest(apart.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), In(2),
                                         read.buffer.data() + 96, nullptr, 64, kIn | kShortOk, nullptr);
  Submit(apart);
  std::vector<uint8_t> bytes = Pattern(16, 3);
  Submission out1, out2;
  for (Submission* out : {&out1, &out2}) {
    UsbBuildInterruptOrBulkTransferRequest(out->Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Out(out == &out1 ? 1 : 2), bytes.data(), nullptr, 16, 0, nullptr);
    Submit(*out);
  }
  EXPECT_TRUE(Finish(out1));
  EXPECT_TRUE(Finish(out2));
  device->Supply(0x81, Pattern(4, 4));
  device->Supply(0x82, Pattern(4, 5));
  device->Supply(0x82, Pattern(4, 6));
  EXPECT_TRUE(Finish(read));
  EXPECT_TRUE(Finish(overlap));
  EXPECT_TRUE(Finish(apart));
  EXPECT_TRUE(TakeViolations().empty());
}

}  // namespace
}  // namespace usbtest
