"""A case on a backend: its machine laid out, then each run with its exit code, output, checks,
journal and setup log."""
import difflib

from .case import data
from .checks import CHECKS
from .common import CaseError
from .journal import check_journal, whole_exit_code
from .log import check_log, read_log
from .machine import Machine, lay_out


def run_case(check, case):
    backend, env = check.backend, case.environment
    machine = check.machine = Machine(case)
    check.log_file = case.value("log-file", machine.setup_log)
    encoding = case.value("encoding", "utf-8")
    lay_out(check)
    first = case.value("first")
    if first and not check.cannot("first", "the run of " + first):
        backend.run(check, first.split(), env, b"", check.out / "first")
    restarted = False
    for number, step in enumerate(case.steps, 1):
        out = check.out / (str(number) if number > 1 else "")
        journal_before = len(backend.journal())
        log_before = read_log(check) if "log" in step else None
        expected_exit = int(step["exit"][0])
        if step["kind"] == "restart":
            print(f"  {number}: restart", flush=True)
            arriving = [] if restarted else [each for each in machine.devices if each.at_restart]
            result, restarted = backend.restart(check, arriving, env, out), True
        else:
            print(f"  {number}: {' '.join(step['command'])}", flush=True)
            result = backend.run(check, step["command"], env, data(step.get("input", [])), out,
                                 expected_exit=expected_exit)
        journal = backend.journal()[journal_before:]
        exit_code = whole_exit_code(check, result.returncode, journal)
        if exit_code is None:
            check.cannot("restart_exit", f"the exit code {expected_exit}")
        elif exit_code != expected_exit:
            check.fail(f"exit code {exit_code}, expected {expected_exit}")
        compare_output(check, data(step["output"], encoding), result, out)
        for line in step.get("checks", []):
            name, _, words = line.partition(" ")
            if name not in CHECKS:
                raise CaseError(f"{case.name}: unknown check '{name}'")
            CHECKS[name](check, words.strip())
        if "journal" in step and not check.cannot("journal", "the journal"):
            check_journal(check, step["journal"], journal)
        if "log" in step:
            check_log(check, step["log"], log_before, read_log(check), encoding)


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
