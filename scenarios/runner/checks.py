"""The checks: one line each under `checks:`, what must hold after a run (README.md's table). A
new check is a function here, named in CHECKS."""
import filecmp

from .package import PACKAGE_CHECKS
from .common import PACKAGE_DIRS, PACKAGE_FILES, RUN_ONCE, carries, fields


def check_deployed(check, _):
    host_path, package = check.backend.host_path, check.machine.package
    for folder in PACKAGE_DIRS:
        if not host_path(package + "\\" + folder).is_dir():
            check.fail(f"package directory {folder} missing")
    for source, target in PACKAGE_FILES:
        source_path = host_path(check.machine.medium + "\\" + source)
        target_path = host_path(package + "\\" + target)
        if source_path.exists() and not target_path.is_file():
            check.fail(f"{target} not deployed")
        elif source_path.exists() and not filecmp.cmp(source_path, target_path, shallow=False):
            check.fail(f"{target} differs from the medium's {source}")
    known = {host_path(package + "\\" + path) for path in PACKAGE_DIRS} | {
        host_path(package + "\\" + target) for _, target in PACKAGE_FILES}
    for path in sorted(host_path(package).rglob("*")):
        if path not in known:
            check.fail(f"{path.relative_to(host_path(package))} in the package folder")


def check_kept(check, path):
    windows = check.machine.package + "\\" + path
    host = check.backend.host_path(windows)
    if not host.is_file() or host.read_bytes() != check.laid_out.get(windows.lower()):
        check.fail(f"package file {path} was not kept")


def check_missing(check, path):
    if check.backend.host_path(path).exists():
        check.fail(f"{path} exists")


def check_exists(check, path):
    if not check.backend.host_path(path).is_file():
        check.fail(f"there is no file {path}")


def present_device(check, hardware_id):
    device = check.backend.device(check, hardware_id)
    if device is None:
        check.fail(f"no present device carries {hardware_id}")
    return device


def check_driver(check, words):
    """The device's driver came from the package's INF file INF (the folder, where the backend
    knows it, as Windows compares it; the file name as the program passed it), that INF's own
    AddReg ran, and the INF is deployed."""
    hardware_id, inf = words.split()
    device, package = present_device(check, hardware_id), check.machine.package
    if device is not None and not device.driver:
        check.fail(f"{hardware_id} has no driver")
    if device is None or not device.driver:
        return
    folder, _, name = device.inf.rpartition("\\")
    if name != inf or folder.lower() not in ("", (package + "\\win2000").lower()):
        check.fail(f"{hardware_id}: driver not from {package}\\win2000\\{inf} ({device.inf})")
    if not check.cannot("addreg", "PackageInf") and device.addreg != inf.upper():
        check.fail(f"{hardware_id}: {inf.upper()}'s AddReg did not run ({device.addreg})")
    if not check.backend.host_path(package + "\\win2000\\" + inf.upper()).is_file():
        check.fail(f"{hardware_id}: the package INF {inf.upper()} is not deployed")


def check_no_driver(check, hardware_id):
    device = present_device(check, hardware_id)
    if device and device.driver:
        check.fail(f"{hardware_id} has a driver: {device.inf}")


def check_absent(check, hardware_id):
    if check.backend.device(check, hardware_id) is not None:
        check.fail("a present device still carries " + hardware_id)
    elif any(carries(each.ids, hardware_id)
             for device in check.machine.devices for each in device.every()):
        for doubt in check.backend.removal_doubts(hardware_id):
            check.fail(doubt)


def starts_of(check, record):
    """The starts of the stand-in whose record is RECORD, each as its fields: the record's lines
    and, where the backend journals starts, the journal's, which must agree in number."""
    path = check.backend.host_path(record)
    lines = path.read_text(encoding="latin-1").splitlines() if path.exists() else []
    starts = [dict(field.partition("=")[::2] for field in line.split("\t")) for line in lines]
    journaled = check.backend.journaled_starts(record)
    if journaled is not None and len(journaled) != len(starts):
        check.fail(f"{record}: {len(starts)} starts, but the journal has {len(journaled)}")
    return [dict(start, **journal) for start, journal in zip(starts, journaled or starts)]


def check_starts(check, words):
    record, count = words.split()
    starts = starts_of(check, record)
    if len(starts) != int(count):
        check.fail(f"{record}: {len(starts)} starts, expected {count}")


def check_started(check, words):
    record, _, text = words.partition(" ")
    starts = starts_of(check, record)
    if len(starts) != 1:
        return check.fail(f"{record}: {len(starts)} starts, expected one")
    for name, value in fields(text).items():
        shown = (starts[0][name] == value if name in starts[0]
                 else check.cannot(name, f"started {record} {name}={value}"))
        if not shown:
            check.fail(f"{record}: no field '{name}={value}' in its start: {starts[0]}")


def check_runonce(check, command):
    value = check.backend.registry_value(check, RUN_ONCE, "Setup")
    if value != (("REG_SZ", command) if command else None):
        check.fail(f"RunOnce Setup is {value}, expected {('REG_SZ', command) if command else None}")


def check_loaded(check, words, loaded=True):
    """The planted DLL's mark (DLL.loaded beside it, any letter case) names PROGRAM."""
    dll, program = words.split()
    if check.cannot("dlls", "which DLLs were loaded"):
        return
    host = check.backend.host_path(dll)
    into = {line.strip().lower() for mark in host.parent.iterdir()
            if mark.name.lower() == host.name.lower() + ".loaded"
            for line in mark.read_text(encoding="latin-1").splitlines()}
    if (program.lower() in into) != loaded:
        check.fail(f"{dll} was {'not ' if loaded else ''}loaded into {program}"
                   f" (loaded into: {', '.join(sorted(into)) or 'nothing'})")


CHECKS = {"deployed": check_deployed, "kept": check_kept, "missing": check_missing,
          "exists": check_exists,
          "driver": check_driver, "no-driver": check_no_driver, "absent": check_absent,
          "starts": check_starts, "started": check_started, "runonce": check_runonce,
          "no-runonce": lambda check, _: check_runonce(check, ""), "loaded": check_loaded,
          "not-loaded": lambda check, words: check_loaded(check, words, False),
          **PACKAGE_CHECKS}
