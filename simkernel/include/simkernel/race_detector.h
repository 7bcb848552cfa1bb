// Whether this build runs the race detector (ThreadSanitizer ordered by the simulated
// kernel's synchronisation). Its findings arrive as verifier reports named "data race".
#pragma once

#ifdef ZEL_RACE_DETECTOR
extern "C" {
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
#endif

namespace sim::race {

#ifdef ZEL_RACE_DETECTOR
constexpr bool kDetectorBuilt = true;

// A test's own record keeping inside code that runs on the machine's processors (a filter
// that records what passes through it): not part of the system under test, so its accesses
// are not checked. Synchronisation inside still counts. Keep calls into drivers outside it.
class Unobserved {
 public:
  Unobserved() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  }
  ~Unobserved() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
  }
  Unobserved(const Unobserved&) = delete;
  Unobserved& operator=(const Unobserved&) = delete;
};
#else
constexpr bool kDetectorBuilt = false;

class Unobserved {
 public:
  Unobserved() {}  // not trivial, so that an unused guard draws no warning
  ~Unobserved() {}
};
#endif

}  // namespace sim::race
