// Plug and Play on the child device: its identity from the product table, its capabilities,
// its target relation and its started state. The child is the bottom of its stack, so every
// request ends here.
//
// State     Flags      Entered by                       Left by
// Created   0          AddDevice                        start
// Started   Started    start                            stop, remove
// Disabled  exactly 1  remove while the USB device is   start (the same device object again),
//                      still there (still reported)     the parent's surprise removal or removal
// Removed   exactly 1  remove once the parent is gone   (the device is deleted)
//
// A bus driver deletes a child only once it no longer reports it: the child of a present USB
// device outlives a remove of its own (a disable), and goes with its parent.
#include "transport/transport.h"
#include "usb/usb.h"

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static NTSTATUS CompleteAsCarried(PIRP Irp) {
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// Units up to and including the first zero.
static SIZE_T StringUnits(PCWSTR Text) {
  SIZE_T n = 0;
  while (Text[n] != 0) n++;
  return n + 1;
}

// Units up to and including the zero that closes the list.
static SIZE_T MultiStringUnits(PCWSTR List) {
  if (List[0] == 0) return 1;
  SIZE_T n = 0;
  for (;;) {
    while (List[n] != 0) n++;
    n++;
    if (List[n] == 0) return n + 1;
  }
}

// Copies `Units` characters into paged pool for the PnP manager, which frees the block. No
// memory means the query fails: a successful answer without its string would name nothing.
static NTSTATUS AnswerCopy(PIRP Irp, PCWSTR Source, SIZE_T Units) {
  SIZE_T bytes = Units * sizeof(WCHAR);
  PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, DRIVER_POOL_TAG));
  if (copy == NULL) {
    Irp->IoStatus.Information = 0;
    return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  RtlCopyMemory(copy, Source, bytes);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return Complete(Irp, STATUS_SUCCESS);
}

static NTSTATUS QueryId(PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo) {
  PCWSTR ids = LookupProduct(Pdo->Parent, PRODUCT_COLUMN_HARDWARE_ID);
  // Read as the signed word it is: the type may hold values outside the enumeration.
  LONG type;
  RtlCopyMemory(&type, &Stack->Parameters.QueryId.IdType, sizeof type);
  switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
      return AnswerCopy(Irp, ids, MultiStringUnits(ids));
    case BusQueryCompatibleIDs:
      Irp->IoStatus.Information = 0;
      return Complete(Irp, STATUS_SUCCESS);
    case BusQueryInstanceID: {
      // The instance is the part after the bus prefix; an ID without one is its own instance.
      SIZE_T total = MultiStringUnits(ids);
      SIZE_T start = 0;
      while (ids[start] != 0 && ids[start] != '\\') start++;
      start = ids[start] == '\\' ? start + 1 : 0;
      return AnswerCopy(Irp, ids + start, total - start);
    }
    default:
      return Complete(Irp, STATUS_SUCCESS);
  }
}

static NTSTATUS QueryText(PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo) {
  if (Stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) return Complete(Irp, STATUS_SUCCESS);
  PCWSTR text = LookupProduct(Pdo->Parent, PRODUCT_COLUMN_DEVICE_TEXT);
  return AnswerCopy(Irp, text, StringUnits(text));
}

static NTSTATUS TargetRelation(PIRP Irp, PdoExtension* Pdo) {
  // Room for the count, one device and one more, as the PnP manager's own lists are sized.
  SIZE_T bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 2 * sizeof(PDEVICE_OBJECT);
  PDEVICE_RELATIONS relations =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(NonPagedPool, bytes, DRIVER_POOL_TAG));
  if (relations == NULL) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
  relations->Count = 1;
  relations->Objects[0] = Pdo->Self;
  ObfReferenceObject(Pdo->Self);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return Complete(Irp, STATUS_SUCCESS);
}

static NTSTATUS Capabilities(PIRP Irp, PIO_STACK_LOCATION Stack) {
  PDEVICE_CAPABILITIES caps = Stack->Parameters.DeviceCapabilities.Capabilities;
  caps->Size = sizeof(DEVICE_CAPABILITIES);
  caps->Version = 1;
  caps->LockSupported = 0;
  caps->EjectSupported = 0;
  caps->DockDevice = 0;
  caps->Removable = 1;
  caps->UniqueID = 1;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;
  return Complete(Irp, STATUS_SUCCESS);
}

VOID DeleteChild(FdoExtension* Parent, PDEVICE_OBJECT Child) {
  // The receive path walks the child's reader slot under RxLock while ChildCount says there is
  // one: dropping the count under the same lock means no completion routine is still in this
  // extension once the device goes.
  KIRQL irql;
  KeAcquireSpinLock(&Parent->RxLock, &irql);
  if (Parent->ChildExtension != NULL && Parent->ChildExtension->Self == Child) Parent->ChildCount = 0;
  KeReleaseSpinLock(&Parent->RxLock, irql);
  IoDeleteDevice(Child);
}

static NTSTATUS RemoveChild(PDEVICE_OBJECT DeviceObject, PIRP Irp, PdoExtension* Pdo) {
  WritePdoFlags(Pdo, PDO_REMOVED);
  FdoExtension* parent = FdoExt(Pdo->Parent);
  // Whoever waits in the child's reader slot is told the device went.
  FailWaitingReads(parent, FALSE, TRUE, STATUS_DELETE_PENDING);
  // Still reported (the parent counts it and is not going away): kept for a later start.
  KIRQL irql;
  KeAcquireSpinLock(&parent->RxLock, &irql);
  BOOLEAN reported = parent->ChildCount != 0 && parent->ChildExtension->Self == DeviceObject;
  KeReleaseSpinLock(&parent->RxLock, irql);
  if (!reported || (ReadFdoFlags(parent) & FDO_REMOVED) != 0) DeleteChild(parent, DeviceObject);
  return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS PdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PdoExtension* Pdo) {
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      // A disabled child starts again as it was first started.
      WritePdoFlags(Pdo, (ReadPdoFlags(Pdo) & ~static_cast<ULONG>(PDO_REMOVED)) | PDO_STARTED);
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
      WritePdoFlags(Pdo, ReadPdoFlags(Pdo) & ~static_cast<ULONG>(PDO_STARTED));
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveChild(DeviceObject, Irp, Pdo);
    case IRP_MN_SURPRISE_REMOVAL:
      // A bus driver may not fail a surprise removal; the remove that follows does the work.
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) return TargetRelation(Irp, Pdo);
      return CompleteAsCarried(Irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return Capabilities(Irp, Stack);
    case IRP_MN_QUERY_DEVICE_TEXT:
      return QueryText(Irp, Stack, Pdo);
    case IRP_MN_QUERY_ID:
      return QueryId(Irp, Stack, Pdo);
    default:
      return CompleteAsCarried(Irp);
  }
}
