#!/usr/bin/env python3
"""Compares the layout table of the test bed's headers with the published headers' table.

Each table is the .laytab section of an object built from layout_table.cpp, extracted with
objcopy. Every record of one must equal the same record of the other, except the records
layout_list.h excuses, with a reason. Each difference is printed with both values.

  compare_layout.py --testbed OBJ --testbed-objcopy TOOL --published OBJ --published-objcopy TOOL
                    [--expect RECORD ...]

Every record an excuse names must exist. With --expect the script succeeds only if exactly
the named records differ (the check's own test, on deliberately wrong headers).
"""
import argparse
import pathlib
import struct
import subprocess
import sys
import tempfile

RECORD = struct.Struct("<8s120s120sq")


def text(raw):
    return raw.split(b"\0", 1)[0].decode()


def read_table(objcopy, obj):
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "table.bin"
        subprocess.run([objcopy, "-O", "binary", "--only-section=.laytab", str(obj), str(out)], check=True)
        data = out.read_bytes()
    if not data or len(data) % RECORD.size:
        raise SystemExit(f"{obj}: no layout table, or one of {len(data)} bytes (records are {RECORD.size})")
    header_set, values, excuses = None, {}, {}
    for kind, name, note, value in RECORD.iter_unpack(data):
        kind, name, note = text(kind), text(name), text(note)
        if kind == "set":
            header_set = note
        elif kind == "value":
            if name in values:
                raise SystemExit(f"{obj}: record {name} appears twice in the list")
            values[name] = value
        elif kind == "excuse":
            excuses[name] = note
        else:
            raise SystemExit(f"{obj}: unknown record kind {kind!r}")
    return header_set, values, excuses


def show(value):
    return f"{value} ({value & 0xFFFFFFFFFFFFFFFF:#x})" if abs(value) > 9 else str(value)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--testbed", required=True, type=pathlib.Path)
    ap.add_argument("--testbed-objcopy", required=True)
    ap.add_argument("--published", required=True, type=pathlib.Path)
    ap.add_argument("--published-objcopy", required=True)
    ap.add_argument("--expect", nargs="*")
    args = ap.parse_args()

    tb_set, tb, excuses = read_table(args.testbed_objcopy, args.testbed)
    pub_set, pub, _ = read_table(args.published_objcopy, args.published)
    # Comparing a header set with itself would prove nothing.
    if (tb_set, pub_set) != ("testbed", "published"):
        raise SystemExit(f"expected the test bed's table, then the published one; got {tb_set}, {pub_set}")
    if tb.keys() != pub.keys():
        raise SystemExit("the two tables list different records: they were not built from the same list")
    stale = sorted(set(excuses) - tb.keys())
    if stale:
        raise SystemExit("excuses for records the list does not have: " + ", ".join(stale))

    width = max(len(n) for n in tb)
    differing, excused = [], []
    for name in tb:
        if tb[name] == pub[name]:
            continue
        (excused if name in excuses else differing).append(name)
    for name in excused:
        print(f"excused   {name:<{width}}  test bed {show(tb[name])}, published {show(pub[name])}: {excuses[name]}")
    for name in differing:
        print(f"DIFFERENT {name:<{width}}  test bed {show(tb[name])}, published {show(pub[name])}")

    pointer = tb["sizeof(void*)"] * 8
    if args.expect is not None:
        want = set(args.expect)
        if set(differing) == want:
            print(f"self-test ({pointer}-bit): the wrong header differs in exactly the {len(want)} expected records")
            return 0
        for name in sorted(want - set(differing)):
            print(f"self-test: planted difference not found: {name}")
        print(f"self-test ({pointer}-bit) FAILED")
        return 1

    print(f"{pointer}-bit: {len(tb)} records, {len(differing)} differences, {len(excused)} excused")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
