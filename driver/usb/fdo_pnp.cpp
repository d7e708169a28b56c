// Plug and Play on the function device.
//
// State         Flags                     Entered by                    Left by
// Added         none                      AddDevice                     start
// Started       Started                   start (configuration ran)     query-remove/stop, stop, removal
// RemovePending Started|RemovePending     query-remove when started     cancel-remove, remove
// StopPending   Started|StopPending       query-stop when started       cancel-stop, stop
// Stopped       none                      stop that unconfigured        start
// Removed       +Removed                  surprise removal, remove      remove deletes the device
//
// IsReady is true in Started only. A stop whose unconfigure fails is Started again.
//
// An armed wait-wake holds an activity reference for as long as it is below: every request that
// leads towards a stop or a removal cancels it first, so that none of them waits on it.
#include "power/power.h"
#include "usb/usb.h"
#include "transport/transport.h"

static NTSTATUS PassDown(FdoExtension* Fdo, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Fdo->LowerDevice, Irp);
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Waits until every request in flight but the base reference has given its reference back.
// IdleEvent stays set from any earlier quiet moment, so it is re-armed under the counter's lock
// whenever others still hold references: a release to 1 after that point sets it again.
static VOID WaitForOtherRequests(PDEVICE_OBJECT DeviceObject, FdoExtension* Fdo) {
  ReleaseIo(DeviceObject);  // this request's own reference must not count as activity
  KIRQL irql;
  KeAcquireSpinLock(&Fdo->IoCountLock, &irql);
  BOOLEAN busy = Fdo->IoCount > 1;
  if (busy) KeClearEvent(&Fdo->IdleEvent);
  KeReleaseSpinLock(&Fdo->IoCountLock, irql);
  if (busy) KeWaitForSingleObject(&Fdo->IdleEvent, Executive, KernelMode, FALSE, NULL);
  AcquireIo(DeviceObject);
}

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoExtension* Fdo) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
  if (IofCallDriver(Fdo->LowerDevice, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  // The lower drivers' verdict is not consulted: a device they could not start fails its
  // configuration requests instead, and that status is what the start reports.
  NTSTATUS status = ConfigureOnStart(DeviceObject);
  // A stream open across a stop gets its reads back on the new pipes.
  TopUpReads(DeviceObject);
  return Complete(Irp, status);
}

static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoExtension* Fdo) {
  ReleaseIo(DeviceObject);
  SetFdoFlags(Fdo, FDO_REMOVED);
  CancelWaitWake(Fdo);
  FailWaitingReads(Fdo, TRUE, TRUE, STATUS_DELETE_PENDING);
  AbortPipes(DeviceObject);
  NTSTATUS status = PassDown(Fdo, Irp);
  ReleaseIo(DeviceObject);  // the base reference from AddDevice
  KeWaitForSingleObject(&Fdo->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  ReleaseOnRemove(DeviceObject);
  // The child goes with its parent: it had its own remove while still reported (kept, as a bus
  // driver keeps a present child), or was never reported at all (its relations answer failed).
  if (Fdo->ChildCount != 0) {
    PdoExtension* child = Fdo->ChildExtension;
    WritePdoFlags(child, PDO_REMOVED);
    DeleteChild(Fdo, child->Self);
  }
  IoDetachDevice(Fdo->LowerDevice);
  IoDeleteDevice(DeviceObject);
  return status;
}

static NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoExtension* Fdo) {
  ReleaseIo(DeviceObject);
  SetFdoFlags(Fdo, FDO_REMOVED);
  CancelWaitWake(Fdo);
  // Nobody waits for bytes from a device that is gone.
  FailWaitingReads(Fdo, TRUE, TRUE, STATUS_DELETE_PENDING);
  AbortPipes(DeviceObject);
  return PassDown(Fdo, Irp);
}

// A send that found the device ready before the query still uses the pipes. Its transfers are
// ended (a device that never takes them would otherwise hold the stop or the query-remove for
// ever) and every other request is waited for, so that the configuration goes only once nothing
// holds its pipe handles. A cancelled query-remove tops the reads the abort ended back up.
static VOID EndSendsInFlight(PDEVICE_OBJECT DeviceObject, FdoExtension* Fdo) {
  KIRQL irql;
  KeAcquireSpinLock(&Fdo->IoCountLock, &irql);
  // The base reference and this request's own are always there.
  BOOLEAN busy = Fdo->IoCount > 2;
  KeReleaseSpinLock(&Fdo->IoCountLock, irql);
  if (!busy) return;
  AbortPipes(DeviceObject);
  WaitForOtherRequests(DeviceObject, Fdo);
}

static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoExtension* Fdo) {
  CancelWaitWake(Fdo);
  EndSendsInFlight(DeviceObject, Fdo);
  NTSTATUS status = UnconfigureDevice(DeviceObject);
  if (NT_SUCCESS(status)) return PassDown(Fdo, Irp);
  // Started again: the reads an abort ended come back.
  TopUpReads(DeviceObject);
  return Complete(Irp, status);
}

// Our child goes after whatever a driver above already reported.
static NTSTATUS AnswerBusRelations(PIRP Irp, FdoExtension* Fdo) {
  PDEVICE_RELATIONS old = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
  ULONG k = old != NULL ? old->Count : 0;
  ULONG count = k + Fdo->ChildCount;
  SIZE_T bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * (count != 0 ? count : 1);
  PDEVICE_RELATIONS relations =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(NonPagedPool, bytes, DRIVER_POOL_TAG));
  if (relations == NULL) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
  for (ULONG i = 0; i < k; i++) relations->Objects[i] = old->Objects[i];
  relations->Count = count;
  for (ULONG i = 0; i < Fdo->ChildCount; i++) {
    PDEVICE_OBJECT child = Fdo->ChildExtension[i].Self;
    relations->Objects[k + i] = child;
    ObfReferenceObject(child);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  if (old != NULL) ExFreePool(old);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return PassDown(Fdo, Irp);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo) {
  AcquireIo(DeviceObject);
  BOOLEAN started = (ReadFdoFlags(Fdo) & FDO_STARTED) != 0;
  NTSTATUS status;
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = StartDevice(DeviceObject, Irp, Fdo);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (started) {
        SetFdoFlags(Fdo, FDO_REMOVE_PENDING);
        CancelWaitWake(Fdo);
        EndSendsInFlight(DeviceObject, Fdo);
      }
      status = PassDown(Fdo, Irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp, Fdo);
    case IRP_MN_SURPRISE_REMOVAL:
      return SurpriseRemoval(DeviceObject, Irp, Fdo);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (started) ClearFdoFlags(Fdo, FDO_REMOVE_PENDING);
      TopUpReads(DeviceObject);  // the reads that ended while the removal was in question
      status = PassDown(Fdo, Irp);
      break;
    case IRP_MN_STOP_DEVICE:
      status = StopDevice(DeviceObject, Irp, Fdo);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      if (started) {
        SetFdoFlags(Fdo, FDO_STOP_PENDING);
        CancelWaitWake(Fdo);
      }
      status = PassDown(Fdo, Irp);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (started) ClearFdoFlags(Fdo, FDO_STOP_PENDING);
      TopUpReads(DeviceObject);
      status = PassDown(Fdo, Irp);
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        status = AnswerBusRelations(Irp, Fdo);
      } else {
        status = PassDown(Fdo, Irp);
      }
      break;
    default:
      status = PassDown(Fdo, Irp);
      break;
  }
  ReleaseIo(DeviceObject);
  return status;
}
