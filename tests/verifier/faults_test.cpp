// The low-resources simulation: allocations failed by count, all of a kind, or at a seeded rate.
#include "support/fixture.h"

namespace {

class FaultsTest : public KernelTest {};

TEST_F(FaultsTest, TheNthAllocationFailsAndOnlyThatOne) {
  tb::FaultPlan plan;
  plan.failNth = 3;
  tb::SetFaultPlan(plan);
  std::vector<PVOID> got;
  for (int i = 0; i < 5; i++) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT'));
  EXPECT_NE(got[0], nullptr);
  EXPECT_NE(got[1], nullptr);
  EXPECT_EQ(got[2], nullptr);
  EXPECT_NE(got[3], nullptr);
  EXPECT_NE(got[4], nullptr);
  EXPECT_EQ(tb::InjectedFailureCount(), 1u);
  for (PVOID p : got) {
    if (p) ExFreePool(p);
  }
}

TEST_F(FaultsTest, IrpsAndDevicesCountAsAllocations) {
  tb::FaultPlan plan;
  plan.failNth = 2;
  tb::SetFaultPlan(plan);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  IoFreeIrp(first);
  plan = tb::FaultPlan{};
  plan.failAllIrps = true;
  tb::SetFaultPlan(plan);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PDEVICE_OBJECT target = tb::CreateHostDevice("t", nullptr, 1);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, target, nullptr, 0, nullptr, 0, TRUE, &e, &iosb), nullptr);
  PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 4, 'tseT');
  EXPECT_NE(pool, nullptr) << "failing IRPs must leave pool alone";
  ExFreePool(pool);
}

std::vector<bool> Pattern(uint32_t seed) {
  tb::FaultPlan plan;
  plan.seed = seed;
  plan.rate = 0.3;
  tb::SetFaultPlan(plan);
  std::vector<bool> failed;
  for (int i = 0; i < 64; i++) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 4, 'tseT');
    failed.push_back(p == nullptr);
    if (p) ExFreePool(p);
  }
  return failed;
}

TEST_F(FaultsTest, SeededRateIsRepeatable) {
  auto a = Pattern(7);
  auto b = Pattern(7);
  auto c = Pattern(8);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  size_t failures = static_cast<size_t>(std::count(a.begin(), a.end(), true));
  EXPECT_GT(failures, 5u);
  EXPECT_LT(failures, 40u);
}

TEST_F(FaultsTest, SystemThreadCreationCanFail) {
  tb::FaultPlan plan;
  plan.failAll = true;
  tb::SetFaultPlan(plan);
  HANDLE h;
  struct T {
    static VOID NTAPI Start(PVOID) {}
  };
  EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, T::Start, nullptr), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
