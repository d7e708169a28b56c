// Plug and Play on the function device.
#include <atomic>
#include <chrono>
#include <thread>

#include "support/usb_fixture.h"

class FdoPnpTest : public UsbDriverTest {
 protected:
  bool BusSaw(PDEVICE_OBJECT pdo, UCHAR minor) {
    for (auto& s : Bus(pdo)->PnpRequests()) {
      if (s.minor == minor) return true;
    }
    return false;
  }
};

// How many pipe aborts reached the bus before the first `minor`, and whether that request came.
static size_t AbortsBefore(tb::UsbBus* bus, UCHAR minor, bool* seen) {
  size_t aborts = 0;
  *seen = false;
  for (const tb::BusEvent& e : bus->Log()) {
    if (e.kind == tb::BusEvent::Kind::Pnp && e.minor == minor) {
      *seen = true;
      break;
    }
    if (e.kind == tb::BusEvent::Kind::Urb && e.code == URB_FUNCTION_ABORT_PIPE) aborts++;
  }
  return aborts;
}

// The pipes are aborted while the device still takes requests: before the removal goes down.
TEST_F(FdoPnpTest, PipesAreAbortedBeforeTheRemoveGoesDown) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  EXPECT_EQ(pnp_->Remove(pdo), STATUS_SUCCESS);
  bool seen;
  EXPECT_EQ(AbortsBefore(bus, IRP_MN_REMOVE_DEVICE, &seen), 2u);
  EXPECT_TRUE(seen);
  auto aborts = bus->UrbsOf(URB_FUNCTION_ABORT_PIPE);
  ASSERT_EQ(aborts.size(), 2u);
  for (auto& a : aborts) EXPECT_EQ(a.usbdStatus, USBD_STATUS_SUCCESS);
}

TEST_F(FdoPnpTest, PipesAreAbortedBeforeTheSurpriseRemovalGoesDown) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  pnp_->SurpriseRemove(pdo);
  bool seen;
  EXPECT_EQ(AbortsBefore(bus, IRP_MN_SURPRISE_REMOVAL, &seen), 2u);
  EXPECT_TRUE(seen);
  EXPECT_EQ(AbortsBefore(bus, IRP_MN_REMOVE_DEVICE, &seen), 4u) << "and again before the remove";
  EXPECT_TRUE(seen);
}

TEST_F(FdoPnpTest, StartConfiguresEvenWhenTheLowerDriversFailIt) {
  PDEVICE_OBJECT pdo = Plug();
  Bus(pdo)->FailPnp(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(IsReady(fdo_));
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  pnp_->Remove(pdo);
}

TEST_F(FdoPnpTest, QueriesAndCancelsMarkOnlyAStartedDevice) {
  PDEVICE_OBJECT pdo = Plug();
  for (UCHAR minor : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                      IRP_MN_CANCEL_STOP_DEVICE}) {
    EXPECT_EQ(pnp_->Send(pdo, minor).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->Flags, 0u);
    EXPECT_TRUE(BusSaw(pdo, minor));
  }
  ASSERT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pnp_->QueryStop(pdo), STATUS_SUCCESS);
  EXPECT_FALSE(IsReady(fdo_));
  EXPECT_EQ(pnp_->CancelStop(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(IsReady(fdo_));
  EXPECT_EQ(pnp_->QueryRemove(pdo), STATUS_SUCCESS);
  EXPECT_FALSE(IsReady(fdo_));
  EXPECT_EQ(pnp_->CancelRemove(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(IsReady(fdo_));
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  pnp_->Remove(pdo);
}

TEST_F(FdoPnpTest, QueryRefusedBelowIsReturned) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  Bus(pdo)->FailPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
  EXPECT_EQ(pnp_->Remove(pdo), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(IsReady(fdo_));  // the manager cancelled the query
  pnp_->RemoveNow(pdo);
}

// Sends a set-power request to the function device on its own thread; the bus holds it.
static std::thread PowerRequestHeldBelow(PDEVICE_OBJECT fdo, std::atomic<bool>* done) {
  return std::thread([fdo, done] {
    tb::Call(fdo, [](PIO_STACK_LOCATION s, PIRP) {
      s->MajorFunction = IRP_MJ_POWER;
      s->MinorFunction = IRP_MN_SET_POWER;
      s->Parameters.Power.Type = DevicePowerState;
      s->Parameters.Power.State.DeviceState = PowerDeviceD0;
    });
    *done = true;
  });
}

TEST_F(FdoPnpTest, RemoveWaitsForAPowerRequestStillRunning) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  tb::UsbBus* bus = Bus(pdo);
  bus->HoldPower(true);
  std::atomic<bool> powerDone{false};
  std::thread power = PowerRequestHeldBelow(fdo_, &powerDone);
  ASSERT_TRUE(WaitUntil([&] { return bus->PowerRequestsWaiting() == 1; }));
  ASSERT_TRUE(Settles(ext_->IoCount, 2));

  std::atomic<bool> removed{false};
  std::thread remover([&] {
    pnp_->RemoveNow(pdo);
    removed = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return BusSaw(pdo, IRP_MN_REMOVE_DEVICE); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed);
  EXPECT_FALSE(tb::IsDeviceDeleted(fdo_));
  EXPECT_NE(ext_->ConfigurationDescriptor, nullptr);  // nothing released yet
  bus->HoldPower(false);
  power.join();
  remover.join();
  EXPECT_TRUE(powerDone);
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo_));
}

TEST_F(FdoPnpTest, QueryRemoveWaitsForOthersOnADeviceThatWasIdleBefore) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  ASSERT_NE(KeReadStateEvent(&ext_->IdleEvent), 0);  // idle at least once already
  tb::UsbBus* bus = Bus(pdo);
  bus->HoldPower(true);
  std::atomic<bool> powerDone{false};
  std::thread power = PowerRequestHeldBelow(fdo_, &powerDone);
  ASSERT_TRUE(WaitUntil([&] { return bus->PowerRequestsWaiting() == 1; }));

  std::atomic<bool> queried{false};
  std::thread query([&] {
    EXPECT_EQ(pnp_->QueryRemove(pdo), STATUS_SUCCESS);
    queried = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(queried);
  bus->HoldPower(false);
  power.join();
  query.join();
  EXPECT_TRUE(queried);
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  pnp_->CancelRemove(pdo);
  pnp_->Remove(pdo);
}

TEST_F(FdoPnpTest, QueryRemoveEndsOnADeviceThatWasNeverIdle) {
  PDEVICE_OBJECT pdo = Plug();
  tb::UsbBus* bus = Bus(pdo);
  bus->HoldPower(true);
  std::atomic<bool> powerDone{false};
  std::thread power = PowerRequestHeldBelow(fdo_, &powerDone);  // held from before the start
  ASSERT_TRUE(WaitUntil([&] { return bus->PowerRequestsWaiting() == 1; }));
  ASSERT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
  ASSERT_EQ(KeReadStateEvent(&ext_->IdleEvent), 0);

  std::atomic<bool> queried{false};
  std::thread query([&] {
    EXPECT_EQ(pnp_->QueryRemove(pdo), STATUS_SUCCESS);
    queried = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(queried);
  bus->HoldPower(false);
  power.join();
  query.join();
  EXPECT_TRUE(queried);
  pnp_->CancelRemove(pdo);
  pnp_->Remove(pdo);
}

TEST_F(FdoPnpTest, BusRelationsAppendTheChildToAnEarlierList) {
  PDEVICE_OBJECT pdo = Plug();
  PDEVICE_OBJECT child = ext_->ChildExtension->Self;
  PDEVICE_OBJECT a = tb::CreateHostDevice("other", nullptr);
  PDEVICE_OBJECT b = tb::CreateHostDevice("other", nullptr);
  auto* old = static_cast<PDEVICE_RELATIONS>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT), 'rehO'));
  old->Count = 2;
  old->Objects[0] = a;
  old->Objects[1] = b;
  PIRP irp = tb::AllocateSystemIrp(fdo_->StackSize);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(old);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_PNP;
  s->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
  s->Parameters.QueryDeviceRelations.Type = BusRelations;
  tb::Result r = tb::SendAndWait(fdo_, irp);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->Count, 3u);
  EXPECT_EQ(list->Objects[0], a);
  EXPECT_EQ(list->Objects[1], b);
  EXPECT_EQ(list->Objects[2], child);
  EXPECT_EQ(tb::ObjectReferences(child), 1);  // the answer's, for the receiver to drop
  EXPECT_FALSE(tb::IsPoolBlock(old));
  ObfDereferenceObject(child);
  tb::SystemFreePool(list);
  tb::DeleteHostDevice(a);
  tb::DeleteHostDevice(b);
  pnp_->RemoveNow(pdo);
}

// A child whose own remove came while its USB device is still there (a disable) stays reported,
// and starts again on the same device object.
TEST_F(FdoPnpTest, ADisabledChildIsStillReportedAndStartsAgain) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  auto first = pnp_->QueryBusRelations(pdo);
  ASSERT_EQ(first.size(), 1u);
  PDEVICE_OBJECT child = first[0];
  EXPECT_EQ(child, ext_->ChildExtension->Self);
  EXPECT_EQ(pnp_->Disable(child), STATUS_SUCCESS);
  EXPECT_FALSE(tb::IsDeviceDeleted(child));
  EXPECT_EQ(ReadPdoFlags(PdoExt(child)), static_cast<ULONG>(PDO_REMOVED));
  EXPECT_EQ(ext_->ChildCount, 1u);
  EXPECT_EQ(pnp_->QueryBusRelations(pdo), (std::vector<PDEVICE_OBJECT>{child}));
  EXPECT_EQ(pnp_->Enable(child), STATUS_SUCCESS);
  EXPECT_EQ(ReadPdoFlags(PdoExt(child)), static_cast<ULONG>(PDO_STARTED));
  pnp_->Remove(pdo);
  EXPECT_TRUE(tb::IsDeviceFreed(child));
}

TEST_F(FdoPnpTest, NoMemoryForRelationsKeepsTheEarlierState) {
  PDEVICE_OBJECT pdo = Plug();
  tb::FaultPlan plan;
  plan.failAll = true;
  tb::SetFaultPlan(plan);
  tb::Result r = pnp_->Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                            [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
  tb::ClearFaults();
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_FALSE(BusSaw(pdo, IRP_MN_QUERY_DEVICE_RELATIONS));
  // The never-reported child goes with its parent.
  PDEVICE_OBJECT child = ext_->ChildExtension->Self;
  pnp_->RemoveNow(pdo);
  EXPECT_TRUE(tb::IsDeviceDeleted(child));
}

TEST_F(FdoPnpTest, OtherRelationTypesGoDownUntouched) {
  PDEVICE_OBJECT pdo = Plug();
  for (auto type : {EjectionRelations, PowerRelations, RemovalRelations, TargetDeviceRelation}) {
    tb::Result r = pnp_->Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                              [type](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = type; });
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.information, 0u);
  }
  auto seen = Bus(pdo)->PnpRequests();
  size_t relations = 0;
  for (auto& s : seen) {
    if (s.minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
      relations++;
      EXPECT_EQ(s.statusOnArrival, STATUS_NOT_SUPPORTED);
    }
  }
  EXPECT_EQ(relations, 4u);
  pnp_->RemoveNow(pdo);
}

TEST_F(FdoPnpTest, UnhandledRequestsPassDownWithTheirStatus) {
  PDEVICE_OBJECT pdo = Plug();
  tb::Result r = pnp_->Send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(BusSaw(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE));
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
  pnp_->RemoveNow(pdo);
}

TEST_F(FdoPnpTest, SurpriseRemovalThenRemoveDrainsTheCounterToZero) {
  PDEVICE_OBJECT pdo = PlugAndStart();
  pnp_->QueryBusRelations(pdo);
  // The counter is read at the last moment the extension exists: the device's own deletion.
  LONG countAtDeletion = -1;
  LONG removeEventAtDeletion = 0;
  pnp_->beforeChildRemove = nullptr;
  tb::SetDeleteHook([&](PDEVICE_OBJECT deleted) {
    if (deleted != fdo_) return;
    countAtDeletion = ext_->IoCount;
    removeEventAtDeletion = KeReadStateEvent(&ext_->RemoveEvent);
  });
  pnp_->SurpriseRemove(pdo);
  tb::SetDeleteHook(nullptr);
  EXPECT_EQ(countAtDeletion, 0);
  EXPECT_NE(removeEventAtDeletion, 0);
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo_));
  EXPECT_TRUE(tb::IsDeviceFreed(fdo_));
  EXPECT_EQ(tb::TopOfStack(pdo), pdo);
}
