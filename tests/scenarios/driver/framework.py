"""The scenario registry, the per-scenario folder and case reporting, and
the checks shared by scenarios."""
import os
import re
import shutil
import traceback

from driver.support import (
    ARCHIVE_NAME,
    ARCHIVE_TYPE,
    Failure,
    SETUP_NAME,
    WORK_DIR_PATTERN,
    check,
    check_equal,
    listing,
    win_path,
)


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
