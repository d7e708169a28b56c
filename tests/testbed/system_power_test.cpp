// Whole-system transitions as the power manager drives them through the device tree: queries
// then set-power requests, children before their parents going down and parents first coming
// back, the platform's ShutdownType and preset status, the cancel of a refused query; and a sleep
// and wake of the real driver's tree with a stream open.
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "power/power.h"
#include "power_manager.h"
#include "support/fixture.h"
#include "support/power.h"
#include "support/stream.h"
#include "support/tree_driver.h"

// Routines have external linkage so that the verifier can name them in its reports.
namespace syspower {

struct Arrival {
  PDEVICE_OBJECT identity;
  UCHAR minor;
  POWER_STATE_TYPE type;
  int state;
  POWER_ACTION action;
  NTSTATUS statusOnArrival;
  ULONG_PTR informationOnArrival;
  KIRQL irql;
  std::thread::id thread;
};

std::mutex gLock;
std::vector<Arrival> gArrivals;
std::map<PDEVICE_OBJECT, NTSTATUS> gRefuseQuery;  // by identity

// Records each power request as it reaches the top of a stack, refuses the queries it is told
// to, and answers the rest as a function or bus driver does.
NTSTATUS NTAPI Records(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT identity = treedrv::Identity(device);
  NTSTATUS refusal = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(gLock);
    int state;
    std::memcpy(&state, &s->Parameters.Power.State, sizeof state);
    gArrivals.push_back(Arrival{identity, s->MinorFunction, s->Parameters.Power.Type, state,
                                s->Parameters.Power.ShutdownType, irp->IoStatus.Status, irp->IoStatus.Information,
                                KeGetCurrentIrql(), std::this_thread::get_id()});
    auto it = gRefuseQuery.find(identity);
    if (s->MinorFunction == IRP_MN_QUERY_POWER && it != gRefuseQuery.end()) refusal = it->second;
  }
  if (refusal != STATUS_SUCCESS) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = refusal;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return refusal;
  }
  return treedrv::Pass(device, irp);
}

class SystemPowerTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    treedrv::Reset();
    treedrv::gPower = Records;
    {
      std::lock_guard<std::mutex> guard(gLock);
      gArrivals.clear();
      gRefuseQuery.clear();
    }
    driver_ = tb::LoadDriver(treedrv::DriverEntry, u"tree");
    pnp_ = std::make_unique<tb::PnpManager>(driver_, 0x44657254);
    pm_ = std::make_unique<tb::PowerManager>(*pnp_);
  }
  void TearDown() override {
    pm_.reset();
    for (PDEVICE_OBJECT pdo : roots_) pnp_->RemoveNow(pdo);
    pnp_.reset();
    KernelTest::TearDown();
  }
  // A USB device with the driver's function device on it and its child, both started.
  PDEVICE_OBJECT AddTree(bool start = true) {
    PDEVICE_OBJECT pdo = pnp_->Plug(tb::UsbMidiDevice::Product(0x0001));
    roots_.push_back(pdo);
    if (start) {
      EXPECT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
      EXPECT_EQ(pnp_->QueryBusRelations(pdo).size(), 1u);
    }
    return pdo;
  }
  std::string Name(PDEVICE_OBJECT identity) {
    const tb::PnpNode* node = pnp_->Node(identity);
    return node != nullptr ? node->name : "?";
  }
  // The system requests that reached the top drivers since the last call: "child of usb#1 QUERY S3".
  std::vector<std::string> Seen() {
    std::vector<Arrival> got;
    {
      std::lock_guard<std::mutex> guard(gLock);
      got.swap(gArrivals);
    }
    std::vector<std::string> out;
    for (const Arrival& a : got) {
      if (a.type != SystemPowerState) continue;
      out.push_back(Name(a.identity) + (a.minor == IRP_MN_QUERY_POWER ? " QUERY S" : " SET S") +
                    std::to_string(a.state - 1));
    }
    return out;
  }
  std::vector<Arrival> Arrivals() {
    std::lock_guard<std::mutex> guard(gLock);
    return gArrivals;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<tb::PnpManager> pnp_;
  std::unique_ptr<tb::PowerManager> pm_;
  std::vector<PDEVICE_OBJECT> roots_;
};

using Names = std::vector<std::string>;

TEST_F(SystemPowerTest, SleepAsksEveryStartedDeviceChildrenFirstThenSetsItAndWakeGoesParentsFirst) {
  AddTree();
  AddTree();
  AddTree(false);  // present but never started: told nothing
  tb::PowerTransition sleep = pm_->Sleep(PowerSystemSleeping3);
  EXPECT_TRUE(sleep.entered);
  EXPECT_EQ(sleep.status, STATUS_SUCCESS);
  EXPECT_EQ(pm_->SystemState(), PowerSystemSleeping3);
  EXPECT_EQ(Seen(), (Names{"child of usb#2 QUERY S3", "usb#2 QUERY S3", "child of usb#1 QUERY S3", "usb#1 QUERY S3",
                           "child of usb#2 SET S3", "usb#2 SET S3", "child of usb#1 SET S3", "usb#1 SET S3"}));
  ASSERT_EQ(sleep.steps.size(), 8u);
  for (const tb::PowerStep& s : sleep.steps) {
    EXPECT_EQ(s.end, tb::PowerStep::End::Completed) << s.device;
    EXPECT_EQ(s.status, STATUS_SUCCESS) << s.device;
  }

  tb::PowerTransition wake = pm_->Wake();
  EXPECT_TRUE(wake.entered);
  EXPECT_EQ(pm_->SystemState(), PowerSystemWorking);
  EXPECT_EQ(Seen(), (Names{"usb#1 SET S0", "child of usb#1 SET S0", "usb#2 SET S0", "child of usb#2 SET S0"}));
  EXPECT_EQ(pm_->Log().size(), 12u);
  EXPECT_NE(pm_->PrintLog().find("usb#1  SET_POWER S0 Sleep -> 0x00000000"), std::string::npos) << pm_->PrintLog();
}

// What the requests carry: the action of the transition as the platform fills it, status
// preset, sent from the power manager's own thread at PASSIVE_LEVEL.
TEST_F(SystemPowerTest, EachRequestCarriesThePlatformsActionAndPresetStatusFromThePowerManagersThread) {
  AddTree();
  struct Case {
    SYSTEM_POWER_STATE state;
    std::optional<POWER_ACTION> asked;
    POWER_ACTION sent;
  } cases[] = {
      {PowerSystemSleeping1, std::nullopt, PowerActionSleep},
      {PowerSystemSleeping3, std::nullopt, PowerActionSleep},
      {PowerSystemHibernate, std::nullopt, PowerActionHibernate},
      {PowerSystemShutdown, PowerActionShutdownReset, PowerActionShutdownReset},
  };
  std::thread::id sender;
  for (const Case& c : cases) {
    tb::PowerTransition t = pm_->Sleep(c.state, c.asked);
    ASSERT_TRUE(t.entered) << c.state;
    if (c.state != PowerSystemShutdown) ASSERT_TRUE(pm_->Wake().entered) << c.state;
    std::vector<Arrival> got = Arrivals();
    ASSERT_FALSE(got.empty());
    if (sender == std::thread::id()) sender = got[0].thread;
    for (const Arrival& a : got) {
      if (a.type != SystemPowerState) continue;
      bool down = a.state - 1 != 0;
      EXPECT_EQ(a.action, down ? c.sent : PowerActionSleep) << "S" << a.state - 1 << " after S" << c.state - 1;
      EXPECT_EQ(a.statusOnArrival, STATUS_NOT_SUPPORTED);
      EXPECT_EQ(a.informationOnArrival, 0u);
      EXPECT_EQ(a.irql, PASSIVE_LEVEL);
      EXPECT_EQ(a.thread, sender) << "one power manager thread";
      EXPECT_NE(a.thread, std::this_thread::get_id());
    }
    std::lock_guard<std::mutex> guard(gLock);
    gArrivals.clear();
  }
  // Shut down: nothing wakes the system, and nothing more is sent.
  EXPECT_EQ(pm_->SystemState(), PowerSystemShutdown);
  tb::PowerTransition none = pm_->Wake();
  EXPECT_FALSE(none.entered);
  EXPECT_EQ(none.status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(none.steps.empty());
  EXPECT_TRUE(Seen().empty());
}

TEST_F(SystemPowerTest, ASleepFromASleepingStateOrToTheWorkingStateIsRefused) {
  AddTree();
  ASSERT_TRUE(pm_->Sleep(PowerSystemSleeping3).entered);
  Seen();
  tb::PowerTransition again = pm_->Sleep(PowerSystemSleeping1);
  EXPECT_FALSE(again.entered);
  EXPECT_EQ(again.status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(Seen().empty());
  ASSERT_TRUE(pm_->Wake().entered);
  EXPECT_EQ(pm_->Wake().status, STATUS_INVALID_DEVICE_STATE) << "already working";
  auto got = ExpectViolation(tb::Rule::Unimplemented, [&] {
    EXPECT_EQ(pm_->Sleep(PowerSystemWorking).status, STATUS_INVALID_PARAMETER);
  });
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0].routine, "PowerManager::Sleep");
}

// A refusal ends the queries; the devices that had agreed hear the working state again, parents
// first, and nothing is put to sleep.
TEST_F(SystemPowerTest, ARefusedQueryCancelsAndThoseThatAgreedHearTheWorkingStateAgain) {
  PDEVICE_OBJECT first = AddTree();
  AddTree();
  {
    std::lock_guard<std::mutex> guard(gLock);
    gRefuseQuery[first] = STATUS_DEVICE_BUSY;
  }
  tb::PowerTransition t = pm_->Sleep(PowerSystemHibernate);
  EXPECT_FALSE(t.entered);
  EXPECT_EQ(t.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(t.refusedBy, "usb#1");
  EXPECT_EQ(pm_->SystemState(), PowerSystemWorking);
  std::vector<Arrival> got = Arrivals();
  EXPECT_EQ(Seen(), (Names{"child of usb#2 QUERY S4", "usb#2 QUERY S4", "child of usb#1 QUERY S4", "usb#1 QUERY S4",
                           "child of usb#1 SET S0", "usb#2 SET S0", "child of usb#2 SET S0"}));
  for (const Arrival& a : got) {
    if (a.type == SystemPowerState) EXPECT_EQ(a.action, PowerActionHibernate) << "the action being cancelled";
  }
  // The next attempt starts over.
  {
    std::lock_guard<std::mutex> guard(gLock);
    gRefuseQuery.clear();
  }
  EXPECT_TRUE(pm_->Sleep(PowerSystemHibernate).entered);
}

// The real driver's tree: the function device asks for D3 for S3 and D0 back for S0, the child
// follows with its own device requests, and the USB device is suspended in between.
class DriverSystemPowerTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug();
    pm_ = std::make_unique<tb::PowerManager>(*pnp_);
  }
  void TearDown() override {
    pm_.reset();
    StreamTest::TearDown();
  }
  std::unique_ptr<tb::PowerManager> pm_;
};

TEST_F(DriverSystemPowerTest, TheDriversTreeSleepsAndWakesWithItsReadsHeldAcrossTheSleep) {
  Open();
  ASSERT_TRUE(ep_->WaitForPendingIn(2));
  size_t delivered = ep_->Delivered();
  tb::PowerTransition sleep = pm_->Sleep(PowerSystemSleeping3);
  ASSERT_TRUE(sleep.entered) << pm_->PrintLog();
  for (const tb::PowerStep& s : sleep.steps) EXPECT_EQ(s.status, STATUS_SUCCESS) << s.device << pm_->PrintLog();
  EXPECT_EQ(bus_->DevicePowerState(), PowerDeviceD3);
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(PdoExt(child_)->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(PdoExt(child_)->SystemPowerState, static_cast<ULONG>(PowerSystemSleeping3));
  EXPECT_EQ(ep_->InPower().held, 2u) << "both continuous reads stay on the pipe";

  ep_->Feed({0x90, 0x3C, 0x7F});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ep_->Delivered(), delivered) << "a suspended device sends nothing";

  tb::PowerTransition wake = pm_->Wake();
  ASSERT_TRUE(wake.entered);
  EXPECT_EQ(bus_->DevicePowerState(), PowerDeviceD0);
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(PdoExt(child_)->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  ASSERT_TRUE(ep_->WaitDelivered(delivered + 1)) << "the held read completes once the device is back";
  EXPECT_EQ(ext_->RxRing[0], 0x90);
  EXPECT_EQ(ep_->InPower().failed, 0u) << "no read was sent while it slept";
  EXPECT_EQ(PowerSeenByBus(bus_), (std::vector<std::string>{"QUERY_POWER S3", "SET_POWER D3", "SET_POWER S3",
                                                             "SET_POWER D0", "SET_POWER S0"}));
}

}  // namespace syspower
