"""Reading an installer back: its machine, its hardening
(tools/packager/hardening.py), version record, signature, the payload
resources with their digests and, for each program among them (a cabinet's
first member included), its own signature (embedded.py), the exit code its
run would end with before setup starts (layout.installer_verdict, the rules
packaging refuses layouts by) with a warning when the setup it starts is not
signed, and whether Windows' loader would start it at all (loader.report).

Exit status: 0 when the file was read (whatever the verdict), 1 when it is
not a Windows executable or cannot be read, 2 for a bad command line.
"""
import argparse
import hashlib
import json
import os
import sys
import tempfile

from . import loader
from .embedded import read_embedded_signature, render_signature
from .hardening import read_hardening, render_hardening
from .layout import PAYLOAD_TYPES, installer_verdict
from .pe import DIRECTORY_SECURITY, PeError, read_image, read_span
from .rsrc import read_image_resources
from .signing import read_signature
from .version import RT_VERSION, read_version_record

PROG = "tools/inspect"
HASH_CHUNK = 8 * 1024 * 1024


def sha256_of(f, offset, size):
    digest = hashlib.sha256()
    for piece in read_span(f, offset, size, HASH_CHUNK):
        digest.update(piece)
    return digest.hexdigest()


def payload_entry(f, resource, ca_file):
    with tempfile.TemporaryDirectory(prefix="inspect-") as scratch:
        signature = read_embedded_signature(f, resource, ca_file, scratch)
    return {"type": resource.type, "name": resource.name, "size": resource.size,
            "sha256": sha256_of(f, resource.offset, resource.size), "signature": signature}


def setup_warnings(setup, entry, ca_file):
    """Why Windows may refuse the program the installer would start."""
    signature = entry["signature"]
    if signature is None or signature["signed"] is None:
        return []
    what = f"setup {setup.label()}" + (f" (cabinet member {signature['member']})"
                                       if signature["member"] else "")
    if not signature["signed"]:
        return [f"{what} is not signed: Smart App Control (Windows 11) and App Control for "
                "Business refuse to start an unsigned program that an installer writes, "
                "whoever signed the installer (CreateProcessW 4551: exit 124); tools/package "
                "signs setup when it signs the installer"]
    if not signature["verified"]:
        against = f"the certificates of {ca_file}" if ca_file else "the system's certificates"
        return [f"the signature of {what} does not verify against {against}: Smart App "
                "Control and App Control for Business trust only signatures that chain to a "
                "CA of Microsoft's Trusted Root Program"]
    return []


def inspect(path, ca_file=None):
    """The report on the installer at path (the JSON form), and the reason
    for its verdict in words."""
    image = read_image(path)
    with open(path, "rb") as f:
        hardening = read_hardening(f, image)
        resources = read_image_resources(f, image)
        version = None
        for found in resources:
            if found.type == RT_VERSION:
                f.seek(found.offset)
                version = read_version_record(f.read(found.size))
                break
        payload = [payload_entry(f, r, ca_file) for r in resources if r.type in PAYLOAD_TYPES]
    signed = image.directory(DIRECTORY_SECURITY)[1] != 0
    verdict = installer_verdict(resources)
    warnings = []
    if verdict.setup is not None:
        started = next(e for e in payload if (e["type"], e["name"]) == (verdict.setup.type,
                                                                         verdict.setup.name))
        warnings = setup_warnings(verdict.setup, started, ca_file)
    report = {
        "arch": image.arch,
        "hardening": hardening,
        "version": version,
        "signature": read_signature(path, ca_file) if signed else None,
        "payload": payload,
        "verdict": {"exit_code": verdict.exit_code, "detail": verdict.detail,
                    "warnings": warnings},
        "loader": loader.report(image, os.path.getsize(path)),
    }
    return report, verdict.reason


def render(path, report, reason):
    lines = [f"installer  {path}", f"arch       {report['arch']}"]
    lines.append(f"hardening  {render_hardening(report['hardening'])}")
    version = report["version"]
    if version:
        strings = version["strings"]
        lines.append(f"version    file {version['file_version']}, product "
                     f"{version['product_version']} (strings: FileVersion "
                     f"{strings.get('FileVersion')!r}, ProductVersion {strings.get('ProductVersion')!r})")
    else:
        lines.append("version    no version record")
    signature = report["signature"]
    if signature:
        state = "verified" if signature["verified"] else "NOT verified"
        lines.append(f"signature  {signature['signer']} (issued by {signature['issuer']}), "
                     f"{signature['digest']}, {state}")
        lines.append(f"           signed {signature['signing_time'] or 'at no stated time'}; "
                     f"timestamp {signature['timestamp'] or 'none'}")
    else:
        lines.append("signature  none")
    lines.append("payload")
    if report["payload"]:
        width = max(len(str(e["name"])) for e in report["payload"])
        lines.append(f"  {'type':<4}  {'name':<{width}}  {'size':>14}  {'sha256':<64}  signature")
        for e in report["payload"]:
            lines.append(f"  {e['type']:<4}  {str(e['name']):<{width}}  {e['size']:>14,}  "
                         f"{e['sha256']}  {render_signature(e['signature'])}".rstrip())
    else:
        lines.append("  (no resources of types " + ", ".join(PAYLOAD_TYPES) + ")")
    verdict = report["verdict"]
    lines.append(f"verdict    {verdict['exit_code']} (detail {verdict['detail']}): {reason}")
    lines += [f"warning    {warning}" for warning in verdict["warnings"]]
    lines.append(f"loader     {loader.summary(report['loader'])}")
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(prog=PROG, description="Shows an installer's machine, "
                                     "hardening, version, signature, payload, verdict and loader report.")
    parser.add_argument("installer")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument("--ca-file", help="certificates a signature is verified against "
                        "(default: the system's)")
    args = parser.parse_args(argv)
    try:
        report, reason = inspect(args.installer, args.ca_file)
    except (OSError, PeError) as error:
        print(f"{PROG}: {args.installer}: {error}", file=sys.stderr)
        return 1
    if args.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        print(render(args.installer, report, reason))
    return 0
