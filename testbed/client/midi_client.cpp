// The client's requests: what a MIDI client driver sends its child, and what came back.
#include "client/midi_client.h"

#include <cstring>

#include "kernel/internal.h"
#include "pnp.h"

namespace tb {
namespace {
ClientResult From(const Result& r) {
  ClientResult out;
  out.status = r.status;
  out.information = r.information;
  out.returned = r.returned;
  return out;
}

ClientResult Finish(const std::shared_ptr<IoRequest>& request) {
  request->Wait(-1);
  return From(request->Outcome());
}

std::shared_ptr<ClientRead> StartRead(const std::function<std::shared_ptr<IoRequest>(void*)>& send, ULONG capacity) {
  auto buffer = std::make_shared<std::vector<UCHAR>>(capacity);
  return std::make_shared<ClientRead>(send(buffer->data()), buffer);
}

bool Waiting(const std::shared_ptr<ClientRead>& read) { return read != nullptr && !read->Done(); }

// What a client whose device has gone gets instead of sending to a device that may be freed.
class NotSent : public IoRequest {
 public:
  bool Wait(int) override { return true; }
  bool Done() override { return true; }
  BOOLEAN Cancel() override { return FALSE; }
  Result Outcome() override { return Result{STATUS_NO_SUCH_DEVICE, 0, STATUS_NO_SUCH_DEVICE}; }
  std::chrono::steady_clock::time_point CompletedAt() override { return at_; }

 private:
  std::chrono::steady_clock::time_point at_ = std::chrono::steady_clock::now();
};
}  // namespace

// ---------------------------------------------------------------------------------------------
ClientRead::ClientRead(std::shared_ptr<IoRequest> request, std::shared_ptr<std::vector<UCHAR>> buffer)
    : request_(std::move(request)), buffer_(std::move(buffer)) {}

bool ClientRead::Wait(int timeoutMs) { return request_->Wait(timeoutMs); }
bool ClientRead::Done() { return request_->Done(); }
BOOLEAN ClientRead::Cancel() { return request_->Cancel(); }
std::chrono::steady_clock::time_point ClientRead::CompletedAt() { return request_->CompletedAt(); }

ClientResult ClientRead::Result() {
  ClientResult out = From(request_->Outcome());
  if (request_->Done() && NT_SUCCESS(out.status)) {
    size_t n = std::min<size_t>(out.information, buffer_->size());
    out.bytes.assign(buffer_->begin(), buffer_->begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
ClientOpen::ClientOpen(std::shared_ptr<File> file, KPROCESSOR_MODE mode) : file_(std::move(file)), mode_(mode) {}

PFILE_OBJECT ClientOpen::FileObject() { return file_->Object(); }
KPROCESSOR_MODE ClientOpen::Mode() { return mode_; }

std::shared_ptr<IoRequest> ClientOpen::Request(IoRequestParams params) {
  params.mode = mode_;
  return file_->Start(params);
}

ClientResult ClientOpen::Write(const std::vector<UCHAR>& bytes) {
  // The bytes stay the caller's until the write returns.
  std::vector<UCHAR> copy(bytes);
  return Write(copy.empty() ? nullptr : copy.data(), static_cast<ULONG>(copy.size()));
}

ClientResult ClientOpen::Write(const void* buffer, ULONG length) {
  IoRequestParams params;
  params.major = IRP_MJ_WRITE;
  params.buffer = const_cast<void*>(buffer);
  params.length = length;
  return Finish(Request(params));
}

std::shared_ptr<ClientRead> ClientOpen::BeginRead(ULONG capacity) {
  auto read = StartRead([&](void* buffer) {
    IoRequestParams params;
    params.major = IRP_MJ_READ;
    params.buffer = buffer;
    params.length = capacity;
    return Request(params);
  }, capacity);
  std::lock_guard<std::mutex> guard(lock_);
  if (!Waiting(read_)) read_ = read;
  return read;
}

ClientResult ClientOpen::Read(ULONG capacity, int timeoutMs) {
  auto read = BeginRead(capacity);
  read->Wait(timeoutMs);
  return read->Result();
}

bool ClientOpen::WaitRead(int timeoutMs) {
  std::shared_ptr<ClientRead> read;
  {
    std::lock_guard<std::mutex> guard(lock_);
    read = read_;
  }
  return read != nullptr && read->Wait(timeoutMs);
}

BOOLEAN ClientOpen::CancelRead() {
  std::shared_ptr<ClientRead> read;
  {
    std::lock_guard<std::mutex> guard(lock_);
    read = read_;
  }
  return read != nullptr ? read->Cancel() : FALSE;
}

ClientResult ClientOpen::ReadResult() {
  std::shared_ptr<ClientRead> read;
  {
    std::lock_guard<std::mutex> guard(lock_);
    read = read_;
  }
  return read != nullptr ? read->Result() : ClientResult{};
}

ClientResult ClientOpen::DeviceControl(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength) {
  IoRequestParams params;
  params.major = IRP_MJ_DEVICE_CONTROL;
  params.code = code;
  params.input = buffer;
  params.inputLength = inputLength;
  params.output = buffer;
  params.outputLength = outputLength;
  return Finish(Request(params));
}

NTSTATUS ClientOpen::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    handleClosed_ = true;
  }
  return file_->Close();
}

bool ClientOpen::CloseIfOpen() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (handleClosed_) return false;
    handleClosed_ = true;
  }
  file_->Close();
  return true;
}
bool ClientOpen::WaitClosed(int timeoutMs) { return file_->WaitClosed(timeoutMs); }
ClientResult ClientOpen::CleanupResult() { return From(file_->CleanupOutcome()); }
ClientResult ClientOpen::CloseResult() { return From(file_->CloseOutcome()); }

// ---------------------------------------------------------------------------------------------
MidiClient::MidiClient(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT child)
    : device_(device), lower_(lower), child_(child) {}

PDEVICE_OBJECT MidiClient::Device() { return device_; }
PDEVICE_OBJECT MidiClient::Lower() { return lower_; }
PDEVICE_OBJECT MidiClient::Child() { return child_; }

bool MidiClient::Present() {
  std::lock_guard<std::mutex> guard(lock_);
  return present_;
}

std::vector<std::string> MidiClient::PnpSeen() {
  std::lock_guard<std::mutex> guard(lock_);
  return pnp_;
}

NTSTATUS MidiClient::StartStatus() {
  std::lock_guard<std::mutex> guard(lock_);
  return started_;
}

void MidiClient::NotePnp(UCHAR minor) {
  std::lock_guard<std::mutex> guard(lock_);
  pnp_.push_back(PnpMinorName(minor));
}

void MidiClient::NoteStarted(NTSTATUS status) {
  std::lock_guard<std::mutex> guard(lock_);
  started_ = status;
}

void MidiClient::NoteRemoved() {
  std::lock_guard<std::mutex> guard(lock_);
  present_ = false;
}

std::shared_ptr<ClientOpen> MidiClient::Open(KPROCESSOR_MODE mode, ClientResult* result) {
  OpenOptions options;
  options.mode = mode;
  // An application opens the device by name, which reaches the top of its stack.
  options.sendTo = mode == KernelMode ? lower_ : nullptr;
  Result opened;
  std::shared_ptr<File> file = OpenFile(child_, &opened, options);
  if (result != nullptr) *result = From(opened);
  if (file == nullptr) return nullptr;
  auto open = std::make_shared<ClientOpen>(file, mode);
  std::lock_guard<std::mutex> guard(lock_);
  opens_.push_back(open);
  return open;
}

void MidiClient::CloseAll() {
  std::vector<std::shared_ptr<ClientOpen>> open;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& w : opens_) {
      if (auto o = w.lock()) open.push_back(o);
    }
    opens_.clear();
  }
  for (auto& o : open) o->CloseIfOpen();
}

std::shared_ptr<IoRequest> MidiClient::Send(const IoRequestParams& params) {
  if (!Present()) {
    Report(Rule::ObjectUnknown, "tb::MidiClient", Hex(device_), "a request from a client whose device was removed");
    return std::make_shared<NotSent>();
  }
  return StartRequest(lower_, params);
}

ClientResult MidiClient::Internal(ULONG code, void* buffer, ULONG inputLength, ULONG outputLength) {
  IoRequestParams params;
  params.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  params.code = code;
  params.input = buffer;
  params.inputLength = inputLength;
  params.outputLength = outputLength;
  return Finish(Send(params));
}

ClientResult MidiClient::InternalOpen() { return Internal(IOCTL_CLIENT_OPEN, nullptr, 0, 0); }
ClientResult MidiClient::InternalClose() { return Internal(IOCTL_CLIENT_CLOSE, nullptr, 0, 0); }

ClientResult MidiClient::InternalWrite(const std::vector<UCHAR>& bytes) {
  std::vector<UCHAR> copy(bytes);
  return InternalWrite(copy.empty() ? nullptr : copy.data(), static_cast<ULONG>(copy.size()));
}

ClientResult MidiClient::InternalWrite(const void* buffer, ULONG length) {
  return Internal(IOCTL_CLIENT_WRITE, const_cast<void*>(buffer), length, 0);
}

std::shared_ptr<ClientRead> MidiClient::BeginInternalRead(ULONG capacity) {
  auto read = StartRead([&](void* buffer) {
    IoRequestParams params;
    params.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    params.code = IOCTL_CLIENT_READ;
    params.input = buffer;
    params.output = buffer;
    params.outputLength = capacity;
    return Send(params);
  }, capacity);
  std::lock_guard<std::mutex> guard(lock_);
  if (!Waiting(internalRead_)) internalRead_ = read;
  return read;
}

ClientResult MidiClient::InternalRead(ULONG capacity, int timeoutMs) {
  auto read = BeginInternalRead(capacity);
  read->Wait(timeoutMs);
  return read->Result();
}

bool MidiClient::WaitInternalRead(int timeoutMs) {
  std::shared_ptr<ClientRead> read;
  {
    std::lock_guard<std::mutex> guard(lock_);
    read = internalRead_;
  }
  return read != nullptr && read->Wait(timeoutMs);
}

BOOLEAN MidiClient::CancelInternalRead() {
  std::shared_ptr<ClientRead> read;
  {
    std::lock_guard<std::mutex> guard(lock_);
    read = internalRead_;
  }
  return read != nullptr ? read->Cancel() : FALSE;
}

ClientResult MidiClient::InternalReadResult() {
  std::shared_ptr<ClientRead> read;
  {
    std::lock_guard<std::mutex> guard(lock_);
    read = internalRead_;
  }
  return read != nullptr ? read->Result() : ClientResult{};
}

ClientResult MidiClient::GetDirectCallInterface(DIRECT_CALL_INTERFACE* record, ULONG outputLength) {
  IoRequestParams params;
  params.major = IRP_MJ_DEVICE_CONTROL;
  params.code = IOCTL_GET_DIRECT_CALL_INTERFACE;
  params.input = record;
  params.inputLength = outputLength;
  params.output = record;
  params.outputLength = outputLength;
  ClientResult r = Finish(Send(params));
  if (NT_SUCCESS(r.status)) {
    std::lock_guard<std::mutex> guard(lock_);
    direct_ = *record;
  }
  return r;
}

ClientResult MidiClient::GetDirectCallInterface() {
  DIRECT_CALL_INTERFACE* record;
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::memset(&record_, 0, sizeof record_);
    record_.Magic = DIRECT_CALL_MAGIC;
    record = &record_;
  }
  return GetDirectCallInterface(record);
}

DIRECT_CALL_INTERFACE MidiClient::DirectCallInterface() {
  std::lock_guard<std::mutex> guard(lock_);
  return direct_;
}

ULONG MidiClient::DirectWrite(const std::vector<UCHAR>& bytes) {
  RequireIrqlAtMost(APC_LEVEL, "DIRECT_CALL_INTERFACE.Write");
  DIRECT_CALL_INTERFACE iface = DirectCallInterface();
  if (iface.Write == nullptr) {
    Report(Rule::Unimplemented, "tb::MidiClient::DirectWrite", Hex(device_), "no direct-call interface was obtained");
    return 0;
  }
  std::vector<UCHAR> copy(bytes);
  return RunDriverRoutine(reinterpret_cast<const void*>(iface.Write), "direct call", [&] {
    return iface.Write(iface.Context, copy.empty() ? nullptr : copy.data(), static_cast<ULONG>(copy.size()));
  });
}

NTSTATUS MidiClient::DirectControl(ULONG stop) {
  RequireIrqlAtMost(APC_LEVEL, "DIRECT_CALL_INTERFACE.Control");
  DIRECT_CALL_INTERFACE iface = DirectCallInterface();
  if (iface.Control == nullptr) {
    Report(Rule::Unimplemented, "tb::MidiClient::DirectControl", Hex(device_), "no direct-call interface was obtained");
    return STATUS_UNSUCCESSFUL;
  }
  return RunDriverRoutine(reinterpret_cast<const void*>(iface.Control), "direct call",
                          [&] { return iface.Control(iface.Context, stop); });
}

}  // namespace tb
