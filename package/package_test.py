#!/usr/bin/env python3
"""Installs the kit into a staging prefix and checks the installed files, then builds
and runs a tiny C host against the installed tree three ways: through find_package,
through pkg-config, and loading the library at run time (the header compiles as C++
too). The tree must not name where it was installed, and it still serves once moved.
Then it checks the file lists of the packages CPack makes and builds the host the same
three ways from each package, unpacked."""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

LINUX = {
    "bin/patchscript",
    "lib/libtarnheap.so",
    "include/tarnheap.h",
    "include/tarnheap_load.h",
    "share/man/man1/patchscript.1",
    "share/doc/tarnkit/README.md",
    "share/doc/tarnkit/script-format.md",
}
WINDOWS = {
    "bin/patchscript.exe",
    "bin/tarnheap.dll",
    "lib/libtarnheap.dll.a",
    "lib/tarnheap.def",
    "include/tarnheap.h",
    "include/tarnheap_load.h",
    "share/doc/tarnkit/README.md",
    "share/doc/tarnkit/script-format.md",
}
# find_package(tarnheap) and pkg-config; the targets file per build type comes in main.
PACKAGE = {
    "lib/cmake/tarnheap/tarnheap-config.cmake",
    "lib/cmake/tarnheap/tarnheap-config-version.cmake",
    "lib/cmake/tarnheap/tarnheap-targets.cmake",
    "lib/pkgconfig/tarnheap.pc",
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


def package_lists(build, windows, out):
    """Makes the packages in out; returns the files in each, relative to the prefix."""
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


def check_output(label, result):
    if result.stdout.decode().strip() != "ok":
        sys.exit(f"{label}: " + result.stdout.decode())
    print(f"{label}: ok")


def consumers(args, prefix, label):
    """Builds the host against the tree at prefix, as host authors would, and runs it:
    linked through find_package, linked through pkg-config, and loading the library at
    run time through the package's header-only target."""
    work = tempfile.mkdtemp(prefix="tarnkit-consumer-", dir=args.build)
    flags = " ".join(FLAGS + args.cflags.split())
    exe = ".exe" if args.windows else ""
    lib = os.path.join(prefix, "lib")
    try:
        cmake = ["cmake", "-S", os.path.join(os.path.dirname(args.host), "consumer"),
                 "-B", work, "-DCMAKE_PREFIX_PATH=" + prefix, "-Dversion=" + args.version,
                 "-DCMAKE_C_COMPILER=" + args.cc, "-DCMAKE_C_FLAGS=" + flags,
                 "-DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF"]  # never a tarnheap installed here
        if args.toolchain:
            cmake.append("-DCMAKE_TOOLCHAIN_FILE=" + args.toolchain)
        run(*cmake, stdout=subprocess.DEVNULL)
        run("cmake", "--build", work, stdout=subprocess.DEVNULL)

        env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(lib, "pkgconfig"))
        env.pop("PKG_CONFIG_PATH", None)
        def pkg_config(*what):
            return run("pkg-config", *what, "tarnheap", env=env,
                       stdout=subprocess.PIPE).stdout.decode().split()
        if pkg_config("--modversion") != [args.version]:
            sys.exit(f"{label}: pkg-config gives version {pkg_config('--modversion')}")
        by_pc = os.path.join(work, "pkgconfig" + exe)
        link = pkg_config("--libs")
        if not args.windows:
            link += ["-Wl,-rpath," + pkg_config("--variable=libdir")[0]]
        run(args.cc, "-std=c99", *flags.split(), *pkg_config("--cflags"), args.host, *link,
            "-o", by_pc)

        programs = {"find_package": os.path.join(work, "linked" + exe), "pkg-config": by_pc,
                    "run-time loading": os.path.join(work, "loader" + exe)}
        if args.windows:
            # Beside tarnheap.dll, where the loader finds it.
            bin_dir = os.path.join(prefix, "bin")
            for way, program in programs.items():
                placed = os.path.join(bin_dir, "host-" + os.path.basename(program))
                shutil.copy(program, placed)
                try:
                    check_output(f"{label}, {way}", run(args.emulator, placed, cwd=bin_dir,
                                                        stdout=subprocess.PIPE))
                finally:
                    os.remove(placed)
        else:
            tls = dict(os.environ, GLIBC_TUNABLES="glibc.rtld.optional_static_tls=16384")
            for way, program in programs.items():
                check_output(f"{label}, {way}", run(program, os.path.join(lib, "libtarnheap.so"),
                                                    env=tls, stdout=subprocess.PIPE))
    finally:
        shutil.rmtree(work)


def unpack(package, into):
    """Unpacks a package and returns the install prefix inside it."""
    if package.endswith(".deb"):
        run("dpkg-deb", "-x", package, into)
        return os.path.join(into, "usr")
    if package.endswith(".zip"):
        zipfile.ZipFile(package).extractall(into)
    else:
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tarfile.open(package).extractall(into, **safe)
    (top,) = os.listdir(into)
    return os.path.join(into, top)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--cflags", default="")
    parser.add_argument("--version", required=True)
    parser.add_argument("--build-type", default="")
    parser.add_argument("--toolchain")
    parser.add_argument("--emulator")
    parser.add_argument("--windows", action="store_true")
    args = parser.parse_args()
    want = (WINDOWS if args.windows else LINUX) | PACKAGE | {
        f"lib/cmake/tarnheap/tarnheap-targets-{(args.build_type or 'noconfig').lower()}.cmake"}

    stage = os.path.join(args.build, "package-stage")
    moved = stage + "-moved"
    for folder in (stage, moved):
        shutil.rmtree(folder, ignore_errors=True)
    run("cmake", "--install", args.build, "--prefix", stage, stdout=subprocess.DEVNULL)
    expect("installed", files_under(stage), want)
    run(args.cxx, "-x", "c++", "-std=c++11", *FLAGS, *args.cflags.split(),
        "-I" + os.path.join(stage, "include"), "-fsyntax-only", args.host)

    # The package files may name neither the prefix nor the build or source tree.
    source = os.path.dirname(os.path.dirname(os.path.abspath(args.host)))
    for path in glob.glob(os.path.join(stage, "lib", "*", "**", "*.*"), recursive=True):
        text = open(path, encoding="utf-8").read()
        if any(tree in text for tree in (stage, os.path.abspath(args.build), source)):
            sys.exit(f"{path} names the stage, the build or the source tree")
    os.rename(stage, moved)
    consumers(args, moved, "installed tree, moved")
    shutil.rmtree(moved)

    out = tempfile.mkdtemp(prefix="tarnkit-packages-", dir=args.build)
    try:
        for name, names in package_lists(args.build, args.windows, out).items():
            expect(name, names, want)
            consumers(args, unpack(os.path.join(out, name), os.path.join(out, name + ".d")), name)
    finally:
        shutil.rmtree(out)


if __name__ == "__main__":
    main()
