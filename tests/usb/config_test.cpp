// USB configuration and pipes, driven by start, stop and removal through the PnP manager.
#include "support/usb_fixture.h"

using tb::UrbFault;
using tb::UrbFaultKind;
using tb::UsbEndpointLayout;
using tb::UsbMidiDevice;

class ConfigTest : public UsbDriverTest {
 protected:
  std::vector<tb::UrbRecord> ConfigReads(tb::UsbBus* bus) {
    std::vector<tb::UrbRecord> out;
    for (auto& r : bus->UrbsOf(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
      if (r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) out.push_back(r);
    }
    return out;
  }
  USBD_PIPE_HANDLE BusPipe(tb::UsbBus* bus, UCHAR endpoint) {
    for (auto& p : bus->Pipes()) {
      if (p.endpoint == endpoint && p.interfaceNumber == 2) return p.handle;
    }
    return nullptr;
  }
};

TEST_F(ConfigTest, StartReadsHeaderThenWholeDescriptorAndSelectsInterfaceTwo) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  auto reads = ConfigReads(bus);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].requestedLength, 9u);
  EXPECT_EQ(reads[1].requestedLength, 32u);
  EXPECT_EQ(reads[1].returnedLength, 32u);

  auto selects = bus->UrbsOf(URB_FUNCTION_SELECT_INTERFACE);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].urbLength, GET_SELECT_INTERFACE_REQUEST_SIZE(2));
  EXPECT_EQ(selects[0].maximumTransferSizes, (std::vector<ULONG>{32, 32}));
  EXPECT_EQ(selects[0].status, STATUS_SUCCESS);

  EXPECT_EQ(ext_->ConfigurationHandle, bus->ConfigurationHandle());
  EXPECT_EQ(ext_->BulkInPipe, BusPipe(bus, 0x81));
  EXPECT_EQ(ext_->BulkOutPipe, BusPipe(bus, 0x02));
  ASSERT_NE(ext_->InterfaceInfo, nullptr);
  EXPECT_EQ(ext_->InterfaceInfo->Length, GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(ext_->InterfaceInfo->NumberOfPipes, 2u);
  EXPECT_EQ(ext_->ConfigurationDescriptor->wTotalLength, 32);
  EXPECT_TRUE(IsReady(fdo_));
  pnp_->Remove(pdo);
}

TEST_F(ConfigTest, PipesFoundWhateverTheEndpointLayout) {
  struct Case {
    const char* name;
    std::vector<UsbEndpointLayout> endpoints;
    UCHAR in;   // endpoint expected as BulkInPipe, 0 none
    UCHAR out;  // endpoint expected as BulkOutPipe, 0 none
  } cases[] = {
      {"out first", {{0x02, 2, 64, 0}, {0x81, 2, 64, 0}}, 0x81, 0x02},
      {"two in: the later wins", {{0x81, 2, 64, 0}, {0x83, 2, 64, 0}, {0x02, 2, 64, 0}}, 0x83, 0x02},
      {"no out", {{0x81, 2, 64, 0}}, 0x81, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT pdo = PlugAndStart(UsbMidiDevice::Product(0x0001).WithEndpoints(c.endpoints));
    tb::UsbBus* bus = Bus(pdo);
    EXPECT_EQ(ext_->BulkInPipe, c.in ? BusPipe(bus, c.in) : nullptr);
    EXPECT_EQ(ext_->BulkOutPipe, c.out ? BusPipe(bus, c.out) : nullptr);
    EXPECT_NE(ext_->BulkInPipe, nullptr);
    pnp_->Remove(pdo);
  }
}

TEST_F(ConfigTest, PipeTypeTakenOnlyFromAPlainAttributesByte) {
  PDEVICE_OBJECT pdo = PlugAndStart(UsbMidiDevice::Product(0x0001).WithEndpoints(
      {{0x81, 0x02, 64, 0}, {0x02, 0x42, 64, 0}, {0x83, 0x03, 8, 4}}));
  auto selects = Bus(pdo)->UrbsOf(URB_FUNCTION_SELECT_INTERFACE);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0].pipeTypesAsked, (std::vector<int>{UsbdPipeTypeBulk, UsbdPipeTypeControl, UsbdPipeTypeInterrupt}));
  pnp_->Remove(pdo);
}

TEST_F(ConfigTest, OtherInterfacesAroundTheMidiInterfaceAreSkipped) {
  PDEVICE_OBJECT pdo = PlugAndStart(UsbMidiDevice::Product(0x0001).WithOtherInterfaces());
  tb::UsbBus* bus = Bus(pdo);
  EXPECT_EQ(ext_->InterfaceInfo->InterfaceNumber, 2);
  EXPECT_EQ(ext_->InterfaceInfo->AlternateSetting, 0);
  EXPECT_EQ(ext_->BulkInPipe, BusPipe(bus, 0x81));
  EXPECT_EQ(ext_->BulkOutPipe, BusPipe(bus, 0x02));
  pnp_->Remove(pdo);
}

TEST_F(ConfigTest, UnreadableConfigurationEndsTheStartWithoutSelecting) {
  struct Case {
    const char* name;
    UrbFault fault;
    NTSTATUS expected;
  } cases[] = {
      {"read fails", UrbFault{UrbFaultKind::Fail, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 0, STATUS_IO_TIMEOUT},
       STATUS_IO_TIMEOUT},
      {"no bytes", UrbFault{UrbFaultKind::ShortData, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 0, 0, 0, 0},
       STATUS_DEVICE_DATA_ERROR},
      {"whole descriptor short", UrbFault{UrbFaultKind::ShortData, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 2, 0, 0, 20},
       STATUS_DEVICE_DATA_ERROR},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    PDEVICE_OBJECT pdo = Plug();
    Bus(pdo)->AddFault(c.fault);
    EXPECT_EQ(pnp_->Start(pdo), c.expected);
    EXPECT_TRUE(Bus(pdo)->UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).empty());
    EXPECT_FALSE(Bus(pdo)->Configured());
    pnp_->RemoveNow(pdo);
  }
}

// Descriptor bytes for the malformed cases: a header, interface 2 and its endpoints.
static std::vector<uint8_t> Config(std::vector<uint8_t> body, int total = -1) {
  std::vector<uint8_t> out{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  out.insert(out.end(), body.begin(), body.end());
  size_t t = total < 0 ? out.size() : static_cast<size_t>(total);
  out[2] = static_cast<uint8_t>(t);
  out[3] = static_cast<uint8_t>(t >> 8);
  return out;
}

TEST_F(ConfigTest, MalformedDescriptorsFailTheStartCleanly) {
  const std::vector<uint8_t> ifc{9, 4, 2, 0, 2, 0xFF, 0, 0, 0};
  const std::vector<uint8_t> in{7, 5, 0x81, 2, 64, 0, 0};
  const std::vector<uint8_t> out{7, 5, 0x02, 2, 64, 0, 0};
  auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> r;
    for (auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"total beyond the bytes", Config(cat({ifc, in, out}), 40)},
      {"total below a header", Config(cat({ifc, in, out}), 7)},
      {"zero bLength inside", Config(cat({ifc, {0, 5, 0x81, 2, 64, 0, 0}, out}))},
      {"bLength past the end", Config(cat({ifc, in, {20, 5, 0x02, 2, 64, 0, 0}}))},
      {"endpoint count past the end", Config(cat({{9, 4, 2, 0, 3, 0xFF, 0, 0, 0}, in, out}))},
      {"class descriptor before the endpoints", Config(cat({ifc, {6, 0x24, 1, 0, 1, 0}, in, out}))},
      {"not a configuration descriptor", [&] { auto b = Config(cat({ifc, in, out})); b[1] = 4; return b; }()},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    UsbMidiDevice device = UsbMidiDevice::Product(0x0001);
    device.rawConfiguration = c.bytes;
    PDEVICE_OBJECT pdo = Plug(device);
    EXPECT_EQ(pnp_->Start(pdo), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(Bus(pdo)->UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).empty());
    pnp_->RemoveNow(pdo);
  }
}

TEST_F(ConfigTest, MissingMidiInterfaceKeepsTheConfigurationHandle) {
  UsbMidiDevice device = UsbMidiDevice::Product(0x0001);
  device.interfaces[0].number = 1;
  PDEVICE_OBJECT pdo = Plug(device);
  EXPECT_EQ(pnp_->Start(pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ext_->ConfigurationHandle, Bus(pdo)->ConfigurationHandle());
  EXPECT_NE(ext_->ConfigurationHandle, nullptr);
  EXPECT_EQ(ext_->InterfaceInfo, nullptr);
  EXPECT_NE(ReadFdoFlags(ext_) & FDO_STARTED, 0u);
  pnp_->RemoveNow(pdo);
}

TEST_F(ConfigTest, StopUnconfiguresAndRestartReplacesEverything) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  USBD_PIPE_HANDLE oldIn = ext_->BulkInPipe;
  USBD_CONFIGURATION_HANDLE oldConfig = ext_->ConfigurationHandle;
  ASSERT_EQ(pnp_->QueryStop(pdo), STATUS_SUCCESS);
  ASSERT_EQ(pnp_->Stop(pdo), STATUS_SUCCESS);
  auto unconfigure = bus->UrbsOf(URB_FUNCTION_SELECT_CONFIGURATION).back();
  EXPECT_TRUE(unconfigure.nullConfiguration);
  EXPECT_EQ(unconfigure.urbLength, sizeof(struct _URB_SELECT_CONFIGURATION));
  EXPECT_FALSE(bus->Configured());
  EXPECT_FALSE(bus->IsValidPipe(oldIn));
  EXPECT_EQ(ReadFdoFlags(ext_) & (FDO_STARTED | FDO_STOP_PENDING), 0u);

  ASSERT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  EXPECT_EQ(ConfigReads(bus).size(), 4u);
  EXPECT_NE(ext_->ConfigurationHandle, oldConfig);
  EXPECT_NE(ext_->BulkInPipe, oldIn);
  EXPECT_TRUE(bus->IsValidPipe(ext_->BulkInPipe));
  EXPECT_TRUE(bus->IsValidPipe(ext_->BulkOutPipe));
  EXPECT_TRUE(IsReady(fdo_));
  pnp_->Remove(pdo);
}

TEST_F(ConfigTest, StopWhoseUnconfigureFailsIsNotPassedDown) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  bus->AddFault(UrbFault{UrbFaultKind::Fail, URB_FUNCTION_SELECT_CONFIGURATION, -1, 0, STATUS_DEVICE_NOT_CONNECTED});
  ASSERT_EQ(pnp_->QueryStop(pdo), STATUS_SUCCESS);
  EXPECT_FALSE(IsReady(fdo_));
  EXPECT_EQ(pnp_->Stop(pdo), STATUS_DEVICE_NOT_CONNECTED);
  for (auto& seen : bus->PnpRequests()) EXPECT_NE(seen.minor, IRP_MN_STOP_DEVICE);
  EXPECT_EQ(ReadFdoFlags(ext_) & (FDO_STARTED | FDO_STOP_PENDING), static_cast<ULONG>(FDO_STARTED));
  EXPECT_TRUE(IsReady(fdo_));
  bus->ClearFaults();
  pnp_->Remove(pdo);
}

TEST_F(ConfigTest, AbortsOnAGoneDeviceFailAndAreNotCounted) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  auto in = ext_->BulkInPipe;
  bus->Unplug();
  tb::Result r = pnp_->Send(pdo, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  auto aborts = bus->UrbsOf(URB_FUNCTION_ABORT_PIPE);
  ASSERT_EQ(aborts.size(), 1u);  // the first failure ends the aborts
  EXPECT_EQ(aborts[0].pipe, in);
  EXPECT_EQ(aborts[0].status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(aborts[0].usbdStatus, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(ext_->OpenPipeCount, 0);
  EXPECT_FALSE(IsReady(fdo_));
  pnp_->RemoveNow(pdo);
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo_));
}

TEST_F(ConfigTest, AbortsAtSurpriseRemovalAndRemovalBothCount) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  tb::Result r = pnp_->Send(pdo, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(ext_->OpenPipeCount, 0);  // no stream held the pipes: nothing to lower
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  pnp_->RemoveNow(pdo);
  auto aborts = bus->UrbsOf(URB_FUNCTION_ABORT_PIPE);
  ASSERT_EQ(aborts.size(), 4u);
  for (auto& a : aborts) EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo_));
}

TEST_F(ConfigTest, RemovalOfANeverStartedDeviceSendsNoAbort) {
  PDEVICE_OBJECT pdo = Plug();
  pnp_->RemoveNow(pdo);
  EXPECT_TRUE(Bus(pdo)->UrbsOf(URB_FUNCTION_ABORT_PIPE).empty());
}

TEST_F(ConfigTest, UrbsCompletedLaterFromAnotherThreadAreWaitedFor) {
  PDEVICE_OBJECT pdo = Plug();
  Bus(pdo)->AddFault(UrbFault{UrbFaultKind::Pend});
  EXPECT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(IsReady(fdo_));
  EXPECT_EQ(ext_->BulkOutPipe, BusPipe(Bus(pdo), 0x02));
  pnp_->Remove(pdo);
  Bus(pdo)->Drain();
}

TEST_F(ConfigTest, SubmitUrbWithoutARequestReportsNoResources) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  urb.UrbPipeRequest.PipeHandle = ext_->BulkInPipe;
  tb::FaultPlan plan;
  plan.failAllIrps = true;
  tb::SetFaultPlan(plan);
  EXPECT_EQ(SubmitUrb(fdo_, &urb), STATUS_INSUFFICIENT_RESOURCES);
  tb::ClearFaults();
  EXPECT_TRUE(Bus(pdo)->UrbsOf(URB_FUNCTION_ABORT_PIPE).empty());
  pnp_->Remove(pdo);
}
