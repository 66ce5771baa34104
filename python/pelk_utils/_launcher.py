"""The `pelk` command of a pip install: runs the programs packed beside it."""

import os
import sys


def main() -> None:
    """Replaces this process with the packed `pelk` program, arguments as given."""
    program = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_bin", "pelk")
    if not os.access(program, os.X_OK):
        sys.exit(f"pelk: the command-line programs are not part of this install ({program} is missing)")
    os.execv(program, [program, *sys.argv[1:]])
