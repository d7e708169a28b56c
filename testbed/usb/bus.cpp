// The USB bus driver at the bottom of the simulated device's stack: URBs answered as the USB
// stack answers them, Plug and Play and power as a bus driver answers them, faults on demand.
#include "usb/usb_bus.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace tb {
namespace {
std::atomic<unsigned> gUnits{0};

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
}  // namespace

UsbBus::UsbBus(UsbMidiDevice device, std::u16string instancePath) : device_(std::move(device)) {
  if (instancePath.empty()) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\%u", device_.vendorId, device_.productId, ++gUnits);
    instancePath = Widen(text);
  }
  pdo_ = CreateHostDevice("usbhub", [this](PDEVICE_OBJECT d, PIRP irp) { return Dispatch(d, irp); });
  MarkPhysicalDevice(pdo_, instancePath);
}

UsbBus::~UsbBus() {
  ReleaseHeld();
  Drain();
  if (!IsDeviceDeleted(pdo_)) {
    SetHostHandler(pdo_, nullptr);
    DeleteHostDevice(pdo_);
  }
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

size_t UsbBus::PendingOn(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (auto& p : pipes_) {
    if (p->info.endpoint == endpoint) n += p->pending.size();
  }
  return n;
}

bool UsbBus::CompletePending(UCHAR endpoint, NTSTATUS status, USBD_STATUS usbdStatus, const std::vector<uint8_t>& data) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& p : pipes_) {
      if (p->info.endpoint != endpoint) continue;
      for (auto it = p->pending.begin(); it != p->pending.end(); ++it) {
        // A transfer whose cancel routine already runs belongs to that routine.
        if (IoSetCancelRoutine(*it, nullptr) == nullptr) continue;
        irp = *it;
        p->pending.erase(it);
        break;
      }
      if (irp != nullptr) break;
    }
  }
  if (irp == nullptr) return false;
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  ULONG n = static_cast<ULONG>(std::min<size_t>(data.size(), transfer.TransferBufferLength));
  if (n != 0) std::memcpy(transfer.TransferBuffer, data.data(), n);
  if (endpoint & USB_ENDPOINT_DIRECTION_MASK) transfer.TransferBufferLength = n;
  CompleteUrb(irp, status, usbdStatus);
  return true;
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

size_t UsbBus::PendingWaitWakes() {
  std::lock_guard<std::mutex> guard(lock_);
  return waitWakes_.size();
}

void UsbBus::SignalWake(NTSTATUS status) {
  std::vector<PIRP> done;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = waitWakes_.begin(); it != waitWakes_.end();) {
      if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
        done.push_back(*it);
        it = waitWakes_.erase(it);
      } else {
        ++it;
      }
    }
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
  if (found) CompleteUrb(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
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
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
    case IRP_MJ_PNP:
      return HandlePnp(irp, stack);
    case IRP_MJ_POWER:
      return HandlePower(irp, stack);
    default: {
      NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS UsbBus::HandleUrb(PIRP irp, PURB urb) {
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<PIRP> cancelled;
  UrbFault fault;
  bool faulted = false;
  bool answered = true;
  NTSTATUS status;
  USBD_STATUS usbd;
  {
    std::lock_guard<std::mutex> guard(lock_);
    UrbRecord rec;
    rec.function = urb->UrbHeader.Function;
    rec.urbLength = urb->UrbHeader.Length;
    if (rec.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      rec.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
      rec.requestedLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
    }
    if (rec.function == URB_FUNCTION_ABORT_PIPE) rec.pipe = urb->UrbPipeRequest.PipeHandle;
    if (rec.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) rec.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
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
    if (gone_) {
      rec.status = STATUS_NO_SUCH_DEVICE;
      rec.usbdStatus = USBD_STATUS_DEVICE_GONE;
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
    if (answered) urb->UrbHeader.Status = rec.usbdStatus;
  }
  // Transfers ended by an abort or unconfigure complete before the request that ended them.
  for (PIRP c : cancelled) CompleteUrb(c, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  if (!answered) return STATUS_PENDING;  // marked pending when it joined its pipe
  if (faulted && fault.kind == UrbFaultKind::Pend && !Gone()) {
    IoMarkIrpPending(irp);
    int delay = fault.delayMs;
    std::lock_guard<std::mutex> guard(lock_);
    completers_.emplace_back([irp, status, usbd, delay] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      IrqlScope dpc(DISPATCH_LEVEL);
      CompleteUrb(irp, status, usbd);
    });
    return STATUS_PENDING;
  }
  CompleteUrb(irp, status, usbd);
  return status;
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
      TakePending(*pipe, cancelled);
      return true;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      rec.pipe = t.PipeHandle;
      rec.requestedLength = t.TransferBufferLength;
      Pipe* pipe = FindPipe(t.PipeHandle);
      if (pipe == nullptr) {
        rec.status = STATUS_INVALID_PARAMETER;
        rec.usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
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
      BulkTransfer transfer{irp, urb, pipe->info.endpoint, (pipe->info.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0,
                            t.TransferBufferLength, static_cast<PUCHAR>(t.TransferBuffer)};
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
      t.TransferBufferLength = std::min(answer.bytes, t.TransferBufferLength);
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
        Pipe{PipeInfo{p.PipeHandle, p.EndpointAddress, ifc->bInterfaceNumber, p.PipeType, p.MaximumTransferSize, 0}, {}}));
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
  bool handled = true;
  {
    std::lock_guard<std::mutex> guard(lock_);
    pnpSeen_.push_back(PnpSeen{minor, status});
    switch (minor) {
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_REMOVE_DEVICE:
        // Whatever is still queued on the device ends with it.
        for (auto& p : pipes_) TakePending(*p, cancelled);
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
  if (handled) irp->IoStatus.Status = status;
  status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::HandlePower(PIRP irp, PIO_STACK_LOCATION stack) {
  PoStartNextPowerIrp(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: {
      std::unique_lock<std::mutex> guard(lock_);
      powerWaiting_++;
      powerGate_.wait(guard, [this] { return !holdPower_; });
      powerWaiting_--;
    }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case IRP_MN_WAIT_WAKE: {
      irp->Tail.Overlay.DriverContext[0] = this;
      IoMarkIrpPending(irp);
      {
        std::lock_guard<std::mutex> guard(lock_);
        waitWakes_.push_back(irp);
      }
      IoSetCancelRoutine(irp, CancelWaitWake);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
          std::lock_guard<std::mutex> guard(lock_);
          waitWakes_.erase(std::find(waitWakes_.begin(), waitWakes_.end(), irp));
        }
        irp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
      }
      return STATUS_PENDING;
    }
    default: {
      NTSTATUS status = irp->IoStatus.Status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

}  // namespace tb
