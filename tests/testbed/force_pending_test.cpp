// Forced pending of the test bed's own drivers: answers held and completed later, elsewhere, at
// DISPATCH_LEVEL; the choice reproducible by seed; cancel of a held transfer; nothing left over.
#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/fixture.h"
#include "usb/usb_bus.h"

namespace {

// One URB sent as a driver sends it, watched at its completion.
struct Sent {
  URB urb{};
  USB_DEVICE_DESCRIPTOR descriptor{};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;
  std::atomic<bool> done{false};
  NTSTATUS status = STATUS_PENDING;
  bool pendingReturned = false;
  KIRQL irql = PASSIVE_LEVEL;
  std::thread::id thread;

  void Send(PDEVICE_OBJECT pdo) {
    irp = tb::AllocateSystemIrp(pdo->StackSize, [this](PIRP done_) {
      status = done_->IoStatus.Status;
      pendingReturned = done_->PendingReturned != FALSE;
      irql = KeGetCurrentIrql();
      thread = std::this_thread::get_id();
      done = true;
    });
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    s->Parameters.Others.Argument1 = &urb;
    returned = IofCallDriver(pdo, irp);
  }
  void Wait() const {
    for (int i = 0; i < 5000 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

void BuildGetDescriptor(Sent& s) {
  UsbBuildGetDescriptorRequest(&s.urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                               &s.descriptor, nullptr, sizeof s.descriptor, nullptr);
}

// Which of `n` descriptor requests in a row were held, and their delays, under `seed`.
std::vector<std::pair<bool, uint32_t>> Pattern(uint32_t seed, int n) {
  tb::UsbBus bus;
  tb::SetForcePending(true, seed);
  for (int i = 0; i < n; i++) {
    Sent s;
    BuildGetDescriptor(s);
    s.Send(bus.Pdo());
    s.Wait();
    EXPECT_TRUE(s.done);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
  }
  std::vector<std::pair<bool, uint32_t>> out;
  for (const auto& d : tb::ForcePendingLog()) out.emplace_back(d.pend, d.delayUs);
  return out;
}

class ForcePendingTest : public KernelTest {};

TEST_F(ForcePendingTest, AHeldUrbReturnsPendingAndCompletesLaterOnAnotherThreadAtDispatchLevel) {
  tb::UsbBus bus;
  tb::SetForcePending(true, 4242);
  int held = 0;
  int atOnce = 0;
  for (int i = 0; i < 64; i++) {
    Sent s;
    BuildGetDescriptor(s);
    s.Send(bus.Pdo());
    if (s.returned == STATUS_PENDING) {
      held++;
      s.Wait();
      ASSERT_TRUE(s.done);
      EXPECT_TRUE(s.pendingReturned) << "marked pending by the bus";
      EXPECT_EQ(s.irql, DISPATCH_LEVEL);
      EXPECT_NE(s.thread, std::this_thread::get_id());
    } else {
      atOnce++;
      ASSERT_TRUE(s.done) << "not pended: answered within the call";
      EXPECT_FALSE(s.pendingReturned);
      EXPECT_EQ(s.thread, std::this_thread::get_id());
      EXPECT_EQ(s.returned, STATUS_SUCCESS);
    }
    // Held or not, the answer is the bus's own.
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(s.descriptor.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(s.urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof s.descriptor);
  }
  EXPECT_GE(held, 16);
  EXPECT_GE(atOnce, 16);
  // The completer counts a completion after the completion has run, so the caller can see its
  // answer first: wait for the books to close before reading them.
  EXPECT_EQ(tb::DrainForcedPending(nullptr, "test"), 0u);
  tb::ForcePendingStats stats = tb::GetForcePendingStats();
  EXPECT_EQ(stats.considered, 64u);
  EXPECT_EQ(stats.pended, static_cast<uint64_t>(held));
  EXPECT_EQ(stats.completed, static_cast<uint64_t>(held));
  EXPECT_EQ(stats.outstanding, 0u);
}

TEST_F(ForcePendingTest, TheSameSeedHoldsTheSameRequestsForTheSameTimesAndAnotherSeedDoesNot) {
  auto first = Pattern(7, 48);
  auto again = Pattern(7, 48);
  auto other = Pattern(8, 48);
  ASSERT_EQ(first.size(), 48u);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  for (const auto& [pend, delay] : first) {
    if (pend) {
      EXPECT_GE(delay, 1u);
      EXPECT_LE(delay, 1000u);
    } else {
      EXPECT_EQ(delay, 0u);
    }
  }
}

TEST_F(ForcePendingTest, ModeComesFromTheEnvironmentAtKernelStartAndIsOffWithoutIt) {
  const char* before = std::getenv("TB_FORCE_PENDING");
  std::string saved = before != nullptr ? before : "";
  setenv("TB_FORCE_PENDING", "31337", 1);
  tb::ResetKernel();
  EXPECT_TRUE(tb::ForcePendingOn());
  EXPECT_EQ(tb::ForcePendingSeed(), 31337u);
  unsetenv("TB_FORCE_PENDING");
  tb::ResetKernel();
  EXPECT_FALSE(tb::ForcePendingOn());
  {
    tb::UsbBus bus;
    Sent s;
    BuildGetDescriptor(s);
    s.Send(bus.Pdo());
    EXPECT_EQ(s.returned, STATUS_SUCCESS) << "off: answered within the call";
    EXPECT_TRUE(s.done);
  }
  if (before != nullptr) setenv("TB_FORCE_PENDING", saved.c_str(), 1);
}

TEST_F(ForcePendingTest, AHeldBulkTransferCancelledCompletesCancelledWithTheUrbSaySo) {
  tb::UsbBus bus;
  auto config = bus.Device().ConfigurationDescriptor();
  USHORT size = 0;
  PURB select = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
  EXPECT_EQ(tb::Call(bus.Pdo(), [select](PIO_STACK_LOCATION s, PIRP) {
              s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
              s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
              s->Parameters.Others.Argument1 = select;
            }).status,
            STATUS_SUCCESS);
  USBD_PIPE_HANDLE out = select->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
  ExFreePool(select);

  // Held for ten seconds: only the cancel can end it within the test.
  tb::SetForcePending(true, 1, 10 * 1000 * 1000);
  uint8_t data[32] = {0x09, 0x90, 0x3C, 0x64};
  bool cancelledOne = false;
  for (int i = 0; i < 16 && !cancelledOne; i++) {
    Sent s;
    UsbBuildInterruptOrBulkTransferRequest(&s.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out, data, nullptr,
                                           sizeof data, 0, nullptr);
    s.Send(bus.Pdo());
    if (s.returned != STATUS_PENDING) {
      EXPECT_TRUE(s.done);
      continue;
    }
    EXPECT_FALSE(s.done) << "held";
    EXPECT_EQ(tb::GetForcePendingStats().outstanding, 1u);
    EXPECT_TRUE(IoCancelIrp(s.irp));
    ASSERT_TRUE(s.done) << "completed by the cancel";
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    EXPECT_EQ(s.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_TRUE(s.pendingReturned);
    cancelledOne = true;
  }
  ASSERT_TRUE(cancelledOne);
  tb::ForcePendingStats stats = tb::GetForcePendingStats();
  EXPECT_EQ(stats.cancelled, 1u);
  EXPECT_EQ(stats.outstanding, 0u);
}

TEST_F(ForcePendingTest, DeletingAHostDeviceWaitsForItsHeldRequestsAndOneNeverDoneIsReported) {
  auto answer = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  // Held 20 ms each: the deletion has to wait for them.
  tb::SetForcePending(true, 3, 20 * 1000);
  PDEVICE_OBJECT device = tb::CreateHostDevice("held", answer);
  std::vector<std::shared_ptr<tb::IoRequest>> requests;
  for (int i = 0; i < 8; i++) {
    tb::IoRequestParams params;
    params.major = IRP_MJ_DEVICE_CONTROL;
    params.code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    requests.push_back(tb::StartRequest(device, params));
  }
  EXPECT_GT(tb::GetForcePendingStats().outstanding, 0u);
  tb::DeleteHostDevice(device);
  EXPECT_EQ(tb::GetForcePendingStats().outstanding, 0u);
  for (auto& r : requests) {
    EXPECT_TRUE(r->Done());
    EXPECT_EQ(r->Outcome().status, STATUS_SUCCESS);
  }

  // One held far beyond the hang limit is reported, not waited for silently.
  int limit = tb::GetSettings().hangLimitMs;
  tb::GetSettings().hangLimitMs = 50;
  tb::SetForcePending(true, 3, 400 * 1000);
  PDEVICE_OBJECT slow = tb::CreateHostDevice("slow", answer);
  std::shared_ptr<tb::IoRequest> r;
  for (int i = 0; i < 16 && tb::GetForcePendingStats().outstanding == 0; i++) {
    tb::IoRequestParams params;
    params.major = IRP_MJ_DEVICE_CONTROL;
    r = tb::StartRequest(slow, params);
  }
  ASSERT_EQ(tb::GetForcePendingStats().outstanding, 1u);
  auto got = ExpectViolation(tb::Rule::ForcedPendingLeftBehind, [&] { EXPECT_EQ(tb::DrainForcedPending(slow, "test"), 1u); });
  EXPECT_EQ(got.size(), 1u);
  tb::GetSettings().hangLimitMs = limit;
  EXPECT_EQ(tb::DrainForcedPending(nullptr, "test"), 0u);
  EXPECT_TRUE(r->Done());
  tb::DeleteHostDevice(slow);
}

}  // namespace
