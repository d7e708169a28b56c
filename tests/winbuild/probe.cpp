// Tiny kernel image used to show the image checker rejects what it should.
// Built once as-is (must pass) and in variants that each break one rule.
#include "kernel.h"

namespace {

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ProbeDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}


#if defined(PROBE_GLOBAL_CTOR)
struct StartTime {
  LARGE_INTEGER value;
  StartTime() { KeQuerySystemTime(&value); }
};
StartTime g_start;  // dynamic initialisation: needs a runtime to run it
#endif

}  // namespace

// Code addresses in writable data, which the compiler cannot fold away, give
// the image base relocations on both targets.
extern "C" PDRIVER_DISPATCH g_probe_dispatch[2];
PDRIVER_DISPATCH g_probe_dispatch[2] = {ProbeDispatch, ProbeDispatch};

#if defined(PROBE_FOREIGN_IMPORT)
extern "C" __declspec(dllimport) ULONG NTAPI GetTickCount(VOID);
#endif

extern "C" NTSTATUS NTAPI ProbeOtherEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = ProbeUnload;
  return STATUS_UNSUCCESSFUL;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
  // Never true when loaded; binds the image to USBD.SYS as the driver is.
  if (registry == nullptr) {
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(driver);
    if (USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1) == nullptr) {
      USHORT size = 0;
      ExFreePool(USBD_CreateConfigurationRequest(config, &size));
    }
  }
  driver->MajorFunction[IRP_MJ_CREATE] = g_probe_dispatch[0];
  driver->MajorFunction[IRP_MJ_CLOSE] = g_probe_dispatch[1];
  driver->DriverUnload = ProbeUnload;
#if defined(PROBE_GLOBAL_CTOR)
  if (g_start.value.QuadPart == 0) return STATUS_UNSUCCESSFUL;
#endif
#if defined(PROBE_FOREIGN_IMPORT)
  if (GetTickCount() == 0) return STATUS_UNSUCCESSFUL;
#endif
  return STATUS_SUCCESS;
}
