"""LazyArray and lazy_array: recorded map/filter chains, evaluated once."""

import array
import gc

import pytest

import telvaran as tv

from conftest import assert_allocations_steady
from telvaran import _telvaran


class Counted:
    """A callable that counts its calls."""

    def __init__(self, fn):
        self.fn = fn
        self.calls = 0

    def __call__(self, x):
        self.calls += 1
        return self.fn(x)


@pytest.mark.parametrize("x", [42, None, [1, 2], "text", object(), array.array("b")])
def test_no_operations_collects_the_source_itself(x):
    lazy = tv.lazy_array(x)
    assert type(lazy) is tv.LazyArray
    assert lazy.len() == 0
    assert lazy.source() is x
    assert lazy.collect() is x
    assert lazy.collect() is x


def test_chain_lengths_sources_and_independence():
    a = array.array("i", [1, 2, 3])
    lazy = tv.LazyArray(a)
    m = lazy.map(abs)
    k = m.filter(bool)
    assert [o.len() for o in (lazy, m, k)] == [0, 1, 2]
    assert all(o.source() is a for o in (lazy, m, k))
    m2 = lazy.map(abs)
    assert m2 is not m and m2.len() == 1 and lazy.len() == 0


def test_collect_matches_direct_calls_and_is_cached():
    a = array.array("i", [1, 2, 3, 4])
    f = Counted(lambda x: x * 3)
    p = Counted(lambda x: x % 2 == 0)
    k = tv.lazy_array(a).map(f).filter(p)
    result = k.collect()
    assert (f.calls, p.calls) == (4, 4)
    assert result == tv.filter(tv.map(a, lambda x: x * 3), lambda x: x % 2 == 0)
    assert k.collect() is result
    assert (f.calls, p.calls) == (4, 4)


def test_cached_result_ignores_later_changes_but_derived_chains_see_them():
    a = array.array("d", [1.0, 2.0])
    k = tv.lazy_array(a).map(lambda x: x + 1)
    assert list(k.collect()) == [2.0, 3.0]
    a[0] = 10.0
    assert list(k.collect()) == [2.0, 3.0]
    assert list(k.map(lambda x: x).collect()) == [11.0, 3.0]


def test_memoryview_source_gives_array_results():
    m = memoryview(array.array("h", [5, -6]))
    result = tv.lazy_array(m).map(lambda x: -x).collect()
    assert isinstance(result, array.array) and result.typecode == "h"
    assert list(result) == [-5, 6]


def test_unsupported_source_fails_before_any_callable():
    f = Counted(abs)
    with pytest.raises(TypeError, match="^Expected array.array"):
        tv.LazyArray(42).map(f).collect()
    assert f.calls == 0


def test_non_callable_fails_with_the_interpreters_error():
    lazy = tv.lazy_array(array.array("i", [1])).map(5)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        lazy.collect()


def test_failed_evaluation_is_not_cached():
    state = {"fail": True}

    def f(x):
        if state["fail"]:
            raise KeyError("boom")
        return x + 1

    a = array.array("i", [1, 2])
    lazy = tv.lazy_array(a).map(f)
    with pytest.raises(KeyError):
        lazy.collect()
    a.append(3)  # no view is left behind
    state["fail"] = False
    assert list(lazy.collect()) == [2, 3, 4]


def test_steps_go_through_the_module_functions_by_name(monkeypatch):
    calls = []

    def fake_map(current, fn):
        calls.append(("map", current, fn))
        return "mapped"

    def fake_filter(current, fn):
        calls.append(("filter", current, fn))
        return "filtered"

    src = object()
    lazy = tv.lazy_array(src).map(abs).filter(bool)
    monkeypatch.setattr(_telvaran, "map", fake_map)
    monkeypatch.setattr(_telvaran, "filter", fake_filter)
    assert lazy.collect() == "filtered"
    assert calls == [("map", src, abs), ("filter", "mapped", bool)]


def test_iteration_evaluates_once_and_yields_values():
    f = Counted(lambda x: x * 10)
    lazy = tv.lazy_array(array.array("i", [1, 2, 3])).map(f)
    it = iter(lazy)
    assert type(it) is tv.ArrayIterator
    assert list(it) == [10, 20, 30]
    assert list(lazy) == [10, 20, 30]
    assert f.calls == 3
    assert lazy.collect() is lazy.collect()


def test_iteration_over_unsupported_result_fails_as_the_iterator_does():
    with pytest.raises(TypeError, match="^Expected array.array"):
        iter(tv.lazy_array([1, 2, 3]))


def test_is_iterable_but_not_an_iterator_and_has_no_length():
    lazy = tv.lazy_array(array.array("i", [1]))
    with pytest.raises(TypeError):
        next(lazy)
    with pytest.raises(TypeError):
        len(lazy)


# What a callable inside an evaluation does to the object being evaluated.
REENTRY = {
    "len": (lambda lazy: lazy.len(), "Already mutably borrowed"),
    "source": (lambda lazy: lazy.source(), "Already mutably borrowed"),
    "map": (lambda lazy: lazy.map(abs), "Already mutably borrowed"),
    "filter": (lambda lazy: lazy.filter(abs), "Already mutably borrowed"),
    "collect": (lambda lazy: lazy.collect(), "Already borrowed"),
    "iter": (lambda lazy: iter(lazy), "Already borrowed"),
}


@pytest.mark.parametrize("evaluate", [lambda lazy: lazy.collect(), lambda lazy: list(lazy)],
                         ids=["collect", "iter"])
@pytest.mark.parametrize("name", REENTRY)
def test_reentry_during_evaluation_is_refused(name, evaluate):
    action, message = REENTRY[name]
    reenter = [True]
    lazy = tv.lazy_array(array.array("i", [1, 2])).map(lambda x: action(lazy) if reenter[0] else x)
    with pytest.raises(RuntimeError) as info:
        evaluate(lazy)
    assert str(info.value) == message
    # The access was given back and nothing was cached.
    assert lazy.len() == 1
    reenter[0] = False
    assert list(lazy.collect()) == [1, 2]


def test_refusal_caught_by_the_callable_lets_evaluation_finish():
    seen = []

    def f(x):
        try:
            lazy.len()
        except RuntimeError as e:
            seen.append(str(e))
        return x

    lazy = tv.lazy_array(array.array("i", [7, 8])).map(f)
    assert list(lazy.collect()) == [7, 8]
    assert seen == ["Already mutably borrowed"] * 2


@pytest.mark.parametrize("call, message", [
    (lambda: tv.LazyArray(), "LazyArray.__new__() missing 1 required positional argument: 'source'"),
    (lambda: tv.LazyArray(1).map(), "LazyArray.map() missing 1 required positional argument: 'function'"),
    (lambda: tv.LazyArray(1).filter(1, 2), "LazyArray.filter() takes 1 positional arguments but 2 were given"),
])
def test_binding(call, message):
    a = array.array("i", [1, -2])
    lazy = tv.LazyArray(source=a).map(function=abs).filter(predicate=lambda x: x > 1)
    assert list(lazy.collect()) == [2]
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("cls, text", [
    (tv.LazyArray, "Lazy array wrapper for deferred evaluation"),
    (tv.ArrayIterator, "ArrayIterator - Efficient, natively optimised iterator for array types"),
])
def test_class_attributes(cls, text):
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(source)"
    assert cls.__doc__ == text


class Marker:
    def __init__(self, freed):
        self.freed = freed

    def __call__(self, x):
        return x

    def __del__(self):
        self.freed.append(True)


@pytest.mark.parametrize("link", ["callable", "source", "cached"])
def test_cycles_are_collected(link):
    freed = []
    marker = Marker(freed)
    if link == "callable":
        lazy = tv.lazy_array(array.array("i", [1])).map(marker)
        marker.lazy = lazy
    else:
        source = [marker]
        lazy = tv.lazy_array(source)
        source.append(lazy)
        if link == "cached":
            assert lazy.collect() is source
    del lazy, marker
    if link != "callable":
        del source
    gc.collect()
    assert freed == [True]


def test_no_leak_over_many_failing_calls():
    a = array.array("i", [1, 2, 3])

    def boom(x):
        raise ValueError("boom")

    def run():
        for _ in range(100):
            with pytest.raises(TypeError):
                tv.LazyArray(42).map(abs).collect()
            with pytest.raises(ValueError):
                tv.lazy_array(a).map(boom).collect()
            holder = []
            lazy = tv.lazy_array(a).filter(lambda x: holder[0].len())
            holder.append(lazy)
            with pytest.raises(RuntimeError):
                list(lazy)
            del holder[:]
            assert list(tv.lazy_array(a).map(abs)) == [1, 2, 3]

    assert_allocations_steady(run)


def test_releasing_a_deep_chain_of_sources_does_not_exhaust_the_stack():
    x = None
    for _ in range(300_000):
        x = tv.LazyArray(x)
    del x
    x = []
    for _ in range(100_000):
        x = [tv.LazyArray(x)]
    del x
