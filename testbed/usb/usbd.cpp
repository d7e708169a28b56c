// The USBD library routines the driver imports: building a select-configuration request from
// a configuration descriptor, and finding an interface descriptor in one.
#include <usbdlib.h>

#include "kernel/internal.h"

namespace tb {
namespace {
constexpr ULONG kUsbdTag = 0x44425355;  // 'USBD'

// Each descriptor in [start, end of wTotalLength) in turn. A descriptor with bLength below 2
// or running past wTotalLength ends the walk, as it would leave the buffer.
template <typename F>
void WalkDescriptors(PUSB_CONFIGURATION_DESCRIPTOR config, PVOID start, F&& visit) {
  auto* base = reinterpret_cast<PUCHAR>(config);
  auto* end = base + config->wTotalLength;
  auto* p = static_cast<PUCHAR>(start);
  while (p >= base && p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + common->bLength > end) return;
    if (!visit(common)) return;
    p += common->bLength;
  }
}
}  // namespace
}  // namespace tb

using namespace tb;

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  PUSB_INTERFACE_DESCRIPTOR found = nullptr;
  WalkDescriptors(ConfigurationDescriptor, StartPosition, [&](PUSB_COMMON_DESCRIPTOR d) {
    if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE || d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      return true;
    }
    auto* ifc = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    auto matches = [](LONG want, UCHAR have) { return want == -1 || want == have; };
    if (matches(InterfaceNumber, ifc->bInterfaceNumber) && matches(AlternateSetting, ifc->bAlternateSetting) &&
        matches(InterfaceClass, ifc->bInterfaceClass) && matches(InterfaceSubClass, ifc->bInterfaceSubClass) &&
        matches(InterfaceProtocol, ifc->bInterfaceProtocol)) {
      found = ifc;
      return false;
    }
    return true;
  });
  return found;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces;
  WalkDescriptors(ConfigurationDescriptor, ConfigurationDescriptor, [&](PUSB_COMMON_DESCRIPTOR d) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d)->bAlternateSetting == 0) {
      interfaces.push_back(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d));
    }
    return true;
  });
  size_t header = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  size_t size = header;
  for (auto* ifc : interfaces) size += GET_USBD_INTERFACE_SIZE(ifc->bNumEndpoints);
  // Room for one interface at least, as the request's own layout has.
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(AllocatePoolInternal(NonPagedPool, size, kUsbdTag, true, "USBD_CreateConfigurationRequest"));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* entry = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (auto* ifc : interfaces) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(ifc->bNumEndpoints));
    info->InterfaceNumber = ifc->bInterfaceNumber;
    info->AlternateSetting = 0;
    info->NumberOfPipes = ifc->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; i++) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    entry += info->Length;
  }
  *Siz = static_cast<USHORT>(size);
  return urb;
}

}  // extern "C"
