#!/usr/bin/env python3
"""Static checks of an installer executable, read with llvm-readobj-19.

  check_image.py --arch arm64|x64 --defs DIR EXE

Checks: the machine type, the GUI subsystem, imports only from KERNEL32,
ADVAPI32 and SHELL32 and only of functions the import lists allow (so nothing
from a run-time library, and no USER32), and ASLR (dynamic base, high-entropy
addresses) and NX set. Prints one line per check and exits non-zero when any
fails.
"""
import argparse
import os
import re
import subprocess
import sys

MACHINES = {"arm64": "IMAGE_FILE_MACHINE_ARM64", "x64": "IMAGE_FILE_MACHINE_AMD64"}
ALLOWED_DLLS = ("KERNEL32.dll", "ADVAPI32.dll", "SHELL32.dll")
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

    out = subprocess.run(["llvm-readobj-19", "--file-headers", "--coff-imports", args.exe],
                         check=True, capture_output=True, text=True).stdout
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    check(f"Machine: {MACHINES[args.arch]}" in out, f"machine is {MACHINES[args.arch]}")
    check("Subsystem: IMAGE_SUBSYSTEM_WINDOWS_GUI" in out, "GUI subsystem")
    for flag in REQUIRED_FLAGS:
        check(flag in out, flag)

    allowed = {dll: read_def(os.path.join(args.defs, dll.split(".")[0].lower() + ".def"))
               for dll in ALLOWED_DLLS}
    imports = imports_of(out)
    check(bool(imports), "has an import table")
    for dll, functions in sorted(imports.items()):
        if dll not in allowed:
            check(False, f"imports from {dll}: {', '.join(functions)}")
            continue
        extra = sorted(set(functions) - allowed[dll])
        check(not extra, f"{dll}: {len(functions)} functions, all listed"
              + (f" (not listed: {', '.join(extra)})" if extra else ""))
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
