// What a MIDI client driver uses on the child device: the control codes, the direct-call record
// and the contract of its two functions. Include it after the platform's wdm.h.
//
// Requests (all METHOD_NEITHER: buffers travel as raw addresses in Type3InputBuffer, and are
// written later at DISPATCH_LEVEL in any thread, so they must be non-paged memory of a
// kernel-mode caller; requests from user mode are refused with STATUS_ACCESS_DENIED):
//   create / close            open and close the stream (the first open starts it, the last close
//                             stops it); each open is a reader of its own from the moment it opened
//   read                      completes as soon as one byte is there; one waiting read per open
//   write                     sent at once in 32-byte transfers; returns when they are out
//   IOCTL_CLIENT_OPEN/CLOSE   (internal) the same, without a file object
//   IOCTL_CLIENT_READ         (internal) the child's single reader slot; output length = capacity
//   IOCTL_CLIENT_WRITE        (internal) input length = byte count
//   IOCTL_GET_DIRECT_CALL_INTERFACE  (device control) fills a DIRECT_CALL_INTERFACE whose Magic the
//                             caller set; output length must be DIRECT_CALL_INTERFACE_SIZE
#pragma once

#define IOCTL_CLIENT_OPEN 0x0022240F
#define IOCTL_CLIENT_CLOSE 0x00222413
#define IOCTL_CLIENT_READ 0x00222417
#define IOCTL_CLIENT_WRITE 0x0022241B
#define IOCTL_GET_DIRECT_CALL_INTERFACE 0x0022241F

#define DIRECT_CALL_MAGIC 0x54525631UL  // 'TRV1'

// Write: copies the bytes into the driver's 256-byte transmit ring and returns the count accepted.
//   It sleeps (50 ms at a time) while the ring is full and the stream's writer thread runs; when
//   no writer thread runs (the stream is not open) and the ring is full, it returns fewer bytes
//   than asked. The bytes reach the device within about 2 ms of being queued.
// Control: queues the stream's stop message (Stop not 0) or its start message (Stop 0) the same
//   way; always STATUS_SUCCESS. A stop message queued so suppresses the last close's own.
// Both run below DISPATCH_LEVEL in the caller's thread, with the kernel's calling convention.
typedef ULONG(NTAPI* DIRECT_CALL_WRITE)(struct _DEVICE_OBJECT* Context, const UCHAR* Bytes, ULONG Length);
typedef NTSTATUS(NTAPI* DIRECT_CALL_CONTROL)(struct _DEVICE_OBJECT* Context, ULONG Stop);

// 24 bytes where pointers are 4 bytes; the natural layout (40 bytes) where they are 8.
typedef struct _DIRECT_CALL_INTERFACE {
  ULONG Magic;                  // DIRECT_CALL_MAGIC, set by the caller
  struct _DEVICE_OBJECT* Context;  // the first argument of both functions
  DIRECT_CALL_WRITE Write;
  DIRECT_CALL_CONTROL Control;
  UCHAR Reserved[8];            // neither read nor written by the driver
} DIRECT_CALL_INTERFACE, *PDIRECT_CALL_INTERFACE;

#define DIRECT_CALL_INTERFACE_SIZE sizeof(DIRECT_CALL_INTERFACE)
