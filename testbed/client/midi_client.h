// The test bed's MIDI client driver and its interface for tests. The PnP manager loads the
// driver on the child device (PnpManager::LoadChildDriver); its device sits above the child,
// passes Plug and Play, power and every other request down, and goes with the child's removal.
// Through a MidiClient a test makes the client send the child what a MIDI client driver sends:
// opens with a file object, reads, writes, the four internal codes and the direct-call
// interface. Every request goes to the client's lower device, as a driver on its bus's device
// sends them; an application's open (user mode) goes in by the top of the stack instead.
//
// Everything here is thread-safe: several threads and several opens may use one client at once.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "testbed.h"
#include "usbmidi_client.h"

namespace tb {

struct ClientResult {
  NTSTATUS status = STATUS_PENDING;    // the request's final status; STATUS_PENDING while out
  ULONG_PTR information = 0;
  NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine returned
  std::vector<UCHAR> bytes;            // a read's: the first Information bytes of its buffer
};

// A read in flight, with the buffer it reads into (non-paged: the client's own memory).
class ClientRead {
 public:
  ClientRead(std::shared_ptr<IoRequest> request, std::shared_ptr<std::vector<UCHAR>> buffer);
  bool Wait(int timeoutMs = -1);  // no timeout: up to the hang limit, then a report
  bool Done();
  BOOLEAN Cancel();
  ClientResult Result();
  std::chrono::steady_clock::time_point CompletedAt();  // see IoRequest::CompletedAt

 private:
  std::shared_ptr<IoRequest> request_;
  std::shared_ptr<std::vector<UCHAR>> buffer_;
};

// One open of the child: one file object, from create to close.
class ClientOpen {
 public:
  explicit ClientOpen(std::shared_ptr<File> file, KPROCESSOR_MODE mode);
  PFILE_OBJECT FileObject();  // null once closed
  KPROCESSOR_MODE Mode();     // every request on the open carries it

  ClientResult Write(const std::vector<UCHAR>& bytes);
  ClientResult Write(const void* buffer, ULONG length);  // as given, a null buffer too
  // The open's read: one waits at a time. A read begun while it waits is still sent (for the
  // child to refuse) and handed back, but the waiting one stays the open's.
  std::shared_ptr<ClientRead> BeginRead(ULONG capacity);
  ClientResult Read(ULONG capacity, int timeoutMs = -1);  // begins a read and waits for it
  bool WaitRead(int timeoutMs = -1);
  BOOLEAN CancelRead();
  ClientResult ReadResult();
  // A device control on the open, METHOD_NEITHER style: `buffer` in Type3InputBuffer and
  // Irp->UserBuffer.
  ClientResult DeviceControl(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength);
  // Any other request on the open, with the open's mode.
  std::shared_ptr<IoRequest> Request(IoRequestParams params);

  // Cleanup now, the close once every request on the open has completed; see tb::File::Close.
  NTSTATUS Close();
  bool CloseIfOpen();  // Close unless the handle was closed already; true if it closed it
  bool WaitClosed(int timeoutMs = -1);
  ClientResult CleanupResult();
  ClientResult CloseResult();

 private:
  std::mutex lock_;
  std::shared_ptr<File> file_;
  KPROCESSOR_MODE mode_;
  bool handleClosed_ = false;
  std::shared_ptr<ClientRead> read_;
};

// The client above one child.
class MidiClient {
 public:
  MidiClient(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT child);
  PDEVICE_OBJECT Device();  // the client's own device
  PDEVICE_OBJECT Lower();   // the device it attached to: where its requests go
  PDEVICE_OBJECT Child();   // the child's physical device object
  bool Present();           // until REMOVE_DEVICE took the client's device away
  // Plug and Play requests that passed through the client, oldest first ("START_DEVICE" ...).
  std::vector<std::string> PnpSeen();
  NTSTATUS StartStatus();   // the child's answer to the last START_DEVICE; STATUS_PENDING: none

  // Kernel mode: the client's own open, sent to its lower device. User mode: an application's
  // open of the child, by the top of the stack. Null when the open failed (`result` says why).
  std::shared_ptr<ClientOpen> Open(KPROCESSOR_MODE mode = KernelMode, ClientResult* result = nullptr);
  // Closes every open still open, as a client answers a query-remove notification.
  void CloseAll();

  ClientResult InternalOpen();
  ClientResult InternalClose();
  ClientResult InternalWrite(const std::vector<UCHAR>& bytes);
  ClientResult InternalWrite(const void* buffer, ULONG length);
  // The internal read slot, like an open's: one read waits at a time.
  std::shared_ptr<ClientRead> BeginInternalRead(ULONG capacity);
  ClientResult InternalRead(ULONG capacity, int timeoutMs = -1);
  bool WaitInternalRead(int timeoutMs = -1);
  BOOLEAN CancelInternalRead();
  ClientResult InternalReadResult();

  // IOCTL_GET_DIRECT_CALL_INTERFACE with `record` (the caller's memory, its Magic set by the
  // caller) in Type3InputBuffer and `outputLength` as the output length. A success keeps the
  // record for DirectWrite and DirectControl.
  ClientResult GetDirectCallInterface(DIRECT_CALL_INTERFACE* record, ULONG outputLength = DIRECT_CALL_INTERFACE_SIZE);
  ClientResult GetDirectCallInterface();  // with a record of the client's, Magic DIRECT_CALL_MAGIC
  DIRECT_CALL_INTERFACE DirectCallInterface();  // the one kept; zero before any success
  // The interface's two functions, called in the caller's thread below DISPATCH_LEVEL.
  ULONG DirectWrite(const std::vector<UCHAR>& bytes);
  NTSTATUS DirectControl(ULONG stop);

  // The client driver's own notes.
  void NotePnp(UCHAR minor);
  void NoteStarted(NTSTATUS status);
  void NoteRemoved();

 private:
  ClientResult Internal(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength);
  std::shared_ptr<IoRequest> Send(const IoRequestParams& params);

  PDEVICE_OBJECT device_;
  PDEVICE_OBJECT lower_;
  PDEVICE_OBJECT child_;
  std::mutex lock_;
  bool present_ = true;
  std::vector<std::string> pnp_;
  NTSTATUS started_ = STATUS_PENDING;
  std::vector<std::weak_ptr<ClientOpen>> opens_;
  std::shared_ptr<ClientRead> internalRead_;
  DIRECT_CALL_INTERFACE record_{};  // the client's own record for GetDirectCallInterface()
  DIRECT_CALL_INTERFACE direct_{};  // the one kept
};

// Loads the client driver into the current kernel; the earlier kernel's clients are forgotten.
PDRIVER_OBJECT LoadMidiClient();
// The client above `child`, or null when none was added there (or it has gone).
std::shared_ptr<MidiClient> MidiClientOn(PDEVICE_OBJECT child);

}  // namespace tb
