#!/usr/bin/env python3
"""End-to-end checks of the real patchscript binary: every refusal, the size limit,
golden scripts, names and write failures (round trips through patchapply are in its
own suite).

The same suite runs the Linux binary and, with --emulator, patchscript.exe under Wine
(where every line on standard output and standard error ends in CR LF)."""

import hashlib
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../cli/tests"))
import suite  # pylint: disable=wrong-import-position
from suite import ARGS, command, golden_pairs, nl  # pylint: disable=wrong-import-position

LIMIT = 33554432


def run(*args, exe=None, stdout=subprocess.PIPE, cwd=None):
    return subprocess.run(command(exe or ARGS.exe, *args), cwd=cwd, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=120)


class Cli(suite.Scratch):
    def run_in_dir(self, *args, **kw):
        return run(*args, cwd=self.cwd, **kw)

    def assertRefused(self, result, message):
        """One line on standard error, nothing on standard output, status 1."""
        self.assertEqual(result.stderr.decode("latin-1"), nl(message + "\n"))
        self.assertIn(result.stdout, (b"", None))  # None: it went to a file of the test's
        self.assertEqual(result.returncode, 1)

    def script(self, old, new, old_name="a.old", new_name="a.new"):
        self.write(old_name, old)
        self.write(new_name, new)
        result = self.run_in_dir(old_name, new_name)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        return result.stdout


class Refusals(Cli):
    def test_usage_with_the_program_name(self):
        for args in ([], ["one"], ["one", "two", "three"]):
            result = self.run_in_dir(*args)
            text = result.stderr.decode("latin-1")
            self.assertRegex(text, "^usage: .*patchscript(\\.exe)? \\[old_file\\] \\[new_file\\]"
                             + re.escape(nl("\n")) + "$")
            self.assertEqual((result.stdout, result.returncode), (b"", 1))
        if not ARGS.windows:
            # An empty name as invoked gives the program's own.
            # Under an emulator (qemu-run), its own option gives the name.
            result = subprocess.run(
                [ARGS.emulator, "--argv0", "", ARGS.exe, "one"] if ARGS.emulator else ["", "one"],
                executable=ARGS.emulator or ARGS.exe, stderr=subprocess.PIPE)
            self.assertEqual(result.stderr, b"usage: patchscript [old_file] [new_file]\n")

    def test_line_break_in_a_name_is_refused_before_opening(self):
        self.write("a.old", b"abc")
        for old, new in (("a.old", "x\n>evil"), ("a\r.old", "a.new"), ("missing\n", "missing")):
            self.assertRefused(self.run_in_dir(old, new), "file name contains a line break")
        self.assertEqual(sorted(os.listdir(self.cwd)), ["a.old"])

    def test_standard_output_on_an_input_is_refused_before_writing(self):
        self.write("a.old", b"abc")
        self.write("a.new", b"abd")
        cases = [(">> a.old", "a.old", False), ("1<> a.new", "a.new", True)]
        if ARGS.windows:
            cases.append((">> a.old", "a.old", True))
        for redirect, name, unix in cases:
            with self.subTest(redirect, unix=unix):
                result = self.shell(["a.old", "a.new"], redirect, unix=unix)
                self.assertRefused(result, "standard output is an input file: " + name)
                self.assertEqual((self.read("a.old"), self.read("a.new")), (b"abc", b"abd"))

    def test_unopenable_files_name_the_old_file_first(self):
        self.assertRefused(self.run_in_dir("missing.old", "missing.new"),
                           "can't open file: missing.old")
        self.write("a.old", b"abc")
        self.assertRefused(self.run_in_dir("a.old", "missing.new"), "can't open file: missing.new")
        # What a message quotes is shown so that it cannot act on a terminal.
        self.assertRefused(self.run_in_dir("\x1b[2Jx", "a.old"), "can't open file: \\x1b[2Jx")

    def test_empty_files_are_a_failed_read(self):
        self.write("empty", b"")
        self.write("a.new", b"abc")
        self.assertRefused(self.run_in_dir("empty", "missing.new"), "read failed")
        self.assertRefused(self.run_in_dir("a.new", "empty"), "read failed")

    def test_unreadable_inputs_fail_cleanly(self):
        os.mkdir(os.path.join(self.cwd, "folder"))
        self.write("a.new", b"abc")
        result = self.run_in_dir("folder", "a.new")
        expected = "can't open file: folder" if ARGS.windows else "read failed"
        self.assertRefused(result, expected)
        if not ARGS.windows:
            # Opens, then the first read fails with an I/O error.
            self.assertRefused(self.run_in_dir("/proc/self/mem", "a.new"), "read failed")

    def test_different_lengths(self):
        self.write("a.old", b"abcd")
        self.write("a.new", b"abc")
        self.assertRefused(self.run_in_dir("a.old", "a.new"), "file length mismatch")

    def test_same_content(self):
        self.write("a.old", b"same bytes")
        self.write("a.new", b"same bytes")
        self.assertRefused(self.run_in_dir("a.old", "a.new"), "file content is same")

    def test_md5_unavailable_comes_after_loading_and_before_the_length_check(self):
        self.write("a.old", b"abcd")
        self.write("a.new", b"abc")
        nomd5 = dict(exe=ARGS.nomd5, cwd=self.cwd)
        self.assertRefused(run("a.old", "a.new", **nomd5), "can't calculate md5")
        self.assertRefused(run("a.old", "missing", **nomd5), "can't open file: missing")


class SizeLimit(Cli):
    def sized(self, name, size, last=b"\0"):
        path = os.path.join(self.cwd, name)
        with open(path, "wb") as f:
            f.truncate(size - 1)
            f.seek(size - 1)
            f.write(last)
        return name

    def test_largest_file_is_accepted(self):
        self.sized("big.old", LIMIT - 1)
        self.sized("big.new", LIMIT - 1, b"\x01")
        result = self.run_in_dir("big.old", "big.new")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(nl("\n:1fffffe\n01 \n\n# check output md5sum\n").encode(), result.stdout)

    def test_full_buffer_is_refused(self):
        self.sized("full.old", LIMIT)
        self.sized("full.new", LIMIT, b"\x01")
        self.assertRefused(self.run_in_dir("full.old", "full.new"), "data buffer is too small")
        self.write("a.old", b"abc")
        self.assertRefused(self.run_in_dir("a.old", "full.new"), "data buffer is too small")
        self.sized("huge.new", LIMIT + 4096)
        self.assertRefused(self.run_in_dir("a.old", "huge.new"), "data buffer is too small")


STAMP = re.compile(rb"^# generated at \d{4}/\d\d/\d\d \d\d:\d\d:\d\d (\r?)$", re.M)


class Scripts(Cli):
    def test_golden_scripts(self):
        for name, (old_name, old, new_name, new) in golden_pairs().items():
            with self.subTest(name):
                out = self.script(old, new, old_name, new_name)
                self.assertEqual(len(STAMP.findall(out)), 1, out[:200])
                out = STAMP.sub(rb"# generated at STAMP \1", out)
                with open(os.path.join(ARGS.golden, name + ".script"), "rb") as f:
                    want = f.read()
                self.assertEqual(out, nl(want.decode()).encode())

    def test_names_open_exactly_the_named_file(self):
        """Named in the ANSI code page (1252) on Windows; a name outside it is refused before
        any file is opened (best fit used to read file.old for the fullwidth name)."""
        self.write("file.old", b"decoy")
        for name, in_code_page in (("ｆｉｌｅ.old", False), ("Файл.old", False), ("café.old", True)):
            with self.subTest(name):
                if ARGS.windows and not in_code_page:
                    self.write(name, b"old!!")
                    for args in ((name, "missing"), ("missing", name)):
                        self.assertRefused(self.run_in_dir(*args),
                                           "file name has a character outside the ansi code page")
                    continue
                out = self.script(b"old!!", b"new!!", name)
                encoded = name.encode("cp1252" if ARGS.windows else "utf-8")
                self.assertIn(nl("\n<").encode() + encoded + nl("\n").encode(), out)
                self.assertIn(hashlib.md5(b"old!!").hexdigest().encode(), out)

    def test_fingerprints_are_the_files_md5(self):
        rng = random.Random(5)
        old = bytes(rng.getrandbits(8) for _ in range(5000))
        new = bytes(b ^ 1 if i % 97 == 0 else b for i, b in enumerate(old))
        out = self.script(old, new).decode()
        sums = re.findall(r"^\?([0-9a-f]{32})\r?$", out, re.M)
        self.assertEqual(sums, [hashlib.md5(old).hexdigest(), hashlib.md5(new).hexdigest()])

    def test_every_line_ends_in_the_platforms_newline(self):
        out = self.script(b"abcdefgh" * 9, b"abcDefgh" * 9)
        lines = out.split(b"\n")
        self.assertEqual(lines[-1], b"")
        for line in lines[:-1]:
            self.assertEqual(line.endswith(b"\r"), bool(ARGS.windows), line)


class WriteFailures(Cli):
    def setUp(self):
        super().setUp()
        self.write("a.old", b"a" * 100000)
        self.write("a.new", b"b" * 100000)

    def test_full_disk(self):
        with open("/dev/full", "wb") as full:
            self.assertRefused(self.run_in_dir("a.old", "a.new", stdout=full), "write failed")

    def test_a_file_keeps_what_stood_before_the_script(self):
        """A file-size limit makes the write fail partway; the program turns its signal
        into a failed write (Wine ends a process on it, so the Windows runs ignore it).
        The shell's "head" marks where the script begins; 1000 bytes stand in out."""
        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN if ARGS.windows else signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))

        stood = b"kept\n" * 200
        failed = nl("write failed\n").encode()
        cases = [(">> out", "", stood), ("> out", "", b"")]  # a "head" needs sh
        if ARGS.windows:  # cmd, then a Unix shell's handle, which Wine cannot cut back: the
            # position stays at the end of what was written, so the message (past the
            # limit, lost) does not overwrite the script's start
            cases += [("> out 2>&1", "", failed), ("> out 2>&1", "head\\n", b"head\n# patch")]
        else:  # the message lands right after the cut, not past a hole
            cases += [("> out 2>&1", "head\\n", b"head\n" + failed),
                      ("1<> out", "head\\n", b"head\n")]
        for redirect, before, after in cases:
            with self.subTest(redirect, before=before):
                self.write("out", stood)
                result = self.shell(["a.old", "a.new"], redirect, small_files, bool(before), before)
                if "2>&1" not in redirect:
                    self.assertRefused(result, "write failed")
                self.assertEqual(result.returncode, 1)
                partial = ARGS.windows and before  # only how the partial script begins is known
                self.assertEqual(self.read("out")[:len(after) if partial else None], after)

        # A complete script replaces what stood from where it began, as a failed one does.
        self.write("out", stood * 400)
        result = self.shell(["a.old", "a.new"], "1<> out", unix=True, before="head\\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        if not ARGS.windows:
            out = self.read("out")
            self.assertEqual((out[:20], out[-15:]),
                             (b"head\n# patch script:", b"\n>script_a.new\n"))

    @unittest.skipIf(sys.platform != "linux", "needs a POSIX shell")
    def test_closed_standard_output(self):
        result = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh",
                                 *command(ARGS.exe, "a.old", "a.new")],
                                cwd=self.cwd, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(result.stderr.decode("latin-1"), nl("write failed\n"))
        self.assertEqual(result.returncode, 1)


class WindowsBinary(Cli):
    def setUp(self):
        if not ARGS.windows:
            self.skipTest("Windows build only")
        super().setUp()

    def test_imports_only_system_dlls_and_64_bit_time(self):
        dump = subprocess.run([ARGS.objdump, "-p", ARGS.exe], stdout=subprocess.PIPE,
                              check=True).stdout.decode()
        dlls = sorted(set(re.findall(r"DLL Name: (\S+)", dump)))
        self.assertEqual([d.lower() for d in dlls], ["kernel32.dll", "msvcrt.dll"])
        # msvcrt's time and localtime hold a 32-bit time_t, which ends in 2038.
        imports = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$", dump, re.M))
        self.assertLessEqual({"_time64", "_localtime64"}, imports)
        self.assertFalse({"time", "localtime", "_time32", "_localtime32"} & imports)

    def test_a_planted_system_dll_is_not_loaded(self):
        shutil.copy(ARGS.exe, self.cwd)
        shutil.copy(ARGS.planted, self.cwd)
        self.write("a.old", b"abc")
        self.write("a.new", b"abd")
        result = run("a.old", "a.new", exe=os.path.join(self.cwd, os.path.basename(ARGS.exe)),
                     cwd=self.cwd)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.cwd, "planted-dll-ran")))


def arguments(parser):
    parser.add_argument("--nomd5", required=True)
    parser.add_argument("--objdump")
    parser.add_argument("--planted")


if __name__ == "__main__":
    suite.main(arguments)
