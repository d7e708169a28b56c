// Quiescing the transport before removal frees what it runs on.
#include "transport/transport.h"


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
  // After the abort and the remove the USB stack hands transfers back within milliseconds; one
  // whole take bound (a second) with nothing coming back means a lower driver kept one.
  ULONG reclaimed = 0;
  while (reclaimed < packets && TakePacket(DeviceObject) != NULL) reclaimed++;
  if (reclaimed == packets) return TRUE;
  if (OrphanPoolIfPacketsOut(DeviceObject, reclaimed)) return FALSE;
  // The last ones came home just now: their tickets are on the semaphore. Taking them makes sure
  // no return is still touching the pool when it goes.
  while (reclaimed < packets && TakePacket(DeviceObject) != NULL) reclaimed++;
  return TRUE;
}
