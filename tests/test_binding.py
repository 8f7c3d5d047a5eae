"""Argument binding and scalar conversion, the same for every function.

Binding and conversion happen before an operation looks at its arrays, so
most cases here pass None as the array: whatever the operation then does
with it, the binding and conversion messages come first.
"""

import re
from array import array

import pytest

import telvaran as tv

PARAMS = {
    "sum": ["array"], "mean": ["array"], "min": ["array"], "max": ["array"],
    "var": ["array"], "std": ["array"], "median": ["array"], "normalize": ["array"],
    "sort": ["array"], "reverse": ["array"], "unique": ["array"],
    "lazy_array": ["array"], "array_iterator": ["array"],
    "scale": ["array", "factor"], "clip": ["array", "min_val", "max_val"],
    "slice": ["array", "start", "end"], "add": ["arr1", "arr2"], "multiply": ["arr1", "arr2"],
    "map": ["array", "fn"], "map_inplace": ["array", "fn"], "filter": ["array", "predicate"],
    "reduce": ["array", "fn"],
}
NAMES = sorted(PARAMS)


def quoted(names):
    parts = [f"'{n}'" for n in names]
    if len(parts) <= 2:
        return " and ".join(parts)
    return ", ".join(parts[:-1]) + ", and " + parts[-1]


def fresh_args(name):
    """Valid positional arguments, new on every call (some operations write)."""
    a = array("d", [3.0, 1.0, 2.0])
    extra = {
        "scale": [2.0], "clip": [1.5, 2.5], "slice": [0, 2], "add": [array("d", [1.0] * 3)],
        "multiply": [array("d", [2.0] * 3)], "map": [lambda x: x * 2],
        "map_inplace": [lambda x: x * 2], "filter": [lambda x: x > 1.5],
        "reduce": [lambda x, y: x + y],
    }.get(name, [])
    return [a, *extra]


def outcome(function, args, kwargs, inputs=None):
    """What a call gives, in comparable form, with what it did to `inputs`
    (by default its positional arguments)."""
    try:
        result = function(*args, **kwargs)
        if isinstance(result, (array, memoryview)):
            shown = ("array", list(result))
        elif isinstance(result, (int, float, type(None))):
            shown = ("value", result)
        else:
            shown = ("object", type(result).__name__)
    except Exception as exc:  # noqa: BLE001 - any failure is compared as data
        shown = ("raised", type(exc), str(exc))
    inputs = args if inputs is None else inputs
    return shown, [list(x) for x in inputs if isinstance(x, array)]


BINDING_MESSAGE = re.compile(r"(takes \d+ positional|got multiple values|unexpected keyword|missing \d+ required)")


@pytest.mark.parametrize("name, by_position, reverse", [
    (name, k, reverse) for name in NAMES for k in range(len(PARAMS[name])) for reverse in (False, True)
])
def test_every_parameter_binds_by_keyword(name, by_position, reverse):
    # The first `by_position` arguments by position, the rest by keyword.
    function = getattr(tv, name)
    params = PARAMS[name]
    values = fresh_args(name)
    keywords = list(zip(params, values))[by_position:]
    if reverse:
        keywords.reverse()
    got = outcome(function, values[:by_position], dict(keywords), inputs=values)
    expected = outcome(function, fresh_args(name), {})
    assert got == expected
    if expected[0][0] == "raised":
        assert not BINDING_MESSAGE.search(expected[0][2])


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("extra", [1, 2])
def test_too_many_positional(name, extra):
    n = len(PARAMS[name])
    with pytest.raises(TypeError) as info:
        getattr(tv, name)(*([None] * (n + extra)))
    assert str(info.value) == f"{name}() takes {n} positional arguments but {n + extra} were given"


def test_too_many_positional_is_checked_before_keywords():
    with pytest.raises(TypeError, match=r"^sum\(\) takes 1 positional arguments but 2 were given$"):
        tv.sum(None, None, bogus=1)


@pytest.mark.parametrize("name", NAMES)
def test_multiple_values(name):
    first = PARAMS[name][0]
    with pytest.raises(TypeError) as info:
        getattr(tv, name)(*([None] * len(PARAMS[name])), **{first: None})
    assert str(info.value) == f"{name}() got multiple values for argument '{first}'"


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("keyword", ["arr", "Array", "initial_", "é"])
def test_unexpected_keyword(name, keyword):
    with pytest.raises(TypeError) as info:
        getattr(tv, name)(*([None] * len(PARAMS[name])), **{keyword: 1})
    assert str(info.value) == f"{name}() got an unexpected keyword argument '{keyword}'"


def test_unpresentable_keyword_name_is_still_a_type_error():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        tv.sum(None, **{"\udc80": 1})


@pytest.mark.parametrize("kwargs, message", [
    ({"array": None, "bogus": 1}, "clip() got multiple values for argument 'array'"),
    ({"bogus": 1, "array": None}, "clip() got an unexpected keyword argument 'bogus'"),
])
def test_keywords_are_checked_in_the_order_given(kwargs, message):
    with pytest.raises(TypeError) as info:
        tv.clip(None, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("name", NAMES)
def test_missing_everything(name):
    params = PARAMS[name]
    n = len(params)
    with pytest.raises(TypeError) as info:
        getattr(tv, name)()
    word = "argument" if n == 1 else "arguments"
    assert str(info.value) == f"{name}() missing {n} required positional {word}: {quoted(params)}"


@pytest.mark.parametrize("call, message", [
    (lambda: tv.sum(), "sum() missing 1 required positional argument: 'array'"),
    (lambda: tv.clip(None), "clip() missing 2 required positional arguments: 'min_val' and 'max_val'"),
    (lambda: tv.clip(max_val=1), "clip() missing 2 required positional arguments: 'array' and 'min_val'"),
    (lambda: tv.slice(), "slice() missing 3 required positional arguments: 'array', 'start', and 'end'"),
    (lambda: tv.slice(end=1), "slice() missing 2 required positional arguments: 'array' and 'start'"),
    (lambda: tv.slice(None, end=1), "slice() missing 1 required positional argument: 'start'"),
    (lambda: tv.add(arr2=None), "add() missing 1 required positional argument: 'arr1'"),
    (lambda: tv.reduce(None), "reduce() missing 1 required positional argument: 'fn'"),
    (lambda: tv.reduce(initial=1), "reduce() missing 2 required positional arguments: 'array' and 'fn'"),
    (lambda: tv.reduce(None, None, 0), "reduce() takes 2 positional arguments but 3 were given"),
    (lambda: tv.clip(bogus=1), "clip() got an unexpected keyword argument 'bogus'"),
    (lambda: tv.scale(None, "x", bogus=1), "scale() got an unexpected keyword argument 'bogus'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_reduce_initial_none_is_not_given():
    fn = lambda x, y: x + y  # noqa: E731
    plain = outcome(tv.reduce, [array("i", [1, 2, 3]), fn], {})
    assert outcome(tv.reduce, [array("i", [1, 2, 3]), fn], {"initial": None}) == plain
    a = array("i", [1, 2, 3])
    assert outcome(tv.reduce, [], {"initial": None, "fn": fn, "array": a}, inputs=[a]) == plain


class FloatRaises:
    """A number whose conversion raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class Returns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return self.value


class TypeErrorSubclass(TypeError):
    pass


class RaisesWithNul:
    def __float__(self):
        raise TypeError("bad\x00tail")

    __index__ = __float__


@pytest.mark.parametrize("call, message", [
    (lambda: tv.scale(None, "x"), "argument 'factor': must be real number, not str"),
    (lambda: tv.scale(None, None), "argument 'factor': must be real number, not NoneType"),
    (lambda: tv.scale(None, Returns("s")), "argument 'factor': Returns.__float__ returned non-float (type str)"),
    (lambda: tv.clip(None, "a", "b"), "argument 'min_val': must be real number, not str"),
    (lambda: tv.clip(None, 1, "b"), "argument 'max_val': must be real number, not str"),
    (lambda: tv.slice(None, 1.5, None), "argument 'start': 'float' object cannot be interpreted as an integer"),
    (lambda: tv.slice(None, None, "3"), "argument 'end': 'str' object cannot be interpreted as an integer"),
    (lambda: tv.slice(None, 0, Returns("s")), "argument 'end': __index__ returned non-int (type str)"),
    (lambda: tv.scale(array("i", [1]), RaisesWithNul()), "argument 'factor': bad\x00tail"),
    (lambda: tv.slice(None, RaisesWithNul(), None), "argument 'start': bad\x00tail"),
])
def test_type_errors_of_conversions_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda: tv.scale(None, 10**400), OverflowError, "int too large to convert to float"),
    (lambda: tv.clip(None, 10**400, "b"), OverflowError, "int too large to convert to float"),
    (lambda: tv.scale(None, FloatRaises(ValueError("v"))), ValueError, "v"),
    (lambda: tv.scale(None, FloatRaises(TypeErrorSubclass("sub"))), TypeErrorSubclass, "sub"),
    (lambda: tv.slice(None, -1, "x"), OverflowError, "can't convert negative int to unsigned"),
    (lambda: tv.slice(None, 0, 2**64), OverflowError, "int too big to convert"),
    (lambda: tv.slice(None, Returns(-2), None), OverflowError, "can't convert negative int to unsigned"),
    (lambda: tv.slice(None, IndexRaises(TypeErrorSubclass("sub")), None), TypeErrorSubclass, "sub"),
])
def test_other_conversion_errors_pass_unchanged(call, exc_type, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message


def raise_with_cause(cause):
    try:
        raise TypeError("inner") from cause
    except TypeError as exc:
        return exc


@pytest.mark.parametrize("make_call, name", [
    (lambda bad: tv.scale(None, FloatRaises(bad)), "factor"),
    (lambda bad: tv.clip(None, 0, FloatRaises(bad)), "max_val"),
    (lambda bad: tv.slice(None, IndexRaises(bad), None), "start"),
])
def test_wrapped_type_error_keeps_the_cause(make_call, name):
    cause = KeyError("why")
    with pytest.raises(TypeError) as info:
        make_call(raise_with_cause(cause))
    assert str(info.value) == f"argument '{name}': inner"
    assert info.value.__cause__ is cause
    with pytest.raises(TypeError) as info:
        make_call(TypeError("no cause"))
    assert str(info.value) == f"argument '{name}': no cause"
    assert info.value.__cause__ is None


class Indexable:
    def __index__(self):
        return 1


class Floatable:
    def __float__(self):
        return 1.0


@pytest.mark.parametrize("factor", [1, True, 1.0, Floatable(), Indexable(), 2**1000])
def test_accepted_factors_reach_the_operation(factor):
    # A factor the conversion accepts fails, if at all, the way a plain float does.
    assert outcome(tv.scale, [None, factor], {}) == outcome(tv.scale, [None, 1.0], {})


@pytest.mark.parametrize("start", [0, True, Indexable(), 2**64 - 1, None])
def test_accepted_indices_reach_the_operation(start):
    assert outcome(tv.slice, [None, start, None], {}) == outcome(tv.slice, [None, 0, None], {})


def test_numpy_scalars_are_accepted(np):
    assert outcome(tv.scale, [None, np.float32(2)], {}) == outcome(tv.scale, [None, 1.0], {})
    assert outcome(tv.slice, [None, np.int64(1), np.uint8(2)], {}) == outcome(tv.slice, [None, 0, None], {})
