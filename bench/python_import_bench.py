#!/usr/bin/env python3
"""What `import pelk_utils` costs, beside a bare interpreter and `import numpy`.

Each case runs in a fresh child interpreter, several times, alternating; the
medians of wall time (interpreter start to the end of the case) and of the
peak resident memory are printed, with the figures above the bare
interpreter. Besides the import itself: the first use of the C++ core (which
loads OpenCV, GEOS and libav) and the first use of what needs libtorch.

    PYTHONPATH=build/python python3 bench/python_import_bench.py [--runs 7]
"""

import argparse
import statistics
import subprocess
import sys
import time

# Each case is the code the child runs; the child prints its peak memory.
CASES = {
    "bare interpreter": "pass",
    "import numpy": "import numpy",
    "import pelk_utils": "import pelk_utils",
    "+ first core call": "import pelk_utils as pu; pu.Mask",
    "+ first libtorch call": "import pelk_utils as pu; pu.cosine_scores_cal",
}
PEAK = ("\nimport resource, sys\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, "
        "'torch' in sys.modules, 'pandas' in sys.modules)")

# Targets above the bare interpreter for `import pelk_utils`.
TARGET_SECONDS = 0.3
TARGET_MB = 60


def run_once(code):
    """Returns (wall seconds, peak MB, torch imported, pandas imported) of one child."""
    began = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code + PEAK], capture_output=True, text=True, check=True)
    seconds = time.perf_counter() - began
    peak, torch, pandas = done.stdout.split()[-3:]
    return seconds, float(peak), torch == "True", pandas == "True"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    results = {name: [] for name in CASES}
    for _ in range(args.runs):
        for name, code in CASES.items():  # alternating, so drift hits every case alike
            results[name].append(run_once(code))
    bare_s = statistics.median(r[0] for r in results["bare interpreter"])
    bare_mb = statistics.median(r[1] for r in results["bare interpreter"])
    print(f"python start-up and import, median of {args.runs} runs, each in a fresh interpreter")
    print(f"{'':24}{'wall':>10}{'peak RSS':>11}{'above bare':>20}{'torch':>7}{'pandas':>8}")
    for name, runs in results.items():
        seconds = statistics.median(r[0] for r in runs)
        mb = statistics.median(r[1] for r in runs)
        torch = any(r[2] for r in runs)
        pandas = any(r[3] for r in runs)
        print(f"{name:24}{seconds * 1000:>8.0f} ms{mb:>8.1f} MB{(seconds - bare_s) * 1000:>9.0f} ms{mb - bare_mb:>8.1f} MB"
              f"{'yes' if torch else 'no':>7}{'yes' if pandas else 'no':>8}")
    ours = results["import pelk_utils"]
    extra_s = statistics.median(r[0] for r in ours) - bare_s
    extra_mb = statistics.median(r[1] for r in ours) - bare_mb
    met = extra_s <= TARGET_SECONDS and extra_mb <= TARGET_MB and not any(r[2] or r[3] for r in ours)
    print(f"import pelk_utils above bare: {extra_s * 1000:.0f} ms, {extra_mb:.1f} MB "
          f"(targets <= {TARGET_SECONDS * 1000:.0f} ms, <= {TARGET_MB} MB, no torch, no pandas): "
          f"{'met' if met else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
