// Plug and Play on the child device: identity, capabilities, relations, start, stop, removal.
#include <cstring>

#include "support/usb_fixture.h"

class ChildPnpTest : public UsbDriverTest {
 protected:
  void SetUp() override {
    UsbDriverTest::SetUp();
    pdo_ = PlugAndStart();
    child_ = pnp_->QueryBusRelations(pdo_, false)[0];
  }
  void TearDown() override {
    if (pnp_) pnp_->Remove(pdo_);
    UsbDriverTest::TearDown();
  }
  // Sends a PnP request to the child with Information preset to `information`.
  tb::Result SendChild(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill, ULONG_PTR information = 0) {
    PIRP irp = tb::AllocateSystemIrp(child_->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_PNP;
    s->MinorFunction = minor;
    if (fill) fill(s);
    return tb::SendAndWait(child_, irp);
  }
  std::vector<uint8_t> Id(BUS_QUERY_ID_TYPE type, POOL_TYPE* pool = nullptr) {
    tb::Result r = SendChild(IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return Take(r, pool);
  }
  std::vector<uint8_t> Take(const tb::Result& r, POOL_TYPE* pool) {
    if (r.information == 0) return {};
    void* block = reinterpret_cast<void*>(r.information);
    size_t size = 0;
    ULONG tag = 0;
    for (auto& b : tb::OutstandingPool()) {
      if (b.address == block) {
        size = b.size;
        tag = b.tag;
        if (pool) *pool = b.type;
      }
    }
    EXPECT_EQ(tag, DRIVER_POOL_TAG);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + size);
    tb::SystemFreePool(block);
    return bytes;
  }
  static std::vector<uint8_t> Utf16(const std::string& s, int zeros) {
    std::vector<uint8_t> out;
    for (char c : s) {
      out.push_back(static_cast<uint8_t>(c));
      out.push_back(0);
    }
    for (int i = 0; i < zeros; i++) out.insert(out.end(), {0, 0});
    return out;
  }
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT child_ = nullptr;
};

TEST_F(ChildPnpTest, IdentityBlocksAreByteExactForTheFirstProduct) {
  POOL_TYPE pool = NonPagedPool;
  auto device = Id(BusQueryDeviceID, &pool);
  EXPECT_EQ(pool, PagedPool);
  auto hardware = Id(BusQueryHardwareIDs);
  auto instance = Id(BusQueryInstanceID);
  EXPECT_EQ(device.size(), 88u);
  EXPECT_EQ(device, Utf16("USB\\{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}", 2));
  EXPECT_EQ(hardware, device);
  EXPECT_EQ(instance.size(), 80u);
  EXPECT_EQ(instance, Utf16("{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}", 2));
  tb::Result t = SendChild(IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
  });
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  EXPECT_EQ(Take(t, &pool), Utf16("TARVEL Manifold USB", 1));
  EXPECT_EQ(pool, PagedPool);
}

TEST_F(ChildPnpTest, QueriesWithoutAnAnswerLeaveInformationAsItCame) {
  const ULONG_PTR mark = 0x5A5A;
  for (int type : {4, 5, -1}) {
    tb::Result r = SendChild(IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) {
      s->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
    }, mark);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << type;
    EXPECT_EQ(r.information, mark) << type;
  }
  tb::Result compatible = SendChild(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryId.IdType = BusQueryCompatibleIDs;
  }, mark);
  EXPECT_EQ(compatible.status, STATUS_SUCCESS);
  EXPECT_EQ(compatible.information, 0u);
  tb::Result location = SendChild(IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextLocationInformation;
  }, mark);
  EXPECT_EQ(location.status, STATUS_SUCCESS);
  EXPECT_EQ(location.information, mark);
  for (auto type : {BusRelations, EjectionRelations, PowerRelations, RemovalRelations}) {
    tb::Result r = SendChild(IRP_MN_QUERY_DEVICE_RELATIONS,
                             [type](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = type; }, mark);
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.information, mark);
  }
  for (UCHAR minor : {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_BUS_INFORMATION}) {
    tb::Result r = SendChild(minor, nullptr, mark);
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.information, mark);
  }
  // Surprise removal may not be failed: it succeeds and leaves Information alone.
  tb::Result surprise = SendChild(IRP_MN_SURPRISE_REMOVAL, nullptr, mark);
  EXPECT_EQ(surprise.status, STATUS_SUCCESS);
  EXPECT_EQ(surprise.information, mark);
}

TEST_F(ChildPnpTest, TargetRelationNamesTheChildWithAReference) {
  tb::Result r = SendChild(IRP_MN_QUERY_DEVICE_RELATIONS,
                           [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; });
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
  ASSERT_EQ(list->Count, 1u);
  EXPECT_EQ(list->Objects[0], child_);
  EXPECT_EQ(tb::ObjectReferences(child_), 2);  // the manager's own and the answer's
  ObfDereferenceObject(child_);
  tb::SystemFreePool(list);
}

static ULONG FlagWord(const DEVICE_CAPABILITIES& caps) {
  ULONG w;
  std::memcpy(&w, reinterpret_cast<const char*>(&caps) + 4, sizeof w);
  return w;
}
static void SetFlagWord(DEVICE_CAPABILITIES* caps, ULONG w) { std::memcpy(reinterpret_cast<char*>(caps) + 4, &w, sizeof w); }

TEST_F(ChildPnpTest, CapabilitiesEditOnlyTheirFields) {
  for (ULONG flags : {0xFFFFFFFFu, 0u}) {
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0x77, sizeof caps);
    SetFlagWord(&caps, flags);
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    tb::Result r = SendChild(IRP_MN_QUERY_CAPABILITIES,
                             [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(FlagWord(caps), flags ? 0xFFFFFFD3u : 0x50u);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.D1Latency + caps.D2Latency + caps.D3Latency, 0u);
    EXPECT_EQ(caps.Address, 0x77777777u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  }
}

TEST_F(ChildPnpTest, StartStopAndQueriesChangeOnlyTheStartedBit) {
  EXPECT_EQ(PdoExt(child_)->Flags, 0u);
  EXPECT_EQ(SendChild(IRP_MN_START_DEVICE, nullptr).status, STATUS_SUCCESS);
  EXPECT_EQ(PdoExt(child_)->Flags, static_cast<ULONG>(PDO_STARTED));
  for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                      IRP_MN_CANCEL_REMOVE_DEVICE}) {
    EXPECT_EQ(SendChild(minor, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(PdoExt(child_)->Flags, static_cast<ULONG>(PDO_STARTED));
  }
  EXPECT_EQ(SendChild(IRP_MN_STOP_DEVICE, nullptr).status, STATUS_SUCCESS);
  EXPECT_EQ(PdoExt(child_)->Flags, 0u);
}

// The child's own remove leaves it (still reported, exactly Removed); it is deleted with its
// parent, taken out of the parent's count first.
TEST_F(ChildPnpTest, ARemovedChildStaysUntilItsParentGoes) {
  PdoExtension* ext = PdoExt(child_);
  pnp_->RemoveNow(child_);
  EXPECT_FALSE(tb::IsDeviceDeleted(child_));
  EXPECT_EQ(ReadPdoFlags(ext), static_cast<ULONG>(PDO_REMOVED));
  EXPECT_EQ(ext_->ChildCount, 1u);
  ULONG flagsAtDeletion = 0;
  ULONG countAtDeletion = 1;
  tb::SetDeleteHook([&](PDEVICE_OBJECT d) {
    if (d != child_) return;
    flagsAtDeletion = ext->Flags;
    countAtDeletion = ext_->ChildCount;
  });
  pnp_->RemoveNow(pdo_);
  tb::SetDeleteHook(nullptr);
  pnp_.reset();
  EXPECT_EQ(flagsAtDeletion, static_cast<ULONG>(PDO_REMOVED));
  EXPECT_EQ(countAtDeletion, 0u);
  EXPECT_TRUE(tb::IsDeviceFreed(child_));
}

TEST_F(ChildPnpTest, NoMemoryForAnIdFailsTheQuery) {
  tb::FaultPlan plan;
  plan.failAll = true;
  tb::SetFaultPlan(plan);
  tb::Result r = SendChild(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryDeviceID; }, 7);
  tb::Result t = SendChild(IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
  }, 7);
  tb::Result rel = SendChild(IRP_MN_QUERY_DEVICE_RELATIONS,
                             [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; }, 7);
  tb::ClearFaults();
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(t.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(rel.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(rel.information, 7u);
}

class ChildProductsTest : public UsbDriverTest {};

TEST_F(ChildProductsTest, EachProductAnswersItsOwnRow) {
  struct Case {
    tb::UsbMidiDevice device;
    const char* id;
    const char* text;
  } cases[] = {
      {tb::UsbMidiDevice::Product(0x0003), "USB\\{0A7E0003-5B1F-11d3-9C4E-0060B3A41D27}", "TARVEL DUET"},
      {tb::UsbMidiDevice::Product(0x0007), "USB\\{C84D1E0B-5B1F-11d3-9C4E-0060B3A41D27}", "Unsupported Device"},
  };
  for (auto& c : cases) {
    PDEVICE_OBJECT pdo = PlugAndStart(c.device);
    const tb::PnpNode* child = pnp_->Node(pnp_->QueryBusRelations(pdo)[0]);
    EXPECT_EQ(tb::Narrow(child->deviceId), c.id);
    EXPECT_EQ(tb::Narrow(child->instanceId), std::string(c.id).substr(4));
    EXPECT_EQ(tb::Narrow(child->text), c.text);
    EXPECT_EQ(child->deviceIdBytes.size(), 88u);
    EXPECT_EQ(child->instanceIdBytes.size(), 80u);
    pnp_->Remove(pdo);
  }
}
