"""The kit's zip file: run.cmd, the runner, kit.txt and the programs and
data of the builds, with fixed times and modes and in a fixed order, so
that the same builds give the same bytes."""
import os
import zipfile

# Windows' cmd.exe reads batch files with CRLF line ends.
RUN_CMD = "\r\n".join([
    "@echo off",
    "rem Runs the Brivel conformance kit in this folder: every test of the",
    "rem suite, one line each, then \"conformance: N passed, M failed, K skipped\".",
    "rem The JUnit report is conformance-report.xml beside this file; the exit",
    "rem code is 0 exactly when nothing failed. Touches this folder, its own",
    "rem temporary folder and the Software\\Morvex registry keys, which it saves",
    "rem first and puts back at the end (also after Ctrl+C): a test machine's",
    "rem job. Options: --filter PATTERNS (GoogleTest's), --timeout SECONDS,",
    "rem --folder DIR (more than once if need be): after the usual run the native",
    "rem scenarios run once more from a folder of the runner's own inside DIR (removed",
    "rem afterwards), e.g. a FAT32 stick E:\\ or a share \\\\server\\share\\x; the",
    "rem report names each such run with DIR and its file system.",
    "\"%~dp0runner.exe\" %*",
    "exit /b %ERRORLEVEL%",
    "",
])

FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def manifest_text(arch, crashers, programs):
    """kit.txt: crashers as (root, path); programs as (root, path, tests)."""
    lines = ["# Brivel conformance kit: what runner.exe runs (written by tools/conformance)",
             f"arch {arch}"]
    lines += [f"crasher {root} {path}" for root, path in crashers]
    for root, path, tests in programs:
        lines.append(f"program {root} {path}")
        lines += [f"test {name}" for name in tests]
    return "\r\n".join(lines) + "\r\n"


def write_zip(output, members):
    """members: {name in the zip: bytes or a path to read}. Written beside
    output and renamed into place when complete."""
    partial = output + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for name in sorted(members):
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            content = members[name]
            if isinstance(content, str):
                with open(content, "rb") as f:
                    content = f.read()
            z.writestr(info, content)
    os.replace(partial, output)
