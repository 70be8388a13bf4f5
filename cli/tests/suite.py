"""What both programs' end-to-end suites share: running a program as it runs on its target
(under Wine for the Windows builds), with its output redirected by a shell, line ends, the
golden pairs, and a scratch folder per test.

Each suite runs the Linux build and, with --emulator, the .exe files under Wine."""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

# The command line's arguments, filled in by main; suites import this very object.
ARGS = argparse.Namespace()


def command(exe, *args):
    return ([ARGS.emulator] if ARGS.emulator else []) + [exe, *args]


def nl(text):
    """Line ends as the platform's text mode writes them."""
    return text.replace("\n", "\r\n") if ARGS.windows else text


def golden_pairs():
    """The inputs of the checked-in scripts, from the format's golden folder."""
    sys.path.insert(0, ARGS.golden)
    import pairs  # pylint: disable=import-outside-toplevel
    return pairs.golden_pairs()


class Scratch(unittest.TestCase):
    """A test in a folder of its own, removed after it."""

    def setUp(self):
        name = os.path.splitext(os.path.basename(ARGS.exe))[0]
        self.dir = tempfile.TemporaryDirectory(prefix=name + "-")
        self.cwd = self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.cwd, name)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)
        return name

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def shell(self, args, redirect, preexec_fn=None, unix=False, before=""):
        """The program with its output redirected by sh, which first prints before into
        it, or under Wine by cmd unless unix is set: Wine names no file behind the
        handles it inherits from a Unix shell, and cannot cut them back."""
        if ARGS.windows and not unix:
            exe = "Z:" + os.path.abspath(ARGS.exe).replace("/", "\\")
            cmd = [ARGS.emulator, "cmd", "/c", " ".join([exe, *args, redirect])]
        else:
            cmd = ["sh", "-c", f'{{ printf "{before}"; exec "$0" "$@"; }} {redirect}',
                   *command(ARGS.exe, *args)]
        return subprocess.run(cmd, cwd=self.cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=120, preexec_fn=preexec_fn)


def main(arguments):
    """Runs the calling suite's tests with the common arguments and those that
    arguments(parser) adds."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--golden", required=True)
    parser.add_argument("--emulator")
    parser.add_argument("--windows", action="store_true")
    arguments(parser)
    _, rest = parser.parse_known_args(namespace=ARGS)
    # Wine reads arguments and file names in the Unix locale's encoding, and takes its
    # ANSI code page (1252) from the locale too.
    os.environ["LC_ALL"] = "C.UTF-8"
    unittest.main(module="__main__", argv=[sys.argv[0], *rest], verbosity=2)
