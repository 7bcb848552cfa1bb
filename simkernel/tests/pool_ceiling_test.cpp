// Each pool holds at most its ceiling: an allocation beyond it fails cleanly with NULL, the
// blocks already held stay usable, and freeing makes room again.
#include "machine_fixture.h"
#include "simkernel/pool.h"

namespace {

using sim::pool::TagFromString;

class PoolCeiling : public MachineTest {
 protected:
  const ULONG tag = TagFromString("BR01");
};

TEST_F(PoolCeiling, AHugeNonPagedRequestFailsWithNullInsteadOfAllocating) {
  RunTask([&] {
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0x7fffffff, tag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX, tag), nullptr) << "no size arithmetic overflow";
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, SIZE_MAX - 3, tag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE),
                                         0x7fffffff, tag),
              nullptr);
  });
  EXPECT_EQ(sim::pool::Stats().failedAllocations, 4u);
  EXPECT_EQ(sim::pool::OutstandingBytes(), 0u);
}

TEST_F(PoolCeiling, TheCeilingCountsWhatIsHeldAndFreeingMakesRoomAgain) {
  sim::pool::SetNonPagedCeiling(1000);
  RunTask([&] {
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 600, tag);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 401, tag), nullptr);
    PVOID rest = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 400, tag);
    ASSERT_NE(rest, nullptr) << "exactly up to the ceiling";
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, tag), nullptr);
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 5000, tag);
    EXPECT_NE(paged, nullptr) << "paged pool has a ceiling of its own";
    ExFreePoolWithTag(first, tag);
    PVOID again = ExAllocatePoolWithTag(NonPagedPool, 600, tag);
    EXPECT_NE(again, nullptr);
    for (PVOID block : {rest, paged, again})
      if (block) ExFreePool(block);
  });
}

TEST_F(PoolCeiling, PagedPoolHasItsOwnCeiling) {
  sim::pool::SetPagedCeiling(4096);
  RunTask([&] {
    PVOID block = ExAllocatePoolWithTag(PagedPool, 4096, tag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPoolCacheAligned, 1, tag), nullptr);
    PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8192, tag);
    EXPECT_NE(nonPaged, nullptr);
    ExFreePool(block);
    if (nonPaged) ExFreePool(nonPaged);
  });
}

TEST_F(PoolCeiling, AMustSucceedRequestBeyondTheCeilingBugchecks) {
  sim::pool::SetNonPagedCeiling(100);
  RunTask([&] { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 200, tag); });
  auto rules = TakeViolations();
  EXPECT_EQ(rules, (std::vector<std::string>{"pool must succeed allocation", "bugcheck"}));
}

}  // namespace
