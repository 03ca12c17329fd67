#!/usr/bin/env python3
"""The conformance kit of one target, made from this build and run the way a
release engineer runs it, here under the target's Wine:

  kit_test.py --arch x64|arm64 --repo DIR

Makes the kit with tools/conformance --no-build (the builds as CTest found
them; the ARM64 kit takes its GoogleTest programs from build/x64), unzips it
into a folder of its own under /tmp and starts run.cmd there with
`tools/run-ARCH cmd /c run.cmd --folder SECOND --folder MISSING` (two more
folders under /tmp, the second never made). Then checks:
  - the closing line "conformance: N passed, M failed, K skipped" is the last
    line, M is 1 and the exit code 1: the one failure is MISSING's;
  - the native scenarios ran once more from SECOND, in a suite that names it
    and its file system, and passed, and nothing is left in SECOND;
  - conformance-report.xml is beside run.cmd, parses, and counts the same;
  - every test of the kit is in it: the calibration's, each counted as
    failed (so passed), the native scenarios' and the x64 programs' (under
    ARM64 Wine all skipped, with the reason); every skip carries a reason;
  - nothing is left: the "Software\\Morvex" keys export as before, the
    prefix's temporary folder holds what it held, and the kit's folder holds
    the unzipped files and the report;
  - the runner with a seam that refuses programs as a policy does, which
    Wine never does (policy_seam.cpp), reports them blocked, with the
    policy, and one refused for another reason failed.
Prints the figures (sizes, time, counts); exits 1 on any failure.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
import zipfile

KEYS = (("HKCU\\Software\\Morvex", []), ("HKLM\\Software\\Morvex", ["/reg:32"]),
        ("HKLM\\Software\\Morvex", ["/reg:64"]))
CLOSING = re.compile(r"^conformance: (\d+) passed, (\d+) failed, (\d+) skipped$")


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, condition, what):
        print(("ok    " if condition else "FAIL  ") + what, flush=True)
        if not condition:
            self.failures.append(what)
        return condition


def wine(run, args, cwd=None):
    return subprocess.run([run] + args, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)


def registry_state(run, scratch):
    """Each key's export, or None when it does not exist."""
    state = []
    for index, (key, view) in enumerate(KEYS):
        path = os.path.join(scratch, f"registry-{index}.reg")
        if os.path.exists(path):
            os.remove(path)
        windows_path = "Z:" + path.replace("/", "\\")
        exported = wine(run, ["reg", "export", key, windows_path, "/y"] + view).returncode == 0
        state.append(open(path, "rb").read() if exported and os.path.exists(path) else None)
    return state


def temp_listing(run):
    """The prefix's temporary folder, as the tests see %TEMP%, listed."""
    result = wine(run, ["cmd", "/c", "echo", "%TEMP%"])
    windows = result.stdout.decode(errors="replace").strip().splitlines()[-1]
    name = os.environ.get("BRIVEL_PREFIX_NAME")
    prefix = os.environ.get("WINEPREFIX") or os.path.join(
        os.environ.get("BRIVEL_CACHE", "/var/cache/brivel-bootstrap"),
        ("wine-x64" if run.endswith("x64") else "wine-arm64") + (f".{name}" if name else ""))
    drive, rest = windows[0].lower(), windows[2:].replace("\\", "/").lstrip("/")
    folder = os.path.join(prefix, "dosdevices", f"{drive}:", rest)
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else None


def kit_tests(kit_dir, arch):
    """From kit.txt: the x64 programs' tests, and the programs of the target."""
    x64_tests, native_programs = [], []
    with open(os.path.join(kit_dir, "kit.txt"), encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("test "):
                x64_tests.append(line[5:])
            elif line.startswith(f"program {arch} "):
                native_programs.append(line.split(" ", 2)[2])
    return x64_tests, native_programs


# The seam refuses "blocked_<error>.exe" with that error: (error, test, what
# the test's line says).
POLICY_ROWS = ((4551, "Policy.SmartAppControl", "[  BLOCKED ] blocked_4551 (x64) Policy."
                "SmartAppControl (0.0 s): blocked by Smart App Control or App Control"),
               (4581, "Policy.Reputation", "reputation service"),
               (1260, "Policy.AppLocker", "blocked by AppLocker"),
               (5, "Policy.AccessDenied", "[  FAILED  ] blocked_5 (x64) Policy.AccessDenied"))


def check_policy_blocks(checks, run, seam_runner, folder):
    os.makedirs(folder)
    shutil.copy(seam_runner, os.path.join(folder, "runner.exe"))
    with open(os.path.join(folder, "kit.txt"), "w", newline="\r\n") as f:
        f.write("arch x64\n" + "".join(f"program x64 blocked_{error}.exe\ntest {test}\n"
                                       for error, test, _ in POLICY_ROWS))
    result = wine(run, ["runner.exe"], cwd=folder)
    lines = result.stdout.decode("utf-8", errors="replace").splitlines()
    for error, test, words in POLICY_ROWS:
        checks.expect(any(test in line and words in line for line in lines),
                      f"refused with {error}: {words}")
    checks.expect(result.returncode == 1 and lines[-1] == "conformance: 0 passed, 1 failed, "
                  "3 skipped (3 of them blocked by a policy)", f"closing line: {lines[-1]}")


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--arch", required=True, choices=("x64", "arm64"))
    p.add_argument("--repo", required=True)
    p.add_argument("--policy-seam-runner", required=True)
    args = p.parse_args(argv)
    run = os.path.join(args.repo, "tools", f"run-{args.arch}")
    checks = Checks()
    scratch = tempfile.mkdtemp(prefix=f"brivel-kit-{args.arch}-", dir="/tmp")
    try:
        archive = os.path.join(scratch, "conformance.zip")
        started = time.monotonic()
        made = subprocess.run([os.path.join(args.repo, "tools", "conformance"), "--arch",
                               args.arch, "--no-build", "--output", archive],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print(made.stdout.strip())
        if not checks.expect(made.returncode == 0, "tools/conformance made the kit"):
            return 1
        print(f"kit made in {time.monotonic() - started:.1f} s")
        kit = os.path.join(scratch, "kit")
        with zipfile.ZipFile(archive) as z:
            z.extractall(kit)
            unzipped = sorted(z.namelist())
        x64_tests, native_programs = kit_tests(kit, args.arch)

        registry_before = registry_state(run, scratch)
        temp_before = temp_listing(run)
        started = time.monotonic()
        second, missing = os.path.join(scratch, "second"), os.path.join(scratch, "missing")
        os.makedirs(second)
        second_w, missing_w = ("Z:" + path.replace("/", "\\") for path in (second, missing))
        done, seen = threading.Event(), set()

        def watch():  # the scenarios' own folders, made in SECOND while they run
            while not done.wait(0.05):
                seen.update(n for _, names, _ in os.walk(second) for n in names
                            if n.startswith("brivel-native-"))
        watcher = threading.Thread(target=watch)
        watcher.start()
        result = subprocess.run([run, "cmd", "/c", "run.cmd", "--folder", second_w, "--folder",
                                 missing_w], cwd=kit, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        done.set()
        watcher.join()
        seconds = time.monotonic() - started
        output = result.stdout.decode("utf-8", errors="replace")
        lines = [l for l in output.splitlines() if l.strip()]
        print("\n".join(l for l in lines if not l.startswith("[  PASSED  ]")))
        print(f"kit run in {seconds:.1f} s, exit code {result.returncode}")

        closing = CLOSING.match(lines[-1]) if lines else None
        checks.expect(closing is not None, "the last line is the closing line")
        counts = tuple(int(n) for n in closing.groups()) if closing else (-1, -1, -1)
        checks.expect(counts[1] == 1 and result.returncode == 1,
                      f"one test failed and the exit code is 1 ({counts}, {result.returncode})")

        report_path = os.path.join(kit, "conformance-report.xml")
        if checks.expect(os.path.isfile(report_path), "the report is beside run.cmd"):
            root = ET.parse(report_path).getroot()
            cases = list(root.iter("testcase"))
            skipped = [c for c in cases if c.find("skipped") is not None]
            failed = [c for c in cases if c.find("failure") is not None]
            checks.expect((len(cases) - len(failed) - len(skipped), len(failed), len(skipped))
                          == counts, "the report counts what the closing line says")
            checks.expect(all(c.find("skipped").get("message") for c in skipped),
                          "every skip carries its reason")
            suites = {s.get("name"): s for s in root}
            calibration = [s for n, s in suites.items() if n.startswith("calibration")]
            checks.expect(len(calibration) == 1 and int(calibration[0].get("tests")) == 3
                          and calibration[0].get("failures") == "0",
                          "the calibration's three crashing tests are each counted as failed")
            x64_cases = [c for n, s in suites.items() if n.endswith("(x64)")
                         and not n.startswith("native_scenarios") for c in s]
            checks.expect(len(x64_cases) == len(x64_tests),
                          f"every test of the x64 programs is reported ({len(x64_cases)} of "
                          f"{len(x64_tests)})")
            native = suites.get(f"native_scenarios ({args.arch})")
            checks.expect(native is not None and int(native.get("tests")) > 0
                          and native.get("failures") == "0",
                          "the target's native scenarios ran and passed")
            # The folder passes, "... in DIR (FILE SYSTEM)": SECOND's as the
            # usual one, MISSING's with the run's one failure.
            named = re.compile(re.escape(f"native_scenarios ({args.arch}) in ") + r"(.+) \((\w+)\)")
            passes = {m[1]: suites[m[0]] for m in map(named.fullmatch, suites) if m}
            again, absent = passes.get(second_w), passes.get(missing_w)
            counted = lambda s: (s.get("tests"), s.get("failures"), s.get("skipped"))
            checks.expect(again is not None and native is not None
                          and counted(again) == counted(native),
                          "the native scenarios passed again from the second folder, in a suite "
                          f"naming it and its file system ({[n for n in suites if ' in ' in n]})")
            checks.expect(absent is not None and absent.get("failures") == "1" and
                          [(c.get("classname"), c.find("failure").get("message")) for c in failed]
                          == [("Folder", f"{missing_w} does not exist (GetFileAttributesW fails "
                               "with error 2)")],
                          "the missing folder's suite holds the one failed test, which names it")
            if args.arch == "arm64":
                checks.expect(all(c.find("skipped") is not None and "x64" in
                                  c.find("skipped").get("message") for c in x64_cases),
                              "the x64 programs are reported skipped under ARM64 Wine")
            else:
                checks.expect(not any("does not run" in (c.find("skipped").get("message")
                                                         or "")
                                      for c in x64_cases if c.find("skipped") is not None),
                              "the x64 programs ran")
            windows_only = [c for c in skipped if "Windows only" in
                            (c.find("skipped").get("message") or "")]
            checks.expect(bool(windows_only), "tests that only Windows can answer are "
                          "skipped under Wine with their reason")

        checks.expect(registry_state(run, scratch) == registry_before,
                      "the Software\\Morvex keys export as before the run")
        checks.expect(temp_listing(run) == temp_before,
                      "the temporary folder holds what it held before the run")
        left = sorted(os.path.relpath(os.path.join(d, n), kit).replace(os.sep, "/")
                      for d, _, names in os.walk(kit) for n in names)
        checks.expect(left == sorted(unzipped + ["conformance-report.xml"]),
                      "the kit's folder holds the unzipped files and the report")
        checks.expect(len(seen) > 1, f"the scenarios made their folders in the second folder "
                      f"({len(seen)} seen)")
        checks.expect(os.listdir(second) == [] and not os.path.exists(missing),
                      "nothing is left in the second folder, and the missing one stays so")
        print(f"figures: zip {os.path.getsize(archive):,} bytes, run {seconds:.1f} s, "
              f"{counts[0]} passed, {counts[1]} failed, {counts[2]} skipped")
        check_policy_blocks(checks, run, args.policy_seam_runner, os.path.join(scratch, "policy"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if checks.failures:
        print(f"kit_test: {len(checks.failures)} checks failed")
        return 1
    print("kit_test: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
