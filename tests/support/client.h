// Requests a kernel-mode client sends to the child device, through the driver's real entry points:
// create and close with a file object, reads (left waiting, cancelled), writes, the internal codes
// and the direct-call request.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "core/driver.h"
#include "testbed.h"
// After the platform's headers, as a client includes it.
#include "client/usbmidi_client.h"

// One open of the child: its file object lives as long as this record.
struct ChildOpen {
  FILE_OBJECT file{};
  NTSTATUS status = STATUS_PENDING;  // the create's answer
};

std::unique_ptr<ChildOpen> OpenChild(PDEVICE_OBJECT child, KPROCESSOR_MODE mode = KernelMode);
NTSTATUS CloseChild(PDEVICE_OBJECT child, ChildOpen& open);

// A request sent without waiting for it; it may complete at once or later.
// The IRP stays the sender's after completion, so that a cancel racing the completion is safe.
struct SentRequest {
  ~SentRequest();
  PIRP irp = nullptr;
  std::vector<UCHAR> buffer;
  std::atomic<bool> done{false};
  NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned
  NTSTATUS status = STATUS_PENDING;    // as completed
  ULONG_PTR information = 0;
  bool Wait(int timeoutMs = 5000);
  bool Cancel() { return IoCancelIrp(irp) != FALSE; }
  std::vector<UCHAR> Bytes() const {
    return std::vector<UCHAR>(buffer.begin(), buffer.begin() + static_cast<long>(information));
  }
};

std::unique_ptr<SentRequest> ReadChild(PDEVICE_OBJECT child, ChildOpen* open, ULONG length,
                                       KPROCESSOR_MODE mode = KernelMode, bool nullBuffer = false);
tb::Result WriteChild(PDEVICE_OBJECT child, ChildOpen* open, const void* bytes, ULONG length,
                      KPROCESSOR_MODE mode = KernelMode);
// An internal request: `buffer` travels as Type3InputBuffer with the two lengths.
tb::Result InternalChild(PDEVICE_OBJECT child, ULONG code, void* buffer = nullptr, ULONG inputLength = 0,
                         ULONG outputLength = 0);
std::unique_ptr<SentRequest> InternalReadChild(PDEVICE_OBJECT child, ULONG length);
// The direct-call request with `record` and the given output length.
tb::Result DirectCallChild(PDEVICE_OBJECT child, void* record, ULONG outputLength,
                           ULONG code = IOCTL_GET_DIRECT_CALL_INTERFACE, KPROCESSOR_MODE mode = KernelMode);
