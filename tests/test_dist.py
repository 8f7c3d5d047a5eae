"""What a distribution carries: its metadata, and the smoke test that `make
dist` and the wheel builders run on every wheel, run here on the installation
under test."""

import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_smoke_script_passes_on_this_installation(tmp_path):
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "smoke.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.rstrip().endswith(" 0 failed")


@pytest.mark.parametrize("field, expected", [
    ("License-Expression", "MIT"),
    ("License-File", "LICENSE"),
    ("Requires-Python", ">=3.13"),
    ("Classifier", "Typing :: Typed"),
    ("Classifier", "Operating System :: POSIX :: Linux"),
    ("Classifier", "Programming Language :: Python :: 3.13"),
    ("Classifier", "Programming Language :: Python :: 3.14"),
])
def test_installed_metadata(field, expected):
    assert expected in metadata.metadata("telvaran").get_all(field, [])


def test_license_travels_with_the_installation():
    files = metadata.files("telvaran") or []
    licenses = [f for f in files if f.name == "LICENSE"]
    assert len(licenses) == 1
    assert "MIT License" in licenses[0].read_text()
    assert licenses[0].read_text() == (ROOT / "LICENSE").read_text()
