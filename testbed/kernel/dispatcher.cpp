// Dispatcher objects (events, semaphores, mutexes, threads), waits, delays, time and the
// system threads a driver creates. Every driver thread is a real OS thread.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <tuple>

namespace tb {
namespace {
std::mutex gDispatcher;
std::condition_variable gChanged;

struct HandleEntry {
  PVOID object;
  bool reported = false;  // as leaked, once
};
std::mutex gHandleLock;
std::map<uintptr_t, HandleEntry> gHandles;
uintptr_t gNextHandle = 0x80000004;

struct ThreadInfo {
  std::atomic<bool> running{true};
  std::atomic<bool> finished{false};  // the OS thread is done with the kernel's objects too
  PVOID startContext = nullptr;
  PKSTART_ROUTINE startRoutine = nullptr;
};
struct SystemThread {
  std::thread os;
  std::shared_ptr<ThreadInfo> info;
};
std::mutex gThreadLock;
std::vector<SystemThread> gThreads;
std::set<PKTHREAD> gLiveThreadObjects;

struct ThreadExit {
  NTSTATUS status;
};

using Clock = std::chrono::steady_clock;
constexpr LONGLONG kEpochDelta = 116444736000000000LL;  // 1601 to 1970 in 100 ns units

LONGLONG SystemTimeNow() {
  auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return kEpochDelta + since1970 / 100;
}

// Deadline of a wait: null waits forever; negative is relative, positive absolute system time.
bool Deadline(PLARGE_INTEGER timeout, Clock::time_point* deadline) {
  if (timeout == nullptr) return false;
  LONGLONG q = timeout->QuadPart;
  if (q <= 0) {
    *deadline = Clock::now() + std::chrono::nanoseconds(-q * 100);
  } else {
    LONGLONG delta = q - SystemTimeNow();
    *deadline = Clock::now() + std::chrono::nanoseconds(delta > 0 ? delta * 100 : 0);
  }
  return true;
}

PKTHREAD CurrentThreadObject() {
  ThreadState& ts = Current();
  if (ts.thread == nullptr) {
    ts.foreign = std::make_unique<_KTHREAD>();
    std::memset(&ts.foreign->Header, 0, sizeof(DISPATCHER_HEADER));
    ts.foreign->Header.Type = ThreadObject;
    ts.foreign->Priority = 8;
    ts.foreign->systemThread = false;
    ts.foreign->fromDriver = false;
    ts.foreign->references = 1;
    ts.foreign->running = true;
    ts.thread = ts.foreign.get();
  }
  return ts.thread;
}

// Whether a wait on the object can be satisfied now; if so, the object's side effect is applied.
bool TryAcquire(DISPATCHER_HEADER* h, PKTHREAD self) {
  switch (h->Type) {
    case EventNotificationObject:
      return h->SignalState > 0;
    case EventSynchronizationObject:
      if (h->SignalState > 0) {
        h->SignalState = 0;
        return true;
      }
      return false;
    case SemaphoreObject:
      if (h->SignalState > 0) {
        h->SignalState = h->SignalState - 1;
        return true;
      }
      return false;
    case MutantObject: {
      auto* m = reinterpret_cast<PKMUTEX>(h);
      if (h->SignalState > 0 || m->OwnerThread == self) {
        if (h->SignalState > 0) Current().mutexes.push_back(m);
        h->SignalState = h->SignalState - 1;
        m->OwnerThread = self;
        return true;
      }
      return false;
    }
    case ThreadObject:
      return h->SignalState > 0;
    default:
      Report(Rule::ObjectUnknown, "KeWaitForSingleObject", ObjectName(h), "not a dispatcher object the test bed knows");
      return true;
  }
}

void ReleaseThreadObject(PKTHREAD thread) {
  if (--thread->references == 0) {
    {
      KernelLock guard(gThreadLock);
      gLiveThreadObjects.erase(thread);
    }
    delete thread;
  }
}

bool IsThreadObject(PVOID object) {
  KernelLock guard(gThreadLock);
  return gLiveThreadObjects.count(static_cast<PKTHREAD>(object)) != 0;
}

void ThreadMain(PKTHREAD thread, std::shared_ptr<ThreadInfo> info) {
  ThreadState& ts = Current();
  ts.thread = thread;
  ts.irql = PASSIVE_LEVEL;
  {
    KernelLock guard(ts.watch);
    ts.startRoutine = reinterpret_cast<const void*>(thread->StartRoutine);
  }
  NoteProgress();
  try {
    RunDriverRoutine(reinterpret_cast<const void*>(thread->StartRoutine), "system thread",
                     [&] { thread->StartRoutine(thread->StartContext); });
  } catch (const ThreadExit&) {
    if (ts.irql != PASSIVE_LEVEL || !ts.held.empty()) {
      Report(Rule::IrqlNotRestored, SymbolName(reinterpret_cast<const void*>(thread->StartRoutine)),
             "", "system thread ended above PASSIVE_LEVEL or holding a spin lock");
    }
  }
  PKMUTEX owned = nullptr;
  {
    KernelLock guard(gDispatcher);
    if (!ts.mutexes.empty()) owned = ts.mutexes.front();
  }
  if (owned != nullptr) {
    // The platform's parameters: the thread, then the mutex.
    BugCheck(Rule::ThreadEndedHoldingMutex, SymbolName(reinterpret_cast<const void*>(thread->StartRoutine)) + " (system thread)",
             ObjectName(owned), "THREAD_TERMINATE_HELD_MUTEX (0x4000008A): thread " + Hex(thread) + " ended owning the mutex");
  }
  // The driver's code has ended: what follows is the kernel's own bookkeeping, so the thread no
  // longer counts as running once its object is signalled.
  PlatformRelease(thread);
  info->running = false;
  {
    KernelLock guard(gDispatcher);
    thread->Header.SignalState = 1;
    thread->running = false;
  }
  gChanged.notify_all();
  NoteProgress();
  ts.thread = nullptr;
  ReleaseThreadObject(thread);
  info->finished = true;
}

// Waits and delays as requested, one entry per object, interval and call site.
struct TimedKey {
  TimedCall::Kind kind;
  const void* object;
  bool forever;
  bool absolute;
  LONGLONG interval;
  std::vector<void*> pcs;
  bool operator<(const TimedKey& o) const {
    return std::tie(kind, object, forever, absolute, interval, pcs) <
           std::tie(o.kind, o.object, o.forever, o.absolute, o.interval, o.pcs);
  }
};
struct TimedEntry {
  CallSite site;
  uint64_t count = 0;
};
std::mutex gTimedLock;
std::map<TimedKey, TimedEntry> gTimed;
constexpr size_t kTimedEntries = 4096;

void RecordTimedCall(TimedCall::Kind kind, const void* object, PLARGE_INTEGER timeout, const CallSite& site) {
  TimedKey key{kind, object, timeout == nullptr, false, 0, std::vector<void*>(site.pcs, site.pcs + site.count)};
  if (timeout != nullptr) {
    LONGLONG q = timeout->QuadPart;
    if (q <= 0) {
      key.interval = -q;
    } else {
      // A deadline is what the caller computed from the time it last read: measured from
      // there, the interval is exactly what it asked for, however late this call runs.
      LONGLONG read = Current().lastSystemTime;
      LONGLONG from = (read != 0 && read <= q) ? read : SystemTimeNow();
      key.absolute = true;
      key.interval = q > from ? q - from : 0;
    }
  }
  KernelLock guard(gTimedLock);
  // Bounded: a long run with ever-changing timeouts keeps the entries it has.
  if (gTimed.size() >= kTimedEntries && gTimed.count(key) == 0) return;
  TimedEntry& e = gTimed[key];
  e.site = site;
  e.count++;
}

thread_local WaitRecord tLastWait;

NTSTATUS WaitOnObject(PVOID Object, PLARGE_INTEGER Timeout, const CallSite& site) {
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  PKTHREAD self = CurrentThreadObject();
  tLastWait = WaitRecord{Object, Timeout ? Timeout->QuadPart : INT64_MIN, STATUS_PENDING};
  Clock::time_point deadline;
  bool bounded = Deadline(Timeout, &deadline);
  int hangLimitMs = GetSettings().hangLimitMs;
  auto hangAt = Clock::now() + std::chrono::milliseconds(hangLimitMs);
  std::unique_ptr<ActivityScope> waiting;
  Unseen unseen;
  (void)unseen;
  std::unique_lock<std::mutex> lock(gDispatcher);
  for (;;) {
    if (TryAcquire(header, self)) return tLastWait.status = STATUS_SUCCESS;
    if (bounded && Clock::now() >= deadline) return tLastWait.status = STATUS_TIMEOUT;
    // Only a wait that blocks is worth the watchdog's notice.
    if (!waiting) {
      waiting = std::make_unique<ActivityScope>(KernelActivity::Kind::Waiting, Object,
                                                Timeout ? Timeout->QuadPart : INT64_MIN, site);
    }
    if (bounded) {
      if (gChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
        if (TryAcquire(header, self)) return tLastWait.status = STATUS_SUCCESS;
        return tLastWait.status = STATUS_TIMEOUT;
      }
    } else if (gChanged.wait_until(lock, hangAt) == std::cv_status::timeout) {
      if (TryAcquire(header, self)) return tLastWait.status = STATUS_SUCCESS;
      lock.unlock();
      BugCheck(Rule::WaitNeverSatisfied, "KeWaitForSingleObject", ObjectName(Object),
               "an unbounded wait was not satisfied within " + std::to_string(hangLimitMs) + " ms");
    }
  }
}
}  // namespace

WaitRecord LastWait() { return tLastWait; }

std::vector<TimedCall> TimedCalls() {
  std::vector<std::pair<TimedKey, TimedEntry>> copy;
  {
    KernelLock guard(gTimedLock);
    copy.assign(gTimed.begin(), gTimed.end());
  }
  std::vector<TimedCall> out;
  for (auto& [key, entry] : copy) {
    out.push_back(TimedCall{key.kind, const_cast<PVOID>(key.object), key.object ? ObjectName(key.object) : "",
                            key.forever, key.absolute, key.interval, CallerChain(entry.site), entry.count});
  }
  return out;
}

void ResetTimedCalls() {
  KernelLock guard(gTimedLock);
  gTimed.clear();
}

std::string ThreadObjectName(const void* address) {
  PKSTART_ROUTINE start = nullptr;
  {
    KernelLock guard(gThreadLock);
    auto it = gLiveThreadObjects.find(static_cast<PKTHREAD>(const_cast<void*>(address)));
    if (it == gLiveThreadObjects.end()) return "";
    start = (*it)->StartRoutine;
  }
  return start ? "thread object of " + SymbolName(reinterpret_cast<const void*>(start)) : "thread object " + Hex(address);
}

std::mutex& DispatcherLock() { return gDispatcher; }
void NotifyDispatcher() { gChanged.notify_all(); }

void JoinSystemThreads(int timeoutMs) {
  auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<SystemThread> finished;
    bool anyRunning = false;
    {
      KernelLock guard(gThreadLock);
      for (auto it = gThreads.begin(); it != gThreads.end();) {
        if (it->info->finished) {
          finished.push_back(std::move(*it));
          it = gThreads.erase(it);
        } else {
          anyRunning = true;
          ++it;
        }
      }
    }
    for (auto& t : finished) t.os.join();
    if (!anyRunning) return;
    if (Clock::now() > until) {
      BugCheck(Rule::ThreadOutlivesDriver, "test bed", "", "a system thread did not end within the hang limit");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::vector<std::pair<PVOID, PVOID>> LiveDriverThreads() {
  std::vector<std::pair<PVOID, PVOID>> live;
  KernelLock guard(gThreadLock);
  for (auto& t : gThreads) {
    if (t.info->running) live.emplace_back(reinterpret_cast<PVOID>(t.info->startRoutine), t.info->startContext);
  }
  return live;
}

size_t RunningSystemThreads() { return LiveDriverThreads().size(); }

KPRIORITY ThreadPriority(PVOID threadObject) {
  KernelLock d(gDispatcher);
  return static_cast<PKTHREAD>(threadObject)->Priority;
}

void ResetThreads() {
  std::map<uintptr_t, HandleEntry> open;
  {
    KernelLock guard(gHandleLock);
    open.swap(gHandles);
  }
  // A handle left open still holds its thread object; its thread has been joined by now.
  for (auto& [h, e] : open) ObReferenceThread(e.object, -1);
  ResetTimedCalls();
}

void CheckHandleLeaks(const std::string& when) {
  std::vector<std::pair<uintptr_t, PVOID>> open;
  {
    KernelLock guard(gHandleLock);
    for (auto& [h, e] : gHandles) {
      if (!e.reported) open.emplace_back(h, e.object);
      e.reported = true;
    }
  }
  for (auto& [h, object] : open) {
    std::string what = ThreadObjectName(object);
    Report(Rule::HandleLeak, when, Hex(reinterpret_cast<void*>(h)),
           "a handle was never closed" + (what.empty() ? "" : " (" + what + ")"));
  }
}

bool ObReferenceThread(PVOID object, long delta) {
  if (!IsThreadObject(object)) return false;
  auto* thread = static_cast<PKTHREAD>(object);
  if (delta > 0) {
    ++thread->references;
  } else if (thread->references <= 1 && thread->running) {
    Report(Rule::ReferenceUnbalanced, "ObfDereferenceObject", Hex(object), "released a thread reference it did not hold");
  } else {
    ReleaseThreadObject(thread);
  }
  return true;
}

}  // namespace tb

using namespace tb;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  KernelLock guard(gDispatcher);
  std::memset(Event, 0, sizeof *Event);
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  PlatformRelease(Event);
  LONG previous;
  {
    KernelLock guard(gDispatcher);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  gChanged.notify_all();
  NoteProgress();
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  KernelLock guard(gDispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
  KernelLock guard(gDispatcher);
  return Event->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  KernelLock guard(gDispatcher);
  std::memset(Semaphore, 0, sizeof *Semaphore);
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.SignalState = Count;
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  PlatformRelease(Semaphore);
  LONG previous;
  bool overflow;
  {
    KernelLock guard(gDispatcher);
    previous = Semaphore->Header.SignalState;
    overflow = Adjustment <= 0 || previous + Adjustment > Semaphore->Limit;
    if (!overflow) Semaphore->Header.SignalState = previous + Adjustment;
  }
  if (overflow) {
    BugCheck(Rule::SemaphoreLimitExceeded, "KeReleaseSemaphore", ObjectName(Semaphore),
             "count " + std::to_string(previous) + " + " + std::to_string(Adjustment) + " passes the limit " +
                 std::to_string(Semaphore->Limit));
  }
  gChanged.notify_all();
  NoteProgress();
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  KernelLock guard(gDispatcher);
  return Semaphore->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  KernelLock guard(gDispatcher);
  std::memset(Mutex, 0, sizeof *Mutex);
  Mutex->Header.Type = MutantObject;
  Mutex->Header.SignalState = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  PKTHREAD self = CurrentThreadObject();
  PlatformRelease(Mutex);
  LONG previous;
  bool owner;
  {
    KernelLock guard(gDispatcher);
    previous = Mutex->Header.SignalState;
    owner = Mutex->OwnerThread == self && previous <= 0;
    if (owner) {
      Mutex->Header.SignalState = Mutex->Header.SignalState + 1;
      if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        auto& owned = Current().mutexes;
        owned.erase(std::remove(owned.begin(), owned.end(), Mutex), owned.end());
      }
    }
  }
  if (!owner) {
    Report(Rule::MutexNotOwner, "KeReleaseMutex", ObjectName(Mutex), "released by a thread that does not own it");
    return previous;
  }
  gChanged.notify_all();
  NoteProgress();
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  KernelLock guard(gDispatcher);
  return Mutex->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  ThreadState& ts = Current();
  if (ts.irql >= DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0)) {
    Report(Rule::IrqlWaitAtDispatch, "KeWaitForSingleObject", ObjectName(Object),
           ts.held.empty() ? "waiting at DISPATCH_LEVEL" : "waiting while holding a spin lock");
  }
  if (Timeout == nullptr || Timeout->QuadPart != 0) PowerWaitCheck("KeWaitForSingleObject", Object);
  CallSite site = CaptureCallSite();
  RecordTimedCall(TimedCall::Kind::Wait, Object, Timeout, site);
  NTSTATUS status = WaitOnObject(Object, Timeout, site);
  // A satisfied wait orders this thread after whoever signalled the object.
  if (status == STATUS_SUCCESS) {
    PlatformAcquire(Object);
    NoteProgress();
  }
  return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval != nullptr && Interval->QuadPart != 0) PowerWaitCheck("KeDelayExecutionThread", nullptr);
  CallSite site = CaptureCallSite();
  RecordTimedCall(TimedCall::Kind::Delay, nullptr, Interval, site);
  Clock::time_point deadline;
  if (Deadline(Interval, &deadline)) {
    ActivityScope delaying(KernelActivity::Kind::Delaying, nullptr, Interval->QuadPart, site);
    std::this_thread::sleep_until(deadline);
  }
  return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = SystemTimeNow();
  Current().lastSystemTime = CurrentTime->QuadPart;
}

ULONGLONG KeQueryInterruptTime(void) {
  return static_cast<ULONGLONG>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() / 100);
}

PKTHREAD KeGetCurrentThread(void) { return CurrentThreadObject(); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  KernelLock guard(gDispatcher);
  KPRIORITY old = Thread->Priority;
  Thread->Priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  KernelLock guard(gDispatcher);
  return Thread->Priority;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;
  RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (ShouldFailAllocation(AllocKind::Thread)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* thread = new _KTHREAD();
  std::memset(&thread->Header, 0, sizeof thread->Header);
  thread->Header.Type = ThreadObject;
  thread->Priority = 8;
  thread->StartRoutine = StartRoutine;
  thread->StartContext = StartContext;
  thread->systemThread = true;
  thread->fromDriver = true;
  thread->references = 2;  // the running thread's own, and the handle's
  thread->running = true;
  {
    KernelLock guard(gThreadLock);
    gLiveThreadObjects.insert(thread);
  }
  {
    KernelLock guard(gHandleLock);
    uintptr_t h = gNextHandle;
    gNextHandle += 4;
    gHandles[h] = HandleEntry{thread, false};
    *ThreadHandle = reinterpret_cast<HANDLE>(h);
  }
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(thread);
  }
  auto info = std::make_shared<ThreadInfo>();
  info->startContext = StartContext;
  info->startRoutine = StartRoutine;
  // Created outside the kernel's locks: the creation is the ordering the new thread relies on.
  std::thread os(ThreadMain, thread, info);
  KernelLock guard(gThreadLock);
  gThreads.push_back(SystemThread{std::move(os), info});
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  ThreadState& ts = Current();
  if (ts.thread == nullptr || !ts.thread->systemThread) {
    Report(Rule::Unimplemented, "PsTerminateSystemThread", "", "called outside a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  throw ThreadExit{ExitStatus};
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  (void)DesiredAccess;
  (void)ObjectType;
  (void)AccessMode;
  (void)HandleInformation;
  RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  PVOID object;
  {
    KernelLock guard(gHandleLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == gHandles.end()) {
      Report(Rule::HandleInvalid, "ObReferenceObjectByHandle", Hex(Handle), "no such handle");
      return STATUS_INVALID_HANDLE;
    }
    object = it->second.object;
  }
  ObReferenceThread(object, +1);
  *Object = object;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  PVOID object;
  {
    KernelLock guard(gHandleLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == gHandles.end()) {
      Report(Rule::HandleInvalid, "ZwClose", Hex(Handle), "closing a handle that is not open");
      return STATUS_INVALID_HANDLE;
    }
    object = it->second.object;
    gHandles.erase(it);
  }
  ObReferenceThread(object, -1);
  return STATUS_SUCCESS;
}

}  // extern "C"
