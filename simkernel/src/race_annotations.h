// Happens-before edges for the race detector build. The scheduler's own hand-over is hidden
// from ThreadSanitizer, so the only orderings it sees between tasks are the ones the kernel
// routines below give, at the places where Windows gives them. Without the detector every
// routine here is a plain no-op (or the plain operation, for the interlocked ones).
#pragma once

#include <cstdint>
#include <string>

#include "simkernel/wdm.h"

#ifdef ZEL_RACE_DETECTOR
extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
void __tsan_read_range(void* addr, unsigned long size);
void __tsan_write_range(void* addr, unsigned long size);
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
// The runtime's atomic entry points: they perform the operation and record it as one.
int __tsan_atomic32_exchange(volatile int* a, int v, int mo);
int __tsan_atomic32_fetch_add(volatile int* a, int v, int mo);
int __tsan_atomic32_fetch_or(volatile int* a, int v, int mo);
int __tsan_atomic32_fetch_and(volatile int* a, int v, int mo);
int __tsan_atomic32_compare_exchange_val(volatile int* a, int c, int v, int mo, int fail_mo);
long __tsan_atomic64_exchange(volatile long* a, long v, int mo);
long __tsan_atomic64_compare_exchange_val(volatile long* a, long c, long v, int mo, int fail_mo);
}
#endif

namespace sim::race {

#ifdef ZEL_RACE_DETECTOR
inline void Release(const void* object) { __tsan_release(const_cast<void*>(object)); }
inline void Acquire(const void* object) { __tsan_acquire(const_cast<void*>(object)); }

// The kernel or the hardware touching driver memory on behalf of the running task: a copy
// into or out of a transfer buffer, a free.
inline void Read(const void* memory, size_t length) {
  if (length) __tsan_read_range(const_cast<void*>(memory), length);
}
inline void Write(void* memory, size_t length) {
  if (length) __tsan_write_range(memory, length);
}

// The scheduler's mutex and condition variables: no ordering for the detector.
class HiddenSync {
 public:
  HiddenSync() { AnnotateIgnoreSyncBegin(__FILE__, __LINE__); }
  ~HiddenSync() { AnnotateIgnoreSyncEnd(__FILE__, __LINE__); }
  HiddenSync(const HiddenSync&) = delete;
  HiddenSync& operator=(const HiddenSync&) = delete;
};

constexpr int kSeqCst = 5;
inline volatile int* Word(LONG volatile* p) { return reinterpret_cast<volatile int*>(p); }
inline volatile long* Word(PVOID volatile* p) { return reinterpret_cast<volatile long*>(p); }

// Interlocked operations are full barriers on Windows.
inline LONG ExchangeAdd(LONG volatile* target, LONG value) { return __tsan_atomic32_fetch_add(Word(target), value, kSeqCst); }
inline LONG Exchange(LONG volatile* target, LONG value) { return __tsan_atomic32_exchange(Word(target), value, kSeqCst); }
inline LONG Or(LONG volatile* target, LONG value) { return __tsan_atomic32_fetch_or(Word(target), value, kSeqCst); }
inline LONG And(LONG volatile* target, LONG value) { return __tsan_atomic32_fetch_and(Word(target), value, kSeqCst); }
inline LONG CompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
  return __tsan_atomic32_compare_exchange_val(Word(target), comparand, exchange, kSeqCst, kSeqCst);
}
inline PVOID Exchange(PVOID volatile* target, PVOID value) {
  return reinterpret_cast<PVOID>(__tsan_atomic64_exchange(Word(target), reinterpret_cast<long>(value), kSeqCst));
}
inline PVOID CompareExchange(PVOID volatile* target, PVOID exchange, PVOID comparand) {
  return reinterpret_cast<PVOID>(__tsan_atomic64_compare_exchange_val(
      Word(target), reinterpret_cast<long>(comparand), reinterpret_cast<long>(exchange), kSeqCst, kSeqCst));
}
#else
inline void Release(const void*) {}
inline void Acquire(const void*) {}
inline void Read(const void*, size_t) {}
inline void Write(void*, size_t) {}
class HiddenSync {
 public:
  HiddenSync() {}  // not trivial, so that an unused guard draws no warning
  ~HiddenSync() {}
};

// Full barriers, as on Windows.
inline LONG ExchangeAdd(LONG volatile* target, LONG value) { return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST); }
inline LONG Exchange(LONG volatile* target, LONG value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline LONG Or(LONG volatile* target, LONG value) { return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST); }
inline LONG And(LONG volatile* target, LONG value) { return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST); }
inline PVOID Exchange(PVOID volatile* target, PVOID value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
template <class T>
inline T CompareExchange(T volatile* target, T exchange, T comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;  // the value found, whether or not it was replaced
}
#endif

// Keeps the report ThreadSanitizer is making now, for CollectReports.
void TakeReport();
// Names the calling thread after its task, so reports say which task made each access.
void NameThread(const std::string& name);
// Turns the reports the detector made since the last call into verifier reports.
void CollectReports();
// The controlling thread is the test itself, not a processor of the machine.
void HideController(bool hidden);

}  // namespace sim::race
