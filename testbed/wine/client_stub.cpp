// Stand-in MIDI client for the end-to-end run under Wine (test-only): the function driver that
// Wine loads on usbmidi's child device. It passes Plug and Play, power and everything it does
// not send itself down to the child, printing each PnP request with the child's answer, and it
// is a client of the child, commanded through its control device by the test program: it opens
// the child with a file object of its own, keeps reads waiting, writes, sends the internal codes,
// obtains the direct-call interface and calls through it, and closes; each reply says what the
// request returned.
//
// Every request is one the client builds (IoAllocateIrp, kernel-mode requestor) and sends to the
// device below its own, as a client driver on the child does. An open by name is no substitute
// under Wine 8: IoGetDeviceObjectPointer is a stub that hands back no file object, and the
// create of a ZwCreateFile comes from the server with a user-mode requestor, which the driver
// refuses, and would wait on the one thread that serves the server's requests.
//
// Commands run in that thread too, so none of them waits for anything another command brings:
// reads are begun and their results asked for later.
//
// Client   File  Lower  Entered by
// absent   -     null   DriverEntry, REMOVE_DEVICE
// added    -     set    AddDevice
// open     set   set    STUB_OPEN          (left by STUB_CLOSE, or at REMOVE_DEVICE)
#include <wdm.h>

#include "usbmidi_client.h"
#include "stub_ioctl.h"

#define STUB_TAG 0x62757453  // 'Stub'

// {7C1A2B3D-0E4F-4A5B-8C6D-7E8F90A1B2C3}: enabled while the child runs, so that the test program
// can see from user mode that Wine started the child under this driver.
static const GUID StubInterface = {0x7C1A2B3D, 0x0E4F, 0x4A5B, {0x8C, 0x6D, 0x7E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3}};

#if defined(_WIN64)
static_assert(sizeof(DIRECT_CALL_INTERFACE) == 40, "the natural 64-bit record");
#else
// The record the driver publishes for 32-bit kernels; the run checks the real image agrees.
static_assert(sizeof(DIRECT_CALL_INTERFACE) == 24, "the 24-byte 32-bit record");
#endif

enum DeviceKind : ULONG { KIND_CLIENT = 1, KIND_CONTROL = 2 };

struct StubExtension {
  ULONG Kind;
  PDEVICE_OBJECT Lower;  // client: the child's stack below it
  PDEVICE_OBJECT Pdo;    // client: the child
  UNICODE_STRING Link;   // client: Buffer set while the interface is registered
};

// One reader slot: the read it has out and what became of it.
struct Reader {
  PIRP Irp;              // kept until the slot is used again, so that a cancel never meets a freed IRP
  PUCHAR Buffer;         // non-paged: the driver writes it at DISPATCH_LEVEL
  ULONG Capacity;
  volatile LONG Busy;    // 1 from the send until the completion
  NTSTATUS Status;
  ULONG_PTR Information;
};

#define NOTES_BYTES 1024

// One child at a time: Wine enumerates usbmidi's single child.
static struct {
  KSPIN_LOCK Lock;
  PDEVICE_OBJECT Lower;         // where requests go, while the client's device is attached
  PDEVICE_OBJECT Pdo;
  PFILE_OBJECT File;            // the open, while open
  LONG InternalOpens;           // IOCTL_CLIENT_OPEN answered with success, not yet closed
  Reader Readers[2];            // by StubReader
  DIRECT_CALL_INTERFACE Direct; // the record of the last successful STUB_GET_DIRECT
  BOOLEAN HaveDirect;
  volatile LONG Outstanding;    // requests sent and not completed
  char Notes[NOTES_BYTES];      // what the client did on its own (at removal), a line each
  ULONG NotesLength;
} Stub;

static StubExtension* Ext(PDEVICE_OBJECT Device) { return static_cast<StubExtension*>(Device->DeviceExtension); }

static void Note(const char* Text) {
  KIRQL irql;
  KeAcquireSpinLock(&Stub.Lock, &irql);
  while (*Text && Stub.NotesLength < NOTES_BYTES - 2) Stub.Notes[Stub.NotesLength++] = *Text++;
  Stub.Notes[Stub.NotesLength++] = '\n';
  KeReleaseSpinLock(&Stub.Lock, irql);
}

static void NoteStatus(const char* What, NTSTATUS Status) {
  char line[96];
  ULONG n = 0;
  while (*What && n < 80) line[n++] = *What++;
  const char* digits = "0123456789abcdef";
  line[n++] = ' ';
  line[n++] = '0';
  line[n++] = 'x';
  for (int i = 0; i < 8; i++) line[n++] = digits[(static_cast<ULONG>(Status) >> (28 - 4 * i)) & 0xF];
  line[n] = 0;
  DbgPrint("clientstub: %s\n", line);
  Note(line);
}

// ---------------------------------------------------------------------------------------------
// Requests to the child.
// ---------------------------------------------------------------------------------------------
struct Sent {
  KEVENT Done;
  NTSTATUS Status;
  ULONG_PTR Information;
};

static NTSTATUS NTAPI SentDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Device);
  Sent* sent = static_cast<Sent*>(Context);
  sent->Status = Irp->IoStatus.Status;
  sent->Information = Irp->IoStatus.Information;
  IoFreeIrp(Irp);
  InterlockedDecrement(&Stub.Outstanding);
  KeSetEvent(&sent->Done, IO_NO_INCREMENT, FALSE);  // the waiter's frame: last touch
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Device);
  Reader* reader = static_cast<Reader*>(Context);
  reader->Status = Irp->IoStatus.Status;
  reader->Information = Irp->IoStatus.Information;
  InterlockedDecrement(&Stub.Outstanding);
  InterlockedExchange(&reader->Busy, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP for the device below, with the child's stack size and the next location's major set.
static PIRP NewRequest(UCHAR Major, PFILE_OBJECT File) {
  PDEVICE_OBJECT lower = Stub.Lower;
  if (lower == NULL) return NULL;
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == NULL) return NULL;
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->Tail.Overlay.OriginalFileObject = File;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = Major;
  next->FileObject = File;
  return irp;
}

static void SetControl(PIRP Irp, UCHAR Major, ULONG Code, PVOID Buffer, ULONG InLength, ULONG OutLength) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = Major;
  next->Parameters.DeviceIoControl.IoControlCode = Code;
  next->Parameters.DeviceIoControl.InputBufferLength = InLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = Buffer;
  Irp->UserBuffer = Buffer;
}

// Sends and waits: the requests a command waits for are ones the driver ends on its own.
static NTSTATUS SendAndWait(PIRP Irp, STUB_REPLY* Reply) {
  Sent sent;
  KeInitializeEvent(&sent.Done, NotificationEvent, FALSE);
  sent.Status = STATUS_PENDING;
  sent.Information = 0;
  IoSetCompletionRoutine(Irp, SentDone, &sent, TRUE, TRUE, TRUE);
  InterlockedIncrement(&Stub.Outstanding);
  Reply->Returned = IoCallDriver(Stub.Lower, Irp);
  KeWaitForSingleObject(&sent.Done, Executive, KernelMode, FALSE, NULL);
  Reply->Status = sent.Status;
  Reply->Information = static_cast<ULONG>(sent.Information);
  return sent.Status;
}

static PUCHAR CopyToPool(const UCHAR* Bytes, ULONG Length) {
  PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Length != 0 ? Length : 1, STUB_TAG));
  if (copy != NULL && Length != 0) RtlCopyMemory(copy, Bytes, Length);
  return copy;
}

static NTSTATUS OpenChild(STUB_REPLY* Reply) {
  if (Stub.File != NULL) return STATUS_DEVICE_BUSY;
  PFILE_OBJECT file = static_cast<PFILE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), STUB_TAG));
  if (file == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(file, sizeof(FILE_OBJECT));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = Stub.Pdo;
  PIRP irp = NewRequest(IRP_MJ_CREATE, file);
  if (irp == NULL) {
    ExFreePool(file);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(SendAndWait(irp, Reply))) {
    Stub.File = file;
  } else {
    ExFreePool(file);
  }
  return STATUS_SUCCESS;
}

static NTSTATUS CloseChild(STUB_REPLY* Reply) {
  PFILE_OBJECT file = Stub.File;
  if (file == NULL) return STATUS_INVALID_DEVICE_STATE;
  // The I/O manager sends the close only once the open's last request has ended.
  if (Stub.Readers[STUB_READER_OPEN].Busy) return STATUS_DEVICE_BUSY;
  // The last handle's cleanup comes first, as the I/O manager sends it; its answer is Value.
  PIRP cleanup = NewRequest(IRP_MJ_CLEANUP, file);
  PIRP irp = NewRequest(IRP_MJ_CLOSE, file);
  if (cleanup == NULL || irp == NULL) {
    if (cleanup != NULL) IoFreeIrp(cleanup);
    if (irp != NULL) IoFreeIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Reply->Value = static_cast<ULONG>(SendAndWait(cleanup, Reply));
  SendAndWait(irp, Reply);
  Stub.File = NULL;
  ExFreePool(file);
  return STATUS_SUCCESS;
}

static NTSTATUS WriteChild(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  PUCHAR bytes = CopyToPool(Command->Data, Command->Length);
  if (bytes == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PIRP irp = NewRequest(IRP_MJ_WRITE, Stub.File);
  if (irp == NULL) {
    ExFreePool(bytes);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->UserBuffer = bytes;
  IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = Command->Length;
  SendAndWait(irp, Reply);
  ExFreePool(bytes);
  return STATUS_SUCCESS;
}

static NTSTATUS InternalCode(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  PUCHAR bytes = Command->Length != 0 ? CopyToPool(Command->Data, Command->Length) : NULL;
  if (Command->Length != 0 && bytes == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PIRP irp = NewRequest(IRP_MJ_INTERNAL_DEVICE_CONTROL, NULL);
  if (irp == NULL) {
    if (bytes != NULL) ExFreePool(bytes);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SetControl(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, Command->Code, bytes, Command->Length, 0);
  NTSTATUS status = SendAndWait(irp, Reply);
  if (NT_SUCCESS(status) && Command->Code == IOCTL_CLIENT_OPEN) InterlockedIncrement(&Stub.InternalOpens);
  if (NT_SUCCESS(status) && Command->Code == IOCTL_CLIENT_CLOSE && Stub.InternalOpens > 0) {
    InterlockedDecrement(&Stub.InternalOpens);
  }
  if (bytes != NULL) ExFreePool(bytes);
  return STATUS_SUCCESS;
}

static void ReleaseReader(Reader* R) {
  if (R->Irp != NULL) IoFreeIrp(R->Irp);
  if (R->Buffer != NULL) ExFreePool(R->Buffer);
  R->Irp = NULL;
  R->Buffer = NULL;
}

static void ReadResult(Reader* R, STUB_REPLY* Reply) {
  if (R->Busy) {
    Reply->Status = STATUS_PENDING;
    return;
  }
  Reply->Status = R->Status;
  Reply->Information = static_cast<ULONG>(R->Information);
  ULONG n = Reply->Information;
  if (n > R->Capacity) n = R->Capacity;
  if (n > STUB_DATA_BYTES) n = STUB_DATA_BYTES;
  if (R->Buffer != NULL) RtlCopyMemory(Reply->Data, R->Buffer, n);
  Reply->Length = n;
}

static NTSTATUS BeginRead(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  if (Command->Code > STUB_READER_INTERNAL || Command->Capacity == 0 || Command->Capacity > STUB_DATA_BYTES) {
    return STATUS_INVALID_PARAMETER;
  }
  Reader* reader = &Stub.Readers[Command->Code];
  if (reader->Busy) return STATUS_DEVICE_BUSY;
  BOOLEAN internal = Command->Code == STUB_READER_INTERNAL;
  if (!internal && Stub.File == NULL) return STATUS_INVALID_DEVICE_STATE;
  ReleaseReader(reader);
  reader->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Command->Capacity, STUB_TAG));
  reader->Irp = NewRequest(internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_READ, internal ? NULL : Stub.File);
  if (reader->Buffer == NULL || reader->Irp == NULL) {
    ReleaseReader(reader);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlFillMemory(reader->Buffer, Command->Capacity, 0xEE);
  reader->Capacity = Command->Capacity;
  reader->Status = STATUS_PENDING;
  reader->Information = 0;
  if (internal) {
    SetControl(reader->Irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_CLIENT_READ, reader->Buffer, 0, Command->Capacity);
  } else {
    reader->Irp->UserBuffer = reader->Buffer;
    IoGetNextIrpStackLocation(reader->Irp)->Parameters.Read.Length = Command->Capacity;
  }
  IoSetCompletionRoutine(reader->Irp, ReadDone, reader, TRUE, TRUE, TRUE);
  InterlockedIncrement(&Stub.Outstanding);
  InterlockedExchange(&reader->Busy, 1);
  Reply->Returned = IoCallDriver(Stub.Lower, reader->Irp);
  ReadResult(reader, Reply);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The direct-call interface.
// ---------------------------------------------------------------------------------------------
#if !defined(_WIN64)
// Calls `Function` with `Count` arguments pushed right to left and reports ESP after the call
// less ESP before the pushes: 0 for a callee that pops its arguments (the kernel's convention),
// -4 * Count for one that leaves them. A callee that changed EBX or EDI gives 0x7FFFFFFF; one
// that changed ESI or EBP takes the call down with it.
extern "C" LONG __cdecl StubCallChecked(PVOID Function, ULONG Count, const ULONG_PTR* Arguments, ULONG_PTR* Result);
asm(".text\n"
    ".globl _StubCallChecked\n"
    "_StubCallChecked:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %ecx\n"
    "  movl 16(%ebp), %edx\n"
    "  movl %esp, %esi\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%edx,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl $0x5EB0A110, %ebx\n"
    "  movl $0x7ED1C0DE, %edi\n"
    "  call *8(%ebp)\n"
    "  movl 20(%ebp), %ecx\n"
    "  movl %eax, (%ecx)\n"
    "  movl %esp, %eax\n"
    "  subl %esi, %eax\n"
    "  cmpl $0x5EB0A110, %ebx\n"
    "  jne 3f\n"
    "  cmpl $0x7ED1C0DE, %edi\n"
    "  je 4f\n"
    "3:\n"
    "  movl $0x7FFFFFFF, %eax\n"
    "4:\n"
    "  movl %esi, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");
#endif

static ULONG DirectWriteCall(const UCHAR* Bytes, ULONG Length, LONG* Delta) {
#if defined(_WIN64)
  *Delta = 0;
  return Stub.Direct.Write(Stub.Direct.Context, Bytes, Length);
#else
  ULONG_PTR args[3] = {reinterpret_cast<ULONG_PTR>(Stub.Direct.Context), reinterpret_cast<ULONG_PTR>(Bytes), Length};
  ULONG_PTR result = 0;
  *Delta = StubCallChecked(reinterpret_cast<PVOID>(Stub.Direct.Write), 3, args, &result);
  return static_cast<ULONG>(result);
#endif
}

static NTSTATUS DirectControlCall(ULONG Stop, LONG* Delta) {
#if defined(_WIN64)
  *Delta = 0;
  return Stub.Direct.Control(Stub.Direct.Context, Stop);
#else
  ULONG_PTR args[2] = {reinterpret_cast<ULONG_PTR>(Stub.Direct.Context), Stop};
  ULONG_PTR result = 0;
  *Delta = StubCallChecked(reinterpret_cast<PVOID>(Stub.Direct.Control), 2, args, &result);
  return static_cast<NTSTATUS>(result);
#endif
}

#define RECORD_FILL 0xA5
#define RECORD_GUARD 8

static NTSTATUS GetDirect(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  const ULONG size = sizeof(DIRECT_CALL_INTERFACE);
  const ULONG total = size + RECORD_GUARD;
  PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, total, STUB_TAG));
  if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlFillMemory(block, total, RECORD_FILL);
  PDIRECT_CALL_INTERFACE record = reinterpret_cast<PDIRECT_CALL_INTERFACE>(block);
  record->Magic = DIRECT_CALL_MAGIC;
  UCHAR before[sizeof(DIRECT_CALL_INTERFACE) + RECORD_GUARD];
  RtlCopyMemory(before, block, total);
  PIRP irp = NewRequest(IRP_MJ_DEVICE_CONTROL, NULL);
  if (irp == NULL) {
    ExFreePool(block);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG length = size + Command->Code;  // Code as a signed adjustment
  SetControl(irp, IRP_MJ_DEVICE_CONTROL, IOCTL_GET_DIRECT_CALL_INTERFACE, record, 0, length);
  NTSTATUS status = SendAndWait(irp, Reply);

  ULONG flags = 0;
  if (record->Magic == DIRECT_CALL_MAGIC) flags |= STUB_RECORD_MAGIC_KEPT;
  const ULONG filled = FIELD_OFFSET(DIRECT_CALL_INTERFACE, Reserved);
  ULONG_PTR pattern;
  RtlFillMemory(&pattern, sizeof pattern, RECORD_FILL);
  if (reinterpret_cast<ULONG_PTR>(record->Context) != pattern && reinterpret_cast<ULONG_PTR>(record->Write) != pattern &&
      reinterpret_cast<ULONG_PTR>(record->Control) != pattern && record->Write != NULL && record->Control != NULL) {
    flags |= STUB_RECORD_FILLED;
  }
  if (RtlCompareMemory(block + filled, before + filled, size - filled) == size - filled) flags |= STUB_RECORD_RESERVED_KEPT;
  if (RtlCompareMemory(block + size, before + size, RECORD_GUARD) == RECORD_GUARD) flags |= STUB_RECORD_GUARD_KEPT;
  if (RtlCompareMemory(block, before, total) == total) flags |= STUB_RECORD_UNTOUCHED;
  // The context is the function device the child hangs from: a device of usbmidi's own driver.
  // (Not told by its Type: Wine's IoCreateDevice leaves it 0.)
  PDEVICE_OBJECT context = record->Context;
  if ((flags & STUB_RECORD_FILLED) && context != Stub.Pdo && context->DriverObject == Stub.Pdo->DriverObject) {
    flags |= STUB_RECORD_CONTEXT_OURS;
  }
  if (NT_SUCCESS(status) && Command->Code == 0) {
    Stub.Direct = *record;
    Stub.HaveDirect = TRUE;
  }
  Reply->Value = flags;
  Reply->RecordSize = size;
  ExFreePool(block);
  return STATUS_SUCCESS;
}

static NTSTATUS DirectWrite(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  if (!Stub.HaveDirect) return STATUS_INVALID_DEVICE_STATE;
  PUCHAR bytes = CopyToPool(Command->Data, Command->Length);
  if (bytes == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  Reply->Value = DirectWriteCall(bytes, Command->Length, &Reply->StackDelta);
  ExFreePool(bytes);
  return STATUS_SUCCESS;
}

static NTSTATUS DirectControl(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  if (!Stub.HaveDirect) return STATUS_INVALID_DEVICE_STATE;
  Reply->Returned = DirectControlCall(Command->Code, &Reply->StackDelta);
  return STATUS_SUCCESS;
}

// Calls that queue nothing, many times: a convention mismatch would walk the stack away.
static NTSTATUS DirectBalance(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  if (!Stub.HaveDirect) return STATUS_INVALID_DEVICE_STATE;
  UCHAR none = 0;
  ULONG unbalanced = 0;
  ULONG accepted = 0;
  for (ULONG i = 0; i < Command->Capacity; i++) {
    LONG delta = 0;
    accepted += DirectWriteCall(&none, 0, &delta);
    if (delta != 0) {
      unbalanced++;
      Reply->StackDelta = delta;
    }
  }
  Reply->Value = unbalanced;
  Reply->Information = accepted;
  return STATUS_SUCCESS;
}

static NTSTATUS StubState(STUB_REPLY* Reply) {
  Reply->Value = static_cast<ULONG>(InterlockedCompareExchange(&Stub.Outstanding, 0, 0));
  KIRQL irql;
  KeAcquireSpinLock(&Stub.Lock, &irql);
  RtlCopyMemory(Reply->Data, Stub.Notes, Stub.NotesLength);
  Reply->Length = Stub.NotesLength;
  KeReleaseSpinLock(&Stub.Lock, irql);
  return STATUS_SUCCESS;
}

static NTSTATUS RunCommand(const STUB_COMMAND* Command, STUB_REPLY* Reply) {
  RtlZeroMemory(Reply, sizeof *Reply);
  Reply->Returned = STATUS_PENDING;
  Reply->Status = STATUS_PENDING;
  if (Command->Length > STUB_DATA_BYTES) return STATUS_INVALID_PARAMETER;
  if (Command->Op == STUB_STATE) return StubState(Reply);
  if (Command->Op == STUB_READ_RESULT || Command->Op == STUB_CANCEL_READ) {
    if (Command->Code > STUB_READER_INTERNAL) return STATUS_INVALID_PARAMETER;
    Reader* reader = &Stub.Readers[Command->Code];
    if (Command->Op == STUB_CANCEL_READ) Reply->Returned = reader->Busy && IoCancelIrp(reader->Irp) ? 1 : 0;
    ReadResult(reader, Reply);
    return STATUS_SUCCESS;
  }
  if (Stub.Lower == NULL) return STATUS_NO_SUCH_DEVICE;
  switch (Command->Op) {
    case STUB_OPEN:
      return OpenChild(Reply);
    case STUB_CLOSE:
      return CloseChild(Reply);
    case STUB_WRITE:
      return WriteChild(Command, Reply);
    case STUB_INTERNAL:
      return InternalCode(Command, Reply);
    case STUB_BEGIN_READ:
      return BeginRead(Command, Reply);
    case STUB_GET_DIRECT:
      return GetDirect(Command, Reply);
    case STUB_DIRECT_WRITE:
      return DirectWrite(Command, Reply);
    case STUB_DIRECT_CONTROL:
      return DirectControl(Command, Reply);
    case STUB_DIRECT_BALANCE:
      return DirectBalance(Command, Reply);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// Before the child goes: its reads have ended (the removal fails them) or are cancelled, then
// the client lets go of its open and of its internal open, as a client does when told its
// device is leaving.
static void LetGo() {
  for (ULONG i = 0; i < 2; i++) {
    Reader* reader = &Stub.Readers[i];
    if (!reader->Busy) continue;
    NoteStatus(i == STUB_READER_OPEN ? "removal: cancelling the open's read" : "removal: cancelling the internal read",
               STATUS_PENDING);
    IoCancelIrp(reader->Irp);
    LARGE_INTEGER step;
    step.QuadPart = -10 * 1000 * 10;  // 10 ms
    for (int wait = 0; wait < 100 && reader->Busy; wait++) KeDelayExecutionThread(KernelMode, FALSE, &step);
  }
  // Kept off the stack (the kernel's is small); one removal runs at a time.
  static STUB_REPLY reply;
  static STUB_COMMAND close;
  if (Stub.File != NULL) {
    NTSTATUS status = CloseChild(&reply);
    NoteStatus("removal: close", NT_SUCCESS(status) ? reply.Status : status);
  }
  while (Stub.InternalOpens > 0) {
    RtlZeroMemory(&close, sizeof close);
    close.Op = STUB_INTERNAL;
    close.Code = IOCTL_CLIENT_CLOSE;
    InternalCode(&close, &reply);
    NoteStatus("removal: internal close", reply.Status);
    if (!NT_SUCCESS(reply.Status)) break;
  }
  Stub.HaveDirect = FALSE;
}

// ---------------------------------------------------------------------------------------------
// The client's device on the child.
// ---------------------------------------------------------------------------------------------
static void DisableInterface(StubExtension* X) {
  if (X->Link.Buffer == NULL) return;
  IoSetDeviceInterfaceState(&X->Link, FALSE);
  RtlFreeUnicodeString(&X->Link);
  X->Link.Buffer = NULL;
}

static NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Device);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down, waits for the child's answer and completes it with that answer.
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT Device, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(Ext(Device)->Lower, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

static NTSTATUS ClientPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  StubExtension* x = Ext(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;
  ULONG type = 0;
  if (minor == IRP_MN_QUERY_ID) type = static_cast<ULONG>(stack->Parameters.QueryId.IdType);
  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) type = static_cast<ULONG>(stack->Parameters.QueryDeviceRelations.Type);
  PDEVICE_OBJECT lower = x->Lower;
  if (minor == IRP_MN_REMOVE_DEVICE) LetGo();
  NTSTATUS status = ForwardAndWait(Device, Irp);
  DbgPrint("clientstub: child pnp minor 0x%02x type %u -> 0x%08x\n", minor, type, static_cast<ULONG>(status));
  if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status) && x->Link.Buffer == NULL &&
      NT_SUCCESS(IoRegisterDeviceInterface(x->Pdo, &StubInterface, NULL, &x->Link))) {
    IoSetDeviceInterfaceState(&x->Link, TRUE);
  }
  if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) DisableInterface(x);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    KIRQL irql;
    KeAcquireSpinLock(&Stub.Lock, &irql);
    Stub.Lower = NULL;
    Stub.Pdo = NULL;
    KeReleaseSpinLock(&Stub.Lock, irql);
    IoDetachDevice(lower);
    IoDeleteDevice(Device);
  }
  return status;
}

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  if (Ext(Device)->Kind == KIND_CLIENT) return ClientPnp(Device, Irp);
  return CompleteWith(Irp, STATUS_NOT_SUPPORTED, 0);
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT Device, PIRP Irp) {
  if (Ext(Device)->Kind == KIND_CONTROL) {
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    BOOLEAN fine = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
    return CompleteWith(Irp, fine ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Ext(Device)->Lower, Irp);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (Ext(Device)->Kind != KIND_CONTROL) return DispatchOther(Device, Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_STUB_COMMAND ||
      stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(STUB_COMMAND) ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(STUB_REPLY)) {
    return CompleteWith(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  // Buffered: the command is read whole before the reply overwrites the same buffer.
  STUB_COMMAND* command = static_cast<STUB_COMMAND*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(STUB_COMMAND), STUB_TAG));
  if (command == NULL) return CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlCopyMemory(command, Irp->AssociatedIrp.SystemBuffer, sizeof(STUB_COMMAND));
  STUB_REPLY* reply = static_cast<STUB_REPLY*>(Irp->AssociatedIrp.SystemBuffer);
  NTSTATUS status = RunCommand(command, reply);
  ExFreePool(command);
  return CompleteWith(Irp, status, NT_SUCCESS(status) ? sizeof(STUB_REPLY) : 0);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  if (Ext(Device)->Kind != KIND_CLIENT) return CompleteWith(Irp, STATUS_NOT_SUPPORTED, 0);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Ext(Device)->Lower, Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  if (Stub.Lower != NULL) return STATUS_DEVICE_BUSY;  // one child at a time
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(StubExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  StubExtension* x = Ext(fdo);
  x->Kind = KIND_CLIENT;
  x->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (x->Lower == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  x->Pdo = Pdo;
  KIRQL irql;
  KeAcquireSpinLock(&Stub.Lock, &irql);
  Stub.Lower = x->Lower;
  Stub.Pdo = Pdo;
  Stub.NotesLength = 0;
  KeReleaseSpinLock(&Stub.Lock, irql);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("clientstub: added on child\n");
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, STUB_CONTROL_LINK);
  IoDeleteSymbolicLink(&link);
  for (ULONG i = 0; i < 2; i++) {
    if (!Stub.Readers[i].Busy) ReleaseReader(&Stub.Readers[i]);
  }
  while (Driver->DeviceObject != NULL) IoDeleteDevice(Driver->DeviceObject);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  KeInitializeSpinLock(&Stub.Lock);
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, STUB_CONTROL_NAME);
  RtlInitUnicodeString(&link, STUB_CONTROL_LINK);
  PDEVICE_OBJECT control = NULL;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(StubExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  Ext(control)->Kind = KIND_CONTROL;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  control->Flags &= ~DO_DEVICE_INITIALIZING;

  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = DispatchOther;
  Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
