#!/usr/bin/env python3
"""Writes the scenario fixtures' payload files.

  make_scenario_payloads.py ARCHIVE NOT_A_PROGRAM

ARCHIVE: a small stand-in archive holding every byte value, of an odd size,
so that a checksum over it catches a cut, padded or shifted copy.
NOT_A_PROGRAM: text that the installer writes as setup.exe but that no
system can start.
"""
import sys


def main(archive, not_a_program):
    data = bytes(range(256)) * 16 + b"brivel scenario archive\x00\xff\r\n\x1a"
    with open(archive, "wb") as f:
        f.write(data)
    with open(not_a_program, "wb") as f:
        f.write(b"This file is not a program.\r\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
