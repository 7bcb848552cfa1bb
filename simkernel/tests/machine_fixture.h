// A fresh simulated machine per test, seeded from ZEL_SEED when set, that fails the test on
// any verifier report the test did not claim.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "simkernel/machine.h"

inline uint64_t TestSeed(uint64_t fallback = 1) {
  const char* text = std::getenv("ZEL_SEED");
  return text ? std::strtoull(text, nullptr, 0) : fallback;
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = std::make_unique<sim::Machine>(TestSeed());
    seedTrace_ = std::make_unique<::testing::ScopedTrace>(__FILE__, __LINE__,
                                                           "seed " + std::to_string(machine_->Seed()) +
                                                               " (replay with ZEL_SEED=" +
                                                               std::to_string(machine_->Seed()) + ")");
  }

  void TearDown() override {
    for (const auto& violation : machine_->Violations())
      ADD_FAILURE() << violation.ToString();
    machine_.reset();
  }

  sim::Machine& machine() { return *machine_; }

  // Takes the verifier's reports for the test to examine; they no longer fail it.
  std::vector<std::string> TakeViolations() {
    std::vector<std::string> rules;
    for (const auto& violation : machine_->Violations()) rules.push_back(violation.rule);
    machine_->ClearViolations();
    return rules;
  }

  void RunTask(std::function<void()> body) { machine_->RunTask("app", std::move(body)); }

  // Runs a teardown step: a deadlock or livelock it raises fails this test with its report
  // and the rest of teardown still runs. Nothing runs on a machine that stopped earlier.
  template <class Step>
  void Guarded(Step step) {
    if (machine_->Stopped()) return;
    try {
      step();
    } catch (const sim::DeadlockError& error) {
      ADD_FAILURE() << error.what();
    }
  }

 private:
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<::testing::ScopedTrace> seedTrace_;
};

// Kernel timers and timed waits end on clock ticks: n ticks after boot at the default rate.
inline sim::VirtualTime Ticks(int64_t n) { return n * sim::Machine::kDefaultTimeIncrement; }

inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}
