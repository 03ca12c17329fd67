"""tools/conformance: builds what the kit needs, gathers it and writes the
zip file."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from packager.assemble import ensure_signing_packages
from packager.embedded import signature_state
from packager.layout import Refusal
from packager.signing import SigningFailed, add_signing_options, sign, signing_request

from .archive import RUN_CMD, manifest_text, write_zip
from .contents import REPO, BuildContents, KitError, list_tests

PROG = "tools/conformance"


def build(preset):
    for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset]):
        result = subprocess.run(command, cwd=REPO, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise KitError(f"{' '.join(command)} failed:\n{result.stdout[-3000:]}")


def gather(arch):
    """The zip's members and a summary of what went in."""
    x64 = BuildContents("x64", os.path.join(REPO, "build", "x64"))
    target = x64 if arch == "x64" else BuildContents(arch, os.path.join(REPO, "build", arch))
    members = {"run.cmd": RUN_CMD.encode()}
    runners = target.of_kind("runner")
    crashers = target.of_kind("crasher")
    natives = target.of_kind("native")
    gtests = x64.of_kind("gtest")
    if len(runners) != 1 or not crashers or not natives or not gtests:
        raise KitError("the builds lack the runner, the calibration, the native scenarios "
                       "or the GoogleTest programs")
    members["runner.exe"] = os.path.join(target.build_dir, runners[0])
    # The x64 build gives the GoogleTest programs, the target's build the
    # native scenarios and the calibration; each its own data.
    for contents in [x64] if target is x64 else [x64, target]:
        wanted = list(contents.data)
        if contents is x64:
            wanted += gtests
        if contents is target:
            wanted += natives + crashers
        for relative in wanted:
            for name in contents.files(relative):
                members[f"{contents.arch}/{name}"] = os.path.join(contents.build_dir, name)
    programs = [(arch, path, []) for path in natives]
    programs += [("x64", path, list_tests(os.path.join(x64.build_dir, path))) for path in gtests]
    members["kit.txt"] = manifest_text(arch, [(arch, p) for p in crashers],
                                       programs).encode()
    return members, programs


def sign_programs(members, request, work):
    """Signs every program among the members (runner, test programs,
    helpers, fixture installers) into work, as tools/package signs what an
    installer carries: on a machine with Smart App Control or App Control
    for Business an unsigned test program does not start. One that already
    carries a signature stays as it is. Returns how many were signed."""
    signed = 0
    for name in sorted(members):
        path = members[name]
        if not isinstance(path, str) or signature_state(path) is not False:
            continue
        copy = os.path.join(work, str(signed), os.path.basename(path))
        os.makedirs(os.path.dirname(copy))
        try:
            sign(request, path, copy)
        except SigningFailed as failure:
            raise KitError(f"{name}: {failure}")
        members[name] = copy
        signed += 1
    return signed


def main(argv):
    p = argparse.ArgumentParser(prog=PROG, description="Makes the conformance kit.")
    p.add_argument("--arch", required=True, choices=("arm64", "x64"))
    p.add_argument("--output", help="the zip file (default build/ARCH/conformance.zip)")
    p.add_argument("--no-build", action="store_true",
                   help="use the builds as they are")
    add_signing_options(p)
    args = p.parse_args(argv)
    output = os.path.abspath(args.output or os.path.join(REPO, "build", args.arch,
                                                         "conformance.zip"))
    work = tempfile.mkdtemp(prefix="conformance-")
    signed = 0
    try:
        request = signing_request(args, os.environ)
        if not args.no_build:
            for preset in sorted({"x64", args.arch}):
                print(f"{PROG}: building the {preset} preset", file=sys.stderr, flush=True)
                build(preset)
        members, programs = gather(args.arch)
        if request:
            ensure_signing_packages()
            signed = sign_programs(members, request, work)
        os.makedirs(os.path.dirname(output), exist_ok=True)
        write_zip(output, members)
    except Refusal as refusal:
        print(f"{PROG}: {refusal}", file=sys.stderr)
        return 2
    except KitError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    tests = sum(len(t) for _, _, t in programs)
    print(f"{PROG}: {output}: {os.path.getsize(output):,} bytes, {len(members)} files, "
          f"{len(programs)} test programs ({tests} x64 GoogleTest tests listed)"
          + (f", {signed} programs signed" if request else ""))
    return 0
