"""Core scenarios: exit codes, setup's command line, the archive and the
work directory, retired switches, the registry records."""
import os

from driver.support import (
    ARCHIVE_NAME,
    ARCHIVE_TYPE,
    CLIENT_STATE,
    COMMAND_CAPACITY,
    COMMAND_FIXED_TEXT,
    ERROR_BAD_EXE_FORMAT,
    MACHINE_VARIABLE,
    MORVEX,
    RC_SETUP_NOT_STARTED,
    RC_UNSUPPORTED_SWITCH,
    SENTINEL_ERROR,
    SENTINEL_EXTRA,
    SETUP_NAME,
    STABLE_GUID,
    SUCCESS_RECORD,
    WORK_DIR_NAME_LENGTH,
    check,
    check_equal,
    utf16_length,
    win_path,
)
from driver.framework import check_only, check_setup_ran, expected_command_line, scenario


@scenario("core")
def exit_codes_pass_through(s):
    """Setup's exit code leaves the installer unchanged in all 32 bits; each
    run leaves nothing behind."""
    c = s.context
    installer = c.place(os.path.join(s.dir, "exit"), "exit-codes.exe")
    for code in (0, 7, 3010, 0xC0000005):
        with s.case(f"setup exits with 0x{code:X}"):
            result = c.run(installer, env={"BRIVEL_PROBE_EXIT": f"0x{code:X}"})
            check_equal(code, result.exit_code, f"installer's exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
            check_only(os.path.dirname(installer), ["exit-codes.exe"])


@scenario("core")
def setup_command_line(s):
    """Setup's command line: its own quoted path, the three archive switches,
    then the installer's arguments exactly as given, or nothing when they do
    not fit."""
    c = s.context
    folder = os.path.join(s.dir, "cmdline")
    installer = c.place(folder, "command-line.exe")
    quoted = f'"{win_path(installer)}"'

    with s.case("quoted program name and --system-level"):
        result = c.run(installer, " --system-level")
        check_setup_ran(c, result, installer)
        check_equal(expected_command_line(result.report, installer, " --system-level"),
                    result.report["command_line"], "setup's command line")
        check_equal(0, result.exit_code, "exit code")

    with s.case("unquoted program name, three spaces, an argument"):
        result = c.run(installer, command_line=f"{win_path(installer)}   alpha")
        check_setup_ran(c, result, installer)
        check_equal(expected_command_line(result.report, installer, "   alpha"),
                    result.report["command_line"], "setup's command line")

    # Without its closing quotation mark the program name runs to the end of
    # the line: nothing follows it, so nothing is passed on.
    with s.case("program name without its closing quotation mark"):
        result = c.run(installer, command_line=f'"{win_path(installer)} --system-level')
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_setup_ran(c, result, installer)
        check_equal(expected_command_line(result.report, installer),
                    result.report["command_line"], "setup's command line")

    # The composed part has a known length: the work directory's name is
    # fixed in length, so the room left for the arguments is known before
    # the run.
    setup_length = utf16_length(win_path(folder)) + 1 + WORK_DIR_NAME_LENGTH + len(SETUP_NAME)
    composed = (COMMAND_FIXED_TEXT + setup_length + utf16_length(win_path(installer))
                + len(ARCHIVE_NAME) + len(ARCHIVE_TYPE))
    room = COMMAND_CAPACITY - 1 - composed
    for label, length, passed in (("arguments that just fit", room - 1, True),
                                  ("arguments one character too long", room, False),
                                  ("arguments far too long", 2 * COMMAND_CAPACITY, False)):
        with s.case(label):
            argument = ("x" * length)
            result = c.run(installer, command_line=f"{quoted} {argument}")
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
            tail = f" {argument}" if passed else ""
            check_equal(expected_command_line(result.report, installer, tail),
                        result.report["command_line"], "setup's command line")
            check_only(folder, ["command-line.exe"])


@scenario("core")
def archive_and_work_directory(s):
    """Plain and compressed setups run from a work directory beside the
    installer, read the archive inside the installer, and the directory is
    gone when the installer ends."""
    c = s.context
    for kind in ("plain", "compressed"):
        with s.case(f"{kind} setup"):
            folder = os.path.join(s.dir, kind)
            installer = c.place(folder, f"{kind}.exe", kind)
            result = c.run(installer, env={"BRIVEL_PROBE_EXIT": "0"})
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
            check_equal(expected_command_line(result.report, installer),
                        result.report["command_line"], "setup's command line")
            check_only(folder, [f"{kind}.exe"])


@scenario("core")
def retired_switch(s):
    """--cleanup ends the run with 118 before anything is created, run or
    recorded."""
    c = s.context
    folder = os.path.join(s.dir, "retired")
    installer = c.place(folder, "retired.exe")
    key = ("HKCU", CLIENT_STATE + STABLE_GUID)
    sentinel = {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                "InstallerExtraCode1": SENTINEL_EXTRA}
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    c.registry.set_values({key: sentinel})
    with s.case("--cleanup"):
        result = c.run(installer, " --cleanup")
        check_equal(RC_UNSUPPORTED_SWITCH, result.exit_code, f"exit code ({result.describe()})")
        check(result.report is None, "setup ran")
        check_only(folder, ["retired.exe"])
        check_equal(sentinel, c.registry.values(*key), "client-state values")


@scenario("core")
def result_records(s):
    """The record in the client-state key (32-bit view): success and failure
    per user, and under HKEY_LOCAL_MACHINE for a system-level run. A missing
    key is never created."""
    c = s.context
    installer = c.place(os.path.join(s.dir, "records"), "records.exe")
    user = ("HKCU", CLIENT_STATE + STABLE_GUID)
    machine = ("HKLM", CLIENT_STATE + STABLE_GUID)
    c.registry.clear()
    s.defer(lambda: (c.registry.delete("HKCU", MORVEX), c.registry.delete("HKLM", MORVEX)))

    # A non-zero InstallerResult: the success record is written all the same
    # and leaves InstallerResult and InstallerError alone.
    with s.case("success per user"):
        c.registry.set_values({user: {"InstallerResult": 5, "InstallerError": SENTINEL_ERROR,
                                      "InstallerExtraCode1": SENTINEL_EXTRA}})
        result = c.run(installer)
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_equal({"InstallerResult": 5, "InstallerError": SENTINEL_ERROR,
                     "InstallerExtraCode1": SUCCESS_RECORD},
                    c.registry.values(*user), "client-state values")

    with s.case("failure per user (setup exits with 7)"):
        c.registry.set_values({user: {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                                      "InstallerExtraCode1": SENTINEL_EXTRA}})
        result = c.run(installer, env={"BRIVEL_PROBE_EXIT": "7"})
        check_equal(7, result.exit_code, f"exit code ({result.describe()})")
        check_equal({"InstallerResult": 1, "InstallerError": 7, "InstallerExtraCode1": 0},
                    c.registry.values(*user), "client-state values")

    # A result that is not a REG_DWORD counts as none recorded, even when it
    # reads as 1: the failure is recorded over it.
    with s.case("failure per user over a string InstallerResult of 1"):
        c.registry.set_values({user: {"InstallerResult": "1", "InstallerError": SENTINEL_ERROR,
                                      "InstallerExtraCode1": SENTINEL_EXTRA}})
        result = c.run(installer, env={"BRIVEL_PROBE_EXIT": "7"})
        check_equal(7, result.exit_code, f"exit code ({result.describe()})")
        check_equal({"InstallerResult": 1, "InstallerError": 7, "InstallerExtraCode1": 0},
                    c.registry.values(*user), "client-state values")

    # Setup is written out and cannot be started: the start's error is the
    # detail, and the work area goes all the same.
    with s.case("failure per user (setup is not a program)"):
        folder = os.path.join(s.dir, "not-a-program")
        text_setup = c.place(folder, "not-a-program.exe", "not-a-program")
        c.registry.set_values({user: {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                                      "InstallerExtraCode1": SENTINEL_EXTRA}})
        result = c.run(text_setup)
        values = c.registry.values(*user)
        s.note(f"starting a setup that is not a program: exit code {result.exit_code}, "
               f"recorded detail {values and values.get('InstallerExtraCode1')}")
        check_equal(RC_SETUP_NOT_STARTED, result.exit_code, f"exit code ({result.describe()})")
        check(result.report is None, "setup ran")
        check_only(folder, ["not-a-program.exe"])
        check_equal({"InstallerResult": 1, "InstallerError": RC_SETUP_NOT_STARTED,
                     "InstallerExtraCode1": ERROR_BAD_EXE_FORMAT},
                    values, "client-state values")

    # The updater makes the client-state key; the installer only opens it.
    # Its parent is there, so only the missing key itself stops the open.
    parent = ("HKCU", CLIENT_STATE.rstrip("\\"))
    for code in (7, 0):
        with s.case(f"no client-state key (setup exits with {code})"):
            c.registry.delete(*user)
            result = c.run(installer, env={"BRIVEL_PROBE_EXIT": str(code)})
            check_equal(code, result.exit_code, f"exit code ({result.describe()})")
            check_equal([], c.registry.subkeys(*parent), "keys under the client-state key's parent")

    untouched = {"InstallerResult": 0, "InstallerError": SENTINEL_ERROR,
                 "InstallerExtraCode1": SENTINEL_EXTRA}
    # Only the single character 1 in the machine variable asks for a
    # system-level run.
    for label, arguments, env, system_level in (
            ("--system-level", " --system-level", {}, True),
            (f"{MACHINE_VARIABLE}=1", "", {MACHINE_VARIABLE: "1"}, True),
            (f"{MACHINE_VARIABLE}=10", "", {MACHINE_VARIABLE: "10"}, False),
            (f"{MACHINE_VARIABLE}=0", "", {MACHINE_VARIABLE: "0"}, False)):
        level = "at system level" if system_level else "per user"
        with s.case(f"success {level} ({label})"):
            c.registry.set_values({user: untouched, machine: untouched})
            result = c.run(installer, arguments, env=env)
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            recorded, other = (machine, user) if system_level else (user, machine)
            check_equal(dict(untouched, InstallerExtraCode1=SUCCESS_RECORD),
                        c.registry.values(*recorded), f"{recorded[0]} client-state values")
            check_equal(untouched, c.registry.values(*other), f"{other[0]} client-state values")
