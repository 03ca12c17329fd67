"""Cabinet scenarios: a compressed setup whose cabinet holds more than one
member, and a cabinet the system's library cannot read."""
import os
import shutil
import struct
import subprocess

from driver.support import (
    CLIENT_STATE,
    ERROR_BAD_EXE_FORMAT,
    MORVEX,
    RC_SETUP_NOT_STARTED,
    SENTINEL_ERROR,
    SENTINEL_EXTRA,
    STABLE_GUID,
    check,
    check_equal,
    listing,
)
from driver.framework import check_only, check_setup_ran, scenario

# A cabinet header's fields: the folder count lies 26 bytes in; the first
# folder record follows the 36-byte header with its first data block's
# offset and the number of blocks.
FOLDER_COUNT_AT = 26
FIRST_FOLDER_AT = 36
DATA_HEADER_SIZE = 8


def make_cabinet(folder, name, members):
    """A one-folder MSZIP cabinet made with gcab of members, (name, bytes)
    pairs in order; returns its path."""
    content = os.path.join(folder, name + ".members")
    os.makedirs(content)
    for member, data in members:
        with open(os.path.join(content, member), "wb") as f:
            f.write(data)
    cabinet = os.path.join(folder, name)
    subprocess.run(["gcab", "-c", "-z", "-n", cabinet] + [m for m, _ in members],
                   cwd=content, check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(content)
    return cabinet


def garble_last_data_block(cabinet):
    """Turns the data of the cabinet's last data block to garbage."""
    with open(cabinet, "r+b") as f:
        data = bytearray(f.read())
        block, blocks = struct.unpack_from("<IH", data, FIRST_FOLDER_AT)
        for _ in range(blocks - 1):
            block += DATA_HEADER_SIZE + struct.unpack_from("<H", data, block + 4)[0]
        size = struct.unpack_from("<H", data, block + 4)[0]
        for i in range(block + DATA_HEADER_SIZE, block + DATA_HEADER_SIZE + size):
            data[i] ^= 0x5A
        f.seek(0)
        f.write(data)


def text_of(size):
    """Text that MSZIP cannot squeeze into a block or two."""
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta"]
    out = bytearray()
    state = 12345
    while len(out) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[state % len(words)] + (b"\r\n" if state & 8 else b" ")
    return bytes(out[:size])


@scenario("robustness")
def cabinets_with_two_members(s):
    """Setup is the cabinet's first member, whatever the library does next:
    Wine's library goes on after the first member although it is asked to
    stop, and a second member must neither take the first one's place nor
    make a good first member fail."""
    c = s.context
    with open(c.probe, "rb") as f:
        probe = f.read()
    text = text_of(200000)
    # The second member is larger than a data block, so the cabinet's last
    # block holds nothing of setup.
    cases = (
        ("setup first, a text file second", [("setup.exe", probe), ("readme.txt", text)],
         False, 0),
        ("a text file first, setup second", [("readme.txt", text), ("setup.exe", probe)],
         False, RC_SETUP_NOT_STARTED),
        ("setup first, then a member whose data is damaged",
         [("setup.exe", probe), ("readme.txt", text)], True, 0),
    )
    key = ("HKCU", CLIENT_STATE + STABLE_GUID)
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    for index, (label, members, damaged, code) in enumerate(cases):
        with s.case(label):
            cabinet = make_cabinet(s.dir, f"two-{index}.cab", members)
            if damaged:
                garble_last_data_block(cabinet)
            installer = c.packaged_with(f"two-members-{index}", [
                "--archive", c.archive, "--resource", f"BL:SETUP.EX_={cabinet}"])
            folder = os.path.join(s.dir, f"run-{index}")
            os.makedirs(folder)
            placed = os.path.join(folder, "two.exe")
            shutil.copyfile(installer, placed)
            c.registry.set_values({key: {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                                         "InstallerExtraCode1": SENTINEL_EXTRA}})
            result = c.run(placed)
            check_equal(code, result.exit_code, f"exit code ({result.describe()})")
            if code == 0:
                check_setup_ran(c, result, placed)
            else:
                check(result.report is None, "setup ran")
                check_equal({"InstallerResult": 1, "InstallerError": code,
                             "InstallerExtraCode1": ERROR_BAD_EXE_FORMAT},
                            c.registry.values(*key), "client-state values")
            check_only(folder, ["two.exe"])


@scenario("robustness")
def cabinet_without_folders(s):
    """A cabinet whose header declares no folders but a member: Wine's
    library crashes inside FDICopy, called back through the installer's own
    functions. The installer dies there and leaves its work directory, but
    its exit code says it crashed: never 0."""
    c = s.context
    with open(c.probe, "rb") as f:
        probe = f.read()
    cabinet = make_cabinet(s.dir, "no-folders.cab", [("setup.exe", probe)])
    with open(cabinet, "r+b") as f:
        f.seek(FOLDER_COUNT_AT)
        f.write(struct.pack("<H", 0))
    installer = c.packaged_with("no-folders", [
        "--archive", c.archive, "--resource", f"BL:SETUP.EX_={cabinet}"])
    with s.case("the run ends with an exception code"):
        folder = os.path.join(s.dir, "run")
        os.makedirs(folder)
        placed = os.path.join(folder, "no-folders.exe")
        shutil.copyfile(installer, placed)
        result = c.run(placed)
        check(result.exit_code is not None, f"no exit code ({result.describe()})")
        check(result.exit_code != 0, f"a crash reported as success ({result.describe()})")
        check(result.report is None, "setup ran")
        s.note(f"exit code 0x{result.exit_code:08X}; left beside the installer: "
               f"{[e for e in listing(folder) if e != 'no-folders.exe']}")
