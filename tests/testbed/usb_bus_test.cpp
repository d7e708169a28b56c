// The USB bus driver and the USBD routines behave as the USB stack does.
#include <usbdlib.h>
#include <usbioctl.h>

#include "support/fixture.h"
#include "usb/usb_bus.h"

using tb::UsbMidiDevice;

class UsbBusTest : public KernelTest {
 protected:
  tb::Result Submit(tb::UsbBus& bus, PURB urb) {
    return tb::Call(bus.Pdo(), [urb](PIO_STACK_LOCATION s, PIRP) {
      s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
      s->Parameters.Others.Argument1 = urb;
    });
  }
  // Selects the configuration and returns the interface-2 entry of the request.
  std::vector<uint8_t> config_;
  PURB Configure(tb::UsbBus& bus, USHORT* size) {
    config_ = bus.Device().ConfigurationDescriptor();
    auto* desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    PURB urb = USBD_CreateConfigurationRequest(desc, size);
    EXPECT_EQ(Submit(bus, urb).status, STATUS_SUCCESS);
    return urb;
  }
};

TEST_F(UsbBusTest, CreateConfigurationRequestHasOneEntryPerInterface) {
  auto bytes = UsbMidiDevice::Product(1).WithOtherInterfaces().ConfigurationDescriptor();
  auto* desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(desc, &size);
  ASSERT_NE(urb, nullptr);
  // Interfaces 0 (no endpoint), 1 (one), 2 (two), 3 (one); alternate setting 1 of 2 left out.
  size_t expected = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(0) +
                    GET_USBD_INTERFACE_SIZE(1) + GET_USBD_INTERFACE_SIZE(2) + GET_USBD_INTERFACE_SIZE(1);
  EXPECT_EQ(size, expected);
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  auto* entry = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  std::vector<int> numbers, pipes;
  for (int i = 0; i < 4; i++) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
    numbers.push_back(info->InterfaceNumber);
    pipes.push_back(static_cast<int>(info->NumberOfPipes));
    EXPECT_EQ(info->AlternateSetting, 0);
    entry += info->Length;
  }
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(pipes, (std::vector<int>{0, 1, 2, 1}));
  POOL_TYPE type;
  ASSERT_TRUE(tb::IsPoolBlock(urb, &type));
  EXPECT_EQ(type, NonPagedPool);
  ExFreePool(urb);
}

TEST_F(UsbBusTest, ParseFindsTheFirstMatchFromTheStartPosition) {
  auto bytes = UsbMidiDevice::Product(1).WithOtherInterfaces().ConfigurationDescriptor();
  auto* desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  auto* two = USBD_ParseConfigurationDescriptorEx(desc, desc, 2, -1, -1, -1, -1);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->bAlternateSetting, 0);
  auto* alt = USBD_ParseConfigurationDescriptorEx(desc, reinterpret_cast<PUCHAR>(two) + two->bLength, 2, -1, -1, -1, -1);
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ(alt->bAlternateSetting, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(desc, desc, -1, -1, 0x01, 0x01, -1)->bInterfaceNumber, 0);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(desc, desc, 2, 0, 0x01, -1, -1), nullptr);
  // The walk stays inside wTotalLength: interface 3 lies beyond a shortened total.
  desc->wTotalLength = static_cast<USHORT>(reinterpret_cast<PUCHAR>(alt) - bytes.data());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(desc, desc, 3, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbBusTest, DescriptorReadHonoursTheRequestedLength) {
  tb::UsbBus bus;
  uint8_t buffer[64] = {};
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                               0, 0, buffer, nullptr, 9, nullptr);
  EXPECT_EQ(Submit(bus, &urb).status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(buffer[2], 32);
  EXPECT_EQ(buffer[9], 0);
  urb.UrbControlDescriptorRequest.TransferBufferLength = 64;
  Submit(bus, &urb);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 32u);
}

TEST_F(UsbBusTest, UnconfigureInvalidatesThePipeHandles) {
  tb::UsbBus bus;
  USHORT size;
  PURB config = Configure(bus, &size);
  auto* info = &config->UrbSelectConfiguration.Interface;
  USBD_PIPE_HANDLE in = info->Pipes[0].PipeHandle;
  EXPECT_EQ(info->Pipes[0].EndpointAddress, 0x81);
  EXPECT_TRUE(bus.IsValidPipe(in));
  EXPECT_NE(config->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  URB un{};
  un.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  un.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  EXPECT_EQ(Submit(bus, &un).status, STATUS_SUCCESS);
  EXPECT_FALSE(bus.IsValidPipe(in));
  URB abort{};
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = in;
  EXPECT_EQ(Submit(bus, &abort).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  ExFreePool(config);
}

TEST_F(UsbBusTest, AbortEndsPendingTransfersBeforeItCompletes) {
  tb::UsbBus bus;
  bus.SetPipeHook(0x81, [](tb::BulkTransfer&) { return tb::BulkAnswer{true}; });
  USHORT size;
  PURB config = Configure(bus, &size);
  USBD_PIPE_HANDLE in = config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
  uint8_t data[32];
  URB read{};
  UsbBuildInterruptOrBulkTransferRequest(&read, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in, data, nullptr, 32,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  std::vector<std::string> order;
  NTSTATUS readStatus = STATUS_PENDING;
  PIRP irp = tb::AllocateSystemIrp(bus.Pdo()->StackSize, [&](PIRP done) {
    order.push_back("read");
    readStatus = done->IoStatus.Status;
  });
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  s->Parameters.Others.Argument1 = &read;
  EXPECT_EQ(IofCallDriver(bus.Pdo(), irp), STATUS_PENDING);
  EXPECT_EQ(bus.PendingOn(0x81), 1u);
  URB abort{};
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = in;
  EXPECT_EQ(Submit(bus, &abort).status, STATUS_SUCCESS);
  order.push_back("abort");
  EXPECT_EQ(order, (std::vector<std::string>{"read", "abort"}));
  EXPECT_EQ(readStatus, STATUS_CANCELLED);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
  ExFreePool(config);
}

TEST_F(UsbBusTest, BulkWithoutAHookIsRefusedAndAGoneDeviceFailsEverything) {
  tb::UsbBus bus;
  USHORT size;
  PURB config = Configure(bus, &size);
  uint8_t data[32] = {};
  URB write{};
  UsbBuildInterruptOrBulkTransferRequest(&write, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         config->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle, data, nullptr, 32,
                                         USBD_TRANSFER_DIRECTION_OUT, nullptr);
  EXPECT_EQ(Submit(bus, &write).status, STATUS_NOT_SUPPORTED);
  bus.Unplug();
  EXPECT_EQ(Submit(bus, &write).status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  ExFreePool(config);
}

TEST_F(UsbBusTest, PnpAndPowerAnsweredAsABusDriver) {
  tb::UsbBus bus;
  tb::Result unhandled = tb::Call(bus.Pdo(), [](PIO_STACK_LOCATION s, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    s->MajorFunction = IRP_MJ_PNP;
    s->MinorFunction = IRP_MN_QUERY_BUS_INFORMATION;
  });
  EXPECT_EQ(unhandled.status, STATUS_NOT_SUPPORTED);
  tb::Result start = tb::Call(bus.Pdo(), [](PIO_STACK_LOCATION s, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    s->MajorFunction = IRP_MJ_PNP;
    s->MinorFunction = IRP_MN_START_DEVICE;
  });
  EXPECT_EQ(start.status, STATUS_SUCCESS);

  NTSTATUS wakeStatus = STATUS_PENDING;
  PIRP wake = tb::AllocateSystemIrp(bus.Pdo()->StackSize, [&](PIRP done) { wakeStatus = done->IoStatus.Status; });
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(wake);
  s->MajorFunction = IRP_MJ_POWER;
  s->MinorFunction = IRP_MN_WAIT_WAKE;
  EXPECT_EQ(PoCallDriver(bus.Pdo(), wake), STATUS_PENDING);
  EXPECT_EQ(bus.PendingWaitWakes(), 1u);
  EXPECT_FALSE(tb::IrpReachedTop(wake));
  bus.CancelWake();
  EXPECT_TRUE(tb::IrpReachedTop(wake));
  EXPECT_EQ(wakeStatus, STATUS_CANCELLED);
}

TEST_F(UsbBusTest, PendedUrbsCompleteFromAnotherThreadAtDispatchLevel) {
  tb::UsbBus bus;
  bus.AddFault(tb::UrbFault{tb::UrbFaultKind::Pend});
  uint8_t buffer[18];
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                               buffer, nullptr, 18, nullptr);
  KIRQL seen = PASSIVE_LEVEL;
  std::thread::id where;
  PIRP irp = tb::AllocateSystemIrp(bus.Pdo()->StackSize, [&](PIRP) {
    seen = KeGetCurrentIrql();
    where = std::this_thread::get_id();
  });
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  s->Parameters.Others.Argument1 = &urb;
  tb::Result r = tb::SendAndWait(bus.Pdo(), irp);
  bus.Drain();
  EXPECT_EQ(r.returned, STATUS_PENDING);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(seen, DISPATCH_LEVEL);
  EXPECT_NE(where, std::this_thread::get_id());
  EXPECT_EQ(buffer[8], 0x7E);
}
