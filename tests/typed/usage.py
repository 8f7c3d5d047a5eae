"""Typed use of telvaran on array.array and memoryview, for the type checkers.

tests/test_typing.py checks this file with mypy and pyright and also runs
it. Nothing here needs numpy or pyarrow, so it is also checked against the
stubs alone, as a user without those libraries sees them. Each call in
`misuse` is one that the module refuses at run time: its `type: ignore`
comment is required, because the checkers run with unused ignores reported,
so a stub that let the call through would fail the check.
"""

from __future__ import annotations

import operator
from array import array
from typing import Any, assert_type

import telvaran as tv


class ArrowShaped:
    """The surface of a pyarrow.Array that the stubs look at."""

    type = "int32"
    null_count = 0

    def __len__(self) -> int:
        return 0

    def to_pylist(self) -> list[Any]:
        return []


class StreamProducer:
    """Any other library's Arrow data, such as a polars or pandas Series."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return None


def reading() -> None:
    ints = array("i", [3, 1, 2, 2])
    floats = array("d", [0.5, 2.0, -1.0])
    view = memoryview(floats)
    assert_type(tv.sum(ints), int)
    assert_type(tv.sum(floats), float)
    assert_type(tv.sum(view), int | float)
    assert_type(tv.mean(ints), float)
    assert_type(tv.var(view), float)
    assert_type(tv.min(ints), int)
    assert_type(tv.max(view), int | float)
    assert_type(tv.median(floats), float)
    assert_type(tv.slice(ints, 1, None), memoryview)
    assert_type(tv.slice(view, None, 2), memoryview)


def new_arrays() -> None:
    ints = array("i", [3, 1, 2, 2])
    floats = array("d", [0.5, 2.0, -1.0])
    view = memoryview(floats)
    assert_type(tv.add(ints, ints), array[int])
    assert_type(tv.multiply(view, floats), array[Any])
    assert_type(tv.unique(ints), array[int])
    assert_type(tv.unique(view), array[Any])
    assert_type(tv.map(floats, lambda v: v * 2), array[float])
    assert_type(tv.map(view, lambda v: v * 2), array[Any])
    assert_type(tv.filter(ints, lambda v: v > 1), array[int])
    assert_type(tv.filter(view, lambda v: v > 0), array[Any])


def folding() -> None:
    ints = array("i", [3, 1, 2])
    view = memoryview(array("f", [1.5, 2.5]))
    assert_type(tv.reduce(ints, lambda acc, v: acc * v), int)
    assert_type(tv.reduce(ints, operator.add), int)
    assert_type(tv.reduce(view, lambda acc, v: acc + v), int | float)
    assert_type(tv.reduce(ints, lambda acc, v: f"{acc}{v}", initial=""), str)
    seen: list[float] = []
    assert_type(tv.reduce(view, lambda acc, v: [*acc, v], initial=seen), list[float])


def in_place() -> None:
    ints = array("i", [3, 1, 2])
    floats = array("d", [0.5, 2.0, -1.0])
    view = memoryview(floats)
    tv.scale(ints, 2)
    tv.scale(view, 0.5)
    tv.clip(ints, 0, 5)
    tv.normalize(floats)
    tv.sort(view)
    tv.reverse(ints)
    tv.map_inplace(ints, lambda v: v + 1)
    tv.map_inplace(view, lambda v: v / 2)


def iteration() -> None:
    ints = array("i", [3, 1, 2])
    view = memoryview(array("d", [0.5, 2.0]))
    assert_type(next(tv.array_iterator(ints)), int)
    assert_type(list(tv.ArrayIterator(view)), list[int | float])
    lazy = tv.lazy_array(ints).map(lambda v: v * 2).filter(lambda v: v > 2)
    assert_type(lazy, "tv.LazyArray[array[int]]")  # the class takes no subscript at run time
    assert_type(lazy.collect(), array[int])
    assert_type(lazy.source(), array[int])
    assert_type(lazy.len(), int)
    assert_type(tv.LazyArray(view).collect(), memoryview | array[Any])
    for value in tv.lazy_array(view):
        assert_type(value, int | float)


def arrow_shaped(p: ArrowShaped) -> None:
    # Read, never written: pyarrow arrays are immutable.
    # Their element type is in the Arrow type, which no static type tells.
    assert_type(tv.sum(p), int | float)
    assert_type(tv.median(p), int | float)
    assert_type(tv.mean(p), float)
    assert_type(tv.reduce(p, lambda acc, v: acc + v), int | float)
    assert_type(next(tv.array_iterator(p)), int | float)
    # New arrays are pyarrow arrays, from a chunked array too.
    assert_type(tv.unique(p).to_pylist(), list[Any])
    assert_type(len(tv.map(p, lambda v: v * 2)), int)
    assert_type(tv.filter(p, lambda v: v > 0).null_count, int)
    tv.sort(p)  # type: ignore[arg-type]
    tv.slice(p, 0, 1)  # type: ignore[arg-type]


def arrow_producer(s: StreamProducer) -> None:
    # Read like pyarrow's arrays; new arrays are array.array objects.
    assert_type(tv.sum(s), int | float)
    assert_type(tv.var(s), float)
    assert_type(tv.unique(s), array[Any])
    assert_type(tv.map(s, lambda v: v * 2), array[Any])
    assert_type(tv.filter(s, lambda v: v > 0), array[Any])
    assert_type(tv.reduce(s, lambda acc, v: acc + v), int | float)
    tv.sort(s)  # type: ignore[arg-type]


def misuse() -> None:
    ints = array("i", [3, 1, 2])
    tv.sum(b"abc")  # type: ignore[call-overload]
    tv.mean(bytearray(b"abc"))  # type: ignore[arg-type]
    tv.sort([3, 1, 2])  # type: ignore[arg-type]
    tv.slice(b"abc", 0, 1)  # type: ignore[arg-type]
    tv.map(ints, lambda v: v / 2)  # type: ignore[arg-type, return-value]
    tv.map_inplace(ints, lambda v: v / 2)  # type: ignore[arg-type, return-value]
    tv.reduce(ints, lambda acc, v: acc / v)  # type: ignore[arg-type, return-value]
    tv.filter(ints, lambda v: v)  # type: ignore[arg-type, return-value]
    tv.reduce(ints, operator.add, 0)  # type: ignore[call-overload]
    text: str = tv.sum(ints)  # type: ignore[assignment]
    tv.clip(ints, "0", 5)  # type: ignore[arg-type]


def main() -> None:
    reading()
    new_arrays()
    folding()
    in_place()
    iteration()


if __name__ == "__main__":
    main()
