"""What the modules of the runner share: the names of the machine's places and of the package,
the errors that end a check, and two small readers."""
import collections
import re
from pathlib import Path

CASES = Path(__file__).resolve().parent.parent  # scenarios/, where the cases lie
SKIPPED = 77
TIME_LIMIT = 120  # seconds for one run of a program

# The system directory of a case's machine, Windows 2000's; Wine's own stands in for it there.
SYSTEM32 = "C:\\WINNT\\system32"
WINE_SYSTEM32 = "C:\\windows\\system32"
# The Windows directory of a case's machine (Wine's: C:\windows), where the setup log lies.
WINDOWS = "C:\\WINNT"
SETUP_LOG = "ZOVSETUP.LOG"
RUN_ONCE = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

# The package tree and its nineteen files: where each lies on the medium (D:\) and in the package.
PACKAGE_DIRS = ["win2000", "nt", "nt\\X4400", "nt\\X4400\\pivandor", "nls"]
PACKAGE_FILES = [("win2000\\" + name,) * 2 for name in (
    "ORVA.INF ORVAN.INF RUDX.INF ZOVRUDX.SYS ZOVTOLIN.DLL ZOVKAF.DLL ZOVKAF.SYS KAF.INF ORVA.CAT "
    "ORVAN.CAT RUDX.CAT KAF.CAT NUVELODA.DLL ZOVTOLIN.EXE ZOVDUVIK.EXE SETUP.EXE").split()] + [
    ("nt\\KVLSETUP.EXE",) * 2, ("nls\\ENGLISH.NLS", "win2000\\ENGLISH.NLS"),
    ("nls\\JAPANESE.NLS", "win2000\\JAPANESE.NLS")]
VERSION_STAMP = re.compile(rb"!@#\$[^$]*\$#@!")

PLANTED_DLLS = ["newdev.dll", "setupapi.dll"]
STANDINS = ["KVLSETUP.EXE", "zovduvik.exe"]

# The locales that give Wine's GetSystemDefaultLangID these language identifiers.
LOCALES = {1033: "en_US.UTF-8", 2057: "en_GB.UTF-8", 1031: "de_DE.UTF-8", 1036: "fr_FR.UTF-8",
           3082: "es_ES.UTF-8", 1041: "ja_JP.UTF-8"}

# A present device as a backend reads it back: whether it has a driver, the INF that driver came
# from (a path, or a file name only) and what that INF's AddReg wrote (PackageInf).
Device = collections.namedtuple("Device", "driver inf addreg")


class Unavailable(Exception):
    """A check that this machine cannot run (a tool is missing): with CI=true, a failure."""


class CaseError(Exception):
    """A case file that does not say what it means."""


def fields(text):
    """NAME=VALUE fields separated by spaces; a value runs up to the next ' NAME='."""
    return dict(field.partition("=")[::2] for field in re.split(r" (?=[a-z_]+=)", text) if field)


def carries(ids, hardware_id):
    return any(each.lower() == hardware_id.lower() for each in ids or [])
