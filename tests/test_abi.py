"""The shared object is a stable-ABI (abi3) build for Python 3.13 and later."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from telvaran import _telvaran

from conftest import IN_CI


def _abi3audit():
    beside_python = Path(sys.executable).with_name("abi3audit")
    found = str(beside_python) if beside_python.exists() else shutil.which("abi3audit")
    if found:
        return found
    if IN_CI:
        pytest.fail("abi3audit is not installed")
    pytest.skip("abi3audit is not installed")


def test_file_is_tagged_abi3():
    assert Path(_telvaran.__file__).name == "_telvaran.abi3.so"


def test_uses_only_the_stable_abi_of_3_13():
    so = _telvaran.__file__
    result = subprocess.run(
        [_abi3audit(), "--assume-minimum-abi3", "3.13", "--report", so],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    report = json.loads(result.stdout)["specs"][so]["object"]["result"]
    assert report["is_abi3"]
    assert report["non_abi3_symbols"] == []
    assert report["is_abi3_baseline_compatible"]
