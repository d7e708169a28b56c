// A started device with its transport running the way the stream start will run it: two
// continuous reads in flight and the writer thread, over the simulated interface's endpoints.
#pragma once

#include <memory>

#include "pnp.h"
#include "support/fixture.h"
#include "transport/transport.h"
#include "usb/midi_endpoints.h"

class StreamTest : public DriverTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs in and starts the first product; `completers` IN completion threads.
  void Plug(int completers = 1);
  // Two continuous reads, as the first open starts them.
  void StartReads(int count = 2);
  // The writer thread, as the first open starts it.
  void StartWriter();
  // Ends the writer thread: the running mark cleared, woken, waited for.
  void StopWriter();
  // Removes the device the way the PnP manager does.
  void Remove();

  std::unique_ptr<tb::PnpManager> pnp_;
  std::unique_ptr<tb::MidiEndpoints> ep_;
  tb::UsbBus* bus_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  FdoExtension* ext_ = nullptr;
};

// A read request placed in a reader slot the way the client's read handlers place it: served
// at once if bytes wait, otherwise left pending with a cancel routine.
struct ReaderRequest {
  PIRP irp = nullptr;
  std::vector<UCHAR> buffer;
  std::atomic<bool> done{false};
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;

  explicit ReaderRequest(ULONG length);
  ~ReaderRequest();
  std::vector<UCHAR> Bytes() const { return std::vector<UCHAR>(buffer.begin(), buffer.begin() + information); }
  bool Wait(int timeoutMs = 5000);
};

// Places the request in the slot (an OpenContext's or the child's fields), under RxLock.
// Returns true when it was completed at once.
bool PlaceRead(FdoExtension* fdo, PIRP* pendingSlot, ULONG* readIndex, PUCHAR* bufferSlot, ULONG* lengthSlot,
               ReaderRequest& request);

// The second half of a read's cancel routine, after the cancel lock is released: clears the slot
// if it still holds the request, and completes it as cancelled.
void FinishCancelledRead(PIRP irp);
