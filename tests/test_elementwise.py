import math
import re
import struct
from array import array

import pytest

import telvaran as tv
from conftest import TYPECODES
from conftest import type_limits as limits

SAME_TYPE = "Arrays must have the same type for element-wise operations"
SAME_LENGTH = "Arrays must have the same length for element-wise operations"
OPS = {"add": (tv.add, lambda x, y: x + y), "multiply": (tv.multiply, lambda x, y: x * y)}


def bits(tc):
    return array(tc).itemsize * 8


def wrap(tc, value):
    """The value in the element type: integers wrap, 'f' rounds to single."""
    if tc in "fd":
        return array(tc, [value])[0]
    n = bits(tc)
    value %= 1 << n
    if tc.islower() and value >= 1 << (n - 1):
        value -= 1 << n
    return value


def sample(tc):
    """Two operands of one type that overflow when combined."""
    if tc in "fd":
        return [1.5, -0.0, 3.0e38, 0.1, float("inf")], [2.25, -0.0, 3.0e38, 0.2, 1.0]
    lo, hi = limits(tc)
    return [hi, lo, 3, hi // 2 + 7, 0], [1, lo, 5, hi - 3, hi]


@pytest.mark.parametrize("op", OPS)
def test_matches_element_arithmetic(op, typecode):
    fn, py_op = OPS[op]
    a, b = (array(typecode, v) for v in sample(typecode))
    result = fn(a, b)
    # Python arithmetic on the stored values: for 'f', the double result
    # rounded once to single precision is the single-precision result.
    expected = array(typecode, [wrap(typecode, py_op(x, y)) for x, y in zip(a, b)])
    assert type(result) is array and result.typecode == typecode
    # Bytes compare float results bit for bit (signed zeros, infinities).
    assert result.tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "fn, tc, xs, ys, expected",
    [
        (tv.add, "B", [255], [1], [0]),
        (tv.add, "b", [100], [100], [-56]),
        (tv.multiply, "h", [300], [300], [24464]),
        (tv.multiply, "B", [16], [16], [0]),
        (tv.multiply, "L", [2**63], [2], [0]),
        (tv.add, "L", [2**64 - 1], [0], [2**64 - 1]),
    ],
)
def test_wraparound_examples(fn, tc, xs, ys, expected):
    assert fn(array(tc, xs), array(tc, ys)) == array(tc, expected)


def test_single_precision_arithmetic():
    # 16777216 + 1 is not representable in single precision.
    assert tv.add(array("f", [16777216.0]), array("f", [1.0]))[0] == 16777216.0
    result = tv.add(array("d", [float("nan")]), array("d", [1.0]))
    assert math.isnan(result[0])


@pytest.mark.parametrize("op", OPS)
def test_numpy_result_owns_its_memory(np, op, typecode):
    fn, _ = OPS[op]
    xs, ys = sample(typecode)
    a = np.array(array(typecode, xs))
    b = np.array(array(typecode, ys))
    result = fn(a, b)
    assert isinstance(result, np.ndarray) and result.dtype == np.dtype(typecode)
    assert result.flags.owndata and result.base is None
    assert result.flags.writeable and result.flags.c_contiguous
    assert result.tobytes() == fn(array(typecode, xs), array(typecode, ys)).tobytes()


def test_float32_bit_patterns_kept(np):
    xs = [-0.0, float("inf"), 1e-45, 3.4028234663852886e38]
    result = tv.add(np.array(xs, dtype="float32"), np.zeros(4, dtype="float32") * -1)
    assert result.tobytes() == struct.pack("4f", *xs)


@pytest.mark.parametrize(
    "make1, make2, numpy_result",
    [
        (lambda np, a: np.array(a), lambda np, a: np.array(a), True),
        (lambda np, a: np.array(a), lambda np, a: a, False),
        (lambda np, a: a, lambda np, a: np.array(a), False),
        (lambda np, a: memoryview(a), lambda np, a: memoryview(a), False),
        (lambda np, a: memoryview(a), lambda np, a: np.array(a), False),
    ],
)
def test_output_kind(np, make1, make2, numpy_result):
    a = array("i", [1, 2, 3])
    result = tv.add(make1(np, a), make2(np, array("i", [10, 20, 30])))
    assert isinstance(result, np.ndarray) == numpy_result
    assert list(result) == [11, 22, 33]
    if not numpy_result:
        assert type(result) is array and result.typecode == "i"


@pytest.mark.parametrize("tc", TYPECODES)
def test_empty_inputs(np, tc):
    assert tv.multiply(array(tc), array(tc)) == array(tc)
    empty = tv.add(np.array([], dtype=tc), np.array([], dtype=tc))
    assert isinstance(empty, np.ndarray) and empty.dtype == np.dtype(tc) and empty.size == 0
    assert tv.add(np.array([], dtype=tc), array(tc)) == array(tc)


class NarrowLong(array):
    """An 'l' array that claims 4-byte items."""

    itemsize = 4


@pytest.mark.parametrize(
    "a, b, error, message",
    [
        ([1], "x", TypeError, "Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"),
        ("x", array("q", [1]), TypeError, "Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"),
        (array("i", [1]), array("q", [1]), TypeError, "Unsupported typecode: 'q'"),
        (array("i", [1]), array("d", [1.0, 2.0]), TypeError, SAME_TYPE),
        (array("i", [1, 2]), array("i", [1]), ValueError, SAME_LENGTH),
        (array("l", [1]), NarrowLong("l", [1]), TypeError, "Array itemsizes must match"),
        (NarrowLong("L", [1]), array("L", [1]), TypeError, "Array itemsizes must match"),
        (NarrowLong("l", [1]), NarrowLong("l", [1]), BufferError, "buffer contents are not compatible with i32"),
    ],
)
def test_refusals_in_order(a, b, error, message):
    with pytest.raises(error, match=re.escape(message)):
        tv.add(a, b)


def test_empty_inputs_query_no_item_size():
    assert tv.add(array("l"), NarrowLong("l")) == array("l")


@pytest.mark.parametrize("strided_first", [True, False])
def test_strided_view_refused_and_views_released(strided_first):
    dense = array("i", [1, 2])
    backing = array("i", [1, 2, 3, 4])
    whole = memoryview(backing)
    strided = whole[::2]
    args = (strided, dense) if strided_first else (dense, strided)
    with pytest.raises(TypeError, match="^Failed to get buffer slice$"):
        tv.add(*args)
    dense.append(0)
    strided.release()
    whole.release()
    backing.append(0)


def test_two_dimensional_memoryview_read_as_elements():
    a = memoryview(array("i", range(6))).cast("B").cast("i", (2, 3))
    b = memoryview(array("i", [10] * 6)).cast("B").cast("i", (2, 3))
    assert tv.add(a, b) == array("i", range(10, 16))


def test_view_released_when_second_view_refused(np):
    a = array("i", [1, 2])
    swapped = np.array([1, 2], dtype=">i4")
    with pytest.raises(BufferError, match="^buffer contents are not compatible with i32$"):
        tv.multiply(a, swapped)
    a.append(0)


def four_byte(code, values):
    testbuffer = pytest.importorskip("_testbuffer")
    return memoryview(testbuffer.ndarray(values, shape=[len(values)], format="=" + code))


@pytest.mark.parametrize(
    "fn, code, xs, ys, expected",
    [
        (tv.add, "l", [2**31 - 1, -5], [1, 2], [-(2**31), -3]),
        (tv.multiply, "l", [65536, -3], [65536, 3], [0, -9]),
        (tv.add, "L", [2**32 - 1, 7], [1, 1], [0, 8]),
    ],
)
def test_four_byte_long_items_wrap_in_32_bits(fn, code, xs, ys, expected):
    result = fn(four_byte(code, xs), four_byte(code, ys))
    # Still an 'l'/'L' result, whose items are the platform's 8-byte longs.
    assert result == array(code, expected)


@pytest.mark.parametrize("code", "lL")
def test_four_and_eight_byte_items_refused(code):
    with pytest.raises(TypeError, match="^Array itemsizes must match$"):
        tv.add(four_byte(code, [1]), array(code, [1]))


class GrowsOther(array):
    """Its typecode, read while the other input is examined, appends to that input."""

    other = None

    @property
    def typecode(self):
        GrowsOther.other.append(0)
        return super().typecode


@pytest.mark.parametrize("fn", [tv.add, tv.multiply])
def test_first_input_not_exported_while_second_runs_python(fn):
    a = GrowsOther.other = array("i", [1, 2])
    # The append must not find the first input's buffer still exported, and
    # the lengths (3 against 2) are compared after it.
    with pytest.raises(ValueError, match=f"^{SAME_LENGTH}$"):
        fn(a, GrowsOther("i", [3, 4]))
    assert len(a) == 3
