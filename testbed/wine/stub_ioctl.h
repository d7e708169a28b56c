// The stand-in client's control device (\\.\UsbMidiClientStub), shared by the stand-in client
// and the end-to-end test program: one command in, one reply out, METHOD_BUFFERED.
#pragma once

#define STUB_CONTROL_NAME L"\\Device\\UsbMidiClientStub"
#define STUB_CONTROL_LINK L"\\DosDevices\\UsbMidiClientStub"
#define STUB_CONTROL_PATH "\\\\.\\UsbMidiClientStub"

#define IOCTL_STUB_COMMAND CTL_CODE(FILE_DEVICE_UNKNOWN, 0x940, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define STUB_DATA_BYTES 512

// What the client sends the child, each a request it builds itself with a kernel-mode requestor
// and sends to the device below its own, as a client driver on the child does.
enum StubOp {
  STUB_OPEN = 1,       // IRP_MJ_CREATE with a file object of the client's
  STUB_CLOSE,          // IRP_MJ_CLEANUP (its status in Value), then IRP_MJ_CLOSE on that file object
  STUB_WRITE,          // IRP_MJ_WRITE of Data
  STUB_INTERNAL,       // IRP_MJ_INTERNAL_DEVICE_CONTROL, code Code, Data as the input buffer
  STUB_BEGIN_READ,     // a read of Capacity bytes left to wait: Code STUB_READER_*
  STUB_READ_RESULT,    // how the reader's last read stands (Status STATUS_PENDING while out)
  STUB_CANCEL_READ,    // IoCancelIrp on the reader's waiting read
  STUB_GET_DIRECT,     // IOCTL_GET_DIRECT_CALL_INTERFACE, output length the record's size + (LONG)Code
  STUB_DIRECT_WRITE,   // the record's Write with Data; Value the count it returned
  STUB_DIRECT_CONTROL, // the record's Control with Stop = Code; Returned its status
  STUB_DIRECT_BALANCE, // Capacity calls of Write with no bytes; Value the calls that came back unbalanced
  STUB_STATE,          // Value the requests still out; Data the client's notes, one line each
};

enum StubReader { STUB_READER_OPEN = 0, STUB_READER_INTERNAL = 1 };

// STUB_REPLY.Value of STUB_GET_DIRECT: what the driver did to the record.
#define STUB_RECORD_MAGIC_KEPT 0x01     // Magic as the client set it
#define STUB_RECORD_FILLED 0x02         // Context, Write and Control all written
#define STUB_RECORD_RESERVED_KEPT 0x04  // Reserved as the client set it
#define STUB_RECORD_GUARD_KEPT 0x08     // nothing written past the record
#define STUB_RECORD_UNTOUCHED 0x10      // not one byte written
#define STUB_RECORD_CONTEXT_OURS 0x20   // Context is a device of the child's own driver, not the child

typedef struct _STUB_COMMAND {
  ULONG Op;         // StubOp
  ULONG Code;
  ULONG Capacity;
  ULONG Length;     // bytes of Data
  UCHAR Data[STUB_DATA_BYTES];
} STUB_COMMAND;

typedef struct _STUB_REPLY {
  LONG Returned;     // what the dispatch routine (or the called function) returned
  LONG Status;       // the request's final status; STATUS_PENDING while it is out
  ULONG Information;
  ULONG Value;
  LONG StackDelta;   // x86: ESP after a direct call less ESP before it; 0 when balanced
  ULONG RecordSize;  // STUB_GET_DIRECT: sizeof(DIRECT_CALL_INTERFACE) as the client compiled it
  ULONG Length;      // bytes of Data
  UCHAR Data[STUB_DATA_BYTES];
} STUB_REPLY;
