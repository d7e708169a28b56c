// Test fixtures: a fresh kernel per test, with every verifier violation failing the test unless
// the test says it expects that rule.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
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

// What a sender sees of a lower driver's answer: the final status, and as the dispatch routine's
// return either that status or, where the lower driver may pend (forced pending on), STATUS_PENDING.
inline ::testing::AssertionResult AnsweredWith(const tb::Result& r, NTSTATUS status) {
  bool returnedOk = r.returned == status || (tb::ForcePendingOn() && r.returned == STATUS_PENDING);
  if (r.status == status && returnedOk) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status 0x" << std::hex << static_cast<uint32_t>(r.status) << " returned 0x"
                                       << static_cast<uint32_t>(r.returned) << ", expected 0x"
                                       << static_cast<uint32_t>(status);
}

// Polls `ready` every millisecond for about `ms` milliseconds; its last answer.
inline bool WaitUntil(const std::function<bool()>& ready, int ms = 3000) {
  for (int i = 0; i < ms && !ready(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return ready();
}

// A counter the driver moves with interlocked operations, read the same way until it reaches
// `expected` or two seconds pass: a lower driver that completed on another thread may still be
// in the completion routine that gives the last reference back.
inline ::testing::AssertionResult Settles(const volatile LONG& word, LONG expected) {
  volatile LONG* target = const_cast<volatile LONG*>(&word);
  LONG seen = 0;
  if (WaitUntil([&] { return (seen = InterlockedOr(target, 0)) == expected; }, 2000)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the count stayed at " << seen << ", expected " << expected;
}

// For a test that pins down what happens when the device below answers within the call (a
// failure taken from the return value alone, a report naming the answering routine): the test
// bed's drivers answer synchronously for the rest of the test.
inline void AnswerSynchronously() { tb::SetForcePending(false); }
