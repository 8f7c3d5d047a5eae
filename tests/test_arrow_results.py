"""Results of Arrow inputs: the array pyarrow.array(list) makes of the same
values (type and bits), also when they are made without the list; uint64
values of 2^63 and more give a uint64 array; an empty null-typed input is an
empty input."""

import struct

import pytest

import telvaran as tv
from conftest import TYPECODES, sample_array

RESULTS = {
    "unique": tv.unique,
    "filter": lambda a: tv.filter(a, lambda v: v == v),
    "map": lambda a: tv.map(a, lambda v: v),
    "nothing kept": lambda a: tv.filter(a, lambda v: False),
}
ARROW_TYPES = {"b": "int8", "h": "int16", "i": "int32", "l": "int64", "B": "uint8", "H": "uint16",
               "I": "uint32", "L": "uint64", "f": "float32", "d": "float64"}


def bits(result):
    """The type and the values' bit patterns of an Arrow array."""
    if str(result.type) == "double":
        return "double", [struct.pack("<d", v) for v in result.to_pylist()]
    return str(result.type), result.to_pylist()


@pytest.mark.parametrize("operation", RESULTS.values(), ids=RESULTS.keys())
@pytest.mark.parametrize("typecode", TYPECODES)
def test_results_equal_the_list_construction(pa, operation, typecode):
    values = sample_array(typecode, 40, "nan" if typecode in "fd" else "narrow").tolist()
    if typecode == "L":
        values = [v % 2**63 for v in values]  # pyarrow.array refuses larger ints
    source = pa.array(values, getattr(pa, ARROW_TYPES[typecode])())
    result = operation(source)
    by_list = pa.array(operation(pa.array(values, getattr(pa, ARROW_TYPES[typecode])())).to_pylist())
    assert bits(result) == bits(by_list)


@pytest.mark.parametrize("operation, expected", [
    (tv.unique, [5, 2**63, 2**64 - 1]),
    (lambda a: tv.filter(a, lambda v: v > 5), [2**64 - 1, 2**63]),
    (lambda a: tv.map(a, lambda v: v), [2**64 - 1, 5, 2**63, 5]),
])
def test_uint64_values_beyond_int64_give_a_uint64_array(pa, operation, expected):
    result = operation(pa.array([2**64 - 1, 5, 2**63, 5], pa.uint64()))
    assert result.type == pa.uint64() and result.to_pylist() == expected


def test_a_replaced_pyarrow_array_is_called_with_the_list(pa, monkeypatch):
    calls, original = [], pa.array

    def recording(values, *args):
        calls.append(values)
        return original(values, *args)

    monkeypatch.setattr(pa, "array", recording)
    source = original([3, 1, 3], pa.int16())
    assert tv.unique(source).to_pylist() == [1, 3]
    assert tv.filter(source, lambda v: False).to_pylist() == []
    assert calls == [[1, 3], []] and all(type(c) is list for c in calls)


@pytest.mark.parametrize("operation, expected", [
    (tv.sum, 0), (tv.unique, []), (lambda a: list(tv.array_iterator(a)), []),
    (lambda a: tv.map(a, abs), []), (lambda a: tv.reduce(a, max, initial=7), 7),
])
@pytest.mark.parametrize("make", [lambda pa: pa.array([]), lambda pa: pa.chunked_array([], pa.null())],
                         ids=["array", "chunked"])
def test_an_empty_null_typed_input_is_empty(pa, operation, expected, make):
    result = operation(make(pa))
    assert (result.to_pylist() if hasattr(result, "to_pylist") else result) == expected


def test_a_lazy_chain_that_keeps_nothing_iterates_to_nothing(pa):
    assert list(tv.lazy_array(pa.array([1.5, 2.5])).filter(lambda v: False)) == []


def test_a_null_typed_input_with_elements_is_still_refused(pa):
    with pytest.raises(TypeError, match="^Could not determine Arrow buffer/array type"):
        tv.sum(pa.array([None, None]))
