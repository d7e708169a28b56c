#include "usb/midi_endpoints.h"

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
  bus_.SetPipeHook(in_, [this](BulkTransfer&) {
    changed_.notify_all();
    BulkAnswer answer;
    answer.pend = true;
    return answer;
  });
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
  WireTransfer w{std::vector<uint8_t>(t.buffer, t.buffer + t.length), std::chrono::steady_clock::now()};
  BulkAnswer answer;
  answer.bytes = t.length;
  std::function<void(const WireTransfer&)> observer;
  int latency = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (failOut_ > 0) {
      failOut_--;
      answer.status = failStatus_;
      answer.usbdStatus = failUsbd_;
      answer.bytes = 0;
      return answer;
    }
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
  changed_.notify_all();
  if (observer) observer(w);
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
  wire_.clear();
}

void MidiEndpoints::FailNextOut(int count, NTSTATUS status, USBD_STATUS usbd) {
  std::lock_guard<std::mutex> guard(lock_);
  failOut_ = count;
  failStatus_ = status;
  failUsbd_ = usbd;
}

void MidiEndpoints::SetOutLatency(int ms) {
  std::lock_guard<std::mutex> guard(lock_);
  outLatencyMs_ = ms;
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
    feed_.push_back(Feeding{transfer});
  }
  changed_.notify_all();
}

void MidiEndpoints::FeedFailure(NTSTATUS status, USBD_STATUS usbd) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    feed_.push_back(Feeding{{}, status, usbd});
  }
  changed_.notify_all();
}

void MidiEndpoints::FeedMiscounted(const std::vector<uint8_t>& transfer, ULONG reported) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    feed_.push_back(Feeding{transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS, reported});
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
        feed_.push_back(Feeding{transfer});
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
