// The internal codes on both devices, and the direct-call interface.
#include <cstring>

#include "support/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ControlTest : public StreamTest {
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
  tb::Result Internal(ULONG code, void* buffer = nullptr, ULONG in = 0, ULONG out = 0) {
    return InternalChild(child_, code, buffer, in, out);
  }
};

TEST_F(ControlTest, InternalOpensCountWithCreatesAndMoveTheReaderToTheNewest) {
  ChildOpen* open = Open();
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  Deliver({0x90, 0x01});
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  EXPECT_EQ(ext_->OpenCount, 3u);
  Deliver({0x90, 0x02});
  // The internal reader sees only what came after its last open; the create's reader all of it.
  EXPECT_EQ(InternalReadChild(child_, 16)->Bytes(), (Bytes{0x90, 0x02}));
  EXPECT_EQ(ReadChild(child_, open, 16)->Bytes(), (Bytes{0x90, 0x01, 0x90, 0x02}));
  ASSERT_EQ(Internal(IOCTL_CLIENT_CLOSE).status, STATUS_SUCCESS);
  Close(open);
  EXPECT_EQ(ext_->OpenCount, 1u);
  EXPECT_NE(ReadFdoFlags(ext_) & FDO_STREAM_RUNNING, 0u);
  Internal(IOCTL_CLIENT_CLOSE);
  EXPECT_EQ(ext_->OpenCount, 0u);
}

TEST_F(ControlTest, TheInternalReadTakesAtMostItsCapacityAndOneWaitsAtATime) {
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  Deliver({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  EXPECT_EQ(InternalReadChild(child_, 4)->Bytes(), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(InternalReadChild(child_, 4)->Bytes(), (Bytes{5, 6, 7, 8}));
  EXPECT_EQ(InternalReadChild(child_, 4)->Bytes(), (Bytes{9, 10}));
  auto waiting = InternalReadChild(child_, 4);
  ASSERT_EQ(waiting->returned, STATUS_PENDING);
  EXPECT_EQ(InternalReadChild(child_, 4)->status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(InternalReadChild(child_, 0)->status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(waiting->Cancel());
  ASSERT_TRUE(waiting->Wait());
  EXPECT_EQ(waiting->status, STATUS_CANCELLED);
  Internal(IOCTL_CLIENT_CLOSE);
}

TEST_F(ControlTest, TheInternalWriteSendsAndReportsWhatHappened) {
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  ASSERT_TRUE(ep_->WaitForWire(2));
  ep_->ClearWire();
  Bytes data(33);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i);
  tb::Result w = Internal(IOCTL_CLIENT_WRITE, data.data(), 33);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 33u);
  ASSERT_EQ(ep_->WireCount(), 2u);
  EXPECT_EQ(ep_->Wire()[1].bytes[1], 0xFF) << "the second transfer padded";
  EXPECT_EQ(Internal(IOCTL_CLIENT_WRITE, data.data(), 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Internal(IOCTL_CLIENT_WRITE, nullptr, 3).status, STATUS_INVALID_PARAMETER);
  // A failed send is reported as failed, not as success.
  ep_->FailNextOut(1, STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR);
  EXPECT_EQ(Internal(IOCTL_CLIENT_WRITE, data.data(), 3).status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Internal(0x222423).status, STATUS_INVALID_PARAMETER) << "an unknown code";
  Internal(IOCTL_CLIENT_CLOSE);
}

// An internal open the stream refuses is reported refused: the caller must not close later.
TEST_F(ControlTest, ARefusedInternalOpenIsReportedAsRefused) {
  USBD_PIPE_HANDLE saved = ext_->BulkInPipe;
  ext_->BulkInPipe = nullptr;
  EXPECT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(ext_->OpenCount, 0u);
  ext_->BulkInPipe = saved;
  pnp_->Send(pdo_, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_DELETE_PENDING);
  pnp_->Send(pdo_, IRP_MN_CANCEL_STOP_DEVICE);
  EXPECT_EQ(ext_->OpenCount, 0u);
}

TEST_F(ControlTest, TheFunctionDeviceAnswersEveryInternalCodeWithItsState) {
  auto send = [&](ULONG code) {
    return tb::Call(fdo_, [code](PIO_STACK_LOCATION s, PIRP) {
      s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      s->Parameters.DeviceIoControl.IoControlCode = code;
    });
  };
  for (ULONG code : {IOCTL_CLIENT_OPEN, IOCTL_CLIENT_CLOSE, IOCTL_CLIENT_READ, IOCTL_CLIENT_WRITE,
                     IOCTL_GET_DIRECT_CALL_INTERFACE}) {
    EXPECT_EQ(send(code).status, STATUS_INVALID_PARAMETER) << std::hex << code;
  }
  pnp_->Send(pdo_, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_EQ(send(IOCTL_CLIENT_OPEN).status, STATUS_DELETE_PENDING);
  pnp_->Send(pdo_, IRP_MN_CANCEL_STOP_DEVICE);
  EXPECT_TRUE(bus_->UrbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty()) << "nothing reached the USB stack";
}

TEST_F(ControlTest, TheDirectCallRecordIsFilledOnlyWhenAskedForExactly) {
  DIRECT_CALL_INTERFACE record;
  std::memset(&record, 0xAB, sizeof record);
  record.Magic = DIRECT_CALL_MAGIC;
  tb::Result r = DirectCallChild(child_, &record, DIRECT_CALL_INTERFACE_SIZE);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(record.Context, fdo_);
  EXPECT_EQ(record.Write, &QueueBytes);
  EXPECT_EQ(record.Control, &QueueStreamMessage);
  EXPECT_EQ(record.Reserved[0], 0xAB) << "the reserved bytes are the caller's";
  EXPECT_EQ(record.Magic, DIRECT_CALL_MAGIC);

  struct Case {
    const char* what;
    ULONG magic, length, code;
    bool null;
  } refused[] = {
      {"one byte short", DIRECT_CALL_MAGIC, DIRECT_CALL_INTERFACE_SIZE - 1, IOCTL_GET_DIRECT_CALL_INTERFACE, false},
      {"one byte long", DIRECT_CALL_MAGIC, DIRECT_CALL_INTERFACE_SIZE + 1, IOCTL_GET_DIRECT_CALL_INTERFACE, false},
      {"another magic", 0x54525632, DIRECT_CALL_INTERFACE_SIZE, IOCTL_GET_DIRECT_CALL_INTERFACE, false},
      {"another code", DIRECT_CALL_MAGIC, DIRECT_CALL_INTERFACE_SIZE, IOCTL_CLIENT_OPEN, false},
      {"no record", DIRECT_CALL_MAGIC, DIRECT_CALL_INTERFACE_SIZE, IOCTL_GET_DIRECT_CALL_INTERFACE, true},
  };
  for (const Case& c : refused) {
    DIRECT_CALL_INTERFACE untouched;
    std::memset(&untouched, 0xCD, sizeof untouched);
    untouched.Magic = c.magic;
    DIRECT_CALL_INTERFACE before = untouched;
    tb::Result bad = DirectCallChild(child_, c.null ? nullptr : &untouched, c.length, c.code);
    EXPECT_EQ(bad.status, STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(std::memcmp(&before, &untouched, sizeof untouched), 0) << c.what << ": the record was written";
  }
}

// The client's music path: the record's functions queue the message and the stream's writer
// sends it; the open stream's start and stop messages go out around it.
TEST_F(ControlTest, TheDirectCallFunctionsQueueForTheWriter) {
  DIRECT_CALL_INTERFACE call{};
  call.Magic = DIRECT_CALL_MAGIC;
  ASSERT_EQ(DirectCallChild(child_, &call, DIRECT_CALL_INTERFACE_SIZE).status, STATUS_SUCCESS);
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  ASSERT_TRUE(ep_->WaitForWire(2));
  ep_->ClearWire();
  Bytes note = {0x90, 0x3C, 0x64};
  EXPECT_EQ(call.Write(call.Context, note.data(), 3), 3u);
  ASSERT_TRUE(ep_->WaitForWire(1));
  EXPECT_EQ(ep_->ReceivedMidi(), note);
  EXPECT_EQ(call.Control(call.Context, 1), STATUS_SUCCESS);
  ASSERT_TRUE(ep_->WaitForWire(2));
  Internal(IOCTL_CLIENT_CLOSE);
  EXPECT_EQ(ep_->WireCount(), 2u) << "the queued stop message stood for the close's own";
}

TEST_F(ControlTest, AnOpenAndTheInternalReaderBothGetEveryNewByte) {
  ChildOpen* open = Open();
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  auto a = ReadChild(child_, open, 8);
  auto b = InternalReadChild(child_, 8);
  Deliver({0x90, 0x3C, 0x40});
  ASSERT_TRUE(a->Wait());
  ASSERT_TRUE(b->Wait());
  EXPECT_EQ(a->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  EXPECT_EQ(b->Bytes(), (Bytes{0x90, 0x3C, 0x40}));
  Internal(IOCTL_CLIENT_CLOSE);
}

// The child disabled and enabled again while its USB device stays: its waiting internal read
// ends, the same device object starts again, and reads work.
TEST_F(ControlTest, ADisabledChildStartsAgainAndReadsAgain) {
  ASSERT_EQ(Internal(IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
  auto waiting = InternalReadChild(child_, 4);
  ASSERT_EQ(waiting->returned, STATUS_PENDING);
  Internal(IOCTL_CLIENT_CLOSE);
  EXPECT_EQ(pnp_->Disable(child_), STATUS_SUCCESS);
  ASSERT_TRUE(waiting->Wait());
  EXPECT_EQ(waiting->status, STATUS_DELETE_PENDING);
  EXPECT_EQ(InternalReadChild(child_, 4)->status, STATUS_DELETE_PENDING);
  EXPECT_FALSE(tb::IsDeviceDeleted(child_));
  EXPECT_EQ(pnp_->Enable(child_), STATUS_SUCCESS);
  ChildOpen* open = Open();
  Deliver({0x90, 0x05});
  EXPECT_EQ(ReadChild(child_, open, 4)->Bytes(), (Bytes{0x90, 0x05}));
}

}  // namespace
