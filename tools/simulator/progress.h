// While the traffic runs: on a terminal one line rewritten in place; otherwise (a pipe, a
// file, a CI log) a plain line as each phase ends.
#pragma once

#include <cstddef>
#include <vector>

#include "traffic.h"

namespace simulator {

class Progress {
 public:
  Progress(const std::vector<Phase>& phases, double duration, bool quiet);
  void Update(size_t phase, sim::VirtualTime into, bool phaseDone, const std::vector<PortResult>& results);
  void Finish();  // clears the line on a terminal

 private:
  std::vector<Phase> phases_;
  double duration_;
  bool terminal_;
  bool shown_ = false;
};

}  // namespace simulator
