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
distributed = pytest.fixture(_fixture_for("dask.distributed"), name="distributed")


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
def fake(monkeypatch):
    """The ctypes Arrow exporters of arrow_exporters, passing for pyarrow's
    classes; every struct they hand out must be released exactly once."""
    import sys

    import arrow_exporters as fx

    monkeypatch.setitem(sys.modules, "pyarrow", fx.fake_pyarrow())
    fx.ledger.reset()
    yield fx
    fx.ledger.assert_balanced()


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


# --- element order -----------------------------------------------------------
# The order of sort, unique and median: integers by value; floats by IEEE
# less-than with -0.0 == +0.0, NaNs after every number ordered by their bits
# without the sign; equivalent elements in input order (a stable sort).

_UNSIGNED_OF = {"f": "I", "d": "Q"}


def bits_of(a):
    """The elements of an array.array as unsigned integers of their width."""
    from array import array

    code = _UNSIGNED_OF.get(a.typecode, a.typecode.upper())
    return list(array(code, a.tobytes()))


def from_bits(typecode, bits):
    """An array.array of the typecode whose items have these bit patterns."""
    from array import array

    code = _UNSIGNED_OF.get(typecode, typecode.upper())
    return array(typecode, array(code, bits).tobytes())


def stable_order(a):
    """Indices of a's elements in the order a stable sort leaves them in."""
    if a.typecode not in "fd":
        return sorted(range(len(a)), key=a.__getitem__)
    bits = bits_of(a)
    magnitude = (1 << (8 * a.itemsize - 1)) - 1
    return sorted(range(len(a)), key=lambda i: (1, bits[i] & magnitude) if a[i] != a[i] else (0, a[i]))


def stable_sorted_bits(a):
    """The bit patterns of a's elements, stably sorted in element order."""
    bits = bits_of(a)
    return [bits[i] for i in stable_order(a)]


# Raw NaN patterns of both signs, quiet and signalling, several payloads.
NAN_BITS = {
    "f": [0x7FC00000, 0xFFC00000, 0x7F800001, 0xFF800123, 0x7FFFFFFF],
    "d": [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF0000000000ABC, 0x7FFFFFFFFFFFFFFF],
}


def sample_array(typecode, n, shape, seed=0):
    """n elements of the typecode, drawn reproducibly, of one shape:
    "random"  integers over the whole range; floats of both signs and many
              exponents, with some zeros of both signs;
    "narrow"  integers in a range of about n/3 values; floats k/4 for |k| <= 20;
    "nonzero" floats without zeros or NaN (integers as "random");
    "nan"     "random" with NaNs of several patterns (integers as "random");
    "sorted", "reversed", "sawtooth" (ascending runs of 64): "random" values
              so arranged.
    """
    import random
    from array import array

    rng = random.Random(f"{typecode}{n}{shape}{seed}")
    floats = typecode in "fd"
    if floats:
        def number():
            return rng.choice((-1.0, 1.0)) * 10 ** rng.uniform(-5, 5)
        if shape == "narrow":
            values = [rng.randint(-20, 20) / 4 for _ in range(n)]
            values = [-0.0 if v == 0 and rng.random() < 0.5 else v for v in values]
        elif shape == "nonzero":
            values = [number() for _ in range(n)]
        else:
            values = [rng.choice((0.0, -0.0)) if rng.random() < 0.05 else number() for _ in range(n)]
    else:
        low, high = type_limits(typecode)
        if shape == "narrow":
            width = min(n // 3, high - low)
            low = rng.randint(low, high - width)
            high = low + width
        values = [rng.randint(low, high) for _ in range(n)]
    a = array(typecode, values)
    if shape == "nan" and floats:
        bits = bits_of(a)
        for i in range(n):
            if rng.random() < 0.1:
                bits[i] = rng.choice(NAN_BITS[typecode])
        a = from_bits(typecode, bits)
    if shape in ("sorted", "reversed"):
        ordered = stable_order(a)
        if shape == "reversed":
            ordered.reverse()
        a = array(typecode, [a[i] for i in ordered])
    elif shape == "sawtooth":
        runs = [array(typecode, a[k : k + 64]) for k in range(0, n, 64)]
        a = array(typecode, [run[i] for run in runs for i in stable_order(run)])
    return a
