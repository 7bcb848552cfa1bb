#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace simulator {

Progress::Progress(const std::vector<Phase>& phases, double duration, bool quiet)
    : phases_(phases), duration_(duration), terminal_(!quiet && isatty(STDOUT_FILENO)) {}

void Progress::Update(size_t phase, sim::VirtualTime into, bool phaseDone, const std::vector<PortResult>& results) {
  if (phase >= phases_.size()) return;
  uint64_t out = 0, in = 0, errors = 0;
  for (const auto& port : results)
    if (phase < port.phases.size()) {
      out += port.phases[phase].written;
      in += port.phases[phase].received;
      errors += port.phases[phase].Errors();
    }
  const std::string line = phases_[phase].line.Text();
  if (phaseDone) {
    if (terminal_ && shown_) std::printf("\r\033[K");
    shown_ = false;
    std::printf("  %zu/%zu %-24s %zu port(s): %llu bytes out, %llu in, %llu error(s)\n", phase + 1, phases_.size(),
                line.c_str(), results.size(), static_cast<unsigned long long>(out),
                static_cast<unsigned long long>(in), static_cast<unsigned long long>(errors));
    std::fflush(stdout);
    return;
  }
  if (!terminal_) return;
  std::printf("\r\033[K  %zu/%zu %-24s %6.2f/%.2f virtual s  %llu bytes out, %llu in, %llu error(s)", phase + 1,
              phases_.size(), line.c_str(), double(into) / sim::kSecond, duration_,
              static_cast<unsigned long long>(out), static_cast<unsigned long long>(in),
              static_cast<unsigned long long>(errors));
  std::fflush(stdout);
  shown_ = true;
}

void Progress::Finish() {
  if (terminal_ && shown_) std::printf("\r\033[K");
  shown_ = false;
  std::fflush(stdout);
}

}  // namespace simulator
