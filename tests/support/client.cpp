#include "support/client.h"

#include <chrono>
#include <thread>

namespace {
// Sends a request on the child built by `fill` (its first location), capturing the outcome at
// completion, when the I/O manager frees it.
std::unique_ptr<SentRequest> Send(PDEVICE_OBJECT child, size_t bufferBytes,
                                  const std::function<void(PIO_STACK_LOCATION, PIRP, SentRequest&)>& fill) {
  auto request = std::make_unique<SentRequest>();
  request->buffer.assign(bufferBytes, 0);
  SentRequest* r = request.get();
  PDEVICE_OBJECT top = tb::TopOfStack(child);
  r->irp = tb::AllocateSystemIrp(
      top->StackSize,
      [r](PIRP done) {
        r->status = done->IoStatus.Status;
        r->information = done->IoStatus.Information;
        r->done = true;
      },
      true);
  fill(IoGetNextIrpStackLocation(r->irp), r->irp, *r);
  r->returned = IofCallDriver(top, r->irp);
  return request;
}
}  // namespace

// One still waiting in the driver is left there: it goes with the kernel.
SentRequest::~SentRequest() {
  if (irp != nullptr && tb::IrpReachedTop(irp)) tb::FreeSystemIrp(irp);
}

bool SentRequest::Wait(int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done.load()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::unique_ptr<ChildOpen> OpenChild(PDEVICE_OBJECT child, KPROCESSOR_MODE mode) {
  auto open = std::make_unique<ChildOpen>();
  open->file.Type = IO_TYPE_FILE;
  open->file.Size = sizeof(FILE_OBJECT);
  open->file.DeviceObject = child;
  FILE_OBJECT* file = &open->file;
  tb::Result r = tb::Call(child, [file, mode](PIO_STACK_LOCATION s, PIRP irp) {
    s->MajorFunction = IRP_MJ_CREATE;
    s->FileObject = file;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = file;
  });
  open->status = r.status;
  return open;
}

NTSTATUS CloseChild(PDEVICE_OBJECT child, ChildOpen& open) {
  FILE_OBJECT* file = &open.file;
  return tb::Call(child, [file](PIO_STACK_LOCATION s, PIRP irp) {
           s->MajorFunction = IRP_MJ_CLOSE;
           s->FileObject = file;
           irp->Tail.Overlay.OriginalFileObject = file;
         })
      .status;
}

std::unique_ptr<SentRequest> ReadChild(PDEVICE_OBJECT child, ChildOpen* open, ULONG length, KPROCESSOR_MODE mode,
                                       bool nullBuffer) {
  return Send(child, length, [&](PIO_STACK_LOCATION s, PIRP irp, SentRequest& r) {
    s->MajorFunction = IRP_MJ_READ;
    s->Parameters.Read.Length = length;
    s->FileObject = open != nullptr ? &open->file : nullptr;
    irp->UserBuffer = nullBuffer ? nullptr : r.buffer.data();
    irp->RequestorMode = mode;
  });
}

tb::Result WriteChild(PDEVICE_OBJECT child, ChildOpen* open, const void* bytes, ULONG length, KPROCESSOR_MODE mode) {
  return tb::Call(child, [&](PIO_STACK_LOCATION s, PIRP irp) {
    s->MajorFunction = IRP_MJ_WRITE;
    s->Parameters.Write.Length = length;
    s->FileObject = open != nullptr ? &open->file : nullptr;
    irp->UserBuffer = const_cast<void*>(bytes);
    irp->RequestorMode = mode;
  });
}

tb::Result InternalChild(PDEVICE_OBJECT child, ULONG code, void* buffer, ULONG inputLength, ULONG outputLength) {
  return tb::Call(child, [&](PIO_STACK_LOCATION s, PIRP) {
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = code;
    s->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    s->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    s->Parameters.DeviceIoControl.Type3InputBuffer = buffer;
  });
}

std::unique_ptr<SentRequest> InternalReadChild(PDEVICE_OBJECT child, ULONG length) {
  return Send(child, length, [&](PIO_STACK_LOCATION s, PIRP, SentRequest& r) {
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_CLIENT_READ;
    s->Parameters.DeviceIoControl.OutputBufferLength = length;
    s->Parameters.DeviceIoControl.Type3InputBuffer = r.buffer.data();
  });
}

tb::Result DirectCallChild(PDEVICE_OBJECT child, void* record, ULONG outputLength, ULONG code, KPROCESSOR_MODE mode) {
  return tb::Call(child, [&](PIO_STACK_LOCATION s, PIRP irp) {
    s->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = code;
    s->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    s->Parameters.DeviceIoControl.Type3InputBuffer = record;
    irp->RequestorMode = mode;
  });
}
