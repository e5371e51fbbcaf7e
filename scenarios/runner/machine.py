"""A case's machine: what its statements say (Machine), and how a backend lays it out before the
first run (lay_out and the statements on the machine's files)."""
import codecs
import re
import shutil
from pathlib import Path

from .package import package
from .common import (PACKAGE_DIRS, PACKAGE_FILES, PLANTED_DLLS, SETUP_LOG, SYSTEM32,
                     VERSION_STAMP, CaseError, fields)


class MachineDevice:
    """A device statement (ids None: a device without a list) and the devices indented below it."""

    def __init__(self, words):
        flags = ("reappears", "at-restart")
        self.ids = [word for word in words if "=" not in word and word not in flags] or None
        options = fields(" ".join(word for word in words if "=" in word))
        self.update = options.pop("update", "ok")
        self.reappears, self.at_restart = "reappears" in words, "at-restart" in words
        self.children = []
        if options or self.update not in ("ok", "reboot", "fail"):
            raise CaseError(f"device: unknown option in {' '.join(words)}")

    def every(self):
        return [self] + [each for child in self.children for each in child.every()]


CLOCK = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}")


def clock(text):
    """The machine's local time at the start of a run, as machine.json gives it."""
    if not CLOCK.fullmatch(text):
        raise CaseError(f"clock: '{text}' is not YYYY-MM-DD HH:MM:SS.mmm")
    return text


# The statements that set one thing of the machine: which, and how their value reads.
SETTINGS = {"language": ("language", int), "system-directory": ("system", str),
            "windows-directory": ("windows", str), "clock": ("clock", clock),
            "wow64": ("wow64", lambda _: True),
            "read-only-registry": ("registry_writable", lambda _: False),
            "medium": ("medium", str), "current-directory": ("current_directory", str)}
# What only the simulated machine can lay out (Wine, as root, overwrites a read-only file).
SIMULATOR_ONLY = {"system-directory": "another system directory", "fault": "a fault",
                  "windows-directory": "another Windows directory", "clock": "a set clock",
                  "read-only-registry": "a read-only registry", "read-only": "a read-only file"}


class Machine:
    """What a case's machine statements say (no case: the backend's empty machine): its settings,
    faults and devices, and the statements on its files (FILE_STATEMENTS, laid out in order)."""

    def __init__(self, case=None):
        self.system = case.system if case else SYSTEM32
        self.language, self.registry_writable = 1033, True
        self.medium, self.current_directory = "D:", None
        self.windows, self.clock, self.wow64 = None, None, False
        self.devices, self.faults, self.files, self.simulator_only = [], [], [], []
        nesting = []  # (indentation, device) of the devices that may take children
        for line in expand(case.machine_lines() if case else []):
            indent = len(line) - len(line.lstrip())
            statement, _, rest = line.strip().partition(" ")
            rest = rest.strip()
            if statement in SIMULATOR_ONLY:
                self.simulator_only.append(SIMULATOR_ONLY[statement])
            if statement == "device":
                device = MachineDevice(rest.split())
                while nesting and nesting[-1][0] >= indent:
                    nesting.pop()
                (nesting[-1][1].children if nesting else self.devices).append(device)
                nesting.append((indent, device))
            elif statement == "fault":
                op, _, options = rest.partition(" ")
                self.faults.append({"op": op, **{name: value if name == "path" else int(value)
                                                 for name, value in fields(options).items()}})
            elif statement in SETTINGS:
                name, read = SETTINGS[statement]
                setattr(self, name, read(rest))
            elif statement in FILE_STATEMENTS:
                self.files.append((statement, rest))
            else:
                raise CaseError(f"{case.name}: unknown machine statement '{statement}'")

    @property
    def package(self):
        return self.system + "\\drivers\\orvan"

    @property
    def windows_directory(self):
        """As the statement says; without one, the system directory's parent."""
        return self.windows or self.system.rpartition("\\")[0]

    @property
    def setup_log(self):
        """Where the setup log lies unless the program is told another path."""
        return self.windows_directory + "\\" + SETUP_LOG


def expand(lines):
    """The statements, each `repeat N STATEMENT` as N statements with {n} counting from 0."""
    for line in lines:
        words = line.split(" ", 2)
        if words[0] == "repeat":
            yield from (words[2].replace("{n}", str(n)) for n in range(int(words[1])))
        elif line.strip():
            yield line


def lay_out(check):
    """The machine before the first run: the backend's empty machine, the medium on D: with the
    program as built (version stamp and all) as its SETUP.EXE and the older setup program's
    stand-in, then the statements' files, then its devices and settings."""
    backend, machine = check.backend, check.machine
    backend.reset(check)
    medium = backend.host_path("D:\\")
    shutil.copytree(backend.config["medium"], medium)
    for folder in ("nt", "nls"):
        (medium / folder).mkdir(exist_ok=True)
    for catalogue in Path(backend.config["nls"]).glob("*.NLS"):
        shutil.copy(catalogue, medium / "nls")
    shutil.copy(backend.config[backend.program], medium / "win2000/SETUP.EXE")
    backend.install("D:\\nt\\KVLSETUP.EXE", "KVLSETUP.EXE")
    for statement, text in machine.files:
        FILE_STATEMENTS[statement](check, text)
    if machine.medium != "D:":  # the medium, laid out on D:, moves to where the case says
        folder = backend.host_path(machine.medium + "\\")
        folder.mkdir(parents=True, exist_ok=True)
        for item in list(medium.iterdir()):
            shutil.move(item, folder / item.name)
    backend.machine_state(check, machine)


def write(check, path, content):
    host = check.backend.host_path(path)
    host.parent.mkdir(parents=True, exist_ok=True)
    host.write_bytes(content)
    check.laid_out[path.lower()] = content


def remove(check, path):
    host = check.backend.host_path(path)
    shutil.rmtree(host) if host.is_dir() else host.unlink()


def make_read_only(check, path):
    host = check.backend.host_path(path)
    host.chmod(host.stat().st_mode & ~0o222)


def copy(check, paths):
    source, target = (check.backend.host_path(path) for path in paths.split(" ", 1))
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(source, target)


def plant_dlls(check, _):
    for folder in ("D:\\win2000\\", "C:\\"):
        for dll in PLANTED_DLLS:
            check.backend.install(folder + dll, dll)
    check.backend.install("D:\\win2000\\IMPORTER.EXE", "importer.exe")


def deploy(check, what):
    file, _, options = what.partition(" ")
    stamp, package = fields(options).get("stamp"), check.machine.package
    files = [(source, target) for source, target in PACKAGE_FILES
             if not file or target.lower() == file.lower()]
    if not files:
        raise CaseError(f"deployed: {file} is not a package file")
    for folder in PACKAGE_DIRS if not file else []:
        check.backend.host_path(package + "\\" + folder).mkdir(parents=True, exist_ok=True)
    for source, target in files:
        content = check.backend.host_path("D:\\" + source).read_bytes()
        if stamp == "+1":
            content = raised_stamp(content)
            if content is None:
                raise CaseError(f"deployed: the medium's {source} has no version stamp to raise")
        elif stamp:
            content = VERSION_STAMP.sub(b"!@#$" + stamp.encode() + b"$#@!", content)
        write(check, package + "\\" + target, content)


def raised_stamp(data):
    """DATA with the number of its version stamp (the first, as the program reads it) raised by
    one, its digits turning in their places as a counter's do; None without a stamp whose
    digits can go up."""
    stamp = VERSION_STAMP.search(data[:100000])
    if stamp is None:
        return None
    text = bytearray(stamp.group()[4:-4])
    for at in reversed([at for at, byte in enumerate(text) if byte in b"0123456789"]):
        if text[at] != ord("9"):
            text[at] += 1
            return data[:stamp.start() + 4] + bytes(text) + data[stamp.end() - 4:]
        text[at] = ord("0")
    return None


# An old log's lines, for a large file: the number counts them (modulo a million).
FILLER_LINE = "2000-01-01 00:00:00 filler {:06d}\r\n"
FILLER_LINE_BYTES = len(FILLER_LINE.format(0))


def large_file(check, words):
    """A file of exactly BYTES bytes, each line an old log's, ended by CR LF: the remainder of a
    whole number of lines widens the last line's number by as many leading zeros."""
    path, _, size = words.rpartition(" ")
    size = int(size)
    lines, rest = divmod(size, FILLER_LINE_BYTES)
    if lines == 0 and rest:
        raise CaseError(f"large-file: {size} bytes hold no whole line ({FILLER_LINE_BYTES} bytes)")
    content = "".join(FILLER_LINE.format(number % 1000000) for number in range(lines)).encode()
    if rest:
        last = len(content) - FILLER_LINE_BYTES + len("2000-01-01 00:00:00 filler ")
        content = content[:last] + b"0" * rest + content[last:]
    write(check, path, content)


def raise_stamp(check, path):
    """The version stamp of the file at PATH raised by one (raised_stamp)."""
    host = check.backend.host_path(path)
    content = raised_stamp(host.read_bytes())
    if content is None:
        raise CaseError(f"raise-stamp: {path} has no version stamp to raise")
    host.write_bytes(content)


# The statements on the machine's files, each laid out with the rest of its line.
FILE_STATEMENTS = {
    "service-program": lambda check, _: check.backend.install(
        check.machine.system + "\\zovduvik.exe", "zovduvik.exe"),
    "older-setup-exit": lambda check, code: write(
        check, "D:\\nt\\KVLSETUP.exit", code.encode() + b"\n"),
    "older-setup-says": lambda check, text: write(
        check, "D:\\nt\\KVLSETUP.say", codecs.escape_decode(text)[0]),
    "no-older-setup": lambda check, _: remove(check, "D:\\nt\\KVLSETUP.EXE"),
    "planted-dlls": plant_dlls,
    "deployed": deploy,
    "file": lambda check, text: write(
        check, text.partition(" ")[0], codecs.escape_decode(text.partition(" ")[2])[0]),
    "read-only": make_read_only,
    "remove": remove,
    "copy": copy,
    "large-file": large_file,
    "package": lambda check, what: package(check, what),
    "raise-stamp": lambda check, path: raise_stamp(check, path),
}
