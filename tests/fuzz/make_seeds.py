#!/usr/bin/env python3
"""Writes the seed corpora in tests/fuzz/corpus/<target>/.

Each seed is one of the cases a reader would try first (both sides of every
capacity limit, the shapes of command line the pass-through tells apart),
spelled in the byte encoding that InputReader in fuzz_input.h decodes. The
files are kept in the repository; run this again after changing a target's
input layout.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def byte(value):
    return bytes([value])


def rng(low, high, value):
    """A value in [low, high], as InputReader.Range reads it."""
    assert low <= value <= high
    span = high - low
    width = 1 if span <= 0xFF else 2 if span <= 0xFFFF else 4 if span <= 0xFFFFFFFF else 8
    return (value - low).to_bytes(width, "little")


def units(text):
    """Code units as InputReader.Unit reads them."""
    out = b""
    for char in text:
        code = ord(char)
        out += byte(code) if code < 0x80 else b"\xff" + struct.pack("<H", code)
    return out


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as seed:
        seed.write(data)


# bounded_string_fuzz: three capacities, then operations
# (operation byte, slot byte, operands).
COPY, APPEND, SLOT_TO_SLOT, RAW_FILL, LENGTH, PREFIX, FILE_NAME, HEX, FILL, NULL = range(10)
WHOLE = byte(1)  # ChooseWindow: the whole buffer


def caps(*capacities):
    return b"".join(rng(0, 300, c) for c in capacities)


def source(text):
    return rng(0, 320, len(text)) + units(text)


def window(capacity, offset, size):
    return byte(0) + rng(0, capacity, offset) + rng(0, capacity - offset, size)


def bounded_string_seeds():
    target = "bounded_string_fuzz"
    write(target, "append_fits_exactly",
          caps(260, 260, 3)
          + byte(COPY) + byte(0) + WHOLE + source("a" * 250)
          + byte(APPEND) + byte(0) + WHOLE + source("b" * 9)
          + byte(APPEND) + byte(0) + WHOLE + source("c")
          + byte(APPEND) + byte(0) + WHOLE + source(""))
    write(target, "append_one_too_many",
          caps(260, 260, 3)
          + byte(COPY) + byte(0) + WHOLE + source("a" * 250)
          + byte(APPEND) + byte(0) + WHOLE + source("b" * 10))
    write(target, "copy_both_sides",
          caps(260, 3, 0)
          + byte(COPY) + byte(0) + WHOLE + source("p" * 259)
          + byte(COPY) + byte(0) + WHOLE + source("p" * 260)
          + byte(COPY) + byte(1) + WHOLE + source("BN")
          + byte(COPY) + byte(1) + WHOLE + source("BNX")
          + byte(COPY) + byte(2) + WHOLE + source(""))
    write(target, "filled_without_terminator",
          caps(260, 1, 2)
          + byte(RAW_FILL) + byte(0) + rng(0, 260, 260) + units("f" * 260)
          + byte(APPEND) + byte(0) + WHOLE + source("")
          + byte(RAW_FILL) + byte(0) + rng(0, 260, 260) + units("f" * 260)
          + byte(APPEND) + byte(0) + WHOLE + source("x")
          + byte(RAW_FILL) + byte(1) + rng(0, 1, 1) + units("f")
          + byte(APPEND) + byte(1) + WHOLE + source("x"))
    write(target, "slot_to_slot",
          caps(260, 300, 20)
          + byte(COPY) + byte(0) + WHOLE + source("C:\\Users\\u\\")
          + byte(SLOT_TO_SLOT) + byte(1) + byte(1) + WHOLE + byte(1)
          + byte(SLOT_TO_SLOT) + byte(2) + byte(0) + WHOLE + byte(0))
    write(target, "work_dir_digits",
          caps(260, 5, 4)
          + byte(COPY) + byte(0) + WHOLE + source("C:\\dl\\BV_")
          + byte(HEX) + byte(0) + window(260, 9, 251) + rng(0, 160, 4) + b"\x0a\xf3\x00\xff"
          + byte(HEX) + byte(1) + WHOLE + rng(0, 160, 2) + b"\x0a\xf3"
          + byte(HEX) + byte(2) + WHOLE + rng(0, 160, 2) + b"\x0a\xf3"
          + byte(HEX) + byte(2) + WHOLE + rng(0, 160, 0))
    write(target, "prefix_folding",
          caps(1, 1, 1)
          + byte(PREFIX) + byte(0) + rng(0, 300, 6) + units("brivel")
          + b"\x01" * 6 + byte(1) + rng(0, 8, 3) + units(".7Z")
          + byte(PREFIX) + byte(0) + rng(0, 300, 5) + units("setup")
          + b"\x00" * 5 + byte(0) + rng(0, 300, 3) + units("set")
          + byte(PREFIX) + byte(0) + rng(0, 300, 2) + units("@\u00c0")
          + b"\x01\x01" + byte(2)
          + byte(PREFIX) + byte(0) + rng(0, 300, 0) + byte(3))
    write(target, "file_name_part",
          caps(0, 0, 0)
          + byte(FILE_NAME) + byte(0) + rng(0, 300, 12) + units("C:\\dl\\a.exe\\")
          + byte(FILE_NAME) + byte(0) + rng(0, 300, 9) + units("C:/dl/a.e")
          + byte(FILE_NAME) + byte(0) + rng(0, 300, 1) + units("\\")
          + byte(FILE_NAME) + byte(0) + rng(0, 300, 0))
    write(target, "length_and_fill",
          caps(260, 2, 0)
          + byte(LENGTH) + byte(0) + rng(0, 301, 260) + units("n" * 259)
          + byte(LENGTH) + byte(0) + rng(0, 301, 1)
          + byte(FILL) + byte(0) + rng(0, 600, 520) + rng(0, 520, 520)
          + rng(0, 0xFFFFFFFF, 0x100) + byte(0x5a)
          + byte(FILL) + byte(0) + rng(0, 600, 8) + rng(0, 8, 0)
          + rng(0, 0xFFFFFFFF, 0xFFFFFFFF) + byte(7)
          + byte(NULL) + byte(0) + source("x") + rng(0, 300, 260))


# command_line_fuzz: mode, setup path, own path, archive name, archive type,
# prefill length, installer command line.
OVERSIZE, PREFILLED, NULL_LINE = 1, 2, 4
SETUP = "C:\\Users\\u\\Downloads\\BV_1A2B3.tmp\\setup.exe"
OWN = "C:\\Users\\u\\Downloads\\installer.exe"


def command(mode, setup, own, name, kind, line, prefill=0):
    limit = 1400 if mode & OVERSIZE else None
    out = byte(mode)
    for text, capacity in ((setup, 260), (own, 260), (name, 260), (kind, 3)):
        out += rng(0, limit or capacity - 1, len(text)) + units(text)
    return out + rng(0, 1299, prefill) + rng(0, 1500, len(line)) + units(line)


def command_line_seeds():
    target = "command_line_fuzz"
    lines = {
        "quoted_then_switch": '"C:\\dl\\installer.exe" --system-level',
        "quoted_then_glued_text": '"C:\\dl\\installer.exe"--brivel-beta',
        "unquoted_three_spaces": "installer.exe   --brivel-dev",
        "unquoted_tab": "installer.exe\t--brivel-sxs",
        "line_feed_in_program_name": "inst\nall.exe --a b",
        "unclosed_quote": '"C:\\dl\\installer.exe --system-level',
        "only_quoted_name": '"C:\\dl\\installer.exe"',
        "empty": "",
    }
    for name, line in lines.items():
        write(target, name, command(0, SETUP, OWN, "BRIVEL.7Z", "BN", line))
    # Longest inputs within capacity leave 440 elements for the pass-through:
    # a 439-character remainder fits exactly, one more is dropped whole.
    longest = ("s" * 259, "m" * 259, "n" * 259, "BN")
    write(target, "room_exactly_filled",
          command(0, *longest, '"i" ' + "a" * 438))
    write(target, "room_exceeded_by_one",
          command(0, *longest, '"i" ' + "a" * 439))
    # After 1298 characters the inserted space still fits, the text not.
    write(target, "space_fits_text_does_not",
          command(PREFILLED, "", "", "", "", '"i"x', prefill=1298))
    write(target, "composition_does_not_fit",
          command(OVERSIZE, "s" * 1300, OWN, "BRIVEL.7Z", "BN", '"i" --a'))
    write(target, "null_command_line",
          command(NULL_LINE, SETUP, OWN, "BRIVEL.7Z", "BN", "unused"))


# registry_string_fuzz: capacity, size mode, data size, elements (selector
# byte: a multiple of 3 for a terminator, else a unit follows).
ANY_SIZE, PAST_BUFFER, WITHIN = 0, 1, 2


def registry(capacity, mode, data_size, elements):
    out = rng(1, 8, capacity) + byte(mode)
    if mode == ANY_SIZE:
        out += rng(0, 0xFFFFFFFF, data_size)
    elif mode == PAST_BUFFER:
        out += rng(0, 4 * capacity + 3, data_size)
    else:
        out += rng(0, 2 * capacity, data_size)
    for element in elements:
        out += byte(0) if element == "\0" else byte(1) + units(element)
    return out


def registry_string_seeds():
    target = "registry_string_fuzz"
    write(target, "zero_without_terminator", registry(2, WITHIN, 2, "0x"))
    write(target, "zero_with_terminator", registry(2, WITHIN, 4, "0\0"))
    write(target, "two_zeros_fill_buffer", registry(2, WITHIN, 4, "00"))
    write(target, "one_byte", registry(2, WITHIN, 1, "ab"))
    write(target, "odd_size", registry(3, PAST_BUFFER, 5, "abc"))
    write(target, "claims_more_than_held", registry(4, PAST_BUFFER, 10, "abcd"))
    write(target, "huge_size", registry(8, ANY_SIZE, 0xFFFFFFFF, "abcdefgh"))


if __name__ == "__main__":
    bounded_string_seeds()
    command_line_seeds()
    registry_string_seeds()
