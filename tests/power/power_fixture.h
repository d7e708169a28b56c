// A started function device on a bus whose capabilities a test chooses before device addition.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "power/power.h"
#include "support/power.h"
#include "support/usb_fixture.h"

class PowerTest : public UsbDriverTest {
 protected:
  void TearDown() override {
    if (pdo_ != nullptr && !removed_) pnp_->RemoveNow(pdo_);
    pnp_.reset();
    bus_.reset();
    DriverTest::TearDown();
  }

  // Device states for S1, S2, S3 and the wake state, as the bus reports them at addition.
  static DEVICE_CAPABILITIES Capabilities(DEVICE_POWER_STATE s1, DEVICE_POWER_STATE s2, DEVICE_POWER_STATE s3,
                                          DEVICE_POWER_STATE wake) {
    DEVICE_CAPABILITIES caps{};
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = s1;
    caps.DeviceState[PowerSystemSleeping2] = s2;
    caps.DeviceState[PowerSystemSleeping3] = s3;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.DeviceWake = wake;
    caps.SystemWake = PowerSystemSleeping3;
    return caps;
  }

  // Adds (and, with `start`, starts) a device whose bus answers `caps`.
  void Add(const DEVICE_CAPABILITIES& caps, bool start = true) {
    bus_ = std::make_unique<tb::UsbBus>(tb::UsbMidiDevice::Product(0x0001));
    bus_->SetCapabilities(caps);
    pdo_ = bus_->Pdo();
    ASSERT_EQ(pnp_->AddDevice(pdo_), STATUS_SUCCESS);
    fdo_ = tb::TopOfStack(pdo_);
    ext_ = FdoExt(fdo_);
    if (start) {
      ASSERT_EQ(pnp_->Start(pdo_), STATUS_SUCCESS);
    }
  }
  void AddDefault(bool start = true) { Add(Capabilities(PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2), start); }

  tb::Result System(SYSTEM_POWER_STATE s) { return SendPower(pdo_, IRP_MN_SET_POWER, SystemPowerState, s); }
  tb::Result Device(DEVICE_POWER_STATE d) { return SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, d); }
  // The power requests the bus saw since the last Mark().
  std::vector<std::string> Seen() {
    auto all = PowerSeenByBus(bus_.get());
    return std::vector<std::string>(all.begin() + static_cast<long>(std::min(mark_, all.size())), all.end());
  }
  void Mark() { mark_ = PowerSeenByBus(bus_.get()).size(); }
  void Removed() { removed_ = true; }

  std::unique_ptr<tb::UsbBus> bus_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool removed_ = false;
  size_t mark_ = 0;
};
