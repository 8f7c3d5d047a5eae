import math
import re
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import telvaran as tv
from conftest import type_limits as limits

NAN = float("nan")
INF = float("inf")
READ_ONLY_VIEW = "memoryview is read-only; in-place operations require writable memoryview"
IMMUTABLE_ARROW = "Arrow buffers/arrays are immutable; in-place operations not supported"
MUTABLE_SLICE = "Failed to get mutable buffer slice"
ALL_SAME = "Cannot normalize integer array where all values are the same"
NEEDS_FLOAT = "normalize() requires float arrays (use 'f' or 'd' typecode)"


def to_element(tc, value):
    """A double as an integer element: truncated, saturated, NaN to 0."""
    if math.isnan(value):
        return 0
    lo, hi = limits(tc)
    if math.isinf(value):
        return hi if value > 0 else lo
    return min(max(int(value), lo), hi)


def wrap(tc, value):
    lo, hi = limits(tc)
    return (value - lo) % (hi - lo + 1) + lo


def same(a, b):
    """Equal element by element, signed zeros told apart, any NaN equal to any NaN."""

    def key(x):
        return ("nan",) if isinstance(x, float) and math.isnan(x) else (x, math.copysign(1, x))

    return len(a) == len(b) and all(key(x) == key(y) for x, y in zip(a, b))


# ---- scale ----------------------------------------------------------------


@pytest.mark.parametrize(
    "tc, values, factor, expected",
    [
        ("i", [1, 2, 3], 2.5, [2, 4, 6]),
        ("i", [5], 0.9, [0]),
        ("B", [10], -1.0, [0]),
        ("b", [100], 2, [-56]),
        ("h", [1], 1e9, [32767]),
        ("d", [1.5], 2, [3.0]),
        ("i", [-7], -2.9, [14]),
        # The factor is rounded to single precision first (16777216).
        ("f", [3.0], 16777217.0, [50331648.0]),
        ("d", [1.0, -1.0], NAN, [NAN, NAN]),
    ],
)
def test_scale_examples(tc, values, factor, expected):
    a = array(tc, values)
    assert tv.scale(a, factor) is None
    assert same(a, array(tc, expected))


@pytest.mark.parametrize("factor", [NAN, INF, -INF, 1e30, -1e30, 3.99, -3.99, 2.0**63, 2.0**64])
def test_scale_converts_the_factor_then_wraps(int_typecode, factor):
    lo, hi = limits(int_typecode)
    values = [lo, hi, 1, 3]
    a = array(int_typecode, values)
    tv.scale(a, factor)
    f = to_element(int_typecode, factor)
    assert list(a) == [wrap(int_typecode, v * f) for v in values]


# ---- clip -----------------------------------------------------------------


@pytest.mark.parametrize(
    "tc, values, lo, hi, expected",
    [
        ("i", [1, 5, 9], 2, 8, [2, 5, 8]),
        ("i", [5], 1.5, 2.5, [2]),
        ("i", [-5], -2.5, 3, [-2]),
        ("b", [100], 200, 300, [127]),
        ("B", [100], -10, -5, [0]),
        ("d", [1.0, 5.0], NAN, 2.0, [1.0, 2.0]),
        ("d", [1.0, 5.0], 2.0, NAN, [2.0, 5.0]),
        ("i", [-9, 9], NAN, NAN, [-9, 9]),
        ("d", [NAN, -INF, INF], -1.0, 1.0, [NAN, -1.0, 1.0]),
        ("f", [0.1, 2.0], 0.1, 1.0, [0.1, 1.0]),
        ("f", [1.0], 1e300, INF, [INF]),
        ("d", [-0.0], 0.0, 1.0, [-0.0]),
    ],
)
def test_clip_examples(tc, values, lo, hi, expected):
    a = array(tc, values)
    assert tv.clip(a, lo, hi) is None
    assert same(a, array(tc, expected))


@pytest.mark.parametrize("bounds", [(-INF, INF), (-1e300, 1e300), (2.5, 3.5), (-3.5, -2.5)])
def test_clip_integers_saturate_bounds(int_typecode, bounds):
    lo, hi = limits(int_typecode)
    values = [lo, -3, 0, 3, hi] if lo < 0 else [0, 3, hi]
    a = array(int_typecode, values)
    tv.clip(a, *bounds)
    low, high = (to_element(int_typecode, b) for b in bounds)
    assert list(a) == [low if v < bounds[0] else high if v > bounds[1] else v for v in values]


def clip_through_double(tc, x, lo, hi):
    """The reference rule: clamp the element as a double, store it back converted."""
    v = float(x)
    return to_element(tc, lo if lo > v else hi if v > hi else v)


# Any double, and quarters around the integer ranges (fractional bounds).
bound = st.floats() | st.integers(-(2**34), 2**34).map(lambda k: k / 4)


@settings(max_examples=200, deadline=None)
@given(tc=st.sampled_from("bhiBHI"), lo=bound, hi=bound)
def test_clip_narrow_integers_follow_the_double_rule(tc, lo, hi):
    if lo > hi:
        lo, hi = hi, lo
    low, high = limits(tc)
    values = sorted(v for v in {low, low + 1, -3, -2, -1, 0, 1, 2, 3, high - 1, high} if low <= v <= high)
    a = array(tc, values)
    tv.clip(a, lo, hi)
    assert list(a) == [clip_through_double(tc, x, lo, hi) for x in values]


@pytest.mark.parametrize(
    "tc, values, lo, hi, expected",
    [
        # Inside the bounds: untouched, though no double holds these values.
        ("l", [2**53 + 1, 2**63 - 1, -(2**63) + 1], -INF, INF, None),
        ("L", [2**53 + 1, 2**64 - 1, 2**63 + 1], 0, 2.0**64, None),
        ("l", [2**60 + 1], 0, 2.0**62, None),
        # Outside: the bound, truncated and saturated.
        ("l", [2**62 + 1, -(2**62) - 1], -(2.0**62), 2.0**62, [2**62, -(2**62)]),
        ("l", [2**53 + 1], 2.0**63, 2.0**64, [2**63 - 1]),
        ("L", [2**64 - 1], 0, 2.0**63, [2**63]),
    ],
)
def test_clip_64_bit_exact(tc, values, lo, hi, expected):
    a = array(tc, values)
    tv.clip(a, lo, hi)
    assert list(a) == (values if expected is None else expected)


def test_clip_bounds_checked_only_for_non_empty():
    assert tv.clip(array("d"), 3, 2) is None
    a = array("d", [1.0])
    with pytest.raises(ValueError, match="^min_val must be <= max_val$"):
        tv.clip(a, 3, 2)
    assert a == array("d", [1.0])


def test_clip_numpy_in_place(np):
    a = np.array([-(2**62) - 1, 2**53 + 1, 2**62 + 1], dtype=np.int64)
    tv.clip(a, -(2.0**62), 2.0**62)
    assert a.tolist() == [-(2**62), 2**53 + 1, 2**62]


# ---- normalize ------------------------------------------------------------


@pytest.mark.parametrize(
    "tc, values, expected",
    [
        ("d", [1.0, 3.0, 2.0], [0.0, 1.0, 0.5]),
        ("d", [5.0], [0.0]),
        ("d", [0.0, 1e-17], [0.0, 0.0]),
        ("d", [-0.0, -0.0], [0.0, 0.0]),
        ("f", [2.0, 4.0, 3.0], [0.0, 1.0, 0.5]),
        ("d", [1.0, 2.0, INF], [0.0, 0.0, NAN]),
    ],
)
def test_normalize_examples(tc, values, expected):
    a = array(tc, values)
    assert tv.normalize(a) is None
    assert same(a, array(tc, expected))


def test_normalize_divides_in_element_precision():
    values = [0.1, 0.7, 0.3]
    a = array("d", values)
    tv.normalize(a)
    assert list(a) == [(x - 0.1) / (0.7 - 0.1) for x in values]


@pytest.mark.parametrize("values, message", [([7, 7], ALL_SAME), ([1, 2], NEEDS_FLOAT), ([5], ALL_SAME)])
def test_normalize_refuses_integers(int_typecode, values, message):
    a = array(int_typecode, values)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        tv.normalize(a)
    assert list(a) == values
    a.append(0)


def test_normalize_empty(typecode):
    assert tv.normalize(array(typecode)) is None


# ---- refused targets (all three) ------------------------------------------

CALLS = {
    "scale": lambda a: tv.scale(a, 2.0),
    "clip": lambda a: tv.clip(a, 0.0, 1.0),
    "normalize": tv.normalize,
}


@pytest.mark.parametrize("call", CALLS)
def test_read_only_memoryview_refused_before_length(call):
    with pytest.raises(ValueError, match=f"^{re.escape(READ_ONLY_VIEW)}$"):
        CALLS[call](memoryview(b""))


@pytest.mark.parametrize("call", CALLS)
def test_arrow_refused(pa, call):
    for obj in (pa.array([1.0, 2.0], pa.float64()), pa.py_buffer(bytearray(8))):
        with pytest.raises(ValueError, match=f"^{re.escape(IMMUTABLE_ARROW)}$"):
            CALLS[call](obj)


@pytest.mark.parametrize("call", CALLS)
def test_read_only_numpy_left_untouched(np, call):
    a = np.array([3.0, 1.0, 2.0])
    a.flags.writeable = False
    with pytest.raises(TypeError, match=f"^{MUTABLE_SLICE}$"):
        CALLS[call](a)
    assert a.tolist() == [3.0, 1.0, 2.0]


@pytest.mark.parametrize("call", CALLS)
def test_strided_view_refused_and_released(call):
    backing = array("d", [3.0, 1.0, 2.0, 5.0])
    whole = memoryview(backing)
    strided = whole[::2]
    # normalize reads the minimum first, which refuses the read slice.
    message = "Failed to get buffer slice" if call == "normalize" else MUTABLE_SLICE
    with pytest.raises(TypeError, match=f"^{message}$"):
        CALLS[call](strided)
    assert backing == array("d", [3.0, 1.0, 2.0, 5.0])
    strided.release()
    whole.release()
    backing.append(0.0)


@pytest.mark.parametrize("call", CALLS)
def test_writable_kinds(np, call, float_typecode):
    values = [3.0, 1.0, 2.0]
    expected = array(float_typecode, values)
    CALLS[call](expected)
    arr = array(float_typecode, values)
    with memoryview(arr) as view:
        CALLS[call](view)
    assert same(arr, expected)
    nd = np.array(values, dtype=float_typecode)
    CALLS[call](nd)
    assert nd.tobytes() == expected.tobytes()
    arr.append(0.0)


def test_conversion_errors_name_the_argument():
    with pytest.raises(TypeError, match="^argument 'factor': "):
        tv.scale(array("d", [1.0]), "2")
    with pytest.raises(TypeError, match="^argument 'max_val': "):
        tv.clip(array("d", [1.0]), 0, None)
    with pytest.raises(OverflowError):
        tv.scale(array("d", [1.0]), 10**400)


@pytest.mark.parametrize("code, lo, hi, doubled", [("l", -(2**31), 2**31 - 1, -2), ("L", 0, 2**32 - 1, 2**32 - 2)])
def test_four_byte_long_items(code, lo, hi, doubled):
    """'l'/'L' items of 4 bytes wrap and saturate in 32 bits."""
    testbuffer = pytest.importorskip("_testbuffer")
    items = testbuffer.ndarray([hi, 3], shape=[2], format="=" + code, flags=testbuffer.ND_WRITABLE)
    view = memoryview(items)
    tv.scale(view, 2)
    assert items.tolist() == [doubled, 6]
    tv.clip(view, 2.0**40, INF)
    assert items.tolist() == [hi, hi]
    tv.clip(view, -INF, -(2.0**40))
    assert items.tolist() == [lo, lo]
