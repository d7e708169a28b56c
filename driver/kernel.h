// The driver's one window on the platform: the kernel, USB and USBD declarations it uses.
// Everything in driver/ includes this header and nothing else from outside driver/.
#pragma once

#if defined(_WIN32)
#include <wdm.h>
// mingw-w64's USB headers lack C++ linkage guards; the USBD routines are C.
extern "C" {
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#include <intrin.h>
// On x86 wdm.h declares only the interlocked routines ntoskrnl exports; the
// bitwise ones are compiler intrinsics there, as on x64.
#if !defined(InterlockedOr)
#define InterlockedOr _InterlockedOr
#endif
#if !defined(InterlockedAnd)
#define InterlockedAnd _InterlockedAnd
#endif
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
