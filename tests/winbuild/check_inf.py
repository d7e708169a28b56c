#!/usr/bin/python3
"""Checks driver.inf: every section it names exists, Windows 2000 finds its
devices in an undecorated Models section, the service is a demand-start kernel
driver, and the hardware IDs are exactly the driver's product table.

The product table is read from the driver sources: an array of ProductEntry
rows whose first member is idVendor << 16 | idProduct written as 0xVVVVPPPP.
"""
import argparse
import pathlib
import re
import sys

SERVICE_KERNEL_DRIVER = 1
SERVICE_DEMAND_START = 3
SPSVCINST_ASSOCSERVICE = 0x2
HWID = re.compile(r"^USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})(&.*)?$", re.IGNORECASE)
TOKEN = re.compile(r"%([^%]*)%")
# Directives of an install section whose values name other sections.
SECTION_LISTS = ("copyfiles", "addreg", "delreg", "renfiles", "delfiles", "updateinis", "bitreg")


class InfError(Exception):
    pass


class Inf:
    """INF text as ordered sections of (key, value) lines; names are case-insensitive."""

    def __init__(self, text):
        self.sections = {}
        self.order = []
        current = None
        pending = ""
        for number, raw in enumerate(text.splitlines(), 1):
            line = pending + strip_comment(raw).strip()
            pending = ""
            if line.endswith("\\"):
                pending = line[:-1]
                continue
            if not line:
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    raise InfError(f"line {number}: unterminated section header")
                current = line[1:-1].strip()
                self.order.append(current)
                self.sections.setdefault(current.lower(), [])
                continue
            if current is None:
                raise InfError(f"line {number}: text before the first section")
            key, sep, value = line.partition("=")
            entry = (key.strip(), value.strip()) if sep else (None, line)
            self.sections[current.lower()].append(entry)

    def has(self, name):
        return name.lower() in self.sections

    def lines(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        return [v for k, v in self.lines(section) if k is not None and k.lower() == key.lower()]


def strip_comment(line):
    out, quoted = [], False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            break
        out.append(ch)
    return "".join(out)


def fields(value):
    return [f.strip() for f in value.split(",")]


def product_table(driver_dir):
    """Keys of every ProductEntry table under driver_dir, and the files they came from."""
    keys, files = set(), []
    table = re.compile(r"ProductEntry\s+(?:const\s+)?\w+\s*\[[^\]]*\]\s*=\s*\{")
    for path in sorted(pathlib.Path(driver_dir).rglob("*")):
        if path.suffix not in (".cpp", ".h") or not path.is_file():
            continue
        text = re.sub(r"//[^\n]*|/\*.*?\*/", "", path.read_text(errors="replace"), flags=re.S)
        for m in table.finditer(text):
            depth, i = 1, m.end()
            rows = []
            while depth and i < len(text):
                if text[i] == "{":
                    depth += 1
                    if depth == 2:
                        start = i
                elif text[i] == "}":
                    depth -= 1
                    if depth == 1:
                        rows.append(text[start + 1:i])
                i += 1
            for row in rows:
                first = re.search(r"0x([0-9A-Fa-f]{8})\b", row)
                if first:
                    keys.add(int(first.group(1), 16))
            files.append(str(path))
    return keys, files


def check(inf, products, service, binary):
    """Returns a list of problems; empty means the INF is good."""
    problems = []

    def need(section, why):
        if not inf.has(section):
            problems.append(f"[{section}] missing ({why})")
            return False
        return True

    if need("Version", "every INF"):
        sig = [v.strip('"').lower() for v in inf.values("Version", "Signature")]
        if sig != ["$windows nt$"]:
            problems.append(f"Version: Signature {sig} is not $Windows NT$")
        for key in ("Class", "ClassGUID", "Provider", "DriverVer"):
            if not inf.values("Version", key):
                problems.append(f"Version: no {key}")
        guid = inf.values("Version", "ClassGUID")
        if guid and not re.fullmatch(r"\{[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\}", guid[0], re.I):
            problems.append(f"Version: ClassGUID {guid[0]} malformed")

    strings = {k.lower(): v for k, v in inf.lines("Strings") if k is not None}
    for name in inf.order:
        if name.lower() == "strings":
            continue
        for key, value in inf.lines(name):
            for token in TOKEN.findall(f"{key or ''}={value}"):
                if token and not token.isdigit() and token.lower() not in strings:
                    problems.append(f"[{name}]: %{token}% not in [Strings]")

    hwids = {}
    install_sections = set()
    if need("Manufacturer", "device list"):
        for _, value in inf.lines("Manufacturer"):
            models, *decorations = fields(value)
            # Windows 2000 ignores decorations and reads this one only.
            need(models, "undecorated Models section, the only one Windows 2000 reads")
            model_sections = [(models, None)] + [(f"{models}.{d}", d) for d in decorations]
            for section, decoration in model_sections:
                if not need(section, "listed in [Manufacturer]"):
                    continue
                ids = set()
                for _, line in inf.lines(section):
                    install, *ids_here = fields(line)
                    if not ids_here:
                        problems.append(f"[{section}]: '{line}' has no hardware ID")
                    ids.update(i.upper() for i in ids_here[:1])
                    candidates = [install] if decoration is None else [f"{install}.{decoration}", f"{install}.NT", install]
                    found = next((c for c in candidates if inf.has(c)), None)
                    if found is None:
                        problems.append(f"[{section}]: install section {install} missing")
                    else:
                        install_sections.add(found)
                hwids[section] = ids
    if len({frozenset(v) for v in hwids.values()}) > 1:
        problems.append("Models sections list different devices: "
                        + "; ".join(f"{k}: {sorted(v)}" for k, v in sorted(hwids.items())))

    keys = set()
    for ids in hwids.values():
        for hwid in ids:
            m = HWID.match(hwid)
            if not m:
                problems.append(f"hardware ID {hwid} is not USB\\VID_xxxx&PID_xxxx")
                continue
            keys.add(int(m.group(1), 16) << 16 | int(m.group(2), 16))
    if keys != products:
        problems.append("hardware IDs " + " ".join(f"0x{k:08X}" for k in sorted(keys))
                        + " differ from the product table " + " ".join(f"0x{k:08X}" for k in sorted(products)))

    copied = set()
    for install in sorted(install_sections):
        for key, value in inf.lines(install):
            if key and key.lower() in SECTION_LISTS:
                for ref in fields(value):
                    if ref.startswith("@"):
                        copied.add(ref[1:].lower())
                    elif need(ref, f"{key} of [{install}]") and key.lower() == "copyfiles":
                        copied.update(fields(v)[0].lower() for _, v in inf.lines(ref))
                        if not (inf.values("DestinationDirs", ref) or inf.values("DestinationDirs", "DefaultDestDir")):
                            problems.append(f"[DestinationDirs]: nothing for {ref}")
        services_section = f"{install}.Services"
        if not need(services_section, f"services of [{install}]"):
            continue
        adds = inf.values(services_section, "AddService")
        functions = [fields(a) for a in adds if len(fields(a)) >= 3
                     and int(fields(a)[1], 0) & SPSVCINST_ASSOCSERVICE]
        if len(functions) != 1:
            problems.append(f"[{services_section}]: {len(functions)} function-driver services, want 1")
            continue
        name, _, svc = functions[0][:3]
        if name.lower() != service.lower():
            problems.append(f"[{services_section}]: service {name}, want {service}")
        if need(svc, f"AddService of [{services_section}]"):
            def number(key):
                v = inf.values(svc, key)
                return int(v[0], 0) if v else None
            if number("ServiceType") != SERVICE_KERNEL_DRIVER:
                problems.append(f"[{svc}]: ServiceType {number('ServiceType')}, want 1 (kernel driver)")
            if number("StartType") != SERVICE_DEMAND_START:
                problems.append(f"[{svc}]: StartType {number('StartType')}, want 3 (demand)")
            if number("ErrorControl") is None:
                problems.append(f"[{svc}]: no ErrorControl")
            image = inf.values(svc, "ServiceBinary")
            if not image or not image[0].lower().endswith("\\" + binary.lower()):
                problems.append(f"[{svc}]: ServiceBinary {image} is not {binary}")

    if binary.lower() not in copied:
        problems.append(f"{binary} is not copied by any install section")
    sources = {k.lower() for k, _ in inf.lines("SourceDisksFiles") if k}
    for name in sorted(copied - sources):
        problems.append(f"{name} copied but not in [SourceDisksFiles]")
    disks = {k for k, _ in inf.lines("SourceDisksNames") if k}
    for k, v in inf.lines("SourceDisksFiles"):
        if k and fields(v)[0] not in disks:
            problems.append(f"[SourceDisksFiles]: {k} on disk {fields(v)[0]}, not in [SourceDisksNames]")
    return problems


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--inf", required=True)
    p.add_argument("--driver-dir", required=True)
    p.add_argument("--service", required=True)
    p.add_argument("--binary", required=True)
    p.add_argument("--fallback-products", nargs="*", default=[],
                   help="keys to use while the sources hold no ProductEntry table")
    args = p.parse_args(argv)

    products, files = product_table(args.driver_dir)
    if files:
        print(f"product table from {', '.join(files)}: " + " ".join(f"0x{k:08X}" for k in sorted(products)))
    else:
        products = {int(k, 16) for k in args.fallback_products}
        print("no ProductEntry table in the driver sources; using "
              + (" ".join(f"0x{k:08X}" for k in sorted(products)) or "nothing"))
    if not products:
        print("no product keys to compare against")
        return 1
    try:
        inf = Inf(pathlib.Path(args.inf).read_text(encoding="utf-8"))
    except InfError as e:
        print(f"{args.inf}: {e}")
        return 1
    problems = check(inf, products, args.service, args.binary)
    for problem in problems:
        print(f"  {problem}")
    print(f"{args.inf}: {'rejected' if problems else 'accepted'} ({len(inf.order)} sections)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
