#!/usr/bin/env python3
"""Runs the cases of scenarios/ against a build of the setup program: `run.py --help` says how.
The runner itself is the package runner/ beside this file (scenarios/README.md maps it)."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from runner.cli import main  # noqa: E402  (the package lies beside this file)

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
