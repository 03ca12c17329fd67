"""What the release tests sign with and run: a throw-away certificate
authority with a code-signing certificate (key in a file, encrypted, in a
PKCS#12 file, and in a SoftHSM2 token), another publisher's certificate, an
RFC 3161 timestamp server on 127.0.0.1 answering with `openssl ts -reply`,
small Windows programs built on the spot, a resource read back out of an
installer, and archives with known contents that take no disk space.
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading

SOFTHSM_MODULES = ("/usr/lib/softhsm/libsofthsm2.so",
                   "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so")
PASSWORD = "key password"
PIN = "246810"
TOKEN_LABEL = "release-test"
KEY_LABEL = "code-signing"
SIGN_TIME = "1700000000"
FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
FNV_MASK = (1 << 64) - 1

EXTENSIONS = """[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""
TSA_CONFIG = """[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {serial}
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def run(*command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          **kwargs)


class Signing:
    """The keys and the timestamp server, made in folder; close() stops the
    server."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        path = lambda name: os.path.join(folder, name)
        self.ca = path("ca.pem")
        self.chain = path("chain.pem")
        self.key = path("signer.key")
        self.pkcs12 = path("signer.p12")
        self.password = path("password.txt")
        self.pin = path("pin.txt")
        extensions = path("extensions.cnf")
        with open(extensions, "w") as f:
            f.write(EXTENSIONS)
        run("openssl", "req", "-x509", "-new", "-newkey", "rsa:2048", "-nodes",
            "-keyout", path("ca.key"), "-out", self.ca, "-days", "3650", "-subj", "/CN=Release Test CA",
            "-config", extensions, "-extensions", "ca")
        for name, section in (("signer", "signer"), ("tsa", "tsa")):
            subject = "/CN=Release Test Signer/O=Morvex" if name == "signer" else "/CN=Release Test TSA"
            run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout",
                path(f"{name}.plain.key"), "-out", path(f"{name}.csr"), "-subj", subject,
                "-config", extensions)
            run("openssl", "x509", "-req", "-in", path(f"{name}.csr"), "-CA", self.ca, "-CAkey",
                path("ca.key"), "-set_serial", "2" if name == "signer" else "3", "-days", "3650",
                "-out", path(f"{name}.pem"), "-extfile", extensions, "-extensions", section)
        with open(self.chain, "wb") as out:
            for name in ("signer.pem", "ca.pem"):
                with open(path(name), "rb") as f:
                    out.write(f.read())
        with open(self.password, "w") as f:
            f.write(PASSWORD + "\n")
        with open(self.pin, "w") as f:
            f.write(PIN)
        plain = path("signer.plain.key")
        run("openssl", "pkcs8", "-topk8", "-in", plain, "-out", self.key,
            "-passout", f"file:{self.password}")
        run("openssl", "pkcs12", "-export", "-in", path("signer.pem"), "-inkey", plain,
            "-certfile", self.ca, "-out", self.pkcs12, "-passout", f"file:{self.password}")
        self.make_token(plain)
        self.start_timestamp_server()
        # Another publisher, certified by nobody the tests trust.
        self.other = path("other.pem")
        run("openssl", "req", "-x509", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout",
            path("other.key"), "-out", self.other, "-days", "3650", "-subj",
            "/CN=Other Publisher", "-config", extensions, "-extensions", "signer")

    def sign_as_other(self, unsigned, signed):
        run("osslsigncode", "sign", "-h", "sha256", "-certs", self.other, "-key",
            os.path.join(self.folder, "other.key"), "-time", SIGN_TIME, "-in", unsigned,
            "-out", signed)
        return signed

    def make_token(self, plain_key):
        self.module = next((m for m in SOFTHSM_MODULES if os.path.exists(m)), SOFTHSM_MODULES[0])
        tokens = os.path.join(self.folder, "tokens")
        os.makedirs(tokens)
        config = os.path.join(self.folder, "softhsm2.conf")
        with open(config, "w") as f:
            f.write(f"directories.tokendir = {tokens}\nobjectstore.backend = file\n")
        self.environment = dict(os.environ, SOFTHSM2_CONF=config)
        run("softhsm2-util", "--init-token", "--free", "--label", TOKEN_LABEL, "--so-pin",
            "13579111", "--pin", PIN, env=self.environment)
        der = os.path.join(self.folder, "signer.der")
        run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", plain_key, "-outform", "DER",
            "-out", der)
        run("pkcs11-tool", "--module", self.module, "--token-label", TOKEN_LABEL, "--login",
            "--pin", PIN, "--write-object", der, "--type", "privkey", "--id", "01",
            "--label", KEY_LABEL, env=self.environment)
        os.remove(der)
        self.token_key = f"pkcs11:token={TOKEN_LABEL};object={KEY_LABEL};type=private"

    def start_timestamp_server(self):
        folder = self.folder
        config = os.path.join(folder, "tsa.cnf")
        with open(config, "w") as f:
            f.write(TSA_CONFIG.format(serial=os.path.join(folder, "tsa.serial")))
        with open(os.path.join(folder, "tsa.serial"), "w") as f:
            f.write("01\n")

        class Responder(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory(dir=folder) as scratch:
                    request = os.path.join(scratch, "request.tsq")
                    reply = os.path.join(scratch, "reply.tsr")
                    with open(request, "wb") as f:
                        f.write(query)
                    run("openssl", "ts", "-reply", "-config", config, "-queryfile", request,
                        "-inkey", os.path.join(folder, "tsa.plain.key"),
                        "-signer", os.path.join(folder, "tsa.pem"), "-out", reply)
                    with open(reply, "rb") as f:
                        answer = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Responder)
        self.timestamp_url = f"http://127.0.0.1:{self.server.server_port}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def closed_url(self):
        """A timestamp URL where nothing answers: a port just given back."""
        probe = http.server.HTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
        port = probe.server_port
        probe.server_close()
        return f"http://127.0.0.1:{port}/"

    def options(self, kind):
        """tools/package's options for one kind of key: file, pkcs12, token."""
        if kind == "file":
            return ["--sign-cert", self.chain, "--sign-key", self.key,
                    "--sign-password-file", self.password]
        if kind == "pkcs12":
            return ["--sign-pkcs12", self.pkcs12, "--sign-password-file", self.password]
        return ["--sign-cert", self.chain, "--sign-key", self.token_key,
                "--sign-pkcs11-module", self.module, "--sign-password-file", self.pin]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def windows_program(folder, name, triple, level=None):
    """A Windows program that does nothing, for triple, with a manifest
    asking for level when one is given."""
    source = os.path.join(folder, f"{name}.c")
    with open(source, "w") as f:
        f.write("int ProgramEntry(void) { return 0; }\n")
    command = ["clang-19", f"--target={triple}", "-nostdlib", "-fuse-ld=lld",
               "-Wl,-e,ProgramEntry", "-o", os.path.join(folder, f"{name}.exe"), source]
    if level:
        manifest = os.path.join(folder, f"{name}.manifest")
        with open(manifest, "w") as f:
            f.write('<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
                    '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security>'
                    f'<requestedPrivileges><requestedExecutionLevel level="{level}" '
                    'uiAccess="false"/></requestedPrivileges></security></trustInfo></assembly>')
        script = os.path.join(folder, f"{name}.rc")
        with open(script, "w") as f:
            f.write(f'1 24 "{manifest}"\n')
        res = os.path.join(folder, f"{name}.res")
        run("llvm-rc-19", "/FO", res, script)
        command.append(res)
    run(*command)
    return os.path.join(folder, f"{name}.exe")


def embedded(installer, name, folder):
    """The bytes of resource type:name of installer; for a cabinet, its
    member extracted with gcab into folder and read."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "tools"))
    from packager.pe import read_image
    from packager.rsrc import read_image_resources
    with open(installer, "rb") as f:
        found = next(r for r in read_image_resources(f, read_image(installer)) if r.label() == name)
        f.seek(found.offset)
        data = f.read(found.size)
    if data[:4] != b"MSCF":
        return data
    os.makedirs(folder)
    with open(os.path.join(folder, "setup.cab"), "wb") as f:
        f.write(data)
    run("gcab", "-x", "-C", folder, os.path.join(folder, "setup.cab"))
    with open(os.path.join(folder, "setup.exe"), "rb") as f:
        return f.read()


class SparseArchive:
    """An archive of size bytes, zero but for a few islands of known bytes
    (the first and last bytes among them), written as a sparse file; its
    FNV-1a 64 checksum, the setup probe's, is computed from the islands."""

    def __init__(self, path, size, islands=4, island_bytes=4096):
        self.path = path
        self.size = size
        step = (size - island_bytes) // max(1, islands - 1)
        self.islands = [(i * step, os.urandom(island_bytes)) for i in range(islands)]
        with open(path, "wb") as f:
            f.truncate(size)
            for at, data in self.islands:
                f.seek(at)
                f.write(data)

    def fnv1a64(self):
        value, at = FNV_OFFSET, 0
        for start, data in self.islands:
            # Each zero byte leaves the xor alone: a run of n is n multiplications.
            value = value * pow(FNV_PRIME, start - at, 1 << 64) & FNV_MASK
            for byte in data:
                value = (value ^ byte) * FNV_PRIME & FNV_MASK
            at = start + len(data)
        return f"{value * pow(FNV_PRIME, self.size - at, 1 << 64) & FNV_MASK:016x}"
