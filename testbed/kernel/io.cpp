// The I/O manager: IRPs and their stack locations, calling and completing, cancel, device
// I/O control requests, and the test bed's own senders and host devices.
#include "internal.h"

#include <chrono>
#include <deque>

namespace tb {
namespace {
std::mutex gIrpLock;
std::condition_variable gIrpDone;
std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> gIrps;
std::deque<PIRP> gFreedRecords;  // records of freed IRPs, kept a while to tell a double free
uint64_t gIrpIds = 0;
constexpr size_t kKeepFreedRecords = 8192;

std::string IrpName(PIRP irp) { return "IRP " + Hex(irp); }

PIO_STACK_LOCATION StackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

void InitializeIrp(PIRP irp, size_t bytes, CCHAR stackSize) {
  std::memset(irp, 0, bytes);
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
  irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
  irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

// A live IRP's record; reports use of an IRP that was completed past its top or freed.
std::shared_ptr<IrpRecord> LiveRecord(PIRP irp, const char* routine, bool allowCompleted = false) {
  auto rec = FindIrp(irp);
  if (!rec) {
    Report(Rule::IrpTouchedAfterCompletion, routine, IrpName(irp), "not an IRP the I/O manager knows");
    return nullptr;
  }
  KernelLock guard(gIrpLock);
  if (rec->state == IrpRecord::State::Freed ||
      (!allowCompleted && rec->state == IrpRecord::State::Completed)) {
    Report(Rule::IrpTouchedAfterCompletion, routine, IrpName(irp),
           rec->state == IrpRecord::State::Freed ? "the IRP was freed" : "the IRP was already completed");
    return nullptr;
  }
  return rec;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI HostDispatch(PDEVICE_OBJECT device, PIRP irp) {
  HostHandler handler;
  {
    KernelLock guard(ObjectLock());
    DeviceRecord* rec = FindDevice(device);
    if (rec != nullptr) handler = rec->handler;
  }
  if (!handler) return InvalidDeviceRequest(device, irp);
  return ForcePendingDispatch(device, irp, handler);
}
}  // namespace

PDRIVER_DISPATCH InvalidRequestRoutine() { return InvalidDeviceRequest; }
PDRIVER_DISPATCH HostDispatchRoutine() { return HostDispatch; }

// A completion routine that returns STATUS_MORE_PROCESSING_REQUIRED may hand the IRP to a
// waiting owner before it has returned (it sets the owner's event). The owner's next step on the
// IRP is ordered after the routine's return, as the platform orders it: only then does the I/O
// manager let go of the IRP.
static void AwaitRoutineElsewhere(const std::shared_ptr<IrpRecord>& rec) {
  if (!rec) return;
  Unseen unseen;
  (void)unseen;
  std::unique_lock<std::mutex> lock(gIrpLock);
  auto self = std::this_thread::get_id();
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GetSettings().hangLimitMs);
  // A routine that sent the IRP on a new trip has let go of it already.
  gIrpDone.wait_until(lock, until, [&] {
    return !rec->inRoutine || rec->routineThread == self || rec->routineTrip != rec->trip;
  });
}

std::shared_ptr<IrpRecord> FindIrp(PIRP irp) {
  KernelLock guard(gIrpLock);
  auto it = gIrps.find(irp);
  return it == gIrps.end() ? nullptr : it->second;
}

bool IsLiveIrp(PIRP irp) {
  auto rec = FindIrp(irp);
  KernelLock guard(gIrpLock);
  return rec && rec->state != IrpRecord::State::Freed;
}

bool IrpReachedTop(PIRP irp) {
  auto rec = FindIrp(irp);
  KernelLock guard(gIrpLock);
  return rec && rec->reachedTop;
}

PIRP AllocateIrpInternal(CCHAR stackSize, bool fromDriver, TopCompletion onTop) {
  size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(GuardedAllocate(bytes, GuardKind::Irp));
  InitializeIrp(irp, bytes, stackSize);
  auto rec = std::make_shared<IrpRecord>();
  rec->fromDriver = fromDriver;
  rec->systemOwned = !fromDriver;
  rec->onTop = std::move(onTop);
  rec->marked.assign(static_cast<size_t>(stackSize) + 2, false);
  rec->bytes = bytes;
  KernelLock guard(gIrpLock);
  rec->id = ++gIrpIds;
  gIrps[irp] = rec;
  return irp;
}

PIRP AllocateSystemIrp(CCHAR stackSize, TopCompletion onTop, bool keep) {
  PIRP irp = AllocateIrpInternal(stackSize, false, std::move(onTop));
  FindIrp(irp)->keep = keep;
  return irp;
}

void FreeIrpInternal(PIRP irp, const char* routine) {
  KernelLock guard(gIrpLock);
  auto it = gIrps.find(irp);
  if (it == gIrps.end()) {
    Report(Rule::IrpDoubleFree, routine, IrpName(irp), "not an IRP the I/O manager knows");
    return;
  }
  IrpRecord& rec = *it->second;
  if (rec.state == IrpRecord::State::Freed) {
    Report(Rule::IrpDoubleFree, routine, IrpName(irp), "the IRP was already freed");
    return;
  }
  if (rec.state == IrpRecord::State::InFlight && !rec.completing) {
    Report(Rule::IrpFreedWhileInUse, routine, IrpName(irp), "freed while a driver below still owns it");
  }
  rec.state = IrpRecord::State::Freed;
  GuardedRelease(irp, IrpName(irp) + " (freed by " + routine + ")");
  gFreedRecords.push_back(irp);
  while (gFreedRecords.size() > kKeepFreedRecords) {
    PIRP old = gFreedRecords.front();
    gFreedRecords.pop_front();
    auto at = gIrps.find(old);
    // The address may belong to a newer IRP by now: only a freed record goes.
    if (at != gIrps.end() && at->second->state == IrpRecord::State::Freed) gIrps.erase(at);
  }
}

void FreeSystemIrp(PIRP irp) { FreeIrpInternal(irp, "test bed"); }

size_t CheckIrpLeaks(const std::string& when) {
  std::vector<std::pair<PIRP, const void*>> leaked;
  {
    KernelLock guard(gIrpLock);
    for (auto& [irp, rec] : gIrps) {
      if (rec->fromDriver && rec->state != IrpRecord::State::Freed) leaked.emplace_back(irp, rec->allocatedBy);
    }
  }
  for (auto& [irp, site] : leaked) {
    Report(Rule::IrpLeak, when, IrpName(irp), "allocated by " + SymbolName(site) + " and never freed with IoFreeIrp");
  }
  return leaked.size();
}

void ResetIo() {
  ResetFiles();  // its close thread may still be sending IRPs
  KernelLock guard(gIrpLock);
  // The memory itself goes with ResetGuarded.
  gIrps.clear();
  gFreedRecords.clear();
}

Result SendAndWait(PDEVICE_OBJECT target, PIRP irp) {
  auto rec = FindIrp(irp);
  // The IRP is freed once its completion reaches the top: what the sender learns is taken there.
  struct Outcome {
    bool done = false;
    IO_STATUS_BLOCK status{};
  };
  auto outcome = std::make_shared<Outcome>();
  {
    KernelLock guard(gIrpLock);
    auto previous = rec->onTop;
    rec->onTop = [previous, outcome](PIRP done) {
      if (previous) previous(done);
      KernelLock inner(gIrpLock);
      outcome->status = done->IoStatus;
      outcome->done = true;
    };
  }
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  PDRIVER_DISPATCH routine = target->DriverObject->MajorFunction[first->MajorFunction];
  NTSTATUS returned = first->MajorFunction == IRP_MJ_POWER ? PoCallDriver(target, irp) : IofCallDriver(target, irp);
  bool handled;
  {
    KernelLock guard(gIrpLock);
    handled = returned == STATUS_PENDING || outcome->done;
  }
  if (!handled) {
    Report(Rule::RequestNotHandled, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(irp),
           "dispatch returned without completing, passing down or pending the request");
    return Result{irp->IoStatus.Status, irp->IoStatus.Information, returned};
  }
  bool completed;
  {
    Unseen unseen;
    (void)unseen;
    std::unique_lock<std::mutex> lock(gIrpLock);
    auto hangAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(GetSettings().hangLimitMs);
    completed = gIrpDone.wait_until(lock, hangAt, [&] { return outcome->done; });
  }
  if (!completed) BugCheck(Rule::WaitNeverSatisfied, "test bed", IrpName(irp), "a pended request was never completed");
  // The sender sees what the completing thread left in the IRP.
  PlatformAcquire(irp);
  return Result{outcome->status.Status, outcome->status.Information, returned};
}

Result Call(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION, PIRP)>& fill) {
  PDEVICE_OBJECT top = TopOfStack(target);
  PIRP irp = AllocateSystemIrp(top->StackSize);
  fill(IoGetNextIrpStackLocation(irp), irp);
  // A request the driver lost stays where it is; one that completed is freed by the I/O manager.
  return SendAndWait(top, irp);
}

namespace {
// Steps the IRP down to the target's location, as the I/O manager does before calling it.
std::shared_ptr<IrpRecord> Advance(PDEVICE_OBJECT target, PIRP irp, const char* routine) {
  auto rec = LiveRecord(irp, routine);
  if (!rec) return nullptr;
  irp->CurrentLocation--;
  if (irp->CurrentLocation <= 0) {
    BugCheck(Rule::IrpStackOverflow, routine, IrpName(irp), "no stack location left for the next driver");
  }
  irp->Tail.Overlay.CurrentStackLocation--;
  irp->Tail.Overlay.CurrentStackLocation->DeviceObject = target;
  int location = irp->CurrentLocation;
  KernelLock guard(gIrpLock);
  if (rec->state != IrpRecord::State::InFlight || rec->completing) rec->trip++;
  rec->state = IrpRecord::State::InFlight;
  rec->completing = false;
  rec->reachedTop = false;
  if (static_cast<size_t>(location) < rec->marked.size()) rec->marked[static_cast<size_t>(location)] = false;
  return rec;
}

NTSTATUS Dispatch(PDEVICE_OBJECT target, PIRP irp, const std::shared_ptr<IrpRecord>& rec) {
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  PDRIVER_DISPATCH routine = target->DriverObject->MajorFunction[stack->MajorFunction];
  DispatchFrame frame;
  frame.record = rec;
  frame.location = irp->CurrentLocation;
  frame.thread = std::this_thread::get_id();
  {
    KernelLock guard(gIrpLock);
    frame.trip = rec->trip;
    rec->activeFrames.push_back(&frame);
  }
  Current().frames.push_back(&frame);
  NTSTATUS status = RunDriverRoutine(reinterpret_cast<const void*>(routine), "dispatch",
                                     [&] { return routine(target, irp); });
  Current().frames.pop_back();
  bool anyMarked;
  {
    KernelLock guard(gIrpLock);
    rec->activeFrames.erase(std::find(rec->activeFrames.begin(), rec->activeFrames.end(), &frame));
    anyMarked = frame.markedBelow;
  }
  if (status == STATUS_PENDING && !anyMarked) {
    Report(Rule::PendingReturnedWithoutMark, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(irp),
           "returned STATUS_PENDING without IoMarkIrpPending");
  } else if (status != STATUS_PENDING && frame.markedHere) {
    Report(Rule::MarkedPendingNotReturned, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(irp),
           "marked the IRP pending but returned another status");
  }
  return status;
}
}  // namespace

NTSTATUS CallDriverInternal(PDEVICE_OBJECT target, PIRP irp, bool viaPo, const void* caller) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  if (!LiveRecord(irp, "IofCallDriver")) return STATUS_INVALID_PARAMETER;
  PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
  if (!viaPo && irp->CurrentLocation > 1 && next->MajorFunction == IRP_MJ_POWER) {
    // On this platform generation the power manager sees power IRPs only through PoCallDriver.
    Report(Rule::PowerIrpNotPoCallDriver, SymbolName(caller), IrpName(irp),
           "a power IRP passed on with IoCallDriver instead of PoCallDriver");
    return PowerCallDriver(target, irp, caller);
  }
  AwaitRoutineElsewhere(FindIrp(irp));
  bool stale = false;
  {
    auto rec = FindIrp(irp);
    KernelLock guard(gIrpLock);
    // A driver's own IRP that came back to it is reinitialized before its next trip.
    if (rec->fromDriver && rec->needsReuse && irp->CurrentLocation == irp->StackCount + 1) {
      rec->needsReuse = false;
      stale = true;
    }
  }
  if (stale) {
    Report(Rule::IrpSentWithoutReuse, SymbolName(caller), IrpName(irp),
           "the IRP completed back to its owner and was sent again without IoReuseIrp");
  }
  auto rec = Advance(target, irp, "IofCallDriver");
  if (!rec) return STATUS_INVALID_PARAMETER;
  return Dispatch(target, irp, rec);
}

void AdvanceAndPend(PDEVICE_OBJECT target, PIRP irp) {
  if (!Advance(target, irp, "PoCallDriver")) return;
  // Held by the power manager: to its sender the request is pending at the target.
  irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
  TbNoteMarkIrpPendingInternal(irp, false);
}

NTSTATUS DispatchCurrentLocation(PDEVICE_OBJECT target, PIRP irp) {
  auto rec = FindIrp(irp);
  if (!rec) return STATUS_INVALID_PARAMETER;
  return Dispatch(target, irp, rec);
}

// `byDriver`: an IoMarkIrpPending of the driver at the current location, not the power
// manager's own mark on a request it holds.
void TbNoteMarkIrpPendingInternal(PIRP Irp, bool byDriver) {
  auto rec = LiveRecord(Irp, "IoMarkIrpPending");
  if (!rec) return;
  int location = Irp->CurrentLocation;
  KernelLock guard(gIrpLock);
  if (location >= 0 && static_cast<size_t>(location) < rec->marked.size()) rec->marked[static_cast<size_t>(location)] = true;
  // Frames on any thread: a lower driver may pend the IRP from a thread of its own.
  for (DispatchFrame* f : rec->activeFrames) {
    if (f->trip != rec->trip || location > f->location) continue;
    f->markedBelow = true;
    if (byDriver && f->location == location && f->thread == std::this_thread::get_id()) f->markedHere = true;
  }
}

}  // namespace tb

using namespace tb;

extern "C" {

VOID TbCheckNextLocation(PIRP Irp, PCSTR Routine) {
  if (Irp->CurrentLocation <= 1) {
    BugCheck(Rule::IrpStackUnderflow, Routine, IrpName(Irp), "the IRP has no next stack location");
  }
}

VOID TbCheckSkip(PIRP Irp) {
  if (Irp->CurrentLocation > Irp->StackCount) {
    BugCheck(Rule::IrpStackUnderflow, "IoSkipCurrentIrpStackLocation", IrpName(Irp), "skipped above the top location");
  }
}

VOID TbNoteMarkIrpPending(PIRP Irp) { TbNoteMarkIrpPendingInternal(Irp, true); }

PDRIVER_CANCEL TbExchangeCancelRoutine(PIRP Irp, PDRIVER_CANCEL NewRoutine) {
  if (!LiveRecord(Irp, "IoSetCancelRoutine")) return nullptr;
  return __atomic_exchange_n(&Irp->CancelRoutine, NewRoutine, __ATOMIC_SEQ_CST);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (ShouldFailAllocation(AllocKind::Irp)) return nullptr;
  PIRP irp = AllocateIrpInternal(StackSize, true, nullptr);
  // The platform's pool allocation of a fixed-size IRP; IoFreeIrp relies on the mark.
  irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
  FindIrp(irp)->allocatedBy = __builtin_return_address(0);
  return irp;
}

VOID IoFreeIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  AwaitRoutineElsewhere(FindIrp(Irp));
  FreeIrpInternal(Irp, "IoFreeIrp");
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  auto rec = FindIrp(Irp);
  if (!rec) {
    Report(Rule::Unimplemented, "IoInitializeIrp", IrpName(Irp), "IRPs in driver-allocated memory are not supported");
    return;
  }
  if (Irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE) {
    // Initializing wipes the allocation mark: IoFreeIrp would then free it the wrong way.
    Report(Rule::IrpInitializedWhileAllocated, SymbolName(__builtin_return_address(0)), IrpName(Irp),
           "IoInitializeIrp on an IRP from IoAllocateIrp; reuse it with IoReuseIrp");
  }
  InitializeIrp(Irp, PacketSize, StackSize);
  KernelLock guard(gIrpLock);
  rec->state = IrpRecord::State::Idle;
  rec->needsReuse = false;
  rec->reachedTop = false;
  std::fill(rec->marked.begin(), rec->marked.end(), false);
  rec->startedNextPower.clear();
  rec->reportedNextPower.clear();
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  AwaitRoutineElsewhere(FindIrp(Irp));
  auto rec = LiveRecord(Irp, "IoReuseIrp", true);
  if (!rec) return;
  {
    KernelLock guard(gIrpLock);
    if (rec->state == IrpRecord::State::InFlight && !rec->completing) {
      Report(Rule::IrpFreedWhileInUse, "IoReuseIrp", IrpName(Irp), "reused while a driver below still owns it");
    }
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  InitializeIrp(Irp, rec->bytes, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
  KernelLock guard(gIrpLock);
  rec->state = IrpRecord::State::Idle;
  rec->needsReuse = false;
  rec->reachedTop = false;
  std::fill(rec->marked.begin(), rec->marked.end(), false);
  rec->startedNextPower.clear();
  rec->reportedNextPower.clear();
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return CallDriverInternal(DeviceObject, Irp, false, __builtin_return_address(0));
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  const void* completer = __builtin_return_address(0);
  // A host device's answer to a request chosen to pend is held, to be completed later.
  if (ForcePendingCaptures(Irp)) return;
  auto rec = FindIrp(Irp);
  AwaitRoutineElsewhere(rec);
  {
    KernelLock guard(gIrpLock);
    if (rec && rec->state == IrpRecord::State::Freed && rec->reachedTop) {
      Report(Rule::IrpCompletedTwice, SymbolName(completer), IrpName(Irp),
             "the IRP was already completed, and freed by the I/O manager");
      return;
    }
    if (!rec || rec->state == IrpRecord::State::Freed) {
      Report(Rule::IrpTouchedAfterCompletion, SymbolName(completer), IrpName(Irp), "completing an IRP that was freed");
      return;
    }
    if (rec->state == IrpRecord::State::Completed || rec->completing) {
      Report(Rule::IrpCompletedTwice, "IofCompleteRequest", IrpName(Irp), "the IRP was already completed");
      return;
    }
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Report(Rule::IrpCompletedWithPending, "IofCompleteRequest", IrpName(Irp), "completed with STATUS_PENDING");
    return;
  }
  // IoCancelIrp may be exchanging the routine on another processor: read it the same way.
  if (PDRIVER_CANCEL cancel = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST); cancel != nullptr) {
    Report(Rule::IrpCompletedWithCancelRoutine, "IofCompleteRequest", IrpName(Irp),
           "completed with cancel routine " + SymbolName(reinterpret_cast<const void*>(cancel)) + " still set");
    __atomic_store_n(&Irp->CancelRoutine, static_cast<PDRIVER_CANCEL>(nullptr), __ATOMIC_SEQ_CST);
  }
  if (!Current().held.empty()) {
    Report(Rule::IrpCompletedHoldingSpinLock, "IofCompleteRequest", IrpName(Irp),
           "completed while holding spin lock " + ObjectName(Current().held.back()));
  }
  uint64_t trip;
  {
    KernelLock guard(gIrpLock);
    rec->completing = true;
    trip = rec->trip;
  }
  const void* lastRoutine = completer;  // the routine that completes the location being left
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    if (stack->MajorFunction == IRP_MJ_POWER) PowerLeavingLocation(Irp, stack, lastRoutine);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR major = stack->MajorFunction;
    UCHAR control = stack->Control;
    // As the I/O manager does: the location is cleared before the driver above runs, so no
    // routine can read its request's parameters back from the stack.
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control &= SL_ERROR_RETURNED;
    std::memset(&stack->Parameters, 0, sizeof stack->Parameters);
    stack->FileObject = nullptr;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool invoke = routine != nullptr &&
                  ((NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      bool atTop = Irp->CurrentLocation > Irp->StackCount;
      PDEVICE_OBJECT above = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      if (atTop && rec->fromDriver) {
        KernelLock guard(gIrpLock);
        rec->needsReuse = true;  // back with the driver that allocated it
      }
      lastRoutine = reinterpret_cast<const void*>(routine);
      {
        KernelLock guard(gIrpLock);
        rec->inRoutine = true;
        rec->routineThread = std::this_thread::get_id();
        rec->routineTrip = trip;
      }
      NTSTATUS status = RunDriverRoutine(reinterpret_cast<const void*>(routine),
                                         major == IRP_MJ_POWER ? kPowerCompletionRoutine : "completion routine",
                                         [&] { return routine(above, Irp, context); });
      KernelLock guard(gIrpLock);
      if (rec->routineTrip == trip) rec->inRoutine = false;
      gIrpDone.notify_all();
      bool resent = rec->trip != trip;
      if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP is its owner's again, or already on a new trip the routine sent it on.
        if (!resent) {
          rec->completing = false;
          if (rec->state != IrpRecord::State::Freed) rec->state = IrpRecord::State::Idle;
        }
        return;
      }
      if (resent) {
        Report(Rule::IrpTouchedAfterCompletion, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(Irp),
               "sent the IRP again from its completion routine but did not return STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
      if (rec->state == IrpRecord::State::Freed) {
        Report(Rule::IrpTouchedAfterCompletion, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(Irp),
               "freed the IRP in its completion routine but did not return STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    }
  }
  PowerIrpFinished(Irp);
  TopCompletion onTop;
  bool fromDriver;
  bool freeNow;
  PlatformRelease(Irp);
  {
    KernelLock guard(gIrpLock);
    rec->completing = false;
    rec->state = IrpRecord::State::Completed;
    rec->reachedTop = true;
    onTop = rec->onTop;
    fromDriver = rec->fromDriver;
    freeNow = rec->systemOwned && !rec->keep;
  }
  if (onTop) {
    onTop(Irp);
  } else if (fromDriver) {
    Report(Rule::AllocatedIrpCompletedPastTop, "IofCompleteRequest", IrpName(Irp),
           "an IRP from IoAllocateIrp completed past its top without a routine claiming it");
  }
  // The I/O manager's own IRPs go as soon as their completion is done, as with the platform's
  // special IRP pool: a driver that touches one afterwards touches freed memory.
  if (freeNow) FreeIrpInternal(Irp, "I/O manager");
  gIrpDone.notify_all();
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  // An IRP back with its owner may still be cancelled, to no effect; only a freed one is gone.
  if (!LiveRecord(Irp, "IoCancelIrp", true)) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->CancelIrql = irql;
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = __atomic_exchange_n(&Irp->CancelRoutine, static_cast<PDRIVER_CANCEL>(nullptr), __ATOMIC_SEQ_CST);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  size_t locks = Current().held.size();
  {
    RoutineScope scope(reinterpret_cast<const void*>(routine), "cancel routine");
    routine(device, Irp);
  }
  ThreadState& ts = Current();
  if (ts.held.size() >= locks) {
    Report(Rule::SpinLockHeldOnReturn, SymbolName(reinterpret_cast<const void*>(routine)) + " (cancel routine)", "cancel spin lock",
           "the cancel routine returned without releasing the cancel spin lock");
  } else if (ts.irql != irql) {
    Report(Rule::IrqlNotRestored, SymbolName(reinterpret_cast<const void*>(routine)) + " (cancel routine)", "",
           "the cancel routine did not release the cancel spin lock at Irp->CancelIrql");
    ts.irql = irql;
  }
  return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  if (ShouldFailAllocation(AllocKind::Irp)) return nullptr;
  ULONG method = IoControlCode & 3;
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    Report(Rule::Unimplemented, "IoBuildDeviceIoControlRequest", "", "direct I/O control codes are not provided");
    return nullptr;
  }
  PIRP irp = AllocateIrpInternal(DeviceObject->StackSize, false, nullptr);
  irp->RequestorMode = KernelMode;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  void* system = nullptr;
  if (method == METHOD_BUFFERED) {
    size_t size = std::max(InputBufferLength, OutputBufferLength);
    if (size != 0) {
      system = std::calloc(1, size);
      if (InputBuffer != nullptr && InputBufferLength != 0) std::memcpy(system, InputBuffer, InputBufferLength);
    }
    irp->AssociatedIrp.SystemBuffer = system;
  } else {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  auto rec = FindIrp(irp);
  KernelLock guard(gIrpLock);
  rec->onTop = [system, OutputBuffer, OutputBufferLength, method](PIRP done) {
    NTSTATUS status = done->IoStatus.Status;
    // A request the target failed without pending it reports only through the dispatch
    // routine's return value: no status block, no event. Warnings still carry their data.
    bool failedAtOnce = NT_ERROR(status) && !done->PendingReturned;
    if (method == METHOD_BUFFERED && system != nullptr) {
      if (!failedAtOnce && !NT_ERROR(status) && OutputBuffer != nullptr) {
        size_t n = std::min<size_t>(done->IoStatus.Information, OutputBufferLength);
        std::memcpy(OutputBuffer, system, n);
      }
      std::free(system);
    }
    if (failedAtOnce) return;
    if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
    if (done->UserEvent != nullptr) KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
  };
  return irp;
}

}  // extern "C"
