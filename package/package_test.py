#!/usr/bin/env python3
"""Installs the kit, checks the installed files, and builds and runs a tiny C host three
ways (find_package, pkg-config, run-time loading) from the installed tree, moved, and from
each package CPack makes, unpacked. The header must compile as C++ too, and the package
files may not name where they were built or installed."""

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

        env = dict(os.environ, GLIBC_TUNABLES="glibc.rtld.optional_static_tls=16384")
        for way, name in (("find_package", "linked"), ("pkg-config", "pkgconfig"),
                          ("run-time loading", "loader")):
            program = os.path.join(out, name + exe)
            cmd = [args.emulator, program] if args.windows else [
                program, os.path.join(lib, "libtarnheap.so")]
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
        for name, prefix in packages(args.build, args.windows, out).items():
            expect(name, files_under(prefix), want)
            consumers(args, prefix, name)
    finally:
        shutil.rmtree(out)


if __name__ == "__main__":
    main()
