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
    StartReads();
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
  OpenContext* AddOpen() {
    auto* ctx = new OpenContext{};
    KIRQL old;
    KeAcquireSpinLock(&ext_->RxLock, &old);
    ctx->RxReadIndex = ext_->RxWriteIndex;
    ctx->Next = ext_->OpenContextList;
    ext_->OpenContextList = ctx;
    KeReleaseSpinLock(&ext_->RxLock, old);
    opens_.emplace_back(ctx);
    return ctx;
  }
  bool Place(OpenContext* ctx, ReaderRequest& r) {
    return PlaceRead(ext_, &ctx->PendingReadIrp, &ctx->RxReadIndex, &ctx->ReadBuffer, &ctx->ReadLength, r);
  }
  void TearDown() override {
    if (ext_ != nullptr) {
      KIRQL old;
      KeAcquireSpinLock(&ext_->RxLock, &old);
      ext_->OpenContextList = nullptr;
      KeReleaseSpinLock(&ext_->RxLock, old);
    }
    StreamTest::TearDown();
  }
  std::vector<std::unique_ptr<OpenContext>> opens_;
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
  OpenContext* a = AddOpen();
  OpenContext* b = AddOpen();
  ReaderRequest ra(8), rb(8);
  EXPECT_FALSE(Place(a, ra));
  EXPECT_FALSE(Place(b, rb));
  Deliver({0x90, 0x3C, 0x40});
  ASSERT_TRUE(ra.Wait());
  ASSERT_TRUE(rb.Wait());
  EXPECT_EQ(ra.status, STATUS_SUCCESS);
  EXPECT_EQ(ra.Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  EXPECT_EQ(rb.Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  EXPECT_EQ(a->PendingReadIrp, nullptr);
  EXPECT_EQ(b->PendingReadIrp, nullptr);
}

TEST_F(ReceiveTest, ShortReadTakesWhatFitsAndLeavesTheRest) {
  OpenContext* a = AddOpen();
  ReaderRequest first(2);
  EXPECT_FALSE(Place(a, first));
  Deliver({0x90, 0x3C, 0x40, 0x80, 0x3C});
  ASSERT_TRUE(first.Wait());
  EXPECT_EQ(first.Bytes(), (Bytes{0x90, 0x3C}));
  ReaderRequest rest(8);
  EXPECT_TRUE(Place(a, rest)) << "the other three are waiting";
  EXPECT_EQ(rest.Bytes(), (Bytes{0x40, 0x80, 0x3C}));
}

TEST_F(ReceiveTest, AReaderThatFallsBehindSeesOnlyTheNewestBytes) {
  OpenContext* a = AddOpen();
  Bytes all;
  for (int t = 0; t < 5; t++) {
    Bytes transfer;
    for (int i = 0; i < 26; i++) transfer.push_back(static_cast<uint8_t>(t * 26 + i));
    all.insert(all.end(), transfer.begin(), transfer.end());
    Deliver(transfer);
  }
  ASSERT_EQ(all.size(), 130u);
  EXPECT_EQ((ext_->RxWriteIndex + 128 - a->RxReadIndex) % 128, 2u);
  ReaderRequest r(16);
  EXPECT_TRUE(Place(a, r));
  EXPECT_EQ(r.Bytes(), (Bytes{all[128], all[129]}));
}

TEST_F(ReceiveTest, TheChildsSlotIsServedToo) {
  PdoExtension* child = ext_->ChildExtension;
  ASSERT_EQ(ext_->ChildCount, 1u);
  child->RxReadIndex = ext_->RxWriteIndex;
  ReaderRequest r(4);
  EXPECT_FALSE(PlaceRead(ext_, &child->PendingReadIrp, &child->RxReadIndex, &child->ReadBuffer, &child->ReadLength, r));
  Deliver({0xC0, 0x05});
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Bytes(), (Bytes{0xC0, 0x05}));
  EXPECT_EQ(child->PendingReadIrp, nullptr);
}

// An error that leaves the endpoint running: a stall would halt it, and the other read with it.
TEST_F(ReceiveTest, AFailedTransferEndsOneReadAndTheOtherGoesOn) {
  EXPECT_EQ(ext_->ActiveReadCount, 2u);
  size_t before = ep_->Delivered();
  ep_->FeedFailure(STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR);
  ASSERT_TRUE(ep_->WaitDelivered(before + 1));
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ext_->ActiveReadCount != 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(ext_->ActiveReadCount, 1u);
  EXPECT_EQ(ep_->PendingIn(), 1u);
  EXPECT_EQ(KeReadStateSemaphore(&ext_->FreePacketSemaphore), 31) << "the ended read's packet is back";
  OpenContext* a = AddOpen();
  ReaderRequest r(4);
  EXPECT_FALSE(Place(a, r));
  before = ep_->Delivered();
  ep_->Feed({0x90, 0x40});
  ASSERT_TRUE(ep_->WaitDelivered(before + 1));
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Bytes(), (Bytes{0x90, 0x40}));
}

// A lower driver that claims more bytes than the 32-byte buffer holds: the receive path takes
// what the buffer held and no more, whichever of the two reads' packets the transfer used.
TEST_F(ReceiveTest, AMiscountedTransferDeliversOnlyWhatTheBufferHeld) {
  OpenContext* a = AddOpen();
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
  ReaderRequest r(128);
  EXPECT_TRUE(Place(a, r));
  EXPECT_EQ(r.Bytes(), all);
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
  child->RxReadIndex = ext_->RxWriteIndex;
  ReaderRequest r(4);
  EXPECT_FALSE(PlaceRead(ext_, &child->PendingReadIrp, &child->RxReadIndex, &child->ReadBuffer, &child->ReadLength, r));
  setCount(0);
  Deliver({0xC0, 0x05});
  EXPECT_FALSE(r.done.load()) << "a slot past the counted children was served";
  IoCancelIrp(r.irp);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  setCount(1);
}

// A cancel routine blocked before it takes RxLock: bytes arriving meanwhile must not be copied
// into the request it now owns, and stay unread for the reader.
std::atomic<bool> gCancelEntered{false};
std::atomic<bool> gCancelGo{false};
VOID NTAPI SlowCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  gCancelEntered = true;
  while (!gCancelGo.load()) std::this_thread::yield();
  FinishCancelledRead(irp);
}

TEST_F(ReceiveTest, AReadWhoseCancelHasBegunIsLeftToItsCancelRoutine) {
  OpenContext* a = AddOpen();
  ReaderRequest r(4);
  EXPECT_FALSE(Place(a, r));
  IoSetCancelRoutine(r.irp, SlowCancel);
  gCancelEntered = false;
  gCancelGo = false;
  std::thread canceller([&] { IoCancelIrp(r.irp); });
  while (!gCancelEntered.load()) std::this_thread::yield();
  Deliver({0x90, 0x3C});
  EXPECT_FALSE(r.done.load());
  gCancelGo = true;
  canceller.join();
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(a->PendingReadIrp, nullptr);
  ReaderRequest again(4);
  EXPECT_TRUE(Place(a, again));
  EXPECT_EQ(again.Bytes(), (Bytes{0x90, 0x3C})) << "the bytes stayed unread";
}

// Two reads completing at the same time on two threads while readers keep reading: every reader
// sees every byte once, in some order of whole transfers.
class ConcurrentReceiveTest : public ReceiveTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug(2);
    StartReads();
  }
};

TEST_F(ConcurrentReceiveTest, TwoCompletionsAtOnceWithReadersBeingServed) {
  constexpr int kReaders = 3, kBatches = 20, kBatch = 10;
  std::vector<OpenContext*> contexts;
  for (int i = 0; i < kReaders; i++) contexts.push_back(AddOpen());
  std::atomic<bool> stop{false};
  std::vector<Bytes> seen(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; i++) {
    readers.emplace_back([&, i] {
      while (!stop.load()) {
        ReaderRequest r(8);
        if (!Place(contexts[i], r) && !r.Wait(50)) {
          IoCancelIrp(r.irp);
          r.Wait();
        }
        if (r.status == STATUS_SUCCESS) {
          Bytes got = r.Bytes();
          seen[i].insert(seen[i].end(), got.begin(), got.end());
        }
      }
    });
  }
  auto caughtUp = [&] {
    KIRQL old;
    KeAcquireSpinLock(&ext_->RxLock, &old);
    bool all = true;
    for (OpenContext* c : contexts) all = all && c->RxReadIndex == ext_->RxWriteIndex;
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

// The child goes away while transfers keep completing on two threads: no completion routine may
// still be serving its slot when the device is deleted.
// The child is disabled, and then deleted with its parent, while transfers complete on two
// threads: no completion routine may reach its extension once it is gone.
TEST_F(ConcurrentReceiveTest, ChildDisabledThenDeletedWhileBytesArrive) {
  std::vector<PDEVICE_OBJECT> children = pnp_->QueryBusRelations(pdo_);
  ASSERT_EQ(children.size(), 1u);
  ep_->StartGenerator(20000, {0x90, 0x3C, 0x40});
  ASSERT_TRUE(ep_->WaitDelivered(50));
  pnp_->RemoveNow(children[0]);
  size_t before = ep_->Delivered();
  ASSERT_TRUE(ep_->WaitDelivered(before + 50)) << "reads go on with the child disabled";
  EXPECT_FALSE(tb::IsDeviceDeleted(children[0]));
  pnp_->SurpriseRemove(pdo_);
  ep_->StopGenerator();
  EXPECT_TRUE(tb::IsDeviceFreed(children[0]));
  pdo_ = nullptr;
  ext_ = nullptr;
}

}  // namespace

// A lower driver that keeps a read past the removal, ignoring both the abort and the remove: the
// function device and its pool stay until the read comes back, and then go completely.
class HeldReadRemovalTest : public StreamTest {};

TEST_F(HeldReadRemovalTest, TheDeviceOutlivesItsRemovalUntilTheLastReadComesBack) {
  Plug();
  bus_->AddFault(tb::UrbFault{.kind = tb::UrbFaultKind::NeverComplete,
                              .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                              .nth = 1});
  for (int i = 0; i < 2; i++) {
    TransferPacket* packet = TakePacket(fdo_);
    ASSERT_NE(packet, nullptr);
    packet->PacketFlags |= PACKET_CONTINUOUS_READ;
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext_->ActiveReadCount));
    SubmitRead(fdo_, packet);
  }
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
