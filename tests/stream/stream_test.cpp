// The stream: the first open's power-up, reads, writer and two start messages; the last close's
// drain, stop message and idle state; the writer's lifetime; reads brought back when the device
// is ready again with the stream open.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/power.h"
#include "support/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Padded(const UCHAR* message, size_t length) {
  Bytes b(message, message + length);
  b.resize(32, 0xFF);
  return b;
}

class StreamRunTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug(1, WithIdleState());
    ep_->ClearWire();
  }
  std::vector<Bytes> Wire() {
    std::vector<Bytes> out;
    for (auto& w : ep_->Wire()) out.push_back(w.bytes);
    return out;
  }
  // The position in the bus's log of the first event matching `match`, or SIZE_MAX.
  size_t FirstInLog(const std::function<bool(const tb::BusEvent&)>& match) {
    for (const tb::BusEvent& e : bus_->Log()) {
      if (match(e)) return e.sequence;
    }
    return SIZE_MAX;
  }
  size_t FirstPower(const std::string& name) {
    return FirstInLog([&](const tb::BusEvent& e) { return e.kind == tb::BusEvent::Kind::Power && e.name == name; });
  }
  size_t FirstOut(size_t after = 0) {
    return FirstInLog([&](const tb::BusEvent& e) {
      return e.sequence >= after && e.kind == tb::BusEvent::Kind::Urb && e.code == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
             e.pipe == ext_->BulkOutPipe;
    });
  }
  bool TurnTaken() { return (ReadFdoFlags(ext_) & FDO_POWER_REQUEST_PENDING) != 0; }
  // One transfer in, read back through a new read on `open`.
  Bytes RoundTrip(ChildOpen* open, const Bytes& transfer) {
    std::unique_ptr<SentRequest> r;
    do {
      r = ReadChild(child_, open, 32);  // what arrived before is read first
    } while (r->returned != STATUS_PENDING);
    ep_->Feed(transfer);
    if (!r->Wait(3000)) {
      r->Cancel();
      r->Wait();
    }
    return r->Bytes();
  }
};

TEST_F(StreamRunTest, TheFirstOpenPowersUpThenSendsTheStartMessageTwice) {
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForWire(2));
  Bytes start = Padded(StartMessage, START_MESSAGE_LENGTH);
  EXPECT_EQ(Wire(), (std::vector<Bytes>{start, start}));
  EXPECT_EQ(start, (Bytes{0xF0, 0x00, 0x2F, 0x5A, 0x64, 0x0B, 0x00, 0x00, 0xF7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  size_t d0 = FirstPower("SET_POWER D0");
  ASSERT_NE(d0, SIZE_MAX);
  EXPECT_LT(d0, FirstOut()) << "a start message went out before the device was in D0";
  EXPECT_EQ(ext_->OpenCount, 1u);
  EXPECT_EQ(ActiveReads(), 2u);
  EXPECT_NE(ext_->WriterThread, nullptr);
  EXPECT_EQ(ext_->StreamState, static_cast<ULONG>(STREAM_START_SENT));
  Close(open);
}

TEST_F(StreamRunTest, TheLastCloseSendsOneStopMessageThenLowersTheDevice) {
  ChildOpen* a = Open();
  ChildOpen* b = Open();
  ASSERT_TRUE(ep_->WaitForWire(2));
  EXPECT_EQ(ep_->WireCount(), 2u) << "the second open starts nothing";
  ep_->ClearWire();
  Close(a);
  EXPECT_EQ(ep_->WireCount(), 0u) << "one close of two stops nothing";
  EXPECT_NE(ReadFdoFlags(ext_) & FDO_STREAM_RUNNING, 0u);
  size_t before = bus_->Log().size();
  Close(b);
  EXPECT_EQ(Wire(), (std::vector<Bytes>{Padded(StopMessage, STOP_MESSAGE_LENGTH)}));
  EXPECT_EQ(Wire()[0][9], 0xF7);
  EXPECT_EQ(Wire()[0][10], 0xFF);
  ASSERT_TRUE(WaitUntil([&] { return !TurnTaken(); }));
  size_t stop = FirstOut(before);
  size_t idle = FirstInLog([&](const tb::BusEvent& e) { return e.sequence > stop && e.name == "SET_POWER D2"; });
  EXPECT_NE(idle, SIZE_MAX) << "the idle state after the stop message";
  EXPECT_EQ(ext_->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ext_->WriterThread, nullptr);
  EXPECT_EQ(tb::RunningSystemThreads(), 0u);
  // A close with nothing open changes nothing.
  ep_->ClearWire();
  EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_CLOSE).status, STATUS_SUCCESS);
  EXPECT_EQ(ep_->WireCount(), 0u);
  EXPECT_EQ(ext_->OpenCount, 0u);
}

// A stop message the client queued itself is the stream's stop message: the close sends none.
TEST_F(StreamRunTest, AQueuedStopMessageStandsForTheClosesOwn) {
  for (ULONG stop : {1u, 0u}) {
    ChildOpen* open = Open();
    ASSERT_TRUE(ep_->WaitForWire(2));
    ep_->ClearWire();
    EXPECT_EQ(QueueStreamMessage(fdo_, stop), STATUS_SUCCESS);
    ASSERT_TRUE(ep_->WaitForWire(1));
    Close(open);
    std::vector<Bytes> wire = Wire();
    Bytes queued = stop ? Padded(StopMessage, STOP_MESSAGE_LENGTH) : Padded(StartMessage, START_MESSAGE_LENGTH);
    if (stop) {
      EXPECT_EQ(wire, (std::vector<Bytes>{queued})) << "no second stop message";
    } else {
      EXPECT_EQ(wire, (std::vector<Bytes>{queued, Padded(StopMessage, STOP_MESSAGE_LENGTH)}));
    }
    ep_->ClearWire();
  }
}

TEST_F(StreamRunTest, ASecondRunFindsItsReadsStillRunning) {
  ChildOpen* open = Open();
  Close(open);
  size_t reads = bus_->UrbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size();
  open = Open();
  EXPECT_EQ(ActiveReads(), 2u);
  size_t newReads = 0;
  auto urbs = bus_->UrbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  for (size_t i = reads; i < urbs.size(); i++) newReads += urbs[i].pipe == ext_->BulkInPipe;
  EXPECT_EQ(newReads, 0u);
  Close(open);
}

TEST_F(StreamRunTest, AFirstOpenWithoutTheBulkInPipeIsRefused) {
  USBD_PIPE_HANDLE saved = ext_->BulkInPipe;
  ext_->BulkInPipe = nullptr;
  auto open = OpenChild(child_);
  EXPECT_EQ(open->status, STATUS_DELETE_PENDING);
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ep_->WireCount(), 0u);
  EXPECT_EQ(ext_->OpenContextList, nullptr) << "the refused open's record is gone";
  ext_->BulkInPipe = saved;
}

// The second start message does not go out: the open is refused, and nothing of the start stays,
// least of all a writer; the next open starts cleanly with one writer.
TEST_F(StreamRunTest, AStartWhoseSecondMessageFailsIsUndone) {
  // The two reads are the first bulk transfers, then the two start messages.
  bus_->AddFault(tb::UrbFault{.kind = tb::UrbFaultKind::Fail, .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .nth = 4});
  auto open = OpenChild(child_);
  EXPECT_EQ(open->status, STATUS_DELETE_PENDING);
  EXPECT_EQ(ep_->WireCount(), 1u) << "the first start message went out";
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ReadFdoFlags(ext_) & FDO_STREAM_RUNNING, 0u);
  EXPECT_EQ(ext_->WriterThread, nullptr);
  EXPECT_EQ(tb::RunningSystemThreads(), 0u);
  EXPECT_EQ(ext_->OpenPipeCount, 0);
  CloseChild(child_, *open);
  bus_->ClearFaults();
  ChildOpen* again = Open();
  EXPECT_EQ(tb::RunningSystemThreads(), 1u);
  Close(again);
}

// A writer that cannot finish (its transfer held by the device) outlives the last close; the next
// first open does not put a second writer on the ring while it runs, and the removal waits for it
// once the pipes are aborted.
TEST_F(StreamRunTest, AWriterStuckInATransferIsNeverJoinedByASecond) {
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForWire(2));
  // The writer's next transfer is kept by the device; the close's stop message is not.
  bus_->AddFault(tb::UrbFault{.kind = tb::UrbFaultKind::NeverComplete,
                              .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .nth = 1});
  Bytes bytes(40, 0x40);
  EXPECT_EQ(QueueBytes(fdo_, bytes.data(), 40), 40u);
  ASSERT_TRUE(WaitUntil([&] { return bus_->HeldCount() == 1; }));
  Close(open);
  EXPECT_NE(ext_->WriterThread, nullptr) << "still sending: left for a later wait";
  auto refused = OpenChild(child_);
  EXPECT_EQ(refused->status, STATUS_DELETE_PENDING);
  EXPECT_EQ(tb::RunningSystemThreads(), 1u);
  CloseChild(child_, *refused);
  bus_->ReleaseHeld(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  ChildOpen* later = Open();
  EXPECT_EQ(tb::RunningSystemThreads(), 1u);
  Close(later);
}

// Each way the continuous reads end while the stream stays open: bytes are received afterwards.
TEST_F(StreamRunTest, ReadsComeBackWheneverTheDeviceIsReadyAgain) {
  ChildOpen* open = Open();
  ASSERT_TRUE(ep_->WaitForPendingIn(2));
  struct Way {
    const char* what;
    std::function<void()> interrupt;
  } ways[] = {
      {"query-stop cancelled",
       [&] {
         pnp_->QueryStop(pdo_);
         ep_->Feed({0x90, 0x01});  // completes a read while the device is not ready: it ends
         ep_->Feed({0x90, 0x02});
         ASSERT_TRUE(WaitUntil([&] { return ActiveReads() == 0; }));
         pnp_->CancelStop(pdo_);
       }},
      {"query-remove cancelled",
       [&] {
         pnp_->QueryRemove(pdo_);
         ep_->Feed({0x90, 0x03});
         ep_->Feed({0x90, 0x04});
         ASSERT_TRUE(WaitUntil([&] { return ActiveReads() == 0; }));
         pnp_->CancelRemove(pdo_);
       }},
      {"stop and start", [&] { EXPECT_EQ(pnp_->StopAndRestart(pdo_), STATUS_SUCCESS); }},
      {"low power and back", [&] {
         SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2);
         SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
       }},
  };
  for (const Way& w : ways) {
    w.interrupt();
    ASSERT_TRUE(ep_->WaitForPendingIn(2)) << w.what;
    EXPECT_EQ(ActiveReads(), 2u) << w.what;
    EXPECT_EQ(RoundTrip(open, {0x80, 0x3C, 0x00}), (Bytes{0x80, 0x3C, 0x00})) << w.what;
  }
  Close(open);
}

// Opens and closes from several threads: one count, at most one writer, and a final state that
// matches the last close.
TEST_F(StreamRunTest, ConcurrentOpensAndClosesKeepOneCountAndOneWriter) {
  std::atomic<bool> done{false};
  std::atomic<size_t> mostWriters{0};
  std::thread watcher([&] {
    while (!done) {
      size_t n = tb::RunningSystemThreads();
      if (n > mostWriters) mostWriters = n;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; t++) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 5; i++) {
        if (t % 2 == 0) {
          auto open = OpenChild(child_);
          EXPECT_EQ(open->status, STATUS_SUCCESS);
          CloseChild(child_, *open);
        } else {
          EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_OPEN).status, STATUS_SUCCESS);
          EXPECT_EQ(InternalChild(child_, IOCTL_CLIENT_CLOSE).status, STATUS_SUCCESS);
        }
      }
    });
  }
  for (auto& c : clients) c.join();
  done = true;
  watcher.join();
  EXPECT_LE(mostWriters.load(), 1u);
  EXPECT_EQ(ext_->OpenCount, 0u);
  EXPECT_EQ(ReadFdoFlags(ext_) & FDO_STREAM_RUNNING, 0u);
  EXPECT_EQ(ext_->WriterThread, nullptr);
}

// A device that fails every bulk-in transfer at once: each read the start sends gives its packet
// straight back. The open must still get through, with no read left running, rather than
// sending the same read again and again.
TEST_F(StreamRunTest, AFirstOpenWhoseReadsFailAtOnceStillReturns) {
  bus_->SetPipeHook(0x81, [](tb::BulkTransfer&) {
    return tb::BulkAnswer{false, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0};
  });
  std::atomic<bool> opened{false};
  std::thread opener([&] {
    Open();
    opened = true;
  });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!opened && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!opened) {
    // The opener spins in the driver and cannot be joined: end here, with the failure printed.
    ADD_FAILURE() << "the first open never returned";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  opener.join();
  EXPECT_EQ(ActiveReads(), 0u);
}

}  // namespace
