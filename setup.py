"""Builds the extension module korvane._core with the project's CMake.

Only the library and the module are built (tests, tools, benchmarks and the
install rules off), for the interpreter running this script, in Release
mode; the module is then placed into the package. From the repository root:

    python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation .

Set CMAKE_BUILD_PARALLEL_LEVEL to limit the build jobs (default: the
machine's cores) and CMAKE_CXX_COMPILER_LAUNCHER=ccache to reuse objects.
The compile takes minutes; pip shows only its own spinner, so the build's
progress ("[37/82] ...") goes to the terminal directly when there is one
(pip install -v shows the whole compiler output).
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import List, Optional, TextIO

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent

#: What to do when this interpreter cannot build a wheel offline.
NO_WHEEL = """
korvane: {python} has no 'wheel' package, which pip needs to build this package
with --no-build-isolation (pip then stops with "invalid command 'bdist_wheel'").
This happens with Pythons built by hand or by pyenv. Use Debian's interpreter,
whose venv sees Debian's setuptools and wheel (see README.md, "Using it from Python"):

    /usr/bin/python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation .
"""


def check_wheel() -> None:
    """Stops a wheel build (and pip's metadata step before it, which needs
    the same command) at once, saying what to do, when the interpreter lacks
    the wheel package."""
    if not {"bdist_wheel", "dist_info"}.intersection(sys.argv):
        return
    try:
        import wheel  # noqa: F401
    except ImportError:
        sys.exit(NO_WHEEL.format(python=sys.executable))


def run_showing_progress(command: List[str]) -> None:
    """Runs the build; its progress lines ("[37/82] Building ...") are shown
    on the terminal as one updating line when there is a terminal (pip keeps
    a build's own output to itself unless -v), and passed on as they come
    otherwise."""
    try:
        terminal: Optional[TextIO] = open("/dev/tty", "w", encoding="utf-8")
    except OSError:
        terminal = None
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as build:
        assert build.stdout is not None
        for line in build.stdout:
            sys.stdout.write(line)
            if terminal is not None and line.startswith("["):
                terminal.write("\rkorvane: building the C++ module " + line.split(" ", 1)[0] + "   ")
                terminal.flush()
    if terminal is not None:
        terminal.write("\n")
        terminal.close()
    if build.returncode != 0:
        raise subprocess.CalledProcessError(build.returncode, command)


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
        run_showing_progress(["cmake", "--build", str(build_dir), "--target", ext.target, "-j", jobs])
        built = next((build_dir / "python" / "korvane").glob("_core*.so"))
        output.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(output))


check_wheel()
setup(ext_modules=[CMakeExtension("korvane._core", "korvane_python")], cmdclass={"build_ext": CMakeBuild})
