#include "usb/midi_endpoints.h"

#include <algorithm>
#include <cstdint>

namespace tb {

std::vector<uint8_t> DecodeMidi(const std::vector<uint8_t>& transfer) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < transfer.size(); i++) {
    if (i > 0 && transfer[i] == 0xFF) break;
    out.push_back(transfer[i]);
  }
  return out;
}

MidiEndpoints::MidiEndpoints(UsbBus& bus, int completers, UCHAR inEndpoint, UCHAR outEndpoint)
    : bus_(bus), in_(inEndpoint), out_(outEndpoint) {
  bus_.SetPipeHook(out_, [this](BulkTransfer& t) { return OutArrived(t); });
  // Reads stay on the pipe until the device has something for them.
  bus_.SetPipeHook(in_, [this](BulkTransfer& t) { return InArrived(t); });
  for (int i = 0; i < completers; i++) completers_.emplace_back([this] { Completer(); });
}

MidiEndpoints::~MidiEndpoints() {
  StopGenerator();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (auto& t : completers_) t.join();
  if (frameClock_.joinable()) frameClock_.join();
  std::vector<std::thread> delayed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    delayed.swap(delayed_);
  }
  for (auto& t : delayed) t.join();
  bus_.SetPipeHook(out_, nullptr);
  bus_.SetPipeHook(in_, nullptr);
}

BulkAnswer MidiEndpoints::OutArrived(BulkTransfer& t) {
  WireTransfer w;
  w.bytes.assign(t.buffer, t.buffer + t.length);
  w.time = std::chrono::steady_clock::now();
  BulkAnswer answer;
  answer.bytes = t.length;
  std::function<void(const WireTransfer&)> observer;
  int latency = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    bool failing = failOut_ > 0;
    if (failing) failOut_--;
    if (realtime_) {
      // Stamped under the lock: a frame run after this sees the transfer, and one run before it
      // ended before the transfer arrived.
      Nanos now = ModelNow();
      w.time = epoch_ + now;
      // An IRP is never pending twice: an older record of this one was cancelled.
      for (auto it = outQueue_.begin(); it != outQueue_.end();) it = it->irp == t.irp ? outQueue_.erase(it) : it + 1;
      OutRecord r{t.irp, seq_++, wireBase_ + wire_.size(), DecodeMidi(w.bytes), t.length, now};
      // Even a failure waits for its frame: the device answers it with a handshake there.
      answer.pend = true;
      if (failing) {
        r.failing = true;
        r.status = failStatus_;
        r.usbd = failUsbd_;
      } else {
        wire_.push_back(w);
        observer = onOut_;
      }
      if (failing || !holdOut_) {
        outQueue_.push_back(std::move(r));
        Busy(now);
      }
    } else if (failing) {
      answer.status = failStatus_;
      answer.usbdStatus = failUsbd_;
      answer.bytes = 0;
      return answer;
    } else {
      wire_.push_back(w);
      if (loopback_) feed_.push_back(Feeding{w.bytes});
      observer = onOut_;
      if (holdOut_) {
        answer.pend = true;
      } else if (outLatencyMs_ > 0) {
        answer.pend = true;
        latency = outLatencyMs_;
        delayed_.emplace_back([this, latency] { DelayedOut(latency); });
      }
    }
  }
  changed_.notify_all();
  if (observer) observer(w);
  return answer;
}

BulkAnswer MidiEndpoints::InArrived(BulkTransfer& t) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (realtime_) {
      for (auto it = reads_.begin(); it != reads_.end();) it = it->irp == t.irp ? reads_.erase(it) : it + 1;
      Nanos now = ModelNow();
      reads_.push_back(InRead{t.irp, seq_++, t.length, now});
      Busy(now);
    }
  }
  changed_.notify_all();
  BulkAnswer answer;
  answer.pend = true;
  return answer;
}

void MidiEndpoints::DelayedOut(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  // The transfer may not be on the pipe yet if the hook's caller is slow: retry briefly. While
  // the device is suspended it is held there, and completes once the device is back in D0.
  for (int i = 0; i < 1000;) {
    {
      IrqlScope dispatch(DISPATCH_LEVEL);
      if (bus_.CompletePending(out_, STATUS_SUCCESS, USBD_STATUS_SUCCESS)) return;
    }
    if (bus_.DevicePowerState() == PowerDeviceD0) i++;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void MidiEndpoints::Completer() {
  for (;;) {
    Feeding next;
    {
      std::unique_lock<std::mutex> lock(lock_);
      changed_.wait(lock, [this] { return stopping_ || !feed_.empty(); });
      if (stopping_) return;
      next = feed_.front();
      feed_.pop_front();
    }
    for (;;) {
      std::function<void()> observer;
      {
        std::lock_guard<std::mutex> guard(lock_);
        observer = onIn_;
      }
      if (observer) observer();
      bool done;
      {
        IrqlScope dispatch(DISPATCH_LEVEL);
        done = bus_.CompletePending(in_, next.status, next.usbd, next.bytes, next.reported);
      }
      if (done) {
        std::lock_guard<std::mutex> guard(lock_);
        delivered_++;
        break;
      }
      // No read is waiting on the pipe yet: the transfer waits in the device.
      std::unique_lock<std::mutex> lock(lock_);
      changed_.wait_for(lock, std::chrono::microseconds(200));
      if (stopping_) return;
    }
    changed_.notify_all();
  }
}

// ---------------------------------------------------------------------------------------------
// Real time. The model runs frame by frame, in order, on its own clock: frame n spans
// [n ms, n+1 ms) after EnableRealTime, and is run once that span is over (by the frame clock's
// thread, or by AdvanceClock). A frame serves, in this order: the device's IN buffer taking what
// the cable finished by the frame's start; bulk-out transfers in arrival order, each taken when
// the OUT buffer has room for its MIDI bytes before the frame ends (one that finds none stops
// those behind it); then one IN transfer if a read is waiting. Whatever moved completes at the
// frame's end. Only transfers that arrived before the frame's end take part.
// ---------------------------------------------------------------------------------------------
void MidiEndpoints::EnableRealTime(const RealTimeOptions& options) {
  std::vector<PIRP> reads = bus_.PendingTransfers(in_);
  const char* refusal = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (realtime_) {
      refusal = "the real-time mode is switched on once";
    } else if (options.outBuffer < 32 || options.inBuffer < 1) {
      refusal = "the OUT buffer must hold one transfer's MIDI bytes, and the IN buffer one byte";
    } else if (outLatencyMs_ > 0) {
      refusal = "a fixed OUT latency and the real-time timing exclude each other";
    } else {
      realtime_ = true;
      rt_ = options;
      epoch_ = std::chrono::steady_clock::now();
      for (PIRP irp : reads) {
        PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        reads_.push_back(InRead{irp, seq_++, urb->UrbBulkOrInterruptTransfer.TransferBufferLength, Nanos{0}});
      }
      Busy(Nanos{0});
      if (!rt_.manualClock) frameClock_ = std::thread([this] { FrameClock(); });
    }
  }
  if (refusal != nullptr) Report(Rule::Unimplemented, "MidiEndpoints::EnableRealTime", "", refusal);
}

bool MidiEndpoints::RealTime() {
  std::lock_guard<std::mutex> guard(lock_);
  return realtime_;
}

MidiEndpoints::Nanos MidiEndpoints::FrameStart(uint64_t frame) { return kFrame * static_cast<int64_t>(frame); }

MidiEndpoints::Nanos MidiEndpoints::ModelNow() {
  if (rt_.manualClock) return manualNow_;
  Nanos real = std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now() - epoch_);
  // Frames run late catch up. What a frame's completions set off at once (a read sent again from
  // its completion routine) is stamped with that frame's end, as on a bus that keeps time, or it
  // would miss the frames being caught up. Anything else happened when it happened.
  bool reaction = running_ && std::this_thread::get_id() == runner_;
  return reaction ? std::min(real, FrameStart(nextFrame_)) : real;
}

TimePoint MidiEndpoints::Now() {
  std::lock_guard<std::mutex> guard(lock_);
  return epoch_ + ModelNow();
}

uint64_t MidiEndpoints::FrameOf(TimePoint t) {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<uint64_t>((t - epoch_) / kFrame);
}

TimePoint MidiEndpoints::FrameEnd(uint64_t frame) {
  std::lock_guard<std::mutex> guard(lock_);
  return epoch_ + FrameStart(frame + 1);
}

void MidiEndpoints::AdvanceClock(std::chrono::nanoseconds by) {
  Nanos target;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!realtime_ || !rt_.manualClock) {
      Report(Rule::Unimplemented, "MidiEndpoints::AdvanceClock", "", "only a manual real-time clock is moved by hand");
      return;
    }
    target = manualNow_ + by;
  }
  RunFrames(target);
  std::lock_guard<std::mutex> guard(lock_);
  manualNow_ = std::max(manualNow_, target);
}

void MidiEndpoints::Busy(Nanos at) {
  if (!busy_) busyAt_ = at;
  busy_ = true;
}

bool MidiEndpoints::Idle() { return outQueue_.empty() && (reads_.empty() || inItems_.empty()); }

void MidiEndpoints::FrameClock() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stopping_) {
    if (Idle()) {
      // Frames with nothing to serve are not run; the clock resumes at the frame that has work.
      busy_ = false;
      changed_.wait(lock, [this] { return stopping_ || busy_; });
      if (stopping_) break;
      nextFrame_ = std::max(nextFrame_, static_cast<uint64_t>(busyAt_ / kFrame));
      if (Idle()) continue;
    }
    TimePoint due = epoch_ + FrameStart(nextFrame_ + 1);
    if (changed_.wait_until(lock, due, [this] { return stopping_; })) break;
    lock.unlock();
    RunFrames(std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now() - epoch_));
    lock.lock();
  }
}

void MidiEndpoints::RunFrames(Nanos upTo) {
  std::lock_guard<std::mutex> runner(frameRun_);
  for (;;) {
    uint64_t frame;
    {
      std::lock_guard<std::mutex> guard(lock_);
      running_ = !stopping_ && FrameStart(nextFrame_ + 1) <= upTo;
      if (!running_) return;
      runner_ = std::this_thread::get_id();
      frame = nextFrame_++;
    }
    RunFrame(frame);
  }
}

void MidiEndpoints::RunFrame(uint64_t frame) {
  const Nanos start = FrameStart(frame);
  const Nanos end = start + kFrame;
  uint64_t known;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // What the frame's completions set off belongs to the next frame.
    if (rt_.manualClock) manualNow_ = std::max(manualNow_, end);
    known = seq_;
  }
  // Asked of the bus outside the model's lock: the pipe hooks take it under the bus's.
  bool d0 = bus_.DevicePowerState() == PowerDeviceD0;
  bool outServed = d0 && !bus_.Halted(out_);
  bool inServed = d0 && !bus_.Halted(in_);
  std::vector<PIRP> outPending = bus_.PendingTransfers(out_);
  std::vector<PIRP> inPending = bus_.PendingTransfers(in_);
  std::vector<Due> due;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // Records the bus no longer holds were cancelled or aborted; those newer than the look
    // were not there to be seen.
    auto gone = [&](PIRP irp, uint64_t seq, const std::vector<PIRP>& pending) {
      return seq < known && std::find(pending.begin(), pending.end(), irp) == pending.end();
    };
    for (auto it = outQueue_.begin(); it != outQueue_.end();) {
      it = gone(it->irp, it->seq, outPending) ? outQueue_.erase(it) : it + 1;
    }
    for (auto it = reads_.begin(); it != reads_.end();) it = gone(it->irp, it->seq, inPending) ? reads_.erase(it) : it + 1;
    AdmitIn(start);
    size_t budget = kFrameBytes;
    if (outServed) ServeOut(start, end, budget, due);
    if (inServed) ServeIn(end, budget, due);
  }
  for (Due& d : due) Finish(d, end);
}

void MidiEndpoints::AdmitIn(Nanos at) {
  for (size_t i = inArrived_; i < inItems_.size() && inItems_[i].time <= at;) {
    if (!inItems_[i].answer && inBuffered_ >= rt_.inBuffer) {
      inItems_.erase(inItems_.begin() + static_cast<std::ptrdiff_t>(i));
      inOverflow_++;
      continue;
    }
    if (!inItems_[i].answer) inBuffered_++;
    inArrived_++;
    i++;
  }
}

MidiEndpoints::Nanos MidiEndpoints::RoomAt(size_t bytes, Nanos from) {
  while (!outCable_.empty() && outCable_.front() <= from) outCable_.pop_front();
  size_t held = outCable_.size();
  if (held + bytes <= rt_.outBuffer) return from;
  // A byte leaves the buffer as it starts on the cable; room comes with the one that makes it.
  return outCable_[held + bytes - rt_.outBuffer - 1];
}

void MidiEndpoints::Take(OutRecord& r, Nanos at) {
  std::vector<TimePoint> cable;
  for (uint8_t byte : r.midi) {
    Nanos starts = std::max(at, outFree_);
    outCable_.push_back(starts);
    outFree_ = starts + kCableByte;
    cable.push_back(epoch_ + starts);
    if (loopback_) OfferByte(byte, starts);
  }
  lastTaken_ = at;
  if (r.wire >= wireBase_) {
    WireTransfer& w = wire_[r.wire - wireBase_];
    w.accepted = epoch_ + at;
    w.cable = std::move(cable);
  }
}

void MidiEndpoints::ServeOut(Nanos start, Nanos end, size_t& budget, std::vector<Due>& due) {
  for (OutRecord& r : outQueue_) {
    if (r.arrival >= end) break;
    if (r.answered) {
      // Moved in an earlier frame whose completion could not be made (the port was suspended).
      due.push_back(Due{false, r.irp, r.seq, {}, {}});
      continue;
    }
    size_t cost = r.length + kBulkOverhead;
    if (cost > budget) break;
    if (r.failing) {
      // A failure halts the endpoint: nothing behind it moves.
      budget -= cost;
      r.answered = true;
      due.push_back(Due{false, r.irp, r.seq, {}, {}});
      break;
    }
    // The host retries a NAKed transfer through the frame; transfers go in order.
    Nanos at = RoomAt(r.midi.size(), std::max({r.arrival, start, lastTaken_}));
    if (at >= end) break;
    budget -= cost;
    r.answered = true;
    Take(r, at);
    due.push_back(Due{false, r.irp, r.seq, {}, {}});
  }
}

void MidiEndpoints::ServeIn(Nanos end, size_t& budget, std::vector<Due>& due) {
  if (reads_.empty() || reads_.front().arrival >= end || inArrived_ == 0) return;
  const InRead& read = reads_.front();
  Due d{true, read.irp, read.seq, {}, {}};
  if (inItems_.front().answer) {
    if (budget < kBulkOverhead) return;
    budget -= kBulkOverhead;
    d.answer = inItems_.front().feeding;
    d.taken.push_back(inItems_.front());
  } else {
    size_t most = std::min<size_t>({read.length, budget > kBulkOverhead ? budget - kBulkOverhead : 0});
    for (size_t i = 0; i < inArrived_ && d.taken.size() < most && !inItems_[i].answer; i++) {
      d.taken.push_back(inItems_[i]);
      d.answer.bytes.push_back(inItems_[i].byte);
    }
    if (d.taken.empty()) return;
    budget -= d.taken.size() + kBulkOverhead;
    inBuffered_ -= d.taken.size();
  }
  inItems_.erase(inItems_.begin(), inItems_.begin() + static_cast<std::ptrdiff_t>(d.taken.size()));
  inArrived_ -= d.taken.size();
  due.push_back(std::move(d));
}

void MidiEndpoints::Finish(Due& d, Nanos end) {
  UCHAR endpoint = d.in ? in_ : out_;
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  std::function<void()> observer;
  size_t logged = 0;
  size_t wire = SIZE_MAX;
  {
    // Logged before the completion, so that whoever sees the IRP done finds its times; taken
    // back if it does not complete.
    std::lock_guard<std::mutex> guard(lock_);
    if (d.in) {
      status = d.answer.status;
      usbd = d.answer.usbd;
      observer = onIn_;
      InTransfer sent{d.answer.bytes, {}, epoch_ + end, status};
      for (const InItem& item : d.taken) {
        if (!item.answer) sent.cable.push_back(epoch_ + item.time);
      }
      logged = inLog_.size();
      inLog_.push_back(std::move(sent));
    } else {
      auto it = std::find_if(outQueue_.begin(), outQueue_.end(), [&](const OutRecord& r) { return r.seq == d.seq; });
      if (it == outQueue_.end()) return;
      status = it->status;
      usbd = it->usbd;
      if (!it->failing && it->wire >= wireBase_) {
        wire = it->wire;
        wire_[wire - wireBase_].completed = epoch_ + end;
      }
    }
  }
  if (observer) observer();
  bool done;
  {
    IrqlScope dispatch(DISPATCH_LEVEL);
    done = bus_.CompletePendingTransfer(endpoint, d.irp, status, usbd, d.answer.bytes, d.answer.reported);
  }
  // Not completed and still pending: the port went to sleep meanwhile, and it waits for D0.
  bool waits = false;
  if (!done) {
    std::vector<PIRP> pending = bus_.PendingTransfers(endpoint);
    waits = std::find(pending.begin(), pending.end(), d.irp) != pending.end();
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (d.in) {
      auto it = std::find_if(reads_.begin(), reads_.end(), [&](const InRead& r) { return r.seq == d.seq; });
      if (it != reads_.end() && !waits) reads_.erase(it);
      if (done) {
        delivered_++;
      } else {
        inLog_.erase(inLog_.begin() + static_cast<std::ptrdiff_t>(logged));
        // The device did not see its packet go: what it carried is still its to send.
        inItems_.insert(inItems_.begin(), d.taken.begin(), d.taken.end());
        inArrived_ += d.taken.size();
        for (const InItem& item : d.taken) {
          if (!item.answer) inBuffered_++;
        }
      }
    } else {
      if (!done && wire != SIZE_MAX && wire >= wireBase_) wire_[wire - wireBase_].completed = TimePoint{};
      auto it = std::find_if(outQueue_.begin(), outQueue_.end(), [&](const OutRecord& r) { return r.seq == d.seq; });
      if (it != outQueue_.end() && (done || !waits)) outQueue_.erase(it);
    }
  }
  changed_.notify_all();
}

void MidiEndpoints::OfferByte(uint8_t byte, Nanos ready) {
  Nanos whole = std::max(ready, inFree_) + kCableByte;
  inFree_ = whole;
  inItems_.push_back(InItem{whole, byte, false, {}});
  Busy(ready);
}

void MidiEndpoints::OfferBytes(const std::vector<uint8_t>& transfer) {
  Nanos now = ModelNow();
  for (uint8_t byte : DecodeMidi(transfer)) OfferByte(byte, now);
}

void MidiEndpoints::OfferAnswer(const Feeding& feeding) {
  // It comes after whatever is still on the cable.
  Nanos now = ModelNow();
  inItems_.push_back(InItem{std::max(now, inFree_), 0, true, feeding});
  Busy(now);
}

std::vector<CableByte> MidiEndpoints::Cable() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<CableByte> out;
  for (const WireTransfer& w : wire_) {
    std::vector<uint8_t> midi = DecodeMidi(w.bytes);
    for (size_t i = 0; i < w.cable.size(); i++) out.push_back(CableByte{midi[i], w.cable[i]});
  }
  return out;
}

std::vector<InTransfer> MidiEndpoints::InTransfers() {
  std::lock_guard<std::mutex> guard(lock_);
  return inLog_;
}

size_t MidiEndpoints::OutQueued() {
  std::lock_guard<std::mutex> guard(lock_);
  return outQueue_.size();
}

size_t MidiEndpoints::InOverflow() {
  std::lock_guard<std::mutex> guard(lock_);
  return inOverflow_;
}

// ---------------------------------------------------------------------------------------------
// The test's side.
// ---------------------------------------------------------------------------------------------
std::vector<WireTransfer> MidiEndpoints::Wire() {
  std::lock_guard<std::mutex> guard(lock_);
  return wire_;
}

std::vector<uint8_t> MidiEndpoints::ReceivedMidi() {
  std::vector<uint8_t> all;
  for (const WireTransfer& w : Wire()) {
    std::vector<uint8_t> midi = DecodeMidi(w.bytes);
    all.insert(all.end(), midi.begin(), midi.end());
  }
  return all;
}

size_t MidiEndpoints::WireCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return wire_.size();
}

bool MidiEndpoints::WaitForWire(size_t transfers, int timeoutMs) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return wire_.size() >= transfers; });
}

void MidiEndpoints::ClearWire() {
  std::lock_guard<std::mutex> guard(lock_);
  wireBase_ += wire_.size();
  wire_.clear();
}

void MidiEndpoints::FailNextOut(int count, NTSTATUS status, USBD_STATUS usbd) {
  std::lock_guard<std::mutex> guard(lock_);
  failOut_ = count;
  failStatus_ = status;
  failUsbd_ = usbd;
}

void MidiEndpoints::SetOutLatency(int ms) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!realtime_) {
      outLatencyMs_ = ms;
      return;
    }
  }
  Report(Rule::Unimplemented, "MidiEndpoints::SetOutLatency", "",
         "a fixed OUT latency and the real-time timing exclude each other");
}

void MidiEndpoints::HoldOut(bool hold) {
  std::lock_guard<std::mutex> guard(lock_);
  holdOut_ = hold;
}

void MidiEndpoints::OnOut(std::function<void(const WireTransfer&)> observer) {
  std::lock_guard<std::mutex> guard(lock_);
  onOut_ = std::move(observer);
}

void MidiEndpoints::Feed(const std::vector<uint8_t>& transfer) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (realtime_) {
      OfferBytes(transfer);
    } else {
      feed_.push_back(Feeding{transfer});
    }
  }
  changed_.notify_all();
}

void MidiEndpoints::FeedFailure(NTSTATUS status, USBD_STATUS usbd) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    Feeding failure{{}, status, usbd};
    if (realtime_) {
      OfferAnswer(failure);
    } else {
      feed_.push_back(failure);
    }
  }
  changed_.notify_all();
}

void MidiEndpoints::FeedMiscounted(const std::vector<uint8_t>& transfer, ULONG reported) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    Feeding miscounted{transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS, reported};
    if (realtime_) {
      OfferAnswer(miscounted);
    } else {
      feed_.push_back(miscounted);
    }
  }
  changed_.notify_all();
}

void MidiEndpoints::SetLoopback(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  loopback_ = on;
}

void MidiEndpoints::StartGenerator(double transfersPerSecond, std::vector<uint8_t> transfer) {
  StopGenerator();
  {
    std::lock_guard<std::mutex> guard(lock_);
    generating_ = true;
  }
  auto period = std::chrono::duration<double>(1.0 / transfersPerSecond);
  generator_ = std::thread([this, period, transfer] {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (!generating_) return;
        // In real time the instrument plays onto the cable, which sets the pace.
        if (realtime_) {
          OfferBytes(transfer);
        } else {
          feed_.push_back(Feeding{transfer});
        }
      }
      changed_.notify_all();
      next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
      std::this_thread::sleep_until(next);
    }
  });
}

void MidiEndpoints::StopGenerator() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    generating_ = false;
  }
  if (generator_.joinable()) generator_.join();
}

size_t MidiEndpoints::PendingIn() { return bus_.PendingOn(in_); }

PowerTransferCounts MidiEndpoints::InPower() { return bus_.PowerCountsOn(in_); }

PowerTransferCounts MidiEndpoints::OutPower() { return bus_.PowerCountsOn(out_); }

bool MidiEndpoints::WaitForPendingIn(size_t count, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (PendingIn() < count) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

size_t MidiEndpoints::Delivered() {
  std::lock_guard<std::mutex> guard(lock_);
  return delivered_;
}

bool MidiEndpoints::WaitDelivered(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return delivered_ >= count; });
}

void MidiEndpoints::OnInComplete(std::function<void()> observer) {
  std::lock_guard<std::mutex> guard(lock_);
  onIn_ = std::move(observer);
}

}  // namespace tb
