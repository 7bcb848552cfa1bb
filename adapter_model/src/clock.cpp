#include "adapter_model/clock.h"

namespace adapter_model {

void Alarm::At(VirtualTime due, std::function<void()> fire) {
  Cancel();
  machine_ = &sim::Machine::Current();
  due_ = due < machine_->Now() ? machine_->Now() : due;
  fire_ = std::move(fire);
  sequence_ = machine_->AddClockEvent(due_, [this] {
    // Taken out first: the callback may re-arm, or destroy what owns this alarm.
    auto fire = std::move(fire_);
    sequence_.reset();
    fire();
  });
}

void Alarm::Cancel() {
  if (!sequence_) return;
  // The machine may already be gone when a model outlives it in a failing test.
  if (sim::Machine::Exists() && &sim::Machine::Current() == machine_) machine_->CancelClockEvent(*sequence_);
  sequence_.reset();
  fire_ = nullptr;
}

}  // namespace adapter_model
