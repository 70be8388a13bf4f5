#!/usr/bin/env python3
"""Installs the kit into a staging prefix, checks the installed files, builds a tiny C
host against the installed header and library (and the header as C++ too), runs it,
and checks the file lists of the packages CPack makes."""

import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

LINUX = {
    "bin/patchscript",
    "bin/patchapply",
    "share/man/man1/patchapply.1",
    "lib/libtarnheap.so",
    "include/tarnheap.h",
    "include/tarnheap_load.h",
    "share/man/man1/patchscript.1",
    "share/doc/tarnkit/README.md",
    "share/doc/tarnkit/script-format.md",
}
WINDOWS = {
    "bin/patchscript.exe",
    "bin/patchapply.exe",
    "bin/tarnheap.dll",
    "lib/libtarnheap.dll.a",
    "lib/tarnheap.def",
    "include/tarnheap.h",
    "include/tarnheap_load.h",
    "share/doc/tarnkit/README.md",
    "share/doc/tarnkit/script-format.md",
}
FLAGS = ["-Wall", "-Wextra", "-Werror", "-pedantic"]


def run(*cmd, **kw):
    print("+", " ".join(cmd), flush=True)
    return subprocess.run(cmd, check=True, **kw)


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    return found


def expect(label, got, want):
    if got != want:
        sys.exit(f"{label}: missing {sorted(want - got)}, unexpected {sorted(got - want)}")
    print(f"{label}: {len(got)} files as expected")


def package_lists(build, windows):
    """The files in each package CPack makes, relative to the install prefix."""
    out = tempfile.mkdtemp(prefix="tarnkit-packages-")
    try:
        run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out,
            stdout=subprocess.DEVNULL)
        lists = {}
        for name in os.listdir(out):
            path = os.path.join(out, name)
            if name.endswith(".zip"):
                names = [n for n in zipfile.ZipFile(path).namelist() if not n.endswith("/")]
            elif name.endswith(".tar.gz"):
                names = [m.name for m in tarfile.open(path).getmembers() if m.isfile()]
            elif name.endswith(".deb"):
                listing = run("dpkg-deb", "--fsys-tarfile", path, stdout=subprocess.PIPE).stdout
                names = [line[2:] for line in subprocess.run(
                    ["tar", "t"], input=listing, stdout=subprocess.PIPE, check=True
                ).stdout.decode().splitlines() if not line.endswith("/")]
                names = [n[len("usr/"):] for n in names]
                lists[name] = set(names)
                continue
            else:
                continue
            # Archives hold one top folder named after the package.
            lists[name] = {n.split("/", 1)[1] for n in names}
        want = {".zip"} if windows else {".deb", ".tar.gz"}
        kinds = {next(k for k in (".zip", ".tar.gz", ".deb") if n.endswith(k)) for n in lists}
        if kinds != want:
            sys.exit(f"packages made: {sorted(lists)}, expected kinds {sorted(want)}")
        return lists
    finally:
        shutil.rmtree(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--cflags", default="")
    parser.add_argument("--emulator")
    parser.add_argument("--windows", action="store_true")
    args = parser.parse_args()
    want = WINDOWS if args.windows else LINUX
    flags = FLAGS + args.cflags.split()

    stage = os.path.join(args.build, "package-stage")
    shutil.rmtree(stage, ignore_errors=True)
    run("cmake", "--install", args.build, "--prefix", stage, stdout=subprocess.DEVNULL)
    expect("installed", files_under(stage), want)

    include = "-I" + os.path.join(stage, "include")
    lib = os.path.join(stage, "lib")
    run(args.cxx, "-x", "c++", "-std=c++11", *flags, include, "-fsyntax-only", args.host)
    if args.windows:
        host = os.path.join(stage, "bin", "host.exe")
        run(args.cc, "-std=c99", *flags, include, args.host, "-L" + lib, "-ltarnheap", "-o", host)
        result = run(args.emulator, host, cwd=os.path.dirname(host), stdout=subprocess.PIPE)
    else:
        host = os.path.join(stage, "host")
        run(args.cc, "-std=c99", *flags, include, args.host, "-L" + lib, "-ltarnheap", "-ldl",
            "-Wl,-rpath," + lib, "-o", host)
        env = dict(os.environ, GLIBC_TUNABLES="glibc.rtld.optional_static_tls=16384")
        result = run(host, os.path.join(lib, "libtarnheap.so"), env=env, stdout=subprocess.PIPE)
    if result.stdout.decode().strip() != "ok":
        sys.exit("host: " + result.stdout.decode())
    print("host: ok")
    os.remove(host)

    for name, names in package_lists(args.build, args.windows).items():
        expect(name, names, want)


if __name__ == "__main__":
    main()
