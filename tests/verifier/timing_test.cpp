// The driver's timing constants, read from what the test bed recorded of its waits and delays
// rather than measured with a clock: exact, and immune to a loaded machine.
#include <chrono>
#include <thread>

#include "support/stream.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimingTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    Plug();
  }
  // The recorded calls of `kind` made by `routine` itself, or (`within`) by what it called.
  static std::vector<tb::TimedCall> CallsFrom(const std::string& routine, tb::TimedCall::Kind kind,
                                              bool within = false) {
    std::vector<tb::TimedCall> out;
    for (auto& c : tb::TimedCalls()) {
      bool from = within ? c.caller.find(routine) != std::string::npos
                         : c.caller == routine || c.caller.rfind(routine + " <- ", 0) == 0;
      if (c.kind == kind && from) out.push_back(c);
    }
    return out;
  }
  static uint64_t Count(const std::vector<tb::TimedCall>& calls) {
    uint64_t n = 0;
    for (auto& c : calls) n += c.count;
    return n;
  }
};

TEST_F(TimingTest, WriterThreadWakesEveryTwoMilliseconds) {
  ChildOpen* open = Open();
  auto until = Clock::now() + std::chrono::seconds(5);
  while (Count(CallsFrom("WriterThread", tb::TimedCall::Kind::Wait)) < 5 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Close(open);
  auto waits = CallsFrom("WriterThread", tb::TimedCall::Kind::Wait);
  ASSERT_GE(Count(waits), 5u);
  for (auto& w : waits) {
    EXPECT_EQ(w.object, &ext_->TxEvent) << w.objectName;
    EXPECT_FALSE(w.forever);
    EXPECT_FALSE(w.absolute);
    EXPECT_EQ(w.interval, 20000) << w.Milliseconds() << " ms";
  }
}

TEST_F(TimingTest, QueueBytesOnAFullRingSleepsFiftyMillisecondsAtATimeWhileAWriterRuns) {
  ChildOpen* open = Open();
  ep_->SetOutLatency(10);  // slower than the producer: the ring fills
  std::vector<uint8_t> data(300, 0x40);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 300), 300u);
  Close(open);
  auto sleeps = CallsFrom("QueueBytes", tb::TimedCall::Kind::Delay, true);
  ASSERT_FALSE(sleeps.empty()) << "the ring was full and a writer ran: QueueBytes must have slept";
  for (auto& s : sleeps) EXPECT_EQ(s.interval, 500000) << s.Milliseconds() << " ms from " << s.caller;
}

TEST_F(TimingTest, QueueBytesOnAFullRingWithoutAWriterDoesNotSleep) {
  std::vector<uint8_t> data(300, 0x40);
  EXPECT_EQ(QueueBytes(fdo_, data.data(), 300), 256u);
  EXPECT_TRUE(CallsFrom("QueueBytes", tb::TimedCall::Kind::Delay, true).empty());
}

}  // namespace
