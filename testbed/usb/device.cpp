// The simulated MIDI interface's descriptors.
#include "usb/usb_bus.h"

#include <set>

namespace tb {

UsbMidiDevice UsbMidiDevice::Product(uint16_t productId, uint16_t vendorId) {
  UsbMidiDevice d;
  d.vendorId = vendorId;
  d.productId = productId;
  UsbInterfaceLayout midi;
  midi.number = 2;
  midi.endpoints = {UsbEndpointLayout{0x81, USB_ENDPOINT_TYPE_BULK, 64, 0}, UsbEndpointLayout{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}};
  d.interfaces.push_back(midi);
  return d;
}

UsbMidiDevice& UsbMidiDevice::WithIdleState() {
  DEVICE_CAPABILITIES caps{};
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
  caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
  caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps.DeviceWake = PowerDeviceD2;
  caps.SystemWake = PowerSystemSleeping3;
  capabilities = caps;
  return *this;
}

UsbMidiDevice& UsbMidiDevice::WithEndpoints(std::vector<UsbEndpointLayout> endpoints) {
  for (auto& i : interfaces) {
    if (i.number == 2 && i.alternate == 0) i.endpoints = std::move(endpoints);
  }
  return *this;
}

UsbMidiDevice& UsbMidiDevice::WithOtherInterfaces() {
  UsbInterfaceLayout control{0, 0, 0x01, 0x01, 0, {}, {}};
  UsbInterfaceLayout other{1, 0, 0xFF, 0, 0, {UsbEndpointLayout{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}}, {}};
  UsbInterfaceLayout alternate{2, 1, 0xFF, 0, 0, {UsbEndpointLayout{0x84, USB_ENDPOINT_TYPE_BULK, 64, 0}}, {}};
  UsbInterfaceLayout after{3, 0, 0xFF, 0, 0, {UsbEndpointLayout{0x85, USB_ENDPOINT_TYPE_BULK, 64, 0}}, {}};
  std::vector<UsbInterfaceLayout> all{control, other};
  for (auto& i : interfaces) all.push_back(i);
  all.push_back(alternate);
  all.push_back(after);
  interfaces = std::move(all);
  return *this;
}

std::vector<uint8_t> UsbMidiDevice::DeviceDescriptor() const {
  if (!rawDevice.empty()) return rawDevice;
  return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x10, 0x01, 0, 0, 0, 8,
          static_cast<uint8_t>(vendorId), static_cast<uint8_t>(vendorId >> 8),
          static_cast<uint8_t>(productId), static_cast<uint8_t>(productId >> 8),
          0x00, 0x01, 1, 2, 0, 1};
}

std::vector<uint8_t> UsbMidiDevice::ConfigurationDescriptor() const {
  if (!rawConfiguration.empty()) return rawConfiguration;
  std::set<uint8_t> numbers;
  for (auto& i : interfaces) numbers.insert(i.number);
  std::vector<uint8_t> out{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(numbers.size()), 1, 0, 0x80, 50};
  for (auto& i : interfaces) {
    out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate,
                           static_cast<uint8_t>(i.endpoints.size()), i.cls, i.subClass, i.protocol, 0});
    for (auto& e : i.extra) out.insert(out.end(), e.begin(), e.end());
    for (auto& e : i.endpoints) {
      out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes, static_cast<uint8_t>(e.maxPacket),
                             static_cast<uint8_t>(e.maxPacket >> 8), e.interval});
    }
  }
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

}  // namespace tb
