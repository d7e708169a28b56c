// USB function device: device addition, the product table, configuration and pipes, and the
// function device's Plug and Play.
#pragma once

#include "core/driver.h"

// One row of the product table. The three strings are addressed by column number.
struct ProductEntry {
  ULONG ProductKey;         // idVendor << 16 | idProduct; 0 marks the default row, which ends the table
  PCWSTR DeviceName;        // column 0: NT name of the child device
  PCWSTR DeviceText;        // column 1: the child's device description
  PCWSTR HardwareId;        // column 2: multi-string, one ID and two terminating zeros
};

#define PRODUCT_COLUMN_DEVICE_NAME 0
#define PRODUCT_COLUMN_DEVICE_TEXT 1
#define PRODUCT_COLUMN_HARDWARE_ID 2

// The interface and alternate setting that carry the MIDI pipes.
#define MIDI_INTERFACE_NUMBER 2
#define MIDI_ALTERNATE_SETTING 0

// Endpoint descriptors are read at this stride after interface 2's descriptor.
#define ENDPOINT_DESCRIPTOR_LENGTH 7

// --- usb/add_device.cpp ---
extern const ProductEntry ProductTable[];
PCWSTR LookupProduct(PDEVICE_OBJECT DeviceObject, ULONG Column);
NTSTATUS CreateFunctionDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              PDEVICE_OBJECT* FunctionDevice);
NTSTATUS RegisterInterface(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING LinkName);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities);
PUSB_DEVICE_DESCRIPTOR ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// --- usb/config.cpp ---
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ConfigureOnStart(PDEVICE_OBJECT DeviceObject);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber, UCHAR AlternateSetting);
NTSTATUS SaveInterfaceInfo(PDEVICE_OBJECT DeviceObject, PUSBD_INTERFACE_INFORMATION Interface);
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReleaseOnRemove(PDEVICE_OBJECT DeviceObject);
// Checks a configuration descriptor of `Length` bytes before anything walks it.
NTSTATUS ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Length);
ULONG InterfacePipeCount(PUSBD_INTERFACE_INFORMATION Interface);
