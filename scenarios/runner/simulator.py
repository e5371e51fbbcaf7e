"""The simulated machine: setup-sim on a machine folder made from the case."""
import errno
import json
import shutil

from .backend import Backend, run_program
from .common import STANDINS, Device, carries
from .journal import EXIT, EXIT_STATUS_MASK
from .keywait import key_wait


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
    arch = None
    log_time_by_form = False  # the machine's clock is the case's: a log line's time is exact
    keys, key_wait_case = ("x", "F1", "C-c"), "first-install"  # the key wait reads the terminal raw
    specials = {"keywait": key_wait}
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
                    # Only where a statement sets them: the simulator gives their defaults.
                    **({"windows_directory": machine.windows} if machine.windows else {}),
                    **({"clock": machine.clock} if machine.clock else {}),
                    **({"wow64": True} if machine.wow64 else {}),
                    "faults": machine.faults, "devices": [sim_device(device) for device
                                                          in machine.devices
                                                          if not device.at_restart]})

    def run(self, check, command, env, stdin, out, expected_exit=None, options=("--",)):
        """setup-sim on the machine; the locale is the machine's language, not the environment.
        The whole exit code is the journal's (EXPECTED_EXIT makes no difference here)."""
        env = dict(self.env, **{name: value for name, value in env.items()
                                if name not in ("LC_ALL", "LANG")})
        return run_program(check, [self.config["setup_sim"], "--machine", str(self.machine),
                                   *options, *command], env, stdin, self.machine, out)

    def restart(self, check, arriving, env, out):
        """The devices that come with the restart (ARRIVING) join the machine first. 0, 1 and 2
        are the program's exit codes, and any code whose low bits the journal's last ExitProcess
        gives; any other is setup-sim's own error."""
        if arriving:
            state = self.state()
            state["devices"] += [sim_device(device) for device in arriving]
            self.state(state)
        journaled = len(self.journal())
        result = self.run(check, [], env, b"", out, options=("--reboot",))
        exits = [entry.get("exit_code") for entry in self.journal()[journaled:]
                 if entry.get("op") == EXIT]
        if result.returncode is not None and result.returncode > 2 and not (
                exits and isinstance(exits[-1], int)
                and exits[-1] & EXIT_STATUS_MASK == result.returncode):
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
