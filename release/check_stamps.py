#!/usr/bin/env python3
"""Checks the version stamps of built files with the setup program's own stamp code.

    check_stamps.py --tool PACKAGE_INFO --cmake CMAKE --version X.Y.Z IMAGE FILE...

IMAGE (SETUP.EXE, or setup-sim) and each FILE (the catalogue files) must carry a version stamp
that the deployment finds (the first start marker within the first 100000 bytes), all the same
and all the stamp text of the project's version X.Y.Z under the stamp scheme
(release/version_stamp.cmake, run by CMAKE). Then copies of IMAGE whose stamp text is that of
another version must compare as those versions do: for pairs of versions where a scheme without
fixed widths would go wrong, and for the versions just below and just above X.Y.Z, the lower one's
copy is older than the higher one's (-1), the higher one's newer (1), and each the same as
itself (0). PACKAGE_INFO (package-info, a host build) reads the stamps and compares the files
with the program's own code. Exit code 0 when everything holds, 1 otherwise.
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

SCHEME = Path(__file__).resolve().parent / "version_stamp.cmake"
START_MARKER, END_MARKER = b"!@#$", b"$#@!"

# Pairs of versions, lower first, whose stamps must order as the versions do: a later part that
# grows a digit, a part that rolls over, a major version that grows a digit, and the top of the
# scheme.
PAIRS = [("1.2.9", "1.2.10"), ("1.2.10", "1.3.0"), ("1.9.0", "1.10.0"), ("1.99.0", "1.100.0"),
         ("1.999.999", "2.0.0"), ("0.0.1", "0.1.0"), ("0.999.999", "1.0.0"), ("9.0.0", "10.0.0"),
         ("99.999.999", "100.0.0"), ("999.999.999", "1000.0.0"),
         ("2146.999.998", "2146.999.999")]
TOP = 999  # MINOR and PATCH of the scheme


def stamp_text(cmake, version):
    """The scheme's stamp text of VERSION."""
    result = subprocess.run([cmake, "-DVERSION=" + version, "-P", str(SCHEME)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise ValueError(f"the scheme refuses {version}: {result.stderr.strip()}")
    return result.stdout.strip()


def neighbours(version):
    """The versions just below and just above VERSION (None where there is none)."""
    major, minor, patch = (int(part) for part in version.split("."))
    if patch:
        lower = (major, minor, patch - 1)
    elif minor:
        lower = (major, minor - 1, TOP)
    else:
        lower = (major - 1, TOP, TOP) if major else None
    higher = ((major, minor, patch + 1) if patch < TOP
              else (major, minor + 1, 0) if minor < TOP else (major + 1, 0, 0))
    return [".".join(map(str, v)) if v else None for v in (lower, higher)]


def with_stamp_text(data, text):
    """DATA with the text of its first stamp replaced by TEXT."""
    start = data.index(START_MARKER) + len(START_MARKER)
    end = data.index(END_MARKER, start)
    return data[:start] + text.encode("ascii") + data[end:]


class Checker:
    def __init__(self, tool):
        self.tool, self.failures = tool, 0

    def fail(self, message):
        print("check_stamps: FAILED: " + message)
        self.failures += 1

    def stamps(self, paths):
        """{path: (offset, number, text) or None}, as package-info reads them."""
        result = subprocess.run([self.tool, "stamps", *map(str, paths)], capture_output=True,
                                text=True, errors="backslashreplace")
        if result.stderr:
            self.fail(result.stderr.strip())
        found = {}
        for line in result.stdout.splitlines():
            path, *fields = line.split("\t")
            found[path] = None if fields == ["none"] else (int(fields[0]), int(fields[1]),
                                                           fields[2])
        return found

    def compare(self, source, destination):
        result = subprocess.run([self.tool, "compare", str(source), str(destination)],
                                capture_output=True, text=True)
        return int(result.stdout) if result.returncode == 0 else None


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", required=True, help="package-info")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--version", required=True, help="the project's version, X.Y.Z")
    parser.add_argument("image")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)
    checker = Checker(args.tool)
    expected = stamp_text(args.cmake, args.version)

    paths = [args.image, *args.files]
    found = checker.stamps(paths)
    for path in paths:
        stamp = found.get(path)
        if stamp is None:
            checker.fail(f"{path}: no version stamp within its first 100000 bytes")
        elif stamp[2] != expected:
            checker.fail(f"{path}: the stamp at byte {stamp[0]} is \"{stamp[2]}\", expected "
                         f"\"{expected}\" (version {args.version})")
        else:
            print(f"check_stamps: {path}: \"{expected}\" at byte {stamp[0]}, number {stamp[1]}")
    texts = {stamp[2] for stamp in found.values() if stamp}
    if len(texts) > 1:
        checker.fail("the files' stamps disagree: " + ", ".join(sorted(texts)))
    if checker.failures:
        return 1

    lower, higher = neighbours(args.version)
    pairs = PAIRS + ([(lower, args.version)] if lower else []) + [(args.version, higher)]
    image = Path(args.image).read_bytes()
    with tempfile.TemporaryDirectory() as folder:
        for low, high in pairs:
            copies = {}
            for version in (low, high):
                copies[version] = Path(folder) / f"{version}.img"
                copies[version].write_bytes(with_stamp_text(image, stamp_text(args.cmake, version)))
            for a, b, wanted in ((low, high, -1), (high, low, 1), (low, low, 0), (high, high, 0)):
                got = checker.compare(copies[a], copies[b])
                if got != wanted:
                    checker.fail(f"an image of version {a} against one of {b}: {got}, "
                                 f"expected {wanted}")
    if checker.failures:
        return 1
    print(f"check_stamps: images of {len(pairs)} pairs of versions "
          f"(the last: {lower} < {args.version} < {higher}) compare in version order")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
