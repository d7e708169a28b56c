// The test bed's own interface, for tests, tools and the test bed's drivers (USB bus, client).
// The driver never sees this header: it reaches the test bed only through the kernel names.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tb {

// ---------------------------------------------------------------------------------------------
// Verifier.
// ---------------------------------------------------------------------------------------------
enum class Rule {
  IrqlWaitAtDispatch,         // a wait with a non-zero timeout at DISPATCH_LEVEL or above
  IrqlPagedPoolAtDispatch,    // paged pool allocated or freed at DISPATCH_LEVEL or above
  IrqlTooHigh,                // a routine callable only at lower IRQL called above it
  IrqlNotRestored,            // a driver routine returned at another IRQL than it was called at
  IrqlBadLower,               // KeLowerIrql to a higher level, or KeRaiseIrql to a lower one
  SpinLockHeldOnReturn,       // a driver routine returned holding a spin lock
  SpinLockNested,             // two of the driver's spin locks held together, or taken after the cancel lock
  SpinLockRecursive,          // a spin lock acquired by the thread that holds it (a deadlock)
  SpinLockNotHeld,            // a spin lock released that the thread does not hold
  IrpCompletedTwice,
  IrpTouchedAfterCompletion,  // an IRP used after it was completed or freed
  IrpCompletedWithPending,    // completed with STATUS_PENDING
  IrpCompletedWithCancelRoutine,
  IrpCompletedHoldingSpinLock,
  PendingReturnedWithoutMark, // STATUS_PENDING returned but the IRP was never marked pending
  MarkedPendingNotReturned,   // marked pending by the dispatch routine but another status returned
  AllocatedIrpCompletedPastTop,  // an IRP from IoAllocateIrp completed with nobody to claim it
  IrpFreedWhileInUse,
  IrpDoubleFree,
  IrpStackOverflow,           // IoCallDriver with no stack location left
  IrpStackUnderflow,          // a stack location set up or skipped outside the IRP
  RequestNotHandled,          // a request neither completed, passed down nor pended
  PoolDoubleFree,
  PoolFreeUnknown,
  PoolTagMismatch,
  PoolLeak,
  MutexNotOwner,
  SemaphoreLimitExceeded,
  DeviceDeletedTwice,
  DeviceDeletedWhileAttached,
  DeviceInitializingLeftSet,
  DeviceLeftAtUnload,
  ReferenceUnbalanced,
  ObjectUnknown,
  HandleInvalid,
  HandleLeak,
  ThreadOutlivesDevice,
  ThreadOutlivesDriver,
  WaitNeverSatisfied,         // a wait without timeout outlived the test bed's hang limit
  Unimplemented,              // the driver called something the test bed does not provide
  DeviceUsedAfterDelete,      // a device object or its extension touched after the device was freed
  ObjectOverrun,              // an access past the end of a device extension or an IRP
  IrpSentWithoutReuse,        // an IRP of the driver's sent again after completion without IoReuseIrp
  IrpInitializedWhileAllocated,  // IoInitializeIrp on an IRP that IoAllocateIrp made
  IrpLeak,                    // an IRP from IoAllocateIrp never freed
  PowerIrpWithoutStartNext,   // a set- or query-power IRP passed on or completed without PoStartNextPowerIrp
  PowerIrpNotPoCallDriver,    // a power IRP passed on with IoCallDriver
  ThreadEndedHoldingMutex,    // a system thread ended owning a mutex (THREAD_TERMINATE_HELD_MUTEX)
  NoProgress,                 // threads in the kernel or the driver, and nothing moved for the watchdog's limit
  SystemPowerIrpFailed,       // a system set-power IRP completed with a failure status
  SystemPowerIrpNotCompleted, // a system power IRP of the power manager not completed within the hang limit
  SystemPowerIrpHeldAtRemoval,  // a device deleted while a system power IRP is pending at it
  PowerCallbackWaits,         // a PoRequestPowerIrp callback or a power IRP's completion routine waits or delays
  FileObjectUsedAfterClose,   // a file object touched after its close completed and it was freed
  ForcedPendingLeftBehind,    // a request held by forced pending not completed when its device or the kernel went
};

const char* RuleName(Rule rule);

struct Violation {
  Rule rule;
  std::string routine;  // the driver routine or platform call where it happened
  std::string object;   // the IRP, device, lock or pool block concerned
  std::string message;
  std::string caller;   // for a report inside a kernel call: who called it, innermost first
  std::string ToString() const;
};

// Where violations go. The default prints to stderr; tests install one that fails the test.
using ViolationHandler = std::function<void(const Violation&)>;
void SetViolationHandler(ViolationHandler handler);
std::vector<Violation> Violations();  // every violation since the last reset
void Report(Rule rule, std::string routine, std::string object, std::string message);
// A violation the platform would bugcheck on: reported, then the process ends.
[[noreturn]] void BugCheck(Rule rule, std::string routine, std::string object, std::string message);

// Name of a driver routine for reports ("FdoPnp", "DriverEntry" ...), from its address; static
// functions too. An address inside a function names that function.
std::string SymbolName(const void* address);
std::string Hex(const void* p);
// A name for a lock or dispatcher object: "RxLock of device 0x..." inside a device extension
// (through the namer below), the variable's name for a global, else the address.
std::string ObjectName(const void* address);
// Names the field at `offset` in `device`'s extension ("RxLock", "RxRing[4]"), or "" if it
// cannot. The test bed does not know the driver's records; test support installs one that does.
using ExtensionFieldNamer = std::function<std::string(PDEVICE_OBJECT device, size_t offset)>;
void SetExtensionFieldNamer(ExtensionFieldNamer namer);

// ---------------------------------------------------------------------------------------------
// Low-resources simulation: pool, IRP, device and thread allocations made through the exported
// kernel names can be failed. The test bed's own allocations never are.
// ---------------------------------------------------------------------------------------------
enum class AllocKind { Pool, Irp, Device, Thread, Other };
struct FaultPlan {
  uint64_t failNth = 0;     // fail the n-th allocation from now on (1-based); 0: none
  bool failAllIrps = false; // every IRP allocation fails
  bool failAll = false;     // every allocation fails
  uint32_t seed = 0;        // with rate > 0: fail pseudo-randomly
  double rate = 0.0;
};
void SetFaultPlan(const FaultPlan& plan);
void ClearFaults();
uint64_t AllocationCount();        // allocations seen since the plan was set
uint64_t AllocationCountOf(AllocKind kind);  // of one kind, since the plan was set
uint64_t InjectedFailureCount();

// ---------------------------------------------------------------------------------------------
// Forced pending: the test bed's own drivers (host devices: the USB bus, the devices below the
// driver) answer about half of their requests, chosen by seed, with STATUS_PENDING and complete
// them 1 us to 1 ms later (also by seed) from a completer thread at DISPATCH_LEVEL. A held
// request other than PnP and power can be cancelled and then completes STATUS_CANCELLED.
// ResetKernel takes the mode from TB_FORCE_PENDING=<seed> (unset: off); SetForcePending
// overrides it until the next ResetKernel. Decisions follow the order requests arrive in.
// ---------------------------------------------------------------------------------------------
// `fixedDelayUs` > 0: every held request waits that long instead (for tests that cancel one).
void SetForcePending(bool on, uint32_t seed = 0, uint32_t fixedDelayUs = 0);
bool ForcePendingOn();
uint32_t ForcePendingSeed();
struct ForcePendingStats {
  uint64_t considered = 0;  // requests the coin was tossed for
  uint64_t pended = 0;      // held and answered STATUS_PENDING
  uint64_t completed = 0;   // held ones completed by the completer thread
  uint64_t cancelled = 0;   // held ones completed STATUS_CANCELLED
  uint64_t outstanding = 0; // held now
};
ForcePendingStats GetForcePendingStats();
struct ForcePendingDecision {
  uint64_t sequence;  // 0, 1, ... since the mode was set
  bool pend;          // chosen to pend (held only if the handler answered at once)
  uint32_t delayUs;   // 0 when not chosen
  UCHAR major;
  UCHAR minor;
};
std::vector<ForcePendingDecision> ForcePendingLog();  // the first 4096 since the mode was set
// Waits (up to the hang limit) until no request held for `device` (null: any) is left; reports
// ForcedPendingLeftBehind and returns the count if some are.
size_t DrainForcedPending(PDEVICE_OBJECT device, const char* when);

// ---------------------------------------------------------------------------------------------
// Kernel lifetime and drivers.
// ---------------------------------------------------------------------------------------------
struct Settings {
  int hangLimitMs = 30000;   // an unbounded wait longer than this is reported and ends the run
  // No progress for this long while a thread is in a driver routine or waiting, delaying or
  // spinning in the kernel is reported with every thread's state and ends the run; 0: off.
  // Progress: a driver routine returned, a wait was satisfied, an event was set or a semaphore
  // or mutex released, a system thread started or ended. A timed-out wait, a delay or a spin
  // is not progress.
  int watchdogMs = 30000;
  bool echoDebugPrint = false;
};
Settings& GetSettings();

// Starts a fresh kernel: no drivers, devices, pool, threads or violations.
void ResetKernel();
// Ends the current kernel: joins system threads and reports what is left behind.
void ShutdownKernel();

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& serviceName);
// Runs the unload routine and reports devices, pool, handles and threads the driver left.
void UnloadDriver(PDRIVER_OBJECT driver);

std::vector<std::string> DebugOutput();
void ClearDebugOutput();

// ---------------------------------------------------------------------------------------------
// Pool accounting.
// ---------------------------------------------------------------------------------------------
struct PoolBlock {
  void* address;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  uint64_t sequence;
};
struct TagTotals {
  uint64_t allocations = 0;  // ever
  uint64_t frees = 0;
  size_t outstandingBytes = 0;
  uint64_t outstandingBlocks = 0;
};
std::vector<PoolBlock> OutstandingPool();
std::map<ULONG, TagTotals> PoolTotals();
std::string TagName(ULONG tag);
// Reports a PoolLeak for each block still allocated (optionally only of one tag); returns count.
size_t CheckPoolLeaks(const std::string& when, ULONG onlyTag = 0);
// Reports an IrpLeak for each IRP a driver allocated and has not freed; returns the count.
size_t CheckIrpLeaks(const std::string& when);
// Releases a block that a driver handed to the system (ID strings, relations lists).
void SystemFreePool(void* p);
bool IsPoolBlock(const void* p, POOL_TYPE* type = nullptr, ULONG* tag = nullptr);

// ---------------------------------------------------------------------------------------------
// IRQL for the calling thread, for tests and the test bed's own drivers.
// ---------------------------------------------------------------------------------------------
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL irql);
  ~IrqlScope();
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL old_;
};
size_t SpinLocksHeld();

// ---------------------------------------------------------------------------------------------
// IRPs for the test bed's own senders (PnP manager, power manager, tests).
// ---------------------------------------------------------------------------------------------
// What happens when completion passes the top of an IRP the test bed owns.
using TopCompletion = std::function<void(PIRP)>;
// The I/O manager frees such an IRP as soon as its completion has run to the top (a later touch is
// a use after free), unless `keep` asks for it to stay the caller's, to be reused or inspected and
// then freed with FreeSystemIrp.
PIRP AllocateSystemIrp(CCHAR stackSize, TopCompletion onTop = nullptr, bool keep = false);
void FreeSystemIrp(PIRP irp);
bool IsLiveIrp(PIRP irp);
bool IrpReachedTop(PIRP irp);  // completion has walked past the top location
// Sends a request to the top of a stack and waits for it to complete; reports a request the
// driver neither completed nor pended, and one that never completes within the hang limit.
struct Result {
  NTSTATUS status;           // final IoStatus.Status
  ULONG_PTR information;
  NTSTATUS returned;         // what the dispatch routine returned
};
Result SendAndWait(PDEVICE_OBJECT target, PIRP irp);
// Builds an IRP with its first location filled by `fill`, sends it, waits, frees it.
Result Call(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION, PIRP)>& fill);

// ---------------------------------------------------------------------------------------------
// Requests as the I/O manager builds them for a caller (NtReadFile, NtDeviceIoControlFile ...),
// and file objects: the test bed's IoCreateFile, the requests on an open and its close.
// ---------------------------------------------------------------------------------------------
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#ifndef STATUS_INVALID_DEVICE_OBJECT_PARAMETER
#define STATUS_INVALID_DEVICE_OBJECT_PARAMETER ((NTSTATUS)0xC0000369L)
#endif

// One request. Read and write take `buffer` and `length`; the device controls take `code`,
// `input`/`inputLength` and `output`/`outputLength`. Buffers reach the driver as the I/O manager
// passes them: the caller's own addresses for a device with neither buffered nor direct I/O and
// for METHOD_NEITHER codes (Irp->UserBuffer, Parameters.DeviceIoControl.Type3InputBuffer), a
// system buffer copied in and back otherwise. Direct I/O (an MDL) is not provided and is refused
// loudly. A user-mode request's buffers are range-checked first, as the platform's probe does:
// one reaching into system space fails with STATUS_ACCESS_VIOLATION and is never sent.
struct IoRequestParams {
  UCHAR major = IRP_MJ_READ;
  UCHAR minor = 0;
  KPROCESSOR_MODE mode = KernelMode;  // Irp->RequestorMode
  void* buffer = nullptr;
  ULONG length = 0;
  LONGLONG byteOffset = 0;
  ULONG code = 0;
  void* input = nullptr;
  ULONG inputLength = 0;
  void* output = nullptr;
  ULONG outputLength = 0;
};
// A request sent and perhaps still out. Thread-safe. Its buffers must stay valid until Done.
class IoRequest {
 public:
  virtual ~IoRequest() = default;
  // True once the request has completed; with no timeout, waits up to the hang limit and then
  // ends the run with a report.
  virtual bool Wait(int timeoutMs = -1) = 0;
  virtual bool Done() = 0;
  // IoCancelIrp on the request while it is out; FALSE when it had no cancel routine or is done.
  virtual BOOLEAN Cancel() = 0;
  // Final status and Information, and what the dispatch routine returned; STATUS_PENDING in
  // `status` until Done.
  virtual Result Outcome() = 0;
  // When completion reached the I/O manager (taken before anything else it does then); the
  // clock's epoch until Done.
  virtual std::chrono::steady_clock::time_point CompletedAt() = 0;
};
// A request without a file object straight to `target`, as a driver sends one to the device below.
std::shared_ptr<IoRequest> StartRequest(PDEVICE_OBJECT target, const IoRequestParams& params);

struct OpenOptions {
  KPROCESSOR_MODE mode = KernelMode;  // the create's RequestorMode
  // As IoCreateFileSpecifyDeviceObjectHint: the device of the opened stack (at or above the one
  // opened) that receives the create and every later request on the open. Null: the top of the
  // stack, as an open by name goes.
  PDEVICE_OBJECT sendTo = nullptr;
};
// One open of a device: a FILE_OBJECT with one handle. Thread-safe.
class File {
 public:
  virtual ~File() = default;
  virtual PFILE_OBJECT Object() = 0;   // null once the file object is closed and freed
  virtual PDEVICE_OBJECT Target() = 0; // where its requests go
  // A request on the open: the file object in the stack location and in
  // Irp->Tail.Overlay.OriginalFileObject. STATUS_INVALID_HANDLE once the handle is closed.
  virtual std::shared_ptr<IoRequest> Start(const IoRequestParams& params) = 0;
  Result Send(const IoRequestParams& params);  // Start and Wait
  // Closes the handle: IRP_MJ_CLEANUP now, and IRP_MJ_CLOSE once every request on the file
  // object has completed, from the I/O manager's own thread if one is still out then. Closing a
  // handle ends no request. Returns what closing a handle returns: STATUS_SUCCESS whatever the
  // cleanup's answer, STATUS_INVALID_HANDLE (and a report) for a handle already closed.
  virtual NTSTATUS Close() = 0;
  virtual Result CleanupOutcome() = 0;
  virtual bool WaitClosed(int timeoutMs = -1) = 0;  // true once IRP_MJ_CLOSE has completed
  virtual bool Closed() = 0;
  virtual Result CloseOutcome() = 0;
};
// Opens `device`: DEVICE_OBJECT.ReferenceCount counts the open, IRP_MJ_CREATE goes out with the
// new file object, and the create's outcome lands in `outcome`. Null when the open failed: the
// file object is then freed without a close. A device deleted or still initializing is refused
// with STATUS_NO_SUCH_DEVICE, a second open of an exclusive device with STATUS_ACCESS_DENIED.
std::shared_ptr<File> OpenFile(PDEVICE_OBJECT device, Result* outcome = nullptr, const OpenOptions& options = {});
size_t LiveFileObjects();  // opened and not yet closed

// ---------------------------------------------------------------------------------------------
// The test bed's own drivers: devices whose requests a C++ handler answers.
// ---------------------------------------------------------------------------------------------
using HostHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
PDEVICE_OBJECT CreateHostDevice(const std::string& driverName, HostHandler handler, CCHAR stackSize = 1,
                                ULONG extensionSize = 0);
void DeleteHostDevice(PDEVICE_OBJECT device);
void SetHostHandler(PDEVICE_OBJECT device, HostHandler handler);
// Marks a host device as a physical device object (a PDO): interfaces may be registered on it.
void MarkPhysicalDevice(PDEVICE_OBJECT device, const std::u16string& instancePath);
// Makes IoAttachDeviceToDeviceStack return NULL for stacks whose bottom is this device.
void SetAttachRefused(PDEVICE_OBJECT pdo, bool refused);
// The symbolic link IoRegisterDeviceInterface will hand out for this PDO (default derived).
void SetInterfaceLinkOverride(PDEVICE_OBJECT pdo, const std::u16string& link);

// ---------------------------------------------------------------------------------------------
// Objects, devices, interfaces, threads, power.
// ---------------------------------------------------------------------------------------------
bool IsDeviceDeleted(PDEVICE_OBJECT device);
// Who catches a touch of freed IRPs and devices in this build: the verifier (debug build, guard
// pages), AddressSanitizer, or nobody (ThreadSanitizer and the optimised build).
bool VerifierCatchesUseAfterFree();
bool SanitizerCatchesUseAfterFree();
// Called as a driver deletes a device, while its extension still holds what the driver left there.
void SetDeleteHook(std::function<void(PDEVICE_OBJECT)> hook);
// Deleted and released: its memory is gone (the last reference went).
bool IsDeviceFreed(PDEVICE_OBJECT device);
// Object references (ObReferenceObject's count), which DEVICE_OBJECT.ReferenceCount is not.
long ObjectReferences(PDEVICE_OBJECT device);
std::u16string DeviceName(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
struct InterfaceState {
  std::u16string link;
  PDEVICE_OBJECT pdo;
  GUID guid;
  bool enabled;
};
std::vector<InterfaceState> Interfaces();
size_t RunningSystemThreads();
// The last wait the calling thread made: the object and its timeout (null timeout: INT64_MIN).
struct WaitRecord {
  PVOID object = nullptr;
  LONGLONG timeout = 0;
  NTSTATUS status = 0;
};
WaitRecord LastWait();
// Every wait and delay since the kernel was reset, as the caller asked for it, one entry per
// object, interval and call site.
struct TimedCall {
  enum class Kind { Wait, Delay };
  Kind kind;
  PVOID object;        // waited on; null for a delay
  std::string objectName;
  bool forever;        // a wait without timeout
  bool absolute;       // passed as a system time: `interval` is counted from the caller's last KeQuerySystemTime
  LONGLONG interval;   // in 100 ns units
  std::string caller;  // the routines that made the call, innermost first ("DelayMs <- QueueBytes")
  uint64_t count;
  double Milliseconds() const { return static_cast<double>(interval) / 10000.0; }
};
std::vector<TimedCall> TimedCalls();
KPRIORITY ThreadPriority(PVOID threadObject);
POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);
std::vector<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> InvalidatedRelations();

std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

}  // namespace tb
