// gtest fixture over DriverHarness: a fresh machine per test seeded from ZEL_SEED (the seed is
// printed with any failure), the driver loaded, and at the end the driver unloaded with its
// leak check. Any verifier report the test did not announce with ExpectViolation fails it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver_harness.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness_ = std::make_unique<harness::DriverHarness>(harness::SeedFromEnvironment());
    const std::string seed = std::to_string(harness_->machine().Seed());
    seedTrace_ = std::make_unique<::testing::ScopedTrace>(__FILE__, __LINE__,
                                                           "seed " + seed + " (replay with ZEL_SEED=" + seed + ")");
    if (loadDriver_) {
      NTSTATUS status = harness_->Load();
      ASSERT_EQ(status, STATUS_SUCCESS) << "DriverEntry: " << harness::StatusText(status);
    }
  }

  void TearDown() override {
    Guarded([&] {
      if (harness_->loaded()) harness_->Unload();
    });
    std::set<std::string> seen;
    for (const auto& violation : harness_->machine().Violations()) {
      seen.insert(violation.rule);
      if (std::find(expected_.begin(), expected_.end(), violation.rule) == expected_.end())
        ADD_FAILURE() << violation.ToString();
    }
    for (const auto& rule : expected_)
      if (seen.count(rule) == 0) ADD_FAILURE() << "expected verifier report not made: " << rule;
    // Raised where no test could see it (a harness destructor): it still fails this test.
    if (harness_->machine().Stopped() && !HasFailure()) ADD_FAILURE() << harness_->machine().StopReport();
    seedTrace_.reset();
    harness_.reset();
  }

  harness::DriverHarness& h() { return *harness_; }

  // Runs a teardown step: a deadlock or livelock it raises fails this test with its report
  // and the rest of teardown still runs. Nothing runs on a machine that stopped earlier.
  template <class Step>
  void Guarded(Step step) {
    if (harness_->machine().Stopped()) return;
    try {
      step();
    } catch (const sim::DeadlockError& error) {
      ADD_FAILURE() << error.what();
    }
  }

  // The test provokes this verifier rule on purpose: it must be reported, and then does not
  // fail the test.
  void ExpectViolation(std::string rule) { expected_.push_back(std::move(rule)); }

  // Set before SetUp (in the test's constructor) to start without the driver loaded.
  bool loadDriver_ = true;

 private:
  std::unique_ptr<harness::DriverHarness> harness_;
  std::unique_ptr<::testing::ScopedTrace> seedTrace_;
  std::vector<std::string> expected_;
};
