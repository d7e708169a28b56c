// The client's create, close, read and write on the child device.
//
// Each open is a reader of its own: an OpenContext on its file object, in the parent's
// OpenContextList, with its own position in the receive ring.
//
// OpenContext  PendingReadIrp  Left by
// idle         null            a read that finds no byte (to waiting), close (freed)
// waiting      the read        bytes (the receive path), cancel, removal (to idle)
//
// Requests from user mode are refused: a read's buffer is written later at DISPATCH_LEVEL in any
// thread, and neither buffer is probed, so only a kernel-mode caller's non-paged memory will do.
#include "client/client.h"
#include "transport/transport.h"

OpenContext* CreateOpenContext(FdoExtension* Fdo) {
  OpenContext* ctx = static_cast<OpenContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(OpenContext), DRIVER_POOL_TAG));
  if (ctx == NULL) return NULL;
  RtlZeroMemory(ctx, sizeof(OpenContext));
  KIRQL irql;
  KeAcquireSpinLock(&Fdo->RxLock, &irql);
  ctx->RxReadIndex = Fdo->RxWriteIndex;
  ctx->Next = Fdo->OpenContextList;
  Fdo->OpenContextList = ctx;
  KeReleaseSpinLock(&Fdo->RxLock, irql);
  return ctx;
}

VOID FreeOpenContext(FdoExtension* Fdo, OpenContext* Context) {
  BOOLEAN found = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Fdo->RxLock, &irql);
  for (OpenContext** link = &Fdo->OpenContextList; *link != NULL; link = &(*link)->Next) {
    if (*link == Context) {
      *link = Context->Next;
      found = TRUE;
      break;
    }
  }
  KeReleaseSpinLock(&Fdo->RxLock, irql);
  if (found) ExFreePool(Context);
}

BOOLEAN ClientGone(PdoExtension* Pdo) {
  return (ReadPdoFlags(Pdo) & PDO_REMOVED) != 0 || (ReadFdoFlags(FdoExt(Pdo->Parent)) & FDO_REMOVED) != 0;
}

NTSTATUS ClientCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (Irp->RequestorMode != KernelMode) return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  PdoExtension* pdo = PdoExt(DeviceObject);
  PDEVICE_OBJECT parent = pdo->Parent;
  FdoExtension* fdo = FdoExt(parent);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  AcquireIo(parent);
  NTSTATUS status;
  if (file == NULL) {
    status = STATUS_INVALID_PARAMETER;
  } else if (!IsReady(parent) || ClientGone(pdo)) {
    status = STATUS_DELETE_PENDING;
  } else {
    // The record comes first: an open that could never read must not start the stream.
    OpenContext* ctx = CreateOpenContext(fdo);
    if (ctx == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (OpenStream(fdo) == 0) {
      FreeOpenContext(fdo, ctx);
      status = STATUS_DELETE_PENDING;
    } else {
      file->FsContext = ctx;
      status = STATUS_SUCCESS;
    }
  }
  CompleteRequest(Irp, status, 0);
  ReleaseIo(parent);
  return status;
}

NTSTATUS ClientClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT parent = PdoExt(DeviceObject)->Parent;
  FdoExtension* fdo = FdoExt(parent);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  AcquireIo(parent);
  OpenContext* ctx = file != NULL ? static_cast<OpenContext*>(file->FsContext) : NULL;
  // Only an open that succeeded has a record, and only it counted in the stream.
  if (ctx != NULL) {
    file->FsContext = NULL;
    FreeOpenContext(fdo, ctx);
    CloseStream(fdo);
  }
  ReleaseIo(parent);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

VOID NTAPI ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  FdoExtension* fdo = FdoExt(PdoExt(DeviceObject)->Parent);
  KIRQL irql;
  KeAcquireSpinLock(&fdo->RxLock, &irql);
  for (OpenContext* ctx = fdo->OpenContextList; ctx != NULL; ctx = ctx->Next) {
    if (ctx->PendingReadIrp == Irp) {
      ctx->PendingReadIrp = NULL;
      break;
    }
  }
  KeReleaseSpinLock(&fdo->RxLock, irql);
  CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

NTSTATUS PlaceRead(FdoExtension* Fdo, PdoExtension* Pdo, PIRP Irp, PIRP* Pending, ULONG* ReadIndex, PUCHAR* Buffer,
                   ULONG* Length, PUCHAR Destination, ULONG Capacity, PDRIVER_CANCEL Cancel, NTSTATUS Busy) {
  KIRQL irql;
  KeAcquireSpinLock(&Fdo->RxLock, &irql);
  // Checked under the lock the removal takes to fail the waiting reads: a read is either failed
  // by the removal or refused here.
  if (ClientGone(Pdo)) {
    KeReleaseSpinLock(&Fdo->RxLock, irql);
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  if (*Pending != NULL) {
    KeReleaseSpinLock(&Fdo->RxLock, irql);
    return CompleteRequest(Irp, Busy, 0);
  }
  *Buffer = Destination;
  *Length = Capacity;
  CopyToReader(Fdo, Irp, ReadIndex, Buffer, Capacity);
  if (Irp->IoStatus.Information > 0) {
    KeReleaseSpinLock(&Fdo->RxLock, irql);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoSetCancelRoutine(Irp, Cancel);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&Fdo->RxLock, irql);
    return CompleteRequest(Irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(Irp);
  *Pending = Irp;
  KeReleaseSpinLock(&Fdo->RxLock, irql);
  return STATUS_PENDING;
}

NTSTATUS ClientRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  if (Irp->RequestorMode != KernelMode) return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  PdoExtension* pdo = PdoExt(DeviceObject);
  FdoExtension* fdo = FdoExt(pdo->Parent);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG length = stack->Parameters.Read.Length;
  PUCHAR buffer = static_cast<PUCHAR>(Irp->UserBuffer);
  if (length == 0 || buffer == NULL) return CompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
  OpenContext* ctx = stack->FileObject != NULL ? static_cast<OpenContext*>(stack->FileObject->FsContext) : NULL;
  if (ctx == NULL) return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  return PlaceRead(fdo, pdo, Irp, &ctx->PendingReadIrp, &ctx->RxReadIndex, &ctx->ReadBuffer, &ctx->ReadLength, buffer,
                   length, ReadCancel, STATUS_UNSUCCESSFUL);
}

NTSTATUS ClientWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (Irp->RequestorMode != KernelMode) return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  PDEVICE_OBJECT parent = PdoExt(DeviceObject)->Parent;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  const UCHAR* buffer = static_cast<const UCHAR*>(Irp->UserBuffer);
  if (length == 0) return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  // Bytes that are not there cannot be reported as sent.
  if (buffer == NULL) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  NTSTATUS status = SendBytes(parent, buffer, length);
  return CompleteRequest(Irp, status, length);
}
