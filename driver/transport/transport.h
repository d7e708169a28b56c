// The transfer packet pool and the byte paths built on it.
#pragma once

#include "core/driver.h"

// TransferPacket.PacketFlags
#define PACKET_IN_USE 0x1
#define PACKET_CONTINUOUS_READ 0x2

// Continuous bulk-in reads an open stream keeps in flight.
#define CONTINUOUS_READS 2

// The bulk pipes a running stream uses (its share of OpenPipeCount).
#define STREAM_PIPES 2

// FdoExtension.StreamState
#define STREAM_NEVER_STARTED 0
#define STREAM_START_SENT 1
#define STREAM_STOP_SENT 2

#define START_MESSAGE_LENGTH 9
#define STOP_MESSAGE_LENGTH 10
extern const UCHAR StartMessage[START_MESSAGE_LENGTH];
extern const UCHAR StopMessage[STOP_MESSAGE_LENGTH];

// A pooled bulk transfer: its own IRP, its URB and a receive buffer. The IRP has exactly the
// lower device's stack locations (none for us), so completion routines get no device object and
// find the function device through Device.
struct TransferPacket {
  TransferPacket* NextFree;                       // next on FreePacketList while free
  TransferPacket* NextAll;                        // next in the chain of all packets
  ULONG PacketFlags;                              // PACKET_* bits
  PDEVICE_OBJECT Device;                          // the function device owning the pool
  PIRP Irp;                                       // owned, freed only at removal
  struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;     // refilled before every use
  UCHAR Buffer[PACKET_SIZE];                      // continuous-read receive buffer
};

// --- usb/config.cpp ---
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);

// --- transport/packet_pool.cpp ---
VOID BuildPacketPool(PDEVICE_OBJECT DeviceObject);
TransferPacket* TakePacket(PDEVICE_OBJECT DeviceObject);
// A free packet if one is there at once, else NULL; callable at DISPATCH_LEVEL.
TransferPacket* TryTakePacket(PDEVICE_OBJECT DeviceObject);
VOID ReturnPacket(PDEVICE_OBJECT DeviceObject, TransferPacket* Packet);
VOID ReleasePacketPool(PDEVICE_OBJECT DeviceObject);
// At removal, with `Reclaimed` packets taken back: when others are still out, leaves the pool and
// the device to the last of them (TRUE); FALSE when none is out.
BOOLEAN OrphanPoolIfPacketsOut(PDEVICE_OBJECT DeviceObject, ULONG Reclaimed);
NTSTATUS WaitForObjectMs(PVOID Object, ULONG Milliseconds);

// --- transport/transmit.cpp ---
NTSTATUS SendBytes(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length);
ULONG NTAPI QueueBytes(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length);
VOID NTAPI WriterThread(PVOID Context);
NTSTATUS DelayMs(ULONG Milliseconds);

// --- transport/receive.cpp ---
NTSTATUS SubmitRead(PDEVICE_OBJECT DeviceObject, TransferPacket* Packet);
NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
PIRP DistributeRx(FdoExtension* Fdo);
// Under RxLock: moves what a reader has not seen into its request, up to `Length` in all.
VOID CopyToReader(FdoExtension* Fdo, PIRP Irp, ULONG* ReadIndex, PUCHAR* Buffer, ULONG Length);
// Completes with `Status` every waiting read of the opens and/or of the child's slot, once its
// cancel routine has been taken back; a read whose cancel has begun is left to its cancel routine,
// and this returns only after that routine has cleared the slot. PASSIVE_LEVEL.
VOID FailWaitingReads(FdoExtension* Fdo, BOOLEAN Opens, BOOLEAN Child, NTSTATUS Status);
// Brings the continuous reads of an open stream back to CONTINUOUS_READS on a ready device.
VOID TopUpReads(PDEVICE_OBJECT DeviceObject);

// --- transport/stream.cpp ---
// The new OpenCount; 0 when the open is refused.
ULONG OpenStream(FdoExtension* Fdo);
VOID CloseStream(FdoExtension* Fdo);
NTSTATUS StartStream(FdoExtension* Fdo);
NTSTATUS StopStream(FdoExtension* Fdo);
NTSTATUS NTAPI QueueStreamMessage(PDEVICE_OBJECT DeviceObject, ULONG Stop);

// --- transport/teardown.cpp ---
// Ends the writer thread and takes every packet back from the USB stack, so that removal can
// free the pool. FALSE when a packet did not come back in time: the pool then belongs to the
// packets still out, and the last of them frees it and releases the device.
BOOLEAN StopTransportForRemoval(PDEVICE_OBJECT DeviceObject);
