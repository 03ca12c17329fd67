"""What a security review asks of a Windows executable first, read from the
file itself: address space layout randomisation (and its high-entropy form),
no execution of data (NX), Control Flow Guard, the load configuration's
DependentLoadFlags, unwind tables and an Authenticode signature.

Sources: "PE Format" (the COFF and optional header characteristics, the
data directories, Load Configuration Layout and its guard flags) and
"Control Flow Guard for platform security". Every flag is the file's own
claim; nothing is run.
"""
import struct

from .pe import PE32, PE32_PLUS, PeError

DIRECTORY_EXCEPTION = 3
DIRECTORY_SECURITY = 4
DIRECTORY_LOAD_CONFIG = 10

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
# DllCharacteristics.
HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
GUARD_CF = 0x4000
# GuardFlags: the image's indirect calls are checked.
CF_INSTRUMENTED = 0x00000100

# Offsets in the load configuration: (DependentLoadFlags,
# GuardCFCheckFunctionPointer, GuardFlags) and the pointer format.
LOAD_CONFIG_FIELDS = {PE32_PLUS: (0x4E, 0x70, 0x90, "<Q"), PE32: (0x36, 0x48, 0x58, "<I")}


def read_load_config(f, image):
    """The load configuration's bytes, as many as its Size says (and the
    directory holds), or None when the image has none."""
    rva, size = image.directory(DIRECTORY_LOAD_CONFIG)
    if rva == 0 or size < 4:
        return None
    try:
        f.seek(image.rva_to_offset(rva))
    except PeError:
        return None
    record = f.read(size)
    if len(record) < 4:
        return None
    declared = struct.unpack_from("<I", record)[0]
    return record[:min(declared, len(record))]


def field(record, offset, form):
    if record is None or len(record) < offset + struct.calcsize(form):
        return None
    return struct.unpack_from(form, record, offset)[0]


def read_hardening(f, image):
    """The hardening report of the image whose headers are image, read from
    the open file f: {"aslr", "high_entropy_va", "nx", "cfg",
    "dependent_load_flags" (None without a record that reaches it),
    "unwind", "signed"}."""
    characteristics = struct.unpack_from("<H", image.head, image.optional + 70)[0]
    record = read_load_config(f, image)
    flags_at, check_at, guard_flags_at, pointer = LOAD_CONFIG_FIELDS[image.magic]
    # Windows moves an image only when it says it may and kept its
    # relocations; high entropy needs 64-bit addresses besides.
    aslr = bool(characteristics & DYNAMIC_BASE) and not \
        image.characteristics & IMAGE_FILE_RELOCS_STRIPPED
    # The loader enforces the guard for an image marked GUARD_CF whose load
    # configuration says its calls are instrumented and where its check is.
    cfg = bool(characteristics & GUARD_CF) and \
        bool((field(record, guard_flags_at, "<I") or 0) & CF_INSTRUMENTED) and \
        bool(field(record, check_at, pointer))
    return {
        "aslr": aslr,
        "high_entropy_va": aslr and image.magic == PE32_PLUS
        and bool(characteristics & HIGH_ENTROPY_VA),
        "nx": bool(characteristics & NX_COMPAT),
        "cfg": cfg,
        "dependent_load_flags": field(record, flags_at, "<H"),
        "unwind": image.directory(DIRECTORY_EXCEPTION)[1] != 0,
        "signed": image.directory(DIRECTORY_SECURITY)[1] != 0,
    }


def render_hardening(hardening):
    """One line: each property with yes or no, the flags in hexadecimal."""
    parts = []
    for key, value in hardening.items():
        if key == "dependent_load_flags":
            parts.append(f"{key} {'none' if value is None else f'0x{value:X}'}")
        else:
            parts.append(f"{key} {'yes' if value else 'no'}")
    return ", ".join(parts)
