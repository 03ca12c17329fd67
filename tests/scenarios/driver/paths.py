"""Path scenarios: the length limits of every composed path, and unusual
characters in folders and names."""
import os
import re

from driver.support import (
    CLIENT_STATE,
    MORVEX,
    RC_PATH_TOO_LONG,
    RC_SETUP_COMMAND_FAILED,
    RC_SETUP_NOT_EXTRACTED,
    SENTINEL_ERROR,
    SENTINEL_EXTRA,
    STABLE_GUID,
    SUCCESS_RECORD,
    check,
    check_equal,
    utf16_length,
    win_path,
)
from driver.framework import check_only, check_setup_ran, expected_command_line, scenario


@scenario("core")
def path_limits(s):
    """At the length limits every path the run composes either fits and
    works, or the run ends with its own code having left nothing behind. A
    pre-set client-state key tells a run that created its work directory
    (and so records its failure) from one that stopped before."""
    c = s.context
    key = ("HKCU", CLIENT_STATE + STABLE_GUID)
    sentinel = {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                "InstallerExtraCode1": SENTINEL_EXTRA}
    failure_115 = {"InstallerResult": 1, "InstallerError": RC_SETUP_NOT_EXTRACTED,
                   "InstallerExtraCode1": 0}
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    base = os.path.join(s.dir, "limits")

    # parent: characters of the installer's directory with its final
    # backslash, in ASCII unless a letter is given; total: characters of the
    # installer's path. Setup's path, and a compressed setup's cabinet, take
    # the parent plus 22 characters.
    cases = (
        # The longest parent a work directory is made in: its own path is
        # then 247 characters, the most Windows' CreateDirectoryW takes.
        ("parent of 235 characters", "plain", 235, 259, 0, None, "p"),
        ("parent of 235 characters, compressed setup", "compressed", 235, 259, 0, None, "p"),
        # One more, and the run ends before it makes anything: Wine would
        # create the directory, Windows would refuse every name.
        ("parent of 236 characters", "plain", 236, 259, RC_PATH_TOO_LONG, sentinel, "p"),
        ("parent of 246 characters", "compressed", 246, 259, RC_PATH_TOO_LONG, sentinel, "p"),
        ("parent of 247 characters", "plain", 247, 252, RC_PATH_TOO_LONG, sentinel, "p"),
        # The cabinet library takes its paths in UTF-8 and counts their
        # limit in bytes (Wine's refuses more than 257): a deep folder of
        # two-byte letters fails the expansion well before 260 characters,
        # and the run ends as for any failed expansion, leaving nothing.
        ("cabinet path of 230 characters, beyond 257 bytes in UTF-8", "compressed", 208, 230,
         RC_SETUP_NOT_EXTRACTED, failure_115, "\u00e9"),
    )
    for label, kind, parent, total, code, record, letter in cases:
        with s.case(label):
            folder = folder_of_length(base, parent, label, letter)
            name = name_of_length(total - parent)
            installer = c.place(folder, name, kind)
            check_equal(total, utf16_length(win_path(installer)), "installer path length")
            if code == RC_SETUP_NOT_EXTRACTED:
                cabinet_bytes = len(win_path(folder).encode()) + 1 + 22
                check(cabinet_bytes > 257, f"the cabinet path has only {cabinet_bytes} bytes")
            c.registry.set_values({key: sentinel})
            result = c.run(installer)
            check_equal(code, result.exit_code, f"exit code ({result.describe()})")
            if code == 0:
                check_setup_ran(c, result, installer)
                check_equal(expected_command_line(result.report, installer),
                            result.report["command_line"], "setup's command line")
            else:
                check(result.report is None, "setup ran")
            check_only(folder, [name])
            check_equal(record or dict(sentinel, InstallerExtraCode1=SUCCESS_RECORD),
                        c.registry.values(*key), "client-state values")

    # Wine's CreateProcessW refuses a program path of 260 characters or
    # more, so these installers are started from Linux.
    for total in (260, 300):
        with s.case(f"installer path of {total} characters"):
            folder = folder_of_length(base, 200, f"long {total}")
            name = name_of_length(total - 200)
            installer = c.place(folder, name)
            check_equal(total, utf16_length(win_path(installer)), "installer path length")
            c.registry.set_values({key: sentinel})
            status, report, stderr = c.run_direct(installer)
            check_equal(RC_SETUP_COMMAND_FAILED, status, f"exit status (stderr {stderr[-300:]!r})")
            check(report is None, "setup ran")
            check_only(folder, [name])
            check_equal(sentinel, c.registry.values(*key), "client-state values")


def folder_of_length(base, length, label, letter="p"):
    """Makes a folder whose Windows path, with a final backslash, has
    `length` characters, its own pieces made of `letter` (one UTF-16 unit)."""
    tag = re.sub(r"[^a-z0-9]+", "-", label.lower()).strip("-")
    start = os.path.join(base, tag)
    needed = length - 1 - utf16_length(win_path(start))  # the final backslash
    check(needed >= 2, f"{base} is too long for a folder of {length} characters")
    # Pieces of at most 200 characters and 255 bytes (Linux's limit for a
    # name), each after a slash.
    most = min(200, 255 // len(letter.encode("utf-8")))
    pieces = []
    while needed > 0:
        piece = min(most, needed - 1)
        if needed - 1 - piece == 1:  # never leave a lone slash
            piece -= 1
        pieces.append(letter * piece)
        needed -= piece + 1
    folder = os.path.join(start, *pieces)
    os.makedirs(folder)
    check_equal(length, utf16_length(win_path(folder)) + 1, "folder length")
    return folder


def name_of_length(length):
    return ("installer" + "n" * length)[:length - 4] + ".exe"


@scenario("robustness")
def unusual_paths(s):
    """Folders and names with spaces, accented and CJK letters and a
    character outside the Basic Multilingual Plane: setup runs and finds the
    archive, and the cabinet of a compressed setup is opened through its
    UTF-8 path."""
    c = s.context
    names = (("spaces", os.path.join("with spaces", "more  spaces"), "my installer.exe"),
             ("accents", os.path.join("café é", "Übersicht"), "café.exe"),
             ("CJK", os.path.join("日本", "日本語のフォルダ"), "日本.exe"),
             ("outside the BMP", os.path.join("𝄞 clef", "𝄞𝄞"), "𝄞 setup.exe"))
    for label, sub, name in names:
        for kind in ("plain", "compressed"):
            with s.case(f"{label}, {kind} setup"):
                folder = os.path.join(s.dir, kind, sub)
                installer = c.place(folder, name, kind)
                result = c.run(installer, " --system-level")
                check_equal(0, result.exit_code, f"exit code ({result.describe()})")
                check_setup_ran(c, result, installer)
                check_equal(expected_command_line(result.report, installer, " --system-level"),
                            result.report["command_line"], "setup's command line")
                check_only(folder, [name])
