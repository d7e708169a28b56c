// Power requests as the power manager sends them, and the stream's two calls on the idle policy
// as the stream's start and stop make them.
#pragma once

#include <string>
#include <vector>

#include "core/driver.h"
#include "testbed.h"
#include "usb/usb_bus.h"

// A set- or query-power request to the top of the stack over `pdo`, sent and waited for.
tb::Result SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, ULONG state);
// A wait-wake request for system state `wake`, sent and waited for (the caller's thread blocks).
tb::Result SendWaitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wake = PowerSystemSleeping3);
// The stream's first open: its pipes in use, then the device in D0.
NTSTATUS StreamStartPower(PDEVICE_OBJECT fdo);
// The stream's last close: its pipes free, then the device to its idle state.
NTSTATUS StreamStopPower(PDEVICE_OBJECT fdo);
// The power requests that reached the bus, by name ("SET_POWER D3", "QUERY_POWER S3", ...).
std::vector<std::string> PowerSeenByBus(tb::UsbBus* bus);
