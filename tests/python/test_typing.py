"""The typing stubs: mypy --strict over a user module, and stubtest against the built module."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quibex

pytest.importorskip("mypy")

PACKAGE = Path(quibex.__file__).parent
# The children see the very package under test, found as an installed one (PEP 561).
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE.parent), os.environ.get("PYTHONPATH", "")]))


def run(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=tmp_path, env=ENV,
                          timeout=300)


def test_package_ships_stub_and_marker():
    assert {"__init__.pyi", "py.typed"} <= {p.name for p in PACKAGE.iterdir()}


def test_user_module_type_checks(tmp_path):
    # typed_user.py marks each misuse with a narrow ignore, which --strict
    # reports as unused if the stubs accept the misuse.
    user = Path(__file__).with_name("typed_user.py")
    proc = run(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(user))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubs_match_the_module(tmp_path):
    proc = run(tmp_path, "mypy.stubtest", "quibex")
    assert proc.returncode == 0, proc.stdout + proc.stderr
