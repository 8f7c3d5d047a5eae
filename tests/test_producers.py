"""Arrow data from any library: objects that are none of the other kinds but
export Arrow C data (__arrow_c_array__ / __arrow_c_stream__) are read in
place; unique, map and filter give an array.array of the input's type."""

import operator
from array import array

import pytest

import arrow_exporters as fx
import telvaran as tv
from conftest import TYPECODES, type_limits

REFUSAL = ("Could not determine Arrow buffer/array type. Supported types: Int8, UInt8, Int16, UInt16, Int32, "
           "UInt32, Int64, UInt64, Float32, Float64")
OPERATIONS = {
    "sum": tv.sum, "mean": tv.mean, "min": tv.min, "max": tv.max, "var": tv.var, "median": tv.median,
    "unique": tv.unique, "filter": lambda a: tv.filter(a, lambda v: v > 1), "map": lambda a: tv.map(a, abs),
    "reduce": lambda a: tv.reduce(a, operator.add), "add": lambda a: tv.add(a, a),
    "iterate": lambda a: list(tv.array_iterator(a)),
}


class UnsizedArray:
    """A producer of the user's own: no len(), only the export."""

    def __init__(self, inner):
        self.inner = inner

    def __arrow_c_array__(self, requested_schema=None):
        return self.inner.__arrow_c_array__()


class UnsizedStream(UnsizedArray):
    __arrow_c_array__ = None

    def __arrow_c_stream__(self, requested_schema=None):
        return self.inner.__arrow_c_stream__()


def library(name):
    return pytest.importorskip(name)


VALUES = [3, -1, 2, 3, 7]
PRODUCERS = {  # name -> values (int32) as that library's object
    "exporter": lambda v: fx.Array("i", v),
    "chunked exporter": lambda v: fx.ChunkedArray("i", [v[:2], [], v[2:]]),
    "unsized array": lambda v: UnsizedArray(fx.Array("i", v)),
    "unsized stream": lambda v: UnsizedStream(fx.ChunkedArray("i", [v[:1], v[1:]])),
    "polars": lambda v: library("polars").Series(v, dtype=library("polars").Int32),
    "pandas": lambda v: library("pandas").Series(v, dtype="int32[pyarrow]"),
    "nanoarrow": lambda v: library("nanoarrow").Array(v, library("nanoarrow").int32()),
    "nanoarrow c_array": lambda v: library("nanoarrow").c_array(v, library("nanoarrow").int32()),
    "arro3": lambda v: library("arro3.core").Array(v, library("arro3.core").DataType.int32()),
}


def plain(result):
    return result.tolist() if isinstance(result, array) else result


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
@pytest.mark.parametrize("producer", PRODUCERS.values(), ids=PRODUCERS.keys())
def test_producers_read_like_the_same_values(operation, producer):
    fx.ledger.reset()
    result = operation(producer(VALUES))
    expected = operation(array("i", VALUES))
    assert type(result) is type(expected) and plain(result) == plain(expected)
    if isinstance(result, array):
        assert result.typecode == "i"
    fx.ledger.assert_balanced()


@pytest.mark.parametrize("typecode", TYPECODES)
def test_every_element_type_and_offsets(typecode):
    low, high = type_limits(typecode) if typecode not in "fd" else (-2.5, 1e30)
    values = [high, low, 0, 1, high, 1]
    obj = fx.Array(typecode, [9, 9, *values], offset=2)
    assert tv.unique(obj) == tv.unique(array(typecode, values))
    assert tv.sum(obj) == tv.sum(array(typecode, values))


@pytest.mark.parametrize("schema, hint", [
    ({"format": b"b"}, ""), ({"format": b"e"}, ""), ({"format": b"u"}, ""), ({"format": b"tsu:"}, ""),
    ({"format": b"d:10,2"}, ""), ({"format": b"+s"}, " (this object holds a table of columns"),
])
def test_other_formats_are_refused(schema, hint):
    with pytest.raises(TypeError) as info:
        tv.sum(fx.Array("i", [1, 2], schema=schema))
    assert str(info.value).startswith(REFUSAL + hint)


@pytest.mark.parametrize("operation, error, message", [
    (tv.sort, ValueError, "Arrow buffers/arrays are immutable; in-place operations not supported"),
    (lambda a: tv.scale(a, 2), ValueError, "Arrow buffers/arrays are immutable; in-place operations not supported"),
    (lambda a: tv.slice(a, 0, 1), TypeError, None),
])
def test_producers_are_immutable_and_export_no_buffer(operation, error, message):
    with pytest.raises(error) as info:
        operation(UnsizedArray(fx.Array("i", [1, 2])))
    assert message is None or str(info.value) == message


def test_nulls_in_a_producer_are_refused():
    validity = (fx.ctypes.c_uint8 * 1)(0b101)
    with pytest.raises(ValueError, match="^Arrow input has 1 null value; use fill_null"):
        tv.sum(fx.Array("i", [1, 2, 3], validity=validity, null_count=-1))


def test_an_empty_null_typed_producer_is_empty():
    assert tv.sum(fx.Array("l", [], schema={"format": b"n"})) == 0
    with pytest.raises(TypeError, match="^Could not determine"):
        tv.sum(fx.Array("l", [1], schema={"format": b"n"}))


def test_pyarrow_objects_keep_their_kind():
    pa = library("pyarrow")
    assert isinstance(tv.unique(pa.array([2, 1], pa.int32())), pa.Array)


@pytest.mark.parametrize("operation", [tv.sum, tv.var, tv.median, tv.unique, lambda a: tv.filter(a, bool),
                                       lambda a: tv.map(a, abs), lambda a: tv.reduce(a, operator.add)],
                         ids=["sum", "var", "median", "unique", "filter", "map", "reduce"])
def test_a_stream_that_can_be_read_once_serves_one_call(operation):
    na = library("nanoarrow")
    result = operation(na.ArrayStream(VALUES, na.int32()))
    assert plain(result) == plain(operation(array("i", VALUES)))
