# The driver's translation units, relative to the repository root. Both the host
# test bed build and the Windows kernel-image build compile exactly this list.
set(DRIVER_SOURCES
  driver/core/entry.cpp
  driver/core/iocount.cpp
  driver/transport/packet_pool.cpp
  driver/transport/receive.cpp
  driver/transport/stream.cpp
  driver/transport/teardown.cpp
  driver/transport/transmit.cpp
  driver/usb/add_device.cpp
  driver/usb/config.cpp
  driver/usb/fdo_pnp.cpp
  driver/usb/layout_asserts.cpp
  driver/power/fdo_power.cpp
  driver/power/idle.cpp
  driver/power/pdo_power.cpp
  driver/client/pdo_pnp.cpp
  driver/client/client_io.cpp
  driver/client/control.cpp
)
