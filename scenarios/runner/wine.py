"""Wine: SETUP.EXE in a prefix of the image's architecture, the medium as drive D:."""
import os
import shutil
import subprocess
from pathlib import Path

from .backend import Backend, run_program
from .common import (LOCALES, PLANTED_DLLS, RUN_ONCE, SETUP_LOG, WINE_SYSTEM32, CaseError, Device,
                     Unavailable, carries)
from .journal import EXIT_STATUS_MASK
from .keywait import key_wait
from .log import old_log
from .machine import Machine
from .package import InstallerRuns

TOOL_TRIES = 3  # starts of devtool that Wine may end without a word before one counts
LAUNCHER_FAILED = 255  # launcher.exe's own exit code when it could not run a command
WINE_SYSWOW64 = "C:\\windows\\syswow64"  # a 64-bit prefix's system directory for 32-bit programs
# Debian's loaders: the 32-bit one comes with wine32:i386, the 64-bit one with wine64.
WINE32, WINE64 = "/usr/lib/wine/wine", shutil.which("wine64") or "/usr/lib/wine/wine64"


def bare_name(program):
    """Whether a program is named without a folder (SETUP), to be looked for."""
    return not any(mark in program for mark in "\\/:")


def wine_exit_status(code):
    """The exit status that Wine gives a Linux parent for a Windows exit CODE: its low 8 bits, but
    1 for a code other than 0 whose low bits are 0 (which would read as success)."""
    low = code & EXIT_STATUS_MASK
    return 1 if code and not low else low


class Wine(InstallerRuns, Backend):
    """SETUP.EXE under Wine: one prefix for the suite, the medium as drive D:, the test programs
    of the build (for the image's own architecture) for devices, registry and version. A machine
    that says wow64 runs the 32-bit image in a second prefix, a 64-bit one, where it runs under
    WOW64; the 64-bit image is no WOW64 program, and such a machine is not for it."""

    name, system, line_end, program = "wine", WINE_SYSTEM32, b"\r\n", "setup_exe"
    log_time_by_form = True  # the host's clock: a log line's time is matched by its form only
    keys, key_wait_case = ("x", "F1"), None
    cannot = {"journal": "Wine keeps no journal of what the program did",
              "restart_exit": "wineboot does not pass on the exit code of what RunOnce started"}

    def __init__(self, config):
        super().__init__(config)
        self.arch, self.programs = config["arch"], Path(config["programs"])
        self.medium, self.base_env = self.work / "medium", self.env
        self.specials = {"platform": self.platform, "keywait": key_wait}
        self.use(wow64=False)
        self.image_title = self.title

    def use(self, wow64):
        """The prefix for what follows: the image's own (`prefix`), or for a machine that says
        wow64 the 64-bit one where the 32-bit image runs under WOW64 (`prefix-wow64`). Wine's own
        programs (wineboot) run with the prefix's loader, the 64-bit one in a 64-bit prefix: the
        32-bit loader starts their 32-bit builds, which see the other registry view. The programs
        of the build run with the loader of their architecture."""
        self.wow64 = wow64
        self.prefix_arch = "win64" if wow64 else self.arch
        self.prefix = self.work / ("prefix-wow64" if wow64 else "prefix")
        self.title = ("Wine, 64-bit prefix, the 32-bit image under WOW64" if wow64 else
                      {"win32": "Wine, 32-bit prefix set to Windows 2000"}.get(
                          self.arch, "Wine, 64-bit prefix"))
        self.wine_loader = WINE64 if self.prefix_arch == "win64" and os.access(
            WINE64, os.X_OK) else "wine"
        self.loader = self.wine_loader if self.arch == "win64" else "wine"
        self.env = dict(self.base_env, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=self.prefix_arch)

    def prefixes(self):
        """Whether each prefix of this image is the WOW64 one: the image's own, and for the 32-bit
        image the 64-bit prefix too."""
        return [False, True] if self.arch == "win32" else [False]

    def missing(self):
        """What this machine lacks to run the suite, if anything."""
        if not shutil.which("wine") or not shutil.which("wineserver"):
            return "Wine is not installed (apt-get install -y wine64)"
        if self.arch == "win32" and os.access(WINE64, os.X_OK) and not os.access(
                WINE32, os.X_OK):  # Debian: wine32:i386 brings the 32-bit loader
            return ("32-bit Wine is not installed: the package wine32:i386 (dpkg "
                    "--add-architecture i386 && apt-get update && apt-get install -y wine32:i386)")
        if self.wow64 and not os.access(WINE64, os.X_OK):
            return "64-bit Wine, for the prefix where the 32-bit image runs under WOW64, is not " \
                   "installed (apt-get install -y wine64)"
        return None

    def not_for(self, case):
        """Why the case does not apply to this image, if it does not."""
        if self.arch == "win64" and Machine(case).wow64:
            return ("the machine says wow64, and the 64-bit image is no WOW64 program: the "
                    "32-bit image (the windows preset) runs that case in a 64-bit prefix")
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
        if self.quietly(self.wine_loader, "wineboot", "-i") or self.quietly("wineserver", "-w"):
            check.fail(f"wineboot could not make the prefix {self.prefix}")
        if self.prefix_arch == "win32":
            self.quietly(self.wine_loader, "winecfg", "-v", "win2k")
            self.quietly("wineserver", "-w")
        self.warm()
        version = self.tool(check, "version").strip()
        print(f"  {self.title}: GetVersionExA reports {version}")
        if self.prefix_arch == "win32" and not version.startswith("5.0.2195 2 "):
            check.fail(f"the prefix is not Windows 2000 (5.0 build 2195, platform 2): {version}")

    def start(self, check, case=None):
        """The case's prefix (a new one where there is none), its server warm."""
        self.use(wow64=case is not None and Machine(case).wow64)
        if self.missing():
            raise Unavailable(self.missing())
        if self.wow64:
            print(f"  in the {self.title[len('Wine, '):]}")
        self.warm() if self.prefix.exists() else self.setup(check)

    def stop(self):
        """Ends the server of each prefix."""
        for wow64 in self.prefixes():
            self.use(wow64)
            if self.prefix.exists():
                self.quietly("wineserver", "-k")

    def warm(self):
        self.quietly("wineserver", "--persistent=600")  # ends itself when forgotten
        self.quietly(self.wine_loader, "cmd", "/c", "exit")

    def tool(self, check, *args, may_miss=False):
        """What devtool prints; "" when it did not find what it was asked for (exit code 1: a
        failure unless MAY_MISS, as is any other)."""
        for _ in range(TOOL_TRIES):
            result = subprocess.run([self.loader, str(self.programs / "devtool.exe"), *args],
                                    env=self.env, stdin=subprocess.DEVNULL, capture_output=True)
            # On a loaded machine Wine now and then ends a start with 1 and not a word, before
            # the program ran (devtool itself always says why it fails): that start again.
            silent = not (result.stdout or result.stderr or may_miss)
            if result.returncode == 0 or not silent:
                break
        if result.returncode != 0 and not (may_miss and result.returncode == 1):
            check.fail(f"devtool {' '.join(args)}: exit code {result.returncode}: "
                       f"{result.stderr.decode(errors='replace').strip()}")
        return result.stdout.decode("latin-1").replace("\r", "") if result.returncode == 0 else ""

    def host_path(self, path):
        """Where a Windows path lies on the host; in the WOW64 prefix as the 32-bit program sees
        it, its system directory being Wine's SysWOW64 there (the file system redirector's, but
        for a few folders that the program does not touch)."""
        host, system = super().host_path(path), super().host_path(WINE_SYSTEM32)
        if self.wow64 and (host == system or system in host.parents):
            return super().host_path(WINE_SYSWOW64) / host.relative_to(system)
        return host

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
        """No medium (D: its folder), package, test devices, RunOnce value, service program,
        planted DLL, setup log (the Windows directory's, and the case's where it is on C:), or
        product of a Windows Installer package that a case built."""
        self.uninstall_packages(check)
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
        for log in (WINE_SYSTEM32.rpartition("\\")[0] + "\\" + SETUP_LOG, check.log_file):
            if log and log[:2].upper() == "C:":
                for each in (log, old_log(log)):  # and where a full log was set aside
                    self.host_path(each).unlink(missing_ok=True)
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

    def run(self, check, command, env, stdin, out, expected_exit=None, loader=None):
        """In the locale that gives the machine's language and in its current directory (C:\\
        where it says none). msiexec runs through devtool, which reads its whole exit code. A run
        of a case (it has an EXPECTED_EXIT code) goes through the launcher, which reads its whole
        exit code, but for a program named without its folder: Wine starts that through
        start.exe, which the launcher cannot stand in for, so it is started directly, and may
        not be expected to end with a code above what an exit status holds. Anything else is
        started directly (with LOADER, else the loader of the build's programs), its exit status
        all there is."""
        machine, env = check.machine, {**self.env, **env}
        if machine and machine.language != 1033:
            env["LC_ALL"] = LOCALES[machine.language]
        folder = (self.host_path(machine.current_directory + "\\")
                  if machine and machine.current_directory else self.prefix / "drive_c")
        if command and command[0].lower() == "msiexec":
            return self.msiexec(check, command, env, stdin, folder, out)
        if expected_exit is not None and not bare_name(command[0]):
            return self.launched(check, command, env, stdin, folder, out)
        if expected_exit is not None and expected_exit > EXIT_STATUS_MASK:
            raise CaseError(f"{command[0]} is started by its bare name, directly: its exit code "
                            f"under Wine is an exit status, {expected_exit} cannot be told")
        return run_program(check, [loader or self.loader, *command], env, stdin, folder, out)

    def launched(self, check, command, env, stdin, folder, out):
        """COMMAND started by launcher.exe, which gives it the command line of a direct start and
        passes on its standard streams and console as they are, and writes the exit code to
        OUT/exit_code; the exit status must be the one Wine gives for that code."""
        code_file = out / "exit_code"
        code_file.unlink(missing_ok=True)
        out.mkdir(parents=True, exist_ok=True)
        result = run_program(check, [self.loader, self.config["launcher"],
                                     self.windows_path(check, code_file), *command],
                             env, stdin, folder, out)
        if result.returncode is None:
            return result
        if not code_file.is_file():
            check.fail(f"the launcher wrote no exit code (exit status {result.returncode})")
            return result
        code = int(code_file.read_text().strip())
        if wine_exit_status(code) != result.returncode:
            check.fail(f"exit status {result.returncode}, but the launcher read {code}")
        return subprocess.CompletedProcess(result.args, code, result.stdout, result.stderr)

    def windows_path(self, check, host):
        """A host file as Wine names it: on Z:, the host's root in every new prefix."""
        if os.path.realpath(self.prefix / "dosdevices/z:") != "/":
            check.fail(f"{self.prefix} has no drive Z: for the host's root")
        return "Z:" + str(host.resolve()).replace("/", "\\")

    def restart(self, check, arriving, env, out):
        """The devices that come back at the restart (anew, with their children: the program
        removed them) and those that come with it (ARRIVING) are made, then wineboot runs the
        RunOnce commands; its exit code and standard error say nothing of them."""
        self.create(check, [each for device in check.machine.devices if device.reappears
                            and self.device(check, device.ids[0]) is None
                            for each in device.every()] + arriving)
        result = self.run(check, ["wineboot", "-r"], env, b"", out, loader=self.wine_loader)
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
        self.launcher_check(check, program)

    def launcher_check(self, check, platform_check):
        """The launcher, which starts each run of a case, against a direct start:
        a stand-in started both ways with the same arguments records the same start (command
        line, startup record, console) and writes the same output, and its exit code arrives
        whole through the launcher only; standard input and text-mode output pass through it as
        they are; a command that cannot start leaves no exit code."""
        folder = "c:\\Launcher Check"  # a drive letter in lower case, a space: as Wine writes them
        host = self.host_path(folder + "\\")
        shutil.rmtree(host, ignore_errors=True)
        host.mkdir(parents=True)
        shutil.copy(self.programs / "KVLSETUP.EXE", host / "STANDIN.EXE")
        (host / "STANDIN.say").write_bytes(b"said\n")
        command = [folder + "\\STANDIN.EXE", "/Q", "two words", 'a"quote', ""]
        outputs = set()
        for code in (0, 256, 3010):
            (host / "STANDIN.exit").write_text(str(code))
            direct = self.run(check, command, {}, b"", check.out / f"direct-{code}")
            launched = self.launched(check, command, self.env, b"", self.prefix / "drive_c",
                                     check.out / f"launched-{code}")
            if (direct.returncode, launched.returncode) != (wine_exit_status(code), code):
                check.fail(f"exit code {code}: {direct.returncode} started directly, "
                           f"{launched.returncode} through the launcher")
            outputs |= {direct.stdout + direct.stderr, launched.stdout + launched.stderr}
        if outputs != {b"said\r\n"}:
            check.fail(f"the stand-in's output, directly and through the launcher: {outputs}")
        records = (host / "STANDIN.rec").read_text(errors="replace").splitlines()
        if len(records) != 6 or len(set(records)) != 1:
            check.fail("the stand-in's starts, directly and through the launcher, differ:\n    "
                       + "\n    ".join(records))
        else:
            print(f"  launcher: the same start as a direct one ({records[0]})")
        stdio = self.launched(check, [self.windows_path(check, Path(platform_check)), "stdio"],
                              self.env, b"x\r\ny\x1az\n", self.prefix / "drive_c",
                              check.out / "launched-stdio")
        if stdio.stdout != b"780d0a791a7a0a\r\n":
            check.fail(f"stdio through the launcher: {stdio.stdout!r}")
        missing = run_program(check, [self.loader, self.config["launcher"],
                                      self.windows_path(check, check.out / "missing-code"),
                                      "C:\\MISSING.EXE"], self.env, b"",
                              self.prefix / "drive_c", check.out / "launched-missing")
        if missing.returncode != LAUNCHER_FAILED or (check.out / "missing-code").exists():
            check.fail(f"a command that cannot start: exit status {missing.returncode}, "
                       f"code file {(check.out / 'missing-code').exists()}")
        shutil.rmtree(host)

    def key_wait_command(self):
        """SETUP.EXE with its standard streams on the terminal, where Wine gives it a console."""
        return self.prefix / "drive_c", f"'{self.loader}' 'D:\\win2000\\SETUP.EXE'"
