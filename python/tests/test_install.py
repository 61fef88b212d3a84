"""The package's build script: an interpreter without the wheel package
(a pyenv build, say) is told what to do before pip's own obscure error."""

from __future__ import annotations

import subprocess
import sys

from conftest import REPOSITORY


def test_a_python_without_wheel_is_told_which_interpreter_to_use() -> None:
    # As pip's metadata step runs setup.py, with "wheel" made unimportable.
    code = "import runpy, sys; sys.modules['wheel'] = None; sys.argv = ['setup.py', 'dist_info']; " \
           "runpy.run_path('setup.py', run_name='__main__')"
    done = subprocess.run([sys.executable, "-c", code], cwd=REPOSITORY, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert "has no 'wheel' package" in done.stderr
    assert "/usr/bin/python3 -m venv --system-site-packages .venv" in done.stderr
