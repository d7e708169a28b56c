// The simulated interface in real time: full-speed frames, the cable's rate both ways, the
// device's buffers. Exact figures come from the model's manual clock; runs on the real clock
// check lower bounds strictly and upper bounds loosely, since a machine may be slow, never fast.
#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "support/fixture.h"
#include "support/stream.h"
#include "usb/midi_endpoints.h"
#include "usb/usb_bus.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using tb::kCableByte;
using tb::kFrame;
using tb::TimePoint;

namespace {

// A system-exclusive message of `length` bytes.
Bytes Sysex(size_t length) {
  Bytes b{0xF0};
  for (size_t i = 1; i + 1 < length; i++) b.push_back(static_cast<uint8_t>(i % 0x80));
  b.push_back(0xF7);
  return b;
}

// A bulk transfer sent without waiting; the completion time is taken on the real clock.
struct Xfer {
  URB urb{};
  uint8_t data[32] = {};
  PIRP irp = nullptr;
  std::atomic<bool> done{false};
  NTSTATUS status = STATUS_PENDING;
  TimePoint doneAt{};

  // OUT carries `midi` padded with 0xFF to 32 bytes, as the driver sends it.
  Xfer(tb::UsbBus& bus, USBD_PIPE_HANDLE pipe, bool in, const Bytes& midi = {}) {
    std::memset(data, 0xFF, sizeof data);
    if (!midi.empty()) std::memcpy(data, midi.data(), std::min(midi.size(), sizeof data));
    ULONG flags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_SHORT_TRANSFER_OK;
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data, nullptr,
                                           sizeof data, flags, nullptr);
    irp = tb::AllocateSystemIrp(bus.Pdo()->StackSize, [this](PIRP p) {
      status = p->IoStatus.Status;
      doneAt = std::chrono::steady_clock::now();
      done = true;
    });
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    s->Parameters.Others.Argument1 = &urb;
    IofCallDriver(bus.Pdo(), irp);
  }
  Bytes Received() const { return Bytes(data, data + urb.UrbBulkOrInterruptTransfer.TransferBufferLength); }
};

bool Eventually(const std::function<bool()>& condition, int timeoutMs = 30000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// `t` falls on one of the model's frame boundaries.
bool OnFrameEnd(tb::MidiEndpoints& ep, TimePoint t) { return ep.FrameEnd(ep.FrameOf(t - 1ns)) == t; }

size_t DoneCount(const std::vector<std::unique_ptr<Xfer>>& xfers) {
  size_t n = 0;
  for (auto& x : xfers) n += x->done ? 1 : 0;
  return n;
}

// The simulated interface configured, straight on its bus, with the model on.
class RealTimeTest : public KernelTest {
 protected:
  enum class Mode { Off, RealClock, ManualClock };
  void Start(Mode mode, tb::RealTimeOptions options = {}) {
    bus_ = std::make_unique<tb::UsbBus>();
    ep_ = std::make_unique<tb::MidiEndpoints>(*bus_);
    descriptor_ = bus_->Device().ConfigurationDescriptor();
    USHORT size;
    config_ = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor_.data()), &size);
    ASSERT_EQ(Submit(config_).status, STATUS_SUCCESS);
    in_ = config_->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    out_ = config_->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
    options.manualClock = mode == Mode::ManualClock;
    if (mode != Mode::Off) ep_->EnableRealTime(options);
  }
  void TearDown() override {
    if (bus_) {
      ep_.reset();
      Abort(in_);
      Abort(out_);
      xfers_.clear();
      ExFreePool(config_);
      bus_.reset();
    }
    KernelTest::TearDown();
  }
  tb::Result Submit(PURB urb) {
    return tb::Call(bus_->Pdo(), [urb](PIO_STACK_LOCATION s, PIRP) {
      s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
      s->Parameters.Others.Argument1 = urb;
    });
  }
  void Abort(USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbPipeRequest.PipeHandle = pipe;
    Submit(&urb);
  }
  void SetDevicePower(DEVICE_POWER_STATE state) {
    tb::Call(bus_->Pdo(), [state](PIO_STACK_LOCATION s, PIRP irp) {
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      s->MajorFunction = IRP_MJ_POWER;
      s->MinorFunction = IRP_MN_SET_POWER;
      s->Parameters.Power.Type = DevicePowerState;
      s->Parameters.Power.State.DeviceState = state;
    });
  }
  Xfer& Out(const Bytes& midi) { return *xfers_.emplace_back(std::make_unique<Xfer>(*bus_, out_, false, midi)); }
  Xfer& Read() { return *xfers_.emplace_back(std::make_unique<Xfer>(*bus_, in_, true)); }
  // The start of the model's time.
  TimePoint Epoch() { return ep_->FrameEnd(0) - kFrame; }

  std::unique_ptr<tb::UsbBus> bus_;
  std::unique_ptr<tb::MidiEndpoints> ep_;
  Bytes descriptor_;
  PURB config_ = nullptr;
  USBD_PIPE_HANDLE in_ = nullptr;
  USBD_PIPE_HANDLE out_ = nullptr;
  std::vector<std::unique_ptr<Xfer>> xfers_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Frames.
// ---------------------------------------------------------------------------------------------
TEST_F(RealTimeTest, TransfersCompleteAtTheEndOfTheFrameTheyMovedInAndAFrameCarriesThirtyThree) {
  Start(Mode::ManualClock);
  // Forty one-byte transfers queued at once: 45 byte times each, 1,500 in a frame.
  for (int i = 0; i < 40; i++) Out({static_cast<uint8_t>(0x90 + i % 16)});
  ep_->AdvanceClock(999us);
  EXPECT_EQ(DoneCount(xfers_), 0u) << "nothing completes inside a frame";
  ep_->AdvanceClock(1us);
  EXPECT_EQ(DoneCount(xfers_), 33u);
  ep_->AdvanceClock(1ms);
  EXPECT_EQ(DoneCount(xfers_), 40u);
  std::vector<tb::WireTransfer> wire = ep_->Wire();
  ASSERT_EQ(wire.size(), 40u);
  for (size_t i = 0; i < wire.size(); i++) {
    EXPECT_EQ(wire[i].completed, ep_->FrameEnd(i < 33 ? 0 : 1)) << i;
    EXPECT_EQ(xfers_[i]->status, STATUS_SUCCESS);
  }

  // A read sent in the middle of a frame gets what the device loaded at the frame's start, at
  // that frame's end; a byte still on the cable then waits for the next frame.
  ep_->AdvanceClock(500us);  // 2.5 ms
  ep_->Feed({0xF8});         // whole at 2.82 ms
  Xfer& early = Read();
  ep_->AdvanceClock(1ms);  // 3.5 ms
  EXPECT_FALSE(early.done) << "frame 2 began before the byte was in";
  ep_->AdvanceClock(499us);
  EXPECT_FALSE(early.done);
  TimePoint seen{};
  ep_->OnInComplete([&] { seen = ep_->Now(); });
  ep_->AdvanceClock(1us);
  ASSERT_TRUE(early.done);
  EXPECT_EQ(seen, ep_->FrameEnd(3)) << "a completion sees the clock at its frame's end";
  EXPECT_EQ(early.Received(), Bytes{0xF8});
  ASSERT_EQ(ep_->InTransfers().size(), 1u);
  EXPECT_EQ(ep_->InTransfers()[0].completed, ep_->FrameEnd(3));
  EXPECT_EQ(ep_->InTransfers()[0].cable[0], Epoch() + 2820us);

  // A suspended port has no frames; the first frame back in D0 moves the transfer.
  Xfer& asleep = Out({0xFE});
  SetDevicePower(PowerDeviceD2);
  ep_->AdvanceClock(5ms);
  EXPECT_FALSE(asleep.done);
  SetDevicePower(PowerDeviceD0);
  ep_->AdvanceClock(1ms);
  EXPECT_TRUE(asleep.done);
  EXPECT_EQ(ep_->Wire().back().completed, ep_->FrameEnd(9));
  EXPECT_EQ(ep_->Wire().back().accepted, Epoch() + 9ms) << "taken in the first frame back, not while asleep";

  // A failure is answered in its frame as well, and the halted endpoint moves nothing behind it
  // until it is reset.
  ep_->FailNextOut(1);
  Xfer& stalled = Out({0x90, 0x3C, 0x7F});
  Xfer& behind = Out({0x80, 0x3C, 0x00});
  ep_->AdvanceClock(999us);
  EXPECT_FALSE(stalled.done);
  ep_->AdvanceClock(1us);
  ASSERT_TRUE(stalled.done);
  EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  ep_->AdvanceClock(3ms);
  EXPECT_FALSE(behind.done);
  URB reset{};
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  reset.UrbPipeRequest.PipeHandle = out_;
  Submit(&reset);
  ep_->AdvanceClock(1ms);
  EXPECT_TRUE(behind.done);
  std::vector<tb::CableByte> cable = ep_->Cable();
  ASSERT_EQ(cable.size(), 44u) << "the stalled transfer's bytes never play";
  EXPECT_EQ(cable[41].value, 0x80);
  EXPECT_EQ(cable[41].time, Epoch() + 14ms) << "taken once the endpoint runs again, onto an idle cable";
  EXPECT_EQ(ep_->Wire().back().completed, ep_->FrameEnd(14));
}

TEST_F(RealTimeTest, OnTheRealClockEachCompletionComesAtTheEndOfItsArrivalFrameAndNotBefore) {
  Start(Mode::RealClock);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gap(0, 1500);
  for (int i = 0; i < 12; i++) {
    std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
    Xfer& x = Out({0xF8});
    ASSERT_TRUE(Eventually([&] { return x.done.load(); }));
    tb::WireTransfer w = ep_->Wire().back();
    EXPECT_TRUE(OnFrameEnd(*ep_, w.completed)) << i;
    // One byte never fills the buffer: the frame it arrived in takes it.
    EXPECT_EQ(w.completed, ep_->FrameEnd(ep_->FrameOf(w.time))) << i;
    EXPECT_GE(x.doneAt, w.completed) << i;
    EXPECT_LT(x.doneAt - w.completed, 10s) << i;
  }
}

// ---------------------------------------------------------------------------------------------
// MIDI OUT at the cable's rate.
// ---------------------------------------------------------------------------------------------
TEST_F(RealTimeTest, ASysexDumpHoldsTheWireFor96msAndTheDeviceHoldsTransfersWhileItsBufferIsFull) {
  Start(Mode::ManualClock);
  const Bytes sysex = Sysex(300);
  for (size_t at = 0; at < sysex.size(); at += 32) {
    Out(Bytes(sysex.begin() + at, sysex.begin() + std::min(sysex.size(), at + 32)));
  }
  for (int i = 0; i < 200 && DoneCount(xfers_) < xfers_.size(); i++) ep_->AdvanceClock(1ms);
  ASSERT_EQ(DoneCount(xfers_), 10u);

  std::vector<tb::CableByte> cable = ep_->Cable();
  ASSERT_EQ(cable.size(), 300u);
  for (size_t i = 0; i < cable.size(); i++) {
    EXPECT_EQ(cable[i].value, sysex[i]);
    EXPECT_EQ(cable[i].time, Epoch() + static_cast<int64_t>(i) * kCableByte) << "the cable never idles while the device has bytes";
  }
  EXPECT_EQ(cable.back().time + kCableByte - cable.front().time, 96ms);

  // Four transfers fill the 128-byte buffer at once; each later one waits until 32 bytes have
  // left (the fifth when byte 31 starts, at 9.92 ms), and the last 12 bytes until byte 171 has
  // (54.72 ms). Each completes at the end of the frame the device took it in.
  std::vector<tb::WireTransfer> wire = ep_->Wire();
  std::vector<std::chrono::milliseconds> completed;
  for (const tb::WireTransfer& w : wire) completed.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(w.completed - Epoch()));
  EXPECT_EQ(completed, (std::vector<std::chrono::milliseconds>{1ms, 1ms, 1ms, 1ms, 10ms, 21ms, 31ms, 41ms, 51ms, 55ms}));
  size_t before = 0;
  for (size_t k = 0; k < wire.size(); k++) {
    size_t mine = tb::DecodeMidi(wire[k].bytes).size();
    // Bytes of earlier transfers not yet on the cable when this one was taken, and a moment before.
    size_t held = 0, heldBefore = 0;
    for (size_t i = 0; i < before; i++) {
      held += cable[i].time > wire[k].accepted ? 1 : 0;
      heldBefore += cable[i].time >= wire[k].accepted ? 1 : 0;
    }
    EXPECT_LE(held + mine, 128u) << "transfer " << k << " taken without room";
    if (wire[k].accepted > wire[k].time) EXPECT_GT(heldBefore + mine, 128u) << "transfer " << k << " held with room";
    EXPECT_EQ(wire[k].completed, ep_->FrameEnd(ep_->FrameOf(wire[k].accepted)));
    before += mine;
  }
}

TEST_F(RealTimeTest, AnAbortedHeldTransferNeverReachesTheCableAndTheNextTakesItsPlace) {
  Start(Mode::ManualClock);
  for (int i = 0; i < 4; i++) Out(Bytes(32, static_cast<uint8_t>(0x10 + i)));
  Xfer& held = Out(Bytes(32, 0x55));
  ep_->AdvanceClock(3ms);
  EXPECT_EQ(DoneCount(xfers_), 4u);
  EXPECT_FALSE(held.done);
  Abort(out_);
  EXPECT_EQ(held.status, STATUS_CANCELLED);
  Xfer& next = Out(Bytes(32, 0x66));
  for (int i = 0; i < 20 && !next.done; i++) ep_->AdvanceClock(1ms);
  ASSERT_TRUE(next.done);
  std::vector<tb::CableByte> cable = ep_->Cable();
  ASSERT_EQ(cable.size(), 160u);
  EXPECT_EQ(cable[128].value, 0x66);
  EXPECT_EQ(ep_->Wire()[5].completed, ep_->FrameEnd(9)) << "room for 32 comes when byte 31 starts, at 9.92 ms";
  EXPECT_EQ(ep_->OutQueued(), 0u);
}

// ---------------------------------------------------------------------------------------------
// MIDI IN at the cable's rate.
// ---------------------------------------------------------------------------------------------
TEST_F(RealTimeTest, InComesNoFasterThanTheCableOneTransferAFrameAndAFullBufferLosesBytes) {
  Start(Mode::ManualClock);
  for (int i = 0; i < 40; i++) Read();
  Bytes fed;
  for (int i = 0; i < 100; i++) fed.push_back(static_cast<uint8_t>(i));
  ep_->Feed(fed);
  ep_->AdvanceClock(40ms);
  std::vector<tb::InTransfer> sent = ep_->InTransfers();
  Bytes got;
  uint64_t lastFrame = 0;
  for (const tb::InTransfer& t : sent) {
    uint64_t frame = ep_->FrameOf(t.completed - 1ns);
    EXPECT_TRUE(OnFrameEnd(*ep_, t.completed));
    EXPECT_GT(frame, lastFrame) << "one IN transfer a frame";
    lastFrame = frame;
    for (TimePoint whole : t.cable) EXPECT_LE(whole, t.completed - kFrame) << "loaded at the frame's start";
    got.insert(got.end(), t.bytes.begin(), t.bytes.end());
    // The cable finishes byte i at (i + 1) * 320 us; the frame starting at `frame` ms has those done by then.
    EXPECT_EQ(got.size(), std::min<size_t>(100, frame * 1000 / 320)) << "frame " << frame;
  }
  EXPECT_EQ(got, fed);
  EXPECT_EQ(ep_->InTransfers().back().completed, ep_->FrameEnd(32)) << "100 bytes take 32 ms";
  for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ(xfers_[i]->Received(), sent[i].bytes);

  // With no read waiting the device keeps 128 bytes and loses the rest.
  Abort(in_);
  size_t reads = xfers_.size();
  ep_->Feed(Bytes(200, 0x42));
  ep_->AdvanceClock(100ms);
  EXPECT_EQ(ep_->InOverflow(), 72u);
  for (int i = 0; i < 8; i++) Read();
  ep_->AdvanceClock(8ms);
  size_t kept = 0;
  for (size_t i = reads; i < xfers_.size(); i++) kept += xfers_[i]->done ? xfers_[i]->Received().size() : 0;
  EXPECT_EQ(kept, 128u) << "four reads of 32";

  // A prepared answer waits behind the bytes before it, for a frame of its own.
  Abort(in_);
  Xfer& bytes = Read();
  Xfer& failed = Read();
  ep_->Feed({0x90, 0x40, 0x7F});
  ep_->FeedFailure(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  ep_->AdvanceClock(2ms);
  EXPECT_EQ(bytes.Received(), (Bytes{0x90, 0x40, 0x7F}));
  EXPECT_FALSE(failed.done);
  ep_->AdvanceClock(1ms);
  ASSERT_TRUE(failed.done);
  EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL);
}

// ---------------------------------------------------------------------------------------------
// The mode off, and misuse.
// ---------------------------------------------------------------------------------------------
TEST_F(RealTimeTest, OffTheDeviceIsInfinitelyFastAsBeforeAndSwitchedOnMidRunItServesWaitingReads) {
  AnswerSynchronously();  // with the timing off, each transfer is expected back within its call
  Start(Mode::Off);
  EXPECT_FALSE(ep_->RealTime());
  const Bytes sysex = Sysex(300);
  for (size_t at = 0; at < sysex.size(); at += 32) {
    Xfer& x = Out(Bytes(sysex.begin() + at, sysex.begin() + std::min(sysex.size(), at + 32)));
    EXPECT_TRUE(x.done) << "completed as it arrived";
  }
  EXPECT_EQ(ep_->ReceivedMidi(), sysex);
  for (const tb::WireTransfer& w : ep_->Wire()) {
    EXPECT_TRUE(w.cable.empty());
    EXPECT_EQ(w.completed, TimePoint{});
  }
  EXPECT_TRUE(ep_->Cable().empty());
  // A fed transfer is one IN transfer, whatever its length.
  Xfer& read = Read();
  ep_->Feed(Bytes(32, 0x11));
  ASSERT_TRUE(ep_->WaitDelivered(1));
  EXPECT_EQ(read.Received(), Bytes(32, 0x11));
  EXPECT_TRUE(ep_->InTransfers().empty());

  // Switched on mid-run, the model serves the read already waiting.
  Xfer& waiting = Read();
  tb::RealTimeOptions manual;
  manual.manualClock = true;
  ep_->EnableRealTime(manual);
  ep_->Feed({0xFA});
  ep_->AdvanceClock(2ms);
  ASSERT_TRUE(waiting.done);
  EXPECT_EQ(waiting.Received(), Bytes{0xFA});
}

TEST_F(RealTimeTest, MisuseOfTheModeFailsLoudly) {
  Start(Mode::RealClock);
  ExpectViolation(tb::Rule::Unimplemented, [&] { ep_->EnableRealTime(); });
  ExpectViolation(tb::Rule::Unimplemented, [&] { ep_->SetOutLatency(5); });
  ExpectViolation(tb::Rule::Unimplemented, [&] { ep_->AdvanceClock(1ms); });
  tb::MidiEndpoints other(*bus_, 0, 0x83, 0x04);
  tb::RealTimeOptions tiny;
  tiny.outBuffer = 16;
  ExpectViolation(tb::Rule::Unimplemented, [&] { other.EnableRealTime(tiny); });
  EXPECT_FALSE(other.RealTime());
}

// ---------------------------------------------------------------------------------------------
// Through the driver, on the real clock.
// ---------------------------------------------------------------------------------------------
class RealTimeStreamTest : public StreamTest {};

TEST_F(RealTimeStreamTest, ASysexDumpPacesTheSenderAndComesBackAtTheCablesRate) {
  Plug();
  ep_->EnableRealTime();
  ep_->SetLoopback(true);
  Open();
  // The stream's start messages go out and come back first.
  ASSERT_TRUE(Eventually([&] {
    size_t back = 0;
    for (const tb::InTransfer& t : ep_->InTransfers()) back += t.bytes.size();
    return ep_->OutQueued() == 0 && back == ep_->ReceivedMidi().size();
  }));
  size_t earlier = ep_->InTransfers().size();
  ep_->ClearWire();

  const Bytes sysex = Sysex(300);
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(SendBytes(fdo_, sysex.data(), static_cast<ULONG>(sysex.size())), STATUS_SUCCESS);
  auto returned = std::chrono::steady_clock::now();
  // The last 12 bytes find room only once 172 bytes of the dump have started on the cable.
  EXPECT_GE(returned - started, 171 * kCableByte);
  EXPECT_LT(returned - started, 30s);

  std::vector<tb::WireTransfer> wire = ep_->Wire();
  ASSERT_EQ(wire.size(), 10u);
  for (const tb::WireTransfer& w : wire) {
    EXPECT_TRUE(OnFrameEnd(*ep_, w.completed));
    EXPECT_GE(w.completed, ep_->FrameEnd(ep_->FrameOf(w.time)));
    EXPECT_LE(w.completed, returned);
  }
  std::vector<tb::CableByte> cable = ep_->Cable();
  ASSERT_EQ(cable.size(), 300u);
  for (size_t i = 0; i + 1 < cable.size(); i++) EXPECT_GE(cable[i + 1].time - cable[i].time, kCableByte);
  EXPECT_GE(cable.back().time + kCableByte - cable.front().time, 96ms);
  EXPECT_LT(cable.back().time + kCableByte - cable.front().time, 96ms + 30s);

  // Looped back: each byte is in one byte time after it left, and the host has it a frame or two later.
  std::vector<tb::InTransfer> sent;
  ASSERT_TRUE(Eventually([&] {
    std::vector<tb::InTransfer> all = ep_->InTransfers();
    sent.assign(all.begin() + static_cast<std::ptrdiff_t>(earlier), all.end());
    size_t n = 0;
    for (const tb::InTransfer& t : sent) n += t.bytes.size();
    return n >= sysex.size();
  }));
  Bytes back;
  std::vector<TimePoint> whole;
  for (const tb::InTransfer& t : sent) {
    EXPECT_LE(t.bytes.size(), 4u) << "a frame's worth of cable is 3.125 bytes";
    back.insert(back.end(), t.bytes.begin(), t.bytes.end());
    whole.insert(whole.end(), t.cable.begin(), t.cable.end());
  }
  ASSERT_EQ(back, sysex);
  for (size_t i = 0; i < whole.size(); i++) EXPECT_EQ(whole[i], cable[i].time + kCableByte);
  EXPECT_GE(sent.back().completed - cable.front().time, 96ms);
}
