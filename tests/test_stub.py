"""The type stub src/tavrel.pyi against the built module, with mypy's stubtest."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import child_env

STUB_DIR = pathlib.Path(__file__).resolve().parent.parent / "src"


def test_stub_matches_module(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tavrel", "--mypy-config-file", os.devnull],
        env=child_env(MYPYPATH=str(STUB_DIR), MYPY_CACHE_DIR=str(tmp_path / "cache")),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
