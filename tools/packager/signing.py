"""Authenticode signing (SHA-256) through osslsigncode, and reading a
signature back.

Keys: a certificate file (PEM or DER, with its chain) and a key file; a
PKCS#12 file; or a certificate file and a key in a PKCS#11 token, named by
a pkcs11: URI and reached through the token's module (OpenSSL's pkcs11
engine, Debian's libengine-pkcs11-openssl). A key's password or a token's
PIN comes from a file whose path is handed to osslsigncode's -readpass, so
that it is in no process's arguments (osslsigncode takes it on the command
line with -pass, from a file with -readpass, from a terminal with -askpass,
and since 2.9 from standard input with "-readpass -").

With a fixed signing time (--sign-time, or SOURCE_DATE_EPOCH) the same input
and key give the same bytes: RSA PKCS#1 v1.5 signatures are deterministic,
and a key in a token signs exactly as the same key in a file. A timestamp
from an RFC 3161 server makes each signing differ, by the server's time.
osslsigncode 2.5, Debian 12's own, signs what is below 2 GiB; 2.9, from
bookworm-backports, any size (tools/lib/packages.sh installs it).
"""
import os
import re
import subprocess

from .layout import Refusal

TOOL = "osslsigncode"
PKCS11_SCHEME = "pkcs11:"
URL = re.compile(r"https?://[^\s]+")
TIME_LIMIT = 253402300799  # 9999-12-31T23:59:59Z, the last time a certificate can say


class SigningFailed(Exception):
    """osslsigncode ended with an error: exit 1, with the message."""


class SigningRequest:
    def __init__(self, args, environ):
        self.cert = args.sign_cert
        self.key = args.sign_key
        self.pkcs12 = args.sign_pkcs12
        self.module = args.sign_pkcs11_module
        self.password_file = args.sign_password_file
        self.timestamp_urls = list(args.timestamp_url)
        self.time = signing_time(args.sign_time, environ)

    @property
    def in_token(self):
        return bool(self.key) and self.key.startswith(PKCS11_SCHEME)


def add_signing_options(p):
    """The signing options of tools/package and tools/conformance."""
    p.add_argument("--sign-cert", help="certificate file, PEM or DER, with its chain")
    p.add_argument("--sign-key", help="key file, or pkcs11:URI of a key in a token")
    p.add_argument("--sign-pkcs12", help="PKCS#12 file with certificate, chain and key")
    p.add_argument("--sign-pkcs11-module", help="the token's PKCS#11 module (a .so)")
    p.add_argument("--sign-password-file", help="file holding the key's password or the PIN")
    p.add_argument("--timestamp-url", action="append", default=[],
                   help="RFC 3161 timestamp server, tried in the order given")
    p.add_argument("--sign-time", help="signing time, seconds since 1970 (default "
                   "SOURCE_DATE_EPOCH when set)")


def signing_time(option, environ):
    if option is not None:
        text, origin = option, "--sign-time"
    elif environ.get("SOURCE_DATE_EPOCH"):
        text, origin = environ["SOURCE_DATE_EPOCH"], "SOURCE_DATE_EPOCH"
    else:
        return None
    if not (text.isascii() and text.isdigit()) or int(text) > TIME_LIMIT:
        raise Refusal(f"{origin} wants seconds since 1970 (0 to {TIME_LIMIT}), got '{text}'")
    return int(text)


def _readable(path, option):
    if not os.path.isfile(path):
        raise Refusal(f"{option}: {path} is not a file")
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise Refusal(f"{option}: cannot read {path}: {error.strerror}")


def signing_request(args, environ):
    """The signing asked for by the options, checked; None when none is."""
    asked = [name for name, value in (
        ("--sign-cert", args.sign_cert), ("--sign-key", args.sign_key),
        ("--sign-pkcs12", args.sign_pkcs12), ("--sign-pkcs11-module", args.sign_pkcs11_module),
        ("--sign-password-file", args.sign_password_file),
        ("--timestamp-url", args.timestamp_url), ("--sign-time", args.sign_time)) if value]
    if not asked:
        return None
    request = SigningRequest(args, environ)
    if request.pkcs12:
        if request.cert or request.key:
            raise Refusal("--sign-pkcs12 holds the certificate and the key: give it without "
                          "--sign-cert and --sign-key")
        if request.module:
            raise Refusal("--sign-pkcs11-module goes with a key in a token (--sign-key pkcs11:...), "
                          "not with --sign-pkcs12")
        _readable(request.pkcs12, "--sign-pkcs12")
    elif request.cert and request.key:
        _readable(request.cert, "--sign-cert")
        if request.in_token:
            if not request.module:
                raise Refusal("--sign-key pkcs11:... needs --sign-pkcs11-module LIBRARY, the "
                              "token's module")
            _readable(request.module, "--sign-pkcs11-module")
        elif request.module:
            raise Refusal("--sign-pkcs11-module goes with a key in a token (--sign-key "
                          "pkcs11:...), not with a key file")
        else:
            _readable(request.key, "--sign-key")
    else:
        raise Refusal(f"{', '.join(asked)}: signing needs --sign-pkcs12 FILE, or --sign-cert FILE "
                      "with --sign-key FILE or --sign-key pkcs11:URI")
    if request.password_file:
        _readable(request.password_file, "--sign-password-file")
    for url in request.timestamp_urls:
        if not URL.fullmatch(url):
            raise Refusal(f"--timestamp-url wants an http:// or https:// URL, got '{url}'")
    return request


def sign_command(request, unsigned, signed):
    command = [TOOL, "sign", "-h", "sha256"]
    if request.pkcs12:
        command += ["-pkcs12", request.pkcs12]
    else:
        if request.in_token:
            command += ["-pkcs11module", request.module]
        command += ["-certs", request.cert, "-key", request.key]
    if request.password_file:
        command += ["-readpass", request.password_file]
    if request.time is not None:
        command += ["-time", str(request.time)]
    for url in request.timestamp_urls:
        # Tried in turn until one answers.
        command += ["-ts", url]
    return command + ["-in", unsigned, "-out", signed]


def sign(request, unsigned, signed):
    """Signs unsigned into signed; SigningFailed with osslsigncode's own
    words when it fails (signed may then be partly written)."""
    result = subprocess.run(sign_command(request, unsigned, signed), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace")
    if result.returncode != 0:
        said = [line for line in result.stdout.splitlines() if line.strip()][-6:]
        raise SigningFailed(f"{TOOL} could not sign (exit {result.returncode}): " + " | ".join(said))


def _first_after(text, anchor, pattern):
    start = text.find(anchor)
    if start < 0:
        return None
    match = re.search(pattern, text[start:])
    return match.group(1).strip() if match else None


def read_signature(path, ca_file=None):
    """The signature of a signed file as osslsigncode verify reports it:
    signer, issuer, digest, signing time, timestamp (None without one), and
    whether it verified (against ca_file, else the system's certificates;
    a timestamp is checked against the same)."""
    command = [TOOL, "verify", "-in", path]
    if ca_file:
        command += ["-CAfile", ca_file, "-TSA-CAfile", ca_file]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    out = result.stdout
    # 2.9 says "Timestamp time:", 2.5 "The signature is timestamped:".
    timestamp = re.search(r"(?:Timestamp time|The signature is timestamped): (.+)", out)
    return {
        "signer": _first_after(out, "Signer's certificate:", r"Subject: (.+)"),
        "issuer": _first_after(out, "Signer's certificate:", r"Issuer : (.+)"),
        "digest": _first_after(out, "Message digest algorithm", r": (\w+)"),
        "signing_time": _first_after(out, "Authenticated attributes:", r"Signing time: (.+)"),
        "timestamp": timestamp.group(1).strip() if timestamp else None,
        "verified": result.returncode == 0 and out.rstrip().endswith("Succeeded"),
    }
