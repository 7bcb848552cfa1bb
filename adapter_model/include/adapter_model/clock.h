// One pending activity of a model on the machine's virtual clock. Every timed thing the
// adapter model does (a character leaving the wire, a late answer, a scheduled unplug) is an
// Alarm, so destroying the owner withdraws whatever it still had scheduled.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "simkernel/machine.h"

namespace adapter_model {

using sim::VirtualTime;

inline VirtualTime Now() { return sim::Machine::Current().Now(); }

class Alarm {
 public:
  Alarm() = default;
  ~Alarm() { Cancel(); }
  Alarm(const Alarm&) = delete;
  Alarm& operator=(const Alarm&) = delete;

  // Replaces whatever was pending. The callback runs on the controlling thread and may
  // re-arm this alarm.
  void At(VirtualTime due, std::function<void()> fire);
  void After(VirtualTime delay, std::function<void()> fire) { At(Now() + delay, std::move(fire)); }
  void Cancel();
  bool Pending() const { return sequence_.has_value(); }
  VirtualTime Due() const { return due_; }

 private:
  sim::Machine* machine_ = nullptr;
  std::optional<uint64_t> sequence_;
  VirtualTime due_ = 0;
  std::function<void()> fire_;
};

}  // namespace adapter_model
