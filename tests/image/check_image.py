#!/usr/bin/env python3
"""Static checks of an installer executable, read with llvm-readobj-19.

  check_image.py --arch arm64|x64 --defs DIR [--plain EXE] [--guard-calibration EXE] EXE

Checks: the machine type, the GUI subsystem, imports only from KERNEL32 and
ADVAPI32 and only of functions the import lists allow (so nothing from a
run-time library, no USER32, no SHELL32, whose dependencies and forwarders a
loader would resolve through the installer's folder, and no
SystemFunction036, which Windows forwards outside its known libraries),
ASLR (dynamic base, high-entropy addresses) and NX set, a load configuration
whose DependentLoadFlags keep the static imports' own dependencies in the
system directory, and unwind tables (.pdata, with the unwind data it points
to) for the installer's functions, Control Flow Guard (its flags and a
table listing the entry point and every function whose address is taken;
--guard-calibration: one only assembly takes is found unlisted), the ARM64
stub's code and data within 16 KiB, and tools/inspect's hardening report
(--plain: on a program built without the guard). Prints one line per check
and exits non-zero when any fails.
"""
import argparse
import json
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
                  "IMAGE_DLL_CHARACTERISTICS_NX_COMPAT",
                  "IMAGE_DLL_CHARACTERISTICS_GUARD_CF")
# What makes a loader enforce the guard, besides GUARD_CF.
GUARD_FLAGS = ("CF_INSTRUMENTED", "CF_FUNCTION_TABLE_PRESENT")
# The ARM64 stub's code and data (every section but resources and
# relocations, as tools/bench adds them up).
CODE_AND_DATA_LIMIT = 16 * 1024
INSPECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "inspect")


def readobj(exe, *options):
    return subprocess.run(["llvm-readobj-19", *options, exe],
                          check=True, capture_output=True, text=True)


def hex_field(name, text):
    found = re.search(name + r": (0x[0-9A-F]+)", text)
    return int(found.group(1), 16) if found else 0


def guard_table(exe):
    """(the functions whose address is taken, GuardCFFunctionTable): taken are
    the addresses in .text that ARM64 code makes with adrp and add, x64 code
    with lea relative to rip, or that data holds where a base relocation
    points (function pointers)."""
    out = readobj(exe, "--file-headers", "--sections", "--coff-load-config",
                  "--coff-basereloc").stdout
    sections = {name: [int(x, 16) for x in fields] for name, *fields in re.findall(
        r"Name: (\S+) .*\s+VirtualSize: (0x\w+)\s+VirtualAddress: (0x\w+)\s+RawDataSize: \d+\s+"
        r"PointerToRawData: (0x\w+)", out)}
    taken, pages = set(), {}
    with open(exe, "rb") as f:
        for rva in (int(a, 16) for a in re.findall(r"Type: DIR64\s+Address: (0x\w+)", out)):
            size, va, raw = next(s for s in sections.values() if s[1] <= rva < s[1] + s[0])
            f.seek(raw + rva - va)
            taken.add(int.from_bytes(f.read(8), "little"))
    for line in subprocess.run(["llvm-objdump-19", "-d", "--no-show-raw-insn", exe], check=True,
                               capture_output=True, text=True).stdout.splitlines():
        add = re.search(r"\tadd\tx\d+, (x\d+), #(0x\w+)$", line)
        lea = re.search(r"\tlea\w?\t.*\(%rip\), %\w+\s+# (0x\w+)", line)
        if add and add.group(1) in pages:
            taken.add(pages[add.group(1)] + int(add.group(2), 16))
        if lea:
            taken.add(int(lea.group(1), 16))
        written = re.search(r"\t(\w+)\t[xw](\d+)(?:, (0x\w+))?", line)  # the first register
        if written:
            pages.pop("x" + written.group(2), None)
            if written.group(1) == "adrp":
                pages["x" + written.group(2)] = int(written.group(3), 16)
    size, start = sections[".text"][:2]
    start += hex_field("ImageBase", out)
    listed = re.search(r"GuardFidTable \[(.*?)\]", out, re.S)
    return ({a for a in taken if start <= a < start + size},
            {int(a, 16) for a in re.findall(r"0x\w+", listed.group(1) if listed else "")})


def hardening(exe):
    shown = subprocess.run([sys.executable, INSPECT, "--json", exe], check=True,
                           capture_output=True, text=True).stdout
    return json.loads(shown)["hardening"]


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
    parser.add_argument("--plain", help="a program built without Control Flow Guard")
    parser.add_argument("--guard-calibration", help="a program with an unlisted function")
    parser.add_argument("exe")
    args = parser.parse_args()
    out = readobj(args.exe, "--file-headers", "--coff-load-config", "--sections").stdout
    unwind = readobj(args.exe, "--unwind")
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

    guard_flags = re.search(r"GuardFlags \[(.*?)\]", out, re.S)
    check(guard_flags and all(f in guard_flags.group(1) for f in GUARD_FLAGS)
          and all(hex_field(f"GuardCF{name}", out) for name in ("CheckFunction", "CheckDispatch",
                                                                "FunctionTable")),
          f"GuardFlags {', '.join(GUARD_FLAGS)}; check, dispatch and table set")
    taken, listed = guard_table(args.exe)
    check(hex_field("ImageBase", out) + hex_field("AddressOfEntryPoint", out) in listed
          and f"GuardCFFunctionCount: {len(listed)}\n" in out,
          f"{len(listed)} functions listed, the entry point among them (Windows starts it "
          "through the guard)")
    check(taken and taken <= listed, f"{len(taken)} functions whose address is taken, all listed"
          + "".join(f" (not listed: 0x{a:X})" for a in sorted(taken - listed)))
    if args.arch == "arm64":
        total = sum(int(size, 16) for name, size in re.findall(
            r"Name: (\S+) .*?VirtualSize: (0x\w+)", out, re.S) if name not in (".rsrc", ".reloc"))
        check(total <= CODE_AND_DATA_LIMIT, f"code and data {total} bytes, within 16 KiB")
    shown = hardening(args.exe)
    check(shown == {"aslr": True, "high_entropy_va": True, "nx": True, "cfg": True, "unwind": True,
                    "dependent_load_flags": LOAD_LIBRARY_SEARCH_SYSTEM32, "signed": False},
          f"tools/inspect's hardening report: {shown}")
    if args.plain:
        shown = hardening(args.plain)
        check(not shown["cfg"] and "GUARD_CF" not in readobj(args.plain, "--file-headers").stdout,
              f"tools/inspect on a program built without the guard: {shown}")
    if args.guard_calibration:
        taken, listed = guard_table(args.guard_calibration)
        check(len(taken - listed) == 1, "a function only assembly takes the address of is found "
              f"unlisted ({len(taken - listed)} of {len(taken)})")

    allowed = {dll: read_def(os.path.join(args.defs, dll.split(".")[0].lower() + ".def"))
               for dll in ALLOWED_DLLS}
    imports = imports_of(readobj(args.exe, "--coff-imports").stdout)
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
