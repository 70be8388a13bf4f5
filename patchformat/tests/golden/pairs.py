"""The pairs behind the checked-in scripts, for the CLI suites of both programs: each
script is what patchscript writes for its pair (with the stamp as STAMP), and patchapply
turns the old file into the new with it."""


def golden_pairs():
    """Inputs for the checked-in scripts, made here so the folder holds no binaries."""
    mixed_old = bytes(range(256)) * 2
    mixed = bytearray(mixed_old)
    for at, count in ((0, 1), (0x20, 16), (0x40, 17), (0x80, 32), (0x100, 1), (0x102, 2),
                      (0x1f0, 16)):
        for i in range(at, at + count):
            mixed[i] = (mixed[i] + 0x81) & 0xFF
    return {
        "small": ("a.old", b"abcdefgh", "a.new", b"abAdefgh"),
        "mixed": ("mixed.old", mixed_old, "mixed.new", bytes(mixed)),
        "paths": ("dir one/old file.bin", b"0123456789", "dir two/new file.bin", b"0123x56789"),
    }
