#include "support/stream.h"

#include <chrono>
#include <thread>

void StreamTest::SetUp() { DriverTest::SetUp(); }

void StreamTest::TearDown() {
  if (pdo_ != nullptr) Remove();
  ep_.reset();
  pnp_.reset();
  DriverTest::TearDown();
}

void StreamTest::Plug(int completers) {
  pnp_ = std::make_unique<tb::PnpManager>(driver_);
  pdo_ = pnp_->Plug(tb::UsbMidiDevice::Product(0x0001));
  ASSERT_NE(pdo_, nullptr);
  ASSERT_EQ(pnp_->Start(pdo_), STATUS_SUCCESS);
  bus_ = pnp_->Bus(pdo_);
  ep_ = std::make_unique<tb::MidiEndpoints>(*bus_, completers);
  fdo_ = tb::TopOfStack(pdo_);
  ext_ = FdoExt(fdo_);
  ASSERT_EQ(ext_->Signature, FDO_SIGNATURE);
  ASSERT_TRUE(IsReady(fdo_));
}

void StreamTest::StartReads(int count) {
  for (int i = 0; i < count; i++) {
    TransferPacket* packet = TakePacket(fdo_);
    ASSERT_NE(packet, nullptr);
    packet->PacketFlags |= PACKET_CONTINUOUS_READ;
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext_->ActiveReadCount));
    SubmitRead(fdo_, packet);
  }
  ASSERT_TRUE(ep_->WaitForPendingIn(static_cast<size_t>(count)));
}

void StreamTest::StartWriter() {
  SetFdoFlags(ext_, FDO_STREAM_RUNNING);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WriterThread, ext_), STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  ext_->WriterThread = thread;
  ZwClose(handle);
}

void StreamTest::StopWriter() {
  ClearFdoFlags(ext_, FDO_STREAM_RUNNING);
  KeSetEvent(&ext_->TxEvent, 1, FALSE);
  PVOID thread = InterlockedExchangePointer(&ext_->WriterThread, nullptr);
  if (thread != nullptr) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
  }
}

void StreamTest::Remove() {
  ep_.reset();  // the endpoints' threads end before the bus goes away with the device
  pnp_->Remove(pdo_);
  pdo_ = nullptr;
}

void FinishCancelledRead(PIRP irp) {
  auto* fdo = static_cast<FdoExtension*>(irp->Tail.Overlay.DriverContext[2]);
  auto* slot = static_cast<PIRP*>(irp->Tail.Overlay.DriverContext[1]);
  KIRQL old;
  KeAcquireSpinLock(&fdo->RxLock, &old);
  if (*slot == irp) *slot = nullptr;
  KeReleaseSpinLock(&fdo->RxLock, old);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

namespace {
// Mirrors the client's cancel routine: lets go of the cancel lock before taking RxLock.
VOID NTAPI TestReadCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  FinishCancelledRead(irp);
}
}  // namespace

ReaderRequest::ReaderRequest(ULONG length) : buffer(length, 0) {
  irp = tb::AllocateSystemIrp(1, [this](PIRP done) {
    status = done->IoStatus.Status;
    information = done->IoStatus.Information;
    this->done = true;
  });
}

// A completed request was freed by the I/O manager; one still waiting goes with the kernel.
ReaderRequest::~ReaderRequest() = default;

bool ReaderRequest::Wait(int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done.load()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

bool PlaceRead(FdoExtension* fdo, PIRP* pendingSlot, ULONG* readIndex, PUCHAR* bufferSlot, ULONG* lengthSlot,
               ReaderRequest& request) {
  PIRP irp = request.irp;
  irp->IoStatus.Information = 0;
  KIRQL old;
  KeAcquireSpinLock(&fdo->RxLock, &old);
  *bufferSlot = request.buffer.data();
  *lengthSlot = static_cast<ULONG>(request.buffer.size());
  while (*readIndex != fdo->RxWriteIndex && irp->IoStatus.Information < *lengthSlot) {
    **bufferSlot = fdo->RxRing[*readIndex];
    (*bufferSlot)++;
    irp->IoStatus.Information++;
    *readIndex = (*readIndex + 1) & 0x7F;
  }
  if (irp->IoStatus.Information > 0) {
    KeReleaseSpinLock(&fdo->RxLock, old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
  }
  irp->Tail.Overlay.DriverContext[1] = pendingSlot;
  irp->Tail.Overlay.DriverContext[2] = fdo;
  IoSetCancelRoutine(irp, TestReadCancel);
  *pendingSlot = irp;
  KeReleaseSpinLock(&fdo->RxLock, old);
  return false;
}
