import math
import struct
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import telvaran as tv
from conftest import TYPECODES, bits_of, sample_array, stable_sorted_bits
from conftest import type_limits as limits

NAN = float("nan")
INF = float("inf")


def arrays(tc, min_size=1):
    if tc in "fd":
        values = st.floats(allow_nan=False, allow_infinity=False, width=32 if tc == "f" else 64)
        values = values | st.sampled_from([0.0, -0.0, 1.0, -1.0])
    else:
        lo, hi = limits(tc)
        values = st.integers(lo, hi) | st.integers(lo, lo + 2) | st.integers(hi - 2, hi)
    return st.lists(values, min_size=min_size, max_size=200).map(lambda xs: array(tc, xs))


def reference_variance(a):
    """Squared deviations about mean() added left to right, over the count."""
    m = tv.mean(a)
    s = 0.0
    for x in a:
        d = float(x) - m
        s += d * d
    return s / len(a)


def same_float(x, y):
    """Equal including the sign of zero; any NaN matches any NaN."""
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return x == y and math.copysign(1, x) == math.copysign(1, y)


# --- var and std ----------------------------------------------------------


@pytest.mark.parametrize("tc", TYPECODES)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_var_and_std_about_the_mean(tc, data):
    a = data.draw(arrays(tc))
    expected = reference_variance(a)
    assert same_float(tv.var(a), expected)
    assert same_float(tv.std(a), math.sqrt(expected))


@pytest.mark.parametrize(
    "tc, values, expected",
    [
        ("d", [1.0, 2.0, 3.0, 4.0], 1.25),
        ("d", [5.0], 0.0),
        ("b", [100, 100], 16384.0),  # the mean wraps to -28.0
        ("d", [1.0, NAN], NAN),
        ("d", [INF, -INF], NAN),
        ("f", [1.0, 2.0], 0.25),
    ],
)
def test_var_examples(tc, values, expected):
    result = tv.var(array(tc, values))
    assert type(result) is float and same_float(result, expected)


def test_var_of_2d_memoryview_divides_by_element_count(np):
    view = memoryview(np.array([[3.0, 1.0], [2.0, 0.0]]))
    assert len(view) == 2
    assert tv.var(view) == 1.25


# --- median ---------------------------------------------------------------


@pytest.mark.parametrize(
    "tc, values, expected",
    [
        ("i", [4, 1, 3, 2], 2),
        ("d", [4.0, 1.0, 3.0, 2.0], 3.0),
        ("i", [3, 1, 2], 2),
        ("d", [3.0, 1.0, 2.0], 2.0),
        ("B", [200, 100], 100),
        ("L", [2**64 - 1], 2**64 - 1),
        ("l", [-(2**63), 2**63 - 1], -(2**63)),
        ("d", [0.0, -0.0, 1.0], -0.0),
        ("d", [-0.0, 0.0, 1.0], 0.0),
        ("f", [0.1], array("f", [0.1])[0]),
    ],
)
def test_median_examples(tc, values, expected):
    result = tv.median(array(tc, values))
    assert type(result) is type(expected)
    assert same_float(result, expected) if tc in "fd" else result == expected


@pytest.mark.parametrize("tc", TYPECODES)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_median_is_the_middle_of_the_sorted_array(tc, data):
    a = data.draw(arrays(tc))
    ordered = array(tc, a)
    tv.sort(ordered)
    middle = len(a) // 2 if tc in "fd" else (len(a) - 1) // 2
    result = tv.median(a)
    assert type(result) is (float if tc in "fd" else int)
    assert same_float(result, ordered[middle]) if tc in "fd" else result == ordered[middle]


@pytest.mark.parametrize("n", [9, 65, 200])
@pytest.mark.parametrize("mostly_nan", [False, True])
def test_median_with_nan_agrees_with_sort(n, mostly_nan):
    """Bit for bit the element that sort() puts in the middle, NaN or not."""
    a = array("d", [float(k % 7) for k in range(n)])
    for k in range(n):
        if k % 3 == 0 or (mostly_nan and k % 3 == 1):
            a[k] = -NAN if k % 2 else NAN
    ordered = array("d", a)
    tv.sort(ordered)
    assert struct.pack("d", tv.median(a)) == struct.pack("d", ordered[n // 2])


# Sizes either side of where median changes strategy: a sorted copy below
# 32 items, rounds against a sample's elements settled by selection from
# 128 kept, counting rounds with 11-bit digits (NaN present) from 16,384;
# and sizes that leave every vector width a partial tail.
MEDIAN_SIZES = [31, 32, 129, 147, 1000, 4097, 20_000]
MEDIAN_CASES = [(tc, shape) for tc in TYPECODES
                for shape in ("random", "narrow", "sorted", "reversed", "sawtooth") + (("nan",) if tc in "fd" else ())]


@pytest.mark.parametrize("tc, shape", MEDIAN_CASES)
@pytest.mark.parametrize("n", MEDIAN_SIZES)
def test_median_is_the_stable_sorts_element_around_thresholds(tc, shape, n):
    a = sample_array(tc, n, shape)
    expected = stable_sorted_bits(a)[n // 2 if tc in "fd" else (n - 1) // 2]
    result = tv.median(a)
    got = bits_of(array(tc, [result]))[0]
    if tc == "f" and math.isnan(result):
        # Widening to a Python float keeps a NaN, not its every payload bit.
        assert math.isnan(array("f", array("I", [expected]).tobytes())[0])
    else:
        assert got == expected


def test_median_leaves_input_unchanged(np):
    x = np.array([3, 1, 2], dtype=np.int64)
    x.flags.writeable = False
    assert tv.median(x) == 2 and x.tolist() == [3, 1, 2]


# --- empty inputs and refusals --------------------------------------------


@pytest.mark.parametrize("fn, message", [(tv.var, "var"), (tv.std, "var"), (tv.median, "median")])
def test_empty_inputs(fn, message, typecode):
    with pytest.raises(ValueError, match=rf"^{message}\(\) of empty array$"):
        fn(array(typecode))


@pytest.mark.parametrize("fn, message", [(tv.var, "var"), (tv.std, "var"), (tv.median, "median")])
def test_length_without_elements(np, fn, message):
    view = memoryview(np.zeros((3, 0)))
    assert len(view) == 3
    with pytest.raises(ValueError, match=rf"^{message}\(\) of empty array$"):
        fn(view)


@pytest.mark.parametrize("fn", [tv.var, tv.std, tv.median])
def test_non_contiguous_view_is_refused_and_released(fn):
    a = array("d", [1.0, 2.0, 3.0, 4.0])
    view = memoryview(a)[::2]
    with pytest.raises(TypeError, match="^Failed to get buffer slice$"):
        fn(view)
    view.release()  # would raise BufferError if an export were still held
    a.append(5.0)


def test_var_takes_the_complete_mean_before_its_own_view(np):
    # The mean runs its whole prologue (length, item size, view) before the
    # variance asks for the item size of its own pass.
    log = []

    class Logged(np.ndarray):
        def __len__(self):
            log.append("len")
            return super().__len__()

        @property
        def itemsize(self):
            log.append("itemsize")
            return super().itemsize

    assert tv.var(np.arange(5, dtype=np.int64).view(Logged)) == 2.0
    assert log == ["len", "len", "itemsize", "itemsize"]
