// Forced pending: the test bed's own drivers (the USB bus, the devices below the driver that the
// PnP and power managers send to) answer a seeded share of their requests asynchronously. The
// answer is worked out as usual, inside the dispatch routine; its completion is held back, the
// IRP marked pending and STATUS_PENDING returned, and a completer thread finishes the IRP a
// seeded few microseconds later at DISPATCH_LEVEL through IofCompleteRequest, as a bus driver's
// DPC does. Until then the IRP can be cancelled, and completes STATUS_CANCELLED.
#include "internal.h"

#include <usb.h>
#include <usbioctl.h>

#include <cstdlib>
#include <map>

namespace tb {
namespace {

struct Held {
  PIRP irp;
  PDEVICE_OBJECT device;
  PURB urb;          // the URB of a held submit, for its own status on cancel
  bool cancellable;  // a cancel routine is set while it is held
};

std::mutex gLock;
std::condition_variable gChanged;
bool gOn = false;
uint32_t gSeed = 0;
uint32_t gFixedDelayUs = 0;
uint64_t gSequence = 0;
ForcePendingStats gStats;
std::vector<ForcePendingDecision> gLog;
constexpr size_t kLogLimit = 4096;
std::multimap<std::chrono::steady_clock::time_point, PIRP> gQueue;
std::map<PIRP, Held> gHeld;  // held and not yet taken for completion
std::map<PDEVICE_OBJECT, size_t> gOutstanding;  // held and not yet completed, per device
std::thread gCompleter;
bool gStop = false;

// Set while a host device's handler runs for an IRP chosen to pend: its completion of that IRP
// at that location, on this thread, is held instead of run.
struct Capture {
  PIRP irp;
  CHAR location;
  bool captured;
};
thread_local Capture* tCapture = nullptr;

uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Under gLock.
void FinishedLocked(PDEVICE_OBJECT device) {
  auto it = gOutstanding.find(device);
  if (it != gOutstanding.end() && --it->second == 0) gOutstanding.erase(it);
  gChanged.notify_all();
}

void CompleterMain() {
  for (;;) {
    Held held{};
    {
      // Bookkeeping, as everywhere else in this file, kept out of ThreadSanitizer's sight.
      Unseen unseen;
      (void)unseen;
      std::unique_lock<std::mutex> lock(gLock);
      for (;;) {
        if (gQueue.empty()) {
          if (gStop) return;
          gChanged.wait(lock);
          continue;
        }
        auto due = gQueue.begin()->first;
        if (std::chrono::steady_clock::now() >= due) break;
        gChanged.wait_until(lock, due);
      }
      PIRP irp = gQueue.begin()->second;
      gQueue.erase(gQueue.begin());
      auto it = gHeld.find(irp);
      if (it == gHeld.end()) continue;  // cancelled meanwhile
      held = it->second;
      // Whoever takes the cancel routine back owns the completion: here, or IoCancelIrp's call
      // of the routine, which finds the IRP still held (it is alive while it is in gHeld).
      if (held.cancellable &&
          __atomic_exchange_n(&irp->CancelRoutine, static_cast<PDRIVER_CANCEL>(nullptr), __ATOMIC_SEQ_CST) == nullptr) {
        continue;
      }
      gHeld.erase(it);
    }
    PlatformAcquire(held.irp);
    {
      IrqlScope irql(DISPATCH_LEVEL);
      IofCompleteRequest(held.irp, IO_NO_INCREMENT);
    }
    KernelLock guard(gLock);
    gStats.completed++;
    FinishedLocked(held.device);
  }
}

VOID NTAPI ForcedPendingCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Held held{};
  {
    KernelLock guard(gLock);
    auto it = gHeld.find(irp);
    if (it == gHeld.end()) {
      Report(Rule::ForcedPendingLeftBehind, "forced pending cancel", Hex(irp), "cancel routine for an IRP not held");
      return;
    }
    held = it->second;
    gHeld.erase(it);
    for (auto q = gQueue.begin(); q != gQueue.end(); ++q) {
      if (q->second == irp) {
        gQueue.erase(q);
        break;
      }
    }
  }
  PlatformAcquire(irp);
  // What the transfer moved before the cancel stays in the URB's length, as the stack leaves it.
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  if (held.urb != nullptr) held.urb->UrbHeader.Status = USBD_STATUS_CANCELED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  KernelLock guard(gLock);
  gStats.cancelled++;
  FinishedLocked(held.device);
}

// Under gLock.
void StartCompleterLocked() {
  if (gCompleter.joinable()) return;
  gStop = false;
  gCompleter = std::thread(CompleterMain);
}

void StopCompleter() {
  std::thread completer;
  {
    KernelLock guard(gLock);
    gStop = true;
    completer.swap(gCompleter);
  }
  gChanged.notify_all();
  if (completer.joinable()) completer.join();
}

}  // namespace

void SetForcePending(bool on, uint32_t seed, uint32_t fixedDelayUs) {
  DrainForcedPending(nullptr, "SetForcePending");
  KernelLock guard(gLock);
  gOn = on;
  gSeed = seed;
  gFixedDelayUs = fixedDelayUs;
  gSequence = 0;
  gStats = {};
  gLog.clear();
}

bool ForcePendingOn() {
  KernelLock guard(gLock);
  return gOn;
}

uint32_t ForcePendingSeed() {
  KernelLock guard(gLock);
  return gSeed;
}

ForcePendingStats GetForcePendingStats() {
  KernelLock guard(gLock);
  ForcePendingStats stats = gStats;
  stats.outstanding = 0;
  for (auto& [device, count] : gOutstanding) {
    (void)device;
    stats.outstanding += count;
  }
  return stats;
}

std::vector<ForcePendingDecision> ForcePendingLog() {
  KernelLock guard(gLock);
  return gLog;
}

// A fresh kernel takes the mode from TB_FORCE_PENDING (a seed; unset or empty: off).
void ResetForcePending() {
  DrainForcedPending(nullptr, "kernel reset");
  const char* env = std::getenv("TB_FORCE_PENDING");
  KernelLock guard(gLock);
  gOn = env != nullptr && *env != 0;
  gSeed = gOn ? static_cast<uint32_t>(std::strtoul(env, nullptr, 0)) : 0;
  gFixedDelayUs = 0;
  gSequence = 0;
  gStats = {};
  gLog.clear();
}

void ShutdownForcePending() {
  DrainForcedPending(nullptr, "kernel shutdown");
  StopCompleter();
}

size_t DrainForcedPending(PDEVICE_OBJECT device, const char* when) {
  // The completer itself (a completion routine deleting a device) cannot wait for its own work.
  {
    KernelLock guard(gLock);
    if (gCompleter.joinable() && gCompleter.get_id() == std::this_thread::get_id()) return 0;
  }
  auto left = [device] {
    if (device == nullptr) {
      size_t n = 0;
      for (auto& [d, count] : gOutstanding) {
        (void)d;
        n += count;
      }
      return n;
    }
    auto it = gOutstanding.find(device);
    return it == gOutstanding.end() ? size_t{0} : it->second;
  };
  size_t remaining;
  {
    Unseen unseen;
    (void)unseen;
    std::unique_lock<std::mutex> lock(gLock);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GetSettings().hangLimitMs);
    gChanged.wait_until(lock, until, [&] { return left() == 0; });
    remaining = left();
  }
  if (remaining != 0) {
    Report(Rule::ForcedPendingLeftBehind, when, device ? Hex(device) : "",
           std::to_string(remaining) + " held request(s) still not completed");
  }
  return remaining;
}

NTSTATUS ForcePendingDispatch(PDEVICE_OBJECT device, PIRP irp, const HostHandler& handler) {
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  bool pend = false;
  uint32_t delayUs = 0;
  {
    KernelLock guard(gLock);
    if (gOn) {
      uint64_t n = gSequence++;
      uint64_t h = Mix((static_cast<uint64_t>(gSeed) << 32) ^ Mix(n));
      pend = (h & 1) != 0;
      delayUs = gFixedDelayUs != 0 ? gFixedDelayUs : 1 + static_cast<uint32_t>((h >> 8) % 1000);
      gStats.considered++;
      if (gLog.size() < kLogLimit) {
        gLog.push_back(ForcePendingDecision{n, pend, pend ? delayUs : 0, stack->MajorFunction, stack->MinorFunction});
      }
    }
  }
  if (!pend) return handler(device, irp);

  // Read before the handler runs: completion clears the location.
  PURB urb = nullptr;
  bool cancellable = stack->MajorFunction != IRP_MJ_PNP && stack->MajorFunction != IRP_MJ_POWER;
  if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  }
  Capture capture{irp, irp->CurrentLocation, false};
  Capture* outer = tCapture;
  tCapture = &capture;
  NTSTATUS status = handler(device, irp);
  tCapture = outer;
  if (!capture.captured) return status;  // pended by the handler itself, or passed on

  if (status != STATUS_PENDING) IoMarkIrpPending(irp);
  // The queue is bookkeeping out of ThreadSanitizer's sight; what the dispatching thread did to
  // the IRP is handed to whoever completes it (the completer or a cancel) as a bus's DPC gets it.
  PlatformRelease(irp);
  {
    KernelLock guard(gLock);
    gStats.pended++;
    gOutstanding[device]++;
  }
  bool cancelledAlready = false;
  {
    KernelLock guard(gLock);
    gHeld[irp] = Held{irp, device, urb, cancellable};
    if (cancellable) {
      __atomic_store_n(&irp->CancelRoutine, static_cast<PDRIVER_CANCEL>(ForcedPendingCancel), __ATOMIC_SEQ_CST);
      // Cancelled before the routine was in place, so IoCancelIrp found none: complete it here
      // as cancelled, unless IoCancelIrp has just taken the routine and is about to run it.
      if (irp->Cancel) {
        if (__atomic_exchange_n(&irp->CancelRoutine, static_cast<PDRIVER_CANCEL>(nullptr), __ATOMIC_SEQ_CST) != nullptr) {
          gHeld.erase(irp);
          cancelledAlready = true;
        } else {
          return STATUS_PENDING;
        }
      }
    }
    if (!cancelledAlready) {
      gQueue.emplace(std::chrono::steady_clock::now() + std::chrono::microseconds(delayUs), irp);
      StartCompleterLocked();
    }
  }
  if (cancelledAlready) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    if (urb != nullptr) urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KernelLock guard(gLock);
    gStats.cancelled++;
    FinishedLocked(device);
    return STATUS_PENDING;
  }
  gChanged.notify_all();
  return STATUS_PENDING;
}

bool ForcePendingCaptures(PIRP irp) {
  Capture* c = tCapture;
  if (c == nullptr || c->irp != irp || c->captured || irp->CurrentLocation != c->location) return false;
  c->captured = true;
  return true;
}

}  // namespace tb
