#!/usr/bin/env python3
"""End-to-end scenarios: whole installers, run the way a user or the updater
runs them, for one target (the ARM64 executable under tools/run-arm64 or its
x64 twin under tools/run-x64).

  tests/scenarios/scenarios.py --arch x64|arm64 --build-dir DIR
                               [--group core|robustness|security] [--only NAME]

Each scenario packages installers with tools/package (the build's kit) from
the setup probe (build/<arch>/helpers/setup_probe.exe) and a small archive,
in its own folder under /tmp, runs them through the exit-code runner (which
reads all 32 bits of an exit code), reads the probe's reports, looks at the
file system from Linux (Wine's drive Z: is /) and reads and writes the
registry with Wine's reg.exe in the 32-bit view.

The registry subtrees "Software\\Morvex" under HKEY_CURRENT_USER and
HKEY_LOCAL_MACHINE (32-bit view) are saved, emptied for the run and put back
afterwards: the scenarios need removal enabled (no "BrivelInstallerCleanup")
and client-state keys of their own making. Tests that touch those keys in the
same Wine prefix must not run at the same time (CTest: RESOURCE_LOCK
brivel_registry).

Prints one line per case (PASS, FAIL with details, SKIP with the reason),
then a final line "N passed, M failed"; exits with 1 when anything failed.
"""
import argparse
import fcntl
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(REPO, "tools", "package")

CLIENT_STATE = "Software\\Morvex\\Update\\ClientState\\"
STABLE_GUID = "{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}"
MORVEX = "Software\\Morvex"

# The installer's own exit codes that these scenarios provoke.
RC_SETUP_NOT_EXTRACTED = 115
RC_ARCHIVE_NOT_FOUND = 112
RC_SETUP_COMMAND_FAILED = 105
RC_PATH_TOO_LONG = 108
RC_UNSUPPORTED_SWITCH = 118
RC_SETUP_NOT_STARTED = 124

# Why starting a setup that is not a program fails (ARM64 Wine says so too).
ERROR_BAD_EXE_FORMAT = 193
# Why an archive or setup is not found in the installer.
ERROR_FILE_NOT_FOUND = 2

COMMAND_CAPACITY = 1300
# The fixed text of setup's command line around setup's path, the
# installer's path, the archive's name and its type.
COMMAND_FIXED_TEXT = 81
ARCHIVE_NAME = "BRIVEL.7Z"
ARCHIVE_TYPE = "BN"
WORK_DIR_PATTERN = r"BV_[0-9A-F]{5}\.tmp"
# "BV_" + five digits + ".tmp" + backslash.
WORK_DIR_NAME_LENGTH = 13
SETUP_NAME = "setup.exe"

# The success record: 0x30000 plus the waits of the slowest removal.
SUCCESS_RECORD = 0x30000
REMOVAL_ATTEMPT_LIMIT = 100

# Registry values set before a run, so that a run that records nothing is
# told apart from one that records zeros.
SENTINEL_ERROR = 0xAAAA
SENTINEL_EXTRA = 0xBBBB

# Deadlock guards, not timings: the longest any single Windows program or
# wait may take before the scenario gives up on it.
PROGRAM_TIMEOUT = 300
POLL_LIMIT = 180
POLL_INTERVAL = 0.05

PROBE_ENVIRONMENT = ("BRIVEL_PROBE_REPORT", "BRIVEL_PROBE_EXIT", "BRIVEL_PROBE_HOLD_MS",
                     "BRIVEL_PROBE_WAIT_FILE")
MACHINE_VARIABLE = "MorvexUpdateIsMachine"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(expected, actual, what):
    if expected != actual:
        raise Failure(f"{what}: expected {expected!r}, got {actual!r}")


def win_path(path):
    """The Windows path of a Linux path (Wine's drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def linux_path(path):
    check(path[:2].upper() == "Z:", f"not a path on drive Z: {path!r}")
    return path[2:].replace("\\", "/")


def utf16_length(text):
    return len(text.encode("utf-16-le")) // 2


def fnv1a64(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{value:016x}"


def listing(folder):
    """Every entry below folder, relative, sorted; links are listed, never followed."""
    entries = []
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            entries.append(os.path.relpath(os.path.join(root, name), folder))
    return sorted(entries)


def poll(condition, what, limit=POLL_LIMIT):
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"gave up waiting for {what}")
        time.sleep(POLL_INTERVAL)


def unescape(value):
    out = []
    i = 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value):
            n = value[i + 1]
            if n == "x" and i + 3 < len(value):
                out.append(chr(int(value[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append({"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class Report:
    """What the setup probe recorded about its run."""

    def __init__(self, text):
        self.values = {}
        self.siblings = []
        for line in text.split("\n"):
            if "=" not in line:
                continue
            key, value = line.split("=", 1)
            value = unescape(value)
            if key == "sibling":
                self.siblings.append(value)
            else:
                self.values[key] = value

    def __getitem__(self, key):
        return self.values.get(key)

    @property
    def work_dir(self):
        """The probe's own directory (Windows form, no final backslash)."""
        return self["own_path"].rsplit("\\", 1)[0]


def report_complete(path):
    """The report once the probe has written all of it, else None."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    if text.endswith("\n") and ("\narchive_fnv=" in text or "\narchive_error=" in text):
        return Report(text)
    return None


class RunResult:
    def __init__(self, exit_code, report, stdout, stderr):
        self.exit_code = exit_code
        self.report = report
        self.stdout = stdout
        self.stderr = stderr

    def describe(self):
        code = "none" if self.exit_code is None else f"0x{self.exit_code:08X}"
        return f"exit code {code}; runner stdout {self.stdout!r}; stderr {self.stderr[-600:]!r}"


class Spawned:
    """A program started under Wine, its output going to two files."""

    def __init__(self, process, out, err):
        self.process = process
        self.out = out
        self.err = err
        self.result = None

    def running(self):
        return self.process.poll() is None

    def finish(self):
        """Waits for the end: (status, stdout, stderr) with the output decoded."""
        if self.result is None:
            self.result = self._finish()
        return self.result

    def _finish(self):
        try:
            status = self.process.wait(timeout=PROGRAM_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure(f"{self.process.args} did not end")
        texts = []
        for f in (self.out, self.err):
            f.seek(0)
            texts.append(f.read().decode("utf-8", "replace"))
            f.close()
        return status, texts[0], texts[1]


class PendingRun:
    """An installer started in the background through the exit-code runner."""

    def __init__(self, spawned, report_path):
        self.spawned = spawned
        self.report_path = report_path

    def report(self):
        return report_complete(self.report_path)

    def wait_report(self):
        """Waits until setup has written its report; fails when the run ends
        without one."""
        def ready():
            report = self.report()
            if report is None and not self.spawned.running():
                result = self.wait()
                raise Failure(f"the run ended before setup reported ({result.describe()})")
            return report
        return poll(ready, "setup to run")

    def wait(self):
        _, stdout, stderr = self.spawned.finish()
        return make_result(stdout, stderr, self.report_path)


def make_result(stdout, stderr, report_path):
    match = re.search(r"exit_code=0x([0-9A-F]{8})", stdout)
    exit_code = int(match.group(1), 16) if match else None
    report = report_complete(report_path) if report_path else None
    if report is None and report_path and os.path.exists(report_path):
        with open(report_path, encoding="utf-8") as f:
            report = Report(f.read())
    return RunResult(exit_code, report, stdout, stderr)


class Context:
    """One driver run: the target, its programs and a private folder under /tmp."""

    def __init__(self, arch, build_dir):
        self.arch = arch
        self.build_dir = os.path.abspath(build_dir)
        self.runner = os.path.join(REPO, "tools", f"run-{arch}")
        helpers = os.path.join(self.build_dir, "helpers")
        self.probe = os.path.join(helpers, "setup_probe.exe")
        self.exit_code_runner = os.path.join(helpers, "exit_code_runner.exe")
        self.decoy = os.path.join(helpers, "decoy.dll")
        self.kit = os.path.join(self.build_dir, "kit")
        for needed in (self.probe, self.exit_code_runner, self.decoy,
                       os.path.join(self.kit, "kit.json")):
            if not os.path.exists(needed):
                raise SystemExit(f"scenarios: {needed} is missing; build the helpers and the kit")
        self.root = tempfile.mkdtemp(prefix=f"brivel-scenarios-{arch}-", dir="/tmp")
        self.control = os.path.join(self.root, "control")
        os.makedirs(self.control)
        self.counter = 0
        # An archive whose size is not a multiple of anything in particular.
        self.archive = os.path.join(self.root, "payload", "brivel.7z")
        os.makedirs(os.path.dirname(self.archive))
        data = bytes((i * 7919 + (i >> 5) * 31) & 0xFF for i in range(70001))
        with open(self.archive, "wb") as f:
            f.write(data)
        self.archive_size = len(data)
        self.archive_fnv = fnv1a64(data)
        self.packaged = {}
        self.registry = Registry(self)

    def unique(self, stem):
        self.counter += 1
        return os.path.join(self.control, f"{stem}-{self.counter}")

    def environment(self, extra=None):
        """The caller's environment without anything that steers the probe or the installer."""
        env = {k: v for k, v in os.environ.items()
               if k.upper() not in PROBE_ENVIRONMENT and k.upper() != MACHINE_VARIABLE.upper()}
        env.update(extra or {})
        return env

    def spawn(self, args, env=None, cwd=None):
        """Starts a Windows program (or Wine builtin) under this target's Wine.

        Its output goes to files, not pipes: a Wine server or service that a
        command happens to start keeps that command's pipes open long after
        the command ended."""
        out = open(self.unique("stdout"), "w+b")
        err = open(self.unique("stderr"), "w+b")
        process = subprocess.Popen([self.runner] + list(args), env=env or self.environment(),
                                   cwd=cwd or self.control, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err)
        return Spawned(process, out, err)

    def wine(self, args, env=None, cwd=None):
        """Runs a Windows program to its end: (status, stdout, stderr)."""
        return self.spawn(args, env, cwd).finish()

    def installer(self, kind="plain"):
        """A packaged installer of one kind, linked once per driver run.

        plain: setup and archive; compressed: setup as a cabinet; no-setup and
        no-archive: layouts the installer rejects; not-a-program: a text file
        as setup, which is written out and cannot be started."""
        if kind not in self.packaged:
            out = os.path.join(self.root, "packaged", f"{kind}.exe")
            args = [sys.executable, PACKAGE, "--arch", self.arch, "--kit", self.kit,
                    "--output", out]
            if kind == "plain":
                args += ["--setup", self.probe, "--archive", self.archive]
            elif kind == "compressed":
                args += ["--setup", self.probe, "--compress-setup", "--archive", self.archive]
            elif kind == "no-setup":
                args += ["--archive", self.archive, "--unchecked"]
            elif kind == "no-archive":
                args += ["--setup", self.probe, "--unchecked"]
            elif kind == "not-a-program":
                text = os.path.join(self.root, "payload", "not-a-program.txt")
                with open(text, "w") as f:
                    f.write("This text stands where setup's program should be.\r\n")
                args += ["--setup", text, "--archive", self.archive]
            else:
                raise ValueError(kind)
            done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if done.returncode != 0:
                output = done.stdout.decode(errors="replace")
                raise Failure(f"tools/package {kind} failed: {output}")
            self.packaged[kind] = out
        return self.packaged[kind]

    def place(self, folder, name, kind="plain"):
        """Copies an installer of a kind into folder under name; returns its path."""
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        shutil.copyfile(self.installer(kind), path)
        return path

    def start(self, installer, arguments="", command_line=None, env=None, cwd=None,
              wait_file=None):
        """Starts an installer through the exit-code runner; returns a PendingRun.

        The command line is the installer's quoted path plus arguments unless
        command_line gives it whole."""
        if command_line is None:
            command_line = f'"{win_path(installer)}"{arguments}'
        command_file = self.unique("command") + ".txt"
        with open(command_file, "w", encoding="utf-8", newline="") as f:
            f.write(command_line)
        report_path = self.unique("report") + ".txt"
        extra = {"BRIVEL_PROBE_REPORT": win_path(report_path)}
        if wait_file:
            extra["BRIVEL_PROBE_WAIT_FILE"] = win_path(wait_file)
        extra.update(env or {})
        spawned = self.spawn([self.exit_code_runner, win_path(installer), win_path(command_file)],
                             env=self.environment(extra), cwd=cwd)
        return PendingRun(spawned, report_path)

    def run(self, installer, arguments="", **kwargs):
        return self.start(installer, arguments, **kwargs).wait()

    def run_direct(self, installer, env=None):
        """Starts an installer straight from Linux (no CreateProcessW, which
        refuses a program path of 260 characters or more); only the low 8 bits
        of its exit code are visible."""
        report_path = self.unique("report") + ".txt"
        extra = {"BRIVEL_PROBE_REPORT": win_path(report_path)}
        extra.update(env or {})
        status, _, stderr = self.wine([installer], env=self.environment(extra))
        report = None
        if os.path.exists(report_path):
            with open(report_path, encoding="utf-8") as f:
                report = Report(f.read())
        return status, report, stderr

    def close(self):
        self.registry.restore()
        shutil.rmtree(self.root, ignore_errors=True)


class Registry:
    """The client-state keys through Wine's reg.exe, always in the 32-bit view.

    On first use the "Software\\Morvex" subtrees of both roots are exported
    and deleted; restore() deletes them again and imports what was saved."""

    ROOTS = ("HKCU", "HKLM")
    LONG_ROOT = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}

    def __init__(self, context):
        self.context = context
        self.saved = None  # root -> export file or None

    def reg(self, *args):
        return self.context.wine(["reg", *args, "/reg:32"])

    def clear(self):
        """Saves and empties both subtrees (once per driver run)."""
        if self.saved is not None:
            return
        self.saved = {}
        for root in self.ROOTS:
            export = self.context.unique(f"saved-{root}") + ".reg"
            status, _, _ = self.reg("export", f"{root}\\{MORVEX}", win_path(export), "/y")
            self.saved[root] = export if status == 0 else None
            if self.saved[root]:
                self.delete(root, MORVEX)

    def restore(self):
        if self.saved is None:
            return
        for root in self.ROOTS:
            self.delete(root, MORVEX)
            if self.saved.get(root):
                status, _, _ = self.reg("import", win_path(self.saved[root]))
                if status != 0:
                    print(f"WARNING: could not put back {root}\\{MORVEX} from {self.saved[root]}")
        self.saved = None

    def delete(self, root, path):
        self.reg("delete", f"{root}\\{path}", "/f")

    def set_values(self, keys):
        """Creates keys with values in one import: {(root, path): {name: value}},
        an int making a REG_DWORD and a str a REG_SZ."""
        lines = ["Windows Registry Editor Version 5.00", ""]
        for (root, path), values in keys.items():
            lines.append(f"[{self.LONG_ROOT[root]}\\{path}]")
            for name, value in values.items():
                if isinstance(value, str):
                    lines.append(f'"{name}"="{value}"')
                else:
                    lines.append(f'"{name}"=dword:{value:08x}')
            lines.append("")
        file = self.context.unique("set") + ".reg"
        with open(file, "w", encoding="utf-8", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        status, _, stderr = self.reg("import", win_path(file))
        check(status == 0, f"reg import failed: {stderr}")

    def values(self, root, path):
        """The key's values as {name: int or str}, or None when the key is missing."""
        status, stdout, _ = self.reg("query", f"{root}\\{path}")
        if status != 0:
            return None
        values = {}
        for line in stdout.splitlines():
            match = re.match(r"^    (.+?)    (REG_[A-Z_]+)    ?(.*)$", line)
            if not match:
                continue
            name, kind, data = match.groups()
            if name == "(Default)":
                continue
            values[name] = int(data, 16) if kind == "REG_DWORD" else data
        return values

    def subkeys(self, root, path):
        """The names of the key's subkeys, sorted, or None when the key is missing."""
        status, stdout, _ = self.reg("query", f"{root}\\{path}")
        if status != 0:
            return None
        prefix = f"{self.LONG_ROOT[root]}\\{path}\\".lower()
        return sorted(line[len(prefix):] for line in stdout.splitlines()
                      if line.lower().startswith(prefix))


# ---------------------------------------------------------------- the driver

SCENARIOS = []


def scenario(group):
    def register(function):
        SCENARIOS.append((group, function.__name__, function))
        return function
    return register


class Scenario:
    """One scenario's folder, its cases and what it must undo."""

    def __init__(self, context, name):
        self.context = context
        self.name = name
        self.dir = os.path.join(context.root, name)
        os.makedirs(self.dir)
        self.passed = 0
        self.failed = 0
        self.cleanups = []

    def defer(self, function):
        self.cleanups.append(function)

    def case(self, label):
        return Case(self, label)

    def note(self, text):
        print(f"NOTE {self.context.arch} {self.name}: {text}", flush=True)

    def skip(self, label, reason):
        print(f"SKIP {self.context.arch} {self.name}: {label}: {reason}", flush=True)

    def finish(self):
        for function in reversed(self.cleanups):
            try:
                function()
            except Exception as error:  # cleaning up must not hide the result
                print(f"WARNING {self.name}: cleanup failed: {error}")
        shutil.rmtree(self.dir, ignore_errors=True)


class Case:
    def __init__(self, scenario_, label):
        self.scenario = scenario_
        self.label = label

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        s = self.scenario
        where = f"{s.context.arch} {s.name}: {self.label}"
        if kind is None:
            s.passed += 1
            print(f"PASS {where}", flush=True)
        elif issubclass(kind, Failure):
            s.failed += 1
            print(f"FAIL {where}\n    {error}", flush=True)
        elif issubclass(kind, Exception):
            s.failed += 1
            detail = "".join(traceback.format_exception(kind, error, trace))
            print(f"FAIL {where}\n    {detail}", flush=True)
        else:
            return False
        return True


# ---------------------------------------------------------------- shared checks

def expected_command_line(report, installer, tail=""):
    return (f'"{report["own_path"]}" --mini-installer-path="{win_path(installer)}"'
            f' --archive-resource-name="{ARCHIVE_NAME}" --archive-resource-type="{ARCHIVE_TYPE}"'
            f"{tail}")


def check_setup_ran(context, result, installer):
    """Setup ran from a fresh work directory beside the installer, alone in
    it, and read the archive through its switches."""
    check(result.report is not None, f"setup did not run ({result.describe()})")
    report = result.report
    folder = win_path(os.path.dirname(installer))
    pattern = re.escape(folder) + r"\\" + WORK_DIR_PATTERN + r"\\" + re.escape(SETUP_NAME)
    check(re.fullmatch(pattern, report["own_path"] or ""),
          f"setup ran as {report['own_path']!r}, not from a work directory in {folder!r}")
    check_equal([SETUP_NAME], report.siblings, "entries of the work directory while setup ran")
    check_equal("1", report["archive_opened"],
                f"archive opened through the switches ({report['archive_error']})")
    check_equal(str(context.archive_size), report["archive_size"], "archive size")
    check_equal(context.archive_fnv, report["archive_fnv"], "archive checksum")


def check_only(folder, names, when="after the run"):
    check_equal(sorted(names), listing(folder), f"contents of {folder} {when}")


# ---------------------------------------------------------------- core

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


# ---------------------------------------------------------------- paths

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


# ---------------------------------------------------------------- robustness

CONCURRENT_RUNS = 8


@scenario("robustness")
def concurrent_runs(s):
    """Eight installers started at once from one installer file: all hold
    their own work directories at the same moment, none sees another's, all
    succeed and nothing is left."""
    c = s.context
    folder = os.path.join(s.dir, "together")
    installer = c.place(folder, "shared.exe")
    go = os.path.join(s.dir, "go")
    s.defer(lambda: open(go, "w").close())
    with s.case(f"{CONCURRENT_RUNS} runs at once"):
        runs = [c.start(installer, wait_file=go) for _ in range(CONCURRENT_RUNS)]
        try:
            # Every setup waits for the go file: all eight work directories
            # exist together before any run goes on.
            reports = [r.wait_report() for r in runs]
            present = [e for e in listing(folder) if re.fullmatch(WORK_DIR_PATTERN, e)]
            check_equal(CONCURRENT_RUNS, len(present),
                        f"work directories while the setups run ({present})")
        finally:
            open(go, "w").close()
            results = [r.wait() for r in runs]
        for result in results:
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
        directories = {r.work_dir for r in reports}
        check_equal(CONCURRENT_RUNS, len(directories), "distinct work directories")
        check_only(folder, ["shared.exe"])


def processes_with(text, exclude=()):
    """Linux process ids whose command line holds text and none of exclude."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if text in line and not any(x in line for x in exclude):
            found.append(int(entry))
    return found


@scenario("robustness")
def interrupted_run(s):
    """An installer ended while setup runs leaves its work directory; the
    next run from the same folder makes a new one and neither enters nor
    removes the old one."""
    c = s.context
    folder = os.path.join(s.dir, "interrupted")
    name = f"interrupted-{os.getpid()}-{c.arch}.exe"
    installer = c.place(folder, name)
    go = os.path.join(s.dir, "go")
    s.defer(lambda: open(go, "w").close())

    with s.case("installer ended while setup runs"):
        first = c.start(installer, wait_file=go)
        try:
            report = first.wait_report()
            # The installer's own process, not the runner that started it
            # (its arguments name the installer too) nor setup (its switches
            # do).
            pids = poll(lambda: processes_with(name, ("exit_code_runner", "--mini-installer-path")),
                        "the installer's process")
            check_equal(1, len(pids), f"installer processes {pids}")
            os.kill(pids[0], signal.SIGKILL)
            first.wait()
        finally:
            open(go, "w").close()
        old_dir = linux_path(report.work_dir)
        # Setup goes on to its end by itself; wait for it before looking.
        poll(lambda: not processes_with(os.path.basename(old_dir)), "setup to end")
        check_equal([SETUP_NAME], listing(old_dir), "the abandoned work directory")
        check_only(folder, [name, os.path.basename(old_dir),
                            os.path.join(os.path.basename(old_dir), SETUP_NAME)])

    with s.case("next run leaves the abandoned directory alone"):
        old_setup = os.path.join(old_dir, SETUP_NAME)
        before = os.stat(old_setup)
        before_dir = os.stat(old_dir)
        with open(old_setup, "rb") as f:
            old_bytes = f.read()
        result = c.run(installer)
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_setup_ran(c, result, installer)
        check(linux_path(result.report.work_dir) != old_dir,
              f"the second run used the abandoned directory {old_dir}")
        check_only(folder, [name, os.path.basename(old_dir),
                            os.path.join(os.path.basename(old_dir), SETUP_NAME)])
        after = os.stat(old_setup)
        check_equal((before.st_ino, before.st_size, before.st_mtime_ns),
                    (after.st_ino, after.st_size, after.st_mtime_ns), "the abandoned setup.exe")
        check_equal(before_dir.st_ino, os.stat(old_dir).st_ino, "the abandoned directory")
        with open(old_setup, "rb") as f:
            check(f.read() == old_bytes, "the abandoned setup.exe changed")


# Links that Windows calls make: mklink /d (CreateSymbolicLinkW) and
# mklink /j (a junction, FSCTL_SET_REPARSE_POINT).
WINDOWS_LINKS = {"symbolic link": "/d", "junction": "/j"}


def make_windows_link(c, kind, link, target):
    c.wine(["cmd", "/c", f'mklink {WINDOWS_LINKS[kind]} "{win_path(link)}" "{win_path(target)}"'])
    return os.path.lexists(link)


@scenario("robustness")
def links_in_work_directory(s):
    """A link that setup leaves in its work directory is never followed: its
    target and everything under it stay as they were."""
    c = s.context
    scratch = os.path.join(s.dir, "can-wine-link")
    os.makedirs(os.path.join(scratch, "target"))
    windows_links = {}
    for kind in WINDOWS_LINKS:
        if make_windows_link(c, kind, os.path.join(scratch, kind.replace(" ", "-")),
                             os.path.join(scratch, "target")):
            windows_links[kind] = f"windows {kind}".replace(" ", "-")
        else:
            s.skip(f"{kind} made by Windows calls",
                   "this Wine cannot make one (Wine 8: CreateSymbolicLinkW is a stub that "
                   "reports success and makes nothing, FSCTL_SET_REPARSE_POINT is not "
                   "implemented); links are planted as Unix symbolic links from Linux instead")
    # Wine resolves a Unix symbolic link when it opens it (its server keeps
    # the resolved name), so a delete-on-close through a link deletes the
    # target: a link at setup's own path, which the installer deletes, would
    # show Wine's behaviour, not the installer's. On Windows the deletion
    # opens the link itself (FILE_FLAG_OPEN_REPARSE_POINT).
    s.skip("link at setup's own path",
           "Wine follows a Unix symbolic link when it deletes one, whatever the open flags "
           "say, so a link in place of setup.exe cannot be shown to go without its target")

    # Links under other names: the installer removes only what it wrote, so
    # the links stay, and with them the work directory (the removal of a
    # directory that is not empty gives up after its last attempt, which the
    # success record shows).
    key = ("HKCU", CLIENT_STATE + STABLE_GUID)
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    folder = os.path.join(s.dir, "links")
    installer = c.place(folder, "links.exe")
    target = os.path.join(s.dir, "target")
    os.makedirs(os.path.join(target, "inner"))
    for path, text in (("file.txt", "keep"), (os.path.join("inner", "deep.txt"), "keep too")):
        with open(os.path.join(target, path), "w") as f:
            f.write(text)
    target_before = snapshot(target)
    links = {"data": target, "notes.txt": os.path.join(target, "file.txt")}
    go = os.path.join(s.dir, "go")
    s.defer(lambda: open(go, "w").close())
    with s.case("links to a directory and a file beside setup"):
        c.registry.set_values({key: {"InstallerResult": 0}})
        run = c.start(installer, wait_file=go)
        try:
            work_dir = linux_path(run.wait_report().work_dir)
            for name, link_target in links.items():
                os.symlink(link_target, os.path.join(work_dir, name))
            for kind, name in windows_links.items():
                check(make_windows_link(c, kind, os.path.join(work_dir, name), target),
                      f"cannot make a {kind} in the work directory")
        finally:
            open(go, "w").close()
            result = run.wait()
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_equal(target_before, snapshot(target), "the links' target")
        check_equal(sorted(list(links) + list(windows_links.values())),
                    sorted(os.listdir(work_dir)), "what is left of the work directory")
        for name, link_target in links.items():
            check_equal(link_target, os.readlink(os.path.join(work_dir, name)), f"link {name}")
        check_equal({"InstallerResult": 0,
                     "InstallerExtraCode1": SUCCESS_RECORD + REMOVAL_ATTEMPT_LIMIT - 1},
                    c.registry.values(*key), "client-state values")


def snapshot(folder):
    """Every entry below folder with its type and content."""
    state = {}
    for entry in listing(folder):
        path = os.path.join(folder, entry)
        if os.path.islink(path):
            state[entry] = ("link", os.readlink(path))
        elif os.path.isdir(path):
            state[entry] = ("dir",)
        else:
            with open(path, "rb") as f:
                state[entry] = ("file", f.read())
    return state


# ---------------------------------------------------------------- security

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


# ---------------------------------------------------------------- main

def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--arch", required=True, choices=("x64", "arm64"))
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--group", choices=("core", "robustness", "security"))
    parser.add_argument("--only", help="run only the scenario of this name")
    args = parser.parse_args(argv)

    chosen = [(g, n, f) for g, n, f in SCENARIOS
              if (not args.group or g == args.group) and (not args.only or n == args.only)]
    if not chosen:
        names = ", ".join(n for _, n, _ in SCENARIOS)
        print(f"scenarios: nothing matches; scenarios are: {names}", file=sys.stderr)
        return 2

    # Two runs of the driver in one Wine prefix (two CTest invocations, say)
    # would empty and fill the same registry keys under each other.
    prefix = os.environ.get("WINEPREFIX", "default")
    lock_path = os.path.join(tempfile.gettempdir(), "brivel-scenarios-{}-{}.lock".format(
        args.arch, hashlib.sha1(prefix.encode()).hexdigest()[:12]))
    lock = open(lock_path, "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f"scenarios: waiting for another run of the scenarios ({lock_path})", flush=True)
        fcntl.flock(lock, fcntl.LOCK_EX)

    context = Context(args.arch, args.build_dir)
    passed = failed = 0
    started = time.monotonic()
    try:
        # Removal must be enabled and no client-state key of another test
        # may catch this run's records.
        context.registry.clear()
        for group, name, function in chosen:
            s = Scenario(context, name)
            begun = time.monotonic()
            try:
                function(s)
            except Exception:  # a failure outside the scenario's cases
                s.failed += 1
                print(f"FAIL {args.arch} {name}\n    {traceback.format_exc()}", flush=True)
            finally:
                s.finish()
            print(f"---- {args.arch} {name}: {s.passed} passed, {s.failed} failed "
                  f"({time.monotonic() - begun:.1f} s)", flush=True)
            passed += s.passed
            failed += s.failed
    finally:
        context.close()
    print(f"---- {args.arch}: {time.monotonic() - started:.1f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
