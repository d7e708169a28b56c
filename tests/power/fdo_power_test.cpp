// Power requests on the function device: system requests turned into device requests of its own,
// device requests recorded on their way, wait-wake held below, and removal never held up by it.
#include <atomic>
#include <chrono>
#include <thread>

#include "power/power_fixture.h"
#include "support/function_device.h"

namespace {

using Names = std::vector<std::string>;

class FdoPowerTest : public PowerTest {
 protected:
};

TEST_F(FdoPowerTest, TheFirstS0AfterStartAsksForD0AndThenGoesDown) {
  AddDefault();
  EXPECT_EQ(ext_->DevicePowerState, 0u);
  Mark();
  EXPECT_EQ(System(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"SET_POWER D0", "SET_POWER S0"}));
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(ext_->PendingSystemPowerIrp, nullptr);
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  // In D0 already: the next S0 goes straight down, no device request.
  Mark();
  EXPECT_EQ(System(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"SET_POWER S0"}));
}

TEST_F(FdoPowerTest, SleepingStatesMapToD3UnlessWakeIsArmed) {
  AddDefault();
  System(PowerSystemWorking);
  Mark();
  EXPECT_EQ(System(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"SET_POWER D3", "SET_POWER S3"}));
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
  // Already in D3: S4 asks for nothing more.
  Mark();
  EXPECT_EQ(System(PowerSystemHibernate).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"SET_POWER S4"}));
}

TEST_F(FdoPowerTest, WithWakeArmedSleepFollowsTheCapabilities) {
  Add(Capabilities(PowerDeviceD2, PowerDeviceD2, PowerDeviceD2, PowerDeviceD2));
  System(PowerSystemWorking);
  Device(PowerDeviceD2);
  std::thread waiter([&] { SendWaitWake(pdo_); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; }));
  EXPECT_TRUE(ReadFdoFlags(ext_) & FDO_WAIT_WAKE_ARMED);
  Device(PowerDeviceD0);
  Mark();
  EXPECT_EQ(System(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"SET_POWER D2", "SET_POWER S3"}));
  bus_->SignalWake();
  waiter.join();
}

TEST_F(FdoPowerTest, ALowerStateIsRecordedBeforeTheLowerDriversSeeIt) {
  AddDefault();
  System(PowerSystemWorking);
  bus_->HoldPower(true);
  std::thread sender([&] { Device(PowerDeviceD2); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PowerRequestsWaiting() == 1; }));
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  bus_->HoldPower(false);
  sender.join();
}

TEST_F(FdoPowerTest, QueriesGoDownAndTheLowerAnswerIsTheAnswer) {
  AddDefault();
  Mark();
  EXPECT_EQ(SendPower(pdo_, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(SendPower(pdo_, IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"QUERY_POWER S3", "QUERY_POWER D3"}));
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
}

// Over a recording lower device that fails what it is asked: a failed D0 is still D0 above, and
// a refused query reaches the sender as refused.
class FdoPowerOverAFailingLowerTest : public DriverTest {};

TEST_F(FdoPowerOverAFailingLowerTest, AFailedD0IsRecordedAndReportedAsSuccessAndQueriesCarryTheRefusal) {
  LowerDevice lower;
  lower.completeWith = STATUS_UNSUCCESSFUL;
  FunctionDevice f = MakeFunctionDevice(driver_, lower.device);
  SetFdoFlags(f.ext, FDO_STARTED);
  EXPECT_EQ(SendPower(f.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0).status, STATUS_SUCCESS);
  EXPECT_EQ(f.ext->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(SendPower(f.fdo, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Settles(f.ext->IoCount, 1));
  DestroyFunctionDevice(f);
}

TEST_F(FdoPowerTest, WaitWakeIsAcceptedOnlyOutOfD0AndAtOrBelowTheWakeState) {
  Add(Capabilities(PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2));
  System(PowerSystemWorking);
  ext_->IdlePowerState = PowerDeviceD1;
  EXPECT_EQ(SendWaitWake(pdo_).status, STATUS_INVALID_DEVICE_STATE);  // in D0
  EXPECT_EQ(ext_->IdlePowerState, static_cast<ULONG>(PowerDeviceD2)) << "a refused request sets it too";
  Device(PowerDeviceD1);
  EXPECT_EQ(SendWaitWake(pdo_).status, STATUS_INVALID_DEVICE_STATE);  // D1 is above the wake state D2
  EXPECT_FALSE(ReadFdoFlags(ext_) & FDO_WAIT_WAKE_ARMED);
  EXPECT_EQ(bus_->PendingWaitWakes(), 0u);
  Device(PowerDeviceD3);  // below the wake state: accepted
  std::thread waiter([&] { EXPECT_EQ(SendWaitWake(pdo_).status, STATUS_CANCELLED); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; }));
  bus_->CancelWake();
  waiter.join();
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
}

// The wait-wake request stays below until the lower drivers end it, whichever way they do.
TEST_F(FdoPowerTest, AnArmedWaitWakeReturnsWithTheLowerStatusOnceTheyEndIt) {
  AddDefault();
  System(PowerSystemWorking);
  struct Ending {
    const char* what;
    std::function<void(tb::UsbBus&)> end;
    NTSTATUS status;
  } endings[] = {
      {"signalled", [](tb::UsbBus& b) { b.SignalWake(); }, STATUS_SUCCESS},
      {"cancelled", [](tb::UsbBus& b) { b.CancelWake(); }, STATUS_CANCELLED},
      {"failed", [](tb::UsbBus& b) { b.SignalWake(STATUS_UNSUCCESSFUL); }, STATUS_UNSUCCESSFUL},
  };
  for (const Ending& e : endings) {
    Device(PowerDeviceD2);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] { status = SendWaitWake(pdo_).status; });
    ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; })) << e.what;
    EXPECT_TRUE(ReadFdoFlags(ext_) & FDO_WAIT_WAKE_ARMED) << e.what;
    EXPECT_EQ(status.load(), STATUS_PENDING) << e.what;
    e.end(*bus_);
    waiter.join();
    EXPECT_EQ(status.load(), e.status) << e.what;
    EXPECT_FALSE(ReadFdoFlags(ext_) & FDO_WAIT_WAKE_ARMED) << e.what;
    EXPECT_TRUE(Settles(ext_->IoCount, 1)) << e.what;
    EXPECT_EQ(ext_->WaitWakeState, WAIT_WAKE_IDLE) << e.what;
  }
}

TEST_F(FdoPowerTest, AWakeWhileTheStreamIsOpenBringsTheDeviceBackToD0) {
  AddDefault();
  ASSERT_EQ(StreamStartPower(fdo_), STATUS_SUCCESS);  // D0 first
  Device(PowerDeviceD2);                               // the device was put down meanwhile
  std::thread waiter([&] { SendWaitWake(pdo_); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; }));
  bus_->SignalWake();
  waiter.join();
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  StreamStopPower(fdo_);
}

// Query-remove, surprise removal and removal each find a wait-wake armed: none waits on it, the
// wait-wake completes cancelled, and nothing is left.
TEST_F(FdoPowerTest, NoRemovalWaitsOnAnArmedWaitWake) {
  struct Way {
    const char* what;
    std::function<void()> remove;
  } ways[] = {
      {"query-remove then remove", [&] { EXPECT_EQ(pnp_->Remove(pdo_), STATUS_SUCCESS); }},
      {"surprise removal", [&] { pnp_->SurpriseRemove(pdo_); }},
      {"removal without a query", [&] { pnp_->RemoveNow(pdo_); }},
      {"stop", [&] {
         EXPECT_EQ(pnp_->QueryStop(pdo_), STATUS_SUCCESS);
         EXPECT_EQ(pnp_->Stop(pdo_), STATUS_SUCCESS);
         pnp_->RemoveNow(pdo_);
       }},
  };
  for (const Way& w : ways) {
    AddDefault();
    System(PowerSystemWorking);
    Device(PowerDeviceD2);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] { status = SendWaitWake(pdo_).status; });
    ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; })) << w.what;
    w.remove();
    waiter.join();
    EXPECT_EQ(status.load(), STATUS_CANCELLED) << w.what;
    EXPECT_TRUE(tb::IsDeviceFreed(fdo_)) << w.what;
    EXPECT_EQ(tb::PoolTotals()[DRIVER_POOL_TAG].outstandingBlocks, 0u) << w.what;
    pnp_ = std::make_unique<tb::PnpManager>(driver_);
    bus_.reset();
  }
  Removed();
}

// When the device request cannot be issued the system request still goes down, and the count
// it took is given back.
TEST_F(FdoPowerTest, ASystemRequestGoesDownEvenWhenItsDeviceRequestCannotBeMade) {
  AddDefault();
  System(PowerSystemWorking);
  Mark();
  tb::FaultPlan plan;
  plan.failAllIrps = true;
  tb::SetFaultPlan(plan);
  EXPECT_EQ(System(PowerSystemSleeping3).status, STATUS_SUCCESS);
  tb::ClearFaults();
  EXPECT_EQ(Seen(), (Names{"SET_POWER S3"}));
  EXPECT_EQ(ext_->PendingSystemPowerIrp, nullptr);
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
}

TEST_F(FdoPowerTest, AnOutOfRangeSystemStateIsTakenAsTheDeepest) {
  AddDefault();
  System(PowerSystemWorking);
  Device(PowerDeviceD2);
  std::thread waiter([&] { SendWaitWake(pdo_); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; }));
  Device(PowerDeviceD0);
  Mark();
  EXPECT_EQ(System(static_cast<SYSTEM_POWER_STATE>(42)).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen().front(), "SET_POWER D3");
  bus_->SignalWake();
  waiter.join();
}

}  // namespace
