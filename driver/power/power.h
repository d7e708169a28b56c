// Power on both devices: the function device's requests, the idle policy, the child's requests.
#pragma once

#include "core/driver.h"

// FdoExtension.WaitWakeState: who holds the armed wait-wake request's address.
#define WAIT_WAKE_IDLE 0        // none is below
#define WAIT_WAKE_BELOW 1       // below, and only its own path will touch it
#define WAIT_WAKE_CANCELLING 2  // a removal or stop is cancelling it; its path waits for that
#define WAIT_WAKE_CANCELLED 3   // the cancel has returned

// The power words of the function device are written in one thread and read in others
// (completion routines, the idle policy, removal): whole-word interlocked accesses.
static inline ULONG ReadPowerWord(ULONG* Word) {
  return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(Word), 0));
}
static inline VOID WritePowerWord(ULONG* Word, ULONG Value) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(Word), static_cast<LONG>(Value));
}
static inline PIRP ReadPendingSystemPowerIrp(FdoExtension* Fdo) {
  return static_cast<PIRP>(
      InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&Fdo->PendingSystemPowerIrp), NULL, NULL));
}
static inline PIRP ExchangePendingSystemPowerIrp(FdoExtension* Fdo, PIRP Irp) {
  return static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Fdo->PendingSystemPowerIrp), Irp));
}

// --- power/fdo_power.cpp ---
VOID NTAPI ForwardSystemPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Cancels the wait-wake request held below, if one is: a device about to be removed or stopped
// must not wait on it. Returns once the cancel call has returned.
VOID CancelWaitWake(FdoExtension* Fdo);

// --- power/idle.cpp ---
// Lowers OpenPipeCount by `By`, never below 0.
VOID LowerOpenPipeCount(FdoExtension* Fdo, LONG By);
NTSTATUS RequestIdlePower(PDEVICE_OBJECT DeviceObject, BOOLEAN PowerDown);
NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, ULONG State);
VOID NTAPI SetDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus);

// --- power/pdo_power.cpp ---
VOID NTAPI PdoSystemPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus);
