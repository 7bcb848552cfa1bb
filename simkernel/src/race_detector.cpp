// The race detector's reports become verifier reports. ThreadSanitizer calls its report hook
// (race_hooks.cpp, in each test program) while it holds its own locks, so TakeReport only
// copies what it needs into fixed storage; the next scheduling point symbolises it and
// reports it on the machine.
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <vector>

#include "race_annotations.h"
#include "simkernel/machine.h"
#include "simkernel/race_detector.h"

#ifdef ZEL_RACE_DETECTOR
#include <pthread.h>

extern "C" {
void* __tsan_get_current_report();
int __tsan_get_report_data(void* report, const char** description, int* count, int* stack_count, int* mop_count,
                           int* loc_count, int* mutex_count, int* thread_count, int* unique_tid_count,
                           void** sleep_trace, unsigned long trace_size);
int __tsan_get_report_mop(void* report, unsigned long idx, int* tid, void** addr, int* size, int* write, int* atomic,
                          void** trace, unsigned long trace_size);
int __tsan_get_report_thread(void* report, unsigned long idx, int* tid, uint64_t* os_id, int* running,
                             const char** name, int* parent_tid, void** trace, unsigned long trace_size);
void __sanitizer_symbolize_pc(void* pc, const char* fmt, char* out_buf, size_t out_buf_size);
}

namespace {

constexpr int kMaxPending = 8;
constexpr int kMaxFrames = 24;
constexpr int kMaxAccesses = 2;
constexpr size_t kNameLength = 64;

struct Access {
  void* address = nullptr;
  int size = 0;
  bool write = false;
  bool atomic = false;
  char thread[kNameLength] = {};
  void* frames[kMaxFrames] = {};
};

struct PendingReport {
  char kind[kNameLength] = {};
  int accesses = 0;
  Access access[kMaxAccesses];
};

PendingReport g_pending[kMaxPending];
int g_pendingCount = 0;
int g_dropped = 0;

void CopyName(char* to, const char* from) {
  std::strncpy(to, from ? from : "", kNameLength - 1);
  to[kNameLength - 1] = 0;
}

// The frames of one return address, innermost inlined frame first.
std::vector<std::string> Symbolize(void* pc) {
  char text[4096] = {};
  // A return address: the call is the instruction before.
  __sanitizer_symbolize_pc(static_cast<char*>(pc) - 1, "%F %L", text, sizeof text - 1);
  std::vector<std::string> frames;
  for (const char* frame = text; *frame && frame < text + sizeof text; frame += std::strlen(frame) + 1)
    frames.emplace_back(frame);
  return frames;
}

constexpr size_t kShownFrames = 12;

std::string Describe(const Access& access, bool first) {
  std::ostringstream out;
  out << (first ? "" : "previous ") << (access.atomic ? "atomic " : "") << (access.write ? "write" : "read") << " of "
      << access.size << " bytes at " << access.address << " by task " << (access.thread[0] ? access.thread : "?")
      << ":\n";
  size_t shown = 0;
  void* previous = nullptr;
  for (void* pc : access.frames) {
    if (!pc) break;
    if (pc == previous) continue;  // one entry per inlined frame, all at the same address
    previous = pc;
    for (const std::string& frame : Symbolize(pc)) {
      if (shown++ == kShownFrames) return out.str() + "      ...\n";
      out << "      " << frame << "\n";
    }
  }
  return out.str();
}

}  // namespace

namespace sim::race {

void TakeReport() {
  void* report = __tsan_get_current_report();
  if (!report) return;
  if (g_pendingCount == kMaxPending) {
    ++g_dropped;
    return;
  }
  PendingReport& pending = g_pending[g_pendingCount];
  pending = PendingReport{};
  const char* description = nullptr;
  int count = 0, stacks = 0, mops = 0, locations = 0, mutexes = 0, threads = 0, uniqueTids = 0;
  void* sleepTrace[1];
  if (!__tsan_get_report_data(report, &description, &count, &stacks, &mops, &locations, &mutexes, &threads,
                              &uniqueTids, sleepTrace, 1))
    return;
  CopyName(pending.kind, description);
  for (int i = 0; i < mops && i < kMaxAccesses; ++i) {
    Access& access = pending.access[i];
    int tid = -1, size = 0, write = 0, atomic = 0;
    if (!__tsan_get_report_mop(report, i, &tid, &access.address, &size, &write, &atomic, access.frames, kMaxFrames))
      continue;
    access.size = size;
    access.write = write;
    access.atomic = atomic;
    for (int t = 0; t < threads; ++t) {
      int threadTid = -1, running = 0, parent = 0;
      uint64_t osId = 0;
      const char* name = nullptr;
      void* threadTrace[1];
      if (__tsan_get_report_thread(report, t, &threadTid, &osId, &running, &name, &parent, threadTrace, 1) &&
          threadTid == tid)
        CopyName(access.thread, name);
    }
    pending.accesses = i + 1;
  }
  ++g_pendingCount;
}

void NameThread(const std::string& name) {
  // The detector keeps the whole name; the kernel's copy is limited to 15 characters.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void CollectReports() {
  if (g_pendingCount == 0 && g_dropped == 0) return;
  if (!Machine::Exists()) return;
  Machine& machine = Machine::Current();
  for (int i = 0; i < g_pendingCount; ++i) {
    const PendingReport& pending = g_pending[i];
    std::string kind = pending.kind;
    std::string rule = kind == "data-race" ? "data race" : "race detector: " + kind;
    std::ostringstream detail;
    detail << "seed " << machine.Seed() << "\n";
    for (int a = 0; a < pending.accesses; ++a) detail << "    " << Describe(pending.access[a], a == 0);
    machine.Report(rule, detail.str());
  }
  if (g_dropped)
    machine.Report("data race", std::to_string(g_dropped) + " more reports (see the ThreadSanitizer output)");
  g_pendingCount = 0;
  g_dropped = 0;
}

void HideController(bool hidden) {
  // The test's own code on this thread is instrumented and reads driver records freely.
  static std::optional<Unobserved> unobserved;
  if (hidden)
    unobserved.emplace();
  else
    unobserved.reset();
}

}  // namespace sim::race

#else

namespace sim::race {
void TakeReport() {}
void NameThread(const std::string&) {}
void CollectReports() {}
void HideController(bool) {}
}  // namespace sim::race

#endif
