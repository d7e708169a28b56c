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
std::deque<PIRP> gQuarantine;  // freed IRPs kept unreleased so that later use is caught
uint64_t gIrpIds = 0;
constexpr size_t kQuarantine = 2048;

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
  return handler(device, irp);
}
}  // namespace

PDRIVER_DISPATCH InvalidRequestRoutine() { return InvalidDeviceRequest; }
PDRIVER_DISPATCH HostDispatchRoutine() { return HostDispatch; }

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
  return rec && rec->state == IrpRecord::State::Completed;
}

PIRP AllocateIrpInternal(CCHAR stackSize, bool fromDriver, TopCompletion onTop) {
  size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(std::malloc(bytes));
  InitializeIrp(irp, bytes, stackSize);
  auto rec = std::make_shared<IrpRecord>();
  rec->fromDriver = fromDriver;
  rec->systemOwned = !fromDriver;
  rec->onTop = std::move(onTop);
  rec->marked.assign(static_cast<size_t>(stackSize) + 2, false);
  rec->startNextPower.assign(static_cast<size_t>(stackSize) + 2, false);
  rec->bytes = bytes;
  KernelLock guard(gIrpLock);
  rec->id = ++gIrpIds;
  gIrps[irp] = rec;
  return irp;
}

PIRP AllocateSystemIrp(CCHAR stackSize, TopCompletion onTop) {
  return AllocateIrpInternal(stackSize, false, std::move(onTop));
}

static void FreeIrpInternal(PIRP irp, const char* routine) {
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
  std::memset(irp, 0xDD, rec.bytes);
  gQuarantine.push_back(irp);
  if (gQuarantine.size() > kQuarantine) {
    PIRP old = gQuarantine.front();
    gQuarantine.pop_front();
    gIrps.erase(old);
    std::free(old);
  }
}

void FreeSystemIrp(PIRP irp) { FreeIrpInternal(irp, "test bed"); }

void ResetIo() {
  KernelLock guard(gIrpLock);
  for (auto& [irp, rec] : gIrps) std::free(irp);
  gIrps.clear();
  gQuarantine.clear();
}

Result SendAndWait(PDEVICE_OBJECT target, PIRP irp) {
  auto rec = FindIrp(irp);
  {
    KernelLock guard(gIrpLock);
    auto previous = rec->onTop;
    rec->onTop = [previous](PIRP done) {
      if (previous) previous(done);
      gIrpDone.notify_all();
    };
  }
  NTSTATUS returned = IofCallDriver(target, irp);
  bool handled;
  {
    KernelLock guard(gIrpLock);
    handled = returned == STATUS_PENDING || rec->state == IrpRecord::State::Completed;
  }
  if (!handled) {
    PDRIVER_DISPATCH routine = target->DriverObject->MajorFunction[StackBase(irp)[irp->StackCount - 1].MajorFunction];
    Report(Rule::RequestNotHandled, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(irp),
           "dispatch returned without completing, passing down or pending the request");
    return Result{irp->IoStatus.Status, irp->IoStatus.Information, returned};
  }
  bool completed;
  {
    Unseen unseen;
    (void)unseen;
  (void)unseen;
    std::unique_lock<std::mutex> lock(gIrpLock);
    auto hangAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(GetSettings().hangLimitMs);
    completed = gIrpDone.wait_until(lock, hangAt, [&] { return rec->state == IrpRecord::State::Completed; });
  }
  if (!completed) BugCheck(Rule::WaitNeverSatisfied, "test bed", IrpName(irp), "a pended request was never completed");
  // The sender sees what the completing thread left in the IRP.
  PlatformAcquire(irp);
  return Result{irp->IoStatus.Status, irp->IoStatus.Information, returned};
}

Result Call(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION, PIRP)>& fill) {
  PDEVICE_OBJECT top = TopOfStack(target);
  PIRP irp = AllocateSystemIrp(top->StackSize);
  fill(IoGetNextIrpStackLocation(irp), irp);
  Result r = SendAndWait(top, irp);
  // A request the driver lost stays where it is: freeing it could hide a later completion.
  if (IrpReachedTop(irp)) FreeSystemIrp(irp);
  return r;
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

VOID TbNoteMarkIrpPending(PIRP Irp) {
  auto rec = LiveRecord(Irp, "IoMarkIrpPending");
  if (!rec) return;
  int location = Irp->CurrentLocation;
  KernelLock guard(gIrpLock);
  if (location >= 0 && static_cast<size_t>(location) < rec->marked.size()) rec->marked[static_cast<size_t>(location)] = true;
  // Frames on any thread: a lower driver may pend the IRP from a thread of its own.
  for (DispatchFrame* f : rec->activeFrames) {
    if (f->trip != rec->trip || location > f->location) continue;
    f->markedBelow = true;
    if (f->location == location && f->thread == std::this_thread::get_id()) f->markedHere = true;
  }
}

PDRIVER_CANCEL TbExchangeCancelRoutine(PIRP Irp, PDRIVER_CANCEL NewRoutine) {
  if (!LiveRecord(Irp, "IoSetCancelRoutine")) return nullptr;
  return __atomic_exchange_n(&Irp->CancelRoutine, NewRoutine, __ATOMIC_SEQ_CST);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (ShouldFailAllocation(AllocKind::Irp)) return nullptr;
  return AllocateIrpInternal(StackSize, true, nullptr);
}

VOID IoFreeIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  FreeIrpInternal(Irp, "IoFreeIrp");
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  auto rec = FindIrp(Irp);
  if (!rec) {
    Report(Rule::Unimplemented, "IoInitializeIrp", IrpName(Irp), "IRPs in driver-allocated memory are not supported");
    return;
  }
  InitializeIrp(Irp, PacketSize, StackSize);
  KernelLock guard(gIrpLock);
  rec->state = IrpRecord::State::Idle;
  std::fill(rec->marked.begin(), rec->marked.end(), false);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
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
  std::fill(rec->marked.begin(), rec->marked.end(), false);
  std::fill(rec->startNextPower.begin(), rec->startNextPower.end(), false);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  auto rec = LiveRecord(Irp, "IofCallDriver");
  if (!rec) return STATUS_INVALID_PARAMETER;
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    BugCheck(Rule::IrpStackOverflow, "IofCallDriver", IrpName(Irp), "no stack location left for the next driver");
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  int location = Irp->CurrentLocation;
  {
    KernelLock guard(gIrpLock);
    if (rec->state != IrpRecord::State::InFlight || rec->completing) rec->trip++;
    rec->state = IrpRecord::State::InFlight;
    rec->completing = false;
    if (static_cast<size_t>(location) < rec->marked.size()) rec->marked[static_cast<size_t>(location)] = false;
  }
  PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  DispatchFrame frame;
  frame.record = rec;
  frame.location = location;
  frame.thread = std::this_thread::get_id();
  {
    KernelLock guard(gIrpLock);
    frame.trip = rec->trip;
    rec->activeFrames.push_back(&frame);
  }
  Current().frames.push_back(&frame);
  NTSTATUS status = RunDriverRoutine(reinterpret_cast<const void*>(routine), "dispatch",
                                     [&] { return routine(DeviceObject, Irp); });
  Current().frames.pop_back();
  bool anyMarked;
  {
    KernelLock guard(gIrpLock);
    rec->activeFrames.erase(std::find(rec->activeFrames.begin(), rec->activeFrames.end(), &frame));
    anyMarked = frame.markedBelow;
  }
  if (status == STATUS_PENDING && !anyMarked) {
    Report(Rule::PendingReturnedWithoutMark, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(Irp),
           "returned STATUS_PENDING without IoMarkIrpPending");
  } else if (status != STATUS_PENDING && frame.markedHere) {
    Report(Rule::MarkedPendingNotReturned, SymbolName(reinterpret_cast<const void*>(routine)), IrpName(Irp),
           "marked the IRP pending but returned another status");
  }
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  auto rec = FindIrp(Irp);
  {
    KernelLock guard(gIrpLock);
    if (!rec || rec->state == IrpRecord::State::Freed) {
      Report(Rule::IrpTouchedAfterCompletion, "IofCompleteRequest", IrpName(Irp), "completing an IRP that was freed");
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
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool invoke = routine != nullptr &&
                  ((NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      bool atTop = Irp->CurrentLocation > Irp->StackCount;
      PDEVICE_OBJECT above = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      NTSTATUS status = RunDriverRoutine(reinterpret_cast<const void*>(routine), "completion routine",
                                         [&] { return routine(above, Irp, context); });
      KernelLock guard(gIrpLock);
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
  TopCompletion onTop;
  bool fromDriver;
  PlatformRelease(Irp);
  {
    KernelLock guard(gIrpLock);
    rec->completing = false;
    rec->state = IrpRecord::State::Completed;
    onTop = rec->onTop;
    fromDriver = rec->fromDriver;
  }
  if (onTop) {
    onTop(Irp);
  } else if (fromDriver) {
    Report(Rule::AllocatedIrpCompletedPastTop, "IofCompleteRequest", IrpName(Irp),
           "an IRP from IoAllocateIrp completed past its top without a routine claiming it");
  }
  gIrpDone.notify_all();
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  if (!LiveRecord(Irp, "IoCancelIrp")) return FALSE;
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
  rec->onTop = [system, OutputBuffer, method](PIRP done) {
    if (method == METHOD_BUFFERED && system != nullptr) {
      if (OutputBuffer != nullptr && NT_SUCCESS(done->IoStatus.Status)) {
        std::memcpy(OutputBuffer, system, done->IoStatus.Information);
      }
      std::free(system);
    }
    if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
    PKEVENT event = done->UserEvent;
    FreeIrpInternal(done, "I/O manager");
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  };
  return irp;
}

}  // extern "C"
