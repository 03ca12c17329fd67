#!/usr/bin/env python3
"""Tests of tools/package: what it refuses, how it says so, and that a refusal
or a failed link or signing leaves no output behind; --unchecked builds what
it would refuse. (Signing, versions and warnings that succeed are tested on
both targets by tests/release.)

  package_test.py --package tools/package --kit build/x64/kit [unittest args]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "release"))
import release_fixtures  # noqa: E402

PACKAGE = None
KIT = None
# The largest image Windows maps (SizeOfImage), as the refusals give it.
WINDOWS_LIMIT = "Windows maps no image larger than 1,996,488,704 bytes"


def run_package(*args):
    return subprocess.run([sys.executable, PACKAGE, "--kit", KIT, *args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def announced_names(args):
    """TYPE:NAME, as stored, of the string-named payload entries args ask for."""
    names = []
    for option, value in zip(args, args[1:] + [""]):
        if option == "--setup":
            names.append("BL:SETUP.EX_" if "--compress-setup" in args else "BN:SETUP.EXE")
        elif option == "--archive":
            names.append("BN:BRIVEL.7Z")
        elif option == "--resource":
            type_name, name = value.split("=", 1)[0].split(":", 1)
            if not name.isdigit():
                names.append(f"{type_name.upper()}:{name.upper()}")
    return names


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inputs = tempfile.mkdtemp(prefix="package-test-")
        cls.setup = cls.write("setup.bin", b"MZ" + bytes(range(256)) * 40)
        cls.archive = cls.write("archive.bin", b"7z" + bytes(range(255, -1, -1)) * 30)
        cls.other = cls.write("other.bin", b"other bytes")
        cls.empty = cls.write("empty.bin", b"")
        cls.cabinet = os.path.join(cls.inputs, "setup.cab")
        subprocess.run(["gcab", "-c", "-z", "-n", cls.cabinet, cls.setup], check=True,
                       stdout=subprocess.DEVNULL)
        cls.folder = os.path.join(cls.inputs, "a-folder")
        os.mkdir(cls.folder)
        # Sparse: sizes near the format's 4 GiB limits and past the largest
        # image Windows maps, no disk space.
        cls.huge = cls.sparse("huge.bin", 1 << 32)
        cls.nearly_huge = cls.sparse("nearly-huge.bin", (1 << 32) - 0x8000)
        cls.two_billion = cls.sparse("two-billion.bin", 2_000_000_000)
        cls.three_billion = cls.sparse("three-billion.bin", 3_000_000_000)
        cls.signing = release_fixtures.Signing(os.path.join(cls.inputs, "keys"))

    @classmethod
    def tearDownClass(cls):
        cls.signing.close()
        shutil.rmtree(cls.inputs, ignore_errors=True)

    @classmethod
    def sparse(cls, name, size):
        path = os.path.join(cls.inputs, name)
        with open(path, "wb") as f:
            f.truncate(size)
            f.write(b"7z")
        return path

    @classmethod
    def write(cls, name, data):
        path = os.path.join(cls.inputs, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def setUp(self):
        self.out_dir = tempfile.mkdtemp(prefix="package-out-")
        self.output = os.path.join(self.out_dir, "installer.exe")

    def tearDown(self):
        shutil.rmtree(self.out_dir, ignore_errors=True)

    def assertNothingWritten(self):
        self.assertEqual([], os.listdir(self.out_dir), "left in the output folder")

    def assertRefused(self, args, *words, arch="x64", exit_code=2):
        result = run_package("--arch", arch, "--output", self.output, *args)
        self.assertEqual(exit_code, result.returncode, result.stderr)
        message = result.stderr.lower()
        self.assertTrue(message.startswith("tools/package: "), result.stderr)
        for word in words:
            self.assertIn(word.lower(), message)
        self.assertNothingWritten()
        return result.stderr

    def assertBuilt(self, args):
        result = run_package("--arch", "x64", "--output", self.output, *args)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertTrue(os.path.isfile(self.output))
        self.assertEqual(["installer.exe"], os.listdir(self.out_dir))
        return self.resource_names()

    def resource_names(self):
        """TYPE:NAME of every string-named resource of the output."""
        readobj = shutil.which("llvm-readobj-19")
        if readobj is None:
            return None
        dump = subprocess.run([readobj, "--coff-resources", self.output], check=True,
                              stdout=subprocess.PIPE, text=True, encoding="utf-8").stdout
        names = []
        current_type = None
        for line in dump.splitlines():
            text = line.strip()
            if text.startswith("Type: "):
                current_type = text[len("Type: "):].rstrip(" [")
            elif text.startswith("Name: ") and "(ID" not in text and current_type:
                names.append(f"{current_type}:{text[len('Name: '):].rstrip(' [')}")
        return names

    def test_refuses_layouts_the_installer_rejects(self):
        s, a, o = self.setup, self.archive, self.other
        cases = [
            ("no archive", ["--setup", s], ["no archive"]),
            ("no setup", ["--archive", a], ["no setup"]),
            ("nothing at all", [], ["no archive"]),
            ("two archives in one type", ["--setup", s, "--archive", a,
                                          "--resource", f"BN:brivel.b={o}"],
             ["two archives", "BN:BRIVEL.7Z", "BN:BRIVEL.B"]),
            ("two archives in two types", ["--setup", s, "--archive", a,
                                           "--resource", f"B7:Brivel={o}"],
             ["two archives", "B7:BRIVEL"]),
            ("two setups", ["--setup", s, "--archive", a, "--resource", f"BL:setup.ex_={self.cabinet}"],
             ["two setups", "BN:SETUP.EXE", "BL:SETUP.EX_"]),
            ("a name with neither prefix", ["--setup", s, "--archive", a,
                                            "--resource", f"B7:stray={o}"],
             ["B7:STRAY", "neither", "brivel", "setup"]),
            ("four letters of setup", ["--archive", a, "--resource", f"BN:setu.exe={s}"],
             ["BN:SETU.EXE", "neither"]),
            ("a letter outside ASCII in the prefix",
             ["--setup", s, "--resource", f"BN:brİvel.7z={a}"], ["BN:BRİVEL.7Z", "neither"]),
            ("an archive name of 260 characters",
             ["--setup", s, "--resource", f"BN:brivel{'x' * 254}={a}"], ["260 characters", "259"]),
            ("a setup name of 300 characters",
             ["--archive", a, "--resource", f"B7:setup{'x' * 295}={s}"], ["300 characters"]),
            # 5 + 128 * 2 = 261 UTF-16 code units in 133 code points.
            ("a name of 261 UTF-16 code units",
             ["--archive", a, "--resource", f"B7:setup{chr(0x1F600) * 128}={s}"],
             ["261 characters"]),
            ("an empty setup", ["--setup", self.empty, "--archive", a], ["empty", self.empty]),
            ("an empty archive", ["--setup", s, "--archive", self.empty], ["empty", "BN:BRIVEL.7Z"]),
            ("an integer identifier among the payload", ["--setup", s, "--archive", a,
                                                         "--resource", f"BL:5={o}"],
             ["BL:5", "integer identifier"]),
            ("a compressed setup named setup.exe",
             ["--archive", a, "--resource", f"BL:setup.exe={self.cabinet}"],
             ["BL:SETUP.EXE", "setup.exe", "compressed"]),
        ]
        for name, args, words in cases:
            with self.subTest(name):
                self.assertRefused(args, *words)
                # The same layout links when asked to, with every entry.
                names = self.assertBuilt(args + ["--unchecked"])
                if names is not None:
                    self.assertEqual(sorted(announced_names(args)),
                                     sorted(n for n in names if n[:2] in ("B7", "BL", "BN")))
                os.remove(self.output)

    def test_refuses_inputs_and_options_it_cannot_use(self):
        s, a = self.setup, self.archive
        missing = os.path.join(self.inputs, "no-such-file.bin")
        cases = [
            ("a missing setup", ["--setup", missing, "--archive", a],
             ["--setup", missing, "does not exist"]),
            ("a missing archive", ["--setup", s, "--archive", missing],
             ["--archive", missing, "does not exist"]),
            ("a missing resource file, even unchecked",
             ["--unchecked", "--resource", f"BN:SETUP.EXE={missing}"],
             ["BN:SETUP.EXE", missing, "does not exist"]),
            ("a folder for a file", ["--setup", self.folder, "--archive", a],
             ["--setup", self.folder, "not a regular file"]),
            ("--compress-setup without --setup", ["--compress-setup", "--archive", a],
             ["--compress-setup needs --setup"]),
            ("a malformed --resource", ["--setup", s, "--archive", a, "--resource", "BN-SETUP"],
             ["TYPE:NAME=FILE", "BN-SETUP"]),
            ("a name given twice in one type, even unchecked",
             ["--unchecked", "--archive", a, "--resource", f"bn:Brivel.7z={s}"],
             ["BN:BRIVEL.7Z", "given twice"]),
            ("a resource the kit has, even unchecked", ["--unchecked", "--resource", f"24:1={s}"],
             ["24:1", "kit's own"]),
            ("a version of three parts", ["--setup", s, "--archive", a, "--version", "1.2.3"],
             ["--version", "MAJOR.MINOR.BUILD.PATCH", "1.2.3"]),
            ("a version part beyond 65535", ["--setup", s, "--archive", a, "--version", "1.65536.0.0"],
             ["MINOR is 65536", "65535"]),
            ("a certificate without a key", ["--setup", s, "--archive", a, "--sign-cert", s],
             ["--sign-cert", "signing needs"]),
            ("a key in a token without its module",
             ["--setup", s, "--archive", a, "--sign-cert", s, "--sign-key", "pkcs11:object=k"],
             ["--sign-pkcs11-module"]),
            ("certificates to check against that are not a file",
             ["--setup", s, "--archive", a, "--ca-file", self.folder], ["--ca-file", "not a file"]),
            ("a signing time that is not a number",
             ["--setup", s, "--archive", a, "--sign-pkcs12", s, "--sign-time", "soon"],
             ["--sign-time", "soon"]),
            ("an archive beyond a resource's 32-bit size", ["--setup", s, "--archive", self.huge],
             ["--archive", "4,294,967,296 bytes", "at most 4,294,967,295"]),
            # Windows' loader binds long before the format's 32-bit fields.
            ("an image near SizeOfImage's 32 bits", ["--setup", s, "--archive", self.nearly_huge],
             ["SizeOfImage", WINDOWS_LIMIT, "BN:BRIVEL.7Z is 4,294,934,528"]),
            ("an image beyond the largest Windows maps", ["--setup", s, "--archive", self.two_billion],
             ["SizeOfImage", WINDOWS_LIMIT, "BN:BRIVEL.7Z is 2,000,000,000", "shrink by"]),
            ("the same, unchecked and with a compressed setup",
             ["--unchecked", "--setup", s, "--compress-setup", "--archive", self.two_billion],
             [WINDOWS_LIMIT, "BN:BRIVEL.7Z can be at most 1,996,4"]),
            ("the same, signed (refused before signing)",
             ["--setup", s, "--archive", self.three_billion, *self.signing.options("pkcs12")],
             [WINDOWS_LIMIT, "BN:BRIVEL.7Z is 3,000,000,000", "shrink by 1,00"]),
        ]
        for name, args, words in cases:
            with self.subTest(name):
                self.assertRefused(args, *words)
        with self.subTest("a signing that fails (no timestamp server answers)"):
            self.assertRefused(["--setup", s, "--archive", a, *self.signing.options("file"),
                                "--timestamp-url", self.signing.closed_url()],
                               "could not sign", exit_code=1)
        with self.subTest("an unknown architecture"):
            self.assertRefused(["--setup", s, "--archive", a], "unknown architecture", "x86",
                               arch="x86")

    @unittest.skipIf(os.geteuid() == 0, "root reads a file whatever its mode")
    def test_refuses_unreadable_input(self):
        locked = os.path.join(self.inputs, "locked.bin")
        with open(locked, "wb") as f:
            f.write(b"locked")
        os.chmod(locked, 0)
        try:
            self.assertRefused(["--setup", locked, "--archive", self.archive],
                               "cannot read", locked)
        finally:
            os.chmod(locked, 0o600)

    def test_accepts_names_up_to_259_characters(self):
        # 5 + 127 * 2 = 259 UTF-16 code units.
        names = self.assertBuilt(["--archive", self.archive, "--resource",
                                  f"B7:setup{chr(0x1F600) * 127}={self.setup}"])
        if names is not None:
            self.assertIn("BN:BRIVEL.7Z", names)

    def test_refusal_leaves_an_existing_output_as_it_was(self):
        with open(self.output, "wb") as f:
            f.write(b"an installer of an earlier build")
        result = run_package("--arch", "x64", "--output", self.output, "--setup", self.setup)
        self.assertEqual(2, result.returncode, result.stderr)
        with open(self.output, "rb") as f:
            self.assertEqual(b"an installer of an earlier build", f.read())
        self.assertEqual(["installer.exe"], os.listdir(self.out_dir))

    def test_failed_link_leaves_no_output(self):
        # A kit whose installer library is not a library: the resources are
        # compiled and converted, and then the link fails.
        broken_kit = os.path.join(self.out_dir, "kit")
        os.mkdir(broken_kit)
        with open(os.path.join(KIT, "kit.json")) as f:
            kit = json.load(f)
        kit["installer_library"] = os.path.join(broken_kit, "libinstaller.a")
        with open(kit["installer_library"], "wb") as f:
            f.write(b"not an archive")
        with open(os.path.join(broken_kit, "kit.json"), "w") as f:
            json.dump(kit, f)
        output = os.path.join(self.out_dir, "out", "installer.exe")
        result = subprocess.run([sys.executable, PACKAGE, "--kit", broken_kit, "--arch", "x64",
                                 "--output", output, "--setup", self.setup,
                                 "--archive", self.archive],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(1, result.returncode, result.stderr)
        self.assertIn("failed", result.stderr)
        self.assertFalse(os.path.exists(output))
        self.assertFalse(os.path.exists(output + ".partial"))

    def test_stores_names_upper_case(self):
        names = self.assertBuilt(["--setup", self.setup, "--compress-setup", "--resource",
                                  f"bn:Brivel.7z={self.archive}", "--resource",
                                  f"b7:Étape={self.other}", "--unchecked"])
        if names is None:
            self.skipTest("llvm-readobj-19 is not installed")
        self.assertEqual(["B7:ÉTAPE", "BL:SETUP.EX_", "BN:BRIVEL.7Z"], sorted(names))


def main():
    global PACKAGE, KIT
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", required=True)
    parser.add_argument("--kit", required=True)
    args, rest = parser.parse_known_args()
    PACKAGE = os.path.abspath(args.package)
    KIT = os.path.abspath(args.kit)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
