// The transmit path: synchronous 32-byte bulk-out transfers, and the transmit ring emptied by
// the writer thread.
//
// Ring ownership: TxWriteIndex is the producer's (QueueBytes, one caller at a time under
// TxProducerMutex), TxReadIndex the writer thread's; TxCount is shared and changes only by
// interlocked add after the copy and interlocked subtract after the send, so bytes being sent
// stay reserved until they are out.
#include "transport/transport.h"

static ULONG ReadTxCount(FdoExtension* Fdo) {
  return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->TxCount), 0));
}

static VOID AddTxCount(FdoExtension* Fdo, LONG Delta) {
  InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&Fdo->TxCount), Delta);
}

// The send holds an activity reference from before its first look at the device's state to its
// last transfer: a stop waits for it before the pipes it uses are given up, and one that comes
// after the stop began finds the device not ready without touching the pipe handle that a
// restart is rewriting.
static NTSTATUS SendWhileReady(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length);

NTSTATUS SendBytes(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length) {
  AcquireIo(DeviceObject);
  NTSTATUS status = SendWhileReady(DeviceObject, Bytes, Length);
  ReleaseIo(DeviceObject);
  return status;
}

static NTSTATUS SendWhileReady(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (Length != 0 && !IsReady(DeviceObject)) return STATUS_INSUFFICIENT_RESOURCES;
  if (fdo->BulkOutPipe == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  TransferPacket* packet = TakePacket(DeviceObject);
  if (packet == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS result = STATUS_SUCCESS;
  ULONG remaining = Length;
  const UCHAR* cursor = Bytes;
  UCHAR padded[PACKET_SIZE];
  while (remaining != 0) {
    if (!IsReady(DeviceObject)) break;
    ULONG piece = remaining < PACKET_SIZE ? remaining : PACKET_SIZE;
    PVOID data = const_cast<UCHAR*>(cursor);
    if (piece < PACKET_SIZE) {
      // The device takes whole 32-byte transfers; a short last piece is padded with 0xFF.
      RtlCopyMemory(padded, cursor, piece);
      RtlFillMemory(padded + piece, PACKET_SIZE - piece, 0xFF);
      data = padded;
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &packet->Urb;
    urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = fdo->BulkOutPipe;
    urb->TransferFlags = USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = PACKET_SIZE;
    urb->TransferBuffer = data;
    urb->TransferBufferMDL = NULL;
    urb->UrbLink = NULL;
    result = SubmitUrb(DeviceObject, reinterpret_cast<PURB>(urb));
    if (!NT_SUCCESS(result)) break;
    // Only the caller's bytes count down: the padding is not part of the send.
    remaining -= piece;
    cursor += piece;
  }
  ReturnPacket(DeviceObject, packet);
  if (remaining != 0) result = STATUS_INSUFFICIENT_RESOURCES;
  return result;
}

// A writer thread drains the ring while the stream runs; without one a full ring never empties.
static BOOLEAN WriterRunning(FdoExtension* Fdo) {
  return (ReadFdoFlags(Fdo) & FDO_STREAM_RUNNING) != 0 &&
         InterlockedCompareExchangePointer(&Fdo->WriterThread, NULL, NULL) != NULL;
}

ULONG NTAPI QueueBytes(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length) {
  if (Length == 0) return 0;
  FdoExtension* fdo = FdoExt(DeviceObject);
  KeWaitForSingleObject(&fdo->TxProducerMutex, Executive, KernelMode, FALSE, NULL);
  ULONG accepted = 0;
  for (;;) {
    ULONG room = TX_RING_SIZE - ReadTxCount(fdo);
    ULONG toEnd = TX_RING_SIZE - fdo->TxWriteIndex;
    ULONG piece = Length - accepted;
    if (piece > room) piece = room;
    if (piece > toEnd) piece = toEnd;
    if (piece != 0) {
      RtlCopyMemory(fdo->TxRing + fdo->TxWriteIndex, Bytes + accepted, piece);
      fdo->TxWriteIndex = (fdo->TxWriteIndex + piece) % TX_RING_SIZE;
      AddTxCount(fdo, static_cast<LONG>(piece));
      accepted += piece;
      if (accepted == Length) break;
    }
    if (ReadTxCount(fdo) == TX_RING_SIZE) {
      // Full: wait for the writer thread to make room, but only if there is one to wait for.
      if (!WriterRunning(fdo)) break;
      DelayMs(50);
    }
  }
  KeReleaseMutex(&fdo->TxProducerMutex, FALSE);
  return accepted;
}

VOID NTAPI WriterThread(PVOID Context) {
  FdoExtension* fdo = static_cast<FdoExtension*>(Context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  for (;;) {
    // Queued bytes are not signalled: the 2 ms wake bounds their latency.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20000;
    KeWaitForSingleObject(&fdo->TxEvent, Executive, KernelMode, FALSE, &timeout);
    ULONG count;
    while ((count = ReadTxCount(fdo)) != 0) {
      ULONG run = count;
      if (run > TX_RING_SIZE - fdo->TxReadIndex) run = TX_RING_SIZE - fdo->TxReadIndex;
      // A failed run is dropped: the producer has long returned and cannot be told.
      SendBytes(fdo->Self, fdo->TxRing + fdo->TxReadIndex, run);
      fdo->TxReadIndex = (fdo->TxReadIndex + run) % TX_RING_SIZE;
      AddTxCount(fdo, -static_cast<LONG>(run));
    }
    if ((ReadFdoFlags(fdo) & FDO_STREAM_RUNNING) == 0) break;
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS DelayMs(ULONG Milliseconds) {
  LARGE_INTEGER until;
  KeQuerySystemTime(&until);
  until.QuadPart += static_cast<LONGLONG>(Milliseconds) * 10000;
  return KeDelayExecutionThread(KernelMode, FALSE, &until);
}
