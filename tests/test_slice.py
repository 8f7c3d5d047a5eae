import re
from array import array

import pytest

import telvaran as tv


def invalid(start, end, length):
    return f"^{re.escape(f'Invalid slice indices: start={start}, end={end}, length={length}')}$"


@pytest.mark.parametrize(
    "start, end, expected",
    [(1, 3, [2, 3]), (None, None, [1, 2, 3, 4]), (2, None, [3, 4]), (None, 1, [1]), (4, 4, []), (0, 0, [])],
)
def test_window(start, end, expected):
    a = array("i", [1, 2, 3, 4])
    view = tv.slice(a, start, end)
    assert type(view) is memoryview
    assert view.tolist() == expected


def test_every_typecode_and_zero_copy(typecode):
    a = array(typecode, [1, 2, 3, 4])
    view = tv.slice(a, 1, 3)
    assert view.format == typecode and view.itemsize == a.itemsize
    assert view.tolist() == [2, 3]
    view[0] = 9
    a[2] = 7
    assert a[1] == 9 and view[1] == 7
    view.release()
    a.append(0)


def test_element_type_not_resolved():
    # Only detection and validation run, so unsupported element types window.
    assert tv.slice(array("q", [5, 6, 7]), 0, 2).tolist() == [5, 6]
    assert tv.slice(memoryview(b"abcd"), 1, 3).tobytes() == b"bc"


def test_empty_input():
    assert tv.slice(array("d"), 0, 0).tolist() == []
    assert tv.slice(array("d"), None, None).tolist() == []


@pytest.mark.parametrize(
    "start, end, shown_end",
    [(2, 5, 5), (3, 2, 2), (5, None, 3), (4, 4, 4), (2**64 - 1, 0, 0)],
)
def test_invalid_indices(start, end, shown_end):
    a = array("i", [1, 2, 3])
    with pytest.raises(ValueError, match=invalid(start, shown_end, 3)):
        tv.slice(a, start, end)
    a.append(0)


def test_reversed_bounds_refused_on_empty():
    with pytest.raises(ValueError, match=invalid(1, 0, 0)):
        tv.slice(array("i"), 1, 0)


@pytest.mark.parametrize(
    "start, end, error, prefix",
    [(-1, 2, OverflowError, None), (0, 2**64, OverflowError, None), ("1", 2, TypeError, "start"), (0, 1.5, TypeError, "end")],
)
def test_bad_bounds(start, end, error, prefix):
    with pytest.raises(error, match=f"^argument '{prefix}': " if prefix else None):
        tv.slice(array("i", [1, 2, 3]), start, end)


def test_index_objects_accepted(np):
    assert tv.slice(array("i", [1, 2, 3]), np.int64(1), np.uint8(2)).tolist() == [2]


def test_numpy_input(np):
    a = np.arange(6, dtype=np.float32)
    view = tv.slice(a, 2, 5)
    assert view.format == "f" and view.tolist() == [2.0, 3.0, 4.0]
    view[0] = -1.0
    assert a[2] == -1.0


def test_memoryview_input_keeps_read_only():
    view = tv.slice(memoryview(array("H", [1, 2, 3])).toreadonly(), 1, None)
    assert view.readonly and view.tolist() == [2, 3]


@pytest.mark.parametrize(
    "obj, error, message",
    [
        ([1, 2], TypeError, "Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"),
        (b"ab", TypeError, "Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"),
    ],
)
def test_refused_inputs(obj, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        tv.slice(obj, 0, 1)


@pytest.mark.parametrize(
    "make, start, end, error, message",
    [
        (lambda np: np.zeros((2, 2)), 0, 1, TypeError, "numpy.ndarray must be 1-dimensional (ndim == 1)"),
        (lambda np: np.zeros((2, 2)), 5, 1, TypeError, "numpy.ndarray must be 1-dimensional (ndim == 1)"),
        (lambda np: np.zeros(6)[::2], 0, 1, TypeError,
         "numpy.ndarray must be contiguous (C_CONTIGUOUS or F_CONTIGUOUS)"),
        (lambda np: np.array([1, None], dtype=object), 3, 1, ValueError,
         "Invalid slice indices: start=3, end=1, length=2"),
    ],
)
def test_numpy_refusals_in_order(np, make, start, end, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        tv.slice(make(np), start, end)


def test_arrow_buffer(pa):
    assert tv.slice(pa.py_buffer(b"abcdef"), 2, 4).tobytes() == b"cd"
    # An Arrow array exports no buffer: memoryview()'s own TypeError comes through.
    with pytest.raises(TypeError):
        tv.slice(pa.array([1, 2, 3], pa.int32()), 0, 1)
