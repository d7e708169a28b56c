// The PnP manager's sequences with the real driver and with a bus driver written here:
// enumeration, removal order and handles, the worker, disable and enable, the log.
#include <chrono>
#include <thread>

#include "support/usb_fixture.h"

class PnpManagerTest : public UsbDriverTest {
 protected:
  size_t IndexOf(const std::string& device, const std::string& request) {
    auto log = pnp_->Log();
    for (size_t i = 0; i < log.size(); i++) {
      if (log[i].device == device && log[i].request == request) return i;
    }
    return SIZE_MAX;
  }
};

TEST_F(PnpManagerTest, EnumeratesTheChildAndLogsItsIdentity) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  auto children = pnp_->QueryBusRelations(pdo);
  ASSERT_EQ(children.size(), 1u);
  const tb::PnpNode* child = pnp_->Node(children[0]);
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(child->started);
  EXPECT_EQ(tb::Narrow(child->deviceId), "USB\\{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}");
  ASSERT_EQ(child->hardwareIds.size(), 1u);
  EXPECT_EQ(child->hardwareIds[0], child->deviceId);
  EXPECT_EQ(tb::Narrow(child->instanceId), "{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}");
  EXPECT_EQ(tb::Narrow(child->text), "TARVEL Manifold USB");
  EXPECT_TRUE(child->identityPaged);
  std::string printed = pnp_->PrintLog();
  EXPECT_NE(printed.find("QUERY_ID InstanceID -> 0x00000000  {0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}||"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("QUERY_DEVICE_TEXT Description -> 0x00000000  TARVEL Manifold USB"), std::string::npos);
  EXPECT_EQ(PdoExt(children[0])->Flags, static_cast<ULONG>(PDO_STARTED));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, ChildrenAreRemovedBeforeTheirParent) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  pnp_->QueryBusRelations(pdo);
  pnp_->ClearLog();
  ASSERT_EQ(pnp_->Remove(pdo), STATUS_SUCCESS);
  size_t childQuery = IndexOf("child of usb#1", "QUERY_REMOVE_DEVICE");
  size_t parentQuery = IndexOf("usb#1", "QUERY_REMOVE_DEVICE");
  size_t childRemove = IndexOf("child of usb#1", "REMOVE_DEVICE");
  size_t parentRemove = IndexOf("usb#1", "REMOVE_DEVICE");
  EXPECT_LT(childQuery, parentQuery);
  EXPECT_LT(parentQuery, childRemove);
  EXPECT_LT(childRemove, parentRemove);
  EXPECT_NE(parentRemove, SIZE_MAX);
}

TEST_F(PnpManagerTest, RemovalOfAChildWaitsForItsHandles) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  pnp_->OpenHandle(child);
  int calls = 0;
  pnp_->beforeChildRemove = [&](PDEVICE_OBJECT c) {
    calls++;
    EXPECT_EQ(c, child);
    pnp_->CloseHandle(c);
  };
  pnp_->Remove(pdo);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
}

TEST_F(PnpManagerTest, AChildMissingFromANewAnswerIsRemoved) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  ext_->ChildCount = 0;  // the parent no longer reports it
  EXPECT_TRUE(pnp_->QueryBusRelations(pdo).empty());
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
  EXPECT_LT(IndexOf("child of usb#1", "SURPRISE_REMOVAL"), IndexOf("child of usb#1", "REMOVE_DEVICE"));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, StopAndRestartKeepsTheDeviceUsable) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  EXPECT_EQ(pnp_->StopAndRestart(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(IsReady(fdo_));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, TwoProductsLiveSideBySide) {
  PDEVICE_OBJECT one = PlugAndStart(tb::UsbMidiDevice::Product(0x0001));
  PDEVICE_OBJECT duet = PlugAndStart(tb::UsbMidiDevice::Product(0x0003));
  PDEVICE_OBJECT c1 = pnp_->QueryBusRelations(one)[0];
  PDEVICE_OBJECT c3 = pnp_->QueryBusRelations(duet)[0];
  EXPECT_EQ(tb::Narrow(pnp_->Node(c3)->text), "TARVEL DUET");
  EXPECT_NE(pnp_->Node(c1)->instanceId, pnp_->Node(c3)->instanceId);
  pnp_->Remove(one);
  pnp_->Remove(duet);
}

// The platform sends REMOVE_DEVICE after a surprise removal only once every handle is closed,
// and a parent's only after its children's.
TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheChildsHandlesThenRemovesChildAndParent) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  PDEVICE_OBJECT fdo = fdo_;
  pnp_->OpenHandle(child);
  pnp_->ClearLog();
  pnp_->SurpriseRemove(pdo);
  EXPECT_LT(IndexOf("child of usb#1", "SURPRISE_REMOVAL"), IndexOf("usb#1", "SURPRISE_REMOVAL"));
  EXPECT_NE(IndexOf("child of usb#1", "REMOVE_DEVICE deferred"), SIZE_MAX);
  EXPECT_EQ(IndexOf("child of usb#1", "REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_EQ(IndexOf("usb#1", "REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_FALSE(tb::IsDeviceDeleted(child));
  EXPECT_FALSE(tb::IsDeviceDeleted(fdo));

  pnp_->CloseHandle(child);
  ASSERT_TRUE(pnp_->WaitIdle());
  size_t childRemove = IndexOf("child of usb#1", "REMOVE_DEVICE");
  size_t parentRemove = IndexOf("usb#1", "REMOVE_DEVICE");
  ASSERT_NE(parentRemove, SIZE_MAX);
  EXPECT_LT(childRemove, parentRemove);
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo));
}

TEST_F(PnpManagerTest, AVanishedChildGoesWhenItsLastHandleClosesAndItsParentWaitsForIt) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  PDEVICE_OBJECT fdo = fdo_;
  pnp_->OpenHandle(child);
  pnp_->OpenHandle(child);
  ext_->ChildCount = 0;  // the parent no longer reports it
  EXPECT_TRUE(pnp_->QueryBusRelations(pdo).empty());
  EXPECT_NE(IndexOf("child of usb#1", "SURPRISE_REMOVAL"), SIZE_MAX);
  EXPECT_EQ(IndexOf("child of usb#1", "REMOVE_DEVICE"), SIZE_MAX);
  // The parent's removal is asked for and agreed to; its REMOVE_DEVICE waits for the child's.
  EXPECT_EQ(pnp_->Remove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(IndexOf("usb#1", "REMOVE_DEVICE"), SIZE_MAX);
  pnp_->CloseHandle(child);
  ASSERT_TRUE(pnp_->WaitIdle());
  EXPECT_EQ(IndexOf("child of usb#1", "REMOVE_DEVICE"), SIZE_MAX);  // one handle is still open
  EXPECT_FALSE(tb::IsDeviceDeleted(fdo));

  pnp_->CloseHandle(child);
  ASSERT_TRUE(pnp_->WaitIdle());
  size_t childRemove = IndexOf("child of usb#1", "REMOVE_DEVICE");
  size_t parentRemove = IndexOf("usb#1", "REMOVE_DEVICE");
  ASSERT_NE(parentRemove, SIZE_MAX);
  EXPECT_LT(childRemove, parentRemove);
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo));
}

// The platform counts open handles once the query-remove is answered: one left vetoes the
// removal, and everything asked is told of the cancel.
TEST_F(PnpManagerTest, AnOrderlyRemovalWithAHandleLeftOpenIsVetoed) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  pnp_->OpenHandle(child);
  pnp_->ClearLog();
  EXPECT_EQ(pnp_->Remove(pdo), STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_NE(IndexOf("child of usb#1", "QUERY_REMOVE_DEVICE vetoed"), SIZE_MAX);
  EXPECT_NE(IndexOf("child of usb#1", "CANCEL_REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_NE(IndexOf("usb#1", "CANCEL_REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_EQ(IndexOf("child of usb#1", "REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_EQ(IndexOf("usb#1", "REMOVE_DEVICE"), SIZE_MAX);
  EXPECT_FALSE(tb::IsDeviceDeleted(child));
  EXPECT_TRUE(IsReady(fdo_));

  pnp_->CloseHandle(child);
  EXPECT_EQ(pnp_->Remove(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
}

TEST_F(PnpManagerTest, InvalidatedBusRelationsAreQueriedAgainOnTheManagersWorker) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  IoInvalidateDeviceRelations(pdo, BusRelations);
  ASSERT_TRUE(pnp_->WaitIdle());
  std::vector<PDEVICE_OBJECT> children = pnp_->Children(pdo);
  ASSERT_EQ(children.size(), 1u);
  PDEVICE_OBJECT child = children[0];
  EXPECT_TRUE(pnp_->Node(child)->started);
  EXPECT_NE(IndexOf("child of usb#1", "QUERY_ID DeviceID"), SIZE_MAX);

  ext_->ChildCount = 0;
  IoInvalidateDeviceRelations(pdo, BusRelations);
  ASSERT_TRUE(pnp_->WaitIdle());
  EXPECT_TRUE(pnp_->Children(pdo).empty());
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
  EXPECT_LT(IndexOf("child of usb#1", "SURPRISE_REMOVAL"), IndexOf("child of usb#1", "REMOVE_DEVICE"));
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, AnInvalidationWaitsForTheOperationInProgress) {
  PDEVICE_OBJECT one = PlugAndStart();
  PDEVICE_OBJECT duet = PlugAndStart(tb::UsbMidiDevice::Product(0x0003));
  pnp_->QueryBusRelations(one);
  pnp_->ClearLog();
  size_t queriedInside = 0;
  pnp_->beforeChildRemove = [&](PDEVICE_OBJECT) {
    IoInvalidateDeviceRelations(duet, BusRelations);
    // Time enough for a worker that ignored the operation in progress to get in.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    queriedInside = IndexOf("usb#2", "QUERY_DEVICE_RELATIONS BusRelations");
  };
  ASSERT_EQ(pnp_->Remove(one), STATUS_SUCCESS);
  ASSERT_TRUE(pnp_->WaitIdle());
  EXPECT_EQ(queriedInside, SIZE_MAX);
  size_t query = IndexOf("usb#2", "QUERY_DEVICE_RELATIONS BusRelations");
  ASSERT_NE(query, SIZE_MAX);
  EXPECT_LT(IndexOf("usb#1", "REMOVE_DEVICE"), query);
  EXPECT_EQ(pnp_->Children(duet).size(), 1u);
  pnp_->Remove(duet);
}

TEST_F(PnpManagerTest, AReportedChildIsAPhysicalDeviceObjectNamedByItsIds) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo, false)[0];
  GUID guid{0x5E3A91D7, 0x4B2C, 0x11D3, {0x9C, 0x4E, 0x00, 0x60, 0xB3, 0xA4, 0x1D, 0x27}};
  auto link = [&]() -> std::string {
    UNICODE_STRING s{};
    NTSTATUS status = IoRegisterDeviceInterface(child, &guid, nullptr, &s);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return "";
    std::string text = tb::Narrow(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
    RtlFreeUnicodeString(&s);
    return text;
  };
  // Before its IDs are asked for, under a provisional instance path.
  EXPECT_EQ(link().rfind("\\??\\PROVISIONAL#", 0), 0u);
  ASSERT_EQ(pnp_->EnumerateChild(child), STATUS_SUCCESS);
  EXPECT_EQ(link(),
            "\\??\\USB#{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}#{0A7E0001-5B1F-11d3-9C4E-0060B3A41D27}"
            "#{5E3A91D7-4B2C-11D3-9C4E-0060B3A41D27}");
  pnp_->Remove(pdo);
}

TEST_F(PnpManagerTest, DisablingTheDeviceRemovesItsDriversAndEnablingAddsThemAgain) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  PDEVICE_OBJECT child = pnp_->QueryBusRelations(pdo)[0];
  pnp_->ClearLog();
  ASSERT_EQ(pnp_->Disable(pdo), STATUS_SUCCESS);
  EXPECT_LT(IndexOf("child of usb#1", "QUERY_REMOVE_DEVICE"), IndexOf("usb#1", "QUERY_REMOVE_DEVICE"));
  EXPECT_LT(IndexOf("child of usb#1", "REMOVE_DEVICE"), IndexOf("usb#1", "REMOVE_DEVICE"));
  EXPECT_EQ(tb::TopOfStack(pdo), pdo);  // the function device left; the bus keeps its device
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
  ASSERT_NE(pnp_->Node(pdo), nullptr);
  EXPECT_TRUE(pnp_->Node(pdo)->disabled);
  EXPECT_EQ(pnp_->Enable(child), STATUS_NO_SUCH_DEVICE);  // the child went with its parent

  // The function driver is added to the same physical device again and the new stack started;
  // how that start ends is the driver's.
  pnp_->ClearLog();
  pnp_->Enable(pdo);
  auto log = pnp_->Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0].request, "AddDevice");
  EXPECT_EQ(log[0].status, STATUS_SUCCESS);
  EXPECT_EQ(log[1].request, "START_DEVICE");
  EXPECT_NE(tb::TopOfStack(pdo), pdo);
  EXPECT_FALSE(pnp_->Node(pdo)->disabled);
  EXPECT_EQ(pnp_->Enable(pdo), STATUS_INVALID_DEVICE_STATE);  // not disabled
  pnp_->RemoveNow(pdo);
}

// A bus driver written here the way the platform asks bus drivers to behave: two children, each
// deleted on a REMOVE_DEVICE that comes once the bus no longer reports it, or with the bus.
namespace {
struct ToyExtension {
  bool child;
  PDEVICE_OBJECT lower;     // the bus's next lower device
  PDEVICE_OBJECT kids[2];   // the bus's children
  bool reported[2];
  bool deleted[2];
  PDEVICE_OBJECT parent;    // a child's bus
  int index;                // a child's place on its bus
  int starts;               // START_DEVICE requests a child has had
};
std::mutex gToyLock;
std::vector<std::string> gToySeen;

ToyExtension* Toy(PDEVICE_OBJECT device) { return static_cast<ToyExtension*>(device->DeviceExtension); }

void ToySaw(ToyExtension* x, UCHAR minor) {
  std::lock_guard<std::mutex> guard(gToyLock);
  gToySeen.push_back((x->child ? "kid" + std::to_string(x->index) : std::string("bus")) + " " + tb::PnpMinorName(minor));
}

NTSTATUS NTAPI ToyDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ToyExtension* x = Toy(device);
  ToySaw(x, s->MinorFunction);
  if (x->child) {
    NTSTATUS status = irp->IoStatus.Status;
    switch (s->MinorFunction) {
      case IRP_MN_START_DEVICE:
        x->starts++;
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_REMOVE_DEVICE: {
        ToyExtension* bus = Toy(x->parent);
        if (!bus->reported[x->index] && !bus->deleted[x->index]) {
          bus->deleted[x->index] = true;
          IoDeleteDevice(device);
        }
        status = STATUS_SUCCESS;
        break;
      }
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
      default:
        break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && s->Parameters.QueryDeviceRelations.Type == BusRelations) {
    auto* list = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT), 'syoT'));
    list->Count = 0;
    for (int i = 0; i < 2; i++) {
      if (!x->reported[i]) continue;
      list->Objects[list->Count++] = x->kids[i];
      ObfReferenceObject(x->kids[i]);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  }
  UCHAR minor = s->MinorFunction;  // the request is not ours once passed on
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IofCallDriver(x->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    for (int i = 0; i < 2; i++) {
      if (!x->deleted[i]) IoDeleteDevice(x->kids[i]);
      x->deleted[i] = true;
    }
    IoDetachDevice(x->lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI ToyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(ToyExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  ToyExtension* x = Toy(fdo);
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  for (int i = 0; i < 2; i++) {
    IoCreateDevice(driver, sizeof(ToyExtension), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                   &x->kids[i]);
    ToyExtension* k = Toy(x->kids[i]);
    k->child = true;
    k->parent = fdo;
    k->index = i;
    x->kids[i]->Flags &= ~DO_DEVICE_INITIALIZING;
    x->reported[i] = true;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ToyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = ToyDispatch;
  driver->DriverExtension->AddDevice = ToyAddDevice;
  return STATUS_SUCCESS;
}
}  // namespace

class ToyBusTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    gToySeen.clear();
    PDRIVER_OBJECT driver = tb::LoadDriver(ToyEntry, u"toybus");
    bus_ = std::make_unique<tb::UsbBus>();
    pnp_ = std::make_unique<tb::PnpManager>(driver);
    ASSERT_EQ(pnp_->AddDevice(bus_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->Start(bus_->Pdo()), STATUS_SUCCESS);
    kids_ = pnp_->QueryBusRelations(bus_->Pdo());
    ASSERT_EQ(kids_.size(), 2u);
    fdo_ = tb::TopOfStack(bus_->Pdo());
    Seen();
  }
  void TearDown() override {
    pnp_.reset();
    bus_.reset();
    KernelTest::TearDown();
  }
  // What the toy driver saw since the last call.
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> guard(gToyLock);
    std::vector<std::string> seen;
    seen.swap(gToySeen);
    return seen;
  }
  using Names = std::vector<std::string>;

  std::unique_ptr<tb::UsbBus> bus_;
  std::unique_ptr<tb::PnpManager> pnp_;
  std::vector<PDEVICE_OBJECT> kids_;
  PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(ToyBusTest, ADisabledChildStaysAndIsStartedAgainOnTheSameDeviceObject) {
  PDEVICE_OBJECT a = kids_[0];
  const tb::PnpNode* node = pnp_->Node(a);
  ASSERT_EQ(pnp_->Disable(a), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"kid0 QUERY_REMOVE_DEVICE", "kid0 REMOVE_DEVICE"}));
  EXPECT_FALSE(tb::IsDeviceDeleted(a));
  EXPECT_TRUE(node->disabled);
  // Still reported: the manager knows it and does not enumerate it afresh.
  EXPECT_EQ(pnp_->QueryBusRelations(bus_->Pdo()).size(), 2u);
  EXPECT_EQ(Seen(), (Names{"bus QUERY_DEVICE_RELATIONS"}));
  EXPECT_EQ(pnp_->Node(a), node);
  EXPECT_TRUE(node->disabled);
  ASSERT_EQ(pnp_->Enable(a), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), (Names{"kid0 START_DEVICE"}));
  EXPECT_EQ(Toy(a)->starts, 2);
  EXPECT_TRUE(node->started);
}

TEST_F(ToyBusTest, ADisabledChildThatVanishesGetsItsSecondRemoveAndIsDeleted) {
  PDEVICE_OBJECT a = kids_[0];
  ASSERT_EQ(pnp_->Disable(a), STATUS_SUCCESS);
  Seen();
  Toy(fdo_)->reported[0] = false;
  EXPECT_EQ(pnp_->QueryBusRelations(bus_->Pdo()).size(), 1u);
  EXPECT_EQ(Seen(), (Names{"bus QUERY_DEVICE_RELATIONS", "kid0 REMOVE_DEVICE"}));
  EXPECT_TRUE(tb::IsDeviceDeleted(a));
  EXPECT_TRUE(pnp_->Node(a)->removed);
}

TEST_F(ToyBusTest, TheBusGoesAfterEveryChildAndAfterTheHandlesOnThem) {
  ASSERT_EQ(pnp_->Disable(kids_[0]), STATUS_SUCCESS);
  pnp_->OpenHandle(kids_[1]);
  Seen();
  pnp_->SurpriseRemove(bus_->Pdo());
  // The disabled child runs nothing to surprise; its second removal needs no handle closed.
  EXPECT_EQ(Seen(), (Names{"kid1 SURPRISE_REMOVAL", "bus SURPRISE_REMOVAL", "kid0 REMOVE_DEVICE"}));
  pnp_->CloseHandle(kids_[1]);
  ASSERT_TRUE(pnp_->WaitIdle());
  EXPECT_EQ(Seen(), (Names{"kid1 REMOVE_DEVICE", "bus REMOVE_DEVICE"}));
  EXPECT_TRUE(tb::IsDeviceDeleted(kids_[0]));
  EXPECT_TRUE(tb::IsDeviceDeleted(kids_[1]));
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo_));
}
