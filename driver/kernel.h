// The driver's one window on the platform: the kernel, USB and USBD declarations it uses.
// Everything in driver/ includes this header and nothing else from outside driver/.
#pragma once

#if defined(_WIN32)
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
// UTF-16 string literals: wchar_t is 16 bits wide on Windows.
#define WIDE(s) L##s
#else
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
// The test bed's WCHAR is char16_t, whose literals carry the u prefix.
#define WIDE(s) u##s
#endif
