// Host-side view of the simulated executive pool: accounting, leak listing, quarantine of
// freed blocks and failure injection. The driver only sees ExAllocatePool*/ExFreePool*.
//
// Tags: a tag is the ULONG the driver passes. Its text is the four bytes as they lie in memory
// (little-endian), which is how pool listings show them: TagFromString("BR39") gives the value
// whose bytes are 'B','R','3','9'.
//
// Verifier rules reported here (Machine::Report rule names):
//   "pool allocation above dispatch level"   "paged pool allocation above apc level"
//   "pool free above dispatch level"         "paged pool free above apc level"
//   "pool double free"                        "pool free of unknown block"
//   "pool free with wrong tag"                "pool write after free"
//   "pool block overrun"                      "pool freed holding queued dpc or set timer"
//   "pool quota allocation raised"            "pool must succeed allocation"
//   "pool allocation of invalid type"         "pool zero byte allocation"
//   "pool leak at unload"
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simkernel/wdm.h"

namespace sim::pool {

ULONG TagFromString(std::string_view text);  // up to four characters, padded with spaces
std::string TagToString(ULONG tag);

// The tag the run-time library uses for strings it allocates (RtlAnsiStringToUnicodeString).
ULONG SystemStringTag();

struct BlockInfo {
  uint64_t serial = 0;      // allocation order, from 1
  const void* address = nullptr;
  size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  bool quota = false;       // charged to quota
  std::string task;         // name of the task that allocated it ("" on the controlling thread)
  std::string ToString() const;  // "BR39 12 bytes PagedPool #7 by app"
};

// Blocks still allocated, in allocation order; only those with the given tag if one is given.
std::vector<BlockInfo> Outstanding(std::optional<ULONG> tag = std::nullopt);
size_t OutstandingCount(std::optional<ULONG> tag = std::nullopt);
size_t OutstandingBytes();
// Count of outstanding blocks per tag text.
std::map<std::string, size_t> OutstandingByTag();
// The outstanding block containing this address, if any.
std::optional<BlockInfo> FindBlock(const void* address);

struct Statistics {
  uint64_t allocations = 0;       // successful
  uint64_t frees = 0;
  uint64_t failedAllocations = 0; // injected failures included
  size_t peakBytes = 0;
};
Statistics Stats();
// Successful allocations ever made with this tag.
uint64_t AllocationCount(ULONG tag);

// The most each pool may hold at once; an allocation beyond it fails with NULL, as the
// system's would, instead of the host allocating it (a must-succeed one bugchecks).
inline constexpr size_t kDefaultNonPagedCeiling = size_t{128} << 20;
inline constexpr size_t kDefaultPagedCeiling = size_t{256} << 20;
void SetNonPagedCeiling(size_t bytes);
void SetPagedCeiling(size_t bytes);

// Failure injection: among the following allocations that match (all, or only those with
// the tag), skip `skip` of them, then fail the next `count`. Plans add up; each keeps its own
// counters. Applies to ExAllocatePoolWithTag and ExAllocatePoolWithQuotaTag.
void FailNextAllocations(int count, std::optional<ULONG> tag = std::nullopt, int skip = 0);
void ClearFailurePlans();
size_t PendingFailures();  // allocations still to be failed by the active plans

// Freed blocks are poisoned and held in a bounded quarantine; the poison is checked when a
// block leaves the quarantine and on a sweep. Returns how many corrupted blocks were found
// (each also reported as "pool write after free").
size_t SweepQuarantine();
void SetQuarantineLimit(size_t blocks);
size_t QuarantineCount();

// Reports every outstanding block as "pool leak at unload" (detail names tag, size, serial).
// Returns how many were reported.
size_t ReportLeaks(std::string_view when = "unload");

}  // namespace sim::pool
