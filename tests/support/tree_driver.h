// A small driver for tests of the power manager and its rules: the PnP manager adds a function
// device of it on each simulated USB device, and it enumerates one child device of its own below
// each function device, so that the tree has parents and children. Plug and Play requests are
// passed down or answered as a function and a bus driver do; power requests go to the test's
// routine, which may hand them to Pass for the ordinary answer.
#pragma once

#include <wdm.h>

#include <string>

namespace treedrv {

extern PDRIVER_DISPATCH gPower;  // the test's power routine for every device of the driver
extern bool gEnumerate;          // function devices report a child in bus relations (default true)

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

// The device's physical device object: the one a function device is attached to, or the child.
PDEVICE_OBJECT Identity(PDEVICE_OBJECT device);
bool IsChild(PDEVICE_OBJECT device);
PDEVICE_OBJECT Lower(PDEVICE_OBJECT device);  // a function device's next lower device; null for a child
// The ordinary answer: a function device passes the request down, a child completes it (a
// set-power or query-power with success, anything else as it came); the next one is let in first.
NTSTATUS Pass(PDEVICE_OBJECT device, PIRP irp);
// Resets what the globals hold between tests.
void Reset();

}  // namespace treedrv
