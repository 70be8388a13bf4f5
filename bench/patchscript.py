#!/usr/bin/env python3
"""Times patchscript on a largest-size pair against `openssl md5 OLD NEW` (hashing both
files is the least any run must do) and against `cmp -l`, side by side in one run.

  bench/patchscript.py [--exe build/patchscript/patchscript] [--runs 7]

Pairs: sparse (a few hundred changed bytes) and dense (every byte changed). Each
command's output goes to a file, as a user would keep it. Reports median seconds and
the ratio to the floor."""

import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time

SIZE = 33554431


def make_pair(folder, name, dense, rng):
    old = rng.randbytes(SIZE)
    if dense:
        new = bytes(b ^ 0xFF for b in old)
    else:
        new = bytearray(old)
        for _ in range(300):
            new[rng.randrange(SIZE)] ^= 0x5A
        new = bytes(new)
    paths = [os.path.join(folder, f"{name}.{kind}") for kind in ("old", "new")]
    for path, data in zip(paths, (old, new)):
        with open(path, "wb") as f:
            f.write(data)
    return paths


def timed(cmd, out_path):
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        subprocess.run(cmd, stdout=out, check=False)
        return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="build/patchscript/patchscript")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    rng = random.Random(1)
    with tempfile.TemporaryDirectory(prefix="psbench-") as folder:
        out = os.path.join(folder, "out")
        for name, dense in (("sparse", False), ("dense", True)):
            old, new = make_pair(folder, name, dense, rng)
            commands = {
                "openssl md5 (floor)": ["openssl", "md5", old, new],
                "patchscript": [args.exe, old, new],
                "cmp -l": ["cmp", "-l", old, new],
            }
            times = {label: [] for label in commands}
            for _ in range(args.runs):  # interleaved, so drift hits every command alike
                for label, cmd in commands.items():
                    times[label].append(timed(cmd, out))
            floor = statistics.median(times["openssl md5 (floor)"])
            print(f"{name} pair, {SIZE} bytes, median of {args.runs}:")
            for label, samples in times.items():
                median = statistics.median(samples)
                print(f"  {label:22s} {median:7.3f} s  {median / floor:6.2f}x")


if __name__ == "__main__":
    main()
