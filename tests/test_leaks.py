"""No leaks on any path: every function and class method, on success and on
each failure it can reach, leaves the interpreter's allocated blocks and its
inputs' reference counts as they were, and holds no buffer of its input
afterwards (an array.array input can still be resized)."""

import sys
from array import array

import pytest

import telvaran as tv
from conftest import assert_allocations_steady

CALLS = 2000


def double(x):
    return x * 2


def negate(x):
    return -x


def keep_even(x):
    return int(x) % 2 == 0


def add2(x, y):
    return x + y


def fail(*args):
    raise ValueError("callback failed")


def wrong_kind(x):
    return "text"


def misaligned():
    return memoryview(bytearray(17))[1:].cast("d")


def readonly():
    return memoryview(array("d", [3.0, 1.0, 2.0]).tobytes()).cast("d")


class Unconvertible:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        raise ValueError("no float")


def d():
    return array("d", [3.0, 1.0, 2.0, 5.0])


def i():
    return array("i", [3, 1, 2, 5, 2])


def empty():
    return array("d")


def iterate(a):
    return list(tv.ArrayIterator(a))


def iterate_function(a):
    return list(tv.array_iterator(a))


def chain(a, f, g):
    return tv.LazyArray(a).map(f).filter(g).collect()


def chain_iterated(a, f):
    return list(tv.lazy_array(a).map(f))


def lazy_source(a):
    lazy = tv.lazy_array(a).map(double)
    return lazy.source(), lazy.len()


def collect_inside_collect(a):
    holder = []

    def again(x):
        return holder[0].collect()

    holder.append(tv.lazy_array(a).map(again))
    try:
        return holder[0].collect()
    finally:
        holder.clear()  # the chain and its callback refer to each other


def next_inside_next(a):
    it = tv.array_iterator(a)
    return tv.map(a, lambda x: next(it))


# (operation, function, argument makers, expected exception or None)
CASES = [
    ("sum", tv.sum, (d,), None), ("sum-int", tv.sum, (i,), None), ("sum-empty", tv.sum, (empty,), None),
    ("sum-refused", tv.sum, (lambda: [1.0],), TypeError),
    ("sum-misaligned", tv.sum, (misaligned,), BufferError),
    ("mean", tv.mean, (d,), None), ("mean-empty", tv.mean, (empty,), ValueError),
    ("mean-wrong-format", tv.mean, (lambda: memoryview(b"abcd").cast("c"),), TypeError),
    ("min", tv.min, (i,), None), ("min-empty", tv.min, (empty,), ValueError),
    ("max", tv.max, (d,), None), ("max-refused", tv.max, (lambda: b"abc",), TypeError),
    ("var", tv.var, (d,), None), ("var-empty", tv.var, (empty,), ValueError),
    ("std", tv.std, (i,), None), ("std-misaligned", tv.std, (misaligned,), BufferError),
    ("median", tv.median, (d,), None), ("median-int", tv.median, (i,), None),
    ("median-empty", tv.median, (empty,), ValueError),
    ("add", tv.add, (d, d), None), ("add-lengths", tv.add, (d, lambda: array("d", [1.0])), ValueError),
    ("add-types", tv.add, (d, i), TypeError),
    ("multiply", tv.multiply, (i, i), None), ("multiply-refused", tv.multiply, (i, lambda: [1]), TypeError),
    ("scale", tv.scale, (d, lambda: 2.5), None), ("scale-int", tv.scale, (i, lambda: 3), None),
    ("scale-factor", tv.scale, (d, Unconvertible), ValueError),
    ("scale-readonly", tv.scale, (readonly, lambda: 2.0), ValueError),
    ("clip", tv.clip, (d, lambda: 1.5, lambda: 2.5), None),
    ("clip-order", tv.clip, (i, lambda: 5, lambda: 1), ValueError),
    ("clip-bound", tv.clip, (i, lambda: 1, lambda: "x"), TypeError),
    ("normalize", tv.normalize, (d,), None), ("normalize-empty", tv.normalize, (empty,), None),
    ("normalize-int", tv.normalize, (i,), ValueError),
    ("reverse", tv.reverse, (i,), None), ("reverse-readonly", tv.reverse, (readonly,), ValueError),
    ("sort", tv.sort, (d,), None), ("sort-int", tv.sort, (i,), None),
    ("sort-misaligned", tv.sort, (misaligned,), BufferError),
    ("unique", tv.unique, (i,), None), ("unique-refused", tv.unique, (lambda: None,), TypeError),
    ("slice", tv.slice, (d, lambda: 1, lambda: 3), None),
    ("slice-bounds", tv.slice, (d, lambda: 3, lambda: 1), ValueError),
    ("slice-bound-kind", tv.slice, (d, lambda: 1.5, lambda: 2), TypeError),
    ("map", tv.map, (d, lambda: double), None), ("map-raises", tv.map, (i, lambda: fail), ValueError),
    ("map-wrong-result", tv.map, (i, lambda: wrong_kind), TypeError),
    ("map-reentrant", next_inside_next, (i,), None),
    ("map_inplace", tv.map_inplace, (i, lambda: negate), None),
    ("map_inplace-raises", tv.map_inplace, (d, lambda: fail), ValueError),
    ("map_inplace-readonly", tv.map_inplace, (readonly, lambda: double), ValueError),
    ("filter", tv.filter, (i, lambda: keep_even), None), ("filter-raises", tv.filter, (d, lambda: fail), ValueError),
    ("reduce", tv.reduce, (i, lambda: add2), None), ("reduce-raises", tv.reduce, (d, lambda: fail), ValueError),
    ("reduce-empty", tv.reduce, (empty, lambda: add2), ValueError),
    ("array_iterator", iterate_function, (d,), None),
    ("array_iterator-refused", tv.array_iterator, (lambda: [1],), TypeError),
    ("ArrayIterator", iterate, (i,), None), ("ArrayIterator-refused", iterate, (lambda: "abc",), TypeError),
    ("ArrayIterator-misaligned", iterate, (misaligned,), BufferError),
    ("lazy_array", chain_iterated, (d, lambda: double), None),
    ("LazyArray", chain, (i, lambda: double, lambda: keep_even), None),
    ("LazyArray-raises", chain, (i, lambda: double, lambda: fail), ValueError),
    ("LazyArray-refused", chain, (lambda: [1], lambda: double, lambda: keep_even), TypeError),
    ("LazyArray-source-len", lazy_source, (d,), None),
    ("LazyArray-collect-inside-collect", collect_inside_collect, (i,), RuntimeError),
]


@pytest.mark.parametrize("function, makers, expected", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_no_leak_on_any_path(function, makers, expected):
    args = [make() for make in makers]
    refcounts = [sys.getrefcount(arg) for arg in args]

    def call():
        if expected is None:
            return function(*args)
        with pytest.raises(expected) as info:
            function(*args)
        assert type(info.value) is expected
        return None

    call()

    def run():
        for _ in range(CALLS):
            call()

    assert_allocations_steady(run)
    assert [sys.getrefcount(arg) for arg in args] == refcounts
    for arg in args:
        if type(arg) is array:  # no buffer of it is still exported
            arg.append(arg[0] if len(arg) else 0)
            arg.pop()
