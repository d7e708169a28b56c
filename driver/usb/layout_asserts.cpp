// Sizes of the structures this driver hands to the USB stack, as the 32-bit
// Windows stack expects them. A header or packing mismatch here would send
// malformed URBs, so the x86 build refuses to compile instead. The 64-bit
// test bed compiles this too; the asserts only apply where pointers are 4 bytes.
#include "kernel.h"

namespace {

constexpr bool kIs32 = sizeof(void*) == 4;
using Size = decltype(sizeof(int));

// Variable-length requests carry n pipe entries, the first inside the struct.
constexpr Size SelectInterfaceSize(Size pipes) {
  return sizeof(struct _URB_SELECT_INTERFACE) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}
constexpr Size InterfaceInfoSize(Size pipes) {
  return sizeof(USBD_INTERFACE_INFORMATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}

static_assert(!kIs32 || sizeof(struct _URB_HEADER) == 16, "URB header");
static_assert(!kIs32 || sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "control descriptor URB");
static_assert(!kIs32 || sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk/interrupt URB");
static_assert(!kIs32 || sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB");
static_assert(!kIs32 || sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select configuration, one interface");
static_assert(!kIs32 || sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(!kIs32 || (SelectInterfaceSize(1) == 36 + 20 * 1 && SelectInterfaceSize(2) == 36 + 20 * 2 &&
                         SelectInterfaceSize(4) == 36 + 20 * 4),
              "select interface, n pipes");
static_assert(!kIs32 || (InterfaceInfoSize(1) == 16 + 20 * 1 && InterfaceInfoSize(2) == 16 + 20 * 2 &&
                         InterfaceInfoSize(4) == 16 + 20 * 4),
              "interface information, n pipes");
static_assert(!kIs32 || sizeof(DEVICE_CAPABILITIES) == 64, "device capabilities");

}  // namespace
