// The transport's part of device removal.
#include "transport/transport.h"

// The continuous reads have ended by now: removal aborted the pipes and waited for every
// activity reference. Nothing else of the transport runs yet; the writer thread's shutdown
// belongs here once the thread exists.
VOID StopTransportForRemoval(PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
}
