#!/usr/bin/env python3
"""End-to-end checks of the real patchapply with the real patchscript: round trips of the
golden pairs and of random pairs, damaged scripts, the output's confinement, existing
outputs, and writes that fail partway. Every refusal must leave the folder as it was.

The same suite runs the Linux binaries and, with --emulator, the .exe files under Wine
(where standard error's lines end in CR LF and scripts in CR LF)."""

import atexit
import os
import random
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../cli/tests"))
import suite  # pylint: disable=wrong-import-position
from suite import ARGS, command, golden_pairs, nl  # pylint: disable=wrong-import-position

LIMIT = 33554432
NOBODY = 65534
COPY = None


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def reachable_exe():
    """A copy of the program that another user can run wherever the tree lies: a clone in
    a 0700 folder (root's home, mktemp -d) is closed to everyone but its owner. Under an
    emulator (qemu-run) its copy comes along, with the libraries it runs the program on."""
    global COPY
    if COPY is None:
        folder = tempfile.mkdtemp(prefix="patchapply-exe-")
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        exe = shutil.copy(ARGS.exe, folder)
        os.chmod(exe, 0o755)
        COPY = [exe]
        if ARGS.emulator:
            placed = subprocess.run([ARGS.emulator, "--place", folder], check=True,
                                    stdout=subprocess.PIPE, text=True).stdout.strip()
            COPY.insert(0, placed)
    return COPY


class Cli(suite.Scratch):
    def linux_as_root(self):
        if ARGS.windows or os.geteuid() != 0:
            self.skipTest("Linux's permissions, as root")

    def apply(self, *args, preexec_fn=None, stdin=None, cwd=None, timeout=120, nobody=False):
        """The program, or as root with nobody set, a copy of it run as nobody."""
        preexec_fn = as_nobody if nobody else preexec_fn
        cmd = [*reachable_exe(), *args] if nobody else command(ARGS.exe, *args)
        return subprocess.run(cmd, cwd=cwd or self.cwd, stdin=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                              preexec_fn=preexec_fn)

    def script(self, old, new, old_name="a.old", new_name="a.new"):
        """patchscript's script for the pair, as it writes it on this target."""
        self.write(old_name, old)
        self.write(new_name, new)
        result = subprocess.run(command(ARGS.patchscript, old_name, new_name), cwd=self.cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def listing(self):
        found = set()
        for folder, dirs, files in os.walk(self.cwd):
            for name in dirs + files:
                path = os.path.join(folder, name)
                found.add((os.path.relpath(path, self.cwd), os.path.islink(path),
                           self.read(path) if os.path.isfile(path) else None))
        return found

    def assertRefused(self, args, message, **kw):
        """One line on standard error, status 1, nothing on standard output, and the folder
        exactly as it was: no output, no temporary file."""
        before = self.listing()
        result = self.apply(*args, **kw)
        self.assertEqual(result.stderr.decode("latin-1"), nl(message + "\n"))
        self.assertEqual((result.stdout, result.returncode), (b"", 1))
        self.assertEqual(self.listing(), before)

    def assertApplied(self, args, output, data, **kw):
        result = self.apply(*args, **kw)
        self.assertEqual((result.returncode, result.stderr, result.stdout), (0, b"", b""))
        self.assertEqual(self.read(output), data)
        self.assertEqual([n for n in os.listdir(self.cwd) if n.startswith(".patchapply")], [])


class RoundTrips(Cli):
    def test_golden_pairs(self):
        for name, (old_name, old, new_name, new) in golden_pairs().items():
            with self.subTest(name):
                self.write(name + ".script", self.script(old, new, old_name, new_name))
                os.makedirs(self.path(os.path.dirname("script_" + new_name)), exist_ok=True)
                self.assertApplied([name + ".script"], "script_" + new_name, new)

    def test_random_pairs_with_either_line_end(self):
        """Scripts move between systems: each is applied as written and with the other
        target's line ends, from a file, from standard input and from another folder."""
        rng = random.Random(12)
        for trial in range(4 if ARGS.windows else 10):  # each Wine process start is slow
            size = rng.choice([1, 2, 17, 300, 4096, 70001])
            old = bytes(rng.getrandbits(8) for _ in range(size))
            new = bytearray(old)
            for _ in range(rng.randint(1, 20)):
                at = rng.randrange(size)
                for i in range(at, min(size, at + rng.randint(1, 40))):
                    new[i] ^= rng.randint(1, 255)
            new[0] ^= 0 if bytes(new) != old else 1
            with self.subTest(trial=trial):
                script = self.script(old, bytes(new), "r.old", "dir/r.new")
                other = (script.replace(b"\r\n", b"\n") if b"\r\n" in script
                         else script.replace(b"\n", b"\r\n"))
                self.write("r.script", script if trial % 2 else other)
                os.makedirs(self.path("script_dir"), exist_ok=True)
                self.assertApplied(["-f", "r.script"], "script_dir/r.new", bytes(new))
                with open(self.path("r.script"), "rb") as f:
                    self.assertApplied(["-o", "out", "-"], "out", bytes(new), stdin=f)
                os.makedirs(self.path("elsewhere"), exist_ok=True)
                self.assertApplied(["-f", "-d", "..", "../r.script"], "script_dir/r.new",
                                   bytes(new), cwd=self.path("elsewhere"))
                os.remove(self.path("out"))

    def test_names_in_the_scripts_code_page(self):
        """Windows scripts name files in the ANSI code page (1252 here), Linux ones in the
        name's own bytes; both are opened exactly."""
        self.write("s", self.script(b"old!!", b"new!!", "café.old", "naïve.new"))
        self.assertApplied(["s"], "script_naïve.new", b"new!!")

    def test_permission_bits_are_the_inputs_less_the_umask(self):
        if ARGS.windows:
            self.skipTest("no permission bits")
        self.write("s", self.script(b"abc", b"abd"))
        for bits, mask, want in ((0o777, 0o022, 0o755), (0o644, 0o077, 0o600)):
            os.chmod(self.path("a.old"), bits)
            self.assertApplied(["-f", "s"], "script_a.new", b"abd",
                               preexec_fn=lambda: os.umask(mask))
            self.assertEqual(stat.S_IMODE(os.stat(self.path("script_a.new")).st_mode), want)

    def test_check_writes_nothing(self):
        self.write("s", self.script(b"abcdef", b"abXdef"))
        before = self.listing()
        result = self.apply("--check", "s")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(self.listing(), before)
        # It refuses whatever the write would refuse in the output's folder and name.
        long = "x" * 300
        cases = [(False, "output name is too long: " + long, ["-o", long])]
        if not ARGS.windows:
            os.mkdir(self.path("ro"), 0o555)
            os.chmod(self.cwd, 0o755)  # root writes anywhere: then the run is nobody's
            cases.append((os.geteuid() == 0, "output folder is not writable: ro/x", ["-o", "ro/x"]))
        for nobody, message, args in cases:
            for check in (["--check"], []):
                self.assertRefused([*check, *args, "s"], message, nobody=nobody)

    def test_folders_that_may_be_searched_but_not_read(self):
        """Paths through folders of mode 0711 and 0333 reach their files, as cat reaches
        them; a folder that may not be searched says so."""
        self.linux_as_root()
        text = self.script(b"abcdef", b"abXdef").replace(b"\r\n", b"\n")
        self.write("s", text.replace(b">script_a.new", b">w/x"))
        for name, mode in (("r", 0o711), ("w", 0o333), ("z", 0o700)):
            os.mkdir(self.path(name), mode)
            shutil.copy(self.path("a.old"), self.path(name))
            os.chmod(self.path(name), mode)
        os.chmod(self.cwd, 0o755)
        self.assertApplied(["-d", "r", "-o", "w/o", "s"], "w/o", b"abXdef", nobody=True)
        self.assertApplied(["s"], "w/x", b"abXdef", nobody=True)
        self.write("w/s", text)
        self.assertApplied(["-i", "-d", "w", "w/s"], "w/a.old", b"abXdef", nobody=True)
        for check in (["--check"], []):
            self.assertRefused([*check, "-d", "z", "s"], "folder access denied: z", nobody=True)
            self.assertRefused([*check, "-o", "z/o", "s"], "output folder access denied: z/o",
                               nobody=True)


class InPlace(Cli):
    def setUp(self):
        super().setUp()
        self.write("s", self.script(b"abcdef", b"abXdef"))

    def test_the_input_is_replaced_and_a_second_run_is_safe(self):
        unix = not ARGS.windows
        if unix:  # its bits stay exactly, whatever the umask, and as root its owner too
            os.chmod(self.path("a.old"), 0o4751)
            owner = (65534, 65534) if os.geteuid() == 0 else (os.getuid(), os.getgid())
            os.chown(self.path("a.old"), *owner)
            os.chmod(self.path("a.old"), 0o4751)
            os.link(self.path("a.old"), self.path("hard"))
        xattrs = {}
        if unix and os.geteuid() == 0:  # its extended attributes, ACLs among them, but not
            # the file capabilities, which the kernel drops from a file that is written
            everyone = 0xFFFFFFFF
            acl = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in (
                (1, 7, everyone), (2, 4, 12345), (4, 5, everyone), (0x10, 5, everyone),
                (0x20, 1, everyone)))
            xattrs = {"user.note": b"kept", "system.posix_acl_access": acl}
            capability = struct.pack("<5I", 0x02000000, 1 << 10, 0, 0, 0)
            for key, value in {**xattrs, "security.capability": capability}.items():
                os.setxattr(self.path("a.old"), key, value)
        self.assertApplied(["-i", "s"], "a.old", b"abXdef",
                           preexec_fn=(lambda: os.umask(0o077)) if unix else None)
        if unix:
            st = os.stat(self.path("a.old"))
            self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid), (0o4751, *owner))
            self.assertEqual(self.read("hard"), b"abcdef")  # a new file, as with sed -i
            self.assertEqual({key: os.getxattr(self.path("a.old"), key) for key in xattrs}, xattrs)
            self.assertNotIn("security.capability", os.listxattr(self.path("a.old")))
        before = self.listing()
        result = self.apply("-i", "s")
        self.assertEqual((result.returncode, result.stderr, result.stdout),
                         (0, nl("input is already patched: a.old\n").encode(), b""))
        self.assertEqual(self.listing(), before)
        self.assertRefused(["s"], "input is already patched: a.old")

    def test_a_backup_keeps_the_old_input(self):
        self.assertApplied(["-i", "-b", "s"], "a.old", b"abXdef")
        self.assertEqual(self.read("a.old.orig"), b"abcdef")
        self.write("a.old", b"abcdef")
        for check in ([], ["--check"]):
            self.assertRefused([*check, "-i", "-b", "s"], "output file exists: a.old.orig")
        self.write("a.old.orig", b"older")
        self.assertApplied(["-i", "-b", "-f", "s"], "a.old", b"abXdef")
        self.assertEqual(self.read("a.old.orig"), b"abcdef")
        # A backup that already is a link to the input holds the old input: it stays.
        self.write("a.old", b"abcdef")
        os.remove(self.path("a.old.orig"))
        os.link(self.path("a.old"), self.path("a.old.orig"))
        self.assertApplied(["-i", "-b", "-f", "s"], "a.old", b"abXdef")
        self.assertEqual(self.read("a.old.orig"), b"abcdef")
        self.write("a.old", b"abcdef")
        os.remove(self.path("a.old.orig"))
        os.mkdir(self.path("a.old.orig"))
        self.assertRefused(["-f", "-i", "-b", "s"], "output is not a regular file: a.old.orig")

    def test_a_folder_that_keeps_the_inputs_name_is_refused_first(self):
        """The write would fail halfway, with names made that it could not take back: in a
        sticky folder where the input is another user's, in an append-only folder. Refused
        before any name is made, as --check refuses it."""
        self.linux_as_root()
        os.chmod(self.cwd, 0o1777)
        os.chown(self.path("a.old"), 12345, 12345)
        os.chmod(self.path("a.old"), 0o666)
        for args in (["-i"], ["-i", "-b"], ["--check", "-i", "-b"]):
            self.assertRefused([*args, "s"], "output can't be replaced in its folder: a.old",
                               nobody=True)
        os.chmod(self.cwd, 0o700)
        if subprocess.run(["chattr", "+a", self.cwd], stderr=subprocess.DEVNULL).returncode:
            self.skipTest("this file system has no append-only folders")
        try:
            for args in (["-i"], ["-i", "-b"], ["--check", "-i", "-b"]):
                self.assertRefused([*args, "s"], "output folder is append-only: a.old")
        finally:
            subprocess.run(["chattr", "-a", self.cwd], check=True)

    def test_the_input_is_confined_as_an_output(self):
        """Else a hostile script run as root could rewrite any file whose content it knows.
        Read only, the input may lie anywhere."""
        text = self.read("s").replace(b"\r\n", b"\n")
        os.mkdir(self.path("sub"))
        cases = [("../a.old", "input path leaves its folder"),
                 (os.path.abspath(self.path("a.old")), "input path is absolute")]
        if ARGS.windows:
            cases += [("Z:" + os.path.abspath(self.path("a.old")).replace("/", "\\"),
                       "input path has a drive or stream colon")]
        else:
            os.symlink("..", self.path("sub/up"))
            os.symlink("../a.old", self.path("sub/link"))
            cases += [("up/a.old", "input folder is a symbolic link"),
                      ("link", "input is not a regular file")]
        for path, message in cases:
            with self.subTest(path):
                self.write("sub/s", text.replace(b"<a.old", b"<" + path.encode()))
                self.assertRefused(["-i", "s"], message + ": " + path, cwd=self.path("sub"))
                self.assertApplied(["-o", "out", "s"], "sub/out", b"abXdef", cwd=self.path("sub"))
                os.remove(self.path("sub/out"))


class StandardOutput(Cli):
    def test_the_result_goes_there_only_once_checked(self):
        old = bytes(range(256)) * 400
        self.write("s", self.script(old, bytes(b ^ 1 for b in old)))
        before = self.listing()
        result = self.apply("-o", "-", "s")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual((result.stdout, self.listing()), (bytes(b ^ 1 for b in old), before))
        self.write("a.old", old[::-1])
        self.assertRefused(["-o", "-", "s"], "input md5 mismatch: a.old")
        self.write("a.old", old)

        def small_files():
            if ARGS.windows:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (50000, 50000))
        # Never the input itself, as patchscript refuses it; a failed write is cut back.
        cases = [(">> a.old", None, "standard output is the input file: a.old"),
                 (">> out", small_files, "write failed: -")]
        cases += ([(">> a.old", None, "standard output is the input file: a.old", True)]
                  if ARGS.windows else [(">&-", None, "write failed: -")])
        for redirect, limit, message, *unix in cases:
            with self.subTest(redirect, unix=unix):
                self.write("out", b"kept")
                before = self.listing()
                result = self.shell(["-o", "-", "s"], redirect, limit, bool(unix))
                self.assertEqual((result.returncode, result.stderr), (1, nl(message + "\n").encode()))
                self.assertEqual(self.listing(), before)
        new = bytes(b ^ 1 for b in old)
        if not ARGS.windows:
            # Into a file opened in place, as after patchscript: the result replaces what
            # stood from where it began, and nothing of the old file stays past it.
            self.write("out", b"x" * 200000)
            result = self.shell(["-o", "-", "s"], "1<> out")
            self.assertEqual((result.returncode, self.read("out")), (0, new))
        else:
            # A failed write that Wine cannot cut back (a Unix shell's handle) leaves the
            # position at the end of what was written: a message sent the same way never
            # overwrites the result's start.
            result = self.shell(["-o", "-", "s"], "> out 2>&1", small_files, True)
            self.assertEqual((result.returncode, self.read("out")[:1000]), (1, new[:1000]))


class Refusals(Cli):
    def setUp(self):
        super().setUp()
        self.old, self.new = b"abcdefgh" * 4, b"abcDefgh" * 4
        self.text = self.script(self.old, self.new).replace(b"\r\n", b"\n")
        # The stamp could hold the text a case damages ("44 " at 44 seconds).
        self.text = re.sub(rb"(?m)^# generated at .*$", b"# generated at STAMP ", self.text)

    def damaged(self, old, new):
        self.assertIn(old, self.text)
        return self.write("s", self.text.replace(old, new, 1))

    def test_command_line(self):
        usage = ("usage: .*patchapply(\\.exe)? \\[-f\\] \\[--check\\] \\[-d DIR\\] "
                 "\\[-i \\[-b\\] \\| -o OUTPUT\\] SCRIPT")
        for args in ([], ["a", "b"], ["-x", "s"], ["-o"], ["-f", "-f", "s"], ["-o", "", "s"],
                     ["-i", "-o", "x", "s"], ["-b", "s"], ["-b", "-o", "x", "s"]):
            result = self.apply(*args)
            self.assertRegex(result.stderr.decode(), "^" + usage + "\r?\n$")
            self.assertEqual(result.returncode, 1)
        for arg, text in (("--help", usage), ("--version", "^patchapply \\d+\\.\\d+\\.\\d+")):
            result = self.apply(arg)
            self.assertEqual((result.returncode, result.stderr), (0, b""))
            self.assertRegex(result.stdout.decode(), text)
        self.assertRefused(["missing"], "can't open script: missing")
        self.write("s", self.text)
        for folder in ("missing", "a.old"):  # the script's paths would be read in it
            self.assertRefused(["-d", folder, "s"], "folder not found: " + folder)

    def test_damaged_scripts_name_their_line_and_write_nothing(self):
        cases = [
            ((b"44 \n", b"44\n"), "line 11: value line is not 1 to 16 values \"XX \""),
            ((b":3\n", b":03\n"), "line 10: bad offset"),
            ((b":3\n", b":20\n"), "line 10: offset past the end of the input"),
            ((b"44 \n\n", b"44 \n"), "line 12: expected an empty line after a short value line"),
            ((b"<a.old", b"<missing"), "can't open file: missing"),
            ((b"?", b"?0", 1), "line 8: expected the input md5 (\"?\" and 32 lowercase hex digits)"),
            ((b"script_a.new\n", b"script_a.new\nx\n"), "line 27: text after the last line"),
            ((b"script_a.new\n", b"script_a.new"), "line 26: truncated script: the last line has no newline"),
            ((b"44 \n", b"64 \n"), "line 11: value equals the byte it replaces"),
        ]
        for (old, new, *_), message in cases:
            with self.subTest(message):
                self.damaged(old, new)
                self.assertRefused(["s"], message)
        # A wrong input: another file, or one already patched, told apart with the whole
        # script read, so a fault after the blocks leaves it a mismatch.
        self.write("s", self.text)
        self.write("a.old", self.new)
        self.assertRefused(["s"], "input is already patched: a.old")
        self.damaged(b"script_a.new\n", b"script_a.new")
        self.assertRefused(["s"], "input md5 mismatch: a.old")
        self.write("s", self.text)
        self.write("a.old", self.new[::-1])
        self.assertRefused(["s"], "input md5 mismatch: a.old")
        for size, message in ((0, "input file is empty: a.old"),
                              (LIMIT, "input file is too large: a.old")):
            with open(self.path("a.old"), "wb") as f:
                f.truncate(size)
            self.assertRefused(["s"], message)
        # Not a file: refused unread, for a FIFO would block and a device never end.
        os.mkdir(self.path("dir"))
        others = ["dir"] + (["NUL"] if ARGS.windows else ["fifo"])
        if not ARGS.windows:
            os.mkfifo(self.path("fifo"))
        for name in others:
            self.damaged(b"<a.old", b"<" + name.encode())
            for check in ([], ["--check"]):
                self.assertRefused([*check, "s"], "input is not a regular file: " + name,
                                   timeout=20)

    def test_large_inputs_give_the_same_answers(self):
        """From 1 MiB on, the input is hashed on a second thread while the script is read:
        the result, and each refusal with its line, are the ones a small input gets."""
        rng = random.Random(5)
        old = rng.randbytes((1 << 20) + 3)
        new = bytearray(old)
        for at in range(0, len(new), 8):  # a script too large to be read at once
            new[at] ^= 0x5A
        text = self.script(old, bytes(new))
        self.write("s", text)
        self.assertApplied(["-o", "out", "s"], "out", bytes(new))
        # The last run's value turned into the byte it replaces, deep in the script.
        last = list(re.finditer(rb"\n:([0-9a-f]+)\r?\n", text))[-1]
        value = b"%02X" % old[int(last.group(1), 16)]
        self.write("s", text[:last.end()] + value + text[last.end() + 2:])
        line = text[:last.end()].count(b"\n") + 1
        self.assertRefused(["s"], f"line {line}: value equals the byte it replaces")
        self.write("s", text)
        self.write("a.old", bytes(new))
        self.assertRefused(["s"], "input is already patched: a.old")
        self.write("a.old", old[:-1] + b"!")
        self.assertRefused(["s"], "input md5 mismatch: a.old")

    def test_messages_show_hostile_text_escaped(self):
        """Script text could redraw the terminal. Windows reads the script's bytes in code
        page 1252, where 0x9B and 0xFF are printable."""
        evil = b"\x1b[2K\x08patch applied\x07\x9b\xff"
        shown = ("\\x1b[2K\\x08patch applied\\x07" +
                 ("\x9b\xff" if ARGS.windows else "\\x9b\\xff"))
        self.damaged(b"<a.old", b"<" + evil)
        self.assertRefused(["s"], "can't open file: " + shown)
        self.damaged(b">script_a.new", b">/" + evil)
        self.assertRefused(["s"], "output path is absolute: /" + shown)
        self.write("s", self.text)
        self.assertRefused(["-o", "d\x1b/x", "s"], "output folder not found: d\\x1b/x")

    def test_output_md5_is_checked_before_writing(self):
        old = self.text.split(b"\n?")[2][:32]
        self.damaged(b"?" + old, b"?" + bytes(reversed(old)))
        self.assertRefused(["s"], "output md5 mismatch")


class Confinement(Cli):
    def setUp(self):
        super().setUp()
        self.text = self.script(b"abc", b"abd").replace(b"\r\n", b"\n")

    def named(self, path):
        return self.write("s", self.text.replace(b">script_a.new", b">" + path.encode()))

    def test_paths_that_leave_the_folder(self):
        cases = [("../x", "output path leaves its folder"),
                 ("dir/../../x", "output path leaves its folder"),
                 ("/tmp/x", "output path is absolute")]
        if ARGS.windows:  # one of each of Windows' rules; all of them in confine_test.cpp
            cases += [("C:x", "output path has a drive or stream colon"),
                      ("\\\\server\\share\\x", "output path has a UNC or device prefix"),
                      ("COM1", "output path names a device")]
        else:
            # Names that mean nothing special on Linux are kept.
            self.named("a:b\\c")
            self.assertApplied(["s"], "a:b\\c", b"abd")
        os.mkdir(self.path("dir"))
        for path, message in cases:
            with self.subTest(path):
                self.named(path)
                self.assertRefused(["s"], message + ": " + path)
        # Named by the user, any path is the user's to choose.
        self.named("../x")
        self.assertApplied(["-o", "dir/../x", "s"], "x", b"abd")

    @unittest.skipIf(sys.platform != "linux", "needs symbolic links")
    def test_symlinked_folders(self):
        os.mkdir(self.path("real"))
        os.symlink("real", self.path("link"))
        self.named("link/x")
        self.assertRefused(["s"], "output folder is a symbolic link: link/x")
        self.named("real/x")
        self.assertApplied(["s"], "real/x", b"abd")
        self.named("missing/x")
        self.assertRefused(["s"], "output folder not found: missing/x")

    def test_existing_outputs(self):
        self.write("s", self.text)
        self.write("script_a.new", b"kept")
        self.assertRefused(["s"], "output file exists: script_a.new")
        self.assertApplied(["-f", "s"], "script_a.new", b"abd")
        # Never the input itself, even when forced.
        for args in (["-f", "-o", "a.old", "s"], ["-o", "./a.old", "s"]):
            self.assertRefused(args, "output is the input file: " + args[-2])
        # Only a file or a link is replaced, forced or not: a device or a FIFO would turn
        # into a plain file.
        os.mkdir(self.path("dir"))
        others = ["dir", "dir/"] + (["NUL"] if ARGS.windows else [])
        if not ARGS.windows:
            os.mkfifo(self.path("fifo"))
            others.append("fifo")
            if os.geteuid() == 0:
                os.mknod(self.path("null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
                others.append("null")
        for name in others:
            for force in ([], ["-f"]):
                self.assertRefused([*force, "-o", name, "s"], "output is not a regular file: " + name)
        if not ARGS.windows:
            os.link(self.path("a.old"), self.path("hard"))
            self.assertRefused(["-f", "-o", "hard", "s"], "output is the input file: hard")
            for target in ("a.new", "nowhere"):  # a link counts, even one to nothing
                os.symlink(target, self.path("link"))
                self.assertRefused(["-o", "link", "s"], "output file exists: link")
                os.remove(self.path("link"))
            # Forced, the link itself is replaced; the file it leads to is not touched.
            os.symlink(self.write("other", b"other"), self.path("link"))
            self.assertApplied(["-f", "-o", "link", "s"], "link", b"abd")
            self.assertEqual((os.path.islink(self.path("link")), self.read("other")),
                             (False, b"other"))


class WriteFailures(Cli):
    def test_a_file_size_limit_leaves_no_trace(self):
        """The write fails partway: status 1, no temporary file, an existing output kept.
        On Linux the program itself survives the limit's signal; Wine needs it ignored."""
        old = bytes(range(256)) * 400
        self.write("s", self.script(old, bytes(b ^ 1 for b in old)))

        def small_files():
            if ARGS.windows:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (50000, 50000))

        self.assertRefused(["s"], "write failed: script_a.new", preexec_fn=small_files)
        self.write("script_a.new", b"kept")
        self.assertRefused(["-f", "s"], "write failed: script_a.new", preexec_fn=small_files)
        self.assertRefused(["-i", "-b", "s"], "write failed: a.old", preexec_fn=small_files)

    def temps(self):
        return [n for n in os.listdir(self.cwd) if n.startswith(".patchapply")]

    def ways(self):
        """How the result's file is made: unnamed where the system allows, else under a
        temporary name, as where unnamed files cannot be named (here: the process's
        /proc/self/fd hidden)."""
        yield []
        if not ARGS.windows and os.geteuid() == 0 and shutil.which("unshare"):
            yield ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs none /proc/$$/fd && exec "$0" "$@"']

    def writing(self, way, preexec_fn=None):
        """patchapply on a full-size pair, returned once its result's file is open: in the
        folder when named, else among the process's descriptors. A busy machine can keep
        this process from looking while the write lasts: then it starts another."""
        old = bytes(LIMIT - 1)
        self.write("s", self.script(old, old[:-1] + b"\1"))
        unnamed = os.path.realpath(self.cwd) + os.sep + "#"
        for _ in range(10):
            proc = subprocess.Popen(way + command(ARGS.exe, "s"), cwd=self.cwd,
                                    stderr=subprocess.PIPE, preexec_fn=preexec_fn)
            fds = f"/proc/{proc.pid}/fd"

            def open_files():
                for fd in os.listdir(fds) if os.path.isdir(fds) else []:
                    try:
                        yield os.readlink(os.path.join(fds, fd))
                    except OSError:
                        pass
            while proc.poll() is None and not self.temps() and not (
                    not ARGS.windows and [f for f in open_files() if f.startswith(unnamed)]):
                pass
            if proc.poll() is None:
                return proc
            proc.communicate()
            os.remove(self.path("script_a.new"))
        self.fail("the write was never seen")

    def test_a_signal_mid_write_leaves_no_temporary_file(self):
        """Linux writes the result into an unnamed file, which not even a kill leaves; a
        named one is removed on a signal. On Windows the system removes the temporary file
        as the dead process's handle closes."""
        for way in self.ways():
            for sig in [signal.SIGTERM, signal.SIGUSR1] if way else [signal.SIGKILL]:
                with self.subTest(way=bool(way), sig=sig):
                    proc = self.writing(way)
                    proc.send_signal(sig)
                    proc.communicate(timeout=120)
                    deadline = time.monotonic() + 30  # Wine's server closes it a moment later
                    while self.temps() and time.monotonic() < deadline:
                        time.sleep(0.1)
                    self.assertEqual((self.temps(), proc.returncode), ([], -sig))
                    self.assertFalse(os.path.exists(self.path("script_a.new")))

    def test_signals_ignored_at_start_stay_ignored(self):
        if ARGS.windows:
            self.skipTest("Unix signals")
        for way in self.ways():
            for sig in (signal.SIGHUP, signal.SIGINT):  # nohup; a background job of a script
                with self.subTest(way=bool(way), sig=sig):
                    proc = self.writing(way, lambda: signal.signal(sig, signal.SIG_IGN))
                    proc.send_signal(sig)
                    self.assertEqual((proc.communicate(timeout=120)[1], proc.returncode),
                                     (b"", 0))
                    self.assertEqual(self.read("script_a.new")[-2:], b"\0\1")
                    os.remove(self.path("script_a.new"))


class ManPage(unittest.TestCase):
    """The man page lists every message word for word, and nothing else."""

    @staticmethod
    def literals(path):
        """Each string literal that reads as a message, and whether it is assigned as a
        fault (a message that names no line) rather than given as a line's fault."""
        with open(path, encoding="utf-8") as f:
            text = re.sub(r"//[^\n]*", "", f.read())
        for m in re.finditer(r'(fault = )?"((?:[^"\\]|\\.)*)"', text):
            literal = m.group(2).replace('\\"', '"')
            if re.match(r"[A-Za-z].* .*[^ ]$", literal) and "\\n" not in literal:
                yield bool(m.group(1)), literal

    def test_every_message_is_listed(self):
        code = {text for path in ARGS.messages for _, text in self.literals(path)}
        code |= {text if assigned else "line %s: " + text
                 for path in ARGS.line_faults for assigned, text in self.literals(path)}
        with open(ARGS.man, encoding="utf-8") as f:
            page = f.read()
        lines = page.split("\n.SH DIAGNOSTICS\n")[1].split("\n.SH ")[0].split("\n")
        listed = set()
        for tag, line in zip(lines, lines[1:]):
            if tag != ".TP" or line == ".TP":
                continue
            macro, _, rest = line.partition(" ")
            words = [q.replace('""', '"') if q or not u else u
                     for q, u in re.findall(r'"((?:[^"]|"")*)"|(\S+)', rest)]
            # .BI and .IB alternate bold text and italics, which stand for what is quoted.
            italic = {".B": [False], ".BI": [False, True], ".IB": [True, False]}[macro]
            text = "".join("%s" if italic[i % len(italic)] else w for i, w in enumerate(words))
            if macro == ".B":
                text = " ".join(words)
            listed.add(text.replace("\\-", "-").replace("\\e", "\\").replace("\\&", ""))
        self.assertEqual(sorted(listed - code), [], "listed, but in no code")
        self.assertEqual(sorted(code - listed), [], "in the code, but not listed")


def arguments(parser):
    parser.add_argument("--patchscript", required=True)
    parser.add_argument("--man", required=True)
    parser.add_argument("--messages", nargs="+", required=True)
    parser.add_argument("--line-faults", nargs="+", required=True)


if __name__ == "__main__":
    suite.main(arguments)
