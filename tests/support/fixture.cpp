#include "support/fixture.h"

#include "core/driver.h"

void KernelTest::SetUp() {
  tb::ResetKernel();
  tb::GetSettings().hangLimitMs = 20000;
  tb::SetViolationHandler([this](const tb::Violation& v) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (capturing_ && v.rule == expected_) {
        captured_.push_back(v);
        return;
      }
    }
    ADD_FAILURE() << v.ToString();
  });
}

void KernelTest::TearDown() {
  tb::ShutdownKernel();
  tb::SetViolationHandler(nullptr);
}

std::vector<tb::Violation> KernelTest::ExpectViolation(tb::Rule rule, const std::function<void()>& body) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    capturing_ = true;
    expected_ = rule;
    captured_.clear();
  }
  body();
  std::vector<tb::Violation> got;
  {
    std::lock_guard<std::mutex> guard(lock_);
    capturing_ = false;
    got.swap(captured_);
  }
  EXPECT_FALSE(got.empty()) << "expected the verifier to report " << tb::RuleName(rule);
  return got;
}

void DriverTest::SetUp() {
  KernelTest::SetUp();
  driver_ = tb::LoadDriver(DriverEntry, u"usbmidi");
}

void DriverTest::TearDown() {
  if (driver_ != nullptr) tb::UnloadDriver(driver_);
  KernelTest::TearDown();
}
