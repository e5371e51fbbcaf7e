#!/usr/bin/env python3
"""Runs the commands that README.md, wintests/README.md and scenarios/README.md invite a reader
to type.

A command to type stands in a fenced block, and the block's language says what becomes of it:

  ```sh      run here: each block in one bash from the repository's root, line by line, each
             line expected to exit 0, or N when it ends with a comment "# exit N..."
  ```bat     needs a real Windows machine; not run (the text around it says so)
  ```text    not commands (a synopsis, a layout)

A `sh` block right after the line "<!-- run by run-all-tests -->" is run by ./run-all-tests
itself: each of its commands must be one that ./run-all-tests runs. The first two `sh` blocks
of README.md are the newcomer's two commands, which .ci/run runs on its own clone (it takes
them from here: `readme_commands.py --print N`). A command indented as a code block outside a
fence is refused, so that no command escapes these rules.

  readme_commands.py              run and check every command; ends "readme: N passed, N failed"
  readme_commands.py --print N    print the Nth `sh` block of README.md (N = 1 or 2)
"""
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
READMES = [REPO / "README.md", REPO / "wintests" / "README.md", REPO / "scenarios" / "README.md"]
RUN_ALL_TESTS = REPO / "run-all-tests"
MARK_RUN_ALL_TESTS = "<!-- run by run-all-tests -->"
NEWCOMER_COMMANDS = 2  # the first sh blocks of README.md, which .ci/run runs
BLOCK_TIME_LIMIT = 600  # seconds
EXPECTED_EXIT = re.compile(r"#\s*exit (\d+)\b[^'\"]*$")


@dataclass
class Block:
    path: Path
    line: int  # of the opening fence
    language: str
    mark: str  # the line before the opening fence
    lines: list

    def where(self):
        return f"{self.path.relative_to(REPO)}:{self.line}"


def read_blocks(path):
    """The fenced blocks of a markdown file, and the problems found outside them."""
    blocks, problems = [], []
    text = path.read_text(encoding="utf-8").split("\n")
    block = None
    for number, line in enumerate(text, 1):
        if block is None:
            if line.startswith("```"):
                previous = text[number - 2].strip() if number > 1 else ""
                block = Block(path, number, line[3:].strip(), previous, [])
            elif line.startswith("    ") and number > 1 and text[number - 2].strip() == "":
                problems.append(f"{path.relative_to(REPO)}:{number}: an indented code block; "
                                "put it in a fenced block (sh, bat or text)")
        elif line.startswith("```"):
            blocks.append(block)
            block = None
        else:
            block.lines.append(line)
    if block is not None:
        problems.append(f"{block.where()}: a fenced block that never ends")
    return blocks, problems


def commands(block):
    """The block's commands, a line ending in a backslash joined with the next."""
    joined, current = [], ""
    for line in block.lines:
        current += line
        if current.endswith("\\"):
            current = current[:-1] + " "
            continue
        if current.strip():
            joined.append(current.strip())
        current = ""
    return joined


def run_sh_block(block):
    """Runs the block's commands in one bash, checking each command's exit code."""
    script = ["set -u", f"cd '{REPO}'"]
    for command in commands(block):
        match = EXPECTED_EXIT.search(command)
        expected = int(match.group(1)) if match else 0
        quoted = command.replace("'", "'\\''")
        script += [command,
                   f"status=$?; if [ $status -ne {expected} ]; then "
                   f"echo 'readme: exit '$status', not {expected}: {quoted}' >&2; exit 1; fi"]
    try:
        # In a session of its own, without a terminal: the program's key wait ends at once
        # instead of waiting for a key on the terminal that ./run-all-tests was started from.
        done = subprocess.run(["bash", "-c", "\n".join(script)], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=BLOCK_TIME_LIMIT,
                              start_new_session=True)
    except subprocess.TimeoutExpired:
        return f"still running after {BLOCK_TIME_LIMIT} s"
    if done.returncode != 0:
        return (done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace"))
    return None


def check_run_by_run_all_tests(block):
    """Each command must be one that run-all-tests runs, on a line of its own."""
    script = RUN_ALL_TESTS.read_text(encoding="utf-8")
    missing = [c for c in commands(block)
               if not re.search(r"(^|\s)" + re.escape(c) + r"\s*$", script, re.MULTILINE)]
    return f"not run by run-all-tests: {missing}" if missing else None


def check_run_by_ci(index):
    """.ci/run must take the newcomer's command from here."""
    ci = (REPO / ".ci" / "run").read_text(encoding="utf-8")
    if f"readme_commands.py --print {index}" not in ci:
        return f".ci/run does not run it (readme_commands.py --print {index})"
    return None


def sh_blocks(path):
    blocks, _ = read_blocks(path)
    return [b for b in blocks if b.language == "sh"]


def main(argv):
    if len(argv) == 3 and argv[1] == "--print":
        index = int(argv[2])
        if not 1 <= index <= NEWCOMER_COMMANDS:
            sys.exit(f"readme: --print takes 1 to {NEWCOMER_COMMANDS}")
        print("\n".join(commands(sh_blocks(READMES[0])[index - 1])))
        return 0
    if len(argv) != 1:
        print(__doc__.strip().split("\n\n")[-1], file=sys.stderr)
        return 2

    passed, failures = 0, []
    for path in READMES:
        blocks, problems = read_blocks(path)
        failures += problems
        newcomer = sh_blocks(path)[:NEWCOMER_COMMANDS] if path == READMES[0] else []
        for block in blocks:
            if block.language != "sh":
                continue
            if block in newcomer:
                index = newcomer.index(block) + 1
                outcome, how = check_run_by_ci(index), "run by .ci/run"
            elif block.mark == MARK_RUN_ALL_TESTS:
                outcome, how = check_run_by_run_all_tests(block), "run by run-all-tests"
            else:
                outcome, how = run_sh_block(block), "ran"
            if outcome is None:
                passed += 1
                print(f"ok   {block.where()}: {how}: {'; '.join(commands(block))}")
            else:
                failures.append(f"{block.where()}: {outcome}")
    for failure in failures:
        print(f"FAIL {failure}")
    print(f"readme: {passed} passed, {len(failures)} failed")
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
