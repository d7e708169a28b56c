// The transfer packet pool: building, taking with its bound, returning, and low resources.
#include <atomic>
#include <chrono>
#include <thread>

#include "support/fixture.h"
#include "support/function_device.h"

namespace {

using Clock = std::chrono::steady_clock;

class PacketPoolTest : public DriverTest {
 protected:
  void Build(const tb::FaultPlan* plan = nullptr, CCHAR lowerStack = 3) {
    lower_ = std::make_unique<LowerDevice>(lowerStack);
    if (plan) tb::SetFaultPlan(*plan);
    f_ = MakeFunctionDevice(driver_, lower_->device);
    tb::ClearFaults();
    ASSERT_NE(f_.fdo, nullptr);
  }
  void TearDown() override {
    DestroyFunctionDevice(f_);
    DriverTest::TearDown();
  }
  TransferPacket* Slot(int i) { return static_cast<TransferPacket*>(f_.ext->PacketPool) + i; }
  std::unique_ptr<LowerDevice> lower_;
  FunctionDevice f_;
};

TEST_F(PacketPoolTest, BuildsThirtyTwoPacketsInConsecutiveSlots) {
  Build();
  EXPECT_EQ(f_.ext->StackSize, 3);
  EXPECT_EQ(KeReadStateSemaphore(&f_.ext->FreePacketSemaphore), 32);
  EXPECT_EQ(f_.ext->FreePacketSemaphore.Limit, 32);
  EXPECT_EQ(f_.ext->FirstPacket, Slot(0));
  TransferPacket* p = f_.ext->FirstPacket;
  for (int i = 0; i < 32; i++, p = p->NextAll) {
    ASSERT_EQ(p, Slot(i));
    EXPECT_NE(p->Irp, nullptr);
    EXPECT_EQ(p->Irp->StackCount, 3) << "exactly the lower stack size, none for us";
    EXPECT_EQ(p->Device, f_.fdo);
    EXPECT_EQ(p->PacketFlags, 0u);
  }
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(f_.ext->FreePacketList, Slot(31)) << "the last built is on top of the free stack";
}

TEST_F(PacketPoolTest, LastReturnedIsFirstTakenAndFlagsAreReset) {
  Build();
  TransferPacket* a = TakePacket(f_.fdo);
  TransferPacket* b = TakePacket(f_.fdo);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->PacketFlags, ULONG(PACKET_IN_USE));
  a->PacketFlags |= PACKET_CONTINUOUS_READ;  // as a continuous read marks it
  ReturnPacket(f_.fdo, b);
  ReturnPacket(f_.fdo, a);
  EXPECT_EQ(a->PacketFlags, 0u);
  TransferPacket* again = TakePacket(f_.fdo);
  EXPECT_EQ(again, a);
  EXPECT_EQ(again->PacketFlags, ULONG(PACKET_IN_USE));
  EXPECT_EQ(TakePacket(f_.fdo), b);
  ReturnPacket(f_.fdo, a);
  ReturnPacket(f_.fdo, b);
  EXPECT_EQ(KeReadStateSemaphore(&f_.ext->FreePacketSemaphore), 32);
}

TEST_F(PacketPoolTest, ThirtyThirdTakeGivesUpAfterItsOneSecondBound) {
  Build();
  std::vector<TransferPacket*> taken;
  auto start = Clock::now();
  for (int i = 0; i < 32; i++) {
    taken.push_back(TakePacket(f_.fdo));
    ASSERT_NE(taken.back(), nullptr);
    EXPECT_EQ(tb::LastWait().status, STATUS_SUCCESS);
  }
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900)) << "free packets are taken without waiting";
  EXPECT_EQ(TakePacket(f_.fdo), nullptr);
  tb::WaitRecord wait = tb::LastWait();
  EXPECT_EQ(wait.object, &f_.ext->FreePacketSemaphore);
  EXPECT_EQ(wait.timeout, -10000000LL) << "1000 ms, relative";
  EXPECT_EQ(wait.status, STATUS_TIMEOUT);
  for (TransferPacket* p : taken) ReturnPacket(f_.fdo, p);
}

TEST_F(PacketPoolTest, WaitingTakeIsServedByAReturn) {
  Build();
  std::vector<TransferPacket*> taken;
  for (int i = 0; i < 32; i++) taken.push_back(TakePacket(f_.fdo));
  std::atomic<TransferPacket*> got{nullptr};
  std::atomic<bool> done{false};
  Clock::duration waited{};
  std::thread taker([&] {
    auto start = Clock::now();
    got = TakePacket(f_.fdo);
    waited = Clock::now() - start;
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load()) << "the pool is exhausted: the take must wait";
  TransferPacket* back = taken.back();
  taken.pop_back();
  {
    tb::IrqlScope dispatch(DISPATCH_LEVEL);  // returns happen in completion routines too
    ReturnPacket(f_.fdo, back);
  }
  taker.join();
  EXPECT_EQ(got.load(), back);
  EXPECT_LT(waited, std::chrono::milliseconds(900));
  taken.push_back(got.load());
  for (TransferPacket* p : taken) ReturnPacket(f_.fdo, p);
}

TEST_F(PacketPoolTest, ConcurrentTakersAndReturnersKeepTheCount) {
  Build();
  auto worker = [&] {
    for (int i = 0; i < 500; i++) {
      TransferPacket* p = TakePacket(f_.fdo);
      ASSERT_NE(p, nullptr);
      ReturnPacket(f_.fdo, p);
    }
  };
  std::thread a(worker), b(worker), c(worker);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(KeReadStateSemaphore(&f_.ext->FreePacketSemaphore), 32);
  int onList = 0;
  for (TransferPacket* p = f_.ext->FreePacketList; p != nullptr; p = p->NextFree) onList++;
  EXPECT_EQ(onList, 32);
}

TEST_F(PacketPoolTest, EachFailedIrpCostsOnePacketAndLeavesNoGap) {
  // Allocation 1 is the device, 2 the pool block, then one per IRP: fail the third IRP.
  tb::FaultPlan plan;
  plan.failNth = 5;
  Build(&plan);
  int count = 0;
  for (TransferPacket* p = f_.ext->FirstPacket; p != nullptr; p = p->NextAll) {
    EXPECT_EQ(p, Slot(count));
    EXPECT_NE(p->Irp, nullptr);
    count++;
  }
  EXPECT_EQ(count, 31);
  EXPECT_EQ(KeReadStateSemaphore(&f_.ext->FreePacketSemaphore), 31);
  EXPECT_EQ(Slot(31)->Irp, nullptr) << "the slot left over stays zero";
}

TEST_F(PacketPoolTest, EveryIrpAllocationFailingLeavesAnEmptyPoolThatTimesOut) {
  tb::FaultPlan plan;
  plan.failAllIrps = true;
  Build(&plan);
  ASSERT_NE(f_.ext->PacketPool, nullptr) << "the block itself stays until removal";
  auto* bytes = static_cast<unsigned char*>(f_.ext->PacketPool);
  for (size_t i = 0; i < sizeof(TransferPacket) * PACKET_COUNT; i++) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(f_.ext->FirstPacket, nullptr);
  EXPECT_EQ(f_.ext->FreePacketList, nullptr);
  EXPECT_EQ(TakePacket(f_.fdo), nullptr);
  EXPECT_EQ(tb::LastWait().timeout, -10000000LL);
}

TEST_F(PacketPoolTest, WithoutTheBlockThePoolIsEmpty) {
  tb::FaultPlan plan;
  plan.failNth = 2;  // the pool block
  Build(&plan);
  EXPECT_EQ(f_.ext->PacketPool, nullptr);
  EXPECT_EQ(KeReadStateSemaphore(&f_.ext->FreePacketSemaphore), 0);
  EXPECT_EQ(f_.ext->FreePacketSemaphore.Limit, 32);
  EXPECT_EQ(TakePacket(f_.fdo), nullptr);
}

TEST_F(PacketPoolTest, ZeroMillisecondsMeansNoTimeout) {
  Build();
  EXPECT_EQ(WaitForObjectMs(&f_.ext->FreePacketSemaphore, 0), STATUS_SUCCESS);
  EXPECT_EQ(tb::LastWait().timeout, INT64_MIN);
  KeReleaseSemaphore(&f_.ext->FreePacketSemaphore, 0, 1, FALSE);
}

}  // namespace
