// The simulated interface's two bulk endpoints as a MIDI device uses them: the bulk-out endpoint
// keeps a wire log of every transfer and decodes the MIDI bytes in it; the bulk-in endpoint keeps
// the host's reads pending until the device has something to send - bytes fed by a test, the
// device's own output looped back, or a generator - and completes them from threads of its own at
// DISPATCH_LEVEL, as the host controller's DPCs would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "usb/usb_bus.h"

namespace tb {

struct WireTransfer {
  std::vector<uint8_t> bytes;  // what the transfer carried, TransferBufferLength bytes
  std::chrono::steady_clock::time_point time;
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
  BulkAnswer OutArrived(BulkTransfer& t);
  void Completer();
  void DelayedOut(int ms);

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
};

}  // namespace tb
