#!/usr/bin/env python3
"""Static analysis of driver/: clang-tidy (driver/.clang-tidy, clang's static analyzer among its
checks) and GCC's -fanalyzer, each over every driver file exactly as a compile database builds it:
the test bed's (build/dev) and the Windows image's (build/win-x86, mingw-w64). Both analyzers get
scripts/analysis/pool_model.h force-included, so they follow pool blocks and IRPs.

  scripts/analyze.py                      analyse build/dev and, if configured, build/win-x86
  scripts/analyze.py --require-windows    a missing Windows compile database is an error
  scripts/analyze.py --self-test          only check that planted faults are found

Exits non-zero on any finding. Every analysis first runs the self-test, so a configuration that
silences the analyzers cannot pass.
"""
import argparse
import concurrent.futures
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL = os.path.join(ROOT, "scripts", "analysis", "pool_model.h")
PLANTED = os.path.join(ROOT, "scripts", "analysis", "planted_faults.cpp")
CLANG_TIDY = shutil.which("clang-tidy-14") or shutil.which("clang-tidy") or "clang-tidy"
JOBS = 2

# GCC 12's analyzer is meant for C: in this C++ it loses a block stored into an extension field
# or a file object and reports a leak at every such store. Leaks are left to clang's analyzer,
# which follows those stores; double frees, touches after a free, NULL from an unchecked
# allocation and uninitialized reads stay with both.
GCC_ANALYZER_FLAGS = ["-fanalyzer", "-Wno-analyzer-malloc-leak"]

FINDING = re.compile(r"^(?P<file>[^:\s][^:]*):(?P<line>\d+):(?P<col>\d+): (?P<kind>warning|error): (?P<text>.*)$")


def load_database(build_dir):
    path = os.path.join(build_dir, "compile_commands.json")
    with open(path) as f:
        entries = json.load(f)
    driver = os.path.join(ROOT, "driver") + os.sep
    units = [e for e in entries if os.path.abspath(os.path.join(e["directory"], e["file"])).startswith(driver)]
    if not units:
        raise SystemExit(f"{path}: no driver/ files")
    return units


def arguments(entry):
    return entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])


def gcc_command(entry, source=None):
    # Without optimisation: the optimiser folds away what the analyzer should see (an
    # uninitialized read becomes a constant).
    args = [a for a in arguments(entry) if not re.fullmatch(r"-O[0-3sgz]?", a)]
    out = args.index("-o")
    args[out + 1] = os.devnull
    if source is not None:
        args[-1] = source
    return args + GCC_ANALYZER_FLAGS + ["-include", MODEL]


def run(args, cwd):
    r = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return r.returncode, r.stdout


def findings(output):
    """The first line of each report, relative to the repository."""
    seen = []
    for line in output.splitlines():
        m = FINDING.match(line)
        if not m:
            continue
        name = os.path.relpath(os.path.abspath(m.group("file")), ROOT)
        entry = f"{name}:{m.group('line')}: {m.group('text')}"
        if entry not in seen:
            seen.append(entry)
    return seen


def analyse_unit(entry, tool):
    source = os.path.abspath(os.path.join(entry["directory"], entry["file"]))
    if tool == "gcc":
        code, out = run(gcc_command(entry), entry["directory"])
    else:
        code, out = run([CLANG_TIDY, "--quiet", "-p", entry["directory"], "--extra-arg=-include",
                         f"--extra-arg={MODEL}", source], ROOT)
    found = findings(out)
    if code != 0 and not found:
        found = [f"{os.path.relpath(source, ROOT)}: {tool} failed (exit {code}):\n{out}"]
    return found


def analyse(name, build_dir):
    units = load_database(build_dir)
    failed = 0
    for tool in ("clang-tidy", "gcc"):
        t = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
            results = list(pool.map(lambda e: analyse_unit(e, tool), units))
        reports = [r for result in results for r in result]
        label = "GCC -fanalyzer" if tool == "gcc" else "clang-tidy"
        print(f"{name}: {label}: {len(units)} files, {len(reports)} findings ({time.monotonic() - t:.0f} s)")
        for r in reports:
            print(f"  {r}")
        failed += len(reports)
    return failed


def planted_faults():
    """[first line, last line, {analyzer: check}, description] of each planted fault."""
    faults = []
    with open(PLANTED) as f:
        lines = f.read().splitlines()
    for number, text in enumerate(lines, 1):
        m = re.match(r"// planted: (.*) \((.*)\)$", text)
        if m:
            if faults:
                faults[-1][1] = number - 1
            expected = dict(part.split() for part in m.group(2).split(","))
            faults.append([number, len(lines), expected, m.group(1)])
    return faults


def self_test(build_dir):
    """Runs both analyzers over the planted faults, with the flags of a driver file."""
    entry = dict(load_database(build_dir)[0])
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        # clang-tidy finds the configuration beside the file it analyses: the copy sits in a
        # driver/ of its own with the same .clang-tidy.
        planted_dir = os.path.join(tmp, "driver")
        os.makedirs(planted_dir)
        shutil.copy(os.path.join(ROOT, "driver", ".clang-tidy"), planted_dir)
        planted = os.path.join(planted_dir, "planted_faults.cpp")
        shutil.copy(PLANTED, planted)
        args = arguments(entry)
        db_entry = {"directory": entry["directory"], "file": planted, "arguments": args[:-1] + [planted]}
        with open(os.path.join(tmp, "compile_commands.json"), "w") as f:
            json.dump([db_entry], f)
        reports = {
            "gcc": run(gcc_command(entry, planted), entry["directory"])[1],
            "clang": run([CLANG_TIDY, "--quiet", "-p", tmp, "--extra-arg=-include", f"--extra-arg={MODEL}", planted],
                         ROOT)[1],
        }
        for tool, out in reports.items():
            missed = False
            # -Werror turns [-Wcheck] into [-Werror=check].
            reported = [(int(m.group("line")), m.group("text").replace("[-Werror=", "[-W"))
                        for m in map(FINDING.match, out.splitlines())
                        if m and os.path.basename(m.group("file")) == "planted_faults.cpp"]
            for first, last, expected, what in planted_faults():
                if tool not in expected:
                    continue
                if not any(first <= n <= last and f"[{expected[tool]}" in text for n, text in reported):
                    print(f"self-test: {tool} did not report the planted {what} (lines {first}-{last}) "
                          f"with {expected[tool]}")
                    ok = False
                    missed = True
            if missed:
                print(out)
    print(f"self-test: planted faults {'found' if ok else 'MISSED'} ({os.path.relpath(build_dir, ROOT)})")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--require-windows", action="store_true")
    parser.add_argument("--self-test", action="store_true")
    opts = parser.parse_args()

    databases = [("test bed", os.path.join(ROOT, "build", "dev"))]
    windows = os.path.join(ROOT, "build", "win-x86")
    if os.path.exists(os.path.join(windows, "compile_commands.json")):
        databases.append(("windows x86", windows))
    elif opts.require_windows:
        raise SystemExit("build/win-x86/compile_commands.json missing: cmake --preset win-x86")
    else:
        print("windows x86: skipped, no build/win-x86/compile_commands.json (cmake --preset win-x86)")

    ok = all([self_test(path) for _, path in databases])
    if opts.self_test:
        return 0 if ok else 1
    failed = sum(analyse(name, path) for name, path in databases)
    print(f"analysis: {failed} findings")
    return 0 if ok and failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
