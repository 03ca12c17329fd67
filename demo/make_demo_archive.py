#!/usr/bin/env python3
"""Packs files into the demo archive that demo_setup.exe installs.

  demo/make_demo_archive.py --output ARCHIVE FILE...

Each FILE is stored under its own file name, in the order given. The layout
(all numbers little-endian) is the demo setup's own; the installer only
carries it:

  magic "BRVDEMO1" | u32 count | count x (u16 name bytes | UTF-8 name |
  u32 size | bytes) | u32 CRC-32 of everything before it

The limits are those the setup checks: 1 to 64 entries, names of 1 to 128
UTF-8 bytes that are plain file names (no folder, none of \\ / : * ? " < > |,
no control character, no trailing dot or space, unique ignoring case, not
"install.log"). The output appears whole or not at all.
"""
import argparse
import os
import struct
import sys
import zlib

MAGIC = b"BRVDEMO1"
MAX_ENTRIES = 64
MAX_NAME_BYTES = 128
RESERVED_NAME = "install.log"
FORBIDDEN = set('\\/:*?"<>|')


def check_name(name, seen):
    encoded = name.encode("utf-8")
    if not 1 <= len(encoded) <= MAX_NAME_BYTES:
        return f"is {len(encoded)} bytes of UTF-8; 1 to {MAX_NAME_BYTES} are allowed"
    if any(c in FORBIDDEN or ord(c) < 0x20 for c in name):
        return "holds a character that a file name cannot"
    if name[-1] in ". ":
        return "ends with a dot or a space"
    if name.lower() == RESERVED_NAME:
        return "is the name of the setup's own log"
    if name.lower() in seen:
        return "appears twice (names are compared ignoring case)"
    return None


def build(paths):
    if not 1 <= len(paths) <= MAX_ENTRIES:
        raise ValueError(f"{len(paths)} files; 1 to {MAX_ENTRIES} are allowed")
    out = bytearray(MAGIC)
    out += struct.pack("<I", len(paths))
    seen = set()
    for path in paths:
        name = os.path.basename(path)
        problem = check_name(name, seen)
        if problem:
            raise ValueError(f"{path}: the name '{name}' {problem}")
        seen.add(name.lower())
        with open(path, "rb") as f:
            data = f.read()
        if len(data) > 0xFFFFFFFF:
            raise ValueError(f"{path}: larger than 4 GiB")
        encoded = name.encode("utf-8")
        out += struct.pack("<H", len(encoded)) + encoded
        out += struct.pack("<I", len(data)) + data
    out += struct.pack("<I", zlib.crc32(out) & 0xFFFFFFFF)
    return bytes(out)


def main(argv):
    parser = argparse.ArgumentParser(prog="demo/make_demo_archive.py",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("--output", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    try:
        archive = build(args.files)
    except (OSError, ValueError) as failure:
        print(f"make_demo_archive: {failure}", file=sys.stderr)
        return 2
    partial = args.output + ".partial"
    with open(partial, "wb") as f:
        f.write(archive)
    os.replace(partial, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
