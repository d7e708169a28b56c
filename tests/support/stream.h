// A started device with its child enumerated, over the simulated interface's endpoints; the
// stream runs through real opens of the child, as a client runs it.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "client/client.h"
#include "pnp.h"
#include "support/client.h"
#include "support/fixture.h"
#include "transport/transport.h"
#include "usb/midi_endpoints.h"

class StreamTest : public DriverTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs in and starts the first product, and enumerates its child; `completers` IN completion
  // threads.
  void Plug(int completers = 1, const tb::UsbMidiDevice& device = tb::UsbMidiDevice::Product(0x0001));
  // The first product, with capabilities that give it an idle state (D2) and wake from D2.
  static tb::UsbMidiDevice WithIdleState();
  // An open of the child through create: the first one starts the stream (power, the two
  // continuous reads, the writer thread, the start messages).
  ChildOpen* Open();
  // Closes one open (the last close stops the stream), or every one still open.
  void Close(ChildOpen* open);
  void CloseAll();
  // Continuous reads in flight, read the way the driver changes the count: interlocked.
  ULONG ActiveReads() {
    return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG*>(&ext_->ActiveReadCount), 0));
  }
  // The record the driver keeps for an open.
  static OpenContext* Context(ChildOpen* open) { return static_cast<OpenContext*>(open->file.FsContext); }
  // Removes the device the way the PnP manager does, once the client has closed what it opened.
  void Remove();

  // Handed to each new PnP manager Plug makes: sees each bus before AddDevice (a tap).
  std::function<void(tb::UsbBus&)> onPlug_;
  std::unique_ptr<tb::PnpManager> pnp_;
  std::unique_ptr<tb::MidiEndpoints> ep_;
  tb::UsbBus* bus_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_OBJECT child_ = nullptr;
  FdoExtension* ext_ = nullptr;
  std::vector<std::unique_ptr<ChildOpen>> opens_;
};
