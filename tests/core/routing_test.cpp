// Driver entry, the dispatch table and routing by device kind.
#include "support/fixture.h"
#include "support/function_device.h"

namespace {

class RoutingTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    lower_ = std::make_unique<LowerDevice>();
    fdo_ = MakeFunctionDevice(driver_, lower_->device);
    ASSERT_NE(fdo_.fdo, nullptr);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child_),
              STATUS_SUCCESS);
    PdoExtension* pdo = PdoExt(child_);
    pdo->Signature = PDO_SIGNATURE;
    pdo->Self = child_;
    pdo->Parent = fdo_.fdo;
    child_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  void TearDown() override {
    if (child_) IoDeleteDevice(child_);
    DestroyFunctionDevice(fdo_);
    DriverTest::TearDown();
  }
  // A device of this driver whose extension starts with something that is neither signature.
  PDEVICE_OBJECT Stranger(ULONG first) {
    PDEVICE_OBJECT d = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
    *static_cast<ULONG*>(d->DeviceExtension) = first;
    return d;
  }
  tb::Result Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0, NTSTATUS initial = STATUS_NOT_SUPPORTED,
                  ULONG_PTR info = 0) {
    return tb::Call(device, [&](PIO_STACK_LOCATION next, PIRP irp) {
      next->MajorFunction = major;
      next->MinorFunction = minor;
      irp->IoStatus.Status = initial;
      irp->IoStatus.Information = info;
    });
  }
  std::unique_ptr<LowerDevice> lower_;
  FunctionDevice fdo_;
  PDEVICE_OBJECT child_ = nullptr;
};

TEST_F(RoutingTest, EntryPrintsItsOneMessageAndFillsTheTable) {
  std::vector<std::string> out = tb::DebugOutput();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "Entered Driver Entry");
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CREATE], DispatchCreate);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CLOSE], DispatchClose);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_READ], DispatchRead);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_WRITE], DispatchWrite);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], DispatchInternalDeviceControl);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_POWER], DispatchPower);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], DispatchPnp);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL], DispatchSystemControl);
  EXPECT_EQ(driver_->DriverUnload, DriverUnload);
  EXPECT_EQ(driver_->DriverExtension->AddDevice, AddDevice);
  // Everything else is left to the I/O manager, which refuses it.
  EXPECT_EQ(Send(child_, IRP_MJ_CLEANUP).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Send(fdo_.fdo, IRP_MJ_FLUSH_BUFFERS).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RoutingTest, RoutedRequestsOnAStrangeDeviceFailWithInformationUntouched) {
  for (ULONG first : {0x00000000UL, 0x5546444EUL, 0x4F445055UL, 0xFFFFFFFFUL}) {
    PDEVICE_OBJECT d = Stranger(first);
    for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
      tb::Result r = Send(d, major, 0, STATUS_NOT_SUPPORTED, 0x1234);
      EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL) << "major " << int(major);
      EXPECT_EQ(r.returned, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(r.information, 0x1234u);
    }
    IoDeleteDevice(d);
  }
}

TEST_F(RoutingTest, ChildRequestsOnTheFunctionDeviceAreRefusedWithoutReadingItsExtension) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL}) {
    tb::Result r = Send(fdo_.fdo, major, 0, STATUS_SUCCESS, 77);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
    EXPECT_EQ(r.information, 0u);
  }
  // Nothing reached the USB device and no activity reference was left behind.
  EXPECT_TRUE(lower_->Seen_().empty());
  EXPECT_TRUE(Settles(fdo_.ext->IoCount, 1));
}

TEST_F(RoutingTest, SystemControlGoesDownPresetAndReturnsTheLowerStatus) {
  lower_->completeWith = STATUS_DEVICE_DATA_ERROR;
  tb::Result r = Send(fdo_.fdo, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED, 55);
  auto seen = lower_->Seen_();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].major, IRP_MJ_SYSTEM_CONTROL);
  EXPECT_EQ(seen[0].statusOnArrival, STATUS_SUCCESS);
  EXPECT_EQ(seen[0].informationOnArrival, 0u);
  EXPECT_TRUE(AnsweredWith(r, STATUS_DEVICE_DATA_ERROR));
  EXPECT_TRUE(Settles(fdo_.ext->IoCount, 1));
}

TEST_F(RoutingTest, SystemControlOnTheChildIsAnsweredWithTheStatusItCarries) {
  tb::Result r = Send(child_, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED, 9);
  EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(r.returned, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(r.information, 9u);
  EXPECT_TRUE(lower_->Seen_().empty());
}

TEST_F(RoutingTest, InternalRequestOnTheFunctionDeviceReportsWhetherItIsUsable) {
  tb::Result r = Send(fdo_.fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, STATUS_SUCCESS, 5);
  EXPECT_EQ(r.status, STATUS_DELETE_PENDING);  // not started
  EXPECT_EQ(r.information, 0u);
  SetFdoFlags(fdo_.ext, FDO_STARTED);
  EXPECT_EQ(Send(fdo_.fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL).status, STATUS_INVALID_PARAMETER);
  SetFdoFlags(fdo_.ext, FDO_STOP_PENDING);
  EXPECT_EQ(Send(fdo_.fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL).status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(lower_->Seen_().empty());
  EXPECT_TRUE(Settles(fdo_.ext->IoCount, 1));
}

class LoadTest : public KernelTest {};

TEST_F(LoadTest, LoadingAndUnloadingWithNoDeviceLeavesNothing) {
  PDRIVER_OBJECT driver = tb::LoadDriver(DriverEntry, u"usbmidi");
  tb::UnloadDriver(driver);
  EXPECT_TRUE(tb::OutstandingPool().empty());
  EXPECT_TRUE(tb::Violations().empty());
}

}  // namespace
