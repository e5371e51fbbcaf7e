#!/usr/bin/env python3
"""Builds the Windows Installer package of a medium with wixl (Debian's wixl, from msitools).

    make_msi.py --version X.Y.Z --medium DIR --action runsetup.dll --out FILE.msi

The package is orvan-setup.wxs (beside this script) with a second source that lists every file
of DIR, laid out as on the medium under the package's folder of Program Files; its custom action
is the DLL --action. Its ProductCode is a GUID of the version's own (product_code()), the same
for every build of that version, so that a package of a version is never installed twice; its
UpgradeCode is the same for every version (in orvan-setup.wxs). make_release.py calls build()
for the release; the tests under Wine build packages of their own media with this command.

Exit code 0 when the package is written, 1 when it cannot be.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

SOURCE = Path(__file__).resolve().parent / "orvan-setup.wxs"
# The product codes of all versions are named in this namespace: uuid5(it, version).
PRODUCT_CODES = uuid.UUID("3C9B6E14-8A2F-4D70-B5E1-0F4A7C2D9B38")
# The Program Files folder that orvan-setup.wxs names (INSTALLDIR).
INSTALL_FOLDER = "ZOV Service Processor Setup"
# A file or folder name that Windows Installer takes as its own short name: 8.3, any letter case.
SHORT_CHARACTER = r"[A-Z0-9_$~!#%&'(){}^@-]"
SHORT_NAME = re.compile(rf"^{SHORT_CHARACTER}{{1,8}}(\.{SHORT_CHARACTER}{{1,3}})?$",
                        re.IGNORECASE)


class PackageError(Exception):
    """The package cannot be built; the message says why."""


def product_code(version):
    return str(uuid.uuid5(PRODUCT_CODES, version)).upper()


def identifier(kind, path):
    """A table key for the medium path PATH: letters, digits, _ and . only."""
    return kind + "_" + re.sub(r"[^A-Za-z0-9_.]", "_", path)


def names(folder_names):
    """{name: the name as a Directory or File table gives it}: 'SHORT|long' for a name that is
    not a short name of its own, the short names unique among FOLDER_NAMES."""
    result, taken = {}, {name.upper() for name in folder_names if SHORT_NAME.match(name)}
    for name in sorted(folder_names):
        if SHORT_NAME.match(name):
            result[name] = name
            continue
        stem, dot, extension = name.upper().rpartition(".")
        stem, extension = (stem, extension) if dot else (extension, "")
        stem = re.sub(r"[^A-Z0-9_]", "", stem) or "FILE"
        extension = re.sub(r"[^A-Z0-9_]", "", extension)[:3]
        for number in range(1, 100):
            short = f"{stem[:8 - 1 - len(str(number))]}~{number}" + (
                "." + extension if extension else "")
            if short not in taken:
                break
        taken.add(short)
        result[name] = f"{short}|{name}"
    return result


def file_list(files):
    """The second source: FILES (medium paths such as win2000/SETUP.EXE, under the medium's
    folder as medium/...) as Directory elements under INSTALLDIR and the component group Medium,
    a component for each file."""
    tree = {}
    for path in files:
        *folders, name = path.split("/")
        node = tree
        for folder in folders:
            node = node.setdefault(folder + "/", {})
        node[name] = path

    lines, components = [], []

    def directory(node, prefix, indent):
        entries = names([key.rstrip("/") for key in node])
        for key in sorted(node):
            if key.endswith("/"):
                folder = prefix + key
                lines.append(f'{indent}<Directory Id="{identifier("d", folder.rstrip("/"))}" '
                             f'Name="{entries[key.rstrip("/")]}">')
                directory(node[key], folder, indent + "  ")
                lines.append(f"{indent}</Directory>")
            else:
                path = node[key]
                component = identifier("c", path)
                components.append(component)
                lines.append(f'{indent}<Component Id="{component}" Guid="*">')
                lines.append(f'{indent}  <File Id="{identifier("f", path)}" Name="{entries[key]}" '
                             f'Source="medium/{path}" KeyPath="yes"/>')
                lines.append(f"{indent}</Component>")

    directory(tree, "", "      ")
    refs = [f'      <ComponentRef Id="{component}"/>' for component in components]
    return "\n".join([
        '<?xml version="1.0" encoding="utf-8"?>',
        '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
        "  <Fragment>",
        '    <DirectoryRef Id="INSTALLDIR">', *lines, "    </DirectoryRef>",
        '    <ComponentGroup Id="Medium">', *refs, "    </ComponentGroup>",
        "  </Fragment>",
        "</Wix>", ""])


def build(version, medium, files, action, out):
    """Writes the package of the FILES (medium paths) of the folder MEDIUM to OUT."""
    medium, out = Path(medium).resolve(), Path(out).resolve()
    missing = [path for path in files if not (medium / path).is_file()]
    if missing or not files:
        raise PackageError(f"no files to package in {medium}" if not files
                           else f"{medium} lacks {', '.join(missing)}")
    if not shutil.which("wixl"):
        raise PackageError("wixl is not installed (tools/ensure-packages tests)")
    # wixl reads the files that the sources name relative to its working folder.
    with tempfile.TemporaryDirectory(prefix="make-msi-") as work:
        work = Path(work)
        (work / "medium").symlink_to(medium)
        shutil.copyfile(action, work / "runsetup.dll")
        (work / "files.wxs").write_text(file_list(sorted(files)), encoding="utf-8")
        result = subprocess.run(
            ["wixl", "--arch", "x86", "--define", f"Version={version}",
             "--define", f"ProductCode={product_code(version)}",
             "--define", "ActionDll=runsetup.dll", "--output", str(work / "package.msi"),
             str(SOURCE), "files.wxs"],
            cwd=work, capture_output=True, text=True)
        # wixl warns on standard error about attributes it ignores, and may end with 0 after a
        # fault: only a written package counts.
        if result.returncode != 0 or not (work / "package.msi").is_file():
            raise PackageError(f"wixl: exit code {result.returncode}: "
                               f"{(result.stderr or result.stdout).strip()}")
        shutil.move(work / "package.msi", out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--medium", required=True, help="the medium's folder: every file goes in")
    parser.add_argument("--action", required=True, help="the custom action, runsetup.dll")
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    medium = Path(args.medium)
    files = sorted(path.relative_to(medium).as_posix() for path in medium.rglob("*")
                   if path.is_file())
    try:
        build(args.version, medium, files, args.action, args.out)
    except (PackageError, OSError) as error:
        print(f"make_msi: FAILED: {error}")
        return 1
    print(f"make_msi: {args.out}: {len(files)} files, version {args.version}, "
          f"ProductCode {{{product_code(args.version)}}}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
