"""Planting scenarios: libraries named like the system's own, beside the
installer, in the current directory and where an unexpanded path would
lead, are never loaded by the installer."""
import os
import shutil

from driver.support import check, check_equal, win_path
from driver.framework import check_only, check_setup_ran, scenario


# Decoys: every library a run loads, as Wine's loader trace of both targets
# shows it (WINEDEBUG=+loaddll, a plain and a compressed setup), and the
# classic planting targets, in two sets.
#
# Libraries that Windows keeps in its known set (always mapped from the
# system directory, and with them the libraries they depend on): planted
# with Wine's default load order.
KNOWN_DECOYS = (
    "kernel32", "kernelbase", "advapi32", "sechost", "msvcrt", "ucrtbase", "shell32", "shcore",
    "shlwapi", "user32", "gdi32", "win32u", "imm32", "ole32", "oleaut32", "combase", "rpcrt4",
    "setupapi",
)
# Every other library: Windows looks for it along the search path, so it is
# planted with Wine told to prefer a library of that name that it finds over
# its own copy (WINEDLLOVERRIDES name=n,b), as Windows does; a search that
# looked in the installer's folder or the current directory would load the
# decoy. cabinet, version and zlib1 are in the trace; the rest are the
# targets most often reported.
SEARCHED_DECOYS = (
    "cabinet", "version", "zlib1", "cryptbase", "userenv", "uxtheme", "dwmapi", "propsys",
    "sspicli", "profapi", "apphelp", "ntmarta", "wldp", "winmm", "bcrypt", "cryptsp", "rsaenh",
    "secur32", "wintrust", "crypt32", "msasn1", "windows.storage", "kernel.appcore", "powrprof",
    "cfgmgr32", "comctl32",
)
DECOY_NAMES = KNOWN_DECOYS + SEARCHED_DECOYS
# Where the cabinet library's first candidate, "%WINDIR%\system32\cabinet.dll",
# leads when WINDIR is missing from the environment: a relative path.
UNEXPANDED_CABINET = os.path.join("%WINDIR%", "system32", "cabinet.dll")


def searched_first(names):
    base = os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return {"WINEDLLOVERRIDES": f"{base};{','.join(names)}=n,b" if base
            else f"{','.join(names)}=n,b"}


def plant_decoys(context, folder, names=DECOY_NAMES):
    os.makedirs(folder, exist_ok=True)
    for name in names:
        shutil.copyfile(context.decoy, os.path.join(folder, f"{name}.dll"))


def markers(*folders):
    return sorted(e for f in folders for e in os.listdir(f) if e.endswith(".loaded"))


def copy_wine_program(context, name, folder):
    """Copies one of Wine's own programs into folder; returns its path."""
    _, _, stderr = context.wine(["cmd", "/c", "copy", f"C:\\windows\\system32\\{name}",
                                 win_path(folder) + "\\"])
    path = os.path.join(folder, name)
    check(os.path.exists(path), f"cannot copy Wine's {name} ({stderr})")
    return path


@scenario("security")
def planted_libraries(s):
    """Decoys of every library a run loads and of the classic planting
    targets, beside the installer and in the current directory, are never
    loaded, also not by the expansion of a compressed setup (which loads the
    cabinet library). The calibrations show that a decoy that is loaded says
    so and that these settings make Wine load a planted library."""
    c = s.context
    overrides = searched_first(SEARCHED_DECOYS)
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

    with s.case("a program importing SHELL32 loads the shcore.dll beside it"):
        # The demo's setup imports SHELL32 statically, as the installer once
        # did: Wine resolves shell32's forwarder to shcore through the
        # program's own folder, and under the searched-first order it takes
        # shell32's own dependencies from there too.
        folder = os.path.join(s.dir, "shell32-importer")
        plant_decoys(c, folder)
        importer = os.path.join(folder, "importer.exe")
        shutil.copyfile(os.path.join(os.path.dirname(c.probe), "demo_setup.exe"), importer)
        c.wine([importer], env=c.environment(overrides), cwd=folder)
        check("shcore.dll.loaded" in markers(folder),
              f"the importer loaded no shcore.dll decoy ({markers(folder)})")
        s.note(f"decoys the SHELL32 importer loaded: {markers(folder)}")

    with s.case("a library loaded by name from the program's folder is the decoy"):
        # Wine's own rundll32, copied beside the decoy, loads the cabinet
        # library by name.
        folder = os.path.join(s.dir, "control")
        plant_decoys(c, folder, ["cabinet"])
        rundll32 = copy_wine_program(c, "rundll32.exe", folder)
        c.wine([rundll32, "cabinet.dll,DllMain"], env=c.environment(overrides), cwd=folder)
        check_equal(["cabinet.dll.loaded"], markers(folder), "decoys that were loaded")


@scenario("security")
def environment_without_windows_directory(s):
    """With WINDIR and SYSTEMROOT taken out of the installer's environment,
    the cabinet library's first candidate stays unexpanded, a relative path
    that a loader would look for in the current directory. It is skipped:
    a compressed setup is expanded by the system's library and the run
    succeeds, and the cabinet.dll planted at that relative path is never
    loaded. Wine gives a process SYSTEMROOT back on its own, so the second
    candidate is the one that loads here."""
    c = s.context
    overrides = searched_first(["cabinet"])
    current = os.path.join(s.dir, "current")
    planted = os.path.join(current, os.path.dirname(UNEXPANDED_CABINET))
    plant_decoys(c, planted, ["cabinet"])
    with s.case("compressed setup, WINDIR and SYSTEMROOT removed"):
        folder = os.path.join(s.dir, "installer")
        installer = c.place(folder, "compressed.exe", "compressed")
        result = c.run(installer, cwd=current,
                       env=dict(overrides, BRIVEL_RUNNER_UNSET="WINDIR;SYSTEMROOT"))
        check_equal([], markers(planted), "decoys that were loaded")
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_setup_ran(c, result, installer)
        check_equal("", result.report["windir"], "WINDIR as setup inherited it")
        check_only(folder, ["compressed.exe"])
        s.note(f"SYSTEMROOT as setup inherited it: {result.report['systemroot']!r}")

    with s.case("a load of that relative path from the current directory is the decoy"):
        rundll32 = copy_wine_program(c, "rundll32.exe", current)
        c.wine([rundll32, UNEXPANDED_CABINET.replace("/", "\\") + ",DllMain"],
               env=c.environment(overrides), cwd=current)
        check_equal(["cabinet.dll.loaded"], markers(planted), "decoys that were loaded")
