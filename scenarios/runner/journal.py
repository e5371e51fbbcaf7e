"""The simulated machine's journal of a run against a case's `journal:` lines."""
from .common import fields

# The entry that ends every run of the program, with its whole exit code.
EXIT = "ExitProcess"
EXIT_STATUS_MASK = 0xFF  # what of the exit code a Linux exit status keeps
NOTHING_ELSE = "nothing else"  # a last journal line: no entry of an operation the lines name not


def check_journal(check, expected, entries):
    """The run's journal ENTRIES of the operations that the EXPECTED lines name, one for each line
    (`N OP ...`: N of them), as README.md says; no line at all: no entries but the ExitProcess
    that ends the run. Operations that no line names are not compared, whatever they are, unless
    the last line is `nothing else`: then there are none of them."""
    everything = bool(expected) and expected[-1] == NOTHING_ELSE
    expected = expected[:-1] if everything else expected
    wanted = []
    for line in expected:
        count, _, rest = line.partition(" ")
        wanted += [rest if count.isdigit() else line] * (int(count) if count.isdigit() else 1)
    named = {line.split(" ")[1 if line.split(" ")[0].isdigit() else 0] for line in expected}
    entries = [entry for entry in entries if everything or entry.get("op") in named
               or not expected and entry.get("op") != EXIT]
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


def whole_exit_code(check, status, entries):
    """The program's exit code: the last ExitProcess entry's where the run journaled one (the
    exit STATUS keeps its low bits only, and must agree), else STATUS (None: not known)."""
    codes = [entry.get("exit_code") for entry in entries if entry.get("op") == EXIT]
    if status is None or not codes or not isinstance(codes[-1], int):
        return status
    if codes[-1] & EXIT_STATUS_MASK != status:
        check.fail(f"exit status {status}, but the journal's {EXIT} says {codes[-1]}")
    return codes[-1]
