#!/usr/bin/env python3
"""Assembles what a hardware maker ships: the program's part of an installation medium, or with
the maker's driver files the whole medium, its checksums and one zip.

    make_release.py --version X.Y.Z --arch x86|x64 --setup-exe IMAGE --nls DIR
                    --package-info TOOL --out DIR [--maker-files DIR] [--example-medium DIR]
                    [--sign-pkcs12 FILE [--sign-password-file FILE] [--sign-timestamp-url URL]]
                    [--msi-action runsetup.dll]

OUT/medium/ receives the medium in its layout, under upper-case names: win2000/SETUP.EXE (IMAGE)
and nls/ENGLISH.NLS, FRENCH.NLS, GERMAN.NLS, SPANISH.NLS, JAPANESE.NLS (from DIR). With
--maker-files, the other package files (the INF, SYS, DLL, CAT and EXE files of win2000/ and
nt/KVLSETUP.EXE) come from the maker's folder, laid out as on a medium, letter case aside; every
file of the package file list (package-info files: the program's own list) must then be on the
medium, and a file that is byte for byte the example medium's placeholder (--example-medium) is
refused. Nothing else of the maker's folder is taken. With --sign-pkcs12, SETUP.EXE is signed
with osslsigncode (Authenticode) with that key and certificate. Then OUT/medium/SHA256SUMS lists
the SHA-256 of every file of the medium (`sha256sum -c SHA256SUMS` in OUT/medium checks them),
and OUT/orvan-setup-X.Y.Z-ARCH.zip holds the medium: entries sorted by name, each dated
1980-01-01 00:00 with the permissions 0644, so that the same files always give the same zip.
With --msi-action (the x86 release), OUT/orvan-setup-X.Y.Z-x86.msi is the Windows Installer
package of the same medium (msi/make_msi.py, with that custom action DLL), and OUT/SHA256SUMS
lists the SHA-256 of the zip and the package.

Exit code 0 when the release is written; 1 when it cannot be (a missing file, a placeholder, a
failed signature), and then nothing of it is left in OUT.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "msi"))
import make_msi  # noqa: E402  (the package's builder, beside this script)

PRODUCT = "orvan-setup"
DESCRIPTION = "ZOV Service Processor driver setup"
SETUP_EXE = "win2000/SETUP.EXE"
OLDER_SETUP = "nt/KVLSETUP.EXE"
CATALOGUES = ["ENGLISH.NLS", "FRENCH.NLS", "GERMAN.NLS", "SPANISH.NLS", "JAPANESE.NLS"]
CHECKSUMS = "SHA256SUMS"
# Every entry of the zip: the date (the earliest a zip can hold) and the permissions.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)
ZIP_PERMISSIONS = 0o100644


class ReleaseError(Exception):
    """The release cannot be made; the message says why."""


def program_files(args):
    """{medium path: source file} of the program's own part."""
    files = {SETUP_EXE: Path(args.setup_exe)}
    files.update({"nls/" + name: Path(args.nls) / name for name in CATALOGUES})
    missing = [str(path) for path in files.values() if not path.is_file()]
    if missing:
        raise ReleaseError("the build has not made " + ", ".join(missing))
    return files


def package_files(tool):
    """The package file list, as the program itself has it: medium paths such as win2000/X."""
    result = subprocess.run([tool, "files"], capture_output=True, text=True)
    if result.returncode != 0 or not result.stdout.strip():
        raise ReleaseError(f"{tool} files: exit code {result.returncode}: {result.stderr.strip()}")
    return result.stdout.split()


def find_ignoring_case(root, medium_path):
    """The file at MEDIUM_PATH under ROOT, each name compared ignoring letter case, or None."""
    here = Path(root)
    for name in medium_path.split("/"):
        matches = sorted(entry for entry in here.iterdir() if entry.name.upper() == name.upper()) \
            if here.is_dir() else []
        if not matches:
            return None
        here = matches[0]
    return here if here.is_file() else None


def maker_files(args, wanted):
    """{medium path: source file} of the maker's part: each of WANTED found in the maker's
    folder; every problem at once."""
    files, problems = {}, []
    for medium_path in wanted:
        found = find_ignoring_case(args.maker_files, medium_path)
        if found is None:
            problems.append(f"{medium_path} is missing")
            continue
        placeholder = (find_ignoring_case(args.example_medium, medium_path)
                       if args.example_medium else None)
        if placeholder is not None and placeholder.read_bytes() == found.read_bytes():
            problems.append(f"{medium_path} ({found}) is the example medium's placeholder, not "
                            "the maker's file")
            continue
        files[medium_path] = found
    if problems:
        raise ReleaseError(f"the maker's folder {args.maker_files} does not complete the medium: "
                           + "; ".join(problems))
    taken = {path.resolve() for path in files.values()}
    for path in sorted(Path(args.maker_files).rglob("*")):
        if path.is_file() and path.resolve() not in taken:
            print(f"make_release: not taken from the maker's folder: "
                  f"{path.relative_to(args.maker_files)} (not a driver file of the package)")
    return files


def sign(args, image):
    """Signs IMAGE in place with the maker's key and certificate."""
    signed = image.with_name(image.name + ".signed")
    command = ["osslsigncode", "sign", "-pkcs12", args.sign_pkcs12, "-n", DESCRIPTION]
    command += ["-readpass", args.sign_password_file] if args.sign_password_file else ["-pass", ""]
    if args.sign_timestamp_url:
        command += ["-t", args.sign_timestamp_url]
    try:
        result = subprocess.run(command + ["-in", str(image), "-out", str(signed)],
                                capture_output=True, text=True)
    except FileNotFoundError:
        raise ReleaseError("osslsigncode is not installed (tools/ensure-packages tests)")
    if result.returncode != 0:
        raise ReleaseError("osslsigncode could not sign SETUP.EXE: "
                           + (result.stderr or result.stdout).strip())
    signed.replace(image)


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def write_zip(zip_path, medium):
    """The medium's files, sorted by name, each with a fixed date and permissions."""
    with zipfile.ZipFile(zip_path, "w") as archive:
        for path in sorted(medium.rglob("*")):
            if not path.is_file():
                continue
            entry = zipfile.ZipInfo(path.relative_to(medium).as_posix(), ZIP_DATE)
            entry.create_system = 3  # Unix, whose permissions external_attr holds
            entry.external_attr = ZIP_PERMISSIONS << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, path.read_bytes(), compresslevel=9)


def remove_release(out):
    """The release of an earlier run, so that a failed run leaves none that looks current."""
    shutil.rmtree(out / "medium", ignore_errors=True)
    (out / CHECKSUMS).unlink(missing_ok=True)
    for old in [*out.glob(f"{PRODUCT}-*.zip"), *out.glob(f"{PRODUCT}-*.msi")]:
        old.unlink()


def make_release(args):
    out = Path(args.out)
    remove_release(out)
    files = program_files(args)
    listed = package_files(args.package_info)
    if args.maker_files:
        # maker_files() finds every file wanted, or fails.
        wanted = [path for path in dict.fromkeys(listed + [OLDER_SETUP]) if path not in files]
        files.update(maker_files(args, wanted))

    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=out, prefix=".assembling-") as work:
        medium = Path(work) / "medium"
        for medium_path, source in sorted(files.items()):
            target = medium / medium_path
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target)
            target.chmod(0o644)
        if args.sign_pkcs12:
            sign(args, medium / SETUP_EXE)
        sums = "".join(f"{sha256(medium / path)}  {path}\n" for path in sorted(files))
        (medium / CHECKSUMS).write_text(sums, encoding="ascii")
        zip_name = f"{PRODUCT}-{args.version}-{args.arch}.zip"
        write_zip(Path(work) / zip_name, medium)
        shipped = [zip_name]
        if args.msi_action:
            shipped.append(f"{PRODUCT}-{args.version}-{args.arch}.msi")
            try:
                make_msi.build(args.version, medium, sorted(files), args.msi_action,
                               Path(work) / shipped[-1])
            except make_msi.PackageError as error:
                raise ReleaseError(f"the Windows Installer package: {error}")
            (Path(work) / CHECKSUMS).write_text(
                "".join(f"{sha256(Path(work) / name)}  {name}\n" for name in sorted(shipped)),
                encoding="ascii")
            shipped.append(CHECKSUMS)

        # Only a whole release lands in OUT.
        medium.rename(out / "medium")
        for name in shipped:
            (Path(work) / name).rename(out / name)
    print(f"make_release: {out / 'medium'}: {len(files)} files"
          f"{', SETUP.EXE signed' if args.sign_pkcs12 else ''}, and {CHECKSUMS}")
    for name in shipped:
        if name != CHECKSUMS:
            print(f"make_release: {out / name}: sha256 {sha256(out / name)}")
    if args.msi_action:
        print(f"make_release: {out / CHECKSUMS}: the SHA-256 of the zip and the package")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--arch", required=True, choices=["x86", "x64"])
    parser.add_argument("--setup-exe", required=True)
    parser.add_argument("--nls", required=True, help="the folder of the catalogue files")
    parser.add_argument("--package-info", required=True, help="the package-info tool")
    parser.add_argument("--out", required=True)
    parser.add_argument("--maker-files", help="the maker's driver files, laid out as on a medium")
    parser.add_argument("--example-medium", help="the example medium, whose placeholders never ship")
    parser.add_argument("--sign-pkcs12", help="the maker's Authenticode key and certificate")
    parser.add_argument("--sign-password-file", help="the file that holds the PKCS#12 password")
    parser.add_argument("--sign-timestamp-url", help="a time-stamping server for the signature")
    parser.add_argument("--msi-action",
                        help="the Windows Installer package's custom action DLL: with it, the "
                             "release has the package too")
    args = parser.parse_args(argv)
    try:
        make_release(args)
    except (ReleaseError, OSError) as error:
        print(f"make_release: FAILED: {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
