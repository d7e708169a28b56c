// Device addition: builds the function device and its child for each USB device.
#include "core/driver.h"

// Not built yet: the Plug and Play manager is told plainly that no device can be added.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(PhysicalDeviceObject);
  return STATUS_NOT_IMPLEMENTED;
}
