"""The programs an installer carries: signed before they are embedded
(tools/package), and their signatures read back (tools/inspect).

Why every one of them is signed: Smart App Control and App Control for
Business check every image Windows' loader maps, also a program an installer
writes and starts, and a signed installer does not make its setup trusted:
an unsigned setup is refused (CreateProcessW fails with 4551, and the
installer ends with 124). Microsoft asks publishers to sign every binary,
"temp installer files" included, with a certificate of a CA in its Trusted
Root Program ("Smart App Control overview", "Code signing for Smart App
Control"). AppLocker's publisher rules, and Defender's attack-surface rules
(the ransomware rule exempts "a valid signed file", the USB rule blocks
unsigned programs on removable drives, where the work directory lands when
the installer runs from a stick), look at the child alone too ("Attack
surface reduction rules reference").

So whenever the installer is signed, every program it embeds is signed first,
with the same key, certificates and timestamp:
- setup, in BN, or the member of the --compress-setup cabinet, signed before
  the cabinet is made;
- every --resource whose file is a Windows program (MZ and PE headers).
The archive is setup's data, carried byte for byte whatever it holds.

A program that already carries an Authenticode signature is its publisher's:
it is embedded byte for byte as given, and tools/package says so; with
--ca-file, a signature that does not verify against those certificates is
warned about.

Each signature carries every certificate of --sign-cert (or of the PKCS#12
file): osslsigncode embeds them all, and Windows fetches a missing
intermediate only when it is online, which a machine offline or an install
running as SYSTEM may not be. With a fixed signing time the signed copies
come out the same byte for byte, and each keeps its original's times, which
the cabinet records for its member.
"""
import os
import shutil
import subprocess

from . import signing
from .pe import DIRECTORY_SECURITY, PeError, read_image, read_span

ARCHIVE_ORIGIN = "--archive"
CABINET_MAGIC = b"MSCF"
CABINET_TYPE = "BL"
COPY_CHUNK = 8 * 1024 * 1024


def signature_state(path):
    """None when path is not a Windows program; else whether it carries an
    Authenticode signature (a certificate table in its headers)."""
    try:
        image = read_image(path)
    except (OSError, PeError):
        return None
    return image.directory(DIRECTORY_SECURITY)[1] != 0


def _described(entry):
    if entry.origin.startswith("--setup"):
        return f"setup {entry.path}"
    return f"{entry.origin} {entry.path}"


def _given_signature(what, path, request, ca_file, say):
    found = signing.read_signature(path, ca_file)
    signer = found["signer"] or "a signer osslsigncode cannot name"
    if request is not None:
        say("note", f"{what} already carries an Authenticode signature (signed by {signer}): "
                    "embedded as given, not signed again")
    if ca_file and not found["verified"]:
        say("warning", f"the signature of {what} (signed by {signer}) does not verify against "
                       f"--ca-file {ca_file}: where Windows does not trust it either, Smart App "
                       "Control and App Control for Business refuse to start it (4551)")


def sign_programs(entries, request, ca_file, work, say):
    """Signs, when request is given, every program among entries but the
    archive into a copy in work, and points the entry at the copy (path and
    size). A program already signed is left as given; say(kind, text) tells
    of it ("note"), and of a given signature that does not verify against
    ca_file ("warning"). SigningFailed, naming the program, when osslsigncode
    fails."""
    for index, entry in enumerate(entries):
        if entry.origin == ARCHIVE_ORIGIN:
            continue
        state = signature_state(entry.path)
        if state is None:
            continue
        what = _described(entry)
        if state:
            if request is not None or ca_file:
                _given_signature(what, entry.path, request, ca_file, say)
            continue
        if request is None:
            continue
        copy = os.path.join(work, "signed", str(index), os.path.basename(entry.path))
        os.makedirs(os.path.dirname(copy))
        try:
            signing.sign(request, entry.path, copy)
        except signing.SigningFailed as failure:
            raise signing.SigningFailed(f"{what}: {failure}")
        shutil.copystat(entry.path, copy)
        entry.path = copy
        entry.size = os.path.getsize(copy)


def _copy_out(f, offset, size, path):
    with open(path, "wb") as out:
        for piece in read_span(f, offset, size, COPY_CHUNK):
            out.write(piece)


def _first_member(cabinet, folder):
    """The first member of a cabinet (the one the installer expands),
    extracted into folder with gcab; None when gcab cannot read it or a
    name would reach outside folder."""
    try:
        listed = subprocess.run(["gcab", "-t", cabinet], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, errors="replace")
    except OSError:
        return None
    names = [n for n in listed.stdout.splitlines() if n]
    if listed.returncode != 0 or not names or any(
            "/" in n or "\\" in n or n in (".", "..") for n in names):
        return None
    os.makedirs(folder)
    extracted = subprocess.run(["gcab", "-x", "-C", folder, cabinet], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    member = os.path.join(folder, names[0])
    return names[0] if extracted.returncode == 0 and os.path.isfile(member) else None


def read_embedded_signature(f, resource, ca_file, scratch):
    """The signature of the program a payload resource holds (of its first
    member for a cabinet in BL, the type the installer expands): member (the
    member's name, None for a plain program), signed, signer, issuer and
    verified (against ca_file, else the system's certificates); signed is
    None when the cabinet cannot be read. None when the resource holds no
    program. scratch: an empty folder to work in."""
    cabinet = resource.type == CABINET_TYPE and resource.head[:4] == CABINET_MAGIC
    if resource.head[:2] != b"MZ" and not cabinet:
        return None
    path = os.path.join(scratch, "resource")
    _copy_out(f, resource.offset, resource.size, path)
    member = None
    if cabinet:
        member = _first_member(path, os.path.join(scratch, "members"))
        if member is None:
            return {"member": None, "signed": None, "signer": None, "issuer": None,
                    "verified": None}
        path = os.path.join(scratch, "members", member)
    state = signature_state(path)
    if state is None:
        return None
    found = signing.read_signature(path, ca_file) if state else {}
    return {"member": member, "signed": state, "signer": found.get("signer"),
            "issuer": found.get("issuer"), "verified": bool(found.get("verified"))}


def render_signature(signature):
    """The payload table's signature column."""
    if signature is None:
        return ""
    where = f"member {signature['member']}: " if signature["member"] else ""
    if signature["signed"] is None:
        return "cabinet that cannot be read"
    if not signature["signed"]:
        return where + "unsigned"
    state = "verified" if signature["verified"] else "NOT verified"
    return f"{where}signed by {signature['signer']}, {state}"
