// The child device's client requests: byte-stream opens, reads and writes, the internal codes and
// the direct-call interface.
#pragma once

#include "core/driver.h"
// After the platform's headers, as a client includes it.
#include "client/usbmidi_client.h"

// --- client/client_io.cpp ---
OpenContext* CreateOpenContext(FdoExtension* Fdo);
VOID FreeOpenContext(FdoExtension* Fdo, OpenContext* Context);
VOID NTAPI ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The child is disabled, or its USB device is gone or going: nothing more is read.
BOOLEAN ClientGone(PdoExtension* Pdo);
// Serves a read from one reader slot: at once with what waits, or left waiting with `Cancel`.
// `Busy` answers a read that finds another already waiting in the slot.
NTSTATUS PlaceRead(FdoExtension* Fdo, PdoExtension* Pdo, PIRP Irp, PIRP* Pending, ULONG* ReadIndex, PUCHAR* Buffer,
                   ULONG* Length, PUCHAR Destination, ULONG Capacity, PDRIVER_CANCEL Cancel, NTSTATUS Busy);

// --- client/control.cpp ---
VOID NTAPI InternalReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
