// Power requests on the child device: answered at the bottom of the client's stack, a system
// request turned into a device request for the child's own stack.
#include "power/power_fixture.h"

namespace {

class ChildPowerTest : public PowerTest {
 protected:
  void SetUp() override {
    PowerTest::SetUp();
    AddDefault();
    child_ = pnp_->QueryBusRelations(pdo_)[0];
    pdo_ext_ = PdoExt(child_);
  }
  tb::Result Child(UCHAR minor, POWER_STATE_TYPE type, ULONG state) { return SendPower(child_, minor, type, state); }
  ULONG Reported(POWER_STATE_TYPE type) {
    POWER_STATE s = tb::ReportedPowerState(child_, type);
    return type == DevicePowerState ? static_cast<ULONG>(s.DeviceState) : static_cast<ULONG>(s.SystemState);
  }
  PDEVICE_OBJECT child_ = nullptr;
  PdoExtension* pdo_ext_ = nullptr;
};

TEST_F(ChildPowerTest, EveryQuerySucceeds) {
  for (ULONG s = PowerSystemWorking; s <= PowerSystemShutdown; s++) {
    EXPECT_EQ(Child(IRP_MN_QUERY_POWER, SystemPowerState, s).status, STATUS_SUCCESS) << s;
  }
  for (ULONG d = PowerDeviceD0; d <= PowerDeviceD3; d++) {
    EXPECT_EQ(Child(IRP_MN_QUERY_POWER, DevicePowerState, d).status, STATUS_SUCCESS) << d;
  }
}

TEST_F(ChildPowerTest, ADeviceRequestIsRecordedAndReported) {
  EXPECT_EQ(Child(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2).status, STATUS_SUCCESS);
  EXPECT_EQ(pdo_ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  EXPECT_EQ(Reported(DevicePowerState), static_cast<ULONG>(PowerDeviceD2));
}

// The system request is held, a device request goes through the child's stack, and then the
// system request completes; a sleeping state of any kind means D3, S0 means D0 every time.
TEST_F(ChildPowerTest, ASystemRequestCompletesAfterTheDeviceRequestItMade) {
  struct Case {
    SYSTEM_POWER_STATE system;
    ULONG device;
  } cases[] = {{PowerSystemSleeping1, PowerDeviceD3}, {PowerSystemHibernate, PowerDeviceD3},
               {PowerSystemShutdown, PowerDeviceD3},  {PowerSystemWorking, PowerDeviceD0},
               {PowerSystemWorking, PowerDeviceD0}};
  for (const Case& c : cases) {
    pdo_ext_->DevicePowerState = 0;  // so that the device request shows even when the state is kept
    tb::Result r = Child(IRP_MN_SET_POWER, SystemPowerState, c.system);
    EXPECT_EQ(r.returned, STATUS_PENDING) << c.system;
    EXPECT_EQ(r.status, STATUS_SUCCESS) << c.system;
    EXPECT_EQ(pdo_ext_->DevicePowerState, c.device) << c.system;
    EXPECT_EQ(pdo_ext_->SystemPowerState, static_cast<ULONG>(c.system));
    EXPECT_EQ(Reported(SystemPowerState), static_cast<ULONG>(c.system));
  }
}

TEST_F(ChildPowerTest, WaitWakeAndPowerSequenceAreNotSupported) {
  EXPECT_EQ(SendWaitWake(child_).status, STATUS_NOT_SUPPORTED);
  tb::Result sequence = tb::Call(child_, [](PIO_STACK_LOCATION s, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = IRP_MN_POWER_SEQUENCE;
  });
  EXPECT_EQ(sequence.status, STATUS_NOT_SUPPORTED);
}

TEST_F(ChildPowerTest, ASystemRequestWhoseDeviceRequestCannotBeMadeStillCompletes) {
  tb::FaultPlan plan;
  plan.failAllIrps = true;
  tb::SetFaultPlan(plan);
  tb::Result r = Child(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
  tb::ClearFaults();
  EXPECT_EQ(r.returned, STATUS_PENDING);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(pdo_ext_->SystemPowerState, static_cast<ULONG>(PowerSystemSleeping3));
}

}  // namespace
