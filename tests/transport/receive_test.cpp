// The receive path: bytes from bulk-in transfers into the ring and out to every waiting reader.
#include <atomic>
#include <thread>

#include "support/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ReceiveTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug();
    stream_ = Open();  // the first open starts the two continuous reads
    ASSERT_TRUE(ep_->WaitForPendingIn(2));
  }
  // Feeds one transfer and waits until its completion routine has run.
  void Deliver(const Bytes& transfer) {
    size_t before = ep_->Delivered();
    ep_->Feed(transfer);
    ASSERT_TRUE(ep_->WaitDelivered(before + 1));
    ASSERT_TRUE(ep_->WaitForPendingIn(2)) << "the read went down again";
  }
  Bytes Ring(ULONG from, ULONG count) {
    Bytes out;
    for (ULONG i = 0; i < count; i++) out.push_back(ext_->RxRing[(from + i) % 128]);
    return out;
  }
  // A reader of its own: another open of the child.
  ChildOpen* AddOpen() { return Open(); }
  std::unique_ptr<SentRequest> Read(ChildOpen* open, ULONG length) { return ReadChild(child_, open, length); }
  ChildOpen* stream_ = nullptr;
};

TEST_F(ReceiveTest, MidiBytesEndAtTheFirstFfAfterByteZero) {
  struct Case {
    Bytes transfer;
    Bytes appended;
  } cases[] = {
      {{0x90, 0x3C, 0x40, 0xFF, 0xFF}, {0x90, 0x3C, 0x40}},
      {{0x90, 0xFF, 0x3C}, {0x90}},
      {{0xFF, 0x90, 0x3C}, {0xFF, 0x90, 0x3C}},
      {Bytes(32, 0xFF), {0xFF}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    ULONG before = ext_->RxWriteIndex;
    Deliver(c.transfer);
    ULONG added = (ext_->RxWriteIndex + 128 - before) % 128;
    EXPECT_EQ(added, c.appended.size());
    EXPECT_EQ(Ring(before, added), c.appended);
  }
}

TEST_F(ReceiveTest, WriteIndexWrapsAtTheEndOfTheRing) {
  ext_->RxWriteIndex = 126;
  Deliver({0x90, 0x3C, 0x40});
  EXPECT_EQ(ext_->RxWriteIndex, 1u);
  EXPECT_EQ(ext_->RxRing[126], 0x90);
  EXPECT_EQ(ext_->RxRing[127], 0x3C);
  EXPECT_EQ(ext_->RxRing[0], 0x40);
}

TEST_F(ReceiveTest, TwoWaitingReadersBothGetTheSameBytes) {
  ChildOpen* a = AddOpen();
  ChildOpen* b = AddOpen();
  auto ra = Read(a, 8);
  auto rb = Read(b, 8);
  EXPECT_EQ(ra->returned, STATUS_PENDING);
  EXPECT_EQ(rb->returned, STATUS_PENDING);
  Deliver({0x90, 0x3C, 0x40});
  ASSERT_TRUE(ra->Wait());
  ASSERT_TRUE(rb->Wait());
  EXPECT_EQ(ra->status, STATUS_SUCCESS);
  EXPECT_EQ(ra->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  EXPECT_EQ(rb->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  EXPECT_EQ(Context(a)->PendingReadIrp, nullptr);
  EXPECT_EQ(Context(b)->PendingReadIrp, nullptr);
}

TEST_F(ReceiveTest, ShortReadTakesWhatFitsAndLeavesTheRest) {
  ChildOpen* a = AddOpen();
  auto first = Read(a, 2);
  EXPECT_EQ(first->returned, STATUS_PENDING);
  Deliver({0x90, 0x3C, 0x40, 0x80, 0x3C});
  ASSERT_TRUE(first->Wait());
  EXPECT_EQ(first->Bytes(), (Bytes{0x90, 0x3C}));
  auto rest = Read(a, 8);
  EXPECT_EQ(rest->returned, STATUS_SUCCESS) << "the other three are waiting";
  EXPECT_EQ(rest->Bytes(), (Bytes{0x40, 0x80, 0x3C}));
}

TEST_F(ReceiveTest, AReaderThatFallsBehindSeesOnlyTheNewestBytes) {
  ChildOpen* a = AddOpen();
  Bytes all;
  for (int t = 0; t < 5; t++) {
    Bytes transfer;
    for (int i = 0; i < 26; i++) transfer.push_back(static_cast<uint8_t>(t * 26 + i));
    all.insert(all.end(), transfer.begin(), transfer.end());
    Deliver(transfer);
  }
  ASSERT_EQ(all.size(), 130u);
  EXPECT_EQ((ext_->RxWriteIndex + 128 - Context(a)->RxReadIndex) % 128, 2u);
  auto r = Read(a, 16);
  EXPECT_EQ(r->returned, STATUS_SUCCESS);
  EXPECT_EQ(r->Bytes(), (Bytes{all[128], all[129]}));
}

TEST_F(ReceiveTest, TheChildsSlotIsServedToo) {
  PdoExtension* child = ext_->ChildExtension;
  ASSERT_EQ(ext_->ChildCount, 1u);
  ASSERT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  auto r = InternalReadChild(child_, 4);
  EXPECT_EQ(r->returned, STATUS_PENDING);
  Deliver({0xC0, 0x05});
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->Bytes(), (Bytes{0xC0, 0x05}));
  EXPECT_EQ(child->PendingReadIrp, nullptr);
  InternalChild(child_, IOCTL_CLIENT_CLOSE);
}

// An error that leaves the endpoint running: a stall would halt it, and the other read with it.
TEST_F(ReceiveTest, AFailedTransferEndsOneReadAndTheOtherGoesOn) {
  EXPECT_EQ(ActiveReads(), 2u);
  size_t before = ep_->Delivered();
  ep_->FeedFailure(STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR);
  ASSERT_TRUE(ep_->WaitDelivered(before + 1));
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ActiveReads() != 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(ActiveReads(), 1u);
  EXPECT_EQ(ep_->PendingIn(), 1u);
  EXPECT_EQ(KeReadStateSemaphore(&ext_->FreePacketSemaphore), 31) << "the ended read's packet is back";
  ChildOpen* a = AddOpen();
  auto r = Read(a, 4);
  EXPECT_EQ(r->returned, STATUS_PENDING);
  before = ep_->Delivered();
  ep_->Feed({0x90, 0x40});
  ASSERT_TRUE(ep_->WaitDelivered(before + 1));
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->Bytes(), (Bytes{0x90, 0x40}));
}

// A lower driver that claims more bytes than the 32-byte buffer holds: the receive path takes
// what the buffer held and no more, whichever of the two reads' packets the transfer used.
TEST_F(ReceiveTest, AMiscountedTransferDeliversOnlyWhatTheBufferHeld) {
  ChildOpen* a = AddOpen();
  Bytes all;
  for (int t = 0; t < 2; t++) {
    Bytes transfer;
    for (int i = 0; i < 32; i++) transfer.push_back(static_cast<uint8_t>(0x10 + t * 32 + i));
    all.insert(all.end(), transfer.begin(), transfer.end());
    ULONG before = ext_->RxWriteIndex;
    size_t delivered = ep_->Delivered();
    ep_->FeedMiscounted(transfer, 64);
    ASSERT_TRUE(ep_->WaitDelivered(delivered + 1));
    ASSERT_TRUE(ep_->WaitForPendingIn(2));
    EXPECT_EQ((ext_->RxWriteIndex + 128 - before) % 128, 32u) << "transfer " << t;
  }
  auto r = Read(a, 128);
  EXPECT_EQ(r->returned, STATUS_SUCCESS);
  EXPECT_EQ(r->Bytes(), all);
}

// Every read the driver sends, the first ones and those sent again from the completion, asks the
// stack for an IN transfer that may end short.
TEST_F(ReceiveTest, ReadsAskForAnInTransferThatMayEndShort) {
  Deliver({0x90, 0x3C, 0x40});
  std::vector<tb::UrbRecord> reads;
  for (auto& r : bus_->UrbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
    if (r.pipe == ext_->BulkInPipe) reads.push_back(r);
  }
  ASSERT_EQ(reads.size(), 3u);
  for (auto& r : reads) {
    EXPECT_EQ(r.transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(r.requestedLength, 32u);
    EXPECT_EQ(r.urbLength, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  }
}

// The parent serves exactly the child slots it counts. A child's removal drops the count before
// the device goes; from then on a read still sitting in that slot must not be touched.
TEST_F(ReceiveTest, AChildNoLongerCountedIsNotServed) {
  PdoExtension* child = ext_->ChildExtension;
  ASSERT_EQ(ext_->ChildCount, 1u);
  auto setCount = [&](ULONG count) {
    KIRQL old;
    KeAcquireSpinLock(&ext_->RxLock, &old);
    ext_->ChildCount = count;
    KeReleaseSpinLock(&ext_->RxLock, old);
  };
  ASSERT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  auto r = InternalReadChild(child_, 4);
  EXPECT_EQ(r->returned, STATUS_PENDING);
  setCount(0);
  Deliver({0xC0, 0x05});
  EXPECT_FALSE(r->done.load()) << "a slot past the counted children was served";
  EXPECT_TRUE(r->Cancel());
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  setCount(1);
  InternalChild(child_, IOCTL_CLIENT_CLOSE);
}

// A cancel routine blocked before it takes RxLock: bytes arriving meanwhile must not be copied
// into the request it now owns, and stay unread for the reader.
std::atomic<bool> gCancelEntered{false};
std::atomic<bool> gCancelGo{false};
// The driver's own cancel routine, entered late: the cancel has begun (the routine is taken) but
// has not yet reached the slot when the bytes arrive.
VOID NTAPI SlowCancel(PDEVICE_OBJECT device, PIRP irp) {
  gCancelEntered = true;
  while (!gCancelGo.load()) std::this_thread::yield();
  ReadCancel(device, irp);
}

TEST_F(ReceiveTest, AReadWhoseCancelHasBegunIsLeftToItsCancelRoutine) {
  ChildOpen* a = AddOpen();
  auto r = Read(a, 4);
  EXPECT_EQ(r->returned, STATUS_PENDING);
  EXPECT_EQ(IoSetCancelRoutine(r->irp, SlowCancel), ReadCancel);
  gCancelEntered = false;
  gCancelGo = false;
  std::thread canceller([&] { IoCancelIrp(r->irp); });
  while (!gCancelEntered.load()) std::this_thread::yield();
  Deliver({0x90, 0x3C});
  EXPECT_FALSE(r->done.load());
  gCancelGo = true;
  canceller.join();
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_EQ(r->information, 0u);
  EXPECT_EQ(Context(a)->PendingReadIrp, nullptr);
  auto again = Read(a, 4);
  EXPECT_EQ(again->returned, STATUS_SUCCESS);
  EXPECT_EQ(again->Bytes(), (Bytes{0x90, 0x3C})) << "the bytes stayed unread";
}

// Two reads completing at the same time on two threads while readers keep reading: every reader
// sees every byte once, in some order of whole transfers.
class ConcurrentReceiveTest : public ReceiveTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug(2);
    stream_ = Open();
    ASSERT_TRUE(ep_->WaitForPendingIn(2));
  }
};

TEST_F(ConcurrentReceiveTest, TwoCompletionsAtOnceWithReadersBeingServed) {
  constexpr int kReaders = 3, kBatches = 20, kBatch = 10;
  std::vector<ChildOpen*> opens;
  for (int i = 0; i < kReaders; i++) opens.push_back(AddOpen());
  std::atomic<bool> stop{false};
  std::vector<Bytes> seen(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; i++) {
    readers.emplace_back([&, i] {
      while (!stop.load()) {
        auto r = Read(opens[i], 8);
        if (!r->Wait(50)) {
          r->Cancel();
          r->Wait();
        }
        if (r->status == STATUS_SUCCESS) {
          Bytes got = r->Bytes();
          seen[i].insert(seen[i].end(), got.begin(), got.end());
        }
      }
    });
  }
  auto caughtUp = [&] {
    KIRQL old;
    KeAcquireSpinLock(&ext_->RxLock, &old);
    bool all = true;
    for (ChildOpen* o : opens) all = all && Context(o)->RxReadIndex == ext_->RxWriteIndex;
    KeReleaseSpinLock(&ext_->RxLock, old);
    return all;
  };
  // Paced so that no reader falls a whole ring behind.
  for (int b = 0; b < kBatches; b++) {
    for (int t = 0; t < kBatch; t++) ep_->Feed({static_cast<uint8_t>((b * kBatch + t) % 100), 0x7F});
    ASSERT_TRUE(ep_->WaitDelivered(size_t((b + 1) * kBatch), 20000));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!caughtUp() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  for (auto& r : readers) r.join();
  for (int i = 0; i < kReaders; i++) {
    ASSERT_EQ(seen[i].size(), size_t(2 * kBatches * kBatch)) << "reader " << i;
    for (size_t k = 0; k < seen[i].size(); k += 2) EXPECT_EQ(seen[i][k + 1], 0x7F) << "a transfer was split";
  }
}

// The child is disabled, and then deleted with its parent, while transfers complete on two
// threads: no completion routine may reach its extension once it is gone.
TEST_F(ConcurrentReceiveTest, ChildDisabledThenDeletedWhileBytesArrive) {
  ASSERT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  auto internal = InternalReadChild(child_, 64);
  ep_->StartGenerator(20000, {0x90, 0x3C, 0x40});
  ASSERT_TRUE(ep_->WaitDelivered(50));
  CloseAll();  // the client lets go before the child's remove
  pnp_->RemoveNow(child_);
  size_t before = ep_->Delivered();
  ASSERT_TRUE(ep_->WaitDelivered(before + 50)) << "reads go on with the child disabled";
  EXPECT_FALSE(tb::IsDeviceDeleted(child_));
  pnp_->SurpriseRemove(pdo_);
  ep_->StopGenerator();
  EXPECT_TRUE(tb::IsDeviceFreed(child_));
  ASSERT_TRUE(internal->Wait());
  pdo_ = nullptr;
}

}  // namespace

// A lower driver that keeps a read past the removal, ignoring both the abort and the remove: the
// function device and its pool stay until the read comes back, and then go completely.
class HeldReadRemovalTest : public StreamTest {};

TEST_F(HeldReadRemovalTest, TheDeviceOutlivesItsRemovalUntilTheLastReadComesBack) {
  Plug();
  // The stream's first read is the first bulk transfer: the bus keeps it.
  bus_->AddFault(tb::UrbFault{.kind = tb::UrbFaultKind::NeverComplete,
                              .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                              .nth = 1});
  Open();
  ASSERT_EQ(bus_->HeldCount(), 1u);
  ASSERT_TRUE(ep_->WaitForPendingIn(1));
  PDEVICE_OBJECT fdo = fdo_;
  tb::UsbBus* bus = bus_;
  Remove();

  EXPECT_TRUE(tb::IsDeviceDeleted(fdo));
  EXPECT_FALSE(tb::IsDeviceFreed(fdo)) << "deleted while one of its reads was still below";
  EXPECT_EQ(tb::PoolTotals()[DRIVER_POOL_TAG].outstandingBlocks, 1u) << "the packet pool stays with the read";

  // The late completion runs against a live extension, frees the pool and lets the device go.
  bus->ReleaseHeld();
  EXPECT_TRUE(tb::IsDeviceFreed(fdo));
  EXPECT_EQ(tb::PoolTotals()[DRIVER_POOL_TAG].outstandingBlocks, 0u);
  EXPECT_EQ(tb::CheckIrpLeaks("after the late completion"), 0u);
}

namespace {

// A read sent again is refused by the stack without reaching the device: the IRP fails, the URB's
// own status stays as it was sent. The read ends; nothing stale is delivered.
class RefusedReadTest : public StreamTest {};

TEST_F(RefusedReadTest, AReadTheStackRefusesEndsWithoutDeliveringItsOldBuffer) {
  Plug();
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForPendingIn(2));
  auto r = ReadChild(child_, open, 64);
  // The resubmission of the read the next transfer completes.
  bus_->AddFault(tb::UrbFault{.kind = tb::UrbFaultKind::Fail,
                              .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                              .nth = 1,
                              .status = STATUS_DEVICE_POWERED_OFF,
                              .usbdStatus = USBD_STATUS_SUCCESS});
  size_t before = ep_->Delivered();
  ep_->Feed({0x90, 0x3C, 0x40});
  ASSERT_TRUE(ep_->WaitDelivered(before + 1));
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (ActiveReads() != 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(ActiveReads(), 1u) << "the refused read ended";
  auto nothing = ReadChild(child_, open, 64);
  EXPECT_EQ(nothing->returned, STATUS_PENDING) << "no stale bytes in the ring";
  nothing->Cancel();
  nothing->Wait();
}

}  // namespace
