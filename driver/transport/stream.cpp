// The stream: started by the first open, stopped by the last close, with its two messages.
//
// State     OpenCount  StreamRunning  Writer thread                 Entered by
// Stopped   0          clear          none                          creation, the last close, a failed start
// Running   1 or more  set            running (unless not created)  a first open whose start succeeded
//
// StreamMutex makes each count change and the start or stop it triggers one step. The writer
// thread lives from a start to the stop after it: the last close waits for it once the ring has
// drained; a writer still sending (a transfer that does not end) is left referenced in
// WriterThread, for the next start or the removal to wait for, so that two writers never share
// the ring and the extension outlives every one of them.
#include "power/power.h"
#include "transport/transport.h"

const UCHAR StartMessage[START_MESSAGE_LENGTH] = {0xF0, 0x00, 0x2F, 0x5A, 0x64, 0x0B, 0x00, 0x00, 0xF7};
const UCHAR StopMessage[STOP_MESSAGE_LENGTH] = {0xF0, 0x00, 0x2F, 0x5A, 0x64, 0x10, 0x00, 0x7F, 0x40, 0xF7};

// How long a start waits for a writer of an earlier run that is still sending, and how long a
// stop waits for its writer to end once the ring is empty: a writer that has nothing left ends
// within its 2 ms wake.
#define WRITER_END_WAIT_MS 1000

static VOID SetStreamState(FdoExtension* Fdo, ULONG State) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&Fdo->StreamState), static_cast<LONG>(State));
}

static ULONG ReadStreamState(FdoExtension* Fdo) {
  return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->StreamState), 0));
}

// Waits up to `Milliseconds` for the writer referenced in WriterThread to end; TRUE when none is
// left referenced.
static BOOLEAN EndWriter(FdoExtension* Fdo, ULONG Milliseconds) {
  PVOID thread = InterlockedCompareExchangePointer(&Fdo->WriterThread, NULL, NULL);
  if (thread == NULL) return TRUE;
  if (WaitForObjectMs(thread, Milliseconds) != STATUS_SUCCESS) return FALSE;
  // Removal may have taken it meanwhile; only the one who exchanges it out releases it.
  if (InterlockedCompareExchangePointer(&Fdo->WriterThread, NULL, thread) == thread) ObfDereferenceObject(thread);
  return TRUE;
}

static NTSTATUS CreateWriter(FdoExtension* Fdo) {
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, WriterThread, Fdo);
  if (!NT_SUCCESS(status)) return status;
  PVOID thread = NULL;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // Unreachable for a handle just made; without the object the thread cannot be waited for,
    // so it is told to end at once.
    ClearFdoFlags(Fdo, FDO_STREAM_RUNNING);
    return status;
  }
  InterlockedExchangePointer(&Fdo->WriterThread, thread);
  return STATUS_SUCCESS;
}

// The running mark off, the writer woken to drain and end.
static VOID StopWriter(FdoExtension* Fdo) {
  ClearFdoFlags(Fdo, FDO_STREAM_RUNNING);
  KeSetEvent(&Fdo->TxEvent, EVENT_INCREMENT, FALSE);
}

NTSTATUS StartStream(FdoExtension* Fdo) {
  PDEVICE_OBJECT device = Fdo->Self;
  // A writer of the last run that is still sending would share the ring with a new one.
  if (!EndWriter(Fdo, WRITER_END_WAIT_MS)) return STATUS_DEVICE_BUSY;
  // The pipes are the stream's from here: the idle policy powers up only for a stream that
  // uses them.
  InterlockedExchangeAdd(&Fdo->OpenPipeCount, STREAM_PIPES);
  RequestIdlePower(device, FALSE);
  SetFdoFlags(Fdo, FDO_STREAM_RUNNING);
  // One attempt per read: a read that fails at once (the device refusing transfers, or not
  // ready) gives its packet straight back, and retrying it here would spin forever in the open.
  // The top-up brings such reads back later.
  for (LONG attempt = 0;
       attempt < CONTINUOUS_READS &&
       static_cast<LONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->ActiveReadCount), 0)) < CONTINUOUS_READS;
       attempt++) {
    TransferPacket* packet = TakePacket(device);
    if (packet == NULL) break;
    packet->PacketFlags |= PACKET_CONTINUOUS_READ;
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&Fdo->ActiveReadCount));
    SubmitRead(device, packet);
  }
  // Without a writer the stream still runs: queued bytes wait for a later run's writer.
  CreateWriter(Fdo);
  // Both copies must go out for the open to count: one that failed is not ignored.
  NTSTATUS status = SendBytes(device, StartMessage, START_MESSAGE_LENGTH);
  if (NT_SUCCESS(status)) status = SendBytes(device, StartMessage, START_MESSAGE_LENGTH);
  SetStreamState(Fdo, STREAM_START_SENT);
  if (!NT_SUCCESS(status)) {
    // The open is refused: nothing of the start may stay behind, least of all its writer, or
    // the next first open would put a second one on the ring.
    StopWriter(Fdo);
    EndWriter(Fdo, WRITER_END_WAIT_MS);
    LowerOpenPipeCount(Fdo, STREAM_PIPES);
  }
  return status;
}

NTSTATUS StopStream(FdoExtension* Fdo) {
  PDEVICE_OBJECT device = Fdo->Self;
  StopWriter(Fdo);
  for (int i = 0; i < 5; i++) {
    if (InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->TxCount), 0) == 0) break;
    DelayMs(100);
  }
  // A drained writer ends at its next wake: wait for it. One still in a transfer stays
  // referenced for the next start, or the removal, to wait for after the pipes are aborted.
  if (InterlockedOr(reinterpret_cast<volatile LONG*>(&Fdo->TxCount), 0) == 0) EndWriter(Fdo, WRITER_END_WAIT_MS);
  if (ReadStreamState(Fdo) != STREAM_STOP_SENT) {
    SendBytes(device, StopMessage, STOP_MESSAGE_LENGTH);
    SetStreamState(Fdo, STREAM_STOP_SENT);
  }
  DelayMs(100);
  LowerOpenPipeCount(Fdo, STREAM_PIPES);
  return RequestIdlePower(device, TRUE);
}

ULONG OpenStream(FdoExtension* Fdo) {
  if (Fdo->PhysicalDevice == NULL) return Fdo->OpenCount;
  KeWaitForSingleObject(&Fdo->StreamMutex, Executive, KernelMode, FALSE, NULL);
  Fdo->OpenCount++;
  if (Fdo->OpenCount == 1) {
    if (Fdo->BulkInPipe == NULL) {
      Fdo->OpenCount = 0;
    } else if (!NT_SUCCESS(StartStream(Fdo))) {
      Fdo->OpenCount = 0;
    }
  }
  ULONG count = Fdo->OpenCount;
  KeReleaseMutex(&Fdo->StreamMutex, FALSE);
  return count;
}

VOID CloseStream(FdoExtension* Fdo) {
  KeWaitForSingleObject(&Fdo->StreamMutex, Executive, KernelMode, FALSE, NULL);
  if (Fdo->OpenCount != 0) {
    Fdo->OpenCount--;
    if (Fdo->OpenCount == 0) StopStream(Fdo);
  }
  KeReleaseMutex(&Fdo->StreamMutex, FALSE);
}

NTSTATUS NTAPI QueueStreamMessage(PDEVICE_OBJECT DeviceObject, ULONG Stop) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (Stop != 0) {
    QueueBytes(DeviceObject, StopMessage, STOP_MESSAGE_LENGTH);
    SetStreamState(fdo, STREAM_STOP_SENT);
  } else {
    QueueBytes(DeviceObject, StartMessage, START_MESSAGE_LENGTH);
    SetStreamState(fdo, STREAM_START_SENT);
  }
  return STATUS_SUCCESS;
}
