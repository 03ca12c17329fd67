"""tools/package: the command line, the order of the checks, and how each
kind of failure ends (2 for a refusal, 1 for a failing tool, each with a
message on standard error)."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from . import limits
from .assemble import assemble, ensure_signing_packages, load_kit, make_cabinet
from .embedded import sign_programs
from .layout import (CABINET_MAGIC, Entry, Refusal, check_inputs, check_layout,
                     installer_verdict, parse_resource)
from .rsrc import directory_order
from .setup_checks import setup_warnings
from .signing import SigningFailed, add_signing_options, signing_request
from .version import parse_version

ARCHES = ("arm64", "x64")
PROG = "tools/package"


def parser():
    p = argparse.ArgumentParser(prog=PROG, description="Links an installer that carries the "
                                "given payload files as resources.")
    p.add_argument("--arch", required=True)
    p.add_argument("--output", required=True)
    p.add_argument("--setup")
    p.add_argument("--compress-setup", action="store_true")
    p.add_argument("--archive")
    p.add_argument("--resource", action="append", default=[])
    p.add_argument("--unchecked", action="store_true")
    p.add_argument("--kit", help="kit folder of a build (default build/ARCH/kit)")
    p.add_argument("--version", help="MAJOR.MINOR.BUILD.PATCH of the version record")
    add_signing_options(p)
    p.add_argument("--ca-file", help="certificates that an embedded program's own signature "
                   "is checked against")
    return p


def payload_entries(args):
    entries = []
    if args.setup:
        if args.compress_setup:
            entries.append(Entry("BL", "SETUP.EX_", args.setup, "--setup (compressed)"))
        else:
            entries.append(Entry("BN", "SETUP.EXE", args.setup, "--setup"))
    if args.archive:
        entries.append(Entry("BN", "BRIVEL.7Z", args.archive, "--archive"))
    for argument in args.resource:
        entries.append(parse_resource(argument))
    return entries


def warn_about_setup(args, entries):
    setup = installer_verdict(directory_order(entries)).setup
    if setup is None:
        return
    if args.compress_setup and setup is entries[0]:
        path, what = args.setup, f"setup ({args.setup})"
    elif setup.type == "BL":
        return  # a cabinet given as it is: its member is not looked into
    else:
        path, what = setup.path, f"setup {setup.label()} ({setup.path})"
    for warning in setup_warnings(path, what, args.arch):
        say("warning", warning)


def say(kind, text):
    print(f"{PROG}: {kind}: {text}", file=sys.stderr)


def package(args, work):
    if args.arch not in ARCHES:
        raise Refusal(f"unknown architecture '{args.arch}' (use arm64 or x64)")
    if args.compress_setup and not args.setup:
        raise Refusal("--compress-setup needs --setup")
    version = parse_version(args.version) if args.version is not None else None
    request = signing_request(args, os.environ)
    if args.ca_file and not os.path.isfile(args.ca_file):
        raise Refusal(f"--ca-file: {args.ca_file} is not a file")
    entries = payload_entries(args)
    check_inputs(entries)
    if args.compress_setup:
        # Stored as the cabinet made of it below.
        entries[0].head = CABINET_MAGIC
    limits.check_resource_sizes(entries)
    if not args.unchecked:
        check_layout(entries)
    warn_about_setup(args, entries)
    kit = load_kit(args.arch, args.kit)
    if request or args.ca_file:
        ensure_signing_packages()
    # Signed before the image's size is checked: their signatures are part
    # of it. The cabinet is made of the signed setup.
    sign_programs(entries, request, args.ca_file, work, say)
    if args.compress_setup:
        entries[0].path = make_cabinet(entries[0].path, work)
        entries[0].size = os.path.getsize(entries[0].path)
    assemble(kit, entries, args.output, work, version, request)


def main(argv):
    args = parser().parse_args(argv)
    work = None
    try:
        work = tempfile.mkdtemp(prefix="package-")
        package(args, work)
    except Refusal as refusal:
        print(f"{PROG}: {refusal}", file=sys.stderr)
        return 2
    except SigningFailed as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except subprocess.CalledProcessError as failure:
        print(f"{PROG}: {' '.join(map(str, failure.cmd[:1]))} failed (exit {failure.returncode})",
              file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    finally:
        if work:
            shutil.rmtree(work, ignore_errors=True)
    return 0
