"""Constants, checks, path helpers and the records of a run: what every
scenario module shares."""
import os
import re
import subprocess
import time


# tests/scenarios/driver/ lies three levels below the repository.
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
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

# How the strict validator of Control Flow Guard ends a run that makes an
# indirect call Windows would refuse (tests/image/strict_control_flow_guard.cpp).
CONTROL_FLOW_GUARD_MISS = 0xCF00000A

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
                     "BRIVEL_PROBE_WAIT_FILE", "BRIVEL_PROBE_RENAME_OWN_DIRECTORY")
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
        result = make_result(stdout, stderr, self.report_path)
        # Whatever else a scenario accepts, never this.
        check(result.exit_code != CONTROL_FLOW_GUARD_MISS,
              f"an indirect call Windows' Control Flow Guard refuses ({result.describe()})")
        return result


def make_result(stdout, stderr, report_path):
    match = re.search(r"exit_code=0x([0-9A-F]{8})", stdout)
    exit_code = int(match.group(1), 16) if match else None
    report = report_complete(report_path) if report_path else None
    if report is None and report_path and os.path.exists(report_path):
        with open(report_path, encoding="utf-8") as f:
            report = Report(f.read())
    return RunResult(exit_code, report, stdout, stderr)
