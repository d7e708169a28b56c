// IRQL per thread, spin locks and the cancel spin lock (the HAL's part of the platform).
#include "internal.h"

#include <algorithm>
#include <sched.h>

namespace tb {
namespace {
KSPIN_LOCK gCancelLock = 0;

const char* LevelName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL:
      return "PASSIVE_LEVEL";
    case APC_LEVEL:
      return "APC_LEVEL";
    case DISPATCH_LEVEL:
      return "DISPATCH_LEVEL";
    default:
      return "HIGH";
  }
}
}  // namespace

ThreadState& Current() {
  thread_local ThreadState state;
  return state;
}

PKSPIN_LOCK CancelLock() { return &gCancelLock; }

void RequireIrqlAtMost(KIRQL max, const char* routine) {
  KIRQL irql = Current().irql;
  if (irql > max) {
    Report(Rule::IrqlTooHigh, routine, "", std::string("called at ") + LevelName(irql) + ", allowed up to " + LevelName(max));
  }
}

void CheckDriverReturn(const void* routine, const char* what, KIRQL irqlBefore, size_t locksBefore) {
  ThreadState& ts = Current();
  auto name = [&] { return SymbolName(routine) + " (" + what + ")"; };
  if (ts.held.size() > locksBefore) {
    Report(Rule::SpinLockHeldOnReturn, name(), ObjectName(ts.held.back()), "returned holding a spin lock");
  } else if (ts.irql != irqlBefore) {
    Report(Rule::IrqlNotRestored, name(), "",
           std::string("called at ") + LevelName(irqlBefore) + ", returned at " + LevelName(ts.irql));
    ts.irql = irqlBefore;
  }
}

IrqlScope::IrqlScope(KIRQL irql) : old_(Current().irql) { Current().irql = irql; }
IrqlScope::~IrqlScope() { Current().irql = old_; }

size_t SpinLocksHeld() { return Current().held.size(); }

// The lock word holds the owner's thread id, so that a thread spinning on it can say who has it.
static void Acquire(PKSPIN_LOCK lock, const char* routine) {
  ThreadState& ts = Current();
  if (std::find(ts.held.begin(), ts.held.end(), lock) != ts.held.end()) {
    BugCheck(Rule::SpinLockRecursive, routine, ObjectName(lock), "the thread already holds this spin lock");
  }
  bool cancel = lock == CancelLock();
  bool holdsCancel = std::find(ts.held.begin(), ts.held.end(), CancelLock()) != ts.held.end();
  if (!cancel) {
    if (holdsCancel) {
      Report(Rule::SpinLockNested, routine, ObjectName(lock), "a driver spin lock taken while the cancel spin lock is held");
    } else if (!ts.held.empty()) {
      Report(Rule::SpinLockNested, routine, ObjectName(lock),
             "a second driver spin lock taken while " + ObjectName(ts.held.back()) + " is held");
    }
  }
  const auto self = static_cast<KSPIN_LOCK>(ts.id);
  KSPIN_LOCK owner = 0;
  if (!__atomic_compare_exchange_n(lock, &owner, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    ActivityScope spinning(KernelActivity::Kind::Spinning, lock, 0, CaptureCallSite(), owner);
    do {
      while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) sched_yield();
      owner = 0;
    } while (!__atomic_compare_exchange_n(lock, &owner, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED));
  }
  KernelLock guard(ts.watch);
  ts.held.push_back(lock);
}

static void Release(PKSPIN_LOCK lock, const char* routine) {
  ThreadState& ts = Current();
  auto it = std::find(ts.held.begin(), ts.held.end(), lock);
  if (it == ts.held.end()) {
    Report(Rule::SpinLockNotHeld, routine, ObjectName(lock), "released a spin lock this thread does not hold");
    return;
  }
  {
    KernelLock guard(ts.watch);
    ts.held.erase(it);
  }
  __atomic_store_n(lock, static_cast<KSPIN_LOCK>(0), __ATOMIC_RELEASE);
}

void ResetIrql() { gCancelLock = 0; }

}  // namespace tb

using namespace tb;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return Current().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  ThreadState& ts = Current();
  if (NewIrql < ts.irql) Report(Rule::IrqlBadLower, "KeRaiseIrql", "", "raising to a lower IRQL");
  *OldIrql = ts.irql;
  ts.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  ThreadState& ts = Current();
  if (NewIrql > ts.irql) Report(Rule::IrqlBadLower, "KeLowerIrql", "", "lowering to a higher IRQL");
  ts.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, static_cast<KSPIN_LOCK>(0), __ATOMIC_RELEASE); }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  ThreadState& ts = Current();
  if (ts.irql > DISPATCH_LEVEL) Report(Rule::IrqlTooHigh, "KeAcquireSpinLock", ObjectName(SpinLock), "above DISPATCH_LEVEL");
  KIRQL old = ts.irql;
  Acquire(SpinLock, "KeAcquireSpinLock");
  ts.irql = DISPATCH_LEVEL;
  *OldIrql = old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Release(SpinLock, "KeReleaseSpinLock");
  Current().irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (Current().irql != DISPATCH_LEVEL) {
    Report(Rule::IrqlTooHigh, "KeAcquireSpinLockAtDpcLevel", ObjectName(SpinLock), "called below DISPATCH_LEVEL");
  }
  Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { Release(SpinLock, "KeReleaseSpinLockFromDpcLevel"); }

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  ThreadState& ts = Current();
  KIRQL old = ts.irql;
  Acquire(CancelLock(), "IoAcquireCancelSpinLock");
  ts.irql = DISPATCH_LEVEL;
  *Irql = old;
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  Release(CancelLock(), "IoReleaseCancelSpinLock");
  Current().irql = Irql;
}

}  // extern "C"
