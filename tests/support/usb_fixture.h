// A driver test with the PnP manager and the simulated USB bus: devices are added, started and
// removed through the driver's real entry points.
#pragma once

#include <memory>

#include "pnp.h"
#include "support/fixture.h"
#include "usb/usb.h"

class UsbDriverTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    pnp_ = std::make_unique<tb::PnpManager>(driver_);
  }
  void TearDown() override {
    pnp_.reset();
    DriverTest::TearDown();
  }

  // Adds a device of `device` and returns its physical device object; `fdo_` is its function device.
  PDEVICE_OBJECT Plug(const tb::UsbMidiDevice& device = tb::UsbMidiDevice::Product(0x0001)) {
    NTSTATUS status;
    PDEVICE_OBJECT pdo = pnp_->Plug(device, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    fdo_ = tb::TopOfStack(pdo);
    ext_ = pdo == fdo_ ? nullptr : FdoExt(fdo_);
    return pdo;
  }
  PDEVICE_OBJECT PlugAndStart(const tb::UsbMidiDevice& device = tb::UsbMidiDevice::Product(0x0001)) {
    PDEVICE_OBJECT pdo = Plug(device);
    EXPECT_EQ(pnp_->Start(pdo), STATUS_SUCCESS);
    return pdo;
  }
  tb::UsbBus* Bus(PDEVICE_OBJECT pdo) { return pnp_->Bus(pdo); }

  std::unique_ptr<tb::PnpManager> pnp_;
  PDEVICE_OBJECT fdo_ = nullptr;
  FdoExtension* ext_ = nullptr;
};
