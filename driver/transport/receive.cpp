// The receive path: continuous bulk-in reads feeding the receive ring, and the readers it serves.
//
// A reader slot (an OpenContext, or the child's PdoExtension) holds at most one waiting read.
// Each reader keeps its own position in RxRing, so every reader sees every byte that arrives
// after it opened, and the ring never waits for a slow reader.
#include "transport/transport.h"

NTSTATUS SubmitRead(PDEVICE_OBJECT DeviceObject, TransferPacket* Packet) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  PIRP irp = Packet->Irp;
  // The IRP comes back from its last trip with spent stack locations and status.
  IoReuseIrp(irp, STATUS_SUCCESS);
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &Packet->Urb;
  urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = fdo->BulkInPipe;
  urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  urb->TransferBufferLength = PACKET_SIZE;  // the last transfer left its received count here
  urb->TransferBuffer = Packet->Buffer;
  urb->TransferBufferMDL = NULL;
  urb->UrbLink = NULL;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, ReadCompletion, Packet, TRUE, TRUE, TRUE);
  return IofCallDriver(fdo->LowerDevice, irp);
}

// Copies what the reader has not seen yet into its waiting request, up to the request's length.
VOID CopyToReader(FdoExtension* Fdo, PIRP Irp, ULONG* ReadIndex, PUCHAR* Buffer, ULONG Length) {
  while (*ReadIndex != Fdo->RxWriteIndex && Irp->IoStatus.Information < Length) {
    **Buffer = Fdo->RxRing[*ReadIndex];
    (*Buffer)++;
    Irp->IoStatus.Information++;
    *ReadIndex = (*ReadIndex + 1) % RX_RING_SIZE;
  }
}

// Serves one reader slot; returns its request, taken out of the slot, when it got bytes.
static PIRP ServeReader(FdoExtension* Fdo, PIRP* Pending, ULONG* ReadIndex, PUCHAR* Buffer, ULONG Length) {
  PIRP irp = *Pending;
  if (irp == NULL || *ReadIndex == Fdo->RxWriteIndex) return NULL;
  // Whoever takes the cancel routine back owns the request: without it, a cancel has begun and
  // the cancel routine will clear the slot and complete the request.
  if (IoSetCancelRoutine(irp, NULL) == NULL) return NULL;
  CopyToReader(Fdo, irp, ReadIndex, Buffer, Length);
  *Pending = NULL;
  return irp;
}

// Runs under RxLock. The requests it hands back are chained through their list entry and must be
// completed by the caller once RxLock is released.
PIRP DistributeRx(FdoExtension* Fdo) {
  PIRP head = NULL;
  PIRP* tail = &head;
  for (OpenContext* ctx = Fdo->OpenContextList; ctx != NULL; ctx = ctx->Next) {
    PIRP irp = ServeReader(Fdo, &ctx->PendingReadIrp, &ctx->RxReadIndex, &ctx->ReadBuffer, ctx->ReadLength);
    if (irp == NULL) continue;
    irp->Tail.Overlay.DriverContext[0] = NULL;
    *tail = irp;
    tail = reinterpret_cast<PIRP*>(&irp->Tail.Overlay.DriverContext[0]);
  }
  for (ULONG i = 0; i < Fdo->ChildCount; i++) {
    PdoExtension* child = Fdo->ChildExtension;
    PIRP irp = ServeReader(Fdo, &child->PendingReadIrp, &child->RxReadIndex, &child->ReadBuffer, child->ReadLength);
    if (irp == NULL) continue;
    irp->Tail.Overlay.DriverContext[0] = NULL;
    *tail = irp;
    tail = reinterpret_cast<PIRP*>(&irp->Tail.Overlay.DriverContext[0]);
  }
  return head;
}

// Appends a transfer's MIDI bytes: byte 0 always, then up to the first 0xFF, which ends the data.
static VOID AppendToRing(FdoExtension* Fdo, const UCHAR* Data, ULONG Length) {
  for (ULONG i = 0; i < Length; i++) {
    if (i > 0 && Data[i] == 0xFF) break;
    Fdo->RxRing[Fdo->RxWriteIndex] = Data[i];
    Fdo->RxWriteIndex = (Fdo->RxWriteIndex + 1) % RX_RING_SIZE;
  }
}

NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  TransferPacket* packet = static_cast<TransferPacket*>(Context);
  PDEVICE_OBJECT device = packet->Device;
  FdoExtension* fdo = FdoExt(device);
  // Both must say so: a request refused before it reached the device (a suspended device, for
  // one) fails the IRP and may leave the URB's status as it was sent. Taken as a success, its
  // stale buffer would be delivered and the read sent again into the same refusal.
  BOOLEAN succeeded = NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(packet->Urb.Hdr.Status);

  if (succeeded) {
    ULONG received = packet->Urb.TransferBufferLength;
    if (received > PACKET_SIZE) received = PACKET_SIZE;  // never trust a count past our buffer
    KIRQL irql;
    KeAcquireSpinLock(&fdo->RxLock, &irql);
    AppendToRing(fdo, packet->Buffer, received);
    PIRP done = DistributeRx(fdo);
    KeReleaseSpinLock(&fdo->RxLock, irql);
    // Completed only after RxLock is released: a client may send its next read at once. The
    // open contexts are not touched past this point; a close may free them.
    while (done != NULL) {
      PIRP next = static_cast<PIRP>(done->Tail.Overlay.DriverContext[0]);
      done->Tail.Overlay.DriverContext[0] = NULL;
      done->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(done, IO_NO_INCREMENT);
      done = next;
    }
  }

  if (packet->PacketFlags & PACKET_CONTINUOUS_READ) {
    if (succeeded && IsReady(device)) {
      SubmitRead(device, packet);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The read ends here; the count never goes below zero.
    LONG count = static_cast<LONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&fdo->ActiveReadCount), 0));
    while (count > 0) {
      LONG seen = InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&fdo->ActiveReadCount), count - 1, count);
      if (seen == count) break;
      count = seen;
    }
  }
  ReturnPacket(device, packet);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Takes the waiting read out of one slot for failing, under RxLock: TRUE when the slot is clear
// now (or was), FALSE while a cancel that has begun still owns the request and the slot.
static BOOLEAN TakeForFailing(PIRP* Pending, PIRP* Head) {
  PIRP irp = *Pending;
  if (irp == NULL) return TRUE;
  if (IoSetCancelRoutine(irp, NULL) == NULL) return FALSE;
  *Pending = NULL;
  irp->Tail.Overlay.DriverContext[0] = *Head;
  *Head = irp;
  return TRUE;
}

VOID FailWaitingReads(FdoExtension* Fdo, BOOLEAN Opens, BOOLEAN Child, NTSTATUS Status) {
  for (;;) {
    PIRP head = NULL;
    BOOLEAN settled = TRUE;
    KIRQL irql;
    KeAcquireSpinLock(&Fdo->RxLock, &irql);
    if (Opens) {
      for (OpenContext* ctx = Fdo->OpenContextList; ctx != NULL; ctx = ctx->Next) {
        if (!TakeForFailing(&ctx->PendingReadIrp, &head)) settled = FALSE;
      }
    }
    if (Child && Fdo->ChildCount != 0) {
      if (!TakeForFailing(&Fdo->ChildExtension->PendingReadIrp, &head)) settled = FALSE;
    }
    KeReleaseSpinLock(&Fdo->RxLock, irql);
    while (head != NULL) {
      PIRP next = static_cast<PIRP>(head->Tail.Overlay.DriverContext[0]);
      head->Tail.Overlay.DriverContext[0] = NULL;
      head->IoStatus.Status = Status;
      head->IoStatus.Information = 0;
      IofCompleteRequest(head, IO_NO_INCREMENT);
      head = next;
    }
    // A cancel routine under way clears its slot under RxLock: once it has, nothing of the
    // device is in its hands any more.
    if (settled) return;
    DelayMs(1);
  }
}

// After a read has ended (a failed transfer, the device in a low-power state) the stream would
// go deaf: while it is open and the device ready, the reads are brought back. Up to
// DISPATCH_LEVEL, so only packets free at once are used.
VOID TopUpReads(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  volatile LONG* reads = reinterpret_cast<volatile LONG*>(&fdo->ActiveReadCount);
  // Bounded: a read failing at once returns its packet and its slot, and would be sent again
  // for ever.
  for (LONG attempt = 0; attempt < CONTINUOUS_READS; attempt++) {
    if ((ReadFdoFlags(fdo) & FDO_STREAM_RUNNING) == 0 || !IsReady(DeviceObject)) return;
    // The slot is claimed first, so two callers at once never start more than the limit.
    if (InterlockedIncrement(reads) > CONTINUOUS_READS) {
      InterlockedDecrement(reads);
      return;
    }
    TransferPacket* packet = TryTakePacket(DeviceObject);
    if (packet == NULL) {
      InterlockedDecrement(reads);
      return;
    }
    packet->PacketFlags |= PACKET_CONTINUOUS_READ;
    SubmitRead(DeviceObject, packet);
  }
}
