#!/usr/bin/python3
"""Checks that a linked .sys is something the Windows kernel will load as a driver.

Rules (each reported by name, so a deliberately broken probe image can be shown
to trip exactly the rule it breaks):
  machine          COFF machine matches the build
  subsystem        optional header says native (1); x86 subsystem version <= 5.0
  characteristics  executable, not a DLL, relocations not stripped
  relocations      a non-empty base relocation directory whenever the objects
                   hold absolute addresses (x64 code can need none at all)
  entry            entry point is the DriverEntry symbol from the map file
  imports          only the allow-listed modules; plain (undecorated) names
  checksum         optional-header checksum is set and correct
  runtime          no C/C++ runtime leftovers: no static constructor symbols in
                   the objects or map, no constructor/TLS sections in the image

Reads the image with Debian's pefile and the objects with the target's nm and
objdump.
"""
import argparse
import pathlib
import re
import subprocess
import sys

import pefile

MACHINES = {"i386": 0x14C, "amd64": 0x8664}
FORBIDDEN_SECTIONS = (".ctors", ".dtors", ".init_array", ".fini_array", ".tls", ".CRT", ".eh_frame")
STATIC_CTOR = re.compile(r"_GLOBAL__sub_[ID]_|__static_initialization_and_destruction")
# COFF relocation types that store an absolute address, so need a base relocation.
ABSOLUTE_FIXUPS = {"dir32", "IMAGE_REL_I386_DIR32", "IMAGE_REL_AMD64_ADDR64", "IMAGE_REL_AMD64_ADDR32"}
MAP_SYMBOL = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+(\S+)\s*$")
# An input section placed by the linker: name, address, size, object.
MAP_INPUT = re.compile(r"^\s*(\.\S+)\s+0x[0-9a-fA-F]+\s+0x([0-9a-fA-F]+)\s+(\S+)")


class Report:
    def __init__(self):
        self.failed = {}

    def check(self, rule, ok, detail):
        print(f"  [{'ok' if ok else 'FAIL'}] {rule}: {detail}")
        if not ok:
            self.failed.setdefault(rule, []).append(detail)


def section_table(pe):
    print("  sections:")
    print(f"    {'name':<10}{'virtual':>10}{'raw':>10}  flags")
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode(errors="replace")
        print(f"    {name:<10}{s.Misc_VirtualSize:>10}{s.SizeOfRawData:>10}  0x{s.Characteristics:08x}")
    print(f"    image size in memory {pe.OPTIONAL_HEADER.SizeOfImage}, on disk {len(pe.__data__)}")


def imports_of(pe):
    out = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = []
        for imp in entry.imports:
            names.append(imp.name.decode() if imp.name else f"#{imp.ordinal}")
        out.append((entry.dll.decode(), names))
    return out


def read_map(map_path):
    """Symbol addresses and the non-empty input sections from a GNU ld map."""
    symbols, inputs = {}, []
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = MAP_SYMBOL.match(line)
            if m:
                symbols.setdefault(m.group(2), int(m.group(1), 16))
            m = MAP_INPUT.match(line)
            if m and int(m.group(2), 16):
                inputs.append((m.group(1), m.group(3)))
    return symbols, inputs


def object_files(args):
    if not args.objects_dir:
        return []
    return sorted(str(p) for p in pathlib.Path(args.objects_dir).rglob("*.obj"))


def absolute_fixups(args, objects):
    """Number of relocations in the objects that the loader would have to rebase."""
    out = subprocess.run([args.objdump, "-r", *objects], check=True, capture_output=True, text=True).stdout
    return sum(1 for line in out.splitlines() if len(line.split()) >= 3 and line.split()[1] in ABSOLUTE_FIXUPS)


def check_image(args, report, objects):
    pe = pefile.PE(args.image)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    section_table(pe)

    report.check("machine", fh.Machine == MACHINES[args.machine],
                 f"0x{fh.Machine:04x}, want {args.machine} (0x{MACHINES[args.machine]:04x})")

    report.check("subsystem", oh.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"],
                 f"{oh.Subsystem} (native is 1)")
    if args.machine == "i386":
        version = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
        report.check("subsystem", version <= (5, 0), f"subsystem version {version[0]}.{version[1]}, Windows 2000 is 5.0")

    flags = fh.Characteristics
    report.check("characteristics", not flags & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"],
                 f"0x{flags:04x}: DLL bit {'set' if flags & 0x2000 else 'clear'}")
    report.check("characteristics", bool(flags & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_EXECUTABLE_IMAGE"]),
                 "executable-image bit")
    report.check("characteristics", not flags & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"],
                 "relocations-stripped bit clear")

    reloc_dir = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    has_relocs = reloc_dir.VirtualAddress != 0 and reloc_dir.Size > 0
    if has_relocs or not objects:
        report.check("relocations", has_relocs, f"base relocation directory of {reloc_dir.Size} bytes")
    else:
        needed = absolute_fixups(args, objects)
        report.check("relocations", needed == 0,
                     f"no base relocation directory; the objects hold {needed} absolute fixups")

    symbols, inputs = read_map(args.map)
    # The i386 map drops the leading underscore of C symbols.
    want = symbols.get(args.entry_symbol)
    if want is None and args.entry_symbol.startswith("_"):
        want = symbols.get(args.entry_symbol[1:])
    entry = oh.ImageBase + oh.AddressOfEntryPoint
    report.check("entry", want is not None and want == entry,
                 f"entry 0x{entry:x}, {args.entry_symbol} at " + (f"0x{want:x}" if want is not None else "nowhere"))

    allowed = {name.lower() for name in args.allow}
    imports = imports_of(pe)
    print("  imports:")
    for dll, names in imports:
        print(f"    {dll}: {' '.join(names)}")
    for dll, names in imports:
        report.check("imports", dll.lower() in allowed, f"{dll} against allow-list {', '.join(args.allow)}")
        decorated = [n for n in names if "@" in n or n.startswith("#")]
        report.check("imports", not decorated, f"{dll} names plain" + (f" (not: {' '.join(decorated)})" if decorated else ""))
    report.check("imports", bool(imports), f"{len(imports)} import modules")

    report.check("checksum", oh.CheckSum != 0 and oh.CheckSum == pe.generate_checksum(),
                 f"0x{oh.CheckSum:08x}, computed 0x{pe.generate_checksum():08x}")

    names = [s.Name.rstrip(b"\0").decode(errors="replace") for s in pe.sections]
    bad_sections = [n for n in names if n.startswith(FORBIDDEN_SECTIONS)]
    report.check("runtime", not bad_sections, "no constructor/TLS/unwind-frame sections"
                 + (f" (found: {' '.join(bad_sections)})" if bad_sections else ""))
    ctor_in_map = sorted(n for n in symbols if STATIC_CTOR.search(n))
    ctor_in_map += sorted({f"{sec} from {obj}" for sec, obj in inputs if sec.startswith(FORBIDDEN_SECTIONS)})
    report.check("runtime", not ctor_in_map, "no static constructors or TLS in the map"
                 + (f" (found: {'; '.join(ctor_in_map)})" if ctor_in_map else ""))
    pe.close()


def check_objects(args, report, objects):
    if not args.objects_dir:
        return
    report.check("runtime", bool(objects), f"{len(objects)} objects under {args.objects_dir}")
    if not objects:
        return
    out = subprocess.run([args.nm, "-A", *objects], check=True, capture_output=True, text=True).stdout
    ctors = sorted({line.split()[-1] for line in out.splitlines() if STATIC_CTOR.search(line)})
    report.check("runtime", not ctors, "objects without static constructors"
                 + (f" (found: {' '.join(ctors)})" if ctors else ""))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--image", required=True)
    p.add_argument("--map", required=True, help="linker map of the image")
    p.add_argument("--machine", required=True, choices=sorted(MACHINES))
    p.add_argument("--entry-symbol", required=True)
    p.add_argument("--allow", nargs="+", default=["ntoskrnl.exe", "HAL.dll", "USBD.SYS"])
    p.add_argument("--nm", default="nm")
    p.add_argument("--objdump", default="objdump")
    p.add_argument("--objects-dir", help="object files of the image, checked before the link strips them")
    p.add_argument("--expect-failure", metavar="RULE", nargs="+",
                   help="invert: pass only if exactly these rules fail")
    args = p.parse_args(argv)

    print(f"{args.image}:")
    report = Report()
    objects = object_files(args)
    check_image(args, report, objects)
    check_objects(args, report, objects)

    if args.expect_failure:
        want, got = sorted(set(args.expect_failure)), sorted(report.failed)
        if want == got:
            print(f"rejected as expected by: {', '.join(got)}")
            return 0
        print(f"expected exactly {want} to fail; failed: {got or 'none'}")
        return 1
    if report.failed:
        print(f"image rejected: {', '.join(sorted(report.failed))}")
        return 1
    print("image accepted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
