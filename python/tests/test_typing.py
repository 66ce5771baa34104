"""The stubs describe the package as it is used: mypy checks a typed notebook
file and the examples against them."""

import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent


def run_mypy(*paths):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH="")
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
                           "--ignore-missing-imports", "--python-version", "3.11", *map(str, paths)],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_usage_and_examples_pass_mypy():
    examples = pathlib.Path(os.environ.get("PELK_EXAMPLES_DIR", HERE.parents[1] / "examples")) / "python"
    run_mypy(HERE / "typed_usage.py", *sorted(examples.glob("*.py")))


def test_stubs_name_every_public_name():
    import pelk_utils as pu

    stub = (pathlib.Path(pu.__file__).parent / "__init__.pyi").read_text()
    missing = [n for n in pu.__all__ if f"def {n}(" not in stub and f"class {n}" not in stub and f"{n} as {n}" not in stub]
    assert missing == []
