"""What the benchmark measures: every operation against its closest peers.

A case is one operation at one element type and size. For each case an
operation's builder lists the implementations to time: telvaran on each kind
of input it reads (``array.array``, ``numpy.ndarray``, ``memoryview``, a
``pyarrow.Array`` and a two-chunk ``pyarrow.ChunkedArray``; the reductions
also a ChunkedArray of 64 chunks, iteration also ChunkedArrays of one chunk
and of one-element chunks), the peers doing
the same work (numpy, bottleneck, the standard library, ``pyarrow.compute``)
and, where one is defined, a floor: a bare C loop over the same memory.

Each implementation is called as ``fn(first, *consts)``; in-place
implementations get a fresh copy of ``first`` for every call, made before
the clock starts.

Every peer is compared with telvaran on the peer's own kind of input
(numpy peers with telvaran on the same numpy array, and so on); a floor,
which reads any buffer, with telvaran on the ``array.array``.
"""

from __future__ import annotations

import copy
import functools
import importlib.util
import operator
import random
import statistics
from array import array
from pathlib import Path
from collections import deque
from dataclasses import dataclass, field

import telvaran as tv

SIZES = (8, 1_000, 100_000, 1_000_000, 10_000_000)
QUICK_SIZES = (8, 1_000, 100_000)

TYPE_NAMES = {"b": "int8", "B": "uint8", "h": "int16", "i": "int32", "l": "int64", "L": "uint64", "f": "float32",
              "d": "float64"}
TYPE_CODES = {name: code for code, name in TYPE_NAMES.items()}
ARROW_TYPES = dict(TYPE_NAMES)

# Element types per operation. Selection and sorting have a loop per width,
# so they run every type; reductions run every type for min/max and the
# float types that have their own blocked loop for sum/mean.
ALL = ("b", "h", "i", "l", "f", "d")
SORTED_TYPES = (*ALL, "L")  # unsigned 64-bit keys compare differently from signed ones
NUMERIC = ("i", "f", "d")
MAIN = ("i", "d")
FLOATS = ("f", "d")
# The unsigned types run where their own loops differ: median of bytes
# (selection by counts or by byte compress), var and std of 64-bit integers
# (a conversion to double that signed integers do not need).
NARROW = ("b", "B")
WIDE_INTEGERS = ("l", "L")

# The kinds of input telvaran reads, by the names used in columns and the plot.
ARRAY, NUMPY, MEMORYVIEW, ARROW, CHUNKED = (
    "array.array", "numpy", "memoryview", "pyarrow", "pyarrow chunked")
READ_KINDS = (ARRAY, NUMPY, MEMORYVIEW, ARROW, CHUNKED)
# ChunkedArrays of 64 chunks (as a Parquet column or a query result comes),
# of one chunk, and of one element per chunk.
CHUNKS64, ONE_CHUNK, SINGLES = "pyarrow 64 chunks", "pyarrow one chunk", "pyarrow one-element chunks"
ARROW_KINDS = (ARROW, CHUNKED, CHUNKS64, ONE_CHUNK, SINGLES)
# Arrow data from another library, read through its Arrow export.
POLARS = "polars Series"
WRITE_KINDS = (ARRAY, NUMPY, MEMORYVIEW)  # in-place operations refuse Arrow inputs

# A memoryview is the same memory and the same loop as the array.array it
# views; it differs only in what the call costs, so it is timed where that
# cost shows. Arrow inputs are timed up to a million elements.
MEMORYVIEW_MAX = 1_000
ARROW_MAX = 1_000_000
SINGLES_MAX = 4_000  # a chunk per element: building 100,000 of them takes long
# Standard-library peers that run Python code per element stop here; above
# it one call takes seconds and says nothing new.
STDLIB_MAX = 1_000_000
SORTING_STDLIB_MAX = 100_000
EXACT_STATISTICS_MAX = 1_000  # statistics.pvariance sums exact fractions
# Callback operations call Python per element: past a million elements the
# cost per element is long settled.
CALLBACK_MAX = 1_000_000
ITERATION_MAX = 100_000
# The bandwidth floor is shown where memory traffic can dominate.
FLOOR_MIN = 100_000

ROLES = ("telvaran", "peer", "floor")

# Integer values span most of each type's range, as data does; the second
# operand of add/multiply is small, so that products stay in range for the
# standard library's checked conversion. Floats have one decimal place, so
# larger arrays hold repeated values.
INT_RANGES = {"b": 100, "h": 30_000, "i": 1_000_000, "l": 10**15}
# Unsigned types from 0: uint8 over the same 201 values as int8, uint64 over
# its whole range, half of it at 2^63 and above.
UNSIGNED_RANGES = {"B": 200, "L": 2**64 - 1}
SECOND_OPERAND_RANGE = 1_000
FLOAT_STEPS = 10_000  # values k / 10 for k in [-FLOAT_STEPS, FLOAT_STEPS]


@dataclass
class Impl:
    name: str                 # the row in the table, unique within an operation
    fn: object
    first: object
    consts: tuple = ()
    fresh: object = None      # in-place: makes a new copy of first for every call
    kind: str = ARRAY         # the kind of input it reads
    role: str = "peer"        # "telvaran", "peer" or "floor"
    legend: str = ""          # the figure's colour: one per implementation family
    skip: str = ""            # set when it cannot run here, with the reason

    def __post_init__(self):
        if not self.legend:
            self.legend = self.name


@dataclass
class Operation:
    name: str
    title: str
    typecodes: tuple
    build: object                # (Env, typecode, size) -> list[Impl]
    max_size: int | None = None  # the largest size of the run it is timed at
    per_call: bool = False       # its cost does not grow with the size (slice)
    sizes: tuple | None = None   # its own sizes, up to the run's largest, instead of the run's
    # Repeats of each timed loop, where they are not the run's: more where a
    # goal compares telvaran's times on many inputs with one another, each
    # of which the machine's other work can slow.
    repeats: int | None = None


@dataclass
class Data:
    """One set of values in every kind of input, made when first asked for."""
    typecode: str
    values: object  # array.array
    env: "Env"
    _kinds: dict = field(default_factory=dict)

    def get(self, kind):
        """The values as an input of the kind, or None when its library is missing."""
        if kind not in self._kinds:
            self._kinds[kind] = self._make(kind)
        return self._kinds[kind]

    def _make(self, kind):
        np, pa = self.env.np, self.env.pa
        if kind == ARRAY:
            return self.values
        if kind == MEMORYVIEW:
            return memoryview(self.values)
        if kind == NUMPY:
            return None if np is None else np.frombuffer(self.values, dtype=self.values.typecode).copy()
        if kind == POLARS:
            source = self.get(NUMPY)
            return None if self.env.pl is None or source is None else self.env.pl.Series(source)
        if pa is None:
            return None
        arrow_type = getattr(pa, ARROW_TYPES[self.typecode])()
        source = self.get(NUMPY)
        if source is None:
            source = self.values.tolist()
        if kind == ARROW:
            return pa.array(source, type=arrow_type)
        pieces = {CHUNKED: 2, CHUNKS64: 64, ONE_CHUNK: 1, SINGLES: len(self.values)}[kind]
        bounds = [len(self.values) * k // pieces for k in range(pieces + 1)]
        return pa.chunked_array([pa.array(source[a:b], type=arrow_type) for a, b in zip(bounds, bounds[1:])],
                                type=arrow_type)


class Env:
    """The run's optional libraries and its cache of input data."""

    def __init__(self, np=None, bn=None, pa=None, pc=None, floor=None, floor_why="", pl=None):
        self.np, self.bn, self.pa, self.pc, self.pl = np, bn, pa, pc, pl
        self.floor = floor
        self.floor_why = floor_why
        self._data: dict[tuple[str, int, int], Data] = {}

    def missing(self, kind_or_library):
        """Why a kind of input or a peer's library is not available, or ""."""
        needs = "pyarrow" if kind_or_library in ARROW_KINDS else kind_or_library
        needs = "numpy" if needs == NUMPY else needs
        if needs == POLARS and (self.pl is None or self.np is None):
            return "polars (and numpy) are not installed"
        if needs == "numpy" and self.np is None:
            return "numpy is not installed"
        if needs == "pyarrow" and self.pa is None:
            return "pyarrow is not installed"
        if needs == "bottleneck" and self.bn is None:
            return "bottleneck is not installed"
        if needs == "floor" and self.floor is None:
            return f"the floor could not be built: {self.floor_why}"
        return ""

    def crafted(self, typecode, size):
        """Keys arranged against the vector sort's pivots, and the same keys in random order
        (numpy arrays; see tests/sort_adversary.py)."""
        key = (typecode, size, "crafted")
        if key not in self._data:
            x = _sort_adversary().crafted(self.np, typecode, size)
            self._data[key] = (x, self.np.random.default_rng(size).permutation(x))
        return self._data[key]

    def data(self, typecode, size, which=0) -> Data:
        key = (typecode, size, which)
        if key not in self._data:
            self._data[key] = Data(typecode, self._draw(typecode, size, which), self)
        return self._data[key]

    def _draw(self, typecode, size, which):
        seed = 1000 * size + 10 * which + "bhilfdBL".index(typecode)
        if which:
            low, high = (0 if typecode in UNSIGNED_RANGES else -SECOND_OPERAND_RANGE), SECOND_OPERAND_RANGE
        elif typecode in UNSIGNED_RANGES:
            low, high = 0, UNSIGNED_RANGES[typecode]
        else:
            high = FLOAT_STEPS if typecode in "fd" else INT_RANGES[typecode]
            low = -high
        scale = 10 if typecode in "fd" and not which else 1
        if self.np is not None:
            rng = self.np.random.default_rng(seed)
            raw = rng.integers(low, high, size, dtype=self.np.uint64 if high >= 2**63 else self.np.int64,
                               endpoint=True)
            raw = raw / scale if scale != 1 else raw
            return array(typecode, raw.astype(typecode).tobytes())
        rng = random.Random(seed)
        if scale != 1:
            return array(typecode, (rng.randint(low, high) / scale for _ in range(size)))
        return array(typecode, (rng.randint(low, high) for _ in range(size)))


def fresh_copy(kind):
    """A function making a new, writable copy of an input of the kind."""
    if kind == MEMORYVIEW:
        return lambda m: memoryview(copy.copy(m.obj))
    return copy.copy


# -- building blocks -------------------------------------------------------

def _kind_applies(kind, size):
    if kind == MEMORYVIEW:
        return size <= MEMORYVIEW_MAX
    if kind == SINGLES:
        return size <= SINGLES_MAX
    if kind in ARROW_KINDS or kind == POLARS:
        return size <= ARROW_MAX
    return True


def tv_legend(kind):
    return f"telvaran ({kind})"


def telvaran(env, fn, size, data, *consts, kinds=READ_KINDS, inplace=False, others=()):
    """telvaran's fn on each kind of input; others are Data operands passed in the same kind."""
    impls = []
    for kind in kinds:
        if not _kind_applies(kind, size):
            continue
        name = tv_legend(kind)
        why = env.missing(kind)
        if why:
            impls.append(Impl(name, None, None, kind=kind, role="telvaran", skip=why))
            continue
        operands = tuple(d.get(kind) for d in others)
        impls.append(Impl(name, fn, data.get(kind), operands + consts, kind=kind, role="telvaran",
                          fresh=fresh_copy(kind) if inplace else None))
    return impls


def peer(env, name, fn, first, *consts, kind=ARRAY, needs="", legend="", inplace=False,
         max_size=None, size=0):
    """A peer; needs names the library it needs, max_size where it stops being timed."""
    if max_size is not None and size > max_size:
        return []
    legend = legend or {"numpy": "numpy", "bottleneck": "bottleneck", "pyarrow": "pyarrow.compute",
                        "floor": "C floor"}.get(needs, "stdlib")
    role = "floor" if needs == "floor" else "peer"
    why = (env.missing(needs) if needs else "") or env.missing(kind)
    if why:
        return [Impl(name, None, None, kind=kind, role=role, legend=legend, skip=why)]
    return [Impl(name, fn, first, consts, kind=kind, role=role, legend=legend,
                 fresh=fresh_copy(kind) if inplace else None)]


def _attr(module, dotted):
    """module.a.b for a peer, or None when the module is missing."""
    if module is None:
        return None
    return functools.reduce(getattr, dotted.split("."), module)


def _read_floor(env, data, size):
    if size < FLOOR_MIN:
        return []
    return peer(env, "C floor (plain read)", env.floor and env.floor.read, data.get(ARRAY),
                needs="floor", legend="C floor (plain read)")


def _increment(x):
    return x + 1


def _double(x):
    return x * 2


def _positive(x):
    return x > 0


_consume = functools.partial(deque, maxlen=0)


# -- reductions --------------------------------------------------------------

def _reduction(tv_fn, numpy_name, bottleneck_name, stdlib_name, stdlib_fn, compute_name):
    def build(env, tc, size):
        d = env.data(tc, size)
        np_, bn, pc = env.np, env.bn, env.pc
        impls = telvaran(env, tv_fn, size, d, kinds=(*READ_KINDS, CHUNKS64, POLARS))
        impls += peer(env, f"numpy.{numpy_name}", _attr(np_, numpy_name), d.get(NUMPY),
                      kind=NUMPY, needs="numpy")
        impls += peer(env, f"bottleneck.{bottleneck_name}", _attr(bn, bottleneck_name), d.get(NUMPY),
                      kind=NUMPY, needs="bottleneck")
        impls += peer(env, stdlib_name, stdlib_fn, d.get(ARRAY), max_size=STDLIB_MAX, size=size)
        if size <= ARROW_MAX:
            for kind, name in ((ARROW, ""), (CHUNKS64, f" ({CHUNKS64})")):
                impls += peer(env, f"pyarrow.compute.{compute_name}{name}", _attr(pc, compute_name), d.get(kind),
                              kind=kind, needs="pyarrow")
        if tv_fn is tv.sum and tc == "d":
            impls += peer(env, "C floor (same loop)", env.floor and env.floor.sum, d.get(ARRAY),
                          needs="floor", legend="C floor (same loop)")
        impls += _read_floor(env, d, size)
        return impls

    return build


# -- element-wise and in-place ------------------------------------------------

def _elementwise(tv_fn, numpy_name, sign):
    join = operator.add if sign == "+" else operator.mul

    def build(env, tc, size):
        a, b = env.data(tc, size), env.data(tc, size, which=1)
        impls = telvaran(env, tv_fn, size, a, others=(b,))
        impls += peer(env, f"numpy.{numpy_name}", _attr(env.np, numpy_name), a.get(NUMPY), b.get(NUMPY),
                      kind=NUMPY, needs="numpy")
        comprehension = lambda x, y: array(tc, [join(p, q) for p, q in zip(x, y)])  # noqa: E731
        impls += peer(env, f"array(tc, [x {sign} y ...])", comprehension, a.get(ARRAY), b.get(ARRAY),
                      max_size=SORTING_STDLIB_MAX, size=size)
        return impls

    return build


def _scale(env, tc, size):
    d = env.data(tc, size)
    factor = 3 if tc in "bhil" else 1.5
    impls = telvaran(env, tv.scale, size, d, factor, kinds=WRITE_KINDS, inplace=True)
    impls += peer(env, "ndarray *= factor", operator.imul, d.get(NUMPY), factor, kind=NUMPY,
                  needs="numpy", inplace=True)
    return impls


def _clip(env, tc, size):
    d = env.data(tc, size)
    np_ = env.np
    impls = telvaran(env, tv.clip, size, d, -500, 500, kinds=WRITE_KINDS, inplace=True)
    impls += peer(env, "numpy.clip(out=)", lambda n: np_.clip(n, -500, 500, out=n), d.get(NUMPY),
                  kind=NUMPY, needs="numpy", inplace=True)
    return impls


def _numpy_normalize(n):
    low, high = n.min(), n.max()
    n -= low
    n /= high - low


def _normalize(env, tc, size):
    d = env.data(tc, size)
    impls = telvaran(env, tv.normalize, size, d, kinds=WRITE_KINDS, inplace=True)
    impls += peer(env, "n -= min; n /= max - min", _numpy_normalize, d.get(NUMPY), kind=NUMPY,
                  needs="numpy", inplace=True)
    return impls


# -- ordering ----------------------------------------------------------------

def _sort(env, tc, size):
    d = env.data(tc, size)
    np_ = env.np
    impls = telvaran(env, tv.sort, size, d, kinds=WRITE_KINDS, inplace=True)
    impls += peer(env, "ndarray.sort()", np_ and np_.ndarray.sort, d.get(NUMPY), kind=NUMPY,
                  needs="numpy", inplace=True)
    impls += peer(env, "ndarray.sort(kind='stable')", np_ and functools.partial(np_.ndarray.sort, kind="stable"),
                  d.get(NUMPY), kind=NUMPY, needs="numpy", legend="numpy (stable sort)", inplace=True)
    impls += peer(env, "a[:] = array(tc, sorted(a))", _sorted_into, d.get(ARRAY), inplace=True,
                  max_size=SORTING_STDLIB_MAX, size=size)
    return impls


def _sorted_into(a):
    a[:] = array(a.typecode, sorted(a))


# Keys arranged so that the evenly spaced pivot samples of the vector sort (the
# AVX-512 kernels) always set aside only a few of them, against the same keys
# in random order: no input should cost much more than a random one.
CRAFTED_SIZES = (16_384, 262_144, 1_000_000)
CRAFTED_TYPES = ("i", "l", "L", "f", "d")
CRAFTED, SHUFFLED = "telvaran (numpy, crafted order)", "telvaran (numpy, random order)"


def _sort_adversary():
    path = Path(__file__).resolve().parent.parent / "tests" / "sort_adversary.py"
    spec = importlib.util.spec_from_file_location("sort_adversary", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _sort_crafted(env, tc, size):
    if env.np is None:
        return [Impl(CRAFTED, None, None, kind=NUMPY, role="telvaran", skip=env.missing(NUMPY))]
    crafted, shuffled = env.crafted(tc, size)
    return [Impl(CRAFTED, tv.sort, crafted, kind=NUMPY, role="telvaran", legend="telvaran (numpy)",
                 fresh=copy.copy),
            Impl(SHUFFLED, tv.sort, shuffled, kind=NUMPY, legend="telvaran, random order", fresh=copy.copy)]


def _reverse_numpy(n):
    n[...] = n[::-1]


def _reverse(env, tc, size):
    d = env.data(tc, size)
    impls = telvaran(env, tv.reverse, size, d, kinds=WRITE_KINDS, inplace=True)
    impls += peer(env, "x[...] = x[::-1]", _reverse_numpy, d.get(NUMPY), kind=NUMPY, needs="numpy",
                  inplace=True)
    impls += peer(env, "array.reverse()", array.reverse, d.get(ARRAY), inplace=True)
    return impls


def _unique(env, tc, size):
    d = env.data(tc, size)
    impls = telvaran(env, tv.unique, size, d)
    impls += peer(env, "numpy.unique", _attr(env.np, "unique"), d.get(NUMPY), kind=NUMPY, needs="numpy")
    impls += peer(env, "array(tc, sorted(set(a)))", lambda a: array(tc, sorted(set(a))), d.get(ARRAY),
                  max_size=SORTING_STDLIB_MAX, size=size)
    if size <= ARROW_MAX:
        # Unordered: pyarrow gives the distinct values in order of first appearance.
        impls += peer(env, "pyarrow.compute.unique", _attr(env.pc, "unique"), d.get(ARROW), kind=ARROW,
                      needs="pyarrow")
    return impls


# -- statistics ----------------------------------------------------------------

def _mean_of(env, data):
    n = data.get(NUMPY)
    if n is not None:
        return float(n.mean(dtype="float64"))
    return sum(data.values) / len(data.values)


def _var_floor(read, sqdev):
    """The least a variance can cost: one pass at read bandwidth (the mean), then the ordered loop."""
    def floor(a, mean):
        read(a)
        return sqdev(a, mean)

    return floor


def _lower_median(pc):
    """pyarrow's median as telvaran defines it: the element at the lower middle (exact for integers)."""
    return pc and (lambda p: pc.quantile(p, q=0.5, interpolation="lower"))


def _statistic(tv_fn, numpy_name, bottleneck_name, stdlib_name, stdlib_fn, stdlib_max):
    def build(env, tc, size):
        d = env.data(tc, size)
        impls = telvaran(env, tv_fn, size, d, kinds=(*READ_KINDS, POLARS) if tv_fn is tv.median else READ_KINDS)
        impls += peer(env, f"numpy.{numpy_name}", _attr(env.np, numpy_name), d.get(NUMPY), kind=NUMPY,
                      needs="numpy")
        impls += peer(env, f"bottleneck.{bottleneck_name}", _attr(env.bn, bottleneck_name), d.get(NUMPY),
                      kind=NUMPY, needs="bottleneck")
        impls += peer(env, stdlib_name, stdlib_fn, d.get(ARRAY), max_size=stdlib_max, size=size)
        if tv_fn is tv.median and size <= ARROW_MAX:
            impls += peer(env, "pyarrow.compute.quantile", _lower_median(env.pc), d.get(ARROW), kind=ARROW,
                          needs="pyarrow")
        if tv_fn is tv.var and size >= FLOOR_MIN:
            floor = env.floor
            mean = _mean_of(env, d)
            impls += peer(env, "C floor (ordered squared deviations)", floor and floor.sqdev,
                          d.get(ARRAY), mean, needs="floor", legend="C floor (ordered loop)")
            impls += peer(env, "C floor (plain read + ordered squared deviations)",
                          floor and _var_floor(floor.read, floor.sqdev), d.get(ARRAY), mean,
                          needs="floor", legend="C floor (read + ordered loop)")
        return impls

    return build


# -- median over many inputs ------------------------------------------------------
# One type and size, inputs of five shapes drawn with several seeds each: a
# selection whose speed depends on the data shows as a spread between them.
# Each input is a kind of its own, so that a row's ratio is to numpy on the
# same input.
SEED_SHAPES = ("normal", "uniform", "few distinct", "sorted", "with NaN")
SEEDS_PER_SHAPE = 4
SEEDS_SIZE = 1_000_000


def seed_labels():
    return [f"{shape} #{seed}" for shape in SEED_SHAPES for seed in range(SEEDS_PER_SHAPE)]


def _seed_input(np_, shape, seed, size):
    rng = np_.random.default_rng(seed)
    if shape == "uniform":
        return rng.uniform(-1.0, 1.0, size)
    if shape == "few distinct":
        return rng.integers(0, 5, size).astype(np_.float64)
    values = rng.standard_normal(size)
    if shape == "sorted":
        values.sort()
    elif shape == "with NaN":
        values[rng.integers(0, size, size // 100)] = np_.nan
    return values


def _median_seeds(env, tc, size):
    why = env.missing("numpy")
    impls = []
    for label in seed_labels():
        shape, _, seed = label.partition(" #")
        values = None if why else _seed_input(env.np, shape, int(seed), size)
        impls.append(Impl(f"telvaran ({label})", tv.median, values, kind=label, role="telvaran",
                          legend=tv_legend(NUMPY), skip=why))
        impls.append(Impl(f"numpy.median ({label})", _attr(env.np, "median"), values, kind=label,
                          legend="numpy", skip=why))
    return impls


# -- slices ----------------------------------------------------------------------

def _slice(env, tc, size):
    d = env.data(tc, size)
    start, end = size // 4, 3 * size // 4
    impls = telvaran(env, tv.slice, size, d, start, end, kinds=(ARRAY, NUMPY, MEMORYVIEW))
    impls += peer(env, "memoryview(a)[i:j]", lambda a, i, j: memoryview(a)[i:j], d.get(ARRAY), start, end)
    impls += peer(env, "memoryview(n)[i:j]", lambda n, i, j: memoryview(n)[i:j], d.get(NUMPY), start, end,
                  kind=NUMPY)
    if size <= MEMORYVIEW_MAX:
        impls += peer(env, "m[i:j]", lambda m, i, j: m[i:j], d.get(MEMORYVIEW), start, end, kind=MEMORYVIEW)
    return impls


# -- callbacks, iteration, lazy chains ------------------------------------------------
# The standard-library equivalent on each kind gives the callable the same
# Python numbers telvaran gives it and returns the same kind of result: for
# numpy, np.fromiter over tolist() (iterating the ndarray itself would hand
# the callable numpy scalars, which are slower to compute with); for
# pyarrow, pyarrow.array over to_pylist().

def _builtins_on_kinds(env, size, d, makers, inplace=False):
    impls = []
    for kind, name, fn in makers:
        if _kind_applies(kind, size):
            impls += peer(env, name, fn, d.get(kind), kind=kind, inplace=inplace)
    return impls


def _map(env, tc, size):
    d = env.data(tc, size)
    np_, pa = env.np, env.pa
    impls = telvaran(env, tv.map, size, d, _increment, kinds=(ARRAY, NUMPY, MEMORYVIEW, ARROW))
    impls += _builtins_on_kinds(env, size, d, [
        (ARRAY, "array(tc, map(f, a))", lambda a: array(tc, map(_increment, a))),
        (NUMPY, "np.fromiter(map(f, n.tolist()))",
         lambda n: np_.fromiter(map(_increment, n.tolist()), n.dtype, len(n))),
        (MEMORYVIEW, "array(tc, map(f, m))", lambda m: array(tc, map(_increment, m))),
        (ARROW, "pa.array(list(map(f, p.to_pylist())))",
         lambda p: pa.array(list(map(_increment, p.to_pylist())))),
    ])
    return impls


def _filter(env, tc, size):
    d = env.data(tc, size)
    np_, pa = env.np, env.pa
    impls = telvaran(env, tv.filter, size, d, _positive, kinds=(ARRAY, NUMPY, MEMORYVIEW, ARROW))
    impls += _builtins_on_kinds(env, size, d, [
        (ARRAY, "array(tc, filter(p, a))", lambda a: array(tc, filter(_positive, a))),
        (NUMPY, "np.fromiter(filter(p, n.tolist()))",
         lambda n: np_.fromiter(filter(_positive, n.tolist()), n.dtype)),
        (MEMORYVIEW, "array(tc, filter(p, m))", lambda m: array(tc, filter(_positive, m))),
        (ARROW, "pa.array(list(filter(p, p.to_pylist())))",
         lambda p: pa.array(list(filter(_positive, p.to_pylist())))),
    ])
    if size <= ARROW_MAX and env.pc is not None:
        pc = env.pc
        impls += peer(env, "pyarrow.compute.filter(p, p > 0)", lambda p: pc.filter(p, pc.greater(p, 0)),
                      d.get(ARROW), kind=ARROW, needs="pyarrow")
    return impls


def _reduce(env, tc, size):
    d = env.data(tc, size)
    fold = functools.partial(functools.reduce, operator.add)
    impls = telvaran(env, tv.reduce, size, d, operator.add, kinds=(ARRAY, NUMPY, MEMORYVIEW, ARROW))
    impls += _builtins_on_kinds(env, size, d, [
        (ARRAY, "functools.reduce(f, a)", fold),
        (NUMPY, "functools.reduce(f, n.tolist())", lambda n: fold(n.tolist())),
        (MEMORYVIEW, "functools.reduce(f, m)", fold),
        (ARROW, "functools.reduce(f, p.to_pylist())", lambda p: fold(p.to_pylist())),
    ])
    return impls


def _loop_map_inplace(a):
    for i in range(len(a)):
        a[i] = _increment(a[i])


def _map_inplace(env, tc, size):
    d = env.data(tc, size)
    np_ = env.np

    def numpy_map_inplace(n):
        n[:] = np_.fromiter(map(_increment, n.tolist()), n.dtype, len(n))

    impls = telvaran(env, tv.map_inplace, size, d, _increment, kinds=WRITE_KINDS, inplace=True)
    impls += _builtins_on_kinds(env, size, d, [
        (ARRAY, "for i: a[i] = f(a[i])", _loop_map_inplace),
        (NUMPY, "n[:] = np.fromiter(map(f, n.tolist()))", numpy_map_inplace),
        (MEMORYVIEW, "for i: m[i] = f(m[i])", _loop_map_inplace),
    ], inplace=True)
    return impls


def _iterator(env, tc, size):
    d = env.data(tc, size)
    impls = telvaran(env, lambda x: _consume(tv.array_iterator(x)), size, d,
                     kinds=(ARRAY, NUMPY, MEMORYVIEW, ONE_CHUNK, SINGLES))
    for impl in impls:
        impl.name = f"ArrayIterator ({impl.kind})"
        impl.legend = f"telvaran ({impl.kind})"
    impls += peer(env, "iter(array.array)", _consume, d.get(ARRAY))
    impls += peer(env, "iter(ndarray.tolist())", lambda n: _consume(n.tolist()), d.get(NUMPY), kind=NUMPY)
    if size <= MEMORYVIEW_MAX:
        impls += peer(env, "iter(memoryview)", _consume, d.get(MEMORYVIEW), kind=MEMORYVIEW)
    return impls


def _lazy_chain(a):
    return tv.lazy_array(a).map(_increment).filter(_positive).map(_double).collect()


def _direct_chain(a):
    return tv.map(tv.filter(tv.map(a, _increment), _positive), _double)


def _lazy(env, tc, size):
    d = env.data(tc, size)
    a = d.get(ARRAY)
    builtin = lambda a: array(tc, map(_double, filter(_positive, map(_increment, a))))  # noqa: E731
    return [
        Impl("LazyArray chain", _lazy_chain, a, role="telvaran", legend="telvaran (array.array)"),
        Impl("direct telvaran calls", _direct_chain, a, legend="telvaran, direct calls"),
        Impl("builtins map/filter", builtin, a, legend="stdlib"),
    ]


def _reduction_op(name, numpy_name, bottleneck_name, stdlib_name, stdlib_fn, compute_name, types):
    return Operation(name, name, types,
                     _reduction(getattr(tv, name), numpy_name, bottleneck_name, stdlib_name, stdlib_fn,
                                compute_name))


OPERATIONS = [
    _reduction_op("sum", "sum", "nansum", "builtins sum", sum, "sum", ("b", *NUMERIC)),
    _reduction_op("mean", "mean", "nanmean", "statistics.fmean", statistics.fmean, "mean", ("b", *NUMERIC)),
    _reduction_op("min", "min", "nanmin", "builtins min", min, "min", ALL),
    _reduction_op("max", "max", "nanmax", "builtins max", max, "max", ALL),
    Operation("var", "var", MAIN + WIDE_INTEGERS, _statistic(tv.var, "var", "nanvar", "statistics.pvariance",
                                             statistics.pvariance, EXACT_STATISTICS_MAX)),
    Operation("std", "std", MAIN + WIDE_INTEGERS, _statistic(tv.std, "std", "nanstd", "statistics.pstdev",
                                             statistics.pstdev, EXACT_STATISTICS_MAX)),
    Operation("median", "median", ALL + ("B",), _statistic(tv.median, "median", "median", "statistics.median",
                                                  statistics.median, SORTING_STDLIB_MAX)),
    Operation("median_seeds", f"median over {len(SEED_SHAPES) * SEEDS_PER_SHAPE} inputs "
              f"({SEEDS_PER_SHAPE} seeds each of {', '.join(SEED_SHAPES)})", ("d",), _median_seeds,
              sizes=(SEEDS_SIZE,), repeats=15),
    Operation("add", "add (new array)", NUMERIC, _elementwise(tv.add, "add", "+")),
    Operation("multiply", "multiply (new array)", NUMERIC, _elementwise(tv.multiply, "multiply", "*")),
    Operation("scale", "scale (in place)", NUMERIC, _scale),
    Operation("clip", "clip (in place)", NUMERIC, _clip),
    Operation("normalize", "normalize (in place)", FLOATS, _normalize),
    Operation("sort", "sort (in place)", SORTED_TYPES, _sort),
    Operation("sort_crafted", "sort of keys arranged against the vector sort's pivots", CRAFTED_TYPES,
              _sort_crafted, sizes=CRAFTED_SIZES),
    Operation("reverse", "reverse (in place)", ALL, _reverse),
    Operation("unique", "unique", NUMERIC, _unique),
    Operation("slice", "slice (the middle half, zero-copy)", MAIN, _slice, per_call=True),
    Operation("map", "map (f = x + 1)", MAIN, _map, max_size=CALLBACK_MAX),
    Operation("filter", "filter (p = x > 0)", MAIN, _filter, max_size=CALLBACK_MAX),
    Operation("reduce", "reduce (fn = operator.add)", MAIN, _reduce, max_size=CALLBACK_MAX),
    Operation("map_inplace", "map_inplace (f = x + 1)", MAIN, _map_inplace, max_size=CALLBACK_MAX),
    Operation("iterator", "ArrayIterator: iterating every element", MAIN, _iterator, max_size=ITERATION_MAX),
    Operation("lazy", "LazyArray map(x + 1).filter(x > 0).map(x * 2).collect()", MAIN, _lazy,
              max_size=ITERATION_MAX),
]

BY_NAME = {op.name: op for op in OPERATIONS}


def sizes_of(op, run_sizes):
    return tuple(s for s in op.sizes or run_sizes
                 if s <= max(run_sizes) and (op.max_size is None or s <= op.max_size))
