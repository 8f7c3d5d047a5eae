"""Typed use of telvaran on numpy arrays: results keep the input's array type.

Checked by mypy and pyright and run by tests/test_typing.py, like usage.py.
"""

from __future__ import annotations

from array import array
from typing import Any, assert_type

import numpy as np
import numpy.typing as npt

import telvaran as tv


def numpy_arrays() -> None:
    n: npt.NDArray[np.int32] = np.array([4, -2, 7, 7], dtype=np.int32)
    f: npt.NDArray[np.float64] = np.linspace(0.0, 1.0, 5)
    ints = array("i", [1, 2, 3, 4])
    assert_type(tv.sum(n), int | float)
    assert_type(tv.std(f), float)
    assert_type(tv.unique(n), npt.NDArray[np.int32])
    assert_type(tv.map(f, lambda v: v * 2), npt.NDArray[np.float64])
    assert_type(tv.filter(n, lambda v: v > 0), npt.NDArray[np.int32])
    assert_type(tv.add(n, n), npt.NDArray[np.int32])
    assert_type(tv.multiply(ints, n), array[int])
    assert_type(tv.add(n, ints), array[Any])
    assert_type(tv.reduce(n, lambda acc, v: acc + v), int | float)
    assert_type(tv.reduce(f, lambda acc, v: acc + v, initial=0.0), float)
    assert_type(tv.slice(f, 1, 3), memoryview)
    assert_type(tv.lazy_array(n).map(lambda v: v * 2).collect(), npt.NDArray[np.int32])
    tv.sort(n)
    tv.clip(n, np.int32(0), 5)
    tv.normalize(f)
    tv.map_inplace(f, lambda v: v / 2)


def main() -> None:
    numpy_arrays()


if __name__ == "__main__":
    main()
