"""The version record (resource type 16, VS_VERSIONINFO): the release's
version as packaging sets it, and the record read back from compiled
resources.

The kit's installer.rc takes its version from BRIVEL_VERSION_MAJOR, _MINOR,
_BUILD and _PATCH (defaults 1.0.0.0); packaging passes --version to the
resource compiler that way, then reads the compiled record back and refuses
to go on unless its fixed file and product versions and its "FileVersion"
and "ProductVersion" strings all say what was asked.
"""
import re
import struct

from .layout import Refusal

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD
PART_LIMIT = 0xFFFF
PART_NAMES = ("MAJOR", "MINOR", "BUILD", "PATCH")
# A part is a decimal number without a sign or leading zeros: one spelling
# per version, so the strings and the fixed fields cannot disagree.
PART = re.compile(r"0|[1-9][0-9]{0,4}")


def parse_version(text):
    """MAJOR.MINOR.BUILD.PATCH as four ints, each 0 to 65535; else Refusal."""
    parts = text.split(".")
    if len(parts) != 4 or not all(PART.fullmatch(p) for p in parts):
        raise Refusal(f"--version wants MAJOR.MINOR.BUILD.PATCH, four decimal numbers without "
                      f"leading zeros, got '{text}'")
    numbers = [int(p) for p in parts]
    for name, number in zip(PART_NAMES, numbers):
        if number > PART_LIMIT:
            raise Refusal(f"--version {text}: {name} is {number}; each part lies from 0 to "
                          f"{PART_LIMIT}")
    return numbers


def compiler_defines(numbers):
    """The resource compiler's /D arguments for a version."""
    args = []
    for name, number in zip(PART_NAMES, numbers):
        args += ["/D", f"BRIVEL_VERSION_{name}={number}"]
    return args


def _node(data, at):
    """One node of a version record: (key, value bytes, text value or None,
    children, end offset)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[value_at:value_at + value_size]
    text = value.decode("utf-16-le").split("\0")[0] if value_type == 1 else None
    children = []
    child = (value_at + value_size + 3) & ~3
    while child + 6 <= end:
        node = _node(data, child)
        children.append(node)
        child = (node[4] + 3) & ~3
    return key, value, text, children, end


def _dotted(most, least):
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"


def read_version_record(data):
    """A version record's fixed file and product versions and its strings
    (of every string table) as a dict; None when it is not one."""
    try:
        key, value, _, children, _ = _node(data, 0)
    except (struct.error, UnicodeDecodeError):
        return None
    if key != "VS_VERSION_INFO" or len(value) < 52:
        return None
    fields = struct.unpack_from("<13I", value)
    if fields[0] != FIXED_SIGNATURE:
        return None
    strings = {}
    for block in children:
        if block[0] == "StringFileInfo":
            for table in block[3]:
                for entry in table[3]:
                    strings[entry[0]] = entry[2] or ""
    return {"file_version": _dotted(fields[2], fields[3]),
            "product_version": _dotted(fields[4], fields[5]),
            "strings": strings}


def check_version(resources, wanted):
    """Refuses unless the compiled resources carry a version record that says
    `wanted` (four ints) in all four places. Returns the record."""
    records = [r for r in resources if r.type == RT_VERSION]
    text = ".".join(str(n) for n in wanted)
    if not records:
        raise Refusal(f"--version {text}: the kit's resources have no version record to set")
    record = read_version_record(records[0].data)
    found = record and [record["file_version"], record["product_version"],
                        record["strings"].get("FileVersion"), record["strings"].get("ProductVersion")]
    if found != [text] * 4:
        raise Refusal(f"--version {text}: the kit's version record did not take it (it says "
                      f"{found}); its installer.rc must take BRIVEL_VERSION_MAJOR ... _PATCH")
    return record
