"""A case file (scenarios/NAME.case), read: its machine statements, the keys above the first run
and its runs. README.md says how a case is written."""
import re

from .common import CASES, SYSTEM32, WINDOWS, CaseError


CASE_KEYS = ("only", "machine", "environment", "encoding", "first", "log-file")
STEP_KEYS = ("input", "exit", "output", "checks", "journal", "log")
KEY_LINE = re.compile(r"(%s):(?: (.*))?$" % "|".join(CASE_KEYS + STEP_KEYS + ("run", "restart")))


class Case:
    """A case file: its machine (the statements of the case it names, then its own), the values
    of the keys above the first run, and its steps, each run or restart a dict of its keys'
    lines. Under Wine every mention of the machine's system directory reads as Wine's, and of
    its Windows directory (C:\\WINNT) as the parent of Wine's system directory."""

    def __init__(self, name, system=SYSTEM32):
        path = CASES / f"{name}.case"
        if not path.is_file():
            raise CaseError(f"no case {path}")
        text = path.read_text(encoding="utf-8")
        if system != SYSTEM32:
            text = re.sub(re.escape(SYSTEM32), lambda _: system, text, flags=re.IGNORECASE)
            text = re.sub(re.escape(WINDOWS) + r"(?!\w)", lambda _: system.rpartition("\\")[0], text,
                          flags=re.IGNORECASE)
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
