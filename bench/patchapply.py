#!/usr/bin/env python3
"""Times patchapply on largest-size pairs against its floors, side by side in one run, and
reports each command's peak memory. The least a checked apply must do is hash the input
and the result and read the script: `openssl md5 OLD NEW; cat SCRIPT > /dev/null` is the
floor of --check. Writing adds the result, written and synced: the write's floor adds
`dd if=NEW of=FILE conv=fsync`.

  bench/patchapply.py [--exe build/patchapply/patchapply]
                      [--patchscript build/patchscript/patchscript] [--runs 7]
                      [--vs OTHER] [--emulator build-win32/wine-run]

Pairs: sparse (a few hundred changed bytes), dense (every byte changed, a 98 MiB script)
and alternating (every other byte changed: 16.7 million blocks, a 215 MiB script). The
scripts are made once, untimed; each pair is checked (--check) and applied, each apply
writing a fresh output. --vs times a second build of patchapply (an earlier commit's)
in the same rounds.
With --emulator (build-win32/wine-run) patchscript and patchapply are the Windows
builds run under it; openssl runs natively, and patchapply checking a one-byte pair's
script times a process start under the emulator, to tell it apart from the work. Peak memory is each process's maximum
resident size (under Wine, that of the Wine process)."""

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

from patchscript import PAIRS, SIZE, make_pair  # the same pairs as the writer's bench


def make_pairs(folder):
    """Writes every pair into folder. Run in a child process, so this one stays small: a
    child's peak memory counts the parent's size when it started."""
    rng = random.Random(1)
    for name in PAIRS:
        make_pair(folder, name, rng)


def timed(cmd, cwd):
    """Seconds and peak resident memory (MiB) of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"{cmd} failed with status {status}")
    return elapsed, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="build/patchapply/patchapply")
    parser.add_argument("--patchscript", default="build/patchscript/patchscript")
    parser.add_argument("--vs", help="another patchapply, timed in the same rounds")
    parser.add_argument("--emulator")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--make", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.make:
        return make_pairs(args.make)
    emulator = [os.path.abspath(args.emulator)] if args.emulator else []
    exe, patchscript = os.path.abspath(args.exe), os.path.abspath(args.patchscript)
    builds = {"patchapply": exe}
    if args.vs:
        builds["patchapply (--vs)"] = os.path.abspath(args.vs)
    with tempfile.TemporaryDirectory(prefix="pabench-") as folder:
        subprocess.run([sys.executable, __file__, "--make", folder], check=True)
        if emulator:  # a one-byte pair: checking its script costs a process start
            for name, byte in (("tiny.old", b"a"), ("tiny.new", b"b")):
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(byte)
            with open(os.path.join(folder, "tiny.script"), "wb") as f:
                subprocess.run(emulator + [patchscript, "tiny.old", "tiny.new"], cwd=folder,
                               stdout=f, check=True)
        for name in PAIRS:
            old, new = f"{name}.old", f"{name}.new"
            script = f"{name}.script"
            with open(os.path.join(folder, script), "wb") as f:
                subprocess.run(emulator + [patchscript, old, new], cwd=folder, stdout=f,
                               check=True)
            read_floor = f"openssl md5 {old} {new} >/dev/null && cat {script} >/dev/null"
            write_floor = read_floor + f" && dd if={new} of=floor.out bs=1M conv=fsync status=none"
            commands = {"floor of --check": ["sh", "-c", read_floor],
                        "floor of the write": ["sh", "-c", write_floor]}
            for label, build in builds.items():
                commands[label + " --check"] = emulator + [build, "--check", script]
                commands[label] = emulator + [build, "-f", "-o", "out", script]
            if emulator:  # a process start under the emulator, which every run pays
                commands["emulator start"] = emulator + [exe, "--check", "tiny.script"]
            samples = {label: [] for label in commands}
            for _ in range(args.runs):  # interleaved, so drift hits every command alike
                for label, cmd in commands.items():
                    samples[label].append(timed(cmd, folder))
            if subprocess.run(["cmp", "-s", "out", new], cwd=folder).returncode != 0:
                raise SystemExit("patchapply's output differs from the new file")
            size = os.path.getsize(os.path.join(folder, script))
            floors = {True: statistics.median(t for t, _ in samples["floor of --check"]),
                      False: statistics.median(t for t, _ in samples["floor of the write"])}
            print(f"{name} pair, {SIZE} bytes, script {size:,} bytes, median of {args.runs}, "
                  "each against its floor:")
            for label, runs in samples.items():
                median = statistics.median(t for t, _ in runs)
                peak = max(m for _, m in runs)
                # --check against its floor, a write against the other
                floor = floors["check" in label]
                print(f"  {label:26s} {median:7.3f} s  {median / floor:6.2f}x  "
                      f"peak {peak:6.1f} MiB")
            if emulator:
                start = statistics.median(t for t, _ in samples["emulator start"])
                work = statistics.median(t for t, _ in samples["patchapply"]) - start
                print(f"  patchapply less the emulator's start  {work / floors[False]:6.2f}x")


if __name__ == "__main__":
    main()
