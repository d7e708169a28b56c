// Device addition, start and configuration on the paths the ordinary suites leave out: descriptors
// malformed in the remaining ways, a bus that answers start and the capabilities query later from
// another thread, and every allocation of a stop and restart failed in turn.
#include <atomic>
#include <chrono>
#include <thread>

#include "support/usb_fixture.h"

namespace {

using tb::UrbFault;
using tb::UrbFaultKind;
using tb::UsbMidiDevice;
using Bytes = std::vector<uint8_t>;

class UsbCoverageTest : public UsbDriverTest {
 protected:
  void ExpectNothingLeft() {
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    for (auto& b : tb::OutstandingPool()) EXPECT_NE(b.tag, DRIVER_POOL_TAG) << b.size << " bytes";
  }
};

// A configuration descriptor: the 9-byte header (wTotalLength counted over everything) and `body`.
Bytes Configuration(std::initializer_list<Bytes> body, uint8_t headerLength = 9) {
  Bytes out{headerLength, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const Bytes& part : body) out.insert(out.end(), part.begin(), part.end());
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

const Bytes kMidiInterface{9, 4, 2, 0, 2, 0xFF, 0, 0, 0};
const Bytes kBulkIn{7, 5, 0x81, 2, 64, 0, 0};
const Bytes kBulkOut{7, 5, 0x02, 2, 64, 0, 0};

TEST_F(UsbCoverageTest, DescriptorsThatCannotBeWalkedFailTheStart) {
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"header longer than the total", {12, 2, 10, 0, 1, 1, 0, 0x80, 50, 0}},
      {"one stray byte after the last descriptor", Configuration({kMidiInterface, kBulkIn, kBulkOut, {0}})},
      {"a descriptor of one byte", Configuration({kMidiInterface, {1}, kBulkIn, kBulkOut})},
      {"an interface descriptor shorter than one", Configuration({{5, 4, 2, 0, 2}, kBulkIn, kBulkOut})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UsbMidiDevice device = UsbMidiDevice::Product(0x0001);
    device.rawConfiguration = c.bytes;
    PDEVICE_OBJECT pdo = Plug(device);
    EXPECT_EQ(pnp_->Start(pdo), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(Bus(pdo)->UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).empty());
    EXPECT_EQ(ext_->BulkInPipe, nullptr);
    pnp_->RemoveNow(pdo);
  }
  ExpectNothingLeft();
}

// Fewer bytes than a header, whatever the header claims, are never walked.
TEST_F(UsbCoverageTest, AnAnswerShorterThanTheHeaderFailsTheStart) {
  PDEVICE_OBJECT pdo = Plug();
  Bus(pdo)->AddFault(UrbFault{.kind = UrbFaultKind::ShortData,
                              .function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                              .descriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE,
                              .bytes = 4});
  EXPECT_EQ(pnp_->Start(pdo), STATUS_DEVICE_DATA_ERROR);
  EXPECT_TRUE(Bus(pdo)->UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).empty());
  pnp_->RemoveNow(pdo);
  ExpectNothingLeft();
}

// A device that leaves the header's own length 0 is read as if it said 9.
TEST_F(UsbCoverageTest, AHeaderLengthOfZeroIsTakenAsNine) {
  UsbMidiDevice device = UsbMidiDevice::Product(0x0001);
  device.rawConfiguration = Configuration({kMidiInterface, kBulkIn, kBulkOut}, 0);
  PDEVICE_OBJECT pdo = Plug(device);
  EXPECT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  EXPECT_EQ(ext_->ConfigurationDescriptor->bLength, 9);
  EXPECT_NE(ext_->BulkInPipe, nullptr);
  EXPECT_NE(ext_->BulkOutPipe, nullptr);
  pnp_->Remove(pdo);
  ExpectNothingLeft();
}

// A bus driver that answers the capabilities query and the start later, from another thread:
// device addition and start wait for those answers and use them.
class PendingBusTest : public UsbCoverageTest {
 protected:
  void TearDown() override {
    for (auto& t : completers_) t.join();
    if (pdo_ != nullptr) tb::DeleteHostDevice(pdo_);
    UsbCoverageTest::TearDown();
  }

  // Completes `irp` 20 ms from now in another thread, after `fill`.
  NTSTATUS CompleteLater(PIRP irp, std::function<void(PIRP)> fill) {
    IoMarkIrpPending(irp);
    completers_.emplace_back([irp, fill] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      fill(irp);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  }

  NTSTATUS Answer(PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      return CompleteLater(irp, [this](PIRP i) {
        PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(i)->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
        caps->DeviceWake = PowerDeviceD2;
        i->IoStatus.Status = STATUS_SUCCESS;
        capabilitiesAnswered_ = true;
      });
    }
    if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_START_DEVICE) {
      return CompleteLater(irp, [this](PIRP i) {
        i->IoStatus.Status = STATUS_SUCCESS;
        startAnswered_ = true;
      });
    }
    if (s->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    // No device behind this bus: descriptor reads fail; the rest of Plug and Play succeeds.
    irp->IoStatus.Status = s->MajorFunction == IRP_MJ_PNP ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  tb::Result Pnp(PDEVICE_OBJECT top, UCHAR minor) {
    return tb::Call(top, [minor](PIO_STACK_LOCATION s, PIRP irp) {
      s->MajorFunction = IRP_MJ_PNP;
      s->MinorFunction = minor;
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    });
  }

  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<std::thread> completers_;
  std::atomic<bool> capabilitiesAnswered_{false};
  std::atomic<bool> startAnswered_{false};
};

TEST_F(PendingBusTest, AdditionAndStartWaitForTheAnswersThatComeLater) {
  pdo_ = tb::CreateHostDevice("pendingbus", [this](PDEVICE_OBJECT, PIRP irp) { return Answer(irp); });
  tb::MarkPhysicalDevice(pdo_, u"USB\\VID_0A7E&PID_0001\\7");
  ASSERT_EQ(driver_->DriverExtension->AddDevice(driver_, pdo_), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = tb::TopOfStack(pdo_);
  ASSERT_NE(fdo, pdo_);
  FdoExtension* ext = FdoExt(fdo);
  EXPECT_TRUE(capabilitiesAnswered_);
  EXPECT_EQ(ext->Capabilities.DeviceWake, PowerDeviceD2) << "read from the later answer";
  EXPECT_EQ(ext->IdlePowerState, static_cast<ULONG>(PowerDeviceD2));

  // The start waits for the lower drivers, then fails for want of a device descriptor.
  EXPECT_EQ(Pnp(fdo, IRP_MN_START_DEVICE).status, STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_TRUE(startAnswered_);
  EXPECT_TRUE(Settles(ext->IoCount, 1));

  EXPECT_EQ(Pnp(fdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(tb::TopOfStack(pdo_), pdo_);
  ExpectNothingLeft();
}

// A stop, a restart and the removal after them, with each allocation failed in turn: whatever
// fails, the device is left usable or removable, and nothing of it is left behind.
TEST_F(UsbCoverageTest, EveryAllocationOfAStopAndRestartFailedInTurnLeavesNothing) {
  auto life = [&](uint64_t failNth) {
    PDEVICE_OBJECT pdo = PlugAndStart();
    tb::FaultPlan plan;
    plan.failNth = failNth;
    tb::SetFaultPlan(plan);
    NTSTATUS stopped = pnp_->StopAndRestart(pdo);
    uint64_t count = tb::AllocationCount();
    tb::ClearFaults();
    if (failNth == 0) EXPECT_EQ(stopped, STATUS_SUCCESS);
    EXPECT_TRUE(Settles(ext_->IoCount, 1));
    pnp_->Remove(pdo);
    ExpectNothingLeft();
    return count;
  };
  uint64_t total = life(0);
  ASSERT_GT(total, 4u);
  for (uint64_t n = 1; n <= total; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    life(n);
  }
}

}  // namespace
