// The power manager's calls: power IRPs requested by a driver, passing them, and the states a
// driver reports. Also the record of relations a driver asks the PnP manager to query again.
//
// Serialization, as on Windows 2000: each device object takes one system power IRP (set or
// query) and one device set-power IRP at a time. The next one waits in the power manager until
// the driver holding the current one calls PoStartNextPowerIrp; a driver that passes on or
// completes such an IRP without that call is reported, and the wait ends there instead of
// hanging the machine. Power IRPs for a device marked DO_POWER_PAGABLE reach it at PASSIVE_LEVEL:
// one sent at DISPATCH_LEVEL is delivered by the power manager's own thread.
//
// The rules of system transitions are checked here too: a system set-power IRP is never failed; a
// system power IRP is never left pending at a device its driver deletes (the power manager would
// wait for it forever); and a power callback or a power IRP's completion routine never waits,
// since it runs in whatever thread completed the IRP, possibly at DISPATCH_LEVEL.
#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace tb {
namespace {
// Unlike the kernel's bookkeeping locks, this one stays in ThreadSanitizer's sight: the power
// manager's queue is a real ordering on the platform (the sender of a held IRP comes before its
// delivery), not one the test bed adds.
std::mutex gPowerLock;
using PowerLock = std::lock_guard<std::mutex>;
std::map<std::pair<PDEVICE_OBJECT, int>, POWER_STATE> gReported;
std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> gInvalidated;
std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> gInvalidateHook;

enum PowerKind { kNoSerialization = -1, kSystemPower = 0, kDeviceSetPower = 1 };

struct Slot {
  PIRP active = nullptr;
  std::deque<PIRP> waiting;  // already stepped to the device's location, marked pending
};
std::map<std::pair<PDEVICE_OBJECT, int>, Slot> gSlots;

struct Delivery {
  PDEVICE_OBJECT target;
  PIRP irp;
};
std::deque<Delivery> gDeliveries;

// System power IRPs sent and not yet completed to their top, and those of them reported as held
// by a device that was deleted (the power manager stops waiting for those).
std::set<PIRP> gSystemInFlight;
std::set<PIRP> gHeldAtRemoval;
// System set-power IRPs already reported as failed on this trip.
std::set<PIRP> gFailedReported;

// The label of a PoRequestPowerIrp callback in the routine frames.
constexpr const char* kPowerCallback = "power completion";
std::condition_variable gWork;
std::thread gWorker;
bool gWorkerStop = false;

int KindOf(PIO_STACK_LOCATION s) {
  if (s->MajorFunction != IRP_MJ_POWER) return kNoSerialization;
  if (s->MinorFunction != IRP_MN_SET_POWER && s->MinorFunction != IRP_MN_QUERY_POWER) return kNoSerialization;
  if (s->Parameters.Power.Type == SystemPowerState) return kSystemPower;
  return s->MinorFunction == IRP_MN_SET_POWER ? kDeviceSetPower : kNoSerialization;
}

bool NeedsStartNext(PIO_STACK_LOCATION s) {
  return s->MajorFunction == IRP_MJ_POWER &&
         (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER);
}

bool IsKnownDevice(PDEVICE_OBJECT device) {
  if (device == nullptr) return false;
  KernelLock guard(ObjectLock());
  DeviceRecord* rec = FindDevice(device);
  return rec != nullptr && !rec->freed;
}

bool IsPagable(PDEVICE_OBJECT device) {
  KernelLock guard(ObjectLock());
  return (device->Flags & DO_POWER_PAGABLE) != 0;
}

void WorkerMain() {
  for (;;) {
    Delivery d;
    {
      std::unique_lock<std::mutex> lock(gPowerLock);
      gWork.wait(lock, [] { return gWorkerStop || !gDeliveries.empty(); });
      if (gDeliveries.empty()) return;
      d = gDeliveries.front();
      gDeliveries.pop_front();
    }
    IrqlScope irql(IsPagable(d.target) ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    DispatchCurrentLocation(d.target, d.irp);
  }
}

// Under gPowerLock.
void ScheduleLocked(PDEVICE_OBJECT target, PIRP irp) {
  gDeliveries.push_back(Delivery{target, irp});
  if (!gWorker.joinable()) {
    gWorkerStop = false;
    gWorker = std::thread(WorkerMain);
  }
  gWork.notify_all();
}

// The device is done with `irp` for this kind: the next one waiting for it goes in.
void ReleaseSlot(PDEVICE_OBJECT device, int kind, PIRP irp) {
  if (kind == kNoSerialization) return;
  PowerLock guard(gPowerLock);
  auto it = gSlots.find({device, kind});
  if (it == gSlots.end() || it->second.active != irp) return;
  Slot& slot = it->second;
  if (slot.waiting.empty()) {
    slot.active = nullptr;
    return;
  }
  slot.active = slot.waiting.front();
  slot.waiting.pop_front();
  ScheduleLocked(device, slot.active);
}

std::string IrpText(PIRP irp) { return "IRP " + Hex(irp); }

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// "S3", read as the plain word it is: a sender may have put any value there.
std::string SystemStateText(PIO_STACK_LOCATION s) {
  int value;
  std::memcpy(&value, &s->Parameters.Power.State, sizeof value);
  return "S" + std::to_string(value - 1);
}

// The driver of `device` is letting go of the IRP: it must have called PoStartNextPowerIrp.
void RequireStartedNext(PIRP irp, PDEVICE_OBJECT device, int kind, const void* routine, const char* how) {
  if (!IsKnownDevice(device)) return;
  auto rec = FindIrp(irp);
  if (!rec) return;
  bool missing = false;
  {
    PowerLock guard(gPowerLock);
    if (rec->startedNextPower.count(device) == 0 && rec->reportedNextPower.count(device) == 0) {
      rec->reportedNextPower.insert(device);
      missing = true;
    }
  }
  if (!missing) return;
  Report(Rule::PowerIrpWithoutStartNext, SymbolName(routine), IrpText(irp) + " at device " + Hex(device),
         std::string(how) + " without PoStartNextPowerIrp: the power manager would hold every later power IRP "
                             "for this device");
  ReleaseSlot(device, kind, irp);
}
}  // namespace

NTSTATUS PowerCallDriver(PDEVICE_OBJECT target, PIRP irp, const void* caller) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  if (!FindIrp(irp) || irp->CurrentLocation <= 1) return CallDriverInternal(target, irp, true, caller);
  PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
  int kind = KindOf(next);
  // Skipping or copying the location leaves the passing driver's device in it.
  PDEVICE_OBJECT from = next->DeviceObject;
  if (NeedsStartNext(next) && from != nullptr && from != target) {
    RequireStartedNext(irp, from, kind, caller, "passed the power IRP on");
  }
  bool hold = false;
  if (kind == kSystemPower) {
    PowerLock guard(gPowerLock);
    gSystemInFlight.insert(irp);
  }
  if (kind != kNoSerialization) {
    PowerLock guard(gPowerLock);
    Slot& slot = gSlots[{target, kind}];
    if (slot.active != nullptr && slot.active != irp) {
      AdvanceAndPend(target, irp);
      slot.waiting.push_back(irp);
      return STATUS_PENDING;
    }
    slot.active = irp;
  }
  if (IsPagable(target) && Current().irql > PASSIVE_LEVEL) hold = true;
  if (hold) {
    PowerLock guard(gPowerLock);
    AdvanceAndPend(target, irp);
    ScheduleLocked(target, irp);
    return STATUS_PENDING;
  }
  return CallDriverInternal(target, irp, true, caller);
}

void PowerLeavingLocation(PIRP irp, PIO_STACK_LOCATION location, const void* routine) {
  if (!NeedsStartNext(location)) return;
  if (location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == SystemPowerState &&
      !NT_SUCCESS(irp->IoStatus.Status)) {
    bool first;
    {
      PowerLock guard(gPowerLock);
      first = gFailedReported.insert(irp).second;
    }
    if (first) {
      Report(Rule::SystemPowerIrpFailed, SymbolName(routine), IrpText(irp) + " at device " + Hex(location->DeviceObject),
             "completed a system set-power IRP (" + SystemStateText(location) + ") with status " +
                 StatusText(irp->IoStatus.Status) + ": a driver never fails one, the system changes state regardless");
    }
  }
  RequireStartedNext(irp, location->DeviceObject, KindOf(location), routine, "completed the power IRP");
}

void PowerIrpFinished(PIRP irp) {
  std::vector<std::pair<PDEVICE_OBJECT, int>> held;
  {
    PowerLock guard(gPowerLock);
    for (auto& [key, slot] : gSlots) {
      if (slot.active == irp) held.push_back(key);
    }
  }
  for (auto& [device, kind] : held) ReleaseSlot(device, kind, irp);
  PowerLock guard(gPowerLock);
  gSystemInFlight.erase(irp);
  gHeldAtRemoval.erase(irp);
  gFailedReported.erase(irp);
}

void PowerDeviceDeleting(PDEVICE_OBJECT device, const void* caller) {
  std::vector<std::pair<PIRP, std::string>> held;
  {
    // An IRP in the set has not finished completing, so it is not freed while the lock is held;
    // its locations may be moving on another processor, so they are read out of the race
    // detector's sight.
    PowerLock guard(gPowerLock);
    Unseen unseen;
    (void)unseen;
    for (PIRP irp : gSystemInFlight) {
      if (gHeldAtRemoval.count(irp) != 0) continue;
      // One the power manager itself still holds for the device is not the driver's.
      bool queued = false;
      for (auto& [key, slot] : gSlots) {
        if (std::find(slot.waiting.begin(), slot.waiting.end(), irp) != slot.waiting.end()) queued = true;
      }
      for (auto& d : gDeliveries) {
        if (d.irp == irp) queued = true;
      }
      if (queued || irp->CurrentLocation > irp->StackCount) continue;
      PIO_STACK_LOCATION at = irp->Tail.Overlay.CurrentStackLocation;
      if (at->DeviceObject != device || at->MajorFunction != IRP_MJ_POWER) continue;
      gHeldAtRemoval.insert(irp);
      held.emplace_back(irp, std::string(at->MinorFunction == IRP_MN_SET_POWER ? "SET_POWER " : "QUERY_POWER ") +
                                 SystemStateText(at));
    }
  }
  for (auto& [irp, what] : held) {
    Report(Rule::SystemPowerIrpHeldAtRemoval, SymbolName(caller), IrpText(irp) + " at device " + Hex(device),
           "the device is deleted while the system power IRP (" + what +
               ") is still pending at it: nobody will complete it, and the power manager waits for it forever");
  }
}

bool SystemPowerIrpHeldAtRemoval(PIRP irp) {
  PowerLock guard(gPowerLock);
  return gHeldAtRemoval.count(irp) != 0;
}

void PowerWaitCheck(const char* call, const void* object) {
  ThreadState& ts = Current();
  // At DISPATCH_LEVEL the wait is IrqlWaitAtDispatch's to report.
  if (ts.irql >= DISPATCH_LEVEL || ts.routines.empty()) return;
  const RoutineFrame& frame = ts.routines.back();
  bool callback = std::strcmp(frame.what, kPowerCallback) == 0;
  if (!callback && std::strcmp(frame.what, kPowerCompletionRoutine) != 0) return;
  Report(Rule::PowerCallbackWaits, SymbolName(frame.routine), object != nullptr ? ObjectName(object) : std::string(call),
         std::string(call) + " with a non-zero timeout in a " +
              (callback ? "PoRequestPowerIrp callback" : "power IRP's completion routine") +
             ": it may run at DISPATCH_LEVEL in the thread of whoever completed the IRP, and the power manager's "
             "next request waits behind it");
}

void StopPowerWorker() {
  std::thread worker;
  {
    PowerLock guard(gPowerLock);
    gWorkerStop = true;
    worker.swap(gWorker);
  }
  gWork.notify_all();
  if (worker.joinable()) worker.join();
}

POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
  PowerLock guard(gPowerLock);
  auto it = gReported.find({device, static_cast<int>(type)});
  POWER_STATE none;
  none.DeviceState = PowerDeviceUnspecified;
  return it == gReported.end() ? none : it->second;
}

std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> InvalidatedRelations() {
  PowerLock guard(gPowerLock);
  return gInvalidated;
}

void SetInvalidateRelationsHook(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook) {
  PowerLock guard(gPowerLock);
  gInvalidateHook = std::move(hook);
}

void ResetPower() {
  StopPowerWorker();
  PowerLock guard(gPowerLock);
  gSlots.clear();
  gDeliveries.clear();
  gSystemInFlight.clear();
  gHeldAtRemoval.clear();
  gFailedReported.clear();
  gWorkerStop = false;
  gReported.clear();
  gInvalidated.clear();
  gInvalidateHook = nullptr;
}

}  // namespace tb

using namespace tb;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return PowerCallDriver(DeviceObject, Irp, __builtin_return_address(0));
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  auto rec = FindIrp(Irp);
  if (!rec || !IsLiveIrp(Irp)) {
    Report(Rule::IrpTouchedAfterCompletion, "PoStartNextPowerIrp", Hex(Irp), "not a live IRP");
    return;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    Report(Rule::IrpStackUnderflow, SymbolName(__builtin_return_address(0)), Hex(Irp),
           "PoStartNextPowerIrp while the IRP's current location is no driver's");
    return;
  }
  // The caller is the driver the current location points to.
  PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
  PDEVICE_OBJECT device = current->DeviceObject;
  {
    PowerLock guard(gPowerLock);
    rec->startedNextPower.insert(device);
  }
  ReleaseSlot(device, KindOf(current), Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  PowerLock guard(gPowerLock);
  auto key = std::make_pair(DeviceObject, static_cast<int>(Type));
  POWER_STATE old;
  old.DeviceState = PowerDeviceUnspecified;
  auto it = gReported.find(key);
  if (it != gReported.end()) old = it->second;
  gReported[key] = State;
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (ShouldFailAllocation(AllocKind::Irp)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  // The I/O manager frees the IRP once the callback has run.
  PIRP irp = AllocateIrpInternal(top->StackSize, false, [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction != nullptr) {
      RunDriverRoutine(reinterpret_cast<const void*>(CompletionFunction), kPowerCallback,
                       [&] { CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status); });
    }
  });
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  if (Irp != nullptr) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook;
  {
    PowerLock guard(gPowerLock);
    gInvalidated.emplace_back(DeviceObject, Type);
    hook = gInvalidateHook;
  }
  if (hook) hook(DeviceObject, Type);
}

}  // extern "C"
