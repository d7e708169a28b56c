// The idle power policy: the driver's own device set-power requests, down to IdlePowerState after
// the last close and up to D0 before the stream is used again.
//
// One own request is under way at a time; PowerRequestPending marks it from the moment its turn
// is taken (an interlocked or, whose previous value decides) until its callback has run. A
// power-down finding a request under way does nothing; a power-up waits for its turn on
// PowerGateEvent, so that it never runs ahead of a power-down still going down, and then waits
// for its own request on PowerUpEvent, which it clears before asking.
//
// OpenPipeCount counts the bulk pipes an open stream uses: raised when the stream starts (before
// its power-up), lowered when it stops (before its power-down) and when the pipes are aborted. A
// power-down goes on only while no stream uses the pipes, a power-up only while one does.
#include "power/power.h"

VOID LowerOpenPipeCount(FdoExtension* Fdo, LONG By) {
  LONG open = InterlockedOr(&Fdo->OpenPipeCount, 0);
  for (;;) {
    LONG lowered = open > By ? open - By : 0;
    if (lowered == open) return;
    LONG seen = InterlockedCompareExchange(&Fdo->OpenPipeCount, lowered, open);
    if (seen == open) return;
    open = seen;
  }
}

static BOOLEAN TryTakePowerTurn(FdoExtension* Fdo) {
  LONG previous = InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->Flags), FDO_POWER_REQUEST_PENDING);
  return (static_cast<ULONG>(previous) & FDO_POWER_REQUEST_PENDING) == 0;
}

static VOID WaitForPowerTurn(FdoExtension* Fdo) {
  while (!TryTakePowerTurn(Fdo)) {
    KeWaitForSingleObject(&Fdo->PowerGateEvent, Suspended, KernelMode, FALSE, NULL);
  }
}

// The gate is a synchronization event: each release lets one waiter try again.
static VOID GivePowerTurnBack(FdoExtension* Fdo) {
  ClearFdoFlags(Fdo, FDO_POWER_REQUEST_PENDING);
  KeSetEvent(&Fdo->PowerGateEvent, EVENT_INCREMENT, FALSE);
}

NTSTATUS RequestIdlePower(PDEVICE_OBJECT DeviceObject, BOOLEAN PowerDown) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (!IsReady(DeviceObject)) return STATUS_DELETE_PENDING;
  if (ReadPendingSystemPowerIrp(fdo) != NULL) return STATUS_SUCCESS;
  LONG pipesInUse = InterlockedOr(&fdo->OpenPipeCount, 0);
  if (PowerDown ? pipesInUse != 0 : pipesInUse == 0) return STATUS_SUCCESS;
  ULONG idle = ReadPowerWord(&fdo->IdlePowerState);
  if (idle < PowerDeviceD1 || idle > PowerDeviceD3) return STATUS_SUCCESS;
  if (PowerDown) {
    if (!TryTakePowerTurn(fdo)) return STATUS_SUCCESS;
    return SetDevicePower(DeviceObject, idle);
  }
  WaitForPowerTurn(fdo);
  return SetDevicePower(DeviceObject, PowerDeviceD0);
}

// Called with the power turn taken; gives it back, or leaves that to the request's callback.
NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, ULONG State) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (State == ReadPowerWord(&fdo->DevicePowerState)) {
    GivePowerTurnBack(fdo);
    return STATUS_SUCCESS;
  }
  BOOLEAN powerUp = State == PowerDeviceD0;
  AcquireIo(DeviceObject);
  if (powerUp) KeClearEvent(&fdo->PowerUpEvent);
  POWER_STATE state;
  state.DeviceState = static_cast<DEVICE_POWER_STATE>(State);
  NTSTATUS status =
      PoRequestPowerIrp(fdo->PhysicalDevice, IRP_MN_SET_POWER, state, SetDevicePowerDone, DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    // No request, so no callback: undo what it would have undone.
    GivePowerTurnBack(fdo);
    ReleaseIo(DeviceObject);
    return status;
  }
  if (powerUp) KeWaitForSingleObject(&fdo->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
  return STATUS_SUCCESS;
}

VOID NTAPI SetDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_OBJECT fdoObject = static_cast<PDEVICE_OBJECT>(Context);
  FdoExtension* fdo = FdoExt(fdoObject);
  // The turn goes back before the power-up's waiter is woken: woken first, it could return, stop
  // the stream and find the turn still taken, and its power-down would be dropped for good.
  GivePowerTurnBack(fdo);
  if (PowerState.DeviceState == PowerDeviceD0) KeSetEvent(&fdo->PowerUpEvent, EVENT_INCREMENT, FALSE);
  ReleaseIo(fdoObject);
}
