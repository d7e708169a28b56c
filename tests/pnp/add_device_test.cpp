// Device addition through the PnP manager's AddDevice call.
#include <thread>

#include "support/usb_fixture.h"

using tb::UsbMidiDevice;

class AddDeviceTest : public UsbDriverTest {
 protected:
  bool InterfaceEnabledOn(PDEVICE_OBJECT pdo) {
    for (auto& i : tb::Interfaces()) {
      if (i.pdo == pdo && i.enabled) return true;
    }
    return false;
  }
  // Nothing of the driver remains: no device object, no pool block of its tag.
  void ExpectNothingLeft() {
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    for (auto& b : tb::OutstandingPool()) EXPECT_NE(b.tag, DRIVER_POOL_TAG) << b.size << " bytes";
  }
};

TEST_F(AddDeviceTest, BuildsTheFunctionDeviceAndItsChild) {
  PDEVICE_OBJECT pdo = Plug();
  ASSERT_NE(ext_, nullptr);
  EXPECT_EQ(ext_->Signature, FDO_SIGNATURE);
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  EXPECT_EQ(ext_->ChildCount, 1u);
  EXPECT_EQ(ext_->ProductKey, 0x0A7E0001u);
  EXPECT_EQ(ext_->LowerDevice, pdo);
  EXPECT_EQ(ext_->PhysicalDevice, pdo);
  EXPECT_EQ(ext_->StackSize, pdo->StackSize);
  EXPECT_EQ(ext_->Flags, 0u);
  EXPECT_EQ(fdo_->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE), static_cast<ULONG>(DO_POWER_PAGABLE));
  PDEVICE_OBJECT child = ext_->ChildExtension->Self;
  EXPECT_EQ(tb::Narrow(tb::DeviceName(child)), "\\Device\\TARVEL_USB_MANIFOLD_0");
  EXPECT_EQ(child->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_BUS_EXTENDER));
  EXPECT_EQ(child->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE), static_cast<ULONG>(DO_POWER_PAGABLE));
  EXPECT_EQ(ext_->ChildExtension->Parent, fdo_);
  EXPECT_EQ(ext_->ChildExtension->Signature, PDO_SIGNATURE);

  auto interfaces = tb::Interfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_TRUE(interfaces[0].enabled);
  EXPECT_EQ(interfaces[0].guid.Data1, 0x5E3A91D7u);
  EXPECT_EQ(interfaces[0].guid.Data4[7], 0x27);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ext_->InterfaceLinkName)), interfaces[0].link);
  pnp_->RemoveNow(pdo);
  EXPECT_FALSE(InterfaceEnabledOn(pdo));
  ExpectNothingLeft();
}

TEST_F(AddDeviceTest, ChildNamedByProductWithDefaultForUnknownAndUnreadable) {
  struct Case {
    const char* name;
    UsbMidiDevice device;
    bool unreadable;
    const char* child;
    ULONG key;
  } cases[] = {
      {"second product", UsbMidiDevice::Product(0x0003), false, "\\Device\\TARVEL_USB_DUET_0", 0x0A7E0003},
      {"unknown product", UsbMidiDevice::Product(0x0002), false, "\\Device\\KVT_UNKNOWN_0", 0x0A7E0002},
      {"unknown vendor", UsbMidiDevice::Product(0x0001, 0x1234), false, "\\Device\\KVT_UNKNOWN_0", 0x12340001},
      {"unreadable", UsbMidiDevice::Product(0x0001), true, "\\Device\\KVT_UNKNOWN_0", 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bus = std::make_unique<tb::UsbBus>(c.device);
    if (c.unreadable) {
      bus->AddFault(tb::UrbFault{tb::UrbFaultKind::Fail, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1});
    }
    ASSERT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_SUCCESS);
    FdoExtension* ext = FdoExt(tb::TopOfStack(bus->Pdo()));
    EXPECT_EQ(ext->ProductKey, c.key);
    EXPECT_EQ(tb::Narrow(tb::DeviceName(ext->ChildExtension->Self)), c.child);
    EXPECT_EQ(ext->DeviceDescriptor == nullptr, c.unreadable);
    if (c.unreadable) {
      EXPECT_EQ(pnp_->Start(bus->Pdo()), STATUS_DEVICE_CONFIGURATION_ERROR);
      EXPECT_EQ(ReadFdoFlags(ext) & FDO_STARTED, 0u);
      EXPECT_TRUE(bus->UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).empty());
    }
    pnp_->QueryBusRelations(bus->Pdo(), false);
    pnp_->RemoveNow(bus->Pdo());
  }
  ExpectNothingLeft();
}

TEST_F(AddDeviceTest, ShortDeviceDescriptorCountsAsUnreadable) {
  auto bus = std::make_unique<tb::UsbBus>(UsbMidiDevice::Product(0x0003));
  bus->AddFault(tb::UrbFault{tb::UrbFaultKind::ShortData, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 0, 0, 0, 8});
  ASSERT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_SUCCESS);
  FdoExtension* ext = FdoExt(tb::TopOfStack(bus->Pdo()));
  EXPECT_EQ(ext->DeviceDescriptor, nullptr);
  EXPECT_EQ(ext->ProductKey, 0u);
  pnp_->RemoveNow(bus->Pdo());
  ExpectNothingLeft();
}

TEST_F(AddDeviceTest, IdlePowerStateFromTheSleepStates) {
  struct Case {
    DEVICE_POWER_STATE s1, s2, s3;
    ULONG idle;
  } cases[] = {
      {PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
      {PowerDeviceD2, PowerDeviceD1, PowerDeviceD3, PowerDeviceD1},
      {PowerDeviceD2, PowerDeviceD2, PowerDeviceD2, PowerDeviceD2},
      {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, 0},
  };
  for (auto& c : cases) {
    auto bus = std::make_unique<tb::UsbBus>();
    DEVICE_CAPABILITIES caps{};
    caps.DeviceState[PowerSystemSleeping1] = c.s1;
    caps.DeviceState[PowerSystemSleeping2] = c.s2;
    caps.DeviceState[PowerSystemSleeping3] = c.s3;
    bus->SetCapabilities(caps);
    ASSERT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_SUCCESS);
    FdoExtension* ext = FdoExt(tb::TopOfStack(bus->Pdo()));
    EXPECT_EQ(ext->IdlePowerState, c.idle) << c.s1 << c.s2 << c.s3;
    EXPECT_EQ(ext->Capabilities.DeviceState[PowerSystemSleeping2], c.s2);
    pnp_->RemoveNow(bus->Pdo());
  }
}

TEST_F(AddDeviceTest, CapabilitiesQueryArrivesPresetAsThePublishedRulesAsk) {
  auto bus = std::make_unique<tb::UsbBus>();
  bus->SetCapabilities(DEVICE_CAPABILITIES{}, false);  // the bus leaves the record alone
  ASSERT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_SUCCESS);
  auto seen = bus->CapabilityQueries();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(seen[0].version, 1);
  EXPECT_EQ(seen[0].address, 0xFFFFFFFFu);
  EXPECT_EQ(seen[0].uiNumber, 0xFFFFFFFFu);
  EXPECT_EQ(seen[0].statusOnArrival, STATUS_NOT_SUPPORTED);
  FdoExtension* ext = FdoExt(tb::TopOfStack(bus->Pdo()));
  EXPECT_EQ(ext->IdlePowerState, 0u);  // nothing reported: every state unspecified
  pnp_->RemoveNow(bus->Pdo());
}

TEST_F(AddDeviceTest, SecondUnitOfAProductFailsCleanly) {
  PDEVICE_OBJECT first = Plug();
  auto bus = std::make_unique<tb::UsbBus>(UsbMidiDevice::Product(0x0001));
  size_t before = tb::OutstandingPool().size();
  EXPECT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(tb::TopOfStack(bus->Pdo()), bus->Pdo());
  EXPECT_FALSE(InterfaceEnabledOn(bus->Pdo()));
  EXPECT_EQ(tb::OutstandingPool().size(), before);
  EXPECT_TRUE(InterfaceEnabledOn(first));
  pnp_->RemoveNow(first);
  ExpectNothingLeft();
}

TEST_F(AddDeviceTest, RefusedAttachFailsWithNoSuchDevice) {
  auto bus = std::make_unique<tb::UsbBus>();
  tb::SetAttachRefused(bus->Pdo(), true);
  EXPECT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(InterfaceEnabledOn(bus->Pdo()));
  ExpectNothingLeft();
}

TEST_F(AddDeviceTest, LinkNameTooLongForTheExtensionRefusesTheDevice) {
  auto bus = std::make_unique<tb::UsbBus>();
  tb::SetInterfaceLinkOverride(bus->Pdo(), u"\\??\\" + std::u16string(252, u'x'));  // 256 characters
  EXPECT_EQ(pnp_->AddDevice(bus->Pdo()), STATUS_OBJECT_NAME_INVALID);
  EXPECT_FALSE(InterfaceEnabledOn(bus->Pdo()));
  ExpectNothingLeft();

  auto fits = std::make_unique<tb::UsbBus>();
  std::u16string link = u"\\??\\" + std::u16string(251, u'y');  // 255 characters
  tb::SetInterfaceLinkOverride(fits->Pdo(), link);
  ASSERT_EQ(pnp_->AddDevice(fits->Pdo()), STATUS_SUCCESS);
  FdoExtension* ext = FdoExt(tb::TopOfStack(fits->Pdo()));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ext->InterfaceLinkName)), link);
  pnp_->RemoveNow(fits->Pdo());
  EXPECT_FALSE(InterfaceEnabledOn(fits->Pdo()));
  ExpectNothingLeft();
}

// One full life - add, start, enumerate the child, remove - with each allocation failed in turn.
TEST_F(AddDeviceTest, EveryAllocationOfAddStartAndRemoveFailedInTurnLeavesNothing) {
  auto life = [&](uint64_t failNth) {
    auto bus = std::make_unique<tb::UsbBus>();
    tb::FaultPlan plan;
    plan.failNth = failNth;
    tb::SetFaultPlan(plan);
    if (NT_SUCCESS(pnp_->AddDevice(bus->Pdo()))) {
      if (NT_SUCCESS(pnp_->Start(bus->Pdo()))) {
        // A start reported good leaves the device usable: both pipes known.
        FdoExtension* fdo = FdoExt(tb::TopOfStack(bus->Pdo()));
        EXPECT_NE(fdo->BulkInPipe, nullptr) << "started without its pipes";
        EXPECT_NE(fdo->BulkOutPipe, nullptr) << "started without its pipes";
      }
      pnp_->QueryBusRelations(bus->Pdo());
      pnp_->Remove(bus->Pdo());
    }
    uint64_t count = tb::AllocationCount();
    tb::ClearFaults();
    ExpectNothingLeft();
    for (auto& i : tb::Interfaces()) EXPECT_FALSE(i.enabled);
    return count;
  };
  uint64_t total = life(0);
  ASSERT_GT(total, 10u);
  for (uint64_t n = 1; n <= total; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    life(n);
  }
}
