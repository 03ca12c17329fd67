"""Security scenarios: planted libraries, no window."""
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


# Libraries a loader might look for beside a program, in two sets.
#
# Libraries that Windows keeps among its known libraries (always loaded
# from the system directory, and with them whatever they import), and those
# that Wine's own copies of the installer's imports load as they start:
# they are planted with Wine's default load order, under which Wine takes
# its own copy.
KNOWN_DECOYS = (
    "shell32", "advapi32", "kernelbase", "sechost", "msvcrt", "ucrtbase", "user32", "gdi32",
    "win32u", "imm32", "shlwapi", "ole32", "oleaut32", "combase", "rpcrt4", "setupapi",
    "version", "zlib1",
)
# Libraries that a program loads at run time, by name, from wherever the
# search finds them first: the classic planting targets. They are planted
# with Wine told to prefer a library of the name that it finds over its own
# copy (WINEDLLOVERRIDES name=n,b), as Windows does, so a search that looked
# in the installer's folder or the current directory would load the decoy.
SEARCHED_DECOYS = (
    "cabinet", "userenv", "cryptbase", "uxtheme", "dwmapi", "propsys", "sspicli", "profapi",
    "apphelp", "ntmarta", "wldp", "winmm", "bcrypt", "cryptsp", "rsaenh", "secur32", "wintrust",
    "crypt32", "msasn1", "windows.storage", "kernel.appcore", "powrprof", "cfgmgr32", "comctl32",
)
DECOY_NAMES = KNOWN_DECOYS + SEARCHED_DECOYS
# Wine 8's shell32 forwards CommandLineToArgvW to shcore, and Wine resolves
# that forwarder through the program's own directory first (it keeps no
# list of known libraries), so a shcore.dll beside any program that imports
# the function is loaded. Windows loads shcore, one of its known libraries,
# from the system directory only.
WINE_ONLY_PLANTABLE = ("shcore",)


def searched_first_overrides():
    base = os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return f"{base};{','.join(SEARCHED_DECOYS)}=n,b" if base else f"{','.join(SEARCHED_DECOYS)}=n,b"


def plant_decoys(context, folder):
    os.makedirs(folder, exist_ok=True)
    for name in DECOY_NAMES:
        shutil.copyfile(context.decoy, os.path.join(folder, f"{name}.dll"))


def markers(*folders):
    return sorted(e for f in folders for e in os.listdir(f) if e.endswith(".loaded"))


@scenario("security")
def planted_libraries(s):
    """Decoy libraries named like system libraries, beside the installer and
    in the current directory, are never loaded, also not by the expansion of
    a compressed setup (which loads the cabinet library)."""
    c = s.context
    s.note("not planted: " + ", ".join(f"{n}.dll" for n in WINE_ONLY_PLANTABLE)
           + " (Wine 8 loads it from the program's directory when it resolves shell32's "
             "CommandLineToArgvW forwarder; Windows keeps it among its known libraries)")
    overrides = {"WINEDLLOVERRIDES": searched_first_overrides()}
    current = os.path.join(s.dir, "current")
    plant_decoys(c, current)
    for kind in ("plain", "compressed"):
        with s.case(f"{kind} setup"):
            folder = os.path.join(s.dir, kind)
            installer = c.place(folder, f"{kind}.exe", kind)
            plant_decoys(c, folder)
            result = c.run(installer, cwd=current, env=overrides)
            check_equal([], markers(folder, current), "decoys that were loaded")
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
            check_equal(win_path(current), result.report["current_directory"],
                        "setup's current directory")
            check_only(folder, [f"{kind}.exe"] + [f"{n}.dll" for n in DECOY_NAMES])

    # The cases above prove something only if a decoy that is loaded says
    # so, and if these settings make Wine load a planted library: Wine's own
    # rundll32, copied beside the decoys, loads the cabinet library by name.
    with s.case("a library loaded by name from the program's folder is the decoy"):
        folder = os.path.join(s.dir, "control")
        plant_decoys(c, folder)
        _, _, stderr = c.wine(["cmd", "/c", "copy", "C:\\windows\\system32\\rundll32.exe",
                               win_path(folder) + "\\"])
        check(os.path.exists(os.path.join(folder, "rundll32.exe")),
              f"cannot copy Wine's rundll32 ({stderr})")
        c.wine([os.path.join(folder, "rundll32.exe"), "cabinet.dll,DllMain"],
               env=c.environment(overrides), cwd=folder)
        check("cabinet.dll.loaded" in markers(folder),
              f"the decoy left no marker ({markers(folder)})")


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
