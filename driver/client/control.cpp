// Internal device control on both devices, and the direct-call interface request.
#include "client/client.h"
#include "transport/transport.h"

// The direct-call record is part of the driver's published interface: its x86 layout is fixed.
#if !defined(_WIN64) && !defined(__x86_64__) && !defined(__aarch64__)
static_assert(sizeof(DIRECT_CALL_INTERFACE) == 24, "the direct-call record is 24 bytes");
static_assert(FIELD_OFFSET(DIRECT_CALL_INTERFACE, Context) == 4, "Context at 4");
static_assert(FIELD_OFFSET(DIRECT_CALL_INTERFACE, Write) == 8, "Write at 8");
static_assert(FIELD_OFFSET(DIRECT_CALL_INTERFACE, Control) == 12, "Control at 12");
static_assert(FIELD_OFFSET(DIRECT_CALL_INTERFACE, Reserved) == 16, "Reserved at 16");
#endif

// The function device serves no internal codes of its own; nothing goes to the USB stack from
// here. The answer tells a caller whether the device is usable at all.
NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  FdoExtension* Fdo) {
  UNREFERENCED_PARAMETER(Stack);
  UNREFERENCED_PARAMETER(Fdo);
  AcquireIo(DeviceObject);
  NTSTATUS status = IsReady(DeviceObject) ? STATUS_INVALID_PARAMETER : STATUS_DELETE_PENDING;
  CompleteRequest(Irp, status, 0);
  ReleaseIo(DeviceObject);
  return status;
}

VOID NTAPI InternalReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PdoExtension* pdo = PdoExt(DeviceObject);
  FdoExtension* fdo = FdoExt(pdo->Parent);
  KIRQL irql;
  KeAcquireSpinLock(&fdo->RxLock, &irql);
  if (pdo->PendingReadIrp == Irp) pdo->PendingReadIrp = NULL;
  KeReleaseSpinLock(&fdo->RxLock, irql);
  CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

static NTSTATUS InternalOpen(PdoExtension* Pdo, FdoExtension* Fdo) {
  // Refused as a create would be: a caller told it succeeded would later close somebody else's
  // stream.
  if (!IsReady(Pdo->Parent) || ClientGone(Pdo) || OpenStream(Fdo) == 0) return STATUS_DELETE_PENDING;
  KIRQL irql;
  KeAcquireSpinLock(&Fdo->RxLock, &irql);
  Pdo->RxReadIndex = Fdo->RxWriteIndex;
  KeReleaseSpinLock(&Fdo->RxLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS PdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  PdoExtension* Pdo) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Information = 0;
  ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  PUCHAR buffer = static_cast<PUCHAR>(Stack->Parameters.DeviceIoControl.Type3InputBuffer);
  FdoExtension* fdo = FdoExt(Pdo->Parent);
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CLIENT_OPEN:
      return CompleteRequest(Irp, InternalOpen(Pdo, fdo), 0);
    case IOCTL_CLIENT_CLOSE:
      CloseStream(fdo);
      return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IOCTL_CLIENT_READ:
      if (outputLength == 0 || buffer == NULL) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
      return PlaceRead(fdo, Pdo, Irp, &Pdo->PendingReadIrp, &Pdo->RxReadIndex, &Pdo->ReadBuffer, &Pdo->ReadLength,
                       buffer, outputLength, InternalReadCancel, STATUS_INVALID_PARAMETER);
    case IOCTL_CLIENT_WRITE: {
      if (inputLength == 0 || buffer == NULL) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
      NTSTATUS status = SendBytes(Pdo->Parent, buffer, inputLength);
      return CompleteRequest(Irp, status, inputLength);
    }
    default:
      return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
}

NTSTATUS ClientDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // The record's address is used as it comes: only a kernel-mode caller may hand one over.
  if (Irp->RequestorMode != KernelMode) return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  PdoExtension* pdo = PdoExt(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDIRECT_CALL_INTERFACE record = static_cast<PDIRECT_CALL_INTERFACE>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_GET_DIRECT_CALL_INTERFACE ||
      stack->Parameters.DeviceIoControl.OutputBufferLength != DIRECT_CALL_INTERFACE_SIZE || record == NULL ||
      record->Magic != DIRECT_CALL_MAGIC) {
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  record->Context = pdo->Parent;
  record->Write = QueueBytes;
  record->Control = QueueStreamMessage;
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
