"""Security scenarios: no window, whatever the outcome; a work directory
that nobody can swap while setup runs."""
import os
import re
import shutil

from driver.support import (
    CLIENT_STATE,
    ERROR_FILE_NOT_FOUND,
    MORVEX,
    RC_ARCHIVE_NOT_FOUND,
    RC_SETUP_NOT_EXTRACTED,
    SENTINEL_ERROR,
    SENTINEL_EXTRA,
    STABLE_GUID,
    check,
    check_equal,
    win_path,
)
from driver.framework import check_only, check_setup_ran, scenario


# Wine's trace channels for windows, message boxes and dialogs.
WINDOW_TRACE = "+pid,+loaddll,+win,+msgbox,+dialog"


def window_traces(stderr, program_path):
    """The trace lines about windows written by the process that loaded
    program_path."""
    pid = None
    quoted = f'"{program_path.lower()}"'
    for line in stderr.splitlines():
        # The trace writes the path with its backslashes doubled.
        if ":trace:loaddll:" in line and quoted in line.lower().replace("\\\\", "\\"):
            pid = line.split(":", 1)[0]
    check(pid is not None, f"no trace of loading {program_path}")
    return [line for line in stderr.splitlines()
            if line.startswith(pid + ":") and re.search(
                r":trace:win:.*CreateWindowEx|:trace:(msgbox|dialog):", line)]


@scenario("security")
def no_window(s):
    """The installer opens no window, neither when setup fails nor when its
    own layout is rejected. Wine traces every window it creates (channels
    win, msgbox and dialog); a program known to create one shows that the
    traces are there."""
    c = s.context
    env = c.environment({"WINEDEBUG": WINDOW_TRACE})
    with s.case("a program that creates a window is seen"):
        _, _, stderr = c.wine(["rundll32.exe", "kernel32.dll,GetTickCount"], env=env)
        check(re.search(r":trace:win:.*CreateWindowEx", stderr),
              "rundll32 created no window that the traces show")
    # A rejected layout is recorded with its detail: the payload that was
    # not found. (Setup's own failure record is checked in result_records.)
    key = ("HKCU", CLIENT_STATE + STABLE_GUID)
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    for label, kind, extra, code, detail in (
            ("setup fails", "plain", {"BRIVEL_PROBE_EXIT": "7"}, 7, None),
            ("no setup in the layout", "no-setup", {}, RC_SETUP_NOT_EXTRACTED,
             ERROR_FILE_NOT_FOUND),
            ("no archive in the layout", "no-archive", {}, RC_ARCHIVE_NOT_FOUND,
             ERROR_FILE_NOT_FOUND)):
        with s.case(label):
            folder = os.path.join(s.dir, kind)
            installer = c.place(folder, f"{kind}.exe", kind)
            if detail is not None:
                c.registry.set_values({key: {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                                             "InstallerExtraCode1": SENTINEL_EXTRA}})
            result = c.run(installer, env=dict(extra, WINEDEBUG=WINDOW_TRACE))
            check_equal(code, result.exit_code, f"exit code ({result.describe()})")
            check_equal([], window_traces(result.stderr, win_path(installer)),
                        "window traces of the installer")
            check_only(folder, [f"{kind}.exe"])
            if detail is not None:
                check_equal({"InstallerResult": 1, "InstallerError": code,
                             "InstallerExtraCode1": detail},
                            c.registry.values(*key), "client-state values")


@scenario("security")
def work_directory_held(s):
    """The work directory is held open from its creation to its removal:
    not even setup, running from it, can rename it (a sharing violation, on
    Windows as here), and the run still ends with setup's code and leaves
    nothing behind."""
    c = s.context
    for kind in ("plain", "compressed"):
        with s.case(kind):
            folder = os.path.join(s.dir, kind)
            installer = c.place(folder, f"{kind}.exe", kind)
            result = c.run(installer, env={"BRIVEL_PROBE_RENAME_OWN_DIRECTORY": "1"})
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
            check_equal("32", result.report["rename_own_directory"],
                        "error of setup's rename of its own work directory")
            check_only(folder, [f"{kind}.exe"])
