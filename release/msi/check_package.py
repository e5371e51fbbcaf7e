#!/usr/bin/env python3
"""Checks the tables of the Windows Installer package as make_msi.py builds it, read with
msiinfo (msitools): what Windows Installer 2.0, as Windows 2000 SP4 ships it, needs to install
it per machine without a user interface, and what makes a later version a major upgrade.

    check_package.py --version X.Y.Z --setup-exe IMAGE --nls DIR --action runsetup.dll
                     --fleet docs/fleet.md

Packages of a medium of IMAGE and the catalogue files of DIR are built in a temporary folder:
two of version X.Y.Z and one of a higher version. Their UpgradeCode, the same for every version
ever shipped, must be the one that the administrator's guide (--fleet) names. Each problem is printed; exit code 0 when
there is none, 1 otherwise.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import make_msi

# The standard tables that Windows Installer 1.x and 2.0 know (a package of 2.0 uses no other).
INSTALLER_2_TABLES = frozenset("""
    ActionText AdminExecuteSequence AdminUISequence AdvtExecuteSequence AdvtUISequence AppId
    AppSearch BBControl Billboard Binary BindImage CCPSearch CheckBox Class ComboBox
    CompLocator Complus Component Condition Control ControlCondition ControlEvent CreateFolder
    CustomAction Dialog Directory DrLocator DuplicateFile Environment Error EventMapping
    Extension Feature FeatureComponents File FileSFPCatalog Font Icon IniFile IniLocator
    InstallExecuteSequence InstallUISequence IsolatedComponent LaunchCondition ListBox ListView
    LockPermissions Media MIME MoveFile MsiAssembly MsiAssemblyName MsiDigitalCertificate
    MsiDigitalSignature MsiFileHash MsiPatchHeaders ODBCAttribute ODBCDataSource ODBCDriver
    ODBCSourceAttribute ODBCTranslator Patch PatchPackage ProgId Property PublishComponent
    RadioButton RegLocator Registry RemoveFile RemoveIniFile RemoveRegistry ReserveCost
    SelfReg ServiceControl ServiceInstall SFPCatalog Shortcut Signature TextStyle TypeLib
    UIText Upgrade Verb _Validation
""".split())
MAX_INSTALLER_VERSION = 200
# Custom action types (the CustomAction table's Type column).
TYPE_DLL_FROM_BINARY, TYPE_SET_PROPERTY = 1, 51
SOURCE_AND_TARGET_BITS = 0x3F
IN_SCRIPT, NO_IMPERSONATE = 1024, 2048  # deferred; under the system account
IGNORE_RETURN, ASYNCHRONOUS = 64, 128
RUN_SETUP, RUN_SETUP_DATA = "RunSetup", "RunSetupData"
SETUP_PATH = r"[INSTALLDIR]win2000\SETUP.EXE"
# The Upgrade table's Attributes bits.
ONLY_DETECT, INCLUDE_MINIMUM, INCLUDE_MAXIMUM = 2, 256, 512


# How the administrator's guide names the UpgradeCode.
DOCUMENTED_UPGRADE_CODE = re.compile(r"upgrade code \(`(\{[0-9A-F-]{36}\})`\)")
WORK = [None]  # the temporary folder of a check


class Problems(list):
    def want(self, condition, message):
        if not condition:
            self.append(message)


def msiinfo(*args):
    """msiinfo's output. It runs in the temporary folder: exporting a table with binary data
    writes that data to a folder of the table's name there."""
    result = subprocess.run(["msiinfo", *args], capture_output=True, text=True, cwd=WORK[0])
    if result.returncode != 0:
        raise RuntimeError(f"msiinfo {' '.join(args)}: {result.stderr.strip()}")
    return result.stdout


def table(package, name):
    """The rows of the table NAME, each a dict of its columns (msiinfo export: the column names,
    their types and the table's keys, then a row a line)."""
    lines = msiinfo("export", str(package), name).splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def properties(package):
    return {row["Property"]: row["Value"] for row in table(package, "Property")}


def summary(package):
    return dict(line.split(": ", 1) for line in msiinfo("suminfo", str(package)).splitlines()
                if ": " in line)


def check_package(package, version, files, action, problems):
    """What one package must be."""
    info = summary(package)
    installer_version = int(info.get("Version", "0").split()[0])
    problems.want(0 < installer_version <= MAX_INSTALLER_VERSION,
                  f"installer version {installer_version}: Windows 2000 SP4 ships 2.0 (200)")
    problems.want(info.get("Template") == "Intel;1033",
                  f"template {info.get('Template')}, expected Intel;1033 (x86, English)")
    tables = set(msiinfo("tables", str(package)).split()) - {"_SummaryInformation",
                                                             "_ForceCodepage"}
    unknown = sorted(tables - INSTALLER_2_TABLES)
    problems.want(not unknown, f"tables that Windows Installer 2.0 does not know: {unknown}")

    props = properties(package)
    problems.want(props.get("ALLUSERS") == "1", f"ALLUSERS {props.get('ALLUSERS')}, expected 1")
    problems.want(props.get("ProductVersion") == version,
                  f"ProductVersion {props.get('ProductVersion')}, expected {version}")
    problems.want(props.get("ProductCode") == "{" + make_msi.product_code(version) + "}",
                  f"ProductCode {props.get('ProductCode')}, not the one of version {version}")

    actions = {row["Action"]: row for row in table(package, "CustomAction")}
    run = actions.get(RUN_SETUP, {})
    kind = int(run.get("Type", "0"))
    problems.want(kind & SOURCE_AND_TARGET_BITS == TYPE_DLL_FROM_BINARY,
                  f"{RUN_SETUP}: type {kind} is not a DLL of the Binary table")
    problems.want(kind & IN_SCRIPT and kind & NO_IMPERSONATE,
                  f"{RUN_SETUP}: type {kind} is not deferred and under the system account")
    problems.want(not kind & (IGNORE_RETURN | ASYNCHRONOUS),
                  f"{RUN_SETUP}: type {kind} does not wait for the action and check its result")
    problems.want(run.get("Target") == RUN_SETUP, f"{RUN_SETUP}: entry {run.get('Target')}")
    data = actions.get(RUN_SETUP_DATA, {})
    problems.want((data.get("Type"), data.get("Source"), data.get("Target"))
                  == (str(TYPE_SET_PROPERTY), RUN_SETUP, SETUP_PATH),
                  f"{RUN_SETUP_DATA} does not set {RUN_SETUP}'s data to {SETUP_PATH}: {data}")
    with tempfile.TemporaryDirectory() as folder:
        binary = [row["Name"] for row in table(package, "Binary")]
        problems.want(binary == [run.get("Source")], f"Binary table {binary}")
        if binary == [run.get("Source")]:
            extracted = Path(folder) / "action"
            extracted.write_bytes(subprocess.run(
                ["msiinfo", "extract", str(package), "Binary." + binary[0]],
                capture_output=True, check=True, cwd=WORK[0]).stdout)
            problems.want(extracted.read_bytes() == Path(action).read_bytes(),
                          f"Binary {binary[0]} is not {action}")

    sequence = {row["Action"]: row for row in table(package, "InstallExecuteSequence")}
    at = {name: int(row["Sequence"]) for name, row in sequence.items()}
    problems.want(at.get("InstallFiles", 0) < at.get(RUN_SETUP, 0) < at.get("InstallFinalize", 0),
                  f"{RUN_SETUP} does not run after InstallFiles, within the script: {at}")
    problems.want(at.get("CostFinalize", 0) < at.get(RUN_SETUP_DATA, 0)
                  < at.get("InstallInitialize", 0),
                  f"{RUN_SETUP_DATA} does not run before the script is made: {at}")
    for name in (RUN_SETUP, RUN_SETUP_DATA):
        problems.want(sequence.get(name, {}).get("Condition") == "NOT REMOVE",
                      f"{name} is not limited to installing (NOT REMOVE)")
    problems.want(at.get("InstallInitialize", 0) < at.get("RemoveExistingProducts", 0)
                  < at.get("InstallFiles", 0),
                  f"RemoveExistingProducts does not remove an older version first: {at}")

    upgrades = table(package, "Upgrade")
    older = [row for row in upgrades if row["VersionMax"] == version
             and not int(row["Attributes"]) & (ONLY_DETECT | INCLUDE_MAXIMUM)]
    newer = [row for row in upgrades if row["VersionMin"] == version
             and int(row["Attributes"]) & ONLY_DETECT
             and not int(row["Attributes"]) & INCLUDE_MINIMUM]
    problems.want(len(older) == 1 and len(newer) == 1 and len(upgrades) == 2,
                  f"Upgrade table: not one row removing older versions and one detecting newer "
                  f"ones: {upgrades}")
    problems.want({row["UpgradeCode"] for row in upgrades} == {props.get("UpgradeCode")},
                  "the Upgrade table names another UpgradeCode than the package's")
    conditions = [row["Condition"] for row in table(package, "LaunchCondition")]
    problems.want(newer and conditions == ["NOT " + newer[0]["ActionProperty"]],
                  f"no launch condition stops the package over a newer version: {conditions}")

    directories = {row["Directory"]: row for row in table(package, "Directory")}
    folder = directories.get("INSTALLDIR", {})
    problems.want(folder.get("Directory_Parent") == "ProgramFilesFolder"
                  and folder.get("DefaultDir", "").endswith("|" + make_msi.INSTALL_FOLDER),
                  f"INSTALLDIR is not Program Files\\{make_msi.INSTALL_FOLDER}: {folder}")
    placed = sorted(re.sub(r"^.*\|", "", row["FileName"]) for row in table(package, "File"))
    problems.want(placed == sorted(Path(path).name for path in files),
                  f"files {placed}, expected {sorted(Path(path).name for path in files)}")
    return props


def higher(version):
    major, minor, patch = (int(part) for part in version.split("."))
    return f"{major}.{minor}.{patch + 1}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--version", "--setup-exe", "--nls", "--action", "--fleet"):
        parser.add_argument(option, required=True)
    args = parser.parse_args(argv)
    problems = Problems()
    with tempfile.TemporaryDirectory(prefix="check-package-") as work:
        WORK[0] = work
        medium = Path(work) / "medium"
        (medium / "win2000").mkdir(parents=True)
        shutil.copyfile(args.setup_exe, medium / "win2000/SETUP.EXE")
        shutil.copytree(args.nls, medium / "nls")
        files = sorted(path.relative_to(medium).as_posix() for path in medium.rglob("*")
                       if path.is_file())
        built = {}
        for name, version in (("first", args.version), ("again", args.version),
                              ("higher", higher(args.version))):
            package = Path(work) / f"{name}.msi"
            make_msi.build(version, medium, files, args.action, package)
            built[name] = check_package(package, version, files, args.action, problems)
    codes = {name: (props.get("ProductCode"), props.get("UpgradeCode"))
             for name, props in built.items()}
    problems.want(codes["first"] == codes["again"],
                  f"two packages of version {args.version} differ in their codes: {codes}")
    both = f"the packages of {args.version} and {higher(args.version)}"
    problems.want(codes["first"][0] != codes["higher"][0], f"{both} have one ProductCode")
    problems.want(codes["first"][1] == codes["higher"][1], f"{both} differ in UpgradeCode")
    documented = DOCUMENTED_UPGRADE_CODE.search(Path(args.fleet).read_text(encoding="utf-8"))
    problems.want(documented and documented.group(1) == codes["first"][1],
                  f"UpgradeCode {codes['first'][1]}, but {args.fleet} names "
                  f"{documented.group(1) if documented else 'none'}")
    for problem in problems:
        print(f"check_package: {problem}")
    if not problems:
        print(f"check_package: packages of {args.version} and {higher(args.version)}: installer "
              f"2.0, per machine, {RUN_SETUP} deferred under the system account, UpgradeCode "
              f"{codes['first'][1]}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
