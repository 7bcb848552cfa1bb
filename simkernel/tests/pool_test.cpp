// The executive pool: accounting and listing, injected failures, and the verifier's checks on
// frees, late writes, overruns and IRQL.
#include <cstring>

#include "machine_fixture.h"
#include "simkernel/pool.h"

namespace {

using Rules = std::vector<std::string>;
using sim::pool::TagFromString;

class Pool : public MachineTest {
 protected:
  const ULONG br01 = TagFromString("BR01");
  const ULONG br02 = TagFromString("BR02");
};

TEST_F(Pool, TagTextIsTheBytesAsTheyLieInMemory) {
  const ULONG tag = TagFromString("BR39");
  char bytes[4];
  std::memcpy(bytes, &tag, 4);
  EXPECT_EQ(std::string(bytes, 4), "BR39");
  EXPECT_EQ(sim::pool::TagToString(tag), "BR39");
  EXPECT_EQ(sim::pool::TagToString(TagFromString("Ab")), "Ab  ");
  EXPECT_EQ(sim::pool::TagToString(tag | 0x80000000u), "BR39");  // the protected bit is not text
}

TEST_F(Pool, OutstandingBlocksAreListedPerTagInAllocationOrder) {
  void *a = nullptr, *b = nullptr, *c = nullptr;
  RunTask([&] {
    a = ExAllocatePoolWithTag(NonPagedPool, 10, br01);
    b = ExAllocatePoolWithTag(PagedPool, 20, br02);
    c = ExAllocatePoolWithTag(NonPagedPool, 30, br01);
  });
  auto blocks = sim::pool::Outstanding(br01);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].address, a);
  EXPECT_EQ(blocks[1].address, c);
  EXPECT_EQ(blocks[1].size, 30u);
  EXPECT_EQ(blocks[0].task, "app");
  EXPECT_EQ(sim::pool::OutstandingCount(), 3u);
  EXPECT_EQ(sim::pool::OutstandingBytes(), 60u);
  EXPECT_EQ(sim::pool::OutstandingByTag(), (std::map<std::string, size_t>{{"BR01", 2}, {"BR02", 1}}));
  auto inside = sim::pool::FindBlock(static_cast<char*>(b) + 19);
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ(inside->type, PagedPool);
  EXPECT_EQ(inside->ToString().substr(0, 23), "BR02 20 bytes PagedPool");
  EXPECT_FALSE(sim::pool::FindBlock(static_cast<char*>(b) + 20).has_value());
  ExFreePoolWithTag(a, br01);
  ExFreePool(b);
  EXPECT_EQ(sim::pool::OutstandingCount(br01), 1u);
  EXPECT_EQ(sim::pool::AllocationCount(br01), 2u);
  EXPECT_EQ(sim::pool::Stats().frees, 2u);
  EXPECT_EQ(sim::pool::Stats().peakBytes, 60u);
  EXPECT_EQ(sim::pool::ReportLeaks(), 1u);
  auto violations = machine().Violations();
  TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "pool leak at unload");
  EXPECT_NE(violations[0].detail.find("BR01 30 bytes"), std::string::npos) << violations[0].detail;
  ExFreePool(c);
}

TEST_F(Pool, NewBlocksAreNotZeroed) {
  auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, br01));
  int zeros = 0;
  for (int i = 0; i < 16; ++i) zeros += block[i] == 0;
  EXPECT_EQ(zeros, 0);
  ExFreePool(block);
}

TEST_F(Pool, InjectedFailuresCountSkipAndFollowTheTag) {
  sim::pool::FailNextAllocations(2);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, br01), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, br02), nullptr);
  void* ok = ExAllocatePoolWithTag(NonPagedPool, 8, br01);
  EXPECT_NE(ok, nullptr);
  ExFreePool(ok);

  sim::pool::FailNextAllocations(1, br02, 1);  // the second BR02 allocation fails
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, br02);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, br01);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(sim::pool::PendingFailures(), 1u);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, br02), nullptr);
  EXPECT_EQ(sim::pool::PendingFailures(), 0u);
  void* third = ExAllocatePoolWithTag(NonPagedPool, 8, br02);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(sim::pool::Stats().failedAllocations, 3u);
  EXPECT_EQ(sim::pool::AllocationCount(br02), 2u);
  for (void* p : {first, other, third}) ExFreePool(p);

  sim::pool::FailNextAllocations(5);
  sim::pool::ClearFailurePlans();
  void* after = ExAllocatePoolWithTag(NonPagedPool, 8, br01);
  EXPECT_NE(after, nullptr);
  ExFreePool(after);
}

TEST_F(Pool, QuotaAllocationFailureRaisesUnlessAskedNotTo) {
  sim::pool::FailNextAllocations(2);
  EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 8, br01),
            nullptr);
  EXPECT_TRUE(TakeViolations().empty());
  EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, br01), nullptr);
  EXPECT_EQ(TakeViolations(), Rules{"pool quota allocation raised"});
  void* charged = ExAllocatePoolWithQuotaTag(NonPagedPool, 8, br01);
  ASSERT_NE(charged, nullptr);
  EXPECT_TRUE(sim::pool::FindBlock(charged)->quota);
  ExFreePoolWithTag(charged, br01);
}

TEST_F(Pool, BadFreesAreReported) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, br01);
  ExFreePoolWithTag(block, br01 | 0x80000000u);  // protected bit ignored
  EXPECT_TRUE(TakeViolations().empty());
  ExFreePool(block);
  EXPECT_EQ(TakeViolations(), Rules{"pool double free"});

  int onStack = 0;
  ExFreePool(&onStack);
  ExFreePool(nullptr);
  EXPECT_EQ(TakeViolations(), (Rules{"pool free of unknown block", "pool free of unknown block"}));

  auto* twelve = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 12, br01));
  ExFreePool(twelve + 4);
  EXPECT_EQ(TakeViolations(), Rules{"pool free of unknown block"});
  ExFreePoolWithTag(twelve, br02);
  EXPECT_EQ(TakeViolations(), Rules{"pool free with wrong tag"});
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);  // the block is freed all the same
}

TEST_F(Pool, WriteAfterFreeIsFoundBySweepAndWhenLeavingQuarantine) {
  auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, br01));
  ExFreePool(block);
  EXPECT_EQ(sim::pool::SweepQuarantine(), 0u);
  block[5] = 'x';  // the quarantine still holds the memory: a late write lands in poison
  EXPECT_EQ(sim::pool::SweepQuarantine(), 1u);
  EXPECT_EQ(TakeViolations(), Rules{"pool write after free"});
  EXPECT_EQ(sim::pool::SweepQuarantine(), 0u);  // reported once

  sim::pool::SetQuarantineLimit(1);
  auto* first = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 16, br02));
  auto* second = ExAllocatePoolWithTag(NonPagedPool, 16, br02);
  ExFreePool(first);
  first[0] = 1;
  EXPECT_TRUE(TakeViolations().empty());
  ExFreePool(second);  // pushes the damaged block out of the quarantine
  auto violations = machine().Violations();
  TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "pool write after free");
  EXPECT_NE(violations[0].detail.find("BR02"), std::string::npos);
  EXPECT_EQ(sim::pool::QuarantineCount(), 1u);
}

TEST_F(Pool, OverrunIsFoundAtFree) {
  auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, br01));
  block[10] = 0;
  ExFreePool(block);
  EXPECT_EQ(TakeViolations(), Rules{"pool block overrun"});
}

TEST_F(Pool, PagedPoolAboveApcLevel) {
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, br01);
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, br01);
    ExFreePool(nonPaged);
    ExFreePool(paged);
    KeLowerIrql(old);
  });
  EXPECT_EQ(TakeViolations(), (Rules{"paged pool allocation above apc level", "paged pool free above apc level"}));
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, br01));
    KeLowerIrql(old);
  });
  EXPECT_EQ(TakeViolations(), (Rules{"pool allocation above dispatch level", "pool free above dispatch level"}));
}

TEST_F(Pool, FreeingABlockThatHoldsASetTimer) {
  PKTIMER timer = nullptr;
  RunTask([&] {
    timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER) + 8, br01));
    KeInitializeTimer(timer);
    KeSetTimer(timer, RelativeMs(50), nullptr);
    ExFreePool(timer);
  });
  EXPECT_EQ(TakeViolations(), Rules{"pool freed holding queued dpc or set timer"});
  RunTask([&] { KeCancelTimer(timer); });
}

TEST_F(Pool, OddAllocations) {
  void* empty = ExAllocatePoolWithTag(NonPagedPool, 0, br01);
  EXPECT_NE(empty, nullptr);
  EXPECT_EQ(TakeViolations(), Rules{"pool zero byte allocation"});
  ExFreePool(empty);
  EXPECT_EQ(ExAllocatePoolWithTag(DontUseThisType, 8, br01), nullptr);
  EXPECT_EQ(TakeViolations(), Rules{"pool allocation of invalid type"});
  void* must = ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, br01);
  EXPECT_NE(must, nullptr);
  EXPECT_EQ(TakeViolations(), Rules{"pool must succeed allocation"});
  ExFreePool(must);
}

}  // namespace
