// The activity counter, its two events and the readiness test.
#include <atomic>
#include <thread>

#include "support/fixture.h"
#include "support/function_device.h"

namespace {

class IoCountTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    lower_ = std::make_unique<LowerDevice>();
    f_ = MakeFunctionDevice(driver_, lower_->device);
    ASSERT_NE(f_.fdo, nullptr);
  }
  void TearDown() override {
    DestroyFunctionDevice(f_);
    DriverTest::TearDown();
  }
  bool Signalled(KEVENT* e) {
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
  }
  std::unique_ptr<LowerDevice> lower_;
  FunctionDevice f_;
};

TEST_F(IoCountTest, ARequestThatCameAndWentLeavesTheIdleEventSet) {
  EXPECT_TRUE(Settles(f_.ext->IoCount, 1));
  EXPECT_FALSE(Signalled(&f_.ext->IdleEvent));
  tb::Call(f_.fdo, [](PIO_STACK_LOCATION next, PIRP) { next->MajorFunction = IRP_MJ_SYSTEM_CONTROL; });
  EXPECT_TRUE(Signalled(&f_.ext->IdleEvent));
  EXPECT_TRUE(Signalled(&f_.ext->IdleEvent)) << "nothing resets it";
  EXPECT_FALSE(Signalled(&f_.ext->RemoveEvent));
}

TEST_F(IoCountTest, ReachingZeroSetsTheRemoveEvent) {
  AcquireIo(f_.fdo);
  EXPECT_EQ(ReleaseIo(f_.fdo), 1);
  EXPECT_EQ(ReleaseIo(f_.fdo), 0);
  EXPECT_TRUE(Signalled(&f_.ext->RemoveEvent));
  AcquireIo(f_.fdo);  // give the base reference back for the teardown
}

TEST_F(IoCountTest, TwoReleasesRacingFromTwoSeeOneAndZero) {
  for (int round = 0; round < 200; round++) {
    f_.ext->IoCount = 2;
    std::atomic<int> go{0};
    LONG seen[2];
    auto release = [&](int i) {
      go++;
      while (go.load() < 2) {
      }
      seen[i] = ReleaseIo(f_.fdo);
    };
    std::thread a(release, 0), b(release, 1);
    a.join();
    b.join();
    EXPECT_EQ(std::min(seen[0], seen[1]), 0) << "round " << round;
    EXPECT_EQ(std::max(seen[0], seen[1]), 1) << "round " << round;
  }
  f_.ext->IoCount = 1;
}

TEST_F(IoCountTest, ReadyOnlyWhenStartedAndNothingPendingOrRemoved) {
  for (ULONG flags = 0; flags < 0x80; flags++) {
    f_.ext->Flags = flags;
    bool expected = (flags & FDO_STARTED) && !(flags & (FDO_REMOVED | FDO_REMOVE_PENDING | FDO_STOP_PENDING));
    EXPECT_EQ(IsReady(f_.fdo) != FALSE, expected) << "flags 0x" << std::hex << flags;
  }
  f_.ext->Flags = 0;
}

TEST_F(IoCountTest, FlagChangesOnTwoThreadsNeverUndoEachOther) {
  for (int round = 0; round < 100; round++) {
    f_.ext->Flags = 0;
    std::thread a([&] { SetFdoFlags(f_.ext, FDO_STARTED); });
    std::thread b([&] { SetFdoFlags(f_.ext, FDO_STREAM_RUNNING); });
    a.join();
    b.join();
    ASSERT_EQ(f_.ext->Flags, ULONG(FDO_STARTED | FDO_STREAM_RUNNING));
    std::thread c([&] { ClearFdoFlags(f_.ext, FDO_STARTED); });
    std::thread d([&] { SetFdoFlags(f_.ext, FDO_REMOVED); });
    c.join();
    d.join();
    ASSERT_EQ(f_.ext->Flags, ULONG(FDO_STREAM_RUNNING | FDO_REMOVED));
  }
  f_.ext->Flags = 0;
}

}  // namespace
