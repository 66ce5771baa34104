"""Builds the pelk-utils wheel by driving the project's CMake build.

`pip install --no-build-isolation .` (or `pip wheel`) runs CMake on this
checkout (Release, no tests or benchmarks; PELK_CMAKE_BUILD_DIR names a build
tree to reuse), installs its `python` and `cli` components into a staging
folder, and packs the Python package with the command-line programs in
pelk_utils/_bin, started by the `pelk` console entry. The version is the CMake
project's.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def cmake_version() -> str:
    match = re.search(r"project\(pelk_utils VERSION ([0-9][0-9.]*)", (ROOT / "CMakeLists.txt").read_text())
    if not match:
        sys.exit("setup.py: no version in CMakeLists.txt's project() line")
    return match.group(1)


class BinaryDistribution(Distribution):
    """The wheel holds compiled code: tag it for this interpreter and platform."""

    def has_ext_modules(self) -> bool:
        return True


def run(command: list) -> None:
    print("+ " + " ".join(str(c) for c in command), flush=True)
    subprocess.run([str(c) for c in command], check=True)


class CMakeBuild(build_ext):
    """Builds with CMake and copies the package and programs into build_lib
    (the compiled half of the build: setuptools runs it for every wheel)."""

    def run(self) -> None:
        reused = os.environ.get("PELK_CMAKE_BUILD_DIR")
        build_dir = Path(reused) if reused else ROOT / "build" / "pip"
        if not (build_dir / "CMakeCache.txt").exists():
            run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DPELK_BUILD_TESTS=OFF",
                 "-DPELK_BUILD_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"])
        jobs = str(os.cpu_count() or 2)
        run(["cmake", "--build", build_dir, "--parallel", jobs, "--target", "_pelk_utils", "_pelk_torch", "pelk",
             "pelk-tools", "pelk-full"])
        stage = build_dir / "pip-stage"
        shutil.rmtree(stage, ignore_errors=True)
        for component in ("python", "cli"):
            run(["cmake", "--install", build_dir, "--prefix", stage, "--component", component])
        inits = sorted(stage.glob("**/pelk_utils/__init__.py"))
        if not inits:
            sys.exit(f"setup.py: the CMake install put no pelk_utils package under {stage}")
        package = Path(self.build_lib) / "pelk_utils"
        shutil.rmtree(package, ignore_errors=True)
        shutil.copytree(inits[0].parent, package, ignore=shutil.ignore_patterns("__pycache__"))
        programs = package / "_bin"
        programs.mkdir()
        for program in [stage / "bin" / "pelk", *sorted((stage / "libexec" / "pelk").glob("pelk-*"))]:
            shutil.copy2(program, programs / program.name)


setup(
    version=cmake_version(),
    packages=[],
    distclass=BinaryDistribution,
    cmdclass={"build_ext": CMakeBuild},
    # setuptools' own scratch stays out of the CMake build tree.
    options={"build": {"build_base": "build/setuptools"}, "egg_info": {"egg_base": "build/setuptools"}},
)
