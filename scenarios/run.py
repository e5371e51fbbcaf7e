#!/usr/bin/env python3
"""Runs the cases of scenarios/ against a build of the setup program.

usage: run.py BUILD_DIR list | check NAME | all | setup | cleanup | machine NAME DIR

BUILD_DIR's scenario-runner.json (written by CMake) says what a case runs on: setup-sim on a
machine folder made from the case (Linux presets), or SETUP.EXE under Wine in a prefix of the
image's architecture (windows: 32-bit, set to Windows 2000; windows-x64: 64-bit).
  list          the names of the checks
  check NAME    the case scenarios/NAME.case, keywait (the exit key wait on a terminal, in tmux)
                or under Wine platform (the Windows backend's own checks); exit code 0, 1
                failed, 77 skipped
  all           every check (under Wine in a new prefix), then a count
  setup         (Wine) a new prefix, its server kept warm; check makes one where there is none
  cleanup       (Wine) stops the prefix's server
  machine NAME DIR   (simulator) lays out the machine of the case NAME as the machine folder DIR
One case by hand, once the preset is built (as ctest runs it):
  scenarios/run.py build/default check first-install
scenarios/README.md says how a case is written, where the files of its runs stay and when a
check is skipped (and, with CI=true, fails instead).
"""
import codecs
import collections
import difflib
import errno
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

CASES = Path(__file__).resolve().parent
SKIPPED = 77
TIME_LIMIT = 120  # seconds for one run of a program

# The system directory of a case's machine, Windows 2000's; Wine's own stands in for it there.
SYSTEM32 = "C:\\WINNT\\system32"
WINE_SYSTEM32 = "C:\\windows\\system32"
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


# --- The case file -------------------------------------------------------------------------

CASE_KEYS = ("only", "machine", "environment", "encoding", "first")
STEP_KEYS = ("input", "exit", "output", "checks", "journal")
KEY_LINE = re.compile(r"(%s):(?: (.*))?$" % "|".join(CASE_KEYS + STEP_KEYS + ("run", "restart")))


class Case:
    """A case file: its machine (the statements of the case it names, then its own), the values
    of the keys above the first run, and its steps, each run or restart a dict of its keys'
    lines. Under Wine every mention of the machine's system directory reads as Wine's."""

    def __init__(self, name, system=SYSTEM32):
        path = CASES / f"{name}.case"
        if not path.is_file():
            raise CaseError(f"no case {path}")
        text = path.read_text(encoding="utf-8")
        if system != SYSTEM32:
            text = re.sub(re.escape(SYSTEM32), lambda _: system, text, flags=re.IGNORECASE)
        self.name, self.system, self.base, self.statements = name, system, None, []
        self.values, self.steps = {}, []
        for key, inline, body, number in blocks(path.name, text):
            where = f"{path.name}:{number}"
            if key in ("run", "restart"):
                if (key == "run") != bool(inline) or body:
                    raise CaseError(f"{where}: 'run: COMMAND LINE' or 'restart:' alone")
                self.steps.append({"kind": key, "command": (inline or "").split()})
            elif (key in STEP_KEYS) != bool(self.steps):
                raise CaseError(f"{where}: '{key}' belongs "
                                + ("to a run" if key in STEP_KEYS else "before the first run"))
            elif key == "machine":
                self.base, self.statements = inline, body
            elif inline is not None and body:
                raise CaseError(f"{where}: '{key}' has a value on its line and below it")
            else:
                (self.steps[-1] if self.steps else self.values)[key] = (
                    body if inline is None else [inline])
        if not self.steps:
            raise CaseError(f"{path.name}: no 'run:'")
        if any("exit" not in step or "output" not in step for step in self.steps):
            raise CaseError(f"{path.name}: each run and restart says 'exit:' and 'output:'")
        self.environment = dict(line.split("=", 1) for line in self.values.get("environment", []))

    def value(self, key, default=None):
        return self.values[key][0] if key in self.values else default

    def machine_lines(self):
        return (Case(self.base, self.system).machine_lines() if self.base else []) + self.statements


def blocks(file_name, text):
    """The KEY: lines of a case, each with the value on its line, the indented lines below it (their
    first two spaces taken off, empty lines at the end left out) and its line number. Lines that
    begin with # are comments."""
    found = []
    for number, line in enumerate(text.split("\n"), 1):
        key = KEY_LINE.match(line)
        if key:
            found.append((key.group(1), key.group(2), [], number))
        elif found and (line.startswith("  ") or not line.strip()):
            found[-1][2].append(line[2:])
        elif line.strip() and not line.startswith("#"):
            raise CaseError(f"{file_name}:{number}: not a key, an indented line or a comment")
    for _, _, body, _ in found:
        while body and not body[-1].strip():
            body.pop()
    return found


def data(lines, encoding="utf-8"):
    """The bytes that a value's lines stand for: each line ended by LF, but for a last line
    "\\ no line end"; ^M stands for a CR."""
    if lines and lines[-1] == "\\ no line end":
        text = "\n".join(lines[:-1])
    else:
        text = "".join(line + "\n" for line in lines)
    return text.replace("^M", "\r").encode(encoding)


def fields(text):
    """NAME=VALUE fields separated by spaces; a value runs up to the next ' NAME='."""
    return dict(field.partition("=")[::2] for field in re.split(r" (?=[a-z_]+=)", text) if field)


# --- The machine ---------------------------------------------------------------------------

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


# The statements that set one thing of the machine: which, and how their value reads.
SETTINGS = {"language": ("language", int), "system-directory": ("system", str),
            "read-only-registry": ("registry_writable", lambda _: False),
            "medium": ("medium", str), "current-directory": ("current_directory", str),
            "windows-directory": ("windows_directory", str), "clock": ("clock", str),
            "wow64": ("wow64", lambda _: True)}
# What only the simulated machine can lay out (Wine, as root, overwrites a read-only file).
SIMULATOR_ONLY = {"system-directory": "another system directory", "fault": "a fault",
                  "read-only-registry": "a read-only registry", "read-only": "a read-only file",
                  "windows-directory": "another Windows directory", "clock": "a set clock",
                  "wow64": "a 64-bit Windows"}


class Machine:
    """What a case's machine statements say (no case: the backend's empty machine): its settings,
    faults and devices, and the statements on its files (FILE_STATEMENTS, laid out in order)."""

    def __init__(self, case=None):
        self.system = case.system if case else SYSTEM32
        self.language, self.registry_writable = 1033, True
        self.windows_directory, self.clock, self.wow64 = None, None, False
        self.medium, self.current_directory = "D:", None
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
}


# --- The backends --------------------------------------------------------------------------

class Check:
    """One run of a check on a backend: its work folder, its machine and its failures."""

    def __init__(self, backend, name):
        self.backend, self.failures, self.said = backend, 0, set()
        self.out = backend.work / "runs" / name
        self.machine_dir, self.machine, self.laid_out = self.out / "machine", None, {}

    def fail(self, message):
        print("  FAILED: " + message)
        self.failures += 1

    def cannot(self, what, detail):
        """Whether the backend cannot show WHAT (saying so once)."""
        reason = self.backend.cannot.get(what)
        if reason and what not in self.said:
            print(f"  skipped on {self.backend.title}: {detail}: {reason}")
            self.said.add(what)
        return reason is not None


def carries(ids, hardware_id):
    return any(each.lower() == hardware_id.lower() for each in ids or [])


def run_program(check, args, env, stdin, cwd, out):
    """Runs a program in a session of its own (no terminal: the key wait of the exit tail ends at
    once), standard input from a pipe, its output kept in OUT/stdout and OUT/stderr."""
    out.mkdir(parents=True, exist_ok=True)
    code = None
    with open(out / "stdout", "wb") as stdout, open(out / "stderr", "wb") as stderr:
        try:
            code = subprocess.run(args, input=stdin, stdout=stdout, stderr=stderr, env=env, cwd=cwd,
                                  timeout=TIME_LIMIT, start_new_session=True).returncode
        except subprocess.TimeoutExpired:
            check.fail(f"{args[-1]} did not end within {TIME_LIMIT} s")
    return subprocess.CompletedProcess(args, code, (out / "stdout").read_bytes(),
                                       (out / "stderr").read_bytes())


class Backend:
    """A kind of machine. It lays out a machine (reset: an empty one, without a medium; install: a
    program of the test build at a Windows path; machine_state: the devices and settings), runs
    the program (the config's `program`) and a restart, and reads back files (host_path),
    devices (device, removal_doubts), started programs (journaled_starts), the registry
    (registry_value) and the journal. `cannot` says what it cannot show, and why; `line_end` is
    what each LF of the program's output becomes; the key wait runs on the machine of the case
    `key_wait_case` (none: an empty one), pressing each of `keys`."""

    cannot, specials, system = {}, {}, SYSTEM32

    def __init__(self, config):
        self.config, self.work = config, Path(config["work"]).resolve()
        # No display, and no locale of whoever started the runner (the machine gives the language).
        self.env = {name: value for name, value in os.environ.items() if not name.startswith("LC_")
                    and name not in ("LANG", "LANGUAGE", "DISPLAY", "WAYLAND_DISPLAY")}

    def start(self, check):
        """Makes the backend ready for a check."""

    def host_path(self, path):
        return self.drive(path[0]) / path[3:].replace("\\", "/")


# The simulator's stand-in for a program that the setup program starts, as standin.cpp is on
# Windows: a line in NAME.rec for each start, NAME.say on its output, the exit code in NAME.exit.
# How it was started (command line, startup record) the journal says.
SIM_STANDIN = """#!/bin/sh
base=${0%.*}
echo "command_line=$0${1+ $*}" >>"$base.rec"
[ -f "$base.say" ] && cat "$base.say"
[ -s "$base.exit" ] && exit "$(tr -d ' \\r\\n' <"$base.exit")"
exit 0
"""


def sim_device(device):
    return dict(hardware_ids=device.ids, update=device.update, driver=None,
                **({"reappears": True} if device.reappears else {}),
                **({"children": [sim_device(child) for child in device.children]}
                   if device.children else {}))


class Simulator(Backend):
    """setup-sim on a machine folder made from the case."""

    name, title, line_end, program = "simulator", "the simulator", b"\n", "setup_sim"
    keys, key_wait_case = ("x", "F1", "C-c"), "first-install"  # the key wait reads the terminal raw
    cannot = {"console_processes": "the simulator keeps no console process count",
              "addreg": "the simulator runs no INF's AddReg",
              "dlls": "the simulated machine loads no DLLs",
              "first": "setup-sim runs only the setup program"}

    def reset(self, check):
        self.machine = check.machine_dir
        shutil.rmtree(self.machine, ignore_errors=True)
        try:  # where the host can hold it: a system directory may be longer than any file name
            self.host_path(check.machine.system + "\\drivers").mkdir(parents=True)
        except OSError as error:
            if error.errno != errno.ENAMETOOLONG:
                raise

    def drive(self, letter):
        return self.machine / "drives" / letter.upper()

    def install(self, path, program):
        host = self.host_path(path)
        host.parent.mkdir(parents=True, exist_ok=True)
        host.write_text(SIM_STANDIN if program in STANDINS else f"{program}: never run here\n")
        host.chmod(0o755)

    def state(self, new=None):
        """machine.json, read, or written as NEW."""
        path = self.machine / "machine.json"
        if new is None:
            return json.loads(path.read_text(encoding="utf-8"))
        path.write_text(json.dumps(new, indent=2) + "\n", encoding="utf-8")

    def machine_state(self, check, machine):
        self.state({"system_directory": machine.system, "current_drive": "C",
                    **({"current_directory": machine.current_directory}
                       if machine.current_directory else {}),
                    "language": machine.language, "sleep": "virtual",
                    "registry_writable": machine.registry_writable, "registry": {},
                    **({"windows_directory": machine.windows_directory}
                       if machine.windows_directory is not None else {}),
                    **({"clock": machine.clock} if machine.clock is not None else {}),
                    "wow64": machine.wow64,
                    "faults": machine.faults, "devices": [sim_device(device) for device
                                                          in machine.devices
                                                          if not device.at_restart]})

    def run(self, check, command, env, stdin, out, options=("--",)):
        """setup-sim on the machine; the locale is the machine's language, not the environment."""
        env = dict(self.env, **{name: value for name, value in env.items()
                                if name not in ("LC_ALL", "LANG")})
        return run_program(check, [self.config["setup_sim"], "--machine", str(self.machine),
                                   *options, *command], env, stdin, self.machine, out)

    def restart(self, check, arriving, env, out):
        """The devices that come with the restart (ARRIVING) join the machine first. 0, 1 and 2
        are the program's exit codes; any other is setup-sim's own error."""
        if arriving:
            state = self.state()
            state["devices"] += [sim_device(device) for device in arriving]
            self.state(state)
        result = self.run(check, [], env, b"", out, ("--reboot",))
        if result.returncode is not None and result.returncode > 2:
            check.fail(f"restart: setup-sim exit code {result.returncode}: {result.stderr[:300]}")
        return result

    def journal(self):
        path = self.machine / "journal.jsonl"
        return [json.loads(line) for line in (path.read_text().splitlines() if path.exists()
                                              else []) if line.strip()]

    def successful(self, op):
        return [entry for entry in self.journal() if entry.get("op") == op and entry.get("ok")]

    def device(self, check, hardware_id):
        for device in self.state()["devices"]:
            if carries(device.get("hardware_ids"), hardware_id):
                return Device(bool(device.get("driver")), device.get("driver") or "", None)
        return None

    def removal_doubts(self, hardware_id):
        """Why a device that carried HARDWARE_ID may be gone without the program removing it."""
        journaled = any(entry.get("function") == "DIF_REMOVE" and carries(entry["hardware_ids"],
                                                                          hardware_id)
                        for entry in self.successful("SetupDiCallClassInstaller"))
        removed = any(carries(device.get("hardware_ids"), hardware_id)
                      for device in self.state().get("removed_devices", []))
        return ([] if journaled else [f"{hardware_id} is gone without a DIF_REMOVE in the journal"]
                ) + ([] if removed else [f"{hardware_id} is not among the removed_devices"])

    def journaled_starts(self, record):
        """The starts of the program beside RECORD: same path but for the extension, the program
        of a command line as the simulator takes it (quoted, or up to the first space)."""
        def program(line):
            return (line.split('"')[1] if line.startswith('"') else line.split(" ")[0])
        return [{name: str(entry[name])
                 for name in ("command_line", "startf", "show_window", "creation_flags")}
                for entry in self.successful("CreateProcessA")
                if program(entry["command_line"]).rsplit(".", 1)[0].lower()
                == record.rsplit(".", 1)[0].lower()]

    def registry_value(self, check, key, name):
        return next(((value.get("type"), value.get("data"))
                     for key_name, values in self.state().get("registry", {}).items()
                     for value_name, value in values.items()
                     if (key_name.lower(), value_name.lower()) == (key.lower(), name.lower())), None)

    def key_wait_command(self):
        """Standard input not on the terminal: the key wait reads the terminal itself (and Ctrl+C
        there is a key like any other)."""
        return self.machine, (f"'{self.config['setup_sim']}' --machine '{self.machine}' -- "
                              "'D:\\win2000\\SETUP.EXE' </dev/null")


class Wine(Backend):
    """SETUP.EXE under Wine: one prefix for the suite, the medium as drive D:, the test programs
    of the build (for the image's own architecture) for devices, registry and version."""

    name, system, line_end, program = "wine", WINE_SYSTEM32, b"\r\n", "setup_exe"
    keys, key_wait_case = ("x", "F1"), None
    cannot = {"journal": "Wine keeps no journal of what the program did",
              "restart_exit": "wineboot does not pass on the exit code of what RunOnce started"}

    def __init__(self, config):
        super().__init__(config)
        self.arch, self.programs = config["arch"], Path(config["programs"])
        self.prefix, self.medium = self.work / "prefix", self.work / "medium"
        self.title = {"win32": "Wine, 32-bit prefix set to Windows 2000"}.get(
            self.arch, "Wine, 64-bit prefix")
        # The 64-bit loader for a 64-bit prefix: the 32-bit one starts the 32-bit builds of Wine's
        # own programs (wineboot), which see the other registry view.
        wine64 = shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.loader = wine64 if self.arch == "win64" and os.access(wine64, os.X_OK) else "wine"
        self.env = dict(self.env, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=self.arch)
        self.specials = {"platform": self.platform, "keywait": key_wait}

    def missing(self):
        """What this machine lacks to run the suite, if anything."""
        if not shutil.which("wine") or not shutil.which("wineserver"):
            return "Wine is not installed (apt-get install -y wine64)"
        if self.arch == "win32" and os.access("/usr/lib/wine/wine64", os.X_OK) and not os.access(
                "/usr/lib/wine/wine", os.X_OK):  # Debian: wine32:i386 brings the 32-bit loader
            return ("32-bit Wine is not installed: the package wine32:i386 (dpkg "
                    "--add-architecture i386 && apt-get update && apt-get install -y wine32:i386)")
        return None

    def quietly(self, *args):
        """A Wine command on none of our streams: the server and the services that Wine starts
        outlive it, and must not hold a test runner's output open."""
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def setup(self, check):
        """A new prefix (a 32-bit one set to Windows 2000), its server warm."""
        if self.prefix.exists():
            self.quietly("wineserver", "-k")  # the server of an old prefix would outlive it
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.work.mkdir(parents=True, exist_ok=True)
        if self.quietly(self.loader, "wineboot", "-i") or self.quietly("wineserver", "-w"):
            check.fail(f"wineboot could not make the prefix {self.prefix}")
        if self.arch == "win32":
            self.quietly(self.loader, "winecfg", "-v", "win2k")
            self.quietly("wineserver", "-w")
        self.warm()
        version = self.tool(check, "version").strip()
        print(f"  {self.title}: GetVersionExA reports {version}")
        if self.arch == "win32" and not version.startswith("5.0.2195 2 "):
            check.fail(f"the prefix is not Windows 2000 (5.0 build 2195, platform 2): {version}")

    def start(self, check):
        self.warm() if self.prefix.exists() else self.setup(check)

    def warm(self):
        self.quietly("wineserver", "--persistent=600")  # ends itself when forgotten
        self.quietly(self.loader, "cmd", "/c", "exit")

    def tool(self, check, *args, may_miss=False):
        """What devtool prints; "" when it did not find what it was asked for (exit code 1: a
        failure unless MAY_MISS, as is any other)."""
        result = subprocess.run([self.loader, str(self.programs / "devtool.exe"), *args],
                                env=self.env, stdin=subprocess.DEVNULL, capture_output=True)
        if result.returncode != 0 and not (may_miss and result.returncode == 1):
            check.fail(f"devtool {' '.join(args)}: exit code {result.returncode}: "
                       f"{result.stderr.decode(errors='replace').strip()}")
        return result.stdout.decode("latin-1").replace("\r", "") if result.returncode == 0 else ""

    def drive(self, letter):
        """C: the prefix's own, D: the medium, any other a folder of the suite's, mapped as that
        drive when first asked for."""
        letter = letter.lower()
        if letter in "cd":
            return self.prefix / "drive_c" if letter == "c" else self.medium
        folder, mapping = self.work / f"drive-{letter}", self.prefix / f"dosdevices/{letter}:"
        folder.mkdir(parents=True, exist_ok=True)
        if not mapping.is_symlink():
            mapping.symlink_to(folder)
        return folder

    def reset(self, check):
        """No medium (D: its folder), package, test devices, RunOnce value, service program or
        planted DLL."""
        shutil.rmtree(self.medium, ignore_errors=True)
        for folder in self.work.glob("drive-?"):
            shutil.rmtree(folder)
        shutil.rmtree(self.host_path(WINE_SYSTEM32 + "\\drivers\\orvan"), ignore_errors=True)
        (self.prefix / "dosdevices/d:").unlink(missing_ok=True)
        (self.prefix / "dosdevices/d:").symlink_to(self.medium)
        for path in [*self.host_path(WINE_SYSTEM32).glob("zovduvik.*"),
                     *self.host_path("C:\\").iterdir()]:
            if path.name.startswith("zovduvik.") or path.name.lower().split(".loaded")[0] in PLANTED_DLLS:
                path.unlink()
        self.tool(check, "clear")
        self.tool(check, "regdelete", RUN_ONCE, "Setup")

    def install(self, path, program):
        shutil.copy(self.programs / program, self.host_path(path))

    def machine_state(self, check, machine):
        """The devices, made by devtool: each with a hardware-ID list and an update that works;
        children only under a device that comes back at the restart, where they are made with
        it (Wine cannot bring up the children of a driver)."""
        for device in machine.devices:
            if device.ids is None or device.update != "ok" or any(
                    child.ids is None or child.update != "ok" or child.children
                    for child in device.children) or device.children and not device.reappears:
                machine.simulator_only.append(f"the device {device.ids}")
        if machine.language not in LOCALES:
            machine.simulator_only.append(f"the language {machine.language}")
        if machine.simulator_only:
            raise CaseError(f"only the simulator lays out {', '.join(machine.simulator_only)}:"
                            " say 'only: simulator (WHY)'")
        self.create(check, [device for device in machine.devices if not device.at_restart])

    def create(self, check, devices):
        for device in devices:
            self.tool(check, "create", *device.ids)

    def run(self, check, command, env, stdin, out):
        """In the locale that gives the machine's language and in its current directory (C:\\
        where it says none)."""
        machine, env = check.machine, {**self.env, **env}
        if machine and machine.language != 1033:
            env["LC_ALL"] = LOCALES[machine.language]
        folder = (self.host_path(machine.current_directory + "\\")
                  if machine and machine.current_directory else self.prefix / "drive_c")
        return run_program(check, [self.loader, *command], env, stdin, folder, out)

    def restart(self, check, arriving, env, out):
        """The devices that come back at the restart (anew, with their children: the program
        removed them) and those that come with it (ARRIVING) are made, then wineboot runs the
        RunOnce commands; its exit code and standard error say nothing of them."""
        self.create(check, [each for device in check.machine.devices if device.reappears
                            and self.device(check, device.ids[0]) is None
                            for each in device.every()] + arriving)
        result = self.run(check, ["wineboot", "-r"], env, b"", out)
        return subprocess.CompletedProcess(result.args, None, result.stdout, b"")

    def journal(self):
        return []  # Wine keeps none

    def device(self, check, hardware_id):
        for line in self.tool(check, "list").splitlines():
            _, ids, driver, values = (line.split("\t") + ["", "", ""])[:4]
            if carries(ids.split(";"), hardware_id):
                values = dict(value.partition("=")[::2] for value in values.split(";"))
                return Device(driver != "-", values.get("InfPath", ""), values.get("PackageInf", ""))
        return None

    def removal_doubts(self, hardware_id):
        return []  # Wine removes a device for real, and none vanishes by itself

    def journaled_starts(self, record):
        return None  # no journal: the stand-in's record is all there is

    def registry_value(self, check, key, name):
        value = self.tool(check, "regget", key, name, may_miss=True)
        return tuple(value.rstrip("\n").split("\t", 1)) if value else None

    def platform(self, check):
        """platform_check's own checks, then the standard streams: text-mode output, standard
        input read byte for byte."""
        program = str(self.programs / "platform_check.exe")
        # Wine run by root writes to read-only files: the check must know to let that be.
        env = {"PLATFORM_CHECK_WINE_AS_ROOT": "1"} if os.geteuid() == 0 else {}
        result = self.run(check, [program], env, b"", check.out)
        for line in result.stdout.decode("latin-1").replace("\r", "").splitlines():
            print("  " + line)
        if result.returncode != 0:
            check.fail(f"platform_check exit code {result.returncode}")
        stdio = self.run(check, [program, "stdio"], {}, b"x\r\ny\x1az\n", check.out / "stdio")
        if stdio.stdout != b"780d0a791a7a0a\r\n":
            check.fail(f"stdio: {stdio.stdout!r}")

    def key_wait_command(self):
        """SETUP.EXE with its standard streams on the terminal, where Wine gives it a console."""
        return self.prefix / "drive_c", f"'{self.loader}' 'D:\\win2000\\SETUP.EXE'"


def key_wait(check):
    """The program in a tmux pane waits after "Press any key to exit." until a key comes; each
    key press (in a run of its own) ends it with exit code 0, the prompt without a line end and
    the key not echoed."""
    if not shutil.which("tmux"):
        raise Unavailable("tmux is not installed (apt-get install -y tmux)")
    backend = check.backend
    tmux, exit_code = ["tmux", "-L", f"runner-keywait-{os.getpid()}"], check.out / "exit_code"
    for key in backend.keys:
        check.machine = Machine(Case(backend.key_wait_case) if backend.key_wait_case else None)
        lay_out(check)
        folder, command = backend.key_wait_command()
        (check.out / "run.sh").write_text(
            f"cd '{folder}' || exit 99\ntimeout --foreground 60 {command}\n"
            f"code=$?; printf 'EXIT=%s' $code; echo $code >'{exit_code}.new'\n"
            f"mv '{exit_code}.new' '{exit_code}'; sleep 30\n")
        exit_code.unlink(missing_ok=True)
        started = subprocess.run(tmux + ["new-session", "-d", "-s", "keywait", "-x", "120", "-y",
                                         "30", f"sh '{check.out}/run.sh'"],
                                 env=backend.env, capture_output=True, text=True)
        if started.returncode != 0:
            raise Unavailable(f"tmux cannot open a terminal here: {started.stderr.strip()}")
        try:
            press(check, key, tmux, exit_code)
        finally:
            subprocess.run(tmux + ["kill-server"], capture_output=True)


def press(check, key, tmux, exit_code):
    def screen():
        return subprocess.run(tmux + ["capture-pane", "-p", "-t", "keywait"],
                              capture_output=True, text=True).stdout
    if not wait_for(lambda: "Press any key to exit." in screen() or exit_code.exists(), 30):
        return check.fail(f"{key}: no 'Press any key to exit.' on the console:\n{screen()}")
    time.sleep(1)
    if exit_code.exists():
        return check.fail(f"{key}: the program ended (exit code {exit_code.read_text().strip()})"
                          " without waiting for a key")
    subprocess.run(tmux + ["send-keys", "-t", "keywait", key], check=True)
    if not wait_for(exit_code.exists, 10):
        return check.fail(f"{key}: the key press did not end the wait")
    last = [line for line in screen().splitlines() if line.strip()][-1:]
    if last != ["Press any key to exit.EXIT=0"]:
        check.fail(f"{key}: expected the prompt without a line end, no echo and exit code 0; the"
                   f" screen ends with {last}")


Simulator.specials = {"keywait": key_wait}


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


# --- A case: the machine, each run with its exit code, output, effects and journal ---------

def run_case(check, case):
    backend, env = check.backend, case.environment
    machine = check.machine = Machine(case)
    lay_out(check)
    first = case.value("first")
    if first and not check.cannot("first", "the run of " + first):
        backend.run(check, first.split(), env, b"", check.out / "first")
    restarted = False
    for number, step in enumerate(case.steps, 1):
        out = check.out / (str(number) if number > 1 else "")
        journal_before = len(backend.journal())
        if step["kind"] == "restart":
            print(f"  {number}: restart", flush=True)
            arriving = [] if restarted else [each for each in machine.devices if each.at_restart]
            result, restarted = backend.restart(check, arriving, env, out), True
        else:
            print(f"  {number}: {' '.join(step['command'])}", flush=True)
            result = backend.run(check, step["command"], env, data(step.get("input", [])), out)
        expected_exit = int(step["exit"][0])
        if result.returncode is None:
            check.cannot("restart_exit", f"the exit code {expected_exit}")
        elif result.returncode != expected_exit:
            check.fail(f"exit code {result.returncode}, expected {expected_exit}")
        compare_output(check, data(step["output"], case.value("encoding", "utf-8")), result, out)
        for line in step.get("checks", []):
            name, _, words = line.partition(" ")
            if name not in CHECKS:
                raise CaseError(f"{case.name}: unknown check '{name}'")
            CHECKS[name](check, words.strip())
        if "journal" in step and not check.cannot("journal", "the journal"):
            check_journal(check, step["journal"], backend.journal()[journal_before:])


def compare_output(check, expected, result, out):
    """Standard output, whole, against the expected bytes, each LF as the backend writes it.
    Standard error must be empty."""
    expected = expected.replace(b"\n", check.backend.line_end)
    (out / "expected_stdout").write_bytes(expected)
    if result.stdout != expected:
        check.fail("standard output differs (expected, then actual; ^M is CR, $ is LF):")
        for line in difflib.unified_diff(visible(expected), visible(result.stdout), lineterm="",
                                         n=2):
            print("    " + line)
    if result.stderr:
        check.fail(f"standard error is not empty: {result.stderr[:300]}")


def visible(data):
    """DATA's lines as cat -A shows them, in ASCII."""
    shown = {9: "^I", 10: "$\n", 13: "^M"}
    return "".join(shown.get(byte, chr(byte) if 32 <= byte < 127 else "\\x%02x" % byte)
                   for byte in data).splitlines()


NOTHING_ELSE = "nothing else"


def check_journal(check, expected, entries):
    """The run's journal ENTRIES of the operations that the EXPECTED lines name, one for each line
    (`N OP ...`: N of them), as README.md says; no line at all, or a last line `nothing else`:
    no entries of any other operation."""
    everything = not expected or expected[-1] == NOTHING_ELSE
    expected = [line for line in expected if line != NOTHING_ELSE]
    wanted = []
    for line in expected:
        count, _, rest = line.partition(" ")
        wanted += [rest if count.isdigit() else line] * (int(count) if count.isdigit() else 1)
    named = {line.split(" ")[1 if line.split(" ")[0].isdigit() else 0] for line in expected}
    entries = [entry for entry in entries if everything or entry.get("op") in named]
    shown = "\n      ".join(f"{n}: {entry_line(entry)}" for n, entry in enumerate(entries, 1))
    for number, (line, entry) in enumerate(zip(wanted, entries), 1):
        op, _, text = line.partition(" ")
        want = fields(text)
        if "ok" not in want:
            want["ok"] = "false" if "error" in want else "true"
        if entry.get("op") != op or any(value != entry_value(entry.get(name))
                                        for name, value in want.items()):
            return check.fail(f"journal: entry {number} is not '{line}':\n      {shown}")
    if len(wanted) != len(entries):
        check.fail(f"journal: {len(entries)} entries, expected {len(wanted)}:\n      {shown}")


def entry_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return " ".join(map(entry_value, value))
    return "null" if value is None else str(value)


def entry_line(entry):
    return " ".join([entry.get("op", "?")] + [f"{name}={entry_value(value)}"
                                              for name, value in entry.items() if name != "op"])


# --- The checks: one line each, what must hold after a run (README.md's table) -------------

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
          "driver": check_driver, "no-driver": check_no_driver, "absent": check_absent,
          "starts": check_starts, "started": check_started, "runonce": check_runonce,
          "no-runonce": lambda check, _: check_runonce(check, ""), "loaded": check_loaded,
          "not-loaded": lambda check, words: check_loaded(check, words, False)}


# --- The command line ----------------------------------------------------------------------

WINE_ONLY = {"platform": "the Windows backend's own checks"}


def names(backend):
    return [*backend.specials, *sorted(path.stem for path in CASES.glob("*.case"))]


def run_check(backend, name):
    """One check: 0 passed, 1 failed, 77 skipped."""
    print(f"--- {name} ({backend.title})", flush=True)
    began, check = time.monotonic(), Check(backend, name)
    shutil.rmtree(check.out, ignore_errors=True)
    check.out.mkdir(parents=True)
    if name in WINE_ONLY and name not in backend.specials:
        print(f"  skipped: {WINE_ONLY[name]} run under Wine only")
        return SKIPPED
    try:
        case = None if name in backend.specials else Case(name, backend.system)
        only = case and case.value("only")
        if only and only.split()[0] != backend.name:
            print(f"  skipped: only on the {only}")
            return SKIPPED
        backend.start(check)
        backend.specials[name](check) if case is None else run_case(check, case)
    except Unavailable as unavailable:
        return skip(unavailable)
    except CaseError as error:
        check.fail(str(error))
    if not check.failures:
        print(f"  ok ({time.monotonic() - began:.1f} s)")
    return 1 if check.failures else 0


def skip(reason):
    if os.environ.get("CI") == "true":
        print(f"  FAILED (CI=true): {reason}")
        return 1
    print(f"  skipped: {reason}")
    return SKIPPED


def main(argv):
    sys.stdout.reconfigure(errors="backslashreplace")  # whatever the locale's encoding holds
    arguments = {"list": 0, "check": 1, "all": 0, "setup": 0, "cleanup": 0, "machine": 2}
    if len(argv) < 2 or arguments.get(argv[1]) != len(argv) - 2:
        print(__doc__)
        return 0 if argv[:1] in (["-h"], ["--help"]) else 2
    config = json.loads((Path(argv[0]) / "scenario-runner.json").read_text())
    backend = Simulator(config) if config["backend"] == "sim" else Wine(config)
    wine, outcomes = isinstance(backend, Wine), []
    if argv[1] == "list":
        return print("\n".join(names(backend))) or 0
    if argv[1] == "machine":
        check = Check(backend, argv[2])
        check.machine_dir, check.machine = Path(argv[3]).resolve(), Machine(Case(argv[2]))
        return lay_out(check) or 0
    if wine and backend.missing():
        return skip(Unavailable(backend.missing()))
    if argv[1] == "check":
        return run_check(backend, argv[2])
    if wine and argv[1] in ("setup", "all"):
        check = Check(backend, "setup")
        backend.setup(check)
        if check.failures:
            return 1
    if argv[1] == "all":
        outcomes = [run_check(backend, name) for name in names(backend)]
        print(f"{outcomes.count(0)} passed, {outcomes.count(1)} failed, "
              f"{outcomes.count(SKIPPED)} skipped")
    if wine and argv[1] in ("cleanup", "all"):
        backend.quietly("wineserver", "-k")
    return 1 if 1 in outcomes else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
