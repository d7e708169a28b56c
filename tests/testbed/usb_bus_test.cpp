// The USB bus driver and the USBD routines behave as the USB stack does.
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "support/fixture.h"
#include "usb/midi_endpoints.h"
#include "usb/usb_bus.h"

using tb::UsbMidiDevice;

constexpr ULONG kPageTransfer = 4096;

// A device that can wake the system from S3, itself from D2.
DEVICE_CAPABILITIES WakeCapabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.DeviceWake = PowerDeviceD2;
  caps.SystemWake = PowerSystemSleeping3;
  return caps;
}

class UsbBusTest : public KernelTest {
 protected:
  tb::Result Submit(tb::UsbBus& bus, PURB urb) {
    return tb::Call(bus.Pdo(), [urb](PIO_STACK_LOCATION s, PIRP) {
      s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
      s->Parameters.Others.Argument1 = urb;
    });
  }
  tb::Result PipeRequest(tb::UsbBus& bus, USHORT function, USBD_PIPE_HANDLE pipe, URB* out = nullptr) {
    URB local{};
    URB& urb = out != nullptr ? *out : local;
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return Submit(bus, &urb);
  }
  tb::Result Pnp(tb::UsbBus& bus, UCHAR minor) {
    return tb::Call(bus.Pdo(), [minor](PIO_STACK_LOCATION s, PIRP irp) {
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      s->MajorFunction = IRP_MJ_PNP;
      s->MinorFunction = minor;
    });
  }
  // Selects the configuration and returns the interface-2 entry of the request.
  std::vector<uint8_t> config_;
  PURB Configure(tb::UsbBus& bus, USHORT* size) {
    config_ = bus.Device().ConfigurationDescriptor();
    auto* desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    PURB urb = USBD_CreateConfigurationRequest(desc, size);
    // A page per transfer, the USB stack's default on Windows 2000 (later headers say no limit).
    auto* entry = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (auto* end = reinterpret_cast<PUCHAR>(urb) + *size; entry < end;) {
      auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
      for (ULONG i = 0; i < info->NumberOfPipes; i++) info->Pipes[i].MaximumTransferSize = kPageTransfer;
      entry += info->Length;
    }
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
  bus.SetCapabilities(WakeCapabilities());
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

// ---------------------------------------------------------------------------------------------
// Transfers as the host controller ends them, halted endpoints, pipe reset.
// ---------------------------------------------------------------------------------------------
namespace {

// A transfer sent without waiting, for requests the bus keeps pending.
struct Transfer {
  URB urb{};
  uint8_t data[64] = {};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;  // as completed; the I/O manager frees the IRP then

  Transfer(tb::UsbBus& bus, USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length = 32) {
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data, nullptr,
                                           length, flags, nullptr);
    irp = tb::AllocateSystemIrp(bus.Pdo()->StackSize, [this](PIRP done) { status = done->IoStatus.Status; });
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    s->Parameters.Others.Argument1 = &urb;
    returned = IofCallDriver(bus.Pdo(), irp);
  }
  bool Done() const { return tb::IrpReachedTop(irp); }
  // For an answer the bus gives within the call, which forced pending may hold a while.
  bool WaitDone() const {
    for (int i = 0; i < 2000 && !Done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Done();
  }
  NTSTATUS Status() const { return status; }
  USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
  ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kInShortOk = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class UsbTransferTest : public UsbBusTest {
 protected:
  void SetUp() override {
    UsbBusTest::SetUp();
    bus_ = std::make_unique<tb::UsbBus>();
    auto pend = [](tb::BulkTransfer&) { return tb::BulkAnswer{true}; };
    bus_->SetPipeHook(0x81, pend);
    bus_->SetPipeHook(0x02, pend);
    config_urb_ = Configure(*bus_, &size_);
    in_ = config_urb_->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    out_ = config_urb_->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
  }
  void TearDown() override {
    ExFreePool(config_urb_);
    bus_.reset();
    UsbBusTest::TearDown();
  }
  tb::Result PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, URB* out = nullptr) {
    return UsbBusTest::PipeRequest(*bus_, function, pipe, out);
  }
  std::unique_ptr<tb::UsbBus> bus_;
  PURB config_urb_ = nullptr;
  USHORT size_ = 0;
  USBD_PIPE_HANDLE in_ = nullptr;
  USBD_PIPE_HANDLE out_ = nullptr;
};

}  // namespace

TEST_F(UsbTransferTest, HowATransferEndsDecidesWhetherItFailsAndTheEndpointHalts) {
  struct Case {
    const char* what;
    tb::HostController controller;
    ULONG flags;
    size_t bytes;
    USBD_STATUS device;  // what the device ended it with
    NTSTATUS status;
    USBD_STATUS usbd;
    bool halted;
  } cases[] = {
      {"short on UHCI", tb::HostController::Uhci, kIn, 5, USBD_STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
       USBD_STATUS_DATA_UNDERRUN, true},
      {"short on OHCI", tb::HostController::Ohci, kIn, 0, USBD_STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
       USBD_STATUS_DATA_UNDERRUN, true},
      {"short allowed", tb::HostController::Uhci, kInShortOk, 5, USBD_STATUS_SUCCESS, STATUS_SUCCESS,
       USBD_STATUS_SUCCESS, false},
      {"short on EHCI", tb::HostController::Ehci, kIn, 5, USBD_STATUS_SUCCESS, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
       false},
      {"full", tb::HostController::Uhci, kIn, 32, USBD_STATUS_SUCCESS, STATUS_SUCCESS, USBD_STATUS_SUCCESS, false},
      {"stall", tb::HostController::Ehci, kInShortOk, 0, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL,
       USBD_STATUS_STALL_PID, true},
      {"error that does not halt", tb::HostController::Uhci, kInShortOk, 0, USBD_STATUS_INTERNAL_HC_ERROR,
       STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR, false},
  };
  for (const Case& c : cases) {
    bus_->SetHostController(c.controller);
    Transfer read(*bus_, in_, c.flags);
    ASSERT_EQ(read.returned, STATUS_PENDING) << c.what;
    std::vector<uint8_t> sent(c.bytes, 0x42);
    NTSTATUS status = USBD_SUCCESS(c.device) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    ASSERT_TRUE(bus_->CompletePending(0x81, status, c.device, sent)) << c.what;
    ASSERT_TRUE(read.Done()) << c.what;
    EXPECT_EQ(read.Status(), c.status) << c.what;
    EXPECT_EQ(read.Usbd(), c.usbd) << c.what;
    EXPECT_EQ(read.Length(), USBD_SUCCESS(c.device) ? c.bytes : 0u) << c.what << ": the bytes that did arrive";
    EXPECT_EQ(bus_->Halted(0x81), c.halted) << c.what;
    if (bus_->Halted(0x81)) EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, in_).status, STATUS_SUCCESS);
  }
}

TEST_F(UsbTransferTest, AHaltedEndpointServesNothingUntilAbortedAndReset) {
  Transfer first(*bus_, in_, kIn);
  Transfer queued(*bus_, in_, kIn);
  ASSERT_TRUE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {0x90, 0x3C}));
  EXPECT_EQ(first.Usbd(), USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(first.data[1], 0x3C);
  ASSERT_TRUE(bus_->Halted(0x81));
  EXPECT_FALSE(bus_->Halted(0x02)) << "only the endpoint that failed";

  EXPECT_FALSE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {0x90}))
      << "the controller does not serve a halted endpoint";
  EXPECT_FALSE(queued.Done());
  Transfer late(*bus_, in_, kInShortOk);
  EXPECT_TRUE(late.WaitDone()) << "a transfer sent to a halted endpoint fails at once";
  EXPECT_TRUE(late.returned == STATUS_UNSUCCESSFUL || (tb::ForcePendingOn() && late.returned == STATUS_PENDING));
  EXPECT_EQ(late.Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(late.Usbd(), USBD_STATUS_ENDPOINT_HALTED);

  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, in_).status, STATUS_SUCCESS);
  EXPECT_EQ(queued.Usbd(), USBD_STATUS_CANCELED);
  EXPECT_TRUE(bus_->Halted(0x81)) << "an abort does not clear the halt";
  URB reset{};
  EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, in_, &reset).status, STATUS_SUCCESS);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_FALSE(bus_->Halted(0x81));

  Transfer again(*bus_, in_, kIn);
  std::vector<uint8_t> full(32, 0x11);
  ASSERT_TRUE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, full));
  EXPECT_EQ(again.Status(), STATUS_SUCCESS);
  EXPECT_EQ(again.Length(), 32u);
}

TEST_F(UsbTransferTest, ResetWithTransfersQueuedFailsBusyAndABadHandleIsRefused) {
  Transfer queued(*bus_, in_, kInShortOk);
  URB reset{};
  EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, in_, &reset).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  EXPECT_FALSE(queued.Done());
  EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), &reset).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  PipeRequest(URB_FUNCTION_ABORT_PIPE, in_);
  EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
  auto violations = ExpectViolation(tb::Rule::IrqlTooHigh, [&] {
    tb::IrqlScope dispatch(DISPATCH_LEVEL);
    PipeRequest(URB_FUNCTION_RESET_PIPE, in_);
  });
  ASSERT_FALSE(violations.empty());
  EXPECT_NE(violations[0].routine.find("RESET_PIPE"), std::string::npos);
}

// The stack takes the direction from the endpoint, not from the caller's flag; the record keeps
// what the caller sent, so a test can still see a read that forgot to say IN.
TEST_F(UsbTransferTest, TheDirectionComesFromTheEndpointAndTheRecordKeepsTheFlagsSent) {
  bool hookSawIn = false;
  bus_->SetPipeHook(0x81, [&](tb::BulkTransfer& t) {
    hookSawIn = t.in;
    return tb::BulkAnswer{true};
  });
  Transfer read(*bus_, in_, USBD_SHORT_TRANSFER_OK);
  EXPECT_TRUE(hookSawIn);
  ASSERT_TRUE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {0xC0, 0x05}));
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.data[0], 0xC0) << "read into the buffer, not sent from it";
  EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN, kIn);

  Transfer write(*bus_, out_, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(write.urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN, 0u);
  PipeRequest(URB_FUNCTION_ABORT_PIPE, out_);

  auto bulk = bus_->UrbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  ASSERT_EQ(bulk.size(), 2u);
  EXPECT_EQ(bulk[0].transferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
  EXPECT_EQ(bulk[1].transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
}

TEST_F(UsbTransferTest, MalformedRequestsAreRefusedAsTheStackRefusesThem) {
  size_t reached = 0;
  bus_->SetPipeHook(0x81, [&](tb::BulkTransfer& t) {
    reached++;
    return tb::BulkAnswer{false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, t.length};
  });
  uint8_t big[5000] = {};
  URB next{};
  struct Case {
    const char* what;
    std::function<void(URB&)> build;
    USBD_STATUS usbd;
  } cases[] = {
      {"transfer shorter than its layout",
       [&](URB& u) {
         UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) - 8, in_, big,
                                                nullptr, 32, kInShortOk, nullptr);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"no buffer for its length",
       [&](URB& u) {
         UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in_, nullptr,
                                                nullptr, 32, kInShortOk, nullptr);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"linked URB",
       [&](URB& u) {
         UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in_, big, nullptr,
                                                32, kInShortOk, &next);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"longer than the pipe's maximum transfer",
       [&](URB& u) {
         UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in_, big, nullptr,
                                                kPageTransfer + 1, kInShortOk, nullptr);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"descriptor read past a page",
       [&](URB& u) {
         UsbBuildGetDescriptorRequest(&u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                      USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, big, nullptr, 4097, nullptr);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"abort shorter than its layout",
       [&](URB& u) {
         u.UrbHeader.Length = sizeof(struct _URB_HEADER);
         u.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
         u.UrbPipeRequest.PipeHandle = in_;
       },
       USBD_STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    URB urb{};
    c.build(urb);
    EXPECT_EQ(Submit(*bus_, &urb).status, STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd) << c.what;
  }
  EXPECT_EQ(reached, 0u) << "none of them reached the endpoint";
}

// ---------------------------------------------------------------------------------------------
// Nothing the bus does not implement succeeds quietly.
// ---------------------------------------------------------------------------------------------
TEST_F(UsbBusTest, UnimplementedAndUnknownUrbFunctionsFailAndAreReportedByNameAndValue) {
  tb::UsbBus bus;
  struct Case {
    USHORT function;
    const char* named;
    NTSTATUS status;
    USBD_STATUS usbd;
  } cases[] = {
      {URB_FUNCTION_CONTROL_TRANSFER, "URB_FUNCTION_CONTROL_TRANSFER (0x0008)", STATUS_NOT_IMPLEMENTED,
       USBD_STATUS_NOT_SUPPORTED},
      {0x0013, "URB_FUNCTION_GET_STATUS_FROM_DEVICE (0x0013)", STATUS_NOT_IMPLEMENTED, USBD_STATUS_NOT_SUPPORTED},
      {0x0077, "unknown URB function (0x0077)", STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
  };
  for (const Case& c : cases) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(URB);
    urb.UrbHeader.Function = c.function;
    tb::Result r{};
    auto violations = ExpectViolation(tb::Rule::Unimplemented, [&] { r = Submit(bus, &urb); });
    ASSERT_EQ(violations.size(), 1u) << c.named;
    EXPECT_EQ(violations[0].object, c.named);
    EXPECT_EQ(r.status, c.status) << c.named;
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd) << c.named;
  }
}

TEST_F(UsbBusTest, PortRequestsAndUnknownControlCodesFailAndAreReported) {
  tb::UsbBus bus;
  struct Case {
    UCHAR major;
    ULONG code;
    const char* named;
    NTSTATUS status;
  } cases[] = {
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_RESET_PORT, "IOCTL_INTERNAL_USB_RESET_PORT (0x00220007)",
       STATUS_NOT_IMPLEMENTED},
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_GET_PORT_STATUS,
       "IOCTL_INTERNAL_USB_GET_PORT_STATUS (0x00220013)", STATUS_NOT_IMPLEMENTED},
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, CTL_CODE(FILE_DEVICE_USB, 7, METHOD_NEITHER, FILE_ANY_ACCESS),
       "IOCTL_INTERNAL_USB_CYCLE_PORT (0x0022001F)", STATUS_NOT_IMPLEMENTED},
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x0022FFF3, "unknown control code (0x0022FFF3)", STATUS_INVALID_DEVICE_REQUEST},
      {IRP_MJ_DEVICE_CONTROL, 0x00220003, "unknown control code (0x00220003)", STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Case& c : cases) {
    tb::Result r{};
    auto violations = ExpectViolation(tb::Rule::Unimplemented, [&] {
      r = tb::Call(bus.Pdo(), [&](PIO_STACK_LOCATION s, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;  // a request that is not answered must not keep this
        s->MajorFunction = c.major;
        s->Parameters.DeviceIoControl.IoControlCode = c.code;
      });
    });
    ASSERT_EQ(violations.size(), 1u) << c.named;
    EXPECT_EQ(violations[0].object, c.named);
    EXPECT_TRUE(AnsweredWith(r, c.status)) << c.named;
  }
}

// ---------------------------------------------------------------------------------------------
// What reached the bus, in order, and removal.
// ---------------------------------------------------------------------------------------------
TEST_F(UsbBusTest, OneLogHoldsEveryArrivalInOrderAcrossKinds) {
  tb::UsbBus bus;
  Pnp(bus, IRP_MN_START_DEVICE);
  USHORT size;
  PURB config = Configure(bus, &size);
  tb::Call(bus.Pdo(), [](PIO_STACK_LOCATION s, PIRP) {
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = IRP_MN_SET_POWER;
    s->Parameters.Power.Type = DevicePowerState;
    s->Parameters.Power.State.DeviceState = PowerDeviceD3;
  });
  URB abort{};
  PipeRequest(bus, URB_FUNCTION_ABORT_PIPE, config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle, &abort);
  Pnp(bus, IRP_MN_REMOVE_DEVICE);

  auto log = bus.Log();
  std::vector<std::string> names;
  for (auto& e : log) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"START_DEVICE", "SELECT_CONFIGURATION", "SET_POWER D3", "ABORT_PIPE",
                                             "REMOVE_DEVICE"}));
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].kind, tb::BusEvent::Kind::Pnp);
  EXPECT_EQ(log[1].kind, tb::BusEvent::Kind::Urb);
  EXPECT_EQ(log[1].code, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(log[2].kind, tb::BusEvent::Kind::Power);
  EXPECT_EQ(log[3].pipe, abort.UrbPipeRequest.PipeHandle);
  EXPECT_EQ(log[4].minor, IRP_MN_REMOVE_DEVICE);
  for (size_t i = 0; i < log.size(); i++) {
    EXPECT_EQ(log[i].sequence, i);
    if (i > 0) EXPECT_LE(log[i - 1].time, log[i].time);
  }
  ExFreePool(config);
}

TEST_F(UsbBusTest, RemoveGivesUpTheConfigurationUntilTheNextStart) {
  tb::UsbBus bus;
  USHORT size;
  PURB config = Configure(bus, &size);
  USBD_PIPE_HANDLE in = config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
  EXPECT_EQ(Pnp(bus, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_FALSE(bus.Configured());
  EXPECT_FALSE(bus.IsValidPipe(in));
  URB abort{};
  EXPECT_EQ(PipeRequest(bus, URB_FUNCTION_ABORT_PIPE, in, &abort).status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(Pnp(bus, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  ExFreePool(config);
  config = Configure(bus, &size);
  EXPECT_TRUE(bus.Configured());
  ExFreePool(config);
}

// ---------------------------------------------------------------------------------------------
// Power: the hub's answers for the device, the held wait-wake, transfers while suspended.
// ---------------------------------------------------------------------------------------------
namespace {

tb::Result Power(tb::UsbBus& bus, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
  return tb::Call(bus.Pdo(), [&](PIO_STACK_LOCATION s, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = minor;
    s->Parameters.Power.Type = type;
    std::memcpy(&s->Parameters.Power.State, &state, sizeof state);
  });
}

// A wait-wake sent as its owner's PoRequestPowerIrp sends it, without waiting.
struct WakeRequest {
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;  // as completed

  WakeRequest(tb::UsbBus& bus, SYSTEM_POWER_STATE from) {
    irp = tb::AllocateSystemIrp(bus.Pdo()->StackSize, [this](PIRP done) { status = done->IoStatus.Status; });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = IRP_MN_WAIT_WAKE;
    s->Parameters.WaitWake.PowerState = from;
    returned = PoCallDriver(bus.Pdo(), irp);
  }
  bool Done() const { return tb::IrpReachedTop(irp); }
};

std::vector<std::pair<DEVICE_POWER_STATE, std::string>> History(tb::UsbBus& bus) {
  std::vector<std::pair<DEVICE_POWER_STATE, std::string>> out;
  for (auto& c : bus.PowerHistory()) out.emplace_back(c.state, c.cause);
  return out;
}

}  // namespace

// Every state the device enters is recorded, reported to the power manager and answered with
// success; a system request changes nothing on the device, a state that does not exist is refused.
TEST_F(UsbBusTest, TheDeviceStateFollowsSetPowerStartAndRemovalAndIsReported) {
  tb::UsbBus bus;
  EXPECT_EQ(bus.DevicePowerState(), PowerDeviceD0) << "an attached device is powered";
  EXPECT_EQ(Pnp(bus, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  for (ULONG d : {PowerDeviceD2, PowerDeviceD3, PowerDeviceD0}) {
    EXPECT_EQ(Power(bus, IRP_MN_QUERY_POWER, DevicePowerState, d).status, STATUS_SUCCESS) << d;
    tb::Result set = Power(bus, IRP_MN_SET_POWER, DevicePowerState, d);
    EXPECT_TRUE(AnsweredWith(set, STATUS_SUCCESS)) << d;
    EXPECT_EQ(bus.DevicePowerState(), static_cast<DEVICE_POWER_STATE>(d));
    EXPECT_EQ(tb::ReportedPowerState(bus.Pdo(), DevicePowerState).DeviceState, static_cast<DEVICE_POWER_STATE>(d));
  }
  EXPECT_EQ(Power(bus, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Power(bus, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Power(bus, IRP_MN_SET_POWER, DevicePowerState, 7).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.DevicePowerState(), PowerDeviceD0);

  EXPECT_EQ(Pnp(bus, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.DevicePowerState(), PowerDeviceD3) << "the port is switched off";
  EXPECT_EQ(tb::ReportedPowerState(bus.Pdo(), DevicePowerState).DeviceState, PowerDeviceD3);
  EXPECT_EQ(Pnp(bus, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  using C = std::pair<DEVICE_POWER_STATE, std::string>;
  EXPECT_EQ(History(bus), (std::vector<C>{{PowerDeviceD2, "SET_POWER"},
                                           {PowerDeviceD3, "SET_POWER"},
                                           {PowerDeviceD0, "SET_POWER"},
                                           {PowerDeviceD3, "REMOVE_DEVICE"},
                                           {PowerDeviceD0, "START_DEVICE"}}));
}

TEST_F(UsbBusTest, AChosenPowerRequestIsRefusedAndAnArmedDeviceRefusesStatesItCannotWakeFrom) {
  tb::UsbBus bus;
  bus.SetCapabilities(WakeCapabilities());
  bus.FailPower(IRP_MN_QUERY_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Power(bus, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping1).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Power(bus, IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS)
      << "only the kind asked for";

  tb::UsbBus armed;
  armed.SetCapabilities(WakeCapabilities());
  EXPECT_EQ(Power(armed, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate).status, STATUS_SUCCESS);
  WakeRequest wake(armed, PowerSystemSleeping3);
  ASSERT_EQ(wake.returned, STATUS_PENDING);
  EXPECT_EQ(Power(armed, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Power(armed, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate).status,
            STATUS_INVALID_DEVICE_STATE)
      << "armed to wake the system, which it cannot do from S4";
  armed.CancelWake();
}

// One wait-wake is held for a device that can wake the system from the state asked for; the
// others are answered at once as the platform answers them.
TEST_F(UsbBusTest, AWaitWakeIsHeldOnlyWhenTheDeviceCanWakeAndOnlyOneAtATime) {
  AnswerSynchronously();  // an unsupported wait-wake is expected completed within its call
  tb::UsbBus cannot;
  WakeRequest unsupported(cannot, PowerSystemSleeping1);
  EXPECT_TRUE(unsupported.Done());
  EXPECT_EQ(unsupported.status, STATUS_NOT_SUPPORTED) << "no wake: completed as it came";

  tb::UsbBus bus;
  bus.SetCapabilities(WakeCapabilities());
  WakeRequest tooDeep(bus, PowerSystemHibernate);
  EXPECT_EQ(tooDeep.returned, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(tooDeep.status, STATUS_INVALID_DEVICE_STATE);
  WakeRequest first(bus, PowerSystemSleeping3);
  EXPECT_EQ(first.returned, STATUS_PENDING);
  WakeRequest second(bus, PowerSystemSleeping1);
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(bus.PendingWaitWakes(), 1u);
  EXPECT_FALSE(first.Done()) << "the held one stays";
  bus.SignalWake();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
}

// The held wait-wake ends with the device's signal, its sender's cancel, the device's D3 and the
// device's removal; a light sleep keeps it.
TEST_F(UsbBusTest, AHeldWaitWakeEndsOnWakeCancelD3AndRemoval) {
  struct Ending {
    const char* what;
    std::function<void(tb::UsbBus&)> end;
    NTSTATUS status;
  } endings[] = {
      {"signalled", [](tb::UsbBus& b) { b.SignalWake(); }, STATUS_SUCCESS},
      {"failed", [](tb::UsbBus& b) { b.SignalWake(STATUS_UNSUCCESSFUL); }, STATUS_UNSUCCESSFUL},
      {"cancelled", [](tb::UsbBus& b) { b.CancelWake(); }, STATUS_CANCELLED},
      {"D3", [](tb::UsbBus& b) { Power(b, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3); },
       STATUS_POWER_STATE_INVALID},
      {"surprise removal", [this](tb::UsbBus& b) { Pnp(b, IRP_MN_SURPRISE_REMOVAL); }, STATUS_NO_SUCH_DEVICE},
      {"removal", [this](tb::UsbBus& b) { Pnp(b, IRP_MN_REMOVE_DEVICE); }, STATUS_NO_SUCH_DEVICE},
  };
  for (const Ending& e : endings) {
    tb::UsbBus bus;
    bus.SetCapabilities(WakeCapabilities());
    Pnp(bus, IRP_MN_START_DEVICE);
    WakeRequest wake(bus, PowerSystemSleeping3);
    ASSERT_EQ(wake.returned, STATUS_PENDING) << e.what;
    Power(bus, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2);
    EXPECT_FALSE(wake.Done()) << e.what << ": D2 keeps the device armed";
    e.end(bus);
    ASSERT_TRUE(wake.Done()) << e.what;
    EXPECT_EQ(wake.status, e.status) << e.what;
    EXPECT_EQ(bus.PendingWaitWakes(), 0u) << e.what;
  }
}

// A suspended port carries nothing: what was pending stays until D0, a transfer sent fails at once
// and is answered in the IRP alone; an abort still ends what is queued.
TEST_F(UsbTransferTest, TransfersPendingAtSuspendAreHeldUntilD0AndNewOnesFailPoweredOff) {
  Transfer read(*bus_, in_, kInShortOk);
  Transfer write(*bus_, out_, 0);
  ASSERT_EQ(read.returned, STATUS_PENDING);
  EXPECT_EQ(Power(*bus_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2).status, STATUS_SUCCESS);
  EXPECT_FALSE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {0x90, 0x40}))
      << "the device is not served while suspended";
  EXPECT_FALSE(read.Done());
  EXPECT_EQ(bus_->PowerCountsOn(0x81).held, 1u);
  EXPECT_EQ(bus_->PowerCountsOn(0x02).held, 1u);
  Power(*bus_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(bus_->PowerCountsOn(0x81).held, 1u) << "counted once, when the device left D0";

  URB late{};
  uint8_t data[32] = {};
  UsbBuildInterruptOrBulkTransferRequest(&late, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out_, data, nullptr,
                                         32, 0, nullptr);
  late.UrbHeader.Status = USBD_STATUS_SUCCESS;  // whatever the caller left there
  tb::Result r = Submit(*bus_, &late);
  EXPECT_TRUE(AnsweredWith(r, STATUS_DEVICE_POWERED_OFF));
  EXPECT_EQ(late.UrbHeader.Status, USBD_STATUS_SUCCESS) << "the hub answers in the IRP alone";
  Transfer lateRead(*bus_, in_, kInShortOk);
  EXPECT_TRUE(lateRead.WaitDone());
  EXPECT_EQ(lateRead.Status(), STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(bus_->PowerCountsOn(0x02).failed, 1u);
  EXPECT_EQ(bus_->PowerCountsOn(0x81).failed, 1u);
  EXPECT_EQ(bus_->PendingOn(0x81), 1u) << "nothing new joined the pipe";

  // Taking transfers off the schedule needs no bus traffic: an abort works while suspended.
  URB abort{};
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, out_, &abort).status, STATUS_SUCCESS);
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);

  Power(*bus_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
  ASSERT_TRUE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {0x90, 0x40}));
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Length(), 2u);
  Transfer after(*bus_, out_, 0);
  EXPECT_EQ(after.returned, STATUS_PENDING) << "served again in D0";
  PipeRequest(URB_FUNCTION_ABORT_PIPE, out_);
}

// The MIDI device behind a suspended port: what it has to send waits in it, a write it was
// still taking completes once the port is back.
TEST_F(UsbBusTest, TheMidiDeviceSendsNothingWhileSuspendedAndCatchesUpInD0) {
  tb::UsbBus bus;
  tb::MidiEndpoints ep(bus);
  USHORT size;
  PURB config = Configure(bus, &size);
  USBD_PIPE_HANDLE in = config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
  USBD_PIPE_HANDLE out = config->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
  ep.SetOutLatency(100);
  Transfer write(bus, out, 0);
  Transfer read(bus, in, kInShortOk);
  ASSERT_EQ(write.returned, STATUS_PENDING);
  Power(bus, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2);
  ep.Feed({0x90, 0x3C, 0x7F});
  // Longer than the device's own retry for a completion whose transfer is not yet on the pipe.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(read.Done());
  EXPECT_FALSE(write.Done());
  EXPECT_EQ(ep.Delivered(), 0u);
  EXPECT_EQ(ep.InPower().held, 1u);
  EXPECT_EQ(ep.OutPower().held, 1u);

  Power(bus, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
  ASSERT_TRUE(ep.WaitDelivered(1));
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(read.data, read.data + read.Length()), (std::vector<uint8_t>{0x90, 0x3C, 0x7F}));
  for (int i = 0; i < 2000 && !write.Done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(ep.WireCount(), 1u);
  ExFreePool(config);
}

// ---------------------------------------------------------------------------------------------
// The tap: every URB on its way down and back.
// ---------------------------------------------------------------------------------------------
namespace {

using Stage = tb::UrbTapEvent::Stage;
using Bytes = std::vector<uint8_t>;

struct TapRecorder : tb::UrbObserver {
  explicit TapRecorder(tb::UsbBus& b) : bus(b) {}
  void OnUrb(const tb::UrbTapEvent& e) override {
    bus.Log();  // outside the bus's lock: its records can be read from here
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(e);
  }
  std::vector<tb::UrbTapEvent> Take() {
    std::lock_guard<std::mutex> guard(lock);
    return std::exchange(events, {});
  }
  tb::UsbBus& bus;
  std::mutex lock;
  std::vector<tb::UrbTapEvent> events;
};

// The events' stages in order: S submitted, C completed.
std::string Shape(const std::vector<tb::UrbTapEvent>& events) {
  std::string s;
  for (auto& e : events) s += e.stage == Stage::Submitted ? "S" : "C";
  return s;
}

}  // namespace

TEST_F(UsbTransferTest, TheTapSeesOutDataGoDownAndInDataComeBackEachWithItsIrp) {
  auto tap = std::make_shared<TapRecorder>(*bus_);
  bus_->AddObserver(tap);
  bus_->SetPipeHook(0x02, [](tb::BulkTransfer& t) {
    return tb::BulkAnswer{false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, t.length};
  });
  uint8_t out[4] = {0x90, 0x3C, 0x64, 0xFF};
  URB write{};
  UsbBuildInterruptOrBulkTransferRequest(&write, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out_, out, nullptr, 4,
                                         0, nullptr);
  ASSERT_EQ(Submit(*bus_, &write).status, STATUS_SUCCESS);
  // A read completed by a lower driver that claims more than the buffer: the data stops at it.
  Transfer read(*bus_, in_, kInShortOk, 8);
  ASSERT_TRUE(bus_->CompletePending(0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {0xB0, 0x07, 0x50}, 64));

  auto e = tap->Take();
  ASSERT_EQ(Shape(e), "SCSC");
  for (size_t i = 0; i < e.size(); i++) EXPECT_EQ(e[i].sequence, e[0].sequence + i);
  EXPECT_EQ(e[0].irp, e[1].irp);
  EXPECT_EQ(e[2].irp, reinterpret_cast<uintptr_t>(read.irp));
  EXPECT_EQ(e[3].urb, reinterpret_cast<uintptr_t>(&read.urb));
  EXPECT_EQ(e[0].data, Bytes(out, out + 4));
  EXPECT_EQ(e[0].status, STATUS_PENDING);
  EXPECT_TRUE(e[1].data.empty());
  EXPECT_EQ(e[1].length, 4u);
  EXPECT_EQ(e[1].status, STATUS_SUCCESS);
  for (int i : {0, 1}) EXPECT_TRUE(e[i].endpoint == 0x02 && !e[i].in && e[i].pipeKnown) << i;
  for (int i : {2, 3}) EXPECT_TRUE(e[i].endpoint == 0x81 && e[i].in && e[i].pipeKnown) << i;
  EXPECT_EQ(e[2].endpointType, USB_ENDPOINT_TYPE_BULK);
  EXPECT_TRUE(e[2].data.empty());
  EXPECT_EQ(e[2].length, 8u);
  EXPECT_EQ(e[3].length, 64u) << "the length as answered";
  EXPECT_EQ(e[3].data, (Bytes{0xB0, 0x07, 0x50, 0, 0, 0, 0, 0})) << "no more than the buffer";
  EXPECT_EQ(e[3].transferFlags & USBD_TRANSFER_DIRECTION_IN, USBD_TRANSFER_DIRECTION_IN);
}

TEST_F(UsbTransferTest, TheTapReportsEveryWayAUrbEndsAndOnlyWhatItSawGoDown) {
  Transfer before(*bus_, in_, kInShortOk);  // went down untapped: its end is not reported
  auto tap = std::make_shared<TapRecorder>(*bus_);
  bus_->AddObserver(tap);
  Transfer waiting(*bus_, in_, kInShortOk);
  URB abort{};
  PipeRequest(URB_FUNCTION_ABORT_PIPE, in_, &abort);
  auto e = tap->Take();
  ASSERT_EQ(Shape(e), "SSCC") << "the reads the abort ends complete before it";
  EXPECT_EQ(e[2].irp, e[0].irp);
  EXPECT_EQ(e[2].usbdStatus, USBD_STATUS_CANCELED);
  EXPECT_EQ(e[2].status, STATUS_CANCELLED);
  EXPECT_TRUE(e[1].onPipe && e[1].pipeKnown && e[1].endpoint == 0x81 && !e[1].hasSetup);
  EXPECT_EQ(e[3].irp, e[1].irp);

  // Ends the bus decides without the device: a stale pipe, a URB too short to read, a refusal
  // while suspended (the URB's status as sent), a pended answer, one held until released.
  URB stale{};
  uint8_t data[8] = {};
  UsbBuildInterruptOrBulkTransferRequest(&stale, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), data, nullptr, 8, 0, nullptr);
  Submit(*bus_, &stale);
  URB shortUrb{};
  shortUrb.UrbHeader.Length = sizeof(struct _URB_HEADER);
  shortUrb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  Submit(*bus_, &shortUrb);
  Power(*bus_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2);
  URB suspended{};
  UsbBuildInterruptOrBulkTransferRequest(&suspended, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out_, data,
                                         nullptr, 8, 0, nullptr);
  suspended.UrbHeader.Status = 0x12;
  Submit(*bus_, &suspended);
  Power(*bus_, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
  bus_->AddFault(tb::UrbFault{tb::UrbFaultKind::Pend, URB_FUNCTION_RESET_PIPE, -1, 1, 0, 0, 0, 1});
  PipeRequest(URB_FUNCTION_RESET_PIPE, in_);
  bus_->Drain();
  bus_->AddFault(tb::UrbFault{tb::UrbFaultKind::NeverComplete, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER});
  Transfer neverAnswered(*bus_, out_, 0);
  bus_->ReleaseHeld(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  e = tap->Take();
  ASSERT_EQ(Shape(e), "SCSCSCSCSC");
  EXPECT_FALSE(e[0].pipeKnown);
  EXPECT_TRUE(e[0].onPipe);
  EXPECT_EQ(e[1].usbdStatus, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_FALSE(e[2].onPipe) << "nothing past the URB's length is read";
  EXPECT_EQ(e[5].status, STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(e[5].usbdStatus, 0x12);
  EXPECT_EQ(e[6].function, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(e[7].status, STATUS_SUCCESS) << "completed later, from the bus's own thread";
  EXPECT_EQ(e[9].irp, e[8].irp);
  EXPECT_EQ(e[9].usbdStatus, USBD_STATUS_DEV_NOT_RESPONDING);

  URB unconfigure{};
  unconfigure.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Submit(*bus_, &unconfigure);
  e = tap->Take();
  ASSERT_EQ(Shape(e), "SC");
  EXPECT_EQ(e[0].setup, (std::array<uint8_t, 8>{0x00, 0x09, 0, 0, 0, 0, 0, 0})) << "SET_CONFIGURATION 0";

  bus_->RemoveObserver(tap.get());
  PipeRequest(URB_FUNCTION_ABORT_PIPE, out_);
  PipeRequest(URB_FUNCTION_ABORT_PIPE, in_);
  EXPECT_TRUE(tap->Take().empty()) << "a removed observer hears nothing";
}
