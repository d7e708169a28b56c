// The I/O manager's side of a caller: requests built as NtReadFile, NtWriteFile and
// NtDeviceIoControlFile build them, and file objects with their create, cleanup and close.
//
// A file object, as the I/O manager moves it:
//
// State    Entered by                                    Left by
// Opening  OpenFile: IRP_MJ_CREATE sent                  the create's answer: Open, or freed unclosed
// Open     the create succeeded; one handle              Close: IRP_MJ_CLEANUP, then the handle goes
// Closing  the handle gone, requests on it still out     the last of them completed
// Closed   IRP_MJ_CLOSE completed; the object freed      (final)
//
// The file object is referenced by its handle and by every request on it; IRP_MJ_CLOSE goes out
// when the last reference goes, as the object manager deletes a file object. A request that
// completes last does so in the driver's thread, perhaps at DISPATCH_LEVEL: the close then comes
// from the I/O manager's own thread at PASSIVE_LEVEL, as the platform defers such a deletion.
#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <deque>

namespace tb {
namespace {
// Irp->Flags and FILE_OBJECT.Flags, with the platform's values; no driver reads them.
constexpr ULONG kIrpSynchronousApi = 0x00000004;
constexpr ULONG kIrpBufferedIo = 0x00000010;
constexpr ULONG kIrpDeallocateBuffer = 0x00000020;
constexpr ULONG kIrpInputOperation = 0x00000040;
constexpr ULONG kIrpCreateOperation = 0x00000080;
constexpr ULONG kIrpReadOperation = 0x00000100;
constexpr ULONG kIrpWriteOperation = 0x00000200;
constexpr ULONG kIrpCloseOperation = 0x00000400;
constexpr ULONG kIrpDeferIoCompletion = 0x00000800;
constexpr ULONG kFoHandleCreated = 0x00040000;
constexpr ULONG kFileOpen = 0x00000001;  // the create disposition

// MmUserProbeAddress: a user-mode buffer must end below it.
constexpr uintptr_t kUserProbeAddress = sizeof(void*) == 8 ? uintptr_t(0x7FFFFFFF0000ULL) : uintptr_t(0x7FFF0000UL);

bool InUserSpace(const void* p, ULONG length) {
  if (length == 0) return true;
  auto start = reinterpret_cast<uintptr_t>(p);
  return start + length > start && start + length <= kUserProbeAddress;
}

class FileImpl;

class RequestImpl : public IoRequest {
 public:
  bool Wait(int timeoutMs) override;
  bool Done() override;
  BOOLEAN Cancel() override;
  Result Outcome() override;
  std::chrono::steady_clock::time_point CompletedAt() override;

  // Completion has reached the top of the IRP.
  void Finished(PIRP irp);
  void Sent(NTSTATUS returned, PIRP irp, const void* routine);

  std::mutex lock;
  std::condition_variable changed;
  PIRP irp = nullptr;
  bool sent = false;       // the dispatch routine has returned
  bool done = false;       // completion has reached the top
  std::chrono::steady_clock::time_point completedAt{};
  bool freed = false;
  int cancelling = 0;      // Cancel calls inside IoCancelIrp
  Result result{STATUS_PENDING, 0, STATUS_PENDING};
  void* system = nullptr;  // the system buffer of buffered I/O
  void* copyBack = nullptr;
  ULONG copyBackLength = 0;
  MDL* mdl = nullptr;      // the output buffer of METHOD_IN_DIRECT and METHOD_OUT_DIRECT
  std::shared_ptr<FileImpl> file;  // the file object this request holds a reference on
};

class FileImpl : public File, public std::enable_shared_from_this<FileImpl> {
 public:
  PFILE_OBJECT Object() override;
  PDEVICE_OBJECT Target() override;
  std::shared_ptr<IoRequest> Start(const IoRequestParams& params) override;
  NTSTATUS Close() override;
  Result CleanupOutcome() override;
  bool WaitClosed(int timeoutMs) override;
  bool Closed() override;
  Result CloseOutcome() override;

  // A reference goes: the handle's, released in the closing thread, or a request's, released
  // where its completion ran.
  void Release(bool handle);
  void SendClose();  // the last reference went

  enum class State { Opening, Open, Closing, Closed };
  std::mutex lock;
  std::condition_variable changed;
  PFILE_OBJECT object = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the device opened: FILE_OBJECT.DeviceObject
  PDEVICE_OBJECT sendTo = nullptr;  // the hint, or null for the top of the stack
  PDEVICE_OBJECT bottom = nullptr;  // of the opened stack: the PnP manager's node
  State state = State::Opening;
  int references = 0;
  Result cleanup{STATUS_PENDING, 0, STATUS_PENDING};
  Result close{STATUS_PENDING, 0, STATUS_PENDING};
};

std::mutex gFilesLock;
std::set<FileImpl*> gLive;  // opened and not yet closed
std::function<void(PDEVICE_OBJECT, int)> gHandlesHook;
std::deque<std::shared_ptr<FileImpl>> gCloses;
std::condition_variable gClosesChanged;
std::thread gCloser;
bool gCloserStop = false;

void CloserMain() {
  for (;;) {
    std::shared_ptr<FileImpl> file;
    {
      std::unique_lock<std::mutex> guard(gFilesLock);
      gClosesChanged.wait(guard, [] { return gCloserStop || !gCloses.empty(); });
      if (gCloses.empty()) return;
      file = gCloses.front();
      gCloses.pop_front();
    }
    IrqlScope passive(PASSIVE_LEVEL);
    file->SendClose();
  }
}

void QueueClose(std::shared_ptr<FileImpl> file) {
  std::lock_guard<std::mutex> guard(gFilesLock);
  gCloses.push_back(std::move(file));
  if (!gCloser.joinable()) {
    gCloserStop = false;
    gCloser = std::thread(CloserMain);
  }
  gClosesChanged.notify_all();
}

void NoteHandles(PDEVICE_OBJECT bottom, int delta) {
  std::function<void(PDEVICE_OBJECT, int)> hook;
  {
    std::lock_guard<std::mutex> guard(gFilesLock);
    hook = gHandlesHook;
  }
  if (hook) hook(bottom, delta);
}

std::string FileName(PFILE_OBJECT object) { return "file object " + Hex(object); }

Result Refused(NTSTATUS status) { return Result{status, 0, status}; }

std::shared_ptr<RequestImpl> RefusedRequest(NTSTATUS status) {
  auto req = std::make_shared<RequestImpl>();
  req->sent = req->done = true;
  req->result = Refused(status);
  return req;
}

// Builds the IRP of `params` for `target` as the I/O manager does for a caller, sends it, and
// returns at once. `file` (may be null) is the stack location's file object; `holder`, when
// set, has taken a reference for the request, which its completion gives back.
std::shared_ptr<RequestImpl> Issue(PDEVICE_OBJECT target, const IoRequestParams& params, PFILE_OBJECT file,
                                  std::shared_ptr<FileImpl> holder, ULONG flags) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "the I/O manager's request");
  auto req = std::make_shared<RequestImpl>();
  req->file = std::move(holder);
  bool user = params.mode == UserMode;
  bool transfer = params.major == IRP_MJ_READ || params.major == IRP_MJ_WRITE;
  bool control = params.major == IRP_MJ_DEVICE_CONTROL || params.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  ULONG method = params.code & 3;
  bool buffered = transfer ? (target->Flags & DO_BUFFERED_IO) != 0 : control && method == METHOD_BUFFERED;
  bool directTransfer = transfer && (target->Flags & DO_DIRECT_IO) != 0;
  // A direct control code: the input buffered, the output described by an MDL.
  bool directControl = control && (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT);
  // The platform's probe of a user-mode caller's buffers; the addresses of METHOD_NEITHER are
  // the driver's to probe. Locking a direct output buffer's pages probes it in either mode.
  bool probed = !user || (transfer && InUserSpace(params.buffer, params.length)) ||
                (control && (!(buffered || directControl) || (InUserSpace(params.input, params.inputLength) &&
                                                              InUserSpace(params.output, params.outputLength)))) ||
                (!transfer && !control);
  if (directControl && params.outputLength != 0 && params.output == nullptr) probed = false;
  if (!probed || directTransfer) {
    if (directTransfer) {
      Report(Rule::Unimplemented, "the I/O manager's request", Hex(target),
             "direct I/O for reads and writes (an MDL describing the caller's buffer) is not provided");
    }
    if (req->file) req->file->Release(false);
    return RefusedRequest(probed ? STATUS_NOT_IMPLEMENTED : STATUS_ACCESS_VIOLATION);
  }
  ULONG systemLength = 0;
  const void* copyIn = nullptr;
  ULONG copyInLength = 0;
  if (transfer) {
    bool read = params.major == IRP_MJ_READ;
    flags |= read ? kIrpReadOperation : kIrpWriteOperation;
    if (buffered && params.length != 0) {
      systemLength = params.length;
      flags |= kIrpBufferedIo | kIrpDeallocateBuffer | (read ? kIrpInputOperation : 0);
      if (read) {
        req->copyBack = params.buffer;
        req->copyBackLength = params.length;
      } else {
        copyIn = params.buffer;
        copyInLength = params.length;
      }
    }
  } else if (directControl) {
    systemLength = params.inputLength;
    if (systemLength != 0) flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
    copyIn = params.input;
    copyInLength = params.input != nullptr ? params.inputLength : 0;
    if (params.outputLength != 0) {
      // One MDL over the caller's pages; this address space needs no mapping of its own.
      uintptr_t va = reinterpret_cast<uintptr_t>(params.output);
      req->mdl = new MDL{};
      req->mdl->Size = static_cast<CSHORT>(sizeof(MDL));
      req->mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t(PAGE_SIZE - 1));
      req->mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
      req->mdl->ByteCount = params.outputLength;
      req->mdl->MappedSystemVa = params.output;
    }
  } else if (control && buffered) {
    systemLength = std::max(params.inputLength, params.outputLength);
    if (systemLength != 0) flags |= kIrpBufferedIo | kIrpDeallocateBuffer;
    if (params.outputLength != 0) flags |= kIrpInputOperation;
    copyIn = params.input;
    copyInLength = params.input != nullptr ? params.inputLength : 0;
    req->copyBack = params.output;
    req->copyBackLength = params.outputLength;
  }
  if (systemLength != 0) {
    req->system = std::calloc(1, systemLength);
    if (copyIn != nullptr && copyInLength != 0) std::memcpy(req->system, copyIn, copyInLength);
  }

  // The IRP's record holds the request until completion reaches the top, then lets it go.
  auto holderOfReq = std::make_shared<std::shared_ptr<RequestImpl>>(req);
  PIRP irp = AllocateSystemIrp(target->StackSize, [holderOfReq](PIRP done) {
    std::shared_ptr<RequestImpl> r = std::move(*holderOfReq);
    if (r) r->Finished(done);
  }, true);
  req->irp = irp;
  irp->RequestorMode = params.mode;
  irp->Flags = flags;
  irp->UserBuffer = transfer ? params.buffer : params.output;
  irp->AssociatedIrp.SystemBuffer = req->system;
  irp->MdlAddress = req->mdl;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = params.major;
  next->MinorFunction = params.minor;
  next->FileObject = file;
  switch (params.major) {
    case IRP_MJ_CREATE:
      next->Parameters.Create.Options = kFileOpen << 24;
      break;
    case IRP_MJ_READ:
      next->Parameters.Read.Length = params.length;
      next->Parameters.Read.ByteOffset.QuadPart = params.byteOffset;
      break;
    case IRP_MJ_WRITE:
      next->Parameters.Write.Length = params.length;
      next->Parameters.Write.ByteOffset.QuadPart = params.byteOffset;
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      next->Parameters.DeviceIoControl.IoControlCode = params.code;
      next->Parameters.DeviceIoControl.InputBufferLength = params.inputLength;
      next->Parameters.DeviceIoControl.OutputBufferLength = params.outputLength;
      if ((params.code & 3) == METHOD_NEITHER) next->Parameters.DeviceIoControl.Type3InputBuffer = params.input;
      break;
    default:
      break;
  }
  const void* routine = reinterpret_cast<const void*>(target->DriverObject->MajorFunction[params.major]);
  NTSTATUS returned = IofCallDriver(target, irp);
  req->Sent(returned, irp, routine);
  return req;
}

Result SendAndWaitFor(PDEVICE_OBJECT target, const IoRequestParams& params, PFILE_OBJECT file, ULONG flags) {
  auto req = Issue(target, params, file, nullptr, flags);
  req->Wait(-1);
  return req->Outcome();
}

// Under the object lock.
PDEVICE_OBJECT BottomLocked(PDEVICE_OBJECT device) {
  while (device->DeviceObjectExtension->AttachedTo != nullptr) device = device->DeviceObjectExtension->AttachedTo;
  return device;
}

// ---------------------------------------------------------------------------------------------
// RequestImpl
// ---------------------------------------------------------------------------------------------
void RequestImpl::Sent(NTSTATUS returned, PIRP sentIrp, const void* routine) {
  bool lost;
  {
    std::lock_guard<std::mutex> guard(lock);
    result.returned = returned;
    sent = true;
    lost = !done && returned != STATUS_PENDING;
    changed.notify_all();
  }
  if (lost) {
    Report(Rule::RequestNotHandled, SymbolName(routine), "IRP " + Hex(sentIrp),
           "dispatch returned without completing, passing down or pending the request");
  }
}

void RequestImpl::Finished(PIRP completed) {
  bool freeNow;
  std::shared_ptr<FileImpl> holder;
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(lock);
    completedAt = now;
    result.status = completed->IoStatus.Status;
    result.information = completed->IoStatus.Information;
    // Buffered output is copied back unless the request failed.
    if (system != nullptr && copyBack != nullptr && !NT_ERROR(result.status)) {
      std::memcpy(copyBack, system, std::min<size_t>(result.information, copyBackLength));
    }
    std::free(system);
    system = nullptr;
    // The I/O manager unlocks and frees the IRP's MDLs once completion reaches it.
    if (mdl != nullptr && completed->MdlAddress == mdl) completed->MdlAddress = nullptr;
    delete mdl;
    mdl = nullptr;
    done = true;
    freeNow = cancelling == 0;
    if (freeNow) freed = true;
    holder = std::move(file);
    changed.notify_all();
  }
  if (freeNow) FreeSystemIrp(completed);
  if (holder) holder->Release(false);
}

bool RequestImpl::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock);
  int limit = timeoutMs < 0 ? GetSettings().hangLimitMs : timeoutMs;
  bool finished = changed.wait_for(guard, std::chrono::milliseconds(limit), [&] { return done && sent; });
  if (!finished && timeoutMs < 0) {
    PIRP stuck = irp;
    guard.unlock();
    BugCheck(Rule::WaitNeverSatisfied, "the I/O manager's request", "IRP " + Hex(stuck), "a pended request was never completed");
  }
  return finished;
}

std::chrono::steady_clock::time_point RequestImpl::CompletedAt() {
  std::lock_guard<std::mutex> guard(lock);
  return completedAt;
}

bool RequestImpl::Done() {
  std::lock_guard<std::mutex> guard(lock);
  return done && sent;
}

BOOLEAN RequestImpl::Cancel() {
  PIRP out;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (done || irp == nullptr) return FALSE;
    cancelling++;
    out = irp;
  }
  // The IRP is kept until both completion and every cancel are done with it.
  BOOLEAN cancelled = IoCancelIrp(out);
  bool freeNow;
  {
    std::lock_guard<std::mutex> guard(lock);
    cancelling--;
    freeNow = done && !freed && cancelling == 0;
    if (freeNow) freed = true;
  }
  if (freeNow) FreeSystemIrp(out);
  return cancelled;
}

Result RequestImpl::Outcome() {
  std::lock_guard<std::mutex> guard(lock);
  return result;
}

// ---------------------------------------------------------------------------------------------
// FileImpl
// ---------------------------------------------------------------------------------------------
PFILE_OBJECT FileImpl::Object() {
  std::lock_guard<std::mutex> guard(lock);
  return object;
}

PDEVICE_OBJECT FileImpl::Target() { return sendTo != nullptr ? sendTo : TopOfStack(device); }

std::shared_ptr<IoRequest> FileImpl::Start(const IoRequestParams& params) {
  PFILE_OBJECT fo;
  bool open;
  {
    std::lock_guard<std::mutex> guard(lock);
    fo = object;
    open = state == State::Open;
    if (open) references++;  // the request's, given back at its completion
  }
  if (!open) {
    Report(Rule::HandleInvalid, "tb::File::Start", FileName(fo), "a request on a handle that was closed");
    return RefusedRequest(STATUS_INVALID_HANDLE);
  }
  return Issue(Target(), params, fo, shared_from_this(), 0);
}

NTSTATUS FileImpl::Close() {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  PFILE_OBJECT fo;
  bool open;
  {
    std::lock_guard<std::mutex> guard(lock);
    fo = object;
    open = state == State::Open;
    if (open) state = State::Closing;
  }
  if (!open) {
    Report(Rule::HandleInvalid, "ZwClose", FileName(fo), "the handle was already closed");
    return STATUS_INVALID_HANDLE;
  }
  IoRequestParams params;
  params.major = IRP_MJ_CLEANUP;
  Result answered = SendAndWaitFor(Target(), params, fo, kIrpCloseOperation | kIrpSynchronousApi);
  {
    std::lock_guard<std::mutex> guard(lock);
    cleanup = answered;
    changed.notify_all();
  }
  // The cleanup's status is not the caller's business: closing a handle succeeds.
  Release(true);
  return STATUS_SUCCESS;
}

void FileImpl::Release(bool handle) {
  bool last;
  {
    std::lock_guard<std::mutex> guard(lock);
    last = --references == 0 && state == State::Closing;
  }
  if (!last) return;
  if (handle) {
    SendClose();
  } else {
    QueueClose(shared_from_this());
  }
}

void FileImpl::SendClose() {
  PFILE_OBJECT fo = Object();
  IoRequestParams params;
  params.major = IRP_MJ_CLOSE;
  Result answered = SendAndWaitFor(Target(), params, fo, kIrpCloseOperation | kIrpSynchronousApi);
  GuardedRelease(fo, FileName(fo) + " (closed)");
  {
    std::lock_guard<std::mutex> guard(gFilesLock);
    gLive.erase(this);
  }
  AdjustOpenCount(device, -1);
  NoteHandles(bottom, -1);
  std::lock_guard<std::mutex> guard(lock);
  close = answered;
  object = nullptr;
  state = State::Closed;
  changed.notify_all();
}

Result FileImpl::CleanupOutcome() {
  std::lock_guard<std::mutex> guard(lock);
  return cleanup;
}

bool FileImpl::WaitClosed(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock);
  int limit = timeoutMs < 0 ? GetSettings().hangLimitMs : timeoutMs;
  bool closed = changed.wait_for(guard, std::chrono::milliseconds(limit), [&] { return state == State::Closed; });
  if (!closed && timeoutMs < 0) {
    PFILE_OBJECT fo = object;
    guard.unlock();
    Report(Rule::WaitNeverSatisfied, "tb::File::WaitClosed", FileName(fo),
           "the file object was never closed: a request on it never completed");
  }
  return closed;
}

bool FileImpl::Closed() {
  std::lock_guard<std::mutex> guard(lock);
  return state == State::Closed;
}

Result FileImpl::CloseOutcome() {
  std::lock_guard<std::mutex> guard(lock);
  return close;
}
}  // namespace

Result File::Send(const IoRequestParams& params) {
  auto req = Start(params);
  req->Wait(-1);
  return req->Outcome();
}

std::shared_ptr<IoRequest> StartRequest(PDEVICE_OBJECT target, const IoRequestParams& params) {
  return Issue(target, params, nullptr, nullptr, 0);
}

std::shared_ptr<File> OpenFile(PDEVICE_OBJECT device, Result* outcome, const OpenOptions& options) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
  Result ignored;
  Result& out = outcome != nullptr ? *outcome : ignored;
  auto file = std::make_shared<FileImpl>();
  file->device = device;
  file->sendTo = options.sendTo;
  {
    KernelLock guard(ObjectLock());
    DeviceRecord* rec = FindDevice(device);
    if (rec == nullptr || rec->deleted || (device->Flags & DO_DEVICE_INITIALIZING)) {
      out = Refused(STATUS_NO_SUCH_DEVICE);
      return nullptr;
    }
    if (options.sendTo != nullptr) {
      // The hint must be the opened device or one attached above it.
      PDEVICE_OBJECT d = options.sendTo;
      while (d != nullptr && d != device) d = d->DeviceObjectExtension->AttachedTo;
      if (d == nullptr) {
        out = Refused(STATUS_INVALID_DEVICE_OBJECT_PARAMETER);
        return nullptr;
      }
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
      out = Refused(STATUS_ACCESS_DENIED);
      return nullptr;
    }
    file->bottom = BottomLocked(device);
  }
  AdjustOpenCount(device, +1);
  auto* fo = static_cast<PFILE_OBJECT>(GuardedAllocate(sizeof(FILE_OBJECT), GuardKind::File));
  fo->Type = IO_TYPE_FILE;
  fo->Size = sizeof(FILE_OBJECT);
  fo->DeviceObject = device;
  KeInitializeEvent(&fo->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
  fo->IrpList.Flink = fo->IrpList.Blink = &fo->IrpList;
  file->object = fo;

  IoRequestParams params;
  params.major = IRP_MJ_CREATE;
  params.mode = options.mode;
  out = SendAndWaitFor(file->Target(), params, fo, kIrpCreateOperation | kIrpSynchronousApi | kIrpDeferIoCompletion);
  if (!NT_SUCCESS(out.status)) {
    // A failed open leaves no file object for a close to be sent on.
    fo->DeviceObject = nullptr;
    GuardedRelease(fo, FileName(fo) + " (its open failed)");
    AdjustOpenCount(device, -1);
    return nullptr;
  }
  fo->Flags |= kFoHandleCreated;
  {
    std::lock_guard<std::mutex> guard(file->lock);
    file->state = FileImpl::State::Open;
    file->references = 1;  // the handle
  }
  {
    std::lock_guard<std::mutex> guard(gFilesLock);
    gLive.insert(file.get());
  }
  NoteHandles(file->bottom, +1);
  return file;
}

size_t LiveFileObjects() {
  std::lock_guard<std::mutex> guard(gFilesLock);
  return gLive.size();
}

void SetOpenHandlesHook(std::function<void(PDEVICE_OBJECT, int)> hook) {
  std::lock_guard<std::mutex> guard(gFilesLock);
  gHandlesHook = std::move(hook);
}

void ResetFiles() {
  std::thread closer;
  {
    std::lock_guard<std::mutex> guard(gFilesLock);
    gCloserStop = true;
    closer.swap(gCloser);
  }
  gClosesChanged.notify_all();
  if (closer.joinable()) closer.join();
  std::lock_guard<std::mutex> guard(gFilesLock);
  // The objects' memory goes with ResetGuarded.
  gCloses.clear();
  gLive.clear();
  gCloserStop = false;
}

}  // namespace tb
