"""Typed views of an input's memory: item size, format, byte order,
alignment and layout checks, and the release of every view."""

import gc
import sys
from array import array

import pytest

import telvaran as tv
from conftest import raises

READERS = [tv.sum, tv.mean, tv.min, tv.max]


def strided():
    return memoryview(array("d", [1.0, 2.0, 3.0, 4.0]))[::2]


def reversed_view():
    return memoryview(array("i", [1, 2, 3]))[::-1]


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("make", [strided, reversed_view])
def test_non_contiguous_memoryview_has_no_slice(function, make):
    raises(TypeError, "Failed to get buffer slice", function, make())


def test_one_element_strided_view_is_contiguous():
    view = memoryview(array("i", [1, 2, 3, 4]))[1::5]
    assert (tv.sum(view), tv.mean(view), tv.min(view), tv.max(view)) == (2, 2.0, 2, 2)


@pytest.mark.parametrize("function", READERS)
def test_fortran_ordered_or_strided_2d_memoryview_has_no_slice(np, function):
    view = memoryview(np.asfortranarray(np.arange(6.0).reshape(2, 3)))
    raises(TypeError, "Failed to get buffer slice", function, view)
    view = memoryview(np.arange(6.0).reshape(2, 3)[:, ::2])
    raises(TypeError, "Failed to get buffer slice", function, view)


@pytest.mark.parametrize("shape", [[2, 3], [3, 2], [1, 2, 3], [6, 1]])
def test_multi_dimensional_memoryview_is_read_whole(shape):
    view = memoryview(array("i", [1, 2, 3, 4, 5, 6])).cast("B").cast("i", shape)
    assert (tv.sum(view), tv.mean(view), tv.min(view), tv.max(view)) == (21, 3.5, 1, 6)


def test_two_dimensional_mean_divides_by_the_elements():
    view = memoryview(array("d", [1, 2, 3, 4, 5, 6])).cast("B").cast("d", [2, 3])
    assert len(view) == 2
    assert tv.mean(view) == 3.5


@pytest.mark.parametrize("fmt", ["=l", "<l"])
def test_l_with_four_byte_items_is_read_as_i32(testbuffer, fmt):
    view = memoryview(testbuffer.ndarray([2**31 - 1, 1, 5, -3], shape=[4], format=fmt))
    assert view.itemsize == 4
    assert tv.sum(view) == 2**31 + 2 - 2**32  # wraps in 32 bits
    assert (tv.min(view), tv.max(view)) == (-3, 2**31 - 1)


@pytest.mark.parametrize("fmt", ["=L", "<L"])
def test_L_with_four_byte_items_is_read_as_u32(testbuffer, fmt):
    view = memoryview(testbuffer.ndarray([2**32 - 1, 2], shape=[2], format=fmt))
    assert tv.sum(view) == 1
    assert tv.mean(view) == 0.5
    assert (tv.min(view), tv.max(view)) == (2, 2**32 - 1)


@pytest.mark.parametrize("code", ["l", "L"])
def test_l_with_eight_byte_items_is_read_64_bits_wide(code):
    a = array(code, [2**31 - 1, 1, 2**32])
    expected = 2**31 + 2**32
    assert tv.sum(a) == tv.sum(memoryview(a)) == expected


@pytest.mark.parametrize("real, claimed, native", [
    ("b", "d", "f64"),
    ("i", "h", "i16"),
    ("I", "i", "i32"),  # same width, other signedness
    ("i", "I", "u32"),
    ("b", "B", "u8"),
    ("f", "i", "i32"),  # same width, integer against float
    ("i", "f", "f32"),
    ("d", "l", "i64"),
    ("l", "d", "f64"),
])
@pytest.mark.parametrize("function", READERS)
def test_buffer_must_match_the_claimed_type(function, real, claimed, native):
    class Lying(array):
        typecode = property(lambda self: claimed)
    a = Lying(real, [1] * 8)
    raises(BufferError, f"buffer contents are not compatible with {native}", function, a)
    a.append(1)  # the refused view was released


@pytest.mark.parametrize("dtype, native", [(">f8", "f64"), (">i8", "i64"), (">u2", "u16"), (">f4", "f32")])
def test_non_native_byte_order_numpy(np, dtype, native):
    raises(BufferError, f"buffer contents are not compatible with {native}", tv.sum, np.ones(3, dtype=dtype))


def misaligned_numpy(np, dtype, count=2):
    width = np.dtype(dtype).itemsize
    base = np.zeros(width * (count + 1), dtype="u1")
    offset = next(k for k in range(1, width) if (base.ctypes.data + k) % width)
    return np.frombuffer(base, dtype=dtype, offset=offset, count=count)


def misaligned_view(code, count=2):
    import ctypes

    width = array(code).itemsize
    store = bytearray(width * (count + 1))
    address = ctypes.addressof((ctypes.c_char * len(store)).from_buffer(store))
    offset = next(k for k in range(1, width) if (address + k) % width)
    return memoryview(store)[offset:offset + width * count].cast(code)


NATIVE_NAMES = {"h": "i16", "i": "i32", "l": "i64", "H": "u16", "I": "u32", "L": "u64",
                "f": "f32", "d": "f64"}


@pytest.mark.parametrize("code", sorted(NATIVE_NAMES))
@pytest.mark.parametrize("function", READERS)
def test_misaligned_memoryview(function, code):
    raises(BufferError, f"buffer contents are insufficiently aligned for {NATIVE_NAMES[code]}",
           function, misaligned_view(code))


@pytest.mark.parametrize("code", sorted(NATIVE_NAMES))
def test_misaligned_numpy(np, code):
    raises(BufferError, f"buffer contents are insufficiently aligned for {NATIVE_NAMES[code]}",
           tv.sum, misaligned_numpy(np, code))


def test_single_bytes_are_never_misaligned():
    store = bytearray(b"\x00\x01\x02\x03")
    assert tv.sum(memoryview(store)[1:]) == 6
    assert tv.min(memoryview(store)[1:].cast("b")) == 1


def test_read_only_memoryview_is_read():
    assert tv.sum(memoryview(b"\x01\x02\xff")) == 2  # u8 wraps: 258 mod 256
    assert tv.max(memoryview(bytes(array("f", [1.5, -2.0]))).cast("f")) == 1.5


# Views released on every path: an array.array cannot be resized while a
# buffer of it is exported, and a memoryview cannot be released while a view
# of it is held.


@pytest.mark.parametrize("function", READERS)
def test_array_resizable_after_success(function):
    a = array("d", [1.0, 2.0])
    function(a)
    a.append(3.0)
    view = memoryview(a)
    function(view)
    view.release()
    a.append(4.0)


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("make, exc_type", [
    (lambda a: memoryview(a)[::2], TypeError),  # no slice
    (lambda a: memoryview(a).cast("B")[1:9].cast("d"), BufferError),  # misaligned
    (lambda a: memoryview(a).cast("B")[::-1], TypeError),
])
def test_views_released_after_failure(function, make, exc_type):
    a = array("d", [1.0, 2.0, 3.0, 4.0])
    view = make(a)
    with pytest.raises(exc_type):
        function(view)
    view.release()
    a.append(5.0)


def failing_calls(np=None):
    class Lying(array):
        typecode = property(lambda self: "d")

    class NoLength(array):
        def __len__(self):
            raise ValueError("len")

    calls = [
        lambda: tv.sum(Lying("b", [1] * 8)),
        lambda: tv.mean(memoryview(array("d", [1.0, 2.0]))[::2]),
        lambda: tv.max(misaligned_view("d")),
        lambda: tv.min(array("q", [1])),
        lambda: tv.sum([1, 2]),
        lambda: tv.mean(array("i")),
        lambda: tv.sum(NoLength("d", [1.0])),
        lambda: tv.sum(None, None),
        lambda: tv.scale(None, "x"),
    ]
    if np is not None:
        calls += [lambda: tv.sum(np.zeros((2, 2))), lambda: tv.sum(np.ones(2, dtype=">f8"))]
    return calls


def allocated_after(calls, rounds):
    for _ in range(rounds):
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, BufferError, OverflowError):
                pass
    gc.collect()
    return sys.getallocatedblocks()


def test_failing_calls_leak_nothing(np):
    calls = failing_calls(np)
    allocated_after(calls, 50)  # warm caches
    before = allocated_after(calls, 1)
    after = allocated_after(calls, 2000)
    assert after - before < 200


@pytest.mark.parametrize("make", [
    lambda: array("d", [1.0, 2.0, 3.0]),
    lambda: memoryview(array("i", [1, 2, 3])),
    lambda: memoryview(array("i", [1, 2, 3]))[::2],
    lambda: array("i"),
])
def test_input_reference_count_is_kept(make):
    obj = make()
    before = sys.getrefcount(obj)
    for _ in range(100):
        for function in READERS:
            try:
                function(obj)
            except (TypeError, ValueError):
                pass
    assert sys.getrefcount(obj) == before
