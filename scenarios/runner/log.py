"""The setup log: the lines that a run added to it against the run's `log:` lines."""
import difflib
import re

from .common import CaseError

# A log line begins with its time, YYYY-MM-DD HH:MM:SS; under Wine (the host's clock) it is
# matched by that form, on the simulated machine (the case's clock) exactly.
TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
TIME_LENGTH = 19
ANY_TEXT = "{*}"  # in an expected line: any run of characters
ANY_LINES = "..."  # an expected line alone: any number of lines
VERSION = "{version}"  # in an expected line: the program's version stamp text (1.000.000)
LINE_END = b"\r\n"


def read_log(check):
    """The setup log's bytes, or None where there is no such file."""
    host = check.backend.host_path(check.log_file)
    return host.read_bytes() if host.is_file() else None


def check_log(check, expected, before, after, encoding):
    """The bytes the run appended (AFTER, which must begin with BEFORE, less BEFORE) are lines
    ended by CR LF, and they match the EXPECTED lines (as README.md says)."""
    path = check.log_file
    if before is not None and after is not None and set_aside(check, before):
        before = None  # the log reached its size limit and was set aside whole: a new one began
    if before is not None and (after is None or not after.startswith(before)):
        return check.fail(f"log: the run did not append to {path}: "
                          + ("it is gone" if after is None else "its earlier bytes changed"))
    added = (after or b"")[len(before or b""):]
    if added and not added.endswith(LINE_END):
        return check.fail(f"log: {path} does not end in CR LF after the run: ...{added[-60:]!r}")
    lines = added[:-len(LINE_END)].split(LINE_END) if added else []
    version = check.backend.config["version"]
    patterns = [None if line == ANY_LINES else pattern(line.replace(VERSION, version), encoding,
                                                      check.backend.log_time_by_form)
                for line in expected]
    if not matches(patterns, lines):
        check.fail(f"log: the lines the run added to {path} differ (expected, then actual):")
        actual = [line.decode(encoding, errors="backslashreplace") for line in lines]
        for line in difflib.unified_diff(expected, actual, lineterm="", n=2):
            print("    " + line)


def old_log(path):
    """Where the program sets a full log aside: its extension replaced by .OLD."""
    folder, _, name = path.rpartition("\\")
    stem = name.rpartition(".")[0] if "." in name else name
    return (folder + "\\" if folder else "") + stem + ".OLD"


def set_aside(check, before):
    """Whether the log as it was before the run now lies, whole, where a full log is set aside."""
    host = check.backend.host_path(old_log(check.log_file))
    return host.is_file() and host.read_bytes() == before


def pattern(line, encoding, time_by_form):
    """The bytes an expected log line stands for, as a regular expression."""
    if not TIME.fullmatch(line[:TIME_LENGTH]):
        raise CaseError(f"log: '{line}' does not begin with a time, YYYY-MM-DD HH:MM:SS")
    head = TIME.pattern.encode() if time_by_form else re.escape(line[:TIME_LENGTH].encode())
    rest = b".*".join(re.escape(part.encode(encoding))
                      for part in line[TIME_LENGTH:].split(ANY_TEXT))
    return re.compile(head + rest, re.DOTALL)


def matches(patterns, lines):
    """Whether LINES, whole and in order, are what PATTERNS stand for (None: any number of
    lines)."""
    reached = {0}  # how many lines the patterns so far can stand for
    for each in patterns:
        if each is None:
            reached = set(range(min(reached), len(lines) + 1)) if reached else set()
        else:
            reached = {at + 1 for at in reached if at < len(lines) and each.fullmatch(lines[at])}
    return len(lines) in reached
