// The simulated interface's two bulk endpoints as a MIDI device uses them: the bulk-out endpoint
// keeps a wire log of every transfer and decodes the MIDI bytes in it; the bulk-in endpoint keeps
// the host's reads pending until the device has something to send - bytes fed by a test, the
// device's own output looped back, or a generator - and completes them from threads of its own at
// DISPATCH_LEVEL, as the host controller's DPCs would.
//
// By default the device is infinitely fast: a transfer completes as it arrives. The real-time
// mode puts it on full-speed frames and behind a MIDI cable at 31,250 baud instead:
// - Transfers complete at the end of a 1 ms frame, the one they moved in: the host controller
//   reports its work at frame boundaries (UHCI's interrupt-on-complete and OHCI's done queue both
//   come at the frame's end). A frame has 1,500 byte times and a bulk transaction costs its
//   payload plus 13 bytes of protocol: nineteen 64-byte packets, thirty-three of our 32-byte ones.
//   A 32-byte transfer on a 64-byte endpoint is one short packet, so one transaction.
// - The device plays what it takes from its OUT buffer at 3,125 bytes a second (10 bits a byte).
//   While the buffer has no room for a transfer's MIDI bytes it NAKs it: the host retries, the
//   transfer stays pending, and a sender is paced by the cable.
// - What comes in on the cable (fed, generated or looped back) is whole one byte time after it
//   started; the device loads its IN endpoint at each start of frame with what it has, up to one
//   read's length, so the host sees at most one IN transfer a frame. Bytes that find the IN
//   buffer full are lost, as a cable cannot be held off.
// - A suspended port has no frames: no transfer moves until the device is back in D0 (what the
//   device holds still plays, and the cable still brings bytes in).
// The model keeps its own clock, frame by frame; its times are given as steady_clock points from
// when the mode was switched on. On the real clock a frame runs once its end has passed, so a
// completion is never early; a slow machine makes it late and leaves the model's figures as they are.
// Buffers default to 128 bytes each way, four transfers' worth: about 41 ms of cable time, room
// enough to keep the cable busy while the host turns a transfer round, small enough that the
// latency a full buffer adds stays short, and in line with the few hundred bytes of RAM of the
// microcontrollers such interfaces are built on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "usb/usb_bus.h"

namespace tb {

using TimePoint = std::chrono::steady_clock::time_point;

// A full-speed frame, and one MIDI byte on the cable: a start bit, eight data bits, a stop bit.
inline constexpr std::chrono::nanoseconds kFrame = std::chrono::milliseconds(1);
inline constexpr std::chrono::nanoseconds kCableByte = std::chrono::microseconds(320);
inline constexpr size_t kFrameBytes = 1500;   // 12 Mb/s for 1 ms
inline constexpr size_t kBulkOverhead = 13;   // sync, PIDs, address, CRCs and gaps of one transaction

struct WireTransfer {
  std::vector<uint8_t> bytes;  // what the transfer carried, TransferBufferLength bytes
  TimePoint time;              // when it reached the endpoint
  // Real-time mode only; left empty until the device takes the transfer, then filled in.
  TimePoint accepted{};        // when the device took the packet (ACK)
  TimePoint completed{};       // when the host controller reported it, at a frame's end
  std::vector<TimePoint> cable;  // when each MIDI byte (DecodeMidi order) starts on the cable
};

// One MIDI byte as it leaves the device on its OUT port.
struct CableByte {
  uint8_t value;
  TimePoint time;
};

// One bulk-in transfer the device sent in real-time mode.
struct InTransfer {
  std::vector<uint8_t> bytes;
  std::vector<TimePoint> cable;  // when each byte had come in whole; empty for a prepared answer
  TimePoint completed;
  NTSTATUS status;
};

struct RealTimeOptions {
  size_t outBuffer = 128;    // MIDI bytes the device holds for its OUT port; at least one transfer's
  size_t inBuffer = 128;     // MIDI bytes from its IN port waiting for the host
  bool manualClock = false;  // the model's clock moves only by AdvanceClock: exact times for tests
};

// The MIDI bytes of one transfer: byte 0, then every byte up to the first 0xFF.
std::vector<uint8_t> DecodeMidi(const std::vector<uint8_t>& transfer);

class MidiEndpoints {
 public:
  // `completers` threads complete IN transfers; two let two reads complete at the same time.
  explicit MidiEndpoints(UsbBus& bus, int completers = 1, UCHAR inEndpoint = 0x81, UCHAR outEndpoint = 0x02);
  ~MidiEndpoints();
  MidiEndpoints(const MidiEndpoints&) = delete;
  MidiEndpoints& operator=(const MidiEndpoints&) = delete;

  // --- bulk out ---
  std::vector<WireTransfer> Wire();
  std::vector<uint8_t> ReceivedMidi();  // every OUT transfer decoded, in order
  size_t WireCount();
  bool WaitForWire(size_t transfers, int timeoutMs = 5000);
  void ClearWire();
  // The next `count` OUT transfers fail with these statuses.
  void FailNextOut(int count, NTSTATUS status = STATUS_UNSUCCESSFUL, USBD_STATUS usbd = USBD_STATUS_STALL_PID);
  // OUT transfers complete `ms` later from another thread (0: at once).
  void SetOutLatency(int ms);
  // OUT transfers are never completed by the device; only an abort or removal ends them.
  void HoldOut(bool hold);
  // Called for every OUT transfer as it arrives (benchmarks time the wire with it).
  void OnOut(std::function<void(const WireTransfer&)> observer);

  // --- bulk in ---
  // One IN transfer carrying exactly these bytes (length = size, up to 32).
  void Feed(const std::vector<uint8_t>& transfer);
  // One IN transfer that fails.
  void FeedFailure(NTSTATUS status, USBD_STATUS usbd);
  // One IN transfer carrying these bytes whose completion claims `reported` bytes received: a
  // lower driver that miscounts.
  void FeedMiscounted(const std::vector<uint8_t>& transfer, ULONG reported);
  // What arrives on the OUT endpoint is sent back on the IN endpoint, one transfer for one.
  void SetLoopback(bool on);
  void StartGenerator(double transfersPerSecond, std::vector<uint8_t> transfer);
  void StopGenerator();
  size_t PendingIn();
  bool WaitForPendingIn(size_t count, int timeoutMs = 5000);
  size_t Delivered();  // IN transfers completed
  bool WaitDelivered(size_t count, int timeoutMs = 5000);
  // Called right before an IN transfer is completed (benchmarks time delivery from it).
  void OnInComplete(std::function<void()> observer);

  // --- real time ---
  // Puts the device on full-speed frames and the cable's rate from now on; once. Reads already
  // pending are served by the model from now; OUT transfers already pending keep the old timing.
  void EnableRealTime(const RealTimeOptions& options = {});
  bool RealTime();
  // The model's clock (real time unless manual) and its frames, counted from EnableRealTime.
  TimePoint Now();
  uint64_t FrameOf(TimePoint t);
  TimePoint FrameEnd(uint64_t frame);
  // Manual clock only: moves it on by `by`, running each frame that ends meanwhile.
  void AdvanceClock(std::chrono::nanoseconds by);
  // Every MIDI byte the device has taken for its OUT port, in order, at its cable time (which may
  // lie ahead of now: the byte waits in the device's buffer until then).
  std::vector<CableByte> Cable();
  std::vector<InTransfer> InTransfers();
  size_t OutQueued();   // OUT transfers arrived and not yet completed
  size_t InOverflow();  // bytes lost to a full IN buffer

  // --- power ---
  // While the bus has the device out of D0 neither endpoint is served: what the device has to
  // send waits in it, delayed OUT completions wait for D0, and the bus holds or fails the
  // transfers (these counts).
  PowerTransferCounts InPower();
  PowerTransferCounts OutPower();

 private:
  struct Feeding {
    std::vector<uint8_t> bytes;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    ULONG reported = UsbBus::kActualLength;
  };
  using Nanos = std::chrono::nanoseconds;  // the model's time, since EnableRealTime
  // A bulk-out transfer the real-time device has not completed yet.
  struct OutRecord {
    PIRP irp;
    uint64_t seq;             // arrival order across both endpoints
    size_t wire;              // its entry in the wire log, counted from the first ever
    std::vector<uint8_t> midi;
    ULONG length;
    Nanos arrival;
    bool failing = false;     // answered with these statuses instead of taken
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    bool answered = false;    // taken or failed; its completion is due
  };
  struct InRead {
    PIRP irp;
    uint64_t seq;
    ULONG length;
    Nanos arrival;
  };
  // What reaches the device's IN side, in order: a byte whole at `time`, or a prepared answer.
  struct InItem {
    Nanos time;
    uint8_t byte = 0;
    bool answer = false;
    Feeding feeding;
  };
  // A completion a frame owes, made once the model's lock is released.
  struct Due {
    bool in;
    PIRP irp;
    uint64_t seq;
    Feeding answer;
    std::vector<InItem> taken;  // IN: what it carries, back to the buffer if it cannot go
  };

  BulkAnswer OutArrived(BulkTransfer& t);
  BulkAnswer InArrived(BulkTransfer& t);
  void Completer();
  void DelayedOut(int ms);
  // Real time; functions marked so run under lock_.
  static Nanos FrameStart(uint64_t frame);
  Nanos ModelNow();                           // under lock_
  void Busy(Nanos at);                        // under lock_: the frame clock has work from `at`
  bool Idle();                                // under lock_
  void OfferByte(uint8_t byte, Nanos ready);  // under lock_: onto the IN cable
  void OfferBytes(const std::vector<uint8_t>& transfer);  // under lock_
  void OfferAnswer(const Feeding& feeding);   // under lock_
  Nanos RoomAt(size_t bytes, Nanos from);     // under lock_: when the OUT buffer has room
  void Take(OutRecord& r, Nanos at);          // under lock_: the device takes a transfer
  void AdmitIn(Nanos at);                     // under lock_
  void ServeOut(Nanos start, Nanos end, size_t& budget, std::vector<Due>& due);  // under lock_
  void ServeIn(Nanos end, size_t& budget, std::vector<Due>& due);                // under lock_
  void FrameClock();
  void RunFrames(Nanos upTo);
  void RunFrame(uint64_t frame);
  void Finish(Due& d, Nanos end);

  UsbBus& bus_;
  UCHAR in_;
  UCHAR out_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<WireTransfer> wire_;
  std::deque<Feeding> feed_;
  size_t delivered_ = 0;
  int failOut_ = 0;
  NTSTATUS failStatus_ = STATUS_UNSUCCESSFUL;
  USBD_STATUS failUsbd_ = USBD_STATUS_STALL_PID;
  int outLatencyMs_ = 0;
  bool holdOut_ = false;
  bool loopback_ = false;
  std::function<void(const WireTransfer&)> onOut_;
  std::function<void()> onIn_;
  std::vector<std::thread> completers_;
  std::vector<std::thread> delayed_;
  std::thread generator_;
  bool generating_ = false;

  bool realtime_ = false;
  RealTimeOptions rt_;
  TimePoint epoch_{};
  Nanos manualNow_{0};
  uint64_t nextFrame_ = 0;  // the first frame not yet run
  bool running_ = false;    // frames are being run, by this thread:
  std::thread::id runner_;
  bool busy_ = false;
  Nanos busyAt_{0};
  uint64_t seq_ = 0;
  size_t wireBase_ = 0;     // wire log entries cleared
  std::deque<OutRecord> outQueue_;
  std::deque<InRead> reads_;
  std::deque<Nanos> outCable_;  // cable times of OUT bytes still in the buffer at the last look
  Nanos outFree_{0};            // when the OUT cable is next free
  Nanos lastTaken_{0};
  std::deque<InItem> inItems_;  // on the IN cable, then in the device's buffer
  size_t inArrived_ = 0;        // leading items of inItems_ that are in the buffer
  size_t inBuffered_ = 0;       // bytes among them
  Nanos inFree_{0};             // when the IN cable is next free
  std::vector<InTransfer> inLog_;
  size_t inOverflow_ = 0;
  std::mutex frameRun_;         // one runner of frames at a time
  std::thread frameClock_;
};

}  // namespace tb
