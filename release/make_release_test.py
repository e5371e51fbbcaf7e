#!/usr/bin/env python3
"""Tests of make_release.py on this build's SETUP.EXE and catalogue files.

    make_release_test.py make_release.py ARGUMENT...

The arguments are the release target's (release/CMakeLists.txt): the release is assembled from
them, each time into a folder of the test's own (--out). Signing needs openssl and osslsigncode.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

RELEASE = []  # make_release.py and the release target's arguments, from the command line
BUILD = None  # those arguments, read


def package_files():
    result = subprocess.run([BUILD.package_info, "files"], capture_output=True, text=True,
                            check=True)
    return result.stdout.split()


def medium_files(medium):
    return {path.relative_to(medium).as_posix(): path.read_bytes()
            for path in sorted(medium.rglob("*")) if path.is_file()}


def zip_name():
    return f"orvan-setup-{BUILD.version}-{BUILD.arch}.zip"


def shipped_names():
    """What a release writes beside the medium: the zip and, with the package, the package and
    the SHA256SUMS of both."""
    if not BUILD.msi_action:
        return [zip_name()]
    return sorted([zip_name(), f"orvan-setup-{BUILD.version}-{BUILD.arch}.msi", "SHA256SUMS"])


CATALOGUES = ["ENGLISH.NLS", "FRENCH.NLS", "GERMAN.NLS", "SPANISH.NLS", "JAPANESE.NLS"]


def programs_part():
    """{medium path: bytes} of the program's part as this build made it."""
    files = {"win2000/SETUP.EXE": Path(BUILD.setup_exe).read_bytes()}
    files.update({"nls/" + name: (Path(BUILD.nls) / name).read_bytes() for name in CATALOGUES})
    return files


class Folder(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="release-test-"))
        self.addCleanup(shutil.rmtree, self.folder)

    def release(self, name, *extra, ok=True):
        out = self.folder / name
        result = subprocess.run([sys.executable, *RELEASE, "--out", str(out), *extra],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0 if ok else 1, result.stdout + result.stderr)
        return out, result.stdout

    def assert_sound(self, out, expected_files):
        """The medium holds EXPECTED_FILES ({path: bytes}) and SHA256SUMS over them, which
        sha256sum verifies; the zip holds the same, sorted, with fixed dates and permissions."""
        medium = out / "medium"
        files = medium_files(medium)
        sums = files.pop("SHA256SUMS").decode("ascii")
        self.assertEqual(files, expected_files)
        self.assertEqual(sums, "".join(f"{hashlib.sha256(data).hexdigest()}  {path}\n"
                                       for path, data in sorted(files.items())))
        verified = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=medium,
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertEqual(sorted(path.name for path in out.iterdir()),
                         sorted(["medium", *shipped_names()]))
        if BUILD.msi_action:
            verified = subprocess.run(["sha256sum", "-c", "--strict", "SHA256SUMS"], cwd=out,
                                      capture_output=True, text=True)
            self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
            self.assertEqual(len(verified.stdout.splitlines()), 2, verified.stdout)
        with zipfile.ZipFile(out / zip_name()) as archive:
            entries = archive.infolist()
            self.assertEqual([entry.filename for entry in entries],
                             sorted(dict(files, SHA256SUMS=b"")))
            for entry in entries:
                self.assertEqual(entry.date_time, (1980, 1, 1, 0, 0, 0), entry.filename)
                self.assertEqual(entry.external_attr >> 16, 0o100644, entry.filename)
                self.assertEqual(archive.read(entry), (medium / entry.filename).read_bytes())


class ProgramsPart(Folder):
    def test_the_medium_its_checksums_and_the_zip(self):
        out, _ = self.release("out")
        self.assert_sound(out, programs_part())

    def test_the_same_files_from_other_folders_at_other_times_give_the_same_zip(self):
        first, _ = self.release("first")
        inputs = self.folder / "another build folder"
        shutil.copytree(BUILD.nls, inputs / "nls")
        shutil.copy(BUILD.setup_exe, inputs / "SETUP.exe")
        for path in inputs.rglob("*"):
            os.utime(path, (1700000000, 1700000000))
        second, _ = self.release("second", "--setup-exe", str(inputs / "SETUP.exe"), "--nls",
                                 str(inputs / "nls"))
        self.assertEqual((first / zip_name()).read_bytes(), (second / zip_name()).read_bytes())

    def test_a_release_of_the_program_alone_ships_no_placeholder(self):
        out, _ = self.release("out")
        example = Path(BUILD.example_medium)
        for path, data in medium_files(out / "medium").items():
            placeholder = example / path
            self.assertFalse(placeholder.is_file() and placeholder.read_bytes() == data, path)


class MakersFolder(Folder):
    def makers_folder(self, name, leave_out=()):
        """A maker's folder with every driver file of the package but LEAVE_OUT (some in lower
        case), an old SETUP.EXE and a file that is none of the package's."""
        maker = self.folder / name
        files, programs = {}, programs_part()
        for number, path in enumerate(package_files()):
            if path in programs or path in leave_out:
                continue
            folder, name = path.split("/")
            stored = maker / folder / (name.lower() if number % 2 else name)
            stored.parent.mkdir(parents=True, exist_ok=True)
            files[path] = f"the maker's {name}, !@#$5.1.0.30$#@!\n".encode()
            stored.write_bytes(files[path])
        (maker / "win2000" / "SETUP.EXE").write_bytes(b"an older SETUP.EXE")
        (maker / "readme.txt").write_text("notes")
        return maker, files

    def test_a_complete_folder_completes_the_medium(self):
        maker, files = self.makers_folder("maker")
        self.assertIn("nt/KVLSETUP.EXE", files)
        out, said = self.release("out", "--maker-files", str(maker))
        expected = {**programs_part(), **files}
        self.assert_sound(out, expected)
        self.assertTrue(set(package_files()) <= set(expected))
        self.assertIn("not taken from the maker's folder: readme.txt", said)
        self.assertIn("not taken from the maker's folder: win2000/SETUP.EXE", said)

    def test_missing_files_are_named_and_nothing_is_left(self):
        complete, _ = self.makers_folder("complete")
        out, _ = self.release("out", "--maker-files", str(complete))  # a release from before
        incomplete, _ = self.makers_folder("incomplete", ("win2000/KAF.CAT", "nt/KVLSETUP.EXE"))
        _, said = self.release("out", "--maker-files", str(incomplete), ok=False)
        self.assertIn("win2000/KAF.CAT is missing", said)
        self.assertIn("nt/KVLSETUP.EXE is missing", said)
        self.assertEqual([path.name for path in out.iterdir()], [])

    def test_the_example_placeholders_never_ship(self):
        _, said = self.release("out", "--maker-files", BUILD.example_medium, ok=False)
        self.assertIn("win2000/ORVA.INF", said)
        self.assertIn("is the example medium's placeholder", said)
        self.assertFalse((self.folder / "out" / zip_name()).exists())


class Signing(Folder):
    def throwaway_key(self, password):
        """A key and a self-signed code-signing certificate made for this test: the PKCS#12 file,
        the file with its password, the certificate."""
        key, cert = self.folder / "key.pem", self.folder / "cert.pem"
        p12, password_file = self.folder / "signer.p12", self.folder / "password"
        password_file.write_text(password + "\n")
        for command in (["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                         "-subj", "/CN=Throwaway test signer/O=ZOV", "-keyout", key, "-out", cert,
                         "-addext", "extendedKeyUsage=codeSigning",
                         "-addext", "keyUsage=digitalSignature"],
                        ["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", p12,
                         "-passout", f"file:{password_file}"]):
            made = subprocess.run(command, capture_output=True, text=True)
            self.assertEqual(made.returncode, 0, made.stderr)
        return p12, password_file, cert

    def test_a_throwaway_key_signs_and_osslsigncode_verifies(self):
        p12, password_file, cert = self.throwaway_key("a password")
        out, said = self.release("out", "--sign-pkcs12", str(p12), "--sign-password-file",
                                 str(password_file))
        self.assertIn("SETUP.EXE signed", said)
        signed = out / "medium" / "win2000" / "SETUP.EXE"
        self.assertNotEqual(signed.read_bytes(), Path(BUILD.setup_exe).read_bytes())
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(cert), "-in",
                                   str(signed)], capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Signature verification: ok", verified.stdout)
        self.assertIn("Throwaway test signer", verified.stdout)
        # SHA256SUMS and the zip hold the signed image.
        self.assert_sound(out, {**programs_part(), "win2000/SETUP.EXE": signed.read_bytes()})

        # How anyone checks a signed SETUP.EXE against the reproducible build (docs/release.md):
        # without its signature it is the unsigned image, byte for byte.
        unsigned = self.folder / "unsigned.EXE"
        removed = subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out",
                                  str(unsigned)], capture_output=True, text=True)
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        self.assertEqual(unsigned.read_bytes(), Path(BUILD.setup_exe).read_bytes())

    def test_a_wrong_password_signs_nothing_and_leaves_nothing(self):
        p12, _, _ = self.throwaway_key("a password")
        wrong = self.folder / "wrong"
        wrong.write_text("another password\n")
        out, said = self.release("out", "--sign-pkcs12", str(p12), "--sign-password-file",
                                 str(wrong), ok=False)
        self.assertIn("osslsigncode could not sign SETUP.EXE", said)
        self.assertEqual([path.name for path in out.iterdir()], [])


def main():
    global BUILD
    RELEASE.extend(sys.argv[1:])
    parser = argparse.ArgumentParser()
    for option in ("--version", "--arch", "--setup-exe", "--nls", "--package-info",
                   "--example-medium"):
        parser.add_argument(option, required=True)
    parser.add_argument("--msi-action")
    BUILD, _ = parser.parse_known_args(RELEASE[1:])
    unittest.main(argv=sys.argv[:1], verbosity=2)


if __name__ == "__main__":
    main()
