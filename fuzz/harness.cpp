#include "harness.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Fail(const char* what, long long a, long long b) {
  std::fprintf(stderr, "FUZZ FAILURE: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

namespace {
void OnViolation(const tb::Violation& v) {
  std::fprintf(stderr, "VERIFIER: %s\n", v.ToString().c_str());
  std::abort();
}
}  // namespace

Bed::Bed() {
  tb::ResetKernel();
  // Short limits: a hang shows up as a report within a second or two, not after half a minute.
  tb::GetSettings().hangLimitMs = 3000;
  tb::GetSettings().watchdogMs = 3000;
  tb::SetViolationHandler(OnViolation);
  driver = tb::LoadDriver(DriverEntry, u"usbmidi");
  FUZZ_CHECK(driver != nullptr);
  clientDriver = tb::LoadMidiClient();
  pnp = std::make_unique<tb::PnpManager>(driver);
  pnp->LoadChildDriver(clientDriver);
}

bool Bed::Plug(const tb::UsbMidiDevice& device) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  pdo = pnp->Plug(device, &status);
  FUZZ_CHECK(pdo != nullptr);
  plugged = true;
  bus = pnp->Bus(pdo);
  if (!NT_SUCCESS(status)) return false;
  fdo = tb::TopOfStack(pdo);
  FUZZ_CHECK(fdo != pdo);
  NTSTATUS started = pnp->Start(pdo);
  Check();
  return NT_SUCCESS(started);
}

bool Bed::Enumerate() {
  ep = std::make_unique<tb::MidiEndpoints>(*bus);
  std::vector<PDEVICE_OBJECT> children = pnp->QueryBusRelations(pdo);
  Check();
  FUZZ_CHECK(children.size() == 1, static_cast<long long>(children.size()));
  child = children[0];
  client = tb::MidiClientOn(child);
  FUZZ_CHECK(client != nullptr);
  pnp->beforeChildRemove = [this](PDEVICE_OBJECT) {
    if (client) client->CloseAll();
  };
  return true;
}

void Bed::PlugFirstProduct() {
  FUZZ_CHECK(Plug(tb::UsbMidiDevice::Product(0x0001)));
  Enumerate();
}

std::shared_ptr<tb::ClientOpen> Bed::OpenAsKernelClient() {
  tb::ClientResult opened;
  auto open = client->Open(KernelMode, &opened);
  FUZZ_CHECK(open != nullptr, opened.status);
  return open;
}

void Bed::Check() {
  pnp->WaitIdle();
  std::vector<tb::Violation> seen = tb::Violations();
  if (!seen.empty()) OnViolation(seen.front());
}

void Bed::Remove(bool surprise) {
  if (!plugged) return;
  if (client) client->CloseAll();
  if (surprise) {
    ep.reset();
    if (bus) bus->Unplug();
    pnp->SurpriseRemove(pdo);
  } else {
    ep.reset();  // the endpoints' threads end before the bus goes with the device
    pnp->Remove(pdo);
  }
  Check();
  plugged = false;
}

Bed::~Bed() {
  Remove();
  client.reset();
  pnp.reset();
  tb::UnloadDriver(clientDriver);
  tb::UnloadDriver(driver);
  tb::ShutdownKernel();
  std::vector<tb::Violation> seen = tb::Violations();
  if (!seen.empty()) OnViolation(seen.front());
  tb::SetViolationHandler(nullptr);
}

bool SaneStatus(NTSTATUS status) {
  return status != STATUS_PENDING;
}

}  // namespace fuzz
