#!/usr/bin/env python3
"""Times patchscript on largest-size pairs against `openssl md5 OLD NEW` (hashing both
files is the least any run must do) and against `cmp -l`, side by side in one run.

  bench/patchscript.py [--exe build/patchscript/patchscript] [--vs OTHER] [--runs 7]

Pairs: sparse (a few hundred changed bytes), dense (every byte changed) and alternating
(every other byte changed: 16.7 million blocks of one byte, the most blocks a pair can
have). Each command's output goes to a file, as a user would keep it. --vs times a
second build of patchscript (an earlier commit's) in the same rounds. Reports median
seconds and the ratio to the floor."""

import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time

SIZE = 33554431


PAIRS = ("sparse", "dense", "alternating")
INVERT = bytes(b ^ 0xFF for b in range(256))


def make_pair(folder, name, rng):
    """Writes name.old and name.new, a pair of the kind name, into folder."""
    old = rng.randbytes(SIZE)
    new = bytearray(old)
    if name == "sparse":
        for _ in range(300):
            new[rng.randrange(SIZE)] ^= 0x5A
    elif name == "dense":
        new = old.translate(INVERT)
    else:
        new[0::2] = old[0::2].translate(INVERT)
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
    parser.add_argument("--vs", help="another patchscript, timed in the same rounds")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    rng = random.Random(1)
    with tempfile.TemporaryDirectory(prefix="psbench-") as folder:
        out = os.path.join(folder, "out")
        for name in PAIRS:
            old, new = make_pair(folder, name, rng)
            commands = {
                "openssl md5 (floor)": ["openssl", "md5", old, new],
                "patchscript": [args.exe, old, new],
            }
            if args.vs:
                commands["patchscript (--vs)"] = [args.vs, old, new]
            commands["cmp -l"] = ["cmp", "-l", old, new]
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
