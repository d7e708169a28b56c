// The USBD library: request-building helpers and the two routines the driver imports.
#pragma once
#include "usb.h"

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                          \
  do {                                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                     \
    (urb)->UrbHeader.Length = (length);                                                                      \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                              \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                    \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                    \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                            \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                            \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                     \
  } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                   \
  do {                                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                     \
    (urb)->UrbHeader.Length = (length);                                                                      \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                             \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                         \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                               \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                     \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                       \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                      \
  } while (0)

TB_EXTERN_C_BEGIN
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz);
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);
TB_EXTERN_C_END
