#!/usr/bin/env python3
"""End-to-end scenarios: whole installers, run the way a user or the updater
runs them, for one target (the ARM64 executable under tools/run-arm64 or its
x64 twin under tools/run-x64).

  tests/scenarios/scenarios.py --arch x64|arm64 --build-dir DIR [--kit DIR]
                               [--volume NAME]
                               [--group core|robustness|security] [--only NAME]

Each scenario packages installers with tools/package (the build's kit, or
the kit given: the strict kit of Control Flow Guard, say) from
the setup probe (build/<arch>/helpers/setup_probe.exe) and a small archive,
in its own folder under /tmp, runs them through the exit-code runner (which
reads all 32 bits of an exit code), reads the probe's reports, looks at the
file system from Linux (Wine's drive Z: is /) and reads and writes the
registry with Wine's reg.exe in the 32-bit view. With --volume (and the
strict kit, whose volume seam reads it), every installer answers as that
volume does on Windows: ntfs, fat32, exfat, smb or samba.

The registry subtrees "Software\\Morvex" under HKEY_CURRENT_USER and
HKEY_LOCAL_MACHINE (32-bit view) are saved, emptied for the run and put back
afterwards: the scenarios need removal enabled (no "BrivelInstallerCleanup")
and client-state keys of their own making. Tests that touch those keys in the
same Wine prefix must not run at the same time: CTest gives each run a prefix
of its own (BRIVEL_PREFIX_NAME).

Prints one line per case (PASS, FAIL with details, SKIP with the reason),
then a final line "N passed, M failed"; exits with 1 when anything failed.
"""
import argparse
import fcntl
import hashlib
import os
import sys
import tempfile
import time
import traceback

# The driver's modules live in driver/ beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from driver.context import Context
from driver.framework import SCENARIOS, Scenario
# The scenario modules register themselves when imported.
from driver import cabinets, core, paths, planting, robustness, security  # noqa: F401


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--arch", required=True, choices=("x64", "arm64"))
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--kit", help="the kit installers are linked from (default: the build's)")
    parser.add_argument("--volume", choices=("ntfs", "fat32", "exfat", "smb", "samba"),
                        help="the volume the kit's seam answers as (BRIVEL_VOLUME)")
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
    prefix = os.environ.get("WINEPREFIX") or os.environ.get("BRIVEL_PREFIX_NAME", "default")
    lock_path = os.path.join(tempfile.gettempdir(), "brivel-scenarios-{}-{}.lock".format(
        args.arch, hashlib.sha1(prefix.encode()).hexdigest()[:12]))
    lock = open(lock_path, "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f"scenarios: waiting for another run of the scenarios ({lock_path})", flush=True)
        fcntl.flock(lock, fcntl.LOCK_EX)

    if args.volume:
        os.environ["BRIVEL_VOLUME"] = args.volume
    context = Context(args.arch, args.build_dir, args.kit)
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
