// The simulated USB device under the function device: its descriptors (a builder for the MIDI
// interface and its variants) and the bus driver answering at the bottom of its stack - URBs,
// Plug and Play and power - with faults on demand.
#pragma once

#include <usb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "testbed.h"

// The hub's answer to a transfer sent while the device is suspended, and a wait-wake request's
// end when its device goes to D3.
#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0x8000000FL)
#endif
#ifndef STATUS_POWER_STATE_INVALID
#define STATUS_POWER_STATE_INVALID ((NTSTATUS)0xC00002D3L)
#endif

namespace tb {

// ---------------------------------------------------------------------------------------------
// Descriptors.
// ---------------------------------------------------------------------------------------------
struct UsbEndpointLayout {
  uint8_t address = 0x81;
  uint8_t attributes = USB_ENDPOINT_TYPE_BULK;
  uint16_t maxPacket = 64;
  uint8_t interval = 0;
};

struct UsbInterfaceLayout {
  uint8_t number = 2;
  uint8_t alternate = 0;
  uint8_t cls = 0xFF;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  std::vector<UsbEndpointLayout> endpoints;
  std::vector<std::vector<uint8_t>> extra;  // class-specific descriptors between interface and endpoints
};

// The simulated MIDI interface. Product(0x0001) is the first product with interface 2 holding a
// bulk IN endpoint 0x81 and a bulk OUT endpoint 0x02.
struct UsbMidiDevice {
  uint16_t vendorId = 0x0A7E;
  uint16_t productId = 0x0001;
  std::vector<UsbInterfaceLayout> interfaces;
  // What the bus answers to a capabilities query from the start (otherwise all zero).
  std::optional<DEVICE_CAPABILITIES> capabilities;
  // Answered instead of the built descriptors when not empty (malformed variants).
  std::vector<uint8_t> rawConfiguration;
  std::vector<uint8_t> rawDevice;

  static UsbMidiDevice Product(uint16_t productId, uint16_t vendorId = 0x0A7E);
  // Capabilities that give a function driver an idle state: D2 at S1 and between uses (waking
  // from D2), D3 in the deeper sleeps, the system woken from S3.
  UsbMidiDevice& WithIdleState();
  // Replaces the endpoints of interface 2, alternate setting 0.
  UsbMidiDevice& WithEndpoints(std::vector<UsbEndpointLayout> endpoints);
  // Adds interfaces 0 and 1 before the MIDI interface, an alternate setting 1 of it and
  // interface 3 after it.
  UsbMidiDevice& WithOtherInterfaces();

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
};

// ---------------------------------------------------------------------------------------------
// The bus driver.
// ---------------------------------------------------------------------------------------------
// The host controller the device hangs off. UHCI and OHCI behave alike in everything the bus
// models: a short bulk or interrupt IN transfer without USBD_SHORT_TRANSFER_OK fails and halts the
// endpoint. On EHCI the flag is ignored and a short transfer simply succeeds.
enum class HostController { Uhci, Ohci, Ehci };

enum class UrbFaultKind {
  Fail,           // complete with status / usbdStatus
  ShortData,      // a descriptor read returns at most `bytes`
  Pend,           // answered, then completed later from another thread at DISPATCH_LEVEL
  NeverComplete,  // kept pending until ReleaseHeld
};

struct UrbFault {
  UrbFaultKind kind = UrbFaultKind::Fail;
  int function = -1;          // URB function to match; -1 any
  int descriptorType = -1;    // for descriptor reads; -1 any
  uint32_t nth = 0;           // 1-based: only the n-th matching URB; 0: every matching URB
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbdStatus = USBD_STATUS_REQUEST_FAILED;
  ULONG bytes = 0;
  int delayMs = 5;            // for Pend
  uint32_t seen = 0;          // matching URBs so far
};

struct UrbRecord {
  USHORT function = 0;
  USHORT urbLength = 0;
  UCHAR descriptorType = 0;
  ULONG requestedLength = 0;  // descriptor reads and bulk transfers
  ULONG returnedLength = 0;
  USBD_PIPE_HANDLE pipe = nullptr;
  ULONG transferFlags = 0;                 // bulk transfers: as the caller submitted them
  bool nullConfiguration = false;          // select configuration with no descriptor
  std::vector<ULONG> maximumTransferSizes; // select interface: what was asked per pipe
  std::vector<int> pipeTypesAsked;         // select interface: PipeType as the caller filled it
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
};

struct PipeInfo {
  USBD_PIPE_HANDLE handle;
  UCHAR endpoint;
  UCHAR interfaceNumber;
  USBD_PIPE_TYPE type;
  ULONG maximumTransferSize;
  size_t pending;
  bool halted;  // a transfer error stopped the endpoint; only a pipe reset restarts it
};

// A bulk or interrupt transfer as a pipe hook sees it.
struct BulkTransfer {
  PIRP irp;
  PURB urb;
  UCHAR endpoint;
  bool in;
  ULONG length;
  PUCHAR buffer;
};
struct BulkAnswer {
  bool pend = false;              // keep it on the pipe until CompletePending or an abort
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  ULONG bytes = 0;                // TransferBufferLength reported
};
using PipeHook = std::function<BulkAnswer(BulkTransfer&)>;

// One request as it reached the bus, in the order of arrival across every kind.
struct BusEvent {
  enum class Kind { Urb, Pnp, Power, DeviceControl, InternalDeviceControl, Other };
  Kind kind;
  uint64_t sequence;                      // 0, 1, 2 ... in arrival order
  std::chrono::steady_clock::time_point time;
  UCHAR major;
  UCHAR minor;                            // PnP and power
  ULONG code;                             // URB function, or the control code
  USBD_PIPE_HANDLE pipe;                  // abort, reset and transfers
  std::string name;                       // "ABORT_PIPE", "REMOVE_DEVICE", "SET_POWER D3" ...
};

// The tap: one event when a URB reaches the bus and one when the bus completes it, as a bus
// analyser between the function device and the bus would see them.
struct UrbTapEvent {
  enum class Stage { Submitted, Completed };
  Stage stage;
  uint64_t sequence;                        // 0, 1, 2 ... across both stages, in delivery order
  std::chrono::steady_clock::time_point time;
  uint64_t irp;                             // a completion belongs to the last submission of its IRP
  uint64_t urb;
  USHORT function;                          // URB_FUNCTION_*
  bool onPipe;                              // transfers, abort and reset: the request names a pipe
  bool pipeKnown;                           // ... and the bus has that pipe
  UCHAR endpoint;                           // the pipe's bEndpointAddress; 0 on the default pipe
  UCHAR endpointType;                       // USB_ENDPOINT_TYPE_* of the pipe; CONTROL on the default one
  bool in;                                  // data moves to the host (for a pipe the bus lacks: by the flags)
  ULONG transferFlags;                      // transfers: as the URB carries them at this stage
  ULONG length;                             // TransferBufferLength: asked at submission, answered at completion
  std::vector<uint8_t> data;                // OUT data at submission, IN data at completion
  bool hasSetup;                            // a request on the default pipe ...
  std::array<uint8_t, 8> setup;             // ... and the setup packet the stack sends for it
  USBD_STATUS usbdStatus;                   // the URB's status: as sent, then as answered
  NTSTATUS status;                          // the IRP's status: STATUS_PENDING, then as completed
};

// Receives the tap's events one at a time, in sequence, outside the bus's lock, on whatever
// thread submits or completes the URB (completions often at DISPATCH_LEVEL). A completion is
// reported before the IRP's completion routines run, while the URB is still the bus's. An
// observer may read the bus's records; it must not add or remove observers, nor submit or
// complete URBs: the tap delivers under a lock of its own.
class UrbObserver {
 public:
  virtual ~UrbObserver() = default;
  virtual void OnUrb(const UrbTapEvent& event) = 0;
};

// A device power state the bus put the device in, and what made it.
struct DevicePowerChange {
  DEVICE_POWER_STATE state;
  std::string cause;  // "SET_POWER", "START_DEVICE", "REMOVE_DEVICE"
};

// Bulk and interrupt transfers of one endpoint that the device's power state held or failed.
struct PowerTransferCounts {
  size_t held = 0;    // pending when the device left D0: kept, not served, until it is back in D0
  size_t failed = 0;  // sent while the device was out of D0: refused with STATUS_DEVICE_POWERED_OFF
};

struct PnpSeen {
  UCHAR minor;
  NTSTATUS statusOnArrival;
};
struct CapabilitiesSeen {
  USHORT size;
  USHORT version;
  ULONG address;
  ULONG uiNumber;
  NTSTATUS statusOnArrival;
};

class UsbBus {
 public:
  explicit UsbBus(UsbMidiDevice device = UsbMidiDevice::Product(0x0001), std::u16string instancePath = u"");
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // UHCI unless told otherwise: the controllers of the platform's generation.
  void SetHostController(HostController kind);
  HostController Controller();
  // The descriptors answered from now on.
  void SetDevice(const UsbMidiDevice& device);
  UsbMidiDevice Device();

  // What IRP_MN_QUERY_CAPABILITIES fills in; `answer` false completes it untouched.
  void SetCapabilities(const DEVICE_CAPABILITIES& caps, bool answer = true);
  std::vector<CapabilitiesSeen> CapabilityQueries();
  // Fails one Plug and Play minor function with `status` from now on.
  void FailPnp(UCHAR minor, NTSTATUS status);
  std::vector<PnpSeen> PnpRequests();

  void AddFault(const UrbFault& fault);
  void ClearFaults();
  // The device is gone: every URB from now on fails with USBD_STATUS_DEVICE_GONE and
  // STATUS_NO_SUCH_DEVICE, and whatever is pending on the pipes ends the same way.
  void Unplug();
  bool Gone();

  std::vector<UrbRecord> Urbs();
  std::vector<UrbRecord> UrbsOf(USHORT function);
  void ClearUrbs();

  // Every request that reached the bus, URBs, Plug and Play, power and the rest, in arrival order.
  std::vector<BusEvent> Log();

  // The tap. URBs submitted while at least one observer is attached are reported, at submission
  // and at completion; the bus keeps its observers alive until they are removed or it goes.
  void AddObserver(std::shared_ptr<UrbObserver> observer);
  void RemoveObserver(const UrbObserver* observer);

  bool Configured();
  USBD_CONFIGURATION_HANDLE ConfigurationHandle();
  std::vector<PipeInfo> Pipes();
  bool IsValidPipe(USBD_PIPE_HANDLE handle);

  // Bulk and interrupt transfers on an endpoint go to its hook; without one they are recorded
  // and refused with USBD_STATUS_REQUEST_FAILED / STATUS_NOT_SUPPORTED.
  void SetPipeHook(UCHAR endpoint, PipeHook hook);
  size_t PendingOn(UCHAR endpoint);
  bool Halted(UCHAR endpoint);
  // Completes the oldest pending transfer on the endpoint, copying `data` for an IN transfer, the
  // way the host controller ends it (a short IN transfer may fail and halt the endpoint). False when
  // nothing is pending or the endpoint is halted: the controller does not serve a halted endpoint.
  // `reported`, when given, is the TransferBufferLength answered whatever was copied: a lower
  // driver that miscounts.
  bool CompletePending(UCHAR endpoint, NTSTATUS status, USBD_STATUS usbdStatus, const std::vector<uint8_t>& data = {},
                       ULONG reported = kActualLength);
  static constexpr ULONG kActualLength = 0xFFFFFFFFu;
  // The transfers pending on the endpoint, oldest first, less those whose cancel has begun.
  std::vector<PIRP> PendingTransfers(UCHAR endpoint);
  // CompletePending for this transfer rather than the oldest; false when it is not pending there.
  bool CompletePendingTransfer(UCHAR endpoint, PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus,
                               const std::vector<uint8_t>& data = {}, ULONG reported = kActualLength);

  // URBs held by NeverComplete: completed now with this status.
  size_t HeldCount();
  void ReleaseHeld(NTSTATUS status = STATUS_CANCELLED, USBD_STATUS usbdStatus = USBD_STATUS_CANCELED);

  // Power, as the hub answers for the device. Set-power and query-power requests succeed (a
  // device set-power records the state, with PoSetPowerState); the device is in D0 once started
  // and in D3 once removed. While it is out of D0 its port is suspended: transfers already
  // pending stay on their pipes unserved until it is back in D0, and new bulk or interrupt
  // transfers fail at once with STATUS_DEVICE_POWERED_OFF (the URB's own status left as sent).
  DEVICE_POWER_STATE DevicePowerState();
  std::vector<DevicePowerChange> PowerHistory();
  PowerTransferCounts PowerCountsOn(UCHAR endpoint);
  // Fails set-power or query-power requests of one type with `status` from now on: a device
  // that refuses a sleeping state, or a faulty bus.
  void FailPower(UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status);

  // One wait-wake request is held, for a device whose capabilities give a DeviceWake state and
  // a system state no deeper than SystemWake; a second one fails with STATUS_DEVICE_BUSY. The held
  // one ends when the device signals a wake (or the test fails it), when its sender cancels it,
  // when the device goes to D3 (STATUS_POWER_STATE_INVALID), and at surprise removal and removal
  // (STATUS_NO_SUCH_DEVICE).
  size_t PendingWaitWakes();
  void SignalWake(NTSTATUS status = STATUS_SUCCESS);
  void CancelWake();

  // While held, set-power and query-power requests wait in the bus (a request still running).
  void HoldPower(bool hold);
  size_t PowerRequestsWaiting();

  // Joins the threads that complete pended URBs.
  void Drain();

 private:
  struct Pipe {
    PipeInfo info;
    std::deque<PIRP> pending;
  };
  NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS HandleControl(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS HandleUrb(PIRP irp, PURB urb);
  // Under lock_: the checks the USB stack makes before it acts on a URB. False when it failed.
  bool Validate(PURB urb, UrbRecord& rec, std::string& unprovided);
  // CompletePending of `target`, or of the oldest transfer when it is null.
  bool CompleteOn(UCHAR endpoint, PIRP target, NTSTATUS status, USBD_STATUS usbdStatus,
                  const std::vector<uint8_t>& data, ULONG reported);
  // Under lock_: how the controller ends a bulk or interrupt transfer that moved `bytes`.
  void EndTransfer(Pipe& pipe, PURB urb, ULONG bytes, NTSTATUS& status, USBD_STATUS& usbd);
  void ResetPipe(PURB urb, UrbRecord& rec);
  void Record(BusEvent::Kind kind, PIO_STACK_LOCATION stack, ULONG code, USBD_PIPE_HANDLE pipe, std::string name);
  NTSTATUS HandlePnp(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS HandlePower(PIRP irp, PIO_STACK_LOCATION stack);
  // Under lock_: the URB's answer. Returns false when the URB was left pending on a pipe.
  bool Answer(PIRP irp, PURB urb, UrbRecord& rec, std::vector<PIRP>& cancelled, ULONG shortBytes);
  void SelectConfiguration(PURB urb, UrbRecord& rec, std::vector<PIRP>& cancelled);
  void SelectInterface(PURB urb, UrbRecord& rec, std::vector<PIRP>& cancelled);
  void FillInterface(PUSBD_INTERFACE_INFORMATION info, PUSB_INTERFACE_DESCRIPTOR ifc,
                     const std::vector<PUSB_ENDPOINT_DESCRIPTOR>& endpoints, std::vector<std::unique_ptr<Pipe>>& into);
  void DropPipes(int interfaceNumber, std::vector<PIRP>& cancelled);  // -1: all
  void TakePending(Pipe& pipe, std::vector<PIRP>& out);
  Pipe* FindPipe(USBD_PIPE_HANDLE handle);
  USBD_PIPE_HANDLE NewHandle();
  // Under lock_: the device enters `state`; wait-wakes it ends are added to `ended`.
  void EnterPowerState(DEVICE_POWER_STATE state, const char* cause, std::vector<PIRP>& ended);
  // Under lock_: takes the held wait-wakes whose cancel routine has not started.
  void TakeWaitWakes(std::vector<PIRP>& out);
  PowerTransferCounts& CountsOf(UCHAR endpoint);  // under lock_
  void CompleteUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus);
  // The tap's two ends, outside lock_: a URB that arrived, and one about to be completed.
  void TapSubmission(PIRP irp, PURB urb);
  void TapCompletion(PIRP irp);
  void Deliver(UrbTapEvent& event);  // under tapLock_
  static void CompleteWaitWakes(const std::vector<PIRP>& wakes, NTSTATUS status);
  NTSTATUS HandleWaitWake(PIRP irp, PIO_STACK_LOCATION stack);
  static VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);

  PDEVICE_OBJECT pdo_ = nullptr;
  std::mutex lock_;
  HostController controller_ = HostController::Uhci;
  UsbMidiDevice device_;
  DEVICE_CAPABILITIES caps_{};
  bool answerCaps_ = true;
  std::vector<CapabilitiesSeen> capsSeen_;
  std::vector<std::pair<UCHAR, NTSTATUS>> pnpFailures_;
  std::vector<PnpSeen> pnpSeen_;
  std::vector<UrbFault> faults_;
  bool gone_ = false;
  bool removed_ = false;  // a remove reached the device: no device handle until the next start
  std::vector<UrbRecord> urbs_;
  std::vector<BusEvent> log_;
  DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
  std::vector<DevicePowerChange> powerHistory_;
  std::vector<std::pair<UCHAR, PowerTransferCounts>> powerCounts_;
  struct PowerFailure {
    UCHAR minor;
    POWER_STATE_TYPE type;
    NTSTATUS status;
  };
  std::vector<PowerFailure> powerFailures_;
  std::condition_variable powerGate_;
  bool holdPower_ = false;
  size_t powerWaiting_ = 0;
  bool configured_ = false;
  USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
  std::vector<uint8_t> activeConfiguration_;
  std::vector<std::unique_ptr<Pipe>> pipes_;
  std::vector<std::pair<UCHAR, PipeHook>> hooks_;
  std::vector<PIRP> held_;
  std::vector<PIRP> waitWakes_;
  std::vector<std::thread> completers_;
  uintptr_t nextHandle_ = 0;
  std::mutex tapLock_;  // never held with lock_
  std::atomic<bool> tapped_{false};
  std::vector<std::shared_ptr<UrbObserver>> observers_;
  // Each tapped URB's submission, without its data: by its completion the pipe may be gone.
  std::unordered_map<PIRP, UrbTapEvent> inFlight_;
  uint64_t tapSequence_ = 0;
};

}  // namespace tb
