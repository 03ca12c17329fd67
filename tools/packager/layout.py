"""The payload layout: how names are stored, what the installer concludes
from the payload resources when it runs (its verdict), and what packaging
refuses.

The installer walks the types B7, BL and BN in that order, and in each type
the names in directory order; a name beginning with "brivel" (ASCII letters
in any case) is the archive, one beginning with "setup" is setup, anything
else is invalid data. The verdict below follows that walk step by step, so
that tools/package refuses exactly what the installer would reject and
tools/inspect reports what it would do with a finished installer.
"""
import os

from .rsrc import LANGUAGE_EN_US, directory_order

PAYLOAD_TYPES = ("B7", "BL", "BN")
ARCHIVE_PREFIX = "brivel"
SETUP_PREFIX = "setup"
NAME_LIMIT = 259  # UTF-16 code units a recorded name may have
CABINET_MAGIC = b"MSCF"
HEAD_BYTES = len(CABINET_MAGIC)

RC_OK = 0
RC_ARCHIVE_NOT_FOUND = 112
RC_SETUP_NOT_EXTRACTED = 115
ERROR_FILE_NOT_FOUND = 2
ERROR_INVALID_DATA = 13
ERROR_TOO_MANY_NAMES = 68
ERROR_FILENAME_EXCED_RANGE = 206


class Refusal(Exception):
    """A request packaging will not carry out: exit 2, with the message."""


def fold_ascii(text):
    """What the installer compares: ASCII letters folded, nothing else."""
    return "".join(chr(ord(c) | 0x20) if "A" <= c <= "Z" else c for c in text)


def stored_form(text):
    """The name as the executable stores it: upper case, one letter for one."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in text)


def utf16_length(text):
    return len(text.encode("utf-16-le")) // 2


def is_identifier(text):
    return text.isascii() and text.isdigit()


def resource_key(text):
    """A type or name as given: an int for an integer identifier, else the
    stored string."""
    return int(text) if is_identifier(text) else stored_form(text)


def label(type_key, name_key):
    return f"{type_key}:{name_key}"


class Entry:
    """One payload resource to package: stored type and name, source file,
    where it came from, and (after check_inputs) its size and first bytes."""

    def __init__(self, type_name, name, path, origin):
        self.type = resource_key(type_name)
        self.name = resource_key(name)
        self.path = path
        self.origin = origin
        self.language = LANGUAGE_EN_US
        self.size = None
        self.head = b""

    def label(self):
        return label(self.type, self.name)


def parse_resource(argument):
    if ":" not in argument or "=" not in argument.split(":", 1)[1]:
        raise Refusal(f"--resource wants TYPE:NAME=FILE, got '{argument}'")
    type_part, rest = argument.split(":", 1)
    name, path = rest.split("=", 1)
    if not type_part or not name or not path:
        raise Refusal(f"--resource wants TYPE:NAME=FILE, got '{argument}'")
    for part in (type_part, name):
        if is_identifier(part) and not 1 <= int(part) <= 0xFFFF:
            raise Refusal(f"--resource {argument}: an integer identifier lies from 1 to 65535")
        if "\0" in part:
            raise Refusal(f"--resource {argument}: a name cannot hold a null character")
    return Entry(type_part, name, path, f"--resource {type_part}:{name}")


def check_inputs(entries):
    """Every input is a readable regular file, and no type holds a name
    twice. Records each entry's size and first bytes."""
    seen = {}
    for entry in entries:
        if not os.path.exists(entry.path):
            raise Refusal(f"{entry.origin}: input file {entry.path} does not exist")
        if not os.path.isfile(entry.path):
            raise Refusal(f"{entry.origin}: input {entry.path} is not a regular file")
        try:
            with open(entry.path, "rb") as f:
                entry.head = f.read(HEAD_BYTES)
                entry.size = os.fstat(f.fileno()).st_size
        except OSError as error:
            raise Refusal(f"{entry.origin}: cannot read input file {entry.path}: {error.strerror}")
        key = (entry.type, entry.name)
        if key in seen:
            raise Refusal(f"{entry.label()} is given twice ({seen[key]} and {entry.origin}); "
                          "an executable holds one resource per type and name")
        seen[key] = entry.origin


class Verdict:
    """What the installer would exit with before it starts setup: exit_code
    (0, 112 or 115), detail (the value recorded beside it), why, and the
    setup it would start (None unless exit_code is 0)."""

    def __init__(self, exit_code, detail, reason, setup=None):
        self.exit_code = exit_code
        self.detail = detail
        self.reason = reason
        self.setup = setup


def installer_verdict(resources):
    """The verdict on a payload, from its resources in directory order (each
    with type, name, size and head, its first bytes). A path that would not
    fit where the installer runs (108) depends on that place and is not
    judged here."""
    archive = setup = None
    archive_type = setup_type = None
    for walked in PAYLOAD_TYPES:
        reason = None
        for resource in (r for r in resources if r.type == walked):
            # An integer identifier or an empty resource ends the walk of
            # the type silently: later names are never seen.
            if isinstance(resource.name, int) or resource.size == 0:
                break
            folded = fold_ascii(resource.name)
            length = utf16_length(resource.name)
            if folded.startswith(ARCHIVE_PREFIX) or folded.startswith(SETUP_PREFIX):
                found = archive if folded.startswith(ARCHIVE_PREFIX) else setup
                kind = "archives" if folded.startswith(ARCHIVE_PREFIX) else "setups"
                if found is not None:
                    reason = (ERROR_TOO_MANY_NAMES, f"two {kind}: {found.label()}, {resource.label()}")
                elif length > NAME_LIMIT:
                    reason = (ERROR_FILENAME_EXCED_RANGE,
                              f"{walked}:{resource.name[:20]}... is a name of {length} characters; "
                              f"at most {NAME_LIMIT} are allowed")
                elif kind == "archives":
                    archive = resource
                    continue
                else:
                    setup = resource
                    continue
            else:
                reason = (ERROR_INVALID_DATA,
                          f"{resource.label()} begins neither with '{ARCHIVE_PREFIX}' nor with "
                          f"'{SETUP_PREFIX}' (the installer would reject it as invalid data)")
            break
        if reason:
            # The archive's type is recorded only after a clean walk.
            code = RC_ARCHIVE_NOT_FOUND if archive_type is None else RC_SETUP_NOT_EXTRACTED
            return Verdict(code, *reason)
        if archive is not None and archive_type is None:
            archive_type = walked
        if setup is not None and setup_type is None:
            setup_type = walked
    if archive is None:
        return Verdict(RC_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND, "no archive")
    if setup is None:
        return Verdict(RC_SETUP_NOT_EXTRACTED, ERROR_FILE_NOT_FOUND, "no setup")
    if setup_type == "BL":
        if fold_ascii(setup.name) == "setup.exe":
            # The cabinet would be written under the very name it expands to.
            return Verdict(RC_SETUP_NOT_EXTRACTED, 0,
                           f"{setup.label()}: a compressed setup (BL) cannot be named setup.exe, "
                           "the name it expands to")
        if setup.head[:HEAD_BYTES] != CABINET_MAGIC:
            return Verdict(RC_SETUP_NOT_EXTRACTED, 0,
                           f"{setup.label()}: a compressed setup (BL) must be a cabinet, and this "
                           "one does not begin as a cabinet does ('MSCF')")
    return Verdict(RC_OK, 0, f"setup {setup.label()} is started with archive {archive.label()}",
                   setup)


HINTS = {
    RC_ARCHIVE_NOT_FOUND: ": give --archive FILE (or a resource named brivel...)",
    RC_SETUP_NOT_EXTRACTED: ": give --setup FILE (or a resource named setup...)",
}


def check_layout(entries):
    """Refuses what the installer would reject at run time (its verdict on
    entries in the order the resource directory will list them), and, beyond that,
    an integer identifier or an empty file among the payload types: either
    ends the installer's walk of its type, so the layout would work or fail
    by the order of its names alone."""
    for entry in entries:
        if entry.type not in PAYLOAD_TYPES:
            continue
        if isinstance(entry.name, int):
            raise Refusal(f"{entry.label()} has an integer identifier; the installer's walk of "
                          f"{entry.type} would stop there")
        if entry.size == 0:
            raise Refusal(f"{entry.label()} comes from an empty file ({entry.path}); the installer's "
                          "walk would stop there")
    verdict = installer_verdict(directory_order(entries))
    if verdict.exit_code != RC_OK:
        hint = HINTS[verdict.exit_code] if verdict.detail == ERROR_FILE_NOT_FOUND else ""
        raise Refusal(verdict.reason + hint)
