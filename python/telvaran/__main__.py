"""python -m telvaran: a short tour of every operation, then a quick speed table.

The tour calls each operation on an array.array, a numpy.ndarray, a
memoryview and pyarrow arrays and chunked arrays, printing the call and
what comes back. numpy and pyarrow are optional: their parts are skipped
when they are not installed. An operation that is not available in this
build is reported as such instead of stopping the tour.
"""

from __future__ import annotations

import argparse
import functools
import operator
import random
import statistics
import sys
import time
from array import array
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import telvaran as tv

LABEL_WIDTH = 44
MAX_SHOWN = 96


def _optional(name: str) -> ModuleType | None:
    try:
        return __import__(name)
    except ImportError:
        return None


np = _optional("numpy")
pa = _optional("pyarrow")


# -- showing values --------------------------------------------------------

def show(value: object) -> str:
    """A one-line picture of a result."""
    if isinstance(value, BaseException):
        text = f"{type(value).__name__}: {value}"
    elif isinstance(value, memoryview):
        text = f"memoryview(format {value.format!r}, {value.tolist()})"
    elif np is not None and isinstance(value, np.ndarray):
        text = f"numpy.ndarray[{value.dtype}]({value.tolist()})"
    elif pa is not None and isinstance(value, (pa.Array, pa.ChunkedArray)):
        text = f"pyarrow.{type(value).__name__}<{value.type}>({value.to_pylist()})"
    else:
        text = repr(value)
    return text if len(text) <= MAX_SHOWN else text[: MAX_SHOWN - 3] + "..."


Thunk = Callable[[], object]


def attempt(thunk: Thunk) -> object:
    """Runs thunk; returns its result, or the exception it raised."""
    try:
        return thunk()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return error


def line(label: str, text: str, comment: str = "") -> None:
    tail = f"   # {comment}" if comment else ""
    print(f"  {label:<{LABEL_WIDTH}} -> {text}{tail}")


def read(label: str, thunk: Thunk, comment: str = "") -> None:
    line(label, show(attempt(thunk)), comment)


def write(label: str, make: Callable[[], Any], operation: Callable[[Any], object],
          comment: str = "") -> None:
    """An in-place operation on a fresh input; shows the input afterwards."""
    target = make()
    outcome = attempt(lambda: operation(target))
    text = f"None; now {show(target)}" if outcome is None else show(outcome)
    line(label, text, comment)


# -- the tour --------------------------------------------------------------

def twice(v: Any) -> Any:
    return v * 2


def positive(v: Any) -> bool:
    return bool(v > 0)


def not_a_predicate(v: Any) -> Any:
    """Breaks the rule that predicates return a bool, to show what the module says."""
    return 1


def tour_kind(title: str, name: str, make: Callable[[], Any]) -> None:
    x = make()
    print(f"\n{title}:  {name} = {show(x)}")
    for op in ("sum", "mean", "min", "max", "var", "std", "median"):
        read(f"{op}({name})", functools.partial(getattr(tv, op), x))
    read(f"add({name}, {name})", lambda: tv.add(x, x))
    read(f"multiply({name}, {name})", lambda: tv.multiply(x, x))
    read(f"unique({name})", lambda: tv.unique(x))
    read(f"slice({name}, 1, 3)", lambda: tv.slice(x, 1, 3))
    read(f"map({name}, f)", lambda: tv.map(x, twice))
    read(f"filter({name}, p)", lambda: tv.filter(x, positive))
    read(f"reduce({name}, operator.add)", lambda: tv.reduce(x, operator.add))
    read(f"reduce({name}, operator.add, initial=100)", lambda: tv.reduce(x, operator.add, initial=100))
    read(f"list(array_iterator({name}))", lambda: list(tv.array_iterator(x)))
    read(f"next(ArrayIterator({name}))", lambda: next(tv.ArrayIterator(x)))
    read(f"lazy_array({name}).map(f).filter(p).collect()",
         lambda: tv.lazy_array(x).map(twice).filter(positive).collect())
    read(f"LazyArray({name}).map(f).len()", lambda: tv.LazyArray(x).map(twice).len())
    write(f"scale({name}, 2)", make, lambda t: tv.scale(t, 2))
    write(f"clip({name}, 0, 3)", make, lambda t: tv.clip(t, 0, 3))
    write(f"normalize({name})", make, tv.normalize)
    write(f"sort({name})", make, tv.sort)
    write(f"reverse({name})", make, tv.reverse)
    write(f"map_inplace({name}, f)", make, lambda t: tv.map_inplace(t, twice))


def tour_arrow() -> None:
    """pyarrow arrays and chunked arrays are read in place through the Arrow C data interface."""
    assert pa is not None
    tour_kind("pyarrow.Array", "r", lambda: pa.array([3, -1, 2, 2], type=pa.int32()))
    c = pa.chunked_array([[1.5, -2.0], [], [4.0, 1.5]])
    print(f"\npyarrow.ChunkedArray:  c = {show(c)}")
    for op in ("sum", "mean", "max", "median"):
        read(f"{op}(c)", functools.partial(getattr(tv, op), c))
    read("unique(c)", lambda: tv.unique(c), "results: pyarrow.array(list), type inferred")
    read("unique(r[1:])", lambda: tv.unique(pa.array([3, -1, 2, 2], type=pa.int32())[1:]),
         "a slice is read from its offset")
    read("lazy_array(c).map(f).filter(p).collect()", lambda: tv.lazy_array(c).map(twice).filter(positive).collect())
    read("list(array_iterator(c))", lambda: list(tv.array_iterator(c)))
    g = pa.array([1, None, 5], type=pa.int16())
    print(f"\nnulls:  g = {show(g)}")
    read("sum(g)", lambda: tv.sum(g))
    read("sum(g.fill_null(0))", lambda: tv.sum(g.fill_null(0)), "fill the nulls first")
    read("sum(g.drop_null())", lambda: tv.sum(g.drop_null()), "or drop them")
    read("sum(pyarrow.array([[1]]))", lambda: tv.sum(pa.array([[1]])), "a list type is not its items' type")
    read("slice(pyarrow.py_buffer(b'abcd'), 1, 3)", lambda: tv.slice(pa.py_buffer(b"abcd"), 1, 3))
    tour_producers()


class Producer:
    """Arrow data from a library of your own: any object with __arrow_c_array__."""

    def __init__(self, source: Any) -> None:
        self.source = source

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return self.source.__arrow_c_array__(requested_schema)  # type: ignore[no-any-return]


def tour_producers() -> None:
    """Any other object exporting Arrow data is read the same way; its results are array.array."""
    assert pa is not None
    o = Producer(pa.array([5, -3, 5, 8], type=pa.int16()))
    print("\nAny other Arrow producer (polars, pandas, nanoarrow, arro3, your own class):  "
          "o = Producer(pyarrow.array([5, -3, 5, 8], int16))")
    read("sum(o)", lambda: tv.sum(o))
    read("unique(o)", lambda: tv.unique(o), "results: array.array of the Arrow type")
    read("filter(o, p)", lambda: tv.filter(o, positive))
    write("sort(o)", lambda: o, tv.sort, "Arrow data is immutable")
    pl = _optional("polars")
    if pl is not None:
        s = pl.Series([2.5, -1.0, 4.0])
        read("median(polars.Series([2.5, -1.0, 4.0]))", lambda: tv.median(s))


def tour_rules() -> None:
    print("\nA few rules worth knowing:")
    read("sum(array('b', [100, 100]))", lambda: tv.sum(array("b", [100, 100])),
         "integers wrap in the element's width")
    read("sum(array('f', [16777216.0, 1.0]))", lambda: tv.sum(array("f", [16777216.0, 1.0])),
         "float32 data is summed in single precision")
    write("scale(array('i', [1, 2, 3]), 2.5)", lambda: array("i", [1, 2, 3]), lambda t: tv.scale(t, 2.5),
          "the factor is truncated to the element type")
    write("clip(array('b', [100]), 200, 300)", lambda: array("b", [100]), lambda t: tv.clip(t, 200, 300),
          "bounds saturate at the type's limits")
    write("sort(array('d', [0.0, -0.0, -1.0]))", lambda: array("d", [0.0, -0.0, -1.0]), tv.sort,
          "stable: 0.0 and -0.0 keep their order")
    read("median(array('i', [4, 1, 3, 2]))", lambda: tv.median(array("i", [4, 1, 3, 2])),
         "integers: the lower middle")
    read("median(array('d', [4.0, 1.0, 3.0, 2.0]))", lambda: tv.median(array("d", [4.0, 1.0, 3.0, 2.0])),
         "floats: the upper middle")
    read("filter(array('i', [1, 2]), lambda v: 1)", lambda: tv.filter(array("i", [1, 2]), not_a_predicate),
         "predicates must return a bool")
    write("sort(memoryview(b'...'))", lambda: memoryview(b"\x03\x01\x02"), tv.sort,
          "in-place operations need writable memory")


def tour() -> None:
    print(f"telvaran {tv.__version__}: {len(tv.__all__)} names: {', '.join(tv.__all__)}")
    print(f"numpy: {np.__version__ if np else 'not installed'}; "
          f"pyarrow: {pa.__version__ if pa else 'not installed'}")
    print("In the calls below, f = lambda v: v * 2 and p = lambda v: v > 0.")
    tour_kind("array.array", "a", lambda: array("d", [3.0, -1.0, 2.0, 0.5, 2.0]))
    if np is not None:
        tour_kind("numpy.ndarray", "n", lambda: np.array([4, -2, 7, 0, 7], dtype=np.int32))
    else:
        print("\nnumpy.ndarray: numpy is not installed, skipped")
    tour_kind("memoryview", "m", lambda: memoryview(array("f", [1.5, -0.25, 3.0, 1.5])))
    if pa is not None:
        tour_arrow()
    else:
        print("\npyarrow: not installed, skipped")
    tour_rules()


# -- the speed table -------------------------------------------------------

def per_call_ns(fn: Callable[..., object], first: Any, rest: tuple[Any, ...] = (),
                fresh: Callable[[Any], Any] | None = None, budget_ns: int = 20_000_000) -> float:
    """Best ns per call of fn(first, *rest); fresh copies first for each call when given."""
    def one_pass(count: int) -> float:
        inputs = [fresh(first) for _ in range(count)] if fresh else [first] * count
        start = time.perf_counter_ns()
        for item in inputs:
            fn(item, *rest)
        return (time.perf_counter_ns() - start) / count

    single = one_pass(1)
    if single >= budget_ns:
        return single
    count = max(1, min(int(budget_ns / 3 / single), 2_000 if fresh else 200_000))
    return min(one_pass(count) for _ in range(3))


def _format_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.0f} ns"


@dataclass
class Timed:
    label: str
    fn: Callable[..., object] | None  # None when the library is missing
    first: Any
    rest: tuple[Any, ...] = ()
    fresh: Callable[[Any], Any] | None = None  # copies first for every call, for in-place operations


def speed_cases(size: int) -> list[tuple[str, Timed, list[Timed]]]:
    """(operation, telvaran, its peers) per operation timed, on float64 arrays of size elements."""
    rng = random.Random(size)
    a = array("d", [rng.uniform(-1.0, 1.0) for _ in range(size)])
    b = array("d", [rng.uniform(-1.0, 1.0) for _ in range(size)])
    n = np.frombuffer(a, dtype=np.float64).copy() if np else None
    m = np.frombuffer(b, dtype=np.float64).copy() if np else None
    copy = operator.methodcaller("__copy__")

    def numpy(label: str, fn: Callable[..., object] | None, *rest: Any,
              fresh: Callable[[Any], Any] | None = None) -> Timed:
        return Timed(label, fn if np else None, n, rest, fresh)

    return [
        ("sum", Timed("sum(a)", tv.sum, a), [Timed("sum(a)", sum, a), numpy("numpy.sum(n)", np.sum if np else None)]),
        ("mean", Timed("mean(a)", tv.mean, a),
         [Timed("statistics.fmean(a)", statistics.fmean, a), numpy("numpy.mean(n)", np.mean if np else None)]),
        ("add", Timed("add(a, b)", tv.add, a, (b,)),
         [Timed("array(map(add, a, b))", lambda a: array("d", map(operator.add, a, b)), a),
          numpy("numpy.add(n, m)", np.add if np else None, m)]),
        # numpy's default sort is unstable, and on most processors much
        # faster than its stable one; telvaran's sort is stable.
        ("sort", Timed("sort(a)", tv.sort, a, (), copy),
         [Timed("array(sorted(a))", lambda a: array("d", sorted(a)), a),
          numpy("n.sort()", operator.methodcaller("sort"), fresh=copy),
          numpy("n.sort(kind='stable')", operator.methodcaller("sort", kind="stable"), fresh=copy)]),
    ]


def time_of(case: Timed) -> float | str:
    """Best ns per call of one implementation, or why there is none."""
    if case.fn is None:
        return "numpy not installed"
    fn = case.fn
    probe = case.fresh(case.first) if case.fresh else case.first
    outcome = attempt(lambda: fn(probe, *case.rest))
    if isinstance(outcome, BaseException):
        return type(outcome).__name__
    return per_call_ns(fn, case.first, case.rest, case.fresh)


RATIO_NOTE = "telvaran / peer = telvaran's time divided by the peer's: below 1, telvaran is faster"


def speed_table(sizes: Sequence[int]) -> None:
    print(f"\nSpeed on this machine, float64 arrays ({RATIO_NOTE}):")
    widths = (5, 10, 10, 24, 10)
    heads = ("op", "elements", "telvaran", "peer", "peer time", "telvaran / peer")
    print("  " + "  ".join(f"{h:<{w}}" for h, w in zip(heads, widths + (0,))).rstrip())
    for size in sizes:
        for name, mine, peers in speed_cases(size):
            mine_ns = time_of(mine)
            mine_text = mine_ns if isinstance(mine_ns, str) else _format_ns(mine_ns)
            for k, peer in enumerate(peers):
                peer_ns = time_of(peer)
                peer_text = peer_ns if isinstance(peer_ns, str) else _format_ns(peer_ns)
                ratio = ""
                if isinstance(mine_ns, float) and isinstance(peer_ns, float):
                    ratio = f"{mine_ns / peer_ns:#.2g}"
                lead = (name, f"{size:,}", mine_text) if k == 0 else ("", "", "")
                cells = (*lead, peer.label, peer_text, ratio)
                print("  " + "  ".join(f"{c:<{w}}" for c, w in zip(cells, widths + (0,))).rstrip(), flush=True)


DEFAULT_SIZES = (1_000, 1_000_000)


def element_count(text: str) -> int:
    """An argparse type: a positive whole number, with optional _ or , separators."""
    try:
        value = int(text.replace(",", "_"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m telvaran",
        description="A tour of telvaran: every operation called on an array.array, a "
                    "numpy.ndarray and a memoryview (numpy and pyarrow parts are skipped when "
                    "they are not installed), then a short table timing sum, mean, add and "
                    "sort against the standard library and numpy, as telvaran's time / the "
                    "peer's time (below 1, telvaran is faster).",
        epilog="`make bench` in a checkout runs the full benchmark.")
    parser.add_argument("--no-bench", action="store_true",
                        help="show the tour only, without the timings")
    parser.add_argument("--size", metavar="N", type=element_count, action="append",
                        help="time arrays of N float64 elements; give it again for more "
                             "sizes (default: %s)" % " and ".join(f"{n:,}" for n in DEFAULT_SIZES))
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    options = parse_arguments(argv)
    started = time.perf_counter()
    tour()
    if options.no_bench:
        return 0
    speed_table(options.size or DEFAULT_SIZES)
    print(f"\n(tour and table took {time.perf_counter() - started:.1f} s; "
          "`make bench` runs the full benchmark)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
