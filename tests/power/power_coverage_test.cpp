// Function-device power on the paths the ordinary suites leave out: a wait-wake on a device being
// stopped, device and system states outside the ones a device can be in, and an idle power-down
// that finds another of the driver's requests still running.
#include <chrono>
#include <cstring>
#include <thread>

#include "power/power_fixture.h"

namespace {

using Names = std::vector<std::string>;

class PowerCoverageTest : public PowerTest {
 protected:
  // A word no power state has (nor the enumeration's range), written as a bus may write it.
  static void PutWord(void* field, ULONG word) { std::memcpy(field, &word, sizeof word); }
};

// Its removal or stop would then have to wait on it: nothing is armed, nothing goes down.
TEST_F(PowerCoverageTest, AWaitWakeOnADeviceBeingStoppedIsRefused) {
  AddDefault();
  System(PowerSystemWorking);
  Device(PowerDeviceD2);
  ASSERT_EQ(pnp_->QueryStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(SendWaitWake(pdo_).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(bus_->PendingWaitWakes(), 0u);
  EXPECT_FALSE(ReadFdoFlags(ext_) & FDO_WAIT_WAKE_ARMED);
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  EXPECT_EQ(pnp_->CancelStop(pdo_), STATUS_SUCCESS);
}

// A device request for no real state still goes down, but is not taken as the device's state.
TEST_F(PowerCoverageTest, DeviceRequestsForNoRealStateLeaveTheRecordedState) {
  AddDefault();
  System(PowerSystemWorking);
  Device(PowerDeviceD2);
  for (ULONG state : {static_cast<ULONG>(PowerDeviceUnspecified), static_cast<ULONG>(PowerDeviceMaximum), ULONG{7}}) {
    SCOPED_TRACE(state);
    Mark();
    // The bus refuses a state no device has; the driver hands its answer back.
    EXPECT_EQ(Device(static_cast<DEVICE_POWER_STATE>(state)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Seen().size(), 1u) << "passed down";
    EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  }
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
}

// With wake armed the capabilities choose the sleeping device state; an entry the bus left
// unfilled, one past D3 and a system state below S1 all mean D3.
TEST_F(PowerCoverageTest, WithWakeArmedStatesTheCapabilitiesDoNotGiveMeanD3) {
  DEVICE_CAPABILITIES caps = Capabilities(PowerDeviceD2, PowerDeviceUnspecified, PowerDeviceD3, PowerDeviceD2);
  PutWord(&caps.DeviceState[PowerSystemSleeping3], 9);
  Add(caps);
  System(PowerSystemWorking);
  Device(PowerDeviceD2);
  std::thread waiter([&] { SendWaitWake(pdo_); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingWaitWakes() == 1; }));
  struct Case {
    const char* what;
    SYSTEM_POWER_STATE system;
  } cases[] = {
      {"S1 as the capabilities say", PowerSystemSleeping1},
      {"S2 left unfilled", PowerSystemSleeping2},
      {"S3 past D3", PowerSystemSleeping3},
      {"no system state", PowerSystemUnspecified},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Device(PowerDeviceD0);
    Mark();
    EXPECT_EQ(System(c.system).status, STATUS_SUCCESS);
    ASSERT_FALSE(Seen().empty());
    EXPECT_EQ(Seen().front(), c.system == PowerSystemSleeping1 ? "SET_POWER D2" : "SET_POWER D3");
  }
  Device(PowerDeviceD0);
  bus_->SignalWake();
  waiter.join();
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
}

// A wait-wake refused for a wake state past D3 still set the idle state from it; the idle policy
// asks for no such state.
TEST_F(PowerCoverageTest, AnIdleStatePastD3IsNeverAskedFor) {
  DEVICE_CAPABILITIES caps = Capabilities(PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3);
  PutWord(&caps.DeviceWake, 9);
  Add(caps);
  System(PowerSystemWorking);
  Device(PowerDeviceD2);
  EXPECT_EQ(SendWaitWake(pdo_).status, STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(ext_->IdlePowerState, 9u);
  Device(PowerDeviceD0);
  StreamStartPower(fdo_);
  Mark();
  EXPECT_EQ(StreamStopPower(fdo_), STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
}

// A power-down that finds an own request under way gives up rather than queue behind it.
TEST_F(PowerCoverageTest, AnIdlePowerDownDuringAnotherOwnRequestAsksForNothing) {
  AddDefault();
  System(PowerSystemWorking);
  StreamStartPower(fdo_);
  bus_->HoldPower(true);
  Mark();
  // The bus holds the first power-down's request in the thread that sent it.
  std::thread first([&] { EXPECT_EQ(StreamStopPower(fdo_), STATUS_SUCCESS); });
  ASSERT_TRUE(WaitUntil([&] { return bus_->PowerRequestsWaiting() == 1; }));
  // A second power-down (the pipes still free) while the first is under way.
  EXPECT_EQ(RequestIdlePower(fdo_, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(bus_->PowerRequestsWaiting(), 1u) << "no second request";
  bus_->HoldPower(false);
  first.join();
  ASSERT_TRUE(WaitUntil([&] { return (ReadFdoFlags(ext_) & FDO_POWER_REQUEST_PENDING) == 0; }));
  EXPECT_EQ(Seen(), (Names{"SET_POWER D2"}));
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  EXPECT_TRUE(WaitUntil([&] { return ext_->IoCount == 1; }));
}

}  // namespace
