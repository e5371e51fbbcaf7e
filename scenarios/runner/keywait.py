"""The key wait of the exit tail, on a terminal: the program in a tmux pane, a key pressed."""
import os
import shutil
import subprocess
import time

from .case import Case
from .common import Unavailable
from .machine import Machine, lay_out


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


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True
