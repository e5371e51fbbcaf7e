#!/usr/bin/env python3
"""Builds the example machines from an empty build folder with the Makefile generator, and holds
each machine's SETUP.EXE against the setup-sim that build made; then changes setup-sim's source
and builds again, and wants the machines laid out again with the new program.

    example_machines_build.py --cmake CMAKE --cxx CXX --jobs N MACHINE...

The build runs on a copy of the source tree (the tree's files but build/ and .git), so that the
change of the program's source stays there. It builds the target example_machines alone: only its
dependencies can bring setup-sim and the catalogue files into being before the machines are laid
out. Exit code 0 when every check holds, 1 when one fails (each failure is said), 2 when a build
fails."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
# The program source that the second build finds changed.
PROGRAM_SOURCE = "programs/setup_sim_main.cpp"
# Bytes that the changed program carries, and the unchanged one does not.
MARKER = "example-machines-rebuilt"
# Where a machine holds the program, below its folder.
MACHINE_PROGRAM = Path("drives/D/win2000/SETUP.EXE")
# Left out of the copy: build folders and the repository's history.
NOT_COPIED = {"build", ".git", ".cache"}


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, condition, message):
        if not condition:
            print(f"example_machines_build: FAILED: {message}")
            self.failures += 1
        return condition


def build(arguments, tree, binary, what):
    """Builds the target example_machines of TREE in BINARY; configures BINARY first when it
    holds nothing yet. Fails the whole test (exit 2) when a step fails."""
    steps = []
    if not (binary / "CMakeCache.txt").exists():
        steps.append([arguments.cmake, "-S", str(tree), "-B", str(binary), "-G", "Unix Makefiles",
                      f"-DCMAKE_CXX_COMPILER={arguments.cxx}", "-DCMAKE_BUILD_TYPE=",
                      "-DSETUP_BUILD_TESTS=OFF", "-DSETUP_BUILD_BENCH=OFF"])
    steps.append([arguments.cmake, "--build", str(binary), "--target", "example_machines",
                  "-j", str(arguments.jobs)])
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("MAKEFLAGS", "MFLAGS", "CMAKE_GENERATOR",
                                  "CMAKE_BUILD_PARALLEL_LEVEL")}
    start = time.monotonic()
    for step in steps:
        result = subprocess.run(step, env=environment, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, check=False)
        if result.returncode != 0:
            print(result.stdout[-6000:])
            print(f"example_machines_build: FAILED: {what}: {' '.join(step)} "
                  f"ended with exit code {result.returncode}")
            sys.exit(2)
    print(f"example_machines_build: {what}: {time.monotonic() - start:.0f} s")


def check_machines(checks, binary, machines, what):
    """Each machine carries the setup-sim of BINARY as its SETUP.EXE; returns the copies' times
    of last change."""
    program = (binary / "setup-sim").read_bytes()
    times = {}
    for name in machines:
        copy = binary / "machines" / name / MACHINE_PROGRAM
        if checks.expect(copy.is_file(), f"{what}: the machine {name} has no {MACHINE_PROGRAM}"):
            checks.expect(copy.read_bytes() == program,
                          f"{what}: the machine {name}'s {MACHINE_PROGRAM} is not the setup-sim "
                          f"of this build")
            times[name] = copy.stat().st_mtime_ns
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--jobs", type=int, required=True)
    parser.add_argument("machines", nargs="+")
    arguments = parser.parse_args()
    checks = Checks()

    with tempfile.TemporaryDirectory(prefix="example-machines-") as work:
        tree, binary = Path(work) / "source", Path(work) / "build"
        shutil.copytree(SOURCE, tree, symlinks=True,
                        ignore=lambda folder, names: [name for name in names
                                                      if Path(folder) == SOURCE
                                                      and name in NOT_COPIED])

        build(arguments, tree, binary, "the build from an empty folder")
        first = check_machines(checks, binary, arguments.machines, "the first build")
        checks.expect(MARKER.encode() not in (binary / "setup-sim").read_bytes(),
                      f"the unchanged setup-sim already holds {MARKER!r}")

        # Nothing changed: nothing is laid out again.
        build(arguments, tree, binary, "the build again, nothing changed")
        again = check_machines(checks, binary, arguments.machines, "the build again")
        checks.expect(again == first, "a build with nothing changed laid the machines out again")

        # A changed program: a definition the linker keeps, so that the new image differs.
        source = tree / PROGRAM_SOURCE
        with source.open("a", encoding="utf-8") as out:
            out.write(f'\nextern const char kExampleMachinesRebuilt[] = "{MARKER}";\n')
        build(arguments, tree, binary, f"the build after a change of {PROGRAM_SOURCE}")
        checks.expect(MARKER.encode() in (binary / "setup-sim").read_bytes(),
                      f"the change of {PROGRAM_SOURCE} did not rebuild setup-sim")
        changed = check_machines(checks, binary, arguments.machines, "after the change")
        for name, when in changed.items():
            checks.expect(when != first.get(name),
                          f"the machine {name} was not laid out again after the change")

    if checks.failures:
        print(f"example_machines_build: {checks.failures} check(s) failed")
        return 1
    print(f"example_machines_build: the {len(arguments.machines)} example machines carry the "
          f"setup-sim built with them, before and after a change of {PROGRAM_SOURCE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
