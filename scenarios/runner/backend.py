"""One check on a backend (Check), what every backend does (Backend) and how a program runs."""
import os
import signal
import subprocess
from pathlib import Path

from .common import SYSTEM32, TIME_LIMIT


class Check:
    """One run of a check on a backend: its work folder, its machine and its failures."""

    def __init__(self, backend, name):
        self.backend, self.failures, self.said = backend, 0, set()
        self.out = backend.work / "runs" / name
        self.machine_dir, self.machine, self.laid_out = self.out / "machine", None, {}
        self.log_file = None  # the setup log that the case's runs are held to (a Windows path)
        self.package = None  # {medium path: bytes} of the last Windows Installer package built

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


def run_program(check, args, env, stdin, cwd, out):
    """Runs a program in a session of its own (no terminal: the key wait of the exit tail ends at
    once), standard input from a pipe, its output kept in OUT/stdout and OUT/stderr."""
    out.mkdir(parents=True, exist_ok=True)
    code = None
    with open(out / "stdout", "wb") as stdout, open(out / "stderr", "wb") as stderr:
        with subprocess.Popen(args, stdin=subprocess.PIPE, stdout=stdout, stderr=stderr, env=env,
                              cwd=cwd, start_new_session=True) as process:
            try:
                process.communicate(stdin, timeout=TIME_LIMIT)
                code = process.returncode
            except subprocess.TimeoutExpired:
                check.fail(f"{args[-1]} did not end within {TIME_LIMIT} s")
                # The whole session: what the program started (under Wine, the program that a
                # launcher started) as well.
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass  # it ended just now
                process.wait()
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

    def start(self, check, case=None):
        """Makes the backend ready for a check (of CASE, where it is one)."""

    def not_for(self, case):
        """Why CASE does not apply to this backend, if it does not (not a lack of this machine's:
        the case says what only another backend can run)."""
        return None

    def host_path(self, path):
        return self.drive(path[0]) / path[3:].replace("\\", "/")

    def packaged(self, product_code):
        """A Windows Installer package of this product code was built (reset uninstalls it)."""
