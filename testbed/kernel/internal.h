// Shared state of the test bed kernel's components. Not for tests or the driver.
#pragma once

#include "testbed.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  KPRIORITY Priority;
  PKSTART_ROUTINE StartRoutine;
  PVOID StartContext;
  bool systemThread;
  bool fromDriver;
  std::atomic<long> references;
  std::atomic<bool> running;
};

#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
#endif

namespace tb {

// The kernel's own bookkeeping is kept out of ThreadSanitizer's sight: its locks would otherwise
// order driver threads that the platform leaves unordered, and hide the driver's races. Where the
// platform does order threads (an event set and a wait satisfied, a semaphore, a mutex, a thread's
// end, an IRP's completion seen by its sender) the kernel says so with PlatformRelease and
// PlatformAcquire.
class Unseen {
 public:
#if defined(__SANITIZE_THREAD__)
  Unseen() {
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  }
  ~Unseen() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
  }
#endif
  Unseen(const Unseen&) = delete;
  Unseen& operator=(const Unseen&) = delete;
#if !defined(__SANITIZE_THREAD__)
  Unseen() = default;
#endif
};

// A lock of the kernel's bookkeeping, held out of ThreadSanitizer's sight.
class KernelLock {
 public:
  explicit KernelLock(std::mutex& m) : guard_(m) {}

 private:
  Unseen unseen_;
  std::lock_guard<std::mutex> guard_;
};

inline void PlatformRelease(const void* addr) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(const_cast<void*>(addr));
#else
  (void)addr;
#endif
}
inline void PlatformAcquire(const void* addr) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(const_cast<void*>(addr));
#else
  (void)addr;
#endif
}

// One lock and one condition for every dispatcher object: simple, and correct for any mix of
// waits, sets and releases across threads.
std::mutex& DispatcherLock();
void NotifyDispatcher();

// Return addresses of a call into the kernel, innermost first; named only when shown.
struct CallSite {
  void* pcs[12];
  int count = 0;
};
CallSite CaptureCallSite();
// The callers outside the kernel, innermost first ("WaitForObjectMs <- TakePacket"); empty
// when the kernel was called by the test bed itself.
std::string CallerChain(const CallSite& site);

// A driver routine the kernel called on a thread and that has not returned yet.
struct RoutineFrame {
  const void* routine;
  const char* what;  // "dispatch", "completion routine", "system thread" ...
};

// What a thread is doing inside a kernel call that may keep it there.
struct KernelActivity {
  enum class Kind { None, Waiting, Delaying, Spinning };
  Kind kind = Kind::None;
  const void* object = nullptr;  // the object waited on, or the spin lock
  LONGLONG timeout = 0;          // the wait's timeout or the delay as passed; INT64_MIN: none
  uint64_t owner = 0;            // the thread holding the spin lock when the spin began
  CallSite site;
  std::chrono::steady_clock::time_point since;
};

// Per-thread state: IRQL, the spin locks held, the driver frames being run. Every thread that
// touches the kernel is registered with the watchdog, which reads the fields under `watch`;
// only the thread itself writes them.
struct DispatchFrame;
struct ThreadState {
  ThreadState();
  ~ThreadState();
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> held;      // written under `watch`
  PKTHREAD thread = nullptr;
  std::vector<DispatchFrame*> frames;
  std::unique_ptr<_KTHREAD> foreign;  // KTHREAD of a thread the kernel did not create
  uint64_t id = 0;                    // 1, 2, ... in order of first use; the value of a spin lock it holds
  long tid = 0;                       // the OS thread id
  std::mutex watch;
  std::vector<RoutineFrame> routines;
  KernelActivity activity;
  const void* startRoutine = nullptr;  // a system thread's
  std::vector<PKMUTEX> mutexes;        // owned now; under the dispatcher lock
  LONGLONG lastSystemTime = 0;         // the last KeQuerySystemTime answer on this thread
};
ThreadState& Current();

// Marks a driver routine as running on this thread; its return counts as progress.
class RoutineScope {
 public:
  RoutineScope(const void* routine, const char* what);
  ~RoutineScope();
  RoutineScope(const RoutineScope&) = delete;
  RoutineScope& operator=(const RoutineScope&) = delete;
};

// Marks this thread as waiting, delaying or spinning for the watchdog's report.
class ActivityScope {
 public:
  ActivityScope(KernelActivity::Kind kind, const void* object, LONGLONG timeout, const CallSite& site,
                uint64_t owner = 0);
  ~ActivityScope();
  ActivityScope(const ActivityScope&) = delete;
  ActivityScope& operator=(const ActivityScope&) = delete;
};

// Something another party can observe happened: see the watchdog.
void NoteProgress();
// Every thread in the kernel: its driver routines, what it waits or spins on, its locks.
std::string DescribeThreads();
// Starts the watchdog thread once per process.
void StartWatchdog();
// A name for the thread with this id, also after it has ended ("thread #3 (system thread X)").
std::string ThreadLabel(uint64_t id);
// The device whose extension holds `address`, and the offset into it (objects.cpp).
PDEVICE_OBJECT ExtensionOwner(const void* address, size_t* offset);
// "thread object of WriterThread" for a live thread object, else empty (dispatcher.cpp).
std::string ThreadObjectName(const void* address);
// "pool block 0x... 'tag' +0x10" for an address inside a pool block, else empty (pool.cpp).
std::string PoolBlockName(const void* address);
// Waits and delays as the driver asked for them (dispatcher.cpp).
void ResetTimedCalls();
PKSPIN_LOCK CancelLock();
// Forced pending (force_pending.cpp): a host device's handler run under it, the capture of its
// completion in IofCompleteRequest, and the mode's lifetime with the kernel's.
NTSTATUS ForcePendingDispatch(PDEVICE_OBJECT device, PIRP irp, const HostHandler& handler);
bool ForcePendingCaptures(PIRP irp);
void ResetForcePending();
void ShutdownForcePending();
void RequireIrqlAtMost(KIRQL max, const char* routine);

// Runs a driver routine and checks that it returns at the IRQL it was called at, holding the
// spin locks it was called with.
template <typename F>
auto RunDriverRoutine(const void* routine, const char* what, F&& body) -> decltype(body());

void CheckDriverReturn(const void* routine, const char* what, KIRQL irqlBefore, size_t locksBefore);

// Allocation failure injection; `kind` only labels the report.
bool ShouldFailAllocation(AllocKind kind);

// Memory whose use after release, or past its end, the verifier must see (guard.cpp).
enum class GuardKind { Irp, Device, File };
void* GuardedAllocate(size_t bytes, GuardKind kind);  // zero-filled; ends where its allocation ends
void GuardedRelease(void* p, const std::string& what);
void ResetGuarded();                                   // releases every block, live or kept

// IRP records.
struct DispatchFrame;
struct IrpRecord {
  enum class State { Idle, InFlight, Completed, Freed };
  State state = State::Idle;
  bool completing = false;
  bool systemOwned = false;   // the test bed allocated it and handles its top completion
  bool keep = false;          // a system IRP its allocator frees itself
  bool fromDriver = false;    // IoAllocateIrp by the driver
  bool reachedTop = false;    // completion has walked past the top location
  bool needsReuse = false;    // back with its owner: IoReuseIrp before it is sent again
  bool inRoutine = false;     // a completion routine is running on `routineThread`
  std::thread::id routineThread;
  uint64_t routineTrip = 0;   // the trip whose completion the routine is part of
  TopCompletion onTop;
  std::vector<bool> marked;   // explicit IoMarkIrpPending per location, 1-based
  std::set<PDEVICE_OBJECT> startedNextPower;  // devices that called PoStartNextPowerIrp on this trip
  std::set<PDEVICE_OBJECT> reportedNextPower; // devices already reported for not calling it
  uint64_t id = 0;
  uint64_t trip = 0;          // raised each time the IRP is sent: a completion routine may resend it
  size_t bytes = 0;
  const void* allocatedBy = nullptr;          // the routine that called IoAllocateIrp
  std::vector<DispatchFrame*> activeFrames;  // dispatch calls on this IRP not yet returned
};
std::shared_ptr<IrpRecord> FindIrp(PIRP irp);
PIRP AllocateIrpInternal(CCHAR stackSize, bool fromDriver, TopCompletion onTop);
void FreeIrpInternal(PIRP irp, const char* routine);

// Calling a driver. `viaPo` tells a power IRP passed with PoCallDriver from one passed with
// IoCallDriver; `caller` is the return address of the routine that sent it.
NTSTATUS CallDriverInternal(PDEVICE_OBJECT target, PIRP irp, bool viaPo, const void* caller);
// Moves the IRP to the target's location and marks it pending there, for a request the power
// manager holds and delivers later with DispatchCurrentLocation.
void AdvanceAndPend(PDEVICE_OBJECT target, PIRP irp);
NTSTATUS DispatchCurrentLocation(PDEVICE_OBJECT target, PIRP irp);
void TbNoteMarkIrpPendingInternal(PIRP irp, bool byDriver);

// The power manager's part of sending and completing power IRPs (power.cpp).
NTSTATUS PowerCallDriver(PDEVICE_OBJECT target, PIRP irp, const void* caller);
// Completion is leaving `location`: the driver there must have called PoStartNextPowerIrp.
void PowerLeavingLocation(PIRP irp, PIO_STACK_LOCATION location, const void* routine);
// The IRP has completed to its top: whatever serialization it still held is released.
void PowerIrpFinished(PIRP irp);
void StopPowerWorker();
// A driver deletes `device` (IoDeleteDevice, called from `caller`): no system power IRP may still
// be pending at it.
void PowerDeviceDeleting(PDEVICE_OBJECT device, const void* caller);
// The IRP was reported as pending at a device that was deleted: it will never complete.
bool SystemPowerIrpHeldAtRemoval(PIRP irp);
// A wait or delay with a non-zero timeout on this thread: not inside a power callback or a power
// IRP's completion routine.
void PowerWaitCheck(const char* call, const void* object);
// The label of a completion routine of a power IRP in the routine frames.
inline constexpr const char* kPowerCompletionRoutine = "power IRP completion routine";

struct DispatchFrame {
  std::shared_ptr<IrpRecord> record;
  int location;
  uint64_t trip = 0;
  std::thread::id thread;
  bool markedBelow = false;  // marked pending at this location or below, on this trip
  bool markedHere = false;   // marked at this very location by this thread
};

// Devices.
struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  std::u16string name;
  bool deleted = false;
  bool host = false;
  bool physical = false;
  bool attachRefused = false;
  std::u16string instancePath;
  std::u16string linkOverride;
  HostHandler handler;
  size_t extensionSize = 0;
  void* block = nullptr;
  void* extension = nullptr;  // where DeviceExtension points, known without touching the device
  long objectReferences = 0;  // ObReferenceObject's count; the open-handle count is ReferenceCount
  bool freed = false;         // deleted and released: the memory is gone
  std::string description;
};
DeviceRecord* FindDevice(PDEVICE_OBJECT device);
// A device of the driver deleted but not yet freed (a reference still held).
bool DriverHoldsDeletedDevices(PDRIVER_OBJECT driver);
std::mutex& ObjectLock();

// Threads created through PsCreateSystemThread.
void JoinSystemThreads(int timeoutMs);
// (start routine, start context) of each driver thread still running.
std::vector<std::pair<PVOID, PVOID>> LiveDriverThreads();
void CheckHandleLeaks(const std::string& when);
bool ObReferenceThread(PVOID object, long delta);
void ResetIrql();

// Reports the blocks no earlier leak check has reported.
size_t CheckNewPoolLeaks(const std::string& when);
// Registers a pool block allocated outside ExAllocatePoolWithTag (kernel-made strings).
void* AllocatePoolInternal(POOL_TYPE type, size_t bytes, ULONG tag, bool inject, const char* routine);

// Resets of each component, called by ResetKernel in order.
void ResetPool();
void ResetObjects();
void ResetIo();
void ResetThreads();
void ResetVerifier();
void ResetPower();

template <typename F>
auto RunDriverRoutine(const void* routine, const char* what, F&& body) -> decltype(body()) {
  RoutineScope scope(routine, what);
  ThreadState& ts = Current();
  KIRQL before = ts.irql;
  size_t locks = ts.held.size();
  if constexpr (std::is_void_v<decltype(body())>) {
    body();
    CheckDriverReturn(routine, what, before, locks);
  } else {
    auto result = body();
    CheckDriverReturn(routine, what, before, locks);
    return result;
  }
}

}  // namespace tb

namespace tb {
void SetInvalidateRelationsHook(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook);

// The default dispatch routine of every major function a driver leaves unset (io.cpp).
PDRIVER_DISPATCH InvalidRequestRoutine();
// DEVICE_OBJECT.ReferenceCount, the device's open file objects: an open adds one and the close of
// its file object takes it back. A deleted device goes with the last (objects.cpp).
void AdjustOpenCount(PDEVICE_OBJECT device, LONG delta);
// Told of each open (+1) and close (-1) of a file object on a stack, by the stack's bottom device:
// the PnP manager's handle count follows them (files.cpp).
void SetOpenHandlesHook(std::function<void(PDEVICE_OBJECT bottom, int delta)> hook);
void ResetFiles();  // ends the I/O manager's close thread and forgets every file object
}  // namespace tb
