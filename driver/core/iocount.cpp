// The function device's activity counter and readiness test.
#include "core/driver.h"

VOID AcquireIo(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&fdo->IoCountLock, &irql);
  InterlockedIncrement(&fdo->IoCount);
  KeReleaseSpinLock(&fdo->IoCountLock, irql);
}

// The decrement and the choice of event are one step under the lock, so two racing releases
// never both see the same count. The last release sets RemoveEvent only after letting go of the
// lock: the remove waiting on that event frees the extension the lock lives in.
LONG ReleaseIo(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&fdo->IoCountLock, &irql);
  LONG count = InterlockedDecrement(&fdo->IoCount);
  if (count == 1) KeSetEvent(&fdo->IdleEvent, EVENT_INCREMENT, FALSE);
  KeReleaseSpinLock(&fdo->IoCountLock, irql);
  if (count == 0) KeSetEvent(&fdo->RemoveEvent, EVENT_INCREMENT, FALSE);
  return count;
}

BOOLEAN IsReady(PDEVICE_OBJECT DeviceObject) {
  ULONG flags = ReadFdoFlags(FdoExt(DeviceObject));
  if (flags & (FDO_REMOVED | FDO_REMOVE_PENDING | FDO_STOP_PENDING)) return FALSE;
  return (flags & FDO_STARTED) ? TRUE : FALSE;
}
