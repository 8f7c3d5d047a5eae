"""Type stubs for telvaran._telvaran, the compiled module."""

from array import array as _array
from collections.abc import Buffer, Callable, Iterator
from typing import Any, Generic, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final, overload

__all__ = [
    "sum",
    "scale",
    "mean",
    "min",
    "max",
    "map",
    "map_inplace",
    "filter",
    "reduce",
    "var",
    "std",
    "median",
    "add",
    "multiply",
    "clip",
    "normalize",
    "reverse",
    "sort",
    "unique",
    "slice",
    "ArrayIterator",
    "array_iterator",
    "LazyArray",
    "lazy_array",
]

# -- accepted inputs ---------------------------------------------------------

class _NDArrayLike(Buffer, Protocol):
    """A numpy.ndarray, told apart from other buffers by its dtype and flags."""

    @property
    def dtype(self) -> Any: ...
    @property
    def ndim(self) -> int: ...
    @property
    def flags(self) -> Any: ...

class _ArrowLike(Protocol):
    """A pyarrow.Array or pyarrow.ChunkedArray (pyarrow.Buffer is a Buffer)."""

    @property
    def type(self) -> Any: ...
    def __len__(self) -> int: ...

# What every reading operation accepts: array.array, a 1-D contiguous
# numpy.ndarray, a memoryview, or a pyarrow Buffer, Array or ChunkedArray.
_ArrayInput: TypeAlias = Buffer | _ArrowLike
# What the in-place operations accept: writable memory exported through the
# buffer protocol (array.array, numpy.ndarray, a writable memoryview).
_WritableArrayInput: TypeAlias = Buffer

# The Python value of one element: int for the integer element types, float
# for 'f' and 'd'.
_Value: TypeAlias = int | float

_N = TypeVar("_N", int, float)
_ND = TypeVar("_ND", bound=_NDArrayLike)
_R = TypeVar("_R")
_S = TypeVar("_S")

_Number: TypeAlias = SupportsFloat | SupportsIndex
_Bound: TypeAlias = SupportsIndex | None

# -- aggregations and statistics -------------------------------------------

@overload
def sum(array: _array[_N]) -> _N: ...
@overload
def sum(array: _ArrayInput) -> _Value: ...
def mean(array: _ArrayInput) -> float: ...
@overload
def min(array: _array[_N]) -> _N: ...
@overload
def min(array: _ArrayInput) -> _Value: ...
@overload
def max(array: _array[_N]) -> _N: ...
@overload
def max(array: _ArrayInput) -> _Value: ...
def var(array: _ArrayInput) -> float: ...
def std(array: _ArrayInput) -> float: ...
@overload
def median(array: _array[_N]) -> _N: ...
@overload
def median(array: _ArrayInput) -> _Value: ...

# -- new arrays: element-wise, unique, callbacks ------------------------------
# A numpy input gives a numpy.ndarray, an array.array or memoryview input an
# array.array, an Arrow input what pyarrow.array(list) makes.

@overload
def add(arr1: _ND, arr2: _NDArrayLike) -> _ND: ...  # type: ignore[overload-overlap]
@overload
def add(arr1: _array[_N], arr2: _ArrayInput) -> _array[_N]: ...
@overload
def add(arr1: _ArrayInput, arr2: _ArrayInput) -> _array[Any]: ...
@overload
def multiply(arr1: _ND, arr2: _NDArrayLike) -> _ND: ...  # type: ignore[overload-overlap]
@overload
def multiply(arr1: _array[_N], arr2: _ArrayInput) -> _array[_N]: ...
@overload
def multiply(arr1: _ArrayInput, arr2: _ArrayInput) -> _array[Any]: ...
@overload
def unique(array: _array[_N]) -> _array[_N]: ...
@overload
def unique(array: memoryview) -> _array[Any]: ...
@overload
def unique(array: _ND) -> _ND: ...
@overload
def unique(array: _ArrayInput) -> Any: ...
@overload
def map(array: _array[_N], fn: Callable[[_N], _N]) -> _array[_N]: ...
@overload
def map(array: memoryview, fn: Callable[[Any], _Value]) -> _array[Any]: ...
@overload
def map(array: _ND, fn: Callable[[Any], _Value]) -> _ND: ...
@overload
def map(array: _ArrayInput, fn: Callable[[Any], Any]) -> Any: ...
@overload
def filter(array: _array[_N], predicate: Callable[[_N], bool]) -> _array[_N]: ...
@overload
def filter(array: memoryview, predicate: Callable[[Any], bool]) -> _array[Any]: ...
@overload
def filter(array: _ND, predicate: Callable[[Any], bool]) -> _ND: ...
@overload
def filter(array: _ArrayInput, predicate: Callable[[Any], bool]) -> Any: ...

# -- folding -----------------------------------------------------------------

@overload
def reduce(array: _array[_N], fn: Callable[[Any, _N], _R], *, initial: None = None) -> _N | _R: ...
@overload
def reduce(array: _array[_N], fn: Callable[[_R, _N], _R], *, initial: _R) -> _R: ...
@overload
def reduce(array: _ArrayInput, fn: Callable[[Any, Any], _R], *, initial: None = None) -> _Value | _R: ...
@overload
def reduce(array: _ArrayInput, fn: Callable[[_R, Any], _R], *, initial: _R) -> _R: ...

# -- in place ----------------------------------------------------------------

def scale(array: _WritableArrayInput, factor: _Number) -> None: ...
def clip(array: _WritableArrayInput, min_val: _Number, max_val: _Number) -> None: ...
def normalize(array: _WritableArrayInput) -> None: ...
def sort(array: _WritableArrayInput) -> None: ...
def reverse(array: _WritableArrayInput) -> None: ...
@overload
def map_inplace(array: _array[_N], fn: Callable[[_N], _N]) -> None: ...
@overload
def map_inplace(array: _WritableArrayInput, fn: Callable[[Any], SupportsIndex | SupportsFloat]) -> None: ...

# -- zero-copy window ------------------------------------------------------------

def slice(array: _ArrayInput, start: _Bound, end: _Bound) -> memoryview: ...

# -- classes -----------------------------------------------------------------

@final
class ArrayIterator(Iterator[_N]):
    @overload
    def __new__(cls, source: _array[_N]) -> ArrayIterator[_N]: ...
    @overload
    def __new__(cls, source: _ArrayInput) -> ArrayIterator[Any]: ...
    def __iter__(self) -> ArrayIterator[_N]: ...
    def __next__(self) -> _N: ...

@overload
def array_iterator(array: _array[_N]) -> ArrayIterator[_N]: ...
@overload
def array_iterator(array: _ArrayInput) -> ArrayIterator[Any]: ...
@final
class LazyArray(Generic[_S]):
    """Lazy array wrapper for deferred evaluation."""

    def __new__(cls, source: _S) -> LazyArray[_S]: ...
    def map(self, function: Callable[[Any], Any]) -> LazyArray[_S]:
        """Apply a map operation (returns new LazyArray)"""
    def filter(self, predicate: Callable[[Any], bool]) -> LazyArray[_S]:
        """Apply a filter operation (returns new LazyArray)"""
    def collect(self) -> Any:
        """Evaluate the lazy operations and return the result"""
    def source(self) -> _S:
        """Get the source array"""
    def len(self) -> int:
        """Get the number of operations in the chain"""
    def __iter__(self) -> ArrayIterator[Any]: ...

def lazy_array(array: _S) -> LazyArray[_S]: ...
