"""The kernels chosen for this processor against the reference kernels.

`make test` builds a second module with the reference kernels only (in
build/reference/pkg). Here both are loaded side by side and every kernel
operation is run on the same inputs through each; the results must agree
bit for bit. The kernel tests are also run whole against the reference
build (TELVARAN_TESTING_REFERENCE=1, see the Makefile).
"""

import importlib.machinery
import importlib.util
import math
import os
import random
import struct
from array import array
from pathlib import Path

import pytest

import telvaran as tv
from conftest import IN_CI, TYPECODES

ROOT = Path(__file__).resolve().parent.parent
# `make test DEV=1` names its own reference build (without link-time optimisation).
REFERENCE_PKG = Path(os.environ.get("TELVARAN_REFERENCE_PKG", ROOT / "build" / "reference" / "pkg"))
REFERENCE_SO = REFERENCE_PKG / "telvaran" / "_telvaran.abi3.so"


def load_reference():
    if not REFERENCE_SO.exists():
        if IN_CI:
            raise FileNotFoundError(f"{REFERENCE_SO} is missing; make test builds it")
        pytest.skip("the reference build is missing (make test builds it)")
    # The module's init function is found by the last part of the name.
    loader = importlib.machinery.ExtensionFileLoader("telvaran_reference._telvaran", str(REFERENCE_SO))
    spec = importlib.util.spec_from_file_location("telvaran_reference._telvaran", REFERENCE_SO, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def reference():
    if os.environ.get("TELVARAN_TESTING_REFERENCE"):
        pytest.skip("this run imports the reference build itself")
    module = load_reference()
    assert module is not tv._telvaran
    return module


def test_reference_run_uses_the_reference_build():
    # Under TELVARAN_TESTING_REFERENCE the whole kernel suite must have
    # imported the reference build, not the installed one.
    if os.environ.get("TELVARAN_TESTING_REFERENCE"):
        assert Path(tv._telvaran.__file__).resolve() == REFERENCE_SO.resolve()


# Lengths around the vector widths (16, 32 and 64 bytes, four vectors at a
# time), the 8192-element sum blocks and their groups of eight.
LENGTHS = [1, 2, 3, 7, 8, 15, 16, 17, 31, 33, 63, 64, 65, 127, 129, 255, 257, 1000,
           8191, 8192, 8193, 16385, 65535, 65536, 65537, 100_003]


def values(code, n, rng):
    if code in "fd":
        special = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-300 if code == "d" else 1e-40]
        return [rng.choice(special) if rng.random() < 0.02 else rng.uniform(-1e6, 1e6) for _ in range(n)]
    bits = 8 * array(code).itemsize
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if code.islower() else (0, (1 << bits) - 1)
    return [rng.randint(lo, hi) for _ in range(n)]


def bits(result):
    """A result as exact bytes: floats by their IEEE pattern, arrays by their memory.

    A NaN number is only NaN: which NaN an addition of NaNs of both signs
    gives depends on the order of its operands, which compilers may swap, and
    the arithmetic leaves it open."""
    if isinstance(result, float):
        return "nan" if math.isnan(result) else struct.pack("<d", result)
    if isinstance(result, array):
        return result.typecode, result.tobytes()
    return result


def outcome(fn, *args):
    try:
        return "value", bits(fn(*args))
    except Exception as exc:  # the same refusal from both is agreement too
        return type(exc).__name__, str(exc)


READ_OPERATIONS = ["sum", "mean", "min", "max", "var", "std", "median", "unique"]
IN_PLACE = [("scale", (2.5,)), ("scale", (-1.0,)), ("clip", (-100.0, 1000.0)), ("clip", (math.nan, 5.0)),
            ("normalize", ())]


@pytest.mark.parametrize("code", TYPECODES)
def test_chosen_kernels_match_the_reference(reference, code):
    rng = random.Random(code)
    for n in LENGTHS:
        a = array(code, values(code, n, rng))
        b = array(code, values(code, n, rng))
        for name in READ_OPERATIONS:
            assert outcome(getattr(tv, name), a) == outcome(getattr(reference, name), a), (name, n)
        for name in ("add", "multiply"):
            assert outcome(getattr(tv, name), a, b) == outcome(getattr(reference, name), a, b), (name, n)
        for name, args in IN_PLACE:
            mine, theirs = array(code, a), array(code, a)
            assert outcome(getattr(tv, name), mine, *args) == outcome(getattr(reference, name), theirs, *args)
            assert mine.tobytes() == theirs.tobytes(), (name, args, n)


# Median's rounds (and for bytes, its counts) and the variance's
# conversions, on inputs that take their other paths: runs of equal keys,
# NaN (floats), sorted values, and values from the top of the range
# (unsigned 64-bit values of 2**63 and above; float denormals).
def shaped(code, shape, n, rng):
    plain = values(code, n, rng)
    if shape == "ties":
        few = plain[:3]
        return [rng.choice(few) for _ in range(n)]
    if shape == "sorted":
        return sorted(plain, key=lambda x: (x != x, x))
    if shape == "top":
        if code in "fd":
            tiny = 5e-324 if code == "d" else 1e-45
            return [rng.choice((tiny, -tiny, 0.0, -0.0)) * rng.randint(1, 9) for _ in range(n)]
        low, high = (0, (1 << (8 * array(code).itemsize)) - 1) if code.isupper() else (0, max(plain + [0]))
        return [rng.randint((low + high) // 2, high) for _ in range(n)]
    return [math.nan if code in "fd" and rng.random() < 0.3 else x for x in plain]


@pytest.mark.parametrize("code", TYPECODES)
@pytest.mark.parametrize("shape", ["ties", "sorted", "top", "nan"])
def test_selection_and_variance_match_the_reference(reference, code, shape):
    rng = random.Random(f"{code}{shape}")
    for n in (33, 1000, 65_537):
        a = array(code, shaped(code, shape, n, rng))
        for name in ("median", "var"):
            assert outcome(getattr(tv, name), a) == outcome(getattr(reference, name), a), (name, n)


# Float sums of many blocks: 16 float or 8 double blocks at a time, a group
# at the end with fewer (the last of them shorter) when they fill enough of
# it, then what remains.
@pytest.mark.parametrize("code", "fd")
@pytest.mark.parametrize("n", [16 * 8192, 13 * 8192 + 5, 19 * 8192 + 17, 40 * 8192 - 1])
def test_float_sums_of_many_blocks_match_the_reference(reference, code, n):
    rng = random.Random(n)
    a = array(code, [rng.uniform(-1e6, 1e6) * 10.0 ** rng.randint(-30, 30) for _ in range(n)])
    for name in ("sum", "mean", "var"):
        assert outcome(getattr(tv, name), a) == outcome(getattr(reference, name), a), name


# sort and unique: the vector sort (where the processor has one) must give
# exactly the stable order, whatever the data: both builds against a stable
# sort by the element order, and against each other. Lengths around the
# network blocks (16 to 512 keys) and the partitions' register groups; the
# shapes include those that defeat a naive pivot, wide integer ranges, which
# the counting sort does not take, and ranges of 12 to 24 bits, around the
# choice between the vector sort and the radix sort.
SORT_LENGTHS = list(range(71)) + [127, 128, 129, 255, 256, 257, 511, 512, 513, 1000, 4097, 100_000]
FLOAT_SHAPES = ["zeros", "signed zeros", "nan", "inf"]
SORT_CASES = [(code, shape) for code in TYPECODES
              for shape in ["random", "sorted", "reverse", "equal", "two", "extremes", "organ", "duplicates", "narrow"]
              + (FLOAT_SHAPES if code in "fd" else [])]


def raw_format(code):
    return {1: "B", 2: "H", 4: "I", 8: "Q"}[array(code).itemsize]


def sort_input(code, shape, n, rng):
    if code in "fd":
        lo, hi, wide = -3.4e38 if code == "f" else -1.7e308, 3.4e38 if code == "f" else 1.7e308, 1e6
    else:
        bits = 8 * array(code).itemsize
        lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if code.islower() else (0, (1 << bits) - 1)
        wide = hi // 2
    plain = [rng.uniform(-wide, wide) if code in "fd" else rng.randint(lo, hi) for _ in range(n)]
    base, step = (-wide, 2 * wide / (n + 1)) if code in "fd" else (lo, max(1, (hi - lo) // (n + 1)))
    if shape == "sorted":
        return sorted(plain)
    if shape == "reverse":
        return sorted(plain, reverse=True)
    if shape == "equal":
        return [plain[0] if n else 0] * n
    if shape == "two":
        return [rng.choice((lo, hi)) for _ in range(n)]
    if shape == "extremes":
        return [rng.choice((lo, hi, lo + 1, hi - 1, 0)) for _ in range(n)]
    if shape == "organ":  # rises then falls, over the whole range
        return [min(base + step * min(i, n - i), hi) for i in range(n)]
    if shape == "duplicates":  # a few wide values, many times each
        few = plain[:5] or [0]
        return [rng.choice(few) for _ in range(n)]
    if shape == "narrow":
        span = min(1 << rng.choice((12, 20, 24)), hi - lo + 1)
        return [x // span * span if code in "fd" else lo + (x - lo) % span for x in plain]
    if code not in "fd":
        return plain
    tiny = 5e-324 if code == "d" else 1e-45  # the least denormal
    special = {"zeros": [0.0, tiny, -tiny], "signed zeros": [0.0, -0.0], "nan": [math.nan, -math.nan, 0.0, -0.0],
               "inf": [math.inf, -math.inf]}.get(shape, [])
    return [rng.choice(special) if special and rng.random() < 0.2 else x for x in plain]


def stable_order(code, a):
    """The items of a, as bytes, sorted stably: floats by <, NaNs after +inf by their bits without the sign."""
    size = a.itemsize
    raw = a.tobytes()
    bits = array(raw_format(code), raw)
    magnitude = (1 << (8 * size - 1)) - 1

    def key(i):
        x = a[i]
        if code in "fd" and x != x:
            return (1, bits[i] & magnitude)
        return (0, x)

    return b"".join(raw[i * size:(i + 1) * size] for i in sorted(range(len(a)), key=key))


def distinct_of_sorted(code, raw):
    """Of sorted items, each one not == to the one kept last (so every NaN, and the first zero)."""
    items = array(code, raw)
    size = items.itemsize
    kept = []
    for i, x in enumerate(items):
        if not kept or x != last:
            kept.append(raw[i * size:(i + 1) * size])
            last = x
    return b"".join(kept)


@pytest.mark.parametrize(("code", "shape"), SORT_CASES)
def test_sort_gives_the_stable_order(code, shape):
    rng = random.Random(f"{code}{shape}")
    reference = None if os.environ.get("TELVARAN_TESTING_REFERENCE") else load_reference()
    for n in SORT_LENGTHS:
        if n == 100_000 and shape not in ("random", "organ", "nan", "narrow"):
            continue
        a = array(code, sort_input(code, shape, n, rng))
        mine = array(code, a)
        tv.sort(mine)
        expected = stable_order(code, a)
        assert mine.tobytes() == expected, (n, shape)
        if n:
            assert tv.unique(a).tobytes() == distinct_of_sorted(code, expected), (n, shape)
        if reference is not None:
            theirs = array(code, a)
            reference.sort(theirs)
            assert mine.tobytes() == theirs.tobytes(), (n, shape)


# Large inputs: built against the vector sort's pivots (see sort_adversary; the
# crafted arrangement defeats its evenly spaced samples until it takes them at random,
# nested majorities make every partition bad whatever the samples, down to the radix
# sort that sorts the parts left), at sizes either side of the partitions' wider
# register groups (16,384 keys), and, for 16-bit keys, below the counting sort's
# ranges; random keys either side of the radix sort's split by the top bits (2^19
# keys), floats with zeros of both signs, which only the radix sort takes.
LARGE_SORT_CASES = [(dtype, shape, n)
                    for dtype in ["int32", "uint32", "int64", "uint64", "float32", "float64"]
                    for shape, n in [("crafted", 16_383), ("crafted", 16_384), ("crafted", 65_536),
                                     ("nested_majorities", 262_144), ("random", 2**19 - 1), ("random", 2**19 + 3)]]
LARGE_SORT_CASES += [(dtype, "signed zeros", 2**19 + 3) for dtype in ["float32", "float64"]]
LARGE_SORT_CASES += [(dtype, "crafted", n) for dtype in ["int16", "uint16"] for n in (4_096, 16_383)]


def large_sort_input(np, dtype, shape, n):
    import sort_adversary

    if shape in ("crafted", "nested_majorities"):
        return getattr(sort_adversary, shape)(np, dtype, n)
    rng = np.random.default_rng(n)
    if np.dtype(dtype).kind != "f":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
    x = (rng.standard_normal(n) * 1e3).astype(dtype)
    if shape == "signed zeros":
        x[::7], x[::11] = -0.0, 0.0
    return x


@pytest.mark.parametrize(("dtype", "shape", "n"), LARGE_SORT_CASES)
def test_large_sorts_give_the_stable_order(np, dtype, shape, n):
    x = large_sort_input(np, dtype, shape, n)
    expected = np.sort(x, kind="stable")
    builds = [tv] if os.environ.get("TELVARAN_TESTING_REFERENCE") else [tv, load_reference()]
    for build in builds:
        mine = x.copy()
        build.sort(mine)
        assert mine.tobytes() == expected.tobytes()
        assert build.unique(x).tolist() == np.unique(x).tolist()
        assert build.median(x) == expected[n // 2 if x.dtype.kind == "f" else (n - 1) // 2]
