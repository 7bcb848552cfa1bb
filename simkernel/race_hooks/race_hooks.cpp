// The race detector's hooks. ThreadSanitizer looks them up in the program itself, so each
// test program of the race detector build compiles this file; the work is in the simulated
// kernel.
namespace sim::race {
void TakeReport();
}

// Reports fail the test they happen in, through the verifier, so they do not also change the
// exit status. The machine's own modules (the simulated kernel, the adapter model) are not
// instrumented, and what they do through the C library is not the driver's either. Every
// occurrence is reported, since a race a test expects may repeat one seen before. The longer
// history keeps the earlier access's stack.
extern "C" const char* __tsan_default_options() {
  return "exitcode=0:ignore_noninstrumented_modules=1:suppress_equal_stacks=0:suppress_equal_addresses=0:"
         "history_size=7";
}

extern "C" void __tsan_on_report(void*) { sim::race::TakeReport(); }
