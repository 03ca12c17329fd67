#!/usr/bin/env python3
"""Writes the payload files that the fixture installers and cabinets of the
payload tests are made from.

  make_payloads.py OUTPUT_DIR

OUTPUT_DIR/ receives the payload files; OUTPUT_DIR/members/ the files that go
into cabinets, each with a chosen modification time, which gcab records as the
member's DOS date and time (in UTC fields, whatever the time zone of the
build). The bytes are fixed (a simple generator with fixed seeds), so every
build makes the same files and a rerun that changes nothing leaves them alone.
"""
import calendar
import os
import sys

# The cabinet tests know these dates: keep them in step with
# cabinet_expansion_test.cpp. DOS times have a resolution of two seconds.
MEMBER_TIME = (2021, 3, 4, 5, 6, 8)
SECOND_MEMBER_TIME = (2019, 12, 31, 23, 58, 2)


def pattern(seed, size):
    """Bytes from a linear congruential generator: not compressible to nothing,
    and different for every seed."""
    out = bytearray(size)
    state = seed
    for i in range(size):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = (state >> 16) & 0xFF
    return bytes(out)


def write(path, data, when=None):
    if not (os.path.exists(path) and open(path, "rb").read() == data):
        with open(path, "wb") as f:
            f.write(data)
    if when is not None:
        stamp = calendar.timegm(when)
        os.utime(path, (stamp, stamp))


def main(argv):
    out = argv[1]
    members = os.path.join(out, "members")
    os.makedirs(members, exist_ok=True)

    setup = pattern(1, 70001)
    write(os.path.join(out, "setup.bin"), setup)
    write(os.path.join(out, "archive.bin"), pattern(2, 50003))
    write(os.path.join(out, "other.bin"), pattern(3, 777))
    write(os.path.join(out, "empty.bin"), b"")
    write(os.path.join(out, "not_a_cabinet.bin"), b"This is not a cabinet, only text.\r\n" * 20)

    # Cabinet members. "member.dat" is the one of most tests; "second.dat"
    # follows it in the two-member cabinet; "réglage.bin" has a name outside
    # ASCII, for which gcab sets the UTF-8-name attribute bit; "tool.bin"
    # holds setup's bytes under a name that is not setup's.
    write(os.path.join(members, "member.dat"), pattern(4, 30011), MEMBER_TIME)
    write(os.path.join(members, "second.dat"), pattern(5, 20011), SECOND_MEMBER_TIME)
    write(os.path.join(members, "réglage.bin"), pattern(6, 5003), MEMBER_TIME)
    write(os.path.join(members, "tool.bin"), setup, MEMBER_TIME)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
