// USB configuration and pipes: the synchronous URB path, start-time configuration of
// interface 2, unconfiguration at stop, pipe aborts and the release at removal.
//
//   Unconfigured --ConfigureOnStart--> Configured (Started) --UnconfigureDevice--> Stopped
//   Stopped --ConfigureOnStart--> Configured (descriptor, handles and interface copy replaced)
//   any --AbortPipes (surprise removal, removal)--> pipes aborted --ReleaseOnRemove--> released
#include "power/power.h"
#include "transport/transport.h"
#include "usb/usb.h"

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  RtlZeroMemory(&ioStatus, sizeof ioStatus);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fdo->LowerDevice, NULL, 0, NULL, 0, TRUE,
                                           &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  NTSTATUS status = IofCallDriver(fdo->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

NTSTATUS ConfigureOnStart(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  // Without the device descriptor the product is unknown; the device cannot be used.
  if (fdo->DeviceDescriptor == NULL) return STATUS_DEVICE_CONFIGURATION_ERROR;
  NTSTATUS status = ConfigureDevice(DeviceObject);
  SetFdoFlags(fdo, FDO_STARTED);
  return status;
}

// Walks the descriptor exactly as USBD_ParseConfigurationDescriptorEx will, so that a descriptor
// passing here can never send that walk outside the buffer, and checks that interface 2's
// endpoints sit where SelectInterface reads them.
NTSTATUS ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Length) {
  if (Length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
  if (Descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return STATUS_DEVICE_DATA_ERROR;
  ULONG total = Descriptor->wTotalLength;
  if (total < Descriptor->bLength || total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > Length) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  PUCHAR base = reinterpret_cast<PUCHAR>(Descriptor);
  ULONG offset = 0;
  while (offset < total) {
    if (total - offset < sizeof(USB_COMMON_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
    PUSB_COMMON_DESCRIPTOR common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(base + offset);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || common->bLength > total - offset) {
      return STATUS_DEVICE_DATA_ERROR;
    }
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (common->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
      PUSB_INTERFACE_DESCRIPTOR ifc = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
      if (ifc->bInterfaceNumber == MIDI_INTERFACE_NUMBER && ifc->bAlternateSetting == MIDI_ALTERNATE_SETTING) {
        ULONG first = offset + ifc->bLength;
        for (ULONG i = 0; i < ifc->bNumEndpoints; i++) {
          ULONG at = first + i * ENDPOINT_DESCRIPTOR_LENGTH;
          if (at + ENDPOINT_DESCRIPTOR_LENGTH > total) return STATUS_DEVICE_DATA_ERROR;
          PUSB_COMMON_DESCRIPTOR ep = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(base + at);
          if (ep->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE || ep->bLength < ENDPOINT_DESCRIPTOR_LENGTH) {
            return STATUS_DEVICE_DATA_ERROR;
          }
        }
      }
    }
    offset += common->bLength;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  ULONG urbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, DRIVER_POOL_TAG));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  if (fdo->ConfigurationDescriptor != NULL) {
    ExFreePool(fdo->ConfigurationDescriptor);
    fdo->ConfigurationDescriptor = NULL;
  }

  // First the 9-byte header for wTotalLength, then the whole descriptor.
  ULONG size = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  ULONG received;
  NTSTATUS status;
  for (;;) {
    PUSB_CONFIGURATION_DESCRIPTOR buffer =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, DRIVER_POOL_TAG));
    fdo->ConfigurationDescriptor = buffer;
    if (buffer == NULL) {
      ExFreePool(urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, size);
    RtlZeroMemory(urb, urbSize);
    UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(urbSize), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer,
                                 NULL, size, NULL);
    status = SubmitUrb(DeviceObject, urb);
    received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (received > size) received = size;
    // Never configure from bytes that were not read.
    if (!NT_SUCCESS(status) || received == 0) {
      ExFreePool(urb);
      return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    if (buffer->wTotalLength <= size) break;
    size = buffer->wTotalLength;
    ExFreePool(buffer);
    fdo->ConfigurationDescriptor = NULL;
  }
  ExFreePool(urb);

  if (fdo->ConfigurationDescriptor->bLength == 0) fdo->ConfigurationDescriptor->bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  status = ValidateConfigurationDescriptor(fdo->ConfigurationDescriptor, received);
  if (!NT_SUCCESS(status)) return status;
  return SelectConfiguration(DeviceObject, fdo->ConfigurationDescriptor);
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(Descriptor, &size);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = size;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = Descriptor;
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status)) {
    fdo->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    status = SelectInterface(DeviceObject, MIDI_INTERFACE_NUMBER, MIDI_ALTERNATE_SETTING);
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  PUSB_INTERFACE_DESCRIPTOR ifc = USBD_ParseConfigurationDescriptorEx(
      fdo->ConfigurationDescriptor, fdo->ConfigurationDescriptor, InterfaceNumber, AlternateSetting, -1, -1, -1);
  if (ifc == NULL) return STATUS_UNSUCCESSFUL;

  ULONG pipes = ifc->bNumEndpoints;
  // The size macro's (n - 1) term wraps in 32 bits; an interface without endpoints is sized
  // directly.
  ULONG urbSize = pipes != 0 ? static_cast<ULONG>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes))
                             : static_cast<ULONG>(sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION));
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, DRIVER_POOL_TAG));
  if (urb == NULL) return STATUS_NO_MEMORY;
  RtlZeroMemory(urb, urbSize);
  urb->UrbHeader.Length = static_cast<USHORT>(urbSize);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbSelectInterface.ConfigurationHandle = fdo->ConfigurationHandle;

  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
  info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
  info->InterfaceNumber = InterfaceNumber;
  info->AlternateSetting = AlternateSetting;
  info->Class = ifc->bInterfaceClass;
  info->SubClass = ifc->bInterfaceSubClass;
  info->Protocol = ifc->bInterfaceProtocol;
  info->NumberOfPipes = pipes;

  // Validation at configuration put each of these endpoint descriptors inside the descriptor.
  PUCHAR endpoint = reinterpret_cast<PUCHAR>(ifc) + ifc->bLength;
  for (ULONG i = 0; i < pipes; i++, endpoint += ENDPOINT_DESCRIPTOR_LENGTH) {
    PUSB_ENDPOINT_DESCRIPTOR ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoint);
    PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
    pipe->MaximumPacketSize = ep->wMaxPacketSize;
    pipe->EndpointAddress = ep->bEndpointAddress;
    pipe->Interval = ep->bInterval;
    pipe->PipeType = ep->bmAttributes <= UsbdPipeTypeInterrupt ? static_cast<USBD_PIPE_TYPE>(ep->bmAttributes)
                                                               : UsbdPipeTypeControl;
    pipe->MaximumTransferSize = fdo->PacketSize;
    pipe->PipeFlags = 0;
  }

  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  // Without its saved copy the device has no pipes: the selection must not count as done.
  if (NT_SUCCESS(status)) status = SaveInterfaceInfo(DeviceObject, info);
  ExFreePool(urb);
  return status;
}

// The pipes an interface record really holds room for, whatever its count claims.
ULONG InterfacePipeCount(PUSBD_INTERFACE_INFORMATION Interface) {
  SIZE_T header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  if (Interface->Length < header) return 0;
  SIZE_T room = (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION);
  return Interface->NumberOfPipes < room ? Interface->NumberOfPipes : static_cast<ULONG>(room);
}

NTSTATUS SaveInterfaceInfo(PDEVICE_OBJECT DeviceObject, PUSBD_INTERFACE_INFORMATION Interface) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  if (fdo->InterfaceInfo != NULL) {
    ExFreePool(fdo->InterfaceInfo);
    fdo->InterfaceInfo = NULL;
  }
  PUSBD_INTERFACE_INFORMATION copy =
      static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, Interface->Length, DRIVER_POOL_TAG));
  if (copy == NULL) return STATUS_NO_MEMORY;
  RtlCopyMemory(copy, Interface, Interface->Length);
  fdo->InterfaceInfo = copy;

  fdo->BulkInPipe = NULL;
  fdo->BulkOutPipe = NULL;
  ULONG pipes = InterfacePipeCount(copy);
  for (ULONG i = 0; i < pipes; i++) {
    if (copy->Pipes[i].EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) {
      fdo->BulkInPipe = copy->Pipes[i].PipeHandle;
    } else {
      fdo->BulkOutPipe = copy->Pipes[i].PipeHandle;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  ULONG urbSize = sizeof(struct _URB_SELECT_CONFIGURATION);
  NTSTATUS status;
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, DRIVER_POOL_TAG));
  if (urb == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    RtlZeroMemory(urb, urbSize);
    urb->UrbHeader.Length = static_cast<USHORT>(urbSize);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
  }
  if (NT_SUCCESS(status)) ClearFdoFlags(fdo, FDO_STARTED);
  ClearFdoFlags(fdo, FDO_STOP_PENDING);
  return status;
}

NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  PUSBD_INTERFACE_INFORMATION info = fdo->InterfaceInfo;
  if (info == NULL) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG pipes = InterfacePipeCount(info);
  for (ULONG i = 0; i < pipes; i++) {
    ULONG urbSize = sizeof(struct _URB_PIPE_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, DRIVER_POOL_TAG));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, urbSize);
    urb->UrbHeader.Length = static_cast<USHORT>(urbSize);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = info->Pipes[i].PipeHandle;
    status = SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) return status;
    // An aborted pipe is no longer the stream's; with no stream open the count stays at 0.
    LowerOpenPipeCount(fdo, 1);
  }
  return status;
}

NTSTATUS ReleaseOnRemove(PDEVICE_OBJECT DeviceObject) {
  FdoExtension* fdo = FdoExt(DeviceObject);
  // First: nothing of the transport may still run once its packets and buffers go. A packet
  // that never came back from the USB stack keeps the pool, and the device, until it does.
  BOOLEAN quiet = StopTransportForRemoval(DeviceObject);

  UNICODE_STRING link;
  RtlInitUnicodeString(&link, fdo->InterfaceLinkName);
  NTSTATUS status = IoSetDeviceInterfaceState(&link, FALSE);

  if (quiet) ReleasePacketPool(DeviceObject);
  if (fdo->DeviceDescriptor != NULL) {
    ExFreePool(fdo->DeviceDescriptor);
    fdo->DeviceDescriptor = NULL;
  }
  if (fdo->InterfaceInfo != NULL) {
    ExFreePool(fdo->InterfaceInfo);
    fdo->InterfaceInfo = NULL;
  }
  if (fdo->ConfigurationDescriptor != NULL) {
    ExFreePool(fdo->ConfigurationDescriptor);
    fdo->ConfigurationDescriptor = NULL;
  }
  return status;
}
