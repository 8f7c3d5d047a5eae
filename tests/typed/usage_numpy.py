"""Typed use of telvaran on numpy arrays: results follow the array's dtype.

Checked by mypy and pyright and run by tests/test_typing.py, like usage.py.
Numbers read from an integer dtype are ints, from a float dtype floats; new
arrays keep the input's array type.
"""

from __future__ import annotations

from array import array
from typing import Any, assert_type

import numpy as np
import numpy.typing as npt

import telvaran as tv


def numbers_by_dtype() -> None:
    counts: npt.NDArray[np.int64] = np.array([4, 0, 7, 7], dtype=np.int64)
    small: npt.NDArray[np.uint8] = np.array([1, 200], dtype=np.uint8)
    f: npt.NDArray[np.float64] = np.linspace(0.0, 1.0, 5)
    g: npt.NDArray[np.float32] = np.array([0.5, 1.5], dtype=np.float32)
    total: int = tv.sum(counts)
    middle: float = tv.median(g)
    assert_type(total + tv.max(small) + tv.min(counts) + tv.median(counts), int)
    assert_type(tv.sum(f) + middle + tv.min(g) + tv.max(f), float)
    assert_type(tv.mean(counts), float)
    assert_type(tv.std(f), float)
    assert_type(next(tv.array_iterator(small)), int)
    assert_type(list(tv.ArrayIterator(g)), list[float])
    assert_type(tv.reduce(counts, lambda acc, v: acc + v), int)
    assert_type(tv.reduce(f, lambda acc, v: acc * v), float)
    assert_type(tv.reduce(counts, lambda acc, v: [*acc, v.bit_length()], initial=[0]), list[int])
    assert_type(tv.reduce(f, lambda acc, v: acc + v, initial=0.0), float)


def new_arrays() -> None:
    n: npt.NDArray[np.int32] = np.array([4, -2, 7, 7], dtype=np.int32)
    f: npt.NDArray[np.float64] = np.linspace(0.0, 1.0, 5)
    ints = array("i", [1, 2, 3, 4])
    assert_type(tv.unique(n), npt.NDArray[np.int32])
    assert_type(tv.map(f, lambda v: v.as_integer_ratio()[0]), npt.NDArray[np.float64])
    assert_type(tv.map(n, lambda v: v.bit_length()), npt.NDArray[np.int32])
    assert_type(tv.filter(n, lambda v: v.bit_length() > 2), npt.NDArray[np.int32])
    assert_type(tv.filter(f, lambda v: v.is_integer()), npt.NDArray[np.float64])
    assert_type(tv.add(n, n), npt.NDArray[np.int32])
    assert_type(tv.multiply(ints, n), array[int])
    assert_type(tv.add(n, ints), array[Any])
    assert_type(tv.slice(f, 1, 3), memoryview)
    assert_type(tv.lazy_array(n).map(lambda v: v * 2).collect(), npt.NDArray[np.int32])


def in_place() -> None:
    n: npt.NDArray[np.int32] = np.array([4, -2, 7, 7], dtype=np.int32)
    f: npt.NDArray[np.float64] = np.linspace(0.0, 1.0, 5)
    tv.sort(n)
    tv.clip(n, np.int32(0), 5)
    tv.normalize(f)
    tv.map_inplace(f, lambda v: v / 2)
    tv.map_inplace(n, lambda v: np.int32(v // 2))


def unknown_dtype(a: npt.NDArray[Any]) -> None:
    # With no dtype known, each checker picks a number type of its own (mypy
    # Any, pyright the first overload's): only what both accept is written here.
    value: float = tv.sum(a)
    tv.sort(a)
    assert_type(tv.mean(a), float)
    assert_type(tv.unique(a), npt.NDArray[Any])
    del value


def misuse() -> None:
    n: npt.NDArray[np.int32] = np.array([4, -2, 7, 7], dtype=np.int32)
    f: npt.NDArray[np.float64] = np.linspace(0.0, 1.0, 5)
    whole: int = tv.sum(f)  # type: ignore[assignment]
    tv.map_inplace(n, lambda v: v / 2)  # type: ignore[arg-type, return-value]
    tv.filter(f, lambda v: v.bit_length() > 0)  # type: ignore[type-var]
    tv.map(n, lambda v: str(v))  # type: ignore[arg-type, return-value]
    del whole


def main() -> None:
    numbers_by_dtype()
    new_arrays()
    in_place()
    unknown_dtype(np.array([1.5, 2.5]))


if __name__ == "__main__":
    main()
