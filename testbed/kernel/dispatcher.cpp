// Dispatcher objects (events, semaphores, mutexes, threads), waits, delays, time and the
// system threads a driver creates. Every driver thread is a real OS thread.
#include "internal.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace tb {
namespace {
std::mutex gDispatcher;
std::condition_variable gChanged;

struct HandleEntry {
  PVOID object;
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
        h->SignalState = h->SignalState - 1;
        m->OwnerThread = self;
        return true;
      }
      return false;
    }
    case ThreadObject:
      return h->SignalState > 0;
    default:
      Report(Rule::ObjectUnknown, "KeWaitForSingleObject", Hex(h), "not a dispatcher object the test bed knows");
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
  try {
    RunDriverRoutine(reinterpret_cast<const void*>(thread->StartRoutine), "system thread",
                     [&] { thread->StartRoutine(thread->StartContext); });
  } catch (const ThreadExit&) {
    if (ts.irql != PASSIVE_LEVEL || !ts.held.empty()) {
      Report(Rule::IrqlNotRestored, SymbolName(reinterpret_cast<const void*>(thread->StartRoutine)),
             "", "system thread ended above PASSIVE_LEVEL or holding a spin lock");
    }
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
  ts.thread = nullptr;
  ReleaseThreadObject(thread);
  info->finished = true;
}
thread_local WaitRecord tLastWait;
}  // namespace

WaitRecord LastWait() { return tLastWait; }

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
  KernelLock guard(gHandleLock);
  gHandles.clear();
}

void CheckHandleLeaks(const std::string& when) {
  KernelLock guard(gHandleLock);
  for (auto& [h, e] : gHandles) {
    Report(Rule::HandleLeak, when, Hex(reinterpret_cast<void*>(h)), "a handle was never closed");
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
  {
    KernelLock guard(gDispatcher);
    previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
      BugCheck(Rule::SemaphoreLimitExceeded, "KeReleaseSemaphore", Hex(Semaphore),
               "count " + std::to_string(previous) + " + " + std::to_string(Adjustment) + " passes the limit " +
                   std::to_string(Semaphore->Limit));
    }
    Semaphore->Header.SignalState = previous + Adjustment;
  }
  gChanged.notify_all();
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
  {
    KernelLock guard(gDispatcher);
    previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != self || previous > 0) {
      Report(Rule::MutexNotOwner, "KeReleaseMutex", Hex(Mutex), "released by a thread that does not own it");
      return previous;
    }
    Mutex->Header.SignalState = Mutex->Header.SignalState + 1;
    if (Mutex->Header.SignalState == 1) Mutex->OwnerThread = nullptr;
  }
  gChanged.notify_all();
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  KernelLock guard(gDispatcher);
  return Mutex->Header.SignalState;
}

static NTSTATUS WaitOnObject(PVOID Object, PLARGE_INTEGER Timeout) {
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  PKTHREAD self = CurrentThreadObject();
  tLastWait = WaitRecord{Object, Timeout ? Timeout->QuadPart : INT64_MIN, STATUS_PENDING};
  Clock::time_point deadline;
  bool bounded = Deadline(Timeout, &deadline);
  auto hangAt = Clock::now() + std::chrono::milliseconds(GetSettings().hangLimitMs);
  Unseen unseen;
  (void)unseen;
  std::unique_lock<std::mutex> lock(gDispatcher);
  for (;;) {
    if (TryAcquire(header, self)) return tLastWait.status = STATUS_SUCCESS;
    if (bounded) {
      if (gChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
        if (TryAcquire(header, self)) return tLastWait.status = STATUS_SUCCESS;
        return tLastWait.status = STATUS_TIMEOUT;
      }
    } else if (gChanged.wait_until(lock, hangAt) == std::cv_status::timeout) {
      if (TryAcquire(header, self)) return tLastWait.status = STATUS_SUCCESS;
      lock.unlock();
      BugCheck(Rule::WaitNeverSatisfied, "KeWaitForSingleObject", Hex(Object),
               "an unbounded wait was not satisfied within " + std::to_string(GetSettings().hangLimitMs) + " ms");
    }
  }
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  ThreadState& ts = Current();
  if (ts.irql >= DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0)) {
    Report(Rule::IrqlWaitAtDispatch, "KeWaitForSingleObject", Hex(Object),
           ts.held.empty() ? "waiting at DISPATCH_LEVEL" : "waiting while holding a spin lock");
  }
  NTSTATUS status = WaitOnObject(Object, Timeout);
  // A satisfied wait orders this thread after whoever signalled the object.
  if (status == STATUS_SUCCESS) PlatformAcquire(Object);
  return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  Clock::time_point deadline;
  if (Deadline(Interval, &deadline)) std::this_thread::sleep_until(deadline);
  return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

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
    gHandles[h] = HandleEntry{thread};
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
