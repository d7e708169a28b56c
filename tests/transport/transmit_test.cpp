// The transmit path on the wire: 32-byte transfers padded with 0xFF, the ring and its writer.
#include <atomic>
#include <chrono>
#include <thread>

#include "support/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Seq(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>((first + i) % 0x80);
  return b;
}

Bytes Padded(const Bytes& data) {
  Bytes b = data;
  b.resize(32, 0xFF);
  return b;
}

class TransmitTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug();
    ep_->ClearWire();  // descriptor traffic is not on the bulk pipe, but start from nothing
  }
  // The stream open, its two start messages out and off the record: the writer runs.
  ChildOpen* Run() {
    ChildOpen* open = Open();
    EXPECT_TRUE(ep_->WaitForWire(2));
    ep_->ClearWire();
    return open;
  }
  // What went out besides the stream's own messages, as MIDI bytes in wire order.
  Bytes MidiBesidesTheStreamMessages() {
    Bytes start(32, 0xFF), stop(32, 0xFF);
    std::copy(StartMessage, StartMessage + START_MESSAGE_LENGTH, start.begin());
    std::copy(StopMessage, StopMessage + STOP_MESSAGE_LENGTH, stop.begin());
    Bytes out;
    for (auto& w : ep_->Wire()) {
      if (w.bytes == start || w.bytes == stop) continue;
      for (size_t i = 0; i < w.bytes.size() && !(i > 0 && w.bytes[i] == 0xFF); i++) out.push_back(w.bytes[i]);
    }
    return out;
  }
  std::vector<Bytes> WireBytes() {
    std::vector<Bytes> out;
    for (auto& w : ep_->Wire()) out.push_back(w.bytes);
    return out;
  }
};

TEST_F(TransmitTest, ShortSendsArePaddedToThirtyTwoBytes) {
  struct Case {
    size_t length;
    std::vector<Bytes> wire;
  };
  Bytes b1 = Seq(1, 0x90), b31 = Seq(31), b32 = Seq(32), b33 = Seq(33), b64 = Seq(64);
  std::vector<Case> cases = {
      {1, {Padded(b1)}},
      {31, {Padded(b31)}},
      {32, {b32}},
      {33, {Bytes(b33.begin(), b33.begin() + 32), Padded(Bytes{b33[32]})}},
      {64, {Bytes(b64.begin(), b64.begin() + 32), Bytes(b64.begin() + 32, b64.end())}},
  };
  const Bytes* sources[] = {&b1, &b31, &b32, &b33, &b64};
  for (size_t i = 0; i < cases.size(); i++) {
    ep_->ClearWire();
    EXPECT_EQ(SendBytes(fdo_, sources[i]->data(), static_cast<ULONG>(cases[i].length)), STATUS_SUCCESS);
    EXPECT_EQ(WireBytes(), cases[i].wire) << "length " << cases[i].length;
  }
  Bytes start = {0xF0, 0x00, 0x2F, 0x5A, 0x64, 0x0B, 0x00, 0x00, 0xF7};
  ep_->ClearWire();
  EXPECT_EQ(SendBytes(fdo_, start.data(), 9), STATUS_SUCCESS);
  ASSERT_EQ(ep_->WireCount(), 1u);
  EXPECT_EQ(ep_->Wire()[0].bytes, Padded(start));
  EXPECT_EQ(ep_->Wire()[0].bytes.size(), 32u);
}

TEST_F(TransmitTest, ZeroLengthSendsNothingButNeedsAPacket) {
  Bytes none;
  EXPECT_EQ(SendBytes(fdo_, none.data(), 0), STATUS_SUCCESS);
  EXPECT_EQ(ep_->WireCount(), 0u);
  EXPECT_EQ(KeReadStateSemaphore(&ext_->FreePacketSemaphore), 32);
  std::vector<TransferPacket*> all;
  for (int i = 0; i < 32; i++) all.push_back(TakePacket(fdo_));
  EXPECT_EQ(SendBytes(fdo_, none.data(), 0), STATUS_INSUFFICIENT_RESOURCES);
  for (auto* p : all) ReturnPacket(fdo_, p);
}

TEST_F(TransmitTest, UsbErrorIsReportedAsInsufficientResourcesAndStopsTheSend) {
  ep_->FailNextOut(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  Bytes data = Seq(64);
  EXPECT_EQ(SendBytes(fdo_, data.data(), 64), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ep_->WireCount(), 0u) << "nothing after the failed transfer goes out";
  EXPECT_EQ(KeReadStateSemaphore(&ext_->FreePacketSemaphore), 32) << "the packet came back";
}

TEST_F(TransmitTest, DeviceThatStopsBeingReadyEndsTheSendAfterWhatWasSent) {
  ep_->OnOut([this](const tb::WireTransfer&) { SetFdoFlags(ext_, FDO_STOP_PENDING); });
  Bytes data = Seq(96);
  EXPECT_EQ(SendBytes(fdo_, data.data(), 96), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ep_->WireCount(), 1u);
  ep_->OnOut(nullptr);
  ClearFdoFlags(ext_, FDO_STOP_PENDING);
}

TEST_F(TransmitTest, NoBulkOutPipeFailsWithoutTakingAPacket) {
  std::vector<TransferPacket*> all;
  for (int i = 0; i < 32; i++) all.push_back(TakePacket(fdo_));
  USBD_PIPE_HANDLE saved = ext_->BulkOutPipe;
  ext_->BulkOutPipe = nullptr;
  Bytes data = Seq(4);
  auto start = Clock::now();
  EXPECT_EQ(SendBytes(fdo_, data.data(), 4), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << "it must not wait for a packet";
  EXPECT_EQ(ep_->WireCount(), 0u);
  ext_->BulkOutPipe = saved;
  for (auto* p : all) ReturnPacket(fdo_, p);
}

TEST_F(TransmitTest, RingWrapGoesOutAsTwoPaddedRuns) {
  ChildOpen* open = Run();
  // Moved while the ring is empty: the writer reads the positions only after a producer's count.
  ext_->TxWriteIndex = 250;
  ext_->TxReadIndex = 250;
  Bytes data = Seq(10, 0x10);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 10), 10u);
  ASSERT_TRUE(ep_->WaitForWire(2));
  EXPECT_EQ(Bytes(ext_->TxRing + 250, ext_->TxRing + 256), Bytes(data.begin(), data.begin() + 6));
  EXPECT_EQ(Bytes(ext_->TxRing, ext_->TxRing + 4), Bytes(data.begin() + 6, data.end()));
  auto wire = WireBytes();
  Close(open);
  ASSERT_EQ(wire.size(), 2u);
  EXPECT_EQ(wire[0], Padded(Bytes(data.begin(), data.begin() + 6)));
  EXPECT_EQ(wire[1], Padded(Bytes(data.begin() + 6, data.end())));
  EXPECT_EQ(ext_->TxCount, 0u);
  EXPECT_EQ(ext_->TxReadIndex, 4u);
}

TEST_F(TransmitTest, QueueingMoreThanTheRingWaitsForTheWriter) {
  ChildOpen* open = Run();
  ep_->SetOutLatency(10);  // a slow device: the ring fills before the writer empties it
  Bytes data = Seq(300);
  auto start = Clock::now();
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 300), 300u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50)) << "a full ring sleeps 50 ms at a time";
  auto until = Clock::now() + std::chrono::seconds(10);
  while (ep_->ReceivedMidi().size() < 300 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(ep_->ReceivedMidi(), data);
  Close(open);
}

TEST_F(TransmitTest, FullRingWithoutAWriterReturnsWhatItTook) {
  Bytes data = Seq(300);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 300), 256u);
  EXPECT_EQ(ext_->TxCount, 256u);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 1), 0u);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 0), 0u);
  // The writer of a later run of the stream sends what waited in the ring (beside the start
  // messages, which the open sends on its own).
  ChildOpen* open = Open();
  auto until = Clock::now() + std::chrono::seconds(10);
  while (MidiBesidesTheStreamMessages().size() < 256 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(MidiBesidesTheStreamMessages(), Bytes(data.begin(), data.begin() + 256));
  Close(open);
}

TEST_F(TransmitTest, WriterRunsAtRealtimePriorityAndEndsWhenTheStreamStops) {
  ChildOpen* open = Run();
  PVOID thread = ext_->WriterThread;
  ObfReferenceObject(thread);
  Bytes data = Seq(5);
  QueueBytes(fdo_, data.data(), 5);
  ASSERT_TRUE(ep_->WaitForWire(1));
  EXPECT_EQ(tb::ThreadPriority(thread), LOW_REALTIME_PRIORITY);
  Close(open);
  EXPECT_EQ(ext_->WriterThread, nullptr) << "the last close waited for it";
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  ObfDereferenceObject(thread);
}

// Several client threads queue at once: each call's bytes stay together and in order, and
// nothing is lost or duplicated.
TEST_F(TransmitTest, ConcurrentProducersKeepEachCallWhole) {
  ChildOpen* open = Run();
  constexpr int kThreads = 4, kCalls = 40, kLength = 7;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; t++) {
    producers.emplace_back([this, t] {
      for (int c = 0; c < kCalls; c++) {
        Bytes msg(kLength, static_cast<uint8_t>(t * 0x10 + (c % 0x10)));
        EXPECT_EQ(QueueBytes(fdo_, msg.data(), kLength), ULONG(kLength));
      }
    });
  }
  for (auto& p : producers) p.join();
  auto until = Clock::now() + std::chrono::seconds(10);
  while (ep_->ReceivedMidi().size() < size_t(kThreads * kCalls * kLength) && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Bytes got = ep_->ReceivedMidi();
  Close(open);
  ASSERT_EQ(got.size(), size_t(kThreads * kCalls * kLength));
  std::vector<int> next(kThreads, 0);
  for (size_t i = 0; i < got.size(); i += kLength) {
    for (int k = 1; k < kLength; k++) ASSERT_EQ(got[i + k], got[i]) << "a call was split at " << i;
    int t = got[i] / 0x10;
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(got[i] % 0x10, next[t] % 0x10) << "producer " << t << " out of order";
    next[t]++;
  }
}

TEST_F(TransmitTest, DirectSendsFromSeveralThreadsAllArrive) {
  constexpr int kThreads = 4, kSends = 25;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; t++) {
    senders.emplace_back([this, t] {
      for (int s = 0; s < kSends; s++) {
        Bytes block(32, static_cast<uint8_t>(t));
        block[1] = static_cast<uint8_t>(s);
        EXPECT_EQ(SendBytes(fdo_, block.data(), 32), STATUS_SUCCESS);
      }
    });
  }
  for (auto& s : senders) s.join();
  auto wire = WireBytes();
  ASSERT_EQ(wire.size(), size_t(kThreads * kSends));
  std::vector<int> next(kThreads, 0);
  for (auto& w : wire) {
    int t = w[0];
    EXPECT_EQ(w[1], next[t]++) << "one sender's transfers stay in order";
  }
}

// Removal must not free the extension or the pool under the writer thread or a read in flight.
TEST_F(TransmitTest, RemovalEndsTheWriterAndTheReadsBeforeReleasing) {
  Run();
  Bytes data = Seq(100);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 100), 100u);
  Remove();
  EXPECT_EQ(tb::RunningSystemThreads(), 0u);
}

TEST_F(TransmitTest, SurpriseRemovalEndsATransferTheDeviceNeverCompletes) {
  Run();
  ep_->HoldOut(true);
  Bytes data = Seq(40);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 40), 40u);
  ASSERT_TRUE(ep_->WaitForWire(1));
  ep_.reset();
  pnp_->SurpriseRemove(pdo_);
  pdo_ = nullptr;
  EXPECT_EQ(tb::RunningSystemThreads(), 0u);
}

}  // namespace
