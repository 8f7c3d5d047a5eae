"""Classes and constructors replaced in the loaded modules (test doubles,
mocks, lazy loaders): inputs are recognised by what the modules hold now, the
attributes of a stand-in class are read, results come from the stand-in
constructors, and no input of a read operation is ever written."""

import sys
import types
from array import array

import pytest

import arrow_exporters as fx
import telvaran as tv
from conftest import raises

SUPPORTED = "Supported: b, B, h, H, i, I, l, L, f, d"


class Exporter:
    """Items of an array.array behind a Python class's __buffer__; counts the
    buffer requests. Keyword arguments become attributes."""

    def __init__(self, code, values, **attributes):
        self.items, self.requests = array(code, values), 0
        vars(self).update(attributes)

    def __buffer__(self, flags):
        self.requests += 1
        return memoryview(self.items)

    def __len__(self):
        return len(self.items)


class StandInArray(Exporter):
    """array.array as a Python class: records what it was built from."""

    built = []

    def __init__(self, typecode, initializer=()):
        super().__init__(typecode, initializer, typecode=typecode, itemsize=array(typecode).itemsize)
        StandInArray.built.append((typecode, initializer))


class StandInNdArray(Exporter):
    """numpy.ndarray as a Python class, with a one-dimensional contiguous
    default for each attribute that validation and resolution read."""

    def __init__(self, code, values, char=None, ndim=1, itemsize=None):
        super().__init__(code, values, ndim=ndim, flags=types.SimpleNamespace(c_contiguous=True, f_contiguous=True),
                         dtype=types.SimpleNamespace(char=code if char is None else char),
                         itemsize=itemsize or array(code).itemsize)


@pytest.fixture
def stand_in_array(monkeypatch):
    StandInArray.built = []
    monkeypatch.setitem(sys.modules, "array", types.SimpleNamespace(array=StandInArray))
    return StandInArray


@pytest.fixture
def stand_in_numpy(np, monkeypatch):
    calls = []

    def record(name, function):
        def recorded(*args, **kwargs):
            calls.append(name)
            return function(*args, **kwargs)
        return recorded

    module = types.ModuleType("numpy")
    vars(module).update(ndarray=StandInNdArray, array=record("array", np.array), dtype=record("dtype", np.dtype),
                        empty=record("empty", np.empty))
    monkeypatch.setitem(sys.modules, "numpy", module)
    return calls


READ_OPERATIONS = {
    "add": lambda a: tv.add(a, a), "multiply": lambda a: tv.multiply(a, a), "unique": tv.unique,
    "filter": lambda a: tv.filter(a, lambda v: True), "map": lambda a: tv.map(a, lambda v: v),
    "sum": tv.sum, "var": tv.var, "median": tv.median,
}


@pytest.mark.parametrize("operation", READ_OPERATIONS.values(), ids=READ_OPERATIONS.keys())
@pytest.mark.parametrize("replacement", ["ndarray", "memoryview"])
def test_a_replaced_array_class_never_lets_an_input_be_written(np, monkeypatch, operation, replacement):
    import array as array_module

    source = np.array([3, 1, 2, 3], dtype=np.int32)
    obj = source if replacement == "ndarray" else memoryview(bytearray(source.tobytes()))
    monkeypatch.setattr(array_module, "array", np.ndarray if replacement == "ndarray" else memoryview)
    before = bytes(obj)
    with pytest.raises(AttributeError, match="typecode"):  # read from the input, as for any array.array
        operation(obj)
    assert bytes(obj) == before


@pytest.mark.parametrize("operation, expected", [
    (lambda a: tv.add(a, a), [6, 2, 4, 6]),
    (tv.unique, [1, 2, 3]),
    (lambda a: tv.filter(a, lambda v: v > 1), [3, 2, 3]),
    (lambda a: tv.map(a, lambda v: -v), [-3, -1, -2, -3]),
])
@pytest.mark.parametrize("make_input", [lambda v: StandInArray("i", v), lambda v: memoryview(array("i", v))],
                         ids=["stand-in", "memoryview"])
def test_results_come_from_a_stand_in_array_constructor(stand_in_array, operation, expected, make_input):
    obj = make_input([3, 1, 2, 3])
    before = bytes(obj.items if isinstance(obj, StandInArray) else obj)
    result = operation(obj)
    assert isinstance(result, StandInArray) and StandInArray.built[-1] == ("i", expected)
    assert type(StandInArray.built[-1][1]) is list
    assert bytes(obj.items if isinstance(obj, StandInArray) else obj) == before


@pytest.mark.parametrize("attributes, error, message", [
    ({"ndim": 2**40}, OverflowError, "out of range integral type conversion attempted"),
    ({"ndim": "1"}, TypeError, None),
    ({"ndim": 2}, TypeError, "numpy.ndarray must be 1-dimensional (ndim == 1)"),
    ({"char": ""}, TypeError, "Could not extract dtype character from numpy.ndarray"),
    ({"char": "é"}, TypeError, f"Unsupported numpy dtype: 'é'. {SUPPORTED}"),
    ({"char": "g"}, TypeError, f"Unsupported numpy dtype: 'g'. {SUPPORTED}"),
])
def test_a_stand_in_ndarray_has_its_attributes_read(stand_in_numpy, attributes, error, message):
    obj = StandInNdArray("i", [1, 2, 3], **attributes)
    if message is None:
        with pytest.raises(error):
            tv.sum(obj)
    else:
        raises(error, message, tv.sum, obj)


def test_a_stand_in_ndarray_keeps_the_result_rules(np, stand_in_numpy):
    narrow_longs = StandInNdArray("i", [5, -1, 5], char="l", itemsize=4)  # 'l' items 4 bytes wide
    result = tv.unique(narrow_longs)
    assert result.dtype == np.int64 and result.tolist() == [-1, 5]
    assert stand_in_numpy == ["dtype", "array"]  # numpy.dtype(name), numpy.array(list), then astype
    assert tv.add(narrow_longs, narrow_longs).dtype == np.int64


def test_a_stand_in_ndarray_is_not_asked_for_its_buffer_at_iterator_creation(stand_in_numpy):
    obj = StandInNdArray("d", [1.5, 2.5])
    iterator = tv.array_iterator(obj)
    assert obj.requests == 0
    assert next(iterator) == 1.5 and obj.requests == 1


def test_a_stand_in_data_type_is_resolved_by_its_text(monkeypatch):
    class DataType:
        def __init__(self, text, type_id):
            self.text, self.id = text, type_id

        def __str__(self):
            return self.text

    module = fx.fake_pyarrow()
    module.DataType = DataType
    monkeypatch.setitem(sys.modules, "pyarrow", module)
    obj = fx.Array("h", [1, -2, 300])
    obj.type = DataType("int16", type_id=12)  # 12 is the id of double
    assert tv.sum(obj) == 299
