"""Runs the cases of scenarios/ against a build of the setup program.

usage: run.py BUILD_DIR list | check NAME | all | setup | cleanup | machine NAME DIR

BUILD_DIR's scenario-runner.json (written by CMake) says what a case runs on: setup-sim on a
machine folder made from the case (Linux presets), or SETUP.EXE under Wine in a prefix of the
image's architecture (windows: 32-bit, set to Windows 2000; windows-x64: 64-bit).
  list          the names of the checks
  check NAME    the case scenarios/NAME.case, keywait (the exit key wait on a terminal, in tmux)
                or under Wine platform (the Windows backend's own checks); exit code 0, 1
                failed, 77 skipped
  all           every check (under Wine in a new prefix), then a count
  setup         (Wine) a new prefix, its server kept warm; check makes one where there is none
  cleanup       (Wine) stops the prefix's server
  machine NAME DIR   (simulator) lays out the machine of the case NAME as the machine folder DIR
One case by hand, once the preset is built (as ctest runs it):
  scenarios/run.py build/default check first-install
scenarios/README.md says how a case is written, where the files of its runs stay and when a
check is skipped (and, with CI=true, fails instead).
"""
import json
import os
import shutil
import sys
import time
from pathlib import Path

from .backend import Check
from .case import Case
from .common import CASES, SKIPPED, CaseError, Unavailable
from .machine import Machine, lay_out
from .runs import run_case
from .simulator import Simulator
from .wine import Wine


WINE_ONLY = {"platform": "the Windows backend's own checks"}


def names(backend):
    return [*backend.specials, *sorted(path.stem for path in CASES.glob("*.case"))]


def run_check(backend, name):
    """One check: 0 passed, 1 failed, 77 skipped."""
    # The backend's own title: under Wine a check of a wow64 machine says its prefix when it starts.
    print(f"--- {name} ({getattr(backend, 'image_title', backend.title)})", flush=True)
    began, check = time.monotonic(), Check(backend, name)
    shutil.rmtree(check.out, ignore_errors=True)
    check.out.mkdir(parents=True)
    if name in WINE_ONLY and name not in backend.specials:
        print(f"  skipped: {WINE_ONLY[name]} run under Wine only")
        return SKIPPED
    try:
        case = None if name in backend.specials else Case(name, backend.system)
        only = case and case.value("only")
        if only and (only.split()[0] != backend.name
                     or only.split()[1:2] == ["x86"] and backend.arch != "win32"):
            print(f"  skipped: only on the {only}")
            return SKIPPED
        if case and backend.not_for(case):
            print(f"  skipped: {backend.not_for(case)}")
            return SKIPPED
        backend.start(check, case)
        backend.specials[name](check) if case is None else run_case(check, case)
    except Unavailable as unavailable:
        return skip(unavailable)
    except CaseError as error:
        check.fail(str(error))
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
    arguments = {"list": 0, "check": 1, "all": 0, "setup": 0, "cleanup": 0, "machine": 2}
    if len(argv) < 2 or arguments.get(argv[1]) != len(argv) - 2:
        print(__doc__)
        return 0 if argv[:1] in (["-h"], ["--help"]) else 2
    config = json.loads((Path(argv[0]) / "scenario-runner.json").read_text())
    backend = Simulator(config) if config["backend"] == "sim" else Wine(config)
    wine, outcomes = isinstance(backend, Wine), []
    if argv[1] == "list":
        return print("\n".join(names(backend))) or 0
    if argv[1] == "machine":
        check = Check(backend, argv[2])
        check.machine_dir, check.machine = Path(argv[3]).resolve(), Machine(Case(argv[2]))
        return lay_out(check) or 0
    if wine and backend.missing():
        return skip(Unavailable(backend.missing()))
    if argv[1] == "check":
        return run_check(backend, argv[2])
    if wine and argv[1] in ("setup", "all"):
        check = Check(backend, "setup")
        for wow64 in backend.prefixes():
            backend.use(wow64)
            if backend.missing():  # only the WOW64 prefix's: its cases say so each
                print(f"  {backend.title}: not made: {backend.missing()}")
                continue
            backend.setup(check)
        backend.use(wow64=False)
        if check.failures:
            return 1
    if argv[1] == "all":
        outcomes = [run_check(backend, name) for name in names(backend)]
        print(f"{outcomes.count(0)} passed, {outcomes.count(1)} failed, "
              f"{outcomes.count(SKIPPED)} skipped")
    if wine and argv[1] in ("cleanup", "all"):
        backend.stop()
    return 1 if 1 in outcomes else 0
