// The idle power policy: the device lowered to its idle state after the stream's last close, back
// in D0 before its first open, one own request at a time, each power-up waiting for its own.
#include <atomic>
#include <chrono>
#include <thread>

#include <deque>
#include <mutex>

#include "power/power_fixture.h"
#include "support/function_device.h"

namespace {

using Names = std::vector<std::string>;

class IdlePowerTest : public PowerTest {
 public:

 protected:
  ULONG State() { return ext_->DevicePowerState; }
  bool TurnTaken() { return (ReadFdoFlags(ext_) & FDO_POWER_REQUEST_PENDING) != 0; }
};

TEST_F(IdlePowerTest, TheIdleStateIsTheLastSleepingStateAboveD3) {
  struct Case {
    DEVICE_POWER_STATE s1, s2, s3;
    ULONG idle;
  } cases[] = {
      {PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
      {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
      {PowerDeviceD2, PowerDeviceUnspecified, PowerDeviceD3, 0},
      {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, 0},
      {PowerDeviceUnspecified, PowerDeviceUnspecified, PowerDeviceUnspecified, 0},
  };
  for (const Case& c : cases) {
    Add(Capabilities(c.s1, c.s2, c.s3, PowerDeviceD2));
    EXPECT_EQ(ext_->IdlePowerState, c.idle) << c.s1 << c.s2 << c.s3;
    StreamStartPower(fdo_);
    Mark();
    StreamStopPower(fdo_);
    // Without a usable idle state the policy never asks for anything.
    if (c.idle == 0) EXPECT_TRUE(Seen().empty());
    pnp_->RemoveNow(pdo_);
    bus_.reset();
  }
  Removed();
}

TEST_F(IdlePowerTest, ADeviceNotStartedGetsNoRequest) {
  AddDefault(false);
  EXPECT_EQ(RequestIdlePower(fdo_, TRUE), STATUS_DELETE_PENDING);
  EXPECT_EQ(StreamStartPower(fdo_), STATUS_DELETE_PENDING);
  EXPECT_TRUE(Seen().empty());
}

// Every run of the stream starts in D0 and ends in the idle state: the second start too.
TEST_F(IdlePowerTest, EachRunOfTheStreamStartsInD0AndEndsInTheIdleState) {
  AddDefault();
  for (int run = 0; run < 3; run++) {
    Mark();
    EXPECT_EQ(StreamStartPower(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(State(), static_cast<ULONG>(PowerDeviceD0)) << "run " << run;
    EXPECT_EQ(StreamStopPower(fdo_), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return !TurnTaken(); }));
    EXPECT_EQ(State(), static_cast<ULONG>(PowerDeviceD2)) << "run " << run;
    EXPECT_EQ(Seen(), (Names{"SET_POWER D0", "SET_POWER D2"})) << "run " << run;
  }
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
}

// With the device's answers completing on another thread, a stop right after the start's
// power-up must still find the power turn free: the power-down is never dropped.
TEST_F(IdlePowerTest, AStopRightAfterAPowerUpCompletedElsewhereStillPowersDown) {
  tb::SetForcePending(true, 99);
  AddDefault();
  for (int run = 0; run < 40; run++) {
    EXPECT_EQ(StreamStartPower(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(StreamStopPower(fdo_), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return !TurnTaken(); }));
    ASSERT_EQ(State(), static_cast<ULONG>(PowerDeviceD2)) << "run " << run;
  }
  // The callback gives its reference back just after the turn, on the completer's thread.
  EXPECT_TRUE(Settles(ext_->IoCount, 1)) << "a power request kept its activity reference";
}

// The pipes in use decide the direction: no power-up without a stream, no power-down under one.
TEST_F(IdlePowerTest, ThePipesInUseGateEachDirection) {
  AddDefault();
  Mark();
  EXPECT_EQ(RequestIdlePower(fdo_, FALSE), STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());
  StreamStartPower(fdo_);
  Mark();
  EXPECT_EQ(RequestIdlePower(fdo_, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(State(), static_cast<ULONG>(PowerDeviceD0));
  StreamStopPower(fdo_);
}

TEST_F(IdlePowerTest, ARequestForTheStateAlreadyReachedIsNotMadeAndTakesNoCount) {
  AddDefault();
  StreamStartPower(fdo_);
  StreamStopPower(fdo_);
  ASSERT_TRUE(WaitUntil([&] { return !TurnTaken() && State() == PowerDeviceD2; }));
  Mark();
  EXPECT_EQ(RequestIdlePower(fdo_, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  EXPECT_FALSE(TurnTaken());
}

TEST_F(IdlePowerTest, NothingIsAskedWhileASystemRequestIsHeld) {
  AddDefault();
  StreamStartPower(fdo_);
  System(PowerSystemWorking);
  bus_->HoldPower(true);
  Mark();
  std::thread sleeper([&] { System(PowerSystemSleeping3); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PowerRequestsWaiting() == 1; }));  // its D3 request, below
  ASSERT_NE(ext_->PendingSystemPowerIrp, nullptr);
  EXPECT_EQ(RequestIdlePower(fdo_, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(RequestIdlePower(fdo_, TRUE), STATUS_SUCCESS);
  EXPECT_FALSE(TurnTaken());
  bus_->HoldPower(false);
  sleeper.join();
  EXPECT_EQ(Seen(), (Names{"SET_POWER D3", "SET_POWER S3"}));
  System(PowerSystemWorking);
  StreamStopPower(fdo_);
}

// A lower driver that keeps power requests pending until the test ends them, so that a request
// can be under way while its sender has long returned.
struct PendingPowerLower {
  PDEVICE_OBJECT device = nullptr;
  std::mutex lock;
  std::deque<PIRP> held;
  PendingPowerLower() {
    device = tb::CreateHostDevice("pending-lower", [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
      if (s->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> guard(lock);
        held.push_back(irp);
        return STATUS_PENDING;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    });
  }
  size_t Held() {
    std::lock_guard<std::mutex> guard(lock);
    return held.size();
  }
  // Completes the oldest held request from a completer at DISPATCH_LEVEL, as a bus would.
  void CompleteOldest() {
    PIRP irp;
    {
      std::lock_guard<std::mutex> guard(lock);
      irp = held.front();
      held.pop_front();
    }
    tb::IrqlScope dispatch(DISPATCH_LEVEL);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
};

class OwnPowerRequestTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    lower_ = std::make_unique<PendingPowerLower>();  // a device of this test's kernel
    f_ = MakeFunctionDevice(driver_, lower_->device);
    SetFdoFlags(f_.ext, FDO_STARTED);
    f_.ext->IdlePowerState = PowerDeviceD2;
  }
  void TearDown() override {
    DestroyFunctionDevice(f_);
    DriverTest::TearDown();
  }
  bool TurnTaken() { return (ReadFdoFlags(f_.ext) & FDO_POWER_REQUEST_PENDING) != 0; }
  // Starts the stream's power-up on its own thread; `started` tells when it has returned.
  std::thread Open(std::atomic<bool>& started) {
    return std::thread([this, &started] {
      StreamStartPower(f_.fdo);
      started = true;
    });
  }
  std::unique_ptr<PendingPowerLower> lower_;
  FunctionDevice f_;
};

// The stream stops and starts again at once: the power-down returns while its request is still
// going down; the power-up waits for it, then for its own request, and the stream starts in D0.
// A second run's power-up waits for its own request again.
TEST_F(OwnPowerRequestTest, PowerRequestsGoOneAtATimeAndEachPowerUpWaitsForItsOwn) {
  for (int run = 0; run < 2; run++) {
    std::atomic<bool> started{false};
    std::thread opener = Open(started);
    ASSERT_TRUE(WaitUntil([&] { return lower_->Held() == 1; })) << "run " << run;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(started) << "run " << run << ": the power-up returned before its request completed";
    lower_->CompleteOldest();
    opener.join();
    EXPECT_EQ(f_.ext->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_FALSE(TurnTaken());

    EXPECT_EQ(StreamStopPower(f_.fdo), STATUS_SUCCESS);  // returns with its request below
    ASSERT_EQ(lower_->Held(), 1u);
    EXPECT_TRUE(TurnTaken());
    EXPECT_EQ(f_.ext->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
    if (run == 0) {
      // Opened again at once: the power-up waits for the power-down's turn to end.
      std::atomic<bool> reopened{false};
      std::thread again = Open(reopened);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(lower_->Held(), 1u) << "the power-up went ahead of the power-down";
      lower_->CompleteOldest();
      ASSERT_TRUE(WaitUntil([&] { return lower_->Held() == 1; }));
      EXPECT_FALSE(reopened);
      lower_->CompleteOldest();
      again.join();
      EXPECT_EQ(f_.ext->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
      StreamStopPower(f_.fdo);
    }
    lower_->CompleteOldest();
    EXPECT_FALSE(TurnTaken());
  }
  EXPECT_TRUE(Settles(f_.ext->IoCount, 1));
}

TEST_F(IdlePowerTest, ARequestThatCannotBeMadeGivesBackItsTurnAndItsCount) {
  AddDefault();
  tb::FaultPlan plan;
  plan.failAllIrps = true;
  tb::SetFaultPlan(plan);
  EXPECT_EQ(StreamStartPower(fdo_), STATUS_INSUFFICIENT_RESOURCES);
  tb::ClearFaults();
  EXPECT_FALSE(TurnTaken());
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  InterlockedExchangeAdd(&ext_->OpenPipeCount, -2);
  EXPECT_EQ(StreamStartPower(fdo_), STATUS_SUCCESS);  // not stuck behind the failed one
  EXPECT_EQ(State(), static_cast<ULONG>(PowerDeviceD0));
  StreamStopPower(fdo_);
}

// Opens and closes racing system transitions: whatever the interleaving, a stream that has
// started runs in D0, and nothing is left behind.
TEST_F(IdlePowerTest, StreamRunsRacingSystemTransitionsAlwaysStartInD0) {
  AddDefault();
  System(PowerSystemWorking);
  std::atomic<bool> done{false};
  std::thread system([&] {
    while (!done) {
      System(PowerSystemSleeping1);
      System(PowerSystemWorking);
    }
  });
  for (int run = 0; run < 40; run++) {
    StreamStartPower(fdo_);
    StreamStopPower(fdo_);
  }
  done = true;
  system.join();
  StreamStartPower(fdo_);
  EXPECT_EQ(State(), static_cast<ULONG>(PowerDeviceD0));
  StreamStopPower(fdo_);
  ASSERT_TRUE(WaitUntil([&] { return !TurnTaken() && ext_->IoCount == 1; }));
}

}  // namespace

namespace {

// Every allocation a power cycle makes (the driver's own device requests, the power manager's
// IRPs) failed in turn: no system request is failed or lost, nothing leaks, nothing hangs, and the
// device still works afterwards.
TEST_F(IdlePowerTest, EveryAllocationOfAPowerCycleFailedInTurn) {
  auto cycle = [&] {
    EXPECT_EQ(System(PowerSystemWorking).status, STATUS_SUCCESS);
    StreamStartPower(fdo_);
    EXPECT_EQ(System(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(System(PowerSystemWorking).status, STATUS_SUCCESS);
    StreamStopPower(fdo_);
  };
  AddDefault();
  tb::SetFaultPlan(tb::FaultPlan{});
  cycle();
  uint64_t allocations = tb::AllocationCount();
  ASSERT_GT(allocations, 0u);
  pnp_->RemoveNow(pdo_);
  bus_.reset();
  for (uint64_t k = 1; k <= allocations; k++) {
    AddDefault();
    tb::FaultPlan plan;
    plan.failNth = k;
    tb::SetFaultPlan(plan);
    cycle();
    tb::ClearFaults();
    ASSERT_TRUE(WaitUntil([&] { return !TurnTaken() && ext_->IoCount == 1; })) << "allocation " << k;
    EXPECT_EQ(ext_->PendingSystemPowerIrp, nullptr) << "allocation " << k;
    // Still usable: a stream run after the faults powers up and down as it should.
    StreamStartPower(fdo_);
    EXPECT_EQ(State(), static_cast<ULONG>(PowerDeviceD0)) << "allocation " << k;
    StreamStopPower(fdo_);
    ASSERT_TRUE(WaitUntil([&] { return !TurnTaken(); }));
    pnp_->RemoveNow(pdo_);
    bus_.reset();
    EXPECT_EQ(tb::PoolTotals()[DRIVER_POOL_TAG].outstandingBlocks, 0u) << "allocation " << k;
  }
  Removed();
}

}  // namespace
