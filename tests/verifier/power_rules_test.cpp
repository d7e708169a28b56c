// The power rules of system transitions, each broken on purpose by a faulty power routine
// written here, over the tree driver's Plug and Play: a system set-power failed, one never
// completed, one held by a device its driver deletes, and a power callback or power completion
// routine that waits.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "power_manager.h"
#include "support/fixture.h"
#include "support/tree_driver.h"

// Not file-local: a report names these routines by their symbols.
namespace faultypower {

PDEVICE_OBJECT gAt = nullptr;  // the identity of the device that misbehaves
std::mutex gLock;
PIRP gHeld = nullptr;

bool IsSystemSleepSet(PIO_STACK_LOCATION s) {
  return s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == SystemPowerState &&
         s->Parameters.Power.State.SystemState != PowerSystemWorking;
}

bool Misbehaves(PDEVICE_OBJECT device, PIO_STACK_LOCATION s) {
  return treedrv::Identity(device) == gAt && IsSystemSleepSet(s);
}

NTSTATUS NTAPI FailsSystemSetPower(PDEVICE_OBJECT device, PIRP irp) {
  if (!Misbehaves(device, IoGetCurrentIrpStackLocation(irp))) return treedrv::Pass(device, irp);
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_UNSUCCESSFUL;
}

// Lets the next request in, then keeps this one: nobody will ever complete it.
NTSTATUS NTAPI HoldsSystemSetPower(PDEVICE_OBJECT device, PIRP irp) {
  if (!Misbehaves(device, IoGetCurrentIrpStackLocation(irp))) return treedrv::Pass(device, irp);
  PoStartNextPowerIrp(irp);
  IoMarkIrpPending(irp);
  std::lock_guard<std::mutex> guard(gLock);
  gHeld = irp;
  return STATUS_PENDING;
}

VOID NTAPI WaitingCallback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER poll{};
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &poll);  // a poll does not wait
  LARGE_INTEGER briefly;
  briefly.QuadPart = -10000;
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &briefly);
  PIRP system = static_cast<PIRP>(context);
  PoStartNextPowerIrp(system);
  system->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(system, IO_NO_INCREMENT);
}

// A child that turns the system request into a device request whose callback waits.
NTSTATUS NTAPI WaitsInPowerCallback(PDEVICE_OBJECT device, PIRP irp) {
  if (!Misbehaves(device, IoGetCurrentIrpStackLocation(irp))) return treedrv::Pass(device, irp);
  IoMarkIrpPending(irp);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, WaitingCallback, irp, nullptr);
  return STATUS_PENDING;
}

// Passes every request down with a location of its own below.
NTSTATUS NTAPI CopiesDown(PDEVICE_OBJECT device, PIRP irp) {
  if (treedrv::IsChild(device)) return treedrv::Pass(device, irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(treedrv::Lower(device), irp);
}

NTSTATUS NTAPI DelayingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  LARGE_INTEGER briefly;
  briefly.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &briefly);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DelaysInPowerCompletion(PDEVICE_OBJECT device, PIRP irp) {
  if (!Misbehaves(device, IoGetCurrentIrpStackLocation(irp))) return treedrv::Pass(device, irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, DelayingCompletion, nullptr, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(treedrv::Lower(device), irp);
}

class PowerRulesTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    treedrv::Reset();
    gHeld = nullptr;
    driver_ = tb::LoadDriver(treedrv::DriverEntry, u"tree");
    pnp_ = std::make_unique<tb::PnpManager>(driver_, 0x44657254);
    pdo_ = pnp_->Plug(tb::UsbMidiDevice::Product(0x0001));
    EXPECT_EQ(pnp_->Start(pdo_), STATUS_SUCCESS);
    child_ = pnp_->QueryBusRelations(pdo_)[0];
    pm_ = std::make_unique<tb::PowerManager>(*pnp_);
  }
  void TearDown() override {
    pm_.reset();
    pnp_->RemoveNow(pdo_);
    pnp_.reset();
    KernelTest::TearDown();
  }
  // Lets the held IRP go at last, as a late driver would.
  void ReleaseHeld() {
    PIRP irp;
    {
      std::lock_guard<std::mutex> guard(gLock);
      irp = gHeld;
      gHeld = nullptr;
    }
    if (irp == nullptr) return;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
  static const tb::PowerStep* StepAt(const tb::PowerTransition& t, const std::string& device, UCHAR minor) {
    for (const tb::PowerStep& s : t.steps) {
      if (s.device == device && s.minor == minor) return &s;
    }
    return nullptr;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<tb::PnpManager> pnp_;
  std::unique_ptr<tb::PowerManager> pm_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT child_ = nullptr;
};

// Failing a query is a driver's right; failing the set-power is not, and changes nothing.
TEST_F(PowerRulesTest, ASystemSetPowerFailedByADriverIsReportedOnceAndTheSystemSleepsRegardless) {
  AnswerSynchronously();  // the report must name the bus's power handler as the completer
  gAt = pdo_;
  treedrv::gPower = FailsSystemSetPower;
  tb::PowerTransition t;
  auto got = ExpectViolation(tb::Rule::SystemPowerIrpFailed, [&] { t = pm_->Sleep(PowerSystemSleeping3); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].routine.find("FailsSystemSetPower"), std::string::npos) << got[0].ToString();
  EXPECT_NE(got[0].message.find("S3"), std::string::npos) << got[0].ToString();
  EXPECT_TRUE(t.entered);
  const tb::PowerStep* set = StepAt(t, "usb#1", IRP_MN_SET_POWER);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->status, STATUS_UNSUCCESSFUL);
  ASSERT_TRUE(pm_->Wake().entered);

  // Failed at the bottom of the stack, it is reported there, not again at each driver above.
  treedrv::gPower = CopiesDown;
  pnp_->Bus(pdo_)->FailPower(IRP_MN_SET_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);
  auto below = ExpectViolation(tb::Rule::SystemPowerIrpFailed, [&] { pm_->Sleep(PowerSystemHibernate); });
  ASSERT_EQ(below.size(), 1u) << "one report for the IRP, not one per location it passes";
  EXPECT_NE(below[0].routine.find("UsbBus::HandlePower"), std::string::npos) << below[0].ToString();
}

TEST_F(PowerRulesTest, ASystemPowerIrpNeverCompletedIsReportedAndTheTransitionGoesOnWithoutIt) {
  tb::GetSettings().hangLimitMs = 300;
  gAt = child_;
  treedrv::gPower = HoldsSystemSetPower;
  tb::PowerTransition t;
  auto got = ExpectViolation(tb::Rule::SystemPowerIrpNotCompleted, [&] { t = pm_->Sleep(PowerSystemSleeping3); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].routine.find("treedrv::Power"), std::string::npos) << got[0].ToString();
  EXPECT_NE(got[0].message.find("child of usb#1"), std::string::npos) << got[0].ToString();
  const tb::PowerStep* stuck = StepAt(t, "child of usb#1", IRP_MN_SET_POWER);
  ASSERT_NE(stuck, nullptr);
  EXPECT_EQ(stuck->end, tb::PowerStep::End::NotCompleted);
  EXPECT_EQ(stuck->status, STATUS_PENDING);
  const tb::PowerStep* parent = StepAt(t, "usb#1", IRP_MN_SET_POWER);
  ASSERT_NE(parent, nullptr) << "the parent is still told";
  EXPECT_EQ(parent->status, STATUS_SUCCESS);
  EXPECT_NE(pm_->PrintLog().find("not completed"), std::string::npos);
  ReleaseHeld();
}

TEST_F(PowerRulesTest, ASystemPowerIrpHeldByADeviceItsDriverDeletesIsReportedAndNoLongerWaitedFor) {
  gAt = pdo_;
  treedrv::gPower = HoldsSystemSetPower;
  tb::PowerTransition t;
  std::thread sleeper([&] { t = pm_->Sleep(PowerSystemSleeping3); });
  for (int i = 0; i < 2000; i++) {
    {
      std::lock_guard<std::mutex> guard(gLock);
      if (gHeld != nullptr) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto start = std::chrono::steady_clock::now();
  auto got = ExpectViolation(tb::Rule::SystemPowerIrpHeldAtRemoval, [&] {
    pnp_->SurpriseRemove(pdo_);
    sleeper.join();
  });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].routine.find("FunctionPnp"), std::string::npos) << "the routine that deleted it: " << got[0].ToString();
  EXPECT_NE(got[0].message.find("SET_POWER S3"), std::string::npos) << got[0].ToString();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(tb::GetSettings().hangLimitMs))
      << "the power manager stopped waiting for it";
  const tb::PowerStep* stuck = StepAt(t, "usb#1", IRP_MN_SET_POWER);
  ASSERT_NE(stuck, nullptr);
  EXPECT_EQ(stuck->end, tb::PowerStep::End::HeldAtRemoval);
}

TEST_F(PowerRulesTest, APowerCallbackOrAPowerCompletionRoutineThatWaitsIsReported) {
  AnswerSynchronously();  // held, the routine would run at DISPATCH_LEVEL and its wait be reported for that instead
  gAt = child_;
  treedrv::gPower = WaitsInPowerCallback;
  auto callback = ExpectViolation(tb::Rule::PowerCallbackWaits, [&] { pm_->Sleep(PowerSystemSleeping3); });
  ASSERT_EQ(callback.size(), 1u) << "the poll is no wait";
  EXPECT_NE(callback[0].routine.find("WaitingCallback"), std::string::npos) << callback[0].ToString();
  EXPECT_NE(callback[0].message.find("KeWaitForSingleObject"), std::string::npos) << callback[0].ToString();
  ASSERT_TRUE(pm_->Wake().entered);

  gAt = pdo_;
  treedrv::gPower = DelaysInPowerCompletion;
  auto completion = ExpectViolation(tb::Rule::PowerCallbackWaits, [&] { pm_->Sleep(PowerSystemSleeping3); });
  ASSERT_EQ(completion.size(), 1u);
  EXPECT_NE(completion[0].routine.find("DelayingCompletion"), std::string::npos) << completion[0].ToString();
  EXPECT_NE(completion[0].message.find("KeDelayExecutionThread"), std::string::npos) << completion[0].ToString();
}

}  // namespace faultypower
