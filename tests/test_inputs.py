"""Recognising inputs: their kind, their validation for reading, their
element type and item size, with every refusal."""

import sys
import warnings
from array import array

import pytest

import telvaran as tv
from conftest import raises

READERS = [tv.sum, tv.mean, tv.min, tv.max]
SUPPORTED = "Supported: b, B, h, H, i, I, l, L, f, d"
NOT_AN_INPUT = "Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"
ARROW_REFUSAL = ("Could not determine Arrow buffer/array type. Supported types: Int8, UInt8, Int16, "
                 "UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64")


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("obj", [b"ab", bytearray(b"ab"), [1, 2], None, 3, "ab", (1.0,), {}])
def test_other_objects_are_refused(function, obj):
    raises(TypeError, NOT_AN_INPUT, function, obj)


class ClassRaises:
    @property
    def __class__(self):
        raise RuntimeError("no class")


def test_raising_instance_check_passes_through():
    with pytest.raises(RuntimeError, match="^no class$"):
        tv.sum(ClassRaises())


class Pretender:
    """Claims to be an instance of `cls` for its first `times` instance checks."""

    typecode = "d"
    format = "d"
    type = "int32"

    def __init__(self, cls, times):
        self.cls, self.times = cls, times

    @property
    def __class__(self):
        self.times -= 1
        return self.cls if self.times >= 0 else object

    def __len__(self):
        return 3


def arrow_classes(pa):
    return [pa.Buffer, pa.Array, pa.ChunkedArray]


@pytest.mark.parametrize("position, message", [
    (0, "Expected array.array, numpy.ndarray, or memoryview"),
    (1, "Expected numpy.ndarray"),
    (2, "Expected memoryview"),
    (3, "Expected Arrow Buffer, Array, or ChunkedArray"),
    (4, "Expected Arrow Buffer, Array, or ChunkedArray"),
])
def test_validation_repeats_the_instance_check(np, pa, position, message):
    # Detection tries array.array, numpy.ndarray, memoryview, then the three
    # Arrow classes, one instance check each; the object stops pretending
    # once detection is done.
    classes = [array, np.ndarray, memoryview, *arrow_classes(pa)]
    raises(TypeError, message, tv.sum, Pretender(classes[position], position + 1))


@pytest.mark.parametrize("cls_index", [0, 2, 3])
def test_a_pretender_that_keeps_pretending_has_no_buffer(np, pa, cls_index):
    cls = [array, np.ndarray, memoryview, pa.Array][cls_index]
    with pytest.raises(TypeError, match="bytes-like object is required"):
        tv.sum(Pretender(cls, 100))


class ArraySub(array):
    pass


def test_subclasses_and_views_are_accepted():
    assert tv.sum(ArraySub("i", [1, 2, 3])) == 6
    assert tv.sum(memoryview(array("i", [1, 2, 3]))) == 6
    assert tv.max(memoryview(b"\x01\x09\x03")) == 9


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("code", ["q", "Q", "u", "w"])
def test_unsupported_typecodes(function, code):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        a = array(code, "ab" if code in "uw" else [1, 2])
    raises(TypeError, f"Unsupported typecode: '{code}'. {SUPPORTED}", function, a)


def with_typecode(value):
    class Lying(array):
        @property
        def typecode(self):
            if isinstance(value, BaseException):
                raise value
            return value
    return Lying("d", [1.0, 2.0])


class StrRaises:
    def __str__(self):
        raise LookupError("no text")


@pytest.mark.parametrize("value, exc_type, message", [
    ("", TypeError, "Invalid typecode"),
    ("dd", TypeError, "Invalid typecode"),
    ("é", TypeError, "Invalid typecode"),
    ("x", TypeError, f"Unsupported typecode: 'x'. {SUPPORTED}"),
    (5, TypeError, f"Unsupported typecode: '5'. {SUPPORTED}"),
    (RuntimeError("typecode broke"), RuntimeError, "typecode broke"),
    (StrRaises(), LookupError, "no text"),
])
def test_lying_typecode(value, exc_type, message):
    raises(exc_type, message, tv.sum, with_typecode(value))


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("dtype", ["longlong", "ulonglong", "bool", "float16", "longdouble",
                                   "complex64", "U1", "object", "datetime64[s]", "i4,i4"])
def test_unsupported_numpy_dtypes(np, function, dtype):
    x = np.zeros(2, dtype=dtype)
    raises(TypeError, f"Unsupported numpy dtype: '{x.dtype.char}'. {SUPPORTED}", function, x)


def test_numpy_long_is_l(np):
    assert np.dtype("int64").char == "l"  # the platforms we build for
    assert tv.sum(np.array([2**40, 1], dtype="int64")) == 2**40 + 1
    assert tv.max(np.array([2**64 - 1, 1], dtype="uint64")) == 2**64 - 1


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("make, message", [
    (lambda np: np.zeros((2, 3)), "numpy.ndarray must be 1-dimensional (ndim == 1)"),
    (lambda np: np.zeros((2, 3), dtype="longlong"), "numpy.ndarray must be 1-dimensional (ndim == 1)"),
    (lambda np: np.array(3.0), "numpy.ndarray must be 1-dimensional (ndim == 1)"),
    (lambda np: np.asfortranarray(np.zeros((2, 3))), "numpy.ndarray must be 1-dimensional (ndim == 1)"),
    (lambda np: np.arange(5.0)[::-1], "numpy.ndarray must be contiguous (C_CONTIGUOUS or F_CONTIGUOUS)"),
    (lambda np: np.arange(6.0)[::2], "numpy.ndarray must be contiguous (C_CONTIGUOUS or F_CONTIGUOUS)"),
])
def test_numpy_shape_and_layout(np, function, make, message):
    raises(TypeError, message, function, make(np))


def test_numpy_scalar_is_not_an_array(np):
    raises(TypeError, NOT_AN_INPUT, tv.sum, np.float64(1.0))


def test_read_only_numpy_is_read(np):
    x = np.arange(4.0)
    x.flags.writeable = False
    assert (tv.sum(x), tv.mean(x), tv.min(x), tv.max(x)) == (6.0, 1.5, 0.0, 3.0)


class Flags:
    def __init__(self, c, f):
        self.c, self.f = c, f

    def _get(self, value):
        if isinstance(value, BaseException):
            raise value
        return value

    c_contiguous = property(lambda self: self._get(self.c))
    f_contiguous = property(lambda self: self._get(self.f))


class Dtype:
    def __init__(self, char):
        self.char = char


def lying_ndarray(np, base, **attributes):
    cls = type("Lying", (np.ndarray,), {k: property(lambda self, v=v: v) for k, v in attributes.items()})
    return base.view(cls)


class NotNumpy:
    pass


NotNumpy.__module__ = 5  # not even a str


class PosesAsNumpyBool:
    @property
    def __class__(self):
        import numpy

        return numpy.bool_


def test_lying_numpy_attributes(np):
    x = np.arange(6.0)
    cases = [
        (dict(ndim=2**40), OverflowError, "out of range integral type conversion attempted"),
        (dict(ndim=1.0), TypeError, "'float' object cannot be interpreted as an integer"),
        (dict(ndim=0), TypeError, "numpy.ndarray must be 1-dimensional (ndim == 1)"),
        (dict(flags=Flags(1, False)), TypeError, "'int' object cannot be converted to 'PyBool'"),
        (dict(flags=Flags(True, 1)), TypeError, "'int' object cannot be converted to 'PyBool'"),
        (dict(flags=Flags(NotNumpy(), False)), TypeError, "'NotNumpy' object cannot be converted to 'PyBool'"),
        (dict(flags=Flags(PosesAsNumpyBool(), False)), TypeError,
         "'PosesAsNumpyBool' object cannot be converted to 'PyBool'"),
        # Both flags are read before either decides.
        (dict(flags=Flags(True, KeyError("f"))), KeyError, "'f'"),
        (dict(flags=Flags(False, False)), TypeError,
         "numpy.ndarray must be contiguous (C_CONTIGUOUS or F_CONTIGUOUS)"),
        (dict(dtype=Dtype("")), TypeError, "Could not extract dtype character from numpy.ndarray"),
        (dict(dtype=Dtype("é")), TypeError, f"Unsupported numpy dtype: 'é'. {SUPPORTED}"),
        (dict(dtype=Dtype(StrRaises())), LookupError, "no text"),
        (dict(dtype=None), AttributeError, "'NoneType' object has no attribute 'char'"),
    ]
    for attributes, exc_type, message in cases:
        raises(exc_type, message, tv.sum, lying_ndarray(np, x, **attributes))


def test_lying_numpy_attributes_that_pass(np):
    assert tv.sum(lying_ndarray(np, np.arange(4.0), flags=Flags(np.True_, np.False_))) == 6.0
    assert tv.sum(lying_ndarray(np, np.arange(4.0), flags=Flags(False, True))) == 6.0
    assert tv.sum(lying_ndarray(np, np.arange(4.0), dtype=Dtype("dq"))) == 6.0
    # A 2-D array that claims one dimension is read over all its elements.
    assert tv.sum(lying_ndarray(np, np.arange(6.0).reshape(2, 3), ndim=1)) == 15.0
    # A strided array that claims contiguity still has no contiguous slice.
    raises(TypeError, "Failed to get buffer slice", tv.sum,
           lying_ndarray(np, np.arange(6.0)[::2], flags=Flags(True, True)))
    # A lying dtype character meets the buffer's real format.
    raises(BufferError, "buffer contents are not compatible with i8", tv.sum,
           lying_ndarray(np, np.arange(6.0), dtype=Dtype("b")))


def format_view(testbuffer, fmt, items):
    return memoryview(testbuffer.ndarray(items, shape=[len(items)], format=fmt))


@pytest.mark.parametrize("function", READERS)
@pytest.mark.parametrize("fmt", ["@i", "@l", "q", "<q", "Q", "n", "N", "?", "e"])
def test_unsupported_memoryview_formats(testbuffer, function, fmt):
    view = format_view(testbuffer, fmt, [True, False] if fmt == "?" else [1, 0])
    shown = fmt.lstrip("<>!=")[0]
    raises(TypeError, f"Unsupported memoryview format: '{shown}'. {SUPPORTED}", function, view)


def test_memoryview_format_c_is_refused():
    raises(TypeError, f"Unsupported memoryview format: 'c'. {SUPPORTED}", tv.sum, memoryview(b"ab").cast("c"))


def test_structured_memoryview_is_refused(np):
    raises(TypeError, f"Unsupported memoryview format: 'T'. {SUPPORTED}", tv.sum,
           memoryview(np.zeros(2, dtype="i4,i4")))


@pytest.mark.parametrize("fmt, outcome", [
    ("<i", 6), ("=i", 6), ("i", 6),
    (">i", "buffer contents are not compatible with i32"),
    ("!i", "buffer contents are not compatible with i32"),
])
def test_memoryview_byte_order(testbuffer, fmt, outcome):
    view = format_view(testbuffer, fmt, [1, 2, 3])
    if isinstance(outcome, str):
        raises(BufferError, outcome, tv.sum, view)
    else:
        assert tv.sum(view) == outcome


def test_memoryview_of_two_fields_resolves_to_its_first(testbuffer):
    # 'ii' is read as `i`; the 8-byte items then do not fit i32.
    view = memoryview(testbuffer.ndarray([(1, 2), (3, 4)], shape=[2], format="ii"))
    raises(BufferError, "buffer contents are not compatible with i32", tv.sum, view)


def test_big_endian_ctypes_array_is_refused():
    import ctypes

    view = memoryview((ctypes.c_int32.__ctype_be__ * 3)(1, 2, 3))
    raises(BufferError, "buffer contents are not compatible with i32", tv.sum, view)
    assert tv.sum(memoryview((ctypes.c_int32 * 3)(1, 2, 3))) == 6


def test_zero_dimensional_memoryview_has_no_length():
    view = memoryview(array("d", [1.0])).cast("B").cast("d", [])
    with pytest.raises(TypeError, match="0-dim memory has no length"):
        tv.sum(view)


@pytest.mark.parametrize("make, zero", [
    (lambda pa: pa.array([], pa.int8()), 0),
    (lambda pa: pa.array([], pa.uint16()), 0),
    (lambda pa: pa.array([], pa.int32()), 0),
    (lambda pa: pa.array([], pa.uint32()), 0),
    (lambda pa: pa.array([], pa.float32()), 0.0),  # "float": by id
    (lambda pa: pa.array([], pa.float64()), 0.0),  # "double": by id
    (lambda pa: pa.array([], pa.list_(pa.int32())), 0),  # the text mentions int32
    (lambda pa: pa.array([], pa.dictionary(pa.int16(), pa.string())), 0),
    (lambda pa: pa.chunked_array([], pa.uint8()), 0),
])
def test_arrow_types_resolve(pa, make, zero):
    # An empty input settles sum() before any buffer is requested, so its
    # result type shows the resolved element type.
    result = tv.sum(make(pa))
    assert result == zero and type(result) is type(zero)
    raises(ValueError, "mean() of empty array", tv.mean, make(pa))


@pytest.mark.parametrize("make", [
    lambda pa: pa.array([], pa.float16()),
    lambda pa: pa.array([], pa.bool_()),
    lambda pa: pa.array([], pa.string()),
    lambda pa: pa.array([], pa.timestamp("s")),
    lambda pa: pa.array([], pa.date32()),
    lambda pa: pa.py_buffer(b"abcd"),  # no "type" attribute
    lambda pa: pa.py_buffer(b""),
])
def test_arrow_types_refused(pa, make):
    for function in READERS:
        raises(TypeError, ARROW_REFUSAL, function, make(pa))


@pytest.mark.parametrize("make", [
    lambda pa: pa.array([1, 2], pa.int32()),
    lambda pa: pa.array([1.5], pa.float64()),
    lambda pa: pa.chunked_array([[1, 2]], pa.uint16()),
])
def test_arrow_arrays_export_no_buffer_and_are_read_through_arrow(pa, make):
    obj = make(pa)
    with pytest.raises(TypeError, match="bytes-like object is required"):
        memoryview(obj)
    assert tv.sum(obj) == sum(obj.to_pylist())


def test_arrow_int64_width_comes_from_the_arrow_type(pa):
    # pyarrow arrays have no item size; an int64 is 8 bytes wide.
    for values in ([], [1, 2]):
        assert tv.sum(pa.array(values, pa.int64())) == sum(values)
        assert tv.max(pa.array(values or [1], pa.uint64())) == max(values or [1])


def test_memoryview_of_an_arrow_buffer_is_read(pa):
    data = pa.array([1, 2, 3], pa.int32()).buffers()[1]
    assert tv.sum(memoryview(data).cast("i")) == 6


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def with_itemsize(value, code="l"):
    class Lying(array):
        @property
        def itemsize(self):
            return value
    return Lying(code, [1, 2])


@pytest.mark.parametrize("value, exc_type, message", [
    (Index(ValueError("no index")), ValueError, "no index"),
    (Index(-8), OverflowError, "can't convert negative int to unsigned"),
    (-8, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    ("8", TypeError, "'str' object cannot be interpreted as an integer"),
    (4, BufferError, "buffer contents are not compatible with i32"),
])
@pytest.mark.parametrize("function", READERS)
def test_lying_itemsize(function, value, exc_type, message):
    raises(exc_type, message, function, with_itemsize(value))


def test_itemsize_is_asked_only_for_l_and_L():
    assert tv.sum(with_itemsize(Index(ValueError("unused")), "i")) == 3
    assert tv.sum(with_itemsize(Index(8), "L")) == 3
    assert tv.sum(with_itemsize(8)) == 3
    assert tv.sum(with_itemsize(Index(2))) == 3  # any size but 4 selects 64 bits


def test_empty_sum_still_asks_the_itemsize():
    class Empty(array):
        itemsize = property(lambda self: Index(ValueError("asked")))
    with pytest.raises(ValueError, match="^asked$"):
        tv.sum(Empty("l"))
    # The other reductions stop at the empty input first.
    raises(ValueError, "mean() of empty array", tv.mean, Empty("l"))
    raises(ValueError, "max() of empty array", tv.max, Empty("L"))


@pytest.mark.parametrize("function", READERS)
def test_failing_length_query(function):
    class NoLength(array):
        def __len__(self):
            raise ZeroDivisionError("len")
    with pytest.raises(ZeroDivisionError, match="^len$"):
        function(NoLength("d", [1.0]))


def test_released_memoryview():
    view = memoryview(array("d", [1.0]))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        tv.sum(view)


class ArrowType:
    """A stand-in for a pyarrow DataType: its text and its id."""

    def __init__(self, text, id=None):
        self.text = text
        if id is not None:
            self.id = id

    def __str__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


class FakeArrow:
    """Passes for a pyarrow.Array and exports the memory of `data`."""

    def __init__(self, arrow_type, data):
        self.data = data
        self.itemsize = data.itemsize
        if arrow_type is not None:
            self.type = arrow_type

    @property
    def __class__(self):
        import pyarrow

        return pyarrow.Array

    def __len__(self):
        return len(self.data)

    def __buffer__(self, flags):
        return memoryview(self.data)


# Each buffer sums to a different value, and is refused by the views of the
# other element types of its width, so the sum shows the resolved type.
DATA = {
    "b": ([-1, -2], -3), "B": ([255, 1], 0), "h": ([-1, 300], 299), "H": ([65535, 2], 1),
    "i": ([-7, 2], -5), "I": ([2**32 - 1, 3], 2), "l": ([-(2**40), 1], 1 - 2**40),
    "L": ([2**64 - 1, 5], 4), "f": ([0.5, 0.25], 0.75), "d": ([1.5, 0.125], 1.625),
}


def arrow_sum(arrow_type, code):
    values, _ = DATA[code]
    return tv.sum(FakeArrow(arrow_type, array(code, values)))


@pytest.mark.parametrize("text, code", [
    ("int8", "b"), ("Int8", "b"), ("uint8", "B"), ("UInt8", "B"), ("int16", "h"), ("UInt16", "H"),
    ("Int32", "i"), ("uint32", "I"), ("int64", "l"), ("UInt64", "L"), ("float32", "f"),
    ("Float32", "f"), ("float64", "d"), ("Float64", "d"), ("Double", "d"),
    ("list<item: uint16>", "H"), ("dictionary<values=string, indices=int8, ordered=0>", "b"),
    ("int64 then uint8", "B"),  # names are tried in table order, not text order
    ("int32 and int16", "h"),
])
def test_arrow_type_text(pa, text, code):
    assert arrow_sum(ArrowType(text), code) == DATA[code][1]


@pytest.mark.parametrize("type_id, code", [
    (2, "B"), (3, "b"), (4, "H"), (5, "h"), (6, "I"), (7, "i"), (8, "L"), (9, "l"), (11, "f"), (12, "d"),
])
@pytest.mark.parametrize("text", ["double", "INT8", RuntimeError("no text")])
def test_arrow_type_id(pa, type_id, code, text):
    assert arrow_sum(ArrowType(text, type_id), code) == DATA[code][1]


@pytest.mark.parametrize("arrow_type", [
    None,  # no "type" attribute at all
    ArrowType("halffloat", 10), ArrowType("bool", 1), ArrowType("na", 0), ArrowType("x", 13),
    ArrowType("x", -1), ArrowType("x", 2**31 + 7), ArrowType("x", "7"), ArrowType("x"),
    ArrowType(RuntimeError("no text")), ArrowType("int", 39),
])
def test_arrow_type_refused(pa, arrow_type):
    raises(TypeError, ARROW_REFUSAL, tv.sum, FakeArrow(arrow_type, array("i", [1])))


def test_prologue_order():
    class Broken(array):
        typecode = property(lambda self: "l")
        itemsize = property(lambda self: Index(KeyError("itemsize")))

        def __len__(self):
            raise ZeroDivisionError("len")

    class BrokenType(Broken):
        typecode = property(lambda self: "q")

    # element type, then length, then item size
    raises(TypeError, f"Unsupported typecode: 'q'. {SUPPORTED}", tv.sum, BrokenType("i", [1]))
    with pytest.raises(ZeroDivisionError):
        tv.sum(Broken("i", [1]))


def test_module_classes_are_looked_up_on_every_call(np):
    import types

    a = array("d", [1.0, 2.0])
    x = np.arange(3.0)
    saved = {name: sys.modules[name] for name in ("array", "numpy")}
    try:
        sys.modules["array"] = types.ModuleType("array")  # no "array" class in it
        raises(TypeError, NOT_AN_INPUT, tv.sum, a)
        sys.modules["numpy"] = None  # as if never imported
        raises(TypeError, NOT_AN_INPUT, tv.sum, x)
    finally:
        sys.modules.update(saved)
    assert tv.sum(a) == 3.0 and tv.sum(x) == 3.0


class _NulTypecode(array):
    @property
    def typecode(self):
        return "\0"


def test_messages_keep_text_after_a_nul_byte():
    with pytest.raises(TypeError) as info:
        tv.sum(_NulTypecode("i"))
    assert str(info.value) == "Unsupported typecode: '\0'. Supported: b, B, h, H, i, I, l, L, f, d"
    with pytest.raises(TypeError) as info:
        tv.sum(**{"a\0b": 1})
    assert str(info.value) == "sum() got an unexpected keyword argument 'a\0b'"


@pytest.mark.parametrize("ndim", [2**40, 2**70, -(2**70)])
def test_ndim_out_of_32_bit_range(np, ndim):
    class Lying(np.ndarray):
        @property
        def ndim(self):
            return ndim

    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tv.sum(np.zeros(3).view(Lying))


def test_instance_check_of_a_class_with_its_own_metaclass(monkeypatch):
    # A subtype is an instance only if the metaclass's __instancecheck__ says so.
    import array as array_module

    class Refusing(type):
        def __instancecheck__(cls, instance):
            return False

    class Patched(array, metaclass=Refusing):
        pass

    class Sub(Patched):
        pass

    monkeypatch.setattr(array_module, "array", Patched)
    assert tv.sum(Patched("i", [1, 2])) == 3  # the exact type always counts
    with pytest.raises(TypeError, match="^Expected array.array, numpy.ndarray, memoryview, or Arrow"):
        tv.sum(Sub("i", [1, 2]))
