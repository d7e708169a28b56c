// Quiescing the transport before removal frees what it runs on.
#include "transport/transport.h"

// Ten rounds of the packet take's one-second bound: far longer than the USB stack needs to hand
// back transfers after the pipes were aborted and the remove went down.
#define RECLAIM_ROUNDS 10

BOOLEAN StopTransportForRemoval(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);

  // The writer thread uses the extension until it ends: wake it with the running mark clear and
  // wait for it. The device is no longer ready, so what it still holds to send fails at once.
  ClearFdoFlags(fdo, FDO_STREAM_RUNNING);
  KeSetEvent(&fdo->TxEvent, EVENT_INCREMENT, FALSE);
  PVOID thread = InterlockedExchangePointer(&fdo->WriterThread, NULL);
  if (thread != NULL) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(thread);
  }

  // Every packet comes home: the continuous reads have ended and no send is under way once the
  // whole pool is back on the free list.
  ULONG packets = 0;
  for (TransferPacket* p = fdo->FirstPacket; p != NULL; p = p->NextAll) packets++;
  ULONG reclaimed = 0;
  ULONG misses = 0;
  while (reclaimed < packets && misses < RECLAIM_ROUNDS) {
    if (TakePacket(DeviceObject) != NULL) {
      reclaimed++;
    } else {
      misses++;
    }
  }
  return reclaimed == packets ? TRUE : FALSE;
}
