// Test fixtures: a fresh kernel per test, with every verifier violation failing the test unless
// the test says it expects that rule.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <vector>

#include "testbed.h"

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs `body` and returns the violations it caused; fails the test unless `rule` is among
  // them. Violations of other rules still fail the test.
  std::vector<tb::Violation> ExpectViolation(tb::Rule rule, const std::function<void()>& body);

 private:
  std::mutex lock_;
  bool capturing_ = false;
  tb::Rule expected_{};
  std::vector<tb::Violation> captured_;
};

// A kernel with the driver loaded; unloading it at the end checks for leaks.
class DriverTest : public KernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  PDRIVER_OBJECT driver_ = nullptr;
};
