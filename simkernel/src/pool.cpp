// The executive pool. Every block is tracked with its tag, type, size and allocating task;
// freed blocks are poisoned and kept in a bounded quarantine so that a late write shows up
// when the block leaves it. A few guard bytes after each block catch overruns at free.
#include "simkernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <sstream>

#include "kernel_objects.h"
#include "race_annotations.h"
#include "simkernel/machine.h"

namespace sim::pool {
namespace {

constexpr uint8_t kFreshFill = 0xA5;  // new blocks are not zeroed, as on Windows
constexpr uint8_t kPoison = 0xDF;
constexpr uint8_t kGuardFill = 0xB7;
constexpr size_t kGuardBytes = 16;
constexpr ULONG kProtectedTagBit = 0x80000000u;

struct Block {
  BlockInfo info;
  uint8_t* memory = nullptr;
};

struct FailurePlan {
  std::optional<ULONG> tag;
  int skip = 0;
  int count = 0;
};

struct PoolState {
  std::map<const uint8_t*, Block> live;  // by address, for interior lookups
  std::deque<Block> quarantine;          // oldest first
  std::set<const uint8_t*> quarantined;
  size_t quarantineLimit = 512;
  uint64_t nextSerial = 1;
  size_t bytes = 0;
  size_t pagedBytes = 0;  // of bytes
  size_t nonPagedCeiling = kDefaultNonPagedCeiling;
  size_t pagedCeiling = kDefaultPagedCeiling;
  Statistics stats;
  std::map<ULONG, uint64_t> perTag;
  std::vector<FailurePlan> plans;

  PoolState() = default;
  PoolState(const PoolState&) = delete;
  PoolState& operator=(const PoolState&) = delete;
  ~PoolState() {
    for (auto& [address, block] : live) std::free(block.memory);
    for (auto& block : quarantine) std::free(block.memory);
  }
};

PoolState& Pool() {
  if (Machine::Exists()) return Machine::Current().State<PoolState>();
  static PoolState detached;  // string helpers used before any machine exists
  return detached;
}

void Report(const std::string& rule, const std::string& detail) {
  if (Machine::Exists()) Machine::Current().Report(rule, detail);
}

void SetCall(const char* call) {
  if (!Machine::Exists()) return;
  if (Task* task = Machine::Current().CurrentTask()) task->currentCall = call;
}

KIRQL CurrentIrql() {
  if (!Machine::Exists()) return PASSIVE_LEVEL;
  Task* task = Machine::Current().CurrentTask();
  return task ? task->irql : KIRQL(PASSIVE_LEVEL);
}

std::string TaskName() {
  if (!Machine::Exists()) return "";
  Task* task = Machine::Current().CurrentTask();
  return task ? task->name : "";
}

int BaseType(int type) { return type & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE; }
bool IsPaged(POOL_TYPE type) { return (BaseType(type) & 1) != 0; }

const char* TypeName(POOL_TYPE type) {
  switch (BaseType(type)) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolMustSucceed: return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
  }
  return "invalid pool type";
}

bool ShouldFail(PoolState& pool, ULONG tag) {
  bool fail = false;
  for (auto& plan : pool.plans) {
    if (plan.tag && *plan.tag != tag) continue;
    if (plan.skip > 0) {
      --plan.skip;
      continue;
    }
    if (plan.count > 0) {
      --plan.count;
      fail = true;
    }
  }
  std::erase_if(pool.plans, [](const FailurePlan& plan) { return plan.count <= 0; });
  return fail;
}

// First corrupted byte offset in a poisoned block, or -1.
long FindPoisonDamage(const Block& block) {
  for (size_t i = 0; i < block.info.size; ++i)
    if (block.memory[i] != kPoison) return static_cast<long>(i);
  return -1;
}

bool CheckPoison(const Block& block) {
  long offset = FindPoisonDamage(block);
  if (offset < 0) return true;
  Report("pool write after free", block.info.ToString() + ", offset " + std::to_string(offset));
  return false;
}

void Evict(PoolState& pool) {
  while (pool.quarantine.size() > pool.quarantineLimit) {
    Block oldest = pool.quarantine.front();
    pool.quarantine.pop_front();
    pool.quarantined.erase(oldest.memory);
    CheckPoison(oldest);
    std::free(oldest.memory);
  }
}

PVOID Allocate(POOL_TYPE requested, SIZE_T size, ULONG tag, bool quota, const char* call) {
  PoolState& pool = Pool();
  SetCall(call);
  const int base = BaseType(requested);
  const KIRQL irql = CurrentIrql();
  if (base != NonPagedPool && base != PagedPool && base != NonPagedPoolMustSucceed &&
      base != NonPagedPoolCacheAligned && base != PagedPoolCacheAligned) {
    Report("pool allocation of invalid type", "type " + std::to_string(static_cast<int>(requested)));
    ++pool.stats.failedAllocations;
    return nullptr;
  }
  if (irql > DISPATCH_LEVEL)
    Report("pool allocation above dispatch level", TagToString(tag) + " at IRQL " + std::to_string(irql));
  else if (IsPaged(requested) && irql > APC_LEVEL)
    Report("paged pool allocation above apc level", TagToString(tag) + " at IRQL " + std::to_string(irql));
  if (base == NonPagedPoolMustSucceed) Report("pool must succeed allocation", TagToString(tag));
  if (size == 0) Report("pool zero byte allocation", TagToString(tag));

  if (base != NonPagedPoolMustSucceed && ShouldFail(pool, tag)) {
    ++pool.stats.failedAllocations;
    return nullptr;
  }
  const size_t held = IsPaged(requested) ? pool.pagedBytes : pool.bytes - pool.pagedBytes;
  const size_t ceiling = IsPaged(requested) ? pool.pagedCeiling : pool.nonPagedCeiling;
  if (size > ceiling - std::min(held, ceiling)) {
    if (base == NonPagedPoolMustSucceed && Machine::Exists())
      Machine::Current().Fatal("bugcheck", "code 0x00000041 MUST_SUCCEED_POOL_EMPTY (" + std::to_string(size) + " bytes)");
    ++pool.stats.failedAllocations;
    return nullptr;
  }
  auto* memory = static_cast<uint8_t*>(std::malloc(size + kGuardBytes));
  if (!memory) {
    ++pool.stats.failedAllocations;
    return nullptr;
  }
  std::memset(memory, kFreshFill, size);
  std::memset(memory + size, kGuardFill, kGuardBytes);
  Block block;
  block.memory = memory;
  block.info.serial = pool.nextSerial++;
  block.info.address = memory;
  block.info.size = size;
  block.info.tag = tag;
  block.info.type = static_cast<POOL_TYPE>(base);
  block.info.quota = quota;
  block.info.task = TaskName();
  pool.live.emplace(memory, std::move(block));
  pool.bytes += size;
  if (IsPaged(requested)) pool.pagedBytes += size;
  pool.stats.peakBytes = std::max(pool.stats.peakBytes, pool.bytes);
  ++pool.stats.allocations;
  ++pool.perTag[tag];
  return memory;
}

const Block* FindContaining(PoolState& pool, const uint8_t* address) {
  auto it = pool.live.upper_bound(address);
  if (it == pool.live.begin()) return nullptr;
  --it;
  const Block& block = it->second;
  if (address < block.memory + std::max<size_t>(block.info.size, 1)) return &block;
  return nullptr;
}

void Free(PVOID pointer, std::optional<ULONG> tag, const char* call) {
  PoolState& pool = Pool();
  SetCall(call);
  auto* address = static_cast<uint8_t*>(pointer);
  if (!address) {
    Report("pool free of unknown block", "null pointer");
    return;
  }
  auto it = pool.live.find(address);
  if (it == pool.live.end()) {
    if (pool.quarantined.count(address)) {
      auto freed = std::find_if(pool.quarantine.begin(), pool.quarantine.end(),
                                [&](const Block& block) { return block.memory == address; });
      Report("pool double free", freed->info.ToString() + " already freed");
      return;
    }
    if (const Block* inside = FindContaining(pool, address)) {
      Report("pool free of unknown block", "address inside " + inside->info.ToString() + " at offset " +
                                               std::to_string(address - inside->memory));
      return;
    }
    Report("pool free of unknown block", "address not allocated from pool");
    return;
  }
  Block block = it->second;
  const KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL)
    Report("pool free above dispatch level", block.info.ToString() + " at IRQL " + std::to_string(irql));
  else if (IsPaged(block.info.type) && irql > APC_LEVEL)
    Report("paged pool free above apc level", block.info.ToString() + " at IRQL " + std::to_string(irql));
  if (tag && ((*tag & ~kProtectedTagBit) != (block.info.tag & ~kProtectedTagBit)))
    Report("pool free with wrong tag", block.info.ToString() + " freed with tag " + TagToString(*tag));
  for (size_t i = 0; i < kGuardBytes; ++i) {
    if (block.memory[block.info.size + i] != kGuardFill) {
      Report("pool block overrun", block.info.ToString() + ", byte " + std::to_string(block.info.size + i));
      break;
    }
  }
  if (Machine::Exists()) {
    std::string what;
    if (QueuedKernelObjectInRange(block.memory, block.info.size, &what))
      Report("pool freed holding queued dpc or set timer", block.info.ToString() + ": " + what);
  }
  // A free writes the whole block: an access from another processor not ordered before it
  // is a use of freed memory waiting to happen.
  race::Write(block.memory, block.info.size);
  pool.live.erase(it);
  pool.bytes -= block.info.size;
  if (IsPaged(block.info.type)) pool.pagedBytes -= block.info.size;
  ++pool.stats.frees;
  std::memset(block.memory, kPoison, block.info.size + kGuardBytes);
  pool.quarantine.push_back(block);
  pool.quarantined.insert(block.memory);
  Evict(pool);
}

}  // namespace

ULONG TagFromString(std::string_view text) {
  ULONG tag = 0;
  for (size_t i = 0; i < 4; ++i) {
    unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : ' ';
    tag |= static_cast<ULONG>(c) << (8 * i);
  }
  return tag;
}

std::string TagToString(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    if (i == 3) c &= 0x7F;  // the protected-tag bit
    text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return text;
}

ULONG SystemStringTag() { return TagFromString("Strg"); }

std::string BlockInfo::ToString() const {
  std::ostringstream out;
  out << TagToString(tag) << ' ' << size << " bytes " << TypeName(type) << " #" << serial;
  if (!task.empty()) out << " by " << task;
  return out.str();
}

std::vector<BlockInfo> Outstanding(std::optional<ULONG> tag) {
  std::vector<BlockInfo> blocks;
  for (const auto& [address, block] : Pool().live)
    if (!tag || block.info.tag == *tag) blocks.push_back(block.info);
  std::sort(blocks.begin(), blocks.end(), [](const BlockInfo& a, const BlockInfo& b) { return a.serial < b.serial; });
  return blocks;
}

size_t OutstandingCount(std::optional<ULONG> tag) {
  if (!tag) return Pool().live.size();
  size_t count = 0;
  for (const auto& [address, block] : Pool().live) count += block.info.tag == *tag;
  return count;
}

size_t OutstandingBytes() { return Pool().bytes; }

std::map<std::string, size_t> OutstandingByTag() {
  std::map<std::string, size_t> counts;
  for (const auto& [address, block] : Pool().live) ++counts[TagToString(block.info.tag)];
  return counts;
}

std::optional<BlockInfo> FindBlock(const void* address) {
  const Block* block = FindContaining(Pool(), static_cast<const uint8_t*>(address));
  if (!block) return std::nullopt;
  return block->info;
}

Statistics Stats() { return Pool().stats; }

uint64_t AllocationCount(ULONG tag) {
  auto& perTag = Pool().perTag;
  auto it = perTag.find(tag);
  return it == perTag.end() ? 0 : it->second;
}

void FailNextAllocations(int count, std::optional<ULONG> tag, int skip) {
  if (count <= 0) return;
  Pool().plans.push_back(FailurePlan{tag, std::max(skip, 0), count});
}

void ClearFailurePlans() { Pool().plans.clear(); }

void SetNonPagedCeiling(size_t bytes) { Pool().nonPagedCeiling = bytes; }

void SetPagedCeiling(size_t bytes) { Pool().pagedCeiling = bytes; }

size_t PendingFailures() {
  size_t total = 0;
  for (const auto& plan : Pool().plans) total += static_cast<size_t>(plan.count);
  return total;
}

size_t SweepQuarantine() {
  size_t damaged = 0;
  for (const auto& block : Pool().quarantine) {
    if (!CheckPoison(block)) {
      ++damaged;
      // Re-poison so that one late write is reported once.
      std::memset(block.memory, kPoison, block.info.size);
    }
  }
  return damaged;
}

void SetQuarantineLimit(size_t blocks) {
  PoolState& pool = Pool();
  pool.quarantineLimit = blocks;
  Evict(pool);
}

size_t QuarantineCount() { return Pool().quarantine.size(); }

size_t ReportLeaks(std::string_view when) {
  auto blocks = Outstanding();
  for (const auto& block : blocks) Report("pool leak at unload", block.ToString() + " (" + std::string(when) + ")");
  return blocks.size();
}

}  // namespace sim::pool

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return sim::pool::Allocate(PoolType, NumberOfBytes, Tag, false, "ExAllocatePoolWithTag");
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const bool raises = (PoolType & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) == 0;
  PVOID block = sim::pool::Allocate(PoolType, NumberOfBytes, Tag, true, "ExAllocatePoolWithQuotaTag");
  // The raising form would raise STATUS_INSUFFICIENT_RESOURCES; the host cannot unwind driver
  // code that way, so the caller gets NULL and the verifier says what would have happened.
  if (!block && raises)
    sim::pool::Report("pool quota allocation raised",
                      sim::pool::TagToString(Tag) + " " + std::to_string(NumberOfBytes) + " bytes");
  return block;
}

VOID ExFreePool(PVOID P) { sim::pool::Free(P, std::nullopt, "ExFreePool"); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { sim::pool::Free(P, Tag, "ExFreePoolWithTag"); }
