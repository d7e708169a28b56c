// Power requests on the function device, the power policy owner of the USB device.
//
// Every request goes on to the USB device's stack. A system set-power request that needs another
// device state is held while the driver's own device request for that state runs; the held
// request goes down from that request's callback. A wait-wake request waits here, in its sender's
// thread, for as long as the lower drivers keep it.
//
// Wait-wake         WaitWakeState   Entered by                       Left by
// none below        IDLE            creation, the path's end         an accepted wait-wake
// below             BELOW           an accepted wait-wake            its return, or CancelWaitWake
// being cancelled   CANCELLING      CancelWaitWake                   the cancel call's return
// cancelled         CANCELLED       the cancel call's return         the path's end (back to IDLE)
#include "power/power.h"
#include "transport/transport.h"
#include "usb/usb.h"

// Copies the location down (control cleared), lets the next power request in, and sends it on.
static NTSTATUS PassPowerDown(FdoExtension* Fdo, PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (Routine != NULL) IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(Fdo->LowerDevice, Irp);
}

static NTSTATUS CompletePower(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

VOID CancelWaitWake(FdoExtension* Fdo) {
  if (InterlockedCompareExchange(&Fdo->WaitWakeState, WAIT_WAKE_CANCELLING, WAIT_WAKE_BELOW) != WAIT_WAKE_BELOW) {
    return;
  }
  // The request cannot be gone yet: its own path waits for CANCELLED before completing it.
  IoCancelIrp(Fdo->WaitWakeIrp);
  InterlockedExchange(&Fdo->WaitWakeState, WAIT_WAKE_CANCELLED);
}

static NTSTATUS WaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp, FdoExtension* Fdo) {
  ULONG wake = RawPowerState(&Fdo->Capabilities.DeviceWake);
  WritePowerWord(&Fdo->IdlePowerState, wake);
  ULONG present = ReadPowerWord(&Fdo->DevicePowerState);
  if (present == PowerDeviceD0 || wake > present) {
    CompletePower(Irp, STATUS_INVALID_DEVICE_STATE);
    ReleaseIo(DeviceObject);
    return STATUS_INVALID_DEVICE_STATE;
  }
  // A device being stopped or removed arms nothing: its removal would then wait on the request.
  if (!IsReady(DeviceObject)) {
    CompletePower(Irp, STATUS_DELETE_PENDING);
    ReleaseIo(DeviceObject);
    return STATUS_DELETE_PENDING;
  }
  SetFdoFlags(Fdo, FDO_WAIT_WAKE_ARMED);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Fdo->WaitWakeIrp = Irp;
  InterlockedExchange(&Fdo->WaitWakeState, WAIT_WAKE_BELOW);
  if (PassPowerDown(Fdo, Irp, SignalEventCompletion, &event) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
  }
  // Back from below. A canceller that took the request's address is let finish with it first.
  if (InterlockedCompareExchange(&Fdo->WaitWakeState, WAIT_WAKE_IDLE, WAIT_WAKE_BELOW) != WAIT_WAKE_BELOW) {
    while (InterlockedCompareExchange(&Fdo->WaitWakeState, WAIT_WAKE_IDLE, WAIT_WAKE_CANCELLED) !=
           WAIT_WAKE_CANCELLED) {
      DelayMs(1);
    }
  }
  Fdo->WaitWakeIrp = NULL;
  RequestIdlePower(DeviceObject, FALSE);
  ClearFdoFlags(Fdo, FDO_WAIT_WAKE_ARMED);
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  ReleaseIo(DeviceObject);
  return status;
}

// The device state a system state asks for. An out-of-range system state (no such state) or a
// capability left unfilled is taken as the deepest state rather than read past the table or
// requested as "unspecified".
static ULONG DeviceStateFor(FdoExtension* Fdo, ULONG System) {
  if (System == PowerSystemWorking) return PowerDeviceD0;
  if ((ReadFdoFlags(Fdo) & FDO_WAIT_WAKE_ARMED) == 0) return PowerDeviceD3;
  if (System <= PowerSystemUnspecified || System >= PowerSystemMaximum) return PowerDeviceD3;
  ULONG state = RawPowerState(&Fdo->Capabilities.DeviceState[System]);
  if (state < PowerDeviceD0 || state > PowerDeviceD3) return PowerDeviceD3;
  return state;
}

static NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo) {
  ULONG system = RawPowerState(&Stack->Parameters.Power.State);
  ULONG device = DeviceStateFor(Fdo, system);
  if (device == ReadPowerWord(&Fdo->DevicePowerState)) {
    NTSTATUS status = PassPowerDown(Fdo, Irp, NULL, NULL);
    ReleaseIo(DeviceObject);
    return status;
  }
  ExchangePendingSystemPowerIrp(Fdo, Irp);
  IoMarkIrpPending(Irp);
  POWER_STATE state;
  state.DeviceState = static_cast<DEVICE_POWER_STATE>(device);
  NTSTATUS status = PoRequestPowerIrp(Fdo->PhysicalDevice, IRP_MN_SET_POWER, state, ForwardSystemPowerIrp,
                                      DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    // No device request: the system request must still go down, never be lost or failed here.
    ExchangePendingSystemPowerIrp(Fdo, NULL);
    PassPowerDown(Fdo, Irp, NULL, NULL);
    ReleaseIo(DeviceObject);
  }
  // The count taken on entry is ForwardSystemPowerIrp's to release.
  return STATUS_PENDING;
}

VOID NTAPI ForwardSystemPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_OBJECT fdoObject = static_cast<PDEVICE_OBJECT>(Context);
  FdoExtension* fdo = FdoExt(fdoObject);
  // Taken and cleared before the request goes on: once it has, the next system request may
  // arrive and be held here, and after the release the device may be gone.
  PIRP irp = ExchangePendingSystemPowerIrp(fdo, NULL);
  PassPowerDown(fdo, irp, NULL, NULL);
  ReleaseIo(fdoObject);
}

static NTSTATUS DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo) {
  ULONG device = RawPowerState(&Stack->Parameters.Power.State);
  if (device == PowerDeviceD0) return PassPowerDown(Fdo, Irp, PowerUpCompletion, DeviceObject);
  if (device >= PowerDeviceD1 && device <= PowerDeviceD3) WritePowerWord(&Fdo->DevicePowerState, device);
  NTSTATUS status = PassPowerDown(Fdo, Irp, NULL, NULL);
  ReleaseIo(DeviceObject);
  return status;
}

NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  PDEVICE_OBJECT fdoObject = static_cast<PDEVICE_OBJECT>(Context);
  FdoExtension* fdo = FdoExt(fdoObject);
  WritePowerWord(&fdo->DevicePowerState, PowerDeviceD0);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  // A stream that was open across the low-power state gets its reads back.
  TopUpReads(fdoObject);
  ReleaseIo(fdoObject);
  return STATUS_SUCCESS;
}

NTSTATUS FdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FdoExtension* Fdo) {
  AcquireIo(DeviceObject);
  switch (Stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWake(DeviceObject, Irp, Fdo);
    case IRP_MN_SET_POWER:
      if (Stack->Parameters.Power.Type == SystemPowerState) return SystemSetPower(DeviceObject, Irp, Stack, Fdo);
      return DeviceSetPower(DeviceObject, Irp, Stack, Fdo);
    default: {
      NTSTATUS status = PassPowerDown(Fdo, Irp, NULL, NULL);
      ReleaseIo(DeviceObject);
      return status;
    }
  }
}
