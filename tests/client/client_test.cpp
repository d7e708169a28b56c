// The client's create, close, read and write on the child device.
#include <atomic>
#include <thread>

#include "support/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ClientTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug();
    ep_->ClearWire();
  }
  void Deliver(const Bytes& transfer) {
    size_t before = ep_->Delivered();
    ep_->Feed(transfer);
    ASSERT_TRUE(ep_->WaitDelivered(before + 1));
  }
  std::unique_ptr<SentRequest> Read(ChildOpen* open, ULONG length) { return ReadChild(child_, open, length); }
};

TEST_F(ClientTest, AReadTakesWhatWaitsAtOnceOrWaitsForTheNextBytes) {
  ChildOpen* open = Open();
  Deliver({0x90, 0x3C, 0x40});
  auto now = Read(open, 8);
  EXPECT_EQ(now->returned, STATUS_SUCCESS);
  EXPECT_EQ(now->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  auto later = Read(open, 2);
  EXPECT_EQ(later->returned, STATUS_PENDING);
  auto second = Read(open, 8);
  EXPECT_EQ(second->status, STATUS_UNSUCCESSFUL) << "one waiting read per open";
  EXPECT_FALSE(later->done.load());
  Deliver({0x80, 0x3C, 0x00});
  ASSERT_TRUE(later->Wait());
  EXPECT_EQ(later->Bytes(), (Bytes{0x80, 0x3C}));
  EXPECT_EQ(Read(open, 8)->Bytes(), (Bytes{0x00}));
}

TEST_F(ClientTest, EachOpenReceivesEveryByteAfterItsOpenAndNoneBefore) {
  ChildOpen* early = Open();
  Deliver({0x90, 0x01});
  ChildOpen* late = Open();
  Deliver({0x90, 0x02});
  EXPECT_EQ(Read(early, 16)->Bytes(), (Bytes{0x90, 0x01, 0x90, 0x02}));
  EXPECT_EQ(Read(late, 16)->Bytes(), (Bytes{0x90, 0x02}));
}

TEST_F(ClientTest, ACancelledReadEndsCancelledAndTheOpenReadsAgain) {
  ChildOpen* open = Open();
  auto r = Read(open, 4);
  ASSERT_EQ(r->returned, STATUS_PENDING);
  EXPECT_TRUE(r->Cancel());
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_EQ(r->information, 0u);
  auto again = Read(open, 4);
  EXPECT_EQ(again->returned, STATUS_PENDING);
  Deliver({0xC0, 0x05});
  ASSERT_TRUE(again->Wait());
  EXPECT_EQ(again->Bytes(), (Bytes{0xC0, 0x05}));
}

TEST_F(ClientTest, BadReadsAndWritesAreRefused) {
  ChildOpen* open = Open();
  ep_->ClearWire();
  EXPECT_EQ(Read(open, 0)->status, STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(ReadChild(child_, open, 4, KernelMode, true)->status, STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(ReadChild(child_, nullptr, 4)->status, STATUS_UNSUCCESSFUL) << "no record";
  tb::Result empty = WriteChild(child_, open, nullptr, 0);
  EXPECT_EQ(empty.status, STATUS_SUCCESS);
  EXPECT_EQ(empty.information, 0u);
  tb::Result missing = WriteChild(child_, open, nullptr, 5);
  EXPECT_EQ(missing.status, STATUS_INVALID_PARAMETER) << "nothing was sent: no success";
  EXPECT_EQ(missing.information, 0u);
  EXPECT_EQ(ep_->WireCount(), 0u);
}

TEST_F(ClientTest, AWriteGoesOutAtOnceAndReportsWhatHappened) {
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForWire(2));
  ep_->ClearWire();
  Bytes note = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
  tb::Result w = WriteChild(child_, open, note.data(), 6);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 6u);
  EXPECT_EQ(ep_->ReceivedMidi(), note);
  ep_->FailNextOut(1, STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR);
  EXPECT_EQ(WriteChild(child_, open, note.data(), 6).status, STATUS_INSUFFICIENT_RESOURCES);
}

// Requests from user mode would have the driver write into another process's memory later, at
// DISPATCH_LEVEL: refused, and nothing started, sent or written.
TEST_F(ClientTest, UserModeRequestsAreRefusedWithoutEffect) {
  auto user = OpenChild(child_, UserMode);
  EXPECT_EQ(user->status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(user->file.FsContext, nullptr);
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForWire(2));
  ep_->ClearWire();
  Deliver({0x90, 0x01});
  auto read = ReadChild(child_, open, 8, UserMode);
  EXPECT_EQ(read->status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(read->buffer, Bytes(8, 0)) << "nothing written";
  Bytes note = {0x90, 0x3C, 0x64};
  EXPECT_EQ(WriteChild(child_, open, note.data(), 3, UserMode).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(ep_->WireCount(), 0u);
  DIRECT_CALL_INTERFACE record{};
  record.Magic = DIRECT_CALL_MAGIC;
  EXPECT_EQ(DirectCallChild(child_, &record, DIRECT_CALL_INTERFACE_SIZE, IOCTL_GET_DIRECT_CALL_INTERFACE, UserMode).status,
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(record.Write, nullptr);
  EXPECT_EQ(Read(open, 8)->Bytes(), (Bytes{0x90, 0x01})) << "the byte is still the kernel client's";
  CloseChild(child_, *user);
}

TEST_F(ClientTest, AnOpenWithoutItsRecordIsRefusedAndStartsNothing) {
  tb::FaultPlan plan;
  plan.failNth = 1;  // the record is the open's first allocation
  tb::SetFaultPlan(plan);
  auto open = OpenChild(child_);
  tb::ClearFaults();
  EXPECT_EQ(open->status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ep_->WireCount(), 0u);
  EXPECT_EQ(tb::RunningSystemThreads(), 0u);
  CloseChild(child_, *open);
}

TEST_F(ClientTest, AnOpenOnADeviceThatIsNotReadyIsRefused) {
  for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
    pnp_->Send(pdo_, minor);
    auto open = OpenChild(child_);
    EXPECT_EQ(open->status, STATUS_DELETE_PENDING);
    EXPECT_EQ(ext_->OpenCount, 0u);
    CloseChild(child_, *open);
    pnp_->Send(pdo_, minor == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE);
  }
  ChildOpen* open = Open();
  EXPECT_EQ(open->status, STATUS_SUCCESS);
}

// At surprise removal every waiting read ends, the opens' and the child's; a read after it fails
// at once.
TEST_F(ClientTest, ReadsWaitingWhenTheDeviceGoesEndWithDeletePending) {
  ChildOpen* a = Open();
  ChildOpen* b = Open();
  ASSERT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  auto ra = Read(a, 4);
  auto rb = Read(b, 4);
  auto internal = InternalReadChild(child_, 4);
  ASSERT_EQ(ra->returned, STATUS_PENDING);
  ASSERT_EQ(internal->returned, STATUS_PENDING);
  ep_.reset();
  bus_->Unplug();
  pnp_->beforeChildRemove = nullptr;  // the client closes its handles only after the surprise
  pnp_->SurpriseRemove(pdo_);          // the removes wait for the handles
  for (auto* r : {ra.get(), rb.get(), internal.get()}) {
    ASSERT_TRUE(r->Wait());
    EXPECT_EQ(r->status, STATUS_DELETE_PENDING);
    EXPECT_EQ(r->information, 0u);
  }
  EXPECT_EQ(Read(a, 4)->status, STATUS_DELETE_PENDING);
  EXPECT_EQ(InternalReadChild(child_, 4)->status, STATUS_DELETE_PENDING);
  InternalChild(child_, IOCTL_CLIENT_CLOSE);
  CloseAll();
  ASSERT_TRUE(pnp_->WaitIdle());
  EXPECT_TRUE(tb::IsDeviceFreed(child_));
  pdo_ = nullptr;
}

// A read is cancelled on one thread while transfers complete on another: whichever takes it
// completes it, exactly once.
TEST_F(ClientTest, CancelsRacingTheReceivePathCompleteEachReadOnce) {
  ChildOpen* open = Open();
  ep_->StartGenerator(5000, {0x90, 0x3C});
  size_t cancelled = 0, served = 0, reads = 0;
  // Until both ends have been seen many times (bounded): which wins each race is the machine's.
  for (int i = 0; i < 20000 && (cancelled < 20 || served < 20); i++) {
    auto r = Read(open, 2);
    // Cancels at once and up to a generator period later, so that some land as the transfer
    // completes the read and some before it.
    if (i % 4 != 0) std::this_thread::sleep_for(std::chrono::microseconds(70 * (i % 4)));
    if (r->returned == STATUS_PENDING) r->Cancel();
    ASSERT_TRUE(r->Wait());
    (r->status == STATUS_CANCELLED ? cancelled : served)++;
    reads++;
  }
  ep_->StopGenerator();
  EXPECT_EQ(cancelled + served, reads);
  EXPECT_GE(served, 20u);
  EXPECT_GE(cancelled, 20u);
}

// The last close while a completion serves the same open on another thread.
TEST_F(ClientTest, ClosesRacingReadCompletionsLeaveNothingBehind) {
  ep_->StartGenerator(5000, {0x90, 0x3C});
  ChildOpen* keep = Open();
  for (int i = 0; i < 30; i++) {
    ChildOpen* open = Open();
    auto r = Read(open, 2);
    r->Wait(20);
    if (!r->done) {
      r->Cancel();
      r->Wait();
    }
    Close(open);
  }
  ep_->StopGenerator();
  Close(keep);
  EXPECT_EQ(ext_->OpenContextList, nullptr);
  EXPECT_EQ(ext_->OpenCount, 0u);
}

}  // namespace
