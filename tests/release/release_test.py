#!/usr/bin/env python3
"""Tests of a release for one target: the version record as a reader other
than the project's (python3-pefile) sees it, installers signed with each
kind of key and checked by osslsigncode, tools/inspect on good and broken
layouts, warnings about setup, and the largest archive Windows maps (one
byte more is refused); the installers run under this target's Wine, where the
setup probe reads the archive back.

  release_test.py --arch x64|arm64 --build-dir DIR [unittest args]
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import release_fixtures as fixtures

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ARCH = BUILD = None
TRIPLES = {"x64": "x86_64-w64-mingw32", "arm64": "aarch64-w64-mingw32"}
# The largest image Windows maps (SizeOfImage): loader.LARGEST_IMAGE.
LARGEST_IMAGE = 0x77000000
# Debian's Python, which python3-pefile installs into.
PEFILE_READER = """
import json, sys, pefile
pe = pefile.PE(sys.argv[1])
fixed = pe.VS_FIXEDFILEINFO[0]
strings = {}
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
print(json.dumps([fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                  fixed.ProductVersionLS, strings.get("FileVersion"), strings.get("ProductVersion")]))
"""


def size_of_image(path, patched=None):
    """The image's SizeOfImage; set to patched first when one is given."""
    with open(path, "r+b") as f:
        f.seek(0x3C)
        f.seek(int.from_bytes(f.read(4), "little") + 24 + 56)
        if patched is not None:
            f.write(patched.to_bytes(4, "little"))
            f.seek(-4, os.SEEK_CUR)
        return int.from_bytes(f.read(4), "little")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix=f"release-test-{ARCH}-", dir="/tmp")
        cls.signing = fixtures.Signing(os.path.join(cls.dir, "keys"))
        cls.kit = os.path.join(BUILD, "kit")
        cls.probe = os.path.join(BUILD, "helpers", "setup_probe.exe")
        cls.archive = fixtures.SparseArchive(os.path.join(cls.dir, "archive.bin"), 300001,
                                             island_bytes=1000)
        cls.count = 0

    @classmethod
    def tearDownClass(cls):
        cls.signing.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def path(self, name):
        ReleaseTest.count += 1
        return os.path.join(self.dir, f"{ReleaseTest.count}-{name}")

    def package(self, output, *args, expect=0):
        result = subprocess.run([sys.executable, os.path.join(REPO, "tools", "package"),
                                 "--arch", ARCH, "--kit", self.kit, "--output", output, *args],
                                env=self.signing.environment, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        self.assertEqual(expect, result.returncode, result.stderr)
        return result

    def verify(self, installer):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", self.signing.ca,
                               "-TSA-CAfile", self.signing.ca, "-in", installer],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def assertSetupSigned(self, installer, name):
        """The program in resource name of installer (setup, or a cabinet's
        member) verifies against the test CA and carries the whole chain
        given (the signer's certificate and the CA's)."""
        setup = self.path("setup.exe")
        with open(setup, "wb") as f:
            f.write(fixtures.embedded(installer, name, self.path("cabinet")))
        verified = self.verify(setup)
        self.assertEqual(0, verified.returncode, verified.stdout)
        subprocess.run(["osslsigncode", "extract-signature", "-pem", "-in", setup, "-out",
                        setup + ".pem"], check=True, stdout=subprocess.DEVNULL)
        certificates = subprocess.run(["openssl", "pkcs7", "-print_certs", "-noout", "-in",
                                       setup + ".pem"], check=True, stdout=subprocess.PIPE,
                                      text=True).stdout
        self.assertEqual(2, certificates.count("subject="), certificates)

    def run_installer(self, installer):
        """Runs installer on this target; returns its exit code and the
        probe's report as a dict (empty when setup did not run)."""
        report = self.path("report.txt")
        command = self.path("command.txt")
        with open(command, "w") as f:
            f.write(f'"{windows_path(installer)}"')
        env = {k: v for k, v in os.environ.items()
               if not k.upper().startswith("BRIVEL_PROBE_") and k.upper() != "MORVEXUPDATEISMACHINE"}
        env["BRIVEL_PROBE_REPORT"] = windows_path(report)
        out = self.path("run.out")
        # Output to a file: a Wine server may hold a pipe open after the run.
        with open(out, "w") as f:
            subprocess.run([os.path.join(REPO, "tools", f"run-{ARCH}"),
                            os.path.join(BUILD, "helpers", "exit_code_runner.exe"),
                            windows_path(installer), windows_path(command)],
                           env=env, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        with open(out) as f:
            said = f.read()
        match = re.search(r"exit_code=0x([0-9A-F]{8})", said)
        self.assertIsNotNone(match, said)
        fields = {}
        if os.path.exists(report):
            with open(report, encoding="utf-8") as f:
                fields = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        return int(match.group(1), 16), fields

    def assertSetupReadArchive(self, installer, archive):
        exit_code, report = self.run_installer(installer)
        self.assertEqual(0, exit_code, report)
        self.assertEqual(("1", str(archive.size), archive.fnv1a64()),
                         (report.get("archive_opened"), report.get("archive_size"),
                          report.get("archive_fnv")))

    def test_version_read_back_by_pefile(self):
        for version, expected in ((None, "1.0.0.0"), ("2.3.4.5", "2.3.4.5"),
                                  ("65535.0.65535.1", "65535.0.65535.1")):
            with self.subTest(version):
                installer = self.path("version.exe")
                self.package(installer, "--setup", self.probe, "--archive", self.archive.path,
                             *(["--version", version] if version else []))
                read = subprocess.run(["/usr/bin/python3", "-c", PEFILE_READER, installer],
                                      check=True, stdout=subprocess.PIPE, text=True).stdout
                major, minor, build, patch = (int(p) for p in expected.split("."))
                self.assertEqual([major << 16 | minor, build << 16 | patch] * 2 + [expected] * 2,
                                 json.loads(read))

    def test_signed_installers_verify_run_and_repeat(self):
        signed = {}
        for kind in ("file", "pkcs12", "token"):
            for stamped in (False, True):
                with self.subTest(kind=kind, timestamp=stamped):
                    installer = self.path(f"{kind}-{stamped}.exe")
                    stamp = ["--timestamp-url", self.signing.timestamp_url] if stamped else []
                    self.package(installer, "--setup", self.probe, "--archive", self.archive.path,
                                 *self.signing.options(kind), "--sign-time", fixtures.SIGN_TIME,
                                 *stamp)
                    verified = self.verify(installer)
                    self.assertEqual(0, verified.returncode, verified.stdout)
                    self.assertEqual(stamped, bool(re.search(
                        r"Timestamp time|The signature is timestamped", verified.stdout)))
                    self.assertSetupSigned(installer, "BN:SETUP.EXE")
                    with open(installer, "rb") as f:
                        signed[kind, stamped] = f.read()
        with self.subTest("the same time and key give the same bytes, from a file or a token"):
            again = self.path("again.exe")
            self.package(again, "--setup", self.probe, "--archive", self.archive.path,
                         *self.signing.options("file"), "--sign-time", fixtures.SIGN_TIME)
            with open(again, "rb") as f:
                self.assertEqual(signed["file", False], f.read())
            self.assertEqual(signed["file", False], signed["token", False])
            self.assertEqual(signed["file", False], signed["pkcs12", False])
        with self.subTest("setup signed before the cabinet is made of it, and any other "
                          "program embedded; the installer runs"):
            installer = self.path("compressed.exe")
            self.package(installer, "--setup", self.probe, "--compress-setup", "--archive",
                         self.archive.path, "--resource", f"TOOLS:HELPER.EXE={self.probe}",
                         *self.signing.options("file"), "--sign-time", fixtures.SIGN_TIME)
            self.assertSetupSigned(installer, "BL:SETUP.EX_")
            self.assertSetupSigned(installer, "TOOLS:HELPER.EXE")
            self.assertSetupReadArchive(installer, self.archive)
        for stamped in (False, True):
            with self.subTest("a signed installer runs and setup reads the archive", timestamp=stamped):
                installer = self.path("run.exe")
                with open(installer, "wb") as f:
                    f.write(signed["token", stamped])
                self.assertSetupReadArchive(installer, self.archive)
        with self.subTest("one changed byte in the archive fails verification"):
            data = bytearray(signed["file", False])
            island_at, island = self.archive.islands[1]
            data[data.find(island) + 7] ^= 0x01
            tampered = self.path("tampered.exe")
            with open(tampered, "wb") as f:
                f.write(data)
            self.assertNotEqual(0, self.verify(tampered).returncode)

    def test_inspect_reports_what_the_installer_does(self):
        a, p = self.archive.path, self.probe
        cabinet = os.path.join(self.dir, "probe.cab")
        if not os.path.exists(cabinet):
            subprocess.run(["gcab", "-c", "-z", "-n", cabinet, p], check=True,
                           stdout=subprocess.DEVNULL)
        raised = LARGEST_IMAGE + 0x1000
        rows = [
            ("setup and archive, signed with a timestamp", ["--setup", p, "--archive", a,
             "--version", "7.0.1.2", *self.signing.options("file"), "--timestamp-url",
             self.signing.timestamp_url], (0, 0), ["BN:BRIVEL.7Z", "BN:SETUP.EXE"]),
            # As another tool or an older packager could leave it; Wine still
            # maps and runs it, Windows would not start it.
            ("SizeOfImage raised past the largest image Windows maps", ["--setup", p,
             "--archive", a], (0, 0), ["BN:BRIVEL.7Z", "BN:SETUP.EXE"], raised),
            ("a compressed setup", ["--setup", p, "--compress-setup", "--archive", a], (0, 0),
             ["BL:SETUP.EX_", "BN:BRIVEL.7Z"]),
            ("no setup", ["--unchecked", "--archive", a], (115, 2), ["BN:BRIVEL.7Z"]),
            ("a stray name after the archive in its type",
             ["--unchecked", "--setup", p, "--archive", a, "--resource", f"BN:OTHER={a}"],
             (112, 13), ["BN:BRIVEL.7Z", "BN:OTHER", "BN:SETUP.EXE"]),
            ("a second setup in a later type",
             ["--unchecked", "--resource", f"B7:BRIVEL={a}", "--resource", f"BL:SETUP.CAB={cabinet}",
              "--setup", p], (115, 68), ["B7:BRIVEL", "BL:SETUP.CAB", "BN:SETUP.EXE"]),
            ("a compressed setup that is not a cabinet",
             ["--unchecked", "--archive", a, "--resource", f"BL:SETUP.EX_={p}"], (115, 0),
             ["BL:SETUP.EX_", "BN:BRIVEL.7Z"]),
        ]
        for name, args, (code, detail), entries, *patched in rows:
            with self.subTest(name):
                installer = self.path("layout.exe")
                self.package(installer, *args)
                if patched:
                    size_of_image(installer, *patched)
                shown = subprocess.run([sys.executable, os.path.join(REPO, "tools", "inspect"),
                                        "--json", "--ca-file", self.signing.ca, installer],
                                       check=True, stdout=subprocess.PIPE, text=True).stdout
                report = json.loads(shown)
                self.assertEqual(["arch", "hardening", "loader", "payload", "signature",
                                  "verdict", "version"], sorted(report))
                problems = report["loader"]["problems"]
                self.assertEqual(not patched, report["loader"]["starts"], problems)
                self.assertEqual(len(patched), len(problems), problems)
                for problem in problems:
                    self.assertIn(f"SizeOfImage is {raised:,} bytes", problem)
                    self.assertIn(f"larger than {LARGEST_IMAGE:,}", problem)
                self.assertEqual(ARCH, report["arch"])
                self.assertEqual((True, "signed" in name), (report["hardening"]["cfg"],
                                                            report["hardening"]["signed"]))
                warnings = report["verdict"].pop("warnings")
                self.assertEqual({"exit_code": code, "detail": detail}, report["verdict"])
                # An installer that would start an unsigned setup is warned about.
                self.assertEqual(code == 0 and "signed" not in name, bool(warnings), warnings)
                for warning in warnings:
                    self.assertIn("Smart App Control", warning)
                self.assertEqual(entries, [f"{e['type']}:{e['name']}" for e in report["payload"]])
                for e in report["payload"]:
                    self.assertEqual(["name", "sha256", "signature", "size", "type"], sorted(e))
                    if e["name"] in ("BRIVEL.7Z", "BRIVEL", "OTHER"):
                        self.assertEqual(self.archive.size, e["size"])
                    # Every setup here is the probe, a program; the rest is data.
                    program = e["signature"]
                    self.assertEqual(e["name"].startswith("SETUP"), program is not None)
                    if program is not None:
                        self.assertEqual(("signed" in name,) * 2 + (
                            e["type"] == "BL" and "not a cabinet" not in name,),
                            (program["signed"], program["verified"], bool(program["member"])))
                signature = report["signature"]
                if "signed" in name:
                    self.assertEqual("7.0.1.2", report["version"]["file_version"])
                    self.assertIn("Release Test Signer", signature["signer"])
                    self.assertTrue(signature["verified"], signature)
                    self.assertIsNotNone(signature["timestamp"])
                else:
                    self.assertIsNone(signature)
                    self.assertEqual("1.0.0.0", report["version"]["strings"]["FileVersion"])
                # The installer itself reaches the same exit code.
                exit_code, _ = self.run_installer(installer)
                self.assertEqual(code, exit_code)

    def test_warns_about_a_setup_windows_may_not_start(self):
        other = "arm64" if ARCH == "x64" else "x64"
        build = lambda name, triple, level=None: fixtures.windows_program(self.dir, name, triple,
                                                                          level)
        rows = [
            ("a setup for this machine, as invoker", build("invoker", TRIPLES[ARCH], "asInvoker"),
             [], []),
            ("a setup for the other machine", build("other", TRIPLES[other]), [],
             [f"built for {other}", f"installer for {ARCH}"]),
            ("requireAdministrator", build("admin", TRIPLES[ARCH], "requireAdministrator"), [],
             ["requireAdministrator", "124", "740"]),
            ("highestAvailable, compressed",
             build("highest", TRIPLES[ARCH], "highestAvailable"), ["--compress-setup"],
             ["highestAvailable", "124"]),
        ]
        other_signed = self.signing.sign_as_other(self.probe, self.path("other-signed.exe"))
        rows.append(("another publisher's setup, embedded as given and checked", other_signed,
                     [*self.signing.options("file"), "--ca-file", self.signing.ca],
                     ["already carries", "Other Publisher", "as given", "does not verify"]))
        for name, setup, options, words in rows:
            with self.subTest(name):
                installer = self.path("warned.exe")
                said = self.package(installer, "--setup", setup, *options,
                                    "--archive", self.archive.path).stderr
                warnings = [line for line in said.splitlines() if "warning:" in line]
                self.assertEqual(bool(words), bool(warnings), said)
                for word in words:
                    self.assertIn(word, said)
                if "as given" in name:
                    with open(setup, "rb") as f:
                        self.assertEqual(f.read(), fixtures.embedded(installer, "BN:SETUP.EXE",
                                                                     None))

    def test_explain_names_what_stopped_the_run(self):
        explain = lambda *args: json.loads(subprocess.run(
            [sys.executable, os.path.join(REPO, "tools", "explain"), "--json", *args],
            check=True, stdout=subprocess.PIPE, text=True).stdout)
        rows = [(["124", "4551"], "RC_SETUP_NOT_STARTED", ["Smart App Control", "App Control"]),
                (["124", "1260"], "RC_SETUP_NOT_STARTED", ["AppLocker", "8004"]),
                (["116", "87"], "RC_PAYLOAD_WRITE_FAILED", ["FAT32", "exFAT", "FileIdInfo"]),
                (["109", "0"], "RC_WORK_DIR_FAILED", ["Controlled Folder Access"]),
                (["--client-state", "1", "109", "0"], None, ["never records 109"]),
                (["--client-state", "-", "-", "0x30002"], "RC_OK", ["3 attempts"])]
        for args, name, words in rows:
            with self.subTest(" ".join(args)):
                said = explain(*args)
                self.assertEqual(name, said["name"])
                for word in words:
                    self.assertIn(word, json.dumps(said))
        # Every code of the README's table, found by its header row.
        with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
            text = f.read()
        table = text[text.index("| Code | Name | Meaning | Detail |"):].split("\n\n")[0]
        rows = [line.split("|")[1:3] for line in table.splitlines()[2:]]
        self.assertGreater(len(rows), 10)
        for code, name in rows:
            with self.subTest(code.strip()):
                number = code.strip() if code.strip().isdigit() else "1"
                said = explain(number, "0")
                self.assertEqual(name.strip().strip("`") if number == code.strip() else None,
                                 said["name"])
                self.assertEqual("setup" if number == "1" else "installer", said["source"])
                self.assertTrue(said["stage"] and said["explanation"] and said["causes"], said)

    def test_the_largest_archive_windows_maps_is_signed_and_runs(self):
        # Beside the probe, the largest archive is what the refusal of a
        # larger one names; one byte more is refused, checked or not.
        # Setup is signed first, and its signature is part of the image.
        signed = [*self.signing.options("file"), "--sign-time", fixtures.SIGN_TIME]
        beyond = self.path("beyond.bin")
        with open(beyond, "wb") as f:
            f.truncate(LARGEST_IMAGE)
        said = self.package(self.path("beyond.exe"), "--setup", self.probe, "--archive", beyond,
                            *signed, expect=2).stderr
        named = re.search(r"BRIVEL\.7Z can be at most ([\d,]+)", said)
        self.assertIsNotNone(named, said)
        largest = int(named.group(1).replace(",", ""))
        os.truncate(beyond, largest + 1)
        for checked in ([], ["--unchecked"]):
            with self.subTest("one byte more is refused, nothing written", options=checked):
                output = self.path("one-more.exe")
                said = self.package(output, "--setup", self.probe, "--archive", beyond, *checked,
                                    *signed, expect=2).stderr
                self.assertIn("shrink by 1 byte (BN:BRIVEL.7Z", said)
                self.assertEqual([], [n for n in os.listdir(self.dir) if n.startswith(
                    os.path.basename(output))])
        os.remove(beyond)
        archive = fixtures.SparseArchive(os.path.join(self.dir, "large.bin"), largest)
        installer = self.path("large.exe")
        try:
            self.package(installer, "--setup", self.probe, "--archive", archive.path, *signed)
            self.assertEqual(LARGEST_IMAGE, size_of_image(installer))
            self.assertEqual(0, self.verify(installer).returncode)
            self.assertSetupReadArchive(installer, archive)
        finally:
            for leftover in (archive.path, installer):
                if os.path.exists(leftover):
                    os.remove(leftover)


def main():
    global ARCH, BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", required=True, choices=sorted(TRIPLES))
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    ARCH, BUILD = args.arch, os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
