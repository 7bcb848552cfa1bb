// Which driver routines ran at DISPATCH_LEVEL or above. The driver is built with
// -finstrument-functions; every routine entered by a task at that level is remembered, and at
// exit the set is appended to the file ZEL_DISPATCH_LOG names, one "<module> <offset>" line a
// routine, for the target image check to hold against what the target build placed in
// pageable sections. Without ZEL_DISPATCH_LOG nothing is recorded.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "simkernel/machine.h"

namespace {

struct DispatchTrace {
  std::mutex lock;
  std::unordered_set<void*> routines;
  const char* path = nullptr;

  DispatchTrace() { path = std::getenv("ZEL_DISPATCH_LOG"); }
  ~DispatchTrace() { Write(); }

  void Write() {
    if (path == nullptr || *path == '\0' || routines.empty()) return;
    FILE* file = std::fopen(path, "a");
    if (file == nullptr) return;
    for (void* routine : routines) {
      Dl_info info{};
      if (dladdr(routine, &info) == 0 || info.dli_fname == nullptr) continue;
      // Line-buffered appends keep concurrent test processes' lines whole.
      std::fprintf(file, "%s 0x%jx\n", info.dli_fname,
                   static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(routine) -
                                          reinterpret_cast<uintptr_t>(info.dli_fbase)));
      std::fflush(file);
    }
    std::fclose(file);
  }
};

__attribute__((no_instrument_function)) DispatchTrace& Trace() {
  static DispatchTrace trace;
  return trace;
}

}  // namespace

extern "C" {

__attribute__((no_instrument_function)) void __cyg_profile_func_enter(void* routine, void* callSite) {
  (void)callSite;
  static const bool enabled = Trace().path != nullptr;
  if (!enabled || !sim::Machine::Exists()) return;
  sim::Task* task = sim::Machine::Current().CurrentTask();
  if (task == nullptr || task->irql < DISPATCH_LEVEL) return;
  DispatchTrace& trace = Trace();
  std::lock_guard<std::mutex> hold(trace.lock);
  trace.routines.insert(routine);
}

__attribute__((no_instrument_function)) void __cyg_profile_func_exit(void* routine, void* callSite) {
  (void)routine;
  (void)callSite;
}

}  // extern "C"
