"""The example of the road from Python runs and carries the identities."""

import os
import subprocess
import sys


def test_road_example_runs(tmp_path):
    example = os.path.join(os.environ.get("PELK_EXAMPLES_DIR", os.path.join(os.path.dirname(__file__), "..", "..",
                                                                            "examples")), "python", "road.py")
    done = subprocess.run([sys.executable, example, str(tmp_path)], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    lines = done.stdout.splitlines()
    assert any(line.startswith("initializer: frame ") and "10 animals" in line for line in lines)
    assert any(line.startswith("loaded 30 frames") for line in lines)
    assert any(line.startswith("matcher: 10 identities carried") for line in lines)
    assert (tmp_path / "annotations" / "clip1" / "output_pp_29.json").exists()
