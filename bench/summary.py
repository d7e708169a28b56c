#!/usr/bin/env python3
"""Runs the transport benchmark with repetitions and prints the medians side by side: the ratios
of one path to another from the same run, each beside its target, and the latencies, durations,
rates and allocations.

    bench/summary.py [path/to/transport_bench] [--repetitions N] [--json FILE] [--from FILE]
"""
import argparse
import json
import subprocess
import sys

CABLE_BYTES_PER_SECOND = 3125.0


def run(binary, repetitions):
    out = subprocess.run(
        [binary, f"--benchmark_repetitions={repetitions}", "--benchmark_report_aggregates_only=true",
         "--benchmark_format=json"],
        check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out)


def medians(report):
    """name -> the median aggregate's record (times in ns, counters as reported)."""
    found = {}
    for b in report["benchmarks"]:
        # One repetition gives no aggregates: its single run stands for the median.
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]
        unit = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        rec = dict(b)
        rec["real_ns"] = b["real_time"] * unit
        rec["cpu_ns"] = b["cpu_time"] * unit
        found[name] = rec
    return found


def pick(found, prefix):
    for name, rec in found.items():
        if name == prefix or name.startswith(prefix + "/"):
            return rec
    sys.exit(f"summary: no median for {prefix} in the benchmark's output")


def verdict(value, limit):
    return "meets" if value <= limit else "MISSES"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default="build/release/bench/transport_bench")
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--json", help="also write the benchmark's own report here")
    parser.add_argument("--from", dest="source", help="summarise a report written by --json instead of running")
    args = parser.parse_args()
    if args.source:
        with open(args.source) as f:
            report = json.load(f)
    else:
        report = run(args.binary, args.repetitions)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    m = medians(report)
    ctx = report["context"]
    print(f"transport benchmark, medians of {args.repetitions} repetitions, {ctx.get('num_cpus')} CPUs, "
          f"load {ctx.get('load_avg')}")

    print("\nwrites (CPU time per call)")
    for n in (3, 32):
        req = pick(m, f"BM_WriteRequest/{n}")
        send = pick(m, f"BM_SendBytes/{n}")
        ratio = req["cpu_ns"] / send["cpu_ns"]
        print(f"  write request {n:2} B {req['cpu_ns']/1e3:7.2f} us, SendBytes {send['cpu_ns']/1e3:7.2f} us: "
              f"ratio {ratio:.3f} (target <= 1.15, {verdict(ratio, 1.15)})")
    direct = pick(m, "BM_DirectWrite")
    req3 = pick(m, "BM_WriteRequest/3")
    ratio = direct["cpu_ns"] / req3["cpu_ns"]
    print(f"  direct-call Write 3 B {direct['cpu_ns']/1e3:7.2f} us: ratio to the write request {ratio:.3f} "
          f"(target <= 0.1, {verdict(ratio, 0.1)})")
    wire = pick(m, "BM_DirectWriteToWire")
    print(f"  direct-call Write to the wire: p50 {wire['p50_us']/1e3:.3f} ms, p99 {wire['p99_us']/1e3:.3f} ms "
          f"(target p99 <= 2.5 ms, {verdict(wire['p99_us'], 2500)})")

    print("\nread delivery, bulk-in completion to the last client read completed")
    per = {}
    for opens in (1, 8, 64):
        r = pick(m, f"BM_ReadDelivery/{opens}")
        per[opens] = r["p50_us"]
        extra = f" (target p99 <= 5 us, {verdict(r['p99_us'], 5.0)})" if opens == 8 else ""
        print(f"  {opens:2} opens: p50 {r['p50_us']:7.2f} us, p99 {r['p99_us']:7.2f} us{extra}")
    if per[1] > 0 and per[8] > 0:
        print(f"  p50 per open: {per[1]:.2f} us at 1, {per[8]/8:.2f} us at 8, {per[64]/64:.2f} us at 64")

    oc = pick(m, "BM_FirstOpenLastClose")
    print(f"\nfirst open p50 {oc['open_p50_us']/1e3:.3f} ms (p99 {oc['open_p99_us']/1e3:.3f}); "
          f"last close p50 {oc['close_p50_us']/1e3:.3f} ms (p99 {oc['close_p99_us']/1e3:.3f})")

    print("\n64 KB system-exclusive dump, first byte handed over to the last on the wire")
    for arg, how in ((0, "direct-call Write"), (1, "write requests of 1 KB")):
        s = pick(m, f"BM_SysexDump/{arg}")
        rate = s["bytes_per_second"]
        print(f"  {how:24} {rate/1e3:10.1f} KB/s, {rate/CABLE_BYTES_PER_SECOND:8.1f} x the cable's 3,125 B/s")

    print("\ndriver allocations per operation (target 0)")
    for name, key in (("write request", "allocs_per_write"), ("direct-call write", "allocs_per_direct_write"),
                      ("read", "allocs_per_read")):
        src = {"allocs_per_write": "BM_WriteRequest/3", "allocs_per_direct_write": "BM_DirectWrite",
               "allocs_per_read": "BM_ReadDelivery/8"}[key]
        r = pick(m, src)
        print(f"  {name:18} pool {r['pool_' + key]:.3f}, IRPs {r['irp_' + key]:.3f}")


if __name__ == "__main__":
    main()
