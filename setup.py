"""Builds the extension module korvane._core with the project's CMake.

Only the library and the module are built (tests, tools, benchmarks and the
install rules off), for the interpreter running this script, in Release
mode; the module is then placed into the package. From the repository root:

    python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation .

Set CMAKE_BUILD_PARALLEL_LEVEL to limit the build jobs (default: the
machine's cores) and CMAKE_CXX_COMPILER_LAUNCHER=ccache to reuse objects.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """The module built by the CMake target `target`."""

    def __init__(self, name: str, target: str) -> None:
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        assert isinstance(ext, CMakeExtension)
        build_dir = Path(self.build_temp).resolve() / "cmake"
        output = Path(self.get_ext_fullpath(ext.name)).resolve()
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DKORVANE_BUILD_PYTHON=ON",
            "-DKORVANE_BUILD_TESTS=OFF", "-DKORVANE_BUILD_TOOLS=OFF",
            "-DKORVANE_BUILD_BENCH=OFF", "-DKORVANE_INSTALL=OFF", "-DKORVANE_WERROR=OFF",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 2))
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", ext.target, "-j", jobs], check=True)
        built = next((build_dir / "python" / "korvane").glob("_core*.so"))
        output.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(output))


setup(ext_modules=[CMakeExtension("korvane._core", "korvane_python")], cmdclass={"build_ext": CMakeBuild})
