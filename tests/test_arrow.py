"""pyarrow arrays and chunked arrays, read through the Arrow C data interface.

With the real pyarrow: every read operation gives what it gives on a numpy
array of the same data (bit for bit, whatever the chunking). Without it: the
ctypes exporters of arrow_exporters, well-formed and malformed, each struct
released exactly once.
"""

import ctypes
import operator
from array import array

import pytest

import arrow_exporters as fx
import telvaran as tv
from conftest import NUMPY_DTYPES, assert_allocations_steady

ARROW_REFUSAL = ("Could not determine Arrow buffer/array type. Supported types: Int8, UInt8, Int16, "
                 "UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64")
NOT_COMPATIBLE = "buffer contents are not compatible with "
MALFORMED = "Arrow export is malformed: "
CAPSULES = "__arrow_c_array__() must return a tuple of two capsules named 'arrow_schema' and 'arrow_array'"


def plain(result):
    """A result as Python values, whatever library made it."""
    return result.tolist() if hasattr(result, "tolist") else \
        result.to_pylist() if hasattr(result, "to_pylist") else result


READS = {
    "sum": tv.sum, "mean": tv.mean, "min": tv.min, "max": tv.max, "var": tv.var, "std": tv.std,
    "median": tv.median, "unique": tv.unique,
    "map": lambda a: tv.map(a, lambda v: v), "filter": lambda a: tv.filter(a, lambda v: v > 1),
    "reduce": lambda a: tv.reduce(a, operator.add), "add": lambda a: tv.add(a, a),
    "multiply": lambda a: tv.multiply(a, a), "iterate": lambda a: list(tv.array_iterator(a)),
    "lazy": lambda a: tv.lazy_array(a).map(lambda v: v).filter(lambda v: v != 1).collect(),
}


def sample(typecode, limits):
    if typecode in "fd":
        return [1.5, -2.25, 0.0, 3.0e10, 7.0, 1.0, 0.125, -1.0]
    low, high = limits(typecode)
    return [low, high, 0, 1, 7, 3, high // 2, 1]


# How the same values (from `skip` on) are laid out in Arrow.
SHAPES = {
    "array": (0, lambda pa, v, t: pa.array(v, t)),
    "sliced": (3, lambda pa, v, t: pa.array(v, t)[3:]),
    "chunked": (0, lambda pa, v, t: pa.chunked_array([v[:3], [], v[3:5], v[5:]], t)),
    "one chunk": (0, lambda pa, v, t: pa.chunked_array([v], t)),
    "sliced chunks": (2, lambda pa, v, t: pa.chunked_array([v[:4], v[4:]], t).slice(2)),
}


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("op", READS)
def test_reads_match_numpy(pa, np, typecode, limits, op, shape):
    values = sample(typecode, limits)
    skip, make = SHAPES[shape]
    arrow = make(pa, values, getattr(pa, NUMPY_DTYPES[typecode])())
    expected = READS[op](np.array(values[skip:], NUMPY_DTYPES[typecode]))
    assert plain(READS[op](arrow)) == plain(expected)


@pytest.mark.parametrize("cuts", [(), (0,), (8191,), (8192,), (8193,), (100, 8000, 8300, 16383, 16385),
                                  tuple(range(997, 20000, 997))])
def test_chunked_float_sums_are_bit_identical(pa, np, float_typecode, cuts):
    data = (np.random.default_rng(7).standard_normal(20000) * 1e6).astype(NUMPY_DTYPES[float_typecode])
    bounds = (0, *cuts, len(data))
    chunked = pa.chunked_array([data[a:b] for a, b in zip(bounds, bounds[1:])])
    for op in (tv.sum, tv.mean, tv.var, tv.std, tv.median):
        assert float(op(chunked)).hex() == float(op(data)).hex()
        assert float(op(chunked.slice(4000, 9000))).hex() == float(op(data[4000:13000])).hex()


@pytest.mark.parametrize("make, count", [
    (lambda pa: pa.array([1, None, 3], pa.int32()), 1),
    (lambda pa: pa.array([None, 2.5, None], pa.float64()), 2),
    (lambda pa: pa.array([1, None, 3, None, None], pa.uint16())[2:], 2),
    (lambda pa: pa.chunked_array([[1, 2], [None, None], [5, None]], pa.int64()), 3),
])
def test_nulls_are_refused(pa, make, count):
    message = f"Arrow input has {count} null value{'s' if count > 1 else ''}; use fill_null"
    for name, op in READS.items():
        with pytest.raises(ValueError, match="^" + ("Arrow input has" if name == "iterate" else message)):
            op(make(pa))
    assert tv.sum(make(pa).fill_null(1)) == tv.sum(make(pa).drop_null()) + count


def test_nulls_outside_a_slice_do_not_count(pa):
    assert tv.sum(pa.array([None, 4, 5, None], pa.int8())[1:3]) == 9


@pytest.mark.parametrize("make, exc, message", [
    (lambda pa: pa.array(["a"]), TypeError, ARROW_REFUSAL),
    (lambda pa: pa.array([True]), TypeError, ARROW_REFUSAL),
    (lambda pa: pa.array([1], pa.timestamp("s")), TypeError, ARROW_REFUSAL),
    (lambda pa: pa.array([[1]], pa.list_(pa.int32())), BufferError, NOT_COMPATIBLE + "i32"),
    (lambda pa: pa.chunked_array([[[1]]], pa.list_(pa.uint8())), BufferError, NOT_COMPATIBLE + "u8"),
    (lambda pa: pa.array([7, 7], pa.int32()).dictionary_encode(), BufferError, NOT_COMPATIBLE + "i32"),
    (lambda pa: pa.array([{"a": 1}], pa.struct([("a", pa.int16())])), BufferError, NOT_COMPATIBLE + "i16"),
])
def test_unsupported_arrow_types(pa, make, exc, message):
    for op in READS.values():
        with pytest.raises(exc, match="^" + message.replace("(", r"\(")):
            op(make(pa))


def test_results_carry_the_type_pyarrow_infers(pa, np):
    # The memory of numpy's array, which pyarrow's release gives back under the interpreter lock.
    assert tv.sum(pa.array(np.arange(10.0))) == 45.0
    no_chunks = pa.chunked_array([], pa.int64())  # empty by its length, before any export
    assert tv.sum(no_chunks) == 0 and tv.unique(no_chunks).equals(pa.array([]))
    assert tv.unique(pa.array([3, 1, 3], pa.int32())).equals(pa.array([1, 3]))
    assert tv.filter(pa.array([0.5, 2.0], pa.float32()), lambda v: v > 1).type == pa.float64()
    assert tv.add(pa.array([1, 2], pa.int16()), pa.array([3, 4], pa.int16())) == array("h", [4, 6])
    assert tv.sum(pa.array([2**64 - 1, 1], pa.uint64())) == 0  # 8 bytes wide, no item size asked


@pytest.mark.parametrize("op", [tv.sort, tv.reverse, tv.normalize, lambda a: tv.scale(a, 2.0),
                                lambda a: tv.clip(a, 0, 1), lambda a: tv.map_inplace(a, abs)])
def test_in_place_refusals_are_unchanged(pa, op):
    for obj in (pa.array([1.0, 2.0]), pa.chunked_array([[1, 2], [3]], pa.int32())):
        with pytest.raises(ValueError, match="^Arrow buffers/arrays are immutable"):
            op(obj)


# Exporters without pyarrow ---------------------------------------------------------------------


def test_fake_exports_are_read(fake, typecode, limits):
    values = [v for v in sample(typecode, limits) if v < 2**63]  # results are built as int64
    expected = {name: plain(op(array(typecode, values))) for name, op in READS.items()}
    for obj in (fx.Array(typecode, [9, *values], offset=1),
                fx.ChunkedArray(typecode, [values[:1], [], values[1:6], values[6:]])):
        assert {name: plain(op(obj)) for name, op in READS.items()} == expected


def test_the_iterator_reads_only_the_chunk_it_needs(fake):
    assert list(tv.array_iterator(fx.ChunkedArray("h", [[1, 2], [], [3, 4], [5]]))) == [1, 2, 3, 4, 5]
    # Element k fetches the chunks up to the one holding it, never the rest.
    assert fx.ledger.made["array"] == 1 + 1 + 3 + 3 + 4 and fx.ledger.made["stream"] == 5


def raising(obj):
    raise RuntimeError("export failed")


def swapped(obj):
    return (fx.capsule(fx.make_schema(obj.format), b"arrow_array"),
            fx.capsule(fx.make_array(obj.values), b"arrow_schema"))


def bitmap(bits):
    return ctypes.create_string_buffer(bytes([bits]), 1)


class NoInterface(fx.Array):
    def __getattribute__(self, name):
        if name == "__arrow_c_array__":
            raise AttributeError(name)
        return super().__getattribute__(name)


def I(**fields):  # noqa: E743
    return fx.Array("i", [1, 2, 3], **fields)


def S(**fields):
    return fx.ChunkedArray("i", [[1], [2], [3]], **fields)


STREAM_FAILED = "Arrow stream failed (error 5): the producer failed"
FAILURES = [
    (lambda: I(export=raising), RuntimeError, "export failed"),
    (lambda: I(export=lambda a: None), TypeError, CAPSULES),
    (lambda: I(export=swapped), TypeError, CAPSULES),
    (lambda: I(release=None), BufferError, MALFORMED + "the array was released already"),
    (lambda: I(schema={"release": None}), BufferError, MALFORMED + "the schema was released already"),
    (lambda: I(length=-1), BufferError, MALFORMED + "negative length or offset"),
    (lambda: I(offset=-1), BufferError, MALFORMED + "negative length or offset"),
    (lambda: I(offset=2**62, length=2**62), BufferError, MALFORMED + "offset and length beyond"),
    (lambda: I(length=2**61), BufferError, MALFORMED + "offset and length beyond"),
    (lambda: I(n_buffers=1), BufferError, MALFORMED + "a primitive array has two buffers"),
    (lambda: I(buffers=None), BufferError, MALFORMED + "a primitive array has two buffers"),
    (lambda: I(shift=None), BufferError, MALFORMED + "no values buffer"),
    (lambda: I(null_count=-2), BufferError, MALFORMED + "negative null count"),
    (lambda: I(null_count=3), ValueError, "Arrow input has 3 null values; use fill_null"),
    (lambda: I(null_count=-1, validity=bitmap(0b101)), ValueError, "Arrow input has 1 null value; use"),
    (lambda: I(schema={"format": b"l"}), BufferError, NOT_COMPATIBLE + "i32"),
    (lambda: I(schema={"format": None}), BufferError, NOT_COMPATIBLE + "i32"),
    (lambda: I(schema={"dictionary": 8}), BufferError, NOT_COMPATIBLE + "i32"),
    (lambda: I(shift=1), BufferError, "buffer contents are insufficiently aligned for i32"),
    (lambda: NoInterface("i", [1, 2, 3]), TypeError, "a bytes-like object is required"),
    (lambda: S(export=lambda c: 42), TypeError, "__arrow_c_stream__() must return a capsule named"),
    (lambda: S(export=lambda c: fx.capsule(fx.make_schema(b"i"), b"arrow_stream")), TypeError,
     "__arrow_c_stream__() must return a capsule named"),
    (lambda: S(stream={"release": None}), BufferError, MALFORMED + "the stream was released already"),
    (lambda: S(stream={"get_next": fx.GET_NEXT()}), BufferError, MALFORMED + "a stream without"),
    (lambda: S(fail_at="schema"), BufferError, STREAM_FAILED),
    (lambda: S(fail_at=1), BufferError, STREAM_FAILED),
    (lambda: S(fail_at=3), BufferError, STREAM_FAILED),
    (lambda: S(schema={"format": b"+l"}), BufferError, NOT_COMPATIBLE + "i32"),
    (lambda: S(faulty_chunk=1, length=-1), BufferError, MALFORMED + "negative length or offset"),
    (lambda: S(faulty_chunk=2, null_count=2), ValueError, "Arrow input has 2 null values"),
    (lambda: S(faulty_chunk=1, shift=2), BufferError, "buffer contents are insufficiently aligned for i32"),
]


@pytest.mark.parametrize("make, exc, message", FAILURES)
def test_malformed_exports_are_refused(fake, make, exc, message):
    # add reads a good input first, which is released when the second fails.
    for op in (tv.sum, tv.median, tv.unique, lambda a: tv.add(fx.Array("i", [0] * len(a)), a), READS["reduce"]):
        with pytest.raises(exc) as raised:
            op(make())
        assert str(raised.value).startswith(message)


def test_every_struct_is_released_once_without_leaks(fake):
    def run():
        for _ in range(10):
            for make, exc, _message in FAILURES:
                with pytest.raises(exc):
                    tv.sum(make())
            assert tv.sum(I()) == 6 and tv.median(S()) == 2 and list(tv.array_iterator(S())) == [1, 2, 3]
        fx.ledger.assert_balanced()

    assert_allocations_steady(run)
    assert fx.ledger.made["stream"] > 100 and fx.ledger.made["array"] > 300
