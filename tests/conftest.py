"""Shared fixtures: the optional libraries and the ten element types.

In CI (CI=true) numpy and pyarrow must be installed: a missing one fails the
run instead of skipping its tests. Elsewhere their tests skip when absent.
"""

import importlib
import os

import pytest

IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")

# typecode -> (numpy dtype name, signed, bits) ; 'f'/'d' are floats
TYPECODES = ["b", "h", "i", "l", "B", "H", "I", "L", "f", "d"]
INT_TYPECODES = [c for c in TYPECODES if c not in "fd"]
FLOAT_TYPECODES = ["f", "d"]
NUMPY_DTYPES = {
    "b": "int8", "h": "int16", "i": "int32", "l": "int64",
    "B": "uint8", "H": "uint16", "I": "uint32", "L": "uint64",
    "f": "float32", "d": "float64",
}


def _optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        if IN_CI:
            raise
        return None


def _fixture_for(name):
    def fixture():
        module = _optional(name)
        if module is None:
            pytest.skip(f"{name} is not installed")
        return module

    return fixture


np = pytest.fixture(_fixture_for("numpy"), name="np")
pa = pytest.fixture(_fixture_for("pyarrow"), name="pa")


@pytest.fixture(params=TYPECODES)
def typecode(request):
    return request.param


@pytest.fixture(params=INT_TYPECODES)
def int_typecode(request):
    return request.param


@pytest.fixture(params=FLOAT_TYPECODES)
def float_typecode(request):
    return request.param


@pytest.fixture
def testbuffer():
    """CPython's buffer test exporter: memoryviews of any struct format."""
    return pytest.importorskip("_testbuffer")


def type_limits(typecode):
    """The smallest and largest value of an integer typecode."""
    from array import array

    bits = 8 * array(typecode).itemsize
    if typecode.islower():
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    return 0, (1 << bits) - 1


def wrapped(value, typecode):
    """value reduced into the typecode's range, as wrapping integer
    arithmetic does."""
    low, high = type_limits(typecode)
    return (value - low) % (high - low + 1) + low


@pytest.fixture
def limits():
    return type_limits


@pytest.fixture
def wrap():
    return wrapped


def raises(exc_type, message, function, obj):
    """function(obj) raises exactly exc_type (not a subclass) with exactly message."""
    with pytest.raises(exc_type) as info:
        function(obj)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def assert_allocations_steady(run, slack=50):
    """run() once to warm caches, then again: the second run must not leave
    more than `slack` new memory blocks behind."""
    import gc
    import sys

    run()
    gc.collect()
    before = sys.getallocatedblocks()
    run()
    gc.collect()
    assert sys.getallocatedblocks() - before < slack
