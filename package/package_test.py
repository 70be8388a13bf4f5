#!/usr/bin/env python3
"""Installs the kit, checks the installed files, and builds and runs a tiny C host three
ways (find_package, pkg-config, run-time loading) from the installed tree, moved, and from
each package CPack makes, unpacked; on Linux also one whose own malloc is Debian's
jemalloc, linked in. With no tunable in its environment, every host gets every new block
from the jemalloc that ships with the library. The header must compile as C++ too, and
the package files may not name where they were built or installed."""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

LINUX = {
    "bin/patchscript",
    "bin/patchapply",
    "share/man/man1/patchapply.1",
    "lib/libtarnheap.so",
    "lib/libtarnheap-jemalloc.so",
    "share/doc/tarnkit/jemalloc-COPYING",
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
    "bin/jemalloc.dll",
    "share/doc/tarnkit/jemalloc-COPYING",
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


def readelf(*args):
    return run("readelf", "-W", *args, stdout=subprocess.PIPE).stdout.decode()


def check_own_jemalloc(prefix):
    """The library's own jemalloc on Linux: a file name and SONAME of its own, only je_
    names exported (a plain malloc would take over the process's allocator), no
    initial-exec TLS, stripped, bound at run time rather than linked, and its licence."""
    lib = os.path.join(prefix, "lib")
    own = os.path.join(lib, "libtarnheap-jemalloc.so")
    dynamic = readelf("-d", own)
    if "Library soname: [libtarnheap-jemalloc.so]" not in dynamic or "STATIC_TLS" in dynamic:
        sys.exit(f"{own}: wrong SONAME or initial-exec TLS:\n{dynamic}")
    exported = [f[7].split("@")[0] for f in map(str.split, readelf("--dyn-syms", own).splitlines())
                if len(f) >= 8 and f[4] in ("GLOBAL", "WEAK") and f[6] != "UND"]
    if not exported or any(not name.startswith("je_") for name in exported):
        sys.exit(f"{own} exports names without the je_ prefix: {exported}")
    if ".symtab" in readelf("-S", own):
        sys.exit(f"{own} is not stripped")
    if "jemalloc" in readelf("-d", os.path.join(lib, "libtarnheap.so")):
        sys.exit("libtarnheap.so links jemalloc instead of binding it at run time")
    print(f"own jemalloc: {len(exported)} je_ exports, its own SONAME, stripped, not linked")


def packages(build, windows, out):
    """Makes the packages in out and unpacks each; returns the install prefix in each."""
    run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out,
        stdout=subprocess.DEVNULL)
    kinds = (".deb", ".tar.gz", ".zip")
    made = sorted(n for n in os.listdir(out) if n.endswith(kinds))
    if [k for k in kinds for n in made if n.endswith(k)] != ([".zip"] if windows else
                                                            [".deb", ".tar.gz"]):
        sys.exit(f"packages made: {made}")
    prefixes = {}
    for name in made:
        into = os.path.join(out, name + ".d")
        if name.endswith(".deb"):
            run("dpkg-deb", "-x", os.path.join(out, name), into)
        else:
            shutil.unpack_archive(os.path.join(out, name), into)
        # One top folder: usr in the .deb, the package's name in the archives.
        (top,) = os.listdir(into)
        prefixes[name] = os.path.join(into, top)
    return prefixes


def consumers(args, prefix, label):
    """Builds the host against the tree at prefix, as host authors would, and runs it:
    linked through find_package, linked through pkg-config, and loading the library at
    run time through the package's header-only target."""
    work = tempfile.mkdtemp(prefix="tarnkit-consumer-", dir=args.build)
    flags = FLAGS + args.cflags.split()
    lib = os.path.join(prefix, "lib")
    # Windows programs go beside tarnheap.dll, where the loader finds it.
    out = os.path.join(prefix, "bin") if args.windows else work
    exe = ".exe" if args.windows else ""
    try:
        cmake = ["cmake", "-S", os.path.join(os.path.dirname(args.host), "consumer"),
                 "-B", work, "-DCMAKE_PREFIX_PATH=" + prefix, "-Dversion=" + args.version,
                 "-DCMAKE_C_COMPILER=" + args.cc, "-DCMAKE_C_FLAGS=" + " ".join(flags),
                 "-DCMAKE_RUNTIME_OUTPUT_DIRECTORY=" + out,
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
        link = pkg_config("--libs")
        if not args.windows:
            link.append("-Wl,-rpath," + pkg_config("--variable=libdir")[0])
        run(args.cc, "-std=c99", *flags, *pkg_config("--cflags"), args.host, *link,
            "-o", os.path.join(out, "pkgconfig" + exe))

        ways = [("find_package", "linked"), ("pkg-config", "pkgconfig"),
                ("run-time loading", "loader")]
        if args.debian_jemalloc and "sanitize" not in args.cflags:
            # The host's malloc is Debian's jemalloc; the library's own routes beside it.
            run(args.cc, "-std=c99", *flags, *pkg_config("--cflags"), args.host, *link,
                args.debian_jemalloc, "-o", os.path.join(out, "jemalloc-linked"))
            ways.append(("linked against Debian's jemalloc", "jemalloc-linked"))
        # No tunable: the library's own jemalloc loads after start-up.
        env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
        for way, name in ways:
            program = os.path.join(out, name + exe)
            cmd = ([args.emulator] if args.emulator else []) + [program] + (
                [] if args.windows else [os.path.join(lib, "libtarnheap.so")])
            result = run(*cmd, cwd=out, env=env, stdout=subprocess.PIPE).stdout.decode()
            if result.strip() != "ok":
                sys.exit(f"{label}, {way}: {result}")
            print(f"{label}, {way}: ok")
    finally:
        shutil.rmtree(work)


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
    parser.add_argument("--debian-jemalloc", help="Debian's libjemalloc.so.2, for a host to link")
    args = parser.parse_args()
    want = (WINDOWS if args.windows else LINUX) | PACKAGE | {
        f"lib/cmake/tarnheap/tarnheap-targets-{(args.build_type or 'noconfig').lower()}.cmake"}

    stage = os.path.join(args.build, "package-stage")
    moved = stage + "-moved"
    for folder in (stage, moved):
        shutil.rmtree(folder, ignore_errors=True)
    run("cmake", "--install", args.build, "--prefix", stage, stdout=subprocess.DEVNULL)
    expect("installed", files_under(stage), want)
    copying = open(os.path.join(stage, "share/doc/tarnkit/jemalloc-COPYING"), encoding="utf-8")
    if "jemalloc" not in copying.read():
        sys.exit("jemalloc-COPYING is not jemalloc's licence")
    copying.close()
    if not args.windows:
        check_own_jemalloc(stage)
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
        for name, prefix in packages(args.build, args.windows, out).items():
            expect(name, files_under(prefix), want)
            consumers(args, prefix, name)
    finally:
        shutil.rmtree(out)


if __name__ == "__main__":
    main()
