// The verifier's report: rule names, the handler that fails a test, and what a report carries
// beyond the rule: who called the kernel, and for a hang every thread's state.
#include "kernel/internal.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tb {
namespace {
std::mutex gLock;
std::vector<Violation> gViolations;
ViolationHandler gHandler;
}  // namespace

const char* RuleName(Rule rule) {
  switch (rule) {
#define NAME(r) \
  case Rule::r: \
    return #r;
    NAME(IrqlWaitAtDispatch)
    NAME(IrqlPagedPoolAtDispatch)
    NAME(IrqlTooHigh)
    NAME(IrqlNotRestored)
    NAME(IrqlBadLower)
    NAME(SpinLockHeldOnReturn)
    NAME(SpinLockNested)
    NAME(SpinLockRecursive)
    NAME(SpinLockNotHeld)
    NAME(IrpCompletedTwice)
    NAME(IrpTouchedAfterCompletion)
    NAME(IrpCompletedWithPending)
    NAME(IrpCompletedWithCancelRoutine)
    NAME(IrpCompletedHoldingSpinLock)
    NAME(PendingReturnedWithoutMark)
    NAME(MarkedPendingNotReturned)
    NAME(AllocatedIrpCompletedPastTop)
    NAME(IrpFreedWhileInUse)
    NAME(IrpDoubleFree)
    NAME(IrpStackOverflow)
    NAME(IrpStackUnderflow)
    NAME(RequestNotHandled)
    NAME(PoolDoubleFree)
    NAME(PoolFreeUnknown)
    NAME(PoolTagMismatch)
    NAME(PoolLeak)
    NAME(MutexNotOwner)
    NAME(SemaphoreLimitExceeded)
    NAME(DeviceDeletedTwice)
    NAME(DeviceDeletedWhileAttached)
    NAME(DeviceInitializingLeftSet)
    NAME(DeviceLeftAtUnload)
    NAME(ReferenceUnbalanced)
    NAME(ObjectUnknown)
    NAME(HandleInvalid)
    NAME(HandleLeak)
    NAME(ThreadOutlivesDevice)
    NAME(ThreadOutlivesDriver)
    NAME(WaitNeverSatisfied)
    NAME(Unimplemented)
    NAME(DeviceUsedAfterDelete)
    NAME(ObjectOverrun)
    NAME(IrpSentWithoutReuse)
    NAME(IrpInitializedWhileAllocated)
    NAME(IrpLeak)
    NAME(PowerIrpWithoutStartNext)
    NAME(PowerIrpNotPoCallDriver)
    NAME(ThreadEndedHoldingMutex)
    NAME(NoProgress)
    NAME(SystemPowerIrpFailed)
    NAME(SystemPowerIrpNotCompleted)
    NAME(SystemPowerIrpHeldAtRemoval)
    NAME(PowerCallbackWaits)
    NAME(FileObjectUsedAfterClose)
    NAME(ForcedPendingLeftBehind)
#undef NAME
  }
  return "UnknownRule";
}

std::string Violation::ToString() const {
  std::ostringstream out;
  out << "VERIFIER: " << RuleName(rule) << " in " << (routine.empty() ? "?" : routine);
  if (!caller.empty()) out << " called from " << caller;
  if (!object.empty()) out << " on " << object;
  if (!message.empty()) out << ": " << message;
  return out.str();
}

void SetViolationHandler(ViolationHandler handler) {
  KernelLock guard(gLock);
  gHandler = std::move(handler);
}

std::vector<Violation> Violations() {
  KernelLock guard(gLock);
  return gViolations;
}

void Report(Rule rule, std::string routine, std::string object, std::string message) {
  Violation v{rule, std::move(routine), std::move(object), std::move(message), CallerChain(CaptureCallSite())};
  ViolationHandler handler;
  {
    KernelLock guard(gLock);
    gViolations.push_back(v);
    handler = gHandler;
  }
  if (handler) {
    handler(v);
  } else {
    std::fprintf(stderr, "%s\n", v.ToString().c_str());
  }
}

void BugCheck(Rule rule, std::string routine, std::string object, std::string message) {
  Violation v{rule, std::move(routine), std::move(object), std::move(message), CallerChain(CaptureCallSite())};
  // One write, so that the report is not interleaved with another thread's output.
  std::string text = "BUGCHECK " + v.ToString() + "\n" + DescribeThreads();
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

void ResetVerifier() {
  KernelLock guard(gLock);
  gViolations.clear();
}

}  // namespace tb
