#!/usr/bin/env python3
"""Copies the test bed's kernel headers with deliberate mistakes, for the check's own tests.

  mutate_headers.py --set layout|coverage SOURCE_DIR DEST_DIR

layout:   mistakes of the kinds the layout check exists for; the comparison must report each.
coverage: names no list entry covers; the coverage check must report each.

Every edit must match its header exactly once, so a header change that leaves a mutation
with nothing to change fails here instead of quietly testing nothing.
"""
import argparse
import pathlib
import re
import shutil
import sys

MUTATIONS = {
    "layout": [
        # A wrong constant.
        ("usb.h", r"(#define URB_FUNCTION_ABORT_PIPE) 0x0002", r"\1 0x0004"),
        # Two members in the wrong order.
        ("wdm.h", r"(\n  )ULONG Flags;\n  ULONG Characteristics;\n", r"\1ULONG Characteristics;\1ULONG Flags;\n"),
        # Two bit-fields in the wrong order.
        ("wdm.h", r"ULONG EjectSupported : 1;\n  ULONG Removable : 1;", "ULONG Removable : 1;\n  ULONG EjectSupported : 1;"),
        # A member without its published alignment: visible on 64-bit only, as on the platform.
        ("wdm.h", r"ULONG POINTER_ALIGNMENT InputBufferLength;", "ULONG InputBufferLength;"),
    ],
    "coverage": [
        ("usb.h", r"(#define USBD_STATUS_SUCCESS)", r"#define USBD_STATUS_PLANTED ((USBD_STATUS)0xC0FF0000L)\n\1"),
        ("wdm.h", r"(  PowerActionWarmEject)", r"\1,\n  PowerActionPlanted"),
        ("wdm.h", r"(  ULONG D3Latency;\n)", r"\1  ULONG PlantedMember;\n"),
        ("wdm.h", r"(typedef struct _CLIENT_ID \{)", r"typedef struct _PLANTED_RECORD {\n  ULONG Value;\n} PLANTED_RECORD;\n\n\1"),
    ],
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--set", required=True, choices=sorted(MUTATIONS))
    ap.add_argument("source", type=pathlib.Path)
    ap.add_argument("dest", type=pathlib.Path)
    args = ap.parse_args()

    if args.dest.exists():
        shutil.rmtree(args.dest)
    shutil.copytree(args.source, args.dest)
    for name, pattern, replacement in MUTATIONS[args.set]:
        path = args.dest / name
        text, count = re.subn(pattern, replacement, path.read_text())
        if count != 1:
            print(f"mutate_headers: {name}: /{pattern}/ matched {count} times, not once", file=sys.stderr)
            return 1
        path.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
