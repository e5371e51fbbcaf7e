#!/usr/bin/env python3
"""Runs the scenarios of wintests/scenarios/ against a build of the setup program.

usage: runner.py BUILD_DIR list | check NAME | all | setup | cleanup

BUILD_DIR's scenario-runner.json (written by CMake) says what the scenarios run on: setup-sim on
a machine folder made from the scenario (Linux presets), or SETUP.EXE under Wine in a prefix of
the image's architecture (windows: 32-bit, set to Windows 2000; windows-x64: 64-bit).
  list, all     the names of the checks; every check (under Wine in a new prefix), then a count
  check NAME    a scenario folder's name, or under Wine platform (the Windows backend's own
                checks) or keywait (the exit key wait, in tmux); exit code 0, 1 failed, 77 skipped
  setup         (Wine) a new prefix, its server kept warm; check makes one where there is none
  cleanup       (Wine) stops the prefix's server
One scenario by hand, once the preset is built (as ctest runs it):
  wintests/runner.py build/default check first-install
Its files stay in BUILD_DIR/sim-suite/runs/NAME/ (machine/ is the machine folder) or
BUILD_DIR/wine-suite/runs/NAME/ (the prefix is BUILD_DIR/wine-suite/prefix/, drive D: is
BUILD_DIR/wine-suite/medium/): stdout, stderr, expected_stdout, restart/. wintests/README.md says
how a scenario folder is written. Without Wine (32-bit Wine for a 32-bit image, tmux for keywait)
a check is skipped, except with CI=true: then it fails.
"""
import codecs
import collections
import difflib
import filecmp
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

SCENARIOS = Path(__file__).resolve().parent / "scenarios"
SKIPPED = 77
TIME_LIMIT = 120  # seconds for one run of a program

SYSTEM32 = "C:\\windows\\system32"
PACKAGE = SYSTEM32 + "\\drivers\\orvan"
RUN_ONCE = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

# The package tree and its nineteen files: where each lies on the medium (D:\) and in the package.
PACKAGE_DIRS = ["win2000", "nt", "nt\\X4400", "nt\\X4400\\pivandor", "nls"]
PACKAGE_FILES = [("win2000\\" + name,) * 2 for name in (
    "ORVA.INF ORVAN.INF RUDX.INF ZOVRUDX.SYS ZOVTOLIN.DLL ZOVKAF.DLL ZOVKAF.SYS KAF.INF ORVA.CAT "
    "ORVAN.CAT RUDX.CAT KAF.CAT NUVELODA.DLL ZOVTOLIN.EXE ZOVDUVIK.EXE SETUP.EXE").split()] + [
    ("nt\\KVLSETUP.EXE",) * 2, ("nls\\ENGLISH.NLS", "win2000\\ENGLISH.NLS"),
    ("nls\\JAPANESE.NLS", "win2000\\JAPANESE.NLS")]

# The machine statement planted-dlls: these DLLs beside SETUP.EXE and in the current folder (C:\),
# and beside them a program that imports both.
PLANTED_DLLS = ["newdev.dll", "setupapi.dll"]
PLANTED_IN = ["D:\\win2000\\", "C:\\"]
IMPORTER = "D:\\win2000\\IMPORTER.EXE"
STANDINS = ["KVLSETUP.EXE", "zovduvik.exe"]

# Language identifiers for the locales a scenario's environment may name (what Wine's
# GetSystemDefaultLangID gives for them).
LANGUAGE_IDS = {"C": 1033, "POSIX": 1033, "en_US": 1033, "en_GB": 2057, "de_DE": 1031,
                "fr_FR": 1036, "es_ES": 3082, "ja_JP": 1041}

# A present device as a backend reads it back: whether it has a driver, the INF that driver came
# from (a path, or a file name only) and what that INF's AddReg wrote (PackageInf).
Device = collections.namedtuple("Device", "driver inf addreg")


class Unavailable(Exception):
    """A check that this machine cannot run (a tool is missing): with CI=true, a failure."""


class Check:
    """One run of a check on a backend: its work folder and how many failures it saw."""

    def __init__(self, backend, name):
        self.backend, self.failures, self.said = backend, 0, set()
        self.out = backend.work / "runs" / name
        self.laid = {}  # package files a machine statement laid down: path -> a copy of them

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


class Scenario:
    """A scenario folder, or its restart/ folder (whose top is the scenario)."""

    def __init__(self, folder, top=None):
        self.folder, self.top = folder, top or self

    def bytes(self, name):
        path = self.folder / name
        return path.read_bytes() if path.is_file() else b""

    def lines(self, name):
        return [line.strip() for line in self.bytes(name).decode().split("\n") if line.strip()]

    def devices(self):
        return [line.split() for line in self.lines("devices")]

    def environment(self):
        return dict(line.split("=", 1) for line in self.lines("environment"))

    def command(self, name="command"):
        return self.bytes(name).decode().split()


def own_environment():
    """The runner's environment for a run of the program: no display, and no locale of whoever
    started the runner (the scenario's environment gives the language)."""
    return {name: value for name, value in os.environ.items() if not name.startswith("LC_")
            and name not in ("LANG", "LANGUAGE", "DISPLAY", "WAYLAND_DISPLAY")}


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
    """A kind of machine. It lays out a machine (reset: the medium on D:, no package; install: a
    program of the test build at a Windows path; machine_state: the scenario's devices), runs the
    program and a restart (run, restart), and reads back files (host_path), devices (device,
    removal_doubts), started programs (journaled_starts) and the registry (registry_value).
    `cannot` says what it cannot show, and why; `line_end` is what each LF of the program's output
    becomes; a restart's output is compared whole or as the beginning of what the restart prints."""

    cannot, specials = {}, {}

    def __init__(self, config):
        self.config, self.work = config, Path(config["work"]).resolve()

    def start(self, check):
        """Makes the backend ready for a check."""

    def lay_out_medium(self, drive):
        shutil.copytree(self.config["medium"], drive)
        for folder in ("nt", "nls"):
            (drive / folder).mkdir(exist_ok=True)
        for catalogue in Path(self.config["nls"]).glob("*.NLS"):
            shutil.copy(catalogue, drive / "nls")


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


class Simulator(Backend):
    """setup-sim on a machine folder made from the scenario."""

    title, line_end, whole_restart_output = "the simulator", b"\n", True
    cannot = {"console_processes": "the simulator keeps no console process count",
              "addreg": "the simulator runs no INF's AddReg",
              "dlls": "the simulated machine loads no DLLs",
              "first": "setup-sim runs only the setup program"}

    def reset(self, check):
        """A machine with the medium on D:, whose SETUP.EXE is setup-sim itself: the program as
        built, version stamp and all."""
        self.machine = check.out / "machine"
        (self.machine / "drives/C/windows/system32/drivers").mkdir(parents=True)
        self.lay_out_medium(self.machine / "drives/D")
        shutil.copy(self.config["setup_sim"], self.machine / "drives/D/win2000/SETUP.EXE")

    def host_path(self, path):
        return self.machine / "drives" / path[0].upper() / path[3:].replace("\\", "/")

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

    def machine_state(self, check, scenario):
        """The devices in order; one that the restart lists again comes back at the restart,
        where Wine creates it anew."""
        again = Scenario(scenario.folder / "restart").devices()
        self.state({"system_directory": SYSTEM32, "current_drive": "C",
                    "language": self.language(check, scenario.environment()), "sleep": "virtual",
                    "registry_writable": True, "registry": {}, "faults": [],
                    "devices": [dict(hardware_ids=ids, update="ok", driver=None,
                                     **({"reappears": True} if ids in again else {}))
                                for ids in scenario.devices()]})

    def language(self, check, environment):
        locale = environment.get("LC_ALL") or environment.get("LANG") or "C"
        locale = locale.split(".")[0].split("@")[0]
        if locale not in LANGUAGE_IDS:
            check.fail(f"no language identifier for the locale '{locale}' (add it to LANGUAGE_IDS)")
        return LANGUAGE_IDS.get(locale, 1033)

    def run(self, check, command, env, stdin, out, options=("--",)):
        """setup-sim on the machine; the locale is the machine's language, not the environment."""
        env = dict(own_environment(), **{name: value for name, value in env.items()
                                         if name not in ("LC_ALL", "LANG")})
        return run_program(check, [self.config["setup_sim"], "--machine", str(self.machine),
                                   *options, *command], env, stdin, self.machine, out)

    def restart(self, check, scenario, env, out):
        """Restart devices that the machine did not have are new hardware, there from the restart
        on. 0, 1 and 2 are the program's exit codes; any other is setup-sim's own error."""
        state, before = self.state(), scenario.devices()
        state["devices"] += [dict(hardware_ids=ids, update="ok", driver=None)
                             for ids in Scenario(scenario.folder / "restart").devices()
                             if ids not in before]
        self.state(state)
        result = self.run(check, [], env, b"", out, ("--reboot",))
        if result.returncode is not None and result.returncode > 2:
            check.fail(f"restart: setup-sim exit code {result.returncode}: {result.stderr[:300]}")
        return result

    def journal(self, op):
        """The journal's successful entries for the operation OP."""
        path = self.machine / "journal.jsonl"
        entries = [json.loads(line) for line in (path.read_text().splitlines() if path.exists()
                                                 else []) if line.strip()]
        return [entry for entry in entries if entry.get("op") == op and entry.get("ok")]

    def device(self, check, hardware_id):
        for device in self.state()["devices"]:
            if carries(device.get("hardware_ids"), hardware_id):
                return Device(bool(device.get("driver")), device.get("driver") or "", None)
        return None

    def removal_doubts(self, hardware_id):
        """Why a device that carried HARDWARE_ID may be gone without the program removing it."""
        journaled = any(entry.get("function") == "DIF_REMOVE" and carries(entry["hardware_ids"],
                                                                          hardware_id)
                        for entry in self.journal("SetupDiCallClassInstaller"))
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
                for entry in self.journal("CreateProcessA")
                if program(entry["command_line"]).rsplit(".", 1)[0].lower()
                == record.rsplit(".", 1)[0].lower()]

    def registry_value(self, check, key, name):
        return next(((value.get("type"), value.get("data"))
                     for key_name, values in self.state().get("registry", {}).items()
                     for value_name, value in values.items()
                     if (key_name.lower(), value_name.lower()) == (key.lower(), name.lower())), None)


class Wine(Backend):
    """SETUP.EXE under Wine: one prefix for the suite, the medium as drive D:, the test programs
    of the build (for the image's own architecture) for devices, registry and version."""

    line_end, whole_restart_output = b"\r\n", False  # wineboot may print more after RunOnce

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
        self.env = dict(own_environment(), WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=self.arch)
        self.specials = {"platform": self.platform, "keywait": self.key_wait}

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

    def host_path(self, path):
        root = self.prefix / "drive_c" if path[0].upper() == "C" else self.medium
        return root / path[3:].replace("\\", "/")

    def reset(self, check):
        """A new medium with the built SETUP.EXE; no package, test devices, RunOnce value,
        service program or planted DLL."""
        shutil.rmtree(self.medium, ignore_errors=True)
        shutil.rmtree(self.host_path(PACKAGE), ignore_errors=True)
        self.lay_out_medium(self.medium)
        shutil.copy(self.config["setup_exe"], self.medium / "win2000/SETUP.EXE")
        (self.prefix / "dosdevices/d:").unlink(missing_ok=True)
        (self.prefix / "dosdevices/d:").symlink_to(self.medium)
        for path in [*self.host_path(SYSTEM32).glob("zovduvik.*"), *self.host_path("C:\\").iterdir()]:
            if path.name.startswith("zovduvik.") or path.name.lower().split(".loaded")[0] in PLANTED_DLLS:
                path.unlink()
        self.tool(check, "clear")
        self.tool(check, "regdelete", RUN_ONCE, "Setup")

    def install(self, path, program):
        shutil.copy(self.programs / program, self.host_path(path))

    def machine_state(self, check, scenario):
        for ids in scenario.devices():
            self.tool(check, "create", *ids)

    def run(self, check, command, env, stdin, out):
        return run_program(check, [self.loader, *command], dict(self.env, **env), stdin,
                           self.prefix / "drive_c", out)

    def restart(self, check, scenario, env, out):
        """The restart devices come up (anew: the program removed the old ones), then wineboot
        runs the RunOnce commands; its exit code and standard error say nothing of them."""
        self.machine_state(check, Scenario(scenario.folder / "restart"))
        result = self.run(check, ["wineboot", "-r"], env, b"", out)
        return subprocess.CompletedProcess(result.args, None, result.stdout, b"")

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
        result = self.run(check, [program], {}, b"", check.out)
        for line in result.stdout.decode("latin-1").replace("\r", "").splitlines():
            print("  " + line)
        if result.returncode != 0:
            check.fail(f"platform_check exit code {result.returncode}")
        stdio = self.run(check, [program, "stdio"], {}, b"x\r\ny\x1az\n", check.out / "stdio")
        if stdio.stdout != b"780d0a791a7a0a\r\n":
            check.fail(f"stdio: {stdio.stdout!r}")

    def key_wait(self, check):
        """SETUP.EXE in a tmux pane (standard input on its terminal, Wine in the foreground process
        group) waits after "Press any key to exit." until a key comes; a key press (a letter,
        then F1 in a second run) ends it with the run's exit code."""
        if not shutil.which("tmux"):
            raise Unavailable("tmux is not installed (apt-get install -y tmux)")
        tmux, exit_code = ["tmux", "-L", f"runner-keywait-{os.getpid()}"], check.out / "exit_code"
        (check.out / "run.sh").write_text(
            f"cd '{self.prefix}/drive_c' || exit 99\n"
            f"timeout --foreground 60 '{self.loader}' 'D:\\win2000\\SETUP.EXE'\n"
            f"echo $? >'{exit_code}.new' && mv '{exit_code}.new' '{exit_code}'\n")
        for key in ("x", "F1"):
            self.reset(check)
            self.install("D:\\nt\\KVLSETUP.EXE", "KVLSETUP.EXE")
            exit_code.unlink(missing_ok=True)
            started = subprocess.run(tmux + ["new-session", "-d", "-s", "keywait", "-x", "120", "-y",
                                             "30", f"sh '{check.out}/run.sh'"],
                                     env=self.env, capture_output=True, text=True)
            if started.returncode != 0:
                raise Unavailable(f"tmux cannot open a terminal here: {started.stderr.strip()}")
            try:
                self.press(check, key, tmux, exit_code)
            finally:
                subprocess.run(tmux + ["kill-server"], capture_output=True)

    def press(self, check, key, tmux, exit_code):
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
            check.fail(f"{key}: the key press did not end the wait")
        elif exit_code.read_text().strip() != "0":
            check.fail(f"{key}: exit code {exit_code.read_text().strip()}, expected 0")


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


# A scenario: a machine, a run, its output and exit code, checks, a restart.

STAMP_READ_BYTES, START_MARKER, END_MARKER = 100000, b"!@#$", b"$#@!"


def raised_stamp(data):
    """DATA with the digits of its version stamp, read as one number, raised by one (in their
    places, as a counter turns), or None when DATA has no stamp (the first start marker wholly
    within its first 100000 bytes, an end marker after it before any NUL byte) or no digit that
    can go up."""
    head = data[:STAMP_READ_BYTES]
    start = head.find(START_MARKER)
    if start < 0:
        return None
    first = start + len(START_MARKER)
    end, nul = head.find(END_MARKER, first), head.find(b"\0", first)
    if end < 0 or 0 <= nul < end:
        return None
    text = bytearray(data[first:end])
    for at in reversed([at for at, byte in enumerate(text) if byte in b"0123456789"]):
        if text[at] != ord("9"):
            text[at] += 1
            return data[:first] + bytes(text) + data[end:]
        text[at] = ord("0")
    return None


def deploy_newer_setup(check):
    """The package's win2000\\SETUP.EXE: a copy of the medium's whose stamp is raised by one."""
    medium = check.backend.host_path("D:\\win2000\\SETUP.EXE").read_bytes()
    newer = raised_stamp(medium)
    if newer is None:
        check.fail("the medium's SETUP.EXE has no version stamp in its first 100000 bytes to "
                   "raise: the copy deployed is the same")
        newer = medium
    for copy in (check.backend.host_path(PACKAGE + "\\win2000\\SETUP.EXE"),
                 check.out / "laid" / "SETUP.EXE"):
        copy.parent.mkdir(parents=True, exist_ok=True)
        copy.write_bytes(newer)
    check.laid["win2000/SETUP.EXE"] = copy


def apply_statement(check, line):
    host_path, install = check.backend.host_path, check.backend.install
    statement, _, rest = line.partition(" ")
    if statement == "service-program":
        install(SYSTEM32 + "\\zovduvik.exe", "zovduvik.exe")
    elif statement == "older-setup-exit":
        host_path("D:\\nt\\KVLSETUP.exit").write_text(rest.strip() + "\n")
    elif statement == "older-setup-says":  # backslash escapes, as printf %b reads them
        host_path("D:\\nt\\KVLSETUP.say").write_bytes(codecs.escape_decode(rest.strip())[0])
    elif statement == "no-older-setup":
        host_path("D:\\nt\\KVLSETUP.EXE").unlink()
    elif statement == "newer-setup-deployed":
        deploy_newer_setup(check)
    elif statement == "planted-dlls":
        for folder, dll in ((folder, dll) for folder in PLANTED_IN for dll in PLANTED_DLLS):
            install(folder + dll, dll)
        install(IMPORTER, "importer.exe")
    else:
        check.fail(f"unknown machine statement '{statement}'")


def run_scenario(check, scenario):
    backend = check.backend
    backend.reset(check)
    backend.install("D:\\nt\\KVLSETUP.EXE", "KVLSETUP.EXE")
    for line in scenario.lines("machine"):
        apply_statement(check, line)
    if (scenario.folder / "package").is_dir():
        shutil.copytree(scenario.folder / "package", backend.host_path(PACKAGE), dirs_exist_ok=True)
    backend.machine_state(check, scenario)
    env = scenario.environment()
    if scenario.command("first") and not check.cannot("first", "the run of " + IMPORTER):
        backend.run(check, scenario.command("first"), env, b"", check.out / "first")

    result = backend.run(check, scenario.command(), env, scenario.bytes("input"), check.out)
    expected_exit = int(scenario.bytes("expected_exit"))
    if result.returncode != expected_exit:
        check.fail(f"exit code {result.returncode}, expected {expected_exit}")
    compare_output(check, scenario, result, True, check.out)
    run_checks(check, scenario)

    if (scenario.folder / "restart").is_dir():
        print("  restart")
        result = backend.restart(check, scenario, env, check.out / "restart")
        restart = Scenario(scenario.folder / "restart", scenario)
        compare_output(check, restart, result, backend.whole_restart_output, check.out / "restart")
        run_checks(check, restart)


def compare_output(check, scenario, result, whole, out):
    """Standard output against expected_output (UTF-8 there if output_encoding names the output's
    code page), each LF as the backend writes it; only the beginning unless WHOLE. Standard error
    must be empty."""
    expected = scenario.bytes("expected_output")
    encoding = scenario.bytes("output_encoding").decode().strip()
    if encoding:
        expected = expected.decode().encode(encoding)
    expected = expected.replace(b"\n", check.backend.line_end)
    (out / "expected_stdout").write_bytes(expected)
    actual = result.stdout if whole else result.stdout[:len(expected)]
    if actual != expected:
        check.fail("standard output differs (expected, then actual; ^M is CR, $ is LF):")
        for line in difflib.unified_diff(visible(expected), visible(actual), lineterm="", n=2):
            print("    " + line)
    if result.stderr:
        check.fail(f"standard error is not empty: {result.stderr[:300]}")


def visible(data):
    """DATA's lines as cat -A shows them, in ASCII."""
    shown = {9: "^I", 10: "$\n", 13: "^M"}
    return "".join(shown.get(byte, chr(byte) if 32 <= byte < 127 else "\\x%02x" % byte)
                   for byte in data).splitlines()


def same_file(first, second):
    return first.is_file() and second.is_file() and filecmp.cmp(first, second, shallow=False)


def check_deployed(check, scenario, _):
    """The package tree, and each of the nineteen files on this medium deployed unchanged."""
    host_path = check.backend.host_path
    for folder in PACKAGE_DIRS:
        if not host_path(PACKAGE + "\\" + folder).is_dir():
            check.fail(f"package directory {folder} missing")
    for source, target in PACKAGE_FILES:
        source_path, target_path = host_path("D:\\" + source), host_path(PACKAGE + "\\" + target)
        if source_path.exists() and not target_path.is_file():
            check.fail(f"{target} not deployed")
        elif source_path.exists() and not same_file(source_path, target_path):
            check.fail(f"{target} differs from the medium's {source}")


def check_kept(check, scenario, path):
    """The package file PATH is still the one that package/ (or a machine statement) put there."""
    deployed = check.backend.host_path(PACKAGE + "\\" + path.replace("/", "\\"))
    if not same_file(check.laid.get(path, scenario.top.folder / "package" / path), deployed):
        check.fail(f"package file {path} was not kept")


def present_device(check, hardware_id):
    device = check.backend.device(check, hardware_id)
    if device is None:
        check.fail(f"no present device carries {hardware_id}")
    return device


def check_driver(check, scenario, words):
    """The device's driver came from the package's INF file INF (the folder, where the backend
    knows it, as Windows compares it; the file name as the program passed it), that INF's own
    AddReg ran, and the INF is deployed."""
    hardware_id, inf = words.split()
    device = present_device(check, hardware_id)
    if device is not None and not device.driver:
        check.fail(f"{hardware_id} has no driver")
    if device is None or not device.driver:
        return
    folder, _, name = device.inf.rpartition("\\")
    if name != inf or folder.lower() not in ("", (PACKAGE + "\\win2000").lower()):
        check.fail(f"{hardware_id}: driver not from {PACKAGE}\\win2000\\{inf} ({device.inf})")
    if not check.cannot("addreg", "PackageInf") and device.addreg != inf.upper():
        check.fail(f"{hardware_id}: {inf.upper()}'s AddReg did not run ({device.addreg})")
    if not check.backend.host_path(PACKAGE + "\\win2000\\" + inf.upper()).is_file():
        check.fail(f"{hardware_id}: the package INF {inf.upper()} is not deployed")


def check_no_driver(check, scenario, hardware_id):
    device = present_device(check, hardware_id)
    if device and device.driver:
        check.fail(f"{hardware_id} has a driver: {device.inf}")


def check_absent(check, scenario, hardware_id):
    """No present device carries HWID; one that did before the run, the program removed."""
    if check.backend.device(check, hardware_id) is not None:
        check.fail("a present device still carries " + hardware_id)
    elif any(carries(ids, hardware_id) for ids in scenario.top.devices()):
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


def check_starts(check, scenario, words):
    record, count = words.split()
    starts = starts_of(check, record)
    if len(starts) != int(count):
        check.fail(f"{record}: {len(starts)} starts, expected {count}")


def check_started(check, scenario, words):
    """One start, which shows each of the tab-separated fields NAME=VALUE."""
    record, _, fields = words.partition(" ")
    starts = starts_of(check, record)
    if len(starts) != 1:
        return check.fail(f"{record}: {len(starts)} starts, expected one")
    for field in fields.split("\t"):
        name, _, value = field.partition("=")
        shown = (starts[0][name] == value if name in starts[0]
                 else check.cannot(name, f"started {record} {field}"))
        if not shown:
            check.fail(f"{record}: no field '{field}' in its start: {starts[0]}")


def check_runonce(check, scenario, command):
    """The RunOnce value Setup is COMMAND (REG_SZ); with no COMMAND, there is none."""
    value = check.backend.registry_value(check, RUN_ONCE, "Setup")
    if value != (("REG_SZ", command) if command else None):
        check.fail(f"RunOnce Setup is {value}, expected {('REG_SZ', command) if command else None}")


def check_loaded(check, scenario, words, loaded=True):
    """The planted DLL's mark (DLL.loaded beside it, any letter case) names PROGRAM: the DLL was
    loaded into it."""
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


CHECKS = {"deployed": check_deployed, "kept": check_kept, "driver": check_driver,
          "no-driver": check_no_driver, "absent": check_absent, "starts": check_starts,
          "started": check_started, "runonce": check_runonce,
          "no-runonce": lambda check, scenario, _: check_runonce(check, scenario, ""),
          "loaded": check_loaded,
          "not-loaded": lambda check, scenario, words: check_loaded(check, scenario, words, False)}


def run_checks(check, scenario):
    for line in scenario.lines("checks"):
        name, _, words = line.partition(" ")
        if name in CHECKS:
            CHECKS[name](check, scenario, words.strip())
        else:
            check.fail(f"unknown check '{name}' in {scenario.folder}/checks")


# The command line.

WINE_ONLY = {"platform": "the Windows backend's own checks", "keywait": "the key wait on a console"}


def names(backend):
    return [*backend.specials, *sorted(path.name for path in SCENARIOS.iterdir() if path.is_dir())]


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
        backend.start(check)
        if name in backend.specials:
            backend.specials[name](check)
        elif (SCENARIOS / name).is_dir():
            run_scenario(check, Scenario(SCENARIOS / name))
        else:
            check.fail(f"no check named {name}")
    except Unavailable as unavailable:
        return skip(unavailable)
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
    arguments = {"list": 0, "check": 1, "all": 0, "setup": 0, "cleanup": 0}
    if len(argv) < 2 or arguments.get(argv[1]) != len(argv) - 2:
        print(__doc__)
        return 0 if argv[:1] in (["-h"], ["--help"]) else 2
    config = json.loads((Path(argv[0]) / "scenario-runner.json").read_text())
    backend = Simulator(config) if config["backend"] == "sim" else Wine(config)
    wine, outcomes = isinstance(backend, Wine), []
    if argv[1] == "list":
        return print("\n".join(names(backend))) or 0
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
