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
    failure_108 = {"InstallerResult": 1, "InstallerError": RC_PATH_TOO_LONG,
                   "InstallerExtraCode1": 0}
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    base = os.path.join(s.dir, "limits")

    failure_115 = {"InstallerResult": 1, "InstallerError": RC_SETUP_NOT_EXTRACTED,
                   "InstallerExtraCode1": 0}

    # parent: characters of the installer's directory with its final
    # backslash; total: characters of the installer's path. Setup's path,
    # and a compressed setup's cabinet, take the parent plus 22 characters.
    cases = (
        ("setup path of 259 characters", "plain", 237, 259, 0, None),
        # The work directory is made, setup's path does not fit.
        ("setup path of 260 characters", "plain", 238, 259, RC_PATH_TOO_LONG, failure_108),
        # Wine's cabinet library refuses a cabinet path of more than 257
        # characters (Windows' has limits of its own); the installer then
        # ends as for any failed expansion, leaving nothing.
        ("cabinet path of 257 characters", "compressed", 235, 259, 0, None),
        ("cabinet path of 258 characters, beyond Wine's cabinet library", "compressed", 236, 259,
         RC_SETUP_NOT_EXTRACTED, failure_115),
        ("cabinet path of 260 characters", "compressed", 238, 259, RC_PATH_TOO_LONG, failure_108),
        # The longest parent a work directory fits in, and one more.
        ("parent of 246 characters", "plain", 246, 259, RC_PATH_TOO_LONG, failure_108),
        ("parent of 247 characters", "plain", 247, 252, RC_PATH_TOO_LONG, sentinel),
    )
    for label, kind, parent, total, code, record in cases:
        with s.case(label):
            folder = folder_of_length(base, parent, label)
            name = name_of_length(total - parent)
            installer = c.place(folder, name, kind)
            check_equal(total, utf16_length(win_path(installer)), "installer path length")
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


def folder_of_length(base, length, label):
    """Makes a folder whose Windows path, with a final backslash, has
    `length` characters (ASCII only, so characters and bytes agree)."""
    tag = re.sub(r"[^a-z0-9]+", "-", label.lower()).strip("-")
    start = os.path.join(base, tag)
    needed = length - 1 - utf16_length(win_path(start))  # the final backslash
    check(needed >= 2, f"{base} is too long for a folder of {length} characters")
    # Pieces of at most 200 characters, each after a slash.
    pieces = []
    while needed > 0:
        piece = min(200, needed - 1)
        if needed - 1 - piece == 1:  # never leave a lone slash
            piece -= 1
        pieces.append("p" * piece)
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
