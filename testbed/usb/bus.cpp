// The USB bus driver at the bottom of the simulated device's stack: URBs answered as the USB
// stack answers them, Plug and Play and power as a bus driver answers them, faults on demand.
#include "usb/usb_bus.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "pnp.h"

namespace tb {
namespace {
std::atomic<unsigned> gUnits{0};

// The URB functions of the published headers, for naming what the bus does not implement.
const char* UrbFunctionName(USHORT function) {
  static const char* const kNames[] = {
      "SELECT_CONFIGURATION", "SELECT_INTERFACE", "ABORT_PIPE", "TAKE_FRAME_LENGTH_CONTROL",
      "RELEASE_FRAME_LENGTH_CONTROL", "GET_FRAME_LENGTH", "SET_FRAME_LENGTH", "GET_CURRENT_FRAME_NUMBER",
      "CONTROL_TRANSFER", "BULK_OR_INTERRUPT_TRANSFER", "ISOCH_TRANSFER", "GET_DESCRIPTOR_FROM_DEVICE",
      "SET_DESCRIPTOR_TO_DEVICE", "SET_FEATURE_TO_DEVICE", "SET_FEATURE_TO_INTERFACE", "SET_FEATURE_TO_ENDPOINT",
      "CLEAR_FEATURE_TO_DEVICE", "CLEAR_FEATURE_TO_INTERFACE", "CLEAR_FEATURE_TO_ENDPOINT", "GET_STATUS_FROM_DEVICE",
      "GET_STATUS_FROM_INTERFACE", "GET_STATUS_FROM_ENDPOINT", nullptr, "VENDOR_DEVICE",
      "VENDOR_INTERFACE", "VENDOR_ENDPOINT", "CLASS_DEVICE", "CLASS_INTERFACE",
      "CLASS_ENDPOINT", nullptr, "RESET_PIPE", "CLASS_OTHER",
      "VENDOR_OTHER", "GET_STATUS_FROM_OTHER", "CLEAR_FEATURE_TO_OTHER", "SET_FEATURE_TO_OTHER",
      "GET_DESCRIPTOR_FROM_ENDPOINT", "SET_DESCRIPTOR_TO_ENDPOINT", "GET_CONFIGURATION", "GET_INTERFACE",
      "GET_DESCRIPTOR_FROM_INTERFACE", "SET_DESCRIPTOR_TO_INTERFACE", "GET_MS_FEATURE_DESCRIPTOR",
  };
  if (function < sizeof kNames / sizeof kNames[0] && kNames[function] != nullptr) return kNames[function];
  if (function == 0x0030) return "SYNC_RESET_PIPE";
  if (function == 0x0031) return "SYNC_CLEAR_STALL";
  return nullptr;
}

// "URB_FUNCTION_CONTROL_TRANSFER (0x0008)", or "unknown URB function (0x0077)".
std::string Described(const char* prefix, const char* name, const char* kind, ULONG value, int digits) {
  char text[128];
  if (name != nullptr) {
    std::snprintf(text, sizeof text, "%s%s (0x%0*lX)", prefix, name, digits, static_cast<unsigned long>(value));
  } else {
    std::snprintf(text, sizeof text, "unknown %s (0x%0*lX)", kind, digits, static_cast<unsigned long>(value));
  }
  return text;
}

// The hub's internal control codes of the published headers (function numbers of usbioctl.h).
const char* InternalControlName(ULONG code) {
  struct Known {
    ULONG function;
    ULONG method;
    const char* name;
  };
  static const Known kKnown[] = {
      {0, METHOD_NEITHER, "IOCTL_INTERNAL_USB_SUBMIT_URB"},
      {1, METHOD_NEITHER, "IOCTL_INTERNAL_USB_RESET_PORT"},
      {3, METHOD_NEITHER, "IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO"},
      {4, METHOD_NEITHER, "IOCTL_INTERNAL_USB_GET_PORT_STATUS"},
      {5, METHOD_NEITHER, "IOCTL_INTERNAL_USB_ENABLE_PORT"},
      {6, METHOD_NEITHER, "IOCTL_INTERNAL_USB_GET_HUB_COUNT"},
      {7, METHOD_NEITHER, "IOCTL_INTERNAL_USB_CYCLE_PORT"},
      {8, METHOD_BUFFERED, "IOCTL_INTERNAL_USB_GET_HUB_NAME"},
      {9, METHOD_NEITHER, "IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION"},
      {264, METHOD_BUFFERED, "IOCTL_INTERNAL_USB_GET_BUS_INFO"},
      {265, METHOD_BUFFERED, "IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME"},
  };
  for (const Known& k : kKnown) {
    if (code == CTL_CODE(FILE_DEVICE_USB, k.function, k.method, FILE_ANY_ACCESS)) return k.name;
  }
  return nullptr;
}

const char* PowerMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE: return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "SET_POWER";
    case IRP_MN_QUERY_POWER: return "QUERY_POWER";
    default: return "unknown power request";
  }
}

// Hardware completion codes (CRC, stall, underrun ...) carry the halted type and stop the
// endpoint; the stack's own codes (cancelled, device gone ...) do not.
bool HaltsEndpoint(USBD_STATUS usbd) {
  return USBD_HALTED(usbd) && (static_cast<ULONG>(usbd) & 0x0FFFFF00u) == 0;
}

// The descriptors of one interface and the endpoint descriptors that follow it, found by
// walking by bLength inside wTotalLength as the USB stack does.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsAfter(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR ifc) {
  std::vector<PUSB_ENDPOINT_DESCRIPTOR> out;
  auto* end = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
  auto* p = reinterpret_cast<PUCHAR>(ifc) + ifc->bLength;
  while (p + 2 <= end && out.size() < ifc->bNumEndpoints) {
    auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (d->bLength < 2 || p + d->bLength > end || d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= 7) {
      out.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d));
    }
    p += d->bLength;
  }
  return out;
}

// The standard requests a tap reports for the default-pipe URBs, as the stack puts them in the
// setup packet.
constexpr uint8_t kRequestGetDescriptor = 0x06;
constexpr uint8_t kRequestSetConfiguration = 0x09;
constexpr uint8_t kRequestSetInterface = 0x0B;
constexpr uint8_t kToHostStandardDevice = 0x80;
constexpr uint8_t kToDeviceStandardDevice = 0x00;
constexpr uint8_t kToDeviceStandardInterface = 0x01;

// The bytes a URB's buffer holds, at most `limit` of them; none without a buffer (the bus does
// not map MDLs).
std::vector<uint8_t> BufferBytes(PVOID buffer, ULONG length, ULONG limit) {
  if (buffer == nullptr) return {};
  auto* p = static_cast<const uint8_t*>(buffer);
  return std::vector<uint8_t>(p, p + std::min(length, limit));
}
}  // namespace

UsbBus::UsbBus(UsbMidiDevice device, std::u16string instancePath) : device_(std::move(device)) {
  if (instancePath.empty()) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\%u", device_.vendorId, device_.productId, ++gUnits);
    instancePath = Widen(text);
  }
  pdo_ = CreateHostDevice("usbhub", [this](PDEVICE_OBJECT d, PIRP irp) { return Dispatch(d, irp); });
  MarkPhysicalDevice(pdo_, instancePath);
  if (device_.capabilities) caps_ = *device_.capabilities;
}

UsbBus::~UsbBus() {
  ReleaseHeld();
  Drain();
  if (!IsDeviceDeleted(pdo_)) {
    SetHostHandler(pdo_, nullptr);
    DeleteHostDevice(pdo_);
  }
}

void UsbBus::SetHostController(HostController kind) {
  std::lock_guard<std::mutex> guard(lock_);
  controller_ = kind;
}

HostController UsbBus::Controller() {
  std::lock_guard<std::mutex> guard(lock_);
  return controller_;
}

void UsbBus::SetDevice(const UsbMidiDevice& device) {
  std::lock_guard<std::mutex> guard(lock_);
  device_ = device;
}

UsbMidiDevice UsbBus::Device() {
  std::lock_guard<std::mutex> guard(lock_);
  return device_;
}

void UsbBus::SetCapabilities(const DEVICE_CAPABILITIES& caps, bool answer) {
  std::lock_guard<std::mutex> guard(lock_);
  caps_ = caps;
  answerCaps_ = answer;
}

std::vector<CapabilitiesSeen> UsbBus::CapabilityQueries() {
  std::lock_guard<std::mutex> guard(lock_);
  return capsSeen_;
}

void UsbBus::FailPnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(lock_);
  pnpFailures_.emplace_back(minor, status);
}

std::vector<PnpSeen> UsbBus::PnpRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  return pnpSeen_;
}

void UsbBus::AddFault(const UrbFault& fault) {
  std::lock_guard<std::mutex> guard(lock_);
  faults_.push_back(fault);
}

void UsbBus::ClearFaults() {
  std::lock_guard<std::mutex> guard(lock_);
  faults_.clear();
}

void UsbBus::Unplug() {
  std::vector<PIRP> cancelled;
  {
    std::lock_guard<std::mutex> guard(lock_);
    gone_ = true;
    for (auto& p : pipes_) TakePending(*p, cancelled);
  }
  for (PIRP irp : cancelled) CompleteUrb(irp, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
}

bool UsbBus::Gone() {
  std::lock_guard<std::mutex> guard(lock_);
  return gone_;
}

std::vector<UrbRecord> UsbBus::Urbs() {
  std::lock_guard<std::mutex> guard(lock_);
  return urbs_;
}

std::vector<UrbRecord> UsbBus::UrbsOf(USHORT function) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<UrbRecord> out;
  for (auto& r : urbs_) {
    if (r.function == function) out.push_back(r);
  }
  return out;
}

void UsbBus::ClearUrbs() {
  std::lock_guard<std::mutex> guard(lock_);
  urbs_.clear();
}

std::vector<BusEvent> UsbBus::Log() {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

void UsbBus::AddObserver(std::shared_ptr<UrbObserver> observer) {
  std::lock_guard<std::mutex> guard(tapLock_);
  observers_.push_back(std::move(observer));
  tapped_ = true;
}

void UsbBus::RemoveObserver(const UrbObserver* observer) {
  std::lock_guard<std::mutex> guard(tapLock_);
  observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                  [observer](const auto& o) { return o.get() == observer; }),
                   observers_.end());
  if (observers_.empty()) {
    tapped_ = false;
    inFlight_.clear();
  }
}

void UsbBus::Deliver(UrbTapEvent& event) {
  event.sequence = tapSequence_++;
  event.time = std::chrono::steady_clock::now();
  for (auto& o : observers_) o->OnUrb(event);
}

// Only what the URB's own length covers is read: a short URB is the caller's fault, and the stack
// fails it without looking further.
void UsbBus::TapSubmission(PIRP irp, PURB urb) {
  if (!tapped_) return;
  UrbTapEvent e{};
  e.stage = UrbTapEvent::Stage::Submitted;
  e.irp = reinterpret_cast<uintptr_t>(irp);
  e.urb = reinterpret_cast<uintptr_t>(urb);
  e.function = urb->UrbHeader.Function;
  e.endpointType = USB_ENDPOINT_TYPE_CONTROL;
  e.usbdStatus = urb->UrbHeader.Status;
  e.status = STATUS_PENDING;
  size_t length = urb->UrbHeader.Length;
  USBD_PIPE_HANDLE handle = nullptr;
  switch (e.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      if (length >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        auto& d = urb->UrbControlDescriptorRequest;
        e.in = true;
        e.length = d.TransferBufferLength;
        e.hasSetup = true;
        e.setup = {kToHostStandardDevice, kRequestGetDescriptor, d.Index, d.DescriptorType,
                   static_cast<uint8_t>(d.LanguageId), static_cast<uint8_t>(d.LanguageId >> 8),
                   static_cast<uint8_t>(d.TransferBufferLength), static_cast<uint8_t>(d.TransferBufferLength >> 8)};
      }
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      if (length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
        // No descriptor unconfigures: SET_CONFIGURATION 0.
        PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        e.hasSetup = true;
        e.setup = {kToDeviceStandardDevice, kRequestSetConfiguration,
                   static_cast<uint8_t>(config != nullptr ? config->bConfigurationValue : 0), 0, 0, 0, 0, 0};
      }
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      if (length >= offsetof(struct _URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
        auto& info = urb->UrbSelectInterface.Interface;
        e.hasSetup = true;
        e.setup = {kToDeviceStandardInterface, kRequestSetInterface, info.AlternateSetting, 0, info.InterfaceNumber, 0, 0, 0};
      }
      break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      if (length >= sizeof(struct _URB_PIPE_REQUEST)) {
        e.onPipe = true;
        handle = urb->UrbPipeRequest.PipeHandle;
      }
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      if (length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        e.onPipe = true;
        handle = t.PipeHandle;
        e.transferFlags = t.TransferFlags;
        e.length = t.TransferBufferLength;
        e.in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      }
      break;
  }
  if (e.onPipe) {
    std::lock_guard<std::mutex> guard(lock_);
    if (Pipe* pipe = FindPipe(handle)) {
      e.pipeKnown = true;
      e.endpoint = pipe->info.endpoint;
      e.endpointType = static_cast<UCHAR>(pipe->info.type);
      // The endpoint decides the direction, whatever the flag says.
      e.in = (pipe->info.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    }
  }
  if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.onPipe && !e.in) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    e.data = BufferBytes(t.TransferBuffer, t.TransferBufferLength, t.TransferBufferLength);
  }
  std::lock_guard<std::mutex> guard(tapLock_);
  if (observers_.empty()) return;
  UrbTapEvent& flight = inFlight_[irp];
  flight = e;
  flight.data.clear();
  Deliver(e);
}

// IN data is read up to what was asked: a lower driver that miscounts may answer more.
void UsbBus::TapCompletion(PIRP irp) {
  if (!tapped_) return;
  std::lock_guard<std::mutex> guard(tapLock_);
  auto it = inFlight_.find(irp);
  if (it == inFlight_.end()) return;
  UrbTapEvent e = std::move(it->second);
  inFlight_.erase(it);
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  e.stage = UrbTapEvent::Stage::Completed;
  e.status = irp->IoStatus.Status;
  e.usbdStatus = urb->UrbHeader.Status;
  ULONG asked = e.length;
  if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.onPipe) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    e.transferFlags = t.TransferFlags;
    e.length = t.TransferBufferLength;
    if (e.in) e.data = BufferBytes(t.TransferBuffer, e.length, asked);
  } else if (e.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && e.hasSetup) {
    auto& d = urb->UrbControlDescriptorRequest;
    e.length = d.TransferBufferLength;
    e.data = BufferBytes(d.TransferBuffer, e.length, asked);
  }
  Deliver(e);
}

void UsbBus::Record(BusEvent::Kind kind, PIO_STACK_LOCATION stack, ULONG code, USBD_PIPE_HANDLE pipe,
                    std::string name) {
  log_.push_back(BusEvent{kind, log_.size(), std::chrono::steady_clock::now(), stack->MajorFunction,
                          stack->MinorFunction, code, pipe, std::move(name)});
}

bool UsbBus::Configured() {
  std::lock_guard<std::mutex> guard(lock_);
  return configured_;
}

USBD_CONFIGURATION_HANDLE UsbBus::ConfigurationHandle() {
  std::lock_guard<std::mutex> guard(lock_);
  return configHandle_;
}

std::vector<PipeInfo> UsbBus::Pipes() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<PipeInfo> out;
  for (auto& p : pipes_) {
    PipeInfo info = p->info;
    info.pending = p->pending.size();
    out.push_back(info);
  }
  return out;
}

bool UsbBus::IsValidPipe(USBD_PIPE_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  return FindPipe(handle) != nullptr;
}

void UsbBus::SetPipeHook(UCHAR endpoint, PipeHook hook) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& h : hooks_) {
    if (h.first == endpoint) {
      h.second = std::move(hook);
      return;
    }
  }
  hooks_.emplace_back(endpoint, std::move(hook));
}

bool UsbBus::Halted(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& p : pipes_) {
    if (p->info.endpoint == endpoint && p->info.halted) return true;
  }
  return false;
}

size_t UsbBus::PendingOn(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (auto& p : pipes_) {
    if (p->info.endpoint == endpoint) n += p->pending.size();
  }
  return n;
}

bool UsbBus::CompletePending(UCHAR endpoint, NTSTATUS status, USBD_STATUS usbdStatus, const std::vector<uint8_t>& data,
                             ULONG reported) {
  return CompleteOn(endpoint, nullptr, status, usbdStatus, data, reported);
}

bool UsbBus::CompletePendingTransfer(UCHAR endpoint, PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus,
                                     const std::vector<uint8_t>& data, ULONG reported) {
  return irp != nullptr && CompleteOn(endpoint, irp, status, usbdStatus, data, reported);
}

std::vector<PIRP> UsbBus::PendingTransfers(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<PIRP> out;
  for (auto& p : pipes_) {
    if (p->info.endpoint != endpoint) continue;
    for (PIRP irp : p->pending) {
      if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) out.push_back(irp);
    }
  }
  return out;
}

bool UsbBus::CompleteOn(UCHAR endpoint, PIRP target, NTSTATUS status, USBD_STATUS usbdStatus,
                        const std::vector<uint8_t>& data, ULONG reported) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A suspended port carries no traffic: what is pending waits for the device's return to D0.
    if (devicePower_ != PowerDeviceD0) return false;
    for (auto& p : pipes_) {
      if (p->info.endpoint != endpoint || p->info.halted) continue;
      for (auto it = p->pending.begin(); it != p->pending.end(); ++it) {
        if (target != nullptr && *it != target) continue;
        // A transfer whose cancel routine already runs belongs to that routine.
        if (IoSetCancelRoutine(*it, nullptr) == nullptr) continue;
        irp = *it;
        p->pending.erase(it);
        break;
      }
      if (irp == nullptr) continue;
      auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
      auto& transfer = urb->UrbBulkOrInterruptTransfer;
      bool in = (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
      ULONG n = in ? static_cast<ULONG>(std::min<size_t>(data.size(), transfer.TransferBufferLength))
                   : transfer.TransferBufferLength;
      if (in && n != 0) std::memcpy(transfer.TransferBuffer, data.data(), n);
      EndTransfer(*p, urb, n, status, usbdStatus);
      if (reported != kActualLength) transfer.TransferBufferLength = reported;
      break;
    }
  }
  if (irp == nullptr) return false;
  CompleteUrb(irp, status, usbdStatus);
  return true;
}

// A short IN transfer is one that ended before its buffer was full: the device sent a packet
// shorter than the endpoint's maximum.
void UsbBus::EndTransfer(Pipe& pipe, PURB urb, ULONG bytes, NTSTATUS& status, USBD_STATUS& usbd) {
  auto& t = urb->UrbBulkOrInterruptTransfer;
  bool in = (pipe.info.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
  bytes = std::min(bytes, t.TransferBufferLength);
  if (USBD_SUCCESS(usbd) && in && bytes < t.TransferBufferLength && !(t.TransferFlags & USBD_SHORT_TRANSFER_OK) &&
      controller_ != HostController::Ehci) {
    status = STATUS_UNSUCCESSFUL;
    usbd = USBD_STATUS_DATA_UNDERRUN;
  }
  if (HaltsEndpoint(usbd)) pipe.info.halted = true;
  t.TransferBufferLength = bytes;
}

size_t UsbBus::HeldCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return held_.size();
}

void UsbBus::ReleaseHeld(NTSTATUS status, USBD_STATUS usbdStatus) {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> guard(lock_);
    held.swap(held_);
  }
  for (PIRP irp : held) CompleteUrb(irp, status, usbdStatus);
}

DEVICE_POWER_STATE UsbBus::DevicePowerState() {
  std::lock_guard<std::mutex> guard(lock_);
  return devicePower_;
}

std::vector<DevicePowerChange> UsbBus::PowerHistory() {
  std::lock_guard<std::mutex> guard(lock_);
  return powerHistory_;
}

PowerTransferCounts UsbBus::PowerCountsOn(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  return CountsOf(endpoint);
}

PowerTransferCounts& UsbBus::CountsOf(UCHAR endpoint) {
  for (auto& [e, counts] : powerCounts_) {
    if (e == endpoint) return counts;
  }
  powerCounts_.emplace_back(endpoint, PowerTransferCounts{});
  return powerCounts_.back().second;
}

void UsbBus::FailPower(UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(lock_);
  powerFailures_.push_back(PowerFailure{minor, type, status});
}

void UsbBus::EnterPowerState(DEVICE_POWER_STATE state, const char* cause, std::vector<PIRP>& ended) {
  // Leaving D0 suspends the port under whatever is queued: it stays, unserved.
  if (state != PowerDeviceD0 && devicePower_ == PowerDeviceD0) {
    for (auto& p : pipes_) CountsOf(p->info.endpoint).held += p->pending.size();
  }
  // A device in D3 cannot signal a wake.
  if (state == PowerDeviceD3) TakeWaitWakes(ended);
  devicePower_ = state;
  powerHistory_.push_back(DevicePowerChange{state, cause});
}

void UsbBus::TakeWaitWakes(std::vector<PIRP>& out) {
  for (auto it = waitWakes_.begin(); it != waitWakes_.end();) {
    // One whose cancel routine already runs is that routine's to complete.
    if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
      out.push_back(*it);
      it = waitWakes_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t UsbBus::PendingWaitWakes() {
  std::lock_guard<std::mutex> guard(lock_);
  return waitWakes_.size();
}

void UsbBus::SignalWake(NTSTATUS status) {
  std::vector<PIRP> done;
  {
    std::lock_guard<std::mutex> guard(lock_);
    TakeWaitWakes(done);
  }
  for (PIRP irp : done) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

void UsbBus::CancelWake() {
  std::vector<PIRP> wakes;
  {
    std::lock_guard<std::mutex> guard(lock_);
    wakes = waitWakes_;
  }
  for (PIRP irp : wakes) IoCancelIrp(irp);
}

void UsbBus::HoldPower(bool hold) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    holdPower_ = hold;
  }
  powerGate_.notify_all();
}

size_t UsbBus::PowerRequestsWaiting() {
  std::lock_guard<std::mutex> guard(lock_);
  return powerWaiting_;
}

void UsbBus::Drain() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(lock_);
    threads.swap(completers_);
  }
  for (auto& t : threads) t.join();
}

void UsbBus::CompleteUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus) {
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb != nullptr) urb->UrbHeader.Status = usbdStatus;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  TapCompletion(irp);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI UsbBus::CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<UsbBus*>(irp->Tail.Overlay.DriverContext[0]);
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(bus->lock_);
    for (auto& p : bus->pipes_) {
      for (auto it = p->pending.begin(); it != p->pending.end(); ++it) {
        if (*it == irp) {
          p->pending.erase(it);
          found = true;
          break;
        }
      }
      if (found) break;
    }
  }
  if (found) bus->CompleteUrb(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

VOID NTAPI UsbBus::CancelWaitWake(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<UsbBus*>(irp->Tail.Overlay.DriverContext[0]);
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(bus->lock_);
    auto it = std::find(bus->waitWakes_.begin(), bus->waitWakes_.end(), irp);
    if (it != bus->waitWakes_.end()) {
      bus->waitWakes_.erase(it);
      found = true;
    }
  }
  if (found) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

NTSTATUS UsbBus::Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return HandleUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
      }
      return HandleControl(irp, stack);
    case IRP_MJ_DEVICE_CONTROL:
      return HandleControl(irp, stack);
    case IRP_MJ_PNP:
      return HandlePnp(irp, stack);
    case IRP_MJ_POWER:
      return HandlePower(irp, stack);
    case IRP_MJ_SYSTEM_CONTROL: {
      // Not a WMI provider: the request ends here as it came.
      {
        std::lock_guard<std::mutex> guard(lock_);
        Record(BusEvent::Kind::Other, stack, 0, nullptr, "SYSTEM_CONTROL");
      }
      NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default: {
      char major[32];
      std::snprintf(major, sizeof major, "IRP_MJ 0x%02X", stack->MajorFunction);
      {
        std::lock_guard<std::mutex> guard(lock_);
        Record(BusEvent::Kind::Other, stack, 0, nullptr, major);
      }
      Report(Rule::Unimplemented, "UsbBus", major, "the test bed's USB bus does not answer this major function");
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
    }
  }
}

// Every control code but SUBMIT_URB: the hub's port requests and anything else fail loudly.
NTSTATUS UsbBus::HandleControl(PIRP irp, PIO_STACK_LOCATION stack) {
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  bool internal = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  const char* name = internal ? InternalControlName(code) : nullptr;
  std::string what = Described("", name, "control code", code, 8);
  {
    std::lock_guard<std::mutex> guard(lock_);
    Record(internal ? BusEvent::Kind::InternalDeviceControl : BusEvent::Kind::DeviceControl, stack, code, nullptr,
           name != nullptr ? name : what);
  }
  NTSTATUS status = name != nullptr ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_DEVICE_REQUEST;
  Report(Rule::Unimplemented, internal ? "UsbBus internal device control" : "UsbBus device control", what,
         name != nullptr ? "the test bed's USB bus does not implement this request"
                         : "a control code the USB bus does not know");
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::HandleUrb(PIRP irp, PURB urb) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (urb == nullptr) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      Record(BusEvent::Kind::Urb, stack, 0, nullptr, "SUBMIT_URB without a URB");
    }
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  TapSubmission(irp, urb);
  USHORT function = urb->UrbHeader.Function;
  const char* name = UrbFunctionName(function);
  bool implemented = function == URB_FUNCTION_SELECT_CONFIGURATION || function == URB_FUNCTION_SELECT_INTERFACE ||
                     function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_RESET_PIPE ||
                     function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
                     function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  if (!implemented) {
    // A function the stack knows is answered here only when the test bed provides it; one it
    // does not know fails on the platform too.
    NTSTATUS status = name != nullptr ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_PARAMETER;
    USBD_STATUS usbd = name != nullptr ? USBD_STATUS_NOT_SUPPORTED : USBD_STATUS_INVALID_URB_FUNCTION;
    std::string what = Described("URB_FUNCTION_", name, "URB function", function, 4);
    {
      std::lock_guard<std::mutex> guard(lock_);
      Record(BusEvent::Kind::Urb, stack, function, nullptr, name != nullptr ? name : what);
      UrbRecord rec;
      rec.function = function;
      rec.urbLength = urb->UrbHeader.Length;
      rec.status = status;
      rec.usbdStatus = usbd;
      urbs_.push_back(rec);
    }
    Report(Rule::Unimplemented, "UsbBus IOCTL_INTERNAL_USB_SUBMIT_URB", what,
           name != nullptr ? "the test bed's USB bus does not implement this URB function" : "no such URB function");
    CompleteUrb(irp, status, usbd);
    return status;
  }
  // The reset sends CLEAR_FEATURE to the device and waits for it.
  if (function == URB_FUNCTION_RESET_PIPE && KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Report(Rule::IrqlTooHigh, "UsbBus URB_FUNCTION_RESET_PIPE", Hex(irp), "a pipe reset is sent at PASSIVE_LEVEL only");
  }
  std::vector<PIRP> cancelled;
  std::string unprovided;
  UrbFault fault;
  bool faulted = false;
  bool answered = true;
  bool poweredOff = false;
  NTSTATUS status;
  USBD_STATUS usbd;
  {
    std::lock_guard<std::mutex> guard(lock_);
    UrbRecord rec;
    rec.function = function;
    rec.urbLength = urb->UrbHeader.Length;
    if (rec.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      rec.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
      rec.requestedLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
    }
    if (rec.function == URB_FUNCTION_ABORT_PIPE || rec.function == URB_FUNCTION_RESET_PIPE) {
      rec.pipe = urb->UrbPipeRequest.PipeHandle;
    }
    if (rec.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      rec.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
      rec.transferFlags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
      rec.requestedLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    Record(BusEvent::Kind::Urb, stack, function, rec.pipe, name);
    ULONG shortBytes = ~0U;
    for (auto& f : faults_) {
      if (f.function != -1 && f.function != rec.function) continue;
      if (f.descriptorType != -1 && (rec.function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                                     f.descriptorType != rec.descriptorType)) {
        continue;
      }
      f.seen++;
      if (f.nth != 0 && f.seen != f.nth) continue;
      if (f.kind == UrbFaultKind::ShortData) {
        shortBytes = f.bytes;
      } else if (!faulted) {
        fault = f;
        faulted = true;
      }
    }
    if (gone_ || removed_) {
      rec.status = STATUS_NO_SUCH_DEVICE;
      rec.usbdStatus = USBD_STATUS_DEVICE_GONE;
      faulted = false;
    } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && devicePower_ != PowerDeviceD0) {
      // The hub refuses a transfer to a suspended device before the USB stack sees it, and
      // answers in the IRP alone: the URB keeps the status it was sent with.
      poweredOff = true;
      faulted = false;
      rec.status = STATUS_DEVICE_POWERED_OFF;
      rec.usbdStatus = urb->UrbHeader.Status;
      if (Pipe* pipe = FindPipe(rec.pipe)) CountsOf(pipe->info.endpoint).failed++;
    } else if (!Validate(urb, rec, unprovided)) {
      faulted = false;
    } else if (faulted && fault.kind == UrbFaultKind::Fail) {
      rec.status = fault.status;
      rec.usbdStatus = fault.usbdStatus;
    } else if (faulted && fault.kind == UrbFaultKind::NeverComplete) {
      held_.push_back(irp);
      urbs_.push_back(rec);
      IoMarkIrpPending(irp);
      return STATUS_PENDING;
    } else {
      answered = Answer(irp, urb, rec, cancelled, shortBytes);
    }
    status = rec.status;
    usbd = rec.usbdStatus;
    urbs_.push_back(rec);
    if (answered && !poweredOff) urb->UrbHeader.Status = rec.usbdStatus;
  }
  if (poweredOff) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    TapCompletion(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (!unprovided.empty()) {
    Report(Rule::Unimplemented, std::string("UsbBus URB_FUNCTION_") + name, Hex(irp), unprovided);
  }
  // Transfers ended by an abort or unconfigure complete before the request that ended them.
  for (PIRP c : cancelled) CompleteUrb(c, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  if (!answered) return STATUS_PENDING;  // marked pending when it joined its pipe
  if (faulted && fault.kind == UrbFaultKind::Pend && !Gone()) {
    IoMarkIrpPending(irp);
    int delay = fault.delayMs;
    std::lock_guard<std::mutex> guard(lock_);
    completers_.emplace_back([this, irp, status, usbd, delay] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      IrqlScope dpc(DISPATCH_LEVEL);
      CompleteUrb(irp, status, usbd);
    });
    return STATUS_PENDING;
  }
  CompleteUrb(irp, status, usbd);
  return status;
}

// What the stack checks before it acts, for the functions the bus answers: the request's length
// for its function, and for the two transfers their buffer and link. The pipe of a bulk transfer
// is checked where it is looked up.
bool UsbBus::Validate(PURB urb, UrbRecord& rec, std::string& unprovided) {
  auto invalid = [&](USBD_STATUS usbd) {
    rec.status = STATUS_INVALID_PARAMETER;
    rec.usbdStatus = usbd;
    return false;
  };
  size_t need = 0;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      need = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      need = offsetof(struct _URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes);
      break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      need = sizeof(struct _URB_PIPE_REQUEST);
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      need = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      need = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
      break;
  }
  if (urb->UrbHeader.Length < need) return invalid(USBD_STATUS_INVALID_PARAMETER);
  PVOID buffer = nullptr;
  PMDL mdl = nullptr;
  ULONG length = 0;
  struct _URB* link = nullptr;
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    auto& d = urb->UrbControlDescriptorRequest;
    buffer = d.TransferBuffer;
    mdl = d.TransferBufferMDL;
    length = d.TransferBufferLength;
    link = d.UrbLink;
    // The default pipe takes at most a page in one request.
    if (length > 4096) return invalid(USBD_STATUS_INVALID_PARAMETER);
  } else if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    buffer = t.TransferBuffer;
    mdl = t.TransferBufferMDL;
    length = t.TransferBufferLength;
    link = t.UrbLink;
  } else {
    return true;
  }
  if (link != nullptr) return invalid(USBD_STATUS_INVALID_PARAMETER);
  if (buffer == nullptr && mdl == nullptr && length != 0) return invalid(USBD_STATUS_INVALID_PARAMETER);
  if (buffer == nullptr && mdl != nullptr) {
    unprovided = "transfer buffers described only by an MDL are not provided";
    rec.status = STATUS_NOT_IMPLEMENTED;
    rec.usbdStatus = USBD_STATUS_NOT_SUPPORTED;
    return false;
  }
  return true;
}

void UsbBus::ResetPipe(PURB urb, UrbRecord& rec) {
  rec.pipe = urb->UrbPipeRequest.PipeHandle;
  Pipe* pipe = FindPipe(rec.pipe);
  if (pipe == nullptr) {
    rec.status = STATUS_INVALID_PARAMETER;
    rec.usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
    return;
  }
  // Transfers still queued make the reset fail busy; the endpoint runs again all the same.
  if (!pipe->pending.empty()) {
    rec.status = STATUS_UNSUCCESSFUL;
    rec.usbdStatus = USBD_STATUS_ERROR_BUSY;
  }
  pipe->info.halted = false;
}

bool UsbBus::Answer(PIRP irp, PURB urb, UrbRecord& rec, std::vector<PIRP>& cancelled, ULONG shortBytes) {
  rec.status = STATUS_SUCCESS;
  rec.usbdStatus = USBD_STATUS_SUCCESS;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& req = urb->UrbControlDescriptorRequest;
      std::vector<uint8_t> bytes;
      if (req.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        bytes = device_.DeviceDescriptor();
      } else if (req.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        bytes = device_.ConfigurationDescriptor();
      } else {
        rec.status = STATUS_UNSUCCESSFUL;
        rec.usbdStatus = USBD_STATUS_STALL_PID;
        req.TransferBufferLength = 0;
        return true;
      }
      size_t n = std::min<size_t>({bytes.size(), req.TransferBufferLength, shortBytes});
      if (n != 0) std::memcpy(req.TransferBuffer, bytes.data(), n);
      req.TransferBufferLength = static_cast<ULONG>(n);
      rec.returnedLength = static_cast<ULONG>(n);
      return true;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      SelectConfiguration(urb, rec, cancelled);
      return true;
    case URB_FUNCTION_SELECT_INTERFACE:
      SelectInterface(urb, rec, cancelled);
      return true;
    case URB_FUNCTION_ABORT_PIPE: {
      rec.pipe = urb->UrbPipeRequest.PipeHandle;
      Pipe* pipe = FindPipe(rec.pipe);
      if (pipe == nullptr) {
        rec.status = STATUS_INVALID_PARAMETER;
        rec.usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
        return true;
      }
      // Ends what is queued; a halted endpoint stays halted until it is reset.
      TakePending(*pipe, cancelled);
      return true;
    }
    case URB_FUNCTION_RESET_PIPE:
      ResetPipe(urb, rec);
      return true;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      Pipe* pipe = FindPipe(t.PipeHandle);
      if (pipe == nullptr) {
        rec.status = STATUS_INVALID_PARAMETER;
        rec.usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
        return true;
      }
      // The pipe's maximum, as selected, bounds one request on this generation of the stack.
      if (t.TransferBufferLength > pipe->info.maximumTransferSize) {
        rec.status = STATUS_INVALID_PARAMETER;
        rec.usbdStatus = USBD_STATUS_INVALID_PARAMETER;
        return true;
      }
      // The direction comes from the endpoint, whatever the caller's flag says; the record keeps
      // the flags as they were submitted.
      bool in = (pipe->info.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
      if (in) {
        t.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
      } else {
        t.TransferFlags &= ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN);
      }
      if (pipe->info.halted) {
        rec.status = STATUS_UNSUCCESSFUL;
        rec.usbdStatus = USBD_STATUS_ENDPOINT_HALTED;
        t.TransferBufferLength = 0;
        return true;
      }
      PipeHook hook;
      for (auto& h : hooks_) {
        if (h.first == pipe->info.endpoint) hook = h.second;
      }
      if (!hook) {
        rec.status = STATUS_NOT_SUPPORTED;
        rec.usbdStatus = USBD_STATUS_REQUEST_FAILED;
        t.TransferBufferLength = 0;
        return true;
      }
      BulkTransfer transfer{irp, urb, pipe->info.endpoint, in, t.TransferBufferLength, static_cast<PUCHAR>(t.TransferBuffer)};
      BulkAnswer answer = hook(transfer);
      if (answer.pend) {
        irp->Tail.Overlay.DriverContext[0] = this;
        IoSetCancelRoutine(irp, CancelTransfer);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
          rec.status = STATUS_CANCELLED;
          rec.usbdStatus = USBD_STATUS_CANCELED;
          return true;
        }
        IoMarkIrpPending(irp);
        pipe->pending.push_back(irp);
        rec.status = STATUS_PENDING;
        return false;
      }
      rec.status = answer.status;
      rec.usbdStatus = answer.usbdStatus;
      EndTransfer(*pipe, urb, answer.bytes, rec.status, rec.usbdStatus);
      rec.returnedLength = t.TransferBufferLength;
      return true;
    }
    default:
      rec.status = STATUS_NOT_SUPPORTED;
      rec.usbdStatus = USBD_STATUS_INVALID_URB_FUNCTION;
      return true;
  }
}

void UsbBus::SelectConfiguration(PURB urb, UrbRecord& rec, std::vector<PIRP>& cancelled) {
  auto& req = urb->UrbSelectConfiguration;
  if (req.ConfigurationDescriptor == nullptr) {
    rec.nullConfiguration = true;
    DropPipes(-1, cancelled);
    configured_ = false;
    configHandle_ = nullptr;
    activeConfiguration_.clear();
    return;
  }
  PUSB_CONFIGURATION_DESCRIPTOR config = req.ConfigurationDescriptor;
  auto invalid = [&] {
    rec.status = STATUS_INVALID_PARAMETER;
    rec.usbdStatus = USBD_STATUS_INVALID_PARAMETER;
  };
  size_t header = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  if (urb->UrbHeader.Length < header || config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return invalid();
  std::vector<uint8_t> copy(reinterpret_cast<PUCHAR>(config), reinterpret_cast<PUCHAR>(config) + config->wTotalLength);
  auto* copied = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
  // One entry per interface with alternate setting 0, in descriptor order.
  std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces;
  for (PVOID at = copied;;) {
    auto* ifc = USBD_ParseConfigurationDescriptorEx(copied, at, -1, 0, -1, -1, -1);
    if (ifc == nullptr) break;
    interfaces.push_back(ifc);
    at = reinterpret_cast<PUCHAR>(ifc) + ifc->bLength;
  }
  // Fill the entries first and commit only when all of them check out.
  auto* entry = reinterpret_cast<PUCHAR>(&req.Interface);
  auto* end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  std::vector<std::unique_ptr<Pipe>> fresh;
  for (auto* ifc : interfaces) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
    if (entry + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end || entry + info->Length > end ||
        info->Length < GET_USBD_INTERFACE_SIZE(ifc->bNumEndpoints) || info->NumberOfPipes != ifc->bNumEndpoints) {
      return invalid();
    }
    auto endpoints = EndpointsAfter(copied, ifc);
    if (endpoints.size() != ifc->bNumEndpoints) return invalid();
    FillInterface(info, ifc, endpoints, fresh);
    entry += info->Length;
  }
  DropPipes(-1, cancelled);
  pipes_ = std::move(fresh);
  activeConfiguration_ = std::move(copy);
  configured_ = true;
  configHandle_ = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(NewHandle());
  req.ConfigurationHandle = configHandle_;
}

void UsbBus::SelectInterface(PURB urb, UrbRecord& rec, std::vector<PIRP>& cancelled) {
  auto& req = urb->UrbSelectInterface;
  auto invalid = [&](USBD_STATUS usbd) {
    rec.status = STATUS_INVALID_PARAMETER;
    rec.usbdStatus = usbd;
  };
  size_t header = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  if (urb->UrbHeader.Length < header + offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
    return invalid(USBD_STATUS_INVALID_PARAMETER);
  }
  if (!configured_ || req.ConfigurationHandle != configHandle_) return invalid(USBD_STATUS_INVALID_PARAMETER);
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(activeConfiguration_.data());
  PUSBD_INTERFACE_INFORMATION info = &req.Interface;
  auto* ifc = USBD_ParseConfigurationDescriptorEx(config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
  if (ifc == nullptr) return invalid(USBD_STATUS_INVALID_PARAMETER);
  size_t need = GET_USBD_INTERFACE_SIZE(ifc->bNumEndpoints);
  if (info->Length < need || header + info->Length > urb->UrbHeader.Length) {
    return invalid(USBD_STATUS_BUFFER_TOO_SMALL);
  }
  auto endpoints = EndpointsAfter(config, ifc);
  if (endpoints.size() != ifc->bNumEndpoints) return invalid(USBD_STATUS_INVALID_PARAMETER);
  DropPipes(info->InterfaceNumber, cancelled);
  info->NumberOfPipes = ifc->bNumEndpoints;
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    rec.maximumTransferSizes.push_back(info->Pipes[i].MaximumTransferSize);
    rec.pipeTypesAsked.push_back(static_cast<int>(info->Pipes[i].PipeType));
  }
  FillInterface(info, ifc, endpoints, pipes_);
}

// Answers an interface entry the way the stack does: the interface's identity, a handle, and a
// pipe with a fresh handle for each endpoint, in descriptor order.
void UsbBus::FillInterface(PUSBD_INTERFACE_INFORMATION info, PUSB_INTERFACE_DESCRIPTOR ifc,
                           const std::vector<PUSB_ENDPOINT_DESCRIPTOR>& endpoints,
                           std::vector<std::unique_ptr<Pipe>>& into) {
  info->Class = ifc->bInterfaceClass;
  info->SubClass = ifc->bInterfaceSubClass;
  info->Protocol = ifc->bInterfaceProtocol;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(NewHandle());
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    auto& p = info->Pipes[i];
    p.EndpointAddress = endpoints[i]->bEndpointAddress;
    p.MaximumPacketSize = endpoints[i]->wMaxPacketSize;
    p.Interval = endpoints[i]->bInterval;
    p.PipeType = static_cast<USBD_PIPE_TYPE>(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
    p.PipeHandle = NewHandle();
    into.push_back(std::make_unique<Pipe>(
        Pipe{PipeInfo{p.PipeHandle, p.EndpointAddress, ifc->bInterfaceNumber, p.PipeType, p.MaximumTransferSize, 0, false},
             {}}));
  }
}

void UsbBus::DropPipes(int interfaceNumber, std::vector<PIRP>& cancelled) {
  for (auto it = pipes_.begin(); it != pipes_.end();) {
    if (interfaceNumber == -1 || (*it)->info.interfaceNumber == interfaceNumber) {
      TakePending(**it, cancelled);
      it = pipes_.erase(it);
    } else {
      ++it;
    }
  }
}

void UsbBus::TakePending(Pipe& pipe, std::vector<PIRP>& out) {
  for (auto it = pipe.pending.begin(); it != pipe.pending.end();) {
    // A transfer whose cancel routine already runs is left for that routine to complete.
    if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
      out.push_back(*it);
      it = pipe.pending.erase(it);
    } else {
      ++it;
    }
  }
}

UsbBus::Pipe* UsbBus::FindPipe(USBD_PIPE_HANDLE handle) {
  if (handle == nullptr) return nullptr;
  for (auto& p : pipes_) {
    if (p->info.handle == handle) return p.get();
  }
  return nullptr;
}

USBD_PIPE_HANDLE UsbBus::NewHandle() {
  // Never reused: a handle from before an unconfigure or a reselection stays invalid.
  return reinterpret_cast<USBD_PIPE_HANDLE>(0x7E570000u + 0x10u * ++nextHandle_);
}

NTSTATUS UsbBus::HandlePnp(PIRP irp, PIO_STACK_LOCATION stack) {
  UCHAR minor = stack->MinorFunction;
  NTSTATUS status = irp->IoStatus.Status;
  std::vector<PIRP> cancelled;
  std::vector<PIRP> goneWakes;
  std::vector<PIRP> endedWakes;
  DEVICE_POWER_STATE powered = PowerDeviceUnspecified;
  bool handled = true;
  {
    std::lock_guard<std::mutex> guard(lock_);
    pnpSeen_.push_back(PnpSeen{minor, status});
    Record(BusEvent::Kind::Pnp, stack, minor, nullptr, PnpMinorName(minor));
    switch (minor) {
      case IRP_MN_START_DEVICE:
        removed_ = false;  // a device that was removed is set up again, unconfigured
        if (devicePower_ != PowerDeviceD0) {
          EnterPowerState(PowerDeviceD0, "START_DEVICE", endedWakes);
          powered = PowerDeviceD0;
        }
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_SURPRISE_REMOVAL:
        // Whatever is still queued on the device ends with it, a held wait-wake too.
        for (auto& p : pipes_) TakePending(*p, cancelled);
        TakeWaitWakes(goneWakes);
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_REMOVE_DEVICE:
        // The hub gives up the device's handle: its configuration and pipes go, and every URB
        // fails until a start sets the device up again. Its port is switched off.
        DropPipes(-1, cancelled);
        configured_ = false;
        configHandle_ = nullptr;
        activeConfiguration_.clear();
        removed_ = true;
        TakeWaitWakes(goneWakes);
        if (devicePower_ != PowerDeviceD3) {
          EnterPowerState(PowerDeviceD3, "REMOVE_DEVICE", endedWakes);
          powered = PowerDeviceD3;
        }
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        capsSeen_.push_back(CapabilitiesSeen{caps->Size, caps->Version, caps->Address, caps->UINumber, status});
        if (!answerCaps_) {
          handled = false;
          break;
        }
        USHORT size = caps->Size;
        USHORT version = caps->Version;
        *caps = caps_;
        caps->Size = size;
        caps->Version = version;
        status = STATUS_SUCCESS;
        break;
      }
      default:
        handled = false;
        break;
    }
    for (auto& [m, s] : pnpFailures_) {
      if (m == minor) {
        status = s;
        handled = true;
      }
    }
  }
  for (PIRP c : cancelled) CompleteUrb(c, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  CompleteWaitWakes(goneWakes, STATUS_NO_SUCH_DEVICE);
  CompleteWaitWakes(endedWakes, STATUS_POWER_STATE_INVALID);
  if (powered != PowerDeviceUnspecified) {
    POWER_STATE state;
    state.DeviceState = powered;
    PoSetPowerState(pdo_, ::DevicePowerState, state);
  }
  if (handled) irp->IoStatus.Status = status;
  status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void UsbBus::CompleteWaitWakes(const std::vector<PIRP>& wakes, NTSTATUS status) {
  for (PIRP irp : wakes) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// As a bus driver answers: the next power request let in first, then the answer. Nothing is
// passed on: the bus is the bottom of the stack.
NTSTATUS UsbBus::HandlePower(PIRP irp, PIO_STACK_LOCATION stack) {
  UCHAR minor = stack->MinorFunction;
  bool setOrQuery = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
  POWER_STATE_TYPE type = stack->Parameters.Power.Type;
  int value = 0;  // read as the word it is: a sender may have put any value there
  std::memcpy(&value, &stack->Parameters.Power.State, sizeof value);
  {
    std::string name = PowerMinorName(minor);
    if (setOrQuery) {
      char state[16];
      std::snprintf(state, sizeof state, type == ::DevicePowerState ? " D%d" : " S%d", value - 1);
      name += state;
    }
    std::lock_guard<std::mutex> guard(lock_);
    Record(BusEvent::Kind::Power, stack, minor, nullptr, name);
  }
  if (minor == IRP_MN_WAIT_WAKE) return HandleWaitWake(irp, stack);
  PoStartNextPowerIrp(irp);
  if (!setOrQuery) {
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<PIRP> ended;
  bool entered = false;
  {
    std::unique_lock<std::mutex> guard(lock_);
    powerWaiting_++;
    powerGate_.wait(guard, [this] { return !holdPower_; });
    powerWaiting_--;
    bool armed = !waitWakes_.empty();
    if (type == ::DevicePowerState && minor == IRP_MN_SET_POWER) {
      if (value < PowerDeviceD0 || value > PowerDeviceD3) {
        status = STATUS_INVALID_PARAMETER;
      } else if (value != devicePower_) {
        EnterPowerState(static_cast<DEVICE_POWER_STATE>(value), "SET_POWER", ended);
        entered = true;
      }
    } else if (type == SystemPowerState && minor == IRP_MN_QUERY_POWER && armed &&
               value > caps_.SystemWake) {
      // The device is armed to wake the system, and could not from that state.
      status = STATUS_INVALID_DEVICE_STATE;
    }
    for (const PowerFailure& f : powerFailures_) {
      if (f.minor == minor && f.type == type) status = f.status;
    }
  }
  CompleteWaitWakes(ended, STATUS_POWER_STATE_INVALID);
  if (entered) PoSetPowerState(pdo_, ::DevicePowerState, stack->Parameters.Power.State);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Held until the device signals, its sender cancels it, the device goes to D3 or away; failed at
// once when the device cannot wake the system from the state asked for, or one is already held.
NTSTATUS UsbBus::HandleWaitWake(PIRP irp, PIO_STACK_LOCATION stack) {
  NTSTATUS refusal = STATUS_SUCCESS;
  bool held = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (caps_.DeviceWake == PowerDeviceUnspecified) {
      refusal = irp->IoStatus.Status;  // no wake: completed as it came
    } else if (stack->Parameters.WaitWake.PowerState > caps_.SystemWake) {
      refusal = STATUS_INVALID_DEVICE_STATE;
    } else if (!waitWakes_.empty()) {
      refusal = STATUS_DEVICE_BUSY;
    } else {
      irp->Tail.Overlay.DriverContext[0] = this;
      IoMarkIrpPending(irp);
      waitWakes_.push_back(irp);
      // Set under the lock: a removal that takes the held wake finds its cancel routine.
      IoSetCancelRoutine(irp, CancelWaitWake);
      held = true;
    }
  }
  if (!held) {
    irp->IoStatus.Status = refusal;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return refusal;
  }
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = std::find(waitWakes_.begin(), waitWakes_.end(), irp);
      if (it != waitWakes_.end()) waitWakes_.erase(it);
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

}  // namespace tb
