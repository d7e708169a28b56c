// The child's requests and the stream beneath them on the paths the ordinary suites leave out:
// requests without a file object or a buffer, reads cancelled before they arrive, an interface
// without a bulk-in pipe, every allocation of a first open failed in turn, reads topped up while
// every packet is out, and a removal that two held reads outlive.
#include <atomic>
#include <chrono>
#include <thread>

#include "support/stream.h"

namespace {

using Bytes = std::vector<UCHAR>;

class ClientCoverageTest : public StreamTest {
 protected:
  // A create or close with no file object, as only a broken sender would make it.
  tb::Result WithoutFile(UCHAR major) {
    return tb::Call(child_, [major](PIO_STACK_LOCATION s, PIRP irp) {
      s->MajorFunction = major;
      irp->RequestorMode = KernelMode;
    });
  }
  // A read whose IRP was cancelled on its way, before the driver saw it.
  tb::Result CancelledRead(const std::function<void(PIO_STACK_LOCATION, PIRP)>& fill) {
    tb::Result result{STATUS_PENDING, 0, STATUS_PENDING};
    PIRP irp = tb::AllocateSystemIrp(
        child_->StackSize, [&result](PIRP done) {
          result.status = done->IoStatus.Status;
          result.information = done->IoStatus.Information;
        },
        true);
    fill(IoGetNextIrpStackLocation(irp), irp);
    EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine yet";
    result.returned = IofCallDriver(child_, irp);
    EXPECT_TRUE(tb::IrpReachedTop(irp));
    tb::FreeSystemIrp(irp);
    return result;
  }
  bool NothingLeft() {
    for (auto& b : tb::OutstandingPool()) {
      if (b.tag == DRIVER_POOL_TAG) return false;
    }
    return driver_->DeviceObject == nullptr;
  }
};

TEST_F(ClientCoverageTest, CreateAndCloseWithoutAFileObjectStartNothing) {
  Plug();
  EXPECT_EQ(WithoutFile(IRP_MJ_CREATE).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ext_->OpenContextList, nullptr);
  EXPECT_EQ(WithoutFile(IRP_MJ_CLOSE).status, STATUS_SUCCESS);
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ep_->WireCount(), 0u) << "no start message, no stop message";
  EXPECT_TRUE(Settles(ext_->IoCount, 1));
}

TEST_F(ClientCoverageTest, ReadsCancelledBeforeTheyArriveAreNeverLeftWaiting) {
  Plug();
  ChildOpen* open = Open();
  Bytes buffer(8);
  tb::Result read = CancelledRead([&](PIO_STACK_LOCATION s, PIRP irp) {
    s->MajorFunction = IRP_MJ_READ;
    s->Parameters.Read.Length = 8;
    s->FileObject = &open->file;
    irp->UserBuffer = buffer.data();
  });
  EXPECT_EQ(read.returned, STATUS_CANCELLED);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_EQ(Context(open)->PendingReadIrp, nullptr);

  ASSERT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  tb::Result internal = CancelledRead([&](PIO_STACK_LOCATION s, PIRP) {
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_CLIENT_READ;
    s->Parameters.DeviceIoControl.OutputBufferLength = 8;
    s->Parameters.DeviceIoControl.Type3InputBuffer = buffer.data();
  });
  EXPECT_EQ(internal.status, STATUS_CANCELLED);
  EXPECT_EQ(PdoExt(child_)->PendingReadIrp, nullptr);
  EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_CLOSE).status, STATUS_SUCCESS);

  // Nothing of either stays in a slot: the next bytes go to the next reads.
  auto next = ReadChild(child_, open, 8);
  ep_->Feed({0x90, 0x3C, 0x40});
  ASSERT_TRUE(next->Wait());
  EXPECT_EQ(next->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
}

TEST_F(ClientCoverageTest, AnInternalReadNeedsALengthAndABuffer) {
  Plug();
  Bytes buffer(8);
  EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_READ, nullptr, 0, 8).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_READ, buffer.data(), 0, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PdoExt(child_)->PendingReadIrp, nullptr);
}

// The interface starts, but with nothing to read from no open can be served.
TEST_F(ClientCoverageTest, WithoutABulkInPipeEveryOpenIsRefused) {
  struct Case {
    const char* what;
    std::vector<tb::UsbEndpointLayout> endpoints;
  } cases[] = {
      {"bulk out only", {{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}}},
      {"no endpoints", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tb::UsbMidiDevice device = tb::UsbMidiDevice::Product(0x0001);
    device.WithEndpoints(c.endpoints);
    Plug(1, device);
    EXPECT_EQ(ext_->BulkInPipe, nullptr);
    ASSERT_NE(ext_->InterfaceInfo, nullptr);
    EXPECT_EQ(ext_->InterfaceInfo->NumberOfPipes, c.endpoints.size());
    auto open = OpenChild(child_);
    EXPECT_EQ(open->status, STATUS_DELETE_PENDING);
    EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(ext_->OpenCount, 0u);
    EXPECT_EQ(ext_->OpenContextList, nullptr);
    EXPECT_EQ(tb::RunningSystemThreads(), 0u);
    Remove();
    pdo_ = nullptr;
    EXPECT_TRUE(NothingLeft());
  }
}

// Each allocation of a first open failed in turn. Without its writer thread the stream still
// runs; a direct-call write then fills the ring once and returns short instead of waiting for a
// writer that is not there.
TEST_F(ClientCoverageTest, EveryAllocationOfAFirstOpenFailedInTurn) {
  bool sawWriterless = false;
  auto life = [&](uint64_t failNth) {
    Plug();
    tb::FaultPlan plan;
    plan.failNth = failNth;
    tb::SetFaultPlan(plan);
    auto open = OpenChild(child_);
    uint64_t count = tb::AllocationCount();
    tb::ClearFaults();
    if (failNth == 0) EXPECT_EQ(open->status, STATUS_SUCCESS);
    if (open->status == STATUS_SUCCESS) {
      EXPECT_EQ(ext_->OpenCount, 1u);
      EXPECT_TRUE(ep_->WaitForWire(2, 1000)) << "an open reported success with a start message missing";
      if (ext_->WriterThread == nullptr) {
        sawWriterless = true;
        Bytes bytes(TX_RING_SIZE + 44, 0x90);
        EXPECT_EQ(QueueBytes(fdo_, bytes.data(), static_cast<ULONG>(bytes.size())), static_cast<ULONG>(TX_RING_SIZE));
      }
      pnp_->OpenHandle(child_);
      opens_.push_back(std::move(open));
    } else {
      EXPECT_EQ(ext_->OpenCount, 0u);
      EXPECT_EQ(ext_->OpenContextList, nullptr);
      EXPECT_EQ(ext_->OpenPipeCount, 0);
      EXPECT_TRUE(WaitUntil([] { return tb::RunningSystemThreads() == 0; })) << "a refused open leaves no writer";
    }
    Remove();
    pdo_ = nullptr;
    EXPECT_TRUE(NothingLeft());
    return count;
  };
  uint64_t total = life(0);
  ASSERT_GT(total, 3u);
  for (uint64_t n = 1; n <= total; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    life(n);
  }
  EXPECT_TRUE(sawWriterless) << "the writer thread's creation was among the allocations failed";
}

// Every packet is out on a send the device holds when the reads are topped up: none is started,
// and the stream keeps the read it has.
TEST_F(ClientCoverageTest, ReadsAreToppedUpOnlyFromPacketsFreeAtOnce) {
  Plug();
  Open();
  ASSERT_TRUE(ep_->WaitForPendingIn(CONTINUOUS_READS));
  ep_->HoldOut(true);
  UCHAR byte = 0xF8;
  std::vector<std::thread> senders;
  auto send = [&] {
    senders.emplace_back([&] { InternalChild(child_, IOCTL_CLIENT_WRITE, &byte, 1); });
  };
  for (int i = 0; i < PACKET_COUNT - CONTINUOUS_READS; i++) send();
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingOn(0x02) == PACKET_COUNT - CONTINUOUS_READS; }));
  // One read ends; its packet goes to one more send.
  ep_->FeedFailure(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  ASSERT_TRUE(WaitUntil([&] { return ActiveReads() == 1; }));
  send();
  ASSERT_TRUE(WaitUntil([&] { return bus_->PendingOn(0x02) == PACKET_COUNT - 1; }));
  ASSERT_EQ(ext_->PacketsOut, PACKET_COUNT);

  EXPECT_EQ(pnp_->CancelStop(pdo_), STATUS_SUCCESS);  // tops the reads up
  EXPECT_EQ(ActiveReads(), 1u);
  EXPECT_EQ(ep_->PendingIn(), 1u);
  EXPECT_EQ(ext_->PacketsOut, PACKET_COUNT);

  // The surprise removal's aborts end the held sends.
  pnp_->SurpriseRemove(pdo_);
  for (auto& t : senders) t.join();
  pdo_ = nullptr;
  EXPECT_TRUE(NothingLeft());
}

// Two reads the lower driver keeps past the removal: the first one back leaves the pool to the
// second, which frees it and lets the device go.
TEST_F(ClientCoverageTest, OfTwoReadsHeldPastTheRemovalTheLastOneBackFreesThePool) {
  Plug();
  for (uint32_t nth : {1u, 2u}) {
    bus_->AddFault(tb::UrbFault{.kind = tb::UrbFaultKind::NeverComplete,
                                .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .nth = nth});
  }
  Open();
  ASSERT_EQ(bus_->HeldCount(), 2u);
  PDEVICE_OBJECT fdo = fdo_;
  tb::UsbBus* bus = bus_;
  Remove();
  EXPECT_TRUE(tb::IsDeviceDeleted(fdo));
  EXPECT_FALSE(tb::IsDeviceFreed(fdo));
  EXPECT_EQ(tb::PoolTotals()[DRIVER_POOL_TAG].outstandingBlocks, 1u) << "the packet pool stays with the reads";

  bus->ReleaseHeld();
  EXPECT_TRUE(tb::IsDeviceFreed(fdo));
  EXPECT_EQ(tb::PoolTotals()[DRIVER_POOL_TAG].outstandingBlocks, 0u);
  EXPECT_EQ(tb::CheckIrpLeaks("after the late completions"), 0u);
}

}  // namespace
