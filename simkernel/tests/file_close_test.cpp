// Closing a handle as Windows 2000 does: IRP_MJ_CLEANUP when the handle goes, IRP_MJ_CLOSE only
// once the file object's last reference is gone (every request issued on it completed, every
// reference a driver took released).
#include "io_test_support.h"
#include "simkernel/race_detector.h"

namespace {

class FileClose : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Port", [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      {
        sim::race::Unobserved unobserved;  // the test's record, from requests on several processors
        majors.push_back(sp->MajorFunction);
        if (sp->MajorFunction == IRP_MJ_CLOSE) closeIrql = KeGetCurrentIrql();
      }
      if (sp->MajorFunction == IRP_MJ_READ) {
        IoMarkIrpPending(irp);
        sim::race::Unobserved unobserved;
        held.push_back(irp);
        return STATUS_PENDING;
      }
      if (sp->MajorFunction == IRP_MJ_CREATE && referenceOnCreate) ObReferenceObject(sp->FileObject);
      return Complete(irp, STATUS_SUCCESS);
    });
    device = CreateDevice(driver, u"\\Device\\Port0", DO_BUFFERED_IO, 0, TRUE);
    ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
  }

  // Completes a held read the way a device does it: from a DPC-level task.
  void CompleteHeld(size_t index) {
    RunTask([&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Complete(held.at(index), STATUS_SUCCESS);
      KeLowerIrql(old);
    });
  }

  bool CloseSeen() const { return std::count(majors.begin(), majors.end(), IRP_MJ_CLOSE) > 0; }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PFILE_OBJECT file = nullptr;
  std::vector<UCHAR> majors;
  std::vector<PIRP> held;
  bool referenceOnCreate = false;
  KIRQL closeIrql = 0xFF;
};

TEST_F(FileClose, CloseWaitsForEveryRequestIssuedOnTheFileToComplete) {
  sim::io::Request first = sim::io::ReadAsync(file, 4);
  sim::io::Request second = sim::io::ReadAsync(file, 4);
  NTSTATUS cleanup = STATUS_PENDING;
  EXPECT_EQ(sim::io::Close(file, &cleanup), STATUS_PENDING);
  EXPECT_EQ(cleanup, STATUS_SUCCESS);
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_CLEANUP}));
  EXPECT_FALSE(sim::io::CloseStatus(file).has_value());
  // The handle is gone at once, the file object is not: the exclusive device stays taken.
  EXPECT_EQ(sim::io::Read(file, 4).status, STATUS_INVALID_HANDLE);
  PFILE_OBJECT other = nullptr;
  EXPECT_EQ(sim::io::Open(u"\\Device\\Port0", &other), STATUS_ACCESS_DENIED);
  EXPECT_EQ(device->ReferenceCount, 1);

  CompleteHeld(0);
  machine().RunUntilIdle();
  EXPECT_TRUE(first.IsComplete());
  EXPECT_FALSE(CloseSeen());  // the second read still holds the file object

  CompleteHeld(1);
  machine().RunUntilIdle();
  EXPECT_TRUE(second.IsComplete());
  EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
  EXPECT_EQ(std::count(majors.begin(), majors.end(), IRP_MJ_CLOSE), 1);
  EXPECT_EQ(closeIrql, PASSIVE_LEVEL);  // from a worker, not from the DPC-level completion
  EXPECT_EQ(sim::io::CloseStatus(file), STATUS_SUCCESS);
  EXPECT_EQ(device->ReferenceCount, 0);
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &other), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::Close(other), STATUS_SUCCESS);
}

TEST_F(FileClose, ADriversReferenceOnTheFileObjectDelaysCloseUntilItIsReleased) {
  // Reopen with a driver that keeps a reference from create on.
  sim::io::Close(file);
  majors.clear();
  referenceOnCreate = true;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::ObjectReferenceCount(file), 1);

  EXPECT_EQ(sim::io::Close(file), STATUS_PENDING);
  machine().RunUntilIdle();
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));

  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ObDereferenceObject(file);
    KeLowerIrql(old);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(closeIrql, PASSIVE_LEVEL);
  EXPECT_EQ(sim::io::CloseStatus(file), STATUS_SUCCESS);
}

TEST_F(FileClose, RequestsAndAReferenceTogetherHoldCloseUntilTheLastIsGone) {
  sim::io::Request read = sim::io::ReadAsync(file, 4);
  RunTask([&] { ObReferenceObject(file); });
  EXPECT_EQ(sim::io::Close(file), STATUS_PENDING);
  CompleteHeld(0);
  machine().RunUntilIdle();
  EXPECT_TRUE(read.IsComplete());
  EXPECT_FALSE(CloseSeen());
  RunTask([&] { ObDereferenceObject(file); });
  machine().RunUntilIdle();
  EXPECT_TRUE(CloseSeen());
  // Releasing a reference the file no longer has is the driver's bug, and sends nothing.
  RunTask([&] { ObDereferenceObject(file); });
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"object reference count underflow"});
  EXPECT_EQ(std::count(majors.begin(), majors.end(), IRP_MJ_CLOSE), 1);
}

TEST_F(FileClose, CloseWithNothingOutstandingIsSentAtOnceWithItsStatus) {
  sim::io::Request read = sim::io::ReadAsync(file, 4);
  CompleteHeld(0);
  ASSERT_TRUE(read.IsComplete());
  EXPECT_EQ(sim::io::Close(file), STATUS_SUCCESS);
  EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
  EXPECT_EQ(sim::io::CloseStatus(file), STATUS_SUCCESS);
}

}  // namespace
