#!/usr/bin/env python3
"""The router's cost on Linux, from build/bench/tarnheap_bench, side by side in one run:

  bench/tarnheap.py [--exe build/bench/tarnheap_bench] [--vs OTHER] [--runs 3]

- the mixed batch through the router over direct jemalloc, at 1 and 2 threads: each
  process's ratio of medians, and the median over --runs processes (with --vs, another
  build's benchmark program runs in the same rounds);
- instructions per malloc(64)+free pair over the floor library, counted by callgrind: the
  instructions of the exports `tarnheap` and `rfree` themselves per call, less those of
  the forward-only library's framed malloc and free (jemalloc's own are the same on both
  sides). Needs valgrind; skipped without it."""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import tempfile
from collections import Counter

ENV = dict(os.environ, GLIBC_TUNABLES="glibc.rtld.optional_static_tls=16384")


def quiet_args(exe):
    """--no-memory where the program knows it (earlier builds do not)."""
    probe = [exe, "--no-memory", "--benchmark_filter=^$"]
    ok = subprocess.run(probe, env=ENV, capture_output=True, check=False).returncode == 0
    return ["--no-memory"] if ok else []


def batch_ratios(exe, args, out):
    """Router over direct for one process, per thread count."""
    subprocess.run([exe, *args, "--benchmark_filter=^batch/(direct|router)",
                    "--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
                    f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    times = {}
    for b in json.load(open(out))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            side, threads = re.match(r"batch/(\w+)/threads:(\d+)", b["run_name"]).groups()
            times[side, threads] = b["real_time"]
    return {t: times["router", t] / times["direct", t] for side, t in times if side == "direct"}


def per_call(profile, names):
    """Self instructions per call of each named function in a callgrind profile."""
    ids, own, calls = {}, Counter(), Counter()
    fn = callee = None
    after_calls = False
    for line in open(profile):
        m = re.match(r"(c?fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
        if m:
            ids.setdefault(m[2], m[3])
            if m[1] == "fn":
                fn = ids[m[2]]
            else:
                callee = ids[m[2]]
        elif line.startswith("calls="):
            calls[callee] += int(line.split()[0][6:])
            after_calls = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            if not after_calls and len(line.split()) > 1:
                own[fn] += int(line.split()[1])
            after_calls = False  # the line after calls= is the call's inclusive cost
    return {n: own[n] / max(calls[n], 1) for n in names}


def instructions(exe, args, folder):
    profile = os.path.join(folder, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}", exe, *args,
                    "--benchmark_filter=^pair64/(framed|router)/threads:1$",
                    "--benchmark_min_time=0.05"], env=ENV, capture_output=True, check=True)
    c = per_call(profile, ["tarnheap", "rfree", "shim_malloc_framed", "shim_free"])
    pair = c["tarnheap"] + c["rfree"] - c["shim_malloc_framed"] - c["shim_free"]
    return f"{pair:5.2f} (tarnheap {c['tarnheap']:.2f}, rfree {c['rfree']:.2f})"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="build/bench/tarnheap_bench")
    parser.add_argument("--vs", help="another build's tarnheap_bench, run in the same rounds")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    builds = {"this build": args.exe, **({"--vs": args.vs} if args.vs else {})}
    extra = {label: quiet_args(exe) for label, exe in builds.items()}
    ratios = {label: [] for label in builds}
    with tempfile.TemporaryDirectory(prefix="thbench-") as folder:
        for _ in range(args.runs):  # interleaved, so drift hits every build alike
            for label, exe in builds.items():
                ratios[label].append(batch_ratios(exe, extra[label], os.path.join(folder, "b")))
        for label, exe in builds.items():
            medians = {t: statistics.median(r[t] for r in ratios[label]) for t in ("1", "2")}
            print(f"{label}: batch router/direct, median of {args.runs} processes: "
                  f"threads:1 {medians['1']:.3f}x  threads:2 {medians['2']:.3f}x")
        if shutil.which("valgrind"):
            for label, exe in builds.items():
                print(f"{label}: instructions per malloc(64)+free pair over the floor library: "
                      f"{instructions(exe, extra[label], folder)}")


if __name__ == "__main__":
    main()
