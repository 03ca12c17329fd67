#!/usr/bin/env python3
"""Static checks of an installer executable, read with llvm-readobj-19.

  check_image.py --arch arm64|x64 --defs DIR EXE

Checks: the machine type, the GUI subsystem, imports only from KERNEL32 and
ADVAPI32 and only of functions the import lists allow (so nothing from a
run-time library, no USER32, no SHELL32, whose dependencies and forwarders a
loader would resolve through the installer's folder, and no
SystemFunction036, which Windows forwards outside its known libraries),
ASLR (dynamic base, high-entropy addresses) and NX set, a load configuration
whose DependentLoadFlags keep the static imports' own dependencies in the
system directory, and unwind tables (.pdata, with the unwind data it points
to) for the installer's functions. Prints one line per check and exits
non-zero when any fails.
"""
import argparse
import os
import re
import subprocess
import sys

MACHINES = {"arm64": "IMAGE_FILE_MACHINE_ARM64", "x64": "IMAGE_FILE_MACHINE_AMD64"}
ALLOWED_DLLS = ("KERNEL32.dll", "ADVAPI32.dll")
# Functions that must be looked up at run time, never imported.
NEVER_IMPORTED = ("CommandLineToArgvW", "SystemFunction036")
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
# The record must reach DependentLoadFlags, which lies 0x4E bytes in.
LOAD_CONFIG_MINIMUM = 0x50
# Functions with unwind data: every function that has a frame; the
# installer has dozens.
UNWIND_ENTRIES_MINIMUM = 20
REQUIRED_FLAGS = ("IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE",
                  "IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA",
                  "IMAGE_DLL_CHARACTERISTICS_NX_COMPAT")


def read_def(path):
    names = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith(("LIBRARY", "EXPORTS", ";")):
                continue
            names.append(line.split()[0])
    return set(names)


def imports_of(text):
    """{dll: [functions]} from llvm-readobj --coff-imports output."""
    imports = {}
    current = None
    for line in text.splitlines():
        name = re.match(r"\s*Name: (\S+)", line)
        if name:
            current = name.group(1)
            imports.setdefault(current, [])
            continue
        symbol = re.match(r"\s*Symbol: (\S+)", line)
        if symbol and current:
            imports[current].append(symbol.group(1))
    return imports


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", required=True, choices=sorted(MACHINES))
    parser.add_argument("--defs", required=True)
    parser.add_argument("exe")
    args = parser.parse_args()

    def readobj(*options):
        return subprocess.run(["llvm-readobj-19", *options, args.exe],
                              check=True, capture_output=True, text=True)

    out = readobj("--file-headers", "--coff-load-config", "--sections").stdout
    unwind = readobj("--unwind")
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    check(f"Machine: {MACHINES[args.arch]}" in out, f"machine is {MACHINES[args.arch]}")
    check("Subsystem: IMAGE_SUBSYSTEM_WINDOWS_GUI" in out, "GUI subsystem")
    for flag in REQUIRED_FLAGS:
        check(flag in out, flag)

    size = re.search(r"LoadConfigTableSize: (0x[0-9A-F]+)", out)
    flags = re.search(r"DependentLoadFlags: (0x[0-9A-F]+)", out)
    check(size is not None and int(size.group(1), 16) >= LOAD_CONFIG_MINIMUM,
          "load configuration present" + (f" ({size.group(1)} bytes)" if size else ""))
    check(flags is not None and int(flags.group(1), 16) == LOAD_LIBRARY_SEARCH_SYSTEM32,
          "DependentLoadFlags is LOAD_LIBRARY_SEARCH_SYSTEM32"
          + (f" ({flags.group(1)})" if flags else " (no such field)"))

    exception_table = re.search(r"ExceptionTableSize: (0x[0-9A-F]+)", out)
    entries = unwind.stdout.count("RuntimeFunction {")
    unwind_data = unwind.stdout.count("UnwindInfo {") + unwind.stdout.count("ExceptionData {") \
        + unwind.stdout.count("Fragment: ")
    check("Name: .pdata " in out and exception_table is not None
          and int(exception_table.group(1), 16) > 0, "exception directory in .pdata")
    check(entries >= UNWIND_ENTRIES_MINIMUM and unwind_data == entries
          and "error" not in unwind.stderr.lower(),
          f"unwind data for {entries} functions, each readable ({unwind_data})")

    allowed = {dll: read_def(os.path.join(args.defs, dll.split(".")[0].lower() + ".def"))
               for dll in ALLOWED_DLLS}
    imports = imports_of(readobj("--coff-imports").stdout)
    check(bool(imports), "has an import table")
    for dll, functions in sorted(imports.items()):
        if dll not in allowed:
            check(False, f"imports from {dll}: {', '.join(functions)}")
            continue
        extra = sorted(set(functions) - allowed[dll])
        check(not extra, f"{dll}: {len(functions)} functions, all listed"
              + (f" (not listed: {', '.join(extra)})" if extra else ""))
    imported = {f for functions in imports.values() for f in functions}
    for function in NEVER_IMPORTED:
        check(function not in imported, f"{function} is not imported")
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
