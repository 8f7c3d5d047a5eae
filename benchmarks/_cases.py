"""What the benchmark measures: every operation against its closest peers.

Each operation lists, for one element type and size, the implementations
to time. The first one is telvaran on an ``array.array`` (the subject: every
ratio is measured against it); the others are numpy and the standard
library doing the same work. Each implementation is called as
``fn(first, *consts)``; in-place implementations get a fresh copy of
``first`` for every call.
"""

from __future__ import annotations

import functools
import operator
import random
import statistics
from array import array
from collections import deque
from dataclasses import dataclass

import telvaran as tv

SIZES = (8, 1_000, 1_000_000)
QUICK_SIZES = (8, 1_000, 100_000)
ITERATOR_SIZE = 100_000

TYPE_NAMES = {"i": "int32", "d": "float64", "f": "float32"}
NUMPY_DTYPES = {"i": "int32", "d": "float64", "f": "float32"}
# float32 is measured where telvaran computes in single precision or moves
# 4-byte items, which makes it a different loop from float64.
NUMERIC = ("i", "d", "f")
MAIN = ("i", "d")

# Statistics-module variance sums exact fractions; at a million elements one
# call takes many seconds, so it is left out at that size.
STATISTICS_VARIANCE_LIMIT = 100_000

NO_NUMPY = "numpy is not installed"


@dataclass
class Impl:
    name: str
    fn: object
    first: object
    consts: tuple = ()
    inplace: bool = False
    skip: str = ""  # set when the implementation cannot run here, with the reason


@dataclass
class Operation:
    name: str
    title: str
    typecodes: tuple
    build: object  # (Env, typecode, size) -> list[Impl], subject first
    sizes: tuple | None = None  # fixed sizes instead of the run's


class Env:
    """The run's optional libraries and its cache of input data."""

    def __init__(self, np, floor):
        self.np = np
        self.floor = floor
        self._values: dict[tuple[int, int], tuple[list, list]] = {}
        self._inputs: dict[tuple[str, int, int], tuple] = {}

    def _draw(self, size, which):
        key = (size, which)
        if key not in self._values:
            rng = random.Random(1000 * size + which)
            ints = rng.choices(range(-1000, 1001), k=size)
            # One decimal place, so larger float arrays hold repeated values.
            floats = [v / 10 for v in rng.choices(range(-10_000, 10_001), k=size)]
            self._values[key] = (ints, floats)
        return self._values[key]

    def inputs(self, typecode, size, which=0):
        """(array.array, numpy.ndarray or None) holding the same values."""
        key = (typecode, size, which)
        if key not in self._inputs:
            ints, floats = self._draw(size, which)
            a = array(typecode, ints if typecode == "i" else floats)
            n = None
            if self.np is not None:
                n = self.np.frombuffer(a, dtype=NUMPY_DTYPES[typecode]).copy()
            self._inputs[key] = (a, n)
        return self._inputs[key]


def _numpy(env, name, fn, first, *consts, inplace=False):
    if env.np is None:
        return Impl(name, None, None, skip=NO_NUMPY)
    return Impl(name, fn, first, consts, inplace)


def _numpy_function(env, dotted):
    """numpy.NAME for a peer labelled "numpy.NAME", or None without numpy."""
    return env.np and getattr(env.np, dotted.removeprefix("numpy."))


def _increment(x):
    return x + 1


def _double(x):
    return x * 2


def _positive(x):
    return x > 0


_consume = functools.partial(deque, maxlen=0)


# -- aggregations ----------------------------------------------------------

def _aggregate(tv_fn, builtin_name, builtin_fn, numpy_name, with_ndarray=False, divided=False):
    def build(env, tc, size):
        a, n = env.inputs(tc, size)
        impls = [Impl("telvaran", tv_fn, a)]
        if with_ndarray:
            impls.append(_numpy(env, "telvaran (ndarray)", tv_fn, n))
        impls.append(Impl(builtin_name, builtin_fn, a))
        if divided:
            impls.append(Impl("sum(a) / len(a)", lambda a: sum(a) / len(a), a))
        impls.append(_numpy(env, numpy_name, _numpy_function(env, numpy_name), n))
        if tv_fn is tv.sum and tc == "d":
            if env.floor is not None:
                impls.append(Impl("floor (bare C)", env.floor.sum, a))
            else:
                impls.append(Impl("floor (bare C)", None, None, skip="the floor could not be built"))
        return impls

    return build


# -- element-wise and in-place ----------------------------------------------

def _elementwise(tv_fn, numpy_name, sign):
    join = operator.add if sign == "+" else operator.mul

    def build(env, tc, size):
        a, n = env.inputs(tc, size)
        b, m = env.inputs(tc, size, which=1)
        comprehension = lambda a, b: array(tc, [join(x, y) for x, y in zip(a, b)])  # noqa: E731
        impls = [Impl("telvaran", tv_fn, a, (b,))]
        if tv_fn is tv.add:
            impls.append(_numpy(env, "telvaran (ndarray)", tv_fn, n, m))
        impls.append(_numpy(env, numpy_name, _numpy_function(env, numpy_name), n, m))
        impls.append(Impl(f"array(tc, [x {sign} y ...])", comprehension, a, (b,)))
        return impls

    return build


def _scale(env, tc, size):
    a, n = env.inputs(tc, size)
    factor = 3 if tc == "i" else 1.5
    return [
        Impl("telvaran", tv.scale, a, (factor,), inplace=True),
        _numpy(env, "ndarray *= factor", operator.imul, n, factor, inplace=True),
    ]


def _clip(env, tc, size):
    a, n = env.inputs(tc, size)
    np = env.np
    return [
        Impl("telvaran", tv.clip, a, (-500, 500), inplace=True),
        _numpy(env, "numpy.clip(out=)", lambda n: np.clip(n, -500, 500, out=n), n, inplace=True),
    ]


# -- ordering --------------------------------------------------------------

def _sort(env, tc, size):
    a, n = env.inputs(tc, size)
    np = env.np
    return [
        Impl("telvaran", tv.sort, a, inplace=True),
        _numpy(env, "telvaran (ndarray)", tv.sort, n, inplace=True),
        _numpy(env, "numpy.sort(kind='stable')", np and functools.partial(np.sort, kind="stable"), n),
        _numpy(env, "numpy.sort", np and np.sort, n),
        _numpy(env, "ndarray.sort(kind='stable')", np and functools.partial(np.ndarray.sort, kind="stable"),
               n, inplace=True),
        Impl("array(tc, sorted(a))", lambda a: array(tc, sorted(a)), a),
    ]


def _unique(env, tc, size):
    a, n = env.inputs(tc, size)
    return [
        Impl("telvaran", tv.unique, a),
        _numpy(env, "numpy.unique", env.np and env.np.unique, n),
        Impl("array(tc, sorted(set(a)))", lambda a: array(tc, sorted(set(a))), a),
    ]


# -- statistics ------------------------------------------------------------

def _statistic(tv_fn, numpy_name, stats_name, stats_fn, limit=None):
    def build(env, tc, size):
        a, n = env.inputs(tc, size)
        peer = Impl(stats_name, stats_fn, a)
        if limit is not None and size > limit:
            peer.skip = f"too slow above {limit:,} elements"
        return [
            Impl("telvaran", tv_fn, a),
            _numpy(env, numpy_name, _numpy_function(env, numpy_name), n),
            peer,
        ]

    return build


# -- callbacks, iteration, lazy chains ----------------------------------------

def _map(env, tc, size):
    a, _ = env.inputs(tc, size)
    return [
        Impl("telvaran", tv.map, a, (_increment,)),
        Impl("array(tc, map(f, a))", lambda a: array(tc, map(_increment, a)), a),
    ]


def _filter(env, tc, size):
    a, _ = env.inputs(tc, size)
    return [
        Impl("telvaran", tv.filter, a, (_positive,)),
        Impl("array(tc, filter(p, a))", lambda a: array(tc, filter(_positive, a)), a),
    ]


def _reduce(env, tc, size):
    a, _ = env.inputs(tc, size)
    return [
        Impl("telvaran", tv.reduce, a, (operator.add,)),
        Impl("functools.reduce(f, a)", functools.partial(functools.reduce, operator.add), a),
    ]


def _iterator(env, tc, size):
    a, _ = env.inputs(tc, size)
    return [
        Impl("ArrayIterator", lambda a: _consume(tv.array_iterator(a)), a),
        Impl("iter(array.array)", _consume, a),
        Impl("iter(memoryview)", lambda a: _consume(memoryview(a)), a),
    ]


def _lazy_chain(a):
    return tv.lazy_array(a).map(_increment).filter(_positive).map(_double).collect()


def _direct_chain(a):
    return tv.map(tv.filter(tv.map(a, _increment), _positive), _double)


def _lazy(env, tc, size):
    a, _ = env.inputs(tc, size)
    builtin = lambda a: array(tc, map(_double, filter(_positive, map(_increment, a))))  # noqa: E731
    return [
        Impl("LazyArray chain", _lazy_chain, a),
        Impl("direct telvaran calls", _direct_chain, a),
        Impl("builtins map/filter", builtin, a),
    ]


OPERATIONS = [
    Operation("sum", "sum", NUMERIC, _aggregate(tv.sum, "builtins sum", sum, "numpy.sum", with_ndarray=True)),
    Operation("mean", "mean", NUMERIC,
              _aggregate(tv.mean, "statistics.fmean", statistics.fmean, "numpy.mean", divided=True)),
    Operation("min", "min", NUMERIC, _aggregate(tv.min, "builtins min", min, "numpy.min")),
    Operation("max", "max", NUMERIC, _aggregate(tv.max, "builtins max", max, "numpy.max")),
    Operation("add", "add (new array)", NUMERIC, _elementwise(tv.add, "numpy.add", "+")),
    Operation("multiply", "multiply (new array)", NUMERIC, _elementwise(tv.multiply, "numpy.multiply", "*")),
    Operation("scale", "scale (in place)", NUMERIC, _scale),
    Operation("clip", "clip (in place)", NUMERIC, _clip),
    Operation("sort", "sort (in place)", NUMERIC, _sort),
    Operation("unique", "unique", MAIN, _unique),
    Operation("var", "var", MAIN,
              _statistic(tv.var, "numpy.var", "statistics.pvariance", statistics.pvariance,
                         STATISTICS_VARIANCE_LIMIT)),
    Operation("std", "std", MAIN,
              _statistic(tv.std, "numpy.std", "statistics.pstdev", statistics.pstdev,
                         STATISTICS_VARIANCE_LIMIT)),
    Operation("median", "median", MAIN, _statistic(tv.median, "numpy.median", "statistics.median",
                                                   statistics.median)),
    Operation("map", "map (f = x + 1)", MAIN, _map),
    Operation("filter", "filter (p = x > 0)", MAIN, _filter),
    Operation("reduce", "reduce (fn = operator.add)", MAIN, _reduce),
    Operation("iterator", f"ArrayIterator: iterating {ITERATOR_SIZE:,} elements", MAIN, _iterator,
              sizes=(ITERATOR_SIZE,)),
    Operation("lazy", "LazyArray chain map(x + 1).filter(x > 0).map(x * 2).collect()", MAIN, _lazy),
]

BY_NAME = {op.name: op for op in OPERATIONS}
