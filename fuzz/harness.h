// What every fuzz target shares: a fresh kernel per input with the driver and the MIDI client
// driver loaded, a simulated interface plugged in and started, and the verifier's reports turned
// into an abort, so that libFuzzer keeps the input that caused one.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "client/midi_client.h"
#include "core/driver.h"
#include "pnp.h"
#include "power_manager.h"
#include "testbed.h"
#include "usb/midi_endpoints.h"
#include "usb/usb_bus.h"

namespace fuzz {

// Ends the run with the message on stderr: libFuzzer records the input as a crash.
[[noreturn]] void Fail(const char* what, long long a = 0, long long b = 0);
#define FUZZ_CHECK(cond, ...) \
  do {                        \
    if (!(cond)) ::fuzz::Fail("check failed: " #cond, ##__VA_ARGS__); \
  } while (0)

class Bed {
 public:
  Bed();   // a fresh kernel, the driver and the client driver loaded
  ~Bed();  // removes what is still plugged, unloads, shuts the kernel down (leak checks)
  Bed(const Bed&) = delete;
  Bed& operator=(const Bed&) = delete;

  // Plugs `device` in and starts it; false when the driver refused the device (add or start).
  bool Plug(const tb::UsbMidiDevice& device);
  // After a successful Plug: the endpoints and the child with the client above it.
  bool Enumerate();
  // The first product plugged in, started and enumerated: a target's usual starting point.
  void PlugFirstProduct();
  // A kernel-mode open of the child by the client, which must succeed.
  std::shared_ptr<tb::ClientOpen> OpenAsKernelClient();
  // Every step ends here: nothing the verifier reported, the PnP manager's work done.
  void Check();
  // Removes the device: the client's opens closed first.
  void Remove(bool surprise = false);

  PDRIVER_OBJECT driver = nullptr;
  PDRIVER_OBJECT clientDriver = nullptr;
  std::unique_ptr<tb::PnpManager> pnp;
  std::unique_ptr<tb::MidiEndpoints> ep;
  tb::UsbBus* bus = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT child = nullptr;
  std::shared_ptr<tb::MidiClient> client;
  bool plugged = false;
};

// Statuses a request may end with: anything else from the driver is a fault of its own.
bool SaneStatus(NTSTATUS status);

}  // namespace fuzz
